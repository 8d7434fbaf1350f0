#include "emulated_cpu.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "thumb.h"

namespace emu {

namespace {

using board::CpuTiming;
using board::Cycles;
using board::ExceptionModel;

// Where uc_emu_start is told to stop: an address no fetch reaches (0 would be, on
// an image linked at the flash alias).
constexpr uint64_t kNoExit = 0xFFFFFFFEu;
constexpr uint32_t kExcReturnHandler = 0xFFFFFFF1u, kExcReturnThreadMsp = 0xFFFFFFF9u,
                   kExcReturnThreadPsp = 0xFFFFFFFDu;
constexpr uint32_t kThumbBit = 1u << 24, kAlignedBit = 1u << 9, kIpsrMask = 0x1FFu;
constexpr uint32_t kFlagsMask = 0xF8000000u;  // NZCVQ
constexpr uint32_t kSpsel = 2u;

// Unicorn's interrupt numbers (QEMU's exception indices).
constexpr uint32_t kIntrSvc = 2, kIntrBreakpoint = 7, kIntrExceptionExit = 8;

constexpr uint16_t kSemihostingBreakpoint = 0xBEAB;
constexpr uint32_t kSysWriteC = 0x03, kSysWrite0 = 0x04, kSysExit = 0x18;
constexpr uint32_t kApplicationExit = 0x20026;

const char* stop_name(uc_mem_type type) {
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
      return "read of unmapped address";
    case UC_MEM_WRITE_UNMAPPED:
      return "write to unmapped address";
    case UC_MEM_FETCH_UNMAPPED:
      return "instruction fetch from unmapped address";
    case UC_MEM_WRITE_PROT:
      return "write to read-only address";
    case UC_MEM_READ_PROT:
      return "read of protected address";
    case UC_MEM_FETCH_PROT:
      return "instruction fetch from non-executable address";
    default:
      return "access to address";
  }
}

bool in(uint32_t address, uint32_t size, uint32_t base, uint32_t length) {
  return address >= base && address - base <= length && size <= length - (address - base);
}

// Why the last uc_emu_start returned, in order of precedence.
enum class Stop { none, debug, exception, svc, breakpoint, exception_return, fault };

struct Device {
  uint32_t base, size;
  board::Peripheral* device;
};

// The exclusive loads and stores (T32): LDREX, LDREXB/H, and STREX, STREXB/H
// with the register their status goes to.
enum class Exclusive { none, load, store };
Exclusive exclusive_kind(uint16_t hw1, uint16_t hw2) {
  const uint32_t op = (hw2 >> 4) & 0xFu;
  if ((hw1 & 0xFFF0u) == 0xE850u) return Exclusive::load;
  if ((hw1 & 0xFFF0u) == 0xE840u) return Exclusive::store;
  if ((hw1 & 0xFFF0u) == 0xE8D0u && (op == 4 || op == 5) && (hw2 & 0xF0Fu) == 0xF0Fu) return Exclusive::load;
  if ((hw1 & 0xFFF0u) == 0xE8C0u && (op == 4 || op == 5) && (hw2 & 0xF00u) == 0xF00u) return Exclusive::store;
  return Exclusive::none;
}
unsigned exclusive_status_register(uint16_t hw1, uint16_t hw2) {
  return (hw1 & 0xFFF0u) == 0xE840u ? (hw2 >> 8) & 0xFu : hw2 & 0xFu;
}

// The first exclusive load or store in a block of code, and its offset.
std::pair<Exclusive, uint16_t> first_exclusive(const uint8_t* code, uint32_t size) {
  for (uint32_t at = 0; at + 2 <= size;) {
    uint16_t hw[2] = {};
    std::memcpy(hw, code + at, at + 4 <= size ? 4 : 2);
    const bool wide = (hw[0] >> 11) >= 0x1Du;
    if (wide && exclusive_kind(hw[0], hw[1]) != Exclusive::none)
      return {exclusive_kind(hw[0], hw[1]), static_cast<uint16_t>(at)};
    at += wide ? 4 : 2;
  }
  return {Exclusive::none, 0};
}

constexpr uint8_t kNoCounter = 0xFF;

struct Block {
  uint16_t size = 0;  // 0: not summarised yet
  uint16_t instructions = 0;
  uint16_t cycles = 0;
  uint8_t flags = 0;
  // The body of a count-down loop over a word on the stack (see CountDown): the
  // register that carries it (kNoCounter if this is no such body), the word's
  // offset from SP, and the loop's head.
  uint8_t counter = kNoCounter;
  uint16_t counter_offset = 0;
  uint32_t head = 0;
  // Its first exclusive instruction, if any.
  Exclusive exclusive = Exclusive::none;
  uint16_t exclusive_at = 0;
};

// A busy wait that counts a volatile word on the stack down to zero, as the
// compiler writes `while (n != 0) n = n - 1;`:
//   head: LDR rT, [SP, #o]      body: LDR rT, [SP, #o]
//         CBNZ rT, body               SUBS rT, #1
//         (exit)                      STR rT, [SP, #o]
//                                     B head
// Each turn stores to RAM, which Unicorn makes slow, and does nothing else, so
// the core runs as many turns at once as end before the next event.
struct CountDown {
  uint8_t reg = kNoCounter;
  uint16_t offset = 0;
  uint32_t head = 0;
};

CountDown count_down_body(uint32_t address, const uint8_t* body, uint32_t size,
                          const uint8_t* (*code)(uint32_t, void*), void* ctx) {
  CountDown none;
  if (size != 8) return none;
  uint16_t h[4];
  std::memcpy(h, body, 8);
  const uint16_t reg = (h[0] >> 8) & 7u, slot = h[0] & 0xFFu;
  if ((h[0] & 0xF800u) != 0x9800u || h[1] != (0x3801u | reg << 8) || h[2] != (0x9000u | reg << 8 | slot) ||
      (h[3] & 0xF800u) != 0xE000u)
    return none;
  // B sits at body + 6; its offset (imm11 x 2, signed) counts from its own address + 4.
  const int32_t back = static_cast<int32_t>(static_cast<uint32_t>(h[3] & 0x7FFu) << 21) >> 20;
  const uint32_t head = address + 6 + 4 + static_cast<uint32_t>(back);
  const uint8_t* at = code(head, ctx);
  if (at == nullptr) return none;
  uint16_t g[2];
  std::memcpy(g, at, 4);
  // CBNZ sits at head + 2; its offset counts from its own address + 4.
  const uint32_t target = head + 6 + (((g[1] >> 9) & 1u) << 6) + (((g[1] >> 3) & 0x1Fu) << 1);
  if (g[0] != h[0] || (g[1] & 0xFD00u) != 0xB900u || (g[1] & 7u) != reg || target != address) return none;
  return CountDown{static_cast<uint8_t>(reg), static_cast<uint16_t>(4 * slot), head};
}

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;
constexpr uint64_t kNoTarget = ~0ull;
constexpr uint16_t kWfi = 0xBF30;

struct Breakpoint {
  uint32_t address;
  uc_hook hook;
};

struct Watchpoint {
  uint32_t address, length;
  WatchKind kind;
  uc_hook hook;  // 0: a register's, heard on the bus
};

bool overlaps(uint32_t a, uint32_t a_length, uint32_t b, uint32_t b_length) {
  return a < b + b_length && b < a + a_length;
}

DebugStop::Reason watch_reason(WatchKind kind) {
  switch (kind) {
    case WatchKind::write:
      return DebugStop::Reason::watch_write;
    case WatchKind::read:
      return DebugStop::Reason::watch_read;
    default:
      return DebugStop::Reason::watch_access;
  }
}

int watch_hook_types(WatchKind kind) {
  return kind == WatchKind::write  ? UC_HOOK_MEM_WRITE
         : kind == WatchKind::read ? UC_HOOK_MEM_READ
                                   : UC_HOOK_MEM_WRITE | UC_HOOK_MEM_READ;
}

struct Frame {  // a handler run being profiled
  int exception;
  uint64_t instructions_at_entry;
  Cycles cycles_at_entry;
  uint64_t nested_instructions = 0;
  Cycles nested_cycles = 0;
};

}  // namespace

struct EmulatedCpu::Impl {
  Impl(EmulatedCpu& owner, board::Board& b, const EmulatedCpu::Config& c)
      : cpu(owner), board(b), core(b.cpu), events(b.events), config(c) {}

  EmulatedCpu& cpu;
  board::Board& board;
  ExceptionModel& core;
  board::EventQueue& events;
  const EmulatedCpu::Config config;

  uc_engine* uc = nullptr;
  uint8_t* flash = nullptr;  // page aligned, for uc_mem_map_ptr
  uint8_t* ram = nullptr;
  std::vector<Device> devices;
  std::vector<Block> flash_blocks = std::vector<Block>(Memory::kFlashSize / 2);
  Block other_block;  // code outside flash: summarised on every entry

  Stop stop = Stop::none;
  bool stopping = false;  // a stop was asked for: no further block runs
  bool dead = false;      // the core stopped for good (fault, exit)
  std::string fault;
  uint32_t fault_address = 0;
  bool branch_pending = false;  // the last block ended in a branch
  uint32_t fallthrough = 0;     // where the last block's code continued

  // Everything the core did that a loop's next turn could see: stores,
  // peripheral accesses, exceptions.
  uint64_t activity = 0;
  struct Snapshot {
    bool valid = false;
    uint32_t address = 0;
    uint64_t activity = 0;
    uint32_t regs[18] = {};
  } snapshot;

  std::vector<Frame> frames;
  std::vector<HandlerProfile> profiles = std::vector<HandlerProfile>(ExceptionModel::kExceptions);

  uint32_t block_end = 0;  // where the block now running ends

  // The local monitor, which an exception entry or return clears. Unicorn keeps
  // one per LDREX, but the entries and returns of this core do not reach it, so
  // a STREX whose word did not change would still succeed. After an entry or
  // return the core looks at each block until one has an exclusive instruction:
  // an LDREX opens the monitor again, and a STREX that comes first fails, through
  // a hook on it for that run (nothing is hooked the rest of the time).
  bool monitor_cleared = false;
  uc_hook strex_hook = 0;
  uint32_t failing_strex = kNoAddress;  // the STREX to fail (the hook's address)
  bool strex_hook_spent = false;        // to be removed at the next block

  // The debugger's state; on the normal path only debug_busy() is looked at.
  struct Debug {
    enum class Action { none, cont, step };
    bool attached = false;
    bool halted = false;
    DebugStop stop;     // why the core halted last
    DebugStop pending;  // halt at the next instruction boundary, for this reason
    Action action = Action::none;
    bool step_interrupts = false;
    bool stepping = false;      // inside the one-instruction run of a step
    bool step_counted = false;  // the stepped instruction's time is counted
    bool step_ran = false;      // the stepped instruction has begun
    uc_hook step_hook = 0;      // on every instruction while stepping
    std::function<void()> service;
    bool fault_shown = false;
    uint32_t skip = kNoAddress;  // the breakpoint the core resumes from, passed once
    // The rest of a block whose time was counted when it began: it runs free.
    bool prepaid = false;
    uint32_t prepaid_next = 0, prepaid_end = 0;
    std::vector<Breakpoint> breakpoints;
    std::vector<Watchpoint> watchpoints;
    size_t register_watches = 0;
    // A halt at an instruction count (the re-runs of reverse execution): before
    // the block where the count is reached, or mid-block at a hook, as a
    // breakpoint halts.
    uint64_t target = kNoTarget;
    bool target_mid = false;
    uc_hook target_hook = 0;
    uint32_t target_pc = kNoAddress;
    // Before a block: where the first run halted (kNoAddress: the first block at the
    // count), as an exception may be entered there without an instruction.
    uint32_t target_block = kNoAddress;
    // Hits of the points noted instead of halting (finding the last hit of a re-run).
    std::function<void(uint64_t, DebugStop::Reason, uint32_t)> observer;
  } debug;

  // --- registers -----------------------------------------------------------------
  uint32_t reg(int id) const {
    uint32_t v = 0;
    uc_reg_read(uc, id, &v);
    return v;
  }
  void set_reg(int id, uint32_t v) { uc_reg_write(uc, id, &v); }

  // --- memory --------------------------------------------------------------------
  uint8_t* host_pointer(uint32_t address, uint32_t size) const {
    if (in(address, size, Memory::kRam, Memory::kRamSize)) return ram + (address - Memory::kRam);
    if (in(address, size, Memory::kFlash, Memory::kFlashSize)) return flash + (address - Memory::kFlash);
    if (in(address, size, 0, Memory::kFlashSize)) return flash + address;
    return nullptr;
  }
  bool read_words(uint32_t address, uint32_t* words, unsigned n) const {
    const uint8_t* p = host_pointer(address, 4 * n);
    if (p == nullptr) return false;
    std::memcpy(words, p, 4 * n);
    return true;
  }
  bool write_words(uint32_t address, const uint32_t* words, unsigned n) {
    if (!in(address, 4 * n, Memory::kRam, Memory::kRamSize)) return false;
    std::memcpy(ram + (address - Memory::kRam), words, 4 * n);
    return true;
  }

  // --- time ----------------------------------------------------------------------
  // `cost` cycles of the core (HCLK) pass; the events due meanwhile run at their own times.
  void advance(Cycles cost) {
    const Cycles target = events.now() + core.board_cycles(cost);
    while (events.next_time() <= target) {
      events.advance_to(events.next_time());
      events.run_due();
    }
    events.advance_to(target);
  }
  void jump_to_next_event() {
    // A marker (a front end's stop) is passed by: the wait ends as it would without it.
    const uint64_t before = events.events_run();
    do {
      const Cycles t = events.next_time();
      if (t == board::EventQueue::kNever) {
        std::fprintf(stderr, "tarvik-sim: the board waits for an event that can never come\n");
        std::abort();
      }
      events.advance_to(t);
      events.run_due();
    } while (events.events_run() == before);
  }

  // --- stops ---------------------------------------------------------------------
  void request_stop(Stop why) {
    if (why > stop) stop = why;
    stopping = true;
    uc_emu_stop(uc);
  }
  // The masks live in the core's registers: the exception model hears them first.
  void sync_masks() { core.set_masks(reg(UC_ARM_REG_BASEPRI), reg(UC_ARM_REG_PRIMASK)); }
  bool exception_due() {
    sync_masks();
    return core.takeable() >= 0;
  }

  // --- blocks --------------------------------------------------------------------
  const Block& summary(uint32_t address, uint32_t size) {
    Block* b = &other_block;
    if (in(address, size, Memory::kFlash, Memory::kFlashSize) || in(address, size, 0, Memory::kFlashSize)) {
      const uint32_t offset = address >= Memory::kFlash ? address - Memory::kFlash : address;
      b = &flash_blocks[offset / 2];
      if (b->size == size) return *b;
    }
    BlockSummary s;
    std::pair<Exclusive, uint16_t> exclusive{Exclusive::none, 0};
    if (const uint8_t* direct = host_pointer(address, size)) {
      s = summarize(direct, size);
      exclusive = first_exclusive(direct, size);
    } else {
      std::vector<uint8_t> code(size);
      if (uc_mem_read(uc, address, code.data(), size) == UC_ERR_OK) {
        s = summarize(code.data(), size);
        exclusive = first_exclusive(code.data(), size);
      }
    }
    *b = Block{static_cast<uint16_t>(size), static_cast<uint16_t>(s.instructions),
               static_cast<uint16_t>(std::min<uint32_t>(s.cycles, 0xFFFF)), s.flags};
    b->exclusive = exclusive.first;
    b->exclusive_at = exclusive.second;
    if (b != &other_block) {
      if (const uint8_t* direct = host_pointer(address, size)) {
        const CountDown c = count_down_body(
            address, direct, size,
            [](uint32_t a, void* self) -> const uint8_t* {
              return static_cast<Impl*>(self)->host_pointer(a, 4);
            },
            this);
        b->counter = c.reg;
        b->counter_offset = c.offset;
        b->head = c.head;
      }
    }
    return *b;
  }

  // True when the loop at `address` has come round with nothing changed since
  // its last turn.
  bool fixed_point(uint32_t address) {
    static constexpr int kIds[18] = {UC_ARM_REG_R0,      UC_ARM_REG_R1,     UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                     UC_ARM_REG_R4,      UC_ARM_REG_R5,     UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                     UC_ARM_REG_R8,      UC_ARM_REG_R9,     UC_ARM_REG_R10, UC_ARM_REG_R11,
                                     UC_ARM_REG_R12,     UC_ARM_REG_SP,     UC_ARM_REG_LR,  UC_ARM_REG_XPSR,
                                     UC_ARM_REG_BASEPRI, UC_ARM_REG_PRIMASK};
    Snapshot now;
    now.valid = true;
    now.address = address;
    now.activity = activity;
    void* ptrs[18];
    for (int i = 0; i < 18; ++i) ptrs[i] = &now.regs[i];
    uc_reg_read_batch(uc, const_cast<int*>(kIds), ptrs, 18);
    const bool same = snapshot.valid && snapshot.address == address && snapshot.activity == activity &&
                      std::memcmp(snapshot.regs, now.regs, sizeof now.regs) == 0;
    snapshot = now;
    return same;
  }

  // Takes the exception that is due before the block at `address` runs. Writing
  // the PC from a hook makes Unicorn leave the block before its first
  // instruction and go on at the handler, within the same run.
  void take_before(uint32_t address) {
    enter(core.takeable(), address);
    if (dead) request_stop(Stop::fault);
  }

  // At the body of a count-down loop, entered from its head: runs all turns but
  // the last at once, as far as they end before the next event (which may raise
  // an exception the loop must see at its own time). Exactly what the turns would
  // have done: the word and the register at the count left, the flags of the
  // last SUBS, the time, the instructions.
  void count_down(uint32_t address, const Block& body) {
    if (!branch_pending || address == fallthrough) return;
    static constexpr int kRegs[8] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3,
                                     UC_ARM_REG_R4, UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7};
    uint8_t* word = host_pointer(reg(UC_ARM_REG_SP) + body.counter_offset, 4);
    if (word == nullptr || word < ram || word >= ram + Memory::kRamSize) return;
    uint32_t n = 0;
    std::memcpy(&n, word, 4);
    if (n < 3 || reg(kRegs[body.counter]) != n) return;
    const Block& head = summary(body.head, 4);
    const Cycles turn = body.cycles + head.cycles + 2 * kBranchRefill;
    uint64_t turns = n - 1;
    const Cycles now = events.now(), next = events.next_time();
    if (next != board::EventQueue::kNever) {
      if (next <= now) return;
      // In board cycles, rounded up: the turns end before the event.
      const Cycles board_turn = (turn * board::kCpuHz + core.core_clock() - 1) / core.core_clock();
      turns = std::min<uint64_t>(turns, (next - now - 1) / board_turn);
    }
    if (turns == 0) return;
    const uint32_t left = n - static_cast<uint32_t>(turns);
    std::memcpy(word, &left, 4);
    set_reg(kRegs[body.counter], left);
    // SUBS of left + 1: N from the result, Z clear, C set (no borrow), V on INT_MIN - 1.
    const uint32_t nzcv = (left & 0x80000000u) | 0x20000000u | (left == 0x7FFFFFFFu ? 0x10000000u : 0u);
    set_reg(UC_ARM_REG_APSR_NZCV, nzcv);
    cpu.instructions_ += turns * (body.instructions + head.instructions);
    activity += turns;
    cpu.count_down_turns_ += turns;
    advance(turns * turn);
  }

  void on_block(uint32_t address, uint32_t size) {
    if (stopping) return;  // this block will not run now
    if (strex_hook_spent) drop_strex_hook();
    if (debug_busy() && debug_block(address, size)) return;
    const Block& b = summary(address, size);
    if (core.any_pending() && exception_due()) {
      take_before(address);
      return;
    }
    if (monitor_cleared && cleared_monitor_at(address, size, b)) return;
    if (debug.target_mid && debug.target != kNoTarget && target_in(address, size, b)) return;
    // Turns run at once would pass over the instruction a re-run must halt at.
    if (b.counter != kNoCounter && debug.target == kNoTarget) count_down(address, b);
    if (b.flags & (Instruction::kIdleHint | Instruction::kSelfLoop)) {
      if (b.flags & Instruction::kSelfLoop) halt_in_loop(address);
      if ((b.flags & Instruction::kSelfLoop) || fixed_point(address)) {
        ++cpu.idle_jumps_;
        jump_to_next_event();
        if (core.any_pending() && exception_due()) {
          take_before(address);
          return;
        }
      }
    }
    Cycles cost = b.cycles;
    if (branch_pending && address != fallthrough) cost += kBranchRefill;
    branch_pending = b.flags & Instruction::kBranch;
    fallthrough = address + size;
    cpu.instructions_ += b.instructions;
    if (b.flags & Instruction::kStore) ++activity;
    block_end = address + size;
    advance(cost);
  }

  // --- the debugger --------------------------------------------------------------
  bool debug_busy() const {
    return debug.pending.reason != DebugStop::Reason::none || debug.stepping || debug.prepaid ||
           debug.target != kNoTarget || debug.skip != kNoAddress;
  }

  // At a block boundary while the debugger has something to do; true when the
  // block is dealt with here.
  bool debug_block(uint32_t address, uint32_t size) {
    if (debug.pending.reason != DebugStop::Reason::none) {
      request_stop(Stop::debug);
      return true;
    }
    if (debug.target != kNoTarget && !debug.target_mid &&
        (cpu.instructions_ > debug.target ||
         (cpu.instructions_ == debug.target &&
          (debug.target_block == kNoAddress || debug.target_block == address)))) {
      debug.pending = DebugStop{DebugStop::Reason::step, 0};
      request_stop(Stop::debug);
      return true;
    }
    if (debug.skip != address) debug.skip = kNoAddress;
    if (debug.stepping) {
      step_block(address);
      return true;
    }
    if (debug.prepaid) {
      debug.prepaid = false;
      if (address == debug.prepaid_next) {
        continue_block(address, size);
        return true;
      }
    }
    return false;
  }

  Instruction instruction_at(uint32_t address) {
    uint16_t hw[2] = {};
    if (const uint8_t* p = host_pointer(address, 4)) {
      std::memcpy(hw, p, 4);
    } else if (const uint8_t* q = host_pointer(address, 2)) {
      std::memcpy(hw, q, 2);
    } else {
      uc_mem_read(uc, address, hw, 4);
    }
    return decode(hw[0], hw[1]);
  }

  // The one instruction of a step: only its own time. The hook runs again for
  // the block after it, before Unicorn's count ends the run there.
  void step_block(uint32_t address) {
    if (debug.step_counted) return;
    debug.step_counted = true;
    const Instruction ins = instruction_at(address);
    if (debug.prepaid && address == debug.prepaid_next) {
      debug.prepaid_next = address + ins.length;
      debug.prepaid = debug.prepaid_next < debug.prepaid_end;
      return;
    }
    debug.prepaid = false;
    Cycles cost = ins.cycles;
    if (branch_pending && address != fallthrough) cost += kBranchRefill;
    branch_pending = ins.flags & Instruction::kBranch;
    fallthrough = address + ins.length;
    ++cpu.instructions_;
    if (ins.flags & Instruction::kStore) ++activity;
    block_end = address + ins.length;
    advance(cost);
  }

  // The rest of a block after a halt inside it: counted already, and no
  // exception may come in before its end, as without the halt.
  void continue_block(uint32_t address, uint32_t size) {
    const uint32_t end = debug.prepaid_end;
    const Block& b = summary(address, size);
    branch_pending = b.flags & Instruction::kBranch;
    fallthrough = address + size;
    if (address + size > end) {
      // Unicorn made a longer block this time: what lies beyond is counted now.
      BlockSummary extra;
      if (const uint8_t* p = host_pointer(end, address + size - end))
        extra = summarize(p, address + size - end);
      cpu.instructions_ += extra.instructions;
      if (extra.flags & Instruction::kStore) ++activity;
      block_end = address + size;
      advance(extra.cycles);
      return;
    }
    block_end = end;
  }

  // Instructions from `address` up to `end` (not run yet, counted already).
  uint64_t instructions_between(uint32_t address, uint32_t end) {
    uint64_t n = 0;
    for (uint32_t a = address; a < end; a += std::max<uint32_t>(2, instruction_at(a).length)) ++n;
    return n;
  }
  // The instruction count before the instruction at `address` of the block running.
  uint64_t position_at(uint32_t address) {
    return cpu.instructions_ - instructions_between(address, block_end);
  }

  // The block holds the target instruction: a hook goes on it and the block runs
  // again from its start, translated anew with the hook (not counted yet).
  bool target_in(uint32_t address, uint32_t size, const Block& b) {
    if (debug.target_hook != 0 || debug.target >= cpu.instructions_ + b.instructions) return false;
    if (debug.target < cpu.instructions_) {
      // Passed (no instruction starts there): the halt comes as soon as it can.
      debug.pending = DebugStop{DebugStop::Reason::step, 0};
      request_stop(Stop::debug);
      return true;
    }
    uint32_t pc = address;
    for (uint64_t i = cpu.instructions_; i < debug.target; ++i)
      pc += std::max<uint32_t>(2, instruction_at(pc).length);
    debug.target_pc = pc;
    check_hook(uc_hook_add(uc, &debug.target_hook, UC_HOOK_CODE, reinterpret_cast<void*>(target_hook_fn),
                           this, pc, pc));
    uc_ctl_remove_cache(uc, address, address + size);
    set_reg(UC_ARM_REG_PC, address | 1u);
    return true;
  }
  static void target_hook_fn(uc_engine*, uint64_t address, uint32_t, void* self);
  void on_target(uint32_t address) {
    if (stopping || debug.stepping || debug.target == kNoTarget) return;
    if ((reg(UC_ARM_REG_PC) & ~1u) != address || position_at(address) != debug.target) return;
    debug.prepaid = true;
    debug.prepaid_next = address;
    debug.prepaid_end = block_end;
    debug.pending = DebugStop{DebugStop::Reason::step, 0};
    request_stop(Stop::debug);
  }
  void clear_target() {
    debug.target = kNoTarget;
    if (debug.target_hook == 0) return;
    uc_hook_del(uc, debug.target_hook);
    uc_ctl_remove_cache(uc, debug.target_pc, debug.target_pc + 4);
    debug.target_hook = 0;
    debug.target_pc = kNoAddress;
  }

  void on_breakpoint(uint32_t address) {
    if (stopping) return;
    if (debug.observer) {
      if ((reg(UC_ARM_REG_PC) & ~1u) == address)
        debug.observer(position_at(address), DebugStop::Reason::breakpoint, address);
      return;
    }
    if (debug.stepping) return;
    if (address == debug.skip) {
      debug.skip = kNoAddress;
      return;
    }
    // An exception taken at the block's start has left it before this instruction.
    if ((reg(UC_ARM_REG_PC) & ~1u) != address) return;
    debug.prepaid = true;
    debug.prepaid_next = address;
    debug.prepaid_end = block_end;
    if (debug.pending.reason == DebugStop::Reason::none ||
        debug.pending.reason == DebugStop::Reason::requested)
      debug.pending = DebugStop{DebugStop::Reason::breakpoint, address};
    request_stop(Stop::debug);
  }

  // The block at `address` is to run with the monitor cleared (see
  // monitor_cleared): false when it may run as it is.
  bool cleared_monitor_at(uint32_t address, uint32_t size, const Block& b) {
    if (b.exclusive == Exclusive::none) return false;
    monitor_cleared = false;
    if (b.exclusive == Exclusive::load) return false;
    drop_strex_hook();
    failing_strex = address + b.exclusive_at;
    check_hook(uc_hook_add(uc, &strex_hook, UC_HOOK_CODE, reinterpret_cast<void*>(strex_hook_fn), this,
                           failing_strex, failing_strex));
    // Hooks reach only code translated after they change: the block runs
    // again from its start, translated anew.
    uc_ctl_remove_cache(uc, address, address + size);
    set_reg(UC_ARM_REG_PC, address | 1u);
    return true;
  }
  void drop_strex_hook() {
    strex_hook_spent = false;
    if (strex_hook == 0) return;
    uc_hook_del(uc, strex_hook);
    uc_ctl_remove_cache(uc, failing_strex, failing_strex + 4);
    strex_hook = 0;
    failing_strex = kNoAddress;
  }
  static void strex_hook_fn(uc_engine*, uint64_t address, uint32_t, void* self);
  static void check_hook(uc_err err);

  // The STREX that an exception came between it and its LDREX is about to run:
  // it fails (status 1, nothing stored) and the code goes on after it, in the
  // block already counted with it.
  void on_strex(uint32_t address) {
    if (stopping || address != failing_strex || strex_hook_spent) return;
    if ((reg(UC_ARM_REG_PC) & ~1u) != address) return;
    uint16_t hw[2] = {};
    if (const uint8_t* p = host_pointer(address, 4)) std::memcpy(hw, p, 4);
    strex_hook_spent = true;  // its block is running: removed once the next one begins
    if (exclusive_kind(hw[0], hw[1]) != Exclusive::store) return;
    set_reg(UC_ARM_REG_R0 + static_cast<int>(exclusive_status_register(hw[0], hw[1])), 1);
    if (!debug.stepping) {
      debug.prepaid = true;
      debug.prepaid_next = address + 4;
      debug.prepaid_end = block_end;
    }
    set_reg(UC_ARM_REG_PC, (address + 4) | 1u);
  }

  // An access the code made; the core halts at the end of its block.
  void on_access(bool write, uint32_t address, uint32_t size) {
    if (debug.observer) {
      // The halt would come before the next block, at the count now.
      for (const Watchpoint& w : debug.watchpoints)
        if (overlaps(address, size, w.address, w.length) && !(w.kind == WatchKind::write && !write) &&
            !(w.kind == WatchKind::read && write))
          debug.observer(cpu.instructions_, watch_reason(w.kind), w.address);
      return;
    }
    if (debug.pending.reason != DebugStop::Reason::none &&
        debug.pending.reason != DebugStop::Reason::requested)
      return;
    for (const Watchpoint& w : debug.watchpoints) {
      if (!overlaps(address, size, w.address, w.length)) continue;
      if ((w.kind == WatchKind::write && !write) || (w.kind == WatchKind::read && write)) continue;
      debug.pending = DebugStop{watch_reason(w.kind), w.address};
      return;
    }
  }

  bool debug_pending() const { return debug.pending.reason != DebugStop::Reason::none; }

  // Halted between instructions, PC in its register: the host drives the debugger
  // until it resumes; no time passes.
  void pause() {
    clear_target();
    debug.stop = debug.pending;
    debug.pending = DebugStop{};
    debug.action = Debug::Action::none;
    debug.halted = true;
    while (debug.action == Debug::Action::none) {
      if (debug.service) debug.service();
      if (debug.action != Debug::Action::none) break;
      board.stop_now();
      events.run_due();
    }
    debug.halted = false;
    snapshot.valid = false;  // the debugger may have changed anything
  }

  // Every translated block is made again when next run (Unicorn's own flush of
  // the whole cache takes a quarter of a second; removing the ranges, nothing).
  void drop_code() {
    uc_ctl_remove_cache(uc, Memory::kFlash, Memory::kFlash + Memory::kFlashSize);
    uc_ctl_remove_cache(uc, 0, Memory::kFlashSize);
    uc_ctl_remove_cache(uc, Memory::kRam, Memory::kRam + Memory::kRamSize);
  }

  // Steps end at the second instruction's hook. Unicorn's own instruction count
  // is not used: it flushes the whole cache each time it is turned on or off.
  void step_mode(bool on);

  void on_instruction() {
    if (!debug.stepping || stopping) return;
    if (!debug.step_ran) {
      debug.step_ran = true;
      return;
    }
    request_stop(Stop::debug);
  }

  // One instruction from `pc`, then a halt. A pending interrupt is entered first
  // (and that is the step) only if steps may enter them.
  void single_step(uint32_t pc) {
    debug.action = Debug::Action::none;
    if (!dead) {
      step_mode(true);
      if (debug.step_interrupts && core.any_pending() && exception_due()) {
        enter(core.takeable(), pc);
      } else {
        stop = Stop::none;
        stopping = false;
        debug.stepping = true;
        debug.step_counted = false;
        debug.step_ran = false;
        uint16_t first = 0;
        if (const uint8_t* p = host_pointer(pc, 2)) std::memcpy(&first, p, 2);
        const bool wfi = first == kWfi;
        const uc_err err = uc_emu_start(uc, pc | 1u, kNoExit, 0, 0);
        debug.stepping = false;
        const uint32_t now_pc = reg(UC_ARM_REG_PC);
        if (!dead) {
          if (err != UC_ERR_OK) {
            if (fault.empty()) fault = uc_strerror(err);
            report_fault(fault, fault_address, now_pc);
          } else {
            switch (stop) {
              case Stop::fault:
                report_fault(fault, fault_address, now_pc);
                break;
              case Stop::exception_return:
                exception_return(now_pc | 1u);
                break;
              case Stop::breakpoint:
                breakpoint(now_pc);
                break;
              case Stop::svc:
                // The stepped instruction's own exception is entered.
                sync_masks();
                if (!core.may_preempt(ExceptionModel::kSvc))
                  report_fault("SVC at a priority that masks it", now_pc - 2, now_pc - 2);
                else if (core.takeable() == ExceptionModel::kSvc || debug.step_interrupts)
                  enter(core.takeable(), now_pc);
                break;
              default:
                if (wfi) {
                  while (!(core.any_pending() && exception_due()) && !debug_pending()) jump_to_next_event();
                  if (debug.step_interrupts && core.any_pending() && exception_due())
                    enter(core.takeable(), reg(UC_ARM_REG_PC));
                }
                break;
            }
          }
        }
      }
    }
    if (dead && !debug.fault_shown && cpu.exit_status_ < 0) {
      debug.fault_shown = true;
      debug.pending = DebugStop{DebugStop::Reason::fault, 0};
    }
    if (!debug_pending()) debug.pending = DebugStop{DebugStop::Reason::step, 0};
  }

  void halt_in_loop(uint32_t address) {
    if (core.halted()) return;
    char text[160];
    const std::string where = cpu.image_.describe(address);
    std::snprintf(text, sizeof text, "the image stopped in an endless loop at 0x%08x%s%s%s", address,
                  where.empty() ? "" : " (", where.c_str(), where.empty() ? "" : ")");
    core.mark_halted(text);
  }

  // --- peripheral space ----------------------------------------------------------
  board::Peripheral* device_at(uint32_t address, uint32_t& offset) {
    for (const Device& d : devices) {
      if (address >= d.base && address - d.base < d.size) {
        offset = address - d.base;
        return d.device;
      }
    }
    return nullptr;
  }

  uint32_t bus_read(uint32_t address, unsigned size) {
    ++activity;
    uint32_t offset = 0;
    if (board::Peripheral* d = device_at(address, offset)) {
      step(CpuTiming::kRegisterAccess);
      const uint32_t word = d->read(offset & ~3u) >> (8 * (offset & 3u));
      return size == 4 ? word : word & ((1u << (8 * size)) - 1);
    }
    if (size == 1) return board.bus.read8(address);
    const uint32_t word = board.bus.read32(address & ~3u);
    return size == 4 ? word : (word >> (8 * (address & 2u))) & 0xFFFFu;
  }

  void bus_write(uint32_t address, unsigned size, uint32_t value) {
    ++activity;
    uint32_t offset = 0;
    if (board::Peripheral* d = device_at(address, offset)) {
      step(CpuTiming::kRegisterAccess);
      d->write(offset, value);
      return;
    }
    if (size == 4) {
      board.bus.write32(address, value);
    } else if (size == 1) {
      board.bus.write8(address, static_cast<uint8_t>(value));
    } else {
      const uint32_t shift = 8 * (address & 2u);
      const uint32_t old = board.bus.read32(address & ~3u);
      board.bus.write32(address & ~3u, (old & ~(0xFFFFu << shift)) | ((value & 0xFFFFu) << shift));
    }
  }

  // A debugger's look at a register word, and its write: no time, no side effects of a read.
  uint32_t peek(uint32_t word) {
    uint32_t offset = 0;
    if (board::Peripheral* d = device_at(word, offset)) return d->peek(offset & ~3u);
    return board.bus.peek32(word);
  }
  void poke(uint32_t word, uint32_t value) {
    uint32_t offset = 0;
    if (board::Peripheral* d = device_at(word, offset)) {
      d->write(offset & ~3u, value);
      return;
    }
    board.bus.poke32(word, value);
  }

  void step(Cycles cost) {
    advance(cost > EmulatedTiming::kAccessInInstruction ? cost - EmulatedTiming::kAccessInInstruction : 0);
  }

  // --- exceptions ----------------------------------------------------------------
  uint32_t vector(int exception) {
    uint32_t v = 0;
    read_words(core.vector_table() + 4u * static_cast<uint32_t>(exception), &v, 1);
    return v;
  }

  // `invalid_state`: the instruction at `return_address` was to run in ARM
  // state; the frame says so (the Thumb bit clear in the stacked xPSR).
  void enter(int exception, uint32_t return_address, bool invalid_state = false) {
    static constexpr int kIds[9] = {UC_ARM_REG_R0, UC_ARM_REG_R1,   UC_ARM_REG_R2,
                                    UC_ARM_REG_R3, UC_ARM_REG_R12,  UC_ARM_REG_LR,
                                    UC_ARM_REG_SP, UC_ARM_REG_XPSR, UC_ARM_REG_CONTROL};
    uint32_t r[9];
    void* ptrs[9];
    for (int i = 0; i < 9; ++i) ptrs[i] = &r[i];
    uc_reg_read_batch(uc, const_cast<int*>(kIds), ptrs, 9);
    const uint32_t xpsr = r[7], control = r[8];
    const bool thread = (xpsr & kIpsrMask) == 0;
    const bool process_stack = thread && (control & kSpsel);
    uint32_t sp = r[6];
    uint32_t stacked_xpsr = invalid_state ? xpsr & ~kThumbBit : xpsr;
    if (core.stack_align8() && (sp & 4u)) {
      sp -= 4;
      stacked_xpsr |= kAlignedBit;
    }
    sp -= 32;
    const uint32_t frame[8] = {r[0], r[1], r[2], r[3], r[4], r[5], return_address & ~1u, stacked_xpsr};
    const uint32_t handler = vector(exception);
    if (!write_words(sp, frame, 8)) {
      report_fault("stacking fault", sp, return_address);
      return;
    }
    set_reg(UC_ARM_REG_SP, sp);
    // Handler mode runs on the main stack: leave the process stack while still
    // in thread mode, so that the core swaps its banked stack pointers.
    if (process_stack) set_reg(UC_ARM_REG_CONTROL, control & ~kSpsel);
    set_reg(UC_ARM_REG_XPSR, (xpsr & kFlagsMask) | kThumbBit | static_cast<uint32_t>(exception));
    set_reg(UC_ARM_REG_LR, !thread         ? kExcReturnHandler
                           : process_stack ? kExcReturnThreadPsp
                                           : kExcReturnThreadMsp);
    // Unicorn stays in Thumb state; a vector without the Thumb bit faults below,
    // where the handler's first instruction would run.
    set_reg(UC_ARM_REG_PC, handler | 1u);
    core.activate(exception);
    monitor_cleared = true;
    ++activity;
    branch_pending = false;
    advance(CpuTiming::kExceptionEntry);
    if (config.profile) frames.push_back({exception, cpu.instructions_, events.now()});
    if ((handler & 1u) == 0) invalid_state_fault(handler);
  }

  // The Cortex-M3 has no ARM state: the instruction at `pc` faults (INVSTATE).
  void invalid_state_fault(uint32_t pc) {
    const int fault = core.usage_fault(ExceptionModel::kUfsrInvState);
    if (fault < 0) {
      report_fault("lockup: invalid state in the hard fault's handler", pc, pc);
      return;
    }
    enter(fault, pc, true);
  }

  // Into `exception` on the frame already stacked, with `exc_return` in LR.
  void chain_to(int exception, uint32_t exc_return, Cycles cost) {
    const uint32_t handler = vector(exception);
    set_reg(UC_ARM_REG_IPSR, static_cast<uint32_t>(exception));
    set_reg(UC_ARM_REG_LR, exc_return);
    set_reg(UC_ARM_REG_PC, handler | 1u);
    core.activate(exception);
    monitor_cleared = true;
    advance(cost);
    if (config.profile) frames.push_back({exception, cpu.instructions_, events.now()});
    if ((handler & 1u) == 0) invalid_state_fault(handler);
  }

  void profile_end() {
    if (!config.profile || frames.empty()) return;
    const Frame f = frames.back();
    frames.pop_back();
    const uint64_t all_instructions = cpu.instructions_ - f.instructions_at_entry;
    const Cycles all_cycles = events.now() - f.cycles_at_entry;
    HandlerProfile& p = profiles[f.exception];
    const uint64_t own_instructions = all_instructions - f.nested_instructions;
    const Cycles own_cycles = all_cycles - f.nested_cycles;
    p.min_instructions = p.runs == 0 ? own_instructions : std::min(p.min_instructions, own_instructions);
    p.min_cycles = p.runs == 0 ? own_cycles : std::min(p.min_cycles, own_cycles);
    ++p.runs;
    p.instructions += own_instructions;
    p.max_instructions = std::max(p.max_instructions, own_instructions);
    p.cycles += own_cycles;
    p.max_cycles = std::max(p.max_cycles, own_cycles);
    if (!frames.empty()) {
      frames.back().nested_instructions += all_instructions;
      frames.back().nested_cycles += all_cycles;
    }
  }

  void exception_return(uint32_t exc_return) {
    const int ending = core.active_exception();
    const uint32_t ipsr = reg(UC_ARM_REG_IPSR);
    if (exc_return != kExcReturnHandler && exc_return != kExcReturnThreadMsp &&
        exc_return != kExcReturnThreadPsp) {
      report_fault("exception return with a reserved EXC_RETURN", exc_return, exc_return);
      return;
    }
    if (ending == 0 || static_cast<int>(ipsr) != ending) {
      report_fault("exception return from an exception that is not active", exc_return, exc_return);
      return;
    }
    profile_end();
    core.deactivate();
    ++activity;
    branch_pending = false;
    // Back to thread mode with another exception still active (and
    // CCR.NONBASETHRDENA clear): the returning handler has ended, and a usage
    // fault (INVPC) runs in its place on its frame, with this EXC_RETURN.
    if (exc_return != kExcReturnHandler && core.nesting() > 0 && !core.nonbase_thread()) {
      const int fault = core.usage_fault(ExceptionModel::kUfsrInvPc);
      if (fault < 0) {
        report_fault("lockup: exception return to thread mode from the hard fault", exc_return, exc_return);
        return;
      }
      chain_to(fault, exc_return, EmulatedTiming::kTailChain);
      return;
    }
    // Tail-chaining: a pending exception that may now run is entered on the
    // frame that is already stacked, with the same EXC_RETURN (not in a step
    // that may not enter interrupts: it waits for the next block).
    if (!(debug.stepping && !debug.step_interrupts) && core.any_pending() && exception_due()) {
      ++cpu.tail_chains_;
      chain_to(core.takeable(), exc_return, EmulatedTiming::kTailChain);
      return;
    }
    const bool to_process_stack = exc_return == kExcReturnThreadPsp;
    const uint32_t sp = reg(to_process_stack ? UC_ARM_REG_PSP : UC_ARM_REG_MSP);
    uint32_t frame[8];
    if (!read_words(sp, frame, 8)) {
      report_fault("unstacking fault", sp, exc_return);
      return;
    }
    const uint32_t xpsr = frame[7];
    const bool to_thread = exc_return != kExcReturnHandler;
    if (to_thread != ((xpsr & kIpsrMask) == 0) ||
        (!to_thread && static_cast<int>(xpsr & kIpsrMask) != core.active_exception()) ||
        !(xpsr & kThumbBit)) {
      report_fault("exception return to an inconsistent frame", sp, frame[6]);
      return;
    }
    const uint32_t new_sp = sp + 32 + ((xpsr & kAlignedBit) ? 4 : 0);
    // Thread mode first, then the process stack: the core swaps its banked
    // stack pointers on the CONTROL write.
    set_reg(UC_ARM_REG_XPSR, xpsr & ~kAlignedBit);
    if (to_process_stack) set_reg(UC_ARM_REG_CONTROL, reg(UC_ARM_REG_CONTROL) | kSpsel);
    set_reg(UC_ARM_REG_SP, new_sp);
    static constexpr int kIds[6] = {UC_ARM_REG_R0, UC_ARM_REG_R1,  UC_ARM_REG_R2,
                                    UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_LR};
    for (int i = 0; i < 6; ++i) set_reg(kIds[i], frame[i]);
    set_reg(UC_ARM_REG_PC, frame[6] | 1u);
    monitor_cleared = true;
    advance(CpuTiming::kExceptionReturn);
  }

  // --- faults and breakpoints ----------------------------------------------------
  void report_fault(const std::string& what, uint32_t address, uint32_t pc) {
    static constexpr const char* kNames[16] = {"r0", "r1", "r2",  "r3",  "r4",  "r5", "r6", "r7",
                                               "r8", "r9", "r10", "r11", "r12", "sp", "lr", "pc"};
    static constexpr int kIds[16] = {UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                     UC_ARM_REG_R4,  UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                     UC_ARM_REG_R8,  UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                                     UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR,  UC_ARM_REG_PC};
    char line[160];
    const std::string where = cpu.image_.describe(pc);
    std::snprintf(line, sizeof line, "fault: %s 0x%08x at pc 0x%08x%s%s%s", what.c_str(), address, pc,
                  where.empty() ? "" : " (", where.c_str(), where.empty() ? "" : ")");
    std::string text = line;
    for (int i = 0; i < 16; ++i) {
      std::snprintf(line, sizeof line, "%s%s=0x%08x", i % 4 == 0 ? "\n  " : " ", kNames[i], reg(kIds[i]));
      text += line;
    }
    std::snprintf(line, sizeof line,
                  "\n  xpsr=0x%08x msp=0x%08x psp=0x%08x control=0x%x basepri=0x%02x primask=%u",
                  reg(UC_ARM_REG_XPSR), reg(UC_ARM_REG_MSP), reg(UC_ARM_REG_PSP), reg(UC_ARM_REG_CONTROL),
                  reg(UC_ARM_REG_BASEPRI), reg(UC_ARM_REG_PRIMASK));
    text += line;
    core.mark_halted(text);
    dead = true;
  }

  void breakpoint(uint32_t pc) {
    uint16_t insn = 0;
    const uint8_t* p = host_pointer(pc, 2);
    if (p != nullptr) std::memcpy(&insn, p, 2);
    if (!config.semihosting || insn != kSemihostingBreakpoint) {
      report_fault("breakpoint", pc, pc);
      return;
    }
    const uint32_t op = reg(UC_ARM_REG_R0), arg = reg(UC_ARM_REG_R1);
    if (op == kSysExit) {
      cpu.exit_status_ = arg == kApplicationExit ? 0 : 1;
      core.mark_halted("the image ended the run with status " + std::to_string(cpu.exit_status_));
      dead = true;
      return;
    }
    if (op == kSysWriteC || op == kSysWrite0) {
      for (uint32_t a = arg;; ++a) {
        const uint8_t* c = host_pointer(a, 1);
        if (c == nullptr || *c == 0) break;
        cpu.semihosting_output_.push_back(static_cast<char>(*c));
        if (op == kSysWriteC) break;
      }
    }
    set_reg(UC_ARM_REG_PC, (pc + 2) | 1u);
  }

  // --- reset ---------------------------------------------------------------------
  // Unicorn with the unit's memory map and the core's hooks.
  void open();
  // The reset line: a new Unicorn (the old one may have been left inside a run
  // whose context the reset dropped), the registers as after reset, nothing of
  // the old run pending; SRAM keeps its contents, the debugger its points.
  void restart();

  // MSP from word 0 of the vector table at 0 (the flash alias), the entry from
  // word 1, the rest as a Cortex-M3 leaves reset (R0-R12 are unknown there: 0).
  void load_reset_state() {
    static constexpr int kIds[13] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                     UC_ARM_REG_R4, UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                     UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                                     UC_ARM_REG_R12};
    uint32_t reset[2] = {};
    read_words(0, reset, 2);
    // Thread mode before CONTROL, so that the core swaps its banked stack pointers.
    set_reg(UC_ARM_REG_XPSR, kThumbBit);
    set_reg(UC_ARM_REG_CONTROL, 0);
    for (int id : kIds) set_reg(id, 0);
    set_reg(UC_ARM_REG_PSP, 0);
    set_reg(UC_ARM_REG_MSP, reset[0] & ~3u);
    set_reg(UC_ARM_REG_LR, 0xFFFFFFFFu);
    set_reg(UC_ARM_REG_PRIMASK, 0);
    set_reg(UC_ARM_REG_BASEPRI, 0);
    set_reg(UC_ARM_REG_FAULTMASK, 0);
    set_reg(UC_ARM_REG_PC, reset[1] | 1u);
  }

  // --- the run -------------------------------------------------------------------
  // From the registers as reset left them.
  [[noreturn]] void run() {
    uint32_t pc = reg(UC_ARM_REG_PC);
    for (;;) {
      if (debug_pending()) {
        pause();
        pc = reg(UC_ARM_REG_PC);
        if (debug.action == Debug::Action::step) {
          single_step(pc);
          pc = reg(UC_ARM_REG_PC);
          continue;
        }
        debug.action = Debug::Action::none;
        for (const Breakpoint& b : debug.breakpoints)
          if (b.address == pc) debug.skip = pc;
      }
      if (dead) {
        // With a debugger attached, it sees the state the fault left first.
        if (debug.attached && !debug.fault_shown && cpu.exit_status_ < 0) {
          debug.fault_shown = true;
          debug.pending = DebugStop{DebugStop::Reason::fault, 0};
          continue;
        }
        // Lockup: the core runs no more code; the board's time and devices go on.
        jump_to_next_event();
        continue;
      }
      step_mode(false);
      stop = Stop::none;
      stopping = false;
      const uc_err err = uc_emu_start(uc, pc | 1u, kNoExit, 0, 0);
      pc = reg(UC_ARM_REG_PC);
      if (dead) continue;  // a hook has reported it
      if (err != UC_ERR_OK) {
        if (fault.empty()) fault = uc_strerror(err);
        report_fault(fault, fault_address, pc);
        continue;
      }
      switch (stop) {
        case Stop::fault:
          report_fault(fault, fault_address, pc);
          continue;
        case Stop::exception_return:
          exception_return(pc | 1u);
          break;
        case Stop::breakpoint:
          breakpoint(pc);
          break;
        case Stop::svc:
          // SVC is synchronous: when it may not pre-empt, the chip escalates it.
          sync_masks();
          if (!core.may_preempt(ExceptionModel::kSvc)) {
            report_fault("SVC at a priority that masks it", pc - 2, pc - 2);
            continue;
          }
          break;
        case Stop::none:
          // Unicorn stops by itself at WFI: sleep until an exception may run.
          while (!(core.any_pending() && exception_due()) && !debug_pending()) jump_to_next_event();
          break;
        case Stop::debug:
        case Stop::exception:
          break;
      }
      if (dead) continue;
      pc = reg(UC_ARM_REG_PC);
      if (debug_pending()) continue;  // halted here, before anything else comes in
      if (core.any_pending() && exception_due()) {
        enter(core.takeable(), pc);
        pc = reg(UC_ARM_REG_PC);
      }
    }
  }
};

// --- Unicorn's callbacks ------------------------------------------------------------

namespace {

using Impl = EmulatedCpu::Impl;

void block_hook(uc_engine*, uint64_t address, uint32_t size, void* self) {
  static_cast<Impl*>(self)->on_block(static_cast<uint32_t>(address), size);
}

void breakpoint_hook(uc_engine*, uint64_t address, uint32_t, void* self) {
  static_cast<Impl*>(self)->on_breakpoint(static_cast<uint32_t>(address));
}

void watch_hook(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* self) {
  static_cast<Impl*>(self)->on_access(type == UC_MEM_WRITE, static_cast<uint32_t>(address),
                                      static_cast<uint32_t>(size));
}

void instruction_hook(uc_engine*, uint64_t, uint32_t, void* self) {
  static_cast<Impl*>(self)->on_instruction();
}

void interrupt_hook(uc_engine*, uint32_t number, void* self) {
  auto* impl = static_cast<Impl*>(self);
  switch (number) {
    case kIntrSvc:
      impl->core.set_pending(ExceptionModel::kSvc);
      impl->request_stop(Stop::svc);
      break;
    case kIntrExceptionExit:
      // Done here, within the run: the new PC takes Unicorn on from there.
      impl->exception_return(impl->reg(UC_ARM_REG_PC) | 1u);
      if (impl->dead) impl->request_stop(Stop::fault);
      break;
    case kIntrBreakpoint:
      impl->request_stop(Stop::breakpoint);
      break;
    default:
      impl->fault = "processor exception " + std::to_string(number) + " (undefined instruction or abort)";
      impl->fault_address = impl->reg(UC_ARM_REG_PC);
      impl->request_stop(Stop::fault);
  }
}

bool invalid_hook(uc_engine*, uc_mem_type type, uint64_t address, int, int64_t, void* self) {
  auto* impl = static_cast<Impl*>(self);
  impl->fault = stop_name(type);
  impl->fault_address = static_cast<uint32_t>(address);
  return false;
}

uint64_t peripheral_read(uc_engine*, uint64_t offset, unsigned size, void* self) {
  return static_cast<Impl*>(self)->bus_read(Memory::kPeripherals + static_cast<uint32_t>(offset), size);
}
void peripheral_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* self) {
  static_cast<Impl*>(self)->bus_write(Memory::kPeripherals + static_cast<uint32_t>(offset), size,
                                      static_cast<uint32_t>(value));
}
uint64_t system_read(uc_engine*, uint64_t offset, unsigned size, void* self) {
  return static_cast<Impl*>(self)->bus_read(Memory::kSystem + static_cast<uint32_t>(offset), size);
}
void system_write(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* self) {
  static_cast<Impl*>(self)->bus_write(Memory::kSystem + static_cast<uint32_t>(offset), size,
                                      static_cast<uint32_t>(value));
}

// Bit-band: each word of the alias is one bit of the region below.
uint32_t bit_address(uint32_t base, uint64_t offset, uint32_t& bit) {
  const uint32_t byte = static_cast<uint32_t>(offset / 32), number = static_cast<uint32_t>(offset / 4) % 8;
  bit = 8 * (byte & 3u) + number;
  return base + (byte & ~3u);
}
uint64_t peripheral_bit_read(uc_engine*, uint64_t offset, unsigned, void* self) {
  uint32_t bit;
  const uint32_t word = bit_address(Memory::kPeripherals, offset, bit);
  return (static_cast<Impl*>(self)->bus_read(word, 4) >> bit) & 1u;
}
void peripheral_bit_write(uc_engine*, uint64_t offset, unsigned, uint64_t value, void* self) {
  auto* impl = static_cast<Impl*>(self);
  uint32_t bit;
  const uint32_t word = bit_address(Memory::kPeripherals, offset, bit);
  const uint32_t old = impl->bus_read(word, 4);
  impl->bus_write(word, 4, (value & 1u) ? old | (1u << bit) : old & ~(1u << bit));
}
uint64_t ram_bit_read(uc_engine*, uint64_t offset, unsigned, void* self) {
  uint32_t bit, word = 0;
  static_cast<Impl*>(self)->read_words(bit_address(Memory::kRam, offset, bit), &word, 1);
  return (word >> bit) & 1u;
}
void ram_bit_write(uc_engine*, uint64_t offset, unsigned, uint64_t value, void* self) {
  auto* impl = static_cast<Impl*>(self);
  uint32_t bit, word = 0;
  const uint32_t address = bit_address(Memory::kRam, offset, bit);
  impl->read_words(address, &word, 1);
  word = (value & 1u) ? word | (1u << bit) : word & ~(1u << bit);
  impl->write_words(address, &word, 1);
  ++impl->activity;
}

void run_entry(void* self) { static_cast<Impl*>(self)->run(); }
void restart_entry(void* self) { static_cast<Impl*>(self)->restart(); }

uint8_t* page_aligned(size_t size) {
  void* p = std::aligned_alloc(4096, size);
  if (p == nullptr) std::abort();
  std::memset(p, 0, size);
  return static_cast<uint8_t*>(p);
}

void check(uc_err err, const char* what) {
  if (err != UC_ERR_OK) {
    std::fprintf(stderr, "tarvik-sim: Unicorn: %s: %s\n", what, uc_strerror(err));
    std::abort();
  }
}

}  // namespace

void EmulatedCpu::Impl::strex_hook_fn(uc_engine*, uint64_t address, uint32_t, void* self) {
  static_cast<Impl*>(self)->on_strex(static_cast<uint32_t>(address));
}

void EmulatedCpu::Impl::check_hook(uc_err err) { check(err, "exclusive store hook"); }

void EmulatedCpu::Impl::target_hook_fn(uc_engine*, uint64_t address, uint32_t, void* self) {
  static_cast<Impl*>(self)->on_target(static_cast<uint32_t>(address));
}

void EmulatedCpu::Impl::step_mode(bool on) {
  if ((debug.step_hook != 0) == on) return;
  if (on) {
    check(uc_hook_add(uc, &debug.step_hook, UC_HOOK_CODE, reinterpret_cast<void*>(instruction_hook), this, 1,
                      0),
          "step hook");
  } else {
    uc_hook_del(uc, debug.step_hook);
    debug.step_hook = 0;
  }
  // Hooks reach only code translated after they change.
  drop_code();
}

void EmulatedCpu::Impl::open() {
  check(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc), "open");
  check(uc_ctl_set_cpu_model(uc, UC_CPU_ARM_CORTEX_M3), "Cortex-M3 model");
  // With no exit address, uc_emu_start does not invalidate the code at one after
  // every run (malloc and free of a page collection each time); the core stops
  // Unicorn itself.
  check(uc_ctl_exits_enable(uc), "exits");
  // Flash is read-only to the code: a store there is a fault, as on the bus.
  check(uc_mem_map_ptr(uc, Memory::kFlash, Memory::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash), "flash");
  check(uc_mem_map_ptr(uc, 0, Memory::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash), "flash alias");
  check(uc_mem_map_ptr(uc, Memory::kRam, Memory::kRamSize, UC_PROT_ALL, ram), "SRAM");
  check(uc_mmio_map(uc, Memory::kPeripherals, Memory::kPeripheralsSize, peripheral_read, this,
                    peripheral_write, this),
        "peripherals");
  check(uc_mmio_map(uc, Memory::kPeripheralBitBand, Memory::kPeripheralsSize * 32, peripheral_bit_read, this,
                    peripheral_bit_write, this),
        "peripheral bit-band");
  check(uc_mmio_map(uc, Memory::kRamBitBand, Memory::kRamSize * 32, ram_bit_read, this, ram_bit_write, this),
        "SRAM bit-band");
  check(uc_mmio_map(uc, Memory::kSystem, Memory::kSystemSize, system_read, this, system_write, this),
        "system");
  uc_hook hook;
  check(uc_hook_add(uc, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(block_hook), this, 1, 0), "block hook");
  check(uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(interrupt_hook), this, 1, 0),
        "interrupt hook");
  check(uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(invalid_hook), this, 1, 0),
        "memory hook");
  strex_hook = 0;  // a new Unicorn: nothing hooked, its monitor clear
  failing_strex = kNoAddress;
  strex_hook_spent = false;
  monitor_cleared = false;
}

void EmulatedCpu::Impl::restart() {
  // From this core's own context only while a debugger holds it halted (the
  // monitor's reset): it stays halted, now at the reset vector. From the host,
  // a core the debugger held, was about to halt or was stepping halts there
  // before its first instruction.
  const bool in_place = board::Fiber::current() != board::Fiber::host();
  const bool stepping = debug.stepping || (debug.halted && debug.action == Debug::Action::step);
  const bool hold =
      in_place || stepping || debug_pending() || (debug.halted && debug.action == Debug::Action::none);
  uc_close(uc);
  uc = nullptr;
  debug.step_hook = 0;
  open();
  // The debugger's points are the debug logic's, which a system reset leaves alone.
  for (Breakpoint& b : debug.breakpoints)
    check(uc_hook_add(uc, &b.hook, UC_HOOK_CODE, reinterpret_cast<void*>(breakpoint_hook), this, b.address,
                      b.address),
          "breakpoint");
  for (Watchpoint& w : debug.watchpoints)
    if (w.hook != 0)
      check(uc_hook_add(uc, &w.hook, watch_hook_types(w.kind), reinterpret_cast<void*>(watch_hook), this,
                        w.address, w.address + w.length - 1),
            "watchpoint");
  load_reset_state();
  stop = Stop::none;
  stopping = false;
  dead = false;
  fault.clear();
  fault_address = 0;
  branch_pending = false;
  fallthrough = 0;
  block_end = 0;
  ++activity;
  snapshot.valid = false;
  frames.clear();  // handlers the reset cut short never end
  cpu.exit_status_ = -1;
  debug.stepping = debug.step_counted = debug.step_ran = false;
  debug.prepaid = false;
  debug.skip = kNoAddress;
  debug.fault_shown = false;
  debug.action = Debug::Action::none;
  debug.halted = in_place;
  debug.pending = hold && !in_place ? DebugStop{DebugStop::Reason::requested, 0} : DebugStop{};
  if (hold) debug.stop = DebugStop{DebugStop::Reason::requested, 0};
  if (stepping) debug.pending.reason = debug.stop.reason = DebugStop::Reason::step;
}

std::string image_misfit(const ElfImage& image) {
  for (const ElfSegment& s : image.segments()) {
    const auto size = static_cast<uint32_t>(s.bytes.size());
    if (!in(s.load_address, size, Memory::kFlash, Memory::kFlashSize) &&
        !in(s.load_address, size, 0, Memory::kFlashSize)) {
      char text[96];
      std::snprintf(text, sizeof text, "a segment of %u bytes at 0x%08x lies outside the 64 KiB of flash",
                    size, s.load_address);
      return text;
    }
  }
  return "";
}

EmulatedCpu::EmulatedCpu(board::Board& b, const ElfImage& image, const Config& config)
    : impl_(std::make_unique<Impl>(*this, b, config)), image_(image) {
  Impl& m = *impl_;
  m.flash = page_aligned(Memory::kFlashSize);
  m.ram = page_aligned(Memory::kRamSize);
  for (const ElfSegment& s : image_.segments()) {
    const uint32_t offset =
        s.load_address >= Memory::kFlash ? s.load_address - Memory::kFlash : s.load_address;
    if (offset < Memory::kFlashSize)
      std::memcpy(m.flash + offset, s.bytes.data(),
                  std::min<size_t>(s.bytes.size(), Memory::kFlashSize - offset));
  }
  m.core.set_priority_bits(config.priority_bits);
  m.open();
  m.load_reset_state();
  b.bus.set_master(this);
  b.set_reset(run_entry, &m, restart_entry);
}

EmulatedCpu::~EmulatedCpu() {
  if (impl_->uc != nullptr) uc_close(impl_->uc);
  std::free(impl_->flash);
  std::free(impl_->ram);
}

void EmulatedCpu::attach_device(uint32_t base, uint32_t size, board::Peripheral* device) {
  impl_->devices.push_back({base, size, device});
}

void EmulatedCpu::step(board::Cycles cost) { impl_->step(cost); }

// Taken at the next block boundary, a few instructions on at most (the chip too
// needs a barrier to take it at once): stopping Unicorn inside an access would
// lose the place of the instruction that made it.
void EmulatedCpu::take_pending() {}

void EmulatedCpu::wait_for_event() { impl_->jump_to_next_event(); }

// --- the debugger's view ----------------------------------------------------------

namespace {

constexpr int kDebugIds[kDebugRegisters] = {
    UC_ARM_REG_R0,      UC_ARM_REG_R1,        UC_ARM_REG_R2,     UC_ARM_REG_R3,  UC_ARM_REG_R4,
    UC_ARM_REG_R5,      UC_ARM_REG_R6,        UC_ARM_REG_R7,     UC_ARM_REG_R8,  UC_ARM_REG_R9,
    UC_ARM_REG_R10,     UC_ARM_REG_R11,       UC_ARM_REG_R12,    UC_ARM_REG_SP,  UC_ARM_REG_LR,
    UC_ARM_REG_PC,      UC_ARM_REG_XPSR,      UC_ARM_REG_MSP,    UC_ARM_REG_PSP, UC_ARM_REG_PRIMASK,
    UC_ARM_REG_BASEPRI, UC_ARM_REG_FAULTMASK, UC_ARM_REG_CONTROL};

bool in_peripheral_space(uint32_t address) {
  return in(address, 1, Memory::kPeripherals, Memory::kPeripheralsSize) ||
         in(address, 1, Memory::kSystem, Memory::kSystemSize);
}

}  // namespace

void EmulatedCpu::access(bool write, uint32_t address, uint32_t, unsigned bytes, bool) {
  impl_->on_access(write, address, bytes);
}

void EmulatedCpu::attach_debugger(bool attached) { impl_->debug.attached = attached; }
void EmulatedCpu::set_debug_service(std::function<void()> service) {
  impl_->debug.service = std::move(service);
}

void EmulatedCpu::stop_for_good(const std::string& reason) {
  Impl& m = *impl_;
  m.core.mark_halted(reason);
  m.dead = true;
  m.debug.fault_shown = true;
}

void EmulatedCpu::halt() {
  Impl& m = *impl_;
  if (!m.debug.halted && !m.debug_pending()) m.debug.pending = DebugStop{DebugStop::Reason::requested, 0};
}

// Resumed already once asked to, though the core leaves its halt at the next run.
bool EmulatedCpu::debug_halted() const {
  return impl_->debug.halted && impl_->debug.action == Impl::Debug::Action::none;
}
const DebugStop& EmulatedCpu::debug_stop() const { return impl_->debug.stop; }

void EmulatedCpu::resume() {
  if (debug_halted()) impl_->debug.action = Impl::Debug::Action::cont;
}

void EmulatedCpu::step() {
  if (debug_halted()) impl_->debug.action = Impl::Debug::Action::step;
}

void EmulatedCpu::cancel_resume() {
  if (impl_->debug.halted) impl_->debug.action = Impl::Debug::Action::none;
}

void EmulatedCpu::run_to(uint64_t position, bool mid_block, uint32_t block) {
  Impl& m = *impl_;
  if (!debug_halted()) return;
  m.debug.target = position;
  m.debug.target_mid = mid_block;
  m.debug.target_block = block & ~1u;
  m.debug.action = Impl::Debug::Action::cont;
}

uint64_t EmulatedCpu::debug_position() const {
  Impl& m = *impl_;
  return instructions_ -
         (debug_mid_block() ? m.instructions_between(m.debug.prepaid_next, m.debug.prepaid_end) : 0);
}

bool EmulatedCpu::debug_mid_block() const {
  const Impl& m = *impl_;
  return m.debug.prepaid && m.debug.prepaid_next == (m.reg(UC_ARM_REG_PC) & ~1u);
}

void EmulatedCpu::set_hit_observer(std::function<void(uint64_t, DebugStop::Reason, uint32_t)> observer) {
  impl_->debug.observer = std::move(observer);
}

void EmulatedCpu::set_step_interrupts(bool on) { impl_->debug.step_interrupts = on; }
bool EmulatedCpu::step_interrupts() const { return impl_->debug.step_interrupts; }
size_t EmulatedCpu::breakpoints() const { return impl_->debug.breakpoints.size(); }
size_t EmulatedCpu::watchpoints() const { return impl_->debug.watchpoints.size(); }

bool EmulatedCpu::set_breakpoint(uint32_t address, bool insert) {
  Impl& m = *impl_;
  address &= ~1u;
  if (!debug_halted() || m.host_pointer(address, 2) == nullptr) return false;
  auto& list = m.debug.breakpoints;
  auto at = std::find_if(list.begin(), list.end(), [&](const Breakpoint& b) { return b.address == address; });
  if (insert) {
    if (at != list.end()) return true;
    uc_hook hook = 0;
    if (uc_hook_add(m.uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(breakpoint_hook), &m, address,
                    address) != UC_ERR_OK)
      return false;
    list.push_back({address, hook});
  } else {
    if (at == list.end()) return true;
    uc_hook_del(m.uc, at->hook);
    list.erase(at);
  }
  // The code there is translated again, with or without the hook.
  uc_ctl_remove_cache(m.uc, address, address + 4);
  return true;
}

bool EmulatedCpu::set_watchpoint(uint32_t address, uint32_t length, WatchKind kind, bool insert) {
  Impl& m = *impl_;
  if (!debug_halted() || length == 0) return false;
  const bool memory = m.host_pointer(address, length) != nullptr;
  const bool registers = in_peripheral_space(address) && in_peripheral_space(address + length - 1);
  if (!memory && !registers) return false;
  auto& list = m.debug.watchpoints;
  auto at = std::find_if(list.begin(), list.end(), [&](const Watchpoint& w) {
    return w.address == address && w.length == length && w.kind == kind;
  });
  if (insert) {
    if (at != list.end()) return true;
    uc_hook hook = 0;
    if (memory) {
      if (uc_hook_add(m.uc, &hook, watch_hook_types(kind), reinterpret_cast<void*>(watch_hook), &m, address,
                      address + length - 1) != UC_ERR_OK)
        return false;
      // Code translated before may not call memory hooks.
      m.drop_code();
    } else if (m.debug.register_watches++ == 0) {
      m.board.bus.set_watcher(this);
    }
    list.push_back({address, length, kind, hook});
  } else {
    if (at == list.end()) return true;
    if (at->hook != 0) {
      uc_hook_del(m.uc, at->hook);
      m.drop_code();
    } else if (--m.debug.register_watches == 0) {
      m.board.bus.set_watcher(nullptr);
    }
    list.erase(at);
  }
  return true;
}

uint32_t EmulatedCpu::debug_register(unsigned r) const {
  if (r >= kDebugRegisters) return 0;
  uint32_t v = impl_->reg(kDebugIds[r]);
  if (r == kDebugPc) v &= ~1u;
  return v;
}

bool EmulatedCpu::set_debug_register(unsigned r, uint32_t value) {
  Impl& m = *impl_;
  if (!debug_halted() || r >= kDebugRegisters) return false;
  if (r == kDebugPc) {
    value |= 1u;  // Thumb: the only state a Cortex-M has
  } else if (r == kDebugXpsr) {
    // Only the flags: the exception number and the Thumb bit follow the core's state.
    value = (value & kFlagsMask) | (m.reg(UC_ARM_REG_XPSR) & ~kFlagsMask);
  }
  m.set_reg(kDebugIds[r], value);
  ++m.activity;
  return true;
}

namespace {

// Bit-band: the alias word for `address` stands for one bit of the word at `word`.
bool bit_band(uint32_t address, uint32_t alias, uint32_t region, uint32_t size, uint32_t& word,
              uint32_t& bit) {
  if (!in(address, 1, alias, size * 32)) return false;
  word = bit_address(region, address - alias, bit);
  return true;
}

}  // namespace

size_t EmulatedCpu::debug_read(uint32_t address, void* out, size_t size) {
  Impl& m = *impl_;
  auto* bytes = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < size) {
    const uint32_t a = address + static_cast<uint32_t>(done);
    if (a < address) break;  // past the end of the address space
    if (const uint8_t* p = m.host_pointer(a, 1)) {
      // The rest of this region at once.
      size_t n = 1;
      while (done + n < size && m.host_pointer(a + static_cast<uint32_t>(n), 1) == p + n) ++n;
      std::memcpy(bytes + done, p, n);
      done += n;
      continue;
    }
    uint32_t word = 0, bit = 0;
    if (bit_band(a, Memory::kRamBitBand, Memory::kRam, Memory::kRamSize, word, bit)) {
      uint32_t v = 0;
      m.read_words(word, &v, 1);
      bytes[done++] = (a & 3u) == 0 ? static_cast<uint8_t>((v >> bit) & 1u) : 0;
      continue;
    }
    if (bit_band(a, Memory::kPeripheralBitBand, Memory::kPeripherals, Memory::kPeripheralsSize, word, bit)) {
      bytes[done++] = (a & 3u) == 0 ? static_cast<uint8_t>((m.peek(word) >> bit) & 1u) : 0;
      continue;
    }
    if (!in_peripheral_space(a)) break;
    bytes[done++] = static_cast<uint8_t>(m.peek(a & ~3u) >> (8 * (a & 3u)));
  }
  return done;
}

bool EmulatedCpu::debug_write(uint32_t address, const void* data, size_t size) {
  Impl& m = *impl_;
  if (!debug_halted() || size == 0) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const auto n = static_cast<uint32_t>(size);
  if (in(address, n, Memory::kRam, Memory::kRamSize)) {
    std::memcpy(m.ram + (address - Memory::kRam), bytes, size);
    ++m.activity;
    return true;
  }
  for (uint32_t i = 0; i < n; ++i)
    if (!in_peripheral_space(address + i)) return false;
  // Registers through their models, a word at a time as the bus takes them.
  for (uint32_t i = 0; i < n;) {
    const uint32_t word = (address + i) & ~3u;
    uint32_t v = m.peek(word);
    for (; i < n && ((address + i) & ~3u) == word; ++i) {
      const uint32_t shift = 8 * ((address + i) & 3u);
      v = (v & ~(0xFFu << shift)) | static_cast<uint32_t>(bytes[i]) << shift;
    }
    m.poke(word, v);
  }
  ++m.activity;
  return true;
}

bool EmulatedCpu::read_memory(uint32_t address, void* out, uint32_t size) const {
  const uint8_t* p = impl_->host_pointer(address, size);
  if (p == nullptr) return false;
  std::memcpy(out, p, size);
  return true;
}

bool EmulatedCpu::read_variable(const std::string& symbol, uint32_t& value) const {
  const ElfSymbol* s = image_.find(symbol);
  return s != nullptr && s->kind != ElfSymbol::Kind::function && read_memory(s->address, &value, 4);
}

uint8_t* EmulatedCpu::initial_data(uint32_t address, uint32_t size) {
  for (const ElfSegment& s : image_.segments()) {
    const auto length = static_cast<uint32_t>(s.bytes.size());
    if (s.address == s.load_address || !in(address, size, s.address, length)) continue;
    return impl_->host_pointer(s.load_address + (address - s.address), size);
  }
  return nullptr;
}

std::vector<HandlerProfile> EmulatedCpu::profile() const {
  std::vector<HandlerProfile> out;
  for (int exc = 0; exc < ExceptionModel::kExceptions; ++exc) {
    HandlerProfile p = impl_->profiles[exc];
    if (p.runs == 0) continue;
    p.exception = exc;
    uint32_t handler = 0;
    impl_->read_words(impl_->core.vector_table() + 4u * static_cast<uint32_t>(exc), &handler, 1);
    p.name = image_.describe(handler & ~1u);
    out.push_back(p);
  }
  return out;
}

std::string EmulatedCpu::profile_report() const {
  std::string out =
      "exception handler                runs   instructions min/mean/max     cycles min/mean/max"
      "   late clears\n";
  char line[200];
  for (const HandlerProfile& p : profile()) {
    // Runs entered again because the handler's flag clear was its last act (in `runs`).
    std::snprintf(line, sizeof line, "%9d %-22s %8llu %8llu %8.1f %8llu %8llu %8.1f %8llu %13llu\n",
                  p.exception, p.name.c_str(), static_cast<unsigned long long>(p.runs),
                  static_cast<unsigned long long>(p.min_instructions),
                  static_cast<double>(p.instructions) / static_cast<double>(p.runs),
                  static_cast<unsigned long long>(p.max_instructions),
                  static_cast<unsigned long long>(p.min_cycles),
                  static_cast<double>(p.cycles) / static_cast<double>(p.runs),
                  static_cast<unsigned long long>(p.max_cycles),
                  static_cast<unsigned long long>(impl_->core.late_clears(p.exception)));
    out += line;
  }
  return out;
}

EmulatedCpu* run_image(board::Board& b, const std::string& path, const EmulatedCpu::Config& config,
                       std::string& error) {
  ElfImage image;
  error = image.load(path);
  if (error.empty()) error = image_misfit(image);
  if (!error.empty()) return nullptr;
  // Like the board, the core outlives every run: the board's main context may
  // still be inside it.
  static EmulatedCpu* cpu = nullptr;
  if (cpu == nullptr) cpu = new EmulatedCpu(b, image, config);
  return cpu;
}

}  // namespace emu
