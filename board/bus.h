// The bus: routes the firmware's register accesses by physical address to the
// register models. Every access is a preemption point of the CPU.
#pragma once
#include <cstdint>

#include "cpu.h"
#include "peripheral.h"

namespace board {

class Rcc;

// Hears every access the code makes to a register, after it took effect: the
// register access log. `ignored` when nothing answered (clock off, nothing there).
class AccessObserver {
 public:
  virtual void access(bool write, uint32_t address, uint32_t value, unsigned bytes, bool ignored) = 0;

 protected:
  ~AccessObserver() = default;
};

class Bus {
 public:
  Bus(Cpu& cpu, EventQueue& events, const Rcc& rcc)
      : exceptions_(cpu), master_(&cpu), events_(events), rcc_(rcc) {}
  // The CPU that runs the code and so times the accesses (the native CPU model
  // unless another takes its place).
  void set_master(BusMaster* m) { master_ = m; }
  // One observer of the accesses, or null (then they cost nothing more).
  void set_observer(AccessObserver* o) { observer_ = o; }
  // The debugger's watchpoints on registers, heard like the observer, or null.
  void set_watcher(AccessObserver* w) { watcher_ = w; }

  // Places a model at `base` (1 KiB pages); `always_clocked` for RCC and FLASH.
  void attach(uint32_t base, uint32_t size, Peripheral* p);

  uint32_t read32(uint32_t addr);
  void write32(uint32_t addr, uint32_t value);
  uint8_t read8(uint32_t addr);
  void write8(uint32_t addr, uint8_t value);
  // A debugger's accesses: no time passes, nobody hears them, and a read has
  // none of the effects a firmware read has (0 where nothing answers).
  uint32_t peek32(uint32_t addr);
  void poke32(uint32_t addr, uint32_t value);

  // Accesses to a peripheral whose clock is off (writes ignored, reads 0) or to
  // an address where nothing is.
  uint64_t unclocked_accesses() const { return unclocked_; }
  uint64_t unmapped_accesses() const { return unmapped_; }

 private:
  struct Slot {
    Peripheral* p = nullptr;
    uint32_t base = 0;
    const uint32_t* clock_enable = nullptr;  // null: always clocked
    uint32_t clock_mask = 0;
  };
  static constexpr uint32_t kPageShift = 10;
  static constexpr uint32_t kPeriphStart = 0x40000000u, kPeriphEnd = 0x40024000u;
  static constexpr uint32_t kCoreStart = 0xE000E000u, kCoreEnd = 0xE000F000u;

  Slot* slot(uint32_t addr);
  uint32_t read_word(uint32_t addr, bool observed);
  void observe(bool write, uint32_t addr, uint32_t value, unsigned bytes, bool ignored) {
    if (observer_ != nullptr) observer_->access(write, addr, value, bytes, ignored);
    if (watcher_ != nullptr) watcher_->access(write, addr, value, bytes, ignored);
  }
  static bool clocked(const Slot& s) {
    return s.clock_enable == nullptr || (*s.clock_enable & s.clock_mask) != 0;
  }

  ExceptionModel& exceptions_;
  BusMaster* master_;
  AccessObserver* observer_ = nullptr;
  AccessObserver* watcher_ = nullptr;
  EventQueue& events_;
  const Rcc& rcc_;
  Slot pages_[(kPeriphEnd - kPeriphStart) >> kPageShift];
  Slot core_;
  uint64_t unclocked_ = 0, unmapped_ = 0;
  uint64_t writes_ = 0;
  // The last read, to spot a loop polling a register that nothing has touched since.
  uint32_t last_read_addr_ = 0;
  uint64_t last_read_stamp_ = ~0ull;
};

}  // namespace board
