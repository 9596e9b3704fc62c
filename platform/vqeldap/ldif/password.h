// Checks a bind password against the userPassword values of an entry, as
// slapd's simple bind does: a value without a scheme is the password in
// clear; {SSHA} is base64 of SHA-1(password + salt) followed by the salt,
// {SHA} base64 of SHA-1(password) (RFC 2307 forms; the scheme name in any
// letter case). A value of any other form is compared as clear text, as
// slapd does. Hashing is OpenSSL's; comparisons take the same time whatever
// the bytes.
#pragma once

#include <string_view>

namespace vqeldap::ldif {

bool passwordMatches(std::string_view stored, std::string_view password);

}  // namespace vqeldap::ldif
