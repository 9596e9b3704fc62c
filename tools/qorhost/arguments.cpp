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
};

struct CommandSpec {
  Command command;
  const char* name;
  int minOperands;
  int maxOperands;  // -1: no limit
  unsigned options;
  const char* synopsis;
};

constexpr std::array kCommands{
    CommandSpec{Command::Search, "search", 1, -1, kScopeOption | kDnOnlyOption,
                "search FILTER [ATTR...] [-s sub|one|base] [--dn-only]"},
    CommandSpec{Command::Read, "read", 1, -1, kDnOnlyOption, "read DN [ATTR...] [--dn-only]"},
    CommandSpec{Command::Expand, "expand", 1, 1, kEventsOption | kDnOnlyOption,
                "expand GROUP_DN [--events] [--dn-only]"},
    CommandSpec{Command::IsClass, "is-class", 2, 2, 0, "is-class DN CLASS"},
    CommandSpec{Command::Compare, "compare", 3, 3, 0, "compare DN ATTR VALUE"},
    CommandSpec{Command::Add, "add", 0, 0, kFileOption, "add -f FILE"},
    CommandSpec{Command::Modify, "modify", 0, 0, kFileOption, "modify -f FILE"},
    CommandSpec{Command::Delete, "delete", 1, -1, 0, "delete DN..."},
    CommandSpec{Command::Parent, "parent", 1, 1, 0, "parent NAME"},
    CommandSpec{Command::Info, "info", 0, 0, 0, "info"},
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
  Version
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

  void shortOption(std::string_view arg) {
    const OptionSpec* entry = findShort(arg[1]);
    if (entry == nullptr) return fail("unknown option " + std::string(arg));
    if (!entry->takesValue) {
      if (arg.size() != 2) return fail("unknown option " + std::string(arg));
      return apply(*entry, {}, {});
    }
    if (arg.size() > 2) return apply(*entry, arg.substr(2), SecretPosition{index_, 2});
    takeNextValue(*entry);
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
      if (command_ == nullptr) fail("unknown command '" + std::string(arg) + "'");
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
    if ((command_->options & kFileOption) != 0 && !invocation.ldifFile) {
      fail(std::string(command_->name) + " needs -f FILE (or -f - for standard input)");
    }
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

std::string usageText() {
  std::string text =
      "usage: qorhost [-H HOST|URI] [-p PORT] [-b BASE] [-D BINDDN] [-w PW | -y PWFILE | -W]\n"
      "               [-Z] [--macro NAME=VALUE]... [--module PATH] COMMAND ARGS\n"
      "\ncommands:\n";
  for (const auto& entry : kCommands) {
    text += "  ";
    text += entry.synopsis;
    text += '\n';
  }
  text +=
      "\noptions:\n"
      "  -H HOST|URI     host name, or LDAP URIs separated by blanks (ldap://, ldaps://, "
      "ldapi://)\n"
      "  -p PORT         port for a plain host name\n"
      "  -b BASE         search base (an empty BASE is used as given)\n"
      "  -D BINDDN       bind DN; -w PW, -y PWFILE (first line) or -W (prompt) gives the password\n"
      "  -Z              TLS (StartTLS on ldap://), sets LDAP_TLSMODE for the module\n"
      "  --macro N=V     a macro symbol for the module's own lookup (LDAP_HOST, LDAP_BASE, ...)\n"
      "  --module PATH   the libqorldap.so to load instead of the installed one\n"
      "  -s SCOPE        search scope: sub (default), one or base\n"
      "  -f FILE         LDIF input for add and modify (- for standard input)\n"
      "  --dn-only       print one DN a line instead of LDIF\n"
      "  --events        expand to event subscribers instead of subscribers\n"
      "  --help, --version\n"
      "\nSettings not given fall back to the module's macro symbols, then to the\n"
      "LDAP_HOST, LDAP_PORT, LDAP_BASE, LDAP_BINDDN, LDAP_BINDPW and LDAP_TIMEOUT\n"
      "environment variables. Options may stand before or after the command's\n"
      "arguments; \"--\" ends the options.\n"
      "\nQORHOST_POOLS=checked runs the kernel's pools in checked mode: every block\n"
      "is tracked, and bad frees or blocks never given back are reported at the end\n"
      "(exit status 3). Unset or \"production\": the fast production pools.\n"
      "\nexit status: 0 success; 1 no, FALSE or not found; 2 bad usage or input\n"
      "(nothing was sent); 3 the operation failed; 4 entries shown with a warning.\n";
  return text;
}

}  // namespace qorcli
