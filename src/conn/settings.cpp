#include "conn/settings.h"

#include <cstring>
#include <initializer_list>

#include <qorldap/status.h>
#include <qorldap/util.h>

#include "host/pool.h"

namespace qorldap::conn {
namespace {

// A setting's name (macro symbol and environment variable alike) and the
// size of the buffer its environment variable is read into.
struct Source {
  const char* name;
  int32_t nameLength;
  int32_t environmentBuffer;
};

template <int32_t N>
constexpr Source source(const char (&name)[N], int32_t environmentBuffer) {
  return Source{name, N - 1, environmentBuffer};
}

constexpr Source kTimeoutSource = source("LDAP_TIMEOUT", 7);
constexpr Source kPortSource = source("LDAP_PORT", 7);
constexpr Source kTlsSource = source("LDAP_TLSMODE", 10);

// Macro-symbol values of the timeout and the port are parsed from a buffer of
// this size; the timeout falls back to its default when the value does not
// leave room for a terminator, the port only when the value does not fit.
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

constexpr TextSetting kHost{source("LDAP_HOST", 64), &Arguments::host, false, DS_E_NO_HOST, false,
                            &ldparm::host,           &ldparm::hostLen};
constexpr TextSetting kBindDn{
    source("LDAP_BINDDN", 256), &Arguments::bindDn, false, DS_OK, false, &ldparm::bindDn,
    &ldparm::bindDnLen};
constexpr TextSetting kBindPw{source("LDAP_BINDPW", 64), &Arguments::bindPw, false, DS_OK, true,
                              &ldparm::bindPw,           &ldparm::bindPwLen};
constexpr TextSetting kBase{
    source("LDAP_BASE", 256), &Arguments::base, true, DS_E_NO_BASE, false, &ldparm::base,
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

// Reads an environment variable into `buffer` (source.environmentBuffer
// bytes). Returns its length within the buffer, or -1 when it is not set.
int32_t readEnvironment(const Source& source, char* buffer) {
  int32_t length = 0;
  if (wzosvar(source.name, source.nameLength, buffer, source.environmentBuffer, &length) != 0) {
    return -1;
  }
  if (length < 0) return 0;
  return length < source.environmentBuffer ? length : source.environmentBuffer;
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

int32_t gatherTimeout(qor_symbol_table* symbols) {
  MacroValue macro(symbols, kTimeoutSource);
  if (macro.found()) {
    if (macro.length() >= kNumberBuffer) return kDefaultTimeout;
    return parseMacroNumber(macro, timeoutFrom);
  }
  char buffer[kNumberBuffer] = {};
  int32_t length = readEnvironment(kTimeoutSource, buffer);
  return length < 0 ? kDefaultTimeout : timeoutFrom(buffer, length);
}

// The port is whatever the parse yields, whatever its state.
int32_t portFrom(const char* text, int32_t length) {
  return parseNumber(text, length).value;
}

int32_t gatherPort(qor_symbol_table* symbols, int32_t argument) {
  if (argument != 0) return argument;
  MacroValue macro(symbols, kPortSource);
  if (macro.found()) {
    if (macro.length() > kNumberBuffer) return kDefaultPort;
    return parseMacroNumber(macro, portFrom);
  }
  char buffer[kNumberBuffer] = {};
  int32_t length = readEnvironment(kPortSource, buffer);
  return length < 0 ? kDefaultPort : portFrom(buffer, length);
}

// TLS is on when LDAP_TLSMODE is set and does not begin with the digit 0; an
// empty value leaves it off.
int32_t gatherTls() {
  char buffer[kNumberBuffer + 2] = {};
  int32_t length = readEnvironment(kTlsSource, buffer);
  return length > 0 && buffer[0] != '0' ? 1 : 0;
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

uint32_t gatherText(qor_pool* pool, qor_symbol_table* symbols, const TextSetting& setting,
                    const char* argument, ldparm* parameters) {
  if (argument != nullptr && (argument[0] != '\0' || setting.emptyArgumentCounts)) {
    return storeText(pool, setting, argument, wzstlen(argument), parameters);
  }
  {
    MacroValue macro(symbols, setting.source);
    if (macro.found()) return storeText(pool, setting, macro.text(), macro.length(), parameters);
  }
  char buffer[kLargestEnvironmentBuffer] = {};
  int32_t length = readEnvironment(setting.source, buffer);
  if (length < 0) return setting.missingStatus;
  uint32_t status = storeText(pool, setting, buffer, length, parameters);
  if (setting.secret) wipe(buffer, sizeof buffer);
  return status;
}

}  // namespace

uint32_t gatherSettings(qor_pool* pool, qor_symbol_table* symbols, const Arguments& arguments,
                        ldparm* parameters) {
  parameters->timeout = gatherTimeout(symbols);
  uint32_t status = gatherText(pool, symbols, kHost, arguments.host, parameters);
  if (status != DS_OK) return status;
  parameters->port = gatherPort(symbols, arguments.port);
  for (const TextSetting* setting : {&kBindDn, &kBindPw, &kBase}) {
    status = gatherText(pool, symbols, *setting, arguments.*setting->argument, parameters);
    if (status != DS_OK) return status;
  }
  parameters->tls = gatherTls();
  return DS_OK;
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
