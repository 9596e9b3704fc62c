// The embedded directory's LDIF loader on any bytes: a file it loads is
// written back as a text that loads again into the same directory (the same
// text once more), and a file it refuses is refused with a status and never
// half loaded into what the caller sees.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_input.h"
#include "ldif/ldif_file.h"

namespace {

using qorfuzz::expect;

bool load(const std::string& text, vqeldap::engine::Directory& directory, std::string& header,
          vqeldap::ldif::LoadFailure& failure) {
  std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (file == nullptr) return false;
  const bool loaded = vqeldap::ldif::readDirectory(file, directory, header, failure);
  std::fclose(file);
  return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen takes no empty buffer
  const std::string text(reinterpret_cast<const char*>(data), size);
  const vqeldap::engine::Schema& schema = vqeldap::engine::Schema::standard();
  vqeldap::engine::Directory directory(schema);
  std::string header;
  vqeldap::ldif::LoadFailure failure;
  if (!load(text, directory, header, failure)) {
    expect(failure.status != 0, "a refused file says why");
    return 0;
  }
  const std::string written = vqeldap::ldif::directoryText(directory, nullptr, header);
  vqeldap::engine::Directory again(schema);
  std::string headerAgain;
  vqeldap::ldif::LoadFailure failureAgain;
  expect(written.empty() || load(written, again, headerAgain, failureAgain),
         "what is written back loads again");
  if (written.empty()) return 0;
  expect(again.size() == directory.size(), "with every entry");
  expect(vqeldap::ldif::directoryText(again, nullptr, headerAgain) == written,
         "and writes the same text");
  return 0;
}
