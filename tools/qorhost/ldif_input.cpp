#include "ldif_input.h"

#include <lber.h>
#include <ldif.h>

#include <strings.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

namespace qorcli {
namespace {

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// DNs and attribute names reach the module as C strings: a zero byte (from
// base64, "dn:: ...") would cut the name short, and the change would go to
// another entry or attribute than the input names.
bool holdsZeroByte(const std::string& text) {
  return text.find('\0') != std::string::npos;
}

// One line of a record: "-", or a name and a value.
struct Line {
  bool separator = false;
  std::string name;
  std::string value;
};

// The lines of one record as ldif_read_record delivered it (comments dropped,
// folded lines joined), decoded with ldif_parse_line2 (base64 and URLs).
class RecordLines {
 public:
  explicit RecordLines(char* buffer) : next_(buffer) {}

  // False at the end of the record; on a line that is no "name: value",
  // sets `error`.
  bool next(Line* line, std::string* error) {
    char* text = ldif_getline(&next_);
    if (text == nullptr) return false;
    *line = Line{};
    if (std::strcmp(text, "-") == 0) {
      line->separator = true;
      return true;
    }
    std::string start(text, ::strnlen(text, 12));
    berval type{};
    berval value{};
    int freeValue = 0;
    if (ldif_parse_line2(text, &type, &value, &freeValue) < 0) {
      *error = "a line is not 'name: value' (it begins '" + start + "')";
      return false;
    }
    // Blanks between the name and its colon come back as zero bytes inside
    // the counted name; the name ends at the first of them.
    line->name.assign(type.bv_val, ::strnlen(type.bv_val, type.bv_len));
    if (value.bv_val != nullptr) line->value.assign(value.bv_val, value.bv_len);
    if (freeValue != 0) ber_memfree(value.bv_val);
    if (line->name.empty()) {
      *error = "a line has no attribute name";
      return false;
    }
    return true;
  }

 private:
  char* next_;
};

class RecordParser {
 public:
  RecordParser(ChangeRecord* record, RecordLines* lines, LdifMode mode)
      : record_(record), lines_(lines), mode_(mode) {}

  // Empty on success, else the reason.
  std::string parse(const Line& dnLine) {
    if (!sameName(dnLine.name, "dn")) return "a record must begin with 'dn:'";
    if (dnLine.value.empty()) return "the DN is empty";
    if (holdsZeroByte(dnLine.value)) return "the DN holds a zero byte";
    record_->dn = dnLine.value;
    Line line;
    bool more = next(&line);
    if (!error_.empty()) return error_;
    if (more && sameName(line.name, "control")) return "LDAP controls are not supported";
    bool hasChangetype = more && sameName(line.name, "changetype");
    if (!hasChangetype) {
      if (mode_ == LdifMode::Changes) {
        return "no changetype: entries to add go to 'qorhost add', changes need "
               "'changetype: add', 'modify' or 'delete'";
      }
      record_->kind = ChangeKind::Add;
      return parseAdd(more ? &line : nullptr);
    }
    return parseChangetype(line.value);
  }

 private:
  bool next(Line* line) { return lines_->next(line, &error_); }

  std::string parseChangetype(const std::string& changetype) {
    if (sameName(changetype, "add")) {
      record_->kind = ChangeKind::Add;
      return parseAdd(nullptr);
    }
    if (mode_ == LdifMode::Entries) {
      return "'changetype: " + changetype +
             "' does not belong in 'qorhost add': use 'qorhost modify'";
    }
    if (sameName(changetype, "delete")) {
      record_->kind = ChangeKind::Delete;
      Line line;
      if (next(&line)) return "a delete record has nothing after its changetype";
      return error_;
    }
    if (sameName(changetype, "modify")) {
      record_->kind = ChangeKind::Modify;
      return parseModify();
    }
    if (sameName(changetype, "modrdn") || sameName(changetype, "moddn")) {
      return "renaming entries (changetype: " + changetype + ") is not supported";
    }
    return "unknown changetype '" + changetype + "'";
  }

  // Attribute lines up to the end of the record; `first` is a line already read.
  std::string parseAdd(const Line* first) {
    Line line;
    if (first != nullptr) line = *first;
    bool more = first != nullptr || next(&line);
    for (; more; more = next(&line)) {
      if (line.separator) return "a '-' line belongs only in a modify record";
      addValue(line);
    }
    if (!error_.empty()) return error_;
    if (record_->attributes.empty()) return "the entry has no attributes";
    return {};
  }

  void addValue(Line& line) {
    for (auto& attribute : record_->attributes) {
      if (sameName(attribute.name, line.name)) {
        attribute.values.push_back(std::move(line.value));
        return;
      }
    }
    record_->attributes.push_back(AttributeValues{line.name, {std::move(line.value)}});
  }

  std::string parseModify() {
    Line line;
    bool more = next(&line);
    while (more) {
      if (line.separator) return "a '-' line stands where 'add:', 'delete:' or 'replace:' belongs";
      Modification modification;
      if (std::string reason = modifySpec(line, &modification); !reason.empty()) return reason;
      more = next(&line);
      for (; more && !line.separator; more = next(&line)) {
        if (!sameName(line.name, modification.attribute.name)) {
          return "the value line '" + line.name + "' does not match '" +
                 modification.attribute.name + "' (is a '-' line missing?)";
        }
        modification.attribute.values.push_back(std::move(line.value));
      }
      if (!error_.empty()) return error_;
      if (std::string reason = checkValues(modification); !reason.empty()) return reason;
      record_->modifications.push_back(std::move(modification));
      if (more) more = next(&line);  // past the '-'
    }
    if (!error_.empty()) return error_;
    if (record_->modifications.empty()) return "the modify record changes nothing";
    return {};
  }

  static std::string modifySpec(const Line& line, Modification* modification) {
    if (sameName(line.name, "add")) {
      modification->op = ModifyOp::Add;
    } else if (sameName(line.name, "delete")) {
      modification->op = ModifyOp::Delete;
    } else if (sameName(line.name, "replace")) {
      modification->op = ModifyOp::Replace;
    } else if (sameName(line.name, "increment")) {
      return "'increment:' is not supported";
    } else {
      return "'" + line.name + ":' stands where 'add:', 'delete:' or 'replace:' belongs";
    }
    if (line.value.empty()) return "'" + line.name + ":' needs an attribute name";
    if (holdsZeroByte(line.value)) {
      return "the attribute name of '" + line.name + ":' holds a zero byte";
    }
    modification->attribute.name = line.value;
    return {};
  }

  static std::string checkValues(const Modification& modification) {
    if (!modification.attribute.values.empty()) return {};
    const std::string& name = modification.attribute.name;
    if (modification.op == ModifyOp::Add) return "'add: " + name + "' gives no values";
    if (modification.op == ModifyOp::Replace) {
      return "'replace: " + name +
             "' gives no values (to remove the attribute, use 'delete: " + name + "')";
    }
    return {};
  }

  ChangeRecord* record_;
  RecordLines* lines_;
  LdifMode mode_;
  std::string error_;
};

struct LdifCloser {
  void operator()(LDIFFP* fp) const { ldif_close(fp); }
};

// The record buffer that ldif_read_record grows and reuses from record to record.
struct RecordBuffer {
  char* data = nullptr;
  int size = 0;
  RecordBuffer() = default;
  RecordBuffer(const RecordBuffer&) = delete;
  RecordBuffer& operator=(const RecordBuffer&) = delete;
  ~RecordBuffer() { ber_memfree(data); }
};

// "version: 1" may open the input, alone or in front of the first record.
std::string skipVersion(RecordLines& lines, Line* line, bool* more) {
  if (!sameName(line->name, "version")) return {};
  if (line->value != "1") return "only LDIF version 1 is understood";
  std::string error;
  *more = lines.next(line, &error);
  return error;
}

// libldap's reader treats its lines as C strings: past a raw zero byte it
// drops the rest of the line and its end, so the next line would become part
// of the value. Empty when the text holds none.
std::string zeroByteOutsideBase64(const std::string& text) {
  const std::size_t zero = text.find('\0');
  if (zero == std::string::npos) return {};
  const auto line =
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(zero), '\n');
  return "the LDIF input holds a zero byte on line " + std::to_string(line + 1) +
         ": give such a value in base64 ('name:: ...')";
}

}  // namespace

std::string ChangeRecord::where() const {
  std::string text = "record " + std::to_string(number) + " (";
  if (!dn.empty()) text += "dn: " + dn + ", ";
  return text + "ending at line " + std::to_string(lastLine) + ")";
}

bool isPrintableText(const std::string& value) {
  if (value.empty()) return true;
  if (holdsZeroByte(value)) return false;
  return ldif_is_not_printable(value.data(), value.size()) == 0;
}

LdifInput parseLdif(std::string text, LdifMode mode) {
  LdifInput input;
  input.error = zeroByteOutsideBase64(text);
  if (!input.ok()) return input;
  std::unique_ptr<LDIFFP, LdifCloser> fp(ldif_open_mem(text.data(), text.size(), "r"));
  if (!fp) {
    input.error = "cannot read the LDIF input";
    return input;
  }
  unsigned long lineNumber = 0;
  RecordBuffer buffer;
  bool first = true;
  int result = 0;
  while ((result = ldif_read_record(fp.get(), &lineNumber, &buffer.data, &buffer.size)) > 0) {
    RecordLines lines(buffer.data);
    Line line;
    std::string error;
    bool more = lines.next(&line, &error);
    if (more && first) error = skipVersion(lines, &line, &more);
    first = false;
    if (error.empty() && !more) continue;  // "version: 1" alone
    ChangeRecord record;
    record.number = static_cast<int>(input.records.size()) + 1;
    record.lastLine = lineNumber;
    if (error.empty()) error = RecordParser(&record, &lines, mode).parse(line);
    if (!error.empty()) {
      input.error = "malformed LDIF in " + record.where() + ": " + error;
      input.records.clear();
      return input;
    }
    input.records.push_back(std::move(record));
  }
  if (result < 0) {
    input.error = "cannot read the LDIF input after line " + std::to_string(lineNumber);
    input.records.clear();
  } else if (input.records.empty()) {
    input.error = "the LDIF input holds no records";
  }
  return input;
}

}  // namespace qorcli
