// qorhost's argument parser on any command line: it never reads past argv,
// every password given with -w is found where the parser says it stands,
// and once those places are scrubbed, no byte of a password is left in the
// argument vector.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "fuzz_input.h"
#include "password.h"

namespace {

using qorfuzz::expect;

// The arguments of a command line, split at zero bytes.
std::vector<std::string> splitArguments(const std::string& bytes) {
  std::vector<std::string> words{"qorhost"};
  std::size_t at = 0;
  while (at <= bytes.size() && words.size() < 64) {
    const std::size_t end = bytes.find('\0', at);
    words.push_back(bytes.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<std::string> words =
      splitArguments(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const qorcli::ParsedArguments parsed =
      qorcli::parseArguments(static_cast<int>(words.size()), argv.data());
  const qorcli::Invocation& invocation = parsed.invocation;

  std::vector<std::string> before = words;
  for (const auto& secret : invocation.secrets) {
    expect(secret.argument > 0 && secret.argument < static_cast<int>(words.size()),
           "a secret stands in an argument");
    expect(secret.offset <= words[static_cast<std::size_t>(secret.argument)].size(),
           "a secret starts inside its argument");
    qorcli::scrubArgument(argv.data(), secret);
  }
  for (const auto& secret : invocation.secrets) {
    const std::string& word = words[static_cast<std::size_t>(secret.argument)];
    for (std::size_t i = secret.offset; i < word.size(); ++i) {
      expect(word[i] == '\0', "every byte of a secret's place is zero");
    }
  }
  if (invocation.passwordSource == qorcli::PasswordSource::Argument &&
      !invocation.password.empty()) {
    bool placed = false;
    for (const auto& secret : invocation.secrets) {
      const std::string& original = before[static_cast<std::size_t>(secret.argument)];
      placed =
          placed || original.compare(secret.offset, std::string::npos, invocation.password) == 0;
    }
    expect(placed, "the password given is where the parser says it stands");
  }
  return 0;
}
