// The Cortex-M3 kernel port on QEMU's mps2-an385, with the unit's kernel
// configuration: a controller task at priority 3 runs one phase after another
// with worker tasks at priority 2 and below, and reports each check on the UART
// ("ok N - ..." or "not ok N - ..."). The last phase overflows a task's stack;
// the hook ends the run with the verdict as QEMU's exit status.
#include <string.h>

#include "FreeRTOS.h"
#include "an385_board.h"
#include "semphr.h"
#include "stm32f10x.h"
#include "task.h"
#include "tcb.h"

extern "C" {
// Shared with reg_loops.S.
volatile uint32_t reg_loop_counts[3];
volatile uint32_t reg_loop_failed;
void reg_loop_1(void*);
void reg_loop_2(void*);
void reg_loop_3(void*);

extern uint32_t _estack[];
}

namespace {

constexpr unsigned kControllerPriority = 3;
constexpr unsigned kWorkerPriority = 2;
constexpr unsigned kBackgroundPriority = 1;
// Heap cost of a block: the request and the 8-byte header, rounded up to 8.
constexpr size_t cost(size_t bytes) { return (bytes + 8 + 7) & ~size_t{7}; }
constexpr size_t kTcbCost = cost(portBOARD_TCB_SIZE);

unsigned checks = 0;
unsigned failures = 0;

void check(bool ok, const char* what) {
  ++checks;
  if (!ok) ++failures;
  board_put(ok ? "ok " : "not ok ");
  board_put_uint(checks);
  board_put(" - ");
  board_put(what);
  board_put("\n");
}

void check_eq(uint32_t got, uint32_t want, const char* what) {
  check(got == want, what);
  if (got != want) {
    board_put("#   got ");
    board_put_uint(got);
    board_put(", want ");
    board_put_uint(want);
    board_put("\n");
  }
}

[[noreturn]] void finish() {
  board_put("1..");
  board_put_uint(checks);
  board_put(failures == 0 ? "\n# all passed\n" : "\n# FAILED\n");
  board_exit(failures == 0);
}

const signed char* name(const char* text) { return reinterpret_cast<const signed char*>(text); }

xTaskHandle spawn(pdTASK_CODE code, const char* task_name, unsigned short words, unsigned priority,
                  void* arg = nullptr) {
  xTaskHandle handle = nullptr;
  if (xTaskCreate(code, name(task_name), words, arg, priority, &handle) != pdPASS) {
    check(false, "a worker task could be created");
    finish();
  }
  return handle;
}

uint32_t read_ipsr() {
  uint32_t v;
  __asm volatile("mrs %0, ipsr" : "=r"(v));
  return v;
}
uint32_t read_control() {
  uint32_t v;
  __asm volatile("mrs %0, control" : "=r"(v));
  return v;
}
uint32_t read_msp() {
  uint32_t v;
  __asm volatile("mrs %0, msp" : "=r"(v));
  return v;
}
uint32_t read_psp() {
  uint32_t v;
  __asm volatile("mrs %0, psp" : "=r"(v));
  return v;
}
void barrier() { __asm volatile("dsb\n isb" ::: "memory"); }

// Initialised data: the reset sequence copies it from flash.
volatile uint32_t data_word = 0x5EED1234u;

// --- start-up -------------------------------------------------------------------

void first_task_checks() {
  board_put("# start-up\n");
  check_eq(data_word, 0x5EED1234u, "initialised data was copied from flash");
  check_eq(read_ipsr(), 0, "the first task runs in thread mode");
  check_eq(read_control() & 2u, 2u, "the first task runs on the process stack");
  auto* self = static_cast<tskTCB*>(xTaskGetCurrentTaskHandle());
  const uint32_t psp = read_psp();
  check(psp > reinterpret_cast<uint32_t>(self->pxStack) &&
            psp < reinterpret_cast<uint32_t>(self->pxStack + self->uxStackDepth),
        "its stack pointer lies in its own heap stack");
  // Only the SVC's own 8-word frame stays on it: the return went to the process stack.
  check_eq(read_msp(), reinterpret_cast<uint32_t>(_estack) - 32,
           "main's frames were given back to the main stack for the interrupts");
  check_eq(__get_BASEPRI(), 0, "the first task starts with interrupts unmasked");
  check_eq(SCB->SHP[10], 255, "PendSV at priority 255");
  check_eq(SCB->SHP[11], 255, "SysTick at priority 255");
  check_eq(SysTick->LOAD, 71999, "SysTick reload 71999 for 1 kHz at 72 MHz");
  check_eq(SysTick->CTRL & 7u, 7u, "SysTick counts the core clock with its interrupt on");
}

// --- round robin ------------------------------------------------------------------

struct Slice {
  int task;
  portTickType tick;
};
constexpr unsigned kMaxSlices = 48;
Slice slices[kMaxSlices];
volatile unsigned slice_count = 0;
volatile int last_runner = -1;

void spinner(void* arg) {
  const int me = static_cast<int>(reinterpret_cast<uintptr_t>(arg));
  for (;;) {
    taskENTER_CRITICAL();
    if (last_runner != me && slice_count < kMaxSlices) {
      slices[slice_count] = {me, xTaskGetTickCount()};
      slice_count = slice_count + 1;
      last_runner = me;
    }
    taskEXIT_CRITICAL();
  }
}

void round_robin() {
  board_put("# equal priorities share the processor tick by tick\n");
  xTaskHandle h[3];
  for (int i = 0; i < 3; ++i) h[i] = spawn(spinner, "SPIN", 128, kWorkerPriority, reinterpret_cast<void*>(i));
  vTaskDelay(30);
  for (auto t : h) vTaskDelete(t);

  check(slice_count >= 28, "about one slice per tick in 30 ticks");
  unsigned wrong_length = 0, wrong_order = 0;
  for (unsigned i = 1; i < slice_count; ++i) {
    if (slices[i].tick != slices[i - 1].tick + 1) ++wrong_length;
    if (i >= 3 && slices[i].task != slices[i - 3].task) ++wrong_order;
  }
  const bool three = slices[0].task != slices[1].task && slices[1].task != slices[2].task &&
                     slices[0].task != slices[2].task;
  check_eq(wrong_length, 0, "every slice lasts exactly one tick");
  check(three && wrong_order == 0, "the three tasks take turns in a fixed order");
}

// --- registers and flags ------------------------------------------------------------

void registers() {
  board_put("# r0-r12, LR and the flags survive preemption\n");
  pdTASK_CODE loops[3] = {reg_loop_1, reg_loop_2, reg_loop_3};
  xTaskHandle h[3];
  for (int i = 0; i < 3; ++i) h[i] = spawn(loops[i], "REGS", 128, kWorkerPriority);
  vTaskDelay(30);
  uint32_t first[3];
  for (int i = 0; i < 3; ++i) first[i] = reg_loop_counts[i];
  vTaskDelay(30);
  for (auto t : h) vTaskDelete(t);

  check_eq(reg_loop_failed, 0, "no task saw a register or flag change in 60 ticks of preemption");
  bool all_resumed = true;
  for (int i = 0; i < 3; ++i) all_resumed = all_resumed && first[i] > 0 && reg_loop_counts[i] > first[i];
  check(all_resumed, "each of the three tasks was preempted and resumed many times, checking as it went");
}

// --- delays ------------------------------------------------------------------------

constexpr portTickType kDelays[] = {1, 2, 3, 10, 25};
portTickType delay_seen[5];
volatile bool sleeper_done = false;
volatile uint32_t background_spins = 0;

void background(void*) {
  for (;;) background_spins = background_spins + 1;
}

void sleeper(void*) {
  for (unsigned i = 0; i < 5; ++i) {
    const portTickType before = xTaskGetTickCount();
    vTaskDelay(kDelays[i]);
    delay_seen[i] = xTaskGetTickCount() - before;
  }
  sleeper_done = true;
  vTaskSuspend(nullptr);
}

void delays() {
  board_put("# vTaskDelay wakes on the exact tick, preempting a busy lower-priority task\n");
  xTaskHandle busy = spawn(background, "BUSY", 128, kBackgroundPriority);
  xTaskHandle sleepy = spawn(sleeper, "SLEEPER", 128, kWorkerPriority);
  vTaskDelay(60);
  vTaskDelete(sleepy);
  vTaskDelete(busy);

  check(sleeper_done, "the sleeping task went through its five delays");
  bool exact = true;
  for (unsigned i = 0; i < 5; ++i) exact = exact && delay_seen[i] == kDelays[i];
  check(exact, "delays of 1, 2, 3, 10 and 25 ticks lasted exactly that");
  check(background_spins > 0, "the lower-priority task ran while the sleeper slept");
}

// --- mutex ---------------------------------------------------------------------------

constexpr portTickType kHoldTicks = 20;
xSemaphoreHandle mutex;
volatile bool holder_took = false;
volatile portTickType holder_gave_at = 0;

void holder(void*) {
  holder_took = xSemaphoreTake(mutex, 0) == pdTRUE;
  vTaskDelay(kHoldTicks);
  holder_gave_at = xTaskGetTickCount();
  (void)xSemaphoreGive(mutex);
  vTaskSuspend(nullptr);
}

void mutex_timeouts() {
  board_put("# mutex take with a time-out\n");
  const size_t free_before = xPortGetFreeHeapSize();
  mutex = xSemaphoreCreateMutex();
  check(mutex != nullptr, "a mutex is created");
  check_eq(free_before - xPortGetFreeHeapSize(), 40, "a mutex takes 40 bytes of the kernel heap on the chip");
  xTaskHandle h = spawn(holder, "HOLDER", 128, kWorkerPriority);
  vTaskDelay(1);
  check(holder_took, "another task holds the mutex");

  portTickType t0 = xTaskGetTickCount();
  signed portBASE_TYPE r = xSemaphoreTake(mutex, 0);
  check(r == pdFALSE && xTaskGetTickCount() == t0, "without a wait, taking a held mutex fails at once");
  t0 = xTaskGetTickCount();
  r = xSemaphoreTake(mutex, 5);
  const portTickType waited = xTaskGetTickCount() - t0;
  check(r == pdFALSE, "a take with a 5-tick time-out fails while the mutex stays held");
  check_eq(waited, 5, "it gives up after exactly 5 ticks");
  r = xSemaphoreTake(mutex, 100);
  const portTickType got_at = xTaskGetTickCount();
  check(r == pdTRUE, "a longer wait gets the mutex when it is given");
  check_eq(got_at, holder_gave_at, "on the very tick it is given");
  (void)xSemaphoreGive(mutex);
  vTaskDelete(h);
  vQueueDelete(mutex);
}

// --- BASEPRI ---------------------------------------------------------------------------

volatile uint32_t urgent_runs = 0;
volatile uint32_t urgent_saw_basepri = 0;
volatile uint32_t low_runs = 0;

void enable_irq(int irq, uint8_t priority) {
  NVIC->IP[irq] = priority;
  NVIC->ICPR[0] = 1u << irq;
  NVIC->ISER[0] = 1u << irq;
}

// Busy for `periods` SysTick wraps, seen through COUNTFLAG; the tick itself may be masked.
void busy_tick_periods(unsigned periods) {
  constexpr uint32_t kCountFlag = 1u << 16;
  (void)SysTick->CTRL;  // clears a stale flag
  for (unsigned seen = 0; seen < periods;) {
    if (SysTick->CTRL & kCountFlag) ++seen;
  }
}

void basepri_masking() {
  board_put("# critical sections: BASEPRI 0xBF masks the tick, not a 0x80 interrupt\n");
  constexpr uint32_t kPendStSet = 1u << 26;
  enable_irq(kUrgentIrq, 0x80);
  enable_irq(kLowIrq, 0xC0);

  taskENTER_CRITICAL();
  const uint32_t basepri_inside = __get_BASEPRI();
  const portTickType t0 = xTaskGetTickCount();
  NVIC->ISPR[0] = (1u << kUrgentIrq) | (1u << kLowIrq);
  barrier();
  const uint32_t urgent_at_once = urgent_runs;
  busy_tick_periods(3);
  const portTickType ticks_masked = xTaskGetTickCount() - t0;
  const bool tick_pending = (SCB->ICSR & kPendStSet) != 0;
  const uint32_t low_masked = low_runs;
  taskENTER_CRITICAL();
  taskEXIT_CRITICAL();
  barrier();
  const uint32_t basepri_nested = __get_BASEPRI();
  const uint32_t low_after_nested = low_runs;
  const portTickType ticks_after_nested = xTaskGetTickCount() - t0;
  taskEXIT_CRITICAL();
  barrier();
  const portTickType ticks_after = xTaskGetTickCount() - t0;
  NVIC->ICER[0] = (1u << kUrgentIrq) | (1u << kLowIrq);

  check_eq(basepri_inside, 0xBF, "a critical section sets BASEPRI to 0xBF");
  check_eq(urgent_at_once, 1, "a priority 0x80 interrupt runs at once inside it");
  check_eq(urgent_saw_basepri, 0xBF, "it ran while BASEPRI was 0xBF");
  check_eq(ticks_masked, 0, "no tick counted during 3 tick periods inside it");
  check(tick_pending, "the SysTick exception waited pending");
  check_eq(low_masked, 0, "a priority 0xC0 interrupt waited too");
  check(basepri_nested == 0xBF && low_after_nested == 0 && ticks_after_nested == 0,
        "leaving a nested critical section keeps the mask");
  check_eq(ticks_after, 1, "leaving the outer one takes the pending tick");
  check_eq(low_runs, 1, "and the waiting 0xC0 interrupt");
  check_eq(__get_BASEPRI(), 0, "BASEPRI is 0 again");
}

// --- deletion -----------------------------------------------------------------------------

volatile uint32_t victim_runs = 0;

void victim(void*) {
  for (;;) {
    victim_runs = victim_runs + 1;
    vTaskDelay(1);
  }
}

void self_deleter(void*) { vTaskDelete(nullptr); }

void never_runs(void*) {}

void deletion() {
  board_put("# a deleted task's memory comes back through the idle task\n");
  vTaskDelay(2);  // the idle task frees what earlier phases deleted
  const size_t free0 = xPortGetFreeHeapSize();
  const unsigned long tasks0 = uxTaskGetNumberOfTasks();
  xTaskHandle h = spawn(victim, "VICTIM", 100, kWorkerPriority);
  const size_t free1 = xPortGetFreeHeapSize();
  check_eq(free0 - free1, kTcbCost + cost(100 * 4),
           "a 100-word task costs its 72-byte control block and 400-byte stack, each with an 8-byte header");
  vTaskDelay(3);
  check(victim_runs > 0, "the task ran");
  vTaskDelete(h);
  check_eq(xPortGetFreeHeapSize(), free1, "deleted, its memory waits while the idle task cannot run");
  check_eq(uxTaskGetNumberOfTasks(), tasks0, "it no longer counts as a task");
  vTaskDelay(2);
  check_eq(xPortGetFreeHeapSize(), free0, "once the idle task has run, the memory is back");

  (void)spawn(self_deleter, "SELFDEL", 100, kWorkerPriority);
  vTaskDelay(3);
  check_eq(xPortGetFreeHeapSize(), free0, "a task that deletes itself gives its memory back the same way");

  xTaskHandle tiny = nullptr;
  const auto r = xTaskCreate(never_runs, name("TINY"), 16, nullptr, kWorkerPriority, &tiny);
  check(r == errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY && tiny == nullptr,
        "a stack too small for the first frame is refused");
  check_eq(xPortGetFreeHeapSize(), free0, "and costs nothing");
  // 16 words of frame, 5 of checked fill, 1 that alignment may take. Deleted before
  // it can run: its function returns.
  check(xTaskCreate(never_runs, name("TIGHT"), 21, nullptr, kWorkerPriority, &tiny) != pdPASS,
        "21 words are refused");
  check(xTaskCreate(never_runs, name("TIGHT"), 22, nullptr, kWorkerPriority, &tiny) == pdPASS,
        "22 words, the least that holds the first frame above the fill, are accepted");
  vTaskDelete(tiny);
  vTaskDelay(2);
  check_eq(xPortGetFreeHeapSize(), free0, "and given back");
}

// --- the stack check itself ------------------------------------------------------------------

void stack_check() {
  board_put("# the switch's stack check\n");
  // The stack proper starts 8 words in, so that a pointer below it is still in the array.
  alignas(8) static portSTACK_TYPE area[40];
  portSTACK_TYPE* const stack = area + 8;
  tskTCB t{};
  t.pxStack = stack;
  t.uxStackDepth = 32;
  auto* bytes = reinterpret_cast<uint8_t*>(stack);
  memset(area, 0xA5, sizeof area);
  t.pxTopOfStack = stack + 16;
  check(!xPortStackOverflowed(&t), "fill intact and stack pointer inside: no overflow");
  t.pxTopOfStack = stack - 1;
  check(xPortStackOverflowed(&t), "a saved stack pointer below the stack's start is an overflow");
  t.pxTopOfStack = stack + 16;
  bytes[0] = 0;
  check(xPortStackOverflowed(&t), "a changed first byte of the fill is an overflow");
  bytes[0] = 0xA5;
  bytes[19] = 0;
  check(xPortStackOverflowed(&t), "so is a changed 20th byte");
  bytes[19] = 0xA5;
  bytes[20] = 0;
  check(!xPortStackOverflowed(&t), "the 21st byte is beyond the checked fill");
}

// --- a real overflow -------------------------------------------------------------------------

xTaskHandle overflowing = nullptr;
volatile bool overflow_expected = false;

// Each level yields, so the switch checks the stack level by level and sees the
// overflow before it reaches the control block below the stack.
[[gnu::noinline]] void dive(unsigned depth) {
  volatile uint32_t pad[4];
  pad[0] = depth;
  taskYIELD();
  if (depth < 100000) dive(depth + 1);
  pad[1] = pad[0];
}

void diver(void*) {
  dive(0);
  vTaskSuspend(nullptr);
}

void controller(void*) {
  first_task_checks();
  round_robin();
  registers();
  delays();
  mutex_timeouts();
  basepri_masking();
  deletion();
  stack_check();

  board_put("# a task overflows its stack\n");
  overflow_expected = true;
  overflowing = spawn(diver, "OVERFLOWER", 96, kWorkerPriority);
  vTaskDelay(200);
  check(false, "the overflowing task reached the stack overflow hook");
  finish();
}

}  // namespace

void urgent_irq() {
  urgent_runs = urgent_runs + 1;
  urgent_saw_basepri = __get_BASEPRI();
}

void low_irq() { low_runs = low_runs + 1; }

extern "C" void vApplicationStackOverflowHook(xTaskHandle* pxTask, signed char* pcTaskName) {
  board_put("# stack overflow hook: ");
  board_put(reinterpret_cast<const char*>(pcTaskName));
  board_put("\n");
  check(overflow_expected, "the hook is reached only by the overflowing task");
  check(strcmp(reinterpret_cast<const char*>(pcTaskName), "OVERFLOWER") == 0,
        "the hook gets the task's name");
  check(*pxTask == overflowing, "and its handle");
  check_eq(__get_BASEPRI(), 0xBF, "it runs in the switch with the kernel's interrupts masked");
  finish();
}

int main(void) {
  board_put("# kernel port test on mps2-an385 with the unit's RAM layout\n");
  (void)spawn(controller, "CONTROL", 300, kControllerPriority);
  vTaskStartScheduler();
  check(false, "the scheduler starts");
  finish();
}
