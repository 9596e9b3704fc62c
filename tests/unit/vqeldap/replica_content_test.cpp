// What a replica keeps from a content-synchronisation session, without a
// server: the session's reports played into the content, and the DNs the
// directory then holds. Also the CSN comparison that decides whether the
// replica holds what the server held.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/schema.h"
#include "replica/content.h"
#include "replica/csn.h"

namespace {

using vqeldap::replica::Content;
using vqeldap::replica::SyncedEntry;

// One report of the session: an entry (uuid, dn), a removal (uuid, ""),
// a present (uuid, "present"), the end of a refresh ("", "refreshed" or
// "refreshed present"), the start of a resumed refresh ("", "resume").
struct Report {
  const char* uuid;
  const char* dn;
};

SyncedEntry unitEntry(const std::string& dn) {
  const std::string rdn = dn.substr(0, dn.find(','));
  const bool top = rdn.starts_with("o=");
  return SyncedEntry{dn,
                     {{"objectClass", {top ? "organization" : "organizationalUnit"}},
                      {top ? "o" : "ou", {rdn.substr(rdn.find('=') + 1)}}}};
}

void play(Content& content, const std::vector<Report>& reports) {
  for (const Report& report : reports) {
    const std::string uuid = report.uuid, what = report.dn;
    if (what == "resume")
      content.begin(false);
    else if (what == "refreshed")
      content.refreshed(false);
    else if (what == "refreshed present")
      content.refreshed(true);
    else if (what == "present")
      content.present(uuid);
    else if (what.empty())
      content.removed(uuid);
    else
      content.entry(uuid, unitEntry(what));
  }
}

std::set<std::string> dnsOf(const Content& content) {
  std::set<std::string> dns;
  const auto& directory = content.directory();
  for (uint32_t slot = 0; slot < directory.slotCount(); ++slot) {
    if (directory.entry(slot) != nullptr) dns.emplace(directory.entry(slot)->dn());
  }
  return dns;
}

struct ContentCase {
  const char* name;
  std::vector<Report> reports;  // after a full refresh of o=x, ou=a, ou=b, ou=c
  std::set<std::string> expected;
  bool complete;
};

const std::vector<Report> kFirstRefresh = {{"c", "ou=c,ou=a,o=x"},  // before its parent
                                           {"x", "o=x"},
                                           {"a", "ou=a,o=x"},
                                           {"b", "ou=b,o=x"},
                                           {"", "refreshed"}};

const ContentCase kCases[] = {
    {"full refresh, a child before its parent",
     {},
     {"o=x", "ou=a,o=x", "ou=b,o=x", "ou=c,ou=a,o=x"},
     true},
    {"leaf renamed", {{"b", "ou=b2,o=x"}}, {"o=x", "ou=a,o=x", "ou=b2,o=x", "ou=c,ou=a,o=x"}, true},
    {"leaf moved",
     {{"c", "ou=c,ou=b,o=x"}},
     {"o=x", "ou=a,o=x", "ou=b,o=x", "ou=c,ou=b,o=x"},
     true},
    {"entry with entries below it renamed",
     {{"a", "ou=a2,o=x"}},
     {"o=x", "ou=a,o=x", "ou=b,o=x", "ou=c,ou=a,o=x"},
     false},
    {"removed", {{"b", ""}}, {"o=x", "ou=a,o=x", "ou=c,ou=a,o=x"}, true},
    {"same DN under a new UUID",
     {{"b", ""}, {"b2", "ou=b,o=x"}, {"b2", ""}},
     {"o=x", "ou=a,o=x", "ou=c,ou=a,o=x"},
     true},
    {"resumed, present phase: the unlisted go, deepest first",
     {{"", "resume"}, {"x", "present"}, {"b", "present"}, {"", "refreshed present"}},
     {"o=x", "ou=b,o=x"},
     true},
    {"resumed, delete phase: the unlisted stay",
     {{"", "resume"}, {"c", ""}, {"a", ""}, {"", "refreshed"}},
     {"o=x", "ou=b,o=x"},
     true},
    {"resumed, a changed entry counts as listed",
     {{"", "resume"},
      {"x", "present"},
      {"a", "ou=a,o=x"},
      {"c", "present"},
      {"", "refreshed present"}},
     {"o=x", "ou=a,o=x", "ou=c,ou=a,o=x"},
     true},
};

TEST(ReplicaContent, FollowsTheSessionsReports) {
  for (const ContentCase& c : kCases) {
    SCOPED_TRACE(c.name);
    Content content(vqeldap::engine::Schema::standardShared(), "o=x");
    content.begin(true);
    play(content, kFirstRefresh);
    play(content, c.reports);
    EXPECT_EQ(content.complete(), c.complete) << content.unusable();
    EXPECT_EQ(dnsOf(content), c.expected);
  }
}

TEST(ReplicaContent, AFullRefreshShowsNothingUntilItIsComplete) {
  Content content(vqeldap::engine::Schema::standardShared(), "o=x");
  content.begin(true);
  play(content, kFirstRefresh);
  content.begin(true);
  play(content, {{"x", "o=x"}});
  EXPECT_EQ(dnsOf(content).size(), 4u);  // the old content until the new one is whole
  play(content, {{"", "refreshed"}});
  EXPECT_EQ(dnsOf(content), std::set<std::string>{"o=x"});
}

TEST(ReplicaCsn, HeldWhenEveryServerIdIsAsNew) {
  using vqeldap::replica::csnsOfCookie;
  using vqeldap::replica::includes;
  const std::string older = "20261210091220.545946Z#000000#001#000000";
  const std::string newer = "20261210091220.644584Z#000000#001#000000";
  const std::string other = "20261210091220.644584Z#000000#002#000000";
  EXPECT_EQ(csnsOfCookie("rid=000,csn=" + older + ";" + other),
            (std::vector<std::string>{older, other}));
  EXPECT_TRUE(csnsOfCookie("rid=000").empty());
  EXPECT_TRUE(includes({newer}, {older}));
  EXPECT_TRUE(includes({newer}, {newer}));
  EXPECT_FALSE(includes({older}, {newer}));
  EXPECT_FALSE(includes({newer}, {other}));
  EXPECT_TRUE(includes({newer, other}, {older, other}));
  EXPECT_FALSE(includes({"garbage"}, {"garbage"}));
  EXPECT_TRUE(includes({}, {}));

  // 389 DS: no contextCSN, a lastchangenumber, cookies ending in the change.
  using vqeldap::replica::holdsNewest;
  const std::string cookie389 = "localhost:22749#cn=directory manager:o=example:(x=*)#12";
  EXPECT_TRUE(holdsNewest(cookie389, {}, "12"));
  EXPECT_FALSE(holdsNewest(cookie389, {}, "13"));
  EXPECT_FALSE(holdsNewest("localhost:22749#cn=x:o=example:(x=*)#", {}, "1"));
  EXPECT_TRUE(holdsNewest("rid=000,csn=" + newer, {older}, "99"));  // contextCSN decides
  EXPECT_TRUE(holdsNewest("anything", {}, ""));                     // nothing to wait for
}

}  // namespace
