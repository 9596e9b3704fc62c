// dscompar: refusals before the extension is asked, the arguments it gets
// and the conversion of its answer, which every operation that returns the
// extension's status shares.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data_test_support.h"

namespace qortest {
namespace {

TEST_F(DataTest, CompareRefusesWithoutAConnection) {
  EXPECT_EQ(ops().dscompar(nullptr, "cn=a", "cn", "a"), DS_E_NO_CONNECTION);
  dshandle unopened{};
  EXPECT_EQ(ops().dscompar(&unopened, "cn=a", "cn", "a"), DS_E_NO_CONNECTION);
  // The handle check comes first.
  EXPECT_EQ(ops().dscompar(nullptr, nullptr, nullptr, nullptr), DS_E_NO_CONNECTION);
  EXPECT_EQ(extension().count<CompareValueCall>(), 0u);
}

TEST_F(DataTest, CompareRefusesAMissingText) {
  EXPECT_EQ(ops().dscompar(handle(), nullptr, "cn", "a"), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(ops().dscompar(handle(), "cn=a", nullptr, "a"), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(ops().dscompar(handle(), "cn=a", "cn", nullptr), DS_E_MISSING_ARGUMENT);
  EXPECT_EQ(extension().count<CompareValueCall>(), 0u);
}

TEST_F(DataTest, CompareHandsOverTextsLengthsAndStatusObject) {
  EXPECT_EQ(ops().dscompar(handle(), "cn=Pat,o=test", "mail", "pat@test"), DS_OK);
  EXPECT_EQ(ops().dscompar(handle(), "", "cn", ""), DS_OK);  // empty texts are accepted
  std::vector<CompareValueCall> calls = extension().calls<CompareValueCall>();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].dn, "cn=Pat,o=test");
  EXPECT_EQ(calls[0].dnLength, 13);
  EXPECT_EQ(calls[0].attribute, "mail");
  EXPECT_EQ(calls[0].attributeLength, 4);
  EXPECT_EQ(calls[0].value, "pat@test");
  EXPECT_EQ(calls[0].valueLength, 8);
  EXPECT_EQ(calls[0].status, handle()->statusObject);
  EXPECT_EQ(calls[1].dnLength, 0);
  EXPECT_EQ(calls[1].valueLength, 0);
}

struct AnswerCase {
  VQStatus answer;
  uint32_t expected;
};

class CompareAnswerTest : public DataTest, public ::testing::WithParamInterface<AnswerCase> {};

// dscompar and the other operations that return the extension's status
// (a delete, a single change) convert it the same way: as it came, without
// normalising it first.
TEST_P(CompareAnswerTest, AnswerIsConverted) {
  extension().queueResult<CompareValueCall>(GetParam().answer);
  EXPECT_EQ(ops().dscompar(handle(), "cn=a", "cn", "a"), GetParam().expected) << "dscompar";
  extension().queueResult<DeleteEntryCall>(GetParam().answer);
  EXPECT_EQ(ops().dsdereg(handle(), "cn=a"), GetParam().expected) << "dsdereg";
  extension().queueResult<ModifyOneCall>(GetParam().answer);
  EXPECT_EQ(ops().dsmodone(handle(), "cn=a", 0, "cn", "a"), GetParam().expected) << "dsmodone";
}

INSTANTIATE_TEST_SUITE_P(Answers, CompareAnswerTest,
                         ::testing::Values(AnswerCase{0, DS_OK},
                                           AnswerCase{VQ_LDAP(5), DS_E_COMPARE_FALSE},
                                           AnswerCase{VQ_LDAP(6), DS_E_COMPARE_TRUE},
                                           AnswerCase{VQ_LDAP(0x20), 0x80144020u},
                                           AnswerCase{0x80403805u, DS_E_OTHER},
                                           AnswerCase{0x81, 0x00144081u}));

}  // namespace
}  // namespace qortest
