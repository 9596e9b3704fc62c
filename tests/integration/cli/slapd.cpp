#include "slapd.h"

#include <unistd.h>

#include <sstream>

#include "process.h"

namespace clitest {
namespace {

// Undoes the single quoting of slapd-up's NAME='value' lines.
std::string unquote(const std::string& text) {
  if (text.size() < 2 || text.front() != '\'') return text;
  std::string out;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text.compare(i, 4, "'\\''") == 0) {
      out += '\'';
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

Slapd::Slapd(std::vector<std::string> options) {
  Launch launch;
  launch.argv = {QOR_SOURCE_DIR "/scripts/slapd-up", "--owner", std::to_string(::getpid())};
  launch.argv.insert(launch.argv.end(), options.begin(), options.end());
  Finished up = run(launch);
  if (up.exitCode != 0) {
    error_ = "slapd-up failed: " + up.err;
    return;
  }
  std::istringstream lines(up.out);
  for (std::string line; std::getline(lines, line);) {
    auto equals = line.find('=');
    if (equals != std::string::npos)
      values_[line.substr(0, equals)] = unquote(line.substr(equals + 1));
  }
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
