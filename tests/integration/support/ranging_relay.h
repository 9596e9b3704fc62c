// A relay on loopback in front of slapd that answers as a Windows domain
// controller does for attributes with many values: an entry whose chosen
// attribute (member by default) has more values than a slice holds (1,500,
// a DC's MaxValRange) goes to the client with the first slice only, under
// `member;range=0-1499`; a request for a later slice (`member;range=LOW-*`
// or `LOW-HIGH`, other options kept, as in `userCertificate;binary;range=..`)
// goes to slapd for the plain attribute, and the relay cuts the slice from
// the answer and names it `member;range=LOW-HIGH`, or `LOW-*` for the last.
//
// In native mode the requests for slices go to the server untouched, for a
// server that answers them itself (Samba's AD DC). The slice requests can
// also be answered wrongly, as the tests of the client's guards need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "integration/support/latency_proxy.h"

namespace qortest {

struct RangingOptions {
  std::vector<std::string> attributes{"member"};  // types sent in slices
  std::size_t sliceSize = 1500;
  bool native = false;
};

// How the requests for later slices are answered when not as they should:
// with an error result (the code and text given), by cutting every
// connection, with the first slice again (a range that does not advance),
// or with no entry at all.
enum class SliceFault { kNone, kErrorResult, kCut, kFirstSliceAgain, kNoEntry };

class RangingRelay {
 public:
  RangingRelay(int targetPort, RangingOptions options = {});
  ~RangingRelay();
  RangingRelay(const RangingRelay&) = delete;
  RangingRelay& operator=(const RangingRelay&) = delete;

  std::string uri() const { return proxy_.uri(); }
  const LatencyProxy& proxy() const { return proxy_; }

  void failSlices(SliceFault fault, int code = 0, std::string text = {});
  // How many requests for later slices came, over all connections.
  int64_t sliceRequests() const;

  class Rewriter;

 private:
  LatencyProxy proxy_;
  std::shared_ptr<Rewriter> rewriter_;
};

}  // namespace qortest
