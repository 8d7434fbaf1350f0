// The task control block, shared by the scheduler and the ports.
#pragma once
#include "list.h"

struct tskTaskControlBlock {
  volatile portSTACK_TYPE* pxTopOfStack;  // first: the context switch finds it here
  xLIST_ITEM xGenericListItem;            // ready, delayed, suspended or terminated
  xLIST_ITEM xEventListItem;              // waiting for a mutex
  unsigned portBASE_TYPE uxPriority;
  portSTACK_TYPE* pxStack;  // lowest word of the stack
  signed char pcTaskName[configMAX_TASK_NAME_LEN];
  unsigned portBASE_TYPE uxStackDepth;  // in words
#if !defined(__arm__)
  struct HostTask* pxHost;  // the task's own host context
  void* pvCharge;           // the heap block standing for the board's control block
#endif
};
typedef tskTaskControlBlock tskTCB;

#if defined(__arm__)
static_assert(sizeof(tskTCB) == portBOARD_TCB_SIZE, "the host charges this size to the heap");
#endif

extern "C" tskTCB* volatile pxCurrentTCB;

// Port services the scheduler calls.
bool xPortInitTask(tskTCB* tcb, pdTASK_CODE code, void* parameters);
void vPortFreeTask(tskTCB* tcb);
bool xPortStackOverflowed(const tskTCB* tcb);
