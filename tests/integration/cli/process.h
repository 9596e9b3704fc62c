// Runs a program as a person's shell would: argv, an environment, standard
// input, and its standard output, standard error and exit status captured.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace clitest {

struct Finished {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;
  std::string err;
};

struct Launch {
  std::vector<std::string> argv;
  std::string input;
  // Changes to the environment: a value sets, nullopt removes.
  std::map<std::string, std::optional<std::string>> environment;
};

// A started program; wait() collects what it wrote and how it ended.
class Child {
 public:
  explicit Child(const Launch& launch);
  ~Child();  // kills the program if it was not waited for
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  Finished wait(int timeoutSeconds = 60);

 private:
  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string input_;
};

Finished run(const Launch& launch);

// The NAME=value lines that scripts/slapd-up and the other server scripts
// print, their single quoting undone; other lines are skipped.
std::map<std::string, std::string> shellAssignments(const std::string& text);

// The program's command line as /proc shows it, NUL separators kept.
std::string commandLineOf(pid_t pid);

}  // namespace clitest
