#include "conn/settings.h"

#include <cstring>
#include <initializer_list>

#include <qorldap/status.h>
#include <qorldap/util.h>

#include "host/pool.h"

namespace qorldap::conn {
namespace {

// A setting's name (macro symbol and environment variable alike), the size
// of the buffer its environment variable is read into, and the status that
// ends dsopen when a value found does not fit where it is read.
struct Source {
  const char* name;
  int32_t nameLength;
  int32_t environmentBuffer;
  uint32_t tooLongStatus;
};

template <int32_t N>
constexpr Source source(const char (&name)[N], int32_t environmentBuffer, uint32_t tooLongStatus) {
  return Source{name, N - 1, environmentBuffer, tooLongStatus};
}

constexpr Source kTimeoutSource = source("LDAP_TIMEOUT", 7, DS_E_TIMEOUT_TOO_LONG);
constexpr Source kPortSource = source("LDAP_PORT", 7, DS_E_PORT_TOO_LONG);
constexpr Source kTlsSource = source("LDAP_TLSMODE", 10, DS_OK);

// Macro-symbol values of the timeout and the port are parsed from a buffer of
// this size; the timeout needs room for a terminator, the port does not.
constexpr int32_t kNumberBuffer = 8;

// A setting that is a text copied into the connection's pool.
struct TextSetting {
  Source source;
  const char* Arguments::*argument;
  bool emptyArgumentCounts;  // the base: an empty argument is a base
  uint32_t missingStatus;    // DS_OK when the setting may stay unset
  bool secret;               // overwritten with zeros before release
  const char* ldparm::*text;
  int64_t ldparm::*length;
};

// An empty host from any source is no host; an empty base argument is a base.
constexpr TextSetting kHost{source("LDAP_HOST", 64, DS_E_HOST_TOO_LONG),
                            &Arguments::host,
                            false,
                            DS_E_NO_HOST,
                            false,
                            &ldparm::host,
                            &ldparm::hostLen};
constexpr TextSetting kBindDn{source("LDAP_BINDDN", 256, DS_E_BIND_DN_TOO_LONG),
                              &Arguments::bindDn,
                              false,
                              DS_OK,
                              false,
                              &ldparm::bindDn,
                              &ldparm::bindDnLen};
constexpr TextSetting kBindPw{source("LDAP_BINDPW", 64, DS_E_BIND_PW_TOO_LONG),
                              &Arguments::bindPw,
                              false,
                              DS_OK,
                              true,
                              &ldparm::bindPw,
                              &ldparm::bindPwLen};
constexpr TextSetting kBase{source("LDAP_BASE", 256, DS_E_BASE_TOO_LONG),
                            &Arguments::base,
                            true,
                            DS_E_NO_BASE,
                            false,
                            &ldparm::base,
                            &ldparm::baseLen};

constexpr const TextSetting* kTextSettings[] = {&kHost, &kBindDn, &kBindPw, &kBase};
constexpr int32_t kLargestEnvironmentBuffer = 256;

void wipe(void* block, int64_t length) {
  auto* bytes = static_cast<volatile unsigned char*>(block);
  for (int64_t index = 0; index < length; ++index) bytes[index] = 0;
}

// One macro-symbol value, released with xjsymfr when it goes out of scope.
class MacroValue {
 public:
  MacroValue(qor_symbol_table* symbols, const Source& source) : symbols_(symbols) {
    if (symbols_ == nullptr) return;
    found_ =
        xjsymgc(symbols_, source.name, source.nameLength, &text_, &length_, QOR_SYMBOL_KIND, 0) > 0;
    if (!found_ || text_ == nullptr || length_ < 0) length_ = 0;
  }
  ~MacroValue() {
    if (found_) xjsymfr(symbols_, text_);
  }
  MacroValue(const MacroValue&) = delete;
  MacroValue& operator=(const MacroValue&) = delete;

  bool found() const { return found_; }
  const char* text() const { return text_; }
  int32_t length() const { return length_; }

 private:
  qor_symbol_table* symbols_;
  bool found_ = false;
  const char* text_ = nullptr;
  int32_t length_ = 0;
};

// What reading an environment variable found. A variable that is set but
// does not fit the buffer is told apart from one that is not set: the host
// then refuses the read and reports a length of at least the buffer's size.
struct EnvironmentValue {
  enum class State { kAbsent, kFound, kTooLong } state;
  int32_t length;  // within the buffer when found; the full length when too long
};

// Reads an environment variable into `buffer` (source.environmentBuffer bytes).
EnvironmentValue readEnvironment(const Source& source, char* buffer, int32_t size) {
  int32_t length = 0;
  if (wzosvar(source.name, source.nameLength, buffer, size, &length) != 0) {
    if (length >= size) return {EnvironmentValue::State::kTooLong, length};
    return {EnvironmentValue::State::kAbsent, 0};
  }
  if (length < 0) length = 0;
  return {EnvironmentValue::State::kFound, length < size ? length : size};
}

EnvironmentValue readEnvironment(const Source& source, char* buffer) {
  return readEnvironment(source, buffer, source.environmentBuffer);
}

struct Number {
  int32_t state;
  int32_t value;
};

Number parseNumber(const char* text, int32_t length) {
  int32_t examined = 0;
  Number number{ZATOI_EMPTY, 0};
  number.state = zatoi(text, length, 0, &examined, &number.value);
  return number;
}

int32_t timeoutFrom(const char* text, int32_t length) {
  Number number = parseNumber(text, length);
  return number.state == ZATOI_NUMBER && number.value >= 0 ? number.value : kDefaultTimeout;
}

// A macro value copied into the number buffer, then parsed by `parse`.
template <typename Parse>
int32_t parseMacroNumber(const MacroValue& macro, Parse parse) {
  char buffer[kNumberBuffer] = {};
  std::memcpy(buffer, macro.text(), static_cast<size_t>(macro.length()));
  return parse(buffer, macro.length());
}

// A number setting from its macro symbol (`largestMacro` bytes at most) or
// its environment variable, parsed by `parse`, else `fallback`. A value too
// long to be read is refused with the source's status, never replaced by
// the default.
template <typename Parse>
uint32_t gatherNumber(qor_symbol_table* symbols, const Source& source, int32_t largestMacro,
                      int32_t fallback, Parse parse, int32_t* out) {
  MacroValue macro(symbols, source);
  if (macro.found()) {
    if (macro.length() > largestMacro) return source.tooLongStatus;
    *out = parseMacroNumber(macro, parse);
    return DS_OK;
  }
  char buffer[kNumberBuffer] = {};
  const EnvironmentValue value = readEnvironment(source, buffer);
  if (value.state == EnvironmentValue::State::kTooLong) return source.tooLongStatus;
  *out = value.state == EnvironmentValue::State::kFound ? parse(buffer, value.length) : fallback;
  return DS_OK;
}

// The port is whatever the parse yields, whatever its state.
int32_t portFrom(const char* text, int32_t length) {
  return parseNumber(text, length).value;
}

uint32_t gatherPort(qor_symbol_table* symbols, int32_t argument, int32_t* port) {
  *port = argument;
  if (argument != 0) return DS_OK;
  return gatherNumber(symbols, kPortSource, kNumberBuffer, kDefaultPort, portFrom, port);
}

// TLS is on when LDAP_TLSMODE is set and does not begin with the digit 0,
// whatever its length: a value too long for the buffer is read again whole,
// and when even that cannot be done TLS stays on. An empty value leaves it
// off.
int32_t gatherTls(qor_pool* pool) {
  char buffer[kNumberBuffer + 2] = {};
  const EnvironmentValue value = readEnvironment(kTlsSource, buffer);
  if (value.state == EnvironmentValue::State::kFound) {
    return value.length > 0 && buffer[0] != '0' ? 1 : 0;
  }
  if (value.state == EnvironmentValue::State::kAbsent) return 0;
  const int64_t size = static_cast<int64_t>(value.length) + 1;
  auto* whole = static_cast<char*>(host::allocate(pool, size));
  if (whole == nullptr) return 1;
  const EnvironmentValue again = readEnvironment(kTlsSource, whole, static_cast<int32_t>(size));
  const int32_t tls = again.state == EnvironmentValue::State::kFound && whole[0] == '0' ? 0 : 1;
  host::release(pool, whole);
  return tls;
}

uint32_t storeText(qor_pool* pool, const TextSetting& setting, const char* text, int32_t length,
                   ldparm* parameters) {
  auto* copy = static_cast<char*>(host::allocate(pool, static_cast<int64_t>(length) + 1));
  if (copy == nullptr) return DS_E_NO_MEMORY;
  if (length > 0) std::memcpy(copy, text, static_cast<size_t>(length));
  parameters->*setting.text = copy;
  parameters->*setting.length = length;
  return DS_OK;
}

// Whether a value found for `setting` counts; only the host takes an empty
// value for none, from whichever source.
bool counts(const TextSetting& setting, int32_t length) {
  return length > 0 || &setting != &kHost;
}

uint32_t gatherText(qor_pool* pool, qor_symbol_table* symbols, const TextSetting& setting,
                    const char* argument, ldparm* parameters) {
  if (argument != nullptr && (argument[0] != '\0' || setting.emptyArgumentCounts)) {
    return storeText(pool, setting, argument, wzstlen(argument), parameters);
  }
  {
    MacroValue macro(symbols, setting.source);
    if (macro.found() && counts(setting, macro.length())) {
      return storeText(pool, setting, macro.text(), macro.length(), parameters);
    }
  }
  char buffer[kLargestEnvironmentBuffer] = {};
  const EnvironmentValue value = readEnvironment(setting.source, buffer);
  if (value.state == EnvironmentValue::State::kTooLong) return setting.source.tooLongStatus;
  if (value.state == EnvironmentValue::State::kAbsent || !counts(setting, value.length)) {
    return setting.missingStatus;
  }
  uint32_t status = storeText(pool, setting, buffer, value.length, parameters);
  if (setting.secret) wipe(buffer, sizeof buffer);
  return status;
}

}  // namespace

uint32_t gatherSettings(qor_pool* pool, qor_symbol_table* symbols, const Arguments& arguments,
                        ldparm* parameters) {
  uint32_t status = gatherNumber(symbols, kTimeoutSource, kNumberBuffer - 1, kDefaultTimeout,
                                 timeoutFrom, &parameters->timeout);
  if (status == DS_OK) status = gatherText(pool, symbols, kHost, arguments.host, parameters);
  if (status == DS_OK) status = gatherPort(symbols, arguments.port, &parameters->port);
  for (const TextSetting* setting : {&kBindDn, &kBindPw, &kBase}) {
    if (status != DS_OK) return status;
    status = gatherText(pool, symbols, *setting, arguments.*setting->argument, parameters);
  }
  if (status == DS_OK) parameters->tls = gatherTls(pool);
  return status;
}

void releaseParameters(qor_pool* pool, ldparm* parameters) {
  for (const TextSetting* setting : kTextSettings) {
    auto* text = const_cast<char*>(parameters->*setting->text);
    if (text == nullptr) continue;
    if (setting->secret) wipe(text, parameters->*setting->length);
    host::release(pool, text);
  }
  host::release(pool, parameters);
}

}  // namespace qorldap::conn
