#include "ldif/store.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/status.h"

namespace vqeldap::ldif {

namespace {

constexpr VQStatus kUnreadable = kernelStatus(Code::kServerDown);
constexpr VQStatus kMalformed = kernelStatus(Code::kDecodingError);
constexpr VQStatus kWriteFailed = kernelStatus(Code::kOther);
constexpr VQStatus kLockTimeout = kernelStatus(Code::kTimeout);

// Read by every writer on every thread; set by tests.
std::atomic<WriteStepHook> hook{nullptr};
std::atomic<std::size_t> foldThreshold{0};

void reached(WriteStep step) {
  if (WriteStepHook current = hook.load()) current(step);
}

// A failed write: its status, and "PATH: cannot write: reason" for the
// connection's diagnostic text.
VQStatus failed(WriteFailure& failure, VQStatus status, const std::string& path,
                const std::string& reason) {
  failure.text = path + ": cannot write: " + reason;
  return status;
}

// The system's text for errno; strerror_r, since writers on several
// threads may fail at once.
std::string systemText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);  // GNU: the text, in `buffer` or static
}

// The same with the system's text for errno.
VQStatus failedWithErrno(WriteFailure& failure, const std::string& path, int error) {
  return failed(failure, kWriteFailed, path, systemText(error));
}

// A file descriptor closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool writable(const std::string& path, const struct stat& status) {
  return (status.st_mode & 0222) != 0 && ::access(path.c_str(), W_OK) == 0 &&
         ::access(folderOf(path).c_str(), W_OK) == 0;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote == 0) errno = EIO;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// The writers' lock: an open-file-description write lock (F_OFD_SETLK) on
// PATH.lock, a file that only those who may write PATH may open. It is not
// taken on PATH itself because anyone who may read a file may put a read
// lock on it, and a read lock keeps every write lock out. The lock file is
// made on the first write with PATH's write bits and no read bits, and
// PATH's owner and group where the writer may set them. OFD locks belong to
// the open file description, so two connections in one process exclude
// each other as two processes do, and the lock goes with the descriptor
// (or the process). The wait is bounded by the connection's timeout.
class WriterLock {
 public:
  VQStatus acquire(const std::string& path, const struct stat& file, int64_t timeoutSeconds,
                   WriteFailure& failure) {
    const std::string lockPath = path + ".lock";
    const auto start = std::chrono::steady_clock::now();
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      int error = 0;
      if (fd_ < 0) error = openLockFile(lockPath, file);
      if (fd_ >= 0) error = tryLock();
      if (error == 0) return 0;
      if (error != EAGAIN && error != EACCES) return failedWithErrno(failure, lockPath, error);
      const auto waited = std::chrono::steady_clock::now() - start;
      if (timeoutSeconds > 0 && waited >= std::chrono::seconds(timeoutSeconds)) {
        // EACCES that lasts: a lock file this writer may not open.
        if (fd_ < 0) return failedWithErrno(failure, lockPath, error);
        return failed(failure, kLockTimeout, path,
                      "another writer held the lock for the connection's timeout (" +
                          std::to_string(timeoutSeconds) + " s)");
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
  }
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }

 private:
  // 0 with fd_ open for writing, or errno. A lock file another writer has
  // just made may not be open to others yet (EACCES until it sets the mode).
  int openLockFile(const std::string& lockPath, const struct stat& file) {
    constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
    fd_ = ::open(lockPath.c_str(), kFlags | O_CREAT | O_EXCL, 0200);
    if (fd_ >= 0) {
      // Best effort: a lock file that others cannot open only makes them
      // wait and then fail with its name in the text.
      (void)::fchown(fd_, file.st_uid, file.st_gid);
      (void)::fchmod(fd_, file.st_mode & 0222);
      return 0;
    }
    if (errno != EEXIST) return errno;
    fd_ = ::open(lockPath.c_str(), kFlags);
    return fd_ >= 0 ? 0 : errno;
  }
  int tryLock() const {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd_, F_OFD_SETLK, &whole) == 0) return 0;
    return errno == EINTR ? EAGAIN : errno;
  }

  int fd_ = -1;
};

}  // namespace

WriteStepHook setWriteStepHook(WriteStepHook replacement) {
  return hook.exchange(replacement);
}

std::size_t setFoldThreshold(std::size_t bytes) {
  return foldThreshold.exchange(bytes);
}

Store::~Store() {
  if (folder_ >= 0) ::close(folder_);
  if (watch_ >= 0) ::close(watch_);
}

// Every event that may mean another file at PATH or other contents in it;
// a failure to watch only costs a look at the file before each request.
void Store::watchFolder(const std::string& folder) {
  constexpr uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                               IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;
  watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ >= 0 && ::inotify_add_watch(watch_, folder.c_str(), kEvents) < 0) {
    ::close(watch_);
    watch_ = -1;
  }
}

namespace {

// The temporary file's owner, group and mode made PATH's, before anything
// is written to it; 0 or errno. A writer that may not give the file PATH's
// owner (only root may give a file away) is refused: renaming its file
// over PATH would make the directory the writer's, and its owner could then
// no longer write it.
int keepOwnerAndMode(int fd, const struct stat& original) {
  struct stat made {};
  if (::fstat(fd, &made) != 0) return errno;
  if ((made.st_uid != original.st_uid || made.st_gid != original.st_gid) &&
      ::fchown(fd, original.st_uid, original.st_gid) != 0) {
    return errno;
  }
  // The mode asked for at creation passes through the umask.
  return ::fchmod(fd, original.st_mode & 07777) == 0 ? 0 : errno;
}

// Why the writer cannot keep the file's owner: "" when it may be able to
// (it is the owner, or root). Checked before the lock, so that a writer
// who will be refused leaves no lock file of its own that the owner could
// not open.
std::string ownerCannotBeKept(const struct stat& file) {
  const uid_t writer = ::geteuid();
  if (writer == 0 || writer == file.st_uid) return {};
  return "the file's owner and group cannot be kept: " + systemText(EPERM);
}

}  // namespace

Store::Identity Store::Identity::of(const struct stat& status) {
  return Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

bool Store::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

namespace {

bool identityOf(int fd, struct stat& status) {
  return ::fstat(fd, &status) == 0;
}

// The bytes of an open file from `offset` to its end.
bool readFrom(int fd, off_t offset, std::string& text) {
  text.clear();
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    text.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
}

// A whole write at `offset`, flushed; 0 or errno.
int writeFlushed(int fd, const std::string& text, off_t offset) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote =
        ::pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return wrote == 0 ? EIO : errno;
    done += static_cast<std::size_t>(wrote);
  }
  return ::fdatasync(fd) == 0 ? 0 : errno;
}

}  // namespace

// Reads PATH.journal and applies it when it names the file just read
// (`base`). A journal that names another file is left unapplied when it
// holds nothing that file lacks (no records, or a fold made that file from
// it), and fails the load otherwise.
bool Store::loadJournal(engine::Directory& directory, const FileIdentity& base,
                        JournalState& journal, LoadFailure& failure) {
  Descriptor fd(::openat(folder_, (name_ + ".journal").c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return true;
    failure = LoadFailure{kUnreadable, 0, "cannot open the journal"};
    return false;
  }
  struct stat status {};
  std::string text;
  if (!identityOf(fd.get(), status) || !readFrom(fd.get(), 0, text)) {
    failure = LoadFailure{kUnreadable, 0, "cannot read the journal"};
    return false;
  }
  journal.present = true;
  journal.device = status.st_dev;
  journal.inode = status.st_ino;
  FileIdentity named;
  journal.belongs = journalBase(text, named) && named == base;
  if (!readJournal(text, 0, journal.belongs ? &directory : nullptr, journal.text, failure)) {
    return false;
  }
  journal.seen =
      journal.text.torn ? static_cast<off_t>(journal.text.end) : static_cast<off_t>(text.size());
  recheck_ = journal.text.torn;
  const std::vector<FileIdentity>& folds = journal.text.foldedInto;
  if (journal.belongs || journal.text.records == 0 ||
      std::find(folds.begin(), folds.end(), base) != folds.end()) {
    return true;
  }
  journalOfOtherFile_ = true;
  failure = LoadFailure{kMalformed, 0,
                        "the journal holds changes to an earlier version of the file, which "
                        "has been replaced since; remove " +
                            journal_ + " to keep the file as it is"};
  return false;
}

// One load of the file and its journal; `replaced` when PATH became another
// file while it was read (a fold by another process), which is worth
// another try.
bool Store::loadOnce(LoadFailure& failure, bool& replaced) {
  replaced = false;
  Descriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (fd.get() < 0 || !identityOf(fd.get(), status) || !S_ISREG(status.st_mode)) {
    failure = LoadFailure{kUnreadable, 0, "cannot open the file"};
    return false;
  }
  const int copy = ::dup(fd.get());
  std::FILE* file = copy < 0 ? nullptr : ::fdopen(copy, "r");
  if (file == nullptr) {
    if (copy >= 0) ::close(copy);
    failure = LoadFailure{kUnreadable, 0, "cannot read the file"};
    return false;
  }
  // An entry of LDIF takes a hundred bytes or more.
  constexpr off_t kSmallestEntry = 100;
  auto directory = std::make_unique<engine::Directory>(*schema_);
  directory->reserve(static_cast<std::size_t>(status.st_size / kSmallestEntry));
  std::string header;
  const bool read = readDirectory(file, *directory, header, failure);
  std::fclose(file);
  if (!read) return false;
  JournalState journal;
  const bool applied = loadJournal(*directory, FileIdentity::of(status), journal, failure);
  struct stat now {};
  replaced = ::fstatat(folder_, name_.c_str(), &now, 0) != 0 ||
             !(FileIdentity::of(now) == FileIdentity::of(status));
  if (!applied || replaced) return false;
  directory_ = std::move(directory);
  header_ = std::move(header);
  loaded_ = Identity::of(status);
  journalState_ = std::move(journal);
  readOnly_ = !writable(path_, status);
  return true;
}

// A writer that folds the journal renames the new file over PATH and then
// replaces the journal: a load between the two finds the new file with the
// old journal, which names the file before. It is read again once the
// writer is done (a few milliseconds), as it is when PATH was replaced
// while it was read; a journal that still names another file after that
// was left by a person's edit.
bool Store::load(LoadFailure& failure) {
  constexpr int kTries = 8;
  bool replaced = false;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    journalOfOtherFile_ = false;
    if (loadOnce(failure, replaced)) return true;
    if (!replaced && !journalOfOtherFile_) return false;
    if (journalOfOtherFile_) std::this_thread::sleep_for(std::chrono::milliseconds(1 << attempt));
  }
  return false;
}

std::unique_ptr<Store> Store::open(const std::string& path,
                                   std::shared_ptr<const engine::Schema> schema,
                                   LoadFailure& failure) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    failure = LoadFailure{kUnreadable, 0, "no such file"};
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store());
  store->schema_ = std::move(schema);
  store->path_ = resolved;
  store->name_ = store->path_.substr(store->path_.rfind('/') + 1);
  store->journal_ = store->path_ + ".journal";
  const std::string folder = folderOf(store->path_);
  store->folder_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (store->folder_ < 0) {
    failure = LoadFailure{kUnreadable, 0, "cannot open the file's folder"};
    return nullptr;
  }
  store->watchFolder(folder);
  if (!store->load(failure)) return nullptr;
  return store;
}

// True unless the watch on the folder says nothing happened in it since the
// last look: then the file cannot have changed. Without a watch, always.
bool Store::folderChanged() {
  if (watch_ < 0) return true;
  alignas(inotify_event) char events[4096];
  bool changed = false;
  while (::read(watch_, events, sizeof events) > 0) changed = true;
  return changed;
}

// Applies the records appended to the journal since the last look, or the
// whole of a journal that has appeared since and names the loaded file;
// false when they cannot be read or applied (the directory then holds the
// records before the one at fault, a state the journal passed through).
bool Store::readJournalTail() {
  Descriptor fd(::openat(folder_, (name_ + ".journal").c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  JournalState& known = journalState_;
  if (fd.get() < 0 || !identityOf(fd.get(), status)) return false;
  const bool appeared = !known.present;
  if (!appeared && (status.st_dev != known.device || status.st_ino != known.inode)) return false;
  const std::size_t from = appeared ? 0 : known.text.end;
  std::string tail;
  if (!readFrom(fd.get(), static_cast<off_t>(from), tail)) return false;
  if (appeared) {
    FileIdentity named;
    const FileIdentity base{loaded_.device, loaded_.inode, loaded_.size, loaded_.modified};
    if (!journalBase(tail, named) || !(named == base)) return false;
    known = JournalState{true, true, status.st_dev, status.st_ino, 0, {}};
  }
  LoadFailure failure;
  if (!readJournal(tail, from, directory_.get(), known.text, failure)) return false;
  recheck_ = known.text.torn;
  known.seen = static_cast<off_t>(recheck_ ? known.text.end : from + tail.size());
  return true;
}

// Brings the directory up to PATH and its journal as they are now: nothing
// when neither changed, the journal's new records when only they are new,
// a whole load otherwise. 0 or the status of the failed load.
VQStatus Store::catchUp() {
  recheck_ = false;
  LoadFailure& failure = refreshFailure_;
  failure = LoadFailure{};
  struct stat status {};
  if (::fstatat(folder_, name_.c_str(), &status, 0) != 0) {
    failure = LoadFailure{kUnreadable, 0, errno == ENOENT ? "no such file" : systemText(errno)};
    return kUnreadable;
  }
  if (!(Identity::of(status) == loaded_)) return load(failure) ? 0 : failure.status;
  struct stat journal {};
  const bool present = ::fstatat(folder_, (name_ + ".journal").c_str(), &journal, 0) == 0;
  const JournalState& known = journalState_;
  if (!present && !known.present) return 0;
  const bool same = present && known.present && journal.st_dev == known.device &&
                    journal.st_ino == known.inode && journal.st_size >= known.seen;
  if (same && journal.st_size == known.seen) return 0;
  const bool appeared = present && !known.present;
  if (((same && known.belongs) || appeared) && readJournalTail()) return 0;
  return load(failure) ? 0 : failure.status;
}

VQStatus Store::refresh() {
  if (!recheck_ && !folderChanged()) return 0;
  return catchUp();
}

namespace {

// A new file `temporary` (one a writer that died left goes first) with
// PATH's owner, group and mode, holding `text`, flushed; 0 or the status
// with `failure`, and no file left.
VQStatus writeTemporary(int folder, const std::string& temporary, const std::string& text,
                        const struct stat& original, Descriptor& fd, WriteFailure& failure) {
  const std::string name = temporary.substr(temporary.rfind('/') + 1);
  if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
    return failedWithErrno(failure, temporary, errno);
  }
  Descriptor made(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (made.get() < 0) return failedWithErrno(failure, temporary, errno);
  int error = keepOwnerAndMode(made.get(), original);
  if (error != 0) {
    ::unlink(temporary.c_str());
    return failed(failure, kWriteFailed, temporary,
                  "the file's owner and group cannot be kept: " + systemText(error));
  }
  if (!writeAll(made.get(), text) || ::fsync(made.get()) != 0) {
    error = errno;
    ::unlink(temporary.c_str());
    return failedWithErrno(failure, temporary, error);
  }
  fd.reset(made.release());
  return 0;
}

// Renames `temporary` over `target` and flushes the folder; 0 or errno.
int putInPlace(const std::string& temporary, const std::string& target) {
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return error;
  }
  Descriptor folder(::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  return 0;
}

// The journal's size at which a writer folds it into the file.
std::size_t foldBound(off_t fileSize) {
  constexpr std::size_t kSmallest = std::size_t(1) << 20;
  const std::size_t set = foldThreshold.load();
  if (set != 0) return set;
  return std::max(kSmallest, static_cast<std::size_t>(fileSize) / 4);
}

}  // namespace

// A new journal naming the loaded file, in place of any other.
VQStatus Store::replaceJournal(const struct stat& file, WriteFailure& failure) {
  const FileIdentity base{loaded_.device, loaded_.inode, loaded_.size, loaded_.modified};
  const std::string header = journalHeader(base);
  Descriptor fd;
  if (VQStatus s = writeTemporary(folder_, journal_ + ".tmp", header, file, fd, failure); s != 0) {
    return s;
  }
  struct stat status {};
  if (const int error = putInPlace(journal_ + ".tmp", journal_); error != 0) {
    return failedWithErrno(failure, journal_, error);
  }
  if (!identityOf(fd.get(), status)) return failedWithErrno(failure, journal_, errno);
  journalState_ = JournalState{true, true, status.st_dev, status.st_ino, status.st_size, {}};
  journalState_.text.base = base;
  journalState_.text.end = header.size();
  return 0;
}

// The frame at the end of the journal (a new journal first, when there is
// none that names the loaded file), flushed.
VQStatus Store::appendToJournal(const std::string& frame, const struct stat& file,
                                WriteFailure& failure) {
  if (!journalState_.present || !journalState_.belongs) {
    if (VQStatus s = replaceJournal(file, failure); s != 0) return s;
  }
  if (VQStatus s = appendJournalText(frame, failure); s != 0) return s;
  ++journalState_.text.records;
  return 0;
}

// `text` after the last whole frame of the journal, flushed. A tail a crash
// cut short is cut off first; a failed append is cut off too.
VQStatus Store::appendJournalText(const std::string& text, WriteFailure& failure) {
  Descriptor fd(::open(journal_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return failedWithErrno(failure, journal_, errno);
  const auto end = static_cast<off_t>(journalState_.text.end);
  int error = ::ftruncate(fd.get(), end) == 0 ? 0 : errno;
  if (error == 0) error = writeFlushed(fd.get(), text, end);
  if (error != 0) {
    (void)::ftruncate(fd.get(), end);
    return failedWithErrno(failure, journal_, error);
  }
  journalState_.text.end += text.size();
  journalState_.text.torn = false;
  journalState_.seen = static_cast<off_t>(journalState_.text.end);
  return 0;
}

// The whole directory written to PATH.tmp and renamed over PATH, with the
// fold noted in the journal before the rename; `written` is PATH's identity
// after the rename, which changes its ctime.
VQStatus Store::writeFile(const std::string& text, const struct stat& original, Identity& written,
                          WriteFailure& failure) {
  const std::string temporary = path_ + ".tmp";
  Descriptor fd;
  if (VQStatus s = writeTemporary(folder_, temporary, text, original, fd, failure); s != 0) {
    return s;
  }
  reached(WriteStep::kTemporaryFlushed);
  struct stat status {};
  if (!identityOf(fd.get(), status)) return failedWithErrno(failure, path_, errno);
  if (journalState_.present && journalState_.belongs) {
    if (VQStatus s = appendJournalText(foldMarker(FileIdentity::of(status)), failure); s != 0) {
      ::unlink(temporary.c_str());
      return s;
    }
  }
  reached(WriteStep::kFoldNoted);
  if (const int error = putInPlace(temporary, path_); error != 0) {
    return failedWithErrno(failure, path_, error);
  }
  reached(WriteStep::kRenamed);
  if (!identityOf(fd.get(), status)) return failedWithErrno(failure, path_, errno);
  written = Identity::of(status);
  return 0;
}

// Once the journal is large, the directory written whole and a new journal
// begun. The change that made it large is in the journal already: a fold
// that fails is tried again at the next change.
void Store::foldIfLarge(const struct stat& file) {
  if (journalState_.text.end < foldBound(loaded_.size)) return;
  WriteFailure ignored;
  Identity written;
  if (writeFile(directoryText(*directory_, nullptr, header_), file, written, ignored) != 0) return;
  loaded_ = written;
  journalState_.belongs = false;  // it names the file before the fold
  (void)replaceJournal(file, ignored);
}

VQStatus Store::change(const Prepare& prepare, int64_t timeoutSeconds, WriteFailure& failure) {
  struct stat status {};
  if (::stat(path_.c_str(), &status) != 0) return failedWithErrno(failure, path_, errno);
  if (const std::string why = ownerCannotBeKept(status); !why.empty()) {
    return failed(failure, kWriteFailed, path_, why);
  }
  WriterLock lock;
  if (VQStatus s = lock.acquire(path_, status, timeoutSeconds, failure); s != 0) return s;
  // Under the lock: the file and the journal as the last writer left them.
  if (VQStatus s = catchUp(); s != 0) return s;
  if (::stat(path_.c_str(), &status) != 0) return kUnreadable;
  engine::PendingChange pending;
  if (VQStatus s = prepare(*directory_, pending); s != 0) return s;
  if (!writable(path_, status)) return kernelStatus(Code::kUnwillingToPerform);
  reached(WriteStep::kChecked);
  if (VQStatus s = appendToJournal(journalFrame(*directory_, pending), status, failure); s != 0) {
    return s;
  }
  reached(WriteStep::kJournalWritten);
  engine::apply(*directory_, std::move(pending));
  foldIfLarge(status);
  return 0;
}

}  // namespace vqeldap::ldif
