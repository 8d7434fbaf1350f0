// Variables of every type for the template targets: the input's first bytes set
// up "a", "b" and "c" (a type code and four value bytes each) beside the defaults.
#pragma once
#include <cstdint>
#include <cstring>

#include "storage.h"

namespace fuzz {

constexpr size_t kVariableBytes = 3 * 5;

inline void set_variables(const uint8_t* data) {
  static const char* const kNames[] = {"a", "b", "c"};
  for (int v = 0; v < 3; ++v, data += 5) {
    int32_t value;
    std::memcpy(&value, data + 1, sizeof value);
    switch (data[0] % 7) {
      case 0: {
        char text[5] = {};
        std::memcpy(text, data + 1, 4);  // up to its first NUL; none at all: no text
        storage_set_str(kNames[v], text[0] != '\0' ? text : nullptr);
        break;
      }
      case 6:  // a type code the renderer does not know
        storage_set_num(kNames[v], value, static_cast<E_VARTYPE>(data[0]));
        break;
      default:
        storage_set_num(kNames[v], value, static_cast<E_VARTYPE>(data[0] % 7 - 1));
    }
  }
}

}  // namespace fuzz
