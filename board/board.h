// The simulated board: one virtual clock, the CPU, every register model at its
// address, and the run control that hands the CPU between the firmware's contexts
// and whoever drives the board.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "afio.h"
#include "bkp.h"
#include "bus.h"
#include "cpu.h"
#include "crc.h"
#include "event_queue.h"
#include "fiber.h"
#include "flash.h"
#include "gpio.h"
#include "hd44780.h"
#include "keypad.h"
#include "motor.h"
#include "pwr.h"
#include "rcc.h"
#include "rs485.h"
#include "rules.h"
#include "timer.h"
#include "usart.h"

namespace board {

// Physical addresses of the STM32F103's peripherals.
struct Addresses {
  static constexpr uint32_t kTim3 = 0x40000400, kTim4 = 0x40000800, kUsart2 = 0x40004400, kBkp = 0x40006C00,
                            kPwr = 0x40007000, kAfio = 0x40010000, kGpioA = 0x40010800, kGpioB = 0x40010C00,
                            kGpioC = 0x40011000, kUsart1 = 0x40013800, kRcc = 0x40021000, kFlash = 0x40022000,
                            kCrc = 0x40023000, kCore = 0xE000E000;
};
constexpr int kTim3Irq = 29, kTim4Irq = 30;

class Board {
 public:
  Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // The firmware's reset sequence (run on the board's main stack) and vector table.
  void set_firmware(void (*reset)(), const Cpu::Handler* vectors);
  // Or whatever else runs the code from reset on the main stack (an emulated core):
  // `entry` runs it; `restart`, if given, is how the reset line reaches it (its
  // registers back to their reset state), called once the register models are reset.
  void set_reset(void (*entry)(void* ctx), void* ctx, void (*restart)(void* ctx) = nullptr);
  // Runs the board until virtual time `t`; the first call powers it on.
  void run_until(Cycles t);
  Cycles now() const { return events.now(); }
  // The reset line (NRST), pulled while the run is stopped: every register model
  // but the backup domain goes back to its reset value, the firmware's contexts
  // are dropped, and the next run_until starts the code from reset again. Devices
  // on the pins are not reset. Listeners then hear of it, in the order added.
  // A core with a restart of its own may also pull it from its main context,
  // between instructions (a debugger's reset): that context goes on from reset.
  void reset();
  void add_reset_listener(std::function<void()> fn) { reset_listeners_.push_back(std::move(fn)); }
  // Ends the present run_until at the current time, once the events due now have
  // run; called from the board's side while it runs (an event, a device, a sink).
  void stop_now();
  uint64_t resets() const { return resets_; }
  // Halts the board for good with `why`, from whichever side runs: the firmware
  // stops where it is, the devices and events go on as after any halt.
  void halt(const std::string& why);

  EventQueue events;
  Rules rules{events};
  Cpu cpu{events};
  Pwr pwr;
  Bkp bkp{pwr};
  Rcc rcc{bkp};
  FlashCtl flash;
  Afio afio;
  Gpio gpioa{'A'}, gpiob{'B'}, gpioc{'C'};
  Usart usart1{events, rcc, true};
  Usart usart2{events, rcc, false};
  Timer tim3{events, rcc};
  Timer tim4{events, rcc};
  Crc crc;
  Bus bus{cpu, events, rcc};

  // Devices on the board's pins.
  Motor motor{events, gpioa, gpiob, tim3, tim4};
  Keypad keypad{gpioc};
  Rs485 rs485{usart2, gpioa};
  Hd44780 lcd{events, gpioc};

 private:
  static void main_entry(void* self);
  static void stop_event(void* self, uint64_t token);

  void (*reset_)() = nullptr;
  void (*reset_entry_)(void*) = nullptr;
  void* reset_ctx_ = nullptr;
  void (*reset_restart_)(void*) = nullptr;
  Fiber* main_context_ = nullptr;
  Fiber* resume_ = nullptr;  // the context that was running when the run stopped
  uint64_t stop_token_ = 0;
  uint64_t resets_ = 0;
  std::vector<std::function<void()>> reset_listeners_;
};

// The one board of this process.
Board& the_board();

}  // namespace board
