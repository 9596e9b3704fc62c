#include "ldif/journal.h"

#include <lber.h>
#include <ldif.h>
#include <strings.h>

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include "common/status.h"

namespace vqeldap::ldif {

namespace {

constexpr VQStatus kMalformed = kernelStatus(Code::kDecodingError);
constexpr std::string_view kHeader = "# journal of ";
constexpr std::string_view kCommitted = "# committed ";
constexpr std::string_view kFolded = "# folded into ";
constexpr std::string_view kFrameEnd = "\n\n";

uint64_t checksumOf(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a, 64 bits
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string identityText(const FileIdentity& file) {
  char text[128];
  std::snprintf(text, sizeof text, "%ju %ju %jd %jd.%09ld", static_cast<uintmax_t>(file.device),
                static_cast<uintmax_t>(file.inode), static_cast<intmax_t>(file.size),
                static_cast<intmax_t>(file.modified.tv_sec), file.modified.tv_nsec);
  return text;
}

bool parseIdentity(std::string_view text, FileIdentity& out) {
  uintmax_t device = 0, inode = 0;
  intmax_t size = 0, seconds = 0;
  long nanoseconds = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%ju %ju %jd %jd.%ld", &device, &inode, &size, &seconds,
                  &nanoseconds) != 5) {
    return false;
  }
  out = FileIdentity{static_cast<dev_t>(device), static_cast<ino_t>(inode),
                     static_cast<off_t>(size), timespec{static_cast<time_t>(seconds), nanoseconds}};
  return true;
}

bool fail(LoadFailure& failure, std::size_t offset, const std::string& reason) {
  failure =
      LoadFailure{kMalformed, 0, "the journal at byte " + std::to_string(offset) + ": " + reason};
  return false;
}

struct FreeValue {
  void operator()(char* value) const { ber_memfree(value); }
};

// One change record, its lines parsed with libldap's LDIF routines.
class ChangeRecord {
 public:
  enum class Kind { kAdd, kModify, kDelete };

  // False when a line is not LDIF or the record is not one a journal holds.
  bool parse(std::string_view text) {
    buffer_.assign(text);
    char* next = buffer_.data();
    for (char* line = ldif_getline(&next); line != nullptr; line = ldif_getline(&next)) {
      if (!takeLine(line)) return false;
    }
    return kindSeen_;
  }

  Kind kind() const { return kind_; }
  const std::string& dn() const { return dn_; }
  const std::vector<engine::NamedValues>& attributes() const { return attributes_; }

 private:
  bool takeLine(char* line) {
    if (std::strcmp(line, "-") == 0) {
      replacing_ = false;
      return kind_ == Kind::kModify;
    }
    berval type{}, value{};
    int freeValue = 0;
    if (ldif_parse_line2(line, &type, &value, &freeValue) < 0) return false;
    std::unique_ptr<char, FreeValue> held(freeValue != 0 ? value.bv_val : nullptr);
    std::string_view name(type.bv_val, type.bv_len);
    std::string_view text(value.bv_val == nullptr ? "" : value.bv_val, value.bv_len);
    if (held != nullptr) text = texts_.emplace_back(text);
    if (!hasDn_) {
      hasDn_ = strncasecmp(name.data(), "dn", name.size()) == 0 && name.size() == 2;
      dn_.assign(text);
      return hasDn_;
    }
    if (!kindSeen_) return takeKind(name, text);
    if (kind_ == Kind::kAdd || (kind_ == Kind::kModify && replacing_)) {
      attributes_.push_back(engine::NamedValues{name, {text}});
      return true;
    }
    return kind_ == Kind::kModify && takeModification(name, text);
  }

  bool takeKind(std::string_view name, std::string_view text) {
    if (name != "changetype") return false;
    kindSeen_ = true;
    if (text == "add")
      kind_ = Kind::kAdd;
    else if (text == "modify")
      kind_ = Kind::kModify;
    else if (text == "delete")
      kind_ = Kind::kDelete;
    else
      return false;
    return true;
  }

  // "replace: TYPE" opens the values the entry now has; "delete: TYPE"
  // names a type it no longer has, which the replacement leaves out anyway.
  bool takeModification(std::string_view name, std::string_view text) {
    if (name == "replace") {
      replacing_ = true;
      attributes_.push_back(engine::NamedValues{text, {}});
      return true;
    }
    return name == "delete";
  }

  std::string buffer_;
  std::deque<std::string> texts_;
  bool hasDn_ = false;
  bool kindSeen_ = false;
  bool replacing_ = false;
  Kind kind_ = Kind::kAdd;
  std::string dn_;
  std::vector<engine::NamedValues> attributes_;
};

// A replace's values come as one line each after its "replace:" line;
// they are gathered into the attribute it opened.
std::vector<engine::NamedValues> gathered(const std::vector<engine::NamedValues>& lines) {
  std::vector<engine::NamedValues> out;
  for (const engine::NamedValues& line : lines) {
    if (!out.empty() && line.name == out.back().name) {
      out.back().values.insert(out.back().values.end(), line.values.begin(), line.values.end());
    } else {
      out.push_back(line);
    }
  }
  return out;
}

VQStatus applyRecord(engine::Directory& directory, const ChangeRecord& record) {
  engine::PendingChange pending;
  VQStatus status = 0;
  switch (record.kind()) {
    case ChangeRecord::Kind::kAdd:
      status = engine::prepareLoaded(directory, record.dn(), record.attributes(), pending);
      break;
    case ChangeRecord::Kind::kModify:
      status = engine::prepareLoadedReplacement(directory, record.dn(),
                                                gathered(record.attributes()), pending);
      break;
    case ChangeRecord::Kind::kDelete: {
      engine::Writer loader;
      loader.loading = true;
      status = engine::prepareRemove(directory, record.dn(), loader, pending);
      break;
    }
  }
  if (status == 0) engine::apply(directory, std::move(pending));
  return status;
}

// Where the frame at `at` ends: its record's text and the offset after it;
// false when the frame is not whole and right.
bool wholeFrame(std::string_view text, std::size_t at, std::string_view& record,
                std::size_t& next) {
  const std::size_t committed = text.find(std::string("\n").append(kCommitted), at);
  if (committed == std::string_view::npos) return false;
  const std::size_t lineStart = committed + 1;
  const std::size_t lineEnd = text.find(kFrameEnd, lineStart);
  if (lineEnd == std::string_view::npos) return false;
  record = text.substr(at, lineStart - at);
  std::size_t length = 0;
  uint64_t checksum = 0;
  const char* first = text.data() + lineStart + kCommitted.size();
  const char* last = text.data() + lineEnd;
  auto [afterLength, lengthError] = std::from_chars(first, last, length);
  if (lengthError != std::errc() || afterLength == last || *afterLength != ' ') return false;
  auto [afterSum, sumError] = std::from_chars(afterLength + 1, last, checksum, 16);
  if (sumError != std::errc() || afterSum != last) return false;
  next = lineEnd + kFrameEnd.size();
  return length == record.size() && checksum == checksumOf(record);
}

// A frame that is not whole is a crash's torn tail when no whole frame
// follows it.
bool tornTail(std::string_view text, std::size_t at) {
  const std::size_t frameEnd = text.find(kFrameEnd, at);
  return frameEnd == std::string_view::npos ||
         text.find(std::string("\n").append(kCommitted), frameEnd) == std::string_view::npos;
}

bool readHeader(std::string_view text, JournalText& out, LoadFailure& failure) {
  const std::size_t end = text.find(kFrameEnd);
  if (text.substr(0, kHeader.size()) != kHeader || end == std::string_view::npos ||
      !parseIdentity(text.substr(kHeader.size(), end - kHeader.size()), out.base)) {
    return fail(failure, 0, "not a journal of this directory's file");
  }
  out.end = end + kFrameEnd.size();
  return true;
}

}  // namespace

FileIdentity FileIdentity::of(const struct stat& status) {
  return FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim};
}

bool FileIdentity::operator==(const FileIdentity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

bool journalBase(std::string_view text, FileIdentity& base) {
  JournalText read;
  LoadFailure ignored;
  if (!readHeader(text, read, ignored)) return false;
  base = read.base;
  return true;
}

std::string journalHeader(const FileIdentity& file) {
  return std::string(kHeader).append(identityText(file)).append(kFrameEnd);
}

std::string foldMarker(const FileIdentity& folded) {
  return std::string(kFolded).append(identityText(folded)).append(kFrameEnd);
}

namespace {

// The modify record that makes `before` into `after`: a delete of each type
// it no longer has, then a replace of each type it has, in its order.
void putModification(std::string& record, const engine::Entry& before, const engine::Entry& after) {
  record.append("changetype: modify\n");
  for (const engine::Entry::Attribute& old : before.attributes()) {
    if (after.find(old.type) == nullptr) {
      putLine(record, "delete", old.type->canonical);
      record.append("-\n");
    }
  }
  for (const engine::Entry::Attribute& attribute : after.attributes()) {
    putLine(record, "replace", attribute.type->canonical);
    for (uint32_t k = 0; k < attribute.count; ++k) {
      putLine(record, attribute.type->canonical, after.value(attribute, k));
    }
    record.append("-\n");
  }
}

std::string recordOf(const engine::Directory& directory, const engine::PendingChange& change) {
  using Kind = engine::PendingChange::Kind;
  std::string record;
  if (change.kind == Kind::kAdd) {
    putLine(record, "dn", change.entry->dn());
    record.append("changetype: add\n");
    putAttributes(record, *change.entry);
    return record;
  }
  const engine::Entry& before = *directory.entry(change.slot);
  putLine(record, "dn", before.dn());
  if (change.kind == Kind::kRemove) {
    record.append("changetype: delete\n");
  } else {
    putModification(record, before, *change.entry);
  }
  return record;
}

}  // namespace

std::string journalFrame(const engine::Directory& directory, const engine::PendingChange& change) {
  std::string record = recordOf(directory, change);
  char committed[64];
  std::snprintf(committed, sizeof committed, "%zu %016" PRIx64, record.size(), checksumOf(record));
  return record.append(kCommitted).append(committed).append(kFrameEnd);
}

bool readJournal(std::string_view text, std::size_t offset, engine::Directory* directory,
                 JournalText& out, LoadFailure& failure) {
  if (offset == 0 && !readHeader(text, out, failure)) return false;
  // `at` counts from the start of `text`; `out.end` from the journal's.
  std::size_t at = offset == 0 ? out.end : 0;
  while (at < text.size()) {
    std::size_t next = 0;
    if (text.substr(at, kFolded.size()) == kFolded) {
      const std::size_t end = text.find(kFrameEnd, at);
      FileIdentity folded;
      if (end == std::string_view::npos) break;  // cut short
      if (!parseIdentity(text.substr(at + kFolded.size(), end - at - kFolded.size()), folded)) {
        return fail(failure, offset + at, "a damaged fold line");
      }
      out.foldedInto.push_back(folded);
      at = end + kFrameEnd.size();
      out.end = offset + at;
      continue;
    }
    std::string_view record;
    if (!wholeFrame(text, at, record, next)) {
      if (tornTail(text, at)) break;
      return fail(failure, offset + at, "a damaged change record");
    }
    ChangeRecord change;
    if (!change.parse(record)) return fail(failure, offset + at, "not a change record");
    if (directory != nullptr) {
      if (const VQStatus status = applyRecord(*directory, change); status != 0) {
        return fail(failure, offset + at,
                    "the change to \"" + change.dn() + "\" does not apply (LDAP result " +
                        std::to_string(status & 0xFF) + ")");
      }
    }
    ++out.records;
    at = next;
    out.end = offset + at;
  }
  out.torn = at < text.size();
  return true;
}

}  // namespace vqeldap::ldif
