#include "password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace qorcli {
namespace {

void dropLineEnd(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

// Reads one line from a descriptor byte by byte, so nothing beyond the line
// is consumed from standard input.
bool readLine(int fd, std::string* line) {
  line->clear();
  char byte = 0;
  for (;;) {
    ssize_t got = ::read(fd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return !line->empty();
    if (byte == '\n') return true;
    line->push_back(byte);
  }
}

// Restores the terminal's echo when the prompt is done, whatever happens.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

bool promptOnTerminal(int tty, std::string* password) {
  static constexpr char kPrompt[] = "Enter LDAP Password: ";
  (void)!::write(tty, kPrompt, sizeof kPrompt - 1);
  bool got = false;
  {
    EchoOff quiet(tty);
    got = readLine(tty, password);
  }
  (void)!::write(tty, "\n", 1);
  return got;
}

}  // namespace

bool readPasswordFile(const std::string& path, std::string* password, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::getline(file, *password);
  dropLineEnd(*password);
  if (password->empty()) {
    *error = "the password file " + path + " is empty";
    return false;
  }
  return true;
}

bool promptPassword(std::string* password, std::string* error) {
  int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  bool got = false;
  if (tty >= 0) {
    got = promptOnTerminal(tty, password);
    ::close(tty);
  } else {
    got = readLine(STDIN_FILENO, password);
  }
  dropLineEnd(*password);
  if (!got || password->empty()) {
    *error = "no password given at the prompt";
    return false;
  }
  return true;
}

void scrubArgument(char** argv, const SecretPosition& secret) {
  char* text = argv[secret.argument];
  std::size_t length = std::strlen(text);
  if (secret.offset < length) std::memset(text + secret.offset, 0, length - secret.offset);
}

void wipe(std::string& secret) {
  volatile char* bytes = secret.data();
  for (std::size_t i = 0; i < secret.size(); ++i) bytes[i] = 0;
  secret.clear();
}

}  // namespace qorcli
