// One fresh board per test process, driven command by command: type a line,
// run virtual time until the next prompt, look at the board in between.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "machine.h"
#include "sim.h"

class ConsoleSession {
 public:
  explicit ConsoleSession(const sim::Options& options = sim::Options{})
      : machine_(options), input_(machine_.board(), machine_.board().usart1, sim::LineInput::Mode::paced) {
    machine_.board().usart1.set_tx_sink([this](uint8_t byte) { out_.push_back(static_cast<char>(byte)); });
    run_to_prompt("console>");
  }

  // Types `line` and Enter; returns what the command printed between the line
  // break after its echo and the next prompt.
  std::string run(const std::string& line) {
    out_.clear();
    input_.push(line + "\r");
    if (!run_to_prompt(kPrompt)) return "<no prompt> " + out_;
    const std::string echo = line + "\r\n";
    EXPECT_EQ(out_.compare(0, echo.size(), echo), 0) << "echo of " << line << ": " << out_;
    return out_.substr(echo.size(), out_.size() - echo.size() - kPrompt.size());
  }

  // The firmware breaks none of the chip's rules the board checks, whatever the test did.
  ~ConsoleSession() { EXPECT_EQ(board().rules.count(), 0u) << board().rules.first(); }

  sim::Machine& machine() { return machine_; }
  board::Board& board() { return machine_.board(); }

 private:
  inline static const std::string kPrompt = "\r\nconsole>";

  bool run_to_prompt(const std::string& prompt) {
    const sim::Cycles limit = machine_.now() + sim::seconds(10);
    machine_.run_while(
        [&] { return !(out_.size() >= prompt.size() && out_.ends_with(prompt) && input_.idle()); },
        sim::seconds(0.01), limit);
    return machine_.now() < limit && !machine_.halted();
  }

  sim::Machine machine_;
  sim::LineInput input_;
  std::string out_;
};
