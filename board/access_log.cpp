#include "access_log.h"

namespace board {

bool AccessLog::choose(std::string_view list, std::vector<const regs::Block*>& out, std::string& error) {
  std::vector<const regs::Block*> chosen;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (name == "all") {
      for (const regs::Block& b : regs::blocks()) chosen.push_back(&b);
      continue;
    }
    const regs::Block* b = regs::block_named(name);
    if (b == nullptr) {
      error = std::string(name);
      return false;
    }
    chosen.push_back(b);
  }
  if (chosen.empty()) {
    error = "";
    return false;
  }
  out = chosen;
  return true;
}

std::string AccessLog::line(Cycles at, bool write, uint32_t address, uint32_t value, uint32_t before,
                            bool ignored) {
  const regs::Location where = regs::locate(address);
  char time[32];
  std::snprintf(time, sizeof time, "%.9f", static_cast<double>(at) / static_cast<double>(kCpuHz));
  std::string text = std::string(time) + (write ? " W " : " R ") + regs::register_name(address) +
                     (write ? " <- " : " -> ") + regs::hex_value(where.reg, value);
  if (ignored) return text + (write ? " (clock off: ignored)" : " (clock off: reads 0)");
  if (write && where.reg != nullptr) {
    const std::string fields = regs::field_changes(*where.reg, before, value);
    if (!fields.empty()) text += " " + fields;
  }
  return text;
}

void AccessLog::access(bool write, uint32_t address, uint32_t value, unsigned bytes, bool ignored) {
  const regs::Block* block = regs::block_at(address);
  bool wanted = false;
  for (const regs::Block* b : chosen_) wanted = wanted || b == block;
  if (!wanted) return;
  const regs::Location where = regs::locate(address);
  // A register array of bytes (NVIC.IP) reached a word at a time: each byte.
  if (bytes == 4 && where.reg != nullptr && where.reg->bits == 8) {
    for (uint32_t i = 0; i < 4; ++i) access(write, address + i, (value >> (8 * i)) & 0xFFu, 1, ignored);
    return;
  }
  auto seen = seen_.find(address);
  const uint32_t before = seen != seen_.end() ? seen->second : where.reg != nullptr ? where.reg->reset : 0;
  const std::string text = line(events_.now(), write, address, value, before, ignored);
  std::fputs(text.c_str(), out_);
  std::fputc('\n', out_);
  ++lines_;
  if (!ignored) seen_[address] = value;
}

}  // namespace board
