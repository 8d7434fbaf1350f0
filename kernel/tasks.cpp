// The scheduler: fixed priorities, pre-emptive, equal priorities round robin
// tick by tick; delays, suspension, deletion reclaimed by the idle task; and the
// mutexes, whose waiting is part of the scheduler's lists.
#include <stddef.h>
#include <string.h>

#include "queue.h"
#include "task.h"
#include "tcb.h"

extern "C" {
tskTCB* volatile pxCurrentTCB = nullptr;
}

namespace {

constexpr unsigned long kIdleStackWords = configMINIMAL_STACK_SIZE;
constexpr uint8_t kStackFill = 0xA5;

xLIST ready_lists[configMAX_PRIORITIES];
xLIST delayed_list;     // ordered by ticks left until the wake time
xLIST suspended_list;   // suspended, or blocked without a time-out
xLIST terminated_list;  // deleted, waiting for the idle task to free them

volatile portTickType tick_count = 0;
volatile unsigned portBASE_TYPE scheduler_suspended = 0;
volatile unsigned portBASE_TYPE missed_ticks = 0;
volatile bool missed_yield = false;
volatile bool scheduler_running = false;
volatile unsigned portBASE_TYPE number_of_tasks = 0;
volatile unsigned portBASE_TYPE top_ready_priority = 0;
bool lists_ready = false;

void initialise_lists() {
  if (lists_ready) return;
  for (auto& l : ready_lists) vListInitialise(&l);
  vListInitialise(&delayed_list);
  vListInitialise(&suspended_list);
  vListInitialise(&terminated_list);
  lists_ready = true;
}

portTickType ticks_left(const xLIST_ITEM* item) { return item->xItemValue - tick_count; }
// Waiting lists are ordered by priority, highest first, FIFO among equals.
portTickType priority_key(const xLIST_ITEM* item) { return item->xItemValue; }

void add_to_ready(tskTCB* tcb) {
  if (tcb->uxPriority > top_ready_priority) top_ready_priority = tcb->uxPriority;
  vListInsertEnd(&ready_lists[tcb->uxPriority], &tcb->xGenericListItem);
}

// Moves the task off the ready list to wait until `wake` (or forever).
void block_current(portTickType ticks) {
  vListRemove(&pxCurrentTCB->xGenericListItem);
  if (ticks == portMAX_DELAY) {
    vListInsertEnd(&suspended_list, &pxCurrentTCB->xGenericListItem);
  } else {
    pxCurrentTCB->xGenericListItem.xItemValue = tick_count + ticks;
    vListInsertOrdered(&delayed_list, &pxCurrentTCB->xGenericListItem, ticks_left);
  }
}

void idle_task(void*);

tskTCB* to_tcb(xTaskHandle handle) { return handle ? static_cast<tskTCB*>(handle) : pxCurrentTCB; }

#if !defined(__arm__)
// Every kernel object alive in host memory, so that a board reset can free them
// all before the kernel's own memory (this list's head with it) is put back.
struct HostLink {
  HostLink* prev;
  HostLink* next;
  void (*destroy)(HostLink*);
};
HostLink* host_objects = nullptr;

template <typename T>
struct Held {
  T object{};
  HostLink link{};
};

template <typename T>
Held<T>* held_of(T* object) {
  return reinterpret_cast<Held<T>*>(reinterpret_cast<char*>(object) - offsetof(Held<T>, object));
}

void unlink_object(HostLink* l) {
  if (l->prev != nullptr)
    l->prev->next = l->next;
  else
    host_objects = l->next;
  if (l->next != nullptr) l->next->prev = l->prev;
}

template <typename T>
void destroy_held(HostLink* l) {
  delete reinterpret_cast<Held<T>*>(reinterpret_cast<char*>(l) - offsetof(Held<T>, link));
}
#endif

// Kernel objects come from the heap. On the host they live in host memory, and a
// block of the chip's size stands for each one in the heap, so that the heap runs
// out where it would on the chip.
template <typename T>
T* kernel_new(size_t board_size) {
#if defined(__arm__)
  (void)board_size;
  return static_cast<T*>(pvPortMalloc(sizeof(T)));
#else
  void* charge = pvPortMalloc(board_size);
  if (charge == nullptr) return nullptr;
  auto* held = new Held<T>{};
  held->link = HostLink{nullptr, host_objects, destroy_held<T>};
  if (host_objects != nullptr) host_objects->prev = &held->link;
  host_objects = &held->link;
  held->object.pvCharge = charge;
  return &held->object;
#endif
}

template <typename T>
void kernel_delete(T* object) {
#if defined(__arm__)
  vPortFree(object);
#else
  vPortFree(object->pvCharge);
  Held<T>* held = held_of(object);
  unlink_object(&held->link);
  delete held;
#endif
}

tskTCB* allocate_tcb() { return kernel_new<tskTCB>(portBOARD_TCB_SIZE); }
void release_tcb(tskTCB* tcb) { kernel_delete(tcb); }

void free_task(tskTCB* tcb) {
  vPortFreeTask(tcb);
  vPortFree(tcb->pxStack);
  release_tcb(tcb);
}

void check_tasks_waiting_termination() {
  while (!listIsEmpty(&terminated_list)) {
    vTaskSuspendAll();
    tskTCB* tcb = static_cast<tskTCB*>(listHead(&terminated_list)->pvOwner);
    vListRemove(&tcb->xGenericListItem);
    (void)xTaskResumeAll();
    free_task(tcb);
  }
}

}  // namespace

signed portBASE_TYPE xTaskGenericCreate(pdTASK_CODE pxTaskCode, const signed char* const pcName,
                                        unsigned short usStackDepth, void* pvParameters,
                                        unsigned portBASE_TYPE uxPriority, xTaskHandle* pxCreatedTask,
                                        portSTACK_TYPE* puxStackBuffer, const xMemoryRegion* const) {
  if (uxPriority >= configMAX_PRIORITIES) uxPriority = configMAX_PRIORITIES - 1;
  // The control block first, then the stack, as the board allocates them. The
  // firmware never supplies a stack of its own, so one is always allocated.
  (void)puxStackBuffer;
  tskTCB* tcb = allocate_tcb();
  if (tcb == nullptr) return errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY;
  tcb->pxStack = static_cast<portSTACK_TYPE*>(pvPortMalloc(usStackDepth * sizeof(portSTACK_TYPE)));
  if (tcb->pxStack == nullptr) {
    release_tcb(tcb);
    return errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY;
  }
  memset(tcb->pxStack, kStackFill, usStackDepth * sizeof(portSTACK_TYPE));
  tcb->uxStackDepth = usStackDepth;
  tcb->uxPriority = uxPriority;
  strncpy(reinterpret_cast<char*>(tcb->pcTaskName), reinterpret_cast<const char*>(pcName),
          configMAX_TASK_NAME_LEN);
  tcb->pcTaskName[configMAX_TASK_NAME_LEN - 1] = '\0';
  vListInitialiseItem(&tcb->xGenericListItem);
  vListInitialiseItem(&tcb->xEventListItem);
  tcb->xGenericListItem.pvOwner = tcb;
  tcb->xEventListItem.pvOwner = tcb;
  tcb->xEventListItem.xItemValue = configMAX_PRIORITIES - uxPriority;
  if (!xPortInitTask(tcb, pxTaskCode, pvParameters)) {
    vPortFree(tcb->pxStack);
    release_tcb(tcb);
    return errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY;
  }

  portENTER_CRITICAL();
  initialise_lists();
  number_of_tasks = number_of_tasks + 1;
  if (pxCurrentTCB == nullptr || (!scheduler_running && uxPriority >= pxCurrentTCB->uxPriority)) {
    pxCurrentTCB = tcb;
  }
  add_to_ready(tcb);
  portEXIT_CRITICAL();
  if (pxCreatedTask) *pxCreatedTask = tcb;
  if (scheduler_running && uxPriority > pxCurrentTCB->uxPriority) portYIELD();
  return pdPASS;
}

void vTaskDelete(xTaskHandle pxTaskToDelete) {
  portENTER_CRITICAL();
  tskTCB* tcb = to_tcb(pxTaskToDelete);
  vListRemove(&tcb->xGenericListItem);
  vListRemove(&tcb->xEventListItem);
  vListInsertEnd(&terminated_list, &tcb->xGenericListItem);
  number_of_tasks = number_of_tasks - 1;
  const bool self = tcb == pxCurrentTCB;
  portEXIT_CRITICAL();
  if (self && scheduler_running) portYIELD();
}

void vTaskDelay(portTickType xTicksToDelay) {
  if (xTicksToDelay > 0) {
    vTaskSuspendAll();
    block_current(xTicksToDelay);
    if (xTaskResumeAll() != pdFALSE) return;  // already switched away and back
  }
  portYIELD();
}

void vTaskSuspend(xTaskHandle pxTaskToSuspend) {
  portENTER_CRITICAL();
  tskTCB* tcb = to_tcb(pxTaskToSuspend);
  vListRemove(&tcb->xGenericListItem);
  vListRemove(&tcb->xEventListItem);
  vListInsertEnd(&suspended_list, &tcb->xGenericListItem);
  const bool self = tcb == pxCurrentTCB;
  portEXIT_CRITICAL();
  if (self && scheduler_running) portYIELD();
}

void vTaskStartScheduler(void) {
  initialise_lists();
  if (xTaskCreate(idle_task, reinterpret_cast<const signed char*>("IDLE"), kIdleStackWords, nullptr,
                  tskIDLE_PRIORITY, nullptr) != pdPASS) {
    return;
  }
  // Interrupts stay masked until the first task runs, so no tick arrives first.
  (void)portDISABLE_INTERRUPTS();
  scheduler_running = true;
  tick_count = 0;
  (void)xPortStartScheduler();
}

void vTaskSuspendAll(void) { scheduler_suspended = scheduler_suspended + 1; }

signed portBASE_TYPE xTaskResumeAll(void) {
  bool yielded = false;
  portENTER_CRITICAL();
  scheduler_suspended = scheduler_suspended - 1;
  if (scheduler_suspended == 0 && number_of_tasks > 0) {
    while (missed_ticks > 0) {
      if (xTaskIncrementTick() != pdFALSE) missed_yield = true;
      missed_ticks = missed_ticks - 1;
    }
    if (missed_yield && scheduler_running) {
      missed_yield = false;
      yielded = true;
      portYIELD();
    }
  }
  portEXIT_CRITICAL();
  return yielded ? pdTRUE : pdFALSE;
}

portTickType xTaskGetTickCount(void) {
  portENTER_CRITICAL();
  const portTickType t = tick_count;
  portEXIT_CRITICAL();
  return t;
}

xTaskHandle xTaskGetCurrentTaskHandle(void) { return pxCurrentTCB; }
unsigned portBASE_TYPE uxTaskGetNumberOfTasks(void) { return number_of_tasks; }
signed char* pcTaskGetTaskName(xTaskHandle xTaskToQuery) { return to_tcb(xTaskToQuery)->pcTaskName; }

// Called from the tick interrupt with kernel interrupts masked.
portBASE_TYPE xTaskIncrementTick(void) {
  if (scheduler_suspended != 0) {
    missed_ticks = missed_ticks + 1;
    return pdFALSE;
  }
  bool switch_needed = false;
  tick_count = tick_count + 1;
  while (!listIsEmpty(&delayed_list)) {
    xLIST_ITEM* head = listHead(&delayed_list);
    if (head->xItemValue != tick_count) break;
    auto* tcb = static_cast<tskTCB*>(head->pvOwner);
    vListRemove(&tcb->xGenericListItem);
    vListRemove(&tcb->xEventListItem);  // a time-out ends the wait for a mutex
    add_to_ready(tcb);
    if (tcb->uxPriority >= pxCurrentTCB->uxPriority) switch_needed = true;
  }
  if (ready_lists[pxCurrentTCB->uxPriority].uxNumberOfItems > 1) switch_needed = true;
  return switch_needed ? pdTRUE : pdFALSE;
}

// Called by name from the chip's PendSV handler.
extern "C" [[gnu::used]] void vTaskSwitchContext(void) {
  if (scheduler_suspended != 0) {
    missed_yield = true;
    return;
  }
  if (xPortStackOverflowed(pxCurrentTCB)) {
    tskTCB* tcb = pxCurrentTCB;
    vApplicationStackOverflowHook(reinterpret_cast<xTaskHandle*>(&tcb), tcb->pcTaskName);
  }
  // On local copies, and stored only when it changed: this runs in every switch.
  unsigned portBASE_TYPE top = top_ready_priority;
  xLIST* list = &ready_lists[top];
  if (listIsEmpty(list)) {
    do {
      --top;
      --list;
    } while (listIsEmpty(list));
    top_ready_priority = top;
  }
  pxCurrentTCB = static_cast<tskTCB*>(pvListNextOwner(list));
}

namespace {

void idle_task(void*) {
  for (;;) {
    check_tasks_waiting_termination();
    if (configIDLE_SHOULD_YIELD && ready_lists[tskIDLE_PRIORITY].uxNumberOfItems > 1) taskYIELD();
    portIDLE_WAIT();
  }
}

}  // namespace

// --- mutexes ------------------------------------------------------------------

namespace {

struct Mutex {
  tskTCB* holder;
  xLIST waiting;
#if !defined(__arm__)
  void* pvCharge;
#endif
};
#if defined(__arm__)
static_assert(sizeof(Mutex) == portBOARD_MUTEX_SIZE, "the host charges this size to the heap");
#endif

}  // namespace

xQueueHandle xQueueCreateMutex(unsigned char) {
  auto* m = kernel_new<Mutex>(portBOARD_MUTEX_SIZE);
  if (m == nullptr) return nullptr;
  m->holder = nullptr;
  vListInitialise(&m->waiting);
  return m;
}

void vQueueDelete(xQueueHandle xQueue) { kernel_delete(static_cast<Mutex*>(xQueue)); }

signed portBASE_TYPE xQueueGenericReceive(xQueueHandle xQueue, void* const, portTickType xTicksToWait,
                                          portBASE_TYPE) {
  auto* m = static_cast<Mutex*>(xQueue);
  portENTER_CRITICAL();
  if (m->holder == nullptr) {
    m->holder = pxCurrentTCB;
    portEXIT_CRITICAL();
    return pdTRUE;
  }
  if (xTicksToWait == 0 || !scheduler_running) {
    portEXIT_CRITICAL();
    return errQUEUE_EMPTY;
  }
  tskTCB* self = pxCurrentTCB;
  vListInsertOrdered(&m->waiting, &self->xEventListItem, priority_key);
  block_current(xTicksToWait);
  portYIELD();
  portEXIT_CRITICAL();  // the switch happens here and we come back once woken
  // The giver hands the mutex over directly; otherwise the wait timed out.
  return m->holder == self ? pdTRUE : errQUEUE_EMPTY;
}

signed portBASE_TYPE xQueueGenericSend(xQueueHandle xQueue, const void* const, portTickType, portBASE_TYPE) {
  auto* m = static_cast<Mutex*>(xQueue);
  portENTER_CRITICAL();
  if (m->holder == nullptr) {
    portEXIT_CRITICAL();
    return errQUEUE_FULL;  // not taken: nothing to give
  }
  m->holder = nullptr;
  if (!listIsEmpty(&m->waiting)) {
    auto* next = static_cast<tskTCB*>(listHead(&m->waiting)->pvOwner);
    vListRemove(&next->xEventListItem);
    vListRemove(&next->xGenericListItem);
    add_to_ready(next);
    m->holder = next;
    if (next->uxPriority >= pxCurrentTCB->uxPriority) portYIELD();
  }
  portEXIT_CRITICAL();
  return pdPASS;
}

#if !defined(__arm__)
void vPortDropHostObjects(void) {
  while (host_objects != nullptr) {
    HostLink* l = host_objects;
    unlink_object(l);
    l->destroy(l);
  }
}
#endif
