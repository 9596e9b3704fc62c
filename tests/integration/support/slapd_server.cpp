#include "integration/support/slapd_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace qortest {

namespace {

const std::string kScripts = QOR_SLAPD_SCRIPTS;

// Reads NAME='value' lines, the value quoted the way slapd-up quotes it
// ('\'' for a quote inside).
std::map<std::string, std::string> parseAssignments(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || line.compare(0, 6, "SLAPD_") != 0) continue;
    const std::string name = line.substr(6, equals - 6);
    std::string raw = line.substr(equals + 1), value;
    bool quoted = false;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\'') {
        quoted = !quoted;
      } else if (raw[i] == '\\' && !quoted && i + 1 < raw.size()) {
        value += raw[++i];
      } else {
        value += raw[i];
      }
    }
    values[name] = value;
  }
  return values;
}

std::map<std::string, std::unique_ptr<SlapdServer>>& servers() {
  static std::map<std::string, std::unique_ptr<SlapdServer>> all;
  return all;
}

// Registered before main runs; gtest owns it.
[[maybe_unused]] const ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new SlapdEnvironment);

}  // namespace

std::string shellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string runCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (status != nullptr) *status = -1;
    return output;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int rc = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return output;
}

std::string SlapdOptions::key() const {
  std::string k = tls ? "tls:" + tlsNames : "plain";
  if (sizeLimit) k += "|size=" + std::to_string(*sizeLimit) + "/" + pagedTotal;
  for (const std::string& ldif : ldifs) k += "|" + ldif;
  if (replicated) k += "|replicated";
  if (syncprov) k += "|syncprov";
  return k;
}

std::unique_ptr<SlapdServer> SlapdServer::start(const SlapdOptions& options, std::string* error) {
  std::string command = shellQuote(kScripts + "/slapd-up");
  command += " --owner " + std::to_string(getpid());
  if (options.tls) {
    command += " --tls";
    if (!options.tlsNames.empty()) command += " --tls-names " + shellQuote(options.tlsNames);
  }
  if (options.sizeLimit) {
    command += " --size-limit " + std::to_string(*options.sizeLimit);
    if (!options.pagedTotal.empty()) command += " --paged-total " + shellQuote(options.pagedTotal);
  }
  for (const std::string& ldif : options.ldifs) command += " --ldif " + shellQuote(ldif);
  if (options.replicated) command += " --replicated";
  if (options.syncprov) command += " --syncprov";

  int status = 0;
  const std::string output = runCommand(command, &status);
  std::unique_ptr<SlapdServer> server(new SlapdServer);
  server->values_ = parseAssignments(output);
  if (status != 0 || server->values_.count("URI") == 0 || server->values_.count("DIR") == 0) {
    if (error != nullptr) {
      *error = "slapd-up failed (exit " + std::to_string(status) + "): " + output;
    }
    if (server->values_.count("DIR") != 0) server->stop();
    return nullptr;
  }
  return server;
}

SlapdServer::~SlapdServer() {
  stop();
}

void SlapdServer::stop() {
  if (stopped_) return;
  stopped_ = true;
  int status = 0;
  runCommand(shellQuote(kScripts + "/slapd-down") + " " + shellQuote(dir()) + " 2>&1", &status);
}

bool SlapdServer::restart(int provider) {
  const bool pair = values_.count("DIR1") != 0;
  const std::string folder = pair ? value("DIR" + std::to_string(provider)) : dir();
  int status = 0;
  const std::string pid =
      runCommand(shellQuote(kScripts + "/slapd-restart") + " " + shellQuote(folder), &status);
  if (status != 0) return false;
  values_[provider == 2 ? "PID2" : "PID"] = pid.substr(0, pid.find('\n'));
  return true;
}

bool SlapdServer::running() const {
  const std::string pid = value("PID");
  return !stopped_ && !pid.empty() && kill(std::stoi(pid), 0) == 0;
}

std::string SlapdServer::value(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::string() : it->second;
}

std::string SlapdServer::ldapsearch(const std::string& base, const std::string& scope,
                                    const std::string& filter,
                                    const std::vector<std::string>& attributes, bool* ok) const {
  std::string command = "ldapsearch -LLL -o ldif-wrap=no -x -H " + shellQuote(ldapiUri()) + " -D " +
                        shellQuote(adminDn()) + " -y " + shellQuote(value("ADMIN_PW_FILE")) +
                        " -b " + shellQuote(base) + " -s " + shellQuote(scope) + " " +
                        shellQuote(filter);
  for (const std::string& attribute : attributes) command += " " + shellQuote(attribute);
  int status = 0;
  std::string output = runCommand(command + " 2>&1", &status);
  if (ok != nullptr) *ok = status == 0;
  return output;
}

bool SlapdServer::ldapmodify(const std::string& ldif, std::string* output) const {
  char path[] = "/tmp/qor-ldif.XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  const bool written = write(fd, ldif.data(), ldif.size()) == static_cast<ssize_t>(ldif.size());
  close(fd);
  int status = -1;
  std::string out;
  if (written) {
    out = runCommand("ldapmodify -x -H " + shellQuote(ldapiUri()) + " -D " + shellQuote(adminDn()) +
                         " -y " + shellQuote(value("ADMIN_PW_FILE")) + " -f " + shellQuote(path) +
                         " 2>&1",
                     &status);
  }
  unlink(path);
  if (output != nullptr) *output = out;
  return status == 0;
}

std::vector<std::string> SlapdServer::dns(const std::string& filter,
                                          const std::string& scope) const {
  std::vector<std::string> found;
  std::istringstream lines(ldapsearch(base(), scope, filter, {"1.1"}));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, 4, "dn: ") == 0) found.push_back(line.substr(4));
  }
  return found;
}

SlapdServer* SlapdEnvironment::server(const SlapdOptions& options) {
  auto& all = servers();
  const std::string key = options.key();
  auto it = all.find(key);
  if (it != all.end() && it->second->running()) return it->second.get();
  std::string error;
  std::unique_ptr<SlapdServer> started = SlapdServer::start(options, &error);
  if (started == nullptr) {
    ADD_FAILURE() << error;
    return nullptr;
  }
  SlapdServer* server = started.get();
  all[key] = std::move(started);
  return server;
}

void SlapdEnvironment::discard(const SlapdOptions& options) {
  servers().erase(options.key());
}

void SlapdEnvironment::TearDown() {
  servers().clear();
}

namespace {

// The state letter of /proc/PID/stat: 'T' while stopped by a signal.
char stateOf(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

}  // namespace

bool signalServer(const SlapdServer& server, int number) {
  const int pid = std::stoi(server.value("PID"));
  if (::kill(pid, number) != 0) return false;
  if (number != SIGSTOP && number != SIGCONT) return true;
  for (int wait = 0; wait < 200; ++wait) {
    if ((stateOf(pid) == 'T') == (number == SIGSTOP)) return true;
    ::usleep(10000);
  }
  return false;
}

}  // namespace qortest
