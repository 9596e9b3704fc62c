// Operations of this subsystem that are not built yet: each is a weak
// definition that refuses with DS_E_OTHER (or yields nothing), so the entry
// table is complete while the real operation, a strong definition elsewhere,
// is being written. This file goes away once every operation in it is real.
#include <qorldap/status.h>
#include <qorldap/table.h>

#define QOR_PENDING extern "C" __attribute__((weak))

QOR_PENDING uint32_t dsreg(dshandle*, const char*, const dsent*) { return DS_E_OTHER; }
QOR_PENDING uint32_t dsmodify(dshandle*, const char*, dsmod* const*) { return DS_E_OTHER; }
QOR_PENDING uint32_t dsmodpad(dshandle*, const char*, dsmodp* const*) { return DS_E_OTHER; }
QOR_PENDING uint32_t dsmodone(dshandle*, const char*, uint32_t, const char*, const void*) {
  return DS_E_OTHER;
}
QOR_PENDING uint32_t dsdereg(dshandle*, const char*) { return DS_E_OTHER; }
