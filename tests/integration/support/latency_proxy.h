// A TCP relay on loopback that delays each direction by a set time, for
// measuring and testing against a directory that is some distance away: a
// round trip through it takes twice the delay more than the direct one.
//
// Every connection accepted is relayed to the target port on loopback. Bytes
// keep their order; each chunk read is written on once its delay has passed,
// so a stream of requests stays a stream.
//
// The relay reads the LDAP messages it passes (RFC 4511: each a BER
// SEQUENCE of a message ID, an operation and optional controls), so a test
// can see what a client sent and not only what came back: the requests of
// each operation, each search's paged-results control, and the most
// requests that one connection had outstanding (sent and neither answered
// with a final response nor abandoned) at any time.
//
// A rewriter given to it (MessageRewriter) may change each whole message on
// its way, as ranging_relay.h does to answer as a Windows domain controller.
//
// It can also take the size limit out of every search request, and
// misbehave as a server does, at a point counted in whole LDAP
// messages from the server (over all connections), so that the point does
// not depend on timing:
//   - cut: close every connection and refuse new ones, as a server that
//     stops in the middle of a conversation;
//   - stall: forward nothing more from the server while the connections
//     stay open, as a server that hangs;
//   - truncate: forward the first bytes of the next message (its header
//     announces more than follows), then nothing more.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qortest {

// The protocol operations of requests, by their application tag.
enum class LdapOp : unsigned char {
  kBind = 0x60,
  kUnbind = 0x42,
  kSearch = 0x63,
  kModify = 0x66,
  kAdd = 0x68,
  kDelete = 0x4A,
  kModifyDn = 0x6C,
  kCompare = 0x6E,
  kAbandon = 0x50,
  kExtended = 0x77,
};

// A search request as the relay saw it.
struct SearchSeen {
  int64_t messageId = 0;
  bool paged = false;                   // it carried the paged-results control
  int64_t pageSize = 0;                 // the control's size
  std::string cookie;                   // the control's cookie; empty for a first page
  std::vector<std::string> attributes;  // the attribute descriptions asked for
};

// Rewrites the messages a relay passes, one whole message at a time, with
// the relay's lock held; `connection` tells the relayed connections apart.
class MessageRewriter {
 public:
  virtual ~MessageRewriter() = default;
  // A request on its way to the server, replaced in place; false: every
  // connection is cut instead, as by cutAfterReplies.
  virtual bool request(const void* connection, std::string& message) = 0;
  // A reply on its way to the client, replaced in place (by nothing, or by
  // other messages).
  virtual void reply(const void* connection, std::string& message) = 0;
};

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

  // After `messages` more whole LDAP messages from the server: every
  // connection closed and new ones refused (cut), nothing more forwarded
  // from the server (stall), or the first five bytes of the next message
  // and then nothing (truncate). One of them, once.
  void cutAfterReplies(int64_t messages);
  void stallAfterReplies(int64_t messages);
  void truncateAfterReplies(int64_t messages);

  // From now on passes every search on without its size limit, as a server
  // that does not apply the client's limit to a paged search.
  void ignoreSizeLimits();

  // From now on passes every message through `rewriter` (after noting it).
  void rewriteWith(std::shared_ptr<MessageRewriter> rewriter);

  // What clients sent, over all connections, since the relay started.
  int64_t requestsSeen(LdapOp op) const;
  // Waits until `count` requests of `op` were seen or `limit` passed; what
  // was seen then. For a request a client sends without awaiting an answer.
  int64_t awaitRequests(LdapOp op, int64_t count, std::chrono::milliseconds limit) const;
  std::vector<SearchSeen> searchesSeen() const;
  int64_t maxOutstanding() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The port of an ldap:// URI on loopback ("ldap://127.0.0.1:PORT"), or 0.
int portOf(const std::string& uri);

}  // namespace qortest
