// The loader: maps a module and starts it exactly as a host would.
#pragma once

#include <memory>
#include <string>

#include <qorkernel/kernel.h>
#include <qorldap/abi/image.h>
#include <qorldap/table.h>

namespace qorkernel {

class LoadedModule {
 public:
  // dlopen(path), mcn_main(gcb, pidb), check the image header, follow
  // mcn_pcns to the node and call its entry routine, then read the table
  // registered with hiexprt. Null with a message in `error` on failure.
  static std::unique_ptr<LoadedModule> load(Kernel& kernel, const std::string& path,
                                            std::string* error);
  ~LoadedModule();  // dlclose; does not call term
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  const qorldap_table* table() const;
  const qor_image_info* image() const;
  const qor_pcn* node() const;
  void* symbol(const char* name) const;  // dlsym
  const std::string& path() const;

  // Calls the node's entry routine again (start after term) and re-reads the
  // registered table.
  bool start(std::string* error);

 private:
  LoadedModule() = default;
  Kernel* kernel_ = nullptr;
  void* library_ = nullptr;
  const qor_image_info* image_ = nullptr;
  const qor_pcn* node_ = nullptr;
  const qorldap_table* table_ = nullptr;
  std::string path_;
};

// Where the build or the install put libqorldap.so: the plugin folder
// "qorldap" of the library directory, found from where the kernel's code
// lies (beside libqorkernel.so, or the program's ../lib). Nothing else is
// tried, so a program copied away from its install finds no module and says
// where it looked rather than load another tree's.
std::string defaultModulePath();

}  // namespace qorkernel
