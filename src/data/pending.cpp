// Operations of this subsystem that are not built yet: each is a weak
// definition that refuses with DS_E_OTHER (or yields nothing), so the entry
// table is complete while the real operation, a strong definition elsewhere,
// is being written. This file goes away once every operation in it is real.
#include <qorldap/status.h>
#include <qorldap/table.h>

#define QOR_PENDING extern "C" __attribute__((weak))

QOR_PENDING uint32_t dsfree(dshandle*, dsent**) { return DS_E_OTHER; }
QOR_PENDING void dsfratt(dshandle*, dsatt*) {}
QOR_PENDING int16_t dsgshrt(dsval*) { return 0; }
QOR_PENDING int32_t dsgint(dsval*) { return 0; }
QOR_PENDING int64_t dsglong(dsval*) { return 0; }
QOR_PENDING float dsgflt(dsval*) { return 0; }
QOR_PENDING double dsgdbl(dsval*) { return 0; }
QOR_PENDING int32_t dsgbin(const void*) { return 0; }
QOR_PENDING char* dsgstr(dsval*) { return nullptr; }
QOR_PENDING dsatt* dsmkatt(dshandle*, const char*, int32_t, ...) { return nullptr; }
QOR_PENDING dsatt* form_attribute(dshandle*, const char*, int32_t, va_list) { return nullptr; }
QOR_PENDING int32_t dsmynod(const void*) { return 0; }
QOR_PENDING void dsdnprnt(const char*, char*, int32_t, int32_t* count) {
  if (count != nullptr) *count = 0;
}
QOR_PENDING uint32_t dscompar(dshandle*, const char*, const char*, const char*) {
  return DS_E_OTHER;
}
