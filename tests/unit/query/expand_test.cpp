// dsexpgrp: members in value order, their subscribers in search order,
// nested groups at their member's place, the subscriber filter with the DN
// escaped, cycles cut, the depth bounded, and every failure released.
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/case_names.h"

#include "query_test_support.h"

namespace qortest {
namespace {

using Dns = std::vector<std::string>;

class ExpandTest : public QueryTest {
 protected:
  void SetUp() override {
    QueryTest::SetUp();
    directory_.serve(extension());
  }

  // Expands `dn` and gives the DNs of the subscriber entries found.
  uint32_t expand(const std::string& dn, Dns* dns, int32_t kind = 1) {
    dsent** list = untouched_;
    const uint32_t status = ops().dsexpgrp(handle(), dn.c_str(), &list, kind);
    if (status != DS_OK) {
      EXPECT_EQ(list, nullptr) << "a failing expansion leaves the place null";
      return status;
    }
    dns->clear();
    if (list == nullptr) return status;  // a group without member attribute
    *dns = dnsOf(list);
    release(list);
    return status;
  }

  // `count` subscribers of `person`, named sub-<tag>-<i>; their entries are
  // kept in created_ as well.
  Dns subscribers(const std::string& person, const std::string& tag, int count, bool plain = true) {
    Dns dns;
    for (int i = 0; i < count; ++i) {
      created_.push_back(
          directory_.subscriber(person, plain, "cn=sub-" + tag + "-" + std::to_string(i)));
      dns.push_back(created_.back().dn);
    }
    return dns;
  }

  // cn=top above `levels` levels of two groups (a<n>, b<n>), each a member
  // of both groups of the level above; the last level's member is cn=p.
  void lattice(int levels) {
    const auto groupDn = [](int level, char side) {
      return "cn=" + std::string(1, side) + std::to_string(level) + ",o=test";
    };
    directory_.group("cn=top,o=test", {groupDn(1, 'a'), groupDn(1, 'b')});
    for (int level = 1; level <= levels; ++level) {
      const std::vector<std::string> below =
          level == levels
              ? std::vector<std::string>{"cn=p,o=test"}
              : std::vector<std::string>{groupDn(level + 1, 'a'), groupDn(level + 1, 'b')};
      for (char side : {'a', 'b'}) directory_.group(groupDn(level, side), below);
    }
  }

  void sweepExpansion();

  // Requests that waited for an answer: a batch is one, however many
  // searches it carries.
  std::size_t roundTrips() {
    std::size_t trips = extension().count<SearchBatchCall>();
    for (const SearchCall& call : extension().calls<SearchCall>()) trips += call.inBatch ? 0 : 1;
    return trips;
  }

  std::size_t readsOf(const std::string& dn) {
    std::size_t count = 0;
    for (const std::string& read : directory_.reads) count += read == dn ? 1 : 0;
    return count;
  }

  Directory directory_;
  Entries created_;
  dsent* unused_ = nullptr;
  dsent** const untouched_ = &unused_;
};

Dns operator+(Dns first, const Dns& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST_F(ExpandTest, RefusesInTheOrderOfItsChecksBeforeAnySearch) {
  dshandle withoutConnection = *handle();
  withoutConnection.connection = nullptr;
  dsent** place = untouched_;
  EXPECT_EQ(ops().dsexpgrp(nullptr, "cn=g", &place, 1), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsexpgrp(nullptr, nullptr, nullptr, 1), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsexpgrp(&withoutConnection, "cn=g", &place, 1), DS_E_NO_CONNECTION);
  EXPECT_EQ(ops().dsexpgrp(handle(), nullptr, &place, 1), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(ops().dsexpgrp(handle(), "", &place, 1), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(ops().dsexpgrp(handle(), "cn=g", nullptr, 1), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(place, untouched_);
  EXPECT_EQ(extension().count<SearchCall>(), 0u);
}

TEST_F(ExpandTest, UnknownGroupPassesTheReadStatusOnAndClearsPlaceAndLastStatus) {
  handle()->lastStatus = 0x1234;
  Dns dns;
  EXPECT_EQ(expand("cn=nogroup,o=test", &dns), DS_W_NOT_FOUND);
  EXPECT_EQ(handle()->lastStatus, 0);
  const std::vector<SearchCall> searches = extension().calls<SearchCall>();
  ASSERT_EQ(searches.size(), 1u);
  EXPECT_EQ(searches[0].flags, uint64_t{QOR_SEARCH_READ_DN});
  EXPECT_EQ(searches[0].attributes, (std::vector<std::string>{"member", "uniquemember"}));
}

TEST_F(ExpandTest, GroupWithoutMemberAttributeLeavesThePlaceNull) {
  directory_.person("cn=lonely,o=test");
  dsent** list = untouched_;
  EXPECT_EQ(ops().dsexpgrp(handle(), "cn=lonely,o=test", &list, 1), DS_OK);
  EXPECT_EQ(list, nullptr);
}

TEST_F(ExpandTest, MemberAttributeWithoutValuesGivesAnEmptyList) {
  directory_.group("cn=g,o=test", {});
  dsent** list = untouched_;
  ASSERT_EQ(ops().dsexpgrp(handle(), "cn=g,o=test", &list, 1), DS_OK);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[0], nullptr);
  release(list);
}

TEST_F(ExpandTest, KeepsMemberOrderSearchOrderNestedPlacesAndDuplicates) {
  directory_.group("cn=g,o=test", {"cn=p1,o=test", "cn=p2,o=test", "cn=s,o=test", "cn=p3,o=test"});
  directory_.group("cn=s,o=test", {"cn=p4,o=test", "cn=p1,o=test"});
  directory_.person("cn=p2,o=test");  // no subscribers, no group: contributes nothing
  const Dns p1 = subscribers("cn=p1,o=test", "p1", 2);
  const Dns p3 = subscribers("cn=p3,o=test", "p3", 1);
  const Dns p4 = subscribers("cn=p4,o=test", "p4", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, p1 + p4 + p1 + p3);
}

struct KindCase {
  int32_t kind;
  bool plain;
};
void PrintTo(const KindCase& c, std::ostream* out) {
  *out << "kind " << c.kind;
}

class ExpandKindTest : public ExpandTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(ExpandKindTest, KindChoosesTheSubscriberClass) {
  directory_.group("cn=g,o=test", {"cn=p,o=test"});
  const Dns plain = subscribers("cn=p,o=test", "plain", 1, true);
  const Dns event = subscribers("cn=p,o=test", "event", 2, false);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns, GetParam().kind), DS_OK);
  EXPECT_EQ(dns, GetParam().plain ? plain : event);
  ASSERT_EQ(directory_.filters.size(), 1u);
  EXPECT_EQ(directory_.filters[0],
            std::string(GetParam().plain ? Directory::kPlainPrefix : Directory::kEventPrefix) +
                "cn=p,o=test))");
  const std::vector<SearchCall> searches = extension().calls<SearchCall>();
  ASSERT_EQ(searches.size(), 2u);
  EXPECT_EQ(searches[1].attributes, std::nullopt);
  EXPECT_EQ(searches[1].length, static_cast<int64_t>(directory_.filters[0].size()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ExpandKindTest,
                         ::testing::Values(KindCase{1, true}, KindCase{2, false},
                                           KindCase{0, false}, KindCase{-1, false},
                                           KindCase{7, false}));

// Attributes the read did not ask for (a server may send them, objectClass
// first) are passed over: their values are no members.
TEST_F(ExpandTest, OnlyTheFirstMemberAttributeIsExpanded) {
  directory_.add({"cn=g,o=test",
                  {{"objectClass", {"cn=p3,o=test"}},
                   {"uniqueMember", {"cn=p1,o=test"}},
                   {"member", {"cn=p2,o=test"}}}});
  directory_.everyAttribute = true;
  const Dns p1 = subscribers("cn=p1,o=test", "p1", 1);
  subscribers("cn=p2,o=test", "p2", 1);
  subscribers("cn=p3,o=test", "p3", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, p1);
  EXPECT_EQ(directory_.filters.size(), 1u);
}

TEST_F(ExpandTest, GroupMemberWithItsOwnSubscriberIsNotExpanded) {
  directory_.group("cn=g,o=test", {"cn=s,o=test"});
  directory_.group("cn=s,o=test", {"cn=p,o=test"});
  subscribers("cn=p,o=test", "p", 1);
  const Dns own = subscribers("cn=s,o=test", "s", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, own);
  EXPECT_EQ(readsOf("cn=s,o=test"), 0u);
}

TEST_F(ExpandTest, EmptySubscriberListIsAnAnswerSoTheMemberIsNotRead) {
  directory_.group("cn=g,o=test", {"cn=s,o=test"});
  directory_.group("cn=s,o=test", {"cn=p,o=test"});
  subscribers("cn=p,o=test", "p", 1);
  directory_.noSubscribers("cn=s,o=test", true);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  EXPECT_TRUE(dns.empty());
  EXPECT_EQ(readsOf("cn=s,o=test"), 0u);
}

TEST_F(ExpandTest, NestedGroupsOfEitherClassAreExpanded) {
  directory_.group("cn=g,o=test", {"cn=u,o=test", "cn=n,o=test", "cn=x,o=test"});
  directory_.group("cn=u,o=test", {"cn=p1,o=test"}, "groupOfUniqueNames", "uniqueMember");
  directory_.group("cn=n,o=test", {"cn=p2,o=test"}, "GROUPOFNAMES");
  directory_.group("cn=x,o=test", {"cn=p3,o=test"}, "organizationalUnit");  // no group class
  const Dns p1 = subscribers("cn=p1,o=test", "p1", 1);
  const Dns p2 = subscribers("cn=p2,o=test", "p2", 1);
  subscribers("cn=p3,o=test", "p3", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, p1 + p2);
}

TEST_F(ExpandTest, FailingNestedExpansionFailsAllAndReleasesEverything) {
  directory_.group("cn=g,o=test", {"cn=p1,o=test", "cn=s,o=test"});
  directory_.group("cn=s,o=test", {"cn=p2,o=test"});
  subscribers("cn=p1,o=test", "p1", 3);
  subscribers("cn=p2,o=test", "p2", 1);
  // The member read finds the group, its own read as a group does not.
  extension().onSearch([this](const SearchCall& call) {
    if (call.flags == QOR_SEARCH_READ_DN && call.text == "cn=s,o=test" && call.attributes) {
      return SearchResponse{};
    }
    return directory_.answer(call);
  });
  const Footprint before = footprint();
  Dns dns;
  EXPECT_EQ(expand("cn=g,o=test", &dns), DS_W_NOT_FOUND);
  EXPECT_EQ(footprint(), before);
}

// What the directory does to one request of an expansion: g has the
// members p1, p2, s (a group of p4) and p3; p2 has no subscribers of its
// own, so it is read by its DN.
enum class Target { kSubscribersOfP1, kReadOfP2, kReadOfGroupS };

struct FaultCase {
  const char* label;
  Target target;
  bool entries;     // the request still returns what it found
  VQStatus status;  // recorded by the request
  uint32_t expected;
};
void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.label;
}

class ExpandFaultTest : public ExpandTest, public ::testing::WithParamInterface<FaultCase> {
 protected:
  void expectOutcome(bool batched);
  bool hits(const SearchCall& call) const {
    const bool read = call.flags == QOR_SEARCH_READ_DN;
    switch (GetParam().target) {
      case Target::kSubscribersOfP1:
        return !read && call.text->find("cn=p1,o=test") != std::string::npos;
      case Target::kReadOfP2:
        return read && call.text == "cn=p2,o=test";
      case Target::kReadOfGroupS:
        return read && call.text == "cn=s,o=test" && call.attributes.has_value();
    }
    return false;
  }
};

// A request that could not be made fails the whole expansion at once, with
// nothing left behind; "nothing there" lets the member fall back or be
// skipped; entries with a warning are kept and the warning is returned.
// Sent in batches, the same requests give the same outcome, though the
// members after a failing one have been asked already.
TEST_P(ExpandFaultTest, OnlyNothingThereLetsAMemberGoWithoutItsSubscribers) {
  expectOutcome(false);
}

TEST_P(ExpandFaultTest, BatchedRequestsGiveTheSameOutcome) {
  extension().offerSearchBatch(BatchOffer::kAnswered);
  expectOutcome(true);
  // g's combined subscriber search, the searches of the members it gave
  // nothing (or of all, when it failed), the reads of p2 and s, the read of
  // s as a group, then (unless the expansion failed before s) s's
  // subscriber search. A combined search that timed out is not asked again
  // member by member: its timeout fails the expansion at once.
  const bool combinedTimedOut =
      GetParam().target == Target::kSubscribersOfP1 && GetParam().status == VQ_LDAP(0x55);
  EXPECT_EQ(extension().count<SearchBatchCall>(), combinedTimedOut                   ? 1u
                                                  : DS_IS_ERROR(GetParam().expected) ? 4u
                                                                                     : 5u);
}

void ExpandFaultTest::expectOutcome(bool batched) {
  const FaultCase& c = GetParam();
  directory_.group("cn=g,o=test", {"cn=p1,o=test", "cn=p2,o=test", "cn=s,o=test", "cn=p3,o=test"});
  directory_.group("cn=s,o=test", {"cn=p4,o=test"});
  directory_.person("cn=p2,o=test");
  const Dns p1 = subscribers("cn=p1,o=test", "p1", 2);
  const Dns p3 = subscribers("cn=p3,o=test", "p3", 1);
  const Dns p4 = subscribers("cn=p4,o=test", "p4", 1);
  std::size_t faulted = 0;
  extension().onSearch([&](const SearchCall& call) {
    if (!hits(call)) {
      SearchResponse answered = directory_.answer(call);
      answered.status = answered.status.value_or(0);  // every request records, as libldap's does
      return answered;
    }
    faulted = extension().count<SearchCall>();
    SearchResponse response = directory_.answer(call);
    if (!c.entries) response.entries.reset();
    response.status = c.status;
    return response;
  });
  const Footprint before = footprint();
  dsent** list = untouched_;
  EXPECT_EQ(ops().dsexpgrp(handle(), "cn=g,o=test", &list, 1), c.expected);
  if (DS_IS_ERROR(c.expected)) {
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(footprint(), before);
    EXPECT_EQ(ops().dsgeterr(handle()), c.status) << "the status of the request that failed";
    if (!batched) {
      EXPECT_EQ(searches(), faulted + 1) << "no request after the failing one";
    }
    return;
  }
  const bool p1Lost = c.target == Target::kSubscribersOfP1 && !c.entries;
  const bool p4Lost = c.target == Target::kReadOfGroupS;
  EXPECT_EQ(dnsOf(list), (p1Lost ? Dns{} : p1) + (p4Lost ? Dns{} : p4) + p3);
  release(list);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandFaultTest,
    ::testing::Values(
        FaultCase{"subscribers server down", Target::kSubscribersOfP1, false, VQ_LDAP(0x51),
                  0x80144051},
        FaultCase{"subscribers timeout", Target::kSubscribersOfP1, false, VQ_LDAP(0x55),
                  0x80144055},
        FaultCase{"subscribers busy", Target::kSubscribersOfP1, false, VQ_LDAP(0x33), 0x80144033},
        FaultCase{"subscribers no access", Target::kSubscribersOfP1, false, VQ_LDAP(0x32),
                  0x80144032},
        FaultCase{"subscribers size limit", Target::kSubscribersOfP1, true, VQ_LDAP(0x04),
                  0x00144004},
        FaultCase{"subscribers admin limit", Target::kSubscribersOfP1, true, VQ_LDAP(0x0B),
                  0x0014400B},
        FaultCase{"subscribers base missing", Target::kSubscribersOfP1, false, VQ_LDAP(0x20),
                  0x80144020},
        FaultCase{"member read unavailable", Target::kReadOfP2, false, VQ_LDAP(0x34), 0x80144034},
        FaultCase{"member read invalid dn", Target::kReadOfP2, false, VQ_LDAP(0x22), 0x80144022},
        FaultCase{"member read no such object", Target::kReadOfP2, false, VQ_LDAP(0x20), DS_OK},
        FaultCase{"nested group read timeout", Target::kReadOfGroupS, false, VQ_LDAP(0x55),
                  0x80144055}),
    LabelName{});

TEST_F(ExpandTest, UniqueMemberIsSearchedWithoutItsOptionalUid) {
  directory_.group("cn=g,o=test", {"cn=p1,o=test#'0101'B", "cn=s,o=test#''B"}, "groupOfUniqueNames",
                   "uniqueMember");
  directory_.group("cn=s,o=test", {"cn=p2,o=test#'1'B"});  // not a uniqueMember value
  const Dns p1 = subscribers("cn=p1,o=test", "p1", 1);
  subscribers("cn=p2,o=test", "p2", 1);
  const Dns tagged = subscribers("cn=p2,o=test#'1'B", "tagged", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, p1 + tagged);
  EXPECT_EQ(readsOf("cn=s,o=test"), 2u);
}

// Levels of two groups, both members of each group of the level above: 2^n
// paths, each distinct group still searched once.
TEST_F(ExpandTest, LatticeOfDiamondsSearchesEachGroupOnce) {
  constexpr int kLevels = 12;
  lattice(kLevels);
  const Dns p = subscribers("cn=p,o=test", "p", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=top,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, Dns(std::size_t{1} << kLevels, p[0]));
  // Per group: its subscriber search, its read as a member and as a group;
  // the person's subscriber search; the top group's read.
  EXPECT_EQ(searches(), 3u * 2 * kLevels + 1 + 1);
}

// Past its limit an expansion fails cleanly instead of exhausting memory:
// 2^17 paths to one subscriber (an entry without attributes, so that the
// copies stay cheap) would list 131,072 entries.
TEST_F(ExpandTest, ResultPastTheLimitFailsAndReleasesEverything) {
  lattice(17);
  extension().onSearch([this](const SearchCall& call) {
    if (call.flags != QOR_SEARCH_READ_DN && call.text->find("cn=p,o=test") != std::string::npos) {
      return SearchResponse{Entries{{"cn=sub,o=test", {}}}, std::nullopt};
    }
    return directory_.answer(call);
  });
  const Footprint before = footprint();
  Dns dns;
  EXPECT_EQ(expand("cn=top,o=test", &dns), DS_E_EXPANSION_TOO_LARGE);
  EXPECT_EQ(footprint(), before);
}

// A contribution in which a cycle was cut depends on the path it was met
// on, so it is expanded anew at its next place.
TEST_F(ExpandTest, ContributionWithACutCycleIsExpandedAgainElsewhere) {
  directory_.group("cn=t,o=test", {"cn=g,o=test", "cn=y,o=test"});
  directory_.group("cn=g,o=test", {"cn=y,o=test", "cn=pg,o=test"});
  directory_.group("cn=y,o=test", {"cn=g,o=test", "cn=py,o=test"});
  const Dns pg = subscribers("cn=pg,o=test", "pg", 1);
  const Dns py = subscribers("cn=py,o=test", "py", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=t,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, py + pg + pg + py);
}

struct GrowthCase {
  int subscribers;
  std::size_t slots;
};
void PrintTo(const GrowthCase& c, std::ostream* out) {
  *out << c.subscribers << " subscribers in " << c.slots << " slots";
}

class ExpandGrowthTest : public ExpandTest, public ::testing::WithParamInterface<GrowthCase> {};

TEST_P(ExpandGrowthTest, MemberListGrowsByTwentySlots) {
  // Spread over two members, so the list grows while entries are moved in.
  const int first = GetParam().subscribers / 2;
  directory_.group("cn=g,o=test", {"cn=p1,o=test", "cn=p2,o=test"});
  const Dns expected = subscribers("cn=p1,o=test", "p1", first) +
                       subscribers("cn=p2,o=test", "p2", GetParam().subscribers - first);
  dsent** list = untouched_;
  ASSERT_EQ(ops().dsexpgrp(handle(), "cn=g,o=test", &list, 1), DS_OK);
  EXPECT_EQ(kernel().blockSize(handle()->pool, list), GetParam().slots * sizeof(dsent*));
  EXPECT_EQ(dnsOf(list), expected);
  release(list);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExpandGrowthTest,
                         ::testing::Values(GrowthCase{1, 20}, GrowthCase{19, 20},
                                           GrowthCase{20, 40}, GrowthCase{39, 40},
                                           GrowthCase{40, 60}, GrowthCase{65, 80}));

struct EscapeCase {
  const char* member;
  const char* inFilter;
};
void PrintTo(const EscapeCase& c, std::ostream* out) {
  *out << c.member;
}

class ExpandEscapeTest : public ExpandTest, public ::testing::WithParamInterface<EscapeCase> {};

TEST_P(ExpandEscapeTest, MemberDnIsEscapedAsAnAssertionValue) {
  const std::string member = GetParam().member;
  directory_.group("cn=g,o=test", {member});
  const Dns own = subscribers(member, "m", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  ASSERT_EQ(directory_.filters.size(), 1u);
  EXPECT_EQ(directory_.filters[0],
            std::string(Directory::kPlainPrefix) + GetParam().inFilter + "))");
  EXPECT_EQ(dns, own);  // the directory read the value back as the member's DN
}

INSTANTIATE_TEST_SUITE_P(
    Members, ExpandEscapeTest,
    ::testing::Values(EscapeCase{"cn=Doe\\, Pat,o=Org", "cn=Doe\\5c, Pat,o=Org"},
                      EscapeCase{"*", "\\2a"},
                      EscapeCase{"x)(objectclass=*", "x\\29\\28objectclass=\\2a"},
                      EscapeCase{"cn=a(b)\\5c", "cn=a\\28b\\29\\5c5c"},
                      EscapeCase{"cn=plain,o=test", "cn=plain,o=test"}));

TEST_F(ExpandTest, LongMemberDnsAreExpandedWhole) {
  const auto longDn = [](const std::string& name) {
    std::string dn = "cn=" + name;
    dn.resize(400 - 7, 'x');
    return dn + ",o=test";
  };
  const std::string person = longDn("person");
  const std::string nested = longDn("group");
  ASSERT_EQ(person.size(), 400u);
  directory_.group("cn=g,o=test", {person, nested});
  directory_.group(nested, {"cn=p,o=test"});
  const Dns own = subscribers(person, "long", 2);
  const Dns inner = subscribers("cn=p,o=test", "p", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, own + inner);
  EXPECT_EQ(directory_.filters[0], std::string(Directory::kPlainPrefix) + person + "))");
  EXPECT_EQ(readsOf(nested), 2u);  // as a member, then as a group
}

TEST_F(ExpandTest, GroupThatNamesItselfIsExpandedOnce) {
  directory_.group("cn=g,o=test", {"cn=g,o=test", "cn=p,o=test"});
  const Dns p = subscribers("cn=p,o=test", "p", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=g,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, p);
  EXPECT_EQ(readsOf("cn=g,o=test"), 2u);  // as the group, then as its own member
}

TEST_F(ExpandTest, CycleThroughAnotherGroupIsCut) {
  directory_.group("cn=a,o=test", {"cn=b,o=test", "cn=pa,o=test"});
  directory_.group("cn=b,o=test", {"cn=a,o=test", "cn=pb,o=test"});
  const Dns pa = subscribers("cn=pa,o=test", "pa", 1);
  const Dns pb = subscribers("cn=pb,o=test", "pb", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=a,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, pb + pa);
  // Started from b, the same cycle gives the members in b's order.
  ASSERT_EQ(expand("cn=b,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, pa + pb);
}

TEST_F(ExpandTest, CycleIsFoundWhateverCaseAndBlanksTheDnIsWrittenIn) {
  directory_.group("cn=a,o=test", {"cn=b,o=test"});
  directory_.group("cn=b,o=test", {"CN=A , O=Test", "cn=pb,o=test"});
  // This directory echoes the DN as it was asked for.
  directory_.addAs(
      "CN=A , O=Test",
      {"CN=A , O=Test", {{"objectClass", {"groupOfNames"}}, {"member", {"cn=b,o=test"}}}});
  const Dns pb = subscribers("cn=pb,o=test", "pb", 1);
  Dns dns;
  ASSERT_EQ(expand("cn=a,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, pb);
  EXPECT_EQ(readsOf("CN=A , O=Test"), 1u);  // read as a member, not expanded
}

TEST_F(ExpandTest, DiamondIsExpandedAtBothPlaces) {
  directory_.group("cn=a,o=test", {"cn=b,o=test", "cn=c,o=test"});
  directory_.group("cn=b,o=test", {"cn=d,o=test"});
  directory_.group("cn=c,o=test", {"cn=d,o=test"});
  directory_.group("cn=d,o=test", {"cn=p,o=test"});
  const Dns p = subscribers("cn=p,o=test", "p", 2);
  Dns dns;
  ASSERT_EQ(expand("cn=a,o=test", &dns), DS_OK);
  EXPECT_EQ(dns, p + p);
}

class ExpandDepthTest : public ExpandTest {
 protected:
  // g0 -> g1 -> ... -> g<levels>, whose member has one subscriber.
  Dns chain(int levels) {
    for (int level = 0; level < levels; ++level) {
      directory_.group(groupDn(level), {groupDn(level + 1)});
    }
    directory_.group(groupDn(levels), {"cn=p,o=test"});
    return subscribers("cn=p,o=test", "p", 1);
  }
  static std::string groupDn(int level) { return "cn=g" + std::to_string(level) + ",o=test"; }
};

// Thirty-two levels of groups below the one asked for are expanded; one more
// fails the whole expansion rather than leave its subscribers out unseen.
TEST_F(ExpandDepthTest, NestingIsExpandedUpToTheBound) {
  const Dns deepest = chain(32);
  Dns dns;
  ASSERT_EQ(expand(groupDn(0), &dns), DS_OK);
  EXPECT_EQ(dns, deepest);
}

TEST_F(ExpandDepthTest, NestingBeyondTheBoundFailsAndReleasesEverything) {
  chain(33);
  const Footprint before = footprint();
  Dns dns;
  EXPECT_EQ(expand(groupDn(0), &dns), DS_E_LOOP_DETECT);
  EXPECT_EQ(footprint(), before);
  EXPECT_EQ(readsOf(groupDn(33)), 1u);  // read as g32's member, never as a group
  // From one level down the same chain is within the bound.
  ASSERT_EQ(expand(groupDn(1), &dns), DS_OK);
  EXPECT_EQ(dns.size(), 1u);
}

// A group already expanded keeps its depth when it is copied deeper down,
// and so does a group that copied it: t -> w -> g0 -> ... -> g30 ends at
// depth 32, t -> u -> w -> g0 -> ... would end at 33.
TEST_F(ExpandDepthTest, CopiedGroupsKeepTheDepthBound) {
  chain(30);
  directory_.group("cn=t,o=test", {groupDn(0), "cn=w,o=test"});
  directory_.group("cn=w,o=test", {groupDn(0)});
  Dns dns;
  ASSERT_EQ(expand("cn=t,o=test", &dns), DS_OK);
  EXPECT_EQ(dns.size(), 2u);
  directory_.group("cn=t,o=test", {groupDn(0), "cn=w,o=test", "cn=u,o=test"});
  directory_.group("cn=u,o=test", {"cn=w,o=test"});
  const Footprint before = footprint();
  EXPECT_EQ(expand("cn=t,o=test", &dns), DS_E_LOOP_DETECT);
  EXPECT_EQ(footprint(), before);
}

// Every allocation, those inside the searches and the class tests included,
// fails the expansion with nothing left but an abandoned list: the subscriber
// copy for p1 cannot grow past 20 entries, or the member list cannot grow
// while the 20th entry moves in (the entries not moved yet are released).
TEST_F(ExpandTest, EveryAllocationFailureFailsTheExpansionAndReleasesIt) {
  sweepExpansion();
}

void ExpandTest::sweepExpansion() {
  directory_.group("cn=g,o=test", {"cn=p1,o=test", "cn=s,o=test", "cn=s,o=test"});
  directory_.group("cn=s,o=test", {"cn=p2,o=test", "cn=d,o=test"});
  directory_.group("cn=d,o=test", {"cn=p3,o=test"}, "groupOfUniqueNames", "uniqueMember");
  const Dns p1 = subscribers("cn=p1,o=test", "p1", 21);
  const Entries first20(created_.begin(), created_.begin() + 20);
  const Entries first19(created_.begin(), created_.begin() + 19);
  const Dns p2 = subscribers("cn=p2,o=test", "p2", 2);
  const Dns p3 = subscribers("cn=p3,o=test", "p3", 1);
  const Dns expected = p1 + p2 + p3 + p2 + p3;
  const Footprint copyAbandoned = copyCost(first20) + pointerArray(21);
  const Footprint memberListAbandoned = copyCost(first19) + pointerArray(20);
  sweep(
      [&] {
        Dns dns;
        const uint32_t status = expand("cn=g,o=test", &dns);
        if (status == DS_OK) {
          EXPECT_EQ(dns, expected);
        }
        return status;
      },
      DS_E_NO_MEMORY, {copyAbandoned, memberListAbandoned});
}

}  // namespace
}  // namespace qortest

namespace qortest {
namespace {

class ExpandBatchTest : public ExpandTest, public ::testing::WithParamInterface<BatchOffer> {};

// A group past two stretches of members, with members without subscribers
// (nothing found, or an empty answer), a repeated member, a nested group
// reached twice (a diamond), a group naming the group back (a cycle), a
// uniqueMember group and a size-limited member, expanded one search at a
// time and then in batches: the same entries in the same order with the
// same warning, in far fewer round trips when the batches are answered, and
// one by one when the connection refuses them.
TEST_P(ExpandBatchTest, BatchedExpansionListsWhatOneByOneLists) {
  Dns members;
  for (int i = 0; i < 250; ++i) {
    const std::string person = "cn=p" + std::to_string(i) + ",o=test";
    members.push_back(person);
    subscribers(person, "p" + std::to_string(i), i % 3);
    if (i % 3 == 0) directory_.person(person);
  }
  directory_.noSubscribers("cn=p3,o=test", true);
  members.insert(members.begin() + 120, {"cn=p7,o=test", "cn=s,o=test", "cn=c,o=test"});
  members.insert(members.end(), {"cn=s,o=test", "cn=u,o=test"});
  directory_.group("cn=g,o=test", members);
  directory_.group("cn=s,o=test", {"cn=p1,o=test", "cn=q,o=test"});
  directory_.group("cn=c,o=test", {"cn=g,o=test", "cn=r,o=test"});
  directory_.group("cn=u,o=test", {"cn=p2,o=test#'01'B", "cn=s,o=test"}, "groupOfUniqueNames",
                   "uniqueMember");
  subscribers("cn=q,o=test", "q", 2);
  subscribers("cn=r,o=test", "r", 1);
  extension().onSearch([this](const SearchCall& call) {
    SearchResponse response = directory_.answer(call);
    if (call.flags != QOR_SEARCH_READ_DN && call.text->find("cn=p10,o=test") != std::string::npos) {
      response.status = VQ_LDAP(0x04);
    }
    return response;
  });
  const auto expandWithWarning = [this](Dns* dns) {
    dsent** list = untouched_;
    const uint32_t status = ops().dsexpgrp(handle(), "cn=g,o=test", &list, 1);
    if (list != nullptr && list != untouched_) {
      *dns = dnsOf(list);
      release(list);
    }
    return status;
  };
  Dns oneByOne;
  const uint32_t expected = expandWithWarning(&oneByOne);
  ASSERT_EQ(expected, 0x00144004u);
  const std::size_t sequentialTrips = roundTrips();
  extension().clearCalls();

  extension().offerSearchBatch(GetParam());
  const Footprint before = footprint();
  Dns batched;
  EXPECT_EQ(expandWithWarning(&batched), expected);
  EXPECT_EQ(batched, oneByOne);
  EXPECT_EQ(footprint(), before);
  for (const SearchBatchCall& batch : extension().calls<SearchBatchCall>()) {
    EXPECT_LE(batch.count, QOR_SEARCH_BATCH_WINDOW);
    EXPECT_EQ(batch.window, QOR_SEARCH_BATCH_WINDOW);
  }
  if (GetParam() == BatchOffer::kAnswered) {
    EXPECT_LT(roundTrips() * 10, sequentialTrips);
    // Nested groups are read as groups in their stretch's batch; only the
    // group asked for is read on its own.
    for (const SearchCall& call : extension().calls<SearchCall>()) {
      if (call.attributes && *call.text != "cn=g,o=test") {
        EXPECT_TRUE(call.inBatch) << *call.text;
      }
    }
  } else {
    EXPECT_EQ(roundTrips(), sequentialTrips + extension().count<SearchBatchCall>());
  }
}

// Allocation failures inside the batches (their arrays, filters, answers)
// are handled as those of single searches, with every answer given back.
TEST_P(ExpandBatchTest, EveryAllocationFailureFailsTheExpansionAndReleasesIt) {
  extension().offerSearchBatch(GetParam());
  sweepExpansion();
}

INSTANTIATE_TEST_SUITE_P(Offers, ExpandBatchTest,
                         ::testing::Values(BatchOffer::kAnswered, BatchOffer::kRefused),
                         [](const ::testing::TestParamInfo<BatchOffer>& info) {
                           return info.param == BatchOffer::kAnswered ? "answered" : "refused";
                         });

// A stretch whose subscriber searches go out as one combined search, and
// the cases in which it must be searched member by member instead; either
// way the expansion lists what it lists one search at a time.
struct CombinedCase {
  const char* label;
  const char* oddMember;             // a fourth member, or null
  std::vector<std::string> p1Names;  // the qorpersondn values of p1's subscribers
  // What the server adds to the combined search's answer alone.
  std::function<void(SearchResponse&)> change;
  bool combined;  // whether its answer stands
};
void PrintTo(const CombinedCase& c, std::ostream* out) {
  *out << c.label;
}

class ExpandCombinedTest : public ExpandTest, public ::testing::WithParamInterface<CombinedCase> {};

TEST_P(ExpandCombinedTest, AnswersAsOneSearchPerMember) {
  const CombinedCase& c = GetParam();
  Dns members = {"cn=p1,o=test", "cn=p2,o=test", "cn=p3,o=test"};
  if (c.oddMember != nullptr) members.emplace_back(c.oddMember);
  for (std::size_t i = 0; i < members.size(); ++i) {
    for (int k = 0; k < 2; ++k) {
      const std::string dn = "cn=sub-" + std::to_string(i) + "-" + std::to_string(k);
      directory_.subscriber(members[i], true, dn, i == 0 ? c.p1Names : Dns{});
    }
  }
  directory_.group("cn=g,o=test", members);
  extension().onSearch([this, &c](const SearchCall& call) {
    SearchResponse response = directory_.answer(call);
    if (call.text->find("(|(qorpersondn=") != std::string::npos && c.change) c.change(response);
    return response;
  });
  Dns oneByOne;
  const uint32_t expected = expand("cn=g,o=test", &oneByOne);
  extension().offerSearchBatch(BatchOffer::kAnswered);
  directory_.filters.clear();
  Dns batched;
  EXPECT_EQ(expand("cn=g,o=test", &batched), expected);
  EXPECT_EQ(batched, oneByOne);
  std::size_t memberSearches = 0;
  for (const std::string& filter : directory_.filters) {
    memberSearches += filter.find("(|(qorpersondn=") == std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(memberSearches, c.combined ? 0 : members.size())
      << ::testing::PrintToString(directory_.filters);
}

// An entry the server adds to the combined answer, as one whose qorpersondn
// it holds equal to a member's where the client cannot tell.
void addEntry(SearchResponse& response, const Dns& names) {
  if (!response.entries) response.entries.emplace();
  response.entries->push_back(
      {"cn=extra,o=test", {{"objectClass", {"qorSubscriber"}}, {"qorpersondn", names}}});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandCombinedTest,
    ::testing::Values(
        CombinedCase{"combined", nullptr, {}, nullptr, true},
        CombinedCase{
            "member beside another", nullptr, {"cn=p1,o=test", "cn=x,o=test"}, nullptr, true},
        CombinedCase{"member in other bytes beside another",
                     nullptr,
                     {"CN=P1,o=test", "cn=x,o=test"},
                     nullptr,
                     false},
        CombinedCase{"another spelling", "CN=P1, o=test", {}, nullptr, false},
        CombinedCase{"beyond ascii", "cn=p\xc3\xa9,o=test", {}, nullptr, false},
        CombinedCase{
            "size limit", nullptr, {}, [](SearchResponse& r) { r.status = VQ_LDAP(0x04); }, false},
        CombinedCase{"nobody's entry",
                     nullptr,
                     {},
                     [](SearchResponse& r) { addEntry(r, {"cn=nobody,o=test"}); },
                     false},
        CombinedCase{"no person", nullptr, {}, [](SearchResponse& r) { addEntry(r, {}); }, false}),
    LabelName{});

}  // namespace
}  // namespace qortest
