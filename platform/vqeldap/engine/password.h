// Checks a bind password against the userPassword values of an entry, as
// slapd's simple bind does with its default schemes (RFC 2307 forms, the
// scheme name in any letter case):
//   {SSHA}  base64 of SHA-1(password + salt) followed by the salt
//   {SHA}   base64 of SHA-1(password)
//   {SMD5}  base64 of MD5(password + salt) followed by the salt
//   {MD5}   base64 of MD5(password)
//   {CRYPT} the system's crypt(3) of the password with the stored value as
//           its setting (DES, MD5, SHA-256/512, yescrypt: what libcrypt knows)
// A value that begins with a scheme name in braces ("{" letters, digits,
// '-', '.' or '_' "}") of any other scheme matches no password: it is never
// compared as text, so a hash in a scheme the directory cannot check is not
// itself a password. Any other value is the password in clear and matches
// only the same bytes, of the same length. Hashing is OpenSSL's; digests and
// clear values are compared in time that does not depend on the bytes.
#pragma once

#include <string_view>

namespace vqeldap::engine {

bool passwordMatches(std::string_view stored, std::string_view password);

}  // namespace vqeldap::engine
