// Shared helpers of the query tests: an open connection, a small directory
// that answers the scripted extension's searches, renderings of entry lists
// for comparison, the pool cost of a copied entry, and a driver for
// allocation-failure sweeps.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/module_fixture.h"

namespace qortest {

// Blocks and bytes live in all pools of the kernel.
struct Footprint {
  std::size_t blocks = 0;
  std::size_t bytes = 0;

  static Footprint of(qorkernel::Kernel& kernel) {
    const qorkernel::PoolStats totals = kernel.totals();
    return {totals.liveBlocks, totals.liveBytes};
  }
  Footprint operator-(const Footprint& earlier) const {
    return {blocks - earlier.blocks, bytes - earlier.bytes};
  }
  Footprint& operator+=(const Footprint& more) {
    blocks += more.blocks;
    bytes += more.bytes;
    return *this;
  }
  Footprint operator+(const Footprint& more) const {
    Footprint sum = *this;
    return sum += more;
  }
  auto operator<=>(const Footprint&) const = default;
};

inline void PrintTo(const Footprint& f, std::ostream* out) {
  *out << "{" << f.blocks << " blocks, " << f.bytes << " bytes}";
}

// What the module's copy of one entry takes from the pool: the dsent, its
// DN, its attribute array, and per attribute the dsatt, its name, its value
// array, and per value the dsval and its text.
inline Footprint copyCost(const Entry& entry) {
  Footprint cost{3, 16 + entry.dn.size() + 1 + (entry.attributes.size() + 1) * 8};
  for (const Attribute& attribute : entry.attributes) {
    cost += {3, 24 + attribute.name.size() + 1 + (attribute.values.size() + 1) * 8};
    for (const std::string& value : attribute.values) cost += {2, 32 + value.size() + 1};
  }
  return cost;
}

inline Footprint copyCost(const Entries& entries) {
  Footprint cost;
  for (const Entry& entry : entries) cost += copyCost(entry);
  return cost;
}

// An array of `slots` pointers.
inline Footprint pointerArray(std::size_t slots) {
  return {1, slots * 8};
}

// "dn: name=v1,v2; name=..." per entry, one line each, for comparisons.
inline std::string render(const Entries& entries) {
  std::string out;
  for (const Entry& entry : entries) {
    out += entry.dn + ":";
    for (const Attribute& attribute : entry.attributes) {
      out += " " + attribute.name + "=";
      for (std::size_t i = 0; i < attribute.values.size(); ++i) {
        out += (i == 0 ? "" : ",") + attribute.values[i];
      }
      out += ";";
    }
    out += "\n";
  }
  return out;
}

// The same rendering of a module entry list, read up to its terminators;
// values are read as texts.
inline std::string render(dsent* const* list) {
  Entries entries;
  for (dsent* const* slot = list; *slot != nullptr; ++slot) {
    Entry entry{(*slot)->dn, {}};
    for (dsatt* const* att = (*slot)->atts; *att != nullptr; ++att) {
      Attribute attribute{(*att)->name, {}};
      for (int32_t k = 0; k < (*att)->nvals; ++k)
        attribute.values.emplace_back((*att)->vals[k]->text);
      entry.attributes.push_back(attribute);
    }
    entries.push_back(entry);
  }
  return render(entries);
}

inline std::vector<std::string> dnsOf(dsent* const* list) {
  std::vector<std::string> dns;
  for (dsent* const* slot = list; *slot != nullptr; ++slot) dns.emplace_back((*slot)->dn);
  return dns;
}

inline std::size_t countOf(dsent* const* list) {
  return dnsOf(list).size();
}

// A small directory behind the scripted extension: entries read by DN
// (search flags 0x10, the selection applied) and subscriber entries found by
// the subscriber filters of group expansion (the member DN unescaped from
// the filter). Everything else finds nothing.
class Directory {
 public:
  static constexpr const char* kPlainPrefix =
      "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=";
  static constexpr const char* kEventPrefix =
      "(&(|(objectclass=qor-eventsubscriber)(qorInterface=qor-eventsubscriber))(qorpersondn=";
  static inline const std::string kTerm = "(qorpersondn=";

  void add(const Entry& entry) { entries_[entry.dn] = entry; }
  // Answers a read of `asked` with `entry`, whatever DN the entry carries (a
  // directory that echoes the DN in the form it was asked for).
  void addAs(const std::string& asked, const Entry& entry) { entries_[asked] = entry; }

  // A group of class `objectClass` whose attribute `attribute` lists
  // `members`.
  void group(const std::string& dn, const std::vector<std::string>& members,
             const std::string& objectClass = "groupOfNames",
             const std::string& attribute = "member") {
    add({dn, {{"objectClass", {"top", objectClass}}, {attribute, members}}});
  }
  void person(const std::string& dn) { add({dn, {{"objectClass", {"person"}}}}); }
  // Reads by DN return every attribute, asked for or not, as some servers do.
  bool everyAttribute = false;

  // A subscriber entry of `person`: plain (kind 1) or event subscribers;
  // its qorpersondn values are `names`, or `person` alone.
  Entry subscriber(const std::string& person, bool plain, const std::string& dn,
                   const std::vector<std::string>& names = {}) {
    Entry entry{dn,
                {{"objectClass", {plain ? "qorSubscriber" : "qor-eventSubscriber"}},
                 {"qorpersondn", names.empty() ? std::vector<std::string>{person} : names}}};
    subscribers_[{plain, person}].push_back(entry);
    return entry;
  }
  // Makes the subscriber search for `person` return an empty array.
  void noSubscribers(const std::string& person, bool plain) { subscribers_[{plain, person}]; }

  SearchResponse answer(const SearchCall& call) {
    const std::string text = call.text.value_or("");
    if (call.flags == QOR_SEARCH_READ_DN) {
      reads.push_back(text);
      auto found = entries_.find(text);
      if (found == entries_.end()) return {};
      if (everyAttribute) return {Entries{found->second}, std::nullopt};
      return {Entries{selected(found->second, call.attributes)}, std::nullopt};
    }
    filters.push_back(text);
    for (bool plain : {true, false}) {
      const std::string prefix = plain ? kPlainPrefix : kEventPrefix;
      if (text.rfind(prefix, 0) == 0 && text.ends_with("))")) {
        return subscribersOf(plain, {text.substr(prefix.size(), text.size() - prefix.size() - 2)});
      }
      // A combined search: the class condition AND an OR of members' terms.
      const std::string combined = prefix.substr(0, prefix.size() - kTerm.size()) + "(|" + kTerm;
      if (text.rfind(combined, 0) == 0 && text.ends_with(")))")) {
        return subscribersOf(plain, termsOf(text.substr(combined.size() - kTerm.size())));
      }
    }
    return {};
  }

  // The subscribers of the members whose escaped DNs are given, in that
  // order; no array when none of them is known (an empty one when one is).
  SearchResponse subscribersOf(bool plain, const std::vector<std::string>& members) const {
    std::optional<Entries> found;
    for (const std::string& member : members) {
      auto entries = subscribers_.find({plain, unescape(member)});
      if (entries == subscribers_.end()) continue;
      if (!found) found.emplace();
      found->insert(found->end(), entries->second.begin(), entries->second.end());
    }
    return {found, std::nullopt};
  }
  // The escaped DNs of "(qorpersondn=A)(qorpersondn=B)...))": an escaped
  // value holds no ')'.
  static std::vector<std::string> termsOf(const std::string& terms) {
    std::vector<std::string> members;
    for (std::size_t at = 0; terms.compare(at, kTerm.size(), kTerm) == 0;) {
      const std::size_t end = terms.find(')', at);
      members.push_back(terms.substr(at + kTerm.size(), end - at - kTerm.size()));
      at = end + 1;
    }
    return members;
  }

  // Installs this directory as the extension's responder.
  void serve(ScriptedExtension& extension) {
    extension.onSearch([this](const SearchCall& call) { return answer(call); });
  }

  std::vector<std::string> reads;    // DNs read, in order
  std::vector<std::string> filters;  // filters searched, in order

  // An assertion value of a filter, its \xx escapes decoded.
  static std::string unescape(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 2 < value.size()) {
        out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += value[i];
      }
    }
    return out;
  }

 private:
  static Entry selected(const Entry& entry, const std::optional<std::vector<std::string>>& names) {
    if (!names) return entry;
    Entry out{entry.dn, {}};
    for (const Attribute& attribute : entry.attributes) {
      for (const std::string& name : *names) {
        if (lower(name) == lower(attribute.name)) out.attributes.push_back(attribute);
      }
    }
    return out;
  }
  static std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  std::map<std::string, Entry> entries_;
  std::map<std::pair<bool, std::string>, Entries> subscribers_;
};

class QueryTest : public ConnectedTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(extension().badFrees(), 0u);
    EXPECT_EQ(extension().outstandingResults(), 0u);
    ConnectedTest::TearDown();
  }

  Footprint footprint() { return Footprint::of(kernel()); }
  std::size_t searches() { return extension().count<SearchCall>(); }
  // Searches that answered with a result (which must be given back).
  std::size_t resultsHandedOut() {
    std::size_t count = 0;
    for (const SearchCall& call : extension().calls<SearchCall>()) {
      count += call.result != nullptr ? 1 : 0;
    }
    return count;
  }
  std::size_t freeResults() { return extension().count<FreeResultCall>(); }

  void release(dsent** list) { EXPECT_EQ(ops().dsfree(handle(), list), DS_OK); }

  // The extension's answer to every search from now on.
  void answerAlways(const std::optional<Entries>& entries,
                    std::optional<VQStatus> status = std::nullopt) {
    extension().onSearch([entries, status](const SearchCall&) {
      return SearchResponse{entries, status};
    });
  }

  // Allocation-failure sweep: counts the pool requests of one successful
  // `run` (returning `success`), then fails each of them in turn. `run` returns the status and
  // releases whatever it produced on success. For every failing run the
  // status must be `expected`, the pools must be as before except for one of
  // `abandoned` (each allowed leftover seen exactly once over the sweep), and
  // every search result must have been given back. Returns the number of
  // requests swept.
  std::size_t sweep(const std::function<uint32_t()>& run, uint32_t expected,
                    const std::vector<Footprint>& abandoned = {}, uint32_t success = DS_OK) {
    kernel().failNth(SIZE_MAX);
    EXPECT_EQ(run(), success) << "the call must succeed without faults";
    const std::size_t requests = kernel().requestsSinceFaultArmed();
    kernel().clearFaults();
    std::multiset<Footprint> leftovers;
    for (std::size_t n = 1; n <= requests; ++n) {
      SCOPED_TRACE("failing request " + std::to_string(n) + " of " + std::to_string(requests));
      const Footprint before = footprint();
      extension().clearCalls();
      kernel().failNth(n);
      const uint32_t status = run();
      kernel().clearFaults();
      EXPECT_EQ(status, expected);
      const Footprint left = footprint() - before;
      if (left != Footprint{}) leftovers.insert(left);
      EXPECT_EQ(extension().outstandingResults(), 0u);
      EXPECT_EQ(freeResults(), resultsHandedOut());
    }
    EXPECT_EQ(leftovers, std::multiset<Footprint>(abandoned.begin(), abandoned.end()));
    return requests;
  }

 private:
};

}  // namespace qortest
