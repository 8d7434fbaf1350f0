// The six-key matrix on port C: two drive lines (PC10, PC13) and three sense
// lines (PC7, PC6, PC4). A pressed key pulls its sense line low while its drive
// line is driven low.
#pragma once
#include <stdint.h>

enum E_KEYS : uint8_t {
  KEY_NULL = 0,
  KEY_UP = 1,
  KEY_DOWN = 2,
  KEY_ESC = 3,
  KEY_ENTER = 4,
  KEY_START = 5,
  KEY_STOP = 6,
  KEY_TIME = 7,  // no key of the matrix gives it
};

// The debounced key held now (an E_KEYS value). Written only by the key task,
// with AtomicSet; read with AtomicFetchAndAdd(&keys_press, 0).
extern uint32_t keys_press;

// One scan of the matrix; both drive lines are high again when it returns. With
// several keys held the first of START, ESC, UP, STOP, ENTER, DOWN wins.
E_KEYS keyboard_isClick(void);
E_KEYS keyboard_isPressed(void);

// The published key when it differs from the caller's memory *storage (which then
// takes it), else KEY_NULL: each consumer sees each change once.
E_KEYS keyboard_isLastUp(E_KEYS* storage);
// keyboard_isLastUp over a given published word.
E_KEYS keyboard_change(E_KEYS* storage, uint32_t published);

// The published key, without change detection.
E_KEYS keyboard_Click(void);
