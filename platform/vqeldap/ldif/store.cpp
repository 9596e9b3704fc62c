#include "ldif/store.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

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
constexpr VQStatus kWriteFailed = kernelStatus(Code::kOther);
constexpr VQStatus kLockTimeout = kernelStatus(Code::kTimeout);

// Read by every writer on every thread; set by tests.
std::atomic<WriteStepHook> hook{nullptr};

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

bool Store::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

namespace {

bool identityOf(int fd, struct stat& status) {
  return ::fstat(fd, &status) == 0;
}

}  // namespace

bool Store::load(int fd, LoadFailure& failure) {
  struct stat status {};
  const int copy = ::dup(fd);
  std::FILE* file = copy < 0 ? nullptr : ::fdopen(copy, "r");
  if (file == nullptr || !identityOf(fd, status)) {
    if (file != nullptr) std::fclose(file);
    if (file == nullptr && copy >= 0) ::close(copy);
    failure = LoadFailure{kUnreadable, 0, "cannot read the file"};
    return false;
  }
  // An entry of LDIF takes a hundred bytes or more.
  constexpr off_t kSmallestEntry = 100;
  auto directory = std::make_unique<engine::Directory>(engine::Schema::standard());
  directory->reserve(static_cast<std::size_t>(status.st_size / kSmallestEntry));
  std::string header;
  const bool read = readDirectory(file, *directory, header, failure);
  std::fclose(file);
  if (!read) return false;
  directory_ = std::move(directory);
  header_ = std::move(header);
  loaded_ = Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
  readOnly_ = !writable(path_, status);
  return true;
}

std::unique_ptr<Store> Store::open(const std::string& path, LoadFailure& failure) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    failure = LoadFailure{kUnreadable, 0, "no such file"};
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store());
  store->path_ = resolved;
  store->name_ = store->path_.substr(store->path_.rfind('/') + 1);
  const std::string folder = folderOf(store->path_);
  store->folder_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (store->folder_ < 0) {
    failure = LoadFailure{kUnreadable, 0, "cannot open the file's folder"};
    return nullptr;
  }
  store->watchFolder(folder);
  Descriptor fd(::open(resolved, O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    failure = LoadFailure{kUnreadable, 0, "cannot open the file"};
    return nullptr;
  }
  if (!store->load(fd.get(), failure)) return nullptr;
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

VQStatus Store::refresh() {
  if (!folderChanged()) return 0;
  // Looked up in the folder held open, so that no whole path is walked.
  struct stat status {};
  if (::fstatat(folder_, name_.c_str(), &status, 0) != 0) return kUnreadable;
  const Identity current{status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                         status.st_ctim};
  if (current == loaded_) return 0;
  Descriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  LoadFailure failure;
  if (fd.get() < 0) return kUnreadable;
  return load(fd.get(), failure) ? 0 : failure.status;
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

VQStatus Store::write(const std::string& text, const struct stat& original, Identity& written,
                      WriteFailure& failure) {
  const std::string temporary = path_ + ".tmp";
  // A file left by a writer that died goes first; it may be another's.
  if (::unlinkat(folder_, (name_ + ".tmp").c_str(), 0) != 0 && errno != ENOENT) {
    return failedWithErrno(failure, temporary, errno);
  }
  Descriptor fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.get() < 0) return failedWithErrno(failure, temporary, errno);
  struct stat status {};
  int error = keepOwnerAndMode(fd.get(), original);
  if (error != 0) {
    ::unlink(temporary.c_str());
    return failed(failure, kWriteFailed, path_,
                  "the file's owner and group cannot be kept: " + systemText(error));
  }
  if (!writeAll(fd.get(), text) || ::fsync(fd.get()) != 0) {
    error = errno;
    ::unlink(temporary.c_str());
    return failedWithErrno(failure, path_, error);
  }
  reached(WriteStep::kTemporaryFlushed);
  if (::rename(temporary.c_str(), path_.c_str()) != 0) {
    error = errno;
    ::unlink(temporary.c_str());
    return failedWithErrno(failure, path_, error);
  }
  reached(WriteStep::kRenamed);
  // The identity after the rename, which changes the file's ctime: taken
  // before it, the writer would take its own file for another's and load it
  // again after every change.
  if (!identityOf(fd.get(), status)) return failedWithErrno(failure, path_, errno);
  Descriptor folder(::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  written = Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
  return 0;
}

VQStatus Store::change(const Prepare& prepare, int64_t timeoutSeconds, WriteFailure& failure) {
  struct stat status {};
  if (::stat(path_.c_str(), &status) != 0) return failedWithErrno(failure, path_, errno);
  if (const std::string why = ownerCannotBeKept(status); !why.empty()) {
    return failed(failure, kWriteFailed, path_, why);
  }
  WriterLock lock;
  if (VQStatus s = lock.acquire(path_, status, timeoutSeconds, failure); s != 0) return s;
  // Under the lock: the file as the last writer left it.
  Descriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 || !identityOf(fd.get(), status)) return kUnreadable;
  const Identity current{status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                         status.st_ctim};
  if (!(current == loaded_)) {
    LoadFailure loadFailure;
    if (!load(fd.get(), loadFailure)) return loadFailure.status;
  }
  engine::PendingChange pending;
  if (VQStatus s = prepare(*directory_, pending); s != 0) return s;
  if (!writable(path_, status)) return kernelStatus(Code::kUnwillingToPerform);
  Identity written;
  if (VQStatus s = write(directoryText(*directory_, &pending, header_), status, written, failure);
      s != 0) {
    return s;
  }
  engine::apply(*directory_, std::move(pending));
  loaded_ = written;
  return 0;
}

}  // namespace vqeldap::ldif
