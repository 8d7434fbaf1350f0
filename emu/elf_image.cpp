#include "elf_image.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace emu {

namespace {

constexpr uint16_t kMachineArm = 40;
constexpr uint32_t kLoad = 1;                           // PT_LOAD
constexpr uint32_t kSymbolTable = 2;                    // SHT_SYMTAB
constexpr uint8_t kNoType = 0, kObject = 1, kFunc = 2;  // STT_NOTYPE, STT_OBJECT, STT_FUNC

uint16_t u16(const std::vector<uint8_t>& f, size_t at) {
  return static_cast<uint16_t>(f[at] | f[at + 1] << 8);
}
uint32_t u32(const std::vector<uint8_t>& f, size_t at) {
  return static_cast<uint32_t>(f[at]) | static_cast<uint32_t>(f[at + 1]) << 8 |
         static_cast<uint32_t>(f[at + 2]) << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
}
bool fits(const std::vector<uint8_t>& f, uint64_t at, uint64_t n) {
  return at <= f.size() && n <= f.size() - at;
}

}  // namespace

std::string demangle(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || text == nullptr) return name;
  std::string out = text;
  std::free(text);
  return out;
}

std::string ElfImage::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read " + path;
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string problem = parse(file);
  return problem.empty() ? "" : path + ": " + problem;
}

std::string ElfImage::parse(const std::vector<uint8_t>& f) {
  segments_.clear();
  symbols_.clear();
  if (f.size() < 52 || std::memcmp(f.data(),
                                   "\x7f"
                                   "ELF",
                                   4) != 0)
    return "not an ELF file";
  if (f[4] != 1 || f[5] != 1) return "not a 32-bit little-endian ELF file";
  if (u16(f, 18) != kMachineArm) return "not an ARM image";
  const uint32_t phoff = u32(f, 28), shoff = u32(f, 32);
  const uint16_t phentsize = u16(f, 42), phnum = u16(f, 44), shentsize = u16(f, 46), shnum = u16(f, 48);
  if (!fits(f, phoff, uint64_t{phentsize} * phnum) || (phnum != 0 && phentsize < 32))
    return "bad program headers";
  for (unsigned i = 0; i < phnum; ++i) {
    const size_t h = phoff + size_t{i} * phentsize;
    if (u32(f, h) != kLoad) continue;
    const uint32_t offset = u32(f, h + 4), vaddr = u32(f, h + 8), paddr = u32(f, h + 12),
                   filesz = u32(f, h + 16);
    if (filesz == 0) continue;  // zero-initialised data: the reset sequence clears it
    if (!fits(f, offset, filesz)) return "a segment lies outside the file";
    segments_.push_back(
        {paddr, vaddr, std::vector<uint8_t>(f.begin() + offset, f.begin() + offset + filesz)});
  }
  if (segments_.empty()) return "nothing to load";

  // Symbols are optional: a stripped image still runs, with plainer reports.
  if (!fits(f, shoff, uint64_t{shentsize} * shnum) || (shnum != 0 && shentsize < 40)) return "";
  for (unsigned i = 0; i < shnum; ++i) {
    const size_t s = shoff + size_t{i} * shentsize;
    if (u32(f, s + 4) != kSymbolTable) continue;
    const uint32_t offset = u32(f, s + 16), size = u32(f, s + 20), link = u32(f, s + 24);
    const uint32_t entsize = u32(f, s + 36);
    if (link >= shnum || entsize < 16 || !fits(f, offset, size)) continue;
    const size_t strings = shoff + size_t{link} * shentsize;
    const uint32_t str_offset = u32(f, strings + 16), str_size = u32(f, strings + 20);
    if (!fits(f, str_offset, str_size)) continue;
    for (uint32_t at = offset; at + 16 <= offset + size; at += entsize) {
      const uint32_t name = u32(f, at), value = u32(f, at + 4), sym_size = u32(f, at + 8);
      const uint8_t type = f[at + 12] & 0xF;
      if ((type != kFunc && type != kObject && type != kNoType) || name == 0 || name >= str_size) continue;
      const char* text = reinterpret_cast<const char*>(f.data() + str_offset + name);
      const size_t len = strnlen(text, str_size - name);
      if (text[0] == '$') continue;  // ARM mapping symbols ($t, $d) mark code and data, not names
      const auto kind = type == kFunc     ? ElfSymbol::Kind::function
                        : type == kObject ? ElfSymbol::Kind::object
                                          : ElfSymbol::Kind::label;
      symbols_.push_back(
          {std::string(text, len), kind == ElfSymbol::Kind::function ? value & ~1u : value, sym_size, kind});
    }
  }
  std::sort(symbols_.begin(), symbols_.end(),
            [](const ElfSymbol& a, const ElfSymbol& b) { return a.address < b.address; });
  return "";
}

const ElfSymbol* ElfImage::find(const std::string& name) const {
  for (const ElfSymbol& s : symbols_)
    if (s.name == name) return &s;
  for (const ElfSymbol& s : symbols_) {
    const std::string d = demangle(s.name);
    // A function's readable name carries its parameters.
    if (d == name || d.compare(0, name.size() + 1, name + "(") == 0) return &s;
  }
  return nullptr;
}

std::string ElfImage::describe(uint32_t address) const {
  const ElfSymbol* best = nullptr;
  for (const ElfSymbol& s : symbols_) {
    if (s.address > address) break;
    if (s.kind != ElfSymbol::Kind::label && address < s.address + std::max<uint32_t>(s.size, 1)) best = &s;
  }
  if (best == nullptr) return "";
  std::string d = demangle(best->name);
  for (size_t at; (at = d.find("(anonymous namespace)::")) != std::string::npos;) d.erase(at, 23);
  const size_t paren = d.find('(');
  if (best->kind == ElfSymbol::Kind::function && paren != std::string::npos) d.resize(paren);
  if (address == best->address) return d;
  char offset[16];
  std::snprintf(offset, sizeof offset, "+0x%x", address - best->address);
  return d + offset;
}

}  // namespace emu
