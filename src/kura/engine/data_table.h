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
#include "kura/engine/change_counters.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_file.h"
#include "kura/storage/table_journal.h"

namespace kura {

class TDataDirectory;
class TDataSession;

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
  // declares BLOB fields, the BLOB file with the data header's block size. Raises
  // KURA_OSENOENT for a missing data file, KURA_OSEACCES when the files' share modes
  // refuse; on any failure nothing stays open and OpenCount is unchanged.
  void Open();
  // Closes once. The last close outside a transaction writes an exclusive table's
  // buffered changes (or, with discardTemporary on a Temporary table, drops them),
  // releases every lock and closes the files.
  void Close(bool discardTemporary);
  // The work of the last close; nothing when the files are closed.
  void CloseFiles(bool discardTemporary);

  TChangeCounters ChangeCounters() const { return FCounters; }
  // Moves on with every change of what the table holds, seen by this table object
  // (MarkChanged, a change another writer made, a discard) or written through by a
  // flush outside a commit; a commit writing a transaction's changes (already counted
  // when they were made) leaves it. Never repeats a value: equal values mean the same
  // records.
  int64_t ContentChanges() const { return FContentChanges; }
  // Looks at the header change counters on disk; a file another writer changed has its
  // header re-read and its buffers discarded (a changed index file also refreshes the
  // data file). Returns whether anything changed; ChangeCounters() then moved. False at
  // once for LockFree tables.
  bool CheckForChanges();
  // Moves all three counters (the cached contents changed in memory only).
  void MarkChanged();

  // Locks (the protocol and its order are described at the top of data_table.cpp).
  // Every operation does nothing, and reports no change, for LockFree tables and while
  // the files are closed. A lock that is already held is not counted: taking it again
  // does nothing and one unlock releases it. Table locks try Session().TableLockAttempts()
  // times, 3 ms apart (through the session's Pause), and raise KURA_LOCKTIMEOUT when they
  // are refused. The flag returned by a lock says whether CheckForChanges, run once the
  // lock is held, saw a change; a check that fails (a damaged header) releases the lock
  // it was made under and raises.

  // A random byte of the index file (and of the BLOB file) that keeps writers out.
  // Nothing when this table already holds the read, query read, write or transaction
  // lock: each of them keeps writers out as well.
  bool ReadLock();
  // KURA_UNLOCKFAILED when the system refuses to release the bytes (the lock counts as
  // released all the same).
  void ReadUnlock();
  bool HasReadLock() const { return FReadLocked; }
  // The read lock with bytes and a flag of its own, held by a query over the whole of its
  // run, so that the reads of the cursors in between cannot release it. Nothing when the
  // query read, write or transaction lock is held. Unlock as ReadUnlock.
  bool QueryReadLock();
  void QueryReadUnlock();
  bool HasQueryReadLock() const { return FQueryReadLocked; }
  // The table byte of the data file (unless the transaction lock holds it already) and
  // the exclusive regions of the index and BLOB files: no other session or process reads
  // or writes the table while it is held. This table's own read bytes are given back
  // meanwhile and taken again by WriteUnlock. On KURA_LOCKTIMEOUT nothing of it stays
  // held and the read locks are as they were (dropped when their bytes cannot be taken
  // back). Under the transaction lock it makes no change check (false).
  bool WriteLock();
  // Releases the BLOB region, the index region and the table byte (not while the
  // transaction lock holds it), then takes the read bytes back. KURA_LOCKTIMEOUT when
  // the system refuses a release or the read bytes cannot be taken back (the read locks
  // are then gone); the write lock counts as released all the same.
  void WriteUnlock();
  bool HasWriteLock() const { return FWriteLocked; }
  // The table byte alone, from a transaction's start to its end: it keeps other writers
  // out while the changes wait in the buffers. Under the write lock the byte passes over
  // to it. LockFree tables only set the flag. KURA_LOCKTIMEOUT when the byte is refused.
  // The change check that follows reports through ChangeCounters only.
  void TransactionLock();
  // Releases the table byte (kept while the write lock holds it) and performs every
  // deferred record unlock. KURA_LOCKTIMEOUT when the byte's release is refused,
  // KURA_UNLOCKFAILED when a record's is; the lock and the deferred unlocks count as done
  // all the same.
  void TransactionUnlock();
  bool HasTransactionLock() const { return FTransactionLocked; }
  // Locks record recNo's byte, trying LockRetryCount + 1 times LockWaitTime ms apart
  // (through the session's Pause); KURA_RECLOCKFAILED when recNo < 1 or every attempt
  // failed. Without strict change detection the read lock is held around each attempt
  // (KURA_LOCKTIMEOUT) and the result says whether it saw a change; with it, the
  // caller's read lock already guards the table. A record locked earlier in the running
  // transaction is just taken off the deferred unlocks. Afterwards recNo is in
  // OSLockedRecords and not in DeferredUnlocks. CursorLockedRecords is the cursors' to
  // keep.
  bool LockRecord(int32_t recNo);
  // Inside a transaction (the transaction lock held) the unlock is only noted in
  // DeferredUnlocks and happens at the transaction's end. Otherwise KURA_UNLOCKFAILED
  // when recNo < 1, the record is not locked here or the system refuses.
  void UnlockRecord(int32_t recNo);
  // The records whose bytes this table holds; the records some cursor of this table has
  // locked for an edit (kept by the cursors); the records whose unlock waits for the end
  // of the transaction.
  TRecordsBitmap& OSLockedRecords() { return FOSLockedRecords; }
  TRecordsBitmap& CursorLockedRecords() { return FCursorLockedRecords; }
  TRecordsBitmap& DeferredUnlocks() { return FDeferredUnlocks; }

  // Writes the dirty records, pages and blocks and each changed file's header with its
  // change counter incremented; asks the OS to flush a written file when forceFlush or
  // the session's ForceBufferFlush. Inside a transaction only MarkChanged. The writes are
  // one commit of the rollback journal (see table_journal.h): when one of them fails, the
  // files are put back as they were before the commit, every buffer is dropped (the
  // changes are lost, the headers are read again) and the write error is raised.
  void FlushTable(bool forceFlush);
  // The table's rollback journal ("NAME.KJL" beside the data file); attached while the
  // files are open, unless the table is in memory, temporary or cannot be written.
  const TTableJournal& Journal() const { return FJournal; }
  // Evicts clean buffers down to the session's limits.
  void TrimCaches();
  // Drops every unpinned buffer of the three files, dirty or not; with rereadHeaders
  // their headers are read again from the files.
  void DiscardBuffers(bool rereadHeaders);

  // Per-table transaction steps, driven by the directory (see the invariants at the top
  // of data_directory.cpp). The commit and rollback steps do nothing for a table that
  // takes no part in a transaction.
  // Joins the transaction: nothing for ReadOnly tables, tables already in one and closed
  // files. An exclusive table first writes its buffered changes. Then InTransaction is
  // set and the transaction lock taken (KURA_LOCKTIMEOUT: the table stays marked, and
  // the directory rolls it back).
  void StartTransaction();
  // Takes the write lock for the commit (KURA_LOCKTIMEOUT).
  void CommitPrepare();
  // Writes the buffered changes, as FlushTable would outside a transaction (with an OS
  // flush when forceFlush or ForceBufferFlush), and trims the caches. Raises write
  // errors.
  void CommitWrite(bool forceFlush);
  // Releases the write lock; with endTransaction also the transaction lock (performing
  // the deferred record unlocks) and leaves the transaction, otherwise performs the
  // deferred unlocks and stays in it. Every step is made; the first error is raised
  // afterwards.
  void CommitEnd(bool endTransaction);
  // Leaves the transaction: releases the write lock, drops every buffer (the changes
  // made in the transaction are lost; headers read again) and releases the transaction
  // lock with the deferred unlocks. Every step is made; the first error is raised
  // afterwards.
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
  // Open's step for a missing index file: puts a new, empty one marked as having lost
  // its definitions in place (see data_table.cpp). True when this opener made the file
  // that is now there, false when another process's took the place first.
  bool MakeMissingIndexFile();
  void ConfigureLocking();
  // Takes the read lock's bytes (index, then BLOB); raises KURA_LOCKTIMEOUT when refused.
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
  // Puts the files back from the journal of a commit that cannot be finished and drops
  // every buffer; never raises (a journal that cannot be rolled back stays on disk for
  // the next locker).
  void AbandonCommit();
  // Saves in the journal, ahead of a flush, every range the flush may overwrite.
  void ProtectPendingWrites();
  // Rolls back a journal that a dead writer left, once this table holds one of its locks
  // (or has the files exclusively); see the protocol in table_journal.h. Raises
  // KURA_OSEACCES when the table cannot be written, the lock and I/O errors of the
  // rollback otherwise.
  void RecoverLeftJournal();
  // The rollback itself, under the exclusive regions (taken here when only a read, query
  // read or transaction lock is held).
  void RecoverUnderExclusiveRegions();
  // Cuts what lies beyond the end each file's header accounts for (what a writer left
  // that died before the journal existed, or a power loss): once per open, by the first
  // writer.
  void CutSurplus();
  std::string JournalFileName() const;

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
  TTableJournal FJournal;
  bool FSurplusCut = false;

  TChangeCounters FCounters;
  int64_t FContentChanges = 0;

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
