// Memory that libldap's LDIF reader hands out, released with ber_memfree:
// the record buffer ldif_read_record grows and reuses from record to record,
// and a value ldif_parse_line2 decoded into a block of its own.
#pragma once

#include <lber.h>

namespace vqeldap::engine {

struct RecordBuffer {
  char* data = nullptr;
  int size = 0;
  RecordBuffer() = default;
  RecordBuffer(const RecordBuffer&) = delete;
  RecordBuffer& operator=(const RecordBuffer&) = delete;
  ~RecordBuffer() { ber_memfree(data); }
};

struct FreeValue {
  void operator()(char* value) const { ber_memfree(value); }
};

}  // namespace vqeldap::engine
