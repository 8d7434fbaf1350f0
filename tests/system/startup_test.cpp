// Start-up on a fresh board: banner, task table, mutex failures, stack overflow.
#include <gtest/gtest.h>

#include <string>

#include "heap_info.h"
#include "help_text.h"
#include "machine.h"
#include "main.h"
#include "port_host.h"
#include "sim.h"

namespace {

const std::string kBanner = "\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\n";

TEST(Startup, BannerPromptAndHelpByteForByte) {
  sim::Options opt;
  const sim::BatchResult r = sim::run_batch("help\r", opt);
  EXPECT_EQ(r.console, kBanner + "console>help\r\n" + help_text::listing() + "\r\nconsole>");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.diagnostics, "");
}

TEST(Startup, CreatedRowsAreRunningAndTheOthersUntouched) {
  sim::Options opt;
  opt.until_s = 0.5;
  sim::run_batch("", opt);
  int rows = 0;
  for (const sTasks* row = fTasks; row->name != nullptr; ++row, ++rows) {
    const std::string name = reinterpret_cast<const char*>(*row->name);
    if (name == "CONSOLE" || name == "REFSTORAGE" || name == "KEYS" || name == "RS485") {
      EXPECT_EQ(row->flags, 0x81) << name;
      EXPECT_NE(row->handle, nullptr) << name;
    } else {
      EXPECT_EQ(row->flags, 0x00) << name;
      EXPECT_EQ(row->handle, nullptr) << name;
    }
  }
  EXPECT_EQ(rows, 6);
  EXPECT_NE(xsStorage, nullptr);
  EXPECT_NE(xsBackup, nullptr);
}

TEST(Startup, NoMemoryForTheFirstMutexPrintsOnlyItsMessageAndHalts) {
  heap_refuse_after(0);
  sim::Options opt;
  const sim::BatchResult r = sim::run_batch("help\r", opt);
  EXPECT_EQ(r.console, kBanner + "ERROR! Can't create xsStorage semaphore\r\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.diagnostics.find("halted"), std::string::npos);
  EXPECT_EQ(fTasks[1].handle, nullptr);
}

TEST(Startup, NoMemoryForTheSecondMutex) {
  heap_refuse_after(1);
  sim::Options opt;
  const sim::BatchResult r = sim::run_batch("", opt);
  EXPECT_EQ(r.console, kBanner + "ERROR! Can't create xsBackup semaphore\r\n");
  EXPECT_EQ(r.exit_status, 1);
}

// The timer interrupts lie above the kernel's ceiling: they go on after an overflow.
TEST(Startup, StackOverflowIsReportedAndStopsSchedulingButNotTimers) {
  sim::Machine m;
  board::Board& b = m.board();
  std::string out;
  b.usart1.set_tx_sink([&](uint8_t byte) { out.push_back(static_cast<char>(byte)); });
  m.run_until(sim::seconds(0.2));
  ASSERT_EQ(out, kBanner + "console>");
  vPortSpoilStack(fTasks[1].handle);
  m.run_until(sim::seconds(0.4));
  EXPECT_EQ(out, kBanner + "console>Error!!! ApplicationStackOverflow. Task: CONSOLE\r\n");
  EXPECT_TRUE(m.halted());

  constexpr int kTim4 = board::Cpu::kIrq0 + board::kTim4Irq;
  const auto ticks = b.cpu.exceptions_taken(board::Cpu::kSysTick);
  const auto timer_runs = b.cpu.exceptions_taken(kTim4);
  sim::LineInput typing(b, b.usart1, sim::LineInput::Mode::live);
  typing.push("help\r");
  m.run_until(m.now() + sim::seconds(1.0));
  // TIM4 wraps every 163.84 ms: six updates in a second.
  EXPECT_GE(b.cpu.exceptions_taken(kTim4) - timer_runs, 6u);
  EXPECT_EQ(b.cpu.exceptions_taken(board::Cpu::kSysTick), ticks);  // the tick is masked for good
  EXPECT_EQ(out, kBanner + "console>Error!!! ApplicationStackOverflow. Task: CONSOLE\r\n");  // nobody echoes
}

}  // namespace
