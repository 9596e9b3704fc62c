// The bind password: read from a file or a prompt, wiped from argv and from
// memory when done.
#pragma once

#include <string>

#include "arguments.h"

namespace qorcli {

// The first line of a password file (without its line end). False with a
// message in `error` when the file cannot be read or its first line is empty.
bool readPasswordFile(const std::string& path, std::string* password, std::string* error);

// Prompts on the terminal without echo; without a terminal, reads one line of
// standard input.
bool promptPassword(std::string* password, std::string* error);

// Overwrites the secret in argv so that the process title no longer shows it.
void scrubArgument(char** argv, const SecretPosition& secret);

// Overwrites the string's bytes before it is released.
void wipe(std::string& secret);

}  // namespace qorcli
