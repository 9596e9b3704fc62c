// dsrslvdn and dsreslv: what reaches the search, how its result is copied
// into the module's records, the status bracket of dsreslv, and that every
// failure leaves the pool as it was and gives the result back once.
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/case_names.h"

#include "query_test_support.h"

namespace qortest {
namespace {

using Resolve = uint32_t (*)(dshandle*, const char*, const char* const*, dsent***);

Entries numbered(std::size_t count) {
  Entries entries;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name = "e" + std::to_string(i);
    entries.push_back({"cn=" + name + ",o=test", {{"cn", {name}}, {"mail", {name + "@x", "y"}}}});
  }
  return entries;
}

Entries firstOf(const Entries& entries, std::size_t count) {
  return Entries(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(count));
}

class ResolveTest : public QueryTest {
 protected:
  Resolve resolve(bool byDn) { return byDn ? ops().dsrslvdn : ops().dsreslv; }
  qor_pool* pool() { return handle()->pool; }
  std::size_t blockSize(const void* block) {
    return kernel().blockSize(pool(), block).value_or(SIZE_MAX);
  }
  SearchCall onlySearch() {
    const std::vector<SearchCall> calls = extension().calls<SearchCall>();
    EXPECT_EQ(calls.size(), 1u);
    return calls.empty() ? SearchCall{} : calls.back();
  }

  dsent* unused_ = nullptr;
  dsent** const untouched_ = &unused_;  // what the caller's place held before
};

TEST_F(ResolveTest, RefusesMissingConnectionOrPlaceBeforeAnySearch) {
  dshandle withoutConnection = *handle();
  withoutConnection.connection = nullptr;
  for (bool byDn : {true, false}) {
    SCOPED_TRACE(byDn ? "dsrslvdn" : "dsreslv");
    dsent** place = untouched_;
    EXPECT_EQ(resolve(byDn)(nullptr, "cn=x", nullptr, &place), DS_E_NO_CONNECTION);
    EXPECT_EQ(resolve(byDn)(nullptr, "cn=x", nullptr, nullptr), DS_E_NO_CONNECTION);
    EXPECT_EQ(resolve(byDn)(&withoutConnection, "cn=x", nullptr, &place), DS_E_NO_CONNECTION);
    EXPECT_EQ(resolve(byDn)(handle(), "cn=x", nullptr, nullptr), DS_E_MISSING_ARGUMENT);
    EXPECT_EQ(place, untouched_);
  }
  EXPECT_EQ(extension().count<SearchCall>(), 0u);
}

TEST_F(ResolveTest, DnReadHandsTheSearchItsTextSelectionAndStatusObject) {
  answerAlways(Entries{{"cn=Pat,o=test", {}}});
  const char* const selection[] = {"member", "uniquemember", nullptr};
  dsent** list = untouched_;
  ASSERT_EQ(ops().dsrslvdn(handle(), "cn=Pat,o=test", selection, &list), DS_OK);
  const SearchCall search = onlySearch();
  EXPECT_EQ(search.flags, uint64_t{QOR_SEARCH_READ_DN});
  EXPECT_EQ(search.text, "cn=Pat,o=test");
  EXPECT_EQ(search.length, 13);
  EXPECT_EQ(search.attributes, (std::vector<std::string>{"member", "uniquemember"}));
  EXPECT_EQ(search.status, handle()->statusObject);
  release(list);
}

TEST_F(ResolveTest, NullTextIsSearchedAsEmptyAndNoSelectionAsNull) {
  for (bool byDn : {true, false}) {
    extension().clearCalls();
    dsent** list = untouched_;
    EXPECT_EQ(resolve(byDn)(handle(), nullptr, nullptr, &list), DS_W_NOT_FOUND);
    const SearchCall search = onlySearch();
    EXPECT_EQ(search.text, std::nullopt);
    EXPECT_EQ(search.length, 0);
    EXPECT_EQ(search.attributes, std::nullopt);
  }
}

TEST_F(ResolveTest, CopiesEntriesAttributesAndValuesAsTextInOrder) {
  const std::string withZero("a\0b", 3);
  const Entries entries{
      {"cn=Pat Doe,ou=People,o=test",
       {{"cn", {"Pat Doe", "Pat"}}, {"description", {}}, {"note", {""}}, {"blob", {withZero}}}},
      {"cn=empty,o=test", {}},
  };
  answerAlways(entries);
  dsent** list = untouched_;
  ASSERT_EQ(ops().dsrslvdn(handle(), "cn=Pat Doe,ou=People,o=test", nullptr, &list), DS_OK);
  EXPECT_EQ(freeResults(), 1u);
  Entries asTexts = entries;  // read as a text, the blob ends at its zero byte
  asTexts[0].attributes[3].values[0] = "a";
  EXPECT_EQ(render(list), render(asTexts));

  // Every block has exactly the size of what it holds plus its terminator.
  EXPECT_EQ(blockSize(list), 21 * sizeof(dsent*));
  ASSERT_EQ(countOf(list), 2u);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const dsent* entry = list[e];
    EXPECT_EQ(blockSize(entry->dn), entries[e].dn.size() + 1);
    EXPECT_EQ(blockSize(entry->atts), (entries[e].attributes.size() + 1) * sizeof(dsatt*));
    for (std::size_t a = 0; a < entries[e].attributes.size(); ++a) {
      const dsatt* att = entry->atts[a];
      const Attribute& expected = entries[e].attributes[a];
      EXPECT_EQ(blockSize(att->name), expected.name.size() + 1);
      ASSERT_EQ(att->nvals, static_cast<int32_t>(expected.values.size()));
      EXPECT_EQ(blockSize(att->vals), (expected.values.size() + 1) * sizeof(dsval*));
      EXPECT_EQ(att->vals[att->nvals], nullptr);
      for (int32_t v = 0; v < att->nvals; ++v) {
        const dsval* value = att->vals[v];
        EXPECT_EQ(value->type, DSV_TEXT);
        EXPECT_EQ(value->data.number, 0);
        // Only a value with a zero byte among its bytes carries their count.
        const std::string& bytes = expected.values[v];
        EXPECT_EQ(value->len, bytes.find('\0') == std::string::npos ? 0 : bytes.size());
        EXPECT_EQ(blockSize(value->text), bytes.size() + 1);
      }
    }
  }
  // A value holding a zero byte is copied whole, with its terminator after it.
  const dsval* blob = list[0]->atts[3]->vals[0];
  EXPECT_EQ(std::memcmp(blob->text, "a\0b\0", 4), 0);
  EXPECT_STREQ(list[0]->atts[2]->vals[0]->text, "");
  release(list);
}

TEST_F(ResolveTest, NothingReturnedIsAWarningThatLeavesThePlaceAlone) {
  answerAlways(std::nullopt);
  for (bool byDn : {true, false}) {
    dsent** place = untouched_;
    EXPECT_EQ(resolve(byDn)(handle(), "cn=nobody,o=test", nullptr, &place), DS_W_NOT_FOUND);
    EXPECT_EQ(place, untouched_);
  }
  EXPECT_EQ(freeResults(), 0u);
}

TEST_F(ResolveTest, EmptyArrayGivesAListWithOnlyItsTerminator) {
  answerAlways(Entries{});
  for (bool byDn : {true, false}) {
    const Footprint before = footprint();
    dsent** list = untouched_;
    ASSERT_EQ(resolve(byDn)(handle(), "(cn=none)", nullptr, &list), DS_OK);
    ASSERT_NE(list, untouched_);
    EXPECT_EQ(list[0], nullptr);
    EXPECT_EQ(footprint() - before, pointerArray(21));
    release(list);
    EXPECT_EQ(footprint(), before);
  }
  EXPECT_EQ(freeResults(), 2u);
}

struct GrowthCase {
  std::size_t entries;
  std::size_t slots;  // of the list that holds them
};
void PrintTo(const GrowthCase& c, std::ostream* out) {
  *out << c.entries << " entries in " << c.slots << " slots";
}

class ResolveGrowthTest : public ResolveTest, public ::testing::WithParamInterface<GrowthCase> {};

TEST_P(ResolveGrowthTest, ListDoublesWhenItIsFull) {
  const Entries entries = numbered(GetParam().entries);
  answerAlways(entries);
  for (bool byDn : {true, false}) {
    dsent** list = untouched_;
    ASSERT_EQ(resolve(byDn)(handle(), "(cn=*)", nullptr, &list), DS_OK);
    EXPECT_EQ(blockSize(list), GetParam().slots * sizeof(dsent*));
    EXPECT_EQ(render(list), render(entries));
    release(list);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ResolveGrowthTest,
                         ::testing::Values(GrowthCase{1, 21}, GrowthCase{20, 21},
                                           GrowthCase{21, 41}, GrowthCase{40, 41},
                                           GrowthCase{41, 81}, GrowthCase{81, 161}));

struct ScopeCase {
  uint64_t options;
  uint64_t flags;
};
void PrintTo(const ScopeCase& c, std::ostream* out) {
  *out << "options 0x" << std::hex << c.options << " -> flags 0x" << c.flags;
}

class ResolveScopeTest : public ResolveTest, public ::testing::WithParamInterface<ScopeCase> {};

TEST_P(ResolveScopeTest, ScopeOptionBecomesTheSearchFlags) {
  handle()->options = GetParam().options;
  dsent** list = untouched_;
  EXPECT_EQ(ops().dsreslv(handle(), "(objectclass=person)", nullptr, &list), DS_W_NOT_FOUND);
  const SearchCall search = onlySearch();
  EXPECT_EQ(search.flags, GetParam().flags);
  EXPECT_EQ(search.text, "(objectclass=person)");
  EXPECT_EQ(search.length, 20);
  EXPECT_EQ(search.status, handle()->statusObject);
}

INSTANTIATE_TEST_SUITE_P(
    Options, ResolveScopeTest,
    ::testing::Values(ScopeCase{0x80000000, 0}, ScopeCase{0x10, 2}, ScopeCase{0x20, 4},
                      ScopeCase{0x30, 0}, ScopeCase{0x80000010, 2}, ScopeCase{0xFFFFFFCF, 0},
                      ScopeCase{0x2F, 4},
                      ScopeCase{DSOPT_OPEN | DSOPT_SCOPE(DSOPT_SCOPE_ONELEVEL), 2},
                      ScopeCase{DSOPT_SCOPE(DSOPT_SCOPE_BASE), 4},
                      ScopeCase{DSOPT_SCOPE(DSOPT_SCOPE_SUBTREE), 0}));

struct BracketCase {
  const char* label;
  bool entries;                    // the search returns entries (else null)
  std::optional<VQStatus> during;  // a failure recorded by the search
  std::optional<VQStatus> before;  // a failure recorded earlier
  uint32_t expected;
  std::optional<uint32_t> expectedForRead = std::nullopt;  // when a DN read differs
};
void PrintTo(const BracketCase& c, std::ostream* out) {
  *out << c.label;
}

class ResolveBracketTest : public ResolveTest, public ::testing::WithParamInterface<BracketCase> {};

TEST_P(ResolveBracketTest, StatusObjectAndMessageNumberDecideTheStatus) {
  const BracketCase& c = GetParam();
  std::optional<Entries> answer;
  if (c.entries) answer = numbered(2);
  answerAlways(answer, c.during);
  // A DN read is bracketed like a filter search: a read that could not be
  // made is never "nothing found".
  for (bool byDn : {false, true}) {
    SCOPED_TRACE(byDn ? "dsrslvdn" : "dsreslv");
    if (c.before) handle()->statusObject->setLastStatus(handle()->statusObject, *c.before);
    dsent** list = untouched_;
    EXPECT_EQ(resolve(byDn)(handle(), "cn=e0,o=test", nullptr, &list),
              byDn ? c.expectedForRead.value_or(c.expected) : c.expected);
    if (c.entries) {
      ASSERT_NE(list, untouched_);
      EXPECT_EQ(countOf(list), 2u);
      release(list);
    } else {
      EXPECT_EQ(list, untouched_);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveBracketTest,
    ::testing::Values(BracketCase{"clean with entries", true, std::nullopt, std::nullopt, DS_OK},
                      BracketCase{"clean without entries", false, std::nullopt, std::nullopt,
                                  DS_W_NOT_FOUND},
                      BracketCase{"failure with entries is a warning", true, VQ_LDAP(0x04),
                                  std::nullopt, 0x00144004},
                      BracketCase{"no such object is nothing found for a read", false,
                                  VQ_LDAP(0x20), std::nullopt, 0x80144020, DS_W_NOT_FOUND},
                      BracketCase{"server gone without entries is an error", false, VQ_LDAP(0x51),
                                  std::nullopt, 0x80144051},
                      BracketCase{"timeout without entries is an error", false, VQ_LDAP(0x55),
                                  std::nullopt, 0x80144055},
                      BracketCase{"status is normalised before conversion", true, 0x80403801u,
                                  std::nullopt, 0x00144001},
                      BracketCase{"unknown status", false, VQ_LDAP(0x62), std::nullopt, DS_E_OTHER},
                      BracketCase{"stale failure with entries is ignored", true, std::nullopt,
                                  VQ_LDAP(0x20), DS_OK},
                      BracketCase{"stale failure without entries is ignored", false, std::nullopt,
                                  VQ_LDAP(0x20), DS_W_NOT_FOUND},
                      BracketCase{"new failure after a stale one counts", false, VQ_LDAP(0x51),
                                  VQ_LDAP(0x20), 0x80144051}),
    LabelName{});

// A status object without the mark, whose operations must not be called.
int unmarkedCalls = 0;
VQStatus unmarkedGetLastStatus(qor_status_object*, uint32_t* code) {
  ++unmarkedCalls;
  if (code != nullptr) *code = VQ_LDAP(0x20);
  return 0;
}

TEST_F(ResolveTest, UnusableStatusObjectReadsAsInvalidStatus) {
  qor_status_object unmarked{};
  unmarked.statusMagic = 0x12345678;
  unmarked.getLastStatus = unmarkedGetLastStatus;
  qor_status_object* const real = handle()->statusObject;
  for (qor_status_object* status : {&unmarked, static_cast<qor_status_object*>(nullptr)}) {
    handle()->statusObject = status;
    // A message issued during the search: 0x80000805 converts to 0x80144050.
    extension().onSearch([this](const SearchCall&) {
      kernel().issueMessage();
      return SearchResponse{numbered(1), std::nullopt};
    });
    dsent** list = untouched_;
    EXPECT_EQ(ops().dsreslv(handle(), "(cn=*)", nullptr, &list), DS_WARNING_FORM(DS_E_OTHER));
    release(list);
    extension().onSearch([this](const SearchCall&) {
      kernel().issueMessage();
      return SearchResponse{std::nullopt, std::nullopt};
    });
    list = untouched_;
    EXPECT_EQ(ops().dsreslv(handle(), "(cn=*)", nullptr, &list), DS_E_OTHER);
    EXPECT_EQ(list, untouched_);
    // No message during the search, and a nonzero message number: ignored.
    kernel().issueMessage();
    answerAlways(numbered(1));
    list = untouched_;
    EXPECT_EQ(ops().dsreslv(handle(), "(cn=*)", nullptr, &list), DS_OK);
    release(list);
  }
  handle()->statusObject = real;
  EXPECT_EQ(unmarkedCalls, 0);
}

// A status object that reports a failure without the host issuing any
// message number: 0 before and after is no proof of a stale status.
VQStatus reportsNoSuchObject(qor_status_object*, uint32_t* code) {
  if (code != nullptr) *code = VQ_LDAP(0x20);
  return 0;
}

TEST_F(ResolveTest, FailureWhileNoMessageWasEverIssuedCounts) {
  qor_status_object silent{};
  silent.statusMagic = QOR_STATUS_MAGIC;
  silent.getLastStatus = reportsNoSuchObject;
  qor_status_object* const real = handle()->statusObject;
  handle()->statusObject = &silent;
  ASSERT_EQ(kernel().messageNumber(), 0u);
  answerAlways(std::nullopt);
  dsent** list = untouched_;
  EXPECT_EQ(ops().dsreslv(handle(), "(cn=*)", nullptr, &list), 0x80144020u);
  EXPECT_EQ(list, untouched_);
  EXPECT_EQ(kernel().messageNumber(), 0u);
  handle()->statusObject = real;
}

class ResolveSweepTest : public ResolveTest, public ::testing::WithParamInterface<bool> {};

// 41 entries: the list is enlarged twice. A failed enlargement abandons the
// list with the entries already copied into it (a host may have freed it);
// every other failure releases everything.
TEST_P(ResolveSweepTest, EveryAllocationFailureReleasesAllButAnAbandonedList) {
  const bool byDn = GetParam();
  const Entries entries = numbered(41);
  answerAlways(entries);
  const std::size_t requests = sweep(
      [&] {
        dsent** list = untouched_;
        const uint32_t status = resolve(byDn)(handle(), "cn=e0,o=test", nullptr, &list);
        if (status == DS_OK) {
          EXPECT_EQ(render(list), render(entries));
          release(list);
        } else {
          EXPECT_EQ(list, untouched_);
        }
        return status;
      },
      DS_E_NO_MEMORY,
      {copyCost(firstOf(entries, 20)) + pointerArray(21),
       copyCost(firstOf(entries, 40)) + pointerArray(41)});
  // The list, the two enlargements, and per entry 3 + 3 * 2 + 2 * 3 blocks.
  EXPECT_EQ(requests, 1 + 2 + 41 * 15u);
}

// A failure reported beside the entries is dropped when the copy fails.
TEST_F(ResolveTest, WarningGivesWayToAFailedCopy) {
  const Entries entries = numbered(3);
  answerAlways(entries, VQ_LDAP(0x04));
  sweep(
      [&] {
        dsent** list = untouched_;
        const uint32_t status = ops().dsreslv(handle(), "(cn=*)", nullptr, &list);
        if (list != untouched_) release(list);
        return status;
      },
      DS_E_NO_MEMORY, {}, 0x00144004);
}

INSTANTIATE_TEST_SUITE_P(Operations, ResolveSweepTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "dsrslvdn" : "dsreslv"; });

}  // namespace
}  // namespace qortest
