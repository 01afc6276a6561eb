#pragma once

// The shared object behind every opener of one file: the list of openers ("handles") with
// their positions, the logical size and the emulated byte-range locks. A TMemoryFile uses
// the behaviour here as it is; a TPhysicalFile puts an operating-system file under it.
//
// Contract for every operation: it runs under `Lock` (recursive), so a handler that holds
// the lock between a seek and a transfer is never interleaved by another thread.
// Operations that the registry calls (CreateStorage, OpenStorage, CloseHandle, ...) are
// called with the registry lock held first.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kura {

// Seek origins.
enum TSeekOrigin : int32_t {
  soFromBeginning = 0,
  soFromCurrent = 1,
  soFromEnd = 2,
};

// One opener: its handle number and its current position.
struct THandleRecord {
  int32_t HandleId = 0;
  int64_t Position = 0;
};

// One locked byte range: first byte, last byte (first + length - 1) and length.
struct TRegionLock {
  int64_t First = 0;
  int64_t Last = 0;
  int64_t Length = 0;
};

class TAbstractFile {
public:
  TAbstractFile(std::string fileName, bool exclusive, bool temporary);
  virtual ~TAbstractFile();
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  // Whether this is a block of memory rather than an operating-system file.
  virtual bool IsInMemory() const { return false; }
  // The operating system's path of the file (its name as found on disk); empty for a file
  // in memory.
  virtual std::string StoragePath() const { return {}; }

  // Index of the handle in Handles, -1 when it is not registered.
  virtual int32_t FindHandle(int32_t handleId);
  // The logical size.
  virtual int64_t GetSize();
  // Empties the storage and registers a new handle at position 0. Returns the handle
  // number, or a negated engine code.
  virtual int32_t CreateStorage();
  // Registers a new handle at position 0 (a physical file opens its OS file for the first
  // one). Returns the handle number, or a negated engine code.
  virtual int32_t OpenStorage();
  // Removes the handle. Unknown numbers are ignored.
  virtual void CloseHandle(int32_t handleId);
  // Gives the storage a new name. Returns 0 or a negated engine code.
  virtual int32_t RenameStorage(const std::string& newName);
  // Removes the storage. Returns 0 or a negated engine code.
  virtual int32_t DeleteStorage();
  // Reads up to `count` bytes at the handle's position and advances it. Returns the count
  // read (fewer only at the end), or -1 on failure or for an unknown handle.
  virtual int32_t Read(int32_t handleId, void* buffer, int32_t count);
  // Writes `count` bytes at the handle's position and advances it; 0 bytes cut the file
  // at the position. Returns the count written, or -1.
  virtual int32_t Write(int32_t handleId, const void* buffer, int32_t count);
  // Pushes written data to stable storage.
  virtual bool FlushStorage();
  // Moves the handle's position; returns the new position, or -1 (position unchanged)
  // for an unknown handle or a position before the start.
  virtual int64_t Seek(int32_t handleId, int32_t origin, int64_t offset);
  // Locks [offset, offset + length) exclusively. Fails when the range overlaps a locked
  // one, whoever holds it (there is no owner: even the same handle cannot lock a range
  // twice), when the length is not positive, or when the range does not fit in 63 bits.
  virtual bool LockRegion(int64_t length, int64_t offset);
  // Releases the locked range with exactly this first byte and length; false when none.
  virtual bool UnlockRegion(int64_t length, int64_t offset);

  // Positional transfers: as Seek(soFromBeginning, offset) followed by Read / Write, in one
  // step under the lock. The handle's position ends after the bytes transferred.
  virtual int32_t ReadAt(int32_t handleId, int64_t offset, void* buffer, int32_t count);
  virtual int32_t WriteAt(int32_t handleId, int64_t offset, const void* buffer, int32_t count);

  // Guards everything below; brackets whole seek-then-transfer sequences of the handlers.
  std::recursive_mutex Lock;
  bool Exclusive = false;
  bool OpenedReadOnly = false;
  bool ReadOnlyAttribute = false;
  bool Temporary = false;
  // The name as the registry knows it; compared case-insensitively after trimming.
  std::string FileName;
  // Logical size (memory files; a physical file asks the system).
  int64_t Size = 0;
  // The regions held, keyed by their first byte. They never overlap one another, so the
  // overlap test and the unlock are lookups, not walks: a transaction may hold one lock
  // per record it wrote.
  std::map<int64_t, TRegionLock> RegionLocks;
  int32_t OpenCount = 0;
  std::vector<THandleRecord> Handles;
  // Last handle number given out; numbers start at 1 and only grow, so a stale number
  // never matches a newer opener.
  int32_t LastHandleId = 0;

protected:
  // Registers a new handle at position 0 and returns its number.
  int32_t AddHandle();
  // The handle record, or nullptr.
  THandleRecord* HandleRecord(int32_t handleId);
  // Whether [first, last] overlaps a listed region.
  bool RegionOverlaps(int64_t first, int64_t last) const;
};

}  // namespace kura
