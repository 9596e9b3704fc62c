#include "replica/csn.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace vqeldap::replica {
namespace {

// The server ID field of a CSN (the third '#'-separated one), or empty.
std::string_view serverIdOf(std::string_view csn) {
  const std::size_t first = csn.find('#');
  if (first == std::string_view::npos) return {};
  const std::size_t second = csn.find('#', first + 1);
  if (second == std::string_view::npos) return {};
  const std::size_t third = csn.find('#', second + 1);
  if (third == std::string_view::npos) return {};
  return csn.substr(second + 1, third - second - 1);
}

bool numberOf(std::string_view text, uint64_t& out) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::vector<std::string> csnsOfCookie(std::string_view cookie) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < cookie.size()) {
    std::size_t end = cookie.find(',', at);
    if (end == std::string_view::npos) end = cookie.size();
    std::string_view field = cookie.substr(at, end - at);
    at = end + 1;
    if (!field.starts_with("csn=")) continue;
    field.remove_prefix(4);
    while (!field.empty()) {
      const std::size_t split = std::min(field.find(';'), field.size());
      if (split > 0) out.emplace_back(field.substr(0, split));
      field.remove_prefix(std::min(split + 1, field.size()));
    }
  }
  return out;
}

bool includes(const std::vector<std::string>& held, const std::vector<std::string>& wanted) {
  return std::all_of(wanted.begin(), wanted.end(), [&](const std::string& want) {
    const std::string_view id = serverIdOf(want);
    return !id.empty() && std::any_of(held.begin(), held.end(), [&](const std::string& have) {
      return serverIdOf(have) == id && have.size() == want.size() && have >= want;
    });
  });
}

bool holdsNewest(std::string_view cookie, const std::vector<std::string>& contextCsns,
                 std::string_view lastChangeNumber) {
  if (!contextCsns.empty()) return includes(csnsOfCookie(cookie), contextCsns);
  if (lastChangeNumber.empty()) return true;
  const std::size_t hash = cookie.rfind('#');
  uint64_t held = 0, wanted = 0;
  const std::string_view reached = hash == std::string_view::npos ? "" : cookie.substr(hash + 1);
  return numberOf(reached, held) && numberOf(lastChangeNumber, wanted) && held >= wanted;
}

}  // namespace vqeldap::replica
