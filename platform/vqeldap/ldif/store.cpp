#include "ldif/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/status.h"

namespace vqeldap::ldif {

namespace {

constexpr VQStatus kUnreadable = kernelStatus(Code::kServerDown);
constexpr VQStatus kWriteFailed = kernelStatus(Code::kOther);

WriteStepHook& hookSlot() {
  static WriteStepHook hook = nullptr;
  return hook;
}

void reached(WriteStep step) {
  if (WriteStepHook hook = hookSlot()) hook(step);
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
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

// The exclusive lock on the file that is at PATH while it is held.
class FileLock {
 public:
  bool acquire(const std::string& path) {
    for (;;) {
      Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      if (fd.get() < 0) return false;
      int locked = 0;
      while ((locked = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
      }
      if (locked != 0) return false;
      struct stat held {
      }, current{};
      if (::fstat(fd.get(), &held) != 0) return false;
      if (::stat(path.c_str(), &current) == 0 && current.st_dev == held.st_dev &&
          current.st_ino == held.st_ino) {
        fd_ = fd.release();
        return true;
      }
      // Another writer renamed a new file over PATH meanwhile: lock that one.
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace

WriteStepHook setWriteStepHook(WriteStepHook hook) {
  WriteStepHook previous = hookSlot();
  hookSlot() = hook;
  return previous;
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
  auto directory = std::make_unique<Directory>(Schema::standard());
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

VQStatus Store::write(const std::string& text, Identity& written) {
  struct stat original {};
  if (::stat(path_.c_str(), &original) != 0) return kWriteFailed;
  const std::string temporary = path_ + ".tmp";
  Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                       original.st_mode & 07777));
  if (fd.get() < 0) return kWriteFailed;
  // The mode asked for at creation passes through the umask; the new file
  // keeps the old one's.
  struct stat status {};
  if (::fchmod(fd.get(), original.st_mode & 07777) != 0 || !writeAll(fd.get(), text) ||
      ::fsync(fd.get()) != 0 || !identityOf(fd.get(), status)) {
    ::unlink(temporary.c_str());
    return kWriteFailed;
  }
  reached(WriteStep::kTemporaryFlushed);
  if (::rename(temporary.c_str(), path_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return kWriteFailed;
  }
  reached(WriteStep::kRenamed);
  Descriptor folder(::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  written = Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
  return 0;
}

VQStatus Store::change(const Prepare& prepare) {
  FileLock lock;
  if (!lock.acquire(path_)) return kUnreadable;
  struct stat status {};
  if (!identityOf(lock.fd(), status)) return kUnreadable;
  const Identity current{status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                         status.st_ctim};
  if (!(current == loaded_)) {
    LoadFailure failure;
    if (!load(lock.fd(), failure)) return failure.status;
  }
  PendingChange pending;
  if (VQStatus s = prepare(*directory_, pending); s != 0) return s;
  if (!writable(path_, status)) return kernelStatus(Code::kUnwillingToPerform);
  Identity written;
  if (VQStatus s = write(directoryText(*directory_, &pending, header_), written); s != 0) return s;
  apply(*directory_, std::move(pending));
  loaded_ = written;
  return 0;
}

}  // namespace vqeldap::ldif
