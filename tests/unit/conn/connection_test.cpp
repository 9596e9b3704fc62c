// dsclose, dsopt and dsgeterr on open, closed and missing handles.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "conn_test_support.h"

namespace qortest {
namespace {

TEST_F(ConnectionTest, CloseWithoutAConnectionIsSuccess) {
  EXPECT_EQ(ops().dsclose(nullptr), DS_OK);
  dshandle unopened{};
  EXPECT_EQ(ops().dsclose(&unopened), DS_OK);
  EXPECT_EQ(extension().count<CloseCall>(), 0u);
}

TEST_F(ConnectionTest, CloseDeletesThePoolWithEverythingInIt) {
  std::size_t pools = kernel().livePools();
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  // Records the caller never gave back go with the pool.
  ASSERT_NE(ops().dsmkatt(handle, "cn", 1, DSV_STRING, "left behind"), nullptr);
  EXPECT_EQ(ops().dsclose(handle), DS_OK);
  EXPECT_EQ(kernel().livePools(), pools);
  EXPECT_EQ(extension().count<CloseCall>(), 1u);
  EXPECT_EQ(extension().liveConnections(), 0u);
}

TEST_F(ConnectionTest, FailedCloseLeavesTheHandleUsableAndCanBeRepeated) {
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  std::size_t pools = kernel().livePools();
  qorkernel::PoolStats inPool = kernel().stats(handle->pool);
  dshandle copy = *handle;

  extension().queueResult<CloseCall>(VQ_LDAP(0x34));
  EXPECT_EQ(ops().dsclose(handle), 0x80144034u);
  // Converted as it came, without normalising: an unknown status stays unknown.
  extension().queueResult<CloseCall>(0x80403834u);
  EXPECT_EQ(ops().dsclose(handle), DS_E_OTHER);

  EXPECT_EQ(kernel().livePools(), pools);
  ASSERT_TRUE(kernel().ownsPool(handle->pool));
  EXPECT_EQ(kernel().stats(handle->pool).liveBlocks, inPool.liveBlocks);
  EXPECT_EQ(std::memcmp(&copy, handle, sizeof copy), 0);
  ops().dsopt(handle, 1, 2, -1, nullptr);
  EXPECT_EQ(extension().count<SetOptionCall>(), 1u);

  EXPECT_EQ(ops().dsclose(handle), DS_OK);
  EXPECT_EQ(kernel().livePools(), pools - 1);
}

struct OptionCase {
  const char* label;
  int32_t option;
  int32_t value;
  int64_t flags;
  const char* text;
  uint32_t passedFlags;
  uint64_t options;  // the options word afterwards
};

const OptionCase kOptionCases[] = {
    {"keep options", 3, 7, -1, nullptr, 0xFFFFFFFFu, DSOPT_OPEN},
    {"replace options", 3, 7, 0x20, "text", 0x20u, 0x20u},
    {"replace with zero", 1, 0, 0, "", 0u, 0u},
    {"keep bit 31 when given", 2, 1, 0x80000010, nullptr, 0x80000010u, 0x80000010u},
    {"all 64 bits stored, low 32 passed", 4, -5, 0x100000020, "abc", 0x20u, 0x100000020u},
    {"negative value widened", -2, -1, -1, nullptr, 0xFFFFFFFFu, DSOPT_OPEN},
};

class OptionTest : public ConnectionTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionTest, PassesTheOptionAndMayReplaceTheWord) {
  const OptionCase& c = GetParam();
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  ops().dsopt(handle, c.option, c.value, c.flags, c.text);
  std::vector<SetOptionCall> calls = extension().calls<SetOptionCall>();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].option, c.option);
  EXPECT_EQ(calls[0].value, static_cast<int64_t>(c.value));
  EXPECT_EQ(calls[0].flags, c.passedFlags);
  EXPECT_EQ(calls[0].text, c.text == nullptr ? std::nullopt : std::optional<std::string>(c.text));
  EXPECT_EQ(calls[0].length, c.text == nullptr ? 0 : static_cast<int64_t>(strlen(c.text)));
  EXPECT_EQ(handle->options, c.options);
  EXPECT_EQ(ops().dsclose(handle), DS_OK);
}

INSTANTIATE_TEST_SUITE_P(Options, OptionTest, ::testing::ValuesIn(kOptionCases), LabelName{});

TEST_F(ConnectionTest, OptionWithoutAConnectionDoesNothing) {
  ops().dsopt(nullptr, 1, 1, 0x20, "x");
  dshandle unopened{};
  unopened.options = 0x99;
  ops().dsopt(&unopened, 1, 1, 0x20, "x");
  EXPECT_EQ(unopened.options, 0x99u);
  EXPECT_EQ(extension().count<SetOptionCall>(), 0u);
}

// The batch query writes through its value: a caller's dsopt never sends
// it, even to a connection that would answer it.
TEST_F(ConnectionTest, BatchQueryIsNotPassedOn) {
  extension().offerSearchBatch(BatchOffer::kAnswered);
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  ops().dsopt(handle, QOR_OPTION_SEARCH_BATCH, 8, 0x20, QOR_SEARCH_BATCH_NAME);
  EXPECT_EQ(extension().count<SetOptionCall>(), 0u);
  EXPECT_EQ(handle->options, 0x20u);
  EXPECT_EQ(ops().dsclose(handle), DS_OK);
}

// A status object of the test's own, to reach both ways it can report.
struct OwnStatusObject {
  qor_status_object object{};
  VQStatus result = 0;
  uint32_t code = 0;
  int calls = 0;

  static VQStatus getLastStatus(qor_status_object* status, uint32_t* code) {
    auto* self = reinterpret_cast<OwnStatusObject*>(status);
    ++self->calls;
    *code = self->code;
    return self->result;
  }
};

struct LastErrorCase {
  const char* label;
  uint64_t magic;
  VQStatus result;
  uint32_t code;
  uint32_t expected;
  int calls;
};

const LastErrorCase kLastErrorCases[] = {
    {"result wins", QOR_STATUS_MAGIC, 0x807FF820u, 0x807FF801u, 0x807FF820u, 1},
    {"code when result is zero", QOR_STATUS_MAGIC, 0, 0x807FF851u, 0x807FF851u, 1},
    {"nothing recorded", QOR_STATUS_MAGIC, 0, 0, 0, 1},
    {"mark in the low 32 bits", 0xABCD000066666666ull, 0, 0x807FF801u, 0x807FF801u, 1},
    {"unmarked object is not called", 0x66666667u, 0x807FF820u, 0, VQ_INVALID_STATUS_OBJECT, 0},
    {"mark in the high bits only", 0x6666666600000000ull, 0x807FF820u, 0, VQ_INVALID_STATUS_OBJECT,
     0},
};

class LastErrorTest : public ConnectionTest, public ::testing::WithParamInterface<LastErrorCase> {};

TEST_P(LastErrorTest, ReportsTheKernelStatusUnconverted) {
  const LastErrorCase& c = GetParam();
  OwnStatusObject status;
  status.object.statusMagic = c.magic;
  status.object.getLastStatus = &OwnStatusObject::getLastStatus;
  status.result = c.result;
  status.code = c.code;
  dshandle handle{};
  handle.statusObject = &status.object;
  EXPECT_EQ(ops().dsgeterr(&handle), c.expected);
  EXPECT_EQ(status.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(Reports, LastErrorTest, ::testing::ValuesIn(kLastErrorCases), LabelName{});

TEST_F(ConnectionTest, LastErrorOfTheHostsStatusObject) {
  dshandle* handle = open();
  ASSERT_NE(handle, nullptr);
  qor_status_object* status = handle->statusObject;
  ASSERT_NE(status, nullptr);
  status->setLastStatus(status, 0x807FF820u);
  EXPECT_EQ(ops().dsgeterr(handle), 0x807FF820u);
  status->setLastStatus(status, 0);
  EXPECT_EQ(ops().dsgeterr(handle), 0u);
  EXPECT_EQ(ops().dsclose(handle), DS_OK);
}

TEST_F(ConnectionTest, LastErrorWithoutAHandleOrStatusObject) {
  EXPECT_EQ(ops().dsgeterr(nullptr), VQ_INVALID_STATUS_OBJECT);
  dshandle handle{};
  EXPECT_EQ(ops().dsgeterr(&handle), VQ_INVALID_STATUS_OBJECT);
}

}  // namespace
}  // namespace qortest
