// The 16x4 character LCD (HD44780-compatible) on port C, driven write-only over
// its 4-bit interface: R/W stays low and the busy flag is never read, so every
// wait is a fixed delay. Tasks only: the millisecond delay sleeps.
//
// Until lcd16_4_config has run every operation returns at once, touching neither
// pins nor delays. From then on each operation holds the display lock (xsLcd) for
// its whole length, so operations of different tasks never interleave on the bus;
// a task may nest them, and may hold the lock across several with LcdLock. An
// operation whose lock stays busy for 500 ticks does nothing.
#pragma once
#include <stdint.h>

#include "FreeRTOS.h"
#include "semphr.h"
#include "stm32f10x_gpio.h"

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;

// Both take their count by value; the waits themselves keep a volatile copy.
typedef void (*udelay_t)(u32 us);
typedef void (*delay_t)(u32 ms);

struct LCD4Bit_Config {
  GPIO_TypeDef* gpio;
  u16 rs_pin;  // low: command, high: data
  u16 enable_pin;
  u16 db4_pin;  // nibble bit 0
  u16 db5_pin;
  u16 db6_pin;
  u16 db7_pin;  // nibble bit 3
  u16 rw_pin;   // held low
  u8 cols;
  u8 rows;      // 1 to 4 once initialised
  u8 dot_size;  // OR-ed into the function-set nibble
  udelay_t udelay;
  delay_t delay;
};

// All zero until lcd16_4_config.
extern LCD4Bit_Config LCD_CONFIG;
extern GPIO_InitTypeDef GPIO_LCD4Bit_ConfigStructure;
extern xSemaphoreHandle xsLcd;

// The board's wiring and geometry, with the caller's microsecond (busy) and
// millisecond (sleeping) waits; makes the display lock on its first call.
void lcd16_4_config(udelay_t udly, delay_t dly);
// Clocks the port and makes the seven lines outputs, all low.
void lcd16_4_init_gpio(void);
// The power-on sequence into 4-bit mode; leaves the display on, clear, the cursor
// at row 0 column 0, addresses incrementing.
void lcd16_4_init(void);

void lcd16_4_pulseEnablePin(void);
// Bits 0-3 of value on D4-D7, then a strobe.
void lcd16_4_pushNibble(int value);
// Bits 4-7, then bits 0-3.
void lcd16_4_pushByte(int value);
// RS low and one nibble, with no wait.
void lcd16_4_commandWriteNibble(int nibble);
// RS low and a whole command, then delay(1).
void lcd16_4_commandWrite(int value);
// Clear and return home keep the controller busy 1.52 ms: each sleeps three ticks
// in all, so that at least two whole ticks pass before the next write.
void lcd16_4_clear(void);
// Return home, then the address: row 0-2, any other row is row 3; a column past
// the last is the last, one below 0 the first.
void lcd16_4_cursorTo(int line_num, int x);
void lcd16_4_leftScroll(int num_chars, int delay_time);
// One character at the cursor.
void lcd16_4_write(u8 value);
// len characters at the cursor; returns len.
int lcd16_4_send(const char* ptr, int len);
// printf at the cursor; at most 19 characters, the rest is cut. Returns the
// number written.
int lprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The display lock. Returns 0 when held, 1 when no display is configured (there
// is nothing to hold), 2 when it stayed busy for 500 ticks. The task that holds it
// may take it again; each 0 is matched by one lcd16_4_unlock.
uint8_t lcd16_4_lock(void);
void lcd16_4_unlock(void);

class LcdLock {
 public:
  LcdLock() : result_(lcd16_4_lock()) {}
  ~LcdLock() {
    if (result_ == 0) lcd16_4_unlock();
  }
  LcdLock(const LcdLock&) = delete;
  LcdLock& operator=(const LcdLock&) = delete;
  bool held() const { return result_ == 0; }
  bool busy() const { return result_ == 2; }

 private:
  uint8_t result_;
};
