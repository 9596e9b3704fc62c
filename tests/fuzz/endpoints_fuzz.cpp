// The extension's host text parser against libldap's own reading of what it
// accepts: one server per word, each an URI that libldap reads as exactly
// one URL of the same host and port; a word that asks for TLS (ldaps://, or
// any ldap:// server when StartTLS is wanted) never becomes a plaintext
// server.
#include <ldap.h>

#include <strings.h>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "ldap/endpoints.h"

extern "C" {
int ldap_url_parselist(LDAPURLDesc** list, const char* url);
void ldap_free_urllist(LDAPURLDesc* list);
}

namespace {

using qorfuzz::expect;

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char byte : text) {
    if (std::isspace(static_cast<unsigned char>(byte)) != 0) {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += byte;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

bool hasScheme(const std::string& word, const char* scheme) {
  const std::size_t length = std::strlen(scheme);
  return word.size() >= length + 3 && strncasecmp(word.c_str(), scheme, length) == 0 &&
         word.compare(length, 3, "://") == 0;
}

struct Url {
  std::string scheme, host;
  int port = 0;
};

// libldap's reading of a URI list: the parser that ldap_initialize uses,
// which libldap exports but declares in a header Debian does not ship.
// False unless the text is exactly one URL, whose parts `out` receives.
bool singleUrl(const std::string& uri, Url& out) {
  LDAPURLDesc* list = nullptr;
  if (ldap_url_parselist(&list, uri.c_str()) != LDAP_URL_SUCCESS || list == nullptr) return false;
  const bool single = list->lud_next == nullptr;
  out.scheme = list->lud_scheme != nullptr ? list->lud_scheme : "";
  out.host = list->lud_host != nullptr ? list->lud_host : "";
  out.port = list->lud_port;
  ldap_free_urllist(list);
  return single;
}

int portOf(const Url& url, int fallback) {
  return url.port != 0 ? url.port : fallback;
}

void checkEndpoint(const std::string& word, const vqeldap::ldap::Endpoint& endpoint,
                   bool startTls) {
  Url parsed;
  expect(endpoint.uri.find('\0') == std::string::npos, "libldap reads the whole URI");
  expect(singleUrl(endpoint.uri, parsed), "libldap reads each server as one URL");
  expect(strcasecmp(parsed.scheme.c_str(), "ldaps") != 0 || !endpoint.tls,
         "TLS is installed on a plain connection, not asked of libldap twice");
  if (hasScheme(word, "ldaps")) {
    expect(endpoint.tls, "an ldaps server is reached with TLS");
    Url asked;
    if (singleUrl(word, asked)) {
      expect(strcasecmp(asked.host.c_str(), parsed.host.c_str()) == 0, "the same host");
      expect(portOf(asked, 636) == portOf(parsed, 389), "the same port");
    }
    return;
  }
  if (startTls && !hasScheme(word, "ldapi")) {
    expect(endpoint.startTls, "StartTLS is asked of every ldap server when it is wanted");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  qorfuzz::Input input(data, size);
  const int port = input.byte() % 4 == 0 ? 0 : input.int32() % 70000;
  const bool startTls = (input.byte() & 1) != 0;
  const std::string text = input.rest();
  std::vector<vqeldap::ldap::Endpoint> endpoints;
  if (!vqeldap::ldap::parseEndpoints(text, port, startTls, endpoints)) return 0;
  const std::vector<std::string> words = wordsOf(text);
  expect(endpoints.size() == words.size(), "one server per word");
  for (std::size_t i = 0; i < words.size(); ++i) checkEndpoint(words[i], endpoints[i], startTls);
  return 0;
}
