// The kernel port for the simulated board: every task runs in a host context of
// its own and the CPU model hands the processor from one to the next in PendSV,
// exactly when the chip would switch.
#include "port_host.h"

#include "FreeRTOS.h"
#include "fiber.h"
#include "port_common.h"
#include "task.h"
#include "tcb.h"

struct HostTask {
  board::Fiber* fiber;
  pdTASK_CODE code;
  void* parameters;
};

namespace {

// Host frames are larger than the chip's (64-bit, sanitizers), so the host stack
// is a multiple of the board's plus a fixed allowance.
constexpr size_t kHostStackPerBoardByte = 16;
constexpr size_t kHostStackBase = 64 * 1024;

void task_entry(void* arg) {
  auto* task = static_cast<HostTask*>(arg);
  hostcpu::exception_return();  // the context was entered from PendSV or SVC
  task->code(task->parameters);
  hostcpu::halt("a task returned from its function");
}

void release_task(void* arg) { delete static_cast<HostTask*>(arg); }

void switch_to_current() { board::Fiber::switch_to(pxCurrentTCB->pxHost->fiber); }

}  // namespace

bool xPortInitTask(tskTCB* tcb, pdTASK_CODE code, void* parameters) {
  auto* task = new HostTask{nullptr, code, parameters};
  // The context owns the task's host record: a board reset that drops every
  // context frees it too.
  task->fiber = board::Fiber::create(
      task_entry, task, kHostStackBase + tcb->uxStackDepth * sizeof(portSTACK_TYPE) * kHostStackPerBoardByte,
      release_task);
  tcb->pxHost = task;
  return true;
}

void vPortFreeTask(tskTCB* tcb) {
  board::Fiber::destroy(tcb->pxHost->fiber);  // frees the host record as well
  tcb->pxHost = nullptr;
}

bool xPortStackOverflowed(const tskTCB* tcb) { return tcb->pxHost->fiber->stack_overflowed(); }

void vPortSpoilStack(xTaskHandle task) { static_cast<tskTCB*>(task)->pxHost->fiber->spoil_stack_fill(); }

portBASE_TYPE xPortStartScheduler(void) {
  vPortSetKernelPriorities();
  vPortSetupTimerInterrupt();
  uxCriticalNesting = 0;
  hostcpu::svc();  // does not come back: the first task runs
  return pdFALSE;
}

extern "C" void vPortSVCHandler(void) {
  __set_BASEPRI(0);
  switch_to_current();
}

extern "C" void xPortPendSVHandler(void) {
  tskTCB* previous = pxCurrentTCB;
  (void)ulPortSetInterruptMask();
  vTaskSwitchContext();
  vPortClearInterruptMask(0);
  if (pxCurrentTCB != previous) switch_to_current();
}
