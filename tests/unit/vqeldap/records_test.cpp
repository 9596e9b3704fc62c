// The extension's backend-independent parts, without a server: packing
// search results, translating the records the module sends, the checks on
// search flags, reading the host text into servers, and the range options
// of ranged attribute values.
#include <ldap.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/changes.h"
#include "common/connection.h"
#include "common/result.h"
#include "common/status.h"
#include "ldap/der.h"
#include "ldap/endpoints.h"
#include "ldap/ranges.h"
#include "ldap/result_codes.h"

namespace {

using namespace vqeldap;

constexpr VQStatus kBadParameter = VQ_LDAP(0x59);

std::string textOf(const char* text, int64_t length) {
  return std::string(text, static_cast<std::size_t>(length));
}

// --- search results ---------------------------------------------------

TEST(ResultList, EmptyListReleasesNull) {
  ResultList list;
  EXPECT_EQ(list.release(), nullptr);
  freeResult(nullptr);  // given back as nothing
}

TEST(ResultList, PacksEntriesWithCountedZeroEndedTexts) {
  const std::string binary("\x00\xff\x00\x01", 4);
  ResultList list;
  ASSERT_TRUE(list.append({"uid=a,o=x", {{"cn", {"Alice", "A"}}, {"audio", {binary}}}}));
  ASSERT_TRUE(list.append({"o=x", {}}));
  ASSERT_TRUE(list.append({"cn=empty,o=x", {{"description", {""}}}}));
  ldent** result = list.release();
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(list.release(), nullptr) << "released twice";

  ASSERT_NE(result[0], nullptr);
  const ldent& first = *result[0];
  EXPECT_EQ(textOf(first.dn, first.dnlen), "uid=a,o=x");
  EXPECT_EQ(first.dn[first.dnlen], '\0');
  ASSERT_EQ(first.natts, 2);
  EXPECT_EQ(first.atts[2], nullptr);
  const ldatt& cn = *first.atts[0];
  EXPECT_EQ(textOf(cn.name, cn.namelen), "cn");
  ASSERT_EQ(cn.nvals, 2);
  EXPECT_EQ(cn.vals[2], nullptr);
  EXPECT_EQ(cn.vals[0]->type, LDV_STRING);
  EXPECT_EQ(textOf(cn.vals[0]->text, cn.vals[0]->textlen), "Alice");
  EXPECT_EQ(cn.vals[0]->text[5], '\0');
  EXPECT_EQ(textOf(cn.vals[1]->text, cn.vals[1]->textlen), "A");

  const ldval& audio = *first.atts[1]->vals[0];
  EXPECT_EQ(audio.type, LDV_BINARY);
  EXPECT_EQ(textOf(audio.text, audio.textlen), binary);
  EXPECT_EQ(audio.len, 4);
  EXPECT_EQ(audio.data.bytes, audio.text);

  ASSERT_NE(result[1], nullptr);
  EXPECT_EQ(result[1]->natts, 0);
  EXPECT_EQ(result[1]->atts[0], nullptr);

  ASSERT_NE(result[2], nullptr);
  const ldval& empty = *result[2]->atts[0]->vals[0];
  EXPECT_EQ(empty.textlen, 0);
  EXPECT_EQ(empty.text[0], '\0');
  EXPECT_EQ(result[3], nullptr);
  freeResult(result);
}

TEST(ResultList, GrowsPastItsFirstCapacityKeepingOrder) {
  ResultList list;
  std::vector<std::string> dns;
  dns.reserve(100);
  for (int i = 0; i < 100; ++i) dns.push_back("cn=e" + std::to_string(i) + ",o=x");
  for (const std::string& dn : dns) ASSERT_TRUE(list.append({dn, {{"cn", {dn}}}}));
  EXPECT_EQ(list.size(), 100u);
  ldent** result = list.release();
  for (std::size_t i = 0; i < dns.size(); ++i) {
    ASSERT_NE(result[i], nullptr) << i;
    EXPECT_EQ(textOf(result[i]->dn, result[i]->dnlen), dns[i]);
  }
  EXPECT_EQ(result[100], nullptr);
  freeResult(result);
}

// A result as lines of text: each entry's DN, then each attribute with its
// values, so that two results compare whole.
std::vector<std::string> linesOf(ldent* const* result) {
  std::vector<std::string> lines;
  for (ldent* const* entry = result; entry != nullptr && *entry != nullptr; ++entry) {
    lines.push_back("dn " + textOf((*entry)->dn, (*entry)->dnlen));
    for (int32_t a = 0; a < (*entry)->natts; ++a) {
      const ldatt& attribute = *(*entry)->atts[a];
      std::string line = textOf(attribute.name, attribute.namelen) + ":";
      for (int32_t k = 0; k < attribute.nvals; ++k) {
        line += " [" + textOf(attribute.vals[k]->text, attribute.vals[k]->textlen) + "]";
      }
      lines.push_back(line);
    }
  }
  return lines;
}

// One draft serves every entry: what the previous entry left in it must not
// reach the next one, and each attribute keeps exactly its own values.
TEST(ResultList, AReusedDraftPacksWhatTheViewsPack) {
  const std::vector<EntryView> views = {
      {"uid=a,o=x", {{"cn", {"Alice", "A"}}, {"mail", {}}, {"sn", {"Archer"}}}},
      {"o=x", {}},
      {"cn=b,o=x", {{"cn", {"B"}}, {"description", {"", "two"}}}}};
  ResultList fromViews, fromDraft;
  EntryDraft draft;
  for (const EntryView& view : views) {
    ASSERT_TRUE(fromViews.append(view));
    draft.start(view.dn);
    for (const AttributeView& attribute : view.attributes) {
      draft.addAttribute(attribute.name);
      for (std::string_view value : attribute.values) draft.addValue(value);
    }
    ASSERT_TRUE(fromDraft.append(draft));
  }
  ldent** expected = fromViews.release();
  ldent** packed = fromDraft.release();
  EXPECT_EQ(linesOf(packed), linesOf(expected));
  EXPECT_EQ(linesOf(packed).size(), 8u);
  freeResult(expected);
  freeResult(packed);
}

struct TextCase {
  const char* label;
  std::string bytes;
  bool text;
};

TEST(IsText, TellsUtf8TextFromBinary) {
  const TextCase cases[] = {
      {"ascii", "plain text", true},
      {"empty", "", true},
      {"two-byte", "J\xc3\xbcrgen", true},
      {"three-byte", "\xe2\x82\xac", true},
      {"four-byte", "\xf0\x9f\x98\x80", true},
      {"zero byte", std::string("a\0b", 3), false},
      {"lone continuation", "\x80", false},
      {"truncated", "\xc3", false},
      {"overlong slash", "\xc0\xaf", false},
      {"surrogate", "\xed\xa0\x80", false},
      {"beyond unicode", "\xf4\x90\x80\x80", false},
      {"jpeg start", "\xff\xd8\xff\xe0", false},
      // Past the first eight bytes, which are read as one word.
      {"long ascii", "cn=p000042-phone,ou=subscribers,o=example", true},
      {"zero byte late", std::string("abcdefghij\0kl", 13), false},
      {"zero in a word", std::string("abcdefgh\0bcdefgh", 16), false},
      {"two-byte late", "abcdefghijklmnop J\xc3\xbcrgen", true},
      {"bad byte late", "abcdefghijklmnop\xff", false},
  };
  for (const TextCase& c : cases) EXPECT_EQ(isText(c.bytes), c.text) << c.label;
}

// --- translation of what the module sends ------------------------------

ldval longValue(int64_t n) {
  ldval v{};
  v.type = LDV_LONG;
  v.data.number = n;
  return v;
}
ldval doubleValue(double d) {
  ldval v{};
  v.type = LDV_DOUBLE;
  v.data.real = d;
  return v;
}
ldval stringValue(const std::string& s) {
  ldval v{};
  v.type = LDV_STRING;
  v.text = s.data();
  v.textlen = static_cast<int64_t>(s.size());
  return v;
}
ldval binaryValue(const std::string& s) {
  ldval v{};
  v.type = LDV_BINARY;
  v.data.bytes = s.data();
  v.len = static_cast<int64_t>(s.size());
  return v;
}

// An ldatt over values the test keeps alive.
struct Attribute {
  std::string name;
  std::vector<ldval> values;
  std::vector<ldval*> pointers;
  ldatt record{};
  Attribute(std::string n, std::vector<ldval> v) : name(std::move(n)), values(std::move(v)) {
    for (ldval& value : values) pointers.push_back(&value);
    pointers.push_back(nullptr);
    record.name = name.data();
    record.namelen = static_cast<int64_t>(name.size());
    record.nvals = static_cast<int32_t>(values.size());
    record.vals = pointers.data();
  }
  Attribute(const Attribute&) = delete;
};

std::vector<std::string> valuesOf(const Change& change) {
  return {change.values.begin(), change.values.end()};
}

TEST(ChangeSet, SendsEveryKindAsLdapOctets) {
  const std::string text = "Alice", bytes("\x00\x01\xff", 3);
  Attribute attribute("description",
                      {longValue(42), longValue(-7), longValue(std::numeric_limits<int64_t>::min()),
                       doubleValue(2.5), doubleValue(0.1), doubleValue(-1e300), stringValue(text),
                       binaryValue(bytes)});
  ChangeSet set;
  ASSERT_EQ(set.addAttribute(ModOp::kReplace, attribute.record), 0u);
  ASSERT_EQ(set.changes().size(), 1u);
  const Change& change = set.changes()[0];
  EXPECT_EQ(change.op, ModOp::kReplace);
  EXPECT_EQ(change.name, "description");
  EXPECT_EQ(valuesOf(change), (std::vector<std::string>{"42", "-7", "-9223372036854775808", "2.5",
                                                        "0.1", "-1e+300", "Alice", bytes}));
  // Texts and bytes are borrowed, not copied.
  EXPECT_EQ(change.values[6].data(), text.data());
  EXPECT_EQ(change.values[7].data(), bytes.data());
}

TEST(ChangeSet, DoublesReadBackExactly) {
  for (double d : {1.0 / 3.0, 6.02214076e23, 5e-324, -0.0, 123456789.125}) {
    std::string text;
    ASSERT_TRUE(decimalText(d, text));
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
  }
}

TEST(ChangeSet, RefusesWhatCannotBeSent) {
  const std::string name = "cn";
  struct Case {
    const char* label;
    ldval value;
  };
  ldval unknownKind = stringValue("x");
  unknownKind.type = 9;
  ldval nullText{};
  nullText.type = LDV_STRING;
  nullText.textlen = 3;
  ldval negativeBinary = binaryValue("x");
  negativeBinary.len = -1;
  const Case cases[] = {
      {"unknown kind", unknownKind},
      {"NaN", doubleValue(std::nan(""))},
      {"infinity", doubleValue(std::numeric_limits<double>::infinity())},
      {"text pointer missing", nullText},
      {"negative byte count", negativeBinary},
  };
  for (const Case& c : cases) {
    Attribute attribute(name, {c.value});
    ChangeSet set;
    EXPECT_EQ(set.addAttribute(ModOp::kAdd, attribute.record), kBadParameter) << c.label;
    EXPECT_TRUE(set.changes().empty()) << c.label;
  }
}

TEST(ChangeSet, RefusesBadNamesAndCounts) {
  Attribute empty("", {stringValue("x")});
  Attribute zeroInName(std::string("c\0n", 3), {stringValue("x")});
  Attribute negative("cn", {});
  negative.record.nvals = -1;
  Attribute missingValue("cn", {stringValue("x")});
  missingValue.pointers[0] = nullptr;
  for (Attribute* attribute : {&empty, &zeroInName, &negative, &missingValue}) {
    ChangeSet set;
    EXPECT_EQ(set.addAttribute(ModOp::kAdd, attribute->record), kBadParameter) << attribute->name;
  }
}

TEST(ChangeSet, AddTextTakesAZeroEndedValueOrNone) {
  ChangeSet set;
  ASSERT_EQ(set.addText(ModOp::kAdd, "mail", "a@example.org"), 0u);
  ASSERT_EQ(set.addText(ModOp::kDelete, "mail", nullptr), 0u);
  EXPECT_EQ(set.addText(ModOp::kAdd, "", "x"), kBadParameter);
  ASSERT_EQ(set.changes().size(), 2u);
  EXPECT_EQ(valuesOf(set.changes()[0]), std::vector<std::string>{"a@example.org"});
  EXPECT_TRUE(set.changes()[1].values.empty());
}

TEST(Translate, EntryPassesOverEmptySlotsAndAttributesWithoutValues) {
  Attribute cn("cn", {stringValue("x")}), none("description", {}), sn("sn", {stringValue("y")});
  ldatt* atts[] = {&cn.record, nullptr, &none.record, &sn.record, nullptr};
  ldent entry{};
  entry.natts = 4;
  entry.atts = atts;
  ChangeSet set;
  ASSERT_EQ(translateEntry(entry, set), 0u);
  ASSERT_EQ(set.changes().size(), 2u);
  EXPECT_EQ(set.changes()[0].name, "cn");
  EXPECT_EQ(set.changes()[1].name, "sn");
  EXPECT_EQ(set.changes()[0].op, ModOp::kAdd);
}

TEST(Translate, ModificationsKeepTheirOperations) {
  Attribute mail("mail", {stringValue("a@x")}), phone("telephoneNumber", {});
  ldmod add{0, 0, &mail.record}, remove{1, 0, &phone.record};
  ldmod* mods[] = {&add, &remove, nullptr};
  ChangeSet set;
  ASSERT_EQ(translateMods(mods, set), 0u);
  ASSERT_EQ(set.changes().size(), 2u);
  EXPECT_EQ(set.changes()[0].op, ModOp::kAdd);
  EXPECT_EQ(set.changes()[1].op, ModOp::kDelete);
  EXPECT_TRUE(set.changes()[1].values.empty());

  ldmod unknown{3, 0, &mail.record}, missing{0, 0, nullptr};
  for (ldmod* bad : {&unknown, &missing}) {
    ldmod* one[] = {bad, nullptr};
    ChangeSet refused;
    EXPECT_EQ(translateMods(one, refused), kBadParameter);
  }
  ChangeSet none;
  EXPECT_EQ(translateMods(nullptr, none), kBadParameter);
}

TEST(Translate, ModificationListsApplyTheirOperationToEachAttribute) {
  Attribute a("mail", {stringValue("a@x")}), b("description", {stringValue("d")});
  ldatt* both[] = {&a.record, &b.record, nullptr};
  ldatt* neither[] = {nullptr};
  ldmodp replace{2, 0, both}, empty{0, 0, neither}, absent{1, 0, nullptr};
  ldmodp* mods[] = {&replace, &empty, &absent, nullptr};
  ChangeSet set;
  ASSERT_EQ(translateModLists(mods, set), 0u);
  ASSERT_EQ(set.changes().size(), 2u);
  for (const Change& change : set.changes()) EXPECT_EQ(change.op, ModOp::kReplace);
  EXPECT_EQ(set.changes()[1].name, "description");

  ldmodp unknown{3, 0, both};
  ldmodp* bad[] = {&unknown, nullptr};
  ChangeSet refused;
  EXPECT_EQ(translateModLists(bad, refused), kBadParameter);
}

TEST(CountedText, ChecksLengthAgainstPointer) {
  std::string_view view;
  EXPECT_EQ(countedText(nullptr, 0, view), 0u);
  EXPECT_TRUE(view.empty());
  EXPECT_EQ(countedText("abcdef", 3, view), 0u);
  EXPECT_EQ(view, "abc");
  EXPECT_EQ(countedText(nullptr, 2, view), kBadParameter);
  EXPECT_EQ(countedText("abc", -1, view), kBadParameter);
}

// --- search flags -------------------------------------------------------

TEST(SearchFlags, NameTheFourRequestsAndRefuseTheRest) {
  struct Case {
    uint64_t flags;
    bool accepted;
    bool readDn;
    Scope scope;
  };
  const Case cases[] = {
      {QOR_SEARCH_SUBTREE, true, false, Scope::kSubtree},
      {QOR_SEARCH_ONELEVEL, true, false, Scope::kOneLevel},
      {QOR_SEARCH_BASE, true, false, Scope::kBase},
      {QOR_SEARCH_READ_DN, true, true, Scope::kBase},
      {6, false, false, Scope::kSubtree},
      {1, false, false, Scope::kSubtree},
      {0x12, false, false, Scope::kSubtree},
      {0x100000000ull, false, false, Scope::kSubtree},
  };
  for (const Case& c : cases) {
    SearchRequest request;
    ASSERT_EQ(requestOf(c.flags, request), c.accepted) << c.flags;
    if (!c.accepted) continue;
    EXPECT_EQ(request.readDn, c.readDn) << c.flags;
    EXPECT_EQ(request.scope, c.scope) << c.flags;
  }
}

// --- host text ------------------------------------------------------------

// --- reading an attribute's encoding in place ----------------------------

struct DerCase {
  const char* label;
  std::string bytes;
  unsigned char tag;
  bool taken;
  std::string content;
};

std::string repeated(std::size_t count) {
  return std::string(count, 'v');
}

// Lengths of every form the server uses, and every way bytes can lie about
// their length; a refused element leaves the reader where it was.
TEST(DerReader, TakesElementsOfDefiniteLengthInsideTheirBytes) {
  using vqeldap::ldap::DerReader;
  const DerCase cases[] = {
      {"short",
       std::string("\x04\x03"
                   "abc",
                   5),
       0x04, true, "abc"},
      {"empty content", std::string("\x04\x00", 2), 0x04, true, ""},
      {"one length octet", std::string("\x04\x81\x80", 3) + repeated(128), 0x04, true,
       repeated(128)},
      {"three length octets", std::string("\x04\x83\x01\x00\x00", 5) + repeated(65536), 0x04, true,
       repeated(65536)},
      {"another tag",
       std::string("\x31\x01"
                   "a",
                   3),
       0x04, false, ""},
      {"indefinite length",
       std::string("\x04\x80"
                   "ab\x00\x00",
                   6),
       0x04, false, ""},
      {"past the end",
       std::string("\x04\x05"
                   "abc",
                   5),
       0x04, false, ""},
      {"length octets missing", std::string("\x04\x82\x01", 3), 0x04, false, ""},
      {"five length octets",
       std::string("\x04\x85\x00\x00\x00\x00\x01"
                   "a",
                   8),
       0x04, false, ""},
      {"tag alone", std::string("\x04", 1), 0x04, false, ""},
      {"nothing", "", 0x04, false, ""},
  };
  for (const DerCase& c : cases) {
    DerReader reader(c.bytes);
    std::string_view content = "untouched";
    EXPECT_EQ(reader.take(c.tag, content), c.taken) << c.label;
    EXPECT_EQ(content, c.taken ? std::string_view(c.content) : "untouched") << c.label;
    EXPECT_EQ(reader.empty(), c.taken || c.bytes.empty()) << c.label;
  }
  // Elements follow one another.
  DerReader pair(
      std::string_view("\x04\x01"
                       "a"
                       "\x31\x00",
                       5));
  std::string_view first, second;
  EXPECT_TRUE(pair.take(0x04, first) && pair.take(0x31, second) && pair.empty());
  EXPECT_EQ(first, "a");
}

// --- ranged attribute values -------------------------------------------

// What a server may put in a description, hostile forms included: only a
// well-formed range option is followed, and one that names a range it does
// not spell is refused rather than handed on under a name nobody asks for.
TEST(RangeOption, ReadsWellFormedRangesAndRefusesTheRest) {
  using vqeldap::ldap::RangeOption;
  struct Case {
    const char* description;
    RangeOption option;
    bool last = false;
    const char* plain = "";
    uint64_t low = 0, high = 0;
  };
  const Case cases[] = {
      {"member", RangeOption::kNone},
      {"member;binary", RangeOption::kNone},
      {"member;ranged", RangeOption::kNone},
      {"member;range=0-1499", RangeOption::kRanged, false, "member", 0, 1499},
      {"member;Range=1500-*", RangeOption::kRanged, true, "member", 1500},
      {"userCertificate;binary;range=2-*", RangeOption::kRanged, true, "userCertificate;binary", 2},
      {"member;range=0-0;lang-en", RangeOption::kRanged, false, "member;lang-en"},
      {"member;range=", RangeOption::kMalformed},
      {"member;range=5", RangeOption::kMalformed},
      {"member;range=-5", RangeOption::kMalformed},
      {"member;range=5-", RangeOption::kMalformed},
      {"member;range=9-3", RangeOption::kMalformed},
      {"member;range=+1-2", RangeOption::kMalformed},
      {"member;range=0-4294967296", RangeOption::kMalformed},
      {"member;range=0-99999999999999999999999", RangeOption::kMalformed},
      {"member;range=0-1x", RangeOption::kMalformed},
      {"member;range=*-*", RangeOption::kMalformed},
  };
  for (const Case& c : cases) {
    vqeldap::ldap::RangedDescription ranged;
    ASSERT_EQ(vqeldap::ldap::parseRange(c.description, ranged), c.option) << c.description;
    if (c.option != RangeOption::kRanged) continue;
    EXPECT_EQ(vqeldap::ldap::plainDescription(ranged), c.plain) << c.description;
    EXPECT_EQ(ranged.low, c.low) << c.description;
    EXPECT_EQ(ranged.last, c.last) << c.description;
    EXPECT_EQ(c.last ? c.high : ranged.high, c.high) << c.description;
  }
  // Descriptions of every length around the eight bytes looked at at once,
  // a ';' in each place or none, and bytes that differ from ';' in one bit.
  for (std::size_t size = 0; size <= 17; ++size) {
    const std::string plain(size, static_cast<char>(';' ^ 0x80));
    EXPECT_FALSE(vqeldap::ldap::hasOptions(plain)) << size;
    EXPECT_FALSE(vqeldap::ldap::hasOptions(std::string(size, ';' ^ 0x01))) << size;
    for (std::size_t at = 0; at < size; ++at) {
      std::string withOption = plain;
      withOption[at] = ';';
      EXPECT_TRUE(vqeldap::ldap::hasOptions(withOption)) << size << " at " << at;
    }
  }
  vqeldap::ldap::RangedDescription options;
  ASSERT_EQ(vqeldap::ldap::parseRange("cert;binary;range=0-1;x", options), RangeOption::kRanged);
  EXPECT_EQ(vqeldap::ldap::followingDescription(options, 2), "cert;binary;range=2-*;x");
}

// Slices as a server sends them, one sequence a case: the good ones end
// with every value, a hostile one is refused at the slice that lies.
TEST(RangeSequence, FollowsSlicesThatContinueAndRefusesTheRest) {
  struct Slice {
    const char* range;
    std::size_t count;
  };
  struct Case {
    const char* label;
    std::vector<Slice> slices;
    std::size_t refusedAt;  // the index of the refused slice; the size: none
    uint64_t values;        // gathered in all, when none is refused
  };
  const std::size_t kNone = 99;
  const Case cases[] = {
      {"one slice", {{"0-*", 3}}, kNone, 3},
      {"three slices", {{"0-29", 30}, {"30-59", 30}, {"60-*", 7}}, kNone, 67},
      {"empty last slice", {{"0-1", 2}, {"2-*", 0}}, kNone, 2},
      {"first not at 0", {{"5-9", 5}}, 0, 0},
      {"overlap", {{"0-9", 10}, {"5-*", 3}}, 1, 0},
      {"gap", {{"0-9", 10}, {"11-*", 3}}, 1, 0},
      {"the first again", {{"0-9", 10}, {"0-9", 10}}, 1, 0},
      {"fewer values than the range", {{"0-9", 9}}, 0, 0},
      {"more values than the range", {{"0-9", 11}}, 0, 0},
      {"a huge range", {{"0-4000000000", 2}}, 0, 0},
      {"too many values", {{"0-*", 101}}, 0, 0},
      {"too many slices", {{"0-0", 1}, {"1-1", 1}, {"2-2", 1}, {"3-3", 1}, {"4-*", 1}}, 4, 0},
  };
  for (const Case& c : cases) {
    vqeldap::ldap::RangeSequence sequence(100, 4);
    std::size_t refusedAt = kNone;
    for (std::size_t i = 0; i < c.slices.size() && refusedAt == kNone; ++i) {
      vqeldap::ldap::RangedDescription slice;
      const std::string description = std::string("member;range=") + c.slices[i].range;
      ASSERT_EQ(vqeldap::ldap::parseRange(description, slice), vqeldap::ldap::RangeOption::kRanged)
          << c.label;
      if (sequence.accept(slice, c.slices[i].count) != nullptr) refusedAt = i;
    }
    EXPECT_EQ(refusedAt, c.refusedAt) << c.label;
    if (c.refusedAt != kNone) continue;
    EXPECT_TRUE(sequence.done()) << c.label;
    EXPECT_EQ(sequence.next(), c.values) << c.label;
  }
}

TEST(Endpoints, ReadHostNamesAndUris) {
  struct Case {
    const char* hosts;
    int port;
    bool startTls;
    std::vector<std::string> uris;
    std::vector<bool> tls, starttls;
  };
  const Case cases[] = {
      {"ldap.example.org", 389, false, {"ldap://ldap.example.org:389"}, {false}, {false}},
      {"127.0.0.1", 0, false, {"ldap://127.0.0.1"}, {false}, {false}},
      {"dir-1.example:1389", 389, true, {"ldap://dir-1.example:1389"}, {false}, {true}},
      {"[::1]:636", 389, false, {"ldap://[::1]:636"}, {false}, {false}},
      {"::1", 10389, false, {"ldap://[::1]:10389"}, {false}, {false}},
      {"host:65535 ldap://h:1", 389, false, {"ldap://host:65535", "ldap://h:1"}, {0, 0}, {0, 0}},
      {"  a   b\tc ", 7, false, {"ldap://a:7", "ldap://b:7", "ldap://c:7"}, {0, 0, 0}, {0, 0, 0}},
      {"ldap://x:1 LDAPS://y ldapi://%2Ftmp%2Fs ldaps://[::1]:6360/o=x",
       389,
       true,
       {"ldap://x:1", "ldap://y:636", "ldapi://%2Ftmp%2Fs", "ldap://[::1]:6360"},
       {false, true, false, true},
       {true, false, false, false}},
  };
  for (const Case& c : cases) {
    std::vector<vqeldap::ldap::Endpoint> endpoints;
    ASSERT_TRUE(vqeldap::ldap::parseEndpoints(c.hosts, c.port, c.startTls, endpoints)) << c.hosts;
    ASSERT_EQ(endpoints.size(), c.uris.size()) << c.hosts;
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
      EXPECT_EQ(endpoints[i].uri, c.uris[i]) << c.hosts;
      EXPECT_EQ(endpoints[i].tls, c.tls[i]) << c.hosts;
      EXPECT_EQ(endpoints[i].startTls, c.starttls[i]) << c.hosts;
    }
  }
}

TEST(Endpoints, RefuseWhatNamesNoServer) {
  for (const char* hosts :
       {"", "   ", "http://x", "ldap://[::1", "bad/host", "host:", "host:0", "host:99999",
        "host:12ab", "[::1]x", "h\xc3\xa9te", "a b/c", "ldaps://127.0.0.1:1/,ldap://127.0.0.1:2/",
        "ldap://h/o=a,c=b", "ldapi://%2Ftmp%2Fs,x", "ldaps://a%2Fb", "ldap://h:65536",
        "ldaps://[:]"}) {
    std::vector<vqeldap::ldap::Endpoint> endpoints;
    EXPECT_FALSE(vqeldap::ldap::parseEndpoints(hosts, 389, false, endpoints)) << hosts;
  }
  std::vector<vqeldap::ldap::Endpoint> endpoints;
  EXPECT_FALSE(vqeldap::ldap::parseEndpoints("host", 70000, false, endpoints))
      << "port out of range";
  // libldap would read only up to the zero byte.
  EXPECT_FALSE(vqeldap::ldap::parseEndpoints(std::string_view("ldaps://h\0.x ldap://h", 21), 389,
                                             false, endpoints));
}

// --- client codes ----------------------------------------------------------

// connectError (0x5B) is TLS failing and nothing else; only a server that
// could not be reached or used lets the next one be tried; only the
// server's limits leave a search's entries with its failure.
TEST(ClientCodes, ConnectErrorMeansTlsAndEndsTheOpen) {
  struct Case {
    int code;
    VQStatus status;
    bool tryNext;
    bool pagingRefused = false;  // the search is tried again without paging
    bool keepsEntries = false;   // the entries before the failure are handed over
  };
  const Case cases[] = {{LDAP_CONNECT_ERROR, VQ_LDAP(0x5B), false},
                        {LDAP_X_CONNECTING, VQ_LDAP(0x51), true},
                        {LDAP_SERVER_DOWN, VQ_LDAP(0x51), true},
                        {LDAP_TIMEOUT, VQ_LDAP(0x55), true},
                        {LDAP_INVALID_CREDENTIALS, VQ_LDAP(0x31), false},
                        {LDAP_ADMINLIMIT_EXCEEDED, VQ_LDAP(0x0B), false, true, true},
                        {LDAP_UNAVAILABLE_CRITICAL_EXTENSION, VQ_LDAP(0x0C), false, true},
                        {LDAP_UNWILLING_TO_PERFORM, VQ_LDAP(0x35), false, true},
                        {LDAP_SIZELIMIT_EXCEEDED, VQ_LDAP(0x04), false, false, true},
                        {LDAP_TIMELIMIT_EXCEEDED, VQ_LDAP(0x03), false, false, true},
                        {LDAP_DECODING_ERROR, VQ_LDAP(0x54), false},
                        {LDAP_OTHER, VQ_LDAP(0x50), false}};
  for (const Case& c : cases) {
    EXPECT_EQ(vqeldap::ldap::statusOf(c.code), c.status) << c.code;
    EXPECT_EQ(vqeldap::ldap::serverUnreachable(c.code), c.tryNext) << c.code;
    EXPECT_EQ(vqeldap::ldap::pagingRefusal(c.code), c.pagingRefused) << c.code;
    EXPECT_EQ(vqeldap::ldap::keepsEntries(c.code), c.keepsEntries) << c.code;
  }
}

}  // namespace
