// The module's exported records, read byte for byte through dlsym the way a
// host reads them: the image information, the node list and node, the entry
// table and the version-control record.
#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include <qorldap/abi/image.h>
#include <qorldap/table.h>

namespace qortest {
namespace {

class RecordsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ = dlopen(QOR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
  }
  static void TearDownTestSuite() {
    if (library_ != nullptr) dlclose(library_);
    library_ = nullptr;
  }

  static const unsigned char* bytes(const char* name) {
    void* symbol = dlsym(library_, name);
    EXPECT_NE(symbol, nullptr) << name;
    return static_cast<const unsigned char*>(symbol);
  }
  static void* symbol(const char* name) { return dlsym(library_, name); }

 private:
  static inline void* library_ = nullptr;
};

constexpr std::size_t kWordBytes = 8;

// Little-endian 64-bit word at `offset`.
uint64_t word(const unsigned char* record, std::size_t offset) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | record[offset + i];
  return value;
}

std::string field(const unsigned char* record, std::size_t offset, std::size_t width) {
  return std::string(reinterpret_cast<const char*>(record) + offset, width);
}

// `text` followed by NUL bytes up to `width`.
std::string nulPadded(const std::string& text, std::size_t width) {
  std::string out = text;
  out.resize(width, '\0');
  return out;
}

std::string expectedShortRelease() {
  return std::to_string(QOR_TEST_VERSION_MAJOR) + "." + std::to_string(QOR_TEST_VERSION_MINOR) +
         std::to_string(QOR_TEST_VERSION_PATCH);
}

// "Mmm dd yyyy" with the day blank-padded.
bool isBuildDate(const std::string& date) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (date.size() != 11 || date[3] != ' ' || date[6] != ' ') return false;
  bool month = false;
  for (const char* m : kMonths) month = month || date.compare(0, 3, m) == 0;
  const bool day = (date[4] == ' ' || (date[4] >= '1' && date[4] <= '3')) && date[5] >= '0' &&
                   date[5] <= '9' && !(date[4] == ' ' && date[5] == '0');
  bool year = true;
  for (int i = 7; i < 11; ++i) year = year && date[i] >= '0' && date[i] <= '9';
  return month && day && year;
}

TEST_F(RecordsTest, ImageInformationBytes) {
  const unsigned char* image = bytes("vi_mcn");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(field(image, 0, 24), nulPadded("QOR_Image_Information=", 24));
  EXPECT_EQ(word(image, 24), 0xB0BDEBEDu);
  EXPECT_EQ(word(image, 32), 8u);
  EXPECT_EQ(field(image, 40, 6), nulPadded(expectedShortRelease(), 6));

  const std::string date = field(image, 66, 11);
  EXPECT_TRUE(isBuildDate(date)) << "'" << date << "'";
  EXPECT_EQ(field(image, 66, 30), nulPadded(date, 30));
  EXPECT_EQ(field(image, 46, 20), nulPadded(expectedShortRelease() + " " + date, 20));

  EXPECT_EQ(word(image, 96), reinterpret_cast<uintptr_t>(symbol("mcn_pcns")));
  EXPECT_NE(word(image, 104), 0u);
  EXPECT_EQ(field(image, 112, 8), nulPadded("001", 8));
}

// Flags of the loaded segment that holds `address`; 0 when none does.
uint32_t segmentFlags(const void* address) {
  struct Search {
    uintptr_t address;
    uint32_t flags;
  } search{reinterpret_cast<uintptr_t>(address), 0};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && s->address >= start && s->address < start + ph.p_memsz) {
            s->flags = ph.p_flags | PF_R;
            return 1;
          }
        }
        return 0;
      },
      &search);
  return search.flags;
}

TEST_F(RecordsTest, NoticeIsOneLineInReadOnlyData) {
  const unsigned char* image = bytes("vi_mcn");
  ASSERT_NE(image, nullptr);
  // The word is the notice's address.
  const char* notice =
      reinterpret_cast<const char*>(word(image, 104));  // NOLINT(performance-no-int-to-ptr)
  ASSERT_NE(notice, nullptr);
  const std::string text(notice);
  EXPECT_FALSE(text.empty());
  for (char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "byte " << int(c);
  const uint32_t flags = segmentFlags(notice);
  EXPECT_NE(flags, 0u) << "the notice lies in no loaded segment";
  EXPECT_EQ(flags & PF_W, 0u) << "the notice lies in writable data";
}

TEST_F(RecordsTest, ProgramControlNodeBytes) {
  const unsigned char* node = bytes("pcn_QORLDAP");
  ASSERT_NE(node, nullptr);
  const unsigned char head[8] = {0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(node, head, 8), 0);
  EXPECT_EQ(word(node, 8), 1024u);
  EXPECT_EQ(word(node, 16), 1024u);
  // Eight characters with a trailing blank and no terminator.
  EXPECT_EQ(field(node, 24, 8), "qorldap ");
  EXPECT_EQ(word(node, 32), 0u);
  EXPECT_EQ(word(node, 40), reinterpret_cast<uintptr_t>(symbol("qorldap")));
  EXPECT_NE(word(node, 40), 0u);
  EXPECT_EQ(word(node, 48), 1u);
  EXPECT_EQ(word(node, 56), 9683u);
  EXPECT_EQ(word(node, 64), 5350825u);
  EXPECT_EQ(word(node, 72), 15u);
}

TEST_F(RecordsTest, NodeListHoldsTheNodeThenNull) {
  const unsigned char* list = bytes("mcn_pcns");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(word(list, 0), reinterpret_cast<uintptr_t>(symbol("pcn_QORLDAP")));
  EXPECT_NE(word(list, 0), 0u);
  EXPECT_EQ(word(list, 8), 0u);
}

TEST_F(RecordsTest, EntryTableHoldsTheOperationsInOrder) {
  const unsigned char* table = bytes("ldaptbl");
  ASSERT_NE(table, nullptr);
  for (int w = 0; w < QORLDAP_FIRST_OPERATION_WORD; ++w)
    EXPECT_EQ(word(table, kWordBytes * w), 0u) << w;
  struct Operation {
    int word;
    const char* name;
  };
  const Operation kOperations[] = {
#define QOR_OPERATION(word, name, result, parameters) {word, #name},
      QORLDAP_OPERATIONS(QOR_OPERATION)
#undef QOR_OPERATION
  };
  for (const Operation& op : kOperations) {
    SCOPED_TRACE(op.name);
    void* address = symbol(op.name);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(word(table, kWordBytes * op.word), reinterpret_cast<uintptr_t>(address));
  }
}

TEST_F(RecordsTest, OperationWordsFollowTheHostsOrder) {
  // The order the host relies on, written out once more on purpose: the
  // operation list must not drift from it.
  const char* const kOrder[] = {
      "term",     "dsopen",  "dsclose",  "dsopt",    "dsiscls",  "dsexpgrp", "dsreslv",
      "dsrslvdn", "dsreg",   "dsmodify", "dsmodpad", "dsmodone", "dsdereg",  "dsfree",
      "dsgshrt",  "dsgint",  "dsglong",  "dsgflt",   "dsgdbl",   "dsgbin",   "dsgstr",
      "dsmkatt",  "dsfratt", "dsmynod",  "dsdnprnt", "dsgeterr", "dscompar"};
  static_assert(std::size(kOrder) == QORLDAP_OPERATION_COUNT);
  const unsigned char* table = bytes("ldaptbl");
  ASSERT_NE(table, nullptr);
  for (std::size_t i = 0; i < std::size(kOrder); ++i) {
    EXPECT_EQ(word(table, kWordBytes * (QORLDAP_FIRST_OPERATION_WORD + i)),
              reinterpret_cast<uintptr_t>(symbol(kOrder[i])))
        << kOrder[i];
  }
}

// "Mar  4 2025": the date of a count of seconds, as the image record holds it.
std::string utcDate(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[16] = {};
  std::strftime(text, sizeof text, "%b %e %Y", &parts);
  return text;
}

TEST_F(RecordsTest, VersionRecordFillsTwentySixWords) {
  using VersionFn = void (*)(qor_version_word*);
  auto vqvercn1 = reinterpret_cast<VersionFn>(symbol("vqvercn1"));
  ASSERT_NE(vqvercn1, nullptr);
  constexpr std::size_t kSlack = 4;
  constexpr int64_t kFill = static_cast<int64_t>(0xA5A5A5A5A5A5A5A5ull);
  qor_version_word buffer[QOR_VERSION_WORDS + kSlack];
  for (auto& w : buffer) w.number = kFill;
  vqvercn1(buffer);

  auto text = [&](int w) -> std::string {
    EXPECT_NE(buffer[w].text, nullptr) << "word " << w;
    return buffer[w].text == nullptr ? std::string("<null>") : std::string(buffer[w].text);
  };
  const unsigned char* image = bytes("vi_mcn");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(text(0), field(image, 46, 16)) << "the full release identifier";
  EXPECT_EQ(text(1), "") << "the module names no source tree";
  EXPECT_EQ(text(2), "");
  const int64_t built = buffer[3].number;
  EXPECT_GT(built, int64_t{1577836800}) << "before 2020";
  EXPECT_LE(built, static_cast<int64_t>(std::time(nullptr)) + 86400) << "in the future";
  EXPECT_EQ(field(image, 66, 11), utcDate(built)) << "the image date is the build time's day";
  EXPECT_EQ(text(0).substr(5), utcDate(built)) << "so is the full release identifier's";
  EXPECT_EQ(text(4), "base");
  EXPECT_EQ(text(5), "qorldap");
  EXPECT_FALSE(text(6).empty()) << "component label";
  EXPECT_EQ(text(7), "") << "the module names no build tree";
  EXPECT_EQ(text(8), "");
  EXPECT_EQ(text(9), "version");
  EXPECT_EQ(text(10), "::");
  EXPECT_EQ(text(11), "");
  EXPECT_EQ(text(12), "QOR_VERSION_HOTFIX_NUMBER=" + std::string(39, ' '));
  EXPECT_EQ(text(12).size(), 65u);
  EXPECT_EQ(text(13), "");
  EXPECT_EQ(text(14), "VERCON_IMAGE_DESCRIPTION=" + std::string(40, ' '));
  EXPECT_EQ(text(14).size(), 65u);
  EXPECT_FALSE(text(15).empty()) << "build-number label";
  for (int w = 16; w < QOR_VERSION_WORDS; ++w) EXPECT_EQ(buffer[w].text, nullptr) << w;
  for (std::size_t w = QOR_VERSION_WORDS; w < std::size(buffer); ++w) {
    EXPECT_EQ(buffer[w].number, kFill) << "word " << w << " lies beyond the record";
  }
}

}  // namespace
}  // namespace qortest
