// The embedded directory's filters on any text, over the example directory:
// a filter that parses gives, for every entry, the same truth through the
// equality indexes as by looking at the values; the indexes never leave out
// an entry that matches; and "not not F", "(&F)" and "(|F)" are F.
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/filter.h"
#include "fuzz_input.h"
#include "ldif/ldif_file.h"

namespace {

using qorfuzz::expect;
using vqeldap::engine::Filter;
using vqeldap::engine::Truth;

const vqeldap::engine::Directory& exampleDirectory() {
  static vqeldap::engine::Directory* const directory = [] {
    auto* loaded = new vqeldap::engine::Directory(vqeldap::engine::Schema::standard());
    std::FILE* file = std::fopen(QOR_EXAMPLE_LDIF, "r");
    std::string header;
    vqeldap::ldif::LoadFailure failure;
    if (file == nullptr || !vqeldap::ldif::readDirectory(file, *loaded, header, failure)) {
      qorfuzz::broken("the example directory loads");
    }
    std::fclose(file);
    return loaded;
  }();
  return *directory;
}

Truth truthOf(const std::string& text, uint32_t slot, const vqeldap::engine::Reader& reader) {
  const vqeldap::engine::Directory& directory = exampleDirectory();
  Filter filter;
  expect(Filter::parse(directory.schema(), text, filter) == 0, "a filter built from one parses");
  return filter.evaluate(directory, slot, reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const vqeldap::engine::Directory& directory = exampleDirectory();
  qorfuzz::Input input(data, size);
  vqeldap::engine::Reader reader;
  if ((input.byte() & 1) != 0) reader.boundDn = "uid=alice,ou=people,o=example";
  std::string text = input.rest();
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));  // as sent
  Filter filter;
  if (Filter::parse(directory.schema(), text, filter) != 0) return 0;
  const auto candidates = filter.candidates(directory);
  const bool wrapped = !text.empty() && text.front() == '(' && text.size() < 2000;
  for (uint32_t slot = 0; slot < directory.slotCount(); ++slot) {
    const vqeldap::engine::Entry* entry = directory.entry(slot);
    if (entry == nullptr) continue;
    const Truth indexed = filter.evaluate(directory, slot, reader);
    expect(indexed == filter.evaluate(directory.schema(), *entry, reader),
           "the indexes answer as the values do");
    if (indexed == Truth::kTrue && candidates) {
      bool listed = false;
      for (uint32_t candidate : *candidates) listed = listed || candidate == slot;
      expect(listed, "the indexes never leave out a match");
    }
    if (!wrapped) continue;
    expect(truthOf("(!(!" + text + "))", slot, reader) == indexed, "not not F is F");
    expect(truthOf("(&" + text + ")", slot, reader) == indexed, "(&F) is F");
    expect(truthOf("(|" + text + ")", slot, reader) == indexed, "(|F) is F");
  }
  return 0;
}
