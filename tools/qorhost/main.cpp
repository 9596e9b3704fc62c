// qorhost: drives the directory module's operations from a shell.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "arguments.h"
#include "commands.h"
#include "ldif_input.h"
#include "password.h"
#include "settings.h"

namespace {

using namespace qorcli;

bool readInput(const std::string& file, std::string* text, std::string* error) {
  if (file == "-") {
    std::ostringstream all;
    all << std::cin.rdbuf();
    *text = all.str();
    return true;
  }
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    *error = "cannot read " + file + ": " + std::strerror(errno);
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  return true;
}

bool obtainPassword(Invocation& invocation, std::string* password, std::string* error) {
  switch (invocation.passwordSource) {
    case PasswordSource::None:
      return true;
    case PasswordSource::Argument:
      password->swap(invocation.password);  // one copy, not two
      return true;
    case PasswordSource::File:
      return readPasswordFile(invocation.passwordFile, password, error);
    case PasswordSource::Prompt:
      return promptPassword(password, error);
  }
  return false;
}

// The checked change records of add and modify; nothing is sent when the
// input is not usable as a whole.
bool loadChanges(const Invocation& invocation, std::vector<ChangeRecord>* changes,
                 std::string* error) {
  if (invocation.command != Command::Add && invocation.command != Command::Modify) return true;
  std::string text;
  if (!readInput(*invocation.ldifFile, &text, error)) return false;
  LdifMode mode = invocation.command == Command::Add ? LdifMode::Entries : LdifMode::Changes;
  LdifInput input = parseLdif(std::move(text), mode);
  if (!input.ok()) {
    *error = input.error + "; nothing was changed";
    return false;
  }
  *changes = std::move(input.records);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ParsedArguments parsed = parseArguments(argc, argv);
  for (const auto& secret : parsed.invocation.secrets) scrubArgument(argv, secret);
  Invocation& invocation = parsed.invocation;
  if (!parsed.ok()) {
    std::cerr << "qorhost: " << parsed.error << "\n(qorhost --help shows the usage)\n";
    wipe(invocation.password);
    return kExitUsage;
  }
  if (invocation.help) {
    std::cout << usageText();
    return kExitOk;
  }
  if (invocation.version) {
    std::cout << "qorhost " << QORHOST_VERSION << '\n';
    return kExitOk;
  }
  for (const auto& warning : parsed.warnings) std::cerr << "qorhost: warning: " << warning << '\n';
  completeSettings(invocation, processSources());
  std::string password;
  std::string error;
  std::vector<ChangeRecord> changes;
  int code = kExitUsage;
  if (!obtainPassword(invocation, &password, &error) ||
      !loadChanges(invocation, &changes, &error)) {
    std::cerr << "qorhost: " << error << '\n';
  } else {
    code = runCommand(invocation, password, changes, Streams{std::cout, std::cerr});
  }
  wipe(password);
  wipe(invocation.password);
  return code;
}
