// Shared helpers of the data-model tests: an open connection, records built
// in its pool the way a directory result is copied, and pool accounting.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/module_fixture.h"

namespace qortest {

class DataTest : public ConnectedTest {
 protected:
  qor_pool* pool() { return handle_->pool; }
  qorkernel::PoolStats poolStats() { return kernel().stats(pool()); }

  // A zero-filled block of the connection's pool.
  void* block(std::size_t size) {
    void* b = pool()->allocate(pool(), static_cast<int64_t>(size), QOR_POOL_DIRECTORY_FLAGS);
    EXPECT_NE(b, nullptr);
    return b;
  }
  template <typename T>
  T* record() {
    return static_cast<T*>(block(sizeof(T)));
  }
  char* text(const std::string& s) {
    auto* copy = static_cast<char*>(block(s.size() + 1));
    std::memcpy(copy, s.data(), s.size());
    return copy;
  }

  // A value as a directory result delivers it: text only, tag 0.
  dsval* textValue(const std::string& s) {
    auto* value = record<dsval>();
    value->text = text(s);
    return value;
  }
  // An attribute with a null-terminated value array.
  dsatt* attribute(const std::string& name, const std::vector<std::string>& values) {
    auto* att = record<dsatt>();
    att->name = text(name);
    att->nvals = static_cast<int32_t>(values.size());
    att->vals = static_cast<dsval**>(block((values.size() + 1) * sizeof(dsval*)));
    for (std::size_t i = 0; i < values.size(); ++i) att->vals[i] = textValue(values[i]);
    return att;
  }
  dsent* entry(const std::string& dn, const std::vector<dsatt*>& atts) {
    auto* e = record<dsent>();
    e->dn = text(dn);
    e->atts = static_cast<dsatt**>(block((atts.size() + 1) * sizeof(dsatt*)));
    for (std::size_t i = 0; i < atts.size(); ++i) e->atts[i] = atts[i];
    return e;
  }
  dsent** list(const std::vector<dsent*>& entries) {
    auto** l = static_cast<dsent**>(block((entries.size() + 1) * sizeof(dsent*)));
    for (std::size_t i = 0; i < entries.size(); ++i) l[i] = entries[i];
    return l;
  }

 private:
};

}  // namespace qortest
