// The embedded directory's journal reader on any bytes, replayed over the
// example directory: a journal it refuses says why; one it takes leaves a
// directory that writes out as a file which loads again into the same
// text, and reading it without applying finds the same frames.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_input.h"
#include "ldif/journal.h"
#include "ldif/ldif_file.h"

namespace {

using qorfuzz::expect;
using vqeldap::engine::Directory;
using vqeldap::engine::Schema;
using vqeldap::ldif::LoadFailure;

bool load(const std::string& text, Directory& directory) {
  std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (file == nullptr) return false;
  std::string header;
  LoadFailure failure;
  const bool loaded = vqeldap::ldif::readDirectory(file, directory, header, failure);
  std::fclose(file);
  return loaded;
}

const std::string& exampleText() {
  static const std::string text = [] {
    std::string read;
    std::FILE* file = std::fopen(QOR_EXAMPLE_LDIF, "r");
    if (file == nullptr) qorfuzz::broken("the example directory opens");
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
      read.push_back(static_cast<char>(c));
    std::fclose(file);
    return read;
  }();
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string journal(reinterpret_cast<const char*>(data), size);
  Directory directory(Schema::standard());
  expect(load(exampleText(), directory), "the example directory loads");
  vqeldap::ldif::JournalText applied;
  LoadFailure failure;
  if (!vqeldap::ldif::readJournal(journal, 0, &directory, applied, failure)) {
    expect(failure.status != 0, "a refused journal says why");
    return 0;
  }
  expect(applied.end <= journal.size(), "the whole frames lie within the journal");
  vqeldap::ldif::JournalText parsed;
  LoadFailure parseFailure;
  expect(vqeldap::ldif::readJournal(journal, 0, nullptr, parsed, parseFailure),
         "a journal that applies also reads");
  expect(parsed.end == applied.end && parsed.records == applied.records,
         "reading finds the frames that applying found");
  const std::string written = vqeldap::ldif::directoryText(directory, nullptr, "");
  Directory again(Schema::standard());
  expect(written.empty() || load(written, again), "the directory it leaves writes out and loads");
  expect(written.empty() || vqeldap::ldif::directoryText(again, nullptr, "") == written,
         "into the same text");
  return 0;
}
