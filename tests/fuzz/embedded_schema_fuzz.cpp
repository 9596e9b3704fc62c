// A site's schema file on any bytes, in either form (slapd's .schema, or
// LDIF when it begins with "dn:"): one that is refused says which file and
// why; one that is taken gives a schema that still holds the standard types
// and classes, and reading the same file again gives the same answer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/schema.h"
#include "fuzz_input.h"

namespace {

using qorfuzz::expect;
using vqeldap::engine::Schema;

// One file for the whole run, rewritten for each input.
const std::string& schemaPath() {
  static const std::string path = "/tmp/qor-schema-fuzz-" + std::to_string(::getpid());
  return path;
}

bool write(const std::string& text) {
  std::FILE* file = std::fopen(schemaPath().c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!write(text)) qorfuzz::broken("the schema file can be written");
  const std::vector<std::string> files{schemaPath()};
  std::string error;
  const std::shared_ptr<const Schema> schema = Schema::load(files, error);
  std::string errorAgain;
  const bool again = Schema::load(files, errorAgain) != nullptr;
  expect(again == (schema != nullptr) && errorAgain == error, "the same file, the same answer");
  if (schema == nullptr) {
    expect(error.rfind(schemaPath(), 0) == 0, "a refused file is named first");
    return 0;
  }
  expect(schema->objectClass("inetOrgPerson") != nullptr && schema->attribute("cn") != nullptr,
         "the standard schema stays");
  return 0;
}
