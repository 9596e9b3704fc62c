// The manual pages' model: a page is parsed from a contract block, the
// comment that sits at a declaration in a public header (or from the
// overview's text file, which has the same form without the comment's
// decoration), and written out as roff and as Markdown.
//
// A block's text: a first line "NAME[, NAME...] - summary", a description of
// paragraphs and "- " bullets, then sections under a heading line such as
// "Arguments:" whose bodies are indented two spaces. Arguments and Returns
// are lists of "term  text" items (two or more spaces apart); a line indented
// four more than its body, or any line of an Example, is code.
#ifndef QOR_MANPAGES_PAGE_H
#define QOR_MANPAGES_PAGE_H

#include <string>
#include <vector>

namespace manpages {

enum class ElementKind { paragraph, bullet, item, code, marker };

struct Element {
  ElementKind kind;
  std::string term;  // an item's term
  std::string text;  // code: its lines joined by '\n'; marker: its word
};

struct Section {
  std::string heading;  // as written, without the colon
  std::vector<Element> elements;
};

// Where a text came from, for the messages of a failed check.
struct Origin {
  std::string file;
  int line = 0;
};

struct Page {
  std::vector<std::string> names;  // the first is the page's own
  std::string summary;
  std::vector<Element> description;
  std::vector<Section> sections;
  Origin origin;
  std::string synopsis;  // the declarations, one a line
  std::string header;    // what a caller includes, "qorldap/table.h"
  int section = 3;

  const Section* find(const std::string& heading) const;
};

// A failed check: where, and what is wrong. Parsing and checking collect
// these rather than stop at the first, so one run names every fault.
struct Fault {
  Origin origin;
  std::string message;
};

// The lines of a block or text file, decoration already stripped, parsed
// into a page; a first line without the "NAME - summary" form gives none.
bool parsePage(const std::vector<std::string>& lines, const Origin& origin, Page& page,
               std::vector<Fault>& faults);

// Every contract block of a header's text, as pages.
std::vector<Page> pagesOfHeader(const std::string& text, const std::string& file,
                                std::vector<Fault>& faults);

// A header's exported function declarations (QORLDAP_API ... name(...);),
// whitespace collapsed and the export macro dropped, keyed by name.
struct Declaration {
  std::string name;
  std::string text;
  std::vector<std::string> parameters;
};
std::vector<Declaration> declarationsOfHeader(const std::string& text);

// The parameter names of a parenthesised list: "(void)" has none, a
// variable argument list is "...".
std::vector<std::string> parameterNames(const std::string& list);

// A declaration as written by hand: "dshandle * *h" becomes "dshandle** h".
std::string tidyDeclaration(const std::string& text);

}  // namespace manpages

#endif
