// The command line of qorhost, read from one table of options.
//
// kOptions lists every option once: the names a person types, whether it
// takes a value, what the parser does with it (one of the Parser's handlers,
// with the word its error texts use for the value), and the row of --help
// that describes it. The parser, the option rows of usageText() and
// listOptions() all read that table, and the tests hold the manual page, the
// README and the bash completion to listOptions(): an option is added or
// changed in the table, and the tests name each document that lacks it.
//
// The words are split by hand, not with getopt_long. getopt_long would take
// any unambiguous prefix of a long option (--mod for --module, --dn for
// --dn-only), keeps its position in globals, and after a bad letter in a
// bundle leaves optind on that word or past it, so the word the error text
// names ("unknown option -q in -Zq") is not at hand; keeping the command
// line as it is with getopt_long would take more code than the splitting
// below.
#include "arguments.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

namespace qorcli {
namespace {

// Options that only some commands take.
enum CommandOption : unsigned {
  kScopeOption = 1u << 0,
  kDnOnlyOption = 1u << 1,
  kEventsOption = 1u << 2,
  kFileOption = 1u << 3,
  kChangeOptions = 1u << 4,  // -c
};

struct CommandSpec {
  Command command;
  const char* name;
  int minOperands;
  int maxOperands;  // -1: no limit
  unsigned options;
  bool usesBase;  // searches under -b; the others name their entries by DN
  const char* synopsis;
};

constexpr std::array kCommands{
    CommandSpec{Command::Search, "search", 1, -1, kScopeOption | kDnOnlyOption, true,
                "search FILTER [ATTR...] [-s sub|one|base] [--dn-only]"},
    CommandSpec{Command::Read, "read", 1, -1, kDnOnlyOption, false,
                "read DN [ATTR...] [--dn-only]"},
    CommandSpec{Command::Expand, "expand", 1, 1, kEventsOption | kDnOnlyOption, true,
                "expand GROUP_DN [--events] [--dn-only]"},
    CommandSpec{Command::IsClass, "is-class", 2, 2, 0, false, "is-class DN CLASS"},
    CommandSpec{Command::Compare, "compare", 3, 3, 0, false, "compare DN ATTR VALUE"},
    CommandSpec{Command::Add, "add", 0, 0, kFileOption | kChangeOptions, false,
                "add [-f FILE] [-c]"},
    CommandSpec{Command::Modify, "modify", 0, 0, kFileOption | kChangeOptions, false,
                "modify [-f FILE] [-c]"},
    CommandSpec{Command::Delete, "delete", 1, -1, kChangeOptions, false, "delete DN... [-c]"},
    CommandSpec{Command::Parent, "parent", 1, 1, 0, false, "parent NAME"},
    CommandSpec{Command::Info, "info", 0, 0, 0, false, "info"},
};

const CommandSpec* findCommand(std::string_view name) {
  for (const auto& entry : kCommands) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

const CommandSpec* findCommand(Command command) {
  for (const auto& entry : kCommands) {
    if (command == entry.command) return &entry;
  }
  return nullptr;
}

std::optional<int> parsePort(std::string_view text) {
  int value = 0;
  const auto* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value < 1 || value > 65535) return std::nullopt;
  return value;
}

// A count of seconds or entries: 0 to 9,999,999, as the module's number
// settings take them.
std::optional<int> parseCount(std::string_view text) {
  constexpr int kLargest = 9'999'999;
  int value = 0;
  const auto* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value < 0 || value > kLargest) return std::nullopt;
  return value;
}

// libldap's debug level as ldapsearch takes it: a decimal number, negative
// ones included (-1: everything), or a hexadecimal one (0x...).
std::optional<int> parseDebugLevel(std::string_view text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) text.remove_prefix(2);
  long long value = 0;
  const auto* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value, hex ? 16 : 10);
  if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
  if (hex && value <= 0xFFFFFFFFLL) return static_cast<int>(static_cast<uint32_t>(value));
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int>(value);
}

// -a as ldapsearch names the ways, in LDAP's numbering.
std::optional<int> parseDeref(std::string_view text) {
  constexpr std::array<std::string_view, 4> kNames{"never", "search", "find", "always"};
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (text == kNames[i]) return static_cast<int>(i);
  }
  return std::nullopt;
}

// The first word of ldapsearch's own form (a filter, "attr=value"), which
// is not a command here.
bool looksLikeFilter(std::string_view word) {
  return word.starts_with('(') || word.find('=') != std::string_view::npos;
}

std::optional<Scope> parseScope(std::string_view text) {
  if (text == "sub" || text == "subtree") return Scope::Subtree;
  if (text == "one" || text == "onelevel") return Scope::OneLevel;
  if (text == "base") return Scope::Base;
  return std::nullopt;
}

class Parser;
struct OptionSpec;

// What an option does with its value (empty for an option that takes none);
// `where` is the value's place in argv, for a secret.
using Handler = void (Parser::*)(const OptionSpec& option, std::string_view value,
                                 SecretPosition where);

struct OptionSpec {
  char shortName;        // 0: long only
  const char* longName;  // nullptr: short only
  bool takesValue;
  Handler handle;
  // The value as the error texts name it ("-H needs a host name or URI",
  // "-z needs a number of entries, not 'x'"); for an option that is refused,
  // the whole refusal. nullptr: any value is taken.
  const char* detail;
  // The option's row in --help: its label, then its text, lines separated by
  // '\n'. An option without text shares the row of the option after it
  // ("-w PW, -y PWFILE, -W"). An entry without names is a further row of the
  // option above it, for a second form (-o ldif-wrap); no word matches it.
  const char* label;
  const char* help;
};

const OptionSpec* findShort(char name);
const OptionSpec* findLong(std::string_view name);

std::string displayName(const OptionSpec& option) {
  if (option.shortName != 0) return std::string("-") + option.shortName;
  return std::string("--") + option.longName;
}

class Parser {
 public:
  Parser(int argc, const char* const* argv) : argc_(argc), argv_(argv) {}

  ParsedArguments run() {
    bool optionsEnded = false;
    for (index_ = 1; index_ < argc_ && result_.ok(); ++index_) {
      std::string_view arg = argv_[index_];
      if (!optionsEnded && arg == "--") {
        optionsEnded = true;
      } else if (!optionsEnded && arg.size() > 2 && arg.substr(0, 2) == "--") {
        longOption(arg.substr(2));
      } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
        shortOption(arg);
      } else {
        positional(arg);
      }
    }
    if (result_.ok()) checkCommand();
    return std::move(result_);
  }

  // The handlers of the option table.

  template <bool Invocation::*Field>
  void flag(const OptionSpec&, std::string_view, SecretPosition) {
    result_.invocation.*Field = true;
  }

  void ignore(const OptionSpec&, std::string_view, SecretPosition) {}

  void refuse(const OptionSpec& option, std::string_view, SecretPosition) { fail(option.detail); }

  void verbose(const OptionSpec&, std::string_view, SecretPosition) {
    ++result_.invocation.verbose;
  }

  // A text kept once; empty only where the option has no detail to ask for.
  template <std::optional<std::string> Invocation::*Field>
  void text(const OptionSpec& option, std::string_view value, SecretPosition) {
    if (value.empty() && option.detail != nullptr) {
      return fail(displayName(option) + " needs " + option.detail);
    }
    setOnce(result_.invocation.*Field, std::string(value), option);
  }

  // A value read by `Read` and kept once.
  template <auto Field, auto Read>
  void parsed(const OptionSpec& option, std::string_view value, SecretPosition) {
    auto given = Read(value);
    if (!given) {
      return fail(displayName(option) + " needs " + option.detail + ", not '" + std::string(value) +
                  "'");
    }
    setOnce(result_.invocation.*Field, *given, option);
  }

  void scope(const OptionSpec& option, std::string_view value, SecretPosition where) {
    if (value == "children") {
      return fail(
          "-s children is not offered: the module searches base, one or sub; use -s "
          "one for the entries directly below the base, -s sub for all below it");
    }
    parsed<&Invocation::scope, parseScope>(option, value, where);
  }

  // -w keeps where its value stands, also when it is refused as a second
  // password, so that main wipes it from argv either way.
  void password(const OptionSpec& option, std::string_view value, SecretPosition where) {
    choosePassword(PasswordSource::Argument, option);
    if (value.empty()) return fail("-w needs a password");
    result_.invocation.password = std::string(value);
    result_.invocation.secrets.push_back(where);
  }

  void passwordFile(const OptionSpec& option, std::string_view value, SecretPosition) {
    choosePassword(PasswordSource::File, option);
    result_.invocation.passwordFile = std::string(value);
  }

  void passwordPrompt(const OptionSpec& option, std::string_view, SecretPosition) {
    choosePassword(PasswordSource::Prompt, option);
  }

  void macro(const OptionSpec&, std::string_view value, SecretPosition where) {
    auto equals = value.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      return fail("--macro needs NAME=VALUE, not '" + std::string(value) + "'");
    }
    std::string name(value.substr(0, equals));
    result_.invocation.macros.emplace_back(name, std::string(value.substr(equals + 1)));
    // A bind password given as a macro symbol is as secret as one given with -w.
    if (name == "LDAP_BINDPW") {
      result_.invocation.secrets.push_back(
          SecretPosition{where.argument, where.offset + equals + 1});
    }
  }

  // -o NAME=VALUE, as ldapsearch names them.
  void extended(const OptionSpec&, std::string_view value, SecretPosition) {
    auto equals = value.find('=');
    const std::string_view name = value.substr(0, equals);
    const std::string_view setting =
        equals == std::string_view::npos ? std::string_view() : value.substr(equals + 1);
    auto& invocation = result_.invocation;
    if (name == "nettimeout") {
      auto seconds = parseCount(setting);
      if (!seconds) return fail("-o nettimeout needs a number of seconds");
      if (invocation.netTimeout) return fail("-o nettimeout given twice");
      invocation.netTimeout = *seconds;
    } else if (name == "ldif-wrap") {
      auto width = setting == "no" ? std::optional<int>(0) : parseCount(setting);
      if (!width || *width == 1) return fail("-o ldif-wrap needs no or a line width from 2");
      if (invocation.ldifWrap) return fail("-o ldif-wrap given twice");
      invocation.ldifWrap = *width;
    } else {
      fail("-o takes nettimeout=SECONDS or ldif-wrap=no|WIDTH, not '" + std::string(value) + "'");
    }
  }

  // -E pr=N[/prompt|/noprompt]: the module pages every filter search by
  // itself, so the request is taken and said under -v. Other search
  // extensions are refused.
  void searchExtension(const OptionSpec&, std::string_view value, SecretPosition) {
    std::string_view request = value;
    if (request.starts_with('!')) request.remove_prefix(1);
    if (request.starts_with("pr=")) {
      std::string_view size = request.substr(3);
      size = size.substr(0, size.find('/'));
      if (parseCount(size)) {
        result_.invocation.pagingAsked = true;
        return;
      }
    }
    fail("-E takes pr=SIZE[/noprompt] (the module pages by itself), not '" + std::string(value) +
         "'");
  }

 private:
  void fail(std::string message) {
    if (result_.ok()) result_.error = std::move(message);
  }

  void apply(const OptionSpec& option, std::string_view value, SecretPosition where) {
    (this->*option.handle)(option, value, where);
  }

  void longOption(std::string_view body) {
    auto equals = body.find('=');
    std::string_view name = body.substr(0, equals);
    const OptionSpec* option = findLong(name);
    if (option == nullptr) return fail("unknown option --" + std::string(name));
    if (equals == std::string_view::npos) {
      if (!option->takesValue) return apply(*option, {}, {});
      return takeNextValue(*option);
    }
    if (!option->takesValue) return fail(displayName(*option) + " takes no value");
    apply(*option, body.substr(equals + 1), SecretPosition{index_, 2 + equals + 1});
  }

  // Flags one after the other; an option that takes a value takes the rest
  // of the word, or the next word when nothing is left.
  void shortOption(std::string_view arg) {
    for (std::size_t at = 1; at < arg.size() && result_.ok(); ++at) {
      const OptionSpec* option = findShort(arg[at]);
      if (option == nullptr) {
        return fail("unknown option -" + std::string(1, arg[at]) +
                    (arg.size() > 2 ? " in " + std::string(arg) : ""));
      }
      if (!option->takesValue) {
        apply(*option, {}, {});
      } else if (at + 1 < arg.size()) {
        return apply(*option, arg.substr(at + 1), SecretPosition{index_, at + 1});
      } else {
        return takeNextValue(*option);
      }
    }
  }

  void takeNextValue(const OptionSpec& option) {
    if (index_ + 1 >= argc_) return fail(displayName(option) + " needs a value");
    ++index_;
    apply(option, argv_[index_], SecretPosition{index_, 0});
  }

  void positional(std::string_view arg) {
    if (command_ == nullptr && !sawCommand_) {
      sawCommand_ = true;
      command_ = findCommand(arg);
      if (command_ != nullptr) return;
      if (looksLikeFilter(arg)) {
        return fail("unknown command '" + std::string(arg) +
                    "': a command word comes first; for ldapsearch's form, put search before the "
                    "filter (qorhost [OPTIONS] search '" +
                    std::string(arg) + "' [ATTR...])");
      }
      fail("unknown command '" + std::string(arg) + "'");
      return;
    }
    result_.invocation.operands.emplace_back(arg);
  }

  template <typename T>
  void setOnce(std::optional<T>& field, T value, const OptionSpec& option) {
    if (field.has_value()) return fail(displayName(option) + " given twice");
    field = std::move(value);
  }

  void choosePassword(PasswordSource source, const OptionSpec& option) {
    auto& invocation = result_.invocation;
    if (invocation.passwordSource != PasswordSource::None) {
      return fail(displayName(option) + ": give the password only once (-w, -y or -W)");
    }
    invocation.passwordSource = source;
  }

  void checkCommand() {
    auto& invocation = result_.invocation;
    if (invocation.help || invocation.version) return;
    if (command_ == nullptr) return fail("no command given (try --help)");
    invocation.command = command_->command;
    const auto count = static_cast<int>(invocation.operands.size());
    if (count < command_->minOperands ||
        (command_->maxOperands >= 0 && count > command_->maxOperands)) {
      return fail(std::string("usage: qorhost [OPTIONS] ") + command_->synopsis);
    }
    checkCommandOption(invocation.scope.has_value(), kScopeOption, "-s");
    checkCommandOption(invocation.dnOnly, kDnOnlyOption, "--dn-only");
    checkCommandOption(invocation.events, kEventsOption, "--events");
    checkCommandOption(invocation.ldifFile.has_value(), kFileOption, "-f");
    checkCommandOption(invocation.continueOnError, kChangeOptions, "-c");
    // Like ldapadd and ldapmodify: without -f the records come from standard input.
    if ((command_->options & kFileOption) != 0 && !invocation.ldifFile) invocation.ldifFile = "-";
    warnAboutPort();
  }

  // libldap takes the port of a URI from the URI: -p beside one does nothing.
  void warnAboutPort() {
    const auto& invocation = result_.invocation;
    if (!invocation.port || !invocation.host) return;
    const std::string& host = *invocation.host;
    if (host.find("://") == std::string::npos && host.rfind("ldif:", 0) != 0) return;
    result_.warnings.push_back("-p " + std::to_string(*invocation.port) +
                               " is not used: it applies to a plain host name, and a URI in -H "
                               "carries its own port (ldap://HOST:PORT)");
  }

  void checkCommandOption(bool given, CommandOption option, const char* name) {
    if (given && (command_->options & option) == 0) {
      fail(std::string(name) + " does not apply to " + command_->name);
    }
  }

  int argc_;
  const char* const* argv_;
  int index_ = 1;
  bool sawCommand_ = false;
  const CommandSpec* command_ = nullptr;
  ParsedArguments result_;
};

// Every option, in the order of --help.
constexpr std::array kOptions{
    OptionSpec{'H', nullptr, true, &Parser::text<&Invocation::host>, "a host name or URI",
               "-H HOST|URI",
               "host name, or LDAP URIs separated by blanks (ldap://, ldaps://, ldapi://),\n"
               "or ldif:FILE, a directory kept in an LDIF file,\n"
               "or replica:URIS[;staleness=MS][;wait=SECONDS], a replica of those servers\n"
               "kept in the process (reads answered from it while current within MS)"},
    OptionSpec{'p', nullptr, true, &Parser::parsed<&Invocation::port, parsePort>,
               "a port number from 1 to 65535", "-p PORT",
               "port for a plain host name (a URI carries its own)"},
    OptionSpec{'b', nullptr, true, &Parser::text<&Invocation::base>, nullptr, "-b BASE",
               "search base of search and expand (an empty BASE is used as given);\n"
               "the other commands name their entries by DN and need none"},
    OptionSpec{'D', nullptr, true, &Parser::text<&Invocation::bindDn>, "a bind DN", "-D BINDDN",
               "bind DN"},
    OptionSpec{'w', nullptr, true, &Parser::password, nullptr, "-w PW", nullptr},
    OptionSpec{'y', nullptr, true, &Parser::passwordFile, nullptr, "-y PWFILE", nullptr},
    OptionSpec{'W', nullptr, false, &Parser::passwordPrompt, nullptr, "-W",
               "the bind password: given, the first line of a file, or asked\n"
               "for without echo; never printed, and wiped from the process title"},
    OptionSpec{'Z', nullptr, false, &Parser::flag<&Invocation::startTls>, nullptr, "-Z, -ZZ",
               "TLS (StartTLS on ldap://), required: sets LDAP_TLSMODE for the module.\n"
               "Certificates are always verified."},
    OptionSpec{'z', nullptr, true, &Parser::parsed<&Invocation::sizeLimit, parseCount>,
               "a number of entries", "-z N",
               "at most N entries (0: no limit of the client's own)"},
    OptionSpec{'l', nullptr, true, &Parser::parsed<&Invocation::timeLimit, parseCount>,
               "a number of seconds", "-l SECONDS",
               "wait at most SECONDS for each reply (0: no limit)"},
    OptionSpec{'o', nullptr, true, &Parser::extended, nullptr, "-o nettimeout=SECONDS",
               "for connecting and for each reply (the module's LDAP_TIMEOUT,\n"
               "30 s when not set)"},
    OptionSpec{0, nullptr, true, &Parser::extended, nullptr, "-o ldif-wrap=no|WIDTH",
               "LDIF lines unfolded, or folded at WIDTH (default 78)"},
    OptionSpec{'c', nullptr, false, &Parser::flag<&Invocation::continueOnError>, nullptr, "-c",
               "add, modify, delete: go on after a failed change, and report each"},
    OptionSpec{'n', nullptr, false, &Parser::flag<&Invocation::dryRun>, nullptr, "-n",
               "show what would be sent, send nothing"},
    OptionSpec{'v', nullptr, false, &Parser::verbose, nullptr, "-v",
               "trace: the servers tried, TLS, the bind DN (never the password),\n"
               "each request with its scope and filter, each result with its time"},
    OptionSpec{'d', nullptr, true, &Parser::parsed<&Invocation::debugLevel, parseDebugLevel>,
               "a libldap debug level (a number, -1 or 0x... for hexadecimal)", "-d LEVEL",
               "-v, and libldap's own debug output at LEVEL (-1: everything; 0x...\n"
               "hexadecimal), which shows every LDAP request the module makes"},
    OptionSpec{'a', nullptr, true, &Parser::parsed<&Invocation::deref, parseDeref>,
               "never, search, find or always", "-a never|search|find|always",
               "alias dereferencing (default never)"},
    OptionSpec{'E', nullptr, true, &Parser::searchExtension, nullptr, "-E pr=SIZE[/noprompt]",
               "accepted: the module pages every filter search by itself"},
    // ldapsearch's habits that change nothing here: -x (a simple bind is the
    // only kind there is) and -L, -LL, -LLL (the output is always plain LDIF).
    OptionSpec{'x', nullptr, false, &Parser::ignore, nullptr, "-x", nullptr},
    OptionSpec{'L', nullptr, false, &Parser::ignore, nullptr, "-L, -LL, -LLL",
               "accepted as ldapsearch takes them; they change nothing"},
    // Two of its habits that the module cannot offer, refused with what to
    // do instead (-s children is refused by -s).
    OptionSpec{'A', nullptr, false, &Parser::refuse,
               "-A (attribute names without values) is not offered: the module returns "
               "values with their attributes; name the attributes wanted, or 1.1 for none",
               "-A", nullptr},
    OptionSpec{'S', nullptr, true, &Parser::refuse,
               "-S (sorting by an attribute) is not offered: entries come in the "
               "directory's order; sort the output instead",
               "-S ATTR, -s children", "not offered (each says why and what to do instead)"},
    OptionSpec{0, "macro", true, &Parser::macro, nullptr, "--macro N=V",
               "a macro symbol for the module's own lookup (LDAP_HOST, LDAP_BASE, ...)"},
    OptionSpec{0, "module", true, &Parser::text<&Invocation::modulePath>, "a path", "--module PATH",
               "the libqorldap.so to load instead of the installed one"},
    OptionSpec{'s', nullptr, true, &Parser::scope, "sub, one or base", "-s SCOPE",
               "search scope: sub (default), one or base"},
    OptionSpec{'f', nullptr, true, &Parser::text<&Invocation::ldifFile>,
               "a file name (or - for standard input)", "-f FILE",
               "LDIF input for add and modify (standard input without -f, or -f -)"},
    OptionSpec{0, "dn-only", false, &Parser::flag<&Invocation::dnOnly>, nullptr, "--dn-only",
               "print one DN a line instead of LDIF"},
    OptionSpec{0, "events", false, &Parser::flag<&Invocation::events>, nullptr, "--events",
               "expand to event subscribers instead of subscribers"},
    OptionSpec{'h', "help", false, &Parser::flag<&Invocation::help>, nullptr, "-h, --help",
               nullptr},
    OptionSpec{0, "version", false, &Parser::flag<&Invocation::version>, nullptr, "--version",
               "print this text or the version, and end"},
};

// Each label names its option, so that --help shows every one.
constexpr bool labelsNameTheirOptions() {
  for (const auto& option : kOptions) {
    const std::string_view label = option.label;
    const char shortName[] = {'-', option.shortName};
    if (option.shortName != 0 && label.find(std::string_view(shortName, 2)) == label.npos) {
      return false;
    }
    if (option.longName != nullptr && label.find(std::string_view(option.longName)) == label.npos) {
      return false;
    }
  }
  return kOptions.back().help != nullptr;  // the last row is not left open
}
static_assert(labelsNameTheirOptions());

const OptionSpec* findShort(char name) {
  for (const auto& option : kOptions) {
    if (option.shortName != 0 && option.shortName == name) return &option;
  }
  return nullptr;
}

const OptionSpec* findLong(std::string_view name) {
  for (const auto& option : kOptions) {
    if (option.longName != nullptr && name == option.longName) return &option;
  }
  return nullptr;
}

// The option rows of --help: each label, then its text from column 18 (two
// blanks after a longer label), the text's further lines indented to it.
std::string optionRows() {
  constexpr std::size_t kTextColumn = 18;
  std::string rows;
  std::string label;
  for (const auto& option : kOptions) {
    label += (label.empty() ? "  " : ", ") + std::string(option.label);
    if (option.help == nullptr) continue;
    rows += label;
    rows.append(label.size() + 2 <= kTextColumn ? kTextColumn - label.size() : 2, ' ');
    for (const char* at = option.help; *at != '\0'; ++at) {
      rows += *at;
      if (*at == '\n') rows.append(kTextColumn, ' ');
    }
    rows += '\n';
    label.clear();
  }
  return rows;
}

}  // namespace

ParsedArguments parseArguments(int argc, const char* const* argv) {
  return Parser(argc, argv).run();
}

const char* commandName(Command command) {
  const CommandSpec* entry = findCommand(command);
  return entry != nullptr ? entry->name : "";
}

bool usesBase(Command command) {
  const CommandSpec* entry = findCommand(command);
  return entry != nullptr && entry->usesBase;
}

std::vector<OptionNames> listOptions() {
  std::vector<OptionNames> options;
  for (const auto& option : kOptions) {
    if (option.shortName == 0 && option.longName == nullptr) continue;
    OptionNames names;
    if (option.shortName != 0) names.names.push_back(std::string("-") + option.shortName);
    if (option.longName != nullptr) names.names.push_back(std::string("--") + option.longName);
    names.takesValue = option.takesValue;
    options.push_back(std::move(names));
  }
  return options;
}

std::string usageText() {
  std::string text =
      "usage: qorhost [-H HOST|URI] [-p PORT] [-b BASE] [-D BINDDN] [-w PW | -y PWFILE | -W]\n"
      "               [-Z] [-z N] [-l SECONDS] [-o NAME=VALUE] [-n] [-v] [-d LEVEL]\n"
      "               [--macro NAME=VALUE]... [--module PATH] COMMAND ARGS\n"
      "\ncommands:\n";
  for (const auto& entry : kCommands) {
    text += "  ";
    text += entry.synopsis;
    text += '\n';
  }
  text += "\noptions:\n" + optionRows();
  text +=
      "\nAn option that takes a value may be given once; a second one is an error\n"
      "(ldapsearch would take the last). Short options may be bundled (-xLLL, -ZZ).\n"
      "\nis-class answers yes when CLASS is one of the entry's objectClass or qorInterface\n"
      "values, compared whole and without regard to case. A superclass that the entry\n"
      "does not list is no value (a server's compare of objectClass person is TRUE for\n"
      "an inetOrgPerson; is-class says no), and the module's own class test, which\n"
      "compares prefixes, would also take \"group\" for groupOfNames: -v shows its answer.\n"
      "\nSettings not given fall back to the module's macro symbols, then to the\n"
      "LDAP_HOST, LDAP_PORT, LDAP_BASE, LDAP_BINDDN, LDAP_BINDPW, LDAP_TIMEOUT and\n"
      "LDAP_TLSMODE environment variables, and last, for the server and the base, to\n"
      "libldap's own: LDAPURI and LDAPBASE, then URI and BASE of ldap.conf (LDAPCONF,\n"
      "~/.ldaprc). TLS settings (TLS_CACERT, LDAPTLS_CACERT, ...) come from libldap's\n"
      "configuration as ldapsearch reads it. Options may stand before or after the\n"
      "command's arguments; \"--\" ends the options.\n"
      "\nQORHOST_POOLS=checked runs the kernel's pools in checked mode: every block\n"
      "is tracked, and bad frees or blocks never given back are reported at the end\n"
      "(exit status 3). Unset or \"production\": the fast production pools.\n"
      "\nexit status: 0 success; 1 no, FALSE or not found (for every command: a search\n"
      "that matches nothing, an entry or group that is not there); 2 bad usage or input\n"
      "(nothing was sent); 3 the operation failed; 4 entries shown with a warning.\n";
  return text;
}

}  // namespace qorcli
