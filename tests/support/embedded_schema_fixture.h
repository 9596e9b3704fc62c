// The embedded directory's schema tests share this: the directory every
// case loads (an entry as slapcat writes it, who may write it), a site's
// entry, and a fixture that opens an ldif: file in a folder of its own
// under schema files and reads back the attributes a search returns.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qorldap/status.h>

#include "engine/schema.h"
#include "ldif/connection.h"

namespace qortest {

using vqeldap::ChangeSet;
using vqeldap::ModOp;

constexpr VQStatus kDecodingError = VQ_LDAP(0x54);
constexpr VQStatus kConstraintViolation = VQ_LDAP(0x13);
constexpr VQStatus kObjectClassViolation = VQ_LDAP(0x41);

constexpr const char* kStandardSources = "core, cosine, inetorgperson, qorldap";

// The directory every case loads: an entry as slapcat writes it (with its
// operational values), who may write it, and nothing of the site's.
const char kData[] =
    "dn: o=example\n"
    "objectClass: organization\n"
    "o: example\n"
    "\n"
    "dn: cn=writer,o=example\n"
    "objectClass: organizationalRole\n"
    "objectClass: simpleSecurityObject\n"
    "cn: writer\n"
    "userPassword: secret\n"
    "structuralObjectClass: organizationalRole\n"
    "entryUUID: 0b3f5c1e-6a5e-103f-8a10-4d1c2a3b4c5d\n"
    "creatorsName: cn=admin,o=example\n"
    "createTimestamp: 20240101000000Z\n"
    "entryCSN: 20240101000000.000000Z#000000#000#000000\n"
    "modifiersName: cn=admin,o=example\n"
    "modifyTimestamp: 20240102000000Z\n"
    "\n"
    "dn: cn=administrators,o=example\n"
    "objectClass: groupOfNames\n"
    "cn: administrators\n"
    "member: cn=writer,o=example\n"
    "\n";

const char kSiteEntry[] =
    "dn: cn=lamp,o=example\n"
    "objectClass: siteDevice\n"
    "cn: lamp\n"
    "siteColour: Blue\n";

inline std::string hexOf(VQStatus status) {
  std::ostringstream out;
  out << std::hex << status;
  return out.str();
}

class SchemaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/qor-schema-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override {
    for (const std::string& file : written_) std::remove(file.c_str());
    for (const char* extra :
         {"/data.ldif.tmp", "/data.ldif.lock", "/data.ldif.journal", "/data.ldif.journal.tmp"}) {
      std::remove((folder_ + extra).c_str());
    }
    ::rmdir(folder_.c_str());
  }

  // Writes a file into the test's folder; returns its path.
  std::string write(const std::string& name, const std::string& text) {
    std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    written_.push_back(path);
    return path;
  }

  // Opens the data as the writer, under the schema files given, as the
  // host text names them.
  std::unique_ptr<vqeldap::Connection> open(const std::string& data,
                                            const std::vector<std::string>& schemaFiles,
                                            VQStatus& status, std::string& diagnostic) {
    std::string host = "ldif:" + write("data.ldif", data);
    for (const std::string& file : schemaFiles) host += ";schema=" + file;
    vqeldap::ldif::OpenParameters parameters;
    if (!vqeldap::ldif::parseHostText(host, parameters)) ADD_FAILURE() << host;
    parameters.base = "o=example";
    parameters.bindDn.emplace("cn=writer,o=example");
    parameters.password = vqeldap::Secret("secret");
    vqeldap::Diagnostic said;
    auto connection = vqeldap::ldif::open(std::move(parameters), status, said);
    diagnostic = said.text();
    return connection;
  }

  // The same, expected to open.
  std::unique_ptr<vqeldap::Connection> opened(const std::string& data,
                                              const std::vector<std::string>& schemaFiles = {}) {
    VQStatus status = 0;
    std::string diagnostic;
    auto connection = open(data, schemaFiles, status, diagnostic);
    if (connection == nullptr) ADD_FAILURE() << diagnostic;
    return connection;
  }

  // "name=value" of each attribute of the entry `dn`, as a search asking
  // for `attributes` (null: none named) returns them.
  static std::vector<std::string> attributesOf(vqeldap::Connection& connection,
                                               const std::string& dn,
                                               std::vector<const char*> attributes) {
    vqeldap::SearchRequest request;
    request.readDn = true;
    request.text = dn;
    request.scope = vqeldap::Scope::kBase;
    if (!attributes.empty()) attributes.push_back(nullptr);
    request.attributes = attributes.empty() ? nullptr : attributes.data();
    vqeldap::SearchOutcome outcome;
    connection.search(request, outcome);
    std::vector<std::string> found;
    ldent** entries = outcome.entries.release();
    for (ldent** entry = entries; entry != nullptr && *entry != nullptr; ++entry) {
      for (int a = 0; a < (*entry)->natts; ++a) {
        const ldatt& attribute = *(*entry)->atts[a];
        for (int v = 0; v < attribute.nvals; ++v) {
          const ldval& value = *attribute.vals[v];
          found.push_back(std::string(attribute.name, static_cast<std::size_t>(attribute.namelen)) +
                          "=" + std::string(value.text, static_cast<std::size_t>(value.textlen)));
        }
      }
    }
    vqeldap::freeResult(entries);
    return found;
  }

  static std::vector<std::string> namesOf(const std::vector<std::string>& attributes) {
    std::vector<std::string> names;
    for (const std::string& attribute : attributes) {
      std::string name = attribute.substr(0, attribute.find('='));
      if (names.empty() || names.back() != name) names.push_back(std::move(name));
    }
    return names;
  }

  std::string folder_;
  std::vector<std::string> written_;
};

}  // namespace qortest
