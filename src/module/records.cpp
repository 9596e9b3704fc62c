// The records through which the host finds the module, the entry table, the
// version-control record and the three globals. All of it is static data laid
// out as the host reads it; the layouts are proven in the abi headers.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include <qorldap/abi/image.h>
#include <qorldap/table.h>

#include "module/build_info.h"

// The full release identifier: the release number and the build date
// ("1.00 Mar  4 2025", 16 characters). The date comes from the build time
// (SOURCE_DATE_EPOCH when set), not from the compiler's clock, so the image
// record and the version record name the same moment.
#define QOR_FULL_RELEASE QOR_SHORT_RELEASE " " QOR_BUILD_DATE

namespace qorldap::module {
namespace {

constexpr bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

static_assert(sizeof(QOR_SHORT_RELEASE) == 5 && isDigit(QOR_SHORT_RELEASE[0]) &&
                  QOR_SHORT_RELEASE[1] == '.' && isDigit(QOR_SHORT_RELEASE[2]) &&
                  isDigit(QOR_SHORT_RELEASE[3]),
              "the short release reads d.dd");
static_assert(sizeof(QOR_BUILD_DATE) == 12, "the build date has 11 characters");
static_assert(sizeof(QOR_FULL_RELEASE) == 17, "the full release identifier has 16 characters");
static_assert(sizeof(QOR_IMAGE_MARKER) == 23, "the image marker has 22 characters");
static_assert(sizeof(QOR_PCN_NAME) == 9, "the node name has eight characters");

// A text of exactly N characters: `head` followed by blanks, then a NUL.
template <std::size_t N>
struct PaddedText {
  char bytes[N + 1];
};

template <std::size_t N, std::size_t M>
constexpr PaddedText<N> blankPadded(const char (&head)[M]) {
  static_assert(M - 1 <= N, "the head fits the text");
  PaddedText<N> text{};
  for (std::size_t i = 0; i < N; ++i) text.bytes[i] = i + 1 < M ? head[i] : ' ';
  text.bytes[N] = '\0';
  return text;
}

constexpr std::size_t kLabelWidth = 65;
constexpr auto kHotfixNumber = blankPadded<kLabelWidth>("QOR_VERSION_HOTFIX_NUMBER=");
constexpr auto kImageDescription = blankPadded<kLabelWidth>("VERCON_IMAGE_DESCRIPTION=");

constexpr char kEmpty[] = "";
constexpr char kFullRelease[] = QOR_FULL_RELEASE;
constexpr char kNotice[] =
    "qorldap " QOR_SHORT_RELEASE " directory services provider module, built " QOR_BUILD_DATE;

// The node: the name field holds its eight characters and no terminator.
constexpr qor_pcn makeNode() {
  qor_pcn node{};
  node.head = QOR_PCN_HEAD;
  node.size1 = 1024;
  node.size2 = 1024;
  for (std::size_t i = 0; i < sizeof node.name; ++i) node.name[i] = QOR_PCN_NAME[i];
  node.zero = 0;
  node.entry = &abi::qorldap;
  node.one = 1;
  node.code9683 = 9683;
  node.code5350825 = 5350825;
  node.code15 = 15;
  return node;
}
constexpr qor_pcn kNode = makeNode();

// The version-control record that vqvercn1 copies out. Its two path words
// (the source search path and the build tree) are empty: an installed module
// must not name the tree it was built in, and the install prefix is known
// only when it is installed, after the module was linked.
constexpr qor_version_word info[QOR_VERSION_WORDS] = {
    {.text = kFullRelease},
    {.text = kEmpty},
    {.text = kEmpty},
    {.number = QOR_BUILD_TIME},
    {.text = "base"},
    {.text = "qorldap"},
    {.text = "directory services"},
    {.text = kEmpty},
    {.text = kEmpty},
    {.text = "version"},
    {.text = "::"},
    {.text = kEmpty},
    {.text = kHotfixNumber.bytes},
    {.text = kEmpty},
    {.text = kImageDescription.bytes},
    {.text = "build " QOR_PROJECT_VERSION},
    // Words 16 to 25 stay null.
};

// The operations sit in the table in the order of QORLDAP_OPERATIONS, and
// that order numbers them from the first operation word to the last word.
constexpr int kOperationWords[] = {
#define QOR_OPERATION_WORD(word, name, result, parameters) word,
    QORLDAP_OPERATIONS(QOR_OPERATION_WORD)
#undef QOR_OPERATION_WORD
};

constexpr bool operationsNumberedInOrder() {
  for (std::size_t i = 0; i < std::size(kOperationWords); ++i) {
    if (kOperationWords[i] != QORLDAP_FIRST_OPERATION_WORD + static_cast<int>(i)) return false;
  }
  return true;
}
static_assert(std::size(kOperationWords) == QORLDAP_OPERATION_COUNT);
static_assert(QORLDAP_FIRST_OPERATION_WORD + QORLDAP_OPERATION_COUNT == QORLDAP_TABLE_WORDS);
static_assert(operationsNumberedInOrder(), "operation words run 4, 5, ... 30 in list order");

}  // namespace
}  // namespace qorldap::module

extern "C" {

void* v_global_gcb_anchor = nullptr;
void* v_global_pidb_anchor = nullptr;
void* Exported_VQHandle = nullptr;

const qor_pcn pcn_QORLDAP = qorldap::module::kNode;
const qor_pcn* const mcn_pcns[2] = {&pcn_QORLDAP, nullptr};

const qor_image_info vi_mcn = {
    .marker = QOR_IMAGE_MARKER,
    .magic = QOR_IMAGE_MAGIC,
    .eight = 8,
    .shortRelease = QOR_SHORT_RELEASE,
    .fullRelease = QOR_FULL_RELEASE,
    .buildDate = QOR_BUILD_DATE,
    .pcns = mcn_pcns,
    .notice = qorldap::module::kNotice,
    .level = "001",
};

const qorldap_table ldaptbl = {.reserved = {},
#define QOR_TABLE_ENTRY(word, name, result, parameters) \
  .name = name, /* NOLINT(bugprone-macro-parentheses) */
                               QORLDAP_OPERATIONS(QOR_TABLE_ENTRY)
#undef QOR_TABLE_ENTRY
};

void vqvercn1(qor_version_word* buffer) {
  if (buffer == nullptr) return;
  for (std::size_t i = 0; i < QOR_VERSION_WORDS; ++i) buffer[i] = qorldap::module::info[i];
}

}  // extern "C"
