// A replica's session reads what the server sends: the Sync State control
// of each entry and the syncInfo messages, and the cookies in them. Hostile
// bytes must be refused or read within their bounds, and what is read must
// come from them.
#include <ldap.h>

#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "replica/csn.h"
#include "replica/sync_messages.h"

namespace {

using qorfuzz::expect;

void checkState(const std::string& bytes) {
  vqeldap::replica::SyncState state;
  berval value{bytes.size(), const_cast<char*>(bytes.data())};
  if (!vqeldap::replica::decodeSyncState(value, state)) return;
  expect(!state.uuid.empty() && bytes.find(state.uuid) != std::string::npos,
         "a state's UUID is bytes of the control");
  expect(state.kind >= 0 && state.kind <= 3, "a state is present, add, modify or delete");
  expect(!state.cookie || bytes.find(*state.cookie) != std::string::npos,
         "a state's cookie is bytes of the control");
}

void checkInfo(const std::string& bytes) {
  vqeldap::replica::SyncInfo info;
  berval value{bytes.size(), const_cast<char*>(bytes.data())};
  if (!vqeldap::replica::decodeSyncInfo(value, info)) return;
  std::size_t total = 0;
  for (const std::string& uuid : info.uuids) total += uuid.size();
  expect(total <= bytes.size(), "the UUIDs of a set fit in the message");
  expect(info.uuids.empty() || info.tag == LDAP_TAG_SYNC_ID_SET, "only a set lists UUIDs");
  expect(!info.cookie || bytes.find(*info.cookie) != std::string::npos,
         "a message's cookie is bytes of it");
}

void checkCookie(const std::string& cookie, const std::string& number) {
  for (const std::string& csn : vqeldap::replica::csnsOfCookie(cookie)) {
    expect(!csn.empty() && cookie.find(csn) != std::string::npos, "a CSN is text of the cookie");
    // TIME#COUNT#SID#MOD: a server ID between the second and third '#'.
    const std::size_t second = csn.find('#', csn.find('#') + 1);
    const std::size_t third = second == std::string::npos ? second : csn.find('#', second + 1);
    const bool formed =
        csn.find('#') != std::string::npos && third != std::string::npos && third > second + 1;
    expect(vqeldap::replica::includes({csn}, {csn}) == formed,
           "a CSN holds itself exactly when it names a server ID");
  }
  expect(vqeldap::replica::holdsNewest(cookie, {}, ""), "nothing to wait for is held");
  vqeldap::replica::holdsNewest(cookie, {}, number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  qorfuzz::Input input(data, size);
  const uint8_t which = input.byte();
  const std::string cookie = input.text(128);
  const std::string number = input.text(24);
  const std::string rest = input.rest();
  checkCookie(cookie, number);
  if (which % 2 == 0) {
    checkState(rest);
  } else {
    checkInfo(rest);
  }
  return 0;
}
