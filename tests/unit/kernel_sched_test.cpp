// The scheduler, delays, mutexes, suspension and deletion, on the simulated board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel_board.h"
#include "port_host.h"
#include "semphr.h"

namespace {

constexpr unsigned kPrio = 2;

struct Event {
  std::string what;
  portTickType tick;
};
std::vector<Event> events;
void note(const std::string& what) { events.push_back({what, xTaskGetTickCount()}); }

xTaskHandle create(pdTASK_CODE code, const char* name, void* arg = nullptr, unsigned short words = 200) {
  xTaskHandle h = nullptr;
  EXPECT_EQ(xTaskCreate(code, reinterpret_cast<const signed char*>(name), words, arg, kPrio, &h), pdPASS);
  return h;
}

// --- round robin ---------------------------------------------------------------

void spinner(void* arg) {
  const char* name = static_cast<const char*>(arg);
  for (;;) {
    note(name);
    hostcpu::busy_cycles(72000 / 4);  // a quarter of a tick of work
  }
}

TEST(KernelScheduler, EqualPrioritiesShareTickByTickInTurn) {
  test::run_kernel(
      [] {
        create(spinner, "A", const_cast<char*>("A"));
        create(spinner, "B", const_cast<char*>("B"));
        create(spinner, "C", const_cast<char*>("C"));
      },
      0.0305);
  // Collapse runs of the same task: each slice is one tick long, in a fixed order.
  std::vector<Event> slices;
  for (const auto& e : events)
    if (slices.empty() || slices.back().what != e.what) slices.push_back(e);
  ASSERT_GE(slices.size(), 27u);
  for (size_t i = 3; i < slices.size(); ++i) {
    EXPECT_EQ(slices[i].what, slices[i - 3].what) << "slice " << i;
    EXPECT_EQ(slices[i].tick, slices[i - 1].tick + 1) << "slice " << i;
  }
  int count[3] = {};
  for (const auto& s : slices) ++count[s.what[0] - 'A'];
  EXPECT_LE(std::max({count[0], count[1], count[2]}) - std::min({count[0], count[1], count[2]}), 1);
}

// --- delays --------------------------------------------------------------------

void sleeper(void*) {
  vTaskDelay(5);
  note("woke");
  for (portTickType d : {1u, 50u, 7u}) {
    const portTickType before = xTaskGetTickCount();
    vTaskDelay(d);
    EXPECT_EQ(xTaskGetTickCount() - before, d);
  }
  note("done");
  for (;;) vTaskDelay(1000);
}

TEST(KernelScheduler, DelayWakesOnTheExactTick) {
  test::run_kernel([] { create(sleeper, "SLEEPER"); }, 0.2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].tick, 5u);
  EXPECT_EQ(events[1].tick, 5u + 1 + 50 + 7);
}

// --- mutexes -------------------------------------------------------------------

xSemaphoreHandle mutex;

void holder(void*) {
  ASSERT_EQ(xSemaphoreTake(mutex, 0), pdTRUE);
  note("held");
  vTaskDelay(100);
  note("give");
  EXPECT_EQ(xSemaphoreGive(mutex), pdPASS);
  // Handed over: the waiter has run and owns it now.
  EXPECT_EQ(xSemaphoreTake(mutex, 0), pdFALSE);
  note("retake refused");
  for (;;) vTaskDelay(1000);
}

void impatient(void*) {
  vTaskDelay(10);
  EXPECT_EQ(xSemaphoreTake(mutex, 30), pdFALSE);
  note("timed out");
  for (;;) vTaskDelay(1000);
}

void patient(void*) {
  vTaskDelay(20);
  EXPECT_EQ(xSemaphoreTake(mutex, 1000), pdTRUE);
  note("got it");
  vTaskDelay(10);
  EXPECT_EQ(xSemaphoreGive(mutex), pdPASS);
  EXPECT_EQ(xSemaphoreGive(mutex), pdFAIL);  // nothing left to give
  for (;;) vTaskDelay(1000);
}

TEST(KernelMutex, TimeOutAndHandOver) {
  test::run_kernel(
      [] {
        mutex = xSemaphoreCreateMutex();
        create(holder, "HOLDER");
        create(impatient, "IMPATIENT");
        create(patient, "PATIENT");
      },
      0.3);
  std::vector<std::pair<std::string, portTickType>> seen;
  for (const auto& e : events) seen.emplace_back(e.what, e.tick);
  const std::vector<std::pair<std::string, portTickType>> expected = {
      {"held", 0}, {"timed out", 40}, {"give", 100}, {"got it", 100}, {"retake refused", 100}};
  EXPECT_EQ(seen, expected);
}

// --- suspend and delete --------------------------------------------------------

int suspended_runs = 0;
void suspends_itself(void*) {
  for (;;) {
    ++suspended_runs;
    vTaskSuspend(nullptr);
  }
}

void deletes_itself(void*) {
  note("deleting");
  vTaskDelete(nullptr);
  note("still here");
}

// A task of 200 words: control block and stack, each with its heap header.
constexpr size_t kTaskCost = portBOARD_TCB_SIZE + 8 + 200 * 4 + 8;
constexpr size_t kIdleCost = portBOARD_TCB_SIZE + 8 + 128 * 4 + 8;
size_t free_before_tasks;
size_t free_with_tasks;
xTaskHandle victim;

void victim_task(void*) {
  for (;;) vTaskDelay(1);
}

void killer(void*) {
  vTaskDelay(5);
  free_with_tasks = xPortGetFreeHeapSize();
  vTaskDelete(victim);
  note("killed");
  vTaskDelay(5);  // the idle task runs meanwhile and frees both deleted tasks
  note("after idle");
  EXPECT_EQ(xPortGetFreeHeapSize(), free_with_tasks + kTaskCost);
  for (;;) vTaskDelay(1000);
}

TEST(KernelTasks, SuspendDeleteAndReclaimByIdle) {
  test::run_kernel(
      [] {
        free_before_tasks = xPortGetFreeHeapSize();
        create(suspends_itself, "SUSPENDER");
        create(deletes_itself, "QUITTER");
        victim = create(victim_task, "VICTIM");
        create(killer, "KILLER");
      },
      0.1);
  EXPECT_EQ(suspended_runs, 1);
  std::vector<std::string> seen;
  for (const auto& e : events) seen.push_back(e.what);
  EXPECT_EQ(seen, (std::vector<std::string>{"deleting", "killed", "after idle"}));
  // Two deleted tasks came back; the suspender, the killer and idle remain, and
  // the heap holds nothing else.
  EXPECT_EQ(uxTaskGetNumberOfTasks(), 3u);
  EXPECT_EQ(xPortGetFreeHeapSize(), free_before_tasks - 2 * kTaskCost - kIdleCost);
}

// --- stack overflow ------------------------------------------------------------

void overflows(void*) {
  vTaskDelay(3);
  vPortSpoilStack(xTaskGetCurrentTaskHandle());
  vTaskDelay(1);  // the check at this switch finds the damage
  note("not reached");
}

TEST(KernelTasks, StackOverflowIsReportedByNameAndStopsScheduling) {
  test::run_kernel(
      [] {
        create(victim_task, "BYSTANDER");
        create(overflows, "GREEDY");
      },
      0.05);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(board::the_board().cpu.halted());
  EXPECT_NE(test::console_output().find("Error!!! ApplicationStackOverflow. Task: GREEDY\r\n"),
            std::string::npos);
  const auto ticks = board::the_board().cpu.exceptions_taken(board::Cpu::kPendSv);
  test::run_more(0.05);
  EXPECT_EQ(board::the_board().cpu.exceptions_taken(board::Cpu::kPendSv), ticks);  // no task runs again
}

// A real overflow: recursion that yields at every level is caught at a switch.
int deepest = 0;
void recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  deepest = depth;
  taskYIELD();
  if (depth < 1000000) recurse(depth + 1);
  frame[1] = frame[0];
}

void recursive(void*) { recurse(1); }

TEST(KernelTasks, DeepRecursionReachesTheHook) {
  test::run_kernel([] { create(recursive, "DEEP"); }, 0.05);
  EXPECT_TRUE(board::the_board().cpu.halted());
  EXPECT_NE(test::console_output().find("Error!!! ApplicationStackOverflow. Task: DEEP\r\n"),
            std::string::npos);
  EXPECT_GT(deepest, 10);
}

}  // namespace

// --- ticks while the scheduler is suspended ---------------------------------------

void waker(void*) {
  vTaskDelay(2);
  note("H woke");
  for (;;) vTaskDelay(1000);
}

void suspender(void*) {
  vTaskSuspendAll();
  note("L suspended");
  hostcpu::busy_cycles(72000 * 5);  // five ticks go by meanwhile
  note("L resuming");
  const signed portBASE_TYPE yielded = xTaskResumeAll();
  note(yielded != pdFALSE ? "L resumed after a yield" : "L resumed");
  for (;;) vTaskDelay(1000);
}

TEST(KernelScheduler, TicksMissedWhileSuspendedAreCaughtUpAndWakeTheDelayedTask) {
  events.clear();
  test::run_kernel(
      [] {
        xTaskHandle h = nullptr;
        ASSERT_EQ(xTaskCreate(waker, reinterpret_cast<const signed char*>("H"), 200, nullptr, kPrio + 1, &h), pdPASS);
        create(suspender, "L");
      },
      0.02);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].what, "L suspended");
  EXPECT_EQ(events[1].what, "L resuming");
  // The tick count does not move while suspended...
  EXPECT_EQ(events[1].tick, events[0].tick);
  // ...and catches up on resuming, the higher task whose delay ran out meanwhile
  // running before the resuming one goes on.
  EXPECT_EQ(events[2].what, "H woke");
  EXPECT_EQ(events[2].tick, events[0].tick + 5);
  EXPECT_EQ(events[3].what, "L resumed after a yield");
  EXPECT_EQ(events[3].tick, events[0].tick + 5);
}
