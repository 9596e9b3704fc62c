// A folder of its own under /tmp for files a test program writes, removed
// with everything in it when the object goes (for a static one: when the
// program ends).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace qortest {

class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix) {
    std::string name = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(name.data()) != nullptr) path_ = name;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  // Empty when the folder could not be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace qortest
