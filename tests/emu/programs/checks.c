/* Scenarios for the emulated Cortex-M3, one per run: the test sets `scenario`
   in the image's initialised data before reset and reads the results back from
   RAM by symbol. Every scenario ends with semihosting SYS_EXIT or a fault. */
#include <stdint.h>

#define REG(a) (*(volatile uint32_t*)(a))
#define REG8(a) (*(volatile uint8_t*)(a))
#define NVIC_ISER0 REG(0xE000E100u)
#define NVIC_ISPR0 REG(0xE000E200u)
#define NVIC_IPR(n) REG8(0xE000E400u + (n))
#define SCB_ICSR REG(0xE000ED04u)
#define SCB_SHCSR REG(0xE000ED24u)
#define SCB_CFSR REG(0xE000ED28u)
#define SCB_HFSR REG(0xE000ED2Cu)
#define NVIC_IABR0 REG(0xE000E300u)
#define SYST_CSR REG(0xE000E010u)
#define SYST_RVR REG(0xE000E014u)
#define MARK REG(0x4000F000u) /* the test's marker device: records the time of each write */

volatile uint32_t scenario = 0xFFFFFFFFu;
volatile uint32_t log_[32];
volatile uint32_t log_count;
volatile uint32_t seen[16]; /* values a handler or the thread saw */
volatile uint32_t ticks, pendsvs;
uint32_t bss_word;          /* must read 0 */
uint32_t data_word = 0x5EED; /* copied from flash */

static void note(uint32_t v) { log_[log_count++] = v; }
static void barrier(void) { __asm volatile("dsb\n isb" ::: "memory"); }
static void pend(int irq) {
  NVIC_ISPR0 = 1u << irq;
  barrier();
}

__attribute__((noreturn)) void exit_run(uint32_t passed) {
  MARK = 0xE;
  register uint32_t op __asm__("r0") = 0x18;
  register uint32_t reason __asm__("r1") = passed ? 0x20026u : 0x20023u;
  __asm volatile("bkpt 0xab" : : "r"(op), "r"(reason) : "memory");
  for (;;) {
  }
}

/* --- 1: the frame, the registers and flags across an exception ------------- */

void irq0_body(uint32_t lr, uint32_t psp, uint32_t msp) {
  uint32_t ipsr, control;
  __asm volatile("mrs %0, ipsr\n mrs %1, control" : "=r"(ipsr), "=r"(control));
  seen[0] = lr;
  seen[1] = psp;
  seen[2] = msp;
  seen[3] = ipsr;
  seen[4] = control;
  for (int i = 0; i < 8; ++i) seen[5 + i] = ((volatile uint32_t*)psp)[i];
}

__attribute__((naked)) void IRQ0_Handler(void) {
  __asm volatile("mov r0, lr\n mrs r1, psp\n mrs r2, msp\n b irq0_body\n");
}

volatile uint32_t after[8];
uint32_t process_stack[64];

static void frame_and_flags(void) {
  NVIC_IPR(0) = 0x80;
  NVIC_ISER0 = 1u << 0;
  __asm volatile(
      "ldr r0, =0x10101010\n ldr r1, =0x21212121\n ldr r2, =0x32323232\n ldr r3, =0x43434343\n"
      "ldr r12, =0xC5C5C5C5\n"
      "ldr r4, =0xF8000000\n msr apsr_nzcvq, r4\n"
      "ldr r4, =0xE000E200\n mov r5, #1\n str r5, [r4]\n"
      ".global frame_isb\n dsb\n frame_isb: isb\n"
      "mrs r6, apsr\n mov r8, sp\n mrs r5, control\n"
      "ldr r4, =after\n stmia r4!, {r0-r3, r5, r6, r8, r12}\n" ::
          : "r0", "r1", "r2", "r3", "r4", "r5", "r6", "r8", "r12", "memory", "cc");
}

/* --- 2: nesting by priority and tail-chaining -------------------------------- */

void IRQ1_Handler(void) { /* priority 0xC0 */
  note(1);
  pend(2);
  note(0xE1);
}
void IRQ2_Handler(void) { /* priority 0x40 */
  uint32_t lr;
  __asm volatile("mov %0, lr" : "=r"(lr));
  seen[0] = lr;
  note(2);
  if (scenario == 2) pend(3); /* same priority as IRQ 1: waits for it */
}
void IRQ3_Handler(void) { /* priority 0xC0 */
  uint32_t lr;
  __asm volatile("mov %0, lr" : "=r"(lr));
  seen[1] = lr;
  note(3);
}

static void priorities(void) {
  NVIC_IPR(1) = 0xC0;
  NVIC_IPR(2) = 0x40;
  NVIC_IPR(3) = 0xC0;
  NVIC_ISER0 = 0xE;
}

/* --- 3: BASEPRI and PRIMASK ---------------------------------------------------- */

static void masks(void) {
  __asm volatile("msr basepri, %0" ::"r"(0x80u));
  pend(1); /* 0xC0: masked */
  note(0xA);
  pend(2); /* 0x40: above the mask */
  note(0xB);
  __asm volatile("msr basepri, %0" ::"r"(0u) : "memory"); /* IRQ 1 before the next instruction */
  note(0xC);
  __asm volatile("cpsid i" ::: "memory");
  pend(2);
  note(0xD);
  __asm volatile("cpsie i" ::: "memory");
  note(0xE);
}

/* --- 4: SVC --------------------------------------------------------------------- */

void svc_body(uint32_t* frame) {
  seen[0] = frame[0];
  seen[1] = ((uint16_t*)frame[6])[-1]; /* the SVC instruction before the return address */
  frame[0] = frame[0] + 1;             /* the caller's r0 on return */
}
__attribute__((naked)) void SVC_Handler(void) {
  __asm volatile("tst lr, #4\n ite eq\n mrseq r0, msp\n mrsne r0, psp\n b svc_body\n");
}

static uint32_t supervisor_call(uint32_t arg) {
  register uint32_t r0 __asm__("r0") = arg;
  __asm volatile("svc 42" : "+r"(r0) : : "memory");
  return r0;
}

/* --- 5: SysTick, PendSV and an idle loop ------------------------------------- */

void SysTick_Handler(void) {
  ticks = ticks + 1;
  if (ticks % 10 == 0) SCB_ICSR = 1u << 28;
}
void PendSV_Handler(void) { pendsvs = pendsvs + 1; }

static void idle_with_tick(void) {
  REG8(0xE000ED22u) = 0xF0; /* PendSV lowest */
  SYST_RVR = 7199;          /* 100 us at 72 MHz */
  SYST_CSR = 7;
  while (ticks < 1000) {
    if (scenario == 14)
      __asm volatile("wfi");
    else
      __asm volatile("nop");
  }
  SYST_CSR = 0;
}

/* --- 6-8: faults and the endless loop --------------------------------------------- */

__attribute__((noinline)) void stop_here(void) {
  for (;;) {
  }
}

/* --- 9: bit-band and the peripherals behind the bus ------------------------------ */

static void bit_band(void) {
  REG(0x40021018u) |= 1u << 2;                      /* RCC_APB2ENR: GPIOA clock */
  REG(0x40010804u) = 0x44444434u;                   /* GPIOA_CRH: PA9 push-pull output */
  REG(0x42000000u + (0x1080Cu * 32) + (9 * 4)) = 1; /* bit-band alias of GPIOA_ODR bit 9 */
  seen[0] = REG(0x4001080Cu);
  seen[1] = REG(0x42000000u + (0x1080Cu * 32) + (9 * 4));
  REG(0x22000000u + (((uint32_t)&bss_word - 0x20000000u) * 32) + 4 * 5) = 1; /* SRAM bit 5 */
  seen[2] = bss_word;
  REG(0x40021014u) |= 1u << 6; /* RCC_AHBENR: CRC clock */
  REG(0x40023008u) = 1;        /* CRC_CR: reset */
  REG(0x40023000u) = 0x12345678u;
  seen[3] = REG(0x40023000u);
}

/* --- 10: a timed loop ---------------------------------------------------------------- */

static void timed_loop(void) {
  MARK = 1;
  __asm volatile("mov r0, #10000\n 1: subs r0, #1\n bne 1b\n" ::: "r0", "cc");
  MARK = 2;
}

/* --- 15, 16: a count-down busy wait under a ticking timer ------------------------- */

/* The shape the compiler gives `volatile n; while (n != 0) n = n - 1;`, which the
   core runs many turns at a time (15), and the same loop with the SUBS in its
   other 16-bit encoding, same length and cycles, which it runs turn by turn (16). */
static void count_down(int recognised) {
  SYST_RVR = 7199; /* 100 us at 72 MHz */
  SYST_CSR = 7;
  /* The markers inside the assembly, each in a block of its own that the branches
     around it delimit alike in both (the core charges a block's time as it starts). */
#define COUNT_DOWN(subs)                                                                  \
  __asm volatile(                                                                         \
      "b 0f\n 0: ldr r2, =0x4000F000\n movs r1, #1\n str r1, [r2]\n"                      \
      "sub sp, #8\n str %0, [sp, #4]\n"                                                   \
      "1: ldr r3, [sp, #4]\n cbnz r3, 2f\n b 3f\n"                                        \
      "2: ldr r3, [sp, #4]\n " subs "\n str r3, [sp, #4]\n b 1b\n"                        \
      "3: add sp, #8\n movs r1, #2\n str r1, [r2]\n b 4f\n 4:\n" ::"r"(20000u)           \
      : "r1", "r2", "r3", "cc", "memory")
  if (recognised)
    COUNT_DOWN("subs r3, #1");
  else
    COUNT_DOWN(".short 0x1e5b"); /* subs r3, r3, #1 in its other encoding */
  SYST_CSR = 0;
  seen[0] = ticks;
}

/* --- 17: a loop for the debugger: a RAM variable, a register, a tick ------------ */

volatile uint32_t counter;
volatile uint32_t limit = 20000;

static void debugged_loop(void) {
  REG(0x40021018u) |= (1u << 2) | (1u << 14); /* RCC_APB2ENR: GPIOA, USART1 clocks */
  REG(0x4001380Cu) = 0x2004u;                 /* USART1_CR1: UE, RE */
  SYST_RVR = 7199;                            /* 100 us at 72 MHz */
  SYST_CSR = 7;
  for (uint32_t i = 0; i < limit; ++i) {
    counter = i;
    REG(0x4001080Cu) = i & 0xFFFFu; /* GPIOA_ODR */
    __asm volatile(".global debug_point\n debug_point: mov r0, r0\n mov r0, r0" ::: "memory");
  }
  SYST_CSR = 0;
  seen[0] = ticks;
}

/* --- 18: the exclusive monitor across an exception ------------------------------ */

volatile uint32_t exclusive_word = 5;

void IRQ6_Handler(void) { note(6); } /* leaves the word alone */

/* LDREX, IRQ 6 taken and returned from if `interrupted`, then STREX of 7. */
static uint32_t exclusive_store(uint32_t interrupted) {
  uint32_t failed;
  __asm volatile(
      "ldrex r0, [%1]\n cbz %2, 1f\n"
      "str %3, [%4]\n dsb\n isb\n"
      "1: strex %0, %5, [%1]\n"
      : "=&r"(failed)
      : "r"(&exclusive_word), "l"(interrupted), "r"(1u << 6), "r"(0xE000E200u), "r"(7u)
      : "r0", "memory");
  return failed;
}

static void exclusive_monitor(void) {
  NVIC_ISER0 = 1u << 6;
  seen[0] = exclusive_store(1); /* the exception cleared the monitor: fails */
  seen[1] = exclusive_word;
  seen[2] = exclusive_store(0);
  seen[3] = exclusive_word;
  /* A retry loop, interrupted on its first turn: a second turn stores. */
  exclusive_word = 5;
  uint32_t turns = 0;
  while (exclusive_store(turns++ == 0) != 0) {
  }
  seen[4] = turns;
  seen[5] = exclusive_word;
}

/* --- 19-21: invalid state and an invalid return, as usage faults ----------------- */

/* Entered through a vector without the Thumb bit: never runs. */
void IRQ7_Handler(void) { note(0x7BAD); }
__asm__(".text\n .align 2\n .global irq7_without_thumb\n .type irq7_without_thumb, %object\n"
        "irq7_without_thumb: b IRQ7_Handler\n");
extern void irq7_without_thumb(void);

void IRQ8_Handler(void) { /* priority 0xC0 */
  note(8);
  pend(9);
  note(0x8BAD); /* IRQ 9 never returns here */
}
/* Priority 0x40, nested in IRQ 8: returns to thread mode with IRQ 8 still active. */
__attribute__((naked)) void IRQ9_Handler(void) { __asm volatile("ldr lr, =0xFFFFFFF9\n bx lr"); }

void fault_body(uint32_t* frame, uint32_t lr) {
  uint32_t ipsr;
  __asm volatile("mrs %0, ipsr" : "=r"(ipsr));
  seen[0] = SCB_CFSR;
  seen[1] = SCB_HFSR;
  seen[2] = frame[6]; /* the return address */
  seen[3] = frame[7]; /* xPSR */
  seen[4] = lr;
  seen[5] = ipsr;
  seen[6] = NVIC_IABR0;
  seen[7] = SCB_SHCSR;
  exit_run(scenario >= 19 && scenario <= 21);
}
__attribute__((naked)) void Fault_Handler(void) {
  __asm volatile("tst lr, #4\n ite eq\n mrseq r0, msp\n mrsne r0, psp\n mov r1, lr\n b fault_body\n");
}

/* --- 11: a handler of known length, for the profile ------------------------------ */

__attribute__((naked)) void IRQ4_Handler(void) {
  __asm volatile("movs r0, #1\n adds r0, #1\n adds r0, #1\n adds r0, #1\n bx lr\n");
}

int main(void) {
  seen[15] = data_word == 0x5EED && bss_word == 0;
  switch (scenario) {
    case 1: {
      /* Thread mode on the process stack, as tasks run. */
      __asm volatile("msr psp, %0\n msr control, %1\n isb" ::"r"(process_stack + 64), "r"(2u) : "memory");
      frame_and_flags();
      break;
    }
    case 2:
      priorities();
      pend(1);
      break;
    case 3:
      priorities();
      masks();
      break;
    case 4:
      seen[2] = supervisor_call(0x5EC);
      break;
    case 5:
    case 14:
      idle_with_tick();
      break;
    case 6:
      REG(0x08000100u) = 1; /* flash is read-only */
      break;
    case 7:
      (void)REG(0x30000000u);
      break;
    case 8:
      stop_here();
      break;
    case 9:
      bit_band();
      break;
    case 10:
      timed_loop();
      break;
    case 11:
      NVIC_ISER0 = 1u << 4;
      for (int i = 0; i < 3; ++i) pend(4);
      break;
    case 12:
      __asm volatile("cpsid i\n svc 1" ::: "memory"); /* masked: escalates */
      break;
    case 13:
      NVIC_ISER0 = 1u << 5;
      pend(5);
      break;
    case 15:
    case 16:
      count_down(scenario == 15);
      break;
    case 17:
      debugged_loop();
      break;
    case 18:
      exclusive_monitor();
      break;
    case 19: /* usage faults enabled: INVSTATE is one */
    case 20: /* disabled: a hard fault, forced */
      if (scenario == 19) SCB_SHCSR = 1u << 18;
      NVIC_IPR(7) = 0x80;
      NVIC_ISER0 = 1u << 7;
      pend(7);
      break;
    case 21:
      SCB_SHCSR = 1u << 18;
      NVIC_IPR(8) = 0xC0;
      NVIC_IPR(9) = 0x40;
      NVIC_ISER0 = 3u << 8;
      pend(8);
      break;
    default:
      exit_run(0);
  }
  exit_run(1);
}

void IRQ5_Handler(void) { __asm volatile("ldr lr, =0xFFFFFFF5\n bx lr"); }

/* --- start-up -------------------------------------------------------------------------- */

extern uint32_t _sidata[], _sdata[], _edata[], _sbss[], _ebss[], _estack[];

void Reset_Handler(void) {
  for (uint32_t *s = _sidata, *d = _sdata; d < _edata;) *d++ = *s++;
  for (uint32_t* d = _sbss; d < _ebss;) *d++ = 0;
  main();
}

void Unexpected_Handler(void) { exit_run(0); }

typedef void (*vector_t)(void);
__attribute__((section(".vectors"), used)) const vector_t vectors[16 + 10] = {
    (vector_t)_estack, Reset_Handler, Unexpected_Handler, Fault_Handler, Unexpected_Handler,
    Unexpected_Handler, Fault_Handler, 0, 0, 0, 0, SVC_Handler, Unexpected_Handler, 0, PendSV_Handler,
    SysTick_Handler, IRQ0_Handler, IRQ1_Handler, IRQ2_Handler, IRQ3_Handler, IRQ4_Handler, IRQ5_Handler,
    IRQ6_Handler, irq7_without_thumb, IRQ8_Handler, IRQ9_Handler,
};
