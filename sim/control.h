// tarvik-sim --control: another program drives the board with requests, one JSON
// object a line, and gets one JSON reply a line (the protocol is in the README).
// A front end of the machine like batch and interactive mode: it turns requests
// into the machine's calls and owns no board logic. Virtual time moves only when
// a request runs it.
#pragma once
#include <memory>
#include <string>

#include "machine.h"
#include "sim.h"

namespace sim {

// The protocol's version, which `hello` answers; raised when a reply or a
// request changes in a way an older client would misread.
constexpr int kControlVersion = 1;

class Control {
 public:
  // `options` as the machine was made with.
  Control(Machine& m, const Options& options);
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // The reply to one request line (without the line feed, which it never holds).
  std::string handle(const std::string& line);
  // An `end` request has been answered: no more requests.
  bool ended() const { return ended_; }
  // Ends the run once (files written); what is to be reported on standard error.
  std::string finish();

  struct State;

 private:
  std::unique_ptr<State> s_;
  bool ended_ = false;
  bool finished_ = false;
  std::string report_;
};

// What is wrong with --control's options, or "" if nothing.
std::string control_options_problem(const Options& options);

}  // namespace sim
