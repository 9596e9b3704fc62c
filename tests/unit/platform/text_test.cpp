// Text services of the host kernel: wzifmn (text to double through the
// conversion descriptor) and wzstrlo (ASCII lower-casing in place).
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "unit/platform/host_calls.h"

namespace {

using qorkernel::Kernel;
namespace result = qorkernel::result;

struct Converted {
  int32_t status;
  double value;
};

// Converts `length` bytes of `text` copied into a block of exactly that size,
// so a conversion that reads past the length shows under AddressSanitizer.
Converted convert(const std::string& text, int32_t length) {
  std::unique_ptr<char[]> exact(new char[text.size()]);
  std::memcpy(exact.get(), text.data(), text.size());
  double value = -12345.0;
  qor_conversion descriptor{};
  descriptor.kind = QOR_CONVERSION_KIND;
  descriptor.text = exact.get();
  descriptor.length = length;
  descriptor.result = &value;
  const int32_t status = hostcall::wzifmn(&descriptor);
  return {status, value};
}

Converted convert(const std::string& text) {
  return convert(text, static_cast<int32_t>(text.size()));
}

class TextTest : public ::testing::Test {
 protected:
  Kernel kernel;
};

TEST_F(TextTest, NumbersConvertWithBlanksSignsAndExponents) {
  struct Case {
    std::string text;
    int32_t status;
    double value;
  };
  const std::vector<Case> cases = {
      {"3.25", 0, 3.25},
      {"42", 0, 42.0},
      {"  -1e3", 0, -1000.0},
      {"\t+7.5", 0, 7.5},
      {".5", 0, 0.5},
      {"2.5   ", 0, 2.5},
      {"-0", 0, -0.0},
      {"12abc", result::kTrailingText, 12.0},
      {"1,5", result::kTrailingText, 1.0},  // the decimal point is always '.'
      {"abc", result::kNotANumber, 0.0},
      {"   ", result::kNotANumber, 0.0},
      {"+-1", result::kNotANumber, 0.0},
      {"-", result::kNotANumber, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Converted got = convert(c.text);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.value, c.value);
    EXPECT_EQ(std::signbit(got.value), std::signbit(c.value));
  }
}

TEST_F(TextTest, OutOfRangeNumbersReportAndStoreTheirLimit) {
  const Converted huge = convert("1e999");
  EXPECT_EQ(huge.status, result::kOutOfRange);
  EXPECT_EQ(huge.value, HUGE_VAL);
  const Converted negative = convert("-1e999");
  EXPECT_EQ(negative.status, result::kOutOfRange);
  EXPECT_EQ(negative.value, -HUGE_VAL);
  const Converted tiny = convert("1e-999");
  EXPECT_EQ(tiny.status, result::kOutOfRange);
  EXPECT_GE(tiny.value, 0.0);
  EXPECT_LT(tiny.value, std::numeric_limits<double>::min());
}

TEST_F(TextTest, OnlyTheGivenLengthIsRead) {
  EXPECT_EQ(convert("12345", 2).value, 12.0);
  EXPECT_EQ(convert("12345", 2).status, 0);
  const Converted empty = convert("7", 0);
  EXPECT_EQ(empty.status, result::kNotANumber);
  EXPECT_EQ(empty.value, 0.0);
  EXPECT_EQ(convert("7", -3).status, result::kNotANumber);
}

TEST_F(TextTest, ConversionDoesNotFollowTheProcessLocale) {
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr &&
      std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr) {
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  const Converted got = convert("3.25");
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.value, 3.25);
}

TEST_F(TextTest, ADescriptorOfAnotherKindIsRefusedAndNothingStored) {
  double value = 9.0;
  qor_conversion descriptor{};
  descriptor.kind = 23;
  descriptor.text = "1";
  descriptor.length = 1;
  descriptor.result = &value;
  EXPECT_EQ(hostcall::wzifmn(&descriptor), result::kRefused);
  EXPECT_EQ(value, 9.0);
  descriptor.kind = QOR_CONVERSION_KIND;
  descriptor.result = nullptr;
  EXPECT_EQ(hostcall::wzifmn(&descriptor), result::kRefused);
  EXPECT_EQ(hostcall::wzifmn(nullptr), result::kRefused);
  descriptor.result = &value;
  descriptor.text = nullptr;
  EXPECT_EQ(hostcall::wzifmn(&descriptor), result::kNotANumber);
  EXPECT_EQ(value, 0.0);
}

TEST_F(TextTest, LowerCasingChangesAsciiCapitalsWithinTheLengthOnly) {
  struct Case {
    std::string text;
    int32_t length;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"ObjectClass", 11, "objectclass"},
      {"GROUPofNAMES", 5, "groupofNAMES"},
      {"AZaz@[`{09", 10, "azaz@[`{09"},   // the neighbours of A-Z stay
      {"\xC3\x84QOR", 5, "\xC3\x84qor"},  // bytes beyond ASCII stay
      {"ABC", 0, "ABC"},
      {"ABC", -1, "ABC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::string text = c.text;
    hostcall::wzstrlo(text.data(), c.length);
    EXPECT_EQ(text, c.expected);
  }
  hostcall::wzstrlo(nullptr, 4);  // nothing to do, nothing to crash on
}

}  // namespace
