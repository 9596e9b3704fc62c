// The commands of qorhost, each a run of module operations on one host.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "arguments.h"
#include "ldif_input.h"

namespace qorcli {

enum ExitCode : int {
  kExitOk = 0,
  kExitNo = 1,       // is-class no, compare FALSE, nothing found where something was asked for
  kExitUsage = 2,    // bad usage or input; nothing was sent
  kExitFailed = 3,   // the module or the directory reported a failure
  kExitWarning = 4,  // entries delivered with a warning
};

struct Streams {
  std::ostream& out;
  std::ostream& err;
};

// Starts the host, opens the connection when the command needs one, runs the
// command and tears everything down. `changes` holds the checked records of
// add and modify. `password` is wiped as soon as the connection is open: the
// process keeps no copy of it while the command runs.
int runCommand(const Invocation& invocation, std::string& password,
               const std::vector<ChangeRecord>& changes, Streams streams);

}  // namespace qorcli
