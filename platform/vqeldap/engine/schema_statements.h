// The statements of slapd .schema text, as slapd reads its schema files: a
// keyword at the start of a line, continued on the lines that start with a
// blank; blank lines and comments left out. Header-only, so that the
// embedded directory and the schema LDIF generator split one way.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vqeldap::engine {

// One statement: its keyword (lower case), the text after it, and the line
// it starts on.
struct SchemaStatement {
  std::string keyword;
  std::string body;
  unsigned long line = 0;
};

// A continuation before any keyword belongs to nothing: it is kept as a
// statement without a keyword, so that the reader refuses it by its line
// rather than dropping text without a word.
inline std::vector<SchemaStatement> schemaStatementsOf(std::string_view text) {
  std::vector<SchemaStatement> out;
  std::size_t at = 0;
  for (unsigned long number = 1; at < text.size(); ++number) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == ' ' || line[0] == '\t') {
      if (out.empty()) out.push_back(SchemaStatement{"", "", number});
      out.back().body.append(" ").append(line);
      continue;
    }
    const std::size_t blank = line.find_first_of(" \t");
    SchemaStatement statement;
    for (const char c : line.substr(0, blank)) {
      statement.keyword += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    statement.line = number;
    if (blank != std::string_view::npos) statement.body.assign(line.substr(blank + 1));
    out.push_back(std::move(statement));
  }
  return out;
}

}  // namespace vqeldap::engine
