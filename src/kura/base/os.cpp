#include "kura/base/os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unistd.h>

#include "kura/base/engine_error.h"

namespace kura {

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealFcntlLock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }
int RealRenameNoReplace(const char* from, const char* to) {
  int result = ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
  if (result == 0 || (errno != EINVAL && errno != ENOSYS)) return result;
  // A file system without RENAME_NOREPLACE: check, then move (the window between the two
  // is accepted there).
  struct stat status;
  if (::lstat(to, &status) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from, to);
}

const TOSApi kRealApi = {
    RealOpen, ::close, ::pread, ::pwrite, ::ftruncate, ::fsync, RealFcntlLock, ::fstat, ::stat,
    RealRenameNoReplace, ::unlink, ::opendir, ::readdir, ::closedir,
};

TOSApi& LiveApi() {
  static TOSApi api = kRealApi;
  return api;
}

thread_local int32_t tLastError = 0;

// Closes a descriptor on every way out (errno is kept for the caller's report) unless it
// was released to the caller.
class TDescriptor {
public:
  explicit TDescriptor(int fd) : Fd(fd) {}
  ~TDescriptor() {
    if (Fd < 0) return;
    const int saved = errno;
    OSApi().Close(Fd);
    errno = saved;
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Release() {
    const int fd = Fd;
    Fd = -1;
    return fd;
  }
  int Fd;
};

// Records errno as the last OS error and returns the negated engine code for it.
int32_t Fail() {
  const int error = errno;
  tLastError = error;
  return -static_cast<int32_t>(OSMapError(error));
}

int32_t FailWith(int error) {
  errno = error;
  return Fail();
}

bool EqualIgnoringAsciiCase(const char* a, const std::string& b) {
  size_t i = 0;
  for (; a[i] != '\0'; ++i) {
    if (i >= b.size()) return false;
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == b.size();
}

// The entry of `directory` whose name equals `name` ignoring ASCII case; an exact match
// wins over a case-insensitive one. Empty when there is none.
std::string FindEntryIgnoringCase(const std::string& directory, const std::string& name) {
  DIR* dir = OSApi().OpenDir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return {};
  std::string found;
  while (struct dirent* entry = OSApi().ReadDir(dir)) {
    if (name == entry->d_name) {
      found = name;
      break;
    }
    if (found.empty() && EqualIgnoringAsciiCase(entry->d_name, name)) found = entry->d_name;
  }
  OSApi().CloseDir(dir);
  return found;
}

bool PathExists(const std::string& path) {
  struct stat status;
  return OSApi().Stat(path.c_str(), &status) == 0;
}

// Whether another open file description holds a lock on the byte at `offset` that a write
// lock would conflict with. Returns 0 (free), 1 (held) or a negated code.
int32_t ByteHeldByOthers(int fd, int64_t offset) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = offset;
  probe.l_len = 1;
  probe.l_pid = 0;
  if (OSApi().FcntlLock(fd, F_OFD_GETLK, &probe) != 0) return Fail();
  return probe.l_type == F_UNLCK ? 0 : 1;
}

bool LockByte(int fd, short type, int64_t offset) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = 1;
  lock.l_pid = 0;
  return OSApi().FcntlLock(fd, F_OFD_SETLK, &lock) == 0;
}

// Takes the share-mode locks of a freshly opened descriptor (released when it closes).
// Returns 0 or a negated code; a refusal by another opener's share mode is -11013.
//
//   opener               share byte S       byte S + 1         checks
//   shared               read lock          -                  S + 1 free
//   exclusive, writable  write lock         -                  (the write lock itself)
//   exclusive, read only read lock          read lock          S free of others
//
// A descriptor opened read only cannot carry a write lock, so its exclusive opener marks
// S + 1 instead and shared openers look there. Each side takes its own lock before it
// looks at the other's, so of two openers racing each other at least one sees the other.
int32_t TakeShareLock(int fd, bool readWrite, bool exclusive) {
  const auto lockFailure = [] {
    if (errno == EAGAIN || errno == EACCES) return FailWith(EAGAIN);
    return Fail();
  };
  if (exclusive && readWrite) return LockByte(fd, F_WRLCK, kShareLockOffset) ? 0 : lockFailure();
  if (exclusive) {
    if (!LockByte(fd, F_RDLCK, kShareLockOffset + 1)) return lockFailure();
    const int32_t held = ByteHeldByOthers(fd, kShareLockOffset);
    if (held < 0) return held;
    if (held > 0) return FailWith(EAGAIN);
    return LockByte(fd, F_RDLCK, kShareLockOffset) ? 0 : lockFailure();
  }
  if (!LockByte(fd, F_RDLCK, kShareLockOffset)) return lockFailure();
  const int32_t held = ByteHeldByOthers(fd, kShareLockOffset + 1);
  if (held < 0) return held;
  return held > 0 ? FailWith(EAGAIN) : 0;
}

// Whether some open file description (of any process) holds the file at `path` open
// through this layer. Returns 0 when nobody does, -11013 when somebody does, or another
// negated code when the file cannot be examined.
int32_t CheckNobodyHoldsFile(const std::string& path) {
  TDescriptor fd(OSApi().Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0));
  if (fd.Fd < 0) {
    // Cannot be examined (no read permission, a symbolic link): let the operation itself
    // decide.
    if (errno == EACCES || errno == EPERM || errno == ELOOP) return 0;
    return Fail();
  }
  const int32_t held = ByteHeldByOthers(fd.Fd, kShareLockOffset);
  if (held < 0) return held;
  return held > 0 ? FailWith(EAGAIN) : 0;
}

}  // namespace

TOSApi& OSApi() { return LiveApi(); }
const TOSApi& OSRealApi() { return kRealApi; }

TOSApiOverride::TOSApiOverride(const TOSApi& replacement) : FSaved(LiveApi()) { LiveApi() = replacement; }
TOSApiOverride::~TOSApiOverride() { LiveApi() = FSaved; }

int32_t OSLastError() { return tLastError; }
void OSSetLastError(int32_t error) { tLastError = error; }

uint16_t OSMapError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return KURA_OSENOENT;
    case EMFILE:
    case ENFILE:
      return KURA_OSEMFILE;
    case EACCES:
    case EPERM:
    case EROFS:
    case EAGAIN:  // a share-mode conflict
      return KURA_OSEACCES;
    case EBADF:
      return KURA_OSEBADF;
    case ENOMEM:
      return KURA_OSENOMEM;
    case ENODEV:
    case ENXIO:
      return KURA_OSENODEV;
    case EXDEV:
      return KURA_OSENOTSAM;
    default:
      return KURA_OSUNKNOWN;
  }
}

std::string OSResolvePath(const std::string& path) {
  if (path.empty() || PathExists(path)) return path;
  std::string resolved;
  size_t pos = 0;
  if (path[0] == '/') {
    resolved = "/";
    pos = 1;
  }
  bool missing = false;  // a component was not found: the rest stays as written
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    const std::string component = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (component.empty()) continue;
    if (!resolved.empty() && resolved.back() != '/') resolved += '/';
    if (missing || component == "." || component == ".." || PathExists(resolved + component)) {
      resolved += component;
      continue;
    }
    const std::string entry = FindEntryIgnoringCase(resolved, component);
    if (entry.empty()) {
      missing = true;
      resolved += component;
    } else {
      resolved += entry;
    }
  }
  if (!path.empty() && path.back() == '/' && (resolved.empty() || resolved.back() != '/')) resolved += '/';
  return resolved;
}

int32_t OSGetFileInfo(const std::string& path, TOSFileInfo& info) {
  info = TOSFileInfo{};
  const std::string resolved = OSResolvePath(path);
  struct stat status;
  if (OSApi().Stat(resolved.c_str(), &status) != 0) return Fail();
  info.Exists = true;
  info.IsDirectory = S_ISDIR(status.st_mode);
  info.ReadOnly = (status.st_mode & S_IWUSR) == 0;
  return 0;
}

int32_t OSOpenFile(const std::string& path, bool readWrite, bool exclusive, int& fd, std::string& openedPath) {
  fd = -1;
  openedPath = OSResolvePath(path);
  const int flags = (readWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  TDescriptor opened(OSApi().Open(openedPath.c_str(), flags, 0));
  if (opened.Fd < 0) return Fail();
  struct stat status;
  if (OSApi().FStat(opened.Fd, &status) != 0) return Fail();
  if (S_ISDIR(status.st_mode)) return FailWith(EACCES);
  if (const int32_t code = TakeShareLock(opened.Fd, readWrite, exclusive); code != 0) return code;
  fd = opened.Release();
  return 0;
}

int32_t OSCreateFile(const std::string& path, int& fd, std::string& createdPath) {
  fd = -1;
  createdPath = OSResolvePath(path);
  struct stat status;
  if (OSApi().Stat(createdPath.c_str(), &status) == 0) {
    // An existing file keeps its name and is emptied, unless it is a directory or carries
    // the read-only attribute.
    if (S_ISDIR(status.st_mode) || (status.st_mode & S_IWUSR) == 0) return FailWith(EACCES);
  }
  // Not O_TRUNC: a file that somebody holds open must survive the refused attempt.
  TDescriptor opened(OSApi().Open(createdPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (opened.Fd < 0) return Fail();
  if (const int32_t code = TakeShareLock(opened.Fd, true, true); code != 0) return code;
  if (OSApi().FTruncate(opened.Fd, 0) != 0) return Fail();
  fd = opened.Release();
  return 0;
}

void OSCloseFile(int fd) {
  if (fd >= 0) OSApi().Close(fd);
}

int64_t OSReadAt(int fd, int64_t offset, void* buffer, int64_t count) {
  if (offset < 0 || count < 0) {
    tLastError = EINVAL;
    return -1;
  }
  auto* bytes = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = OSApi().PRead(fd, bytes + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      tLastError = errno;
      return -1;
    }
    if (n == 0) break;  // end of file
    done += n;
  }
  return done;
}

int64_t OSWriteAt(int fd, int64_t offset, const void* buffer, int64_t count) {
  if (offset < 0 || count < 0) {
    tLastError = EINVAL;
    return -1;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = OSApi().PWrite(fd, bytes + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      tLastError = errno;
      return done > 0 ? done : -1;
    }
    if (n == 0) {
      // No progress and no error: the device is full.
      tLastError = ENOSPC;
      break;
    }
    done += n;
  }
  return done;
}

bool OSTruncate(int fd, int64_t size) {
  if (size < 0) {
    tLastError = EINVAL;
    return false;
  }
  while (OSApi().FTruncate(fd, size) != 0) {
    if (errno == EINTR) continue;
    tLastError = errno;
    return false;
  }
  return true;
}

bool OSFlush(int fd) {
  if (OSApi().FSync(fd) != 0) {
    tLastError = errno;
    return false;
  }
  return true;
}

int64_t OSGetSize(int fd) {
  struct stat status;
  if (OSApi().FStat(fd, &status) != 0) {
    tLastError = errno;
    return -1;
  }
  return status.st_size;
}

bool OSLockRange(int fd, bool lock, bool writeLock, int64_t offset, int64_t length) {
  if (offset < 0 || length <= 0 || offset > std::numeric_limits<int64_t>::max() - length) {
    tLastError = EINVAL;
    return false;
  }
  struct flock region {};
  region.l_type = static_cast<short>(lock ? (writeLock ? F_WRLCK : F_RDLCK) : F_UNLCK);
  region.l_whence = SEEK_SET;
  region.l_start = offset;
  region.l_len = length;
  region.l_pid = 0;
  if (OSApi().FcntlLock(fd, F_OFD_SETLK, &region) != 0) {
    tLastError = errno;
    return false;
  }
  return true;
}

int32_t OSOpenExact(const std::string& path, bool create, int& fd, bool writable) {
  fd = -1;
  const int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | (create ? O_CREAT : 0);
  int opened = -1;
  do {
    opened = OSApi().Open(path.c_str(), flags, 0666);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) return Fail();
  fd = opened;
  return 0;
}

int64_t OSSizeOfPath(const std::string& path) {
  struct stat status;
  if (OSApi().Stat(path.c_str(), &status) == 0) return status.st_size;
  if (errno == ENOENT || errno == ENOTDIR) return -1;
  tLastError = errno;
  return -2;
}

int32_t OSDeleteExact(const std::string& path) {
  if (OSApi().Unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  return Fail();
}

bool OSFlushDirectory(const std::string& directory) {
  TDescriptor dir(OSApi().Open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (dir.Fd < 0) {
    tLastError = errno;
    return false;
  }
  return OSFlush(dir.Fd);
}

int32_t OSDeleteFile(const std::string& path) {
  const std::string resolved = OSResolvePath(path);
  struct stat status;
  if (OSApi().Stat(resolved.c_str(), &status) != 0) return Fail();
  if (S_ISDIR(status.st_mode)) return FailWith(EACCES);
  if (const int32_t code = CheckNobodyHoldsFile(resolved); code != 0) return code;
  if (OSApi().Unlink(resolved.c_str()) != 0) return Fail();
  return 0;
}

int32_t OSMoveFile(const std::string& path, const std::string& newPath) {
  const std::string resolved = OSResolvePath(path);
  struct stat status;
  if (OSApi().Stat(resolved.c_str(), &status) != 0) return Fail();
  if (const int32_t code = CheckNobodyHoldsFile(resolved); code != 0) return code;
  std::string target = OSResolvePath(newPath);
  // A new name that differs from the old one only in letter case resolves to the old
  // entry itself: the move then just changes the case, to the new name as written.
  if (target == resolved) {
    target = newPath;
    if (target == resolved) return 0;
  }
  if (OSApi().RenameNoReplace(resolved.c_str(), target.c_str()) != 0) return Fail();
  return 0;
}

}  // namespace kura
