// The whole-system suite runs twice: on the firmware compiled for the host, and
// on the board image on the emulated Cortex-M3 (CTest sets TARVIK_SIM_IMAGE for
// the second run, one test a process). The tests below reach into the host
// build's internals (the firmware's globals, kernel handles and calls, the host
// heap's fault injection), which cannot see the image's: on the image they are
// skipped with the reason, instead of passing or failing on values the image
// never set.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "image.h"

namespace {

struct Skip {
  const char* test;
  const char* why;
};

constexpr Skip kHostOnly[] = {
    {"Startup.CreatedRowsAreRunningAndTheOthersUntouched",
     "reads the task table and mutex handles of the host build"},
    {"Startup.NoMemoryForTheFirstMutexPrintsOnlyItsMessageAndHalts", "makes the host kernel heap refuse"},
    {"Startup.NoMemoryForTheSecondMutex", "makes the host kernel heap refuse"},
    {"Startup.StackOverflowIsReportedAndStopsSchedulingButNotTimers",
     "spoils a task's stack through the host port"},
    {"MotorCommands.SettersWrapAroundAndComplainWithoutAValue", "reads engine3_pid_target of the host build"},
    {"MotorCommands.PidWordsInAnyOrderOverTheDefaults", "reads the regulator's globals of the host build"},
    {"MotorCommands.AccelerationWordsMessagesAndFailure", "reads the acceleration globals of the host build"},
    {"Exhaustion.ARampTooLongForTheHeapIsRefusedAndNothingReadsTheOldTable",
     "reads the acceleration globals of the host build"},
    {"TaskCommands.ListDeleteAndRowsThatDoNotRun", "reads a task handle and the free heap of the host build"},
    {"TaskCommands.DeletingTheConsoleEndsIt", "reads the task table of the host build"},
    {"VariableCommands.NoMemoryLeavesTheStoreAsItWas", "makes the host kernel heap refuse"},
    {"Commands.TableKeepsTheHelpOrder", "reads the console table of the host build and runs no board"},
    {"LcdTask.TestModeFirstThenKeysWalkTheMenus", "reads the task table of the host build"},
    {"LcdTask.WorkModeWhenTheSystemStartsInWork", "changes a stored variable of the host build"},
    {"LcdConsole.CommandsDrawOnTheDisplayTheTaskKeepsRedrawing", "asks the host kernel which task draws"},
};

// The reason when every test this process runs is host-only, else null.
const char* host_only_reason() {
  const testing::UnitTest& all = *testing::UnitTest::GetInstance();
  const char* why = nullptr;
  for (int s = 0; s < all.total_test_suite_count(); ++s) {
    const testing::TestSuite& suite = *all.GetTestSuite(s);
    for (int t = 0; t < suite.total_test_count(); ++t) {
      const testing::TestInfo& info = *suite.GetTestInfo(t);
      if (!info.should_run()) continue;
      const std::string name = std::string(info.test_suite_name()) + "." + info.name();
      const char* reason = nullptr;
      for (const Skip& skip : kHostOnly)
        if (name == skip.test) reason = skip.why;
      if (reason == nullptr) return nullptr;
      why = reason;
    }
  }
  return why;
}

class ImageSkips : public testing::Environment {
 public:
  void SetUp() override {
    if (sim::image_path(sim::Options{}).empty()) return;
    if (const char* why = host_only_reason()) {
      // The line CTest reads to count the test as skipped.
      std::printf("[  SKIPPED ] not on the board image: %s\n", why);
      GTEST_SKIP() << why;
    }
  }
};

[[maybe_unused]] testing::Environment* const kImageSkips = testing::AddGlobalTestEnvironment(new ImageSkips);

}  // namespace
