#include "variables.h"

#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "elf_image.h"

namespace sim {

namespace {

struct HostSymbol {
  std::string name, readable;
  uintptr_t address;  // where the variable lies in this process
  size_t size;
};

// Where the program is loaded: the first object dl_iterate_phdr reports.
uintptr_t load_bias() {
  uintptr_t bias = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) {
        *static_cast<uintptr_t*>(out) = info->dlpi_addr;
        return 1;
      },
      &bias);
  return bias;
}

// The objects in the gathered sections, from /proc/self/exe; empty if the
// program has no symbol table (stripped) or no such sections.
std::vector<HostSymbol> read_host_symbols(std::string& problem) {
  std::vector<HostSymbol> out;
  // Read at once: a debug build's file is tens of megabytes.
  std::ifstream in("/proc/self/exe", std::ios::binary | std::ios::ate);
  std::vector<char> f(in ? static_cast<size_t>(in.tellg()) : 0);
  in.seekg(0);
  if (!in.read(f.data(), static_cast<std::streamsize>(f.size()))) f.clear();
  auto fits = [&](uint64_t at, uint64_t n) { return at <= f.size() && n <= f.size() - at; };
  Elf64_Ehdr eh;
  if (!fits(0, sizeof eh)) {
    problem = "cannot read this program's own file";
    return out;
  }
  std::memcpy(&eh, f.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_shentsize != sizeof(Elf64_Shdr) || !fits(eh.e_shoff, uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr))) {
    problem = "this program's own file is not a 64-bit ELF file";
    return out;
  }
  std::vector<Elf64_Shdr> sections(eh.e_shnum);
  std::memcpy(sections.data(), f.data() + eh.e_shoff, sections.size() * sizeof(Elf64_Shdr));
  auto section_name = [&](const Elf64_Shdr& s) -> std::string {
    if (eh.e_shstrndx >= sections.size()) return "";
    const Elf64_Shdr& names = sections[eh.e_shstrndx];
    if (s.sh_name >= names.sh_size || !fits(names.sh_offset, names.sh_size)) return "";
    const char* p = f.data() + names.sh_offset + s.sh_name;
    return std::string(p, strnlen(p, names.sh_size - s.sh_name));
  };
  std::vector<bool> firmware(sections.size());
  for (size_t i = 0; i < sections.size(); ++i) {
    const std::string n = section_name(sections[i]);
    firmware[i] = n == "tarvik_data" || n == "tarvik_bss";
  }
  const uintptr_t bias = load_bias();
  bool symbol_table = false;
  for (const Elf64_Shdr& s : sections) {
    if (s.sh_type != SHT_SYMTAB || s.sh_link >= sections.size()) continue;
    const Elf64_Shdr& strings = sections[s.sh_link];
    if (!fits(s.sh_offset, s.sh_size) || !fits(strings.sh_offset, strings.sh_size)) continue;
    symbol_table = true;
    for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= s.sh_size; at += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, f.data() + s.sh_offset + at, sizeof sym);
      if (ELF64_ST_TYPE(sym.st_info) != STT_OBJECT || sym.st_shndx >= sections.size() ||
          !firmware[sym.st_shndx] || sym.st_size == 0 || sym.st_name >= strings.sh_size)
        continue;
      const char* p = f.data() + strings.sh_offset + sym.st_name;
      const std::string name(p, strnlen(p, strings.sh_size - sym.st_name));
      out.push_back({name, emu::demangle(name), bias + sym.st_value, sym.st_size});
    }
  }
  if (!symbol_table)
    problem = "this program has no symbol table (stripped), so no variable can be found by name";
  return out;
}

bool read_host_variable(const std::string& name, std::vector<uint8_t>& bytes, std::string& error) {
  static std::string problem;
  static const std::vector<HostSymbol> symbols = read_host_symbols(problem);
  if (!problem.empty()) {
    error = problem;
    return false;
  }
  for (const HostSymbol& s : symbols) {
    if (s.name != name && s.readable != name) continue;
    bytes.assign(reinterpret_cast<const uint8_t*>(s.address),
                 reinterpret_cast<const uint8_t*>(s.address) + s.size);
    return true;
  }
  error = "no variable '" + name + "' in the firmware";
  return false;
}

bool read_image_variable(emu::EmulatedCpu& cpu, bool started, const std::string& name,
                         std::vector<uint8_t>& bytes, std::string& error) {
  for (const emu::ElfSymbol& s : cpu.image().symbols()) {
    if (s.kind == emu::ElfSymbol::Kind::function || s.size == 0) continue;
    if (s.name != name && emu::demangle(s.name) != name) continue;
    bytes.resize(s.size);
    const bool in_ram =
        s.address >= emu::Memory::kRam && s.address - emu::Memory::kRam < emu::Memory::kRamSize;
    if (!started && in_ram) {
      // Initialised data from its copy in flash, the rest cleared.
      const uint8_t* initial = cpu.initial_data(s.address, s.size);
      if (initial != nullptr)
        std::memcpy(bytes.data(), initial, s.size);
      else
        std::fill(bytes.begin(), bytes.end(), 0);
      return true;
    }
    if (!cpu.read_memory(s.address, bytes.data(), s.size)) {
      error = "'" + name + "' lies outside the image's flash and RAM";
      return false;
    }
    return true;
  }
  error = "no variable '" + name + "' in the image";
  return false;
}

}  // namespace

bool read_firmware_variable(emu::EmulatedCpu* image, bool started, const std::string& name,
                            std::vector<uint8_t>& bytes, std::string& error) {
  return image != nullptr ? read_image_variable(*image, started, name, bytes, error)
                          : read_host_variable(name, bytes, error);
}

}  // namespace sim
