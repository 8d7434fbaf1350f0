// The board image on an emulated Cortex-M3: Unicorn executes the Thumb-2 code of
// the very image that is flashed, with its flash at 0x08000000 (and aliased at 0)
// and 20 KiB of SRAM at 0x20000000; every peripheral access goes over the board's
// bus to the same register models the native build uses. Unicorn executes
// instructions only, so this core supplies the Cortex-M exception model on top of
// the board's shared rules: entry with the 8-word frame on the active stack,
// return through EXC_RETURN, tail-chaining, SVC, PendSV, BASEPRI and PRIMASK.
//
// Time: each block of code is summarised once (instructions, estimated cycles,
// see thumb.h); the normal run counts per block, not per instruction. A
// peripheral access costs CpuTiming::kRegisterAccess in all, as in the native
// model; exception entry and return 12 cycles each, a tail-chain 6. Pending
// exceptions are looked at on every block boundary: Unicorn ends a block after
// each MSR and CPS, so unmasking lets them in before the next instruction, and an
// exception a peripheral write pends is taken at the end of that block (stopping
// Unicorn inside the access would restart the whole block). Entry and return
// happen inside Unicorn's hooks (the block hook, the exception-exit interrupt):
// writing the PC there makes Unicorn leave the block and go on at the new place
// within the same uc_emu_start, so the motor's interrupts, tens of thousands a
// virtual second, cost no stop and restart of the emulator.
//
// Unicorn 2.0 takes a slow path for every store to RAM (it keeps no dirty-page
// state), so stores cost far more than loads; the image's own speed under
// emulation depends on how much it writes.
//
// A loop that comes back to an idle hint (NOP, WFI, ...) or to a branch to itself
// with nothing changed since its last turn (registers, memory, peripherals) can
// only go round until the next event: time jumps there. A branch to itself stops
// the unit for good (the image's endless loops after a failure): the board halts,
// while interrupts still run. A busy wait that counts a word on the stack down
// (see CountDown in the source) runs the turns that end before the next event at
// once, leaving what the turns one by one would have left.
//
// A debugger (emu/gdb) halts the core between instructions; virtual time stands
// still while it is halted. Breakpoints are Unicorn code hooks on their
// addresses (the code is retranslated there, nothing is written to flash), so a
// breakpoint where the code does not run costs nothing. A step runs one
// instruction and costs its cycles; a block cut short by a breakpoint or a step
// has already been counted whole when it began, and its rest runs free, so that
// halting does not move the board's events. Watchpoints hear RAM through Unicorn's
// memory hooks and peripheral registers through the bus; the access is allowed to
// complete, and the core halts at the end of the block that made it (Unicorn
// gives no exact place within a block), at most a few instructions on.
//
// The board's reset line restarts the core as a system reset does: registers in
// their reset state (MSP and PC from the vector table), nothing active or pending,
// SRAM and the debugger's points kept, a core the debugger holds halted at the
// reset vector. Unicorn is opened anew: the run the reset cut short never returns.
//
// Exception entry and return clear the local monitor, as on the chip: the first
// exclusive instruction after one, if a STREX, fails. A vector without the Thumb
// bit faults (INVSTATE) where the handler's first instruction would run, and an
// EXC_RETURN to thread mode with another exception still active (CCR.NONBASETHRDENA
// clear) faults (INVPC): usage faults, or hard faults when those are disabled or
// may not pre-empt; a fault the hard fault's handler itself raises locks the core.
//
// Differences from the chip worth knowing: BASEPRI reads back the 8 bits written
// (masking uses the implemented priority bits); 16-bit peripheral writes are a
// read-modify-write of the 32-bit register; an LDREX or STREX in a block is
// taken as run (an IT block that skips it is not looked at).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board.h"
#include "elf_image.h"

namespace emu {

// The unit's memory map.
struct Memory {
  static constexpr uint32_t kFlash = 0x08000000u, kFlashSize = 64 * 1024;
  static constexpr uint32_t kRam = 0x20000000u, kRamSize = 20 * 1024;
  static constexpr uint32_t kPeripherals = 0x40000000u, kPeripheralsSize = 0x24000u;
  static constexpr uint32_t kRamBitBand = 0x22000000u, kPeripheralBitBand = 0x42000000u;
  static constexpr uint32_t kSystem = 0xE0000000u, kSystemSize = 0x100000u;
};

// Cycle costs the core adds to the instructions' own (documented estimates).
struct EmulatedTiming {
  static constexpr board::Cycles kTailChain = 6;
  // Of a peripheral access's cost, what the load or store instruction already counts.
  static constexpr board::Cycles kAccessInInstruction = 2;
};

// What one interrupt handler's runs took, its own work only (nested handlers not counted).
struct HandlerProfile {
  int exception = 0;
  std::string name;  // the handler's symbol
  uint64_t runs = 0;
  uint64_t instructions = 0, max_instructions = 0, min_instructions = 0;
  uint64_t cycles = 0, max_cycles = 0, min_cycles = 0;
};

// The registers a debugger sees, in the order of the gdb target description.
enum DebugRegister : unsigned {
  kDebugSp = 13,
  kDebugLr = 14,
  kDebugPc = 15,
  kDebugXpsr = 16,
  kDebugMsp,
  kDebugPsp,
  kDebugPrimask,
  kDebugBasepri,
  kDebugFaultmask,
  kDebugControl,
  kDebugRegisters
};

// Why the core halted for the debugger.
struct DebugStop {
  enum class Reason { none, requested, breakpoint, step, watch_write, watch_read, watch_access, fault };
  Reason reason = Reason::none;
  uint32_t address = 0;  // breakpoint: the code address; watch: the watched data address
};

enum class WatchKind { write, read, access };

class EmulatedCpu final : public board::BusMaster, board::AccessObserver {
 public:
  struct Config {
    int priority_bits = 4;     // the STM32F103's NVIC
    bool semihosting = false;  // BKPT 0xAB: SYS_EXIT, SYS_WRITEC, SYS_WRITE0
    bool profile = false;      // --profile-irq
  };

  EmulatedCpu(board::Board& board, const ElfImage& image, const Config& config);
  ~EmulatedCpu();
  EmulatedCpu(const EmulatedCpu&) = delete;
  EmulatedCpu& operator=(const EmulatedCpu&) = delete;

  // Routes [base, base + size) of the peripheral space to `device` instead of the
  // bus (a test machine's own devices); offsets are from `base`.
  void attach_device(uint32_t base, uint32_t size, board::Peripheral* device);

  // The bus's view of this core.
  void step(board::Cycles cost) override;
  void take_pending() override;
  void wait_for_event() override;

 private:
  // The bus's report of a register access, for watchpoints on peripherals.
  void access(bool write, uint32_t address, uint32_t value, unsigned bytes, bool ignored) override;

 public:
  uint64_t instructions() const { return instructions_; }
  uint64_t tail_chains() const { return tail_chains_; }
  uint64_t idle_jumps() const { return idle_jumps_; }
  // Turns of count-down busy loops run at once rather than one by one.
  uint64_t count_down_turns() const { return count_down_turns_; }
  // SYS_EXIT's status once the image ended the run through semihosting, else -1.
  int exit_status() const { return exit_status_; }
  const std::string& semihosting_output() const { return semihosting_output_; }
  // Every exception that ran, by number; empty unless profiling.
  std::vector<HandlerProfile> profile() const;
  std::string profile_report() const;

  // The image's memory (flash or SRAM) as the core sees it now; false outside both.
  bool read_memory(uint32_t address, void* out, uint32_t size) const;
  // A 32-bit variable of the image by its symbol; false if there is none.
  bool read_variable(const std::string& symbol, uint32_t& value) const;
  // Where in flash the reset sequence finds the start-up value of the
  // initialised data at `address` (for options that change start-up values
  // before the first run); null if `address` is not initialised data.
  uint8_t* initial_data(uint32_t address, uint32_t size);
  const ElfImage& image() const { return image_; }

  // --- the debugger's view ------------------------------------------------------
  // While a debugger is attached, a fault halts the core for it first.
  void attach_debugger(bool attached);
  // Called while halted, from the board's run, before the run returns to its
  // caller: the debugger's turn (it may wait there for its connection).
  void set_debug_service(std::function<void()> service);
  // Stops the core for good, as a lockup does (the debugger's kill).
  void stop_for_good(const std::string& reason);
  // Asks the core to halt at the next instruction boundary it reaches (at once
  // before its first instruction); the board's run then returns early.
  void halt();
  bool debug_halted() const;
  const DebugStop& debug_stop() const;
  // From a halt: run on, or run one instruction and halt again; the next
  // run_until of the board does it.
  void resume();
  void step();
  // Reverse execution re-runs the board to an instruction count:
  // debug_position() is the number of instructions run before the one at the PC
  // (the same in every run of the same history), debug_mid_block() whether the
  // halt is inside a block already counted (as at a breakpoint). run_to resumes
  // and halts where the count is reached, mid-block or before its block (the one
  // at `block` if given), as the first run halted there; cancel_resume takes back
  // a resume not yet begun.
  static constexpr uint32_t kAnyBlock = 0xFFFFFFFFu;
  void run_to(uint64_t position, bool mid_block, uint32_t block = kAnyBlock);
  void cancel_resume();
  uint64_t debug_position() const;
  bool debug_mid_block() const;
  // While set, breakpoint and watchpoint hits are handed to `observer` (the
  // count where the halt would be, why, the address) and the core does not halt.
  void set_hit_observer(std::function<void(uint64_t, DebugStop::Reason, uint32_t)> observer);
  // Whether a step may enter an interrupt that is pending (off: stepping stays in
  // the code being stepped; exceptions the stepped instruction raises, SVC, still enter).
  void set_step_interrupts(bool on);
  bool step_interrupts() const;
  // While halted (false otherwise, or for a place the core cannot break or watch).
  bool set_breakpoint(uint32_t address, bool insert);
  bool set_watchpoint(uint32_t address, uint32_t length, WatchKind kind, bool insert);
  size_t breakpoints() const;
  size_t watchpoints() const;
  // The registers while halted, DebugRegister numbering.
  uint32_t debug_register(unsigned reg) const;
  bool set_debug_register(unsigned reg, uint32_t value);
  // Memory as a debugger sees it: flash, SRAM, their bit-band aliases, and the
  // peripheral and system registers without the effects of a read. Returns the
  // number of bytes from the start that could be read.
  size_t debug_read(uint32_t address, void* out, size_t size);
  // SRAM and registers (through the register models, as a write of the code would
  // do, without time); false for flash or where nothing is.
  bool debug_write(uint32_t address, const void* data, size_t size);

  struct Impl;  // the Unicorn side, kept out of this header

 private:
  std::unique_ptr<Impl> impl_;
  const ElfImage image_;
  uint64_t instructions_ = 0, tail_chains_ = 0, idle_jumps_ = 0, count_down_turns_ = 0;
  int exit_status_ = -1;
  std::string semihosting_output_;
};

// What keeps `image` from being flashed into the unit (a segment outside its
// flash), or "".
std::string image_misfit(const ElfImage& image);

// Makes `path` the code the process's board runs from reset, on a core that lives
// as long as the board. Returns null and says why in `error` if the image cannot
// be loaded or does not fit the unit's memory.
EmulatedCpu* run_image(board::Board& board, const std::string& path, const EmulatedCpu::Config& config,
                       std::string& error);

}  // namespace emu
