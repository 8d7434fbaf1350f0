#include "kernel_tasks.h"

namespace emu::gdb {

namespace {

uint32_t symbol(const ElfImage& image, const char* name, uint32_t* size = nullptr) {
  const ElfSymbol* s = image.find(name);
  if (s == nullptr) s = image.find(std::string("(anonymous namespace)::") + name);
  if (s == nullptr) return 0;
  if (size != nullptr) *size = s->size;
  return s->address;
}

bool word(const MemoryReader& read, uint32_t address, uint32_t& out) { return read(address, &out, 4); }

constexpr uint32_t kRam = 0x20000000u, kRamEnd = 0x20005000u;
bool in_ram(uint32_t address, uint32_t size) { return address >= kRam && address <= kRamEnd - size; }

constexpr uint32_t kAlignedBit = 1u << 9;

KernelSymbols symbols_of(const ElfImage& image) {
  KernelSymbols s;
  uint32_t size = 0;
  s.ready_lists = symbol(image, "ready_lists", &size);
  s.priorities = size / KernelTasks::kListSize;
  s.delayed = symbol(image, "delayed_list");
  s.suspended = symbol(image, "suspended_list");
  s.terminated = symbol(image, "terminated_list");
  s.current = symbol(image, "pxCurrentTCB");
  s.scheduler_running = symbol(image, "scheduler_running");
  return s;
}

}  // namespace

KernelTasks::KernelTasks(const ElfImage& image) : KernelTasks(symbols_of(image)) {}

KernelTasks::KernelTasks(const KernelSymbols& symbols) : s_(symbols) {
  if (s_.priorities == 0 || s_.delayed == 0 || s_.suspended == 0 || s_.terminated == 0 || s_.current == 0)
    s_.ready_lists = 0;
}

std::vector<uint32_t> KernelTasks::owners(const MemoryReader& read, uint32_t list) const {
  std::vector<uint32_t> out;
  const uint32_t end = list + kListEnd;
  uint32_t item = 0;
  if (!word(read, end + kItemNext, item)) return out;
  while (item != end && out.size() < kMaxTasks) {
    uint32_t owner = 0;
    if (!in_ram(item, kItemSize) || !word(read, item + kItemOwner, owner) ||
        !word(read, item + kItemNext, item))
      break;
    if (in_ram(owner, kTcbName + kNameLength)) out.push_back(owner);
  }
  return out;
}

uint32_t KernelTasks::current(const MemoryReader& read) const {
  uint32_t tcb = 0;
  if (!known() || !word(read, s_.current, tcb) || !in_ram(tcb, kTcbName + kNameLength)) return 0;
  return tcb;
}

bool KernelTasks::started(const MemoryReader& read) const {
  uint8_t running = 0;
  return known() && s_.scheduler_running != 0 && read(s_.scheduler_running, &running, 1) && running != 0;
}

std::vector<KernelTask> KernelTasks::tasks(const MemoryReader& read) const {
  std::vector<KernelTask> out;
  if (!known()) return out;
  const uint32_t running = started(read) ? current(read) : 0;
  auto add = [&](uint32_t tcb, const char* state) {
    for (const KernelTask& t : out)
      if (t.tcb == tcb) return;  // a list being changed may show one twice
    KernelTask t{tcb, "", state, 0};
    char name[kNameLength + 1] = {};
    if (read(tcb + kTcbName, name, kNameLength)) t.name = name;
    word(read, tcb + kTcbPriority, t.priority);
    if (tcb == running) t.state = "running";
    out.push_back(t);
  };
  for (uint32_t p = s_.priorities; p-- > 0;)
    for (uint32_t tcb : owners(read, s_.ready_lists + p * kListSize)) add(tcb, "ready");
  for (uint32_t tcb : owners(read, s_.delayed)) add(tcb, "blocked");
  // Blocked without a time-out waits on the suspended list too, its event item
  // on the mutex's list.
  for (uint32_t tcb : owners(read, s_.suspended)) {
    uint32_t container = 0;
    word(read, tcb + kTcbEventItem + kItemContainer, container);
    add(tcb, container != 0 ? "blocked" : "suspended");
  }
  for (uint32_t tcb : owners(read, s_.terminated)) add(tcb, "deleted-awaiting-idle");
  return out;
}

bool KernelTasks::saved_registers(const MemoryReader& read, uint32_t tcb, Registers& out) const {
  if (!known() || !in_ram(tcb, kTcbName + kNameLength)) return false;
  uint32_t top = 0;
  uint32_t frame[16];
  if (!word(read, tcb + kTcbTop, top) || !in_ram(top, sizeof frame) || !read(top, frame, sizeof frame))
    return false;
  // r4-r11 as the switch pushed them, then r0-r3, r12, lr, pc, xpsr.
  for (unsigned i = 0; i < 8; ++i) out[4 + i] = frame[i];
  for (unsigned i = 0; i < 4; ++i) out[i] = frame[8 + i];
  out[12] = frame[12];
  out[kLr] = frame[13];
  out[kPc] = frame[14];
  out[kXpsr] = frame[15] & ~kAlignedBit;
  out[kSp] = top + sizeof frame + ((frame[15] & kAlignedBit) ? 4 : 0);
  out[kPsp] = out[kSp];
  return true;
}

}  // namespace emu::gdb
