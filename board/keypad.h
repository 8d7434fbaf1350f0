// The six keys: a matrix of two drive lines (PC10, PC13) and three sense lines
// (PC4, PC6, PC7, pulled up). A held key joins its drive line to its sense line,
// so the sense line reads low while that drive line is driven low. Any number of
// keys may be held at once.
#pragma once
#include <cstdint>
#include <functional>

namespace board {

class Gpio;

enum class Key { up, down, esc, enter, start, stop };
constexpr int kKeyCount = 6;

class Keypad {
 public:
  explicit Keypad(Gpio& portc);
  void press(Key k);
  void release(Key k);
  bool held(Key k) const { return held_ & (1u << static_cast<int>(k)); }
  // Hears every press and release, for recording what reached the board.
  std::function<void(Key, bool pressed)> on_input;

 private:
  void update();
  Gpio& port_;
  uint32_t held_ = 0;
  uint32_t pulled_ = 0;  // sense lines this keypad pulls low now
};

}  // namespace board
