// The kernel port for the chip: SVC starts the first task, PendSV switches
// context on the tasks' process stacks. The SysTick, yield and critical-section
// register work is shared with the simulated board (cm3_common.cpp).
#include <stddef.h>

#include "FreeRTOS.h"
#include "port_common.h"
#include "task.h"
#include "tcb.h"

// The switch code finds the saved stack pointer at the start of the control block.
static_assert(offsetof(tskTCB, pxTopOfStack) == 0);

#define PORT_STR2(x) #x
#define PORT_STR(x) PORT_STR2(x)

namespace {

constexpr uint32_t kInitialXpsr = 0x01000000u;  // Thumb state; the only state a Cortex-M3 has
constexpr uint32_t kStackFillWord = 0xA5A5A5A5u;
constexpr unsigned kCheckedFillWords = 20 / sizeof(portSTACK_TYPE);
// Hardware frame (r0-r3, r12, lr, pc, xpsr) and the software-saved r4-r11.
constexpr unsigned kFrameWords = 16;

// A task function that returns has no caller to go back to.
[[noreturn]] void task_returned() {
  (void)portDISABLE_INTERRUPTS();
  for (;;) {
  }
}

// Resets the main stack (main's frame is never returned to) and asks SVC for the first task.
[[noreturn, gnu::naked, gnu::noinline]] void start_first_task() {
  __asm volatile(
      "ldr r0, =0xE000ED08  \n"  // VTOR
      "ldr r0, [r0]         \n"
      "ldr r0, [r0]         \n"  // initial main stack pointer from the vector table
      "msr msp, r0          \n"
      "cpsie i              \n"
      "dsb                  \n"
      "isb                  \n"
      "svc 0                \n"
      "b .                  \n"
      ".ltorg               \n");
}

}  // namespace

bool xPortInitTask(tskTCB* tcb, pdTASK_CODE code, void* parameters) {
  // A stack that cannot hold the first frame above the checked fill would be
  // overflowed by the first switch into the task; aligning the top may cost a word.
  if (tcb->uxStackDepth < kFrameWords + kCheckedFillWords + 1) return false;
  // Exception frames start 8-byte aligned (AAPCS).
  auto top = reinterpret_cast<uintptr_t>(tcb->pxStack + tcb->uxStackDepth) & ~uintptr_t{7};
  auto* sp = reinterpret_cast<portSTACK_TYPE*>(top);
  *--sp = kInitialXpsr;
  *--sp = reinterpret_cast<uint32_t>(code) & ~1u;  // the frame's PC holds the address without the Thumb bit
  *--sp = reinterpret_cast<uint32_t>(&task_returned);  // LR
  sp -= 4;                                             // r12, r3, r2, r1
  *--sp = reinterpret_cast<uint32_t>(parameters);      // r0
  sp -= 8;                                             // r11..r4
  tcb->pxTopOfStack = sp;
  return true;
}

void vPortFreeTask(tskTCB*) {}

// Called in the switch with the outgoing task's stack pointer just saved.
bool xPortStackOverflowed(const tskTCB* tcb) {
  if (tcb->pxTopOfStack < tcb->pxStack) return true;
  // Every checked word holds the fill exactly when their AND and their OR both
  // do; straight-line code, since this runs in every switch.
  static_assert(kCheckedFillWords == 5);
  const portSTACK_TYPE* s = tcb->pxStack;
  const uint32_t all = s[0] & s[1] & s[2] & s[3] & s[4];
  const uint32_t any = s[0] | s[1] | s[2] | s[3] | s[4];
  return all != kStackFillWord || any != kStackFillWord;
}

portBASE_TYPE xPortStartScheduler(void) {
  vPortSetKernelPriorities();
  vPortSetupTimerInterrupt();
  uxCriticalNesting = 0;
  start_first_task();
}

// Restores the first task's r4-r11, opens the mask and returns to thread mode on its process stack.
extern "C" [[gnu::naked]] void vPortSVCHandler(void) {
  __asm volatile(
      "ldr r3, =pxCurrentTCB  \n"
      "ldr r1, [r3]           \n"
      "ldr r0, [r1]           \n"
      "ldmia r0!, {r4-r11}    \n"
      "msr psp, r0            \n"
      "isb                    \n"
      "mov r0, #0             \n"
      "msr basepri, r0        \n"
      "mvn lr, #2             \n"  // EXC_RETURN 0xFFFFFFFD: thread mode, process stack
      "bx lr                  \n"
      ".ltorg                 \n");
}

// The hardware stacked r0-r3, r12, lr, pc and xpsr on the task's process stack;
// r4-r11 go below them, and the stack pointer into the control block. No barrier
// after reading PSP or before the exception return, which synchronises by itself.
extern "C" [[gnu::naked]] void xPortPendSVHandler(void) {
  __asm volatile(
      "mrs r0, psp                \n"
      "ldr r3, =pxCurrentTCB      \n"
      "ldr r2, [r3]               \n"
      "stmdb r0!, {r4-r11}        \n"
      "str r0, [r2]               \n"
      "push {r3, lr}              \n"
      "mov r0, #" PORT_STR(configMAX_SYSCALL_INTERRUPT_PRIORITY) " \n"
      "msr basepri, r0            \n"
      "dsb                        \n"
      "isb                        \n"
      "bl vTaskSwitchContext      \n"
      "mov r0, #0                 \n"
      "msr basepri, r0            \n"
      "pop {r3, lr}               \n"
      "ldr r1, [r3]               \n"
      "ldr r0, [r1]               \n"
      "ldmia r0!, {r4-r11}        \n"
      "msr psp, r0                \n"
      "bx lr                      \n"
      ".ltorg                     \n");
}
