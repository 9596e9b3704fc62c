#include "ldif/ldif_file.h"

#include <lber.h>
#include <ldif.h>
#include <strings.h>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "common/status.h"
#include "engine/ldif_memory.h"

namespace vqeldap::ldif {

namespace {

constexpr VQStatus kMalformed = kernelStatus(Code::kDecodingError);

bool nameIs(const berval& type, const char* name) {
  return type.bv_len == std::strlen(name) && strncasecmp(type.bv_val, name, type.bv_len) == 0;
}

// The physical line each logical line of a record starts on: folded
// continuation lines (a leading blank) and comments belong to no new line.
void lineStarts(const char* record, unsigned long firstLine, std::vector<unsigned long>& starts) {
  starts.clear();
  unsigned long line = firstLine;
  for (const char* at = record; *at != '\0'; ++line) {
    if (*at != ' ' && *at != '#' && *at != '\n') starts.push_back(line);
    const char* end = std::strchr(at, '\n');
    if (end == nullptr) break;
    at = end + 1;
  }
}

// True when a logical line (folding undone) is "type:< URL": a value that
// libldap's line parser would fetch from the URL. Only the text up to the
// first colon and the character after it decide; a comment never is.
bool namesUrl(std::string_view line) {
  if (line.empty() || line.front() == '#') return false;
  const std::size_t colon = line.find(':');
  return colon != std::string_view::npos && colon + 1 < line.size() && line[colon + 1] == '<';
}

// The physical line on which the first logical line that takes its value
// from a URL starts, or 0. Folded lines are joined first (a line break
// followed by one blank), as the parser joins them, so that
// "description:\n < file:///x" and "descr\n iption:< file:///x" are seen too.
unsigned long firstUrlValue(const char* record, unsigned long firstLine) {
  // Without a '<' no line names a URL: most records are passed at one scan.
  if (std::strchr(record, '<') == nullptr) return 0;
  std::string logical;
  unsigned long startedOn = 0;
  unsigned long line = firstLine;
  for (const char* at = record; *at != '\0'; ++line) {
    const char* end = std::strchr(at, '\n');
    std::string_view physical(at, end == nullptr ? std::strlen(at) : std::size_t(end - at));
    if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
    if (!physical.empty() && physical.front() == ' ') {
      logical.append(physical.substr(1));
    } else {
      if (namesUrl(logical)) return startedOn;
      logical.assign(physical);
      startedOn = line;
    }
    if (end == nullptr) break;
    at = end + 1;
  }
  return namesUrl(logical) ? startedOn : 0;
}

unsigned long countLines(const char* text) {
  unsigned long lines = 0;
  for (const char* at = text; *at != '\0'; ++at) lines += *at == '\n' ? 1 : 0;
  return lines;
}

// One record read into names and values. Names and values point into the
// record buffer, or into texts of their own where the parser decoded them.
// One Record reads every record of a file in turn, keeping its buffers.
class Record {
 public:
  // False with `failure` filled when a line cannot be read.
  // `firstRecord`: the record may begin with the file's "version: 1".
  bool read(char* text, unsigned long firstLine, bool firstRecord, LoadFailure& failure) {
    hasDn_ = false;
    dn_.clear();
    texts_.clear();
    attributes_.clear();
    // libldap's parser would read the URL with this process's rights: any
    // file it may read, a device or a FIFO. The file is refused first.
    if (const unsigned long at = firstUrlValue(text, firstLine); at != 0) {
      return fail(failure, at, "values from URLs are not loaded");
    }
    lineStarts(text, firstLine, starts_);
    const std::vector<unsigned long>& starts = starts_;
    line_ = starts.empty() ? firstLine : starts.front();
    char* next = text;
    std::size_t index = 0;
    for (char* line = ldif_getline(&next); line != nullptr; line = ldif_getline(&next), ++index) {
      const unsigned long at = index < starts.size() ? starts[index] : line_;
      if (!readLine(line, firstRecord && index == 0, at, failure)) return false;
    }
    return true;
  }

  bool empty() const { return !hasDn_; }
  const std::string& dn() const { return dn_; }
  unsigned long line() const { return line_; }
  const std::vector<engine::NamedValues>& attributes() const { return attributes_; }

 private:
  bool fail(LoadFailure& failure, unsigned long line, std::string reason) {
    failure = LoadFailure{kMalformed, line, std::move(reason)};
    return false;
  }

  bool readLine(char* line, bool versionMayCome, unsigned long at, LoadFailure& failure) {
    berval type{}, value{};
    int freeValue = 0;
    if (ldif_parse_line2(line, &type, &value, &freeValue) < 0) {
      return fail(failure, at, "not an LDIF line");
    }
    std::unique_ptr<char, engine::FreeValue> held(freeValue != 0 ? value.bv_val : nullptr);
    // A value decoded from base64 is the parser's to free; any other points into the record, which
    // outlives the Record.
    std::string_view text(value.bv_val == nullptr ? "" : value.bv_val, value.bv_len);
    if (held != nullptr) text = texts_.emplace_back(text);
    if (versionMayCome && nameIs(type, "version")) {
      return text == "1" || fail(failure, at, "not version 1");
    }
    if (!hasDn_) {
      if (!nameIs(type, "dn")) return fail(failure, at, "a record must begin with dn:");
      hasDn_ = true;
      line_ = at;
      dn_.assign(text);
      return true;
    }
    if (nameIs(type, "changetype") || nameIs(type, "control")) {
      return fail(failure, at, "a change record; the file holds entries only");
    }
    attributes_.push_back(engine::NamedValues{std::string_view(type.bv_val, type.bv_len), {text}});
    return true;
  }

  bool hasDn_ = false;
  std::string dn_;
  unsigned long line_ = 0;
  std::deque<std::string> texts_;
  std::vector<unsigned long> starts_;
  std::vector<engine::NamedValues> attributes_;
};

// Why an entry was refused: what it names that the schema lacks, or the
// LDAP result.
std::string refusal(const engine::Schema& schema, const Record& record, VQStatus status) {
  const std::string_view unknown = engine::unknownSchemaElement(schema, record.attributes());
  if (unknown.empty()) return "entry refused with LDAP result " + std::to_string(status & 0xFF);
  return "attribute or class " + std::string(unknown) +
         " is not in the schema (schemas read: " + schema.sourcesRead() + ")";
}

// The comment lines at the top of the file, each with its line break.
std::string readHeader(std::FILE* file) {
  std::string header;
  int c = 0;
  while ((c = std::fgetc(file)) == '#') {
    header.push_back('#');
    while ((c = std::fgetc(file)) != EOF && c != '\n') header.push_back(static_cast<char>(c));
    header.push_back('\n');
  }
  if (c != EOF) std::ungetc(c, file);
  return header;
}

}  // namespace

void putLine(std::string& out, std::string_view name, std::string_view value) {
  const std::string type(name);
  const std::size_t needed = LDIF_SIZE_NEEDED(name.size(), value.size()) + 1;
  const std::size_t start = out.size();
  out.resize(start + needed);
  char* at = out.data() + start;
  char* end = at;
  ldif_sput(&end, LDIF_PUT_VALUE, type.c_str(), value.data(), value.size());
  out.resize(start + static_cast<std::size_t>(end - at));
}

void putAttributes(std::string& out, const engine::Entry& entry) {
  for (const engine::Entry::Attribute& attribute : entry.attributes()) {
    for (uint32_t k = 0; k < attribute.count; ++k) {
      putLine(out, attribute.type->canonical, entry.value(attribute, k));
    }
  }
}

namespace {

void putEntry(std::string& out, const engine::Entry& entry) {
  putLine(out, "dn", entry.dn());
  putAttributes(out, entry);
  out.push_back('\n');
}

}  // namespace

bool readDirectory(std::FILE* file, engine::Directory& directory, std::string& header,
                   LoadFailure& failure) {
  header = readHeader(file);
  unsigned long line = countLines(header.c_str());
  LDIFFP input{file, nullptr};
  engine::RecordBuffer buffer;
  Record record;
  int read = 0;
  for (bool firstRecord = true;
       (read = ldif_read_record(&input, &line, &buffer.data, &buffer.size)) > 0;
       firstRecord = false) {
    // libldap may report a record and leave no text for it (a first line it
    // takes for a version line): nothing to load.
    if (buffer.data == nullptr) continue;
    // The count libldap keeps takes in the blank lines before the record
    // and the one that ends it (none at the end of the file).
    const unsigned long ending = std::feof(file) != 0 ? 0 : 1;
    const unsigned long first = line - ending - countLines(buffer.data) + 1;
    if (!record.read(buffer.data, first, firstRecord, failure)) return false;
    if (record.empty()) continue;  // a "version: 1" line alone
    engine::PendingChange change;
    const VQStatus status =
        engine::prepareLoaded(directory, record.dn(), record.attributes(), change);
    if (status != 0) {
      failure = LoadFailure{kMalformed, record.line(), refusal(directory.schema(), record, status)};
      return false;
    }
    engine::apply(directory, std::move(change));
  }
  if (read < 0 || std::ferror(file) != 0) {
    failure = LoadFailure{kMalformed, line + 1, "cannot be read as LDIF"};
    return false;
  }
  return true;
}

std::string directoryText(const engine::Directory& directory, const engine::PendingChange* pending,
                          const std::string& header) {
  std::string out = header;
  if (!header.empty()) out.push_back('\n');
  for (uint32_t slot = 0; slot < directory.slotCount(); ++slot) {
    const engine::Entry* entry = directory.entry(slot);
    if (pending != nullptr && pending->kind != engine::PendingChange::Kind::kAdd &&
        pending->slot == slot) {
      entry = pending->entry.get();  // null when it is removed
    }
    if (entry != nullptr) putEntry(out, *entry);
  }
  if (pending != nullptr && pending->kind == engine::PendingChange::Kind::kAdd) {
    putEntry(out, *pending->entry);
  }
  return out;
}

}  // namespace vqeldap::ldif
