#include "keyboard.h"

#include "atomic.h"
#include "init/board_pins.h"
#include "stm32f10x_gpio.h"

uint32_t keys_press = KEY_NULL;

namespace {

// Sense lines in the order they are read.
constexpr uint16_t kSense[] = {GPIO_Pin_7, GPIO_Pin_6, GPIO_Pin_4};
static_assert((GPIO_Pin_7 | GPIO_Pin_6 | GPIO_Pin_4) == board_pins::kKeyReturns);

struct ScanLine {
  uint16_t drive;
  E_KEYS keys[3];  // by sense line, as in kSense
};

constexpr ScanLine kLines[] = {
    {board_pins::kKeyScan1, {KEY_START, KEY_ESC, KEY_UP}},
    {board_pins::kKeyScan2, {KEY_STOP, KEY_ENTER, KEY_DOWN}},
};

}  // namespace

E_KEYS keyboard_isClick(void) {
  for (const ScanLine& line : kLines) {
    GPIO_ResetBits(GPIOC, line.drive);
    for (unsigned i = 0; i < 3; ++i) {
      if (GPIO_ReadInputDataBit(GPIOC, kSense[i]) == Bit_RESET) {
        GPIO_SetBits(GPIOC, line.drive);
        return line.keys[i];
      }
    }
    GPIO_SetBits(GPIOC, line.drive);
  }
  return KEY_NULL;
}

E_KEYS keyboard_isPressed(void) { return keyboard_isClick(); }

E_KEYS keyboard_change(E_KEYS* storage, uint32_t published) {
  const auto key = static_cast<E_KEYS>(published & 0xFFu);
  if (key == *storage) return KEY_NULL;
  *storage = key;
  return key;
}

E_KEYS keyboard_isLastUp(E_KEYS* storage) {
  return keyboard_change(storage, AtomicFetchAndAdd(&keys_press, 0));
}

E_KEYS keyboard_Click(void) { return static_cast<E_KEYS>(AtomicFetchAndAdd(&keys_press, 0) & 0xFFu); }
