#include "trace.h"

#include <sstream>

#include "status_text.h"

namespace qorcli {
namespace {

const char* scopeName(const Invocation& invocation) {
  switch (invocation.scope.value_or(Scope::Subtree)) {
    case Scope::OneLevel:
      return "one";
    case Scope::Base:
      return "base";
    case Scope::Subtree:
      break;
  }
  return "sub";
}

std::string baseText(const Invocation& invocation) {
  if (!invocation.base) return "the module's LDAP_BASE";
  return invocation.base->empty() ? "the root (empty base)" : *invocation.base;
}

// " attributes cn mail" for the operands from `first` on, or "" for all.
std::string attributeList(const Invocation& invocation, std::size_t first) {
  std::string list;
  for (std::size_t i = first; i < invocation.operands.size(); ++i) {
    list += " " + invocation.operands[i];
  }
  return list.empty() ? list : ", attributes" + list;
}

}  // namespace

std::string describeOpen(const Invocation& invocation, const std::string& host) {
  std::string text = "open " + (host.empty() ? std::string("(no host)") : host);
  if (invocation.port) text += ", port " + std::to_string(*invocation.port);
  text += " (base " + baseText(invocation);
  text += invocation.startTls ? ", TLS required" : "";
  text += invocation.bindDn ? ", bound as " + *invocation.bindDn : ", anonymous unless LDAP_BINDDN";
  if (invocation.netTimeout) text += ", timeout " + std::to_string(*invocation.netTimeout) + " s";
  return text + ")";
}

std::string describeQuery(const Invocation& invocation) {
  const auto& operands = invocation.operands;
  switch (invocation.command) {
    case Command::Search:
      return "search " + operands[0] + " under " + baseText(invocation) + ", scope " +
             scopeName(invocation) + attributeList(invocation, 1);
    case Command::Read:
      return "read " + operands[0] + attributeList(invocation, 1);
    case Command::Expand:
      return "expand " + operands[0] + (invocation.events ? " to event subscribers" : "") +
             " under " + baseText(invocation);
    case Command::IsClass:
      return "read " + operands[0] + ", attributes objectClass qorInterface";
    case Command::Compare:
      return "compare " + operands[0] + " " + operands[1] + " " + operands[2];
    default:
      return {};
  }
}

void printDiagnostic(std::ostream& err, const std::string& text) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) err << '\t' << line << '\n';
}

void Trace::line(const std::string& text) const {
  if (on_) err_ << "qorhost: " << text << '\n';
}

void Trace::diagnostic(const std::string& text) const {
  if (on_) printDiagnostic(err_, text);
}

Trace::Request::Request(const Trace& trace)
    : trace_(trace), start_(std::chrono::steady_clock::now()) {}

void Trace::Request::result(uint32_t status) const {
  if (!trace_.on()) return;
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
  std::ostringstream time;
  time.setf(std::ios::fixed);
  time.precision(1);
  time << static_cast<double>(micros) / 1000.0 << " ms";
  trace_.line("  result " + describeStatus(status) + " in " + time.str());
}

}  // namespace qorcli
