// The libldap backend as the server sees it: a relay between the extension
// and slapd (integration/support/latency_proxy.h) reads every request, so
// these tests check what the extension sends (pages, abandons, how many
// requests are outstanding) and how it ends a search when the server cuts
// the connection, stalls, or sends part of a message. Timeouts are short
// and the fault points are counted in the server's messages, not timed.
#include <chrono>
#include <cstring>
#include <memory>

#include <vqeldap/options.h>

#include "integration/support/latency_proxy.h"
#include "integration/vqeldap/extension_fixture.h"

namespace qortest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr VQStatus kSizeLimit = VQ_LDAP(0x04);
constexpr VQStatus kNoSuchObject = VQ_LDAP(0x20);
constexpr VQStatus kServerDown = VQ_LDAP(0x51);
constexpr VQStatus kTimeout = VQ_LDAP(0x55);
constexpr int kTimeoutSeconds = 1;
// Generous: one timeout is the goal, a timeout per request the fault.
constexpr auto kOneTimeout = std::chrono::seconds(3 * kTimeoutSeconds);
constexpr auto kAwait = std::chrono::milliseconds(2000);
constexpr const char* kEveryEntry = "(objectClass=*)";

// The extension through a relay, with a short timeout.
class RelayedTest : public ExtensionTest {
 protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    if (HasFatalFailure()) return;
    proxy_ = std::make_unique<LatencyProxy>(server().port(), std::chrono::microseconds(0));
    OpenRequest request(proxy_->uri());
    request.timeout = kTimeoutSeconds;
    request.base = base();
    connection_ = open(request);
    ASSERT_NE(connection_, nullptr) << std::hex << lastStatus();
  }
  virtual std::string base() { return server().base(); }
  void set(int64_t option, int64_t value) {
    ASSERT_EQ(connection_->setOption(connection_, option, value, 0, nullptr, 0), 0u) << option;
  }
  qor_search_batch batch() {
    qor_search_batch operation = nullptr;
    const std::string name = QOR_SEARCH_BATCH_NAME;
    connection_->setOption(connection_, QOR_OPTION_SEARCH_BATCH,
                           static_cast<int64_t>(reinterpret_cast<uintptr_t>(&operation)), 0,
                           name.c_str(), static_cast<int64_t>(name.size()));
    return operation;
  }
  std::unique_ptr<LatencyProxy> proxy_;
  qor_connection* connection_ = nullptr;
};

// A fault of the server in the middle of a paged search (pages of two),
// armed after this many of its messages.
struct MidResultFault {
  const char* name;
  void (LatencyProxy::*arm)(int64_t);
  int64_t after;
  VQStatus status;
};

const MidResultFault kMidResultFaults[] = {
    {"CutBetweenPages", &LatencyProxy::cutAfterReplies, 3, kServerDown},
    {"CutInsideAPage", &LatencyProxy::cutAfterReplies, 4, kServerDown},
    {"StallBeforeTheFirstPage", &LatencyProxy::stallAfterReplies, 0, kTimeout},
    {"StallBetweenPages", &LatencyProxy::stallAfterReplies, 3, kTimeout},
    {"PartialFirstMessage", &LatencyProxy::truncateAfterReplies, 0, kTimeout},
    {"PartialMessageBetweenPages", &LatencyProxy::truncateAfterReplies, 3, kTimeout},
    {"PartialMessageInsideAPage", &LatencyProxy::truncateAfterReplies, 4, kTimeout},
};

class MidResultFaultTest : public RelayedTest,
                           public ::testing::WithParamInterface<MidResultFault> {};

// The search fails within about one timeout with the connection's failure,
// and hands over none of the entries that came before it; a request that
// timed out is abandoned.
TEST_P(MidResultFaultTest, FailsWithNothingHandedOver) {
  const MidResultFault& fault = GetParam();
  set(VQELDAP_OPT_PAGE_SIZE, 2);
  (proxy_.get()->*fault.arm)(fault.after);
  const Clock::time_point start = Clock::now();
  bool found = true;
  EXPECT_TRUE(search(connection_, QOR_SEARCH_SUBTREE, kEveryEntry, nullptr, &found).empty());
  EXPECT_FALSE(found) << "entries handed over after the failure";
  EXPECT_EQ(lastStatus(), fault.status) << std::hex << lastStatus();
  EXPECT_LT(Clock::now() - start, kOneTimeout);
  const int64_t abandons = fault.status == kTimeout ? 1 : 0;
  EXPECT_EQ(proxy_->awaitRequests(LdapOp::kAbandon, abandons, kAwait), abandons);
  // A lost connection stays lost: libldap is not left to open another,
  // unbound one behind the handle's back.
  if (fault.status == kServerDown) {
    EXPECT_TRUE(search(connection_, QOR_SEARCH_SUBTREE, kEveryEntry).empty());
    EXPECT_EQ(lastStatus(), kServerDown);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, MidResultFaultTest, ::testing::ValuesIn(kMidResultFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// A batch of searches against a server that stops answering with the
// connection open: the window is filled and never passed, and the first
// timeout ends the batch: every request outstanding is abandoned, none is
// sent after it, and every answer is a timeout.
class StalledBatchTest : public RelayedTest, public ::testing::WithParamInterface<int64_t> {};

TEST_P(StalledBatchTest, OneTimeoutEndsTheBatch) {
  const int64_t window = GetParam();
  constexpr int64_t kRequests = 12;
  qor_search_batch send = batch();
  ASSERT_NE(send, nullptr);
  const std::string filter = "(uid=alice)";
  std::vector<ldsearch> requests(kRequests, ldsearch{QOR_SEARCH_SUBTREE, filter.c_str(),
                                                     static_cast<int64_t>(filter.size()), nullptr});
  std::vector<ldanswer> answers(kRequests);
  proxy_->stallAfterReplies(0);
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(send(connection_, requests.data(), answers.data(), kRequests, window, status()), 0u);
  EXPECT_LT(Clock::now() - start, kOneTimeout);
  for (const ldanswer& answer : answers) {
    EXPECT_EQ(answer.result, nullptr);
    EXPECT_EQ(answer.status, kTimeout) << std::hex << answer.status;
  }
  EXPECT_EQ(proxy_->maxOutstanding(), window);
  EXPECT_EQ(proxy_->requestsSeen(LdapOp::kSearch), window);
  EXPECT_EQ(proxy_->awaitRequests(LdapOp::kAbandon, window, kAwait), window);
}

INSTANTIATE_TEST_SUITE_P(Windows, StalledBatchTest, ::testing::Values(1, 3, 7),
                         [](const auto& info) { return "Window" + std::to_string(info.param); });

// How a search pages, as the server sees it: each search request's page
// size with "c" when it carries a cookie, "-" without the control, for two
// runs of the same search on one connection ("|" between them).
struct PagingCase {
  const char* name;
  const char* base;  // null: the server's
  const char* pages;
  int64_t sizeLimit;
  std::size_t entries;
  VQStatus status;
  bool pagingDisabled;  // the server refuses the control (adminLimitExceeded)
  bool limitIgnored;    // the server does not apply the client's size limit
};

const PagingCase kPagingCases[] = {
    // slapd applies the client's size limit to the paged search as a whole.
    {"ServerLimitsThePages", nullptr, "2 2c | 2 2c", 3, 3, kSizeLimit, false, false},
    // A server that does not: the limit reached at a page's end asks for
    // no more, and the server is told that the paging ends (size 0); inside
    // a page, the page's entries are kept.
    {"LimitAtTheFirstPagesEnd", nullptr, "2 0c | 2 0c", 2, 2, kSizeLimit, false, true},
    {"LimitAtALaterPagesEnd", nullptr, "2 2c 0c | 2 2c 0c", 4, 4, kSizeLimit, false, true},
    {"LimitInsideAPage", nullptr, "2 2c 0c | 2 2c 0c", 3, 4, kSizeLimit, false, true},
    // A failure that is no refusal of the control is not tried again
    // without it, and the connection keeps paging.
    {"MissingBase", "ou=missing,o=example", "2 | 2", 0, 0, kNoSuchObject, false, false},
    // A refusal of the control: once more without it, and from then on the
    // connection does not offer it.
    {"PagingRefused", nullptr, "2 - | -", 0, 5, kSizeLimit, true, false},
};

class PagingTest : public RelayedTest, public ::testing::WithParamInterface<PagingCase> {
 protected:
  SlapdOptions serverOptions() const override {
    SlapdOptions options;
    if (GetParam().pagingDisabled) {
      options.sizeLimit = 5;
      options.pagedTotal = "disabled";
    }
    return options;
  }
  std::string base() override {
    return GetParam().base != nullptr ? GetParam().base : RelayedTest::base();
  }
  // The pages of the searches seen from `first` on.
  std::string pagesFrom(std::size_t first) const {
    std::string pages;
    const std::vector<SearchSeen> searches = proxy_->searchesSeen();
    for (std::size_t index = first; index < searches.size(); ++index) {
      const SearchSeen& seen = searches[index];
      if (!pages.empty()) pages += ' ';
      pages += seen.paged ? std::to_string(seen.pageSize) + (seen.cookie.empty() ? "" : "c") : "-";
    }
    return pages;
  }
};

TEST_P(PagingTest, AsksForThePagesItNeedsAndNoMore) {
  const PagingCase& paging = GetParam();
  set(VQELDAP_OPT_PAGE_SIZE, 2);
  set(VQELDAP_OPT_SIZE_LIMIT, paging.sizeLimit);
  if (paging.limitIgnored) proxy_->ignoreSizeLimits();
  std::string pages;
  for (int run = 0; run < 2; ++run) {
    const std::size_t before = proxy_->searchesSeen().size();
    EXPECT_EQ(search(connection_, QOR_SEARCH_SUBTREE, kEveryEntry).size(), paging.entries);
    EXPECT_EQ(lastStatus(), paging.status) << std::hex << lastStatus();
    pages += (run == 0 ? "" : " | ") + pagesFrom(before);
  }
  EXPECT_EQ(pages, paging.pages);
}

INSTANTIATE_TEST_SUITE_P(Cases, PagingTest, ::testing::ValuesIn(kPagingCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qortest
