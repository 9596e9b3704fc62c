// What qorhost says about a run besides its results, on standard error: the
// -v trace (the open, each request and its result with its time), the -n
// plan, and the diagnostic text the extension left with a status (what the
// server said, the servers tried).
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "arguments.h"

namespace qorcli {

// "open HOST (base BASE, TLS asked for, bound as DN)": the settings the open
// goes with as qorhost hands them on; never the password.
std::string describeOpen(const Invocation& invocation, const std::string& host);

// The request a query command makes: "search (uid=a) under o=x, scope sub,
// attributes cn mail", "read DN", ...; empty for the commands that change
// entries, whose records say what they send.
std::string describeQuery(const Invocation& invocation);

// The diagnostic text's lines, each on a line of its own after a tab, as
// ldapsearch shows "additional info: ..." beneath an error; nothing for an
// empty text.
void printDiagnostic(std::ostream& err, const std::string& text);

class Trace {
 public:
  Trace(std::ostream& err, bool on) : err_(err), on_(on) {}
  bool on() const { return on_; }
  // "qorhost: TEXT" when tracing.
  void line(const std::string& text) const;
  // The extension's diagnostic text, when tracing.
  void diagnostic(const std::string& text) const;

  // The time from construction to result(), reported with the status.
  class Request {
   public:
    explicit Request(const Trace& trace);
    void result(uint32_t status) const;

   private:
    const Trace& trace_;
    std::chrono::steady_clock::time_point start_;
  };

 private:
  std::ostream& err_;
  bool on_;
};

}  // namespace qorcli
