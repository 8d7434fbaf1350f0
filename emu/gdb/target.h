// What the debugger session needs of the thing it debugs: registers, memory,
// run control, break and watch lists, threads. The board image on the emulated
// core is one; the tests' fake is another. Nothing here knows the protocol.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "request.h"

namespace emu::gdb {

// The registers in the order of the target description (target.xml).
enum Register : unsigned {
  kR0 = 0,
  kSp = 13,
  kLr = 14,
  kPc = 15,
  kXpsr = 16,
  kMsp,
  kPsp,
  kPrimask,
  kBasepri,
  kFaultmask,
  kControl,
  kRegisterCount
};
using Registers = uint32_t[kRegisterCount];

enum class PointKind { software, hardware, write, read, access };  // Z0 to Z4

struct StopReason {
  enum class Kind { interrupted, breakpoint, step, watch_write, watch_read, watch_access, exited, fault };
  Kind kind = Kind::interrupted;
  uint32_t address = 0;        // watch: the data address that was accessed
  int exit_status = 0;         // exited
  bool history_begin = false;  // going back reached the start of the recorded history
};

struct Thread {
  ThreadId id;
  std::string name;
  std::string state;  // running, ready, blocked, suspended, deleted
};

class Target {
 public:
  virtual ~Target() = default;

  // The registers of `thread` (kAnyThread: the one the core runs); false if it
  // cannot show them.
  virtual bool read_registers(ThreadId thread, Registers& out) = 0;
  virtual bool write_register(ThreadId thread, unsigned reg, uint32_t value) = 0;
  // Memory as a debugger sees it: peripheral registers read without the side
  // effects a firmware read has. Returns how many bytes from the start could be read.
  virtual size_t read_memory(uint32_t address, uint8_t* out, size_t n) = 0;
  virtual bool write_memory(uint32_t address, const uint8_t* data, size_t n) = 0;
  virtual bool set_point(PointKind kind, uint32_t address, uint32_t length, bool insert) = 0;

  // Run control: the session then waits until the target reports a stop.
  virtual void resume(bool step) = 0;
  // Runs backwards to the previous instruction, or the last break or watch hit;
  // false if the target cannot.
  virtual bool reverse(bool step) = 0;
  virtual bool can_reverse() const = 0;
  // The interrupt byte while running: halt at once.
  virtual void interrupt() = 0;
  virtual StopReason stop_reason() = 0;

  // At least one thread, the current one first or flagged by current_thread().
  virtual std::vector<Thread> threads() = 0;
  virtual ThreadId current_thread() = 0;

  // `monitor TEXT`: what the command prints.
  virtual std::string monitor(const std::string& command) = 0;
  virtual void detach() = 0;
  virtual void kill() = 0;
};

}  // namespace emu::gdb
