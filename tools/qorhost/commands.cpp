#include "commands.h"

#include <strings.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <ostream>

#include <qorldap/abi/image.h>
#include <qorldap/status.h>

#include "host.h"
#include "ldif_output.h"
#include "module_records.h"
#include "status_text.h"

namespace qorcli {
namespace {

// Everything a command works with.
struct Context {
  const Invocation& invocation;
  Host& host;
  dshandle* handle;
  Streams streams;
  const qorldap_table& ops() const { return host.ops(); }
};

// A request that the client refused before sending it: a filter that libldap
// cannot encode (filterError), an argument it cannot use (paramError).
bool refusedBeforeSending(uint32_t status) {
  return status == DS_ERROR_FORM(0x57) || status == DS_E_MISSING_ARGUMENT;
}

// Says what failed; a refusal before sending is bad input, anything else a
// failure of the operation.
int report(Streams streams, const std::string& what, uint32_t status) {
  streams.err << "qorhost: " << what << ": " << describeStatus(status) << '\n';
  return refusedBeforeSending(status) ? kExitUsage : kExitFailed;
}

// The host text the open went to, as the module finds it: -H, the LDAP_HOST
// macro symbol, then the environment variable; empty when none is set.
std::string hostText(const Invocation& invocation) {
  if (invocation.host) return *invocation.host;
  std::string macro;
  for (const auto& [name, value] : invocation.macros) {
    if (name == "LDAP_HOST") macro = value;
  }
  if (!macro.empty()) return macro;
  const char* variable = std::getenv("LDAP_HOST");
  return variable != nullptr ? variable : "";
}

// The host text of a directory kept in an LDIF file.
constexpr std::string_view kEmbeddedPrefix = "ldif:";

// "open HOST: status", and what to do about it: how to name a directory
// when none was given, whether an LDIF file could not be read or not
// loaded, which word forms a refused host text may take.
int reportOpen(Streams streams, const Invocation& invocation, uint32_t status) {
  const std::string host = hostText(invocation);
  const int code = report(streams, host.empty() ? "open" : "open " + host, status);
  const bool embedded = host.rfind(kEmbeddedPrefix, 0) == 0;
  if (status == DS_E_NO_HOST) {
    streams.err << "qorhost: give a server with -H ldap://HOST[:PORT], or a directory kept in an "
                   "LDIF file with -H ldif:FILE, for example: -H ldif:examples/directory.ldif -b "
                   "o=example\n";
  } else if (embedded && status == DS_E_NOT_OPENED) {
    streams.err << "qorhost: the file " << host.substr(kEmbeddedPrefix.size())
                << " cannot be read: check the path after ldif:\n";
  } else if (embedded && status == DS_ERROR_FORM(0x54)) {
    streams.err << "qorhost: the file " << host.substr(kEmbeddedPrefix.size())
                << " is not a directory that can be loaded: LDIF that is not well formed, a "
                   "change record, or an entry the schema refuses\n";
  } else if (status == DS_E_MISSING_ARGUMENT && !host.empty()) {
    streams.err << "qorhost: the host text was refused: give each server as one LDAP URI or "
                   "host name, separated by blanks, not commas\n";
  }
  return code;
}

// The attribute selection: the names given, null-terminated, or null for all.
class AttributeSelection {
 public:
  explicit AttributeSelection(const std::vector<std::string>& names) {
    for (const auto& name : names) pointers_.push_back(name.c_str());
    pointers_.push_back(nullptr);
  }
  const char* const* get() const { return pointers_.size() > 1 ? pointers_.data() : nullptr; }

 private:
  std::vector<const char*> pointers_;
};

// An entry list owned by the caller, given back with dsfree.
class EntryList {
 public:
  explicit EntryList(const Context& context) : context_(context) {}
  ~EntryList() {
    if (list_ != nullptr) context_.ops().dsfree(context_.handle, list_);
  }
  EntryList(const EntryList&) = delete;
  EntryList& operator=(const EntryList&) = delete;
  dsent*** place() { return &list_; }
  dsent** get() const { return list_; }

 private:
  const Context& context_;
  dsent** list_ = nullptr;
};

// Entry by entry, so that a large result is never held a second time as
// one text (for 10,000 entries that text alone took 2.5 MB of fresh pages).
void printList(const Context& context, const EntryList& list) {
  std::ostream& out = context.streams.out;
  for (dsent* const* slot = list.get(); slot != nullptr && *slot != nullptr; ++slot) {
    dsent* const entries[] = {*slot, nullptr};
    out << (context.invocation.dnOnly ? listToDns(entries) : entryToLdif(**slot));
  }
}

// Prints what a query delivered and maps its status to the exit code. A
// query that finds nothing is an answer for search, a miss for read and
// expand.
int finishQuery(const Context& context, const EntryList& list, uint32_t status,
                const std::string& what, bool nothingIsMiss) {
  if (status == DS_W_NOT_FOUND) {
    if (!nothingIsMiss) return kExitOk;
    context.streams.err << "qorhost: " << what << ": " << describeStatus(status) << '\n';
    return kExitNo;
  }
  if (DS_IS_ERROR(status)) return report(context.streams, what, status);
  printList(context, list);
  if (status != DS_OK) {
    context.streams.err << "qorhost: " << what << ": " << describeStatus(status) << '\n';
    return kExitWarning;
  }
  return kExitOk;
}

int search(const Context& context) {
  const auto& operands = context.invocation.operands;
  std::vector<std::string> names(operands.begin() + 1, operands.end());
  AttributeSelection selection(names);
  EntryList list(context);
  uint32_t status =
      context.ops().dsreslv(context.handle, operands[0].c_str(), selection.get(), list.place());
  return finishQuery(context, list, status, "search " + operands[0], false);
}

int read(const Context& context) {
  const auto& operands = context.invocation.operands;
  std::vector<std::string> names(operands.begin() + 1, operands.end());
  AttributeSelection selection(names);
  EntryList list(context);
  uint32_t status =
      context.ops().dsrslvdn(context.handle, operands[0].c_str(), selection.get(), list.place());
  return finishQuery(context, list, status, "read " + operands[0], true);
}

int expand(const Context& context) {
  const std::string& group = context.invocation.operands[0];
  EntryList list(context);
  const int32_t kind = context.invocation.events ? 2 : 1;
  uint32_t status = context.ops().dsexpgrp(context.handle, group.c_str(), list.place(), kind);
  return finishQuery(context, list, status, "expand " + group, true);
}

bool isClassAttribute(const char* name) {
  return ::strcasecmp(name, "objectclass") == 0 || ::strcasecmp(name, "qorinterface") == 0;
}

// dsiscls compares prefixes ("group" would match groupOfNames); a person
// asking about a class means the whole name, so the answer is confirmed on
// the entry's class values.
bool holdsWholeClassName(const dsent& entry, const std::string& name) {
  for (dsatt* const* slot = entry.atts; slot != nullptr && *slot != nullptr; ++slot) {
    const dsatt& attribute = **slot;
    if (attribute.name == nullptr || !isClassAttribute(attribute.name)) continue;
    for (int32_t k = 0; k < attribute.nvals && attribute.vals[k] != nullptr; ++k) {
      const char* text = attribute.vals[k]->text;
      if (text != nullptr && ::strcasecmp(text, name.c_str()) == 0) return true;
    }
  }
  return false;
}

int isClass(const Context& context) {
  const std::string& dn = context.invocation.operands[0];
  const std::string& name = context.invocation.operands[1];
  const char* const classAttributes[] = {"objectClass", "qorInterface", nullptr};
  EntryList list(context);
  uint32_t status =
      context.ops().dsrslvdn(context.handle, dn.c_str(), classAttributes, list.place());
  if (status == DS_W_NOT_FOUND) {
    context.streams.err << "qorhost: read " << dn << ": " << describeStatus(status) << '\n';
    return kExitNo;
  }
  if (status != DS_OK) return report(context.streams, "read " + dn, status);
  dsent* entry = list.get() != nullptr ? list.get()[0] : nullptr;
  bool yes = entry != nullptr &&
             context.ops().dsiscls(context.handle, entry, name.c_str(),
                                   static_cast<int32_t>(name.size())) == 1 &&
             holdsWholeClassName(*entry, name);
  context.streams.out << (yes ? "yes" : "no") << '\n';
  return yes ? kExitOk : kExitNo;
}

int compare(const Context& context) {
  const auto& operands = context.invocation.operands;
  uint32_t status = context.ops().dscompar(context.handle, operands[0].c_str(), operands[1].c_str(),
                                           operands[2].c_str());
  if (status == DS_OK || status == DS_E_COMPARE_TRUE) {
    context.streams.out << "TRUE\n";
    return kExitOk;
  }
  if (status == DS_E_COMPARE_FALSE) {
    context.streams.out << "FALSE\n";
    return kExitNo;
  }
  return report(context.streams, "compare " + operands[0], status);
}

const char* changeVerb(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::Add:
      return "adding";
    case ChangeKind::Modify:
      return "modifying";
    case ChangeKind::Delete:
      return "deleting";
  }
  return "";
}

// Applies the records in order and stops at the first failure, saying what
// was applied and what was not sent.
int applyChanges(const Context& context, const std::vector<ChangeRecord>& changes) {
  std::size_t applied = 0;
  for (const auto& record : changes) {
    context.streams.out << changeVerb(record.kind) << " entry \"" << record.dn << "\"\n";
    uint32_t status = applyChange(context.host.access(), context.handle, record);
    if (status != DS_OK) {
      report(context.streams, record.where(), status);
      context.streams.err << "qorhost: " << applied << " of " << changes.size()
                          << " changes applied; the records after this one were not sent\n";
      return kExitFailed;
    }
    ++applied;
  }
  return kExitOk;
}

int deleteEntries(const Context& context) {
  const auto& dns = context.invocation.operands;
  std::size_t deleted = 0;
  for (const auto& dn : dns) {
    context.streams.out << "deleting entry \"" << dn << "\"\n";
    uint32_t status = context.ops().dsdereg(context.handle, dn.c_str());
    if (status != DS_OK) {
      report(context.streams, "delete " + dn, status);
      context.streams.err << "qorhost: " << deleted << " of " << dns.size()
                          << " entries deleted; the DNs after this one were not sent\n";
      return kExitFailed;
    }
    ++deleted;
  }
  return kExitOk;
}

int parent(const Context& context) {
  const std::string& name = context.invocation.operands[0];
  std::string buffer(name.size() + 1, '\0');
  int32_t count = 0;
  context.ops().dsdnprnt(name.c_str(), buffer.data(), static_cast<int32_t>(buffer.size()), &count);
  if (count <= 0) {
    context.streams.err << "qorhost: '" << name << "' has no parent part\n";
    return kExitNo;
  }
  context.streams.out << buffer.substr(0, static_cast<std::size_t>(count)) << '\n';
  return kExitOk;
}

std::string fixedText(const char* text, std::size_t size) {
  std::string out(text, size);
  out.resize(out.find('\0') == std::string::npos ? size : out.find('\0'));
  return out;
}

std::string utcTime(int64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (::gmtime_r(&time, &parts) == nullptr) return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

void printImage(const Context& context) {
  std::ostream& out = context.streams.out;
  const qor_image_info* image = context.host.module().image();
  if (image == nullptr) return;
  char magic[24];
  std::snprintf(magic, sizeof magic, "0x%llX", static_cast<unsigned long long>(image->magic));
  out << "image:\n"
      << "  marker:        " << fixedText(image->marker, sizeof image->marker) << '\n'
      << "  magic:         " << magic << '\n'
      << "  release:       " << fixedText(image->shortRelease, sizeof image->shortRelease) << '\n'
      << "  full release:  " << fixedText(image->fullRelease, sizeof image->fullRelease) << '\n'
      << "  build date:    " << fixedText(image->buildDate, sizeof image->buildDate) << '\n'
      << "  level:         " << fixedText(image->level, sizeof image->level) << '\n'
      << "  notice:        " << (image->notice != nullptr ? image->notice : "") << '\n';
  const qor_pcn* node = context.host.module().node();
  if (node != nullptr) {
    out << "  node:          '" << std::string(node->name, sizeof node->name) << "'\n";
  }
}

void printVersionRecord(const Context& context) {
  using VersionCopy = void (*)(qor_version_word*);
  auto copy = reinterpret_cast<VersionCopy>(context.host.module().symbol("vqvercn1"));
  if (copy == nullptr) return;
  qor_version_word words[QOR_VERSION_WORDS] = {};
  copy(words);
  std::ostream& out = context.streams.out;
  out << "version record:\n";
  for (int i = 0; i < QOR_VERSION_WORDS; ++i) {
    if (i == 3) {
      out << "  " << i << ": " << words[i].number << " (" << utcTime(words[i].number) << ")\n";
    } else if (words[i].text != nullptr) {
      out << "  " << i << ": \"" << words[i].text << "\"\n";
    }
  }
}

void printTable(const Context& context) {
  std::ostream& out = context.streams.out;
  const qorldap_table& table = context.ops();
  const auto& module = context.host.module();
  out << "entry table:\n";
  char line[160];
#define QOR_PRINT_OPERATION(word, name, result, parameters)                                 \
  {                                                                                         \
    void* address = reinterpret_cast<void*>(table.name);                                    \
    std::snprintf(line, sizeof line, "  %2d %-9s %p%s\n", word, #name, address,             \
                  address == module.symbol(#name) ? "" : "  (not the exported " #name ")"); \
    out << line;                                                                            \
  }
  QORLDAP_OPERATIONS(QOR_PRINT_OPERATION)
#undef QOR_PRINT_OPERATION
}

int info(const Context& context) {
  std::ostream& out = context.streams.out;
  out << "module:          " << context.host.module().path() << '\n';
  auto& kernel = context.host.kernel();
  out << "extension:       vqeldap "
      << (kernel.extensionLoads() > 0 ? "loaded" : "not loaded: " + kernel.lastExtensionError())
      << '\n';
  out << "pools:           "
      << (kernel.poolMode() == qorhost::PoolMode::kChecked ? "checked" : "production") << '\n';
  printImage(context);
  printVersionRecord(context);
  printTable(context);
  return kExitOk;
}

bool needsConnection(Command command) {
  return command != Command::Parent && command != Command::Info;
}

int dispatch(const Context& context, const std::vector<ChangeRecord>& changes) {
  switch (context.invocation.command) {
    case Command::Search:
      return search(context);
    case Command::Read:
      return read(context);
    case Command::Expand:
      return expand(context);
    case Command::IsClass:
      return isClass(context);
    case Command::Compare:
      return compare(context);
    case Command::Add:
    case Command::Modify:
      return applyChanges(context, changes);
    case Command::Delete:
      return deleteEntries(context);
    case Command::Parent:
      return parent(context);
    case Command::Info:
      return info(context);
    case Command::None:
      break;
  }
  return kExitUsage;
}

int runInHost(Host& host, const Invocation& invocation, const std::string& password,
              const std::vector<ChangeRecord>& changes, Streams streams) {
  std::string error;
  if (!host.start(invocation, &error)) {
    streams.err << "qorhost: " << error << '\n';
    return kExitFailed;
  }
  Connection connection(host.ops());
  if (needsConnection(invocation.command)) {
    uint32_t status = connection.open(invocation, password);
    if (status != DS_OK) return reportOpen(streams, invocation, status);
  }
  return dispatch(Context{invocation, host, connection.handle(), streams}, changes);
}

}  // namespace

int runCommand(const Invocation& invocation, const std::string& password,
               const std::vector<ChangeRecord>& changes, Streams streams) {
  const char* setting = std::getenv(kPoolModeVariable);
  const std::optional<qorhost::PoolMode> pools = poolModeOf(setting);
  if (!pools) {
    streams.err << "qorhost: " << kPoolModeVariable << "=" << setting
                << " is not a pool mode: production or checked\n";
    return kExitUsage;
  }
  Host host(*pools);
  int code = runInHost(host, invocation, password, changes, streams);
  host.stop();
  // A module that misused its pools has failed, whatever the command said.
  if (const std::string faults = host.poolFaults(); !faults.empty()) {
    streams.err << "qorhost: " << faults << '\n';
    code = kExitFailed;
  }
  return code;
}

}  // namespace qorcli
