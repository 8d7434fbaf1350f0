#include "leds.h"

#include "init/board_pins.h"
#include "stm32f10x_gpio.h"

void leds_control(ELEDS led, ELEDSCONTROL flag) {
  uint16_t pin = 0;
  if (led == GREEN_LED) {
    pin = board_pins::kGreenLed;
  } else if (led == BLUE_LED) {
    pin = board_pins::kBlueLed;
  } else {
    return;
  }
  GPIO_WriteBit(GPIOA, pin, flag == ON ? Bit_RESET : Bit_SET);
}
