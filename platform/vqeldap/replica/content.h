// What a replica holds: an engine directory kept equal to what a
// content-synchronisation session reports (sync_session.h), with the lock
// that readers take.
//
// Entries are known to the session by their entryUUID and to the directory
// by their DN, so the content keeps both ways between them: a change that
// names a known UUID under another DN is a rename (the old entry goes, the
// new one comes), and a removal names only the UUID. The attributes the
// engine computes for itself (entryDN, subschemaSubentry, hasSubordinates)
// and the server's synchronisation state (contextCSN) are not kept.
//
// A full refresh (a session without a cookie) fills a directory of its own,
// which takes the place of the one readers see only when the refresh is
// complete; a resumed refresh and the persist phase change the directory
// readers see, one entry at a time under the lock. An entry whose parent
// has not come yet waits until the end of the refresh; only the base has
// no parent, and the base's children when the base itself is not sent
// (its identity may not read it). What cannot be kept
// exactly (an entry the engine refuses, a rename or removal of an entry
// with entries below it, which the session reports as one change of that
// entry alone) is recorded as the reason the content is not usable: its
// owner then answers from the server and refreshes anew.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/directory.h"
#include "replica/sync_session.h"

namespace vqeldap::replica {

class Content final : public SyncSink {
 public:
  // `base`: the session's base, the one entry without a parent here.
  Content(std::shared_ptr<const engine::Schema> schema, std::string_view base);

  const engine::Schema& schema() const { return *schema_; }
  // Readers hold it shared while they use directory(); changes hold it
  // exclusively.
  std::shared_mutex& lock() const { return lock_; }
  const engine::Directory& directory() const { return *current_.directory; }
  // Whether the server has sent any userPassword value: then the identity
  // may read them, and readers see them as the server would show them;
  // otherwise they are hidden from it, and a filter or compare on them is
  // refused as the server refuses it (Undefined, insufficientAccessRights).
  bool passwordsVisible() const { return passwordsVisible_.load(); }

  // Before a session starts: a full refresh when `full`, else a resumed one.
  void begin(bool full);
  // True once the session's refresh completed and nothing has gone wrong
  // since; the reason otherwise.
  bool complete() const { return complete_ && unusable_.empty(); }
  const std::string& unusable() const { return unusable_; }
  // The content can only be made right by a full refresh.
  bool needsFullRefresh() const { return !unusable_.empty(); }
  // The LDAP result the session ended with, or -1 while it runs.
  int endedWith() const { return endedWith_; }

  void entry(const std::string& uuid, SyncedEntry entry) override;
  void removed(const std::string& uuid) override;
  void present(const std::string& uuid) override;
  void refreshed(bool presentPhase) override;
  void ended(int result) override { endedWith_ = result; }

 private:
  // A syncUUID (16 bytes) kept in place, without a block of its own.
  struct Uuid {
    uint64_t high = 0, low = 0;
    bool operator==(const Uuid&) const = default;
  };
  struct UuidHash {
    std::size_t operator()(const Uuid& uuid) const { return uuid.high ^ (uuid.low * 31); }
  };
  struct Held {
    std::unique_ptr<engine::Directory> directory;
    std::unordered_map<Uuid, std::string, UuidHash> dnOfUuid;  // normal DNs
  };
  // False (and the content unusable) for a UUID longer than 16 bytes.
  bool uuidOf(const std::string& bytes, Uuid& out);
  void forgetOwnerOf(const std::string& normal, const Uuid& uuid);

  // Applies an entry to `target_`; false (with `parentMissing` set) when
  // its parent is not there yet, false with the content made unusable for
  // any other failure.
  bool place(const Uuid& uuid, const SyncedEntry& entry, bool& parentMissing);
  bool removeHeld(const Uuid& uuid);
  void placeDeferred();
  void removeDeepestFirst();
  void fail(std::string reason);
  // Runs a change of the directory readers see under the lock.
  template <typename Change>
  void changing(Change&& change);

  std::shared_ptr<const engine::Schema> schema_;
  std::string base_;                  // normal form
  bool baseChildrenAreTops_ = false;  // the base was not sent
  std::atomic<bool> passwordsVisible_{false};
  mutable std::shared_mutex lock_;
  Held current_;
  Held staging_;
  Held* target_ = &current_;
  bool refreshing_ = false;
  bool complete_ = false;
  int endedWith_ = -1;
  std::string unusable_;
  std::unordered_set<Uuid, UuidHash> seen_;  // sent or present during this refresh
  std::vector<std::pair<Uuid, SyncedEntry>> deferred_;
  std::vector<Uuid> removals_;  // named during this refresh
};

}  // namespace vqeldap::replica
