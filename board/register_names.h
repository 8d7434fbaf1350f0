// The names of the STM32F103's peripherals, registers and fields, as the
// reference manual writes them, by physical address: one table for the register
// access log, the hardware rules' messages and the debugger's memory map.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace board::regs {

struct Field {
  const char* name;
  uint8_t lsb, width;
  constexpr uint32_t mask() const { return (width >= 32 ? ~0u : ((1u << width) - 1u)) << lsb; }
};

// What a write does: stores a value, acts by the bits it sets (BSRR, EGR, ISER),
// or clears the status flags written 0 (TIM SR, USART SR).
enum class Write : uint8_t { stores, acts, clears_by_zero };

struct Register {
  const char* name;
  uint16_t offset;  // from the peripheral's base
  uint8_t bits;     // 8, 16 or 32: how wide it is shown
  uint16_t count;   // an array of this many (NVIC.IP[n]), else 1
  uint32_t reset;   // its value after reset
  Write write;
  std::span<const Field> fields;
  uint32_t stride() const { return bits == 8 ? 1u : 4u; }
};

struct Block {
  const char* name;  // "TIM3"
  const char* key;   // "tim3", as --log-access names it
  uint32_t base, size;
  std::span<const Register> registers;
};

std::span<const Block> blocks();
const Block* block_at(uint32_t address);
const Block* block_named(std::string_view key);

// What is at an address: the block, the register (null between registers) and
// the element of an array register (-1 for a plain one).
struct Location {
  const Block* block = nullptr;
  const Register* reg = nullptr;
  int index = -1;
};
Location locate(uint32_t address);
const Field* field_named(const Register& r, std::string_view name);

// "TIM3.CCR1", "NVIC.IP[29]", "TIM3+0x50" between registers, "0x50000000" elsewhere.
std::string register_name(uint32_t address);
// "0x0081" in the register's width.
std::string hex_value(const Register* r, uint32_t value);
// The fields a write of `now` changed, the register holding `before`: "CEN=1
// ARPE=1" (multi-bit ones in decimal); bits no field names, together as "bits=0x..";
// nothing for a register without fields.
std::string field_changes(const Register& r, uint32_t before, uint32_t now);

}  // namespace board::regs
