// The embedded directory and the file it lives in.
//
// Every successful change is in the file before the call returns, written
// atomically: the whole directory goes to a temporary file beside it
// (PATH.tmp), which is flushed to disk and renamed over PATH, and then the
// folder is flushed, so a crash at any point leaves the old file or the
// new one, never a mix. Writers take an advisory lock (flock) on the file
// they found at PATH and make sure it is still the one there once they hold
// it, so two processes never interleave their writes; the temporary file's
// name is safe to reuse under that lock. A process that finds PATH is no
// longer the file it loaded (another process wrote it, or a person edited
// it) loads it again, before a change and before a read (an inotify watch
// on the folder saves looking at the file while nothing happens there). A
// PATH that may
// not be written (no write permission on it or its folder, or no write bit
// at all, which holds even for root) is opened read-only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <sys/stat.h>

#include <qorldap/abi/objects.h>

#include "ldif/directory.h"
#include "ldif/ldif_file.h"
#include "ldif/updates.h"

namespace vqeldap::ldif {

// Where a write stands, for tests that stop a process between its steps.
enum class WriteStep { kTemporaryFlushed, kRenamed };
using WriteStepHook = void (*)(WriteStep step);
// Replaces the hook (null: none); returns the previous one.
WriteStepHook setWriteStepHook(WriteStepHook hook);

class Store {
 public:
  // Loads PATH; null with the failure: serverDown when the file cannot be
  // opened or read, decodingError (with the line) when it is not a
  // directory in LDIF.
  static std::unique_ptr<Store> open(const std::string& path, LoadFailure& failure);

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const Directory& directory() const { return *directory_; }
  bool readOnly() const { return readOnly_; }

  // Loads the file again when it is no longer the one loaded; 0 or the
  // status of the failed load (the directory then stays as it was).
  VQStatus refresh();

  // Under the lock, with the file loaded again if it changed: `prepare`
  // checks the change against the directory; when it succeeds the change is
  // written and then applied. Returns prepare's status, or the status of a
  // failed load or write (nothing is then changed).
  using Prepare = std::function<VQStatus(const Directory&, PendingChange&)>;
  VQStatus change(const Prepare& prepare);

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Identity& other) const;
  };

  Store() = default;
  void watchFolder(const std::string& folder);
  bool folderChanged();
  bool load(int fd, LoadFailure& failure);
  VQStatus write(const std::string& text, Identity& written);

  std::string path_;  // absolute, with links resolved
  std::string name_;  // its last part
  int folder_ = -1;   // the folder that holds it
  int watch_ = -1;    // inotify on that folder, or -1
  std::unique_ptr<Directory> directory_;
  std::string header_;
  Identity loaded_;
  bool readOnly_ = false;
};

}  // namespace vqeldap::ldif
