// The debugger server's packet layer over arbitrary bytes from the socket: the
// reader, the parser and every reply the session makes, over a target of a few
// bytes of memory. Nothing may crash, and whatever the session sends must read
// back as whole, well-formed packets and acknowledgements.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gdb/packet.h"
#include "gdb/request.h"
#include "gdb/session.h"

namespace {

using namespace emu::gdb;

class FakeTarget final : public emu::gdb::Target {
 public:
  bool read_registers(ThreadId thread, Registers& out) override {
    if (thread != kAnyThread && thread != 1 && thread != 2) return false;
    for (unsigned i = 0; i < kRegisterCount; ++i) out[i] = regs_[i] ^ static_cast<uint32_t>(thread);
    return true;
  }
  bool write_register(ThreadId, unsigned reg, uint32_t value) override {
    if (reg >= kRegisterCount) std::abort();  // the session checks the number
    regs_[reg] = value;
    return true;
  }
  size_t read_memory(uint32_t address, uint8_t* out, size_t n) override {
    size_t got = 0;
    while (got < n && address + got >= kBase && address + got < kBase + sizeof memory_) {
      out[got] = memory_[address + got - kBase];
      ++got;
    }
    return got;
  }
  bool write_memory(uint32_t address, const uint8_t* data, size_t n) override {
    if (address < kBase || n > sizeof memory_ || address - kBase > sizeof memory_ - n) return false;
    std::memcpy(memory_ + (address - kBase), data, n);
    return true;
  }
  bool set_point(PointKind kind, uint32_t, uint32_t length, bool) override {
    if (static_cast<unsigned>(kind) > 4 || length == 0) std::abort();
    return true;
  }
  void resume(bool) override { running_ = true; }
  bool reverse(bool) override { return false; }
  bool can_reverse() const override { return false; }
  void interrupt() override {
    if (!running_) std::abort();  // the session interrupts only a running target
  }
  StopReason stop_reason() override {
    StopReason why;
    why.kind = static_cast<StopReason::Kind>(stops_++ % 8);
    why.address = 0x20000000u + stops_;
    return why;
  }
  std::vector<Thread> threads() override { return {{1, "Con<sole>", "running"}, {2, "L&CD\x01", "blocked"}}; }
  ThreadId current_thread() override { return 1; }
  std::string monitor(const std::string& command) override { return command.size() % 2 ? command : ""; }
  void detach() override {}
  void kill() override {}

  void stopped() { running_ = false; }

 private:
  static constexpr uint32_t kBase = 0x20000000u;
  uint32_t regs_[kRegisterCount] = {};
  uint8_t memory_[64] = {};
  bool running_ = false;
  unsigned stops_ = 0;
};

// The session's output is packets and acks only, each packet intact.
void check_output(const std::string& out) {
  PacketReader reader;
  std::vector<PacketReader::Event> events;
  reader.feed(reinterpret_cast<const uint8_t*>(out.data()), out.size(), events);
  if (reader.inside()) std::abort();
  for (const auto& e : events)
    if (e.kind != PacketReader::Event::Kind::packet && e.kind != PacketReader::Event::Kind::ack &&
        e.kind != PacketReader::Event::Kind::nack)
      std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser alone on the whole input as one payload.
  (void)parse(std::string_view(reinterpret_cast<const char*>(data), size));

  // The input as the byte stream: packets are framed here from lines, so that
  // most inputs reach the session with good checksums; '\x03' and raw '$...#'
  // frames pass as they are.
  FakeTarget target;
  Session session(target);
  std::string stream;
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != '\n') continue;
    const std::string line(reinterpret_cast<const char*>(data + start), i - start);
    start = i + 1;
    if (!line.empty() && (line[0] == '$' || line[0] == '\x03' || line[0] == '+' || line[0] == '-'))
      stream += line;
    else
      stream += frame(line);
  }
  // Fed in pieces of varying size, with the target stopping in between.
  size_t at = 0, piece = 1;
  while (at < stream.size()) {
    const size_t n = std::min(piece, stream.size() - at);
    check_output(session.receive(reinterpret_cast<const uint8_t*>(stream.data() + at), n));
    at += n;
    piece = piece * 3 % 17 + 1;
    if (session.running() && piece % 2 == 0) {
      target.stopped();
      check_output(session.stopped());
    }
  }
  if (session.running()) check_output(session.exited(0));
  return 0;
}
