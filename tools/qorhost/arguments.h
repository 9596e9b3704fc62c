// The command line of qorhost: global options, the command and its operands.
// Parsing is pure (no I/O), so every rule can be tested on its own.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qorcli {

enum class Command {
  None,
  Search,
  Read,
  Expand,
  IsClass,
  Compare,
  Add,
  Modify,
  Delete,
  Parent,
  Info
};

enum class PasswordSource { None, Argument, File, Prompt };

// Where a secret stands in argv, so that main can overwrite it there and the
// process title never shows it: argv[argument] from byte `offset` on.
struct SecretPosition {
  int argument = 0;
  std::size_t offset = 0;
};

// Scope of a filter search, as the handle's options word encodes it.
enum class Scope { Subtree = 0, OneLevel = 1, Base = 2 };

struct Invocation {
  // Connection settings; absent ones fall back to the module's own lookup.
  std::optional<std::string> host;
  std::optional<int> port;
  std::optional<std::string> base;
  std::optional<std::string> bindDn;
  PasswordSource passwordSource = PasswordSource::None;
  std::string password;      // PasswordSource::Argument
  std::string passwordFile;  // PasswordSource::File
  bool startTls = false;
  std::vector<std::pair<std::string, std::string>> macros;
  std::optional<std::string> modulePath;

  // Limits: -z entries (0: none of the client's own), -l seconds for each
  // reply, -o nettimeout=N seconds for connecting and each reply (the
  // module's LDAP_TIMEOUT), -o ldif-wrap=N|no the LDIF line width (0: no
  // folding).
  std::optional<int> sizeLimit;
  std::optional<int> timeLimit;
  std::optional<int> netTimeout;
  std::optional<int> ldifWrap;

  // Command options.
  std::optional<Scope> scope;
  bool dnOnly = false;
  bool events = false;
  std::optional<std::string> ldifFile;  // add and modify; "-" (the default) is standard input
  bool continueOnError = false;         // -c: changes go on after a failed one
  bool dryRun = false;                  // -n: show what would be sent, send nothing
  int verbose = 0;                      // -v: trace what is sent and what comes back
  std::optional<int> debugLevel;        // -d LEVEL: libldap's own debug output as well
  std::optional<int> deref;             // -a: alias dereferencing, 0 never ... 3 always
  bool pagingAsked = false;             // -E pr=N: taken; the module pages by itself

  bool help = false;
  bool version = false;

  Command command = Command::None;
  std::vector<std::string> operands;

  std::vector<SecretPosition> secrets;
};

struct ParsedArguments {
  Invocation invocation;
  std::string error;                  // empty when the command line is usable
  std::vector<std::string> warnings;  // options given that have no effect
  bool ok() const { return error.empty(); }
};

// Parses argv[1..argc). Options may stand before or after the command and its
// operands; "--" ends the options. Short options may be bundled as
// ldapsearch takes them ("-xLLL", "-ZZ", "-wPASSWORD"). An option that takes
// a value may be given once (a second one is an error, not silently the
// winner); a flag may be repeated.

ParsedArguments parseArguments(int argc, const char* const* argv);

// The usage text of --help.
std::string usageText();

// One option as a person types it: its names ("-h", "--help") and whether
// it takes a value. The tests hold the manual page, the README and the bash
// completion to this list.
struct OptionNames {
  std::vector<std::string> names;
  bool takesValue = false;
};
std::vector<OptionNames> listOptions();

// The name a person types for a command ("is-class").
const char* commandName(Command command);

// Whether the command searches under the base (search, expand); the others
// name their entries by DN and need no -b.
bool usesBase(Command command);

}  // namespace qorcli
