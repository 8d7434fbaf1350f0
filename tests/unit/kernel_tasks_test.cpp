// The debugger's view of the kernel's tasks, over memory laid out as the chip's
// build lays out the lists and control blocks: which list means which state,
// and a blocked task's registers from the context its switch saved.
#include "gdb/kernel_tasks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using emu::gdb::KernelTask;
using emu::gdb::KernelTasks;
using K = emu::gdb::KernelTasks;

constexpr uint32_t kRam = 0x20000000u;

// 20 KiB of the board's SRAM with the kernel's lists built in it.
class FakeKernel {
 public:
  FakeKernel() : ram_(0x5000, 0) {
    symbols.ready_lists = kRam + 0x100;
    symbols.priorities = 3;
    symbols.delayed = kRam + 0x200;
    symbols.suspended = kRam + 0x240;
    symbols.terminated = kRam + 0x280;
    symbols.current = kRam + 0x2C0;
    symbols.scheduler_running = kRam + 0x2C4;
    for (uint32_t p = 0; p < 3; ++p) init_list(symbols.ready_lists + p * K::kListSize);
    for (uint32_t l : {symbols.delayed, symbols.suspended, symbols.terminated}) init_list(l);
  }

  uint32_t task(const char* name, uint32_t priority) {
    const uint32_t tcb = next_tcb_;
    next_tcb_ += 0x100;
    put(tcb + K::kTcbPriority, priority);
    std::memcpy(&ram_[tcb + K::kTcbName - kRam], name, std::strlen(name) + 1);
    return tcb;
  }
  // Appends the task's generic item (at tcb + 4) to `list`.
  void append(uint32_t list, uint32_t tcb) {
    const uint32_t item = tcb + 4, end = list + K::kListEnd;
    const uint32_t last = get(end + 8);  // pxPrevious of the sentinel
    put(item + K::kItemNext, end);
    put(item + 8, last);
    put(item + K::kItemOwner, tcb);
    put(item + K::kItemContainer, list);
    put(last + K::kItemNext, item);
    put(end + 8, item);
    put(list + K::kListCount, get(list + K::kListCount) + 1);
  }
  void put(uint32_t address, uint32_t value) { std::memcpy(&ram_[address - kRam], &value, 4); }
  uint32_t get(uint32_t address) const {
    uint32_t v;
    std::memcpy(&v, &ram_[address - kRam], 4);
    return v;
  }
  emu::gdb::MemoryReader reader() const {
    return [this](uint32_t address, void* out, size_t n) {
      if (address < kRam || address - kRam + n > ram_.size()) return false;
      std::memcpy(out, &ram_[address - kRam], n);
      return true;
    };
  }
  std::map<std::string, std::string> states() const {
    std::map<std::string, std::string> out;
    for (const KernelTask& t : KernelTasks(symbols).tasks(reader())) out[t.name] = t.state;
    return out;
  }

  emu::gdb::KernelSymbols symbols;

 private:
  void init_list(uint32_t list) {
    const uint32_t end = list + K::kListEnd;
    put(list + 4, end);
    put(end, 0xFFFFFFFFu);
    put(end + K::kItemNext, end);
    put(end + 8, end);
  }
  std::vector<uint8_t> ram_;
  uint32_t next_tcb_ = kRam + 0x1000;
};

TEST(DebuggerTasks, EachListGivesItsStateAndTheCurrentTaskRuns) {
  FakeKernel k;
  const uint32_t console = k.task("CONSOLE", 2), idle = k.task("IDLE", 0), keys = k.task("KEYS", 2),
                 lcd = k.task("LCD", 1), store = k.task("REFSTORAGE", 1), gone = k.task("OLD", 1),
                 waiter = k.task("WAITER", 1);
  k.append(k.symbols.ready_lists + 2 * K::kListSize, console);
  k.append(k.symbols.ready_lists, idle);
  k.append(k.symbols.delayed, keys);
  k.append(k.symbols.suspended, lcd);
  k.append(k.symbols.suspended, waiter);
  k.put(waiter + K::kTcbEventItem + K::kItemContainer, kRam + 0x3000);  // on a mutex's list, no time-out
  k.append(k.symbols.suspended, store);
  k.append(k.symbols.terminated, gone);
  k.put(k.symbols.current, console);

  // Before the scheduler runs, nothing is running yet.
  EXPECT_EQ(k.states()["CONSOLE"], "ready");
  EXPECT_FALSE(KernelTasks(k.symbols).started(k.reader()));
  k.put(k.symbols.scheduler_running, 1);
  EXPECT_TRUE(KernelTasks(k.symbols).started(k.reader()));
  const std::map<std::string, std::string> expected = {
      {"CONSOLE", "running"}, {"IDLE", "ready"},           {"KEYS", "blocked"},
      {"LCD", "suspended"},   {"REFSTORAGE", "suspended"}, {"OLD", "deleted-awaiting-idle"},
      {"WAITER", "blocked"}};
  EXPECT_EQ(k.states(), expected);
  // Ready lists from the highest priority down, then the waiting ones.
  const std::vector<KernelTask> tasks = KernelTasks(k.symbols).tasks(k.reader());
  ASSERT_EQ(tasks.size(), 7u);
  EXPECT_EQ(tasks[0].name, "CONSOLE");
  EXPECT_EQ(tasks[0].priority, 2u);
  EXPECT_EQ(tasks[1].name, "IDLE");
  EXPECT_EQ(KernelTasks(k.symbols).current(k.reader()), console);
}

TEST(DebuggerTasks, BrokenListsEndAndLeaveNothingUnknownIn) {
  FakeKernel k;
  const uint32_t a = k.task("A", 1), b = k.task("B", 1);
  k.append(k.symbols.ready_lists + K::kListSize, a);
  k.append(k.symbols.ready_lists + K::kListSize, b);
  // B's item points back to A's: a list that never comes back to its end.
  k.put(b + 4 + K::kItemNext, a + 4);
  // An item on the delayed list owned by something outside SRAM.
  k.append(k.symbols.delayed, k.task("X", 1));
  k.put(k.get(k.symbols.delayed + K::kListEnd + K::kItemNext) + K::kItemOwner, 0x08000000u);
  const std::vector<KernelTask> tasks = KernelTasks(k.symbols).tasks(k.reader());
  ASSERT_EQ(tasks.size(), 2u);  // each once, the loop cut off
  EXPECT_EQ(tasks[0].name, "A");
  EXPECT_EQ(tasks[1].name, "B");
  // An image without the kernel's lists has no tasks.
  emu::gdb::KernelSymbols none;
  EXPECT_FALSE(KernelTasks(none).known());
  EXPECT_TRUE(KernelTasks(none).tasks(k.reader()).empty());
}

TEST(DebuggerTasks, ABlockedTasksRegistersComeFromItsSavedContext) {
  FakeKernel k;
  const uint32_t t = k.task("KEYS", 2);
  const uint32_t top = kRam + 0x4000;
  k.put(t + K::kTcbTop, top);
  // r4-r11, then the hardware frame r0-r3, r12, lr, pc, xpsr.
  for (uint32_t i = 0; i < 8; ++i) k.put(top + 4 * i, 0x40 + i);
  for (uint32_t i = 0; i < 4; ++i) k.put(top + 32 + 4 * i, 0x10 + i);
  k.put(top + 48, 0x12);
  k.put(top + 52, 0x08000123u);
  k.put(top + 56, 0x08000456u);
  k.put(top + 60, 0x01000000u | (1u << 9));  // stacked with the alignment word
  emu::gdb::Registers regs{};
  regs[emu::gdb::kMsp] = 0x20004FE0u;
  ASSERT_TRUE(KernelTasks(k.symbols).saved_registers(k.reader(), t, regs));
  EXPECT_EQ(regs[0], 0x10u);
  EXPECT_EQ(regs[3], 0x13u);
  EXPECT_EQ(regs[4], 0x40u);
  EXPECT_EQ(regs[11], 0x47u);
  EXPECT_EQ(regs[12], 0x12u);
  EXPECT_EQ(regs[emu::gdb::kLr], 0x08000123u);
  EXPECT_EQ(regs[emu::gdb::kPc], 0x08000456u);
  EXPECT_EQ(regs[emu::gdb::kXpsr], 0x01000000u);  // without the alignment flag
  EXPECT_EQ(regs[emu::gdb::kSp], top + 64 + 4);   // above the frame and the padding
  EXPECT_EQ(regs[emu::gdb::kPsp], regs[emu::gdb::kSp]);
  EXPECT_EQ(regs[emu::gdb::kMsp], 0x20004FE0u);  // left as it was
  // A saved stack pointer outside SRAM is no context.
  k.put(t + K::kTcbTop, 0x30000000u);
  EXPECT_FALSE(KernelTasks(k.symbols).saved_registers(k.reader(), t, regs));
  EXPECT_FALSE(KernelTasks(k.symbols).saved_registers(k.reader(), 0x08000000u, regs));
}

}  // namespace
