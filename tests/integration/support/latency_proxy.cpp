#include "integration/support/latency_proxy.h"

#include "integration/support/ldap_message.h"

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
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string_view>
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

// Splits a byte stream into LDAP messages: each is a BER element (a tag
// byte, a length in short or long form, then that many bytes).
class MessageFramer {
 public:
  // Takes bytes until `allowed` more messages have ended (all of them when
  // fewer end) and returns how many it took; each message that ends goes
  // whole into `ended`.
  std::size_t feed(std::string_view bytes, int64_t allowed, std::vector<std::string>& ended) {
    std::size_t index = 0;
    while (index < bytes.size() && static_cast<int64_t>(ended.size()) < allowed) {
      const auto byte = static_cast<unsigned char>(bytes[index]);
      if (state_ == State::kBody) {
        const std::size_t take =
            std::min<std::size_t>(bytes.size() - index, static_cast<std::size_t>(remaining_));
        message_.append(bytes.substr(index, take));
        index += take;
        remaining_ -= take;
        if (remaining_ == 0) endOrBody(ended);
        continue;
      }
      message_.push_back(static_cast<char>(byte));
      ++index;
      if (state_ == State::kTag) {
        state_ = State::kLength;
      } else if (state_ == State::kLongLength) {
        remaining_ = (remaining_ << 8) | byte;
        if (--lengthBytes_ == 0) endOrBody(ended);
      } else if ((byte & 0x80) != 0) {
        lengthBytes_ = byte & 0x7F;
        remaining_ = 0;
        state_ = lengthBytes_ == 0 ? State::kTag : State::kLongLength;
      } else {
        remaining_ = byte;
        endOrBody(ended);
      }
    }
    return index;
  }

 private:
  enum class State { kTag, kLength, kLongLength, kBody };
  void endOrBody(std::vector<std::string>& ended) {
    if (remaining_ > 0) {
      state_ = State::kBody;
      return;
    }
    state_ = State::kTag;
    ended.push_back(std::move(message_));
    message_.clear();
  }
  State state_ = State::kTag;
  int lengthBytes_ = 0;
  uint64_t remaining_ = 0;
  std::string message_;
};

// The paged-results control among a request's controls, into `search`.
void readPaging(std::string_view controls, SearchSeen& search) {
  constexpr std::string_view kPagedResults = "1.2.840.113556.1.4.319";
  unsigned char tag = 0;
  std::string_view control;
  while (takeElement(controls, tag, control)) {
    std::string_view type, value, sequence, size, cookie;
    if (!takeElement(control, tag, type) || type != kPagedResults) continue;
    bool hasValue = false;  // after the criticality, when there is one
    while (!hasValue && takeElement(control, tag, value)) hasValue = tag == 0x04;
    if (!hasValue || !takeElement(value, tag, sequence) || !takeElement(sequence, tag, size) ||
        !takeElement(sequence, tag, cookie)) {
      continue;
    }
    search.paged = true;
    search.pageSize = integerOf(size);
    search.cookie.assign(cookie);
  }
}

// Sets the size limit of a search request to 0 (none), in place: its
// content bytes become zeros, which keeps every length.
void clearSizeLimit(std::string& request, const Message& message) {
  if (message.op != static_cast<unsigned char>(LdapOp::kSearch)) return;
  std::string_view fields = message.content, field;
  unsigned char tag = 0;
  for (int skipped = 0; skipped < 3; ++skipped) {  // base, scope, aliases
    if (!takeElement(fields, tag, field)) return;
  }
  if (!takeElement(fields, tag, field) || tag != 0x02) return;
  std::fill_n(request.begin() + (field.data() - request.data()), field.size(), '\0');
}

// Responses that end a request: every response but a search's entries,
// references and intermediate responses.
bool finalResponse(unsigned char op) {
  return op != 0x64 && op != 0x73 && op != 0x79;
}

// Requests that are answered: every one but unbind and abandon.
bool answered(unsigned char op) {
  return op != static_cast<unsigned char>(LdapOp::kUnbind) &&
         op != static_cast<unsigned char>(LdapOp::kAbandon);
}

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
  MessageFramer requests, replies;
  std::set<int64_t> outstanding;  // IDs of requests not yet answered
};

enum class Fault { kNone, kCut, kStall, kTruncate };

// The bytes of the next message that a truncation forwards: its tag, a
// length byte, and three bytes of a content that every message has more of.
constexpr std::size_t kTruncatedBytes = 5;

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
  mutable std::mutex mutex;  // guards relays, the fault and what was seen
  mutable std::condition_variable seen;
  std::vector<std::unique_ptr<Relay>> relays;
  Fault fault = Fault::kNone;
  int64_t faultAt = -1;  // messages from the server after which the fault comes; -1: never
  int64_t replies = 0;
  std::map<unsigned char, int64_t> requests;
  std::vector<SearchSeen> searches;
  int64_t maxOutstanding = 0;
  bool sizeLimitsIgnored = false;
  std::shared_ptr<MessageRewriter> rewriter;

  void acceptLoop();
  void start(int client);
  void read(Direction& direction);
  void write(Relay& relay, Direction& direction);
  void arm(Fault kind, int64_t messages);
  // How many bytes of a chunk go out, noting the messages among them;
  // `faulted` names the fault when it comes with them. A client's chunk is
  // replaced by the requests that end in it, as they go on to the server.
  std::size_t forwardable(Relay& relay, bool fromServer, std::string& bytes, Fault* faulted);
  void noteRequest(Relay& relay, const Message& message);
  void noteReply(Relay& relay, const Message& message);
  void holdUntilStopped(Direction& direction);
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
  Relay* both = relay.get();
  for (Direction* direction : {&relay->up, &relay->down}) {
    direction->reader = std::thread([this, direction] { read(*direction); });
    direction->writer = std::thread([this, both, direction] { write(*both, *direction); });
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

void LatencyProxy::State::write(Relay& relay, Direction& direction) {
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
    Fault faulted = Fault::kNone;
    const std::size_t size = forwardable(relay, direction.fromServer, chunk.bytes, &faulted);
    if (!writeAll(direction.to, chunk.bytes.data(), size)) return;
    if (faulted == Fault::kNone) continue;
    if (faulted == Fault::kCut) {
      cutAll();
      return;
    }
    holdUntilStopped(direction);
    return;
  }
}

std::size_t LatencyProxy::State::forwardable(Relay& relay, bool fromServer, std::string& bytes,
                                             Fault* faulted) {
  std::lock_guard lock(mutex);
  std::vector<std::string> ended;
  if (!fromServer) {
    relay.requests.feed(bytes, INT64_MAX, ended);
    bytes.clear();
    for (std::string& request : ended) {
      if (Message message; parseMessage(request, message)) {
        noteRequest(relay, message);
        if (sizeLimitsIgnored) clearSizeLimit(request, message);
      }
      if (rewriter != nullptr && !rewriter->request(&relay, request)) {
        *faulted = Fault::kCut;
        break;
      }
      bytes += request;
    }
    return bytes.size();
  }
  const bool armed = fault != Fault::kNone && faultAt >= 0;
  const int64_t allowed = armed ? std::max<int64_t>(faultAt - replies, 0) : INT64_MAX;
  std::size_t size = relay.replies.feed(bytes, allowed, ended);
  replies += static_cast<int64_t>(ended.size());
  for (const std::string& message : ended) {
    if (Message parsed; parseMessage(message, parsed)) noteReply(relay, parsed);
  }
  *faulted = armed && replies >= faultAt ? fault : Fault::kNone;
  const std::size_t truncated =
      *faulted == Fault::kTruncate ? std::min(bytes.size() - size, kTruncatedBytes) : 0;
  if (rewriter == nullptr) return size + truncated;
  // The messages that ended go on as rewritten; a message's part waits in
  // the framer for the rest of it.
  std::string out;
  for (std::string& message : ended) {
    rewriter->reply(&relay, message);
    out += message;
  }
  out.append(bytes, size, truncated);
  bytes = std::move(out);
  return bytes.size();
}

void LatencyProxy::State::noteRequest(Relay& relay, const Message& message) {
  ++requests[message.op];
  if (answered(message.op)) relay.outstanding.insert(message.id);
  if (message.op == static_cast<unsigned char>(LdapOp::kAbandon)) {
    relay.outstanding.erase(integerOf(message.content));
  }
  if (message.op == static_cast<unsigned char>(LdapOp::kSearch)) {
    SearchSeen search;
    search.messageId = message.id;
    readPaging(message.controls, search);
    if (SearchFields fields; readSearch(message.content, fields)) {
      search.attributes.assign(fields.attributes.begin(), fields.attributes.end());
    }
    searches.push_back(std::move(search));
  }
  maxOutstanding = std::max(maxOutstanding, static_cast<int64_t>(relay.outstanding.size()));
  seen.notify_all();
}

void LatencyProxy::State::noteReply(Relay& relay, const Message& message) {
  if (finalResponse(message.op)) relay.outstanding.erase(message.id);
}

void LatencyProxy::State::holdUntilStopped(Direction& direction) {
  std::unique_lock lock(direction.mutex);
  direction.ready.wait(lock, [&] { return stopping.load(); });
}

void LatencyProxy::State::arm(Fault kind, int64_t messages) {
  std::lock_guard lock(mutex);
  fault = kind;
  faultAt = replies + messages;
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
  state_->arm(Fault::kCut, messages);
}

void LatencyProxy::stallAfterReplies(int64_t messages) {
  state_->arm(Fault::kStall, messages);
}

void LatencyProxy::truncateAfterReplies(int64_t messages) {
  state_->arm(Fault::kTruncate, messages);
}

void LatencyProxy::ignoreSizeLimits() {
  std::lock_guard lock(state_->mutex);
  state_->sizeLimitsIgnored = true;
}

void LatencyProxy::rewriteWith(std::shared_ptr<MessageRewriter> rewriter) {
  std::lock_guard lock(state_->mutex);
  state_->rewriter = std::move(rewriter);
}

int64_t LatencyProxy::requestsSeen(LdapOp op) const {
  std::lock_guard lock(state_->mutex);
  const auto found = state_->requests.find(static_cast<unsigned char>(op));
  return found == state_->requests.end() ? 0 : found->second;
}

int64_t LatencyProxy::awaitRequests(LdapOp op, int64_t count,
                                    std::chrono::milliseconds limit) const {
  std::unique_lock lock(state_->mutex);
  const auto key = static_cast<unsigned char>(op);
  state_->seen.wait_for(lock, limit, [&] { return state_->requests[key] >= count; });
  return state_->requests[key];
}

std::vector<SearchSeen> LatencyProxy::searchesSeen() const {
  std::lock_guard lock(state_->mutex);
  return state_->searches;
}

int64_t LatencyProxy::maxOutstanding() const {
  std::lock_guard lock(state_->mutex);
  return state_->maxOutstanding;
}

int portOf(const std::string& uri) {
  const std::size_t colon = uri.rfind(':');
  if (colon == std::string::npos || uri.rfind("ldap://", 0) != 0) return 0;
  return std::atoi(uri.c_str() + colon + 1);
}

}  // namespace qortest
