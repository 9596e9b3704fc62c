// qor-manpages: writes the manual pages from the contracts in the public
// headers and the overview's text, and checks them against the code.
//
//   qor-manpages --man DIR --markdown FILE --overview FILE --version V HEADER...
//
// The operations and the statuses come from their lists (QORLDAP_OPERATIONS,
// QORLDAP_STATUSES), compiled in; the kernel's functions from the headers'
// declarations. It fails, naming every fault with its file and line, when an
// operation or an exported qorkernel_ function has no page, when a page's
// Arguments do not name exactly its declaration's parameters, when a page
// that returns a value has no Returns, or when a page names a status that
// does not exist.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <qorldap/status.h>
#include <qorldap/table.h>

#include "page.h"
#include "render.h"

namespace manpages {
namespace {

struct Operation {
  const char* name;
  const char* result;
  const char* parameters;
};
const Operation kOperations[] = {
#define QOR_MANPAGES_OPERATION(word, name, result, parameters) {#name, #result, #parameters},
    QORLDAP_OPERATIONS(QOR_MANPAGES_OPERATION)
#undef QOR_MANPAGES_OPERATION
};

struct Status {
  const char* name;
  uint32_t value;
  const char* hint;
};
const Status kStatuses[] = {
#define QOR_MANPAGES_STATUS(name, value, hint) {#name, value, hint},
    QORLDAP_STATUSES(QOR_MANPAGES_STATUS)
#undef QOR_MANPAGES_STATUS
};

struct Options {
  std::string manDir, markdown, overview, version;
  std::vector<std::string> headers;
};

// What a page documents: the declarations it was matched with.
struct Documented {
  std::vector<Declaration> declarations;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string includePathOf(const std::string& file) {
  const size_t at = file.rfind("include/");
  return at == std::string::npos ? file : file.substr(at + 8);
}

const Operation* operationNamed(const std::string& name) {
  for (const auto& operation : kOperations)
    if (name == operation.name) return &operation;
  return nullptr;
}

Declaration declarationOf(const Operation& operation) {
  const std::string text =
      std::string(operation.result) + " " + operation.name + operation.parameters;
  return {operation.name, tidyDeclaration(text) + ";", parameterNames(operation.parameters)};
}

class Generator {
 public:
  explicit Generator(Options options) : options_(std::move(options)) {}

  int run() {
    readHeaders();
    readOverview();
    checkCoverage();
    for (auto& page : pages_) checkPage(page);
    expandMarkers();
    if (!faults_.empty()) return reportFaults();
    write();
    return 0;
  }

 private:
  void readHeaders() {
    for (const auto& file : options_.headers) {
      const std::string text = readFile(file);
      const auto declared = declarationsOfHeader(text);
      for (auto& page : pagesOfHeader(text, file, faults_)) {
        page.header = includePathOf(file);
        matchDeclarations(page, declared);
        pages_.push_back(std::move(page));
      }
      for (const auto& declaration : declared)
        if (declaration.name.rfind("qorkernel_", 0) == 0)
          functions_.push_back({declaration.name, file});
    }
  }

  // A page documents operations, or functions its header declares, or is
  // the header's own page (named as the header, without ".h").
  void matchDeclarations(Page& page, const std::vector<Declaration>& declared) {
    Documented documented;
    for (const auto& name : page.names) {
      if (const Operation* operation = operationNamed(name)) {
        documented.declarations.push_back(declarationOf(*operation));
        continue;
      }
      bool found = false;
      for (const auto& declaration : declared)
        if (declaration.name == name) {
          documented.declarations.push_back(declaration);
          found = true;
        }
      const bool headerPage = std::filesystem::path(page.header).stem() == name;
      // The header's own page lists the functions of the API it heads.
      if (headerPage)
        page.sections.push_back({"Functions", {{ElementKind::marker, "", "functions"}}});
      if (!found && !headerPage)
        fault(page.origin, name + ": the page names no operation or function declared here");
    }
    for (const auto& declaration : documented.declarations)
      page.synopsis += declaration.text + "\n";
    documented_[page.names.front()] = std::move(documented);
  }

  void readOverview() {
    std::istringstream in(readFile(options_.overview));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    Page page;
    if (!parsePage(lines, {options_.overview, 1}, page, faults_))
      return fault({options_.overview, 1}, "the overview does not begin \"NAME - summary\"");
    page.section = 7;
    pages_.push_back(std::move(page));
  }

  void checkCoverage() {
    std::map<std::string, int> pagesOf;
    for (const auto& page : pages_)
      for (const auto& name : page.names)
        if (++pagesOf[name] == 2) fault(page.origin, name + " has a second page");
    for (const auto& operation : kOperations)
      if (pagesOf.count(operation.name) == 0)
        fault({"QORLDAP_OPERATIONS", 0}, std::string(operation.name) + " has no page");
    for (const auto& [function, file] : functions_)
      if (pagesOf.count(function) == 0) fault({file, 0}, function + " has no page");
  }

  void checkPage(const Page& page) {
    checkStatuses(page);
    const auto at = documented_.find(page.names.front());
    if (at == documented_.end() || at->second.declarations.empty()) return;
    checkArguments(page, at->second);
    bool returnsValue = false;
    for (const auto& declaration : at->second.declarations)
      returnsValue |= declaration.text.rfind("void ", 0) != 0;
    if (returnsValue && page.find("Returns") == nullptr)
      fault(page.origin,
            page.names.front() + ": a page of a function with a result has no Returns");
  }

  void checkArguments(const Page& page, const Documented& documented) {
    std::set<std::string> parameters, terms;
    for (const auto& declaration : documented.declarations)
      parameters.insert(declaration.parameters.begin(), declaration.parameters.end());
    if (const Section* arguments = page.find("Arguments"))
      for (const auto& element : arguments->elements)
        if (element.kind == ElementKind::item) terms.insert(element.term);
    for (const auto& term : terms)
      if (parameters.count(term) == 0)
        fault(page.origin,
              page.names.front() + ": Arguments names " + term + ", which is not a parameter");
    for (const auto& parameter : parameters)
      if (terms.count(parameter) == 0)
        fault(page.origin, page.names.front() + ": Arguments leaves out " + parameter);
  }

  void checkStatuses(const Page& page) {
    static const std::regex statusName(R"(\bDS_(OK|[EW]_[A-Z0-9_]+)\b)");
    std::string text = page.summary;
    for (const auto& element : page.description) text += ' ' + element.term + ' ' + element.text;
    for (const auto& section : page.sections)
      for (const auto& element : section.elements) text += ' ' + element.term + ' ' + element.text;
    for (std::sregex_iterator at(text.begin(), text.end(), statusName), end; at != end; ++at) {
      bool known = false;
      for (const auto& status : kStatuses) known |= at->str() == status.name;
      if (!known)
        fault(page.origin, page.names.front() + " names " + at->str() + ", which is not a status");
    }
  }

  std::vector<Element> markerItems(const std::string& word) {
    std::vector<Element> items;
    char value[16];
    if (word == "statuses")
      for (const auto& status : kStatuses) {
        std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(status.value));
        items.push_back({ElementKind::item, std::string(status.name) + " " + value, status.hint});
      }
    if (word == "operations")
      for (const auto& operation : kOperations) items.push_back(itemFor(operation.name));
    if (word == "functions")
      for (const auto& function : functions_) items.push_back(itemFor(function.first));
    return items;
  }

  Element itemFor(const std::string& name) {
    for (const auto& page : pages_)
      for (const auto& each : page.names)
        if (each == name) return {ElementKind::item, name + "(3)", page.summary};
    return {ElementKind::item, name, ""};
  }

  void expandMarkers() {
    for (auto& page : pages_) {
      for (auto& section : page.sections) expandIn(page, section.elements);
      expandIn(page, page.description);
    }
  }

  void expandIn(const Page& page, std::vector<Element>& elements) {
    std::vector<Element> out;
    for (auto& element : elements) {
      if (element.kind != ElementKind::marker) {
        out.push_back(std::move(element));
        continue;
      }
      auto items = markerItems(element.text);
      if (items.empty()) fault(page.origin, "unknown marker @" + element.text);
      out.insert(out.end(), items.begin(), items.end());
    }
    elements = std::move(out);
  }

  // Overview first, then the kernel's pages, then the operations in the
  // table's order.
  std::vector<const Page*> documentOrder() const {
    std::vector<const Page*> order;
    for (const auto& page : pages_)
      if (page.section == 7) order.push_back(&page);
    for (const auto& page : pages_)
      if (page.section == 3 && operationNamed(page.names.front()) == nullptr)
        order.push_back(&page);
    for (const auto& operation : kOperations)
      for (const auto& page : pages_)
        if (page.names.front() == operation.name) order.push_back(&page);
    return order;
  }

  void write() {
    const manpages::Manual manual{options_.version, "share/doc/qorldap/manual.md"};
    for (const auto& page : pages_) {
      const std::filesystem::path folder =
          std::filesystem::path(options_.manDir) / ("man" + std::to_string(page.section));
      const std::string suffix = "." + std::to_string(page.section);
      writeFile(folder / (page.names.front() + suffix), roffPage(page, manual));
      for (size_t i = 1; i < page.names.size(); ++i)
        writeFile(folder / (page.names[i] + suffix), roffLink(page));
    }
    writeFile(options_.markdown, markdownDocument(documentOrder(), manual));
  }

  int reportFaults() const {
    for (const auto& each : faults_)
      std::fprintf(stderr, "%s:%d: %s\n", each.origin.file.c_str(), each.origin.line,
                   each.message.c_str());
    std::fprintf(stderr, "qor-manpages: %zu fault(s); no page written\n", faults_.size());
    return 1;
  }

  void fault(const Origin& at, const std::string& message) { faults_.push_back({at, message}); }

  Options options_;
  std::vector<Page> pages_;
  std::vector<std::pair<std::string, std::string>> functions_;  // name, declaring header
  std::map<std::string, Documented> documented_;
  std::vector<Fault> faults_;
};

bool parseOptions(int argc, char** argv, Options& options) {
  const std::map<std::string, std::string*> valued = {{"--man", &options.manDir},
                                                      {"--markdown", &options.markdown},
                                                      {"--overview", &options.overview},
                                                      {"--version", &options.version}};
  for (int i = 1; i < argc; ++i) {
    const auto at = valued.find(argv[i]);
    if (at == valued.end()) {
      options.headers.emplace_back(argv[i]);
      continue;
    }
    if (++i == argc) return false;
    *at->second = argv[i];
  }
  return !options.manDir.empty() && !options.markdown.empty() && !options.overview.empty() &&
         !options.headers.empty();
}

}  // namespace
}  // namespace manpages

int main(int argc, char** argv) {
  manpages::Options options;
  if (!manpages::parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s --man DIR --markdown FILE --overview FILE --version V HEADER...\n",
                 argv[0]);
    return 2;
  }
  try {
    return manpages::Generator(std::move(options)).run();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "qor-manpages: %s\n", failure.what());
    return 1;
  }
}
