#include "expand_notes.h"

#include <strings.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <qorldap/status.h>

// The module's own rules of what a group is and when two DNs name one
// entry, header-only, so that the notes and the expansion cannot disagree.
#include "query/dn_match.h"
#include "query/groups.h"

namespace qorcli {
namespace {

using qorldap::query::DnUnits;

// Notes beyond these are counted, not printed.
constexpr int kMostNotes = 20;
// As deep as the module expands.
constexpr int kDeepestNesting = 32;

// A DN in the form the module compares DNs in (case, blanks and escapes
// folded), as a key: each byte as itself, a zero byte and each separator as
// a zero followed by a mark, so that no value byte stands for a separator.
std::string dnKey(std::string_view dn) {
  const std::string text(dn);
  DnUnits units(text.c_str());
  std::string key;
  for (int unit = units.next(); unit != DnUnits::kEnd; unit = units.next()) {
    if (unit > 0 && unit < 256) {
      key += static_cast<char>(unit);
    } else {
      key += '\0';
      key += static_cast<char>(unit == 0 ? 0 : unit - 255);
    }
  }
  return key;
}

// An entry list from the module, given back with dsfree.
class ModuleList {
 public:
  ModuleList(const qorldap_table& ops, dshandle* handle) : ops_(ops), handle_(handle) {}
  ~ModuleList() {
    if (list_ != nullptr) ops_.dsfree(handle_, list_);
  }
  ModuleList(const ModuleList&) = delete;
  ModuleList& operator=(const ModuleList&) = delete;
  dsent*** place() { return &list_; }
  const dsent* first() const { return list_ != nullptr ? list_[0] : nullptr; }

 private:
  const qorldap_table& ops_;
  dshandle* handle_;
  dsent** list_ = nullptr;
};

// What a member read tells: its class values and the members it lists (the
// values of its first member attribute, as the module takes them).
struct MemberEntry {
  std::vector<std::string> classes;
  std::vector<std::string> members;  // DNs, a uniqueMember's identifier cut off
  bool isGroup = false;
};

void collectValues(const dsatt& attribute, MemberEntry& entry) {
  const bool classes = qorldap::query::holdsClasses(
      attribute.name, static_cast<int64_t>(std::strlen(attribute.name)));
  const bool members = entry.members.empty() && qorldap::query::isMemberAttribute(attribute.name);
  const bool optionalUid = qorldap::query::isUniqueMemberAttribute(attribute.name);
  for (int32_t k = 0; k < attribute.nvals && attribute.vals[k] != nullptr; ++k) {
    const char* text = attribute.vals[k]->text;
    if (text == nullptr) continue;
    const auto length = static_cast<int64_t>(std::strlen(text));
    if (classes) {
      entry.classes.emplace_back(text);
      entry.isGroup = entry.isGroup || qorldap::query::namesAGroupClass(text, length);
    } else if (members) {
      entry.members.emplace_back(text, qorldap::query::memberDnLength(text, optionalUid));
    }
  }
}

class SkippedMembers {
 public:
  SkippedMembers(const qorldap_table& ops, dshandle* handle, const Trace& trace)
      : ops_(ops), handle_(handle), trace_(trace) {}

  void nameSubscribers(dsent* const* subscribers);
  void walk(const std::string& groupDn, int depth);
  void close() const;

 private:
  MemberEntry read(const std::string& dn) const;
  void note(const std::string& memberDn, const MemberEntry& entry);

  const qorldap_table& ops_;
  dshandle* handle_;
  const Trace& trace_;
  std::unordered_set<std::string> named_;  // members some subscriber entry names
  std::unordered_set<std::string> visited_;
  int silent_ = 0;   // members read that gave nothing
  int skipped_ = 0;  // of those, the ones that list members
};

// The qorpersondn values of the result: those members gave subscribers.
void SkippedMembers::nameSubscribers(dsent* const* subscribers) {
  for (dsent* const* slot = subscribers; slot != nullptr && *slot != nullptr; ++slot) {
    for (dsatt* const* att = (*slot)->atts; att != nullptr && *att != nullptr; ++att) {
      if ((*att)->name == nullptr || ::strcasecmp((*att)->name, "qorpersondn") != 0) continue;
      for (int32_t k = 0; k < (*att)->nvals && (*att)->vals[k] != nullptr; ++k) {
        if ((*att)->vals[k]->text != nullptr) named_.insert(dnKey((*att)->vals[k]->text));
      }
    }
  }
}

MemberEntry SkippedMembers::read(const std::string& dn) const {
  static const char* const kAttributes[] = {"objectClass", "member", "uniqueMember", nullptr};
  ModuleList list(ops_, handle_);
  MemberEntry entry;
  if (DS_IS_ERROR(ops_.dsrslvdn(handle_, dn.c_str(), kAttributes, list.place()))) return entry;
  const dsent* found = list.first();
  if (found == nullptr) return entry;
  for (dsatt* const* att = found->atts; att != nullptr && *att != nullptr; ++att) {
    if ((*att)->name != nullptr) collectValues(**att, entry);
  }
  return entry;
}

// Each group's members that no subscriber entry names are read; the groups
// among them are walked as the module expands them, the others that list
// members are noted.
void SkippedMembers::walk(const std::string& groupDn, int depth) {
  if (depth > kDeepestNesting || !visited_.insert(dnKey(groupDn)).second) return;
  const MemberEntry group = read(groupDn);
  for (const std::string& member : group.members) {
    const std::string key = dnKey(member);
    if (named_.contains(key) || visited_.contains(key)) continue;
    const MemberEntry entry = read(member);
    if (entry.isGroup) {
      walk(member, depth + 1);
      continue;
    }
    visited_.insert(key);
    ++silent_;
    if (!entry.members.empty()) note(member, entry);
  }
}

void SkippedMembers::note(const std::string& memberDn, const MemberEntry& entry) {
  if (++skipped_ > kMostNotes) return;
  std::string classes;
  for (const std::string& value : entry.classes) classes += (classes.empty() ? "" : ", ") + value;
  trace_.line("expand: skipped " + memberDn + ": it lists " + std::to_string(entry.members.size()) +
              " members, but its classes (" + classes +
              ") are not groupOfNames or groupOfUniqueNames, so the module does not expand it");
}

void SkippedMembers::close() const {
  if (skipped_ > kMostNotes) {
    trace_.line("expand: skipped " + std::to_string(skipped_ - kMostNotes) +
                " more members that list members but are not groups");
  }
  if (silent_ > 0) {
    trace_.line("expand: members that gave no subscriber entry and are not groups: " +
                std::to_string(silent_) + " (" + std::to_string(skipped_) +
                " listing members of their own)");
  }
}

}  // namespace

void traceSkippedMembers(const qorldap_table& ops, dshandle* handle, const std::string& group,
                         dsent* const* subscribers, const Trace& trace) {
  if (!trace.on()) return;
  SkippedMembers members(ops, handle, trace);
  members.nameSubscribers(subscribers);
  members.walk(group, 0);
  members.close();
}

}  // namespace qorcli
