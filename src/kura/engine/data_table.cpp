#include "kura/engine/data_table.h"

#include <exception>
#include <utility>

#include "kura/base/file_handler.h"
#include "kura/base/names_paths.h"
#include "kura/base/os.h"
#include "kura/base/scope_guard.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/storage/table_files.h"

// The lock protocol between sessions and processes sharing a table. Invariants:
//  1. Read lock: one byte, drawn at random, in the shared area of the index file (and of
//     the BLOB file when open). Readers never exclude each other (two that draw the same
//     byte just draw again); any reader excludes every writer.
//  2. Write lock: the data file's table byte plus the whole 65536-byte exclusive region
//     of the index file (and BLOB file), which covers every possible read byte. Holding
//     it means no other session or process reads or writes the table. Every change to
//     the files is made under it.
//  3. Transaction lock: the table byte alone, from the start of a transaction to its
//     end. It keeps other writers out while this session's changes wait in its buffers;
//     the commit's write lock then only has to wait for readers.
//  4. Record lock: one byte per record in the data file, held while a record is being
//     edited. Order: a table's read or write lock first, then its record locks; the
//     transaction lock is taken before a commit's write lock and released after it.
//     Inside a transaction a record's unlock is deferred to the end of the transaction,
//     so no other process edits a record whose change is not yet committed.
//  5. Change counters: the first four bytes of each file header count its writes. A
//     writer writes the header of every file it changed, incrementing the counter,
//     before it releases the write lock. So a reader that holds the read lock and finds
//     the counter it cached still on disk knows that file's buffers are current; any
//     other value means re-read the header and discard the buffers. The in-memory
//     TChangeCounters only ever grow and move whenever the buffers' contents may have
//     changed, which is what cursors of this session compare with.
//  6. Exclusive tables and tables whose files carry the read-only attribute take no
//     locks and make no change checks: no one else can write their files.
//  7. The read and write locks are per table object, not counted: a lock operation that
//     finds its lock (or a stronger one) already held does nothing, and the caller that
//     took it releases it.
//  8. Crash safety: every write to the files is part of a commit of the table's rollback
//     journal (table_journal.h), which FlushTable completes; a commit that cannot be
//     completed is rolled back at once, and no commit outlives the write lock (or, for an
//     exclusive table, the last close). Whoever takes any lock of the table, and an
//     exclusive table's opener, first rolls back a journal that a dead writer left, under
//     the exclusive regions, before reading anything.

namespace kura {

namespace {

constexpr int kTableLockPauseMs = 3;

// Sets a flag for a scope and restores it.
class TFlagScope {
public:
  TFlagScope(bool& flag, bool value) : FFlag(flag), FSaved(flag) { FFlag = value; }
  ~TFlagScope() { FFlag = FSaved; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

private:
  bool& FFlag;
  bool FSaved;
};

}  // namespace

TDataTable::TDataTable(TDataDirectory& directory, std::string name, bool inMemory)
    : FDirectory(directory), FName(std::move(name)), FInMemory(inMemory) {}

TDataTable::~TDataTable() {
  try {
    CloseFiles(false);
  } catch (const EKuraEngineError&) {
    // Nobody is left to report it to; the files are closed all the same.
  }
}

TDataSession& TDataTable::Session() const { return FDirectory.Session(); }

void TDataTable::SetOpenFlags(bool exclusive, bool inMemory, bool temporary) {
  if (FFilesOpen) return;
  FExclusive = exclusive;
  FInMemory = inMemory;
  FTemporary = temporary;
}

std::string TDataTable::DataFileName() const { return FDirectory.TableFileName(FName, kDataFileExtension); }
std::string TDataTable::IndexFileName() const { return FDirectory.TableFileName(FName, kIndexFileExtension); }
std::string TDataTable::BlobFileName() const { return FDirectory.TableFileName(FName, kBlobFileExtension); }

TErrorNames TDataTable::ErrorNames() const {
  TErrorNames names;
  names.DatabaseName = FDirectory.Path();
  names.TableName = FName;
  return names;
}

void TDataTable::RaiseTableError(TErrorCode code) const { RaiseEngineError(code, ErrorNames()); }

// ---------------------------------------------------------------------------------------
// Owner interfaces

std::string TDataTable::DirectoryPath() const { return FDirectory.Path(); }

bool TDataTable::NoPrimaryIndex() const {
  if (!FIndexFile || !FIndexFile->IsOpen) return false;
  return FIndexFile->NoPrimaryIndex() || FIndexFile->Descriptor(kPrimaryIndex).IndexFieldCount == 0;
}

int32_t TDataTable::MaxDataBufferSize() const { return Session().MaxDataBufferSize(); }
int32_t TDataTable::MaxDataBufferCount() const { return Session().MaxDataBufferCount(); }
int32_t TDataTable::MaxIndexBufferSize() const { return Session().MaxIndexBufferSize(); }
int32_t TDataTable::MaxBlobBufferSize() const { return Session().MaxBlobBufferSize(); }
int32_t TDataTable::MaxBlobBufferCount() const { return Session().MaxBlobBufferCount(); }
bool TDataTable::ForceBufferFlush() const { return Session().ForceBufferFlush(); }
std::string TDataTable::PrivateDir() const { return Session().GetPrivateDir(); }

// ---------------------------------------------------------------------------------------
// Open and close

bool TDataTable::MakeMissingIndexFile() {
  // The index file is gone: the table opens with a new, empty one. Its index definitions
  // are lost until the table is repaired, so it has no primary index; the header says
  // so, for every later opener (who then also knows that the internal record index may
  // still have to be built, when this opener dies before it is on the disk) and for
  // verify and repair. The first cursor builds that index.
  //
  // On disk the new file is made whole under a name of its own (the thread's id is
  // unique among the processes of the machine) and then moved into place by a move that
  // never replaces a file. Another process opening the table at the same moment thus
  // finds either no index file, and makes its own (one move wins, the other file is
  // dropped), or a complete one: never one half written, nor one held while it is made.
  const std::string name = IndexFileName();
  const std::string fresh =
      FInMemory ? name : name + "." + std::to_string(FDirectory.Session().CurrentThreadId());
  {
    TIndexFile file(fresh, FInMemory, this);
    const TDataFileHeader& header = FDataFile->Header();
    file.SetTableInfo(FDataFile->FieldDefinitions(), header.LocaleId, header.SortId, header.Encrypted);
    auto dropFresh = OnScopeFail([&] {
      file.CloseIndexFile();
      if (fresh != name) OSDeleteExact(fresh);
    });
    file.CreateIndexFile();
    file.DefinePrimaryIndex(TIndexDefinition{});
    file.SetDefinitionsLost(true);
    file.WriteHeader();
    file.CloseIndexFile();
  }
  if (fresh == name) return true;
  TFileHandler moved(fresh);
  try {
    moved.Rename(name);
    return true;
  } catch (const EKuraEngineError&) {
    OSDeleteExact(fresh);
    // Another opener's file took the place: the table opens with that one.
    if (FIndexFile->FileExists()) return false;
    throw;
  }
}

void TDataTable::Open() {
  if (FFilesOpen) {
    ++FOpenCount;
    return;
  }
  bool rebuilt = false;
  // A failure closes and forgets the files opened so far.
  auto forgetFiles = OnScopeFail([this] {
    if (FBlobFile) FBlobFile->CloseBlobFile();
    if (FIndexFile) FIndexFile->CloseIndexFile();
    if (FDataFile) FDataFile->CloseDataFile();
    FBlobFile.reset();
    FIndexFile.reset();
    FDataFile.reset();
  });
  FDataFile = std::make_unique<TDataFile>(DataFileName(), FInMemory, this);
  FDataFile->Exclusive = FExclusive;
  FDataFile->OpenDataFile();
  const TDataFileHeader& header = FDataFile->Header();

  FIndexFile = std::make_unique<TIndexFile>(IndexFileName(), FInMemory, this);
  FIndexFile->Exclusive = FExclusive;
  FIndexFile->SetTableInfo(FDataFile->FieldDefinitions(), header.LocaleId, header.SortId, header.Encrypted);
  if (!FIndexFile->FileExists()) rebuilt = MakeMissingIndexFile();
  FIndexFile->OpenIndexFile();

  if (FDataFile->BlobFieldCount() > 0) {
    FBlobFile = std::make_unique<TBlobFile>(BlobFileName(), FInMemory, this);
    FBlobFile->Exclusive = FExclusive;
    FBlobFile->OpenBlobFile(FDataFile->BlobBlockSize(), header.Encrypted);
  }
  forgetFiles.Dismiss();

  FReadOnlyFiles = FDataFile->ReadOnlyAttribute || FIndexFile->ReadOnlyAttribute ||
                   (FBlobFile && FBlobFile->ReadOnlyAttribute);
  FReadOnly = FReadOnlyFiles || FDataFile->OpenedReadOnly || FIndexFile->OpenedReadOnly ||
              (FBlobFile && FBlobFile->OpenedReadOnly);
  FIndexesRebuilt = rebuilt;
  FFilesOpen = true;
  ConfigureLocking();
  if (!FInMemory && !FTemporary) {
    if (!FReadOnly) {
      FJournal.Attach(JournalFileName(), FDataFile.get(), FIndexFile.get(), FBlobFile.get());
    }
    // Nobody else has an exclusive table's files open: a journal found now is left over.
    // A shared table checks under its first lock.
    if (LockFree()) {
      auto close = OnScopeFail([this] { CloseFiles(false); });
      RecoverLeftJournal();
      if (!FReadOnly) CutSurplus();
    }
  }
  ++FOpenCount;
}

std::string TDataTable::JournalFileName() const {
  // Beside the data file as it is named on disk, so that every opener finds the same
  // journal whatever letter case it names the table in.
  const std::string data = FDataFile ? FDataFile->StoragePath() : std::string();
  return data.empty() ? std::string() : JournalFileNameOf(data);
}

void TDataTable::Close(bool discardTemporary) {
  if (FOpenCount > 0) --FOpenCount;
  if (FOpenCount > 0 || FInTransaction) return;
  CloseFiles(discardTemporary);
}

void TDataTable::CloseFiles(bool discardTemporary) {
  if (!FFilesOpen) return;
  std::exception_ptr failure;
  if (FExclusive && !FReadOnly) {
    if (discardTemporary && FTemporary) {
      Attempt(failure, [this] { DiscardBuffers(false); });
    } else {
      Attempt(failure, [this] {
        FlushTable(false);
        TrimCaches();
      });
    }
  }
  ReleaseAllLocks();
  FJournal.Detach();
  FIndexFile->CloseIndexFile();
  if (FBlobFile) FBlobFile->CloseBlobFile();
  FDataFile->CloseDataFile();
  FBlobFile.reset();
  FIndexFile.reset();
  FDataFile.reset();
  FIndexesRebuilt = false;
  FFilesOpen = false;
  FSurplusCut = false;
  if (failure) std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------------------
// Change detection and the write policy

bool TDataTable::CheckForChanges() {
  if (LockFree() || !FFilesOpen) return false;
  bool changed = false;
  if (FIndexFile->ReadHeaderIfChanged()) {
    // The index file drops its own pages with its header. Index changes come with data
    // changes, so the data file is refreshed as well.
    FDataFile->ReadHeader();
    FDataFile->DiscardCache();
    ++FCounters.Index;
    ++FCounters.Data;
    changed = true;
  } else if (FDataFile->ReadHeaderIfChanged()) {
    FDataFile->DiscardCache();
    ++FCounters.Data;
    changed = true;
  }
  if (FBlobFile && FBlobFile->ReadHeaderIfChanged()) {
    FBlobFile->DiscardCache();
    ++FCounters.Blob;
    changed = true;
  }
  if (changed) ++FContentChanges;
  return changed;
}

void TDataTable::MarkChanged() {
  ++FCounters.Data;
  ++FCounters.Index;
  ++FCounters.Blob;
  ++FContentChanges;
}

void TDataTable::FlushTable(bool forceFlush) {
  if (!FFilesOpen) return;
  if (InTransaction()) {
    MarkChanged();
    return;
  }
  // Outside a commit this flush writes a change just made (or may: counted all the same).
  if (!FTransactionSuspended) ++FContentChanges;
  const bool osFlush = forceFlush || Session().ForceBufferFlush();
  if (!FJournal.Active()) FJournal.SetDurable(osFlush);
  // A write that fails leaves the files as they were before this commit.
  auto abandon = OnScopeFail([this] { AbandonCommit(); });
  ProtectPendingWrites();

  bool written = FDataFile->FlushRecords();
  written = FDataFile->WriteFieldDefinitions() || written;
  if (written || FDataFile->HeaderChanged()) {
    FDataFile->WriteHeader(true);
    ++FCounters.Data;
    if (osFlush) FDataFile->Flush();
  }

  written = FIndexFile->FlushPages();
  if (written || FIndexFile->HeaderChanged()) {
    FIndexFile->WriteHeader(true);
    ++FCounters.Index;
    if (osFlush) FIndexFile->Flush();
  }

  if (FBlobFile) {
    written = FBlobFile->FlushBlocks();
    if (written || FBlobFile->Header().HeaderChanged) {
      FBlobFile->WriteHeader(true);
      ++FCounters.Blob;
      if (osFlush) FBlobFile->Flush();
    }
  }
  FJournal.Complete();
}

void TDataTable::ProtectPendingWrites() {
  if (!FJournal.Attached()) return;
  // Everything the flush will overwrite reaches the journal with its first write, in one.
  std::vector<TByteRange> ranges;
  auto protect = [&](auto& file) {
    if (!file.PendingWrites()) return;
    ranges.clear();
    file.FlushRanges(FJournal.OriginalSize(file), ranges);
    FJournal.Protect(file, ranges);
  };
  protect(*FDataFile);
  protect(*FIndexFile);
  if (FBlobFile) protect(*FBlobFile);
}

void TDataTable::AbandonCommit() {
  AttemptQuietly([this] { FJournal.RollBack(); });
  FDataFile->DiscardCache();
  FIndexFile->DiscardCache();
  if (FBlobFile) FBlobFile->DiscardCache();
  // The headers in memory carry the lost changes; the files' are the truth again.
  AttemptQuietly([this] { FDataFile->ReadHeader(); });
  AttemptQuietly([this] { FIndexFile->ReadHeaderIfChanged(); });
  if (FBlobFile) AttemptQuietly([this] { FBlobFile->ReadHeader(); });
  MarkChanged();
}

void TDataTable::CutSurplus() {
  if (FSurplusCut || FInMemory || FTemporary || FReadOnly) return;
  FDataFile->CutSurplus();
  FIndexFile->CutSurplus();
  if (FBlobFile) FBlobFile->CutSurplus();
  FSurplusCut = true;
}

void TDataTable::RecoverLeftJournal() {
  if (FInMemory || FTemporary || !FFilesOpen || FJournal.Active()) return;
  if (!FJournal.Attached()) {
    // A table this opener cannot write: it cannot roll the journal back, and what the
    // files hold may be half a commit.
    const std::string journal = JournalFileName();
    if (!journal.empty() && TTableJournal::HoldsCommit(journal)) {
      TErrorNames names = ErrorNames();
      names.ExtraMessage = "an interrupted commit must be rolled back by a writer first";
      RaiseEngineError(KURA_OSEACCES, names);
    }
    return;
  }
  if (!FJournal.HoldsCommit()) return;
  if (LockFree() || FWriteLocked) {
    if (FJournal.Recover()) DiscardBuffers(true);
    return;
  }
  RecoverUnderExclusiveRegions();
}

void TDataTable::RecoverUnderExclusiveRegions() {
  // The exclusive regions cover this table's own read bytes: give them back meanwhile.
  const bool readHeld = FReadLocked && !FReadBytesSuspended;
  const bool queryHeld = FQueryReadLocked && !FReadBytesSuspended;
  if (readHeld) ReleaseSharedBytes(FReadIndexToken, FReadBlobToken);
  if (queryHeld) ReleaseSharedBytes(FQueryIndexToken, FQueryBlobToken);
  std::exception_ptr failure;
  bool indexRegion = false;
  bool blobRegion = false;
  Attempt(failure, [&] {
    ConfigureLocking();
    indexRegion = FIndexFile->LockExclusive();
    blobRegion = indexRegion && (!FBlobFile || FBlobFile->LockExclusive());
    if (!blobRegion) RaiseTableError(KURA_LOCKTIMEOUT);
    // Another locker may have rolled it back while the regions were being taken.
    if (FJournal.HoldsCommit() && FJournal.Recover()) DiscardBuffers(true);
  });
  if (blobRegion && FBlobFile) FBlobFile->UnlockExclusive();
  if (indexRegion) FIndexFile->UnlockExclusive();
  // A read lock whose bytes cannot be taken back is gone.
  if (readHeld) {
    Attempt(failure, [this] {
      auto forget = OnScopeFail([this] { FReadLocked = false; });
      TakeSharedBytes(FReadIndexToken, FReadBlobToken);
    });
  }
  if (queryHeld) {
    Attempt(failure, [this] {
      auto forget = OnScopeFail([this] { FQueryReadLocked = false; });
      TakeSharedBytes(FQueryIndexToken, FQueryBlobToken);
    });
  }
  if (failure) std::rethrow_exception(failure);
}

void TDataTable::TrimCaches() {
  if (!FFilesOpen) return;
  FDataFile->TrimCache();
  FIndexFile->TrimCache();
  if (FBlobFile) FBlobFile->TrimCache();
}

void TDataTable::DiscardBuffers(bool rereadHeaders) {
  if (!FFilesOpen) return;
  FDataFile->DiscardCache();
  FIndexFile->DiscardCache();
  if (FBlobFile) FBlobFile->DiscardCache();
  if (rereadHeaders) {
    FDataFile->ReadHeader();
    // Every change of the index header in memory moves its counter, so a header that
    // differs from the file is always re-read.
    FIndexFile->ReadHeaderIfChanged();
    if (FBlobFile) FBlobFile->ReadHeader();
  }
  MarkChanged();
}

// ---------------------------------------------------------------------------------------
// Locks

void TDataTable::ConfigureLocking() {
  const TLockRetry retry{Session().TableLockAttempts(), [this] { Session().Pause(kTableLockPauseMs); }};
  if (FDataFile) FDataFile->SetLockRetry(retry);
  if (FIndexFile) FIndexFile->SetLockRetry(retry);
  if (FBlobFile) FBlobFile->SetLockRetry(retry);
}

void TDataTable::TakeSharedBytes(int32_t& indexToken, int32_t& blobToken) {
  ConfigureLocking();
  if (!FIndexFile->LockShared(indexToken)) {
    indexToken = 0;
    RaiseTableError(KURA_LOCKTIMEOUT);
  }
  if (FBlobFile && !FBlobFile->LockShared(blobToken)) {
    FIndexFile->UnlockShared(indexToken);
    indexToken = 0;
    blobToken = 0;
    RaiseTableError(KURA_LOCKTIMEOUT);
  }
}

bool TDataTable::ReleaseSharedBytes(int32_t& indexToken, int32_t& blobToken) {
  bool ok = true;
  if (FBlobFile && blobToken != 0) ok = FBlobFile->UnlockShared(blobToken) && ok;
  if (indexToken != 0) ok = FIndexFile->UnlockShared(indexToken) && ok;
  indexToken = 0;
  blobToken = 0;
  return ok;
}

bool TDataTable::ReadLock() {
  if (LockFree() || !FFilesOpen || FReadLocked || FQueryReadLocked || FWriteLocked || FTransactionLocked) {
    return false;
  }
  TakeSharedBytes(FReadIndexToken, FReadBlobToken);
  FReadLocked = true;
  // A damaged header: the caller will not come back to release the lock.
  auto release = OnScopeFail([this] {
    FReadLocked = false;
    ReleaseSharedBytes(FReadIndexToken, FReadBlobToken);
  });
  RecoverLeftJournal();
  return CheckForChanges();
}

void TDataTable::ReadUnlock() {
  if (!FReadLocked) return;
  FReadLocked = false;
  if (FReadBytesSuspended) return;  // the write lock holds the region; nothing to give back
  if (!ReleaseSharedBytes(FReadIndexToken, FReadBlobToken)) RaiseTableError(KURA_UNLOCKFAILED);
}

bool TDataTable::QueryReadLock() {
  if (LockFree() || !FFilesOpen || FQueryReadLocked || FWriteLocked || FTransactionLocked) return false;
  TakeSharedBytes(FQueryIndexToken, FQueryBlobToken);
  FQueryReadLocked = true;
  auto release = OnScopeFail([this] {
    FQueryReadLocked = false;
    ReleaseSharedBytes(FQueryIndexToken, FQueryBlobToken);
  });
  RecoverLeftJournal();
  return CheckForChanges();
}

void TDataTable::QueryReadUnlock() {
  if (!FQueryReadLocked) return;
  FQueryReadLocked = false;
  if (FReadBytesSuspended) return;
  if (!ReleaseSharedBytes(FQueryIndexToken, FQueryBlobToken)) RaiseTableError(KURA_UNLOCKFAILED);
}

bool TDataTable::WriteLock() {
  if (LockFree() || !FFilesOpen || FWriteLocked) return false;
  ConfigureLocking();
  // The exclusive region covers this table's own read bytes too: give them back while
  // the write lock is held (it excludes every other writer and reader anyway).
  if ((FReadLocked || FQueryReadLocked) && !FReadBytesSuspended) {
    ReleaseSharedBytes(FReadIndexToken, FReadBlobToken);
    ReleaseSharedBytes(FQueryIndexToken, FQueryBlobToken);
    FReadBytesSuspended = true;
  }
  bool tableByte = false;
  bool indexRegion = false;
  bool obtained = true;
  if (!FTransactionLocked) {
    obtained = FDataFile->LockTableWrite();
    tableByte = obtained;
  }
  if (obtained) {
    obtained = FIndexFile->LockExclusive();
    indexRegion = obtained;
  }
  if (obtained && FBlobFile) obtained = FBlobFile->LockExclusive();
  if (!obtained) {
    if (indexRegion) FIndexFile->UnlockExclusive();
    if (tableByte) FDataFile->UnlockTableWrite();
    if (FReadBytesSuspended) {
      FReadBytesSuspended = false;
      // Without its bytes a read lock would protect nothing; if they cannot be taken
      // back, the read locks are gone and the caller learns it from the error.
      try {
        if (FReadLocked) TakeSharedBytes(FReadIndexToken, FReadBlobToken);
        if (FQueryReadLocked) TakeSharedBytes(FQueryIndexToken, FQueryBlobToken);
      } catch (const EKuraEngineError&) {
        ReleaseSharedBytes(FReadIndexToken, FReadBlobToken);
        FReadLocked = false;
        FQueryReadLocked = false;
      }
    }
    RaiseTableError(KURA_LOCKTIMEOUT);
  }
  FWriteLocked = true;
  auto unlock = OnScopeFail([this] { WriteUnlock(); });
  // Under the transaction lock the table byte has been held since TransactionLock looked
  // for a left journal: no other writer can have begun a commit since (our own commits
  // empty or roll back their journal before the write lock goes), so there is nothing
  // to look for.
  if (!FTransactionLocked) RecoverLeftJournal();
  const bool changed = !FTransactionLocked && CheckForChanges();
  // The headers are current here (or, in a commit, ahead of the files): nothing the
  // table holds lies beyond the ends they declare.
  CutSurplus();
  return changed;
}

void TDataTable::WriteUnlock() {
  if (!FWriteLocked) return;
  // No journal outlives the write lock (an operation that failed after the buffers
  // began to reach the files): the files go back to before it.
  if (FJournal.Active()) AbandonCommit();
  FWriteLocked = false;
  bool ok = true;
  if (FBlobFile) ok = FBlobFile->UnlockExclusive() && ok;
  ok = FIndexFile->UnlockExclusive() && ok;
  if (!FTransactionLocked) ok = FDataFile->UnlockTableWrite() && ok;
  if (FReadBytesSuspended) {
    FReadBytesSuspended = false;
    // A read lock whose bytes cannot be taken back is gone.
    if (FReadLocked) {
      auto forget = OnScopeFail([this] { FReadLocked = false; });
      TakeSharedBytes(FReadIndexToken, FReadBlobToken);
    }
    if (FQueryReadLocked) {
      auto forget = OnScopeFail([this] { FQueryReadLocked = false; });
      TakeSharedBytes(FQueryIndexToken, FQueryBlobToken);
    }
  }
  if (!ok) RaiseTableError(KURA_LOCKTIMEOUT);
}

void TDataTable::TransactionLock() {
  if (FTransactionLocked || !FFilesOpen) return;
  if (LockFree()) {
    FTransactionLocked = true;
    return;
  }
  ConfigureLocking();
  // Under the write lock the table byte is already ours; it passes to the transaction.
  if (!FWriteLocked && !FDataFile->LockTableWrite()) RaiseTableError(KURA_LOCKTIMEOUT);
  FTransactionLocked = true;
  RecoverLeftJournal();
  CheckForChanges();
}

void TDataTable::PerformDeferredUnlocks(bool& failed) {
  if (FFilesOpen && !LockFree()) {
    // Highest record first: its byte lies lowest, and the system keeps a file's locks in
    // byte order and walks them from the lowest to the one released, so this order makes
    // each unlock find its byte at once (the other order walks every byte still held).
    for (int32_t r = FDeferredUnlocks.PriorSet(INT32_MAX); r != 0; r = FDeferredUnlocks.PriorSet(r)) {
      if (!FOSLockedRecords.IsSet(r)) continue;
      if (FDataFile->UnlockRecord(r)) {
        FOSLockedRecords.Exclude(r);
      } else {
        failed = true;
      }
    }
  }
  FDeferredUnlocks.ClearAll();
}

void TDataTable::TransactionUnlock() {
  if (!FTransactionLocked) return;
  FTransactionLocked = false;
  bool byteFailed = false;
  if (FFilesOpen && !LockFree() && !FWriteLocked) byteFailed = !FDataFile->UnlockTableWrite();
  bool recordFailed = false;
  PerformDeferredUnlocks(recordFailed);
  if (byteFailed) RaiseTableError(KURA_LOCKTIMEOUT);
  if (recordFailed) RaiseTableError(KURA_UNLOCKFAILED);
}

void TDataTable::EnsureBitmapCovers(TRecordsBitmap& bitmap, int32_t recNo) {
  if (bitmap.RecordCount() >= recNo) return;
  int32_t count = recNo;
  if (FDataFile && FDataFile->RecordCount() > count) count = FDataFile->RecordCount();
  bitmap.SetRecordCount(count);
}

bool TDataTable::TakeTransientReadLock(bool& changed) {
  changed = false;
  if (FReadLocked || FQueryReadLocked || FWriteLocked || FTransactionLocked) return false;
  changed = ReadLock();
  return FReadLocked;
}

void TDataTable::ReleaseTransientReadLock(bool taken) {
  if (taken) ReadUnlock();
}

bool TDataTable::LockRecord(int32_t recNo) {
  if (LockFree() || !FFilesOpen) return false;
  if (recNo < 1) RaiseTableError(KURA_RECLOCKFAILED);
  if (FTransactionLocked && FOSLockedRecords.IsSet(recNo)) {
    // Locked earlier in this transaction: it is wanted again, so its deferred unlock
    // must not release it at an interval commit.
    FDeferredUnlocks.Exclude(recNo);
    return false;
  }
  TDataSession& session = Session();
  // With strict change detection the cursor already holds the read lock.
  const bool takeRead = !session.StrictChangeDetection();
  bool changed = false;
  bool readTaken = takeRead && TakeTransientReadLock(changed);
  int failures = 0;
  auto dropRead = OnScopeFail([&] {
    if (readTaken) {
      FReadLocked = false;
      ReleaseSharedBytes(FReadIndexToken, FReadBlobToken);
    }
  });
  while (!FDataFile->LockRecord(recNo)) {
    ReleaseTransientReadLock(readTaken);
    readTaken = false;
    if (++failures > session.LockRetryCount()) RaiseTableError(KURA_RECLOCKFAILED);
    session.Pause(session.LockWaitTime());
    if (takeRead) {
      bool seen = false;
      readTaken = TakeTransientReadLock(seen);
      changed = changed || seen;
    }
  }
  dropRead.Dismiss();
  auto unlockRecord = OnScopeFail([&] { FDataFile->UnlockRecord(recNo); });
  ReleaseTransientReadLock(readTaken);
  EnsureBitmapCovers(FOSLockedRecords, recNo);
  unlockRecord.Dismiss();
  FOSLockedRecords.Include(recNo);
  FDeferredUnlocks.Exclude(recNo);
  return changed;
}

void TDataTable::UnlockRecord(int32_t recNo) {
  if (LockFree() || !FFilesOpen) return;
  if (FTransactionLocked) {
    if (recNo >= 1) {
      EnsureBitmapCovers(FDeferredUnlocks, recNo);
      FDeferredUnlocks.Include(recNo);
    }
    return;
  }
  if (recNo < 1 || !FOSLockedRecords.IsSet(recNo) || !FDataFile->UnlockRecord(recNo)) {
    RaiseTableError(KURA_UNLOCKFAILED);
  }
  FOSLockedRecords.Exclude(recNo);
}

void TDataTable::ReleaseAllLocks() {
  if (!FFilesOpen) return;
  if (FJournal.Active() && !LockFree()) AbandonCommit();
  FDataFile->UnlockAllRecords();
  FOSLockedRecords.ClearAll();
  FCursorLockedRecords.ClearAll();
  FDeferredUnlocks.ClearAll();
  const bool tableByte = FWriteLocked || (FTransactionLocked && !LockFree());
  if (FWriteLocked) {
    if (FBlobFile) FBlobFile->UnlockExclusive();
    FIndexFile->UnlockExclusive();
  }
  if (tableByte) FDataFile->UnlockTableWrite();
  FWriteLocked = false;
  FTransactionLocked = false;
  if (!FReadBytesSuspended) {
    ReleaseSharedBytes(FReadIndexToken, FReadBlobToken);
    ReleaseSharedBytes(FQueryIndexToken, FQueryBlobToken);
  }
  FReadIndexToken = FReadBlobToken = FQueryIndexToken = FQueryBlobToken = 0;
  FReadBytesSuspended = false;
  FReadLocked = false;
  FQueryReadLocked = false;
}

// ---------------------------------------------------------------------------------------
// Transaction steps

void TDataTable::StartTransaction() {
  if (FReadOnly || FInTransaction || !FFilesOpen) return;
  // An exclusive table's buffered changes belong before the transaction.
  if (FExclusive) FlushTable(false);
  FInTransaction = true;
  TransactionLock();
}

void TDataTable::CommitPrepare() {
  if (!FInTransaction) return;
  WriteLock();
}

void TDataTable::CommitWrite(bool forceFlush) {
  if (!FInTransaction) return;
  TFlagScope suspended(FTransactionSuspended, true);
  FlushTable(forceFlush);
  TrimCaches();
}

void TDataTable::CommitEnd(bool endTransaction) {
  if (!FInTransaction) return;
  std::exception_ptr failure;
  Attempt(failure, [this] { WriteUnlock(); });
  if (endTransaction) {
    Attempt(failure, [this] { TransactionUnlock(); });
    FInTransaction = false;
  } else {
    bool failed = false;
    PerformDeferredUnlocks(failed);
    if (failed) Attempt(failure, [this] { RaiseTableError(KURA_UNLOCKFAILED); });
  }
  if (failure) std::rethrow_exception(failure);
}

void TDataTable::Rollback() {
  if (!FInTransaction) return;
  FInTransaction = false;
  std::exception_ptr failure;
  Attempt(failure, [this] { WriteUnlock(); });
  Attempt(failure, [this] { DiscardBuffers(true); });
  Attempt(failure, [this] { TransactionUnlock(); });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kura
