// dsmkatt and form_attribute: the argument protocol, what failures record
// and that nothing of a failed build stays in the pool.
#include <cstdarg>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "data_test_support.h"

namespace qortest {
namespace {

using FormAttribute = dsatt* (*)(dshandle*, const char*, int32_t, va_list);

class AttributeTest : public DataTest {
 protected:
  // Calls the exported form_attribute with a va_list of our own arguments.
  dsatt* form(dshandle* h, const char* name, int32_t count, ...) {
    auto formAttribute = exported<FormAttribute>("form_attribute");
    EXPECT_NE(formAttribute, nullptr);
    va_list values;
    va_start(values, count);
    dsatt* att = formAttribute(h, name, count, values);
    va_end(values);
    return att;
  }
};

TEST_F(AttributeTest, BuildsEachTagFromItsPayload) {
  const unsigned char bytes[] = {0x00, 0xFF, 0x00};
  dsatt* att =
      ops().dsmkatt(handle(), "description", 7, DSV_INT, -42, DSV_LONG, int64_t{1} << 40, DSV_SHORT,
                    static_cast<int>(int16_t{-3}), DSV_FLOAT, static_cast<double>(1.5f), DSV_DOUBLE,
                    2.5, DSV_BINARY, int64_t{3}, bytes, DSV_STRING, "abc");
  ASSERT_NE(att, nullptr);
  EXPECT_STREQ(att->name, "description");
  ASSERT_EQ(att->nvals, 7);
  EXPECT_EQ(kernel().blockSize(pool(), att->vals), 7 * sizeof(dsval*));  // no terminator

  dsval** v = att->vals;
  EXPECT_EQ(v[0]->type, DSV_INT);
  EXPECT_EQ(v[0]->data.number, -42);
  EXPECT_EQ(v[1]->type, DSV_LONG);
  EXPECT_EQ(v[1]->data.number, int64_t{1} << 40);
  EXPECT_EQ(v[2]->type, DSV_SHORT);
  EXPECT_EQ(v[2]->data.number, -3);
  EXPECT_EQ(v[3]->type, DSV_FLOAT);
  EXPECT_EQ(v[3]->data.real, 1.5);
  EXPECT_EQ(v[4]->type, DSV_DOUBLE);
  EXPECT_EQ(v[4]->data.real, 2.5);
  EXPECT_EQ(v[5]->type, DSV_BINARY);
  EXPECT_EQ(v[5]->len, 3);
  ASSERT_NE(v[5]->data.bytes, nullptr);
  EXPECT_NE(v[5]->data.bytes, static_cast<const void*>(bytes));
  EXPECT_EQ(std::memcmp(v[5]->data.bytes, bytes, 3), 0);
  EXPECT_EQ(v[6]->type, DSV_STRING);
  EXPECT_STREQ(v[6]->text, "abc");
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(v[i]->text, nullptr) << "value " << i;
  }
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(v[i]->len, 0) << "value " << i;
  }
  EXPECT_EQ(ops().dsgstr(v[0]), nullptr);
  EXPECT_EQ(ops().dsgint(v[0]), -42);

  qorkernel::PoolStats before = poolStats();
  ops().dsfratt(handle(), att);
  // name, array, record, 7 values, the bytes and the text.
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks - 12);
}

TEST_F(AttributeTest, TagsWithoutPayloadConsumeNothing) {
  dsatt* att = ops().dsmkatt(handle(), "x", 3, DSV_TEXT, 9, DSV_DOUBLE, 2.5);
  // Tag 0 keeps only its tag; 9 is read as the next tag, also without payload;
  // then 5 with 2.5.
  ASSERT_NE(att, nullptr);
  EXPECT_EQ(att->vals[0]->type, DSV_TEXT);
  EXPECT_EQ(att->vals[0]->data.number, 0);
  EXPECT_EQ(att->vals[1]->type, 9);
  EXPECT_EQ(att->vals[2]->type, DSV_DOUBLE);
  EXPECT_EQ(att->vals[2]->data.real, 2.5);
  ops().dsfratt(handle(), att);
}

TEST_F(AttributeTest, NullStringAndNullNameBecomeEmptyTexts) {
  dsatt* att = ops().dsmkatt(handle(), nullptr, 1, DSV_STRING, static_cast<const char*>(nullptr));
  ASSERT_NE(att, nullptr);
  ASSERT_NE(att->name, nullptr);
  EXPECT_STREQ(att->name, "");
  ASSERT_NE(att->vals[0]->text, nullptr);
  EXPECT_STREQ(att->vals[0]->text, "");
  ops().dsfratt(handle(), att);
}

TEST_F(AttributeTest, ZeroCountAndEmptyBinaryAreBuiltWhenThePoolGivesABlock) {
  qorkernel::PoolStats before = poolStats();
  dsatt* none = ops().dsmkatt(handle(), "cn", 0);
  ASSERT_NE(none, nullptr);  // this kernel answers a zero-size request with a block
  EXPECT_EQ(none->nvals, 0);
  EXPECT_NE(none->vals, nullptr);
  dsatt* empty =
      ops().dsmkatt(handle(), "cn", 1, DSV_BINARY, int64_t{0}, static_cast<const void*>(nullptr));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->vals[0]->len, 0);
  EXPECT_NE(empty->vals[0]->data.bytes, nullptr);
  ops().dsfratt(handle(), none);
  ops().dsfratt(handle(), empty);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
}

TEST_F(AttributeTest, NullHandleBuildsAndRecordsNothing) {
  qorkernel::PoolStats before = kernel().totals();
  EXPECT_EQ(ops().dsmkatt(nullptr, "cn", 1, DSV_STRING, "a"), nullptr);
  EXPECT_EQ(form(nullptr, "cn", 1, DSV_STRING, "a"), nullptr);
  EXPECT_EQ(kernel().totals().liveBlocks, before.liveBlocks);
  EXPECT_EQ(kernel().totals().allocations, before.allocations);
}

// Bad arguments are refused before anything can be read or written out of
// bounds, with a parameter error in lastStatus and nothing left behind.
struct RefusalCase {
  const char* label;
  int32_t count;
  int64_t byteCount;
  const void* bytes;
};

class AttributeRefusalTest : public AttributeTest,
                             public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(AttributeRefusalTest, RefusedWithAParameterError) {
  const RefusalCase& c = GetParam();
  handle()->lastStatus = 0;
  qorkernel::PoolStats before = poolStats();
  std::size_t allocations = kernel().totals().allocations;
  dsatt* att =
      ops().dsmkatt(handle(), "cn", c.count, DSV_STRING, "first", DSV_BINARY, c.byteCount, c.bytes);
  EXPECT_EQ(att, nullptr);
  EXPECT_EQ(static_cast<uint32_t>(handle()->lastStatus), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
  EXPECT_EQ(poolStats().liveBytes, before.liveBytes);
  if (c.count < 0) {
    EXPECT_EQ(kernel().totals().allocations, allocations);
  }
}

const char kSome[] = "xyz";

INSTANTIATE_TEST_SUITE_P(
    Arguments, AttributeRefusalTest,
    ::testing::Values(RefusalCase{"negative count", -1, 3, kSome},
                      RefusalCase{"most negative count", std::numeric_limits<int32_t>::min(), 3,
                                  kSome},
                      RefusalCase{"negative byte count", 2, -1, kSome},
                      RefusalCase{"byte count beyond 32 bits", 2, int64_t{1} << 32, kSome},
                      RefusalCase{"bytes missing", 2, 3, nullptr}),
    [](const auto& info) {
      std::string name;
      for (const char* p = info.param.label; *p != '\0'; ++p) {
        if (*p != ' ') name += *p;
      }
      return name;
    });

TEST_F(AttributeTest, FormAttributeBuildsFromAVaList) {
  dsatt* att = form(handle(), "member", 2, DSV_STRING, "cn=a", DSV_INT, 7);
  ASSERT_NE(att, nullptr);
  EXPECT_STREQ(att->name, "member");
  EXPECT_STREQ(att->vals[0]->text, "cn=a");
  EXPECT_EQ(att->vals[1]->data.number, 7);
  ops().dsfratt(handle(), att);
}

// Every allocation of a build fails in turn: null, DS_E_NO_MEMORY in
// lastStatus, and the pool exactly as before.
TEST_F(AttributeTest, EveryAllocationFailureLeavesNothing) {
  const char bytes[] = {1, 2, 3, 4};
  auto build = [&] {
    return ops().dsmkatt(handle(), "cn", 3, DSV_STRING, "abc", DSV_BINARY, int64_t{4}, bytes,
                         DSV_LONG, int64_t{7});
  };
  kernel().failNth(std::numeric_limits<std::size_t>::max());
  dsatt* probe = build();
  std::size_t requests = kernel().requestsSinceFaultArmed();
  kernel().clearFaults();
  ASSERT_NE(probe, nullptr);
  ops().dsfratt(handle(), probe);
  // The record, the name, the array, three values, the text and the bytes.
  EXPECT_EQ(requests, 8u);

  qorkernel::PoolStats before = poolStats();
  std::size_t n = 1;
  for (;; ++n) {
    ASSERT_LE(n, requests + 1) << "the build still fails with every request allowed";
    handle()->lastStatus = 0;
    kernel().failNth(n);
    dsatt* att = build();
    kernel().clearFaults();
    if (att != nullptr) {
      EXPECT_EQ(handle()->lastStatus, 0) << "a success leaves lastStatus alone";
      ops().dsfratt(handle(), att);
      break;
    }
    EXPECT_EQ(static_cast<uint32_t>(handle()->lastStatus), DS_E_NO_MEMORY) << "request " << n;
    EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks) << "request " << n;
    EXPECT_EQ(poolStats().liveBytes, before.liveBytes) << "request " << n;
  }
  EXPECT_EQ(n, requests + 1);
  EXPECT_EQ(poolStats().liveBlocks, before.liveBlocks);
}

TEST_F(AttributeTest, SuccessLeavesAnEarlierStatusInPlace) {
  handle()->lastStatus = static_cast<int32_t>(DS_E_NO_MEMORY);
  dsatt* att = ops().dsmkatt(handle(), "cn", 1, DSV_INT, 1);
  ASSERT_NE(att, nullptr);
  EXPECT_EQ(static_cast<uint32_t>(handle()->lastStatus), DS_E_NO_MEMORY);
  ops().dsfratt(handle(), att);
}

}  // namespace
}  // namespace qortest
