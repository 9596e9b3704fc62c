#include "directory.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

namespace qortest {
namespace {

constexpr const char* kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The LDAP settings of the machine must not reach the independent client.
Launch cleanLaunch(std::vector<std::string> argv) {
  Launch launch;
  launch.argv = std::move(argv);
  for (const char* name : {"LDAPURI", "LDAPBASE", "LDAPCONF", "LDAPRC", "LDAPBINDDN"}) {
    launch.environment[name] = std::nullopt;
  }
  return launch;
}

bool isGroup(const LdifEntry& entry) {
  for (const std::string& value : entry.of("objectclass")) {
    const std::string name = lowerCase(value);
    if (name == "groupofnames" || name == "groupofuniquenames") return true;
  }
  return false;
}

// A uniqueMember value may carry "#'0101'B" after the DN.
std::string memberDn(const std::string& value) {
  const auto mark = value.rfind("#'");
  return lowerCase(mark == std::string::npos ? value : value.substr(0, mark));
}

// The lines of LDIF with folded lines joined (a line that starts with a
// blank continues the one before).
std::vector<std::string> unfoldedLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == ' ' && !out.empty()) {
      out.back() += line.substr(1);
    } else {
      out.push_back(line);
    }
  }
  return out;
}

}  // namespace

const std::vector<std::string>& LdifEntry::of(const std::string& attribute) const {
  static const std::vector<std::string> none;
  auto found = values.find(lowerCase(attribute));
  return found == values.end() ? none : found->second;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string decodeBase64(const std::string& text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    const char* at = std::strchr(kBase64, c);
    if (at == nullptr || c == '\0') continue;
    bits = (bits << 6) | static_cast<unsigned>(at - kBase64);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string encodeBase64(const std::string& bytes) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (unsigned char c : bytes) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += kBase64[(bits >> count) & 0x3F];
    }
  }
  if (count > 0) out += kBase64[(bits << (6 - count)) & 0x3F];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

std::vector<LdifEntry> parseLdif(const std::string& text) {
  std::vector<LdifEntry> entries;
  for (const std::string& line : unfoldedLines(text)) {
    if (line.empty() || line[0] == '#') continue;
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const bool encoded = line.compare(colon, 2, "::") == 0;
    std::string value = line.substr(colon + (encoded ? 2 : 1));
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    if (encoded) value = decodeBase64(value);
    const std::string name = lowerCase(line.substr(0, colon));
    if (name == "dn") {
      entries.push_back(LdifEntry{value, {}});
    } else if (!entries.empty()) {
      entries.back().values[name].push_back(value);
    }
  }
  return entries;
}

Directory::Directory() {
  reload();
}

void Directory::reload() {
  const char* path = std::getenv("QOR_DIRECTORY_ENV");
  if (path == nullptr || *path == '\0') {
    error_ = "QOR_DIRECTORY_ENV names no env file of a server";
    return;
  }
  std::ifstream file(path);
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  values_ = assignments(text);
  error_ = kind().empty() ? std::string("no DIRECTORY_KIND in ") + path : std::string();
}

std::string Directory::get(const std::string& name) const {
  auto found = values_.find("DIRECTORY_" + name);
  return found == values_.end() ? std::string() : found->second;
}

Finished Directory::ldapsearchRun(std::vector<std::string> args, bool asAdmin) const {
  std::vector<std::string> argv{
      findProgram("ldapsearch"), "-x", "-LLL", "-o", "ldif-wrap=no", "-H", uri()};
  if (asAdmin) {
    argv.insert(argv.end(),
                {"-D", get("ADMIN_DN"), "-w", get("ADMIN_PW"), "-E", "pr=500/noprompt"});
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return run(cleanLaunch(argv));
}

std::vector<LdifEntry> Directory::search(const std::string& base, const std::string& scope,
                                         const std::string& filter,
                                         const std::vector<std::string>& attributes,
                                         bool asAdmin) const {
  std::vector<std::string> args{"-b", base, "-s", scope, filter};
  args.insert(args.end(), attributes.begin(), attributes.end());
  return parseLdif(ldapsearchRun(args, asAdmin).out);
}

int Directory::plainSearchStatus(const std::string& base, const std::string& filter) const {
  return ldapsearchRun({"-b", base, filter, "1.1"}, false).exitCode;
}

LdifEntry Directory::read(const std::string& dn, const std::vector<std::string>& attributes,
                          bool asAdmin) const {
  std::vector<LdifEntry> found = search(dn, "base", "(objectClass=*)", attributes, asAdmin);
  return found.size() == 1 ? found.front() : LdifEntry{};
}

bool Directory::modify(const std::string& ldif, std::string* error, bool goOn) const {
  Launch launch = cleanLaunch(
      {findProgram("ldapmodify"), "-x", "-H", uri(), "-D", get("ADMIN_DN"), "-w", get("ADMIN_PW")});
  if (goOn) launch.argv.push_back("-c");
  launch.input = ldif;
  Child child(launch);
  Finished done = child.wait(600);
  if (error != nullptr) *error = done.err;
  return done.exitCode == 0;
}

std::set<std::string> Directory::expand(const std::string& group,
                                        const std::string& subscriberClass) const {
  // Two searches for the whole directory: every group with its members, and
  // every subscriber of the class with its person.
  std::map<std::string, std::vector<std::string>> groups;
  for (const LdifEntry& entry :
       search(base(), "sub", "(|(objectClass=groupOfNames)(objectClass=groupOfUniqueNames))",
              {"objectClass", "member", "uniqueMember"}, true)) {
    if (!isGroup(entry)) continue;
    auto& members = groups[lowerCase(entry.dn)];
    for (const char* attribute : {"member", "uniquemember"}) {
      for (const std::string& value : entry.of(attribute)) members.push_back(memberDn(value));
    }
  }
  std::multimap<std::string, std::string> subscribersOf;
  const std::string filter =
      "(|(objectClass=" + subscriberClass + ")(qorInterface=" + subscriberClass + "))";
  for (const LdifEntry& entry : search(base(), "sub", filter, {"qorpersondn"}, true)) {
    for (const std::string& person : entry.of("qorpersondn")) {
      subscribersOf.emplace(lowerCase(person), lowerCase(entry.dn));
    }
  }
  std::set<std::string> found;
  std::set<std::string> visited;
  std::function<void(const std::string&)> visit = [&](const std::string& dn) {
    if (!visited.insert(dn).second) return;
    auto asGroup = groups.find(dn);
    if (asGroup == groups.end()) {
      auto [first, last] = subscribersOf.equal_range(dn);
      for (auto it = first; it != last; ++it) found.insert(it->second);
      return;
    }
    for (const std::string& member : asGroup->second) visit(member);
  };
  visit(lowerCase(group));
  return found;
}

}  // namespace qortest
