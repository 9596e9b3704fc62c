// The embedded directory and the file it lives in.
//
// A change costs an append, not a rewrite of the file: it is written as an
// LDIF change record to the journal beside the file (PATH.journal,
// journal.h) and flushed (fdatasync) before the call returns, so nothing
// acknowledged is lost in a crash. Opening reads the file and then applies
// the journal; a record cut short by a crash is left out (the next writer
// cuts it off), and a record that does not apply fails the open. When the
// journal grows past a quarter of the file (and 1 MiB), the writer that
// made it so folds it into the file: the whole directory is written to a
// temporary file beside it (PATH.tmp), flushed and renamed over PATH, the
// folder is flushed, and a new journal naming the new file replaces the old
// one, so a crash at any point leaves the old file with its journal or the
// new one, never a mix. A person who edits PATH while the journal holds
// changes it lacks is told so at the next open, which fails: the journal
// names the file it applies to.
//
// The temporary files (PATH.tmp, PATH.journal.tmp, which become PATH and
// PATH.journal) are given PATH's owner, group and mode before anything is
// written to them; a writer that may not give them PATH's owner (anyone but
// the owner and root, in most cases) is refused, rather than leave the
// directory owned by itself; anyone but the owner and root is refused
// before taking the lock, so leaves no lock file. Writers take an
// open-file-description write lock on PATH.lock (made on the first write,
// openable only by those who may write PATH, so that a reader cannot hold
// it), waiting at most the connection's timeout; two connections, in one
// process or in two, never interleave their writes, and the temporary
// files' names are safe to reuse under the lock. A failed write says why in
// "FILE: cannot write: REASON" (the system's text for errno, or that the
// lock was held too long). A process that finds PATH is no longer the file
// it loaded (another process folded the journal into it, or a person edited
// it) loads it again, and one that finds only new records at the end of
// the journal applies them, before a change and before a read (an inotify
// watch on the folder saves looking at the files while nothing happens
// there). A PATH that may not be written (no write permission on it or its
// folder, or no write bit at all, which holds even for root) is opened
// read-only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <sys/stat.h>

#include <qorldap/abi/objects.h>

#include "engine/directory.h"
#include "engine/updates.h"
#include "ldif/journal.h"
#include "ldif/ldif_file.h"

namespace vqeldap::ldif {

// Where a write stands, for tests that stop a process between its steps:
// the change checked and nothing written; the change in the journal; and
// the steps of a fold: the new file flushed, the fold noted in the journal,
// the new file renamed over PATH (the old journal still there).
enum class WriteStep { kChecked, kJournalWritten, kTemporaryFlushed, kFoldNoted, kRenamed };
using WriteStepHook = void (*)(WriteStep step);
// Replaces the hook (null: none); returns the previous one. The hook is
// called on the thread that writes.
WriteStepHook setWriteStepHook(WriteStepHook hook);

// Folds the journal into the file once it holds this many bytes (0: a
// quarter of the file's size, at least 1 MiB); returns the previous bound.
// For tests that make every change fold.
std::size_t setFoldThreshold(std::size_t bytes);

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
  // Why the latest refresh failed (its status, line and reason), and the
  // file it read.
  const LoadFailure& refreshFailure() const { return refreshFailure_; }
  const std::string& path() const { return path_; }

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
  // Of PATH: which file, and whether its contents or attributes changed.
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    static Identity of(const struct stat& status);
    bool operator==(const Identity& other) const;
  };
  // What was read of the journal.
  struct JournalState {
    bool present = false;  // there at the last look
    bool belongs = false;  // names the loaded file: its records are applied
    dev_t device = 0;
    ino_t inode = 0;
    off_t seen = 0;    // its size at the last look (`end` when its tail was cut short)
    JournalText text;  // text.end: after the last whole frame applied
  };

  Store() = default;
  void watchFolder(const std::string& folder);
  bool folderChanged();
  VQStatus catchUp();
  bool load(LoadFailure& failure);
  bool loadOnce(LoadFailure& failure, bool& replaced);
  bool loadJournal(engine::Directory& directory, const FileIdentity& base, JournalState& journal,
                   LoadFailure& failure);
  bool readJournalTail();
  VQStatus appendToJournal(const std::string& frame, const struct stat& file,
                           WriteFailure& failure);
  VQStatus appendJournalText(const std::string& text, WriteFailure& failure);
  VQStatus replaceJournal(const struct stat& file, WriteFailure& failure);
  void foldIfLarge(const struct stat& file);
  VQStatus writeFile(const std::string& text, const struct stat& original, Identity& written,
                     WriteFailure& failure);

  std::string path_;     // absolute, with links resolved
  std::string name_;     // its last part
  std::string journal_;  // PATH.journal
  int folder_ = -1;      // the folder that holds it
  int watch_ = -1;       // inotify on that folder, or -1
  std::shared_ptr<const engine::Schema> schema_;
  LoadFailure refreshFailure_;
  std::unique_ptr<engine::Directory> directory_;
  std::string header_;
  Identity loaded_;
  JournalState journalState_;
  bool recheck_ = false;  // the journal's tail was cut short: look again at the next request
  bool journalOfOtherFile_ = false;  // the latest load found a journal naming another file
  bool readOnly_ = false;
};

}  // namespace vqeldap::ldif
