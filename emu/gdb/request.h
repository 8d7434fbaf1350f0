// The packets gdb-multiarch sends to a Cortex-M target, parsed from their
// payloads. A packet this module does not know is `unknown` (the protocol's
// empty reply); one it knows with fields that do not parse is `malformed` (an
// error reply).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu::gdb {

// A thread as the protocol names it: a positive id, 0 for any, -1 for all.
using ThreadId = int64_t;
constexpr ThreadId kAnyThread = 0, kAllThreads = -1;

struct ResumeAction {
  enum class Kind { cont, step, reverse_step, reverse_cont };
  Kind kind = Kind::cont;
  int signal = -1;  // C, S: the signal to deliver (ignored by this target)
  ThreadId thread = kAllThreads;
};

struct Request {
  enum class Kind {
    unknown,
    malformed,
    halt_reason,      // ?
    read_registers,   // g
    write_registers,  // G
    read_register,    // p n
    write_register,   // P n=v
    read_memory,      // m a,l
    write_memory,     // M a,l:hex and X a,l:binary
    resume,           // c, s, C, S, vCont;..., bs, bc
    resume_actions,   // vCont?
    insert_point,     // Z t,a,k
    remove_point,     // z t,a,k
    kill,             // k, vKill
    detach,           // D
    set_thread,       // H op tid
    thread_alive,     // T tid
    supported,        // qSupported
    no_ack_mode,      // QStartNoAckMode
    xfer_read,        // qXfer:object:read:annex:offset,length
    attached,         // qAttached
    current_thread,   // qC
    first_threads,    // qfThreadInfo
    next_threads,     // qsThreadInfo
    thread_extra,     // qThreadExtraInfo,tid
    monitor,          // qRcmd,hex
    symbol,           // qSymbol
    must_reply_empty  // vMustReplyEmpty
  };

  Kind kind = Kind::unknown;
  uint64_t address = 0;
  uint64_t length = 0;
  uint64_t value = 0;                 // P: the register's bytes as sent, little-endian
  unsigned reg = 0;                   // p, P
  unsigned point_type = 0;            // Z, z: 0 software, 1 hardware, 2 write, 3 read, 4 access
  std::string data;                   // G, M, X: the bytes; qRcmd: the command text
  std::vector<ResumeAction> actions;  // resume
  bool reverse = false;               // bs, bc
  char thread_op = 0;                 // H: 'g' or 'c'
  ThreadId thread = kAnyThread;       // H, T, qThreadExtraInfo
  std::string object, annex;          // qXfer
  std::vector<std::string> features;  // qSupported
};

Request parse(std::string_view payload);

}  // namespace emu::gdb
