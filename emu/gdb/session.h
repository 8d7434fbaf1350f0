// One debugger's conversation with a target: the bytes gdb sends in, the bytes
// to send back out. Acknowledgements until QStartNoAckMode, the replies to every
// packet of request.h, and the stop reply once a resumed target halts. Blocking
// and sockets are the caller's business.
#pragma once
#include <string>
#include <vector>

#include "packet.h"
#include "target.h"

namespace emu::gdb {

// The board's target description and memory map (qXfer:features, qXfer:memory-map).
std::string target_description();
std::string memory_map();
// The kernel's tasks as qXfer:threads lists them.
std::string thread_list(const std::vector<Thread>& threads);

class Session {
 public:
  explicit Session(Target& target) : target_(target) {}

  // Bytes from the debugger; returns what to send back (acks, replies).
  std::string receive(const uint8_t* data, size_t n);
  std::string receive(const std::string& bytes) {
    return receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // The target halted after a resume: the stop reply to send.
  std::string stopped();
  // The run ended while the debugger was attached: W with the status.
  std::string exited(int status);

  // A resume is outstanding: the reply comes with stopped().
  bool running() const { return running_; }
  // The debugger detached or killed the target: the conversation is over.
  bool ended() const { return ended_; }
  bool no_ack() const { return no_ack_; }

  // One packet's reply payload (without framing); empty for the empty reply.
  // `reply` is false when the packet gets none now (a resume, a kill).
  std::string answer(const Request& request, bool& reply);

 private:
  std::string send(const std::string& payload);
  std::string stop_reply(const StopReason& why);
  std::string xfer(const Request& r);
  std::string registers_hex(ThreadId thread, bool& ok);

  Target& target_;
  PacketReader reader_;
  bool no_ack_ = false;
  bool running_ = false;
  bool ended_ = false;
  bool hwbreak_ = false;                  // the debugger understands hwbreak in stop replies
  ThreadId general_thread_ = kAnyThread;  // Hg: whose registers g, p read
  std::vector<Thread> thread_snapshot_;   // qfThreadInfo, and the XML list being read
  std::string threads_xml_;
  std::string last_sent_;  // sent again on a nack
};

}  // namespace emu::gdb
