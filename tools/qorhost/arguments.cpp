#include "arguments.h"

#include <array>
#include <charconv>
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

enum class OptionId {
  Host,
  Port,
  Base,
  BindDn,
  Password,
  PasswordFile,
  PasswordPrompt,
  StartTls,
  Macro,
  Module,
  Scope,
  File,
  DnOnly,
  Events,
  Help,
  Version,
  SizeLimit,
  TimeLimit,
  Extended,
  Continue,
  DryRun,
  Verbose,
  Debug,
  SimpleBind,
  LdifStyle,
  SearchExtension,
  Deref,
  TypesOnly,
  Sort
};

struct OptionSpec {
  OptionId id;
  char shortName;        // 0: long only
  const char* longName;  // nullptr: short only
  bool takesValue;
};

constexpr std::array kOptions{
    OptionSpec{OptionId::Host, 'H', nullptr, true},
    OptionSpec{OptionId::Port, 'p', nullptr, true},
    OptionSpec{OptionId::Base, 'b', nullptr, true},
    OptionSpec{OptionId::BindDn, 'D', nullptr, true},
    OptionSpec{OptionId::Password, 'w', nullptr, true},
    OptionSpec{OptionId::PasswordFile, 'y', nullptr, true},
    OptionSpec{OptionId::PasswordPrompt, 'W', nullptr, false},
    OptionSpec{OptionId::StartTls, 'Z', nullptr, false},
    OptionSpec{OptionId::Macro, 0, "macro", true},
    OptionSpec{OptionId::Module, 0, "module", true},
    OptionSpec{OptionId::Scope, 's', nullptr, true},
    OptionSpec{OptionId::File, 'f', nullptr, true},
    OptionSpec{OptionId::DnOnly, 0, "dn-only", false},
    OptionSpec{OptionId::Events, 0, "events", false},
    OptionSpec{OptionId::Help, 'h', "help", false},
    OptionSpec{OptionId::Version, 0, "version", false},
    OptionSpec{OptionId::SizeLimit, 'z', nullptr, true},
    OptionSpec{OptionId::TimeLimit, 'l', nullptr, true},
    OptionSpec{OptionId::Extended, 'o', nullptr, true},
    OptionSpec{OptionId::Continue, 'c', nullptr, false},
    OptionSpec{OptionId::DryRun, 'n', nullptr, false},
    OptionSpec{OptionId::Verbose, 'v', nullptr, false},
    OptionSpec{OptionId::Debug, 'd', nullptr, true},
    // ldapsearch's habits that change nothing here: -x (a simple bind is the
    // only kind there is) and -L, -LL, -LLL (the output is always plain LDIF).
    OptionSpec{OptionId::SimpleBind, 'x', nullptr, false},
    OptionSpec{OptionId::LdifStyle, 'L', nullptr, false},
    // More of its habits: -E pr=N (paging, which the module does by itself),
    // -a (alias dereferencing, a connection option), and two it cannot
    // offer, -A and -S, refused with what to do instead.
    OptionSpec{OptionId::SearchExtension, 'E', nullptr, true},
    OptionSpec{OptionId::Deref, 'a', nullptr, true},
    OptionSpec{OptionId::TypesOnly, 'A', nullptr, false},
    OptionSpec{OptionId::Sort, 'S', nullptr, true},
};

const OptionSpec* findShort(char name) {
  for (const auto& entry : kOptions) {
    if (entry.shortName == name) return &entry;
  }
  return nullptr;
}

const OptionSpec* findLong(std::string_view name) {
  for (const auto& entry : kOptions) {
    if (entry.longName != nullptr && name == entry.longName) return &entry;
  }
  return nullptr;
}

std::string displayName(const OptionSpec& entry) {
  if (entry.shortName != 0) return std::string("-") + entry.shortName;
  return std::string("--") + entry.longName;
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

 private:
  void fail(std::string message) {
    if (result_.ok()) result_.error = std::move(message);
  }

  void longOption(std::string_view body) {
    auto equals = body.find('=');
    std::string_view name = body.substr(0, equals);
    const OptionSpec* entry = findLong(name);
    if (entry == nullptr) return fail("unknown option --" + std::string(name));
    if (equals == std::string_view::npos) {
      if (!entry->takesValue) return apply(*entry, {}, {});
      return takeNextValue(*entry);
    }
    if (!entry->takesValue) return fail(displayName(*entry) + " takes no value");
    apply(*entry, body.substr(equals + 1), SecretPosition{index_, 2 + equals + 1});
  }

  // Flags one after the other; an option that takes a value takes the rest
  // of the word, or the next word when nothing is left.
  void shortOption(std::string_view arg) {
    for (std::size_t at = 1; at < arg.size() && result_.ok(); ++at) {
      const OptionSpec* entry = findShort(arg[at]);
      if (entry == nullptr) {
        return fail("unknown option -" + std::string(1, arg[at]) +
                    (arg.size() > 2 ? " in " + std::string(arg) : ""));
      }
      if (!entry->takesValue) {
        apply(*entry, {}, {});
      } else if (at + 1 < arg.size()) {
        return apply(*entry, arg.substr(at + 1), SecretPosition{index_, at + 1});
      } else {
        return takeNextValue(*entry);
      }
    }
  }

  void takeNextValue(const OptionSpec& entry) {
    if (index_ + 1 >= argc_) return fail(displayName(entry) + " needs a value");
    ++index_;
    apply(entry, argv_[index_], SecretPosition{index_, 0});
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
  void setOnce(std::optional<T>& field, T value, const OptionSpec& entry) {
    if (field.has_value()) return fail(displayName(entry) + " given twice");
    field = std::move(value);
  }

  void setPassword(PasswordSource source, const OptionSpec& entry) {
    auto& invocation = result_.invocation;
    if (invocation.passwordSource != PasswordSource::None) {
      return fail(displayName(entry) + ": give the password only once (-w, -y or -W)");
    }
    invocation.passwordSource = source;
  }

  void apply(const OptionSpec& entry, std::string_view value, SecretPosition where) {
    auto& invocation = result_.invocation;
    switch (entry.id) {
      case OptionId::Host:
        if (value.empty()) return fail("-H needs a host name or URI");
        return setOnce(invocation.host, std::string(value), entry);
      case OptionId::Port: {
        auto port = parsePort(value);
        if (!port)
          return fail("-p needs a port number from 1 to 65535, not '" + std::string(value) + "'");
        if (invocation.port != 0) return fail("-p given twice");
        invocation.port = *port;
        return;
      }
      case OptionId::Base:
        return setOnce(invocation.base, std::string(value), entry);
      case OptionId::BindDn:
        if (value.empty()) return fail("-D needs a bind DN");
        return setOnce(invocation.bindDn, std::string(value), entry);
      case OptionId::Password:
        setPassword(PasswordSource::Argument, entry);
        if (value.empty()) return fail("-w needs a password");
        invocation.password = std::string(value);
        invocation.secrets.push_back(where);
        return;
      case OptionId::PasswordFile:
        setPassword(PasswordSource::File, entry);
        invocation.passwordFile = std::string(value);
        return;
      case OptionId::PasswordPrompt:
        return setPassword(PasswordSource::Prompt, entry);
      case OptionId::StartTls:
        invocation.startTls = true;
        return;
      case OptionId::Macro:
        return macro(value, where);
      case OptionId::Module:
        if (value.empty()) return fail("--module needs a path");
        return setOnce(invocation.modulePath, std::string(value), entry);
      case OptionId::Scope: {
        if (value == "children") {
          return fail(
              "-s children is not offered: the module searches base, one or sub; use -s "
              "one for the entries directly below the base, -s sub for all below it");
        }
        auto scope = parseScope(value);
        if (!scope) return fail("-s needs sub, one or base, not '" + std::string(value) + "'");
        return setOnce(invocation.scope, *scope, entry);
      }
      case OptionId::File:
        if (value.empty()) return fail("-f needs a file name (or - for standard input)");
        return setOnce(invocation.ldifFile, std::string(value), entry);
      case OptionId::DnOnly:
        invocation.dnOnly = true;
        return;
      case OptionId::Events:
        invocation.events = true;
        return;
      case OptionId::Help:
        invocation.help = true;
        return;
      case OptionId::Version:
        invocation.version = true;
        return;
      case OptionId::SizeLimit:
        return count(value, entry, "a number of entries", invocation.sizeLimit);
      case OptionId::TimeLimit:
        return count(value, entry, "a number of seconds", invocation.timeLimit);
      case OptionId::Extended:
        return extended(value);
      case OptionId::Continue:
        invocation.continueOnError = true;
        return;
      case OptionId::DryRun:
        invocation.dryRun = true;
        return;
      case OptionId::Verbose:
        ++invocation.verbose;
        return;
      case OptionId::Debug: {
        auto level = parseDebugLevel(value);
        if (!level) {
          return fail(
              "-d needs a libldap debug level (a number, -1 or 0x... for hexadecimal), "
              "not '" +
              std::string(value) + "'");
        }
        return setOnce(invocation.debugLevel, *level, entry);
      }
      case OptionId::SimpleBind:
      case OptionId::LdifStyle:
        return;
      case OptionId::SearchExtension:
        return searchExtension(value);
      case OptionId::Deref: {
        auto deref = parseDeref(value);
        if (!deref) {
          return fail("-a needs never, search, find or always, not '" + std::string(value) + "'");
        }
        return setOnce(invocation.deref, *deref, entry);
      }
      case OptionId::TypesOnly:
        return fail(
            "-A (attribute names without values) is not offered: the module returns "
            "values with their attributes; name the attributes wanted, or 1.1 for none");
      case OptionId::Sort:
        return fail(
            "-S (sorting by an attribute) is not offered: entries come in the "
            "directory's order; sort the output instead");
    }
  }

  void count(std::string_view value, const OptionSpec& entry, const char* what,
             std::optional<int>& field) {
    auto number = parseCount(value);
    if (!number) {
      return fail(displayName(entry) + " needs " + what + ", not '" + std::string(value) + "'");
    }
    setOnce(field, *number, entry);
  }

  // -E pr=N[/prompt|/noprompt]: the module pages every filter search by
  // itself, so the request is taken and said under -v. Other search
  // extensions are refused.
  void searchExtension(std::string_view value) {
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

  // -o NAME=VALUE, as ldapsearch names them.
  void extended(std::string_view value) {
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

  void macro(std::string_view value, SecretPosition where) {
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
    if (invocation.port == 0 || !invocation.host) return;
    const std::string& host = *invocation.host;
    if (host.find("://") == std::string::npos && host.rfind("ldif:", 0) != 0) return;
    result_.warnings.push_back("-p " + std::to_string(invocation.port) +
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
  text +=
      "\noptions:\n"
      "  -H HOST|URI     host name, or LDAP URIs separated by blanks (ldap://, ldaps://, "
      "ldapi://),\n"
      "                  or ldif:FILE, a directory kept in an LDIF file\n"
      "  -p PORT         port for a plain host name (a URI carries its own)\n"
      "  -b BASE         search base of search and expand (an empty BASE is used as given);\n"
      "                  the other commands name their entries by DN and need none\n"
      "  -D BINDDN       bind DN\n"
      "  -w PW, -y PWFILE, -W   the bind password: given, the first line of a file, or asked\n"
      "                  for without echo; never printed, and wiped from the process title\n"
      "  -Z, -ZZ         TLS (StartTLS on ldap://), required: sets LDAP_TLSMODE for the module.\n"
      "                  Certificates are always verified.\n"
      "  -z N            at most N entries (0: no limit of the client's own)\n"
      "  -l SECONDS      wait at most SECONDS for each reply (0: no limit)\n"
      "  -o nettimeout=SECONDS   for connecting and for each reply (the module's LDAP_TIMEOUT,\n"
      "                  30 s when not set)\n"
      "  -o ldif-wrap=no|WIDTH   LDIF lines unfolded, or folded at WIDTH (default 78)\n"
      "  -c              add, modify, delete: go on after a failed change, and report each\n"
      "  -n              show what would be sent, send nothing\n"
      "  -v              trace: the servers tried, TLS, the bind DN (never the password),\n"
      "                  each request with its scope and filter, each result with its time\n"
      "  -d LEVEL        -v, and libldap's own debug output at LEVEL (-1: everything; 0x...\n"
      "                  hexadecimal), which shows every LDAP request the module makes\n"
      "  -a never|search|find|always   alias dereferencing (default never)\n"
      "  -E pr=SIZE[/noprompt]  accepted: the module pages every filter search by itself\n"
      "  -x, -L, -LL, -LLL  accepted as ldapsearch takes them; they change nothing\n"
      "  -A, -S ATTR, -s children  not offered (each says why and what to do instead)\n"
      "  --macro N=V     a macro symbol for the module's own lookup (LDAP_HOST, LDAP_BASE, ...)\n"
      "  --module PATH   the libqorldap.so to load instead of the installed one\n"
      "  -s SCOPE        search scope: sub (default), one or base\n"
      "  -f FILE         LDIF input for add and modify (standard input without -f, or -f -)\n"
      "  --dn-only       print one DN a line instead of LDIF\n"
      "  --events        expand to event subscribers instead of subscribers\n"
      "  --help, --version\n"
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
