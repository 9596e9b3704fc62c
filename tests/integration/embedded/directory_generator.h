// Seeded directories for comparing the embedded backend with slapd: people
// named in plain, mixed-case, escaped, multi-valued and blank-padded DNs,
// subscriber entries of both kinds (some only through qorInterface) whose
// qorpersondn spells the person's DN another way, groupOfNames and
// groupOfUniqueNames (with and without unique identifiers) nested into one
// another with cycles and members that do not exist, binary values, a
// writer entry with a password and the administrators' group that names
// it. Half the people are named beyond ASCII (names of many languages and
// random letters of several scripts, in their DNs and values), and the
// directory comes with filters of every form over those values, spelled
// another way (case, decomposed accents, full-width letters, blanks). The
// same seed gives the same directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qortest {

struct GeneratedDirectory {
  std::string ldif;
  std::vector<std::string> entries;  // every entry's DN as written
  std::vector<std::string> groups;   // the groups' DNs as written
  std::vector<std::string> people;   // the people's DNs, spelled another way
  std::vector<std::string> filters;  // over the values beyond ASCII, spelled another way
};

// The writer is the one member of the administrators' group; the person
// uid=p0 has a password and no rights but its own password's.
inline constexpr const char* kWriterDn = "cn=writer,o=example";
inline constexpr const char* kWriterPassword = "writer-secret";
inline constexpr const char* kAdministratorsDn = "cn=administrators,o=example";
inline constexpr const char* kPersonDn = "uid=p0,ou=people,o=example";
inline constexpr const char* kPersonPassword = "p0-secret";

GeneratedDirectory generateDirectory(uint32_t seed);

// Another spelling of the same DN: letter case of types and ASCII values
// changed and blanks put around the separators, as the seed decides.
std::string respell(const std::string& dn, uint32_t seed);

}  // namespace qortest
