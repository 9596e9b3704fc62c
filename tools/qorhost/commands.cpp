#include "commands.h"

#include <strings.h>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <qorkernel/qorkernel.h>
#include <qorldap/status.h>

#include "expand_notes.h"
#include "host.h"
#include "info.h"
#include "ldif_output.h"
#include "module_records.h"
#include "password.h"
#include "settings.h"
#include "status_text.h"
#include "trace.h"

namespace qorcli {
namespace {

// Everything a command works with.
struct Context {
  const Invocation& invocation;
  Host& host;
  dshandle* handle;
  Streams streams;
  Trace trace;
  const qorldap_table& ops() const { return host.ops(); }
};

// A request that the client refused before sending it: a filter that libldap
// cannot encode (filterError), an argument it cannot use (paramError).
bool refusedBeforeSending(uint32_t status) {
  return status == DS_ERROR_FORM(0x57) || status == DS_E_MISSING_ARGUMENT;
}

// "qorhost: WHAT: status", and beneath it what the extension said about the
// request (the server's message, the entry it matched, the servers tried).
void describe(Streams streams, const Host& host, const std::string& what, uint32_t status) {
  streams.err << "qorhost: " << what << ": " << describeStatus(status) << '\n';
  printDiagnostic(streams.err, host.requestDiagnostic());
}

// Says what failed; a refusal before sending is bad input, anything else a
// failure of the operation.
int report(Streams streams, const Host& host, const std::string& what, uint32_t status) {
  describe(streams, host, what, status);
  return refusedBeforeSending(status) ? kExitUsage : kExitFailed;
}

int report(const Context& context, const std::string& what, uint32_t status) {
  return report(context.streams, context.host, what, status);
}

// A warning (for an entry that is not there, the server says which part of
// its DN it found).
void warn(const Context& context, const std::string& what, uint32_t status) {
  describe(context.streams, context.host, what, status);
}

// One request of a command: traced and timed, and the point from which the
// extension's diagnostic text is this request's.
// A replica connection says where each answer came from ("answered by:
// replica", or the server and why); the trace shows it after the result,
// once for each different line, with how many of the request's searches
// said it when more than one (an expansion makes many).
class Request {
 public:
  explicit Request(const Context& context) : context_(context), trace_(context.trace) {
    context.host.markRequest();
    (void)context.host.kernel().takeStatusTexts();
  }
  void result(uint32_t status) const {
    trace_.result(status);
    context_.trace.diagnostic(answeredBy(context_.host.kernel().takeStatusTexts()));
  }

 private:
  static std::string answeredBy(const std::vector<std::string>& texts) {
    constexpr std::string_view kLabel = "answered by: ";
    std::vector<std::pair<std::string, int>> said;
    for (const std::string& text : texts) {
      std::istringstream lines(text);
      for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(kLabel)) continue;
        auto same = std::find_if(said.begin(), said.end(),
                                 [&](const auto& counted) { return counted.first == line; });
        if (same == said.end()) {
          said.emplace_back(line, 1);
        } else {
          ++same->second;
        }
      }
    }
    std::string out;
    for (const auto& [line, times] : said) {
      if (!out.empty()) out += '\n';
      out += line;
      if (times > 1) out += " (" + std::to_string(times) + " requests)";
    }
    return out;
  }

  const Context& context_;
  Trace::Request trace_;
};

// The host text the open went to, as the module finds it.
std::string hostText(const Invocation& invocation) {
  return moduleHost(invocation, processSources());
}

// The host text of a directory kept in an LDIF file.
constexpr std::string_view kEmbeddedPrefix = "ldif:";

// What the directory's "additional info" line says, or empty.
std::string additionalInfo(const std::string& diagnostic) {
  constexpr std::string_view kLabel = "additional info: ";
  const std::size_t at = diagnostic.find(kLabel);
  if (at == std::string::npos || (at != 0 && diagnostic[at - 1] != '\n')) return {};
  const std::size_t start = at + kLabel.size();
  return diagnostic.substr(start, diagnostic.find('\n', start) - start);
}

// A directory file that cannot be opened says why itself ("FILE:LINE:
// reason", "FILE: no such file"): that is the one line printed, with the
// status after it.
bool reportedByTheFile(Streams streams, const Host& host, const std::string& hosts,
                       uint32_t status) {
  const std::string said = additionalInfo(host.requestDiagnostic());
  if (said.empty()) return false;
  std::array<char, 16> hex{};
  std::snprintf(hex.data(), hex.size(), "0x%08X", status);
  streams.err << "qorhost: " << said << " (open " << hosts << ": " << hex.data() << ")\n";
  return true;
}

// "open HOST: status", what the extension said about each server tried, and
// what to do about it: how to name a directory when none was given, whether
// an LDIF file could not be read or not loaded, which word forms a refused
// host text may take.
int reportOpen(Streams streams, const Host& host, const Invocation& invocation, uint32_t status) {
  const std::string hosts = hostText(invocation);
  if (hosts.starts_with(kEmbeddedPrefix) && reportedByTheFile(streams, host, hosts, status)) {
    return kExitFailed;
  }
  const int code = report(streams, host, hosts.empty() ? "open" : "open " + hosts, status);
  if (status == DS_E_NO_HOST) {
    streams.err << "qorhost: give a server with -H ldap://HOST[:PORT], or a directory kept in an "
                   "LDIF file with -H ldif:FILE, for example: -H ldif:examples/directory.ldif -b "
                   "o=example\n";
  } else if (invocation.startTls && carriedCode(status) == 0x02) {
    streams.err << "qorhost: the server does not offer StartTLS: leave -Z out, or use an "
                   "ldaps:// URI if it listens for TLS\n";
  } else if (status == DS_E_MISSING_ARGUMENT && hosts.starts_with(kEmbeddedPrefix)) {
    streams.err << "qorhost: the host text was refused: give ldif:FILE, followed by ;schema=FILE "
                   "for each schema file of the site\n";
  } else if (status == DS_E_MISSING_ARGUMENT && !hosts.empty()) {
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
  const int wrap = context.invocation.ldifWrap.value_or(kDefaultLdifWrap);
  for (dsent* const* slot = list.get(); slot != nullptr && *slot != nullptr; ++slot) {
    dsent* const entries[] = {*slot, nullptr};
    out << (context.invocation.dnOnly ? listToDns(entries) : entryToLdif(**slot, wrap));
  }
}

// Prints what a query delivered and maps its status to the exit code.
// Finding nothing exits 1 for every command; read and expand say so, search
// stays silent as ldapsearch does.
int finishQuery(const Context& context, const EntryList& list, uint32_t status,
                const std::string& what, bool sayNothingFound) {
  if (status == DS_W_NOT_FOUND) {
    if (sayNothingFound) warn(context, what, status);
    return kExitNo;
  }
  if (DS_IS_ERROR(status)) return report(context, what, status);
  printList(context, list);
  if (status != DS_OK) {
    warn(context, what, status);
    return kExitWarning;
  }
  return kExitOk;
}

// The URIs of the continuation references and referrals that the handle's
// latest search returned: its diagnostic text's "reference" lines, which a
// success leaves too.
std::vector<std::string> referencesOf(const dshandle* handle) {
  std::string text(qorkernel_handle_diagnostic(handle, nullptr, 0), '\0');
  if (text.empty()) return {};
  qorkernel_handle_diagnostic(handle, text.data(), text.size() + 1);
  constexpr std::string_view kLabel = "reference: ";
  std::vector<std::string> uris;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(kLabel)) uris.push_back(line.substr(kLabel.size()));
  }
  return uris;
}

// After the entries, each reference as ldapsearch -LLL prints one ("# refURI"
// and a blank line); --dn-only prints DNs alone, one a line, for scripts. A
// failed search shows them among its diagnostic lines.
void printReferences(const Context& context, uint32_t status) {
  if (DS_IS_ERROR(status)) return;
  const std::vector<std::string> uris = referencesOf(context.handle);
  if (!context.invocation.dnOnly) {
    for (const std::string& uri : uris) context.streams.out << "# ref" << uri << "\n\n";
  }
  if (!uris.empty()) {
    context.trace.line(std::to_string(uris.size()) +
                       (uris.size() == 1 ? " reference" : " references") +
                       " not followed (referrals are shown, never chased)");
  }
}

// dsreslv or dsrslvdn of the first operand, with the names after it as the
// attributes asked for; the status, with the request traced.
using QueryOperation = decltype(qorldap_table::dsreslv);
uint32_t query(const Context& context, QueryOperation qorldap_table::*operation, EntryList& list) {
  const auto& operands = context.invocation.operands;
  std::vector<std::string> names(operands.begin() + 1, operands.end());
  AttributeSelection selection(names);
  const Request request(context);
  const uint32_t status = (context.ops().*operation)(context.handle, operands[0].c_str(),
                                                     selection.get(), list.place());
  request.result(status);
  return status;
}

int search(const Context& context) {
  EntryList list(context);
  const uint32_t status = query(context, &qorldap_table::dsreslv, list);
  if (context.invocation.pagingAsked) {
    context.trace.line("-E pr: taken; the module pages every filter search by itself");
  }
  const std::string& filter = context.invocation.operands[0];
  const int exitCode = finishQuery(context, list, status, "search " + filter, false);
  printReferences(context, status);
  return exitCode;
}

int read(const Context& context) {
  EntryList list(context);
  const uint32_t status = query(context, &qorldap_table::dsrslvdn, list);
  return finishQuery(context, list, status, "read " + context.invocation.operands[0], true);
}

int expand(const Context& context) {
  const std::string& group = context.invocation.operands[0];
  EntryList list(context);
  const int32_t kind =
      context.invocation.events ? DS_EXPAND_EVENT_SUBSCRIBERS : DS_EXPAND_SUBSCRIBERS;
  const Request request(context);
  uint32_t status = context.ops().dsexpgrp(context.handle, group.c_str(), list.place(), kind);
  request.result(status);
  if (!DS_IS_ERROR(status)) {
    traceSkippedMembers(context.ops(), context.handle, group, list.get(), context.trace);
  }
  return finishQuery(context, list, status, "expand " + group, true);
}

bool isClassAttribute(const char* name) {
  return ::strcasecmp(name, "objectclass") == 0 || ::strcasecmp(name, "qorinterface") == 0;
}

// Whether the entry lists the class among its class values, the name
// compared whole and without regard to case: what a person asking about a
// class means.
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

// The answer is the whole-name match; the module's dsiscls, which compares
// prefixes ("group" would match groupOfNames), is asked too and its answer
// traced, so that a host component's use of it can be checked by hand.
int isClass(const Context& context) {
  const std::string& dn = context.invocation.operands[0];
  const std::string& name = context.invocation.operands[1];
  const char* const classAttributes[] = {"objectClass", "qorInterface", nullptr};
  EntryList list(context);
  const Request request(context);
  uint32_t status =
      context.ops().dsrslvdn(context.handle, dn.c_str(), classAttributes, list.place());
  request.result(status);
  if (status == DS_W_NOT_FOUND) {
    warn(context, "read " + dn, status);
    return kExitNo;
  }
  if (status != DS_OK) return report(context, "read " + dn, status);
  dsent* entry = list.get() != nullptr ? list.get()[0] : nullptr;
  const bool yes = entry != nullptr && holdsWholeClassName(*entry, name);
  if (entry != nullptr && context.trace.on()) {
    const int32_t prefix = context.ops().dsiscls(context.handle, entry, name.c_str(),
                                                 static_cast<int32_t>(name.size()));
    context.trace.line("  the module's prefix test (dsiscls) answers " + std::to_string(prefix));
  }
  context.streams.out << (yes ? "yes" : "no") << '\n';
  return yes ? kExitOk : kExitNo;
}

int compare(const Context& context) {
  const auto& operands = context.invocation.operands;
  const Request request(context);
  uint32_t status = context.ops().dscompar(context.handle, operands[0].c_str(), operands[1].c_str(),
                                           operands[2].c_str());
  request.result(status);
  if (status == DS_OK || status == DS_E_COMPARE_TRUE) {
    context.streams.out << "TRUE\n";
    return kExitOk;
  }
  if (status == DS_E_COMPARE_FALSE) {
    context.streams.out << "FALSE\n";
    return kExitNo;
  }
  // An entry that is not there is "not found", as for read.
  if (status == DS_ERROR_FORM(0x20)) {
    warn(context, "compare " + operands[0], status);
    return kExitNo;
  }
  return report(context, "compare " + operands[0], status);
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

// Counts the changes of a run and says, after a failure, how far it got:
// with -c every failure is reported and the run goes on, otherwise it stops
// at the first and the rest is not sent.
class ChangeRun {
 public:
  // "changes applied" and "records", "entries deleted" and "DNs".
  ChangeRun(const Context& context, std::size_t total, const char* done, const char* items)
      : context_(context), total_(total), done_(done), items_(items) {}

  // Sends one change, traced and timed; false when the run is to stop.
  template <typename Send>
  bool send(const std::string& line, const std::string& where, Send&& sendChange) {
    context_.streams.out << line << '\n';
    const Request request(context_);
    const uint32_t status = sendChange();
    request.result(status);
    if (status == DS_OK) {
      ++applied_;
      return true;
    }
    ++failed_;
    report(context_, where, status);
    if (context_.invocation.continueOnError) return true;
    context_.streams.err << "qorhost: " << applied_ << " of " << total_ << " " << done_ << "; the "
                         << items_ << " after this one were not sent\n";
    return false;
  }

  int finish() const {
    if (failed_ == 0) return kExitOk;
    if (context_.invocation.continueOnError) {
      context_.streams.err << "qorhost: " << applied_ << " of " << total_ << " " << done_ << "; "
                           << failed_ << " failed\n";
    }
    return kExitFailed;
  }

 private:
  const Context& context_;
  std::size_t total_;
  const char* done_;
  const char* items_;
  std::size_t applied_ = 0;
  std::size_t failed_ = 0;
};

int applyChanges(const Context& context, const std::vector<ChangeRecord>& changes) {
  ChangeRun run(context, changes.size(), "changes applied", "records");
  for (const auto& record : changes) {
    const std::string line = std::string(changeVerb(record.kind)) + " entry \"" + record.dn + "\"";
    if (!run.send(line, record.where(),
                  [&] { return applyChange(context.ops(), context.handle, record); })) {
      break;
    }
  }
  return run.finish();
}

int deleteEntries(const Context& context) {
  const auto& dns = context.invocation.operands;
  ChangeRun run(context, dns.size(), "entries deleted", "DNs");
  for (const auto& dn : dns) {
    if (!run.send("deleting entry \"" + dn + "\"", "delete " + dn,
                  [&] { return context.ops().dsdereg(context.handle, dn.c_str()); })) {
      break;
    }
  }
  return run.finish();
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

int info(const Context& context) {
  printInfo(context.streams.out, context.host);
  return kExitOk;
}

bool needsConnection(Command command) {
  return command != Command::Parent && command != Command::Info;
}

int dispatch(const Context& context, const std::vector<ChangeRecord>& changes) {
  if (const std::string query = describeQuery(context.invocation); !query.empty()) {
    context.trace.line(query);
  }
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

int runInHost(Host& host, const Invocation& invocation, std::string& password,
              const std::vector<ChangeRecord>& changes, Streams streams) {
  std::string error;
  if (!host.start(invocation, &error)) {
    streams.err << "qorhost: " << error << '\n';
    return kExitFailed;
  }
  const Trace trace(streams.err, invocation.verbose > 0 || invocation.debugLevel.has_value());
  host.kernel().collectStatusTexts(trace.on());
  Connection connection(host.ops());
  if (needsConnection(invocation.command)) {
    trace.line(describeOpen(invocation, hostText(invocation)));
    host.markRequest();
    const Trace::Request request(trace);
    uint32_t status = connection.open(invocation, password);
    wipe(password);  // the extension bound with it and kept no copy
    request.result(status);
    if (status != DS_OK) return reportOpen(streams, host, invocation, status);
    // What the extension says about the server it reached: TLS, the bind.
    trace.diagnostic(host.kernel().lastStatusText());
  }
  return dispatch(Context{invocation, host, connection.handle(), streams, trace}, changes);
}

// -n: what a run would send, and nothing sent; the change records were
// read and checked as for a real run.
int showPlan(const Invocation& invocation, const std::vector<ChangeRecord>& changes,
             Streams streams) {
  streams.out << describeOpen(invocation, hostText(invocation)) << '\n';
  if (const std::string query = describeQuery(invocation); !query.empty()) {
    streams.out << query << '\n';
  }
  for (const auto& record : changes) {
    streams.out << changeVerb(record.kind) << " entry \"" << record.dn << "\"\n";
  }
  if (invocation.command == Command::Delete) {
    for (const auto& dn : invocation.operands) streams.out << "deleting entry \"" << dn << "\"\n";
  }
  streams.err << "qorhost: -n: nothing was sent\n";
  return kExitOk;
}

}  // namespace

int runCommand(const Invocation& invocation, std::string& password,
               const std::vector<ChangeRecord>& changes, Streams streams) {
  if (invocation.dryRun && needsConnection(invocation.command)) {
    return showPlan(invocation, changes, streams);
  }
  const char* setting = std::getenv(kPoolModeVariable);
  const std::optional<qorkernel::PoolMode> pools = poolModeOf(setting);
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
