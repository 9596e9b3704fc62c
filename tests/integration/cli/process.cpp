#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace clitest {
namespace {

std::vector<std::string> environmentFor(const Launch& launch) {
  std::map<std::string, std::string> values;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    auto equals = text.find('=');
    if (equals != std::string::npos) values[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : launch.environment) {
    if (value) {
      values[name] = *value;
    } else {
      values.erase(name);
    }
  }
  std::vector<std::string> out;
  out.reserve(values.size());
  for (const auto& [name, value] : values)
    out.push_back(std::string(name).append("=").append(value));
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (auto& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Child::Child(const Launch& launch) : input_(launch.input) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return;
  }
  std::vector<std::string> argv = launch.argv;
  std::vector<std::string> environment = environmentFor(launch);
  std::vector<char*> argvPointers = pointers(argv);
  std::vector<char*> environmentPointers = pointers(environment);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::setsid();  // no controlling terminal: -W reads standard input
    ::execve(argvPointers[0], argvPointers.data(), environmentPointers.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  inFd_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeIfOpen(inFd_);
  closeIfOpen(outFd_);
  closeIfOpen(errFd_);
}

Finished Child::wait(int timeoutSeconds) {
  Finished finished;
  if (pid_ <= 0) return finished;
  ::signal(SIGPIPE, SIG_IGN);
  std::size_t written = 0;
  if (input_.empty()) closeIfOpen(inFd_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (outFd_ >= 0 || errFd_ >= 0) {
    pollfd fds[3] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}, {inFd_, POLLOUT, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? finished.out : finished.err).append(buffer, static_cast<std::size_t>(got));
      } else {
        closeIfOpen(i == 0 ? outFd_ : errFd_);
      }
    }
    if (inFd_ >= 0 && fds[2].revents != 0) {
      ssize_t put = ::write(inFd_, input_.data() + written, input_.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if (put <= 0 || written == input_.size()) closeIfOpen(inFd_);
    }
  }
  if (outFd_ >= 0 || errFd_ >= 0) ::kill(pid_, SIGKILL);  // timed out
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (WIFEXITED(status)) finished.exitCode = WEXITSTATUS(status);
  return finished;
}

Finished run(const Launch& launch) {
  Child child(launch);
  return child.wait();
}

std::string commandLineOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

namespace {

// Undoes the single quoting of a NAME='value' line's value.
std::string unquote(const std::string& text) {
  if (text.size() < 2 || text.front() != '\'') return text;
  std::string out;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text.compare(i, 4, "'\\''") == 0) {
      out += '\'';
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::map<std::string, std::string> shellAssignments(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    auto equals = line.find('=');
    if (equals != std::string::npos)
      values[line.substr(0, equals)] = unquote(line.substr(equals + 1));
  }
  return values;
}

}  // namespace clitest
