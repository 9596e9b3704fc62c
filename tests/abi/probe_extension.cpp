// A minimal LDAP extension library for the loader test: it is found by name
// as lib<name>.so, made by its factory and counts its releases. It opens no
// connections.
#include <qorldap/abi/objects.h>

namespace {

qor_extension gExtension{};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int probe_extension_creations = 0;
__attribute__((visibility("default"))) int probe_extension_releases = 0;

static void probeRelease(qor_extension*) {
  ++probe_extension_releases;
}

__attribute__((visibility("default"))) qor_extension* qor_extension_create(qor_kernel*) {
  ++probe_extension_creations;
  gExtension.release = probeRelease;
  return &gExtension;
}

}  // extern "C"
