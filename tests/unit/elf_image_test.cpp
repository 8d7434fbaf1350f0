// Reading a board image: segments at their load addresses, symbols, reports.
#include "elf_image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A small ARM ELF32 file: one loadable segment of code in flash, one of
// initialised data (in RAM, loaded in flash), a zero-filled one, and symbols.
class ElfBuilder {
 public:
  struct Sym {
    std::string name;
    uint32_t value, size;
    uint8_t type;  // 0 no type, 1 object, 2 function
  };
  std::vector<Sym> symbols;
  uint16_t machine = 40;
  uint8_t word_size = 1;  // ELFCLASS32

  std::vector<uint8_t> build() const {
    std::vector<uint8_t> f(52, 0);
    const uint8_t ident[8] = {0x7f, 'E', 'L', 'F', word_size, 1, 1, 0};
    std::copy(ident, ident + 8, f.begin());
    put16(f, 16, 2);  // executable
    put16(f, 18, machine);
    // Program headers right after the file header.
    const size_t ph = f.size();
    put32(f, 28, static_cast<uint32_t>(ph));
    put16(f, 42, 32);
    put16(f, 44, 3);
    f.resize(ph + 3 * 32);
    const std::vector<uint8_t> code = {0x00, 0x20, 0xfe, 0xe7}, data = {1, 2, 3, 4};
    const size_t code_at = f.size();
    f.insert(f.end(), code.begin(), code.end());
    const size_t data_at = f.size();
    f.insert(f.end(), data.begin(), data.end());
    program(f, ph, static_cast<uint32_t>(code_at), 0x08000000, 0x08000000, 4);
    program(f, ph + 32, static_cast<uint32_t>(data_at), 0x20000000, 0x08000004, 4);
    program(f, ph + 64, 0, 0x20000004, 0x20000004, 0);  // .bss
    // Strings, symbols, then the section headers: null, .symtab, .strtab.
    std::string strings(1, '\0');
    std::vector<uint8_t> table(16, 0);  // the null symbol
    for (const Sym& s : symbols) {
      const auto name = static_cast<uint32_t>(strings.size());
      strings += s.name + '\0';
      std::vector<uint8_t> e(16, 0);
      put32(e, 0, name);
      put32(e, 4, s.value);
      put32(e, 8, s.size);
      e[12] = s.type;
      table.insert(table.end(), e.begin(), e.end());
    }
    const size_t symtab_at = f.size();
    f.insert(f.end(), table.begin(), table.end());
    const size_t strtab_at = f.size();
    f.insert(f.end(), strings.begin(), strings.end());
    while (f.size() % 4) f.push_back(0);
    const size_t sh = f.size();
    put32(f, 32, static_cast<uint32_t>(sh));
    put16(f, 46, 40);
    put16(f, 48, 3);
    f.resize(sh + 3 * 40);
    section(f, sh + 40, 2, static_cast<uint32_t>(symtab_at), static_cast<uint32_t>(table.size()), 2, 16);
    section(f, sh + 80, 3, static_cast<uint32_t>(strtab_at), static_cast<uint32_t>(strings.size()), 0, 0);
    return f;
  }

 private:
  static void put16(std::vector<uint8_t>& f, size_t at, uint16_t v) {
    f[at] = static_cast<uint8_t>(v);
    f[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  static void put32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  static void program(std::vector<uint8_t>& f, size_t at, uint32_t offset, uint32_t vaddr, uint32_t paddr,
                      uint32_t size) {
    put32(f, at, 1);  // PT_LOAD
    put32(f, at + 4, offset);
    put32(f, at + 8, vaddr);
    put32(f, at + 12, paddr);
    put32(f, at + 16, size);
    put32(f, at + 20, size + (size == 0 ? 64 : 0));
  }
  static void section(std::vector<uint8_t>& f, size_t at, uint32_t type, uint32_t offset, uint32_t size,
                      uint32_t link, uint32_t entsize) {
    put32(f, at + 4, type);
    put32(f, at + 16, offset);
    put32(f, at + 20, size);
    put32(f, at + 24, link);
    put32(f, at + 36, entsize);
  }
};

ElfBuilder typical() {
  ElfBuilder b;
  b.symbols = {{"main", 0x08000001, 4, 2},
               {"_ZN12_GLOBAL__N_19idle_taskEPv", 0x08000011, 8, 2},
               {"_ZN5board3Cpu4stepEm", 0x08000021, 16, 2},
               {"counter", 0x20000000, 4, 1},
               {"$t", 0x08000000, 0, 0},
               {"_sdata", 0x20000000, 0, 0}};
  return b;
}

TEST(ElfImage, SegmentsAtTheirLoadAddressesWithTheirCodeAddresses) {
  emu::ElfImage image;
  ASSERT_EQ(image.parse(typical().build()), "");
  ASSERT_EQ(image.segments().size(), 2u);  // the zero-filled one has nothing to load
  EXPECT_EQ(image.segments()[0].load_address, 0x08000000u);
  EXPECT_EQ(image.segments()[0].bytes, (std::vector<uint8_t>{0x00, 0x20, 0xfe, 0xe7}));
  EXPECT_EQ(image.segments()[1].load_address, 0x08000004u);  // initialised data, kept in flash
  EXPECT_EQ(image.segments()[1].address, 0x20000000u);
}

TEST(ElfImage, SymbolsByEitherNameAndAddressesDescribed) {
  emu::ElfImage image;
  ASSERT_EQ(image.parse(typical().build()), "");
  ASSERT_NE(image.find("main"), nullptr);
  EXPECT_EQ(image.find("main")->address, 0x08000000u);  // without the Thumb bit
  EXPECT_EQ(image.find("board::Cpu::step"), image.find("_ZN5board3Cpu4stepEm"));
  EXPECT_EQ(image.find("board::Cpu"), nullptr);  // only whole names
  EXPECT_EQ(image.find("counter")->kind, emu::ElfSymbol::Kind::object);
  EXPECT_EQ(image.find("_sdata")->kind, emu::ElfSymbol::Kind::label);
  EXPECT_EQ(image.find("$t"), nullptr);  // mapping symbols are not names
  EXPECT_EQ(image.describe(0x08000000), "main");
  EXPECT_EQ(image.describe(0x08000002), "main+0x2");
  EXPECT_EQ(image.describe(0x08000016), "idle_task+0x6");
  EXPECT_EQ(image.describe(0x08000024), "board::Cpu::step+0x4");
  EXPECT_EQ(image.describe(0x08000004), "");         // between functions
  EXPECT_EQ(image.describe(0x20000000), "counter");  // objects, not the linker's labels
}

TEST(ElfImage, FilesThatAreNotArmImagesAreRefused) {
  emu::ElfImage image;
  EXPECT_EQ(image.parse({}), "not an ELF file");
  std::vector<uint8_t> text(100, 'x');
  EXPECT_EQ(image.parse(text), "not an ELF file");
  ElfBuilder wide = typical();
  wide.word_size = 2;
  EXPECT_EQ(image.parse(wide.build()), "not a 32-bit little-endian ELF file");
  ElfBuilder other = typical();
  other.machine = 62;  // x86-64
  EXPECT_EQ(image.parse(other.build()), "not an ARM image");
  std::vector<uint8_t> cut = typical().build();
  cut.resize(60);
  EXPECT_EQ(image.parse(cut), "bad program headers");
  EXPECT_EQ(image.load("/nonexistent/tarvik.elf"), "cannot read /nonexistent/tarvik.elf");
}

TEST(ElfImage, AStrippedImageStillLoads) {
  ElfBuilder b = typical();
  b.symbols.clear();
  emu::ElfImage image;
  ASSERT_EQ(image.parse(b.build()), "");
  EXPECT_EQ(image.segments().size(), 2u);
  EXPECT_EQ(image.describe(0x08000000), "");
  EXPECT_EQ(emu::demangle("not_mangled"), "not_mangled");
}

}  // namespace
