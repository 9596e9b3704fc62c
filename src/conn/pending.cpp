// Operations of this subsystem that are not built yet: each is a weak
// definition that refuses with DS_E_OTHER (or yields nothing), so the entry
// table is complete while the real operation, a strong definition elsewhere,
// is being written. This file goes away once every operation in it is real.
#include <qorldap/status.h>
#include <qorldap/table.h>

#define QOR_PENDING extern "C" __attribute__((weak))

QOR_PENDING uint32_t dsopen(dshandle**, const char*, int32_t, void*, const char*, const char*,
                            const char*) {
  return DS_E_OTHER;
}
QOR_PENDING uint32_t dsclose(dshandle*) { return DS_E_OTHER; }
QOR_PENDING void dsopt(dshandle*, int32_t, int32_t, int64_t, const char*) {}
QOR_PENDING uint32_t dsgeterr(dshandle*) { return DS_E_OTHER; }
