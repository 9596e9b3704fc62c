// The embedded directory and the file it lives in.
//
// Every successful change is in the file before the call returns, written
// atomically: the whole directory goes to a temporary file beside it
// (PATH.tmp), which is flushed to disk and renamed over PATH, and then the
// folder is flushed, so a crash at any point leaves the old file or the
// new one, never a mix. The temporary file is given PATH's owner, group and
// mode before anything is written to it; a writer that may not give it
// PATH's owner (anyone but the owner and root, in most cases) is refused,
// rather than leave the directory owned by itself; anyone but the owner
// and root is refused before taking the lock, so leaves no lock file. Writers take an
// open-file-description write lock on PATH.lock (made on the first write,
// openable only by those who may write PATH, so that a reader cannot hold
// it), waiting at most the connection's timeout; two connections, in one
// process or in two, never interleave their writes, and the temporary
// file's name is safe to reuse under the lock. A failed write says why in
// "PATH: cannot write: REASON" (the system's text for errno, or that the
// lock was held too long). A process that finds PATH is no longer the file
// it loaded (another process wrote it, or a person edited it) loads it
// again, before a change and before a read (an inotify watch on the folder
// saves looking at the file while nothing happens there). A PATH that may
// not be written (no write permission on it or its folder, or no write bit
// at all, which holds even for root) is opened read-only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <sys/stat.h>

#include <qorldap/abi/objects.h>

#include "engine/directory.h"
#include "engine/updates.h"
#include "ldif/ldif_file.h"

namespace vqeldap::ldif {

// Where a write stands, for tests that stop a process between its steps.
enum class WriteStep { kTemporaryFlushed, kRenamed };
using WriteStepHook = void (*)(WriteStep step);
// Replaces the hook (null: none); returns the previous one. The hook is
// called on the thread that writes.
WriteStepHook setWriteStepHook(WriteStepHook hook);

// Why a write failed, for the connection's diagnostic text.
struct WriteFailure {
  std::string text;  // "PATH: cannot write: REASON"; empty when nothing more is known
};

class Store {
 public:
  // Loads PATH under `schema`, which the store keeps; null with the
  // failure: serverDown when the file cannot be opened or read,
  // decodingError (with the line) when it is not a directory in LDIF.
  static std::unique_ptr<Store> open(const std::string& path,
                                     std::shared_ptr<const engine::Schema> schema,
                                     LoadFailure& failure);
  // The same under the standard schema (engine::Schema::standard()).
  static std::unique_ptr<Store> open(const std::string& path, LoadFailure& failure) {
    return open(path, engine::Schema::standardShared(), failure);
  }

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const engine::Directory& directory() const { return *directory_; }
  bool readOnly() const { return readOnly_; }

  // Loads the file again when it is no longer the one loaded; 0 or the
  // status of the failed load (the directory then stays as it was).
  VQStatus refresh();

  // Under the lock, with the file loaded again if it changed: `prepare`
  // checks the change against the directory; when it succeeds the change is
  // written and then applied. Returns prepare's status, or the status of a
  // failed load or write (nothing is then changed): timeout (0x55, as for
  // a request that waited too long) when the lock was not had within
  // `timeoutSeconds` (0: no limit), other when the system refused a step,
  // both with `failure` saying why.
  using Prepare = std::function<VQStatus(const engine::Directory&, engine::PendingChange&)>;
  VQStatus change(const Prepare& prepare, int64_t timeoutSeconds, WriteFailure& failure);

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
  VQStatus write(const std::string& text, const struct stat& original, Identity& written,
                 WriteFailure& failure);

  std::string path_;  // absolute, with links resolved
  std::string name_;  // its last part
  int folder_ = -1;   // the folder that holds it
  int watch_ = -1;    // inotify on that folder, or -1
  std::shared_ptr<const engine::Schema> schema_;
  std::unique_ptr<engine::Directory> directory_;
  std::string header_;
  Identity loaded_;
  bool readOnly_ = false;
};

}  // namespace vqeldap::ldif
