#include "lcd16_4_4bit.h"

#include <stdarg.h>

#include "console.h"
#include "stm32f10x_rcc.h"
#include "task.h"
#include "vsniprintf.h"

LCD4Bit_Config LCD_CONFIG = {};
GPIO_InitTypeDef GPIO_LCD4Bit_ConfigStructure;
xSemaphoreHandle xsLcd = nullptr;

namespace {

constexpr portTickType kLockWait = 500;
constexpr uint32_t kPortClocks = 0x1D;  // AFIO, GPIOA, GPIOB, GPIOC
constexpr unsigned kPrintBuffer = 20;

xTaskHandle lock_owner = nullptr;
unsigned lock_depth = 0;

bool configured() { return xsLcd != nullptr && LCD_CONFIG.gpio != nullptr; }

BitAction bit(int value, int n) { return ((value >> n) & 1) != 0 ? Bit_SET : Bit_RESET; }

// Clear and return home keep the controller busy for 1.52 ms, and the command's
// delay(1) may end at the very next tick: two whole ticks more.
void long_instruction_wait() { LCD_CONFIG.delay(2); }

}  // namespace

uint8_t lcd16_4_lock(void) {
  if (!configured()) return 1;
  const xTaskHandle self = xTaskGetCurrentTaskHandle();
  if (lock_depth != 0 && lock_owner == self) {
    ++lock_depth;
    return 0;
  }
  if (xSemaphoreTake(xsLcd, kLockWait) != pdTRUE) return 2;
  lock_owner = self;
  lock_depth = 1;
  return 0;
}

void lcd16_4_unlock(void) {
  if (lock_depth == 0 || lock_owner != xTaskGetCurrentTaskHandle()) return;
  if (--lock_depth == 0) {
    lock_owner = nullptr;
    xSemaphoreGive(xsLcd);
  }
}

void lcd16_4_config(udelay_t udly, delay_t dly) {
  if (xsLcd == nullptr) {
    xsLcd = xSemaphoreCreateMutex();
    if (xsLcd == nullptr) {
      cprintf("Fun:lcd16_4_config ERROR! Out of memory!\r\n");
      return;
    }
  }
  // Held only when configured before: someone may be drawing.
  LcdLock lock;
  if (lock.busy()) return;
  LCD_CONFIG.rs_pin = GPIO_Pin_8;
  LCD_CONFIG.enable_pin = GPIO_Pin_5;
  LCD_CONFIG.db4_pin = GPIO_Pin_0;
  LCD_CONFIG.db5_pin = GPIO_Pin_1;
  LCD_CONFIG.db6_pin = GPIO_Pin_2;
  LCD_CONFIG.db7_pin = GPIO_Pin_3;
  LCD_CONFIG.rw_pin = GPIO_Pin_9;
  LCD_CONFIG.cols = 16;
  LCD_CONFIG.rows = 4;
  LCD_CONFIG.dot_size = 0;
  LCD_CONFIG.udelay = udly;
  LCD_CONFIG.delay = dly;
  // Last: the port is what marks the driver as configured.
  LCD_CONFIG.gpio = GPIOC;
}

void lcd16_4_init_gpio(void) {
  LcdLock lock;
  if (!lock.held()) return;
  const LCD4Bit_Config& c = LCD_CONFIG;
  RCC_APB2PeriphClockCmd(kPortClocks, ENABLE);
  GPIO_LCD4Bit_ConfigStructure.GPIO_Pin = static_cast<uint16_t>(c.rs_pin | c.enable_pin | c.db4_pin |
                                                                c.db5_pin | c.db6_pin | c.db7_pin | c.rw_pin);
  GPIO_LCD4Bit_ConfigStructure.GPIO_Speed = GPIO_Speed_50MHz;
  GPIO_LCD4Bit_ConfigStructure.GPIO_Mode = GPIO_Mode_Out_PP;
  GPIO_Init(c.gpio, &GPIO_LCD4Bit_ConfigStructure);
  GPIO_ResetBits(c.gpio, c.enable_pin);
  GPIO_ResetBits(c.gpio, c.rs_pin);
  GPIO_ResetBits(c.gpio, c.db4_pin);
  GPIO_ResetBits(c.gpio, c.db5_pin);
  GPIO_ResetBits(c.gpio, c.db6_pin);
  GPIO_ResetBits(c.gpio, c.db7_pin);
  GPIO_ResetBits(c.gpio, c.rw_pin);
}

void lcd16_4_pulseEnablePin(void) {
  LcdLock lock;
  if (!lock.held()) return;
  const LCD4Bit_Config& c = LCD_CONFIG;
  GPIO_ResetBits(c.gpio, c.enable_pin);
  c.udelay(10);
  GPIO_SetBits(c.gpio, c.enable_pin);
  c.udelay(10);
  GPIO_ResetBits(c.gpio, c.enable_pin);
  c.udelay(10);
}

void lcd16_4_pushNibble(int value) {
  LcdLock lock;
  if (!lock.held()) return;
  const LCD4Bit_Config& c = LCD_CONFIG;
  GPIO_WriteBit(c.gpio, c.db4_pin, bit(value, 0));
  GPIO_WriteBit(c.gpio, c.db5_pin, bit(value, 1));
  GPIO_WriteBit(c.gpio, c.db6_pin, bit(value, 2));
  GPIO_WriteBit(c.gpio, c.db7_pin, bit(value, 3));
  lcd16_4_pulseEnablePin();
}

void lcd16_4_pushByte(int value) {
  LcdLock lock;
  if (!lock.held()) return;
  lcd16_4_pushNibble(value >> 4);
  lcd16_4_pushNibble(value & 15);
}

void lcd16_4_commandWriteNibble(int nibble) {
  LcdLock lock;
  if (!lock.held()) return;
  GPIO_ResetBits(LCD_CONFIG.gpio, LCD_CONFIG.rs_pin);
  lcd16_4_pushNibble(nibble);
}

void lcd16_4_commandWrite(int value) {
  LcdLock lock;
  if (!lock.held()) return;
  GPIO_ResetBits(LCD_CONFIG.gpio, LCD_CONFIG.rs_pin);
  lcd16_4_pushByte(value);
  LCD_CONFIG.delay(1);
}

void lcd16_4_init(void) {
  LcdLock lock;
  if (!lock.held()) return;
  LCD4Bit_Config& c = LCD_CONFIG;
  if (c.rows == 0) c.rows = 1;
  if (c.rows > 4) c.rows = 4;
  lcd16_4_init_gpio();
  c.delay(25);
  lcd16_4_commandWriteNibble(0x3);
  c.delay(5);
  lcd16_4_commandWriteNibble(0x3);
  c.udelay(100);
  lcd16_4_commandWriteNibble(0x3);
  c.delay(5);
  lcd16_4_commandWriteNibble(0x2);  // 4-bit interface from here on
  lcd16_4_commandWriteNibble(0x2);
  lcd16_4_commandWriteNibble(c.dot_size | (c.rows - 1) * 8);
  c.udelay(60);
  lcd16_4_commandWrite(0x0C);
  c.udelay(60);
  lcd16_4_clear();
  lcd16_4_commandWrite(0x06);
}

void lcd16_4_clear(void) {
  LcdLock lock;
  if (!lock.held()) return;
  lcd16_4_commandWrite(0x01);
  long_instruction_wait();
}

void lcd16_4_cursorTo(int line_num, int x) {
  LcdLock lock;
  if (!lock.held()) return;
  lcd16_4_commandWrite(0x02);
  long_instruction_wait();
  if (x >= LCD_CONFIG.cols) x = LCD_CONFIG.cols - 1;
  // Below 0 the command would become a CGRAM address.
  if (x < 0) x = 0;
  int start;
  switch (line_num) {
    case 0:
      start = 0x00;
      break;
    case 1:
      start = 0x40;
      break;
    case 2:
      start = 0x10;
      break;
    default:
      start = 0x50;
      break;
  }
  lcd16_4_commandWrite(0x80 + start + x);
}

void lcd16_4_leftScroll(int num_chars, int delay_time) {
  LcdLock lock;
  if (!lock.held()) return;
  for (int i = 0; i < num_chars; ++i) {
    lcd16_4_commandWrite(0x18);
    LCD_CONFIG.delay(static_cast<u32>(delay_time));
  }
}

void lcd16_4_write(u8 value) {
  LcdLock lock;
  if (!lock.held()) return;
  GPIO_SetBits(LCD_CONFIG.gpio, LCD_CONFIG.rs_pin);
  lcd16_4_pushByte(value);
}

int lcd16_4_send(const char* ptr, int len) {
  LcdLock lock;
  if (!lock.held()) return len;
  for (int i = 0; i < len; ++i) lcd16_4_write(static_cast<u8>(ptr[i]));
  return len;
}

int lprintf(const char* format, ...) {
  LcdLock lock;
  if (!lock.held()) return 0;
  char buf[kPrintBuffer];
  va_list args;
  va_start(args, format);
  int len = vsniprintf(buf, sizeof buf, format, args);
  va_end(args);
  // The formatter reports the whole length; only what fits was written.
  if (len < 0) len = 0;
  if (len > static_cast<int>(sizeof buf) - 1) len = sizeof buf - 1;
  return lcd16_4_send(buf, len);
}
