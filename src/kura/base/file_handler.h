#pragma once

// One opener of one file: the base of the data, index and BLOB files, and used bare for
// temporary files. It keeps the file's name and flags, asks the registry (TFileList) to
// open, create, delete, rename or copy the file, and turns every failure into an
// EKuraEngineError whose table name is FileName (and whose OSErrorCode is the system's
// error when the system failed).
//
// Lifecycle: closed, then open (IsOpen), then closed again; Open on an open handler does
// nothing; the destructor closes.
//
// Threads: a sequence of Seek then ReadBuffer/WriteBuffer must be bracketed with
// BeginAccess/EndAccess (or a TFileAccess guard) so that another thread using the same
// file object cannot move the position in between. ReadAt/WriteAt do the bracketing
// themselves and transfer with one positional call.

#include <cstdint>
#include <string>
#include <vector>

#include "kura/base/abstract_file.h"
#include "kura/base/file_list.h"

namespace kura {

// The most that one flush writes in one call: enough to keep the syscall count low, small
// enough that the staging buffer of a large flush stays out of the way.
constexpr size_t kMaxWriteBytes = 256 * 1024;

class TFileHandler;

// Sees every change of a file's bytes before it is made, through the handler that makes
// it: a write, or a cut of the file. A table's rollback journal saves the bytes a commit
// is about to overwrite here.
class TFileChangeGuard {
public:
  virtual ~TFileChangeGuard() = default;
  // `count` bytes are about to be written at `offset` (count >= 0), or the file is about
  // to be cut at `offset` (count < 0). Raising refuses the change: it is not made.
  virtual void BeforeChange(TFileHandler& file, int64_t offset, int64_t count) = 0;
};

class TFileHandler {
public:
  explicit TFileHandler(std::string fileName = {}, bool inMemory = false);
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Opens the file with the handler's flags (Exclusive, Temporary, InMemory). Nothing
  // when already open. Raises KURA_OSENOENT when the file does not exist, KURA_OSEACCES
  // when its share mode refuses this opener, or the mapped system error. Sets
  // OpenedReadOnly and ReadOnlyAttribute.
  virtual void Open();
  // Closes this opener. Never raises; nothing when not open.
  virtual void Close();
  // Creates (or empties) the file and opens it exclusively. Raises KURA_OSEACCES when the
  // file is open (here or elsewhere) or read only.
  virtual void Create();
  // Deletes the file by name. Raises KURA_OSEACCES when it is open, KURA_OSENOENT for an
  // unknown memory file.
  virtual void Delete();
  // Renames the file by name; on success FileName becomes newName. Raises as Delete.
  virtual void Rename(const std::string& newName);
  // Copies this open file into destName (created, not temporary) / the file sourceName
  // (opened exclusively) into this open file. Nothing when not open. See
  // TFileList::CopyFileTo for the progress rule.
  virtual void CopyTo(const std::string& destName, bool destInMemory, int32_t step = 0,
                      const TCopyProgress& progress = {}, void* userData = nullptr);
  virtual void CopyFrom(const std::string& sourceName, bool sourceInMemory, int32_t step = 0,
                        const TCopyProgress& progress = {}, void* userData = nullptr);
  // Reads `count` bytes at the current position and returns the count read. Raises
  // KURA_READERR when fewer were read, unless allowShort.
  virtual int32_t ReadBuffer(void* buffer, int32_t count, bool allowShort = false);
  // Writes `count` bytes at the current position; raises KURA_WRITEERR when not all were
  // written. A count of 0 cuts the file at the current position.
  virtual void WriteBuffer(const void* buffer, int32_t count);
  // Pushes written data to stable storage; raises KURA_WRITEERR when that fails. Nothing
  // when not open.
  virtual void Flush();

  // Moves this opener's position (origin: TSeekOrigin) and returns it; 0 when not open,
  // -1 when the position would lie before the start.
  int64_t Seek(int32_t origin, int64_t offset);
  // The file's size; this opener's position is left where it was.
  int64_t GetFileSize();
  // Locks (lock) or unlocks [offset, offset + length). Non-blocking; false when the range
  // overlaps a lock held by anyone (this handle included), when unlocking a range that is
  // not locked, or when not open.
  bool LockRange(bool lock, int64_t length, int64_t offset);
  // Whether the file exists (listed, or on disk for a physical file).
  bool FileExists();
  // The operating system's path of the open file (the name as found on disk, which may
  // differ from FileName in letter case); empty when closed or in memory.
  std::string StoragePath() const;
  // Enter / leave the file object's lock (nothing when not open). Recursive; Close
  // releases what the handler still holds.
  void BeginAccess();
  void EndAccess();

  // Positional helpers: Seek(soFromBeginning, offset) and ReadBuffer / WriteBuffer as one
  // step under the file's lock (pread/pwrite for physical files). The position ends after
  // the bytes transferred. Raise as ReadBuffer / WriteBuffer (also when not open).
  int32_t ReadAt(int64_t offset, void* buffer, int32_t count, bool allowShort = false);
  void WriteAt(int64_t offset, const void* buffer, int32_t count);

  // The file is a TMemoryFile rather than a TPhysicalFile.
  bool InMemory = false;
  // The shared file object; nullptr while closed. Owned by the registry.
  TAbstractFile* FileObject = nullptr;
  // Full path (or in-memory name) of the file.
  std::string FileName;
  // This opener's handle number inside the file object (0 while closed).
  int32_t HandleId = 0;
  // Open without sharing.
  bool Exclusive = false;
  // Set by Open: the file could only be opened for reading.
  bool OpenedReadOnly = false;
  // Set by Open: the file carries the read-only attribute.
  bool ReadOnlyAttribute = false;
  bool IsOpen = false;
  // A physical temporary file vanishes when its last handle closes.
  bool Temporary = false;
  // Told before every write and cut made through this handler (nullptr: nobody). Not
  // owned.
  TFileChangeGuard* ChangeGuard = nullptr;

protected:
  // Raises `code` with FileName as the table name and the system's last error.
  [[noreturn]] void RaiseFileError(int32_t code) const;

private:
  // The file objects whose lock BeginAccess took, innermost last.
  std::vector<TAbstractFile*> FAccessHeld;
};

// Holds a handler's file lock for a scope (BeginAccess / EndAccess).
class TFileAccess {
public:
  explicit TFileAccess(TFileHandler& handler) : FHandler(handler) { FHandler.BeginAccess(); }
  ~TFileAccess() { FHandler.EndAccess(); }
  TFileAccess(const TFileAccess&) = delete;
  TFileAccess& operator=(const TFileAccess&) = delete;

private:
  TFileHandler& FHandler;
};

}  // namespace kura
