#include "ldap/endpoints.h"

#include <ldap.h>

#include <strings.h>
#include <cctype>
#include <charconv>
#include <memory>

namespace vqeldap::ldap {

namespace {

enum class Scheme { kNone, kLdap, kLdaps, kLdapi, kUnknown };

Scheme schemeOf(std::string_view word) {
  const std::size_t colon = word.find("://");
  if (colon == std::string_view::npos) return Scheme::kNone;
  const std::string_view scheme = word.substr(0, colon);
  auto is = [&](const char* name) {
    return scheme.size() == std::char_traits<char>::length(name) &&
           strncasecmp(scheme.data(), name, scheme.size()) == 0;
  };
  if (is("ldap")) return Scheme::kLdap;
  if (is("ldaps")) return Scheme::kLdaps;
  if (is("ldapi")) return Scheme::kLdapi;
  return Scheme::kUnknown;
}

struct FreeUrl {
  void operator()(LDAPURLDesc* description) const { ldap_free_urldesc(description); }
};
using Url = std::unique_ptr<LDAPURLDesc, FreeUrl>;

// ldap_initialize takes a list of URIs and reads a comma, like a blank, as
// the end of one: a word holding one would name a second server, reached in
// the clear when it says ldap://. One word is one server, so a comma is
// refused wherever it stands (a DN part can spell it %2C). A zero byte is
// refused too: libldap would read the URI only up to it.
Url parsedUri(const std::string& uri) {
  LDAPURLDesc* description = nullptr;
  const int rc = uri.find_first_of(std::string_view(",\0", 2)) == std::string::npos
                     ? ldap_url_parse(uri.c_str(), &description)
                     : LDAP_URL_ERR_BADURL;
  Url parsed(description);
  // libldap parses a port of any size, then drops the URI when it connects.
  if (rc != LDAP_URL_SUCCESS || parsed->lud_port < 0 || parsed->lud_port > 65535) parsed.reset();
  return parsed;
}

// An ldaps server as the ldap:// URI of the same host and port (636 when it
// gives none): the connection is made first and TLS started on it, which
// tells a server that cannot be reached from TLS that fails.
bool clearUriOf(const LDAPURLDesc& ldaps, std::string& uri) {
  char scheme[] = "ldap";
  LDAPURLDesc clear{};
  clear.lud_scheme = scheme;
  clear.lud_host = ldaps.lud_host;
  clear.lud_port = ldaps.lud_port != 0 ? ldaps.lud_port : LDAPS_PORT;
  clear.lud_scope = LDAP_SCOPE_DEFAULT;
  char* text = ldap_url_desc2str(&clear);
  if (text == nullptr) return false;
  uri = text;
  ldap_memfree(text);
  return true;
}

bool validPort(std::string_view text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535;
}

bool validHostName(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '.' && c != '-' && c != '_') {
      return false;
    }
  }
  return true;
}

bool validIpv6(std::string_view address) {
  if (address.empty()) return false;
  for (char c : address) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0 && c != ':' && c != '.') return false;
  }
  return true;
}

// A plain host: "name", "name:port", "[v6]", "[v6]:port", or a bare IPv6
// address (more than one colon, no port).
bool hostUri(std::string_view word, int port, std::string& uri) {
  std::string_view host = word, portText;
  bool bracketed = false;
  if (!word.empty() && word.front() == '[') {
    const std::size_t close = word.find(']');
    if (close == std::string_view::npos) return false;
    host = word.substr(1, close - 1);
    const std::string_view rest = word.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      portText = rest.substr(1);
      if (portText.empty()) return false;
    }
    bracketed = true;
  } else if (word.find(':') != word.rfind(':')) {
    bracketed = true;  // IPv6 without brackets: all colons belong to it
  } else if (const std::size_t colon = word.find(':'); colon != std::string_view::npos) {
    host = word.substr(0, colon);
    portText = word.substr(colon + 1);
    if (portText.empty()) return false;
  }
  if (bracketed ? !validIpv6(host) : !validHostName(host)) return false;
  int chosen = 0;
  if (!portText.empty()) {
    if (!validPort(portText, chosen)) return false;
  } else if (port != 0) {
    if (port < 1 || port > 65535) return false;
    chosen = port;
  }
  uri = "ldap://";
  uri += bracketed ? "[" + std::string(host) + "]" : std::string(host);
  if (chosen != 0) uri += ":" + std::to_string(chosen);
  return true;
}

}  // namespace

bool parseEndpoints(std::string_view hosts, int port, bool startTls, std::vector<Endpoint>& out) {
  out.clear();
  std::size_t at = 0;
  while (at < hosts.size()) {
    if (std::isspace(static_cast<unsigned char>(hosts[at])) != 0) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < hosts.size() && std::isspace(static_cast<unsigned char>(hosts[end])) == 0) ++end;
    const std::string_view word = hosts.substr(at, end - at);
    at = end;

    Endpoint endpoint;
    const Scheme scheme = schemeOf(word);
    if (scheme == Scheme::kUnknown) return false;
    if (scheme == Scheme::kNone) {
      if (!hostUri(word, port, endpoint.uri)) return false;
    } else {
      endpoint.uri.assign(word);
    }
    Url parsed = parsedUri(endpoint.uri);
    if (parsed == nullptr) return false;
    endpoint.tls = scheme == Scheme::kLdaps;
    endpoint.startTls = startTls && (scheme == Scheme::kNone || scheme == Scheme::kLdap);
    // The clear URI must read back as what it names (a host that is no
    // address, such as "[:]", does not).
    if (endpoint.tls && (!clearUriOf(*parsed, endpoint.uri) || !parsedUri(endpoint.uri))) {
      return false;
    }
    out.push_back(std::move(endpoint));
  }
  return !out.empty();
}

}  // namespace vqeldap::ldap
