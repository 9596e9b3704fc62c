// A tiny extension in a shared library, for the kernel's library search: the
// record remembers the kernel handle its factory was given.
#pragma once

#include <qorldap/abi/objects.h>

struct TestLibraryExtension {
  qor_extension base;
  qor_kernel* kernel;  // what the factory received
};
