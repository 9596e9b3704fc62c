// The Samba AD domain controller that scripts/samba-ad-up started for this
// test run (a CTest fixture), as its env file describes it, and the two
// clients that are asked the same questions: qorhost, and ldapsearch as the
// independent one. The LDIF both print is read back into entries, and a
// group is expanded from a dump of the directory without the module, so
// that the tests hold qorhost's answers against the server's own data
// instead of against values written into the tests.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "integration/support/process.h"

namespace adtest {

// One entry of LDIF output: its DN and each attribute's values in order,
// decoded from base64 where the LDIF encoded them. Attribute names are
// lower-cased, so that the two clients' spellings compare.
struct Entry {
  std::string dn;
  std::map<std::string, std::vector<std::string>> values;

  const std::vector<std::string>& operator[](const std::string& type) const;
  bool hasClass(const std::string& name) const;  // objectClass, ignoring case
};

// The entries of LDIF text: records separated by blank lines, folded lines
// joined, comments and "search:"/"result:" lines skipped.
std::vector<Entry> parseLdif(const std::string& text);

class Server {
 public:
  // The server named by QOR_DIRECTORY_ENV (the fixture's env file); a test
  // fails when it is missing.
  static const Server& get();

  // DIRECTORY_URI, DIRECTORY_BASE, SAMBA_AD_LARGE_GROUP, ...
  std::string operator[](const std::string& name) const;

  // qorhost bound as the administrator, with the server's CA trusted unless
  // `environment` says otherwise.
  qortest::Finished qorhost(
      const std::vector<std::string>& arguments,
      const std::map<std::string, std::optional<std::string>>& environment = {}) const;
  // ldapsearch -LLL bound as the administrator on DIRECTORY_URI, lines not
  // folded, paged so that more than AD's 1,000 entries come back.
  qortest::Finished ldapsearch(const std::vector<std::string>& arguments) const;
  // Runs scripts/samba-ad-restart with the flag given.
  qortest::Finished restart(const std::string& flag) const;

 private:
  std::map<std::string, std::string> values_;
};

// Which subscriber entries an expansion collects.
enum class Kind { Plain, Events };

// The DNs (lower-cased, sorted) that expanding `group` gives, computed from
// `dump` (entries with objectClass, member, uniqueMember, qorpersondn and
// qorInterface): for each member, the subscriber entries of the kind whose
// qorpersondn names it; a member without any that is a groupOfNames or
// groupOfUniqueNames (and, with adGroups, AD's own class group) is expanded
// in its place, unless it is already on the path.
std::vector<std::string> expandFromDump(const std::vector<Entry>& dump, const std::string& group,
                                        Kind kind, bool adGroups = false);

// The text with ASCII letters lower-cased (attribute names, DNs).
std::string lowerCase(std::string text);

// Lower-cased, sorted lines of text (the DNs of expand --dn-only).
std::vector<std::string> sortedLowerLines(const std::string& text);

}  // namespace adtest
