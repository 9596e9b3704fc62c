// The Markdown form: every page in one document with a table of contents,
// for reading in a browser or on the code host.
#include <cctype>
#include <sstream>

#include "render.h"

namespace manpages {
namespace {

// Text with Markdown's active characters escaped, so that "dsent***" and
// "<qorldap/table.h>" read as written.
std::string escaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    // An underscore inside a word (DS_E_NO_DN) starts no emphasis.
    const bool wordUnderscore =
        c == '_' && i > 0 && std::isalnum(static_cast<unsigned char>(text[i - 1]));
    if (std::string("\\`*_[]<>|").find(c) != std::string::npos && !wordUnderscore) out += '\\';
    out += c;
  }
  return out;
}

// The anchor a code host gives a heading: lower case, punctuation other
// than '-' and '_' dropped, spaces as '-'.
std::string anchorOf(const std::string& heading) {
  std::string out;
  for (char c : heading) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_')
      out += static_cast<char>(std::tolower(u));
    else if (c == ' ')
      out += '-';
  }
  return out;
}

void writeElement(std::ostringstream& out, const Element& element) {
  switch (element.kind) {
    case ElementKind::paragraph:
      out << escaped(element.text) << "\n\n";
      break;
    case ElementKind::bullet:
      out << "- " << escaped(element.text) << "\n";
      break;
    case ElementKind::item:
      out << "- **" << escaped(element.term) << "**: " << escaped(element.text) << "\n";
      break;
    case ElementKind::code:
      out << "```c\n" << element.text << "\n```\n\n";
      break;
    case ElementKind::marker:
      break;
  }
}

void writeElements(std::ostringstream& out, const std::vector<Element>& elements) {
  for (size_t i = 0; i < elements.size(); ++i) {
    writeElement(out, elements[i]);
    const bool listEnds =
        elements[i].kind == ElementKind::bullet || elements[i].kind == ElementKind::item;
    const bool nextIsList =
        i + 1 < elements.size() &&
        (elements[i + 1].kind == ElementKind::bullet || elements[i + 1].kind == ElementKind::item);
    if (listEnds && !nextIsList) out << '\n';
  }
}

void writePage(std::ostringstream& out, const Page& page) {
  out << "## " << pageReference(page) << "\n\n";
  std::string names;
  for (const auto& name : page.names) names += (names.empty() ? "" : ", ") + name;
  out << "**" << escaped(names) << "**: " << escaped(page.summary) << "\n\n";
  if (!page.synopsis.empty())
    out << "```c\n#include <" << page.header << ">\n\n" << page.synopsis << "```\n\n";
  writeElements(out, page.description);
  for (const auto& section : page.sections) {
    out << "### " << section.heading << "\n\n";
    writeElements(out, section.elements);
  }
}

}  // namespace

std::string markdownDocument(const std::vector<const Page*>& pages, const Manual& manual) {
  std::ostringstream out;
  out << "# The qorldap manual\n\n"
      << "The manual pages of qorldap " << manual.version
      << " in one document. They are generated from the contracts in the public headers "
         "(include/qorldap/table.h, include/qorkernel/qorkernel.h, "
         "include/qorkernel/status_text.h) and the overview's text; `man 7 qorldap` and `man 3 "
         "NAME` show the same pages once the kit is installed.\n\n";
  for (const Page* page : pages)
    out << "- [" << pageReference(*page) << "](#" << anchorOf(pageReference(*page))
        << "): " << escaped(page->summary) << "\n";
  out << '\n';
  for (const Page* page : pages) writePage(out, *page);
  std::string text = out.str();
  while (text.size() > 1 && text[text.size() - 1] == '\n' && text[text.size() - 2] == '\n')
    text.pop_back();
  return text;
}

}  // namespace manpages
