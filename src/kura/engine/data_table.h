#pragma once

// The shared state of one open table in one session: its data, index and BLOB files
// with their caches, the locks it holds on them, and its part in the directory's
// transaction. Every cursor of the session on the table uses this one object; other
// sessions and processes are met only through the files' byte-range locks and header
// change counters (the protocol is described at the top of data_table.cpp).
//
// File names: the directory's Path followed by the table name with ".DAT", ".IDX" or
// ".BLB" forced (a trailing ".DAT" in any case is replaced, anything else gets the
// extension appended). The BLOB file exists only for tables with BLOB fields.

#include <cstdint>
#include <memory>
#include <string>

#include "kura/base/engine_error.h"
#include "kura/base/records_bitmap.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_file.h"

namespace kura {

class TDataDirectory;
class TDataSession;

// Counters a cursor compares with its own copy: any change that cursors must notice
// (own-session write, MarkChanged of an exclusive table, CheckForChanges finding another
// writer's change, buffers discarded) makes them differ from every earlier value. They
// only ever grow, so a cursor's stale copy can never match again by accident.
struct TChangeCounters {
  int32_t Data = 0, Index = 0, Blob = 0;
  friend bool operator==(const TChangeCounters&, const TChangeCounters&) = default;
};

class TDataTable : public TDataFileOwner, public TIndexFileOwner, public TBlobFileOwner {
public:
  TDataTable(TDataDirectory& directory, std::string name, bool inMemory);
  // Closes the files when still open (as the last close would; an error there cannot be
  // reported any more and is dropped).
  ~TDataTable() override;
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  TDataDirectory& Directory() const { return FDirectory; }
  TDataSession& Session() const;
  const std::string& Name() const { return FName; }
  int OpenCount() const { return FOpenCount; }
  bool Exclusive() const { return FExclusive; }
  bool InMemory() const { return FInMemory; }
  bool Temporary() const { return FTemporary; }
  // The flags of the opening request; only while the files are closed.
  void SetOpenFlags(bool exclusive, bool inMemory, bool temporary);
  // Some file could only be opened for reading, or ReadOnlyFiles.
  bool ReadOnly() const { return FReadOnly; }
  // Some file carries the read-only attribute: nobody can change the table.
  bool ReadOnlyFiles() const { return FReadOnlyFiles; }
  // The index file was missing at open and was created anew (empty).
  bool IndexesRebuilt() const { return FIndexesRebuilt; }
  bool FilesOpen() const { return FFilesOpen; }
  // True when this table takes no locks and makes no change checks (exclusive or
  // ReadOnlyFiles).
  bool LockFree() const { return FExclusive || FReadOnlyFiles; }

  TDataFile& DataFile() { return *FDataFile; }
  TIndexFile& IndexFile() { return *FIndexFile; }
  const TDataFile& DataFile() const { return *FDataFile; }
  const TIndexFile& IndexFile() const { return *FIndexFile; }
  // nullptr when the table has no BLOB fields (or is closed).
  TBlobFile* BlobFile() { return FBlobFile.get(); }
  std::string DataFileName() const;
  std::string IndexFileName() const;
  std::string BlobFileName() const;
  // Directory and table name for errors raised about this table.
  TErrorNames ErrorNames() const;

  // Opens once more; the first open opens the data file, the index file (creating an
  // empty one when it is missing, which sets IndexesRebuilt) and, when the data file
  // declares BLOB fields, the BLOB file with the data header's block size. Raises 11010
  // for a missing data file, 11013 when the files' share modes refuse; on any failure
  // nothing stays open and OpenCount is unchanged.
  void Open();
  // Closes once. The last close outside a transaction writes an exclusive table's
  // buffered changes (or, with discardTemporary on a Temporary table, drops them),
  // releases every lock and closes the files.
  void Close(bool discardTemporary);
  // The work of the last close; nothing when the files are closed.
  void CloseFiles(bool discardTemporary);

  TChangeCounters ChangeCounters() const { return FCounters; }
  // Looks at the header change counters on disk; a file another writer changed has its
  // header re-read and its buffers discarded (a changed index file also refreshes the
  // data file). Returns whether anything changed; ChangeCounters() then moved. False at
  // once for LockFree tables.
  bool CheckForChanges();
  // Moves all three counters (the cached contents changed in memory only).
  void MarkChanged();

  // Locks. Every operation does nothing (and reports no change) for LockFree tables.
  // The returned flag says whether CheckForChanges saw a change.
  bool ReadLock();
  void ReadUnlock();
  bool HasReadLock() const { return FReadLocked; }
  bool QueryReadLock();
  void QueryReadUnlock();
  bool HasQueryReadLock() const { return FQueryReadLocked; }
  bool WriteLock();
  void WriteUnlock();
  bool HasWriteLock() const { return FWriteLocked; }
  void TransactionLock();
  void TransactionUnlock();
  bool HasTransactionLock() const { return FTransactionLocked; }
  // Locks record recNo's byte, retrying LockRetryCount times LockWaitTime ms apart
  // (through the session's Sleep); 10258 when recNo < 1 or every attempt failed.
  bool LockRecord(int32_t recNo);
  // Inside a transaction the unlock is deferred to its end; otherwise 10242 when the
  // record is not locked here or the system refuses.
  void UnlockRecord(int32_t recNo);
  TRecordsBitmap& OSLockedRecords() { return FOSLockedRecords; }
  TRecordsBitmap& CursorLockedRecords() { return FCursorLockedRecords; }
  TRecordsBitmap& DeferredUnlocks() { return FDeferredUnlocks; }

  // Writes the dirty records, pages and blocks and each changed file's header with its
  // change counter incremented; asks the OS to flush a written file when forceFlush or
  // the session's ForceBufferFlush. Inside a transaction only MarkChanged.
  void FlushTable(bool forceFlush);
  // Evicts clean buffers down to the session's limits.
  void TrimCaches();
  // Drops every unpinned buffer of the three files, dirty or not; with rereadHeaders
  // their headers are read again from the files.
  void DiscardBuffers(bool rereadHeaders);

  // Per-table transaction steps, driven by the directory.
  void StartTransaction();
  void CommitPrepare();
  void CommitWrite(bool forceFlush);
  void CommitEnd(bool endTransaction);
  void Rollback();

  // The owner interfaces of the three files.
  std::string TableName() const override { return FName; }
  std::string DirectoryPath() const override;
  bool InTransaction() const override { return FInTransaction && !FTransactionSuspended; }
  bool NoPrimaryIndex() const override;
  int32_t MaxDataBufferSize() const override;
  int32_t MaxDataBufferCount() const override;
  int32_t MaxIndexBufferSize() const override;
  int32_t MaxBlobBufferSize() const override;
  int32_t MaxBlobBufferCount() const override;
  bool ForceBufferFlush() const override;
  std::string PrivateDir() const override;

  // The table takes part in its directory's transaction (also while a commit writes).
  bool TakesPartInTransaction() const { return FInTransaction; }

private:
  void ConfigureLocking();
  // Takes the read lock's bytes (index, then BLOB); raises 10249 when refused.
  void TakeSharedBytes(int32_t& indexToken, int32_t& blobToken);
  // Releases them; false when the system refused.
  bool ReleaseSharedBytes(int32_t& indexToken, int32_t& blobToken);
  // Read lock for an operation that releases it again itself: true when it was taken
  // here (and must be released by the caller).
  bool TakeTransientReadLock(bool& changed);
  void ReleaseTransientReadLock(bool taken);
  void EnsureBitmapCovers(TRecordsBitmap& bitmap, int32_t recNo);
  // Unlocks every record that is both locked here and deferred.
  void PerformDeferredUnlocks(bool& failed);
  // Releases every lock this table holds (last close, failures); never raises.
  void ReleaseAllLocks();
  [[noreturn]] void RaiseTableError(TErrorCode code) const;

  TDataDirectory& FDirectory;
  std::string FName;
  int FOpenCount = 0;
  bool FExclusive = false;
  bool FInMemory = false;
  bool FTemporary = false;
  bool FReadOnly = false;
  bool FReadOnlyFiles = false;
  bool FIndexesRebuilt = false;
  bool FFilesOpen = false;

  std::unique_ptr<TDataFile> FDataFile;
  std::unique_ptr<TIndexFile> FIndexFile;
  std::unique_ptr<TBlobFile> FBlobFile;

  TChangeCounters FCounters;

  TRecordsBitmap FOSLockedRecords;
  TRecordsBitmap FCursorLockedRecords;
  TRecordsBitmap FDeferredUnlocks;
  bool FReadLocked = false;
  int32_t FReadIndexToken = 0;
  int32_t FReadBlobToken = 0;
  bool FQueryReadLocked = false;
  int32_t FQueryIndexToken = 0;
  int32_t FQueryBlobToken = 0;
  // The write lock's region covers every read byte, our own included: while it is held
  // the read bytes this table had taken are given back and taken again afterwards.
  bool FReadBytesSuspended = false;
  bool FWriteLocked = false;
  bool FTransactionLocked = false;
  bool FInTransaction = false;
  bool FTransactionSuspended = false;
};

}  // namespace kura
