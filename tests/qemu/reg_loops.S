@ Register-check task bodies: each task loads its own pattern into r0-r12 and LR,
@ then forever sets its own NZCVQ flags, spins with the flags live (so that
@ preemption lands there most of the time), and checks the flags and every
@ register. A mismatch records the task in reg_loop_failed and stops it.

  .syntax unified
  .thumb
  .text

@ Register r of task n holds the byte 0xnr in every byte lane: a Thumb-2
@ modified immediate, so each check is one compare and needs no scratch register.

  .macro REG_LOOP n, flags
  .global reg_loop_\n
  .type reg_loop_\n, %function
  .thumb_func
reg_loop_\n:
  ldr r0, =(((\n << 4) | 0) * 0x01010101)
  ldr r1, =(((\n << 4) | 1) * 0x01010101)
  ldr r2, =(((\n << 4) | 2) * 0x01010101)
  ldr r3, =(((\n << 4) | 3) * 0x01010101)
  ldr r4, =(((\n << 4) | 4) * 0x01010101)
  ldr r5, =(((\n << 4) | 5) * 0x01010101)
  ldr r6, =(((\n << 4) | 6) * 0x01010101)
  ldr r7, =(((\n << 4) | 7) * 0x01010101)
  ldr r8, =(((\n << 4) | 8) * 0x01010101)
  ldr r9, =(((\n << 4) | 9) * 0x01010101)
  ldr r10, =(((\n << 4) | 10) * 0x01010101)
  ldr r11, =(((\n << 4) | 11) * 0x01010101)
  ldr r12, =(((\n << 4) | 12) * 0x01010101)
  ldr lr, =(((\n << 4) | 14) * 0x01010101)
1:
  push {r0}
  ldr r0, =\flags
  msr APSR_nzcvq, r0
  mov r0, #64
2:
  @ Neither sub nor cbz touches the flags; every branch ends a translation
  @ block, where QEMU takes interrupts.
  sub r0, r0, #1
  cbz r0, 3f
  b 2b
3:
  mrs r0, APSR
  and r0, r0, #0xF8000000
  cmp r0, #\flags
  pop {r0}
  bne 5f
  cmp r0, #(((\n << 4) | 0) * 0x01010101)
  bne 4f
  cmp r1, #(((\n << 4) | 1) * 0x01010101)
  bne 4f
  cmp r2, #(((\n << 4) | 2) * 0x01010101)
  bne 4f
  cmp r3, #(((\n << 4) | 3) * 0x01010101)
  bne 4f
  cmp r4, #(((\n << 4) | 4) * 0x01010101)
  bne 4f
  cmp r5, #(((\n << 4) | 5) * 0x01010101)
  bne 4f
  cmp r6, #(((\n << 4) | 6) * 0x01010101)
  bne 4f
  cmp r7, #(((\n << 4) | 7) * 0x01010101)
  bne 4f
  cmp r8, #(((\n << 4) | 8) * 0x01010101)
  bne 4f
  cmp r9, #(((\n << 4) | 9) * 0x01010101)
  bne 4f
  cmp r10, #(((\n << 4) | 10) * 0x01010101)
  bne 4f
  cmp r11, #(((\n << 4) | 11) * 0x01010101)
  bne 4f
  cmp r12, #(((\n << 4) | 12) * 0x01010101)
  bne 4f
  cmp lr, #(((\n << 4) | 14) * 0x01010101)
  bne 4f
  push {r0, r1}
  ldr r0, =reg_loop_counts + 4 * (\n - 1)
  ldr r1, [r0]
  add r1, r1, #1
  str r1, [r0]
  pop {r0, r1}
  b 1b
4:
  ldr r0, =reg_loop_failed
  mov r1, #\n
  str r1, [r0]
  b .
5:
  ldr r0, =reg_loop_failed
  mov r1, #(0x10 + \n)
  str r1, [r0]
  b .
  .ltorg
  .size reg_loop_\n, . - reg_loop_\n
  .endm

  @ Flags N C Q, then Z V, then all five.
  REG_LOOP 1, 0xA8000000
  REG_LOOP 2, 0x50000000
  REG_LOOP 3, 0xF8000000
