// The control protocol (tarvik-sim --control) request by request on a fresh
// board, on either CPU: the replies, the waits, and the refusals that leave the
// board as it was.
#include "control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "image.h"
#include "machine.h"

namespace {

using json = nlohmann::ordered_json;

const std::string kBanner = "\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\nconsole>";

bool on_image() { return !sim::image_path(sim::Options{}).empty(); }

class Session {
 public:
  explicit Session(const sim::Options& options = sim::Options{}) : m_(options), control_(m_, options) {}

  json ask(const std::string& line) {
    const std::string reply = control_.handle(line);
    EXPECT_EQ(reply.find('\n'), std::string::npos) << reply;
    return json::parse(reply);
  }
  json ask(const json& request) { return ask(request.dump()); }
  // A request that must succeed.
  json ok(const json& request) {
    json reply = ask(request);
    EXPECT_EQ(reply["ok"], true) << request.dump() << " -> " << reply.dump();
    return reply;
  }
  json expect(const std::string& pattern, double within = 5) {
    return ok({{"op", "run"}, {"until", pattern}, {"within", within}});
  }
  // Types a command and returns the console up to the next prompt.
  std::string command(const std::string& line) {
    ok({{"op", "write"}, {"data", line + "\r"}});
    const json r = expect("\r\nconsole>");
    EXPECT_EQ(r["matched"], true) << line;
    return r.value("data", "");
  }
  sim::Machine& machine() { return m_; }
  sim::Control& control() { return control_; }

 private:
  sim::Machine m_;
  sim::Control control_;
};

sim::Cycles cycles(Session& s) { return s.ok({{"op", "time"}})["cycles"].get<sim::Cycles>(); }

TEST(Control, HelloNamesTheVersionAndTheCpuAndRunsNothing) {
  Session s;
  const json r = s.ok({{"op", "hello"}});
  EXPECT_EQ(r["version"], sim::kControlVersion);
  EXPECT_EQ(r["cpu"], on_image() ? "image" : "host");
  EXPECT_EQ(r["time"], 0.0);
  EXPECT_EQ(s.ok({{"op", "hello"}, {"id", 7}})["id"], 7);  // a client's tag comes back
}

// The same requests give the same console bytes on both CPUs.
TEST(Control, ConsoleSessionAndAFirmwareVariable) {
  Session s;
  // Before the first run too: the image's reset sequence has not copied it yet.
  EXPECT_EQ(s.ok({{"op", "var"}, {"name", "engine3_pulse"}})["value"], 1000);
  const json banner = s.expect("console>", 1);
  EXPECT_EQ(banner["matched"], true);
  EXPECT_EQ(banner["data"], kBanner);
  EXPECT_EQ(s.ok({{"op", "var"}, {"name", "engine3_pulse"}})["value"], 1000);
  EXPECT_EQ(s.ok({{"op", "var"}, {"name", "engine3_pulse"}})["size"], 4);
  EXPECT_EQ(s.command("e3on"), "e3on\r\nEngine3 turn on.\r\nconsole>");
  EXPECT_EQ(s.command("e3pulse 200"), "e3pulse 200\r\nEngine3 pulse changed.\r\nconsole>");
  EXPECT_EQ(s.ok({{"op", "var"}, {"name", "engine3_pulse"}})["value"], 200);
  EXPECT_EQ(s.command("e3info"),
            "e3info\r\nEngine3 setup:\r\npulse: 200\r\nfrequency: 10000000\r\nperiod: 1000\r\ndirection: "
            "0\r\n\r\nconsole>");
  const json missing = s.ask(json{{"op", "var"}, {"name", "no_such_variable"}});
  EXPECT_EQ(missing["ok"], false);
  EXPECT_NE(missing["error"].get<std::string>().find("no_such_variable"), std::string::npos);
}

TEST(Control, AMatchConsumesUpToItsEndAndCarriesItsGroups) {
  Session s;
  s.expect("console>");
  s.ok({{"op", "write"}, {"data", "e3info\r"}});
  const json r = s.expect("pulse: ([0-9]+)\\r\\n(x)?");
  ASSERT_EQ(r["matched"], true);
  EXPECT_EQ(r["data"], "e3info\r\nEngine3 setup:\r\npulse: 1000\r\n");
  EXPECT_EQ(r["match"], "pulse: 1000\r\n");
  EXPECT_EQ(r["groups"], json::array({"1000", nullptr}));
  // The run stopped at the byte that completed the match: the next is not out yet.
  EXPECT_EQ(s.ok({{"op", "read"}})["data"], "");
  EXPECT_EQ(s.expect("frequency")["data"], "frequency");
  // What came after the match is still unread, and arrives in order.
  s.expect("console>");
  s.ok({{"op", "run"}, {"for", 0.1}});
  EXPECT_EQ(s.ok({{"op", "read"}})["data"], "");
  // A pattern already in the unread text matches without running.
  s.ok({{"op", "write"}, {"data", "e3info\r"}});
  s.expect("direction");
  s.ok({{"op", "run"}, {"for", 0.5}});
  const sim::Cycles before = cycles(s);
  EXPECT_EQ(s.expect("console>")["data"], ": 0\r\n\r\nconsole>");
  EXPECT_EQ(cycles(s), before);
}

// Past a KiB of unread text the pattern is looked for less often; it is found all the same.
TEST(Control, AWaitFindsItsMatchInALongUnreadOutput) {
  Session s;
  std::string typed;
  for (int i = 0; i < 20; ++i) typed += "help\r";
  s.ok({{"op", "write"}, {"data", typed + "e3info\r"}});
  const json r = s.expect("direction: ([0-9])", 30);
  ASSERT_EQ(r["matched"], true);
  EXPECT_EQ(r["groups"], json::array({"0"}));
  const std::string data = r["data"];
  EXPECT_GT(data.size(), 4096u);
  EXPECT_EQ(std::count(data.begin(), data.end(), '>'), 21);  // the banner's prompt and one for each help
  EXPECT_TRUE(data.ends_with("period: 1000\r\ndirection: 0")) << data.substr(data.size() - 100);
  // Consumed up to the end of the match, not to where the look happened.
  EXPECT_EQ(s.expect("console>")["data"], "\r\n\r\nconsole>");
}

TEST(Control, AWaitThatTimesOutRunsItsLimitExactlyAndConsumesNothing) {
  Session s;
  s.expect("console>");
  const sim::Cycles before = cycles(s);
  s.ok({{"op", "write"}, {"data", "help e3on\r"}});
  const json r = s.expect("never printed", 0.75);
  EXPECT_EQ(r["matched"], false);
  EXPECT_EQ(cycles(s) - before, sim::seconds(0.75));
  const std::string tail = r["tail"];
  EXPECT_TRUE(tail.ends_with("Engine3 turn on.\r\nconsole>")) << tail;
  EXPECT_EQ(s.ok({{"op", "read"}})["data"], tail);
  EXPECT_EQ(s.ok({{"op", "read"}})["data"], "");
}

TEST(Control, TimeMovesOnlyWhenARequestRunsIt) {
  Session s;
  s.ok({{"op", "run"}, {"for", 0.25}});
  const sim::Cycles at = cycles(s);
  EXPECT_EQ(at, sim::seconds(0.25));
  EXPECT_EQ(s.ok({{"op", "read"}})["data"], kBanner);
  s.ok({{"op", "write"}, {"data", "help\r"}});
  for (const char* op : {"read", "lcd", "motor", "time", "hello"}) s.ok({{"op", op}});
  s.ok({{"op", "pin"}, {"pin", "PA4"}});
  s.ok({{"op", "var"}, {"name", "engine3_pulse"}});
  s.ok({{"op", "read"}, {"line", "rs485"}});
  EXPECT_EQ(cycles(s), at);
  EXPECT_EQ(s.ok({{"op", "read"}})["data"], "");  // the typed line has not been taken
  s.ok({{"op", "run"}, {"for", 0}});
  EXPECT_EQ(cycles(s), at);
  // The console takes one byte at a time, each once the one before was read.
  EXPECT_EQ(s.ok({{"op", "run"}, {"taken", "console"}, {"within", 5}})["matched"], true);
  EXPECT_EQ(s.ok({{"op", "write"}, {"data", "ab"}})["queued"], 2);
}

TEST(Control, APinWaitEndsAtTheChangeOrAtOnceOnTheLevelAskedFor) {
  Session s;
  // The RS485 driver (PA4) is on while a telemetry line goes out, every 9 ms.
  json r = s.ok({{"op", "run"}, {"pin", "PA4"}, {"level", 1}, {"within", 1}});
  EXPECT_EQ(r["matched"], true);
  EXPECT_EQ(r["level"], 1);
  EXPECT_EQ(s.ok({{"op", "pin"}, {"pin", "pa4"}})["level"], 1);
  const sim::Cycles high = cycles(s);
  EXPECT_GT(high, 0u);
  EXPECT_EQ(s.ok({{"op", "run"}, {"pin", "PA4"}, {"level", 1}, {"within", 1}})["matched"], true);
  EXPECT_EQ(cycles(s), high);
  r = s.ok({{"op", "run"}, {"pin", "PA4"}, {"within", 1}});
  EXPECT_EQ(r["level"], 0);
  const sim::Cycles low = cycles(s);
  EXPECT_GT(low, high);
  EXPECT_LT(low - high, sim::seconds(0.005));
  // The line went out while the driver was on.
  const std::string line = s.ok({{"op", "read"}, {"line", "rs485"}})["data"];
  EXPECT_EQ(line, "0000,1000\n\r");
  // A pin nothing drives stays; the wait gives up at its limit.
  r = s.ok({{"op", "run"}, {"pin", "PB0"}, {"within", 0.2}});
  EXPECT_EQ(r["matched"], false);
  EXPECT_EQ(cycles(s) - low, sim::seconds(0.2));
}

TEST(Control, KeysArePressedAndLetGoNowOrAfterTheirHold) {
  sim::Options o;
  o.lcd_task = true;
  Session s(o);
  board::Keypad& keys = s.machine().board().keypad;
  s.ok({{"op", "run"}, {"for", 1}});
  EXPECT_EQ(s.ok({{"op", "lcd"}})["rows"][0], "   Test mode.   ");
  s.ok({{"op", "press"}, {"key", "up"}, {"hold", 0.3}});
  EXPECT_TRUE(keys.held(board::Key::up));
  s.ok({{"op", "run"}, {"for", 0.29}});
  EXPECT_TRUE(keys.held(board::Key::up));
  s.ok({{"op", "run"}, {"for", 0.02}});
  EXPECT_FALSE(keys.held(board::Key::up));
  // The LCD task acted on it: Test1 is up once its whole screen is drawn.
  s.ok({{"op", "run"}, {"for", 1.2}});
  const json lcd = s.ok({{"op", "lcd"}});
  EXPECT_EQ(lcd["rows"][0], "Sys_st:TEST.    ");
  EXPECT_EQ(lcd["on"], true);
  for (const auto& row : lcd["rows"]) EXPECT_EQ(row.get<std::string>().size(), 16u);

  s.ok({{"op", "press"}, {"key", "stop"}});
  s.ok({{"op", "run"}, {"for", 2}});
  EXPECT_TRUE(keys.held(board::Key::stop));
  s.ok({{"op", "release"}, {"key", "stop"}});
  EXPECT_FALSE(keys.held(board::Key::stop));
  s.ok({{"op", "release"}, {"key", "stop"}});  // already up: nothing to do
  EXPECT_FALSE(keys.held(board::Key::stop));

  // With bounce the contact opens again now and then before it settles.
  auto opened_while_pressed = [&](const char* key, board::Key k) {
    s.ok({{"op", "press"}, {"key", key}, {"hold", 0.5}});
    int open = 0;
    for (int i = 0; i < 40; ++i) {
      s.ok({{"op", "run"}, {"for", 0.0005}});
      open += !keys.held(k);
    }
    s.ok({{"op", "run"}, {"for", 1}});
    return open;
  };
  EXPECT_EQ(opened_while_pressed("down", board::Key::down), 0);
  s.ok({{"op", "fault"}, {"bounce", 0.02}});
  EXPECT_GT(opened_while_pressed("down", board::Key::down), 0);
  EXPECT_FALSE(keys.held(board::Key::down));
}

TEST(Control, TheMotorTurnsAndItsFaultsApplyAtOnce) {
  Session s;
  s.expect("console>");
  s.command("e3on");
  s.command("e3pulse 500");
  s.ok({{"op", "run"}, {"for", 1}});
  json motor = s.ok({{"op", "motor"}});
  EXPECT_EQ(motor["enabled"], true);
  EXPECT_GT(motor["rpm"].get<double>(), 1000);
  EXPECT_EQ(motor["direction"], 1);
  EXPECT_NEAR(motor["duty"].get<double>(), 50.0, 1.0);
  const uint64_t edges = motor["edges"];
  s.ok({{"op", "run"}, {"for", 0.1}});
  EXPECT_GT(s.ok({{"op", "motor"}})["edges"].get<uint64_t>(), edges);

  s.ok({{"op", "fault"}, {"stall", 0.3}});
  s.ok({{"op", "run"}, {"for", 0.2}});
  EXPECT_EQ(s.ok({{"op", "motor"}})["rpm"], 0.0);
  s.ok({{"op", "run"}, {"for", 0.5}});
  EXPECT_GT(s.ok({{"op", "motor"}})["rpm"].get<double>(), 1000);

  const double free_rpm = s.ok({{"op", "motor"}})["rpm"];
  s.ok({{"op", "fault"}, {"load", 0.02}});
  EXPECT_EQ(s.ok({{"op", "motor"}})["load"], 0.02);
  s.ok({{"op", "run"}, {"for", 0.5}});
  EXPECT_LT(s.ok({{"op", "motor"}})["rpm"].get<double>(), free_rpm - 300);
  // All or nothing: a bad value in the request keeps the good one out too.
  const json bad = s.ask(json{{"op", "fault"}, {"load", 0.001}, {"drop", 2}});
  EXPECT_EQ(bad["ok"], false);
  EXPECT_NE(bad["error"].get<std::string>().find("drop"), std::string::npos);
  EXPECT_EQ(s.ok({{"op", "motor"}})["load"], 0.02);

  // Every byte typed from now on is lost.
  s.ok({{"op", "fault"}, {"drop", 1}});
  s.ok({{"op", "write"}, {"data", "help\r"}});
  EXPECT_EQ(s.expect("help", 1)["matched"], false);
  s.ok({{"op", "fault"}, {"drop", 0}, {"seed", 3}});
  EXPECT_NE(s.command("e3off").find("e3off"), std::string::npos);
}

TEST(Control, BadRequestsNameTheProblemAndLeaveTheBoardAsItWas) {
  Session s;
  s.expect("console>");
  s.ok({{"op", "write"}, {"data", "e3info\r"}});
  s.ok({{"op", "run"}, {"for", 0.2}});
  const sim::Cycles at = cycles(s);
  struct Case {
    const char* request;
    const char* says;
  };
  const Case cases[] = {
      {"", "not JSON"},
      {"{\"op\": \"run\", ", "not JSON"},
      {"[1, 2]", "not a JSON object"},
      {"{\"for\": 1}", "no \"op\""},
      {"{\"op\": 5}", "no \"op\""},
      {"{\"op\": \"jump\"}", "unknown op \"jump\""},
      {"{\"op\": \"run\", \"for\": 1, \"fro\": 2}", "unknown field \"fro\""},
      {"{\"op\": \"run\"}", "one of"},
      {"{\"op\": \"run\", \"for\": 1, \"until\": \"x\", \"within\": 1}", "one of"},
      {"{\"op\": \"run\", \"for\": \"1\"}", "\"for\" must be a number"},
      {"{\"op\": \"run\", \"for\": -1}", "\"for\" must be from 0"},
      {"{\"op\": \"run\", \"for\": 1e300}", "\"for\" must be from 0"},
      {"{\"op\": \"run\", \"until\": \"x\"}", "needs \"within\""},
      {"{\"op\": \"run\", \"until\": \"(x\", \"within\": 1}", "bad pattern"},
      {"{\"op\": \"run\", \"pin\": \"PD1\", \"within\": 1}", "bad pin \"PD1\""},
      {"{\"op\": \"run\", \"pin\": \"PA16\", \"within\": 1}", "bad pin \"PA16\""},
      {"{\"op\": \"run\", \"pin\": \"PA1\", \"level\": 2, \"within\": 1}", "\"level\" must be 0 or 1"},
      {"{\"op\": \"run\", \"taken\": \"usb\", \"within\": 1}", "\"taken\" must be"},
      {"{\"op\": \"write\"}", "write needs \"data\""},
      {"{\"op\": \"write\", \"data\": \"\\u0100\"}", "above U+00FF"},
      {"{\"op\": \"write\", \"data\": \"x\", \"line\": \"can\"}", "\"line\" must be"},
      {"{\"op\": \"read\", \"line\": 1}", "\"line\" must be a string"},
      {"{\"op\": \"press\", \"key\": \"left\"}", "bad key \"left\""},
      {"{\"op\": \"press\", \"key\": \"up\", \"hold\": 0}", "\"hold\" must be more than 0"},
      {"{\"op\": \"release\"}", "release needs \"key\""},
      {"{\"op\": \"pin\", \"pin\": \"A5\"}", "bad pin"},
      {"{\"op\": \"var\"}", "var needs \"name\""},
      {"{\"op\": \"fault\"}", "fault needs one of"},
      {"{\"op\": \"fault\", \"load\": -1}", "\"load\" must be"},
      {"{\"op\": \"fault\", \"seed\": 0}", "\"seed\" must be"},
      {"{\"op\": \"lcd\", \"row\": 1}", "unknown field \"row\" for lcd"},
  };
  for (const Case& c : cases) {
    const json r = s.ask(std::string(c.request));
    EXPECT_EQ(r["ok"], false) << c.request;
    EXPECT_NE(r.value("error", "").find(c.says), std::string::npos) << c.request << " -> " << r.dump();
    EXPECT_EQ(r.size(), 2u) << r.dump();
  }
  EXPECT_EQ(cycles(s), at);
  EXPECT_FALSE(s.machine().board().keypad.held(board::Key::up));
  // What the command printed is all there, nothing taken by the refusals.
  EXPECT_EQ(s.expect("console>")["data"],
            "e3info\r\nEngine3 setup:\r\npulse: 1000\r\nfrequency: 10000000\r\n"
            "period: 1000\r\ndirection: 0\r\n\r\nconsole>");
}

TEST(Control, ResetRestartsTheFirmware) {
  Session s;
  s.expect("console>");
  s.command("e3pulse 300");
  const json r = s.ask(json{{"op", "reset"}});
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(s.expect("console>")["data"], kBanner);
  EXPECT_EQ(s.ok({{"op", "var"}, {"name", "engine3_pulse"}})["value"], 1000);
}

TEST(Control, AHaltedBoardSaysSoAndItsWaitsEndAtOnce) {
  Session s;
  s.expect("console>");
  EXPECT_FALSE(s.ok({{"op", "time"}}).contains("halted"));
  s.machine().board().cpu.mark_halted("a fault for the test");
  const sim::Cycles at = cycles(s);
  json r = s.expect("console>", 5);
  EXPECT_EQ(r["matched"], false);
  EXPECT_EQ(r["halted"], "a fault for the test");
  EXPECT_EQ(cycles(s), at);
  r = s.ok({{"op", "run"}, {"pin", "PA4"}, {"within", 5}});
  EXPECT_EQ(r["matched"], false);
  // A run for a time runs it: the interrupts go on.
  r = s.ok({{"op", "run"}, {"for", 0.1}});
  EXPECT_EQ(r["halted"], "a fault for the test");
  EXPECT_EQ(cycles(s), at + sim::seconds(0.1));
}

// A wait that ends early leaves --reset-at's reset for the run that reaches its
// time: here the reset falls in the middle of the banner, after the match.
TEST(Control, ResetsAtTheirTimesAcrossWaitsThatEndEarly) {
  sim::Options o;
  // After the crystal's start-ups the banner runs from 4 to 8.6 ms on the host
  // build, from 9.3 to 15.9 ms on the image (its start-up code is slower at 8 MHz).
  const double mid_banner = std::getenv(sim::kImageVariable) != nullptr ? 0.0125 : 0.0075;
  o.reset_at_s = {mid_banner};
  Session s(o);
  const json start = s.expect("Start");
  EXPECT_EQ(start["data"], "\r\n Tarvik! Start");
  EXPECT_LT(start["time"].get<double>(), mid_banner);
  EXPECT_EQ(s.machine().board().resets(), 0u);
  const json prompt = s.expect("console>", 1);
  EXPECT_EQ(s.machine().board().resets(), 1u);
  const std::string data = prompt["data"];
  EXPECT_TRUE(data.ends_with(kBanner)) << data;
  // The first banner went on until the reset cut it short.
  EXPECT_GT(data.size(), kBanner.size()) << data;
}

TEST(Control, EndFinishesTheRunOnce) {
  Session s;
  s.expect("console>");
  const json r = s.ok({{"op", "end"}});
  EXPECT_EQ(r["report"], "");
  EXPECT_TRUE(s.control().ended());
  const json after = s.ask(json{{"op", "time"}});
  EXPECT_EQ(after["ok"], false);
  EXPECT_EQ(after["error"], "the run has ended");
  EXPECT_EQ(s.control().finish(), "");
}

}  // namespace
