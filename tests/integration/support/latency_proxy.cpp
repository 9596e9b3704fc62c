#include "integration/support/latency_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qortest {
namespace {

using Clock = std::chrono::steady_clock;

void noDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int connectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  noDelay(fd);
  return fd;
}

bool writeAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = send(fd, bytes, size, MSG_NOSIGNAL);
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Finds where the LDAP messages of a byte stream end: each is a BER element
// (a tag byte, a length in short or long form, then that many bytes).
class MessageFramer {
 public:
  // Feeds `size` bytes; returns how many of them it took before `limit`
  // messages had ended (all of them when fewer end), adding those ended.
  std::size_t feed(const char* bytes, std::size_t size, int64_t limit, int64_t* ended) {
    std::size_t index = 0;
    while (index < size && *ended < limit) {
      const auto byte = static_cast<unsigned char>(bytes[index]);
      switch (state_) {
        case State::kTag:
          state_ = State::kLength;
          ++index;
          break;
        case State::kLength:
          ++index;
          if (byte & 0x80) {
            lengthBytes_ = byte & 0x7F;
            remaining_ = 0;
            state_ = lengthBytes_ == 0 ? State::kTag : State::kLongLength;
          } else {
            remaining_ = byte;
            endOrBody(ended);
          }
          break;
        case State::kLongLength:
          ++index;
          remaining_ = (remaining_ << 8) | byte;
          if (--lengthBytes_ == 0) endOrBody(ended);
          break;
        case State::kBody: {
          const std::size_t take =
              std::min<std::size_t>(size - index, static_cast<std::size_t>(remaining_));
          index += take;
          remaining_ -= take;
          if (remaining_ == 0) endOrBody(ended);
          break;
        }
      }
    }
    return index;
  }

 private:
  enum class State { kTag, kLength, kLongLength, kBody };
  void endOrBody(int64_t* ended) {
    if (remaining_ > 0) {
      state_ = State::kBody;
      return;
    }
    state_ = State::kTag;
    ++*ended;
  }
  State state_ = State::kTag;
  int lengthBytes_ = 0;
  uint64_t remaining_ = 0;
};

// One direction of a relayed connection: a reader that stamps what it reads
// with the time it is due, and a writer that sends it on then.
struct Direction {
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };
  int from = -1;
  int to = -1;
  bool fromServer = false;
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Chunk> chunks;
  bool ended = false;
  std::thread reader, writer;
};

struct Relay {
  int client = -1;
  int server = -1;
  Direction up, down;  // client to server, server to client
};

}  // namespace

struct LatencyProxy::State {
  int listener = -1;
  int port = 0;
  int targetPort = 0;
  std::chrono::microseconds delay{0};
  int wake[2] = {-1, -1};
  std::atomic<bool> stopping{false};
  std::atomic<bool> refusing{false};
  std::thread acceptor;
  std::mutex mutex;  // guards relays, cut and framers' counts
  std::vector<std::unique_ptr<Relay>> relays;
  int64_t cutAt = -1;  // messages from the server after which the relay ends; -1: never
  int64_t replies = 0;
  std::vector<std::unique_ptr<MessageFramer>> framers;

  void acceptLoop();
  void start(int client);
  void read(Direction& direction);
  void write(Direction& direction, MessageFramer* framer);
  // How many bytes of a chunk from the server go out before the cut.
  std::size_t beforeCut(MessageFramer& framer, const std::string& bytes, bool* cut);
  void cutAll();
};

void LatencyProxy::State::acceptLoop() {
  while (!stopping) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) continue;
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    if (refusing) {
      close(client);
      continue;
    }
    noDelay(client);
    start(client);
  }
}

void LatencyProxy::State::start(int client) {
  const int server = connectLoopback(targetPort);
  if (server < 0) {
    close(client);
    return;
  }
  std::lock_guard lock(mutex);
  auto relay = std::make_unique<Relay>();
  relay->client = client;
  relay->server = server;
  relay->up.from = client;
  relay->up.to = server;
  relay->down.from = server;
  relay->down.to = client;
  relay->down.fromServer = true;
  framers.push_back(std::make_unique<MessageFramer>());
  MessageFramer* framer = framers.back().get();
  for (Direction* direction : {&relay->up, &relay->down}) {
    direction->reader = std::thread([this, direction] { read(*direction); });
    direction->writer = std::thread(
        [this, direction, framer] { write(*direction, direction->fromServer ? framer : nullptr); });
  }
  relays.push_back(std::move(relay));
}

void LatencyProxy::State::read(Direction& direction) {
  std::vector<char> buffer(std::size_t{64} * 1024);
  for (;;) {
    const ssize_t got = recv(direction.from, buffer.data(), buffer.size(), 0);
    std::lock_guard lock(direction.mutex);
    if (got <= 0) {
      direction.ended = true;
      direction.ready.notify_all();
      return;
    }
    direction.chunks.push_back(
        {Clock::now() + delay, std::string(buffer.data(), static_cast<std::size_t>(got))});
    direction.ready.notify_all();
  }
}

void LatencyProxy::State::write(Direction& direction, MessageFramer* framer) {
  for (;;) {
    Direction::Chunk chunk;
    {
      std::unique_lock lock(direction.mutex);
      direction.ready.wait(
          lock, [&] { return stopping || direction.ended || !direction.chunks.empty(); });
      if (direction.chunks.empty()) {
        shutdown(direction.to, SHUT_WR);
        return;
      }
      chunk = std::move(direction.chunks.front());
      direction.chunks.pop_front();
    }
    std::this_thread::sleep_until(chunk.due);
    bool cut = false;
    const std::size_t size =
        framer == nullptr ? chunk.bytes.size() : beforeCut(*framer, chunk.bytes, &cut);
    if (!writeAll(direction.to, chunk.bytes.data(), size) || cut) {
      if (cut) cutAll();
      return;
    }
  }
}

std::size_t LatencyProxy::State::beforeCut(MessageFramer& framer, const std::string& bytes,
                                           bool* cut) {
  std::lock_guard lock(mutex);
  const int64_t limit = cutAt < 0 ? INT64_MAX : cutAt;
  const std::size_t size = framer.feed(bytes.data(), bytes.size(), limit, &replies);
  *cut = cutAt >= 0 && replies >= cutAt;
  return size;
}

void LatencyProxy::State::cutAll() {
  refusing = true;
  std::lock_guard lock(mutex);
  for (const auto& relay : relays) {
    shutdown(relay->client, SHUT_RDWR);
    shutdown(relay->server, SHUT_RDWR);
  }
}

LatencyProxy::LatencyProxy(int targetPort, std::chrono::microseconds oneWayDelay)
    : state_(std::make_unique<State>()) {
  state_->targetPort = targetPort;
  state_->delay = oneWayDelay;
  state_->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (state_->listener < 0 ||
      bind(state_->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(state_->listener, 64) != 0 ||
      getsockname(state_->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(state_->wake, O_CLOEXEC) != 0) {
    throw std::runtime_error("latency proxy: cannot listen on loopback");
  }
  state_->port = ntohs(address.sin_port);
  state_->acceptor = std::thread([state = state_.get()] { state->acceptLoop(); });
}

LatencyProxy::~LatencyProxy() {
  State& state = *state_;
  state.stopping = true;
  const char byte = 0;
  (void)!::write(state.wake[1], &byte, 1);
  state.acceptor.join();
  state.cutAll();
  for (const auto& relay : state.relays) {
    for (Direction* direction : {&relay->up, &relay->down}) {
      {
        std::lock_guard lock(direction->mutex);
        direction->ready.notify_all();
      }
      direction->reader.join();
      direction->writer.join();
    }
    close(relay->client);
    close(relay->server);
  }
  close(state.listener);
  close(state.wake[0]);
  close(state.wake[1]);
}

int LatencyProxy::port() const {
  return state_->port;
}

void LatencyProxy::cutAfterReplies(int64_t messages) {
  std::lock_guard lock(state_->mutex);
  state_->cutAt = state_->replies + messages;
}

int portOf(const std::string& uri) {
  const std::size_t colon = uri.rfind(':');
  if (colon == std::string::npos || uri.rfind("ldap://", 0) != 0) return 0;
  return std::atoi(uri.c_str() + colon + 1);
}

}  // namespace qortest
