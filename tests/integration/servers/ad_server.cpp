#include "ad_server.h"

#include <gtest/gtest.h>
#include <lber.h>
#include <ldif.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace adtest {

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

namespace {

// The logical lines of LDIF text: continuation lines joined to the line
// they continue, comments dropped; an empty string marks a record's end.
std::vector<std::string> logicalLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == ' ' && !lines.empty() && !lines.back().empty()) {
      lines.back() += line.substr(1);
    } else if (line.empty() || line.front() != '#') {
      lines.push_back(line);
    }
  }
  lines.emplace_back();
  return lines;
}

void addLine(Entry& entry, std::string line) {
  berval type{};
  berval value{};
  int freeValue = 0;
  if (ldif_parse_line2(line.data(), &type, &value, &freeValue) != 0) {
    ADD_FAILURE() << "not an LDIF line: " << line;
    return;
  }
  const std::string name = lowerCase(std::string(type.bv_val, type.bv_len));
  std::string text(value.bv_val == nullptr ? "" : std::string(value.bv_val, value.bv_len));
  if (freeValue != 0) ber_memfree(value.bv_val);
  if (name == "dn") {
    entry.dn = text;
  } else {
    entry.values[name].push_back(text);
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

const std::vector<std::string>& Entry::operator[](const std::string& type) const {
  static const std::vector<std::string> kNone;
  auto found = values.find(lowerCase(type));
  return found == values.end() ? kNone : found->second;
}

bool Entry::hasClass(const std::string& name) const {
  const auto& classes = (*this)["objectClass"];
  return std::any_of(classes.begin(), classes.end(),
                     [&](const std::string& c) { return lowerCase(c) == lowerCase(name); });
}

std::vector<Entry> parseLdif(const std::string& text) {
  std::vector<Entry> entries;
  Entry current;
  for (const std::string& line : logicalLines(text)) {
    if (line.empty()) {
      if (!current.dn.empty()) entries.push_back(std::move(current));
      current = Entry{};
    } else if (line.rfind("search:", 0) != 0 && line.rfind("result:", 0) != 0) {
      addLine(current, line);
    }
  }
  return entries;
}

const Server& Server::get() {
  static const Server server = [] {
    Server loaded;
    const char* path = std::getenv("QOR_DIRECTORY_ENV");
    if (path == nullptr) {
      ADD_FAILURE() << "QOR_DIRECTORY_ENV is not set (the samba_ad fixture sets it)";
      return loaded;
    }
    loaded.values_ = qortest::assignments(readFile(path));
    EXPECT_EQ(loaded["DIRECTORY_KIND"], "samba-ad") << path;
    return loaded;
  }();
  return server;
}

std::string Server::operator[](const std::string& name) const {
  auto found = values_.find(name);
  return found == values_.end() ? std::string() : found->second;
}

qortest::Finished Server::qorhost(
    const std::vector<std::string>& arguments,
    const std::map<std::string, std::optional<std::string>>& environment) const {
  qortest::Launch launch;
  launch.argv = {QORHOST_PROGRAM, "-D", (*this)["DIRECTORY_ADMIN_DN"], "-y",
                 (*this)["SAMBA_AD_ADMIN_PW_FILE"]};
  launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
  launch.environment["LDAPTLS_CACERT"] = (*this)["DIRECTORY_CA_CERT"];
  for (const auto& [name, value] : environment) launch.environment[name] = value;
  return qortest::run(launch);
}

qortest::Finished Server::ldapsearch(const std::vector<std::string>& arguments) const {
  qortest::Launch launch;
  launch.argv = {QOR_LDAPSEARCH,
                 "-x",
                 "-LLL",
                 "-o",
                 "ldif-wrap=no",
                 "-E",
                 "pr=500/noprompt",
                 "-H",
                 (*this)["DIRECTORY_URI"],
                 "-D",
                 (*this)["DIRECTORY_ADMIN_DN"],
                 "-y",
                 (*this)["SAMBA_AD_ADMIN_PW_FILE"]};
  launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
  return qortest::run(launch);
}

qortest::Finished Server::restart(const std::string& flag) const {
  qortest::Launch launch;
  launch.argv = {QOR_SOURCE_DIR "/scripts/samba-ad-restart", (*this)["DIRECTORY_DIR"], flag};
  return qortest::run(launch);
}

std::vector<std::string> expandFromDump(const std::vector<Entry>& dump, const std::string& group,
                                        Kind kind, bool adGroups) {
  std::map<std::string, const Entry*> byDn;
  std::multimap<std::string, const Entry*> byPerson;
  for (const Entry& entry : dump) {
    byDn[lowerCase(entry.dn)] = &entry;
    for (const std::string& person : entry["qorpersondn"])
      byPerson.emplace(lowerCase(person), &entry);
  }
  const std::string wanted = kind == Kind::Plain ? "qorsubscriber" : "qor-eventsubscriber";
  auto isWanted = [&](const Entry& entry) {
    const auto& interfaces = entry["qorInterface"];
    return entry.hasClass(wanted) ||
           std::any_of(interfaces.begin(), interfaces.end(),
                       [&](const std::string& i) { return lowerCase(i) == wanted; });
  };
  auto isGroup = [&](const Entry& entry) {
    return entry.hasClass("groupOfNames") || entry.hasClass("groupOfUniqueNames") ||
           (adGroups && entry.hasClass("group"));
  };
  std::vector<std::string> found;
  std::set<std::string> path;
  std::function<void(const Entry&)> expand = [&](const Entry& g) {
    path.insert(lowerCase(g.dn));
    std::vector<std::string> members = g["member"];
    for (const std::string& unique : g["uniqueMember"])
      members.push_back(unique.substr(0, unique.find('#')));
    for (const std::string& member : members) {
      const std::string key = lowerCase(member);
      bool any = false;
      for (auto [at, end] = byPerson.equal_range(key); at != end; ++at) {
        if (!isWanted(*at->second)) continue;
        found.push_back(lowerCase(at->second->dn));
        any = true;
      }
      auto entry = byDn.find(key);
      if (!any && entry != byDn.end() && isGroup(*entry->second) && path.count(key) == 0) {
        expand(*entry->second);
      }
    }
    path.erase(lowerCase(g.dn));
  };
  auto top = byDn.find(lowerCase(group));
  if (top == byDn.end()) {
    ADD_FAILURE() << group << " is not in the dump";
  } else {
    expand(*top->second);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<std::string> sortedLowerLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(lowerCase(line));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace adtest
