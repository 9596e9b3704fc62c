// The roff form of a page, in the man(7) macros that every man(1) renders.
#include <cctype>
#include <sstream>

#include "render.h"

namespace manpages {
namespace {

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Text escaped for roff: backslashes and hyphens, and a line that would
// otherwise start with a control character.
std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  std::string lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && (line[0] == '.' || line[0] == '\'')) line.insert(0, "\\&");
    lines += line + '\n';
  }
  return lines;
}

const char* sectionTitle(const std::string& heading) {
  if (heading == "Returns") return "RETURN VALUE";
  if (heading == "Sends") return "REQUESTS";
  if (heading == "Effects") return "SIDE EFFECTS";
  return nullptr;
}

void writeElement(std::ostringstream& out, const Element& element) {
  switch (element.kind) {
    case ElementKind::paragraph:
      out << ".PP\n" << escaped(element.text);
      break;
    case ElementKind::bullet:
      out << ".IP \\(bu 2\n" << escaped(element.text);
      break;
    case ElementKind::item:
      out << ".TP\n.B " << escaped(element.term) << escaped(element.text);
      break;
    case ElementKind::code:
      out << ".PP\n.RS 4\n.nf\n" << escaped(element.text) << ".fi\n.RE\n";
      break;
    case ElementKind::marker:
      break;
  }
}

void writeElements(std::ostringstream& out, const std::vector<Element>& elements) {
  for (const auto& element : elements) writeElement(out, element);
}

void writeSynopsis(std::ostringstream& out, const Page& page) {
  if (page.synopsis.empty()) return;
  out << ".SH SYNOPSIS\n.nf\n.B #include <" << page.header << ">\n.PP\n"
      << escaped(page.synopsis) << ".fi\n";
}

void writeSeeAlso(std::ostringstream& out, const Page& page, const Manual& manual) {
  out << ".SH SEE ALSO\n";
  if (const Section* own = page.find("See also")) writeElements(out, own->elements);
  out << ".PP\n";
  if (page.names.front() != "qorldap") out << ".BR qorldap (7),\n";
  if (page.names.front() != "qorkernel") out << ".BR qorkernel (3),\n";
  out << ".BR qorhost (1)\n.PP\nEvery page of this manual in one document: "
      << escaped(manual.documentPath);
}

}  // namespace

std::string pageReference(const Page& page) {
  return page.names.front() + "(" + std::to_string(page.section) + ")";
}

std::string roffPage(const Page& page, const Manual& manual) {
  std::ostringstream out;
  out << ".TH " << upper(page.names.front()) << ' ' << page.section << " \"\" \"qorldap "
      << manual.version << "\" \"qorldap manual\"\n";
  // No hyphenation: the text is full of code names (DS_E_MISSING_ARGUMENT)
  // that a reader must be able to copy whole.
  out << ".nh\n.SH NAME\n";
  std::string names;
  for (const auto& name : page.names) names += (names.empty() ? "" : ", ") + name;
  out << escaped(names + " - " + page.summary);
  writeSynopsis(out, page);
  if (!page.description.empty()) out << ".SH DESCRIPTION\n";
  writeElements(out, page.description);
  for (const auto& section : page.sections) {
    if (section.heading == "See also") continue;
    const char* title = sectionTitle(section.heading);
    out << ".SH " << (title != nullptr ? title : upper(section.heading)) << '\n';
    writeElements(out, section.elements);
  }
  writeSeeAlso(out, page, manual);
  return out.str();
}

std::string roffLink(const Page& target) {
  return ".so man" + std::to_string(target.section) + "/" + target.names.front() + "." +
         std::to_string(target.section) + "\n";
}

}  // namespace manpages
