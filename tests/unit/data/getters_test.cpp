// The typed getters: conversion of directory text, caching, first getter
// decides, and reads across kinds that keep type and data consistent.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "support/module_fixture.h"

namespace qortest {
namespace {

enum class Getter { kShort, kInt, kLong, kFloat, kDouble };

class GetterTest : public ModuleTest {
 protected:
  double read(Getter getter, dsval* value) {
    switch (getter) {
      case Getter::kShort:
        return ops().dsgshrt(value);
      case Getter::kInt:
        return ops().dsgint(value);
      case Getter::kLong:
        return static_cast<double>(ops().dsglong(value));
      case Getter::kFloat:
        return ops().dsgflt(value);
      case Getter::kDouble:
        return ops().dsgdbl(value);
    }
    return -1;
  }
};

// A value as the directory delivers it: text, tag 0, nothing cached.
struct TextValue {
  explicit TextValue(const std::string& s) : buffer(s) { value.text = buffer.data(); }
  std::string buffer;
  dsval value{};
};

struct ConversionCase {
  const char* text;
  Getter getter;
  double expected;
  int32_t tag;
};

class ConversionTest : public GetterTest, public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(ConversionTest, FirstReadConvertsAndCaches) {
  const ConversionCase& c = GetParam();
  TextValue v(c.text);
  EXPECT_EQ(read(c.getter, &v.value), c.expected) << "text '" << c.text << "'";
  EXPECT_EQ(v.value.type, c.tag);
  if (c.tag == DSV_FLOAT || c.tag == DSV_DOUBLE) {
    EXPECT_EQ(static_cast<float>(v.value.data.real), static_cast<float>(c.expected));
  }
  EXPECT_EQ(v.value.text, v.buffer.data());  // the text stays
  EXPECT_EQ(v.value.len, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ConversionTest,
    ::testing::Values(ConversionCase{"-12", Getter::kInt, -12, DSV_INT},
                      ConversionCase{"-12", Getter::kShort, 0, DSV_SHORT},
                      ConversionCase{"-12", Getter::kLong, 0, DSV_LONG},
                      ConversionCase{"+7", Getter::kInt, 7, DSV_INT},
                      ConversionCase{"+7", Getter::kLong, 0, DSV_LONG},
                      ConversionCase{"  42abc", Getter::kInt, 42, DSV_INT},
                      ConversionCase{"abc", Getter::kInt, 0, DSV_INT},
                      ConversionCase{"", Getter::kShort, 0, DSV_SHORT},
                      ConversionCase{"2147483648", Getter::kLong, 0, DSV_LONG},
                      ConversionCase{"2147483647", Getter::kLong, 2147483647.0, DSV_LONG},
                      ConversionCase{"-2147483647", Getter::kInt, -2147483647.0, DSV_INT},
                      ConversionCase{"40000", Getter::kShort, -25536, DSV_SHORT},
                      ConversionCase{"4 2", Getter::kInt, 4, DSV_INT},
                      ConversionCase{"2.5", Getter::kDouble, 2.5, DSV_DOUBLE},
                      ConversionCase{"2.5", Getter::kFloat, 2.5, DSV_FLOAT},
                      ConversionCase{" 1e3", Getter::kDouble, 1000, DSV_DOUBLE},
                      ConversionCase{"-0.125", Getter::kDouble, -0.125, DSV_DOUBLE},
                      ConversionCase{"0.1", Getter::kFloat, static_cast<double>(0.1f), DSV_FLOAT},
                      ConversionCase{"abc", Getter::kDouble, 0, DSV_DOUBLE}));

TEST_F(GetterTest, IntegerCacheIsReadEvenAfterTheTextChanges) {
  TextValue v("123");
  EXPECT_EQ(ops().dsgint(&v.value), 123);
  v.buffer[0] = '9';
  EXPECT_EQ(ops().dsgint(&v.value), 123);
  EXPECT_EQ(ops().dsglong(&v.value), 123);
  EXPECT_EQ(ops().dsgshrt(&v.value), 123);
  EXPECT_EQ(v.value.type, DSV_INT);  // later integer getters leave the tag
  EXPECT_EQ(v.value.data.number, 123);
}

TEST_F(GetterTest, FirstIntegerGetterDecidesTheNumber) {
  TextValue v("-5");
  EXPECT_EQ(ops().dsgshrt(&v.value), 0);
  EXPECT_EQ(ops().dsgint(&v.value), 0);
  EXPECT_EQ(v.value.type, DSV_SHORT);
}

TEST_F(GetterTest, RealGettersShareTheCacheAndEachSetsItsTag) {
  TextValue v("2.5");
  EXPECT_EQ(ops().dsgdbl(&v.value), 2.5);
  v.buffer = "7.75";
  v.value.text = v.buffer.data();
  EXPECT_EQ(ops().dsgflt(&v.value), 2.5f);
  EXPECT_EQ(v.value.type, DSV_FLOAT);
  EXPECT_EQ(ops().dsgdbl(&v.value), 2.5);
  EXPECT_EQ(v.value.type, DSV_DOUBLE);
}

// Integer getters on a converted real: the double truncated toward zero and
// held within the getter's range; the record stays a real.
struct RealToIntegerCase {
  double real;
  int16_t asShort;
  int32_t asInt;
  int64_t asLong;
};

class RealToIntegerTest : public GetterTest,
                          public ::testing::WithParamInterface<RealToIntegerCase> {};

TEST_P(RealToIntegerTest, ReturnsTheNumberNotItsBits) {
  const RealToIntegerCase& c = GetParam();
  dsval value{};
  value.type = DSV_DOUBLE;
  value.data.real = c.real;
  EXPECT_EQ(ops().dsgshrt(&value), c.asShort);
  EXPECT_EQ(ops().dsgint(&value), c.asInt);
  EXPECT_EQ(ops().dsglong(&value), c.asLong);
  EXPECT_EQ(value.type, DSV_DOUBLE);
  if (std::isnan(c.real)) {
    EXPECT_TRUE(std::isnan(value.data.real));
  } else {
    EXPECT_EQ(value.data.real, c.real);
  }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Reals, RealToIntegerTest,
    ::testing::Values(RealToIntegerCase{2.75, 2, 2, 2}, RealToIntegerCase{-2.75, -2, -2, -2},
                      RealToIntegerCase{0.0, 0, 0, 0},
                      RealToIntegerCase{70000.0, INT16_MAX, 70000, 70000},
                      RealToIntegerCase{-5e9, INT16_MIN, INT32_MIN, -5000000000},
                      RealToIntegerCase{1e300, INT16_MAX, INT32_MAX, INT64_MAX},
                      RealToIntegerCase{-1e300, INT16_MIN, INT32_MIN, INT64_MIN},
                      RealToIntegerCase{kInf, INT16_MAX, INT32_MAX, INT64_MAX},
                      RealToIntegerCase{kNaN, 0, 0, 0}));

TEST_F(GetterTest, IntegerAfterRealConversionOfText) {
  TextValue v("2.75");
  EXPECT_EQ(ops().dsgflt(&v.value), 2.75f);
  EXPECT_EQ(ops().dsgint(&v.value), 2);
  EXPECT_EQ(v.value.type, DSV_FLOAT);
  EXPECT_EQ(v.value.data.real, 2.75);
}

// Real getters on a converted integer: the integer as a double; the record
// stays an integer, since data still holds one.
TEST_F(GetterTest, RealAfterIntegerConversionKeepsTheIntegerTag) {
  TextValue v("-12");
  EXPECT_EQ(ops().dsgint(&v.value), -12);
  EXPECT_EQ(ops().dsgdbl(&v.value), -12.0);
  EXPECT_EQ(ops().dsgflt(&v.value), -12.0f);
  EXPECT_EQ(v.value.type, DSV_INT);
  EXPECT_EQ(v.value.data.number, -12);
  EXPECT_EQ(ops().dsgint(&v.value), -12);
}

TEST_F(GetterTest, ConstructedIntegerReadsAsReal) {
  for (int32_t tag : {int32_t{DSV_INT}, int32_t{DSV_LONG}, int32_t{DSV_SHORT}}) {
    dsval value{};
    value.type = tag;
    value.data.number = 5000000000;
    EXPECT_EQ(ops().dsgdbl(&value), 5e9) << "tag " << tag;
    EXPECT_EQ(ops().dsglong(&value), 5000000000) << "tag " << tag;
    EXPECT_EQ(value.type, tag);
  }
}

// A caller's string is converted on every read and stays a string.
TEST_F(GetterTest, StringValueIsConvertedWithoutCaching) {
  TextValue v("17");
  v.value.type = DSV_STRING;
  EXPECT_EQ(ops().dsgint(&v.value), 17);
  EXPECT_EQ(ops().dsgdbl(&v.value), 17.0);
  v.buffer[1] = '8';
  EXPECT_EQ(ops().dsglong(&v.value), 18);
  EXPECT_EQ(ops().dsgflt(&v.value), 18.0f);
  EXPECT_EQ(v.value.type, DSV_STRING);
  EXPECT_EQ(v.value.data.number, 0);
  EXPECT_EQ(ops().dsgstr(&v.value), v.buffer.data());
}

TEST_F(GetterTest, BinaryAndUnknownTagsGiveZeroAndStayAsTheyAre) {
  char bytes[] = {'4', '2', 0};
  for (int32_t tag : {int32_t{DSV_BINARY}, 8, -1, 1000}) {
    dsval value{};
    value.type = tag;
    value.data.bytes = bytes;
    value.len = 2;
    value.text = bytes;
    dsval before = value;
    EXPECT_EQ(ops().dsgshrt(&value), 0) << "tag " << tag;
    EXPECT_EQ(ops().dsgint(&value), 0) << "tag " << tag;
    EXPECT_EQ(ops().dsglong(&value), 0) << "tag " << tag;
    EXPECT_EQ(ops().dsgflt(&value), 0.0f) << "tag " << tag;
    EXPECT_EQ(ops().dsgdbl(&value), 0.0) << "tag " << tag;
    EXPECT_EQ(std::memcmp(&before, &value, sizeof value), 0) << "tag " << tag;
  }
}

TEST_F(GetterTest, UnconvertedValueWithoutTextReadsAsZero) {
  dsval integer{};
  EXPECT_EQ(ops().dsgint(&integer), 0);
  EXPECT_EQ(integer.type, DSV_INT);
  dsval real{};
  EXPECT_EQ(ops().dsgdbl(&real), 0.0);
  EXPECT_EQ(real.type, DSV_DOUBLE);
}

TEST_F(GetterTest, NullValueReadsAsZero) {
  EXPECT_EQ(ops().dsgshrt(nullptr), 0);
  EXPECT_EQ(ops().dsgint(nullptr), 0);
  EXPECT_EQ(ops().dsglong(nullptr), 0);
  EXPECT_EQ(ops().dsgflt(nullptr), 0.0f);
  EXPECT_EQ(ops().dsgdbl(nullptr), 0.0);
  EXPECT_EQ(ops().dsgstr(nullptr), nullptr);
}

TEST_F(GetterTest, StringGetterHandsOutTheTextItself) {
  TextValue v("cn=x");
  EXPECT_EQ(ops().dsgstr(&v.value), v.buffer.data());
  ops().dsgint(&v.value);
  EXPECT_EQ(ops().dsgstr(&v.value), v.buffer.data());
  dsval constructed{};
  constructed.type = DSV_LONG;
  constructed.data.number = 9;
  EXPECT_EQ(ops().dsgstr(&constructed), nullptr);
}

TEST_F(GetterTest, BinaryAndNodeGettersAlwaysAnswerZero) {
  TextValue v("42");
  EXPECT_EQ(ops().dsgbin(nullptr), 0);
  EXPECT_EQ(ops().dsgbin(&v.value), 0);
  EXPECT_EQ(ops().dsmynod(nullptr), 0);
  EXPECT_EQ(ops().dsmynod(&v.value), 0);
  EXPECT_EQ(v.value.type, DSV_TEXT);
}

}  // namespace
}  // namespace qortest
