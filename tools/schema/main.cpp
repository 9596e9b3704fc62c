// qor-schema-ldif: writes the system's schema file (slapd .schema form) as
// the LDIF that 389 Directory Server and Active Directory load
// (schema_ldif.h). Both files are written, or neither: a definition that
// one form cannot hold (a syntax AD has no pair for) fails the whole run
// with exit status 1 and a message naming it.
//
//   qor-schema-ldif SOURCE.schema OUT-389.ldif OUT-AD.ldif
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "schema_ldif.h"
#include "schema_source.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "qor-schema-ldif: %s\n", message.c_str());
  return 1;
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return fail("usage: qor-schema-ldif SOURCE.schema OUT-389.ldif OUT-AD.ldif");
  const std::string sourcePath = argv[1];
  std::ifstream in(sourcePath, std::ios::binary);
  if (!in) return fail(sourcePath + ": cannot read");
  std::ostringstream text;
  text << in.rdbuf();

  qor::schema::SchemaSource source;
  std::string error;
  if (!qor::schema::readSchema(sourcePath, text.str(), source, error)) return fail(error);
  std::string ds389, ad;
  if (!qor::schema::write389(source, "qorldap", ds389, error)) return fail(error);
  if (!qor::schema::writeAd(source, qor::schema::kIndexedTypes, ad, error)) return fail(error);
  if (!writeFile(argv[2], ds389)) return fail(std::string(argv[2]) + ": cannot write");
  if (!writeFile(argv[3], ad)) return fail(std::string(argv[3]) + ": cannot write");
  return 0;
}
