#include "kura/storage/table_journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include "kura/base/abstract_file.h"
#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/base/os.h"
#include "kura/base/scope_guard.h"
#include "kura/storage/table_files.h"

namespace kura {

namespace {

constexpr uint8_t kMagic[8] = {'K', 'u', 'r', 'a', 'J', 'r', 'n', 'l'};
constexpr uint32_t kFormatVersion = 1;
constexpr int64_t kHeaderSize = 32;
constexpr int64_t kEntryHeadSize = 20;
constexpr uint8_t kBytesEntry = 1;
constexpr uint8_t kSizeEntry = 2;
// Original bytes are saved in pieces of at most this size, and pending entries are
// written out once they reach it: a large commit needs no buffer of its own size.
constexpr int64_t kPieceSize = 256 * 1024;

// A 32-bit checksum, eight bytes at a time: it only has to tell a whole entry from one
// that was cut short or left over, not resist an attacker.
class TChecksum {
public:
  explicit TChecksum(uint32_t salt) : FHash(0x9E3779B97F4A7C15ull ^ salt) {}
  void Add(const uint8_t* bytes, size_t length) {
    size_t i = 0;
    for (; i + 8 <= length; i += 8) Mix(ReadU64(bytes + i));
    uint64_t tail = 0;
    for (size_t shift = 0; i < length; ++i, shift += 8) tail |= uint64_t{bytes[i]} << shift;
    Mix(tail ^ (uint64_t{length & 7} << 56));
  }
  uint32_t Value() const { return static_cast<uint32_t>(FHash ^ (FHash >> 32)); }

private:
  void Mix(uint64_t word) {
    FHash ^= word;
    FHash *= 0x100000001B3ull;
    FHash ^= FHash >> 29;
  }
  uint64_t FHash;
};

uint32_t HeaderChecksum(const uint8_t* header) {
  TChecksum sum(0);
  sum.Add(header, 28);
  return sum.Value();
}

uint32_t EntryChecksum(uint32_t salt, const uint8_t* head, const uint8_t* bytes, size_t length) {
  TChecksum sum(salt);
  sum.Add(head, 16);
  if (length > 0) sum.Add(bytes, length);
  return sum.Value();
}

uint32_t NewSalt() {
  static std::random_device device;
  static std::mt19937 random(device());
  return static_cast<uint32_t>(random());
}

// Reads the journal's header; false when it is not whole (cut short, wiped, damaged).
bool ReadWholeHeader(int fd, uint8_t* header) {
  return OSReadAt(fd, 0, header, kHeaderSize) == kHeaderSize && std::memcmp(header, kMagic, sizeof kMagic) == 0 &&
         ReadU32(header + 8) == kFormatVersion && ReadU32(header + 28) == HeaderChecksum(header);
}

bool WholeHeader(int fd) {
  uint8_t header[kHeaderSize];
  return ReadWholeHeader(fd, header);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

}  // namespace

std::string JournalFileNameOf(const std::string& dataFilePath) {
  return TableFileName("", dataFilePath, kJournalExtension);
}

TTableJournal::~TTableJournal() { CloseJournal(); }

void TTableJournal::Attach(std::string journalPath, TFileHandler* data, TFileHandler* index, TFileHandler* blob) {
  Detach();
  FPath = std::move(journalPath);
  TFileHandler* files[kJournalFileCount] = {data, index, blob};
  for (int i = 0; i < kJournalFileCount; ++i) {
    FFiles[static_cast<size_t>(i)] = TGuarded{};
    FFiles[static_cast<size_t>(i)].File = files[i];
    if (files[i]) files[i]->ChangeGuard = this;
  }
}

void TTableJournal::Detach() {
  CloseJournal();
  Reset();
  for (TGuarded& g : FFiles) {
    if (g.File && g.File->ChangeGuard == this) g.File->ChangeGuard = nullptr;
    g = TGuarded{};
  }
  FPath.clear();
  FDirectorySynced = false;
}

int TTableJournal::KindOf(const TFileHandler& file) const {
  for (int i = 0; i < kJournalFileCount; ++i) {
    if (FFiles[static_cast<size_t>(i)].File == &file) return i;
  }
  return -1;
}

void TTableJournal::RaiseJournalError(uint16_t code) const {
  RaiseEngineErrorWithOSCode(code, OSLastError(), TErrorNames{.TableName = FPath});
}

bool TTableJournal::HoldsCommit() {
  if (FPath.empty() || FActive) return false;
  if (!OpenJournal(false)) return false;
  return WholeHeader(FFd);
}

bool TTableJournal::HoldsCommit(const std::string& journalPath) {
  int fd = -1;
  if (OSOpenExact(journalPath, false, fd, false) != 0) return false;
  const bool whole = WholeHeader(fd);
  OSCloseFile(fd);
  return whole;
}

// ---------------------------------------------------------------------------------------
// Saving

void TTableJournal::BeforeChange(TFileHandler& file, int64_t offset, int64_t count) {
  if (FReplaying || FPath.empty()) return;
  Save(file, offset, count);
  Persist();
}

void TTableJournal::Protect(TFileHandler& file, const std::vector<TByteRange>& ranges) {
  if (FReplaying || FPath.empty()) return;
  for (const TByteRange& range : ranges) {
    if (range.Length > 0) Save(file, range.Offset, range.Length);
  }
}

int64_t TTableJournal::OriginalSize(TFileHandler& file) {
  const int kind = KindOf(file);
  if (FReplaying || FPath.empty() || kind < 0) return -1;
  if (!FActive) Start();
  Touch(kind);
  return FFiles[static_cast<size_t>(kind)].OriginalSize;
}

void TTableJournal::Save(TFileHandler& file, int64_t offset, int64_t count) {
  const int kind = KindOf(file);
  if (kind < 0) return;
  if (!FActive) Start();
  Touch(kind);
  TGuarded& g = FFiles[static_cast<size_t>(kind)];
  // A cut loses everything from the offset on; a write overwrites its bytes. Only bytes
  // the file held when the commit began need saving.
  const int64_t end = count < 0 ? g.OriginalSize : std::min(g.OriginalSize, offset + count);
  if (offset < end) SaveRange(kind, offset, end);
}

bool TTableJournal::OpenJournal(bool create) {
  if (FFd >= 0) return true;
  int fd = -1;
  if (OSOpenExact(FPath, create, fd) != 0) {
    if (!create && OSLastError() == ENOENT) return false;
    RaiseJournalError(create ? KURA_WRITEERR : KURA_READERR);
  }
  FFd = fd;
  return true;
}

void TTableJournal::Start() {
  OpenJournal(true);
  // The journal file may just have been made: its name must survive a power loss too.
  if (FDurable && !FDirectorySynced) {
    if (!OSFlushDirectory(DirectoryOf(FPath))) RaiseJournalError(KURA_WRITEERR);
    FDirectorySynced = true;
  }
  // The journal is empty here: whoever holds the lock rolled back and emptied a left-over
  // one before changing anything (invariant 2), and this opener empties its own.
  FActive = true;
  FEnd = 0;
  FSalt = NewSalt();
  uint8_t header[kHeaderSize] = {};
  std::memcpy(header, kMagic, sizeof kMagic);
  WriteU32(header + 8, kFormatVersion);
  WriteU32(header + 12, FSalt);
  WriteU32(header + 28, HeaderChecksum(header));
  FPending.assign(header, header + kHeaderSize);
}

void TTableJournal::Touch(int kind) {
  TGuarded& g = FFiles[static_cast<size_t>(kind)];
  if (g.Touched) return;
  const int64_t size = g.File->GetFileSize();
  if (size < 0) RaiseJournalError(KURA_READERR);
  g.OriginalSize = size;
  g.Touched = true;
  AddEntry(kSizeEntry, kind, size, nullptr, 0);
}

void TTableJournal::SaveRange(int kind, int64_t from, int64_t to) {
  TGuarded& g = FFiles[static_cast<size_t>(kind)];
  std::map<int64_t, int64_t>& saved = g.Saved;
  int64_t pos = from;
  while (pos < to) {
    // Skip a saved range that covers pos.
    auto next = saved.upper_bound(pos);
    if (next != saved.begin()) {
      auto covering = std::prev(next);
      if (covering->second > pos) {
        pos = covering->second;
        continue;
      }
    }
    const int64_t gapEnd = next == saved.end() ? to : std::min(to, next->first);
    for (int64_t piece = pos; piece < gapEnd; piece += kPieceSize) {
      const int64_t length = std::min(kPieceSize, gapEnd - piece);
      FCopy.resize(static_cast<size_t>(length));
      const int32_t got = g.File->ReadAt(piece, FCopy.data(), static_cast<int32_t>(length), true);
      // Bytes the file no longer has (it was cut earlier and saved then) read as zero.
      std::fill(FCopy.begin() + got, FCopy.end(), uint8_t{0});
      AddEntry(kBytesEntry, kind, piece, FCopy.data(), static_cast<uint32_t>(length));
      if (static_cast<int64_t>(FPending.size()) >= kPieceSize) Persist();
    }
    // Record [pos, gapEnd), merged with its neighbours.
    int64_t first = pos;
    int64_t last = gapEnd;
    auto after = saved.lower_bound(pos);
    if (after != saved.begin()) {
      auto before = std::prev(after);
      if (before->second == first) {
        first = before->first;
        saved.erase(before);
      }
    }
    after = saved.find(last);
    if (after != saved.end()) {
      last = after->second;
      saved.erase(after);
    }
    saved[first] = last;
    pos = gapEnd;
  }
}

void TTableJournal::AddEntry(uint8_t entryKind, int kind, int64_t offset, const uint8_t* bytes, uint32_t length) {
  uint8_t head[kEntryHeadSize] = {};
  head[0] = entryKind;
  head[1] = static_cast<uint8_t>(kind);
  WriteU32(head + 4, length);
  WriteI64(head + 8, offset);
  WriteU32(head + 16, EntryChecksum(FSalt, head, bytes, length));
  FPending.insert(FPending.end(), head, head + kEntryHeadSize);
  if (length > 0) FPending.insert(FPending.end(), bytes, bytes + length);
}

void TTableJournal::Persist() {
  if (FPending.empty()) return;
  const int64_t size = static_cast<int64_t>(FPending.size());
  const int64_t written = OSWriteAt(FFd, FEnd, FPending.data(), size);
  if (written != size) {
    if (written >= 0) OSSetLastError(ENOSPC);
    // What was written of the entries is cut off again by the checksums (invariant 5);
    // the caller's change is refused.
    FPending.clear();
    RaiseJournalError(KURA_WRITEERR);
  }
  FEnd += size;
  FPending.clear();
  if (FDurable && !OSFlush(FFd)) RaiseJournalError(KURA_WRITEERR);
}

// ---------------------------------------------------------------------------------------
// Ending a commit

void TTableJournal::CloseJournal() {
  if (FFd >= 0) OSCloseFile(FFd);
  FFd = -1;
}

void TTableJournal::Reset() {
  FActive = false;
  for (TGuarded& g : FFiles) {
    g.Touched = false;
    g.OriginalSize = 0;
    g.Saved.clear();
  }
  FPending.clear();
  FEnd = 0;
}

bool TTableJournal::Empty() {
  // One byte of the magic: a write of one byte happens whole or not at all, so a failed
  // wipe leaves the header whole and the commit can still be rolled back.
  const uint8_t zero = 0;
  if (OSWriteAt(FFd, 0, &zero, 1) != 1) return false;
  // Once wiped, the commit stands (or the rollback is done) for every later opener in
  // this boot of the system; a failing flush or cut only leaves a power loss uncovered
  // or the file larger than it needs to be.
  if (FEnd > kPieceSize) OSTruncate(FFd, 0);
  if (FDurable) OSFlush(FFd);
  return true;
}

void TTableJournal::Complete() {
  if (!FActive) return;
  // Until the files are on disk and the journal is emptied the commit can still be
  // undone: a failure leaves the journal active for the caller's rollback.
  if (FDurable) {
    for (TGuarded& g : FFiles) {
      if (g.Touched) g.File->Flush();
    }
  }
  if (!Empty()) RaiseJournalError(KURA_WRITEERR);
  Reset();
}

void TTableJournal::RollBack() {
  if (!FActive) return;
  // Entries still pending were never needed: their changes were not made.
  FPending.clear();
  // A rollback that fails leaves the journal whole on disk for the next locker.
  auto leave = OnScopeFail([this] { Reset(); });
  Replay(FFd);
  if (!Empty()) RaiseJournalError(KURA_WRITEERR);
  Reset();
}

bool TTableJournal::Recover() {
  if (FPath.empty() || FActive) return false;
  if (!OpenJournal(false)) return false;
  FEnd = OSGetSize(FFd);
  const bool changed = Replay(FFd);
  if (!Empty()) RaiseJournalError(KURA_WRITEERR);
  Reset();
  return changed;
}

bool TTableJournal::RecoverClosedTable(const std::string& journalPath, const std::string& dataName,
                                       const std::string& indexName, const std::string& blobName) {
  if (!HoldsCommit(journalPath)) return false;
  std::array<TFileHandler, kJournalFileCount> files;
  const std::string names[kJournalFileCount] = {dataName, indexName, blobName};
  TFileHandler* open[kJournalFileCount] = {};
  for (int i = 0; i < kJournalFileCount; ++i) {
    TFileHandler& file = files[static_cast<size_t>(i)];
    file.FileName = names[i];
    file.Exclusive = true;
    if (names[i].empty() || !file.FileExists()) continue;
    file.Open();
    open[i] = &file;
  }
  TTableJournal journal;
  journal.Attach(journalPath, open[0], open[1], open[2]);
  const bool changed = journal.Recover();
  journal.Detach();
  return changed;
}

bool TTableJournal::Replay(int fd) {
  uint8_t header[kHeaderSize];
  // No whole header: nothing was changed under it (invariants 3, 5).
  if (!ReadWholeHeader(fd, header)) return false;
  const uint32_t salt = ReadU32(header + 12);
  const int64_t journalSize = OSGetSize(fd);
  if (journalSize < 0) RaiseJournalError(KURA_READERR);
  FReplaying = true;
  auto replayed = OnScopeExit([this] { FReplaying = false; });
  std::array<int64_t, kJournalFileCount> sizes;
  sizes.fill(-1);
  bool changed = false;
  std::vector<uint8_t> bytes;
  for (int64_t pos = kHeaderSize; pos + kEntryHeadSize <= journalSize;) {
    uint8_t head[kEntryHeadSize];
    if (OSReadAt(fd, pos, head, kEntryHeadSize) != kEntryHeadSize) break;
    const uint8_t entryKind = head[0];
    const int kind = head[1];
    const int64_t length = ReadU32(head + 4);
    const int64_t offset = ReadI64(head + 8);
    if ((entryKind != kBytesEntry && entryKind != kSizeEntry) || kind >= kJournalFileCount || offset < 0 ||
        length > kPieceSize || (entryKind == kSizeEntry && length != 0) ||
        pos + kEntryHeadSize + length > journalSize) {
      break;
    }
    bytes.resize(static_cast<size_t>(length));
    if (length > 0 && OSReadAt(fd, pos + kEntryHeadSize, bytes.data(), length) != length) break;
    if (EntryChecksum(salt, head, bytes.data(), static_cast<size_t>(length)) != ReadU32(head + 16)) break;
    pos += kEntryHeadSize + length;
    TFileHandler* file = FFiles[static_cast<size_t>(kind)].File;
    if (!file) continue;  // a file this table does not have (any more)
    if (entryKind == kSizeEntry) {
      sizes[static_cast<size_t>(kind)] = offset;
    } else {
      file->WriteAt(offset, bytes.data(), static_cast<int32_t>(length));
      changed = true;
    }
  }
  for (int i = 0; i < kJournalFileCount; ++i) {
    TFileHandler* file = FFiles[static_cast<size_t>(i)].File;
    if (!file || sizes[static_cast<size_t>(i)] < 0) continue;
    if (file->GetFileSize() != sizes[static_cast<size_t>(i)]) {
      CutTo(*file, sizes[static_cast<size_t>(i)]);
      changed = true;
    }
  }
  // The files hold the old state on disk before the journal may go (invariant 6).
  for (TGuarded& g : FFiles) {
    if (g.File) g.File->Flush();
  }
  return changed;
}

void TTableJournal::CutTo(TFileHandler& file, int64_t size) {
  TFileAccess access(file);
  file.Seek(soFromBeginning, size);
  file.WriteBuffer(nullptr, 0);
}

}  // namespace kura
