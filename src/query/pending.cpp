// Operations of this subsystem that are not built yet: each is a weak
// definition that refuses with DS_E_OTHER (or yields nothing), so the entry
// table is complete while the real operation, a strong definition elsewhere,
// is being written. This file goes away once every operation in it is real.
#include <qorldap/status.h>
#include <qorldap/table.h>

#define QOR_PENDING extern "C" __attribute__((weak))

QOR_PENDING int32_t dsiscls(dshandle*, dsent*, const char*, int32_t) { return 0; }
QOR_PENDING uint32_t dsexpgrp(dshandle*, const char*, dsent***, int32_t) { return DS_E_OTHER; }
QOR_PENDING uint32_t dsreslv(dshandle*, const char*, const char* const*, dsent***) {
  return DS_E_OTHER;
}
QOR_PENDING uint32_t dsrslvdn(dshandle*, const char*, const char* const*, dsent***) {
  return DS_E_OTHER;
}
