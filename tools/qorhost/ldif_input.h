// LDIF input (RFC 2849) for add and modify: the whole input is read and
// checked into change records before anything is sent to the directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorcli {

// One attribute with its values; values are bytes and may hold any octet.
struct AttributeValues {
  std::string name;
  std::vector<std::string> values;
};

// LDAP's numbering of modify operations.
enum class ModifyOp : uint32_t { Add = 0, Delete = 1, Replace = 2 };

struct Modification {
  ModifyOp op = ModifyOp::Add;
  AttributeValues attribute;
};

enum class ChangeKind { Add, Modify, Delete };

struct ChangeRecord {
  ChangeKind kind = ChangeKind::Add;
  std::string dn;
  std::vector<AttributeValues> attributes;  // Add: attributes grouped by name
  std::vector<Modification> modifications;  // Modify: in input order
  int number = 0;                           // 1 for the first record
  unsigned long lastLine = 0;               // the input line that ends the record

  // "record 2 (dn: cn=a,o=x)", for messages.
  std::string where() const;
};

// Entries: records without changetype are entries to add, and only
// "changetype: add" is accepted. Changes: every record carries a changetype
// of add, modify or delete.
enum class LdifMode { Entries, Changes };

struct LdifInput {
  std::vector<ChangeRecord> records;
  std::string error;  // empty when the whole input is usable
  bool ok() const { return error.empty(); }
};

// Zero bytes are refused where they would be lost: raw in the text (values
// that hold them come in base64), and in a DN or an attribute name, which the
// module takes as C strings.
LdifInput parseLdif(std::string text, LdifMode mode);

// How a value is handed to the module: text for printable values, bytes for
// the others (values with NUL bytes, control characters, non-ASCII text).
bool isPrintableText(const std::string& value);

}  // namespace qorcli
