#include "session.h"

#include <algorithm>
#include <cstdio>

#include "emulated_cpu.h"

namespace emu::gdb {

namespace {

using Kind = Request::Kind;

constexpr const char* kRegisterNames[kRegisterCount] = {
    "r0",  "r1", "r2", "r3", "r4",   "r5",  "r6",  "r7",      "r8",      "r9",        "r10",    "r11",
    "r12", "sp", "lr", "pc", "xpsr", "msp", "psp", "primask", "basepri", "faultmask", "control"};

std::string hex_id(ThreadId id) {
  char text[24];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(id));
  return text;
}

std::string hex_number(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(v));
  return text;
}

// Protocol errors: EFAULT for memory, EINVAL for the rest.
constexpr const char* kBadAddress = "E0e";
constexpr const char* kInvalid = "E16";

std::string xml_escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Names are the firmware's bytes: keep the document printable.
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
          out += '?';
        else
          out += c;
    }
  }
  return out;
}

}  // namespace

std::string target_description() {
  std::string xml =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n<target version=\"1.0\">\n"
      "<architecture>arm</architecture>\n<feature name=\"org.gnu.gdb.arm.m-profile\">\n";
  for (unsigned r = 0; r <= kXpsr; ++r) {
    const char* type = r == kSp ? "data_ptr" : r == kPc ? "code_ptr" : "uint32";
    xml += "<reg name=\"" + std::string(kRegisterNames[r]) + "\" bitsize=\"32\" regnum=\"" +
           std::to_string(r) + "\" type=\"" + type + "\" group=\"general\"/>\n";
  }
  xml += "</feature>\n<feature name=\"org.gnu.gdb.arm.m-system\">\n";
  for (unsigned r = kMsp; r < kRegisterCount; ++r) {
    const char* type = r <= kPsp ? "data_ptr" : "uint32";
    xml += "<reg name=\"" + std::string(kRegisterNames[r]) + "\" bitsize=\"32\" regnum=\"" +
           std::to_string(r) + "\" type=\"" + type + "\" group=\"system\"/>\n";
  }
  xml += "</feature>\n</target>\n";
  return xml;
}

std::string memory_map() {
  auto region = [](const char* type, uint32_t start, uint32_t length, const char* extra = "") {
    char text[200];
    std::snprintf(text, sizeof text, "<memory type=\"%s\" start=\"0x%08x\" length=\"0x%x\"%s", type, start,
                  length, extra);
    return std::string(text);
  };
  // Flash is read-only to the debugger, so that gdb sets hardware breakpoints there.
  std::string xml =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE memory-map PUBLIC \"+//IDN gnu.org//DTD GDB Memory Map V1.0//EN\" "
      "\"http://sourceware.org/gdb/gdb-memory-map.dtd\">\n<memory-map>\n";
  xml += region("rom", 0, Memory::kFlashSize, "/>\n");  // the flash alias the core boots from
  xml += region("flash", Memory::kFlash, Memory::kFlashSize,
                ">\n<property name=\"blocksize\">0x400</property>\n</memory>\n");
  xml += region("ram", Memory::kRam, Memory::kRamSize, "/>\n");
  xml += region("ram", Memory::kRamBitBand, Memory::kRamSize * 32, "/>\n");
  xml += region("ram", Memory::kPeripherals, Memory::kPeripheralsSize, "/>\n");
  xml += region("ram", Memory::kPeripheralBitBand, Memory::kPeripheralsSize * 32, "/>\n");
  xml += region("ram", Memory::kSystem, Memory::kSystemSize, "/>\n");
  xml += "</memory-map>\n";
  return xml;
}

std::string thread_list(const std::vector<Thread>& threads) {
  std::string xml = "<?xml version=\"1.0\"?>\n<threads>\n";
  for (const Thread& t : threads)
    xml += "<thread id=\"" + hex_id(t.id) + "\" core=\"0\" name=\"" + xml_escaped(t.name) + "\">" +
           xml_escaped(t.state) + "</thread>\n";
  xml += "</threads>\n";
  return xml;
}

std::string Session::receive(const uint8_t* data, size_t n) {
  std::vector<PacketReader::Event> events;
  reader_.feed(data, n, events);
  std::string out;
  for (PacketReader::Event& e : events) {
    switch (e.kind) {
      case PacketReader::Event::Kind::interrupt:
        if (running_) target_.interrupt();
        break;
      case PacketReader::Event::Kind::ack:
        break;
      case PacketReader::Event::Kind::nack:
        if (!no_ack_) out += last_sent_;
        break;
      case PacketReader::Event::Kind::bad_packet:
        if (!no_ack_) out += '-';
        break;
      case PacketReader::Event::Kind::packet: {
        if (!no_ack_) out += '+';
        // All-stop: while the target runs only the interrupt byte counts.
        if (ended_ || running_) break;
        bool reply = true;
        const std::string payload = answer(parse(e.payload), reply);
        if (reply) out += send(payload);
        break;
      }
    }
  }
  return out;
}

std::string Session::stopped() {
  running_ = false;
  return send(stop_reply(target_.stop_reason()));
}

std::string Session::exited(int status) {
  running_ = false;
  ended_ = true;
  StopReason why;
  why.kind = StopReason::Kind::exited;
  why.exit_status = status;
  return send(stop_reply(why));
}

std::string Session::send(const std::string& payload) {
  last_sent_ = frame(payload);
  return last_sent_;
}

std::string Session::registers_hex(ThreadId thread, bool& ok) {
  Registers regs{};
  ok = target_.read_registers(thread, regs);
  std::string out;
  for (uint32_t r : regs) out += hex_le32(r);
  return out;
}

std::string Session::stop_reply(const StopReason& why) {
  char text[16];
  if (why.kind == StopReason::Kind::exited) {
    std::snprintf(text, sizeof text, "W%02x", static_cast<unsigned>(why.exit_status) & 0xFFu);
    return text;
  }
  // SIGINT for a halt asked for, SIGSEGV for a fault, SIGTRAP for the rest.
  std::string out = why.kind == StopReason::Kind::interrupted ? "T02"
                    : why.kind == StopReason::Kind::fault     ? "T0b"
                                                              : "T05";
  if (why.history_begin) out += "replaylog:begin;";
  switch (why.kind) {
    case StopReason::Kind::watch_write:
      out += "watch:" + hex_number(why.address) + ";";
      break;
    case StopReason::Kind::watch_read:
      out += "rwatch:" + hex_number(why.address) + ";";
      break;
    case StopReason::Kind::watch_access:
      out += "awatch:" + hex_number(why.address) + ";";
      break;
    case StopReason::Kind::breakpoint:
      if (hwbreak_) out += "hwbreak:;";
      break;
    default:
      break;
  }
  const ThreadId current = target_.current_thread();
  out += "thread:" + hex_id(current) + ";";
  Registers regs{};
  if (target_.read_registers(kAnyThread, regs)) {
    for (unsigned r : {kSp, kLr, kPc}) {
      std::snprintf(text, sizeof text, "%02x:", r);
      out += text + hex_le32(regs[r]) + ";";
    }
  }
  return out;
}

std::string Session::xfer(const Request& r) {
  std::string document;
  if (r.object == "features") {
    if (r.annex != "target.xml") return kBadAddress;
    document = target_description();
  } else if (r.object == "memory-map") {
    if (!r.annex.empty()) return kBadAddress;
    document = memory_map();
  } else if (r.object == "threads") {
    if (!r.annex.empty()) return kBadAddress;
    // Read in pieces: the list is taken once, at the first.
    if (r.address == 0 || threads_xml_.empty()) threads_xml_ = thread_list(target_.threads());
    document = threads_xml_;
  } else {
    return "";
  }
  if (r.address >= document.size()) return "l";
  // Room for escapes in the reply.
  const size_t length = std::min<uint64_t>(r.length, kMaxPayload / 2);
  const std::string part = document.substr(r.address, length);
  return (r.address + part.size() >= document.size() ? "l" : "m") + part;
}

std::string Session::answer(const Request& r, bool& reply) {
  reply = true;
  switch (r.kind) {
    case Kind::unknown:
    case Kind::must_reply_empty:
      return "";
    case Kind::malformed:
      return kInvalid;
    case Kind::halt_reason:
      return stop_reply(target_.stop_reason());
    case Kind::read_registers: {
      bool ok = false;
      const std::string regs = registers_hex(general_thread_, ok);
      return ok ? regs : kInvalid;
    }
    case Kind::write_registers: {
      if (r.data.size() != 4 * kRegisterCount) return kInvalid;
      for (unsigned i = 0; i < kRegisterCount; ++i) {
        uint32_t v = 0;
        for (unsigned b = 0; b < 4; ++b)
          v |= static_cast<uint32_t>(static_cast<uint8_t>(r.data[4 * i + b])) << (8 * b);
        if (!target_.write_register(general_thread_, i, v)) return kInvalid;
      }
      return "OK";
    }
    case Kind::read_register: {
      if (r.reg >= kRegisterCount) return kInvalid;
      Registers regs{};
      if (!target_.read_registers(general_thread_, regs)) return kInvalid;
      return hex_le32(regs[r.reg]);
    }
    case Kind::write_register:
      if (r.reg >= kRegisterCount || r.data.size() != 4) return kInvalid;
      return target_.write_register(general_thread_, r.reg, static_cast<uint32_t>(r.value)) ? "OK" : kInvalid;
    case Kind::read_memory: {
      if (r.address > 0xFFFFFFFFull) return kBadAddress;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(r.length, kMaxPayload / 2));
      std::string bytes(n, '\0');
      const size_t got = n == 0 ? 0
                                : target_.read_memory(static_cast<uint32_t>(r.address),
                                                      reinterpret_cast<uint8_t*>(bytes.data()), n);
      if (got == 0 && n > 0) return kBadAddress;
      return hex(reinterpret_cast<const uint8_t*>(bytes.data()), got);
    }
    case Kind::write_memory:
      if (r.address > 0xFFFFFFFFull || r.address + r.length > 0x100000000ull) return kBadAddress;
      if (r.length == 0) return "OK";  // gdb's probe for X
      return target_.write_memory(static_cast<uint32_t>(r.address),
                                  reinterpret_cast<const uint8_t*>(r.data.data()), r.data.size())
                 ? "OK"
                 : kBadAddress;
    case Kind::resume: {
      bool step = false;
      for (const ResumeAction& a : r.actions) step = step || a.kind == ResumeAction::Kind::step;
      if (r.reverse) {
        if (!target_.can_reverse()) return "E01";
        if (!target_.reverse(r.actions.front().kind == ResumeAction::Kind::reverse_step)) return "E01";
      } else {
        target_.resume(step);
      }
      running_ = true;
      reply = false;
      return "";
    }
    case Kind::resume_actions:
      return "vCont;c;C;s;S";
    case Kind::insert_point:
    case Kind::remove_point: {
      if (r.address > 0xFFFFFFFFull || r.length == 0 || r.length > 0x10000) return kInvalid;
      const PointKind kind = static_cast<PointKind>(r.point_type);
      return target_.set_point(kind, static_cast<uint32_t>(r.address), static_cast<uint32_t>(r.length),
                               r.kind == Kind::insert_point)
                 ? "OK"
                 : "E01";
    }
    case Kind::kill:
      target_.kill();
      ended_ = true;
      return "OK";
    case Kind::detach:
      target_.detach();
      ended_ = true;
      return "OK";
    case Kind::set_thread:
      if (r.thread_op == 'g') general_thread_ = r.thread;
      return "OK";
    case Kind::thread_alive: {
      for (const Thread& t : target_.threads())
        if (t.id == r.thread) return "OK";
      return "E01";
    }
    case Kind::supported: {
      hwbreak_ = std::find(r.features.begin(), r.features.end(), "hwbreak+") != r.features.end();
      std::string out = "PacketSize=" + hex_number(kMaxPayload) +
                        ";QStartNoAckMode+;qXfer:features:read+;qXfer:memory-map:read+;qXfer:threads:read+;"
                        "vContSupported+;hwbreak+";
      if (target_.can_reverse()) out += ";ReverseStep+;ReverseContinue+";
      return out;
    }
    case Kind::no_ack_mode:
      no_ack_ = true;
      return "OK";
    case Kind::xfer_read:
      return xfer(r);
    case Kind::attached:
      return "1";
    case Kind::current_thread:
      return "QC" + hex_id(target_.current_thread());
    case Kind::first_threads: {
      thread_snapshot_ = target_.threads();
      std::string out = "m";
      for (const Thread& t : thread_snapshot_) {
        if (out.size() > 1) out += ',';
        out += hex_id(t.id);
      }
      return out;
    }
    case Kind::next_threads:
      return "l";
    case Kind::thread_extra: {
      for (const Thread& t : target_.threads())
        if (t.id == r.thread) return hex(t.name + " (" + t.state + ")");
      return kInvalid;
    }
    case Kind::monitor: {
      const std::string out = target_.monitor(r.data);
      return out.empty() ? "OK" : hex(out);
    }
    case Kind::symbol:
      return "OK";
  }
  return "";
}

}  // namespace emu::gdb
