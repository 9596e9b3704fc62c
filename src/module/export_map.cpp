// Writes the linker version script of libqorldap.so from the export list.
#include <cstdio>

#include <qorldap/abi/exports.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fputs("{\n  global:\n", out);
#define QOR_EXPORTED(name) std::fputs("    " #name ";\n", out);
  QORLDAP_EXPORTS
#undef QOR_EXPORTED
  std::fputs("  local:\n    *;\n};\n", out);
  return std::fclose(out) == 0 ? 0 : 1;
}
