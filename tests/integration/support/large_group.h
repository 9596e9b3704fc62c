// A group with more members than a Windows domain controller sends at once,
// for the tests of ranged values: cn=large,ou=groups,o=example holds `size`
// people uid=large-N,ou=people,o=example, each with one plain subscriber
// entry cn=large-N-phone,ou=subscribers,o=example. Loaded beside the
// example directory, as seed LDIF.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace qortest {

inline const std::string kLargeGroupDn = "cn=large,ou=groups,o=example";

inline std::string largeMemberDn(int index) {
  return "uid=large-" + std::to_string(index) + ",ou=people,o=example";
}

// Writes the LDIF (the same for the same size) and returns its path. It is
// written to a file of this process and renamed into place, so that test
// programs running at once never read a part of it.
inline std::string largeGroupLdif(int size) {
  namespace fs = std::filesystem;
  const fs::path path =
      fs::temp_directory_path() / ("qor-large-group-" + std::to_string(size) + ".ldif");
  const fs::path part = path.string() + "." + std::to_string(::getpid());
  {
    std::ofstream out(part);
    std::string group = "dn: " + kLargeGroupDn + "\nobjectClass: groupOfNames\ncn: large\n";
    for (int i = 0; i < size; ++i) {
      const std::string person = largeMemberDn(i), name = "large-" + std::to_string(i);
      out << "dn: " << person << "\nobjectClass: inetOrgPerson\nuid: " << name << "\ncn: " << name
          << "\nsn: " << i << "\n\n";
      out << "dn: cn=" << name
          << "-phone,ou=subscribers,o=example\nobjectClass: qorsubscriber\ncn: " << name
          << "-phone\nqorpersondn: " << person << "\n\n";
      group += "member: " + person + "\n";
    }
    out << group;
  }
  fs::rename(part, path);
  return path.string();
}

}  // namespace qortest
