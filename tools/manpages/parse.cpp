// Parses contract blocks into pages, and a header's exported declarations.
#include <algorithm>
#include <regex>
#include <sstream>

#include "page.h"

namespace manpages {
namespace {

const char* const kHeadings[] = {"Arguments",   "Returns",   "Memory",   "Effects",  "Sends",
                                 "Threads",     "Notes",     "Example",  "See also", "Loading",
                                 "Connections", "Ownership", "Statuses", "Settings", "Operations"};

bool isHeading(const std::string& line) {
  if (line.empty() || line.back() != ':') return false;
  const std::string word = line.substr(0, line.size() - 1);
  return std::find(std::begin(kHeadings), std::end(kHeadings), word) != std::end(kHeadings);
}

bool isListSection(const std::string& heading) {
  return heading == "Arguments" || heading == "Returns";
}

size_t indentOf(const std::string& line) {
  const size_t first = line.find_first_not_of(' ');
  return first == std::string::npos ? line.size() : first;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

void appendWords(std::string& text, const std::string& more) {
  if (!text.empty()) text += ' ';
  text += trimmed(more);
}

// Reads a page's lines after its first, one at a time, into the description
// and the sections. `open` is the element a following line may continue: a
// blank line or a new heading closes it.
class BodyParser {
 public:
  BodyParser(Page& page, std::vector<Fault>& faults) : page_(page), faults_(faults) {}

  void line(const std::string& text, const Origin& at) {
    if (trimmed(text).empty()) return blank();
    if (indentOf(text) == 0 && isHeading(text)) {
      page_.sections.push_back({text.substr(0, text.size() - 1), {}});
      open_ = nullptr;
      return;
    }
    const size_t base = page_.sections.empty() ? 0 : 2;
    if (indentOf(text) < base) return fault(at, "a section's body is indented two spaces");
    const std::string body = text.substr(base);
    if (exampleSection()) return code(body);
    if (listSection()) return item(body, at);
    if (indentOf(body) >= 4) return code(body.substr(4));
    if (indentOf(body) == 0 && body[0] == '@')
      return add({ElementKind::marker, "", body.substr(1)});
    prose(body);
  }

  void finish() {
    for (auto* elements : allElements())
      for (auto& element : *elements)
        if (element.kind == ElementKind::code)
          element.text.erase(element.text.find_last_not_of('\n') + 1);
  }

 private:
  std::vector<Element>& elements() {
    return page_.sections.empty() ? page_.description : page_.sections.back().elements;
  }
  std::vector<std::vector<Element>*> allElements() {
    std::vector<std::vector<Element>*> all{&page_.description};
    for (auto& section : page_.sections) all.push_back(&section.elements);
    return all;
  }
  bool exampleSection() const {
    return !page_.sections.empty() && page_.sections.back().heading == "Example";
  }
  bool listSection() const {
    return !page_.sections.empty() && isListSection(page_.sections.back().heading);
  }
  bool inCode() const { return open_ != nullptr && open_->kind == ElementKind::code; }

  void blank() {
    // A blank line inside code stays part of it; elsewhere it ends the element.
    if (inCode()) {
      open_->text += '\n';
      return;
    }
    open_ = nullptr;
  }

  void add(Element element) {
    elements().push_back(std::move(element));
    open_ = &elements().back();
  }

  void code(const std::string& text) {
    if (!inCode()) add({ElementKind::code, "", ""});
    if (!open_->text.empty()) open_->text += '\n';
    open_->text += text;
  }

  void item(const std::string& body, const Origin& at) {
    if (indentOf(body) > 0) {
      if (open_ == nullptr || open_->kind != ElementKind::item)
        return fault(at, "a continuation line follows no item");
      return appendWords(open_->text, body);
    }
    const size_t gap = body.find("  ");
    if (gap == std::string::npos) return fault(at, "an item needs its term, two spaces, its text");
    add({ElementKind::item, body.substr(0, gap), trimmed(body.substr(gap))});
  }

  void prose(const std::string& body) {
    const bool continues = open_ != nullptr && (open_->kind == ElementKind::paragraph ||
                                                open_->kind == ElementKind::bullet);
    if (body.rfind("- ", 0) == 0) return add({ElementKind::bullet, "", body.substr(2)});
    if (continues) return appendWords(open_->text, body);
    add({ElementKind::paragraph, "", trimmed(body)});
  }

  void fault(const Origin& at, const std::string& message) { faults_.push_back({at, message}); }

  Page& page_;
  std::vector<Fault>& faults_;
  Element* open_ = nullptr;
};

// "name[, name...] - summary"
bool parseTitle(const std::string& line, Page& page) {
  static const std::regex title(R"(^([a-z_][a-z0-9_]*(, [a-z_][a-z0-9_]*)*) - (\S.*)$)");
  std::smatch match;
  if (!std::regex_match(line, match, title)) return false;
  std::stringstream names(match[1].str());
  for (std::string name; std::getline(names, name, ',');) page.names.push_back(trimmed(name));
  page.summary = match[3].str();
  return true;
}

}  // namespace

const Section* Page::find(const std::string& heading) const {
  for (const auto& each : sections)
    if (each.heading == heading) return &each;
  return nullptr;
}

bool parsePage(const std::vector<std::string>& lines, const Origin& origin, Page& page,
               std::vector<Fault>& faults) {
  if (lines.empty() || !parseTitle(lines.front(), page)) return false;
  page.origin = origin;
  BodyParser body(page, faults);
  for (size_t i = 1; i < lines.size(); ++i)
    body.line(lines[i], {origin.file, origin.line + static_cast<int>(i)});
  body.finish();
  return true;
}

std::vector<Page> pagesOfHeader(const std::string& text, const std::string& file,
                                std::vector<Fault>& faults) {
  std::vector<Page> pages;
  std::istringstream in(text);
  std::vector<std::string> block;
  bool inBlock = false;
  int number = 0, start = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string bare = trimmed(line);
    if (!inBlock) {
      inBlock = bare == "/*";
      block.clear();
      start = number + 1;
      continue;
    }
    if (bare.rfind("*/", 0) == 0) {
      Page page;
      if (parsePage(block, {file, start}, page, faults)) pages.push_back(std::move(page));
      inBlock = false;
      continue;
    }
    // Strip the decoration: leading spaces, the star, and the one space after it.
    std::string content = bare.rfind('*', 0) == 0 ? line.substr(line.find('*') + 1) : line;
    if (!content.empty() && content[0] == ' ') content.erase(0, 1);
    block.push_back(content);
  }
  return pages;
}

std::vector<std::string> parameterNames(const std::string& list) {
  std::string inner = list;
  inner.erase(0, inner.find('(') + 1);
  inner.erase(inner.rfind(')'));
  std::vector<std::string> names;
  if (trimmed(inner) == "void" || trimmed(inner).empty()) return names;
  std::stringstream parts(inner);
  static const std::regex lastWord(R"(([A-Za-z_][A-Za-z0-9_]*|\.\.\.)\s*$)");
  for (std::string part; std::getline(parts, part, ',');) {
    std::smatch match;
    if (std::regex_search(part, match, lastWord)) names.push_back(match[1].str());
  }
  return names;
}

std::string tidyDeclaration(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' && i + 1 < text.size() && text[i + 1] == '*') continue;
    out += c;
    const bool wordFollows =
        i + 1 < text.size() &&
        (std::isalpha(static_cast<unsigned char>(text[i + 1])) || text[i + 1] == '_');
    if (c == '*' && wordFollows) out += ' ';
  }
  return out;
}

std::vector<Declaration> declarationsOfHeader(const std::string& text) {
  // Comments out, whitespace collapsed, so a declaration is one stretch.
  static const std::regex comments(R"(/\*[\s\S]*?\*/|//[^\n]*)");
  static const std::regex spaces(R"(\s+)");
  const std::string flat = std::regex_replace(std::regex_replace(text, comments, " "), spaces, " ");
  static const std::regex exported(
      R"(QORLDAP_API ([^;{}()]*?\b([A-Za-z_][A-Za-z0-9_]*) ?(\([^()]*\))) ?;)");
  std::vector<Declaration> found;
  for (std::sregex_iterator at(flat.begin(), flat.end(), exported), end; at != end; ++at)
    found.push_back(
        {(*at)[2].str(), tidyDeclaration((*at)[1].str()) + ";", parameterNames((*at)[3].str())});
  return found;
}

}  // namespace manpages
