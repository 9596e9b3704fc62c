// zatoi, wzstlen, wzstpos and wzstcat, called through the module's exports.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qorldap/util.h>

#include "unit/util/module_symbols.h"

namespace qortest {
namespace {

using ZatoiFn = decltype(&::zatoi);
using LengthFn = decltype(&::wzstlen);
using PositionFn = decltype(&::wzstpos);
using ConcatFn = decltype(&::wzstcat);

class UtilTest : public ModuleSymbols {
 protected:
  ZatoiFn zatoi_ = exported<ZatoiFn>("zatoi");
  LengthFn wzstlen_ = exported<LengthFn>("wzstlen");
  PositionFn wzstpos_ = exported<PositionFn>("wzstpos");
  ConcatFn wzstcat_ = exported<ConcatFn>("wzstcat");
};

// ---------------------------------------------------------------- zatoi

struct ZatoiCase {
  const char* what;
  std::string text;
  int32_t length;  // -1: measured by wzstlen
  bool signs;
  int32_t state;
  int32_t value;
  int32_t examined;
};

const ZatoiCase kZatoiCases[] = {
    {"leading blanks", "  42", 4, false, ZATOI_NUMBER, 42, 4},
    {"measured length", "  42", -1, false, ZATOI_NUMBER, 42, 4},
    {"minus while signs refused", "-7", -1, false, ZATOI_SIGN_ONLY, 0, 0},
    {"plus while signs refused", "+7", -1, false, ZATOI_SIGN_ONLY, 0, 0},
    {"sign after blanks while refused", "  -7", -1, false, ZATOI_SIGN_ONLY, 0, 2},
    {"minus allowed", "-7", -1, true, ZATOI_NUMBER, -7, 2},
    {"plus allowed", "+7", -1, true, ZATOI_NUMBER, 7, 2},
    {"blank after the sign", "- 7", -1, true, ZATOI_NUMBER, -7, 3},
    {"sign alone", "-", -1, true, ZATOI_SIGN_ONLY, 0, 1},
    {"sign then blanks", "+   ", -1, true, ZATOI_SIGN_ONLY, 0, 4},
    {"second sign", "--7", -1, true, ZATOI_SIGN_ONLY, 0, 1},
    {"mixed signs", "-+7", -1, true, ZATOI_SIGN_ONLY, 0, 1},
    {"letter after the sign", "- x", -1, true, ZATOI_SIGN_ONLY, 0, 2},
    {"largest value", "2147483647", -1, false, ZATOI_NUMBER, 2147483647, 10},
    {"largest negated", "-2147483647", -1, true, ZATOI_NUMBER, -2147483647, 11},
    {"one past the largest", "2147483648", -1, false, ZATOI_OVERFLOW, 0, 10},
    {"smallest is out of reach", "-2147483648", -1, true, ZATOI_OVERFLOW, 0, 11},
    {"overflow eats the digits", "99999999999x", -1, false, ZATOI_OVERFLOW, 0, 11},
    {"overflow stops at a blank", "21474836470 1", -1, false, ZATOI_OVERFLOW, 0, 11},
    {"leading zeros do not overflow", "0000000000000000001", -1, false, ZATOI_NUMBER, 1, 19},
    {"stops at a letter", "12ab", -1, false, ZATOI_NUMBER, 12, 2},
    {"stops at an inner blank", "4 2", -1, false, ZATOI_NUMBER, 4, 1},
    {"stops at a trailing sign", "7-", -1, true, ZATOI_NUMBER, 7, 1},
    {"empty text", "", -1, false, ZATOI_EMPTY, 0, 0},
    {"blanks only", "   ", -1, false, ZATOI_EMPTY, 0, 3},
    {"letter first", "x1", -1, false, ZATOI_EMPTY, 0, 0},
    {"zero length", "7", 0, false, ZATOI_EMPTY, 0, 0},
    {"length bounds the digits", "12345", 3, false, ZATOI_NUMBER, 123, 3},
    {"length bounds the blanks", "  5", 2, false, ZATOI_EMPTY, 0, 2},
    {"NUL inside a counted text", std::string("1\0002", 3), 3, false, ZATOI_NUMBER, 1, 1},
    {"byte above 0x7F", "5\xB9", -1, false, ZATOI_NUMBER, 5, 1},
    {"tab is not a blank", "\t5", -1, false, ZATOI_EMPTY, 0, 0},
};

TEST_F(UtilTest, ZatoiParsesAsTheStateMachineSays) {
  for (const ZatoiCase& c : kZatoiCases) {
    SCOPED_TRACE(c.what);
    int32_t examined = -99;
    int32_t value = -99;
    const int32_t state = zatoi_(c.text.data(), c.length, c.signs ? 1 : 0, &examined, &value);
    EXPECT_EQ(state, c.state);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(examined, c.examined);
  }
}

TEST_F(UtilTest, ZatoiTreatsAnyNonzeroFlagAsSignsAllowed) {
  int32_t examined = 0;
  int32_t value = 0;
  EXPECT_EQ(zatoi_("-12", -1, 0x100, &examined, &value), ZATOI_NUMBER);
  EXPECT_EQ(value, -12);
  EXPECT_EQ(zatoi_("-12", -1, -1, &examined, &value), ZATOI_NUMBER);
  EXPECT_EQ(value, -12);
}

TEST_F(UtilTest, ZatoiReadsNoTextAsEmptyAndToleratesMissingOutputs) {
  int32_t examined = -1;
  int32_t value = -1;
  EXPECT_EQ(zatoi_(nullptr, -1, 1, &examined, &value), ZATOI_EMPTY);
  EXPECT_EQ(examined, 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(zatoi_(nullptr, 5, 1, &examined, &value), ZATOI_EMPTY);
  EXPECT_EQ(examined, 0);
  EXPECT_EQ(zatoi_("42", 2, 0, nullptr, nullptr), ZATOI_NUMBER);
}

// -------------------------------------------------------- wzstlen, wzstpos

TEST_F(UtilTest, WzstlenCountsUpToTheFirstZeroByte) {
  EXPECT_EQ(wzstlen_(nullptr), 0);
  EXPECT_EQ(wzstlen_(""), 0);
  EXPECT_EQ(wzstlen_("abc"), 3);
  EXPECT_EQ(wzstlen_("ab\0cd"), 2);
  const std::string long_text(70000, 'x');
  EXPECT_EQ(wzstlen_(long_text.c_str()), 70000);
}

struct PositionCase {
  const char* what;
  const char* text;
  int32_t count;
  int32_t character;
  int32_t position;
};

const PositionCase kPositionCases[] = {
    {"beyond the count", "abc", 2, 'c', -1},
    {"at the end of the count", "abc", 3, 'c', 2},
    {"first of several", "aXa", 3, 'a', 0},
    {"absent", "abc", 3, 'z', -1},
    {"null text", nullptr, 3, 'a', -1},
    {"zero count", "abc", 0, 'a', -1},
    {"negative count", "abc", -1, 'a', -1},
    {"only the low byte counts", "abc", 3, 0x100 + 'b', 1},
    {"byte above 0x7F", "a\xFF", 2, 0xFF, 1},
    {"negative character, low byte 0xFF", "a\xFF", 2, -1, 1},
    {"a zero byte within the count", "ab", 3, 0, 2},
};

TEST_F(UtilTest, WzstposFindsTheFirstMatchWithinTheCount) {
  for (const PositionCase& c : kPositionCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(wzstpos_(c.text, c.count, c.character), c.position);
  }
}

// ---------------------------------------------------------------- wzstcat

struct Piece {
  const char* text;
  int32_t length;
};

struct ConcatCase {
  const char* what;
  int32_t sizeCode;
  int32_t separator;
  std::vector<Piece> pieces;
  std::string written;  // the bytes the call must write, from the start
  int32_t count;
};

const ConcatCase kConcatCases[] = {
    {"terminated, separator cuts the last piece",
     -5,
     ',',
     {{"ab", 2}, {"cd", 2}},
     {"ab,c\0", 5},
     4},
    {"blank-padded, no separator", 6, -1, {{"ab", 2}, {"cd", 2}}, "abcd  ", 4},
    {"terminated, all fits", -10, ',', {{"ab", 2}, {"cd", 2}}, {"ab,cd\0", 6}, 5},
    {"room ends right after a separator", -4, ',', {{"ab", 2}, {"cd", 2}}, {"ab,\0", 4}, 3},
    {"room ends right after a piece", -3, ',', {{"ab", 2}, {"cd", 2}}, {"ab\0", 3}, 2},
    {"blank-padded exact fit, no terminator", 5, ',', {{"a", 1}, {"b", 1}, {"c", 1}}, "a,b,c", 5},
    {"blank-padded with fill", 7, ',', {{"a", 1}, {"b", 1}, {"c", 1}}, "a,b,c  ", 5},
    {"terminator only", -1, ',', {{"ab", 2}}, {"\0", 1}, 0},
    {"size 0 writes nothing", 0, ',', {{"ab", 2}}, "", 0},
    {"size 0 without separator", 0, -1, {{"ab", 2}}, "", 0},
    {"no pieces, terminated", -6, ',', {}, {"\0", 1}, 0},
    {"no pieces, blank-padded", 3, ',', {}, "   ", 0},
    {"no pieces, no separator", -6, -1, {}, {"\0", 1}, 0},
    {"empty pieces keep their separators", -8, '/', {{"", 0}, {"x", 1}, {"", 0}}, {"/x/\0", 4}, 3},
    {"piece length shorter than its text", -5, -1, {{"abc", 2}}, {"ab\0", 3}, 2},
    {"separator's low byte", -10, 0x100 + ',', {{"a", 1}, {"b", 1}}, {"a,b\0", 4}, 3},
    {"zero byte as separator", -10, 0, {{"a", 1}, {"b", 1}}, {"a\0b\0", 4}, 3},
    {"three pieces joined", -10, -1, {{"ab", 2}, {"cd", 2}, {"ef", 2}}, {"abcdef\0", 7}, 6},
    {"three pieces cut", -4, -1, {{"ab", 2}, {"cd", 2}, {"ef", 2}}, {"abc\0", 4}, 3},
    {"single piece, blank-padded", 4, ',', {{"ab", 2}}, "ab  ", 2},
    {"negative length copies nothing", -10, ',', {{"ab", -3}, {"cd", 2}}, {",cd\0", 4}, 3},
    {"null piece copies nothing", -10, '-', {{nullptr, 4}, {"cd", 2}}, {"-cd\0", 4}, 3},
};

constexpr char kUntouched = '#';
constexpr std::size_t kBufferSize = 16;

int32_t concatenate(ConcatFn wzstcat, char* buffer, const ConcatCase& c) {
  const auto& p = c.pieces;
  switch (p.size()) {
    case 0:
      return wzstcat(buffer, c.sizeCode, c.separator, 0);
    case 1:
      return wzstcat(buffer, c.sizeCode, c.separator, 1, p[0].text, p[0].length);
    case 2:
      return wzstcat(buffer, c.sizeCode, c.separator, 2, p[0].text, p[0].length, p[1].text,
                     p[1].length);
    case 3:
      return wzstcat(buffer, c.sizeCode, c.separator, 3, p[0].text, p[0].length, p[1].text,
                     p[1].length, p[2].text, p[2].length);
    default:
      ADD_FAILURE() << "at most three pieces per case";
      return -1;
  }
}

TEST_F(UtilTest, WzstcatWritesExactlyTheJoinedBytes) {
  for (const ConcatCase& c : kConcatCases) {
    SCOPED_TRACE(c.what);
    char buffer[kBufferSize];
    std::memset(buffer, kUntouched, sizeof buffer);
    EXPECT_EQ(concatenate(wzstcat_, buffer, c), c.count);
    ASSERT_LE(c.written.size(), kBufferSize);
    EXPECT_EQ(std::string(buffer, c.written.size()), c.written);
    // Nothing beyond the written bytes is touched.
    const std::string rest(buffer + c.written.size(), kBufferSize - c.written.size());
    EXPECT_EQ(rest, std::string(kBufferSize - c.written.size(), kUntouched));
  }
}

TEST_F(UtilTest, WzstcatWithoutBufferWritesNothing) {
  EXPECT_EQ(wzstcat_(nullptr, -5, ',', 1, "ab", 2), 0);
}

}  // namespace
}  // namespace qortest
