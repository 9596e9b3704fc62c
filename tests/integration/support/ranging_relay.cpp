#include "integration/support/ranging_relay.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "integration/support/ldap_message.h"

namespace qortest {
namespace {

constexpr unsigned char kSearchRequest = 0x63;
constexpr unsigned char kSearchEntry = 0x64;
constexpr unsigned char kSearchDone = 0x65;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kEnumerated = 0x0A;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;

bool sameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A request for a slice: the description without its range option, and the
// range asked for (no high end: '*').
struct Slice {
  std::string plain;
  std::size_t low = 0;
  std::optional<std::size_t> high;
};

// Reads `TYPE[;OPTIONS];range=LOW-HIGH|*[;OPTIONS]`.
std::optional<Slice> sliceAsked(std::string_view description) {
  constexpr std::string_view kRange = ";range=";
  for (std::size_t at = description.find(';'); at != std::string_view::npos;
       at = description.find(';', at + 1)) {
    if (!sameText(description.substr(at, kRange.size()), kRange)) continue;
    const std::size_t end = std::min(description.find(';', at + 1), description.size());
    const std::string range(description.substr(at + kRange.size(), end - at - kRange.size()));
    const std::size_t dash = range.find('-');
    if (dash == std::string::npos) return std::nullopt;
    Slice slice;
    slice.plain = std::string(description.substr(0, at)) + std::string(description.substr(end));
    slice.low = std::stoul(range.substr(0, dash));
    if (range.substr(dash + 1) != "*") slice.high = std::stoul(range.substr(dash + 1));
    return slice;
  }
  return std::nullopt;
}

struct Attribute {
  std::string_view description;
  std::vector<std::string_view> values;
};

struct Entry {
  std::string_view dn;
  std::vector<Attribute> attributes;
};

bool readEntry(std::string_view content, Entry& out) {
  unsigned char tag = 0;
  std::string_view list;
  if (!takeElement(content, tag, out.dn) || !takeElement(content, tag, list)) return false;
  while (!list.empty()) {
    std::string_view attribute, set, value;
    Attribute read;
    if (!takeElement(list, tag, attribute) || !takeElement(attribute, tag, read.description) ||
        !takeElement(attribute, tag, set)) {
      return false;
    }
    while (takeElement(set, tag, value)) read.values.push_back(value);
    out.attributes.push_back(std::move(read));
  }
  return true;
}

std::string encodeEntry(const Message& message, const Entry& entry) {
  std::string list;
  for (const Attribute& attribute : entry.attributes) {
    std::string set, body;
    for (std::string_view value : attribute.values) appendElement(set, kOctetString, value);
    appendElement(body, kOctetString, attribute.description);
    appendElement(body, kSet, set);
    appendElement(list, kSequence, body);
  }
  std::string content;
  appendElement(content, kOctetString, entry.dn);
  appendElement(content, kSequence, list);
  return withContent(message, content);
}

std::string rangeName(std::string_view description, std::size_t low, std::size_t end, bool last) {
  return std::string(description) + ";range=" + std::to_string(low) + "-" +
         (last ? std::string("*") : std::to_string(end));
}

}  // namespace

class RangingRelay::Rewriter final : public MessageRewriter {
 public:
  explicit Rewriter(RangingOptions options) : options_(std::move(options)) {}

  bool request(const void* connection, std::string& message) override;
  void reply(const void* connection, std::string& message) override;

  void fail(SliceFault fault, int code, std::string text) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
    code_ = code;
    text_ = std::move(text);
  }
  int64_t sliceRequests() const {
    std::lock_guard lock(mutex_);
    return sliceRequests_;
  }

 private:
  using Key = std::pair<const void*, int64_t>;
  bool ranged(std::string_view description) const;
  void cutFirstSlices(const Message& message, std::string& bytes) const;
  void cutSlice(const Message& message, const Slice& slice, std::string& bytes) const;
  std::string errorResult(const Message& message) const;

  const RangingOptions options_;
  mutable std::mutex mutex_;  // the fault is set while connections run
  SliceFault fault_ = SliceFault::kNone;
  int code_ = 0;
  std::string text_;
  int64_t sliceRequests_ = 0;
  std::map<Key, Slice> asked_;  // slice requests not yet answered in full
};

bool RangingRelay::Rewriter::ranged(std::string_view description) const {
  const std::string_view type = description.substr(0, description.find(';'));
  return std::any_of(options_.attributes.begin(), options_.attributes.end(),
                     [&](const std::string& name) { return sameText(name, type); });
}

bool RangingRelay::Rewriter::request(const void* connection, std::string& bytes) {
  Message message;
  SearchFields fields;
  if (!parseMessage(bytes, message) || message.op != kSearchRequest ||
      !readSearch(message.content, fields)) {
    return true;
  }
  std::optional<Slice> slice;
  std::string list;
  for (std::string_view description : fields.attributes) {
    std::optional<Slice> asked = sliceAsked(description);
    appendElement(list, kOctetString, asked ? std::string_view(asked->plain) : description);
    if (asked) slice = std::move(asked);
  }
  if (!slice) return true;
  std::lock_guard lock(mutex_);
  ++sliceRequests_;
  if (fault_ == SliceFault::kCut) return false;
  if (options_.native) return true;
  std::string content(fields.head);
  appendElement(content, kSequence, list);
  bytes = withContent(message, content);
  asked_[Key{connection, message.id}] = std::move(*slice);
  return true;
}

void RangingRelay::Rewriter::reply(const void* connection, std::string& bytes) {
  Message message;
  if (!parseMessage(bytes, message)) return;
  std::lock_guard lock(mutex_);
  const auto asked = asked_.find(Key{connection, message.id});
  if (asked == asked_.end()) {
    if (message.op == kSearchEntry) cutFirstSlices(message, bytes);
    return;
  }
  if (message.op == kSearchDone) {
    if (fault_ == SliceFault::kErrorResult) bytes = errorResult(message);
    asked_.erase(asked);
  } else if (message.op == kSearchEntry) {
    if (fault_ == SliceFault::kErrorResult || fault_ == SliceFault::kNoEntry) {
      bytes.clear();
    } else if (fault_ == SliceFault::kFirstSliceAgain) {
      cutFirstSlices(message, bytes);
    } else {
      cutSlice(message, asked->second, bytes);
    }
  }
}

// What a DC sends for an entry asked for without ranges: the first slice of
// each attribute with more values than a slice holds.
void RangingRelay::Rewriter::cutFirstSlices(const Message& message, std::string& bytes) const {
  Entry entry;
  if (!readEntry(message.content, entry)) return;
  const std::size_t size = options_.sliceSize;
  std::vector<std::string> names;
  names.reserve(entry.attributes.size());
  bool cut = false;
  for (Attribute& attribute : entry.attributes) {
    if (!ranged(attribute.description) || attribute.values.size() <= size) continue;
    attribute.values.resize(size);
    attribute.description =
        names.emplace_back(rangeName(attribute.description, 0, size - 1, false));
    cut = true;
  }
  if (cut) bytes = encodeEntry(message, entry);
}

// The slice asked for, of at most a slice's size, from the plain attribute
// that slapd sent.
void RangingRelay::Rewriter::cutSlice(const Message& message, const Slice& slice,
                                      std::string& bytes) const {
  Entry entry;
  if (!readEntry(message.content, entry)) return;
  std::string name;
  for (Attribute& attribute : entry.attributes) {
    if (!sameText(attribute.description, slice.plain)) continue;
    // The values from `low` up to and without `end`.
    const std::size_t count = attribute.values.size();
    const std::size_t low = std::min(slice.low, count);
    std::size_t end = low + options_.sliceSize;
    if (slice.high) end = std::min(end, *slice.high + 1);
    const bool last = end >= count;
    end = std::min(end, count);
    attribute.values.resize(end);
    attribute.values.erase(attribute.values.begin(),
                           attribute.values.begin() + static_cast<std::ptrdiff_t>(low));
    name = rangeName(attribute.description, slice.low, end - 1, last);
    attribute.description = name;
  }
  bytes = encodeEntry(message, entry);
}

std::string RangingRelay::Rewriter::errorResult(const Message& message) const {
  std::string content;
  appendElement(content, kEnumerated, std::string(1, static_cast<char>(code_)));
  appendElement(content, kOctetString, "");
  appendElement(content, kOctetString, text_);
  Message result = message;
  result.op = kSearchDone;
  return withContent(result, content);
}

RangingRelay::RangingRelay(int targetPort, RangingOptions options)
    : proxy_(targetPort, std::chrono::microseconds(0)),
      rewriter_(std::make_shared<Rewriter>(std::move(options))) {
  proxy_.rewriteWith(rewriter_);
}

RangingRelay::~RangingRelay() = default;

void RangingRelay::failSlices(SliceFault fault, int code, std::string text) {
  rewriter_->fail(fault, code, std::move(text));
}

int64_t RangingRelay::sliceRequests() const {
  return rewriter_->sliceRequests();
}

}  // namespace qortest
