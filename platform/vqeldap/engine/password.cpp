#include "engine/password.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

namespace vqeldap::engine {

namespace {

// RFC 4648 base64 without line breaks; false for anything else.
bool decodeBase64(std::string_view text, std::vector<unsigned char>& out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  out.resize(text.size() / 4 * 3);
  const int decoded =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (decoded < 0) return false;
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t size = static_cast<std::size_t>(decoded);
  for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
  out.resize(size);
  return true;
}

// digest(password + salt) into `out`; false when OpenSSL fails.
bool digestOf(const EVP_MD* kind, std::string_view password, const unsigned char* salt,
              std::size_t saltSize, std::vector<unsigned char>& out) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  if (context == nullptr) return false;
  out.resize(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  const bool ok = EVP_DigestInit_ex(context.get(), kind, nullptr) == 1 &&
                  EVP_DigestUpdate(context.get(), password.data(), password.size()) == 1 &&
                  (saltSize == 0 || EVP_DigestUpdate(context.get(), salt, saltSize) == 1) &&
                  EVP_DigestFinal_ex(context.get(), out.data(), &size) == 1;
  out.resize(size);
  return ok;
}

// {SHA}, {SSHA}, {MD5}, {SMD5}: base64 of the digest, then (salted) the salt.
bool digestMatches(const EVP_MD* kind, bool salted, std::string_view encoded,
                   std::string_view password) {
  std::vector<unsigned char> stored;
  if (!decodeBase64(encoded, stored)) return false;
  const auto size = static_cast<std::size_t>(EVP_MD_get_size(kind));
  if (salted ? stored.size() <= size : stored.size() != size) return false;
  std::vector<unsigned char> digest;
  if (!digestOf(kind, password, stored.data() + size, stored.size() - size, digest) ||
      digest.size() != size) {
    return false;
  }
  return CRYPTO_memcmp(digest.data(), stored.data(), size) == 0;
}

// {CRYPT}: crypt(3) of the password with the stored hash as its setting
// gives the stored hash again. crypt_r keeps its work area per call, so
// binds on several threads do not share one.
bool cryptMatches(std::string_view hash, std::string_view password) {
  const std::string setting(hash);
  const std::string clear(password);
  if (setting.empty() || clear.find('\0') != std::string::npos) return false;
  auto area = std::make_unique<crypt_data>();
  const char* computed = crypt_r(clear.c_str(), setting.c_str(), area.get());
  // libcrypt fails with null or with a text beginning with '*'.
  const bool ok = computed != nullptr && computed[0] != '*' &&
                  std::string_view(computed).size() == hash.size() &&
                  CRYPTO_memcmp(computed, hash.data(), hash.size()) == 0;
  OPENSSL_cleanse(area.get(), sizeof(crypt_data));
  return ok;
}

bool clearMatches(std::string_view stored, std::string_view password) {
  return stored.size() == password.size() &&
         CRYPTO_memcmp(stored.data(), password.data(), stored.size()) == 0;
}

// The schemes checked, one list.
struct Scheme {
  std::string_view name;
  const EVP_MD* (*digest)();  // null: {CRYPT}
  bool salted;
};

const Scheme kSchemes[] = {
    {"SSHA", EVP_sha1, true}, {"SHA", EVP_sha1, false},  {"SMD5", EVP_md5, true},
    {"MD5", EVP_md5, false},  {"CRYPT", nullptr, false},
};

bool schemeCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

// The scheme name of "{NAME}rest", or empty when the value has none.
std::string_view schemeOf(std::string_view stored) {
  if (stored.empty() || stored.front() != '{') return {};
  const std::size_t close = stored.find('}');
  if (close == std::string_view::npos || close == 1) return {};
  const std::string_view name = stored.substr(1, close - 1);
  for (char c : name) {
    if (!schemeCharacter(c)) return {};
  }
  return name;
}

}  // namespace

bool passwordMatches(std::string_view stored, std::string_view password) {
  const std::string_view name = schemeOf(stored);
  if (name.empty()) return clearMatches(stored, password);
  const std::string_view rest = stored.substr(name.size() + 2);
  for (const Scheme& scheme : kSchemes) {
    if (name.size() != scheme.name.size() ||
        strncasecmp(name.data(), scheme.name.data(), name.size()) != 0) {
      continue;
    }
    if (scheme.digest == nullptr) return cryptMatches(rest, password);
    return digestMatches(scheme.digest(), scheme.salted, rest, password);
  }
  return false;  // a scheme this directory cannot check
}

}  // namespace vqeldap::engine
