// tarvik-soak: the whole unit on one simulated board for hours of virtual time,
// driven by a seeded random operator: console commands and stray bytes, key
// presses with contact bounce, the motor switched, ramped, regulated and turned
// about, backup registers written, variables created and deleted, with the LCD
// task running. Every answer is compared with what a model of the commands
// says; at quiet moments (motor off, the run's variables deleted) the kernel
// heap must be back where it was after start-up, less the blocks the motor drive
// still owns. Prints its figures; exit status 1 at the first fault.
//
//   tarvik-soak [--hours H | --minutes M] [--seed N]
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "FreeRTOS.h"
#include "engine.h"
#include "heap_info.h"
#include "machine.h"
#include "wiring.h"

namespace {

using sim::Cycles;

const std::string kPrompt = "\r\nconsole>";
constexpr int kLineMax = 48;
constexpr size_t kOwnVariables = 12;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

[[noreturn]] void fault(const std::string& what, Cycles at) {
  std::fprintf(stderr, "tarvik-soak: FAULT at %.3f s of virtual time: %s\n", sim::to_seconds(at),
               what.c_str());
  std::exit(1);
}

// The STM32 CRC unit over the four value slots, each a zero-extended word.
uint32_t backup_crc(const uint16_t (&slots)[5]) {
  uint32_t crc = 0xFFFFFFFFu;
  for (int s = 1; s <= 4; ++s) {
    crc ^= slots[s];
    for (int bit = 0; bit < 32; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

// What the console's own catoi makes of a number word.
uint32_t catoi(const std::string& word) {
  size_t i = 0;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  uint32_t n = 0;
  if (word.compare(i, 2, "0x") == 0) {
    for (i += 2; i < word.size() && std::isxdigit(static_cast<unsigned char>(word[i])); ++i)
      n = n * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(word[i]))
                                             ? word[i] - '0'
                                             : std::tolower(static_cast<unsigned char>(word[i])) - 'a' + 10);
  } else {
    for (; i < word.size() && std::isdigit(static_cast<unsigned char>(word[i])); ++i)
      n = n * 10 + static_cast<uint32_t>(word[i] - '0');
  }
  return negative ? 0u - n : n;
}

struct Variable {
  std::string name;
  bool text;
  uint32_t number;
  std::string value;
};

struct Figures {
  uint64_t commands = 0, stray_lines = 0, bytes = 0, key_presses = 0, heap_checks = 0, ramps = 0,
           refused_ramps = 0, refused_sets = 0, regulations = 0, backup_writes = 0, created = 0, deleted = 0;
  size_t min_free = ~size_t{0}, least_largest = ~size_t{0};
};

class Soak {
 public:
  Soak(uint64_t seed, Cycles length)
      : machine_(options(seed)),
        input_(machine_.board(), machine_.board().usart1, sim::LineInput::Mode::paced),
        random_(seed),
        length_(length) {
    machine_.board().usart1.set_tx_sink([this](uint8_t byte) { out_.push_back(static_cast<char>(byte)); });
    const std::string banner = "\r\n Tarvik! Start programm.\r\n Version: 0.0.1\r\nconsole>";
    wait_for(banner.size(), sim::seconds(5));
    if (out_ != banner) fault("start-up printed " + quoted(out_), now());
    // The defaults are created by their own task; the heap settles once the LCD
    // task has drawn its first screen.
    run_quiet(sim::seconds(1));
    baseline_ = settled_free(0);
    first_largest_ = largest_free_block();
    default_ramp();
  }

  const Figures& figures() const { return figures_; }
  size_t baseline() const { return baseline_; }
  size_t first_largest() const { return first_largest_; }

  void run() {
    Cycles next_check = now() + random_time(60, 300);
    while (now() < length_) {
      step();
      if (now() >= next_check) {
        quiet_check();
        next_check = now() + random_time(60, 300);
      }
    }
    quiet_check();
  }

 private:
  static sim::Options options(uint64_t seed) {
    sim::Options o;
    o.mode = sim::Options::Mode::batch;
    o.lcd_task = true;
    o.faults = "bounce=4ms,seed=" + std::to_string(seed);
    return o;
  }

  Cycles now() const { return machine_.now(); }
  Cycles random_time(int from_s, int to_s) {
    return sim::seconds(std::uniform_real_distribution<double>(from_s, to_s)(random_));
  }
  int pick(int from, int to) { return std::uniform_int_distribution<int>(from, to)(random_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(random_); }

  static std::string quoted(const std::string& s) {
    std::string q = "\"";
    for (unsigned char c : s)
      q += (c >= 0x20 && c < 0x7F && c != '\\') ? std::string(1, c) : format("\\x%02x", c);
    return q + "\"";
  }

  // One slice of the run: keys pressed now and then, the board checked.
  void slice(Cycles to) {
    if (now() >= next_key_) press_key();
    machine_.run_until(to);
    if (machine_.halted()) fault("the board halted: " + machine_.board().cpu.halt_reason(), now());
    const size_t free_now = xPortGetFreeHeapSize();
    if (free_now < figures_.min_free) figures_.min_free = free_now;
  }

  void press_key() {
    static constexpr board::Key kKeys[] = {board::Key::up,    board::Key::down,  board::Key::esc,
                                           board::Key::enter, board::Key::start, board::Key::stop};
    const Cycles hold = sim::seconds(pick(20, 400) / 1000.0);
    sim::press_for(machine_.board(), kKeys[pick(0, 5)], hold);
    ++figures_.key_presses;
    // The next press after this one's bounce has died away.
    next_key_ = now() + hold + sim::seconds(0.02) + random_time(0, 3);
  }

  void wait_for(size_t bytes, Cycles within) {
    const Cycles limit = now() + within;
    while (out_.size() < bytes && now() < limit) slice(now() + sim::seconds(0.01));
  }

  void run_quiet(Cycles length) {
    const Cycles end = now() + length;
    while (now() < end) slice(now() + sim::seconds(0.01));
  }

  // Types the bytes and Enter; returns everything printed up to the prompt.
  std::string send(const std::string& bytes) {
    out_.clear();
    input_.push(bytes + "\r");
    figures_.bytes += bytes.size() + 1;
    const Cycles limit = now() + sim::seconds(30);
    while (!(out_.ends_with(kPrompt) && input_.idle())) {
      if (now() >= limit) fault("no prompt after " + quoted(bytes) + "; got " + quoted(out_), now());
      slice(now() + sim::seconds(0.01));
    }
    // A stack overflow, or a lock held too long: the expected answers have neither.
    if (out_.find("Error!!!") != std::string::npos || out_.find("busy very long time") != std::string::npos)
      fault("the firmware complained: " + quoted(out_), now());
    return out_;
  }

  // A command line of printable characters: checks the echo and returns the answer.
  std::string command(const std::string& line) {
    ++figures_.commands;
    const std::string out = send(line);
    const std::string echo = line + "\r\n";
    if (out.compare(0, echo.size(), echo) != 0) fault("echo of " + quoted(line) + ": " + quoted(out), now());
    return out.substr(echo.size(), out.size() - echo.size() - kPrompt.size());
  }

  void expect(const std::string& line, const std::string& want) {
    const std::string got = command(line);
    if (got != want) fault(quoted(line) + " answered " + quoted(got) + ", expected " + quoted(want), now());
  }

  // --- the operator's moves ---------------------------------------------------

  void step() {
    const int move = pick(0, 99);
    if (move < 14) return set_variable();
    if (move < 20) return get_variable();
    if (move < 26) return delete_variable();
    if (move < 29) return list_variables();
    if (move < 37) return backup_write();
    if (move < 42) return backup_read();
    if (move < 50) return motor_switch();
    if (move < 58) return motor_setting();
    if (move < 63) return ramp();
    if (move < 68) return regulate();
    if (move < 72) return engine_info();
    if (move < 84) return stray_bytes();
    if (move < 90) return display();
    if (move < 94) return led();
    if (move < 96) return tasks();
    run_quiet(random_time(1, 20));
  }

  std::string random_text(size_t max) {
    std::string s;
    const size_t n = static_cast<size_t>(pick(1, static_cast<int>(max)));
    // No blank (a word ends), no double quote (a word goes on), no grave accent (history).
    while (s.size() < n) {
      const char c = static_cast<char>(pick(0x21, 0x7E));
      if (c != '"' && c != '`') s += c;
    }
    return s;
  }

  std::string number_word() {
    switch (pick(0, 3)) {
      case 0:
        return std::to_string(pick(0, 100000));
      case 1:
        return format("0x%x", static_cast<unsigned>(random_()));
      case 2:
        return "-" + std::to_string(pick(0, 70000));
      default:
        return std::to_string(static_cast<uint32_t>(random_()) >> 1);
    }
  }

  Variable* find(const std::string& name) {
    for (auto& v : variables_)
      if (v.name == name) return &v;
    return nullptr;
  }

  std::string own_name() { return "sk" + std::to_string(pick(0, kOwnVariables - 1)); }

  void set_variable() {
    const std::string name = own_name();
    Variable v{name, chance(0.5), 0, ""};
    std::string line = "var_set " + name;
    if (v.text) {
      v.value = random_text(kLineMax - line.size() - 5);
      line += " str " + v.value;
    } else {
      const std::string word = number_word();
      v.number = catoi(word);
      line += (chance(0.5) ? " int " : " num ") + word;
    }
    // A full heap refuses the change and must leave the store as it was.
    const std::string got = command(line);
    if (got == format("Fun:%s ERROR! Out of memory!\r\nResult FAIL. Var %s not found or other error",
                      v.text ? "storage_set_str" : "storage_set_num", name.c_str())) {
      ++figures_.refused_sets;
      return;
    }
    if (got != "Result OK.") fault(quoted(line) + " answered " + quoted(got), now());
    if (Variable* old = find(name))
      *old = v;
    else {
      variables_.push_back(v);
      ++figures_.created;
    }
  }

  std::string answer_for_get(const Variable* v, const std::string& name) {
    if (v == nullptr || (!v->text && v->number == 0xFFFFFFFFu)) return "Result FAIL. Var " + name;
    if (v->text) return "Var " + name + "=" + v->value;
    return format("Var %s=0x%x(%d)", name.c_str(), v->number, static_cast<int32_t>(v->number));
  }

  void get_variable() {
    const std::string name = own_name();
    expect("var_get " + name, answer_for_get(find(name), name));
  }

  void delete_variable() {
    const std::string name = own_name();
    remove_variable(name);
  }

  void remove_variable(const std::string& name) {
    for (auto it = variables_.begin(); it != variables_.end(); ++it) {
      if (it->name != name) continue;
      expect("var_del " + name, "Result OK. Var " + name + " was delete");
      variables_.erase(it);
      ++figures_.deleted;
      return;
    }
    expect("var_del " + name, "Result FAIL. Var " + name);
  }

  // The defaults lead, in their order, with values the keys may have stepped;
  // the run's own variables follow exactly as the model has them.
  void list_variables() {
    const std::string got = command("listv");
    // The keys may have stepped sys_st and var4; var3 has no key.
    static const char* const kDefaults[] = {"sys_st type:Int Val: 0x", "lcd_info type:Str Val: \r\n",
                                            "var1 type:Str Val: Hello\r\n", "var4 type:Int Val: 0x",
                                            "var3 type:Int Val: 0x0(0)\r\n"};
    size_t at = 0;
    auto take_line = [&](const std::string& prefix) {
      const size_t end = got.find("\r\n", at);
      if (got.compare(at, prefix.size(), prefix) != 0 || end == std::string::npos)
        fault("listv: expected " + quoted(prefix) + " at " + std::to_string(at) + " of " + quoted(got),
              now());
      at = end + 2;
    };
    take_line("Vars:");
    for (const char* d : kDefaults) take_line(d);
    std::string rest;
    for (const auto& v : variables_)
      rest += v.text ? format("%s type:Str Val: %s\r\n", v.name.c_str(), v.value.c_str())
                     : format("%s type:Int Val: 0x%x(%d)\r\n", v.name.c_str(), v.number,
                              static_cast<int32_t>(v.number));
    if (got.substr(at) != rest)
      fault("listv: own variables " + quoted(got.substr(at)) + ", expected " + quoted(rest), now());
  }

  void backup_write() {
    const int slot = pick(0, 5);
    const std::string word = chance(0.3) ? format("0x%x", pick(0, 0x3FFFF)) : std::to_string(pick(0, 200000));
    const std::string line = format("backup_set %d %s", slot, word.c_str());
    if (slot == 0) return expect(line, "Register 0 is read-only.");
    if (slot == 5)
      return expect(line, "Fun:backup_set_num ERROR! \"back\" parameter is wrong!\r\nResult FAIL.");
    // The bad-slot message is the store's own complaint, not a fault.
    expect(line, "Result OK.");
    slots_[slot] = static_cast<uint16_t>(catoi(word));
    ++figures_.backup_writes;
  }

  void backup_read() {
    switch (pick(0, 2)) {
      case 0: {
        const int slot = pick(1, 4);
        return expect(format("backup_get %d", slot), format("Result: 0x%x(%d)", slots_[slot], slots_[slot]));
      }
      case 1: {
        std::string want = "BACKUP registers:\r\n";
        for (int i = 1; i <= 4; ++i) want += format("BKP_DR%d : 0x%x(%d)\r\n", i, slots_[i], slots_[i]);
        return expect("backup_list", want);
      }
      default: {
        const uint32_t crc = backup_crc(slots_);
        return expect("backup_crc", format("Backup CRC: 0x%x(%d)", crc, static_cast<int32_t>(crc)));
      }
    }
  }

  void motor_switch() {
    if (chance(0.5)) {
      expect("e3on", "Engine3 turn on.");
    } else {
      expect("e3off", "Engine3 turn off.");
    }
  }

  void motor_setting() {
    switch (pick(0, 3)) {
      case 0:
        return expect(format("e3pulse %d", pick(0, period_)), "Engine3 pulse changed.");
      case 1: {
        // Periods from a few values: the profile tables then come in a few sizes.
        static constexpr int kPeriods[] = {500, 800, 1000, 1200};
        period_ = kPeriods[pick(0, 3)];
        return expect(format("e3period %d", period_), "Engine3 period changed.");
      }
      case 2: {
        const int dir = chance(0.9) ? pick(0, 1) : 256 + pick(0, 1);
        direction_ = dir & 0xFF;
        return expect(format("e3dir %d", dir), format("Engine3 change direction=%d.", dir));
      }
      default:
        return expect(format("e3target %d", pick(300, 3000)), "OK.");
    }
  }

  // Whether a table fits depends on the heap of the moment: either answer will
  // do, but a refused table must leave no profile running.
  void ramp() {
    static const char* const kRamps[][2] = {
        {"e3acc", "type=0 min=1000 max=400 time=10000"},
        {"e3acc -i=400 -o=1000 5000", "type=0 min=400 max=1000 time=5000"},
        {"e3acc 2000", "type=0 min=1000 max=400 time=2000"},
        {"e3acc -o=600 -i=900 20000", "type=0 min=900 max=600 time=20000"},
        {"e3acc -t=1 3000", "type=1 min=1000 max=400 time=3000"}};
    const auto& r = kRamps[pick(0, 4)];
    const std::string calc = std::string("Engine3 calc: ") + r[1] + "\n";
    const std::string got = command(r[0]);
    if (got == calc + "Error.\r\n") {
      ++figures_.refused_ramps;
      if (engine3_addr_get<void>(&engine3_pointer_to_acceleration) != nullptr ||
          engine3_acceleration_index != 0)
        fault(std::string(r[0]) + " was refused but left a profile running", now());
    } else if (got != calc + "OK.\r\n") {
      fault(std::string(r[0]) + " answered " + quoted(got), now());
    }
    ++figures_.ramps;
    if (chance(0.5)) run_quiet(random_time(1, 15));
  }

  void regulate() {
    static const char* const kPid[] = {"e3pid -f=0 500", "e3pid -f=0 -p=50 800", "e3pid", "e3pid -f=2",
                                       "e3pid -i=10 -d=4 -f=0 1500"};
    expect(kPid[pick(0, 4)], "");
    ++figures_.regulations;
    if (chance(0.5)) run_quiet(random_time(1, 15));
  }

  void engine_info() {
    const std::string got = command("e3info");
    unsigned pulse, freq, period, dir;
    if (std::sscanf(got.c_str(),
                    "Engine3 setup:\r\npulse: %u\r\nfrequency: %u\r\nperiod: %u\r\ndirection: %u\r\n", &pulse,
                    &freq, &period, &dir) != 4 ||
        got != format("Engine3 setup:\r\npulse: %u\r\nfrequency: %u\r\nperiod: %u\r\ndirection: %u\r\n",
                      pulse, freq, period, dir))
      fault("e3info answered " + quoted(got), now());
    if (period != static_cast<unsigned>(period_) || dir != static_cast<unsigned>(direction_))
      fault(
          format("e3info shows period %u direction %u, expected %d and %d", period, dir, period_, direction_),
          now());
  }

  // Bytes of any value but Enter and the grave accent (history recall), through a
  // model of the line editor: the echo, the wipes, and "Command not found.".
  void stray_bytes() {
    std::string bytes, line, echo;
    const int n = pick(1, 60);
    for (int i = 0; i < n; ++i) {
      const auto c = static_cast<char>(pick(0, 255));
      if (c == '\r' || c == '`') continue;
      bytes += c;
      const auto u = static_cast<unsigned char>(c);
      if (u == 0x08) {
        if (!line.empty()) {
          line.pop_back();
          echo += "\b \b";
        }
      } else if (u >= 0x20 && u <= 0x7E) {
        echo += c;
        line += c;
        if (line.size() == kLineMax + 1) {
          echo += "\b \b";
          line.pop_back();
        }
      }
    }
    // A line whose first word is a command would run it: not a stray line.
    const size_t first = line.find_first_not_of(' ');
    if (first != std::string::npos) {
      const std::string word = line.substr(first, line.find(' ', first) - first);
      static const char* const kCommands[] = {
          "help",    "info",       "clr",        "listt_ex",   "listt",       "delt",
          "led",     "backup_crc", "backup_set", "backup_get", "backup_list", "listv",
          "var_set", "var_get",    "var_del",    "e3on",       "e3off",       "e3acc",
          "e3pid",   "e3target",   "e3info",     "e3dir",      "e3pulse",     "e3period",
          "keys",    "freq3",      "lcd_menu",   "lcd_str",    "aly"};
      for (const char* c : kCommands)
        if (word == c) return;
    }
    ++figures_.stray_lines;
    const std::string got = send(bytes);
    const std::string want = echo + "\r\nCommand not found." + kPrompt;
    if (got != want)
      fault("stray bytes " + quoted(bytes) + " answered " + quoted(got) + ", expected " + quoted(want),
            now());
  }

  void display() {
    switch (pick(0, 4)) {
      case 0: {
        static const char* const kScreens[] = {"TestMode", "Test1", "WorkMode", "NoSuchScreen"};
        return expect(std::string("lcd_menu ") + kScreens[pick(0, 3)], "OK");
      }
      case 1:
        return expect("lcd_str @S@^v4:~var4~^^" + random_text(12) + "^#up:2:var4#", "OK");
      case 2:
        return expect("info -n=1 hello", "");
      case 3:
        return expect("clr", "");
      default:
        return expect("help e3on", "Command e3on:\nEngine3 turn on.");
    }
  }

  void led() {
    const int num = pick(0, 1);
    const bool on = chance(0.5);
    expect(format("led -n=%d -f=%s", num, on ? "on" : "off"),
           format("Led %s = %s", num ? "BLUE" : "GREEN", on ? "ON" : "OFF"));
  }

  void tasks() {
    std::string want;
    const struct {
      const char* name;
      unsigned stack;
      bool runs;
    } kRows[] = {{"NAME", 478, false}, {"CONSOLE", 878, true}, {"REFSTORAGE", 478, true},
                 {"LCD", 478, true},   {"KEYS", 478, true},    {"RS485", 878, true}};
    for (const auto& r : kRows)
      want += format("%15s PR:0x2 STACK:0x%04x FLAG:%s\r\n", r.name, r.stack, r.runs ? "Run" : "NotRun");
    if (chance(0.5)) return expect("listt", want);
    expect("delt NOSUCHTASK", "Task NOSUCHTASK not found.");
  }

  // --- the quiet moment ---------------------------------------------------------

  size_t motor_blocks() {
    size_t used = 0;
    for (auto* word : {&engine3_pointer_to_acceleration, &engine3_pointer_to_pid})
      if (void* block = engine3_addr_get<void>(word)) used += heap_block_size(block) + 8;
    return used;
  }

  // The heap's free size once no task holds a temporary block: the most seen over
  // a few of the LCD task's cycles, with the motor drive's own blocks counted in.
  size_t settled_free(size_t expected) {
    size_t most = 0;
    for (int i = 0; i < 300; ++i) {
      slice(now() + sim::seconds(0.001));
      const size_t free_now = xPortGetFreeHeapSize() + motor_blocks();
      if (free_now > most) most = free_now;
      if (expected != 0 && most == expected) break;
    }
    return most;
  }

  void quiet_check() {
    expect("e3off", "Engine3 turn off.");
    while (!variables_.empty()) remove_variable(variables_.back().name);
    // The registers themselves, not only what the console shows of them.
    const board::Bkp::Data registers = machine_.board().bkp.snapshot();
    for (int slot = 1; slot <= 4; ++slot)
      if (registers[slot] != slots_[slot])
        fault(format("BKP_DR%d holds 0x%x, the commands set 0x%x", slot + 1, registers[slot], slots_[slot]),
              now());
    const size_t settled = settled_free(baseline_);
    ++figures_.heap_checks;
    if (settled != baseline_)
      fault(format("with the motor off and the run's variables deleted the heap has %zu bytes free "
                   "(motor blocks counted in), after start-up it had %zu",
                   settled, baseline_),
            now());
    // The motor's table is the one block of any size: hand it back to see the room.
    expect("e3acc -t=0 0", "Engine3 calc: type=0 min=1000 max=400 time=0\nOK.\r\n");
    figures_.least_largest = std::min(figures_.least_largest, largest_free_block());
    // Best fit without merging must still find room for what fitted after start-up:
    // every variable of the run with its longest text, then a short ramp.
    for (size_t i = 0; i < kOwnVariables; ++i) {
      const std::string name = "sk" + std::to_string(i);
      const std::string value(kLineMax - 17, 'x');
      const std::string got = command("var_set " + name + " str " + value);
      if (got != "Result OK.")
        fault("var_set " + name + " answered " + quoted(got) + "; free blocks: " + free_blocks(), now());
      variables_.push_back({name, true, 0, value});
    }
    while (!variables_.empty()) remove_variable(variables_.back().name);
    default_ramp();
  }

  // Freed blocks are never merged, so the table of a long ramp that fitted after
  // start-up may find no block big enough once smaller tables and texts have cut
  // its room up (the figures show the largest block left); a short one must fit.
  void default_ramp() {
    if (period_ != 1000) {
      expect("e3period 1000", "Engine3 period changed.");
      period_ = 1000;
    }
    const std::string want = "Engine3 calc: type=0 min=1000 max=400 time=1000\nOK.\r\n";
    const std::string got = command("e3acc 1000");
    if (got != want)
      fault("e3acc 1000 answered " + quoted(got) + "; free blocks now: " + free_blocks(), now());
  }

  static size_t largest_free_block() {
    size_t sizes[512];
    const size_t n = heap_free_blocks(sizes, 512);
    return n == 0 ? 0 : sizes[std::min(n, size_t{512}) - 1];
  }

  static std::string free_blocks() {
    size_t sizes[256];
    const size_t n = heap_free_blocks(sizes, 256);
    std::string list;
    for (size_t i = 0; i < n && i < 256; ++i) {
      if (i) list += ' ';
      list += std::to_string(sizes[i]);
    }
    return list;
  }

  sim::Machine machine_;
  sim::LineInput input_;
  std::mt19937_64 random_;
  Cycles length_;
  std::string out_;
  Cycles next_key_ = 0;
  size_t baseline_ = 0, first_largest_ = 0;
  Figures figures_;
  std::vector<Variable> variables_;
  uint16_t slots_[5] = {};
  int period_ = 1000, direction_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  double hours = 1;
  uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--hours" && i + 1 < argc)
      hours = std::atof(argv[++i]);
    else if (a == "--minutes" && i + 1 < argc)
      hours = std::atof(argv[++i]) / 60;
    else if (a == "--seed" && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 0);
    else {
      std::fprintf(stderr, "usage: tarvik-soak [--hours H | --minutes M] [--seed N]\n");
      return 2;
    }
  }
  if (hours <= 0) {
    std::fprintf(stderr, "tarvik-soak: the run needs a length\n");
    return 2;
  }
  Soak soak(seed, sim::seconds(hours * 3600));
  soak.run();
  const Figures& f = soak.figures();
  std::printf("virtual hours: %.3f (seed %" PRIu64 ")\n", hours, seed);
  std::printf("commands: %" PRIu64 ", stray lines: %" PRIu64 ", bytes sent: %" PRIu64 "\n", f.commands,
              f.stray_lines, f.bytes);
  std::printf("key presses: %" PRIu64 "\n", f.key_presses);
  std::printf("ramps: %" PRIu64 " (%" PRIu64 " refused for want of memory), regulator starts: %" PRIu64
              ", backup writes: %" PRIu64 "\n",
              f.ramps, f.refused_ramps, f.regulations, f.backup_writes);
  std::printf("variables created: %" PRIu64 ", deleted: %" PRIu64
              ", sets refused for want of memory: %" PRIu64 "\n",
              f.created, f.deleted, f.refused_sets);
  std::printf("heap: %zu bytes free after start-up, %zu the least seen, %" PRIu64 " quiet checks\n",
              soak.baseline(), f.min_free, f.heap_checks);
  std::printf("largest free block: %zu bytes after start-up, %zu the least at a quiet check\n",
              soak.first_largest(), f.least_largest);
  return 0;
}
