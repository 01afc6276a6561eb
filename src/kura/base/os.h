#pragma once

// The operating-system layer: the only code of the engine that talks to the system's file
// services. It gives the file layer what the engine's sharing protocol needs, on POSIX:
//
// - Share modes. A shared opener holds an open-file-description (OFD) read lock on the
//   byte at kShareLockOffset, an exclusive opener (and a creator) a write lock there, so an
//   exclusive opener excludes every other opener and a shared one excludes exclusive
//   ones, in this process and in others. (An exclusive opener of a file it can only read
//   cannot hold a write lock; it marks the next byte instead, see TakeShareLock in
//   os.cpp.) The bytes lie far above every region the engine locks (those all sit just
//   below and around 4 GiB).
// - The read-only attribute: the owner-write bit of the file mode (not access(), which
//   always answers "writable" for root).
// - Byte-range locks with the semantics the engine relies on: exclusive and non-blocking.
//   Here only the OFD half is provided (OSLockRange); the per-file table that makes a
//   second lock through the same process or the same handle fail lives in the physical
//   file object.
// - Case-insensitive names: when a path does not exist as written, each missing
//   component is looked up in its directory ignoring ASCII case.
// - Errors: every failing call leaves its errno in a per-thread "last OS error" and is
//   reported as a negated engine error code (OSMapError).
//
// Every system call goes through one table of function pointers (OSApi()) that a test can
// replace to inject failures: I/O errors, short writes, ENOSPC, refusals to open.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kura {

// The system calls the engine makes. Replace entries (see TOSApiOverride) only while no
// other thread is inside the engine.
struct TOSApi {
  int (*Open)(const char* path, int flags, mode_t mode);
  int (*Close)(int fd);
  ssize_t (*PRead)(int fd, void* buffer, size_t count, off_t offset);
  ssize_t (*PWrite)(int fd, const void* buffer, size_t count, off_t offset);
  int (*FTruncate)(int fd, off_t length);
  int (*FSync)(int fd);
  // fcntl with a struct flock argument (F_OFD_SETLK, F_OFD_GETLK).
  int (*FcntlLock)(int fd, int command, struct flock* lock);
  int (*FStat)(int fd, struct stat* status);
  int (*Stat)(const char* path, struct stat* status);
  // Moves a file; fails with EEXIST when the destination exists (never replaces it).
  int (*RenameNoReplace)(const char* from, const char* to);
  int (*Unlink)(const char* path);
  DIR* (*OpenDir)(const char* path);
  struct dirent* (*ReadDir)(DIR* directory);
  int (*CloseDir)(DIR* directory);
};

// The live table. Starts with the real system calls.
TOSApi& OSApi();
// The table of the real system calls, for tests that wrap them.
const TOSApi& OSRealApi();

// Replaces the live table for the lifetime of the object and restores the previous one.
class TOSApiOverride {
public:
  explicit TOSApiOverride(const TOSApi& replacement);
  ~TOSApiOverride();
  TOSApiOverride(const TOSApiOverride&) = delete;
  TOSApiOverride& operator=(const TOSApiOverride&) = delete;

private:
  TOSApi FSaved;
};

// The byte whose OFD lock carries the share mode of an open file (2^62); the byte after it
// marks an exclusive opener that could only open the file for reading.
constexpr int64_t kShareLockOffset = int64_t{1} << 62;

// The errno of the most recent failed call of this layer on this thread (0 after
// OSSetLastError(0)). Engine errors raised for OS failures carry it as OSErrorCode.
int32_t OSLastError();
void OSSetLastError(int32_t error);

// The engine code for an errno value: ENOENT, ENOTDIR KURA_OSENOENT; EMFILE, ENFILE
// KURA_OSEMFILE; EACCES, EPERM, EROFS, EAGAIN (a share-mode conflict) KURA_OSEACCES;
// EBADF KURA_OSEBADF; ENOMEM KURA_OSENOMEM; ENODEV, ENXIO KURA_OSENODEV; EXDEV
// KURA_OSENOTSAM; anything else KURA_OSUNKNOWN.
uint16_t OSMapError(int error);

// The path of an existing entry that matches `path` when its missing components are
// looked up ignoring ASCII case. When the entry does not exist, the directory components
// that do exist (in any case) are resolved and the rest is kept as written, which is also
// the name a new file gets.
std::string OSResolvePath(const std::string& path);

// What a physical file looks like on disk.
struct TOSFileInfo {
  bool Exists = false;
  bool IsDirectory = false;
  bool ReadOnly = false;  // the owner-write bit is clear
};

// Status of the (case-insensitively resolved) path. Returns 0, or a negated engine code
// when the status cannot be read; a missing entry gives -KURA_OSENOENT.
int32_t OSGetFileInfo(const std::string& path, TOSFileInfo& info);

// Opens an existing file. `readWrite` asks for write access; `exclusive` takes the
// exclusive share lock instead of the shared one. On success stores the descriptor and
// the path actually opened and returns 0; otherwise closes what it opened and returns a
// negated engine code (-KURA_OSEACCES for a share-mode conflict).
int32_t OSOpenFile(const std::string& path, bool readWrite, bool exclusive, int& fd, std::string& openedPath);

// Creates a file (or empties an existing one of the same name in any case) for reading
// and writing with the exclusive share lock. An existing file that is open elsewhere or
// carries the read-only attribute is left alone and gives -KURA_OSEACCES.
int32_t OSCreateFile(const std::string& path, int& fd, std::string& createdPath);

// Closes a descriptor (releasing its OFD locks). Errors are ignored: nothing can be done.
void OSCloseFile(int fd);

// Reads up to `count` bytes at `offset`; fewer only at end of file. Returns the count read
// or -1 (OSLastError says why).
int64_t OSReadAt(int fd, int64_t offset, void* buffer, int64_t count);
// Writes `count` bytes at `offset`. Returns the count written, which is less than `count`
// when the device filled up (then OSLastError is ENOSPC), or -1.
int64_t OSWriteAt(int fd, int64_t offset, const void* buffer, int64_t count);
// Cuts or extends the file to `size` bytes.
bool OSTruncate(int fd, int64_t size);
bool OSFlush(int fd);
// Size of an open file, or -1.
int64_t OSGetSize(int fd);

// Takes (lock) or releases an OFD lock on [offset, offset + length). A write lock when
// `writeLock`, else a read lock (a descriptor opened read only cannot carry a write lock).
// Non-blocking: false at once when another open file description holds an overlapping
// lock. Locks beyond end of file work and never change the file.
bool OSLockRange(int fd, bool lock, bool writeLock, int64_t offset, int64_t length);

// Files named by an exact path, without share locks and without the case-insensitive
// lookup: for the engine's own side files (a table's rollback journal), whose path is made
// from a table file's resolved path and which are only touched under the table's locks.
// Opens (and with `create` creates) the file for reading and writing, or only for reading
// when not `writable`; 0 or a negated code.
int32_t OSOpenExact(const std::string& path, bool create, int& fd, bool writable = true);
// The size of the file at `path`; -1 when there is no such file, -2 when its status cannot
// be read (OSLastError says why).
int64_t OSSizeOfPath(const std::string& path);
// Removes the file at `path`; 0 (also when it was not there) or a negated code.
int32_t OSDeleteExact(const std::string& path);
// Makes the directory entries of `directory` durable (a created or removed file survives a
// power loss); false when the system refuses.
bool OSFlushDirectory(const std::string& directory);

// Deletes a file that no process has open. Returns 0 or a negated engine code; a file
// that another opener holds gives -KURA_OSEACCES.
int32_t OSDeleteFile(const std::string& path);
// Moves a file that no process has open to `newPath`; an existing destination is not
// replaced. Returns 0 or a negated engine code.
int32_t OSMoveFile(const std::string& path, const std::string& newPath);

}  // namespace kura
