#include "slapd.h"

#include <unistd.h>

#include "process.h"

namespace clitest {

Slapd::Slapd(std::vector<std::string> options) {
  Launch launch;
  launch.argv = {QOR_SOURCE_DIR "/scripts/slapd-up", "--owner", std::to_string(::getpid())};
  launch.argv.insert(launch.argv.end(), options.begin(), options.end());
  Finished up = run(launch);
  if (up.exitCode != 0) {
    error_ = "slapd-up failed: " + up.err;
    return;
  }
  values_ = shellAssignments(up.out);
  dir_ = get("SLAPD_DIR");
  if (dir_.empty()) error_ = "slapd-up printed no SLAPD_DIR: " + up.out;
}

Slapd::~Slapd() {
  if (dir_.empty()) return;
  Launch launch;
  launch.argv = {QOR_SOURCE_DIR "/scripts/slapd-down", dir_};
  run(launch);
}

std::string Slapd::get(const std::string& name) const {
  auto found = values_.find(name);
  return found == values_.end() ? std::string() : found->second;
}

}  // namespace clitest
