// Reads the dynamic symbol table and the DT_NEEDED entries of a 64-bit ELF
// shared library straight from its file, with every offset checked against
// the file's size.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qortest {

struct ElfSymbol {
  std::string name;
  unsigned char type = 0;     // STT_
  unsigned char binding = 0;  // STB_
  unsigned char visibility = 0;
  bool defined = false;
  uint64_t value = 0;
  uint64_t size = 0;
};

class ElfImage {
 public:
  // Empty with a reason in error() when the file is not a readable ELF64.
  static std::optional<ElfImage> read(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      *error = "cannot open " + path;
      return std::nullopt;
    }
    ElfImage image;
    image.bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!image.parse(error)) return std::nullopt;
    return image;
  }

  const std::vector<ElfSymbol>& dynamicSymbols() const { return symbols_; }
  const std::vector<std::string>& needed() const { return needed_; }

  // Symbols other objects can bind to: defined, global or weak, not hidden.
  std::map<std::string, ElfSymbol> exported() const {
    std::map<std::string, ElfSymbol> out;
    for (const ElfSymbol& s : symbols_) {
      const bool bindable =
          s.binding == STB_GLOBAL || s.binding == STB_WEAK || s.binding == STB_GNU_UNIQUE;
      const bool visible = s.visibility == STV_DEFAULT || s.visibility == STV_PROTECTED;
      if (s.defined && bindable && visible && !s.name.empty()) out.emplace(s.name, s);
    }
    return out;
  }

 private:
  template <typename T>
  bool at(uint64_t offset, T* out) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return false;
    std::memcpy(out, bytes_.data() + offset, sizeof(T));
    return true;
  }

  std::optional<std::string> text(const Elf64_Shdr& table, uint64_t offset) const {
    if (offset >= table.sh_size || table.sh_offset + table.sh_size > bytes_.size()) {
      return std::nullopt;
    }
    const char* start = reinterpret_cast<const char*>(bytes_.data() + table.sh_offset + offset);
    const std::size_t room = table.sh_size - offset;
    const std::size_t length = strnlen(start, room);
    if (length == room) return std::nullopt;  // unterminated
    return std::string(start, length);
  }

  bool section(uint32_t index, Elf64_Shdr* out) const {
    if (index >= header_.e_shnum) return false;
    return at(header_.e_shoff + uint64_t{index} * header_.e_shentsize, out);
  }

  bool parse(std::string* error) {
    if (!at(0, &header_) || std::memcmp(header_.e_ident, ELFMAG, SELFMAG) != 0 ||
        header_.e_ident[EI_CLASS] != ELFCLASS64 || header_.e_ident[EI_DATA] != ELFDATA2LSB ||
        header_.e_shentsize != sizeof(Elf64_Shdr)) {
      *error = "not a little-endian ELF64 file";
      return false;
    }
    bool sawSymbols = false;
    for (uint32_t i = 0; i < header_.e_shnum; ++i) {
      Elf64_Shdr shdr{};
      Elf64_Shdr strings{};
      if (!section(i, &shdr)) {
        *error = "section header out of the file";
        return false;
      }
      if (shdr.sh_type != SHT_DYNSYM && shdr.sh_type != SHT_DYNAMIC) continue;
      if (!section(shdr.sh_link, &strings)) {
        *error = "string table out of the file";
        return false;
      }
      const bool ok =
          shdr.sh_type == SHT_DYNSYM ? readSymbols(shdr, strings) : readNeeded(shdr, strings);
      if (!ok) {
        *error = "malformed dynamic section";
        return false;
      }
      sawSymbols = sawSymbols || shdr.sh_type == SHT_DYNSYM;
    }
    if (!sawSymbols) *error = "no dynamic symbol table";
    return sawSymbols;
  }

  bool readSymbols(const Elf64_Shdr& table, const Elf64_Shdr& strings) {
    if (table.sh_entsize != sizeof(Elf64_Sym)) return false;
    for (uint64_t i = 1; i < table.sh_size / sizeof(Elf64_Sym); ++i) {
      Elf64_Sym sym{};
      if (!at(table.sh_offset + i * sizeof(Elf64_Sym), &sym)) return false;
      std::optional<std::string> name = text(strings, sym.st_name);
      if (!name) return false;
      symbols_.push_back({*name, static_cast<unsigned char>(ELF64_ST_TYPE(sym.st_info)),
                          static_cast<unsigned char>(ELF64_ST_BIND(sym.st_info)),
                          static_cast<unsigned char>(ELF64_ST_VISIBILITY(sym.st_other)),
                          sym.st_shndx != SHN_UNDEF, sym.st_value, sym.st_size});
    }
    return true;
  }

  bool readNeeded(const Elf64_Shdr& table, const Elf64_Shdr& strings) {
    for (uint64_t i = 0; i < table.sh_size / sizeof(Elf64_Dyn); ++i) {
      Elf64_Dyn entry{};
      if (!at(table.sh_offset + i * sizeof(Elf64_Dyn), &entry)) return false;
      if (entry.d_tag == DT_NULL) break;
      if (entry.d_tag != DT_NEEDED) continue;
      std::optional<std::string> name = text(strings, entry.d_un.d_val);
      if (!name) return false;
      needed_.push_back(*name);
    }
    return true;
  }

  std::vector<unsigned char> bytes_;
  Elf64_Ehdr header_{};
  std::vector<ElfSymbol> symbols_;
  std::vector<std::string> needed_;
};

}  // namespace qortest
