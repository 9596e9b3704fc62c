#include "ldif/password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>

#include <string>
#include <vector>

namespace vqeldap::ldif {

namespace {

constexpr std::size_t kSha1Size = 20;

bool hasScheme(std::string_view stored, std::string_view scheme) {
  return stored.size() >= scheme.size() &&
         strncasecmp(stored.data(), scheme.data(), scheme.size()) == 0;
}

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

bool sha1(std::string_view password, const unsigned char* salt, std::size_t saltSize,
          unsigned char (&digest)[kSha1Size]) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return false;
  unsigned int size = 0;
  const bool ok = EVP_DigestInit_ex(context, EVP_sha1(), nullptr) == 1 &&
                  EVP_DigestUpdate(context, password.data(), password.size()) == 1 &&
                  (saltSize == 0 || EVP_DigestUpdate(context, salt, saltSize) == 1) &&
                  EVP_DigestFinal_ex(context, digest, &size) == 1 && size == kSha1Size;
  EVP_MD_CTX_free(context);
  return ok;
}

// {SHA} and {SSHA}: the digest first, then (salted) the salt.
bool hashMatches(std::string_view encoded, std::string_view password, bool salted) {
  std::vector<unsigned char> bytes;
  if (!decodeBase64(encoded, bytes)) return false;
  if (salted ? bytes.size() <= kSha1Size : bytes.size() != kSha1Size) return false;
  unsigned char digest[kSha1Size];
  if (!sha1(password, bytes.data() + kSha1Size, bytes.size() - kSha1Size, digest)) return false;
  return CRYPTO_memcmp(digest, bytes.data(), kSha1Size) == 0;
}

}  // namespace

bool passwordMatches(std::string_view stored, std::string_view password) {
  constexpr std::string_view kSalted = "{SSHA}";
  constexpr std::string_view kPlain = "{SHA}";
  if (hasScheme(stored, kSalted)) return hashMatches(stored.substr(kSalted.size()), password, true);
  if (hasScheme(stored, kPlain)) return hashMatches(stored.substr(kPlain.size()), password, false);
  return stored.size() == password.size() &&
         CRYPTO_memcmp(stored.data(), password.data(), stored.size()) == 0;
}

}  // namespace vqeldap::ldif
