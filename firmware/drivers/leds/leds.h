// The two status LEDs on port A, each lit while its pin is low.
#pragma once

// Fixed underlying types: callers may pass values outside the named ones.
enum ELEDS : int { GREEN_LED = 0, BLUE_LED = 1 };  // PA11, PA12
enum ELEDSCONTROL : int { OFF = 0, ON = 1 };

// ON lights the LED; any other flag darkens it. An unknown LED changes nothing.
void leds_control(ELEDS led, ELEDSCONTROL flag);
