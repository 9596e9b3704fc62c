# Warnings and sanitizers for the project's own targets.
if(QOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# The fuzz build instruments everything for libFuzzer's coverage; only the
# fuzz targets themselves link its driver.
if(QOR_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

function(qor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Install layout: the module and the extension next to each other.
include(GNUInstallDirs)
