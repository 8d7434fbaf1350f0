// The kernel's tasks in the board image's memory, for the debugger's threads:
// found through the ELF's symbols (pxCurrentTCB, the ready, delayed, suspended
// and terminated lists of kernel/tasks.cpp), laid out as the chip's build lays
// out kernel/tcb.h and kernel/list.h. A task that is not running has its
// context where the Cortex-M3 port's PendSV saved it: r4-r11 at its saved stack
// pointer, then the hardware frame.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "elf_image.h"
#include "target.h"

namespace emu::gdb {

// Reads target memory; false if any of it cannot be read.
using MemoryReader = std::function<bool(uint32_t address, void* out, size_t size)>;

struct KernelTask {
  uint32_t tcb;
  std::string name;
  std::string state;  // running, ready, blocked, suspended, deleted-awaiting-idle
  uint32_t priority;
};

// Where the kernel keeps its state in the image (0: not there).
struct KernelSymbols {
  uint32_t ready_lists = 0, priorities = 0;  // the array of ready lists, one a priority
  uint32_t delayed = 0, suspended = 0, terminated = 0;
  uint32_t current = 0;            // pxCurrentTCB
  uint32_t scheduler_running = 0;  // a bool
};

class KernelTasks {
 public:
  // Layout of the chip's build (32-bit pointers).
  static constexpr uint32_t kItemNext = 4, kItemOwner = 12, kItemContainer = 16, kItemSize = 20;
  static constexpr uint32_t kListCount = 0, kListEnd = 8, kListSize = 8 + kItemSize;
  static constexpr uint32_t kTcbTop = 0, kTcbEventItem = 24, kTcbPriority = 44, kTcbName = 52,
                            kNameLength = 16;
  static constexpr unsigned kMaxTasks = 64;  // beyond this a list is taken as broken

  explicit KernelTasks(const ElfImage& image);
  explicit KernelTasks(const KernelSymbols& symbols);
  // Whether the image has the kernel's lists at all.
  bool known() const { return s_.ready_lists != 0; }

  // Every task on the kernel's lists, in priority order of the ready lists first.
  std::vector<KernelTask> tasks(const MemoryReader& read) const;
  // The running task's control block (0 before the first task is created).
  uint32_t current(const MemoryReader& read) const;
  // Whether the scheduler runs (before that, no task has run yet).
  bool started(const MemoryReader& read) const;
  // The registers of a task that is not running, from its saved context; the
  // system registers (msp, primask, ...) are left as `out` has them.
  bool saved_registers(const MemoryReader& read, uint32_t tcb, Registers& out) const;

 private:
  std::vector<uint32_t> owners(const MemoryReader& read, uint32_t list) const;

  KernelSymbols s_;
};

}  // namespace emu::gdb
