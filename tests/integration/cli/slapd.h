// A private slapd with the example directory, started with scripts/slapd-up
// and stopped with scripts/slapd-down. The server is also tied to this
// process (--owner), so it goes even when a test aborts.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "integration/support/process.h"

namespace clitest {

// qorhost's tests run programs with the shared helpers.
using qortest::Child;
using qortest::commandLineOf;
using qortest::findProgram;
using qortest::Finished;
using qortest::Launch;
using qortest::run;

class Slapd {
 public:
  explicit Slapd(std::vector<std::string> options = {});
  ~Slapd();
  Slapd(const Slapd&) = delete;
  Slapd& operator=(const Slapd&) = delete;

  bool running() const { return !dir_.empty(); }
  const std::string& startError() const { return error_; }
  // SLAPD_URI, SLAPD_BASE, SLAPD_ADMIN_DN, SLAPD_ADMIN_PW, SLAPD_CA_CERT ...
  std::string get(const std::string& name) const;

 private:
  std::map<std::string, std::string> values_;
  std::string dir_;
  std::string error_;
};

}  // namespace clitest
