# Warnings and sanitizers for the project's own targets.
if(QOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer (the tsan preset). It cannot share a process with
# AddressSanitizer, so the two options exclude each other. Everything else
# that sets a sanitized build apart (the shared C++ runtime, which the
# sanitizer's runtime hooks; no -Wl,--no-undefined on the libraries, whose
# sanitizer symbols the runtime provides; no developer-kit tests, whose
# uninstrumented host cannot load an instrumented kernel) is keyed on
# QOR_SANITIZE, so from here on QOR_SANITIZE reads as "a sanitized build" in
# a ThreadSanitizer build too: the cache option stays OFF, and the
# AddressSanitizer flags above were not added.
if(QOR_TSAN)
  if(QOR_SANITIZE)
    message(FATAL_ERROR "QOR_TSAN and QOR_SANITIZE exclude each other: choose one sanitizer")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  set(QOR_SANITIZE ON)
endif()

# The fuzz build instruments everything for libFuzzer's coverage; only the
# fuzz targets themselves link its driver.
if(QOR_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

function(qor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# qorhost and the extension carry their own copy of the C++ runtime: loading
# libstdc++.so and binding its symbols cost a process about 2 ms of CPU at
# start, more than everything else the host does before its first request.
# Nothing of the runtime crosses a library boundary: the module uses none,
# and the extension exports one C factory and keeps its exceptions inside.
# Sanitizer and fuzz builds keep the shared runtime, which their own
# runtimes hook.
function(qor_static_cxx_runtime target)
  if(NOT QOR_SANITIZE AND NOT QOR_FUZZ)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

# Nothing built names the tree it was built in: the debugging information,
# __FILE__ and the compilation directory read relative to the source tree, so
# an installed file carries no build-tree path and two builds of the same
# sources in different places give the same bytes.
add_compile_options(-ffile-prefix-map=${PROJECT_BINARY_DIR}=. -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
