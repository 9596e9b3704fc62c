// A TCP relay on loopback that delays each direction by a set time, for
// measuring and testing against a directory that is some distance away: a
// round trip through it takes twice the delay more than the direct one.
//
// Every connection accepted is relayed to the target port on loopback. Bytes
// keep their order; each chunk read is written on once its delay has passed,
// so a stream of requests stays a stream. It can also end the relay after a
// number of whole LDAP messages from the server, as a server that stops in
// the middle of a conversation would: the client then finds its connection
// closed at a point that does not depend on timing.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace qortest {

class LatencyProxy {
 public:
  // Listens on an unused loopback port; the relay starts at once. Throws
  // std::runtime_error when it cannot listen.
  LatencyProxy(int targetPort, std::chrono::microseconds oneWayDelay);
  ~LatencyProxy();  // closes every connection and joins every thread
  LatencyProxy(const LatencyProxy&) = delete;
  LatencyProxy& operator=(const LatencyProxy&) = delete;

  int port() const;
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port()); }

  // After `messages` more whole LDAP messages from the server (counted over
  // all connections), closes every connection and refuses new ones.
  void cutAfterReplies(int64_t messages);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The port of an ldap:// URI on loopback ("ldap://127.0.0.1:PORT"), or 0.
int portOf(const std::string& uri);

}  // namespace qortest
