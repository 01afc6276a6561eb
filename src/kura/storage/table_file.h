#pragma once

// What the three files of a table (data ".DAT", index ".IDX", BLOB ".BLB") share, so that
// each file class keeps only what is its own:
// - the names their errors carry (the owning table's name and directory, or for a file
//   opened on its own the names derived from the file name);
// - the report of damage: every corruption error of a table file says where the damage
//   was found (see TDamagePlace), without changing the engine message;
// - how a table lock that another session holds is retried (TLockRetry);
// - the shared/exclusive lock region of the index and BLOB files (TLockRegion).

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "kura/base/engine_error.h"
#include "kura/base/file_handler.h"
#include "kura/base/names_paths.h"

namespace kura {

// How a table lock is tried: Attempts tries in all (none when below 1), with Pause run
// between two of them.
struct TLockRetry {
  int32_t Attempts = 32767;
  std::function<void()> Pause;  // empty: sleeps 3 ms
};

// A shared/exclusive lock region far beyond the end of a file. A reader takes one byte at
// SharedBase - r, r drawn at random from 1 to 65535, and keeps r as its token; a writer
// takes ExclusiveLength bytes from ExclusiveOffset, which cover every shared byte, so a
// writer excludes every reader and readers exclude only writers.
struct TLockRegion {
  int64_t SharedBase = 0;
  int64_t ExclusiveOffset = 0;
  int64_t ExclusiveLength = 0;
};

// A run of bytes of a file.
struct TByteRange {
  int64_t Offset = 0;
  int64_t Length = 0;
};

// Where in a table file damage was found: what (the header, a record slot, a block, a
// page, a chain, ...), its number and its byte offset in the file when known (-1 when
// not).
struct TDamagePlace {
  std::string What;
  int64_t Number = -1;
  int64_t Offset = -1;
};

// Keeps an item that a table file pinned for its caller (a record, a BLOB block, an index
// page) pinned for a scope; the holder gives it back through the file's release
// operation (ReleaseItem), which every path out of the scope runs exactly once.
template <typename TFile, typename TItem, void (TFile::*ReleaseItem)(TItem*)>
class TPinHolder {
public:
  TPinHolder(TFile& file, TItem* item) : FFile(&file), FItem(item) {}
  ~TPinHolder() {
    if (FItem) (FFile->*ReleaseItem)(FItem);
  }
  TPinHolder(const TPinHolder&) = delete;
  TPinHolder& operator=(const TPinHolder&) = delete;
  TItem* operator->() const { return FItem; }
  TItem& operator*() const { return *FItem; }
  TItem* Get() const { return FItem; }
  // Hands the pinned item to the caller, who releases it; the holder holds nothing.
  TItem* Release() { return std::exchange(FItem, nullptr); }
  // Releases the held item and holds `item` instead.
  void Reset(TItem* item) {
    if (FItem) (FFile->*ReleaseItem)(FItem);
    FItem = item;
  }

private:
  TFile* FFile;
  TItem* FItem;
};

// The base of the data, index and BLOB files of a table.
class TTableFile : public TFileHandler {
public:
  // The retry of the table locks; the table sets it from its session before locking.
  void SetLockRetry(TLockRetry retry) { FLockRetry = std::move(retry); }
  const TLockRetry& LockRetry() const { return FLockRetry; }

  // The table name and directory that this file's errors carry: the owner's when it
  // names them, otherwise the file name without its extension and the file's directory.
  TErrorNames ErrorNames() const {
    TErrorNames names = OwnerNames();
    if (names.TableName.empty()) names.TableName = TableBaseName(FileName, FExtension);
    if (names.DatabaseName.empty()) {
      const std::string_view file = ExtractFileName(FileName);
      names.DatabaseName = FileName.substr(0, FileName.size() - file.size());
    }
    return names;
  }

  // The text a corruption error of this file carries in its ExtraMessage:
  // "<file name>: <what>[ <number>][ at byte <offset>]". The messages of the corruption
  // codes do not show it; reports such as the verify command's do.
  std::string DamageText(const TDamagePlace& place) const {
    std::string text(ExtractFileName(FileName));
    text += ": ";
    text += place.What.empty() ? std::string("unknown place") : place.What;
    if (place.Number >= 0) text += " " + std::to_string(place.Number);
    if (place.Offset >= 0) text += " at byte " + std::to_string(place.Offset);
    return text;
  }

protected:
  TTableFile(std::string fileName, bool inMemory, std::string_view extension)
      : TFileHandler(std::move(fileName), inMemory), FExtension(extension), FRandom(std::random_device{}()) {}

  // The owner's table name and directory (empty when there is no owner or it names
  // none).
  virtual TErrorNames OwnerNames() const = 0;
  template <typename TOwner>
  static TErrorNames NamesOf(const TOwner* owner) {
    TErrorNames names;
    if (owner) {
      names.TableName = owner->TableName();
      names.DatabaseName = owner->DirectoryPath();
    }
    return names;
  }

  // Bytes of the file beyond `declaredEnd`, the end its header accounts for: what a writer
  // left that died after the file grew and before its header said so (or a write the
  // system cut short). Readers never look there.
  int64_t SurplusBeyond(int64_t declaredEnd) {
    const int64_t size = GetFileSize();
    return size > declaredEnd ? size - declaredEnd : 0;
  }
  // Cuts the surplus off; true when there was any. The bytes are no part of the table,
  // so the cut is not journaled. Raises KURA_WRITEERR.
  bool CutSurplusBeyond(int64_t declaredEnd) {
    if (SurplusBeyond(declaredEnd) == 0) return false;
    TFileChangeGuard* const guard = ChangeGuard;
    ChangeGuard = nullptr;
    struct TRestore {
      TTableFile& File;
      TFileChangeGuard* Guard;
      ~TRestore() { File.ChangeGuard = Guard; }
    } restore{*this, guard};
    TFileAccess access(*this);
    Seek(soFromBeginning, declaredEnd);
    WriteBuffer(nullptr, 0);
    return true;
  }

  // Raises `code` with this file's names and, in ExtraMessage, DamageText(place).
  [[noreturn]] void RaiseDamaged(TErrorCode code, const TDamagePlace& place) const {
    TErrorNames names = ErrorNames();
    names.ExtraMessage = DamageText(place);
    RaiseEngineError(code, names);
  }

  // Tries `attempt` (a callable returning true on success) as LockRetry says; false when
  // every attempt failed.
  template <typename TAttempt>
  bool Retry(TAttempt&& attempt) {
    for (int32_t n = 0; n < FLockRetry.Attempts; ++n) {
      if (n > 0) PauseBetweenAttempts();
      if (attempt()) return true;
    }
    return false;
  }

  // The shared lock of `region`: true with the byte's r in token; false, with token 0
  // ("holds nothing"), when every attempt met a writer. Resetting matters: a caller
  // releases by token, and a stale token would release a byte that another opener of
  // the same file object holds.
  bool LockSharedRegion(const TLockRegion& region, int32_t& token) {
    std::uniform_int_distribution<int32_t> draw(1, 65535);
    int32_t drawn = 0;
    const bool locked = Retry([&] {
      drawn = draw(FRandom);
      return LockRange(true, 1, region.SharedBase - drawn);
    });
    token = locked ? drawn : 0;
    return locked;
  }
  // Releases the shared byte of `token`; false for a token that names no byte or a byte
  // not locked.
  bool UnlockSharedRegion(const TLockRegion& region, int32_t token) {
    if (token < 1 || token > 65535) return false;
    return LockRange(false, 1, region.SharedBase - token);
  }
  bool LockExclusiveRegion(const TLockRegion& region) {
    return Retry([&] { return LockRange(true, region.ExclusiveLength, region.ExclusiveOffset); });
  }
  bool UnlockExclusiveRegion(const TLockRegion& region) {
    return LockRange(false, region.ExclusiveLength, region.ExclusiveOffset);
  }

private:
  void PauseBetweenAttempts() const {
    if (FLockRetry.Pause) {
      FLockRetry.Pause();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  }

  std::string_view FExtension;
  TLockRetry FLockRetry;
  std::mt19937 FRandom;
};

}  // namespace kura
