// Built as libqortestext*.so. QORTEST_NO_FACTORY leaves the factory out;
// QORTEST_FACTORY_FAILS makes it return null.
#include "test_extension.h"

#if defined(QORTEST_FACTORY_FAILS)
extern "C" __attribute__((visibility("default"))) qor_extension* qor_extension_create(qor_kernel*) {
  return nullptr;
}
#elif !defined(QORTEST_NO_FACTORY)
namespace {

TestLibraryExtension instance{};

void release(qor_extension*) {}

}  // namespace

extern "C" __attribute__((visibility("default"))) qor_extension* qor_extension_create(
    qor_kernel* kernel) {
  instance.base.release = release;
  instance.kernel = kernel;
  return &instance.base;
}
#endif
