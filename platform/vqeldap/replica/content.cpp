#include "replica/content.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include "common/status.h"
#include "engine/dn.h"
#include "engine/updates.h"

namespace vqeldap::replica {
namespace {

// What the engine computes for itself, and the server's own state.
constexpr std::array<std::string_view, 5> kNotKept = {
    "entryDN", "subschemaSubentry", "hasSubordinates", "contextCSN", "numSubordinates"};

bool kept(std::string_view name) {
  for (std::string_view skip : kNotKept) {
    if (name.size() == skip.size() && strncasecmp(name.data(), skip.data(), name.size()) == 0) {
      return false;
    }
  }
  return true;
}

std::vector<engine::NamedValues> namedValuesOf(const SyncedEntry& entry) {
  std::vector<engine::NamedValues> out;
  for (const auto& [name, values] : entry.attributes) {
    if (!kept(name)) continue;
    engine::NamedValues named{name, {}};
    named.values.assign(values.begin(), values.end());
    out.push_back(std::move(named));
  }
  return out;
}

bool holdsPassword(const engine::Schema& schema, const std::vector<engine::NamedValues>& named) {
  return std::any_of(named.begin(), named.end(), [&](const engine::NamedValues& values) {
    return !values.values.empty() && schema.attribute(values.name) == &schema.userPasswordType();
  });
}

std::string statusText(VQStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", status);
  return text;
}

}  // namespace

Content::Content(std::shared_ptr<const engine::Schema> schema, std::string_view base)
    : schema_(std::move(schema)) {
  if (!engine::normalDn(*schema_, base, base_)) base_.assign(base);
  current_.directory = std::make_unique<engine::Directory>(*schema_);
}

bool Content::uuidOf(const std::string& bytes, Uuid& out) {
  if (bytes.size() > sizeof(Uuid)) {
    fail("the server named an entry by a UUID of " + std::to_string(bytes.size()) + " bytes");
    return false;
  }
  std::array<char, sizeof(Uuid)> packed{};
  std::copy(bytes.begin(), bytes.end(), packed.begin());
  std::memcpy(&out, packed.data(), packed.size());
  return true;
}

// Another UUID that held this DN (its removal not reported yet) no longer
// does. Rare: a refresh that reports an entry removed and another added
// under its DN in the other order.
void Content::forgetOwnerOf(const std::string& normal, const Uuid& uuid) {
  std::erase_if(target_->dnOfUuid,
                [&](const auto& held) { return held.second == normal && !(held.first == uuid); });
}

template <typename Change>
void Content::changing(Change&& change) {
  if (target_ != &current_) {
    change();
    return;
  }
  std::unique_lock hold(lock_);
  change();
}

void Content::begin(bool full) {
  refreshing_ = true;
  complete_ = false;
  endedWith_ = -1;
  seen_.clear();
  deferred_.clear();
  removals_.clear();
  if (full) {
    unusable_.clear();
    staging_ = Held{};
    staging_.directory = std::make_unique<engine::Directory>(*schema_);
    target_ = &staging_;
  } else {
    target_ = &current_;
  }
}

void Content::fail(std::string reason) {
  if (unusable_.empty()) unusable_ = std::move(reason);
}

bool Content::removeHeld(const Uuid& uuid) {
  Held& held = *target_;
  const auto known = held.dnOfUuid.find(uuid);
  if (known == held.dnOfUuid.end()) return true;
  const std::optional<uint32_t> slot = held.directory->find(known->second);
  if (slot) {
    if (held.directory->childrenOf(*slot) != 0) {
      fail("the entry " + known->second + " was renamed or removed with entries below it");
      return false;
    }
    engine::PendingChange change;
    change.kind = engine::PendingChange::Kind::kRemove;
    change.slot = *slot;
    engine::apply(*held.directory, std::move(change));
  }
  held.dnOfUuid.erase(known);
  return true;
}

bool Content::place(const Uuid& uuid, const SyncedEntry& entry, bool& parentMissing) {
  parentMissing = false;
  Held& held = *target_;
  engine::Dn dn;
  if (!engine::parseDn(*schema_, entry.dn, dn)) {
    fail("the server sent an entry whose DN the schema does not take: " + entry.dn);
    return false;
  }
  // Gone from its old DN (renamed, or its DN spelt anew): removed first.
  const auto known = held.dnOfUuid.find(uuid);
  if (known != held.dnOfUuid.end()) {
    const std::optional<uint32_t> slot = held.directory->find(known->second);
    const bool sameDn =
        known->second == dn.normal && slot && held.directory->entry(*slot)->dn() == dn.pretty;
    if (!sameDn && !removeHeld(uuid)) return false;
  }
  const bool there = held.directory->find(dn.normal).has_value();
  if (there && (known == held.dnOfUuid.end() || known->second != dn.normal)) {
    forgetOwnerOf(dn.normal, uuid);
  }
  const std::string_view parent = engine::parentOf(dn.normal);
  const bool top = dn.normal == base_ || (baseChildrenAreTops_ && parent == base_);
  if (!there && !top && !held.directory->find(parent)) {
    parentMissing = true;
    return false;
  }
  const std::vector<engine::NamedValues> named = namedValuesOf(entry);
  engine::PendingChange change;
  const VQStatus status =
      there ? engine::prepareReplicatedReplacement(*held.directory, entry.dn, named, change)
            : engine::prepareReplicated(*held.directory, entry.dn, named, change);
  if (status != 0) {
    fail("the entry " + entry.dn + " cannot be kept: status " + statusText(status));
    return false;
  }
  if (!passwordsVisible_.load() && holdsPassword(*schema_, named)) passwordsVisible_.store(true);
  engine::apply(*held.directory, std::move(change));
  held.dnOfUuid[uuid] = dn.normal;
  return true;
}

void Content::present(const std::string& bytes) {
  Uuid uuid;
  if (uuidOf(bytes, uuid)) seen_.insert(uuid);
}

void Content::entry(const std::string& bytes, SyncedEntry entry) {
  Uuid uuid;
  if (!unusable_.empty() || !uuidOf(bytes, uuid)) return;
  if (refreshing_) seen_.insert(uuid);
  bool parentMissing = false;
  changing([&] { place(uuid, entry, parentMissing); });
  if (parentMissing) {
    if (refreshing_) {
      deferred_.emplace_back(uuid, std::move(entry));
    } else {
      fail("the entry " + entry.dn + " came without its parent");
    }
  }
}

// During a refresh removals wait for its end, when they are made
// deepest first: a refresh may name an entry before the ones below it.
void Content::removed(const std::string& bytes) {
  Uuid uuid;
  if (!unusable_.empty() || !uuidOf(bytes, uuid)) return;
  if (refreshing_) {
    removals_.push_back(uuid);
    return;
  }
  changing([&] { removeHeld(uuid); });
}

void Content::removeDeepestFirst() {
  const Held& held = *target_;
  auto depth = [&](const Uuid& uuid) {
    const auto known = held.dnOfUuid.find(uuid);
    return known == held.dnOfUuid.end()
               ? 0
               : std::count(known->second.begin(), known->second.end(), ',');
  };
  std::vector<std::pair<long, Uuid>> ordered;
  for (const Uuid& uuid : removals_) ordered.emplace_back(depth(uuid), uuid);
  removals_.clear();
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  for (const auto& deepest : ordered) {
    if (!unusable_.empty()) return;
    changing([&] { removeHeld(deepest.second); });
  }
}

// Entries that came before their parents, until a round places none; then,
// when the base never came, its children are taken as the top entries.
void Content::placeDeferred() {
  bool placedAny = true;
  while (!deferred_.empty() && unusable_.empty()) {
    if (!placedAny) {
      if (baseChildrenAreTops_ || target_->directory->find(base_)) break;
      baseChildrenAreTops_ = true;
    }
    placedAny = false;
    std::vector<std::pair<Uuid, SyncedEntry>> waiting = std::move(deferred_);
    deferred_.clear();
    for (auto& waiter : waiting) {
      bool parentMissing = false;
      changing([&] { placedAny |= place(waiter.first, waiter.second, parentMissing); });
      if (parentMissing) deferred_.push_back(std::move(waiter));
    }
  }
  if (!deferred_.empty()) fail("the entry " + deferred_.front().second.dn + " has no parent");
}

void Content::refreshed(bool presentPhase) {
  placeDeferred();
  if (presentPhase && target_ == &current_) {
    for (const auto& [uuid, dn] : current_.dnOfUuid) {
      if (seen_.count(uuid) == 0) removals_.push_back(uuid);
    }
  }
  removeDeepestFirst();
  if (target_ == &staging_ && unusable_.empty()) {
    std::unique_lock hold(lock_);
    current_ = std::move(staging_);
    staging_ = Held{};
  }
  target_ = &current_;
  refreshing_ = false;
  std::unordered_set<Uuid, UuidHash>().swap(seen_);  // its memory back, not just emptied
  complete_ = true;
}

}  // namespace vqeldap::replica
