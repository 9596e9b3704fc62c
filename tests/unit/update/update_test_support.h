// Shared helpers of the update tests: an open connection, caller-built
// records (dsent, dsatt, dsval, dsmod, dsmodp) held by the test, pool
// accounting, and an allocation-failure sweep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/module_fixture.h"

namespace qortest {

// Records as a caller builds them. The module only reads them, so they live
// in the test's memory and stay valid for the whole test.
class Records {
 public:
  dsval* text(const char* text, int32_t type = DSV_STRING) {
    dsval& value = values_.emplace_back();
    value.type = type;
    value.text = text == nullptr ? nullptr : keep(text);
    return &value;
  }
  dsval* number(int32_t type, int64_t number) {
    dsval& value = values_.emplace_back();
    value.type = type;
    value.data.number = number;
    return &value;
  }
  dsval* real(int32_t type, double real) {
    dsval& value = values_.emplace_back();
    value.type = type;
    value.data.real = real;
    return &value;
  }
  dsval* binary(const std::string& bytes) {
    dsval& value = values_.emplace_back();
    value.type = DSV_BINARY;
    value.data.bytes = keep(bytes);
    value.len = static_cast<int64_t>(bytes.size());
    return &value;
  }
  // An attribute with exactly nvals value slots, as dsmkatt makes them.
  dsatt* attribute(const char* name, const std::vector<dsval*>& values) {
    dsatt& att = attributes_.emplace_back();
    att.name = name == nullptr ? nullptr : keep(name);
    att.vals = values.empty() ? nullptr : pointers(values, false);
    att.nvals = static_cast<int32_t>(values.size());
    return &att;
  }
  dsent* entry(const char* dn, const std::vector<dsatt*>& atts) {
    dsent& e = entries_.emplace_back();
    e.dn = dn == nullptr ? nullptr : keep(dn);
    e.atts = pointers(atts, true);
    return &e;
  }
  dsmod* mod(uint32_t op, dsatt* att) {
    mods_.push_back({op, att});
    return &mods_.back();
  }
  dsmodp* modp(uint32_t op, const std::vector<dsatt*>& atts) {
    modps_.push_back({op, pointers(atts, true)});
    return &modps_.back();
  }
  // A null-terminated array of `items`.
  template <typename T>
  T** list(const std::vector<T*>& items) {
    return pointers(items, true);
  }

  char* keep(const std::string& text) {
    std::string& kept = texts_.emplace_back(text);
    return kept.data();
  }

 private:
  template <typename T>
  T** pointers(const std::vector<T*>& items, bool terminated) {
    auto array = std::make_shared<std::vector<T*>>(items);
    if (terminated) array->push_back(nullptr);
    arrays_.push_back(array);
    return array->data();
  }

  std::deque<std::string> texts_;
  std::deque<dsval> values_;
  std::deque<dsatt> attributes_;
  std::deque<dsent> entries_;
  std::deque<dsmod> mods_;
  std::deque<dsmodp> modps_;
  std::vector<std::shared_ptr<void>> arrays_;
};

class UpdateTest : public ConnectedTest {
 protected:
  // Blocks live in all pools.
  std::size_t liveBlocks() { return kernel().totals().liveBlocks; }
  std::size_t liveBytes() { return kernel().totals().liveBytes; }

  // The only call of operation T so far.
  template <typename T>
  T onlyCall() {
    const std::vector<T> calls = extension().calls<T>();
    EXPECT_EQ(calls.size(), 1u);
    return calls.empty() ? T{} : calls.back();
  }
  // Calls of the connection's update operations so far.
  std::size_t updateCalls() {
    const ScriptedExtension& e = extension();
    return e.count<AddEntryCall>() + e.count<DeleteEntryCall>() + e.count<ModifyEntryCall>() +
           e.count<ModifyEntryListsCall>() + e.count<ModifyOneCall>();
  }

  // Fails each pool request of `run` in turn (counted from one successful
  // run): every failing run must return DS_E_NO_MEMORY, make no extension
  // call and leave the pools exactly as they were. Returns the number of
  // requests swept.
  std::size_t sweep(const std::function<uint32_t()>& run) {
    kernel().failNth(SIZE_MAX);
    EXPECT_EQ(run(), DS_OK);
    const std::size_t requests = kernel().requestsSinceFaultArmed();
    kernel().clearFaults();
    for (std::size_t n = 1; n <= requests; ++n) {
      SCOPED_TRACE("failing request " + std::to_string(n) + " of " + std::to_string(requests));
      const std::size_t blocks = liveBlocks();
      const std::size_t bytes = liveBytes();
      const std::size_t calls = updateCalls();
      kernel().failNth(n);
      EXPECT_EQ(run(), DS_E_NO_MEMORY);
      kernel().clearFaults();
      EXPECT_EQ(liveBlocks(), blocks);
      EXPECT_EQ(liveBytes(), bytes);
      EXPECT_EQ(updateCalls(), calls);
    }
    return requests;
  }

  Records records_;

 private:
};

}  // namespace qortest
