// The connection settings of dsopen: each comes from the caller's argument,
// else the task's macro symbol, else the environment variable of the same
// name, else a default (or a failure for the host and the base).
#pragma once

#include <cstdint>

#include <qorldap/abi/ldrecords.h>
#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>

namespace qorldap::conn {

// What the caller of dsopen gave; null texts and a port of 0 are absent.
struct Arguments {
  const char* host;
  int32_t port;
  const char* base;
  const char* bindDn;
  const char* bindPw;
};

enum : int32_t { kDefaultTimeout = 30, kDefaultPort = 389 };

// Fills timeout, host, port, bind DN, bind password, base and TLS of
// `parameters` in that order; `symbols` may be null (no macro symbols).
// Returns DS_OK, or the status of the first failure (an allocation, a
// missing host, a missing base, a value found but too long to be read); the
// texts set so far stay in `parameters` for releaseParameters. Every
// macro-symbol value looked up is released.
uint32_t gatherSettings(qor_pool* pool, qor_symbol_table* symbols, const Arguments& arguments,
                        ldparm* parameters);

// Gives back the texts that are set (the bind password overwritten with
// zeros first), then the record itself.
void releaseParameters(qor_pool* pool, ldparm* parameters);

}  // namespace qorldap::conn
