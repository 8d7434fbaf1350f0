// The parts of the Cortex-M3 port that are register work, the same on the chip and
// on the simulated board: critical sections through BASEPRI, the yield through
// PendSV, the SysTick tick.
#include "FreeRTOS.h"
#include "stm32f10x.h"
#include "task.h"

namespace {

constexpr uint32_t kPendSvSet = 1u << 28;
constexpr uint32_t kSysTickEnable = 1u << 0;
constexpr uint32_t kSysTickInterrupt = 1u << 1;
constexpr uint32_t kSysTickCoreClock = 1u << 2;

}  // namespace

// Critical sections before the scheduler runs leave the mask on until the first task starts.
volatile unsigned long uxCriticalNesting = 0xaaaaaaaa;

unsigned long ulPortSetInterruptMask(void) {
  __set_BASEPRI(configMAX_SYSCALL_INTERRUPT_PRIORITY);
  return 0;
}

void vPortClearInterruptMask(unsigned long ulNewMask) { __set_BASEPRI(ulNewMask); }

void vPortEnterCritical(void) {
  (void)portDISABLE_INTERRUPTS();
  uxCriticalNesting = uxCriticalNesting + 1;
}

void vPortExitCritical(void) {
  uxCriticalNesting = uxCriticalNesting - 1;
  if (uxCriticalNesting == 0) portENABLE_INTERRUPTS();
}

// Out of line, so that a turn of the idle loop that does not yield stores
// nothing: a core model can then tell that the loop only waits.
[[gnu::noinline]] void vPortYield(void) { SCB->ICSR = kPendSvSet; }

void vPortSetupTimerInterrupt(void) {
  SysTick->LOAD = configCPU_CLOCK_HZ / configTICK_RATE_HZ - 1;
  SysTick->VAL = 0;
  SysTick->CTRL = kSysTickCoreClock | kSysTickInterrupt | kSysTickEnable;
}

void vPortSetKernelPriorities(void) {
  SCB->SHP[10] = configKERNEL_INTERRUPT_PRIORITY;  // PendSV
  SCB->SHP[11] = configKERNEL_INTERRUPT_PRIORITY;  // SysTick
}

extern "C" void xPortSysTickHandler(void) {
  (void)portSET_INTERRUPT_MASK_FROM_ISR();
  if (xTaskIncrementTick() != pdFALSE) SCB->ICSR = kPendSvSet;
  portCLEAR_INTERRUPT_MASK_FROM_ISR(0);
}
