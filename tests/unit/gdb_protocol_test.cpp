// The GDB remote protocol as gdb-multiarch speaks it: framing, parsing and the
// session's replies over a fake target that records what it was asked.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "gdb/packet.h"
#include "gdb/request.h"
#include "gdb/session.h"

namespace {

using namespace emu::gdb;
using Event = PacketReader::Event;

std::vector<Event> read_all(PacketReader& reader, const std::string& bytes) {
  std::vector<Event> events;
  reader.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), events);
  return events;
}

TEST(GdbPacket, FramesWithChecksumAndEscapesWhatGdbWouldMisread) {
  EXPECT_EQ(frame(""), "$#00");
  EXPECT_EQ(frame("OK"), "$OK#9a");
  // '$', '#', '}' and '*' (run-length) go out as '}' and the byte XOR 0x20; the
  // checksum covers what is sent.
  const std::string framed = frame("a$b#c}d*e");
  EXPECT_EQ(framed.substr(0, 15),
            "$a}\x04"
            "b}\x03"
            "c}]d}\x0a"
            "e#");
  EXPECT_EQ(framed.substr(15), [&] {
    char sum[3];
    std::snprintf(sum, sizeof sum, "%02x", checksum(framed.substr(1, 13)));
    return std::string(sum);
  }());
  // What frame() sends, the reader gives back unchanged.
  PacketReader reader;
  const auto events = read_all(reader, framed);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Event::Kind::packet);
  EXPECT_EQ(events[0].payload, "a$b#c}d*e");
}

TEST(GdbPacket, ReaderSplitsAStreamOfPacketsAcksAndInterrupts) {
  PacketReader reader;
  // A packet cut in two, then ack, interrupt, noise, a nack and one more packet.
  auto first = read_all(reader, "$qSupp");
  EXPECT_TRUE(first.empty());
  EXPECT_TRUE(reader.inside());
  std::string rest = "orted#37+\x03x-";
  rest += frame("g");
  const auto events = read_all(reader, rest);
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].kind, Event::Kind::packet);
  EXPECT_EQ(events[0].payload, "qSupported");
  EXPECT_EQ(events[1].kind, Event::Kind::ack);
  EXPECT_EQ(events[2].kind, Event::Kind::interrupt);
  EXPECT_EQ(events[3].kind, Event::Kind::nack);
  EXPECT_EQ(events[4].payload, "g");
  EXPECT_FALSE(reader.inside());
}

TEST(GdbPacket, BadChecksumsRestartsAndOverlongPacketsAreRefused) {
  PacketReader reader;
  auto events = read_all(reader, "$OK#9b$OK#zz$g$OK#9a");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].kind, Event::Kind::bad_packet);  // wrong sum
  EXPECT_EQ(events[1].kind, Event::Kind::bad_packet);  // not hex
  EXPECT_EQ(events[2].kind, Event::Kind::bad_packet);  // begun again before its end
  EXPECT_EQ(events[3].kind, Event::Kind::packet);
  EXPECT_EQ(events[3].payload, "OK");

  const std::string big(kMaxPayload + 1, 'a');
  events = read_all(reader, frame(big) + frame(std::string(kMaxPayload, 'b')));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Event::Kind::bad_packet);
  EXPECT_EQ(events[1].kind, Event::Kind::packet);
  EXPECT_EQ(events[1].payload.size(), kMaxPayload);
  // An escape right before '#' keeps the '#' as data, as gdb's framing would.
  events = read_all(reader, "$}#");
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(reader.inside());
}

TEST(GdbPacket, HexBothWays) {
  std::string bytes;
  EXPECT_TRUE(unhex("00fFa5", bytes));
  EXPECT_EQ(bytes, std::string("\x00\xff\xa5", 3));
  EXPECT_EQ(hex(bytes), "00ffa5");
  EXPECT_FALSE(unhex("abc", bytes));
  EXPECT_FALSE(unhex("zz", bytes));
  EXPECT_EQ(hex_le32(0x20000100u), "00010020");
  uint64_t v = 0;
  EXPECT_TRUE(parse_hex("ffffffffffffffff", v));
  EXPECT_EQ(v, ~0ull);
  EXPECT_FALSE(parse_hex("1ffffffffffffffff", v));  // more than 64 bits
  EXPECT_FALSE(parse_hex("", v));
  EXPECT_FALSE(parse_hex("-1", v));
}

TEST(GdbRequest, EveryPacketGdbSendsWithItsFields) {
  using K = Request::Kind;
  EXPECT_EQ(parse("?").kind, K::halt_reason);
  EXPECT_EQ(parse("g").kind, K::read_registers);
  Request r = parse("G0001");
  EXPECT_EQ(r.kind, K::write_registers);
  EXPECT_EQ(r.data, std::string("\x00\x01", 2));
  r = parse("p10");
  EXPECT_EQ(r.kind, K::read_register);
  EXPECT_EQ(r.reg, 16u);
  r = parse("Pf=01020304");
  EXPECT_EQ(r.kind, K::write_register);
  EXPECT_EQ(r.reg, 15u);
  EXPECT_EQ(r.value, 0x04030201u);  // target order
  r = parse("m20000000,40");
  EXPECT_EQ(r.kind, K::read_memory);
  EXPECT_EQ(r.address, 0x20000000u);
  EXPECT_EQ(r.length, 0x40u);
  r = parse("M20000004,2:beef");
  EXPECT_EQ(r.kind, K::write_memory);
  EXPECT_EQ(r.data, "\xbe\xef");
  r = parse(std::string("X20000004,3:\x00#}", 15));  // binary, already unescaped
  EXPECT_EQ(r.kind, K::write_memory);
  EXPECT_EQ(r.data, std::string("\x00#}", 3));
  r = parse("Z1,80005f8,2");
  EXPECT_EQ(r.kind, K::insert_point);
  EXPECT_EQ(r.point_type, 1u);
  EXPECT_EQ(r.address, 0x80005f8u);
  EXPECT_EQ(r.length, 2u);
  r = parse("z4,40000434,4");
  EXPECT_EQ(r.kind, K::remove_point);
  EXPECT_EQ(r.point_type, 4u);
  r = parse("Z0,8000100,2;X1,ff");  // conditions are not taken but do not spoil it
  EXPECT_EQ(r.kind, K::insert_point);
  r = parse("Hg2000012c");
  EXPECT_EQ(r.kind, K::set_thread);
  EXPECT_EQ(r.thread_op, 'g');
  EXPECT_EQ(r.thread, 0x2000012c);
  EXPECT_EQ(parse("Hc-1").thread, kAllThreads);
  EXPECT_EQ(parse("Hgp1.5").thread, 5);
  EXPECT_EQ(parse("T1").kind, K::thread_alive);
  EXPECT_EQ(parse("k").kind, K::kill);
  EXPECT_EQ(parse("vKill;1").kind, K::kill);
  EXPECT_EQ(parse("D").kind, K::detach);
  EXPECT_EQ(parse("D;1").kind, K::detach);
  EXPECT_EQ(parse("QStartNoAckMode").kind, K::no_ack_mode);
  EXPECT_EQ(parse("qAttached:1").kind, K::attached);
  EXPECT_EQ(parse("qC").kind, K::current_thread);
  EXPECT_EQ(parse("qfThreadInfo").kind, K::first_threads);
  EXPECT_EQ(parse("qsThreadInfo").kind, K::next_threads);
  EXPECT_EQ(parse("qThreadExtraInfo,2000012c").thread, 0x2000012c);
  EXPECT_EQ(parse("qSymbol::").kind, K::symbol);
  EXPECT_EQ(parse("vMustReplyEmpty").kind, K::must_reply_empty);
  EXPECT_EQ(parse("vCont?").kind, K::resume_actions);
  r = parse("qRcmd,74696d65");
  EXPECT_EQ(r.kind, K::monitor);
  EXPECT_EQ(r.data, "time");
  r = parse("qSupported:multiprocess+;swbreak+;hwbreak+;xmlRegisters=arm");
  EXPECT_EQ(r.kind, K::supported);
  EXPECT_EQ(r.features,
            (std::vector<std::string>{"multiprocess+", "swbreak+", "hwbreak+", "xmlRegisters=arm"}));
  r = parse("qXfer:features:read:target.xml:7f,ffb");
  EXPECT_EQ(r.kind, K::xfer_read);
  EXPECT_EQ(r.object, "features");
  EXPECT_EQ(r.annex, "target.xml");
  EXPECT_EQ(r.address, 0x7fu);
  EXPECT_EQ(r.length, 0xffbu);
  r = parse("qXfer:threads:read::0,1000");
  EXPECT_EQ(r.annex, "");
  EXPECT_EQ(parse("qXfer:threads:write::0,10").kind, K::unknown);
}

TEST(GdbRequest, ResumeInEachSpelling) {
  using A = ResumeAction::Kind;
  Request r = parse("vCont;s:2000012c;c");
  ASSERT_EQ(r.kind, Request::Kind::resume);
  ASSERT_EQ(r.actions.size(), 2u);
  EXPECT_EQ(r.actions[0].kind, A::step);
  EXPECT_EQ(r.actions[0].thread, 0x2000012c);
  EXPECT_EQ(r.actions[1].kind, A::cont);
  EXPECT_EQ(r.actions[1].thread, kAllThreads);
  r = parse("vCont;C05:1");
  ASSERT_EQ(r.actions.size(), 1u);
  EXPECT_EQ(r.actions[0].signal, 5);
  EXPECT_EQ(parse("vCont;S0b").actions[0].kind, A::step);
  EXPECT_EQ(parse("c").actions[0].kind, A::cont);
  EXPECT_EQ(parse("s").actions[0].kind, A::step);
  EXPECT_EQ(parse("C02").actions[0].signal, 2);
  r = parse("bs");
  EXPECT_TRUE(r.reverse);
  EXPECT_EQ(r.actions[0].kind, A::reverse_step);
  EXPECT_EQ(parse("bc").actions[0].kind, A::reverse_cont);
}

TEST(GdbRequest, MalformedFieldsAreErrorsAndStrangersAreUnknown) {
  using K = Request::Kind;
  for (const char* bad : {"?x",
                          "gx",
                          "G0",
                          "pzz",
                          "P1",
                          "P1=",
                          "P1=123456789abcdef012",
                          "m2000",
                          "m,4",
                          "mx,4",
                          "M20000000,2:be",
                          "M20000000,1:zz",
                          "X0,2:a",
                          "Z5,0,2",
                          "Z1,0",
                          "Z1,,2",
                          "Hx1",
                          "H",
                          "Tq",
                          "vCont;",
                          "vCont;q",
                          "vCont;c:",
                          "vCont;Cxx",
                          "vCont;c;",
                          "C",
                          "Cxyz",
                          "C01;800",
                          "c800",
                          "qRcmd,7",
                          "qXfer:features:read:target.xml",
                          "qXfer:x",
                          "qThreadExtraInfo,",
                          "Dx"})
    EXPECT_EQ(parse(bad).kind, K::malformed) << bad;
  for (const char* stranger : {"", "!", "qTStatus", "vFile:open:x", "QNonStop:1", "qOffsets", "bx", "A1,2,3",
                               "vCont", "qSupportedX"})
    EXPECT_EQ(parse(stranger).kind, K::unknown) << stranger;
}

// A target with memory at 0x1000 (16 bytes), two threads and the calls it got.
class FakeTarget : public Target {
 public:
  FakeTarget() {
    for (unsigned i = 0; i < kRegisterCount; ++i) regs[i] = 0x100 + i;
    for (int i = 0; i < 16; ++i) memory[i] = static_cast<uint8_t>(i);
  }
  bool read_registers(ThreadId thread, Registers& out) override {
    if (thread == 7) return false;
    for (unsigned i = 0; i < kRegisterCount; ++i) out[i] = regs[i] + (thread == 0x30 ? 0x1000 : 0);
    return true;
  }
  bool write_register(ThreadId thread, unsigned reg, uint32_t value) override {
    if (thread == 0x30) return false;  // a task that is not running
    regs[reg] = value;
    return true;
  }
  size_t read_memory(uint32_t address, uint8_t* out, size_t n) override {
    size_t got = 0;
    for (; got < n && address + got >= 0x1000 && address + got < 0x1010; ++got)
      out[got] = memory[address + got - 0x1000];
    return got;
  }
  bool write_memory(uint32_t address, const uint8_t* data, size_t n) override {
    if (address < 0x1000 || address + n > 0x1010) return false;
    for (size_t i = 0; i < n; ++i) memory[address + i - 0x1000] = data[i];
    return true;
  }
  bool set_point(PointKind kind, uint32_t address, uint32_t length, bool insert) override {
    points.push_back({kind, address, length, insert});
    return address != 0xbad;
  }
  void resume(bool step) override { resumes.push_back(step); }
  bool reverse(bool step) override {
    if (!reversible) return false;
    reverses.push_back(step);
    return true;
  }
  bool can_reverse() const override { return reversible; }
  void interrupt() override { ++interrupts; }
  StopReason stop_reason() override { return why; }
  std::vector<Thread> threads() override {
    return {{0x20, "Console", "running"}, {0x30, "<LCD&>", "blocked"}};
  }
  ThreadId current_thread() override { return 0x20; }
  std::string monitor(const std::string& command) override {
    commands.push_back(command);
    return command == "quiet" ? "" : "said " + command + "\n";
  }
  void detach() override { detached = true; }
  void kill() override { killed = true; }

  struct Point {
    PointKind kind;
    uint32_t address, length;
    bool insert;
  };
  Registers regs{};
  uint8_t memory[16] = {};
  std::vector<Point> points;
  std::vector<bool> resumes;
  bool reversible = false;
  std::vector<bool> reverses;
  std::vector<std::string> commands;
  int interrupts = 0;
  StopReason why;
  bool detached = false, killed = false;
};

// One request's reply payload, with acks off.
std::string ask(Session& s, const std::string& payload) {
  const std::string out = s.receive(frame(payload));
  PacketReader reader;
  std::vector<Event> events;
  reader.feed(reinterpret_cast<const uint8_t*>(out.data()), out.size(), events);
  std::string reply;
  for (const Event& e : events)
    if (e.kind == Event::Kind::packet) reply = e.payload;
  return events.empty() ? "<none>" : reply;
}

Session quiet_session(FakeTarget& t) {
  Session s(t);
  s.receive(frame("QStartNoAckMode"));
  return s;
}

TEST(GdbSession, AcksUntilNoAckModeAndSendsAgainOnANack) {
  FakeTarget t;
  Session s(t);
  EXPECT_EQ(s.receive(frame("qAttached")), "+$1#31");
  EXPECT_EQ(s.receive("$qAttached#00"), "-");  // bad checksum: asked again
  EXPECT_EQ(s.receive("-"), frame("1"));       // the last reply once more
  EXPECT_EQ(s.receive(frame("QStartNoAckMode")), "+$OK#9a");
  EXPECT_TRUE(s.no_ack());
  EXPECT_EQ(s.receive(frame("qC")), frame("QC20"));
  EXPECT_EQ(s.receive("$qC#00"), "");  // nothing: no acks any more
}

TEST(GdbSession, SupportedDocumentsAndThreads) {
  FakeTarget t;
  Session s = quiet_session(t);
  const std::string features = ask(s, "qSupported:multiprocess+;hwbreak+");
  for (const char* f : {"PacketSize=4000", "QStartNoAckMode+", "qXfer:features:read+",
                        "qXfer:memory-map:read+", "qXfer:threads:read+", "hwbreak+"})
    EXPECT_NE(features.find(f), std::string::npos) << f;
  EXPECT_EQ(features.find("ReverseStep"), std::string::npos);  // this target cannot
  EXPECT_EQ(ask(s, "vCont?"), "vCont;c;C;s;S");

  // Read in small pieces, a document comes back whole: 'm' for more, 'l' for the last.
  for (const std::string object : {"features:read:target.xml", "memory-map:read:", "threads:read:"}) {
    std::string whole;
    for (size_t offset = 0;; offset += 50) {
      char request[96];
      std::snprintf(request, sizeof request, "qXfer:%s:%zx,32", object.c_str(), offset);
      const std::string part = ask(s, request);
      ASSERT_FALSE(part.empty()) << object;
      whole += part.substr(1);
      if (part[0] == 'l') break;
      ASSERT_EQ(part[0], 'm');
      ASSERT_EQ(part.size(), 51u);
    }
    const std::string expected = object[0] == 'f'   ? target_description()
                                 : object[0] == 'm' ? memory_map()
                                                    : thread_list(t.threads());
    EXPECT_EQ(whole, expected) << object;
  }
  EXPECT_EQ(ask(s, "qXfer:features:read:other.xml:0,100"), "E0e");
  EXPECT_EQ(ask(s, "qXfer:features:read:target.xml:ffffff,100"), "l");
  EXPECT_EQ(ask(s, "qXfer:auxv:read::0,100"), "");

  const std::string xml = thread_list(t.threads());
  EXPECT_NE(xml.find("<thread id=\"20\" core=\"0\" name=\"Console\">running</thread>"), std::string::npos);
  EXPECT_NE(xml.find("name=\"&lt;LCD&amp;&gt;\">blocked"), std::string::npos);
  EXPECT_EQ(ask(s, "qfThreadInfo"), "m20,30");
  EXPECT_EQ(ask(s, "qsThreadInfo"), "l");
  EXPECT_EQ(ask(s, "T30"), "OK");
  EXPECT_EQ(ask(s, "T31"), "E01");
  EXPECT_EQ(ask(s, "qThreadExtraInfo,30"), hex("<LCD&> (blocked)"));
}

TEST(GdbSession, TheDescriptionNamesEveryRegisterInOrderAndTheMapFlash) {
  const std::string xml = target_description();
  size_t at = 0;
  for (const char* name :
       {"r0", "r12", "sp", "lr", "pc", "xpsr", "msp", "psp", "primask", "basepri", "faultmask", "control"}) {
    const size_t found = xml.find("name=\"" + std::string(name) + "\"", at);
    ASSERT_NE(found, std::string::npos) << name;
    at = found;
  }
  EXPECT_NE(xml.find("name=\"control\" bitsize=\"32\" regnum=\"22\""), std::string::npos);
  EXPECT_NE(xml.find("org.gnu.gdb.arm.m-profile"), std::string::npos);
  const std::string map = memory_map();
  EXPECT_NE(map.find("<memory type=\"flash\" start=\"0x08000000\" length=\"0x10000\">"), std::string::npos);
  EXPECT_NE(map.find("<memory type=\"ram\" start=\"0x20000000\" length=\"0x5000\"/>"), std::string::npos);
  EXPECT_NE(map.find("<memory type=\"ram\" start=\"0x40000000\""), std::string::npos);
}

TEST(GdbSession, RegistersOfTheSelectedThread) {
  FakeTarget t;
  Session s = quiet_session(t);
  const std::string all = ask(s, "g");
  ASSERT_EQ(all.size(), 8u * kRegisterCount);
  EXPECT_EQ(all.substr(0, 8), "00010000");               // r0 = 0x100
  EXPECT_EQ(all.substr(8 * kControl), hex_le32(0x116));  // the last one
  EXPECT_EQ(ask(s, "p10"), hex_le32(0x110));             // xpsr
  EXPECT_EQ(ask(s, "p17"), "E16");
  EXPECT_EQ(ask(s, "Pf=78563412"), "OK");
  EXPECT_EQ(t.regs[kPc], 0x12345678u);
  EXPECT_EQ(ask(s, "P0=1234"), "E16");  // not a 32-bit value
  EXPECT_EQ(ask(s, "G" + std::string(8 * kRegisterCount, '0')), "OK");
  EXPECT_EQ(t.regs[kPc], 0u);
  EXPECT_EQ(ask(s, "G00"), "E16");
  // Another thread's registers, and the writes it cannot take.
  EXPECT_EQ(ask(s, "Hg30"), "OK");
  EXPECT_EQ(ask(s, "p0"), hex_le32(0x1000));
  EXPECT_EQ(ask(s, "P0=00000000"), "E16");
  EXPECT_EQ(ask(s, "Hg7"), "OK");
  EXPECT_EQ(ask(s, "g"), "E16");
}

TEST(GdbSession, MemoryPartlyReadableAndWrites) {
  FakeTarget t;
  Session s = quiet_session(t);
  EXPECT_EQ(ask(s, "m100e,4"), "0e0f");  // what could be read, up to the first that could not
  EXPECT_EQ(ask(s, "m2000,4"), "E0e");
  EXPECT_EQ(ask(s, "m1000,0"), "");
  EXPECT_EQ(ask(s, "M1002,2:abcd"), "OK");
  EXPECT_EQ(t.memory[2], 0xab);
  EXPECT_EQ(t.memory[3], 0xcd);
  EXPECT_EQ(ask(s, "X1004,0:"), "OK");  // gdb's probe
  EXPECT_EQ(ask(s, std::string("X1004,1:}", 9)), "OK");
  EXPECT_EQ(t.memory[4], '}');
  EXPECT_EQ(ask(s, "M100f,2:0000"), "E0e");
  EXPECT_EQ(ask(s, "Mffffffff,2:0000"), "E0e");
  // A read gdb asks for that is larger than a packet holds comes back shortened.
  EXPECT_LE(ask(s, "m1000,100000").size(), kMaxPayload);
}

TEST(GdbSession, PointsReachTheTargetByKind) {
  FakeTarget t;
  Session s = quiet_session(t);
  EXPECT_EQ(ask(s, "Z0,1000,2"), "OK");
  EXPECT_EQ(ask(s, "Z1,8000100,2"), "OK");
  EXPECT_EQ(ask(s, "Z2,20000010,4"), "OK");
  EXPECT_EQ(ask(s, "Z3,40000434,4"), "OK");
  EXPECT_EQ(ask(s, "z4,40000434,4"), "OK");
  EXPECT_EQ(ask(s, "Z1,bad,2"), "E01");
  EXPECT_EQ(ask(s, "Z1,100000000,2"), "E16");
  ASSERT_EQ(t.points.size(), 6u);
  EXPECT_EQ(t.points[0].kind, PointKind::software);
  EXPECT_EQ(t.points[1].kind, PointKind::hardware);
  EXPECT_EQ(t.points[2].kind, PointKind::write);
  EXPECT_EQ(t.points[2].length, 4u);
  EXPECT_EQ(t.points[3].kind, PointKind::read);
  EXPECT_EQ(t.points[4].kind, PointKind::access);
  EXPECT_FALSE(t.points[4].insert);
}

TEST(GdbSession, ResumeWaitsForTheStopAndOnlyTheInterruptCountsMeanwhile) {
  FakeTarget t;
  Session s = quiet_session(t);
  ask(s, "qSupported:hwbreak+");
  EXPECT_EQ(ask(s, "vCont;c"), "<none>");
  EXPECT_TRUE(s.running());
  EXPECT_EQ(t.resumes, std::vector<bool>{false});
  EXPECT_EQ(s.receive(frame("g")), "");  // all-stop: not while running
  EXPECT_EQ(s.receive("\x03"), "");
  EXPECT_EQ(t.interrupts, 1);
  t.why.kind = StopReason::Kind::interrupted;
  const std::string reply = s.stopped();
  EXPECT_EQ(reply.substr(0, 20), "$T02thread:20;0d:0d0");  // sp, lr, pc expedited
  EXPECT_FALSE(s.running());
  EXPECT_EQ(s.receive("\x03"), "");  // not running: nothing to interrupt
  EXPECT_EQ(t.interrupts, 1);

  ask(s, "vCont;s:20;c");
  EXPECT_EQ(t.resumes.back(), true);
  t.why = StopReason{StopReason::Kind::watch_write, 0x40000434, 0};
  EXPECT_EQ(s.stopped().substr(0, 30), "$T05watch:40000434;thread:20;0");
  ask(s, "c");
  t.why = StopReason{StopReason::Kind::breakpoint, 0, 0};
  EXPECT_EQ(s.stopped().substr(0, 23), "$T05hwbreak:;thread:20;");
  EXPECT_EQ(ask(s, "?").substr(0, 22), "T05hwbreak:;thread:20;");
  t.why = StopReason{StopReason::Kind::watch_access, 0x20, 0};
  EXPECT_EQ(ask(s, "?").substr(0, 11), "T05awatch:2");
  t.why = StopReason{StopReason::Kind::watch_read, 0x20, 0};
  EXPECT_EQ(ask(s, "?").substr(0, 11), "T05rwatch:2");
  t.why = StopReason{StopReason::Kind::fault, 0, 0};
  EXPECT_EQ(ask(s, "?").substr(0, 14), "T0bthread:20;0");
  EXPECT_EQ(ask(s, "bs"), "E01");  // no reverse here
  EXPECT_FALSE(s.running());

  ask(s, "c");
  EXPECT_EQ(s.exited(3), frame("W03"));
  EXPECT_TRUE(s.ended());
}

TEST(GdbSession, ReverseExecutionWhereTheTargetOffersIt) {
  FakeTarget t;
  t.reversible = true;
  Session s = quiet_session(t);
  const std::string features = ask(s, "qSupported:multiprocess+;hwbreak+");
  EXPECT_NE(features.find(";ReverseStep+"), std::string::npos);
  EXPECT_NE(features.find(";ReverseContinue+"), std::string::npos);
  // A reverse step or continue is a resume: the reply is the stop that ends it.
  EXPECT_EQ(s.receive(frame("bs")), "");
  EXPECT_TRUE(s.running());
  EXPECT_EQ(s.receive(frame("m1000,4")), "");  // all-stop: nothing while it runs
  t.why = StopReason{StopReason::Kind::step, 0, 0};
  EXPECT_EQ(s.stopped().substr(0, 19), "$T05thread:20;0d:0d");
  EXPECT_EQ(s.receive(frame("bc")), "");
  t.why.history_begin = true;
  EXPECT_EQ(s.stopped().substr(0, 35), "$T05replaylog:begin;thread:20;0d:0d");
  EXPECT_EQ(t.reverses, (std::vector<bool>{true, false}));
  EXPECT_TRUE(t.resumes.empty());
  t.reversible = false;
  EXPECT_EQ(ask(s, "bc"), "E01");
  EXPECT_FALSE(s.running());
}

TEST(GdbSession, MonitorDetachKillAndTheRest) {
  FakeTarget t;
  Session s = quiet_session(t);
  EXPECT_EQ(ask(s, "qRcmd," + hex("press up 1s")), hex("said press up 1s\n"));
  EXPECT_EQ(ask(s, "qRcmd," + hex("quiet")), "OK");
  EXPECT_EQ(t.commands, (std::vector<std::string>{"press up 1s", "quiet"}));
  EXPECT_EQ(ask(s, "qSymbol::"), "OK");
  EXPECT_EQ(ask(s, "qTStatus"), "");
  EXPECT_EQ(ask(s, "vMustReplyEmpty"), "");
  EXPECT_EQ(ask(s, "m,"), "E16");
  EXPECT_EQ(ask(s, "D"), "OK");
  EXPECT_TRUE(t.detached);
  EXPECT_TRUE(s.ended());
  EXPECT_EQ(s.receive(frame("g")), "");  // over

  FakeTarget k;
  Session s2 = quiet_session(k);
  EXPECT_EQ(ask(s2, "k"), "OK");
  EXPECT_TRUE(k.killed);
  EXPECT_TRUE(s2.ended());
}

}  // namespace
