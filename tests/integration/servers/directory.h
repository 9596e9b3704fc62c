// The directory server a cross-server test runs against, and an independent
// client for it: the DIRECTORY_* lines of the env file that QOR_DIRECTORY_ENV
// names (every server script prints the same names), and OpenLDAP's
// ldapsearch and ldapmodify run against that server.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "integration/support/process.h"

namespace qortest {

// One entry as ldapsearch prints it: its DN and every value of every
// attribute (names in lower case, base64 values decoded).
struct LdifEntry {
  std::string dn;
  std::map<std::string, std::vector<std::string>> values;
  const std::vector<std::string>& of(const std::string& attribute) const;
};

// LDIF as ldapsearch -LLL -o ldif-wrap=no writes it.
std::vector<LdifEntry> parseLdif(const std::string& text);
std::string decodeBase64(const std::string& text);
std::string encodeBase64(const std::string& bytes);
std::string lowerCase(std::string text);

class Directory {
 public:
  // Empty kind() and a reason in error() when the env file cannot be read.
  Directory();

  const std::string& error() const { return error_; }
  // DIRECTORY_<name>: KIND, URI, LDAPS_URI, CA_CERT, BASE, ADMIN_DN, ...
  std::string get(const std::string& name) const;
  std::string kind() const { return get("KIND"); }
  std::string uri() const { return get("URI"); }
  std::string base() const { return get("BASE"); }
  // The env file again (a restart changes DIRECTORY_PID).
  void reload();

  // ldapsearch -LLL under BASE with SCOPE and FILTER, anonymous or as the
  // administrator (who meets no size limit; paged then, 500 a page).
  std::vector<LdifEntry> search(const std::string& base, const std::string& scope,
                                const std::string& filter,
                                const std::vector<std::string>& attributes,
                                bool asAdmin = false) const;
  // ldapsearch's exit status for an anonymous search without paging
  // (4: the server's size limit cut it short).
  int plainSearchStatus(const std::string& base, const std::string& filter) const;
  // The one entry at DN, or an entry with an empty DN when there is none.
  LdifEntry read(const std::string& dn, const std::vector<std::string>& attributes = {},
                 bool asAdmin = false) const;
  // ldapmodify as the administrator; false (and the reason) on failure.
  // With goOn (-c), entries that are there already do not stop the rest.
  bool modify(const std::string& ldif, std::string* error = nullptr, bool goOn = false) const;

  // The subscriber DNs (lower case) of a group's expansion, found without
  // the module: the group's member and uniqueMember values followed down
  // nested groupOfNames and groupOfUniqueNames, then every entry whose
  // qorpersondn names a member and whose objectClass or qorInterface is
  // CLASS.
  std::set<std::string> expand(const std::string& group, const std::string& subscriberClass) const;

 private:
  Finished ldapsearchRun(std::vector<std::string> args, bool asAdmin) const;

  std::map<std::string, std::string> values_;
  std::string error_;
};

}  // namespace qortest
