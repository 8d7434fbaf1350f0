// A board image as the linker wrote it: an ARM ELF32 executable's loadable
// segments (at their load addresses, as a programmer writes them to flash) and
// its symbols, for reports and for reading the image's own variables.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct ElfSegment {
  uint32_t load_address;  // where the bytes are programmed (LMA)
  uint32_t address;       // where the code sees them (VMA): in RAM for initialised data
  std::vector<uint8_t> bytes;
};

struct ElfSymbol {
  enum class Kind { function, object, label };  // a label: the linker's bounds, asm labels
  std::string name;                             // as in the symbol table (mangled)
  uint32_t address;                             // without the Thumb bit
  uint32_t size;
  Kind kind;
};

class ElfImage {
 public:
  // Reads `path`; returns the problem, or "" on success.
  std::string load(const std::string& path);
  std::string parse(const std::vector<uint8_t>& file);

  const std::vector<ElfSegment>& segments() const { return segments_; }
  const std::vector<ElfSymbol>& symbols() const { return symbols_; }
  // The symbol called `name`, mangled or as C++ spells it ("ns::f", "x"); null if none.
  const ElfSymbol* find(const std::string& name) const;
  // "function+0x1a" for an address inside a known function or object, else "".
  std::string describe(uint32_t address) const;

 private:
  std::vector<ElfSegment> segments_;
  std::vector<ElfSymbol> symbols_;  // sorted by address
};

// The readable form of a mangled C++ name (the name itself if it is not one).
std::string demangle(const std::string& name);

}  // namespace emu
