// Register proxies for the host build: the firmware's peripheral structures are
// laid over a window of host memory, and each proxy turns its own position in that
// window back into the board's physical address. Reads and writes go to the
// simulated board's register models, side effects included.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hostbus {

constexpr uint32_t kPeriphBase = 0x40000000u;  // APB1, APB2, AHB
constexpr uint32_t kPeriphSize = 0x00024000u;
constexpr uint32_t kCoreBase = 0xE000E000u;  // NVIC, SysTick, SCB
constexpr uint32_t kCoreSize = 0x00001000u;

alignas(8) extern unsigned char window[kPeriphSize + kCoreSize];

// Implemented by the simulated board; every call is a preemption point.
uint32_t read32(uint32_t addr);
void write32(uint32_t addr, uint32_t value);
uint8_t read8(uint32_t addr);
void write8(uint32_t addr, uint8_t value);

inline uint32_t address_of(const void* p) {
  const auto off = static_cast<uint32_t>(static_cast<const unsigned char*>(p) - window);
  return off < kPeriphSize ? kPeriphBase + off : kCoreBase + (off - kPeriphSize);
}

inline void* pointer_to(uint32_t addr) {
  return addr >= kCoreBase ? window + kPeriphSize + (addr - kCoreBase) : window + (addr - kPeriphBase);
}

// A 32-bit register. Never copied: a copy would lose its address.
class Reg32 {
 public:
  Reg32(const Reg32&) = delete;
  operator uint32_t() const { return read32(address_of(this)); }
  Reg32& operator=(uint32_t v) {
    write32(address_of(this), v);
    return *this;
  }
  Reg32& operator=(const Reg32& other) { return *this = static_cast<uint32_t>(other); }
  Reg32& operator|=(uint32_t v) { return *this = static_cast<uint32_t>(*this) | v; }
  Reg32& operator&=(uint32_t v) { return *this = static_cast<uint32_t>(*this) & v; }
  Reg32& operator^=(uint32_t v) { return *this = static_cast<uint32_t>(*this) ^ v; }

 private:
  uint32_t unused_;  // keeps the board's layout
};

// An 8-bit register (NVIC and SCB priority bytes).
class Reg8 {
 public:
  Reg8(const Reg8&) = delete;
  operator uint8_t() const { return read8(address_of(this)); }
  Reg8& operator=(uint8_t v) {
    write8(address_of(this), v);
    return *this;
  }
  Reg8& operator=(const Reg8& other) { return *this = static_cast<uint8_t>(other); }

 private:
  uint8_t unused_;
};

static_assert(sizeof(Reg32) == 4 && sizeof(Reg8) == 1);

}  // namespace hostbus

using reg32_t = hostbus::Reg32;
using reg8_t = hostbus::Reg8;
#define TARVIK_PERIPH(type, addr) (reinterpret_cast<type*>(hostbus::pointer_to(addr)))
