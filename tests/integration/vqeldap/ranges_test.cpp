// Ranged attribute values: the extension against a relay that answers as a
// Windows domain controller does (integration/support/ranging_relay.h),
// in front of a slapd that holds a group of 5,000 members. Every way of
// asking gives the answer slapd gives straight, every value under the
// plain name; a slice request answered wrongly fails the whole search.
#include <algorithm>
#include <memory>

#include <gmock/gmock.h>

#include <vqeldap/options.h>

#include "integration/support/large_group.h"
#include "integration/support/ranging_relay.h"
#include "integration/vqeldap/extension_fixture.h"
#include "support/case_names.h"

namespace qortest {
namespace {

using ::testing::HasSubstr;

constexpr int kMembers = 5000;
constexpr VQStatus kDecodingError = VQ_LDAP(0x54);
constexpr VQStatus kServerDown = VQ_LDAP(0x51);
constexpr VQStatus kUnwilling = VQ_LDAP(0x35);
const std::string kCertificatesDn = "uid=certificates,ou=people,o=example";

// Each entry as lines: the DN, then "name: bytes" for every value in order.
std::vector<std::string> linesOf(const std::vector<Ent>& entries) {
  std::vector<std::string> lines;
  for (const Ent& entry : entries) {
    lines.push_back("dn: " + entry.dn);
    for (const Attr& attribute : entry.attributes) {
      for (const Value& value : attribute.values)
        lines.push_back(attribute.name + ": " + value.bytes);
    }
  }
  return lines;
}

bool anyRangedName(const std::vector<Ent>& entries) {
  for (const Ent& entry : entries) {
    for (const Attr& attribute : entry.attributes) {
      if (attribute.name.find(";range=") != std::string::npos) return true;
    }
  }
  return false;
}

// One connection through the relay and one straight to slapd.
class RangesTest : public ExtensionTest {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    options.ldifs = {QOR_SOURCE_DIR "/examples/directory.ldif", largeGroupLdif(kMembers),
                     QOR_SOURCE_DIR "/tests/integration/support/certificates.ldif"};
    return options;
  }
  virtual RangingOptions relayOptions() const { return {}; }
  void SetUp() override {
    ExtensionTest::SetUp();
    if (HasFatalFailure()) return;
    relay_ = std::make_unique<RangingRelay>(server().port(), relayOptions());
    OpenRequest request(relay_->uri());
    request.timeout = 5;
    relayed_ = open(request);
    direct_ = openAnonymous();
    ASSERT_TRUE(relayed_ != nullptr && direct_ != nullptr) << std::hex << lastStatus();
  }
  std::unique_ptr<RangingRelay> relay_;
  qor_connection* relayed_ = nullptr;
  qor_connection* direct_ = nullptr;
};

struct WholeCase {
  const char* label;
  uint64_t flags;
  std::string text;
  bool onlyMember;  // ask for member alone, not every attribute
  bool batched;     // three of the search in one batch
  int pageSize;
};

const WholeCase kWholeCases[] = {
    {"read", QOR_SEARCH_READ_DN, kLargeGroupDn, false, false, 500},
    {"read member", QOR_SEARCH_READ_DN, kLargeGroupDn, true, false, 500},
    {"filter", QOR_SEARCH_SUBTREE, "(cn=large)", false, false, 500},
    {"every group in pages of two", QOR_SEARCH_SUBTREE, "(objectClass=groupOfNames)", false, false,
     2},
    {"batched reads", QOR_SEARCH_READ_DN, kLargeGroupDn, false, true, 500},
    {"batched group searches", QOR_SEARCH_SUBTREE, "(objectClass=groupOfNames)", false, true, 2},
};

class WholeValuesTest : public RangesTest, public ::testing::WithParamInterface<WholeCase> {
 protected:
  std::vector<std::vector<Ent>> batched(const WholeCase& c, const char* const* attributes) {
    qor_search_batch batch = nullptr;
    const std::string name = QOR_SEARCH_BATCH_NAME;
    relayed_->setOption(relayed_, QOR_OPTION_SEARCH_BATCH,
                        static_cast<int64_t>(reinterpret_cast<uintptr_t>(&batch)), 0, name.c_str(),
                        static_cast<int64_t>(name.size()));
    EXPECT_NE(batch, nullptr);
    if (batch == nullptr) return {};
    const ldsearch one{c.flags, c.text.c_str(), static_cast<int64_t>(c.text.size()), attributes};
    std::vector<ldsearch> requests(3, one);
    std::vector<ldanswer> answers(requests.size());
    EXPECT_EQ(batch(relayed_, requests.data(), answers.data(), 3, 2, status()), 0u);
    std::vector<std::vector<Ent>> results;
    for (ldanswer& answer : answers) {
      EXPECT_EQ(answer.status, 0u) << std::hex << answer.status;
      results.push_back(copyResult(answer.result));
      relayed_->freeResult(relayed_, answer.result);
    }
    return results;
  }
};

// Through the relay the answer is slapd's own, line for line: every value
// of member in the server's order under the plain name, no slice left,
// three slice requests for each time the group came (0-1499 came with it).
TEST_P(WholeValuesTest, EveryWayOfAskingGetsEveryValue) {
  const WholeCase& c = GetParam();
  for (qor_connection* connection : {relayed_, direct_}) {
    ASSERT_EQ(connection->setOption(connection, VQELDAP_OPT_PAGE_SIZE, c.pageSize, 0, nullptr, 0),
              0u);
  }
  const char* const member[] = {"member", nullptr};
  const char* const* attributes = c.onlyMember ? member : nullptr;
  const std::vector<Ent> expected = search(direct_, c.flags, c.text, attributes);
  ASSERT_THAT(linesOf(expected), ::testing::Contains("member: " + largeMemberDn(kMembers - 1)));
  std::vector<std::vector<Ent>> answers;
  if (c.batched) {
    answers = batched(c, attributes);
  } else {
    answers.push_back(search(relayed_, c.flags, c.text, attributes));
    EXPECT_EQ(lastStatus(), 0u) << std::hex << lastStatus() << "\n" << lastText();
  }
  ASSERT_FALSE(answers.empty());
  for (const std::vector<Ent>& answer : answers) {
    EXPECT_FALSE(anyRangedName(answer));
    EXPECT_EQ(linesOf(answer), linesOf(expected));
  }
  EXPECT_EQ(relay_->sliceRequests(), 3 * static_cast<int64_t>(answers.size()));
}

INSTANTIATE_TEST_SUITE_P(Cases, WholeValuesTest, ::testing::ValuesIn(kWholeCases), LabelName());

// The slices are asked for in order, each where the last ended, by a base
// search of the entry; options other than the range go with the request.
class SliceRequestTest : public RangesTest {
 protected:
  RangingOptions relayOptions() const override {
    RangingOptions options;
    options.attributes = {"member", "userCertificate"};
    options.sliceSize = 2000;
    return options;
  }
  std::vector<std::string> sliceAttributes() const {
    std::vector<std::string> asked;
    for (const SearchSeen& search : relay_->proxy().searchesSeen()) {
      for (const std::string& attribute : search.attributes) {
        if (attribute.find(";range=") != std::string::npos) asked.push_back(attribute);
      }
    }
    return asked;
  }
};

TEST_F(SliceRequestTest, AskForEachRangeFromWhereTheLastEnded) {
  ASSERT_TRUE(read(relayed_, kLargeGroupDn));
  EXPECT_THAT(sliceAttributes(),
              ::testing::ElementsAre("member;range=2000-*", "member;range=4000-*"));
}

class BinarySliceTest : public SliceRequestTest {
 protected:
  RangingOptions relayOptions() const override {
    RangingOptions options;
    options.attributes = {"userCertificate"};
    options.sliceSize = 2;
    return options;
  }
};

TEST_F(BinarySliceTest, OptionsBesideTheRangeAreKept) {
  std::optional<Ent> relayed = read(relayed_, kCertificatesDn);
  ASSERT_TRUE(relayed) << std::hex << lastStatus() << "\n" << lastText();
  std::optional<Ent> direct = read(direct_, kCertificatesDn);
  ASSERT_TRUE(direct);
  ASSERT_NE(relayed->find("userCertificate;binary"), nullptr);
  EXPECT_EQ(relayed->find("userCertificate;binary")->values.size(), 3u);
  EXPECT_EQ(linesOf({*relayed}), linesOf({*direct}));
  EXPECT_THAT(sliceAttributes(), ::testing::ElementsAre("userCertificate;binary;range=2-*"));
}

// A slice request answered wrongly fails the search that met the ranged
// entry, with nothing of it handed over (the other groups of a multi-entry
// search neither), and the diagnostic says which slice of which entry.
struct SliceFaultCase {
  const char* label;
  SliceFault fault;
  int code;
  VQStatus status;
  const char* said;
};

const SliceFaultCase kSliceFaults[] = {
    {"refused", SliceFault::kErrorResult, 53, kUnwilling, "additional info: no ranges today"},
    {"limit", SliceFault::kErrorResult, 11, kDecodingError, "refused by the server"},
    {"cut", SliceFault::kCut, 0, kServerDown, "no answer"},
    {"first slice again", SliceFault::kFirstSliceAgain, 0, kDecodingError,
     "does not begin where the last ended"},
    {"no entry", SliceFault::kNoEntry, 0, kDecodingError, "the entry was not in the answer"},
};

class SliceFaultTest : public RangesTest, public ::testing::WithParamInterface<SliceFaultCase> {};

TEST_P(SliceFaultTest, FailsTheSearchWithNothingHandedOver) {
  const SliceFaultCase& c = GetParam();
  relay_->failSlices(c.fault, c.code, "no ranges today");
  bool found = true;
  EXPECT_TRUE(
      search(relayed_, QOR_SEARCH_SUBTREE, "(objectClass=groupOfNames)", nullptr, &found).empty());
  EXPECT_FALSE(found);
  EXPECT_EQ(lastStatus(), c.status) << std::hex << lastStatus();
  const std::string text = lastText();
  EXPECT_THAT(text, HasSubstr(c.said));
  EXPECT_THAT(text, HasSubstr("ranged values: member;range=1500-* of " + kLargeGroupDn));
}

INSTANTIATE_TEST_SUITE_P(Faults, SliceFaultTest, ::testing::ValuesIn(kSliceFaults), LabelName());

// In native mode the relay leaves slice requests to the server: slapd knows
// no ranges, so what it answers holds no slice, and the read fails.
class NativeRangesTest : public RangesTest {
 protected:
  RangingOptions relayOptions() const override {
    RangingOptions options;
    options.native = true;
    return options;
  }
};

TEST_F(NativeRangesTest, SliceRequestsGoToTheServerUntouched) {
  EXPECT_FALSE(read(relayed_, kLargeGroupDn));
  EXPECT_EQ(lastStatus(), kDecodingError) << std::hex << lastStatus();
  EXPECT_THAT(lastText(), HasSubstr("member;range=1500-*"));
  EXPECT_EQ(relay_->sliceRequests(), 1);
}

}  // namespace
}  // namespace qortest
