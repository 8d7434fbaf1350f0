#include "bus.h"

#include "rcc.h"

namespace board {

void Bus::attach(uint32_t base, uint32_t size, Peripheral* p) {
  if (base == kCoreStart) {
    core_ = Slot{p, base};
    return;
  }
  const Rcc::ClockGate gate = rcc_.gate(base);
  for (uint32_t a = base; a < base + size; a += 1u << kPageShift)
    pages_[(a - kPeriphStart) >> kPageShift] = {p, base, gate.enable, gate.mask};
}

Bus::Slot* Bus::slot(uint32_t addr) {
  if (addr >= kPeriphStart && addr < kPeriphEnd) {
    Slot* s = &pages_[(addr - kPeriphStart) >> kPageShift];
    return s->p ? s : nullptr;
  }
  if (addr >= kCoreStart && addr < kCoreEnd) return &core_;
  return nullptr;
}

uint32_t Bus::read32(uint32_t addr) { return read_word(addr, true); }

uint32_t Bus::read_word(uint32_t addr, bool observed) {
  master_->step(CpuTiming::kRegisterAccess);
  Slot* s = slot(addr);
  if (s == nullptr || !clocked(*s)) {
    ++(s == nullptr ? unmapped_ : unclocked_);
    if (observed) observe(false, addr, 0, 4, true);
    return 0;
  }
  const uint32_t offset = addr - s->base;
  // Reading the same register again with no write and no event in between can
  // only give the same value until the next event: let time jump there.
  const uint64_t stamp = writes_ + events_.events_run();
  if (addr == last_read_addr_ && stamp == last_read_stamp_ && s->p->stable(offset)) master_->wait_for_event();
  last_read_addr_ = addr;
  last_read_stamp_ = writes_ + events_.events_run();
  const uint32_t value = s->p->read(offset);
  if (observed) observe(false, addr, value, 4, false);
  return value;
}

void Bus::write32(uint32_t addr, uint32_t value) {
  master_->step(CpuTiming::kRegisterAccess);
  ++writes_;
  Slot* s = slot(addr);
  if (s == nullptr || !clocked(*s)) {
    ++(s == nullptr ? unmapped_ : unclocked_);
    observe(true, addr, value, 4, true);
    return;
  }
  s->p->write(addr - s->base, value);
  observe(true, addr, value, 4, false);
  master_->take_pending();  // an exception the write pended is taken before the next instruction
}

uint32_t Bus::peek32(uint32_t addr) {
  Slot* s = slot(addr);
  return s != nullptr && s->p != nullptr && clocked(*s) ? s->p->peek(addr - s->base) : 0;
}

void Bus::poke32(uint32_t addr, uint32_t value) {
  Slot* s = slot(addr);
  if (s != nullptr && s->p != nullptr && clocked(*s)) s->p->write(addr - s->base, value);
}

uint8_t Bus::read8(uint32_t addr) {
  if (addr >= kCoreStart && addr < kCoreEnd) {
    master_->step(CpuTiming::kRegisterAccess);
    const uint8_t value = exceptions_.read8(addr - kCoreStart);
    observe(false, addr, value, 1, false);
    return value;
  }
  return static_cast<uint8_t>(read32(addr & ~3u) >> (8 * (addr & 3u)));
}

void Bus::write8(uint32_t addr, uint8_t value) {
  if (addr >= kCoreStart && addr < kCoreEnd) {
    master_->step(CpuTiming::kRegisterAccess);
    ++writes_;
    exceptions_.write8(addr - kCoreStart, value);
    observe(true, addr, value, 1, false);
    master_->take_pending();
    return;
  }
  // The bus's own read to merge the byte: not an access the code made.
  const uint32_t shift = 8 * (addr & 3u);
  const uint32_t old = read_word(addr & ~3u, false);
  write32(addr & ~3u, (old & ~(0xFFu << shift)) | (static_cast<uint32_t>(value) << shift));
}

}  // namespace board
