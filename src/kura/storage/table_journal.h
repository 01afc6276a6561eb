#pragma once

// The rollback journal of a table: the file "NAME.KJL" beside the table's data file. Before
// a commit changes any byte that the table's data, index or BLOB file held when the commit
// began, those original bytes, and each file's original size, go to the journal. When the
// commit is complete the journal is emptied: the first byte of its header is wiped (the
// file stays: it is never removed while the table may be open, so every opener's
// descriptor names the same file, and wiping a byte costs less than cutting a file). A journal with a whole header
// found by someone who holds one of the table's locks therefore belongs to a writer that
// died in the middle of a commit, and putting its bytes back and cutting the files to
// their sizes gives the table exactly as it was before that commit.
//
// Recovery protocol. Invariants:
//  1. A journal has a whole header only while its writer holds the table's write lock (or
//     has the table open exclusively): it is written at the first change of a commit,
//     under that lock, and emptied, or rolled back and emptied, before the lock is
//     released.
//     Every other opener is shut out meanwhile (the write lock's region covers every read
//     byte; an exclusive open excludes every other open).
//  2. So a journal with a whole header that someone holding any lock of the table (read,
//     query read, write, transaction) sees on disk has no live writer: its writer died or gave
//     up. It is rolled back under the exclusive region of the write lock before anything
//     of the table is read.
//  3. Write-ahead: the original bytes of a range are in the journal (and, when durable,
//     flushed) before the first byte of the range is overwritten; a file's original size
//     is in the journal before the file first changes. Bytes beyond the original size are
//     not saved: rolling back cuts them off.
//  4. A range is saved once per commit, at its first change, so what the journal holds is
//     always the state before the commit, however often the commit rewrites the range.
//  5. An entry counts only when whole: it carries a checksum over the journal's salt, its
//     head and its bytes. The first entry that is cut short or fails its checksum ends the
//     journal; the change it would have protected was never made (invariant 3). Entries an
//     earlier commit left beyond the end fail the checksum (a new salt every commit). A
//     journal without a whole header protects nothing.
//  6. Rolling back writes the saved bytes back, cuts each file to its original size,
//     flushes the files and only then empties the journal, so a rollback interrupted by
//     another crash is simply done again.
//  7. When durable (the session forces flushes), the journal is flushed before the first
//     overwrite, the table files are flushed before the journal is emptied, and the
//     emptied journal is flushed: after a power loss a commit is either whole or rolled
//     back. Without it a process crash is covered; after a power loss the operating
//     system may have written the files' pages in any order.
//  8. The journal file is removed only with the table's files (deleting the table) or
//     moved with them (renaming it), both of which need the table closed everywhere.
//
// Journal layout (little-endian):
//
// header (32 bytes, at 0):
// | offset | size | field |
// |---|---|---|
// | 0 | 8 | magic "KuraJrnl" |
// | 8 | 4 | format version, 1 |
// | 12 | 4 | salt: a random number of this journal, part of every checksum |
// | 16 | 12 | reserved, zero |
// | 28 | 4 | checksum of bytes 0 to 27 |
//
// entries, one after another from offset 32 (a 20-byte head, then the bytes):
// | offset | size | field |
// |---|---|---|
// | 0 | 1 | kind: 1 original bytes, 2 original size |
// | 1 | 1 | file: 0 data, 1 index, 2 BLOB |
// | 2 | 2 | reserved, zero |
// | 4 | 4 | L: the number of bytes that follow (0 for a size entry) |
// | 8 | 8 | the bytes' offset in the file, or the file's original size |
// | 16 | 4 | checksum of the salt, bytes 0 to 15 and the L bytes |
// | 20 | L | the original bytes |

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kura/base/file_handler.h"
#include "kura/storage/table_file.h"

namespace kura {

// The extension of a table's rollback journal.
inline constexpr char kJournalExtension[] = ".KJL";

// The journal of the table whose data file has the path `dataFilePath`: the data file's
// name with the journal's extension instead of ".DAT". Given the path as found on disk,
// every opener finds the same journal whatever letter case it names the table in.
std::string JournalFileNameOf(const std::string& dataFilePath);

// Which of a table's files a journal entry belongs to.
enum class TJournalFile : uint8_t { Data = 0, Index = 1, Blob = 2 };
inline constexpr int kJournalFileCount = 3;

class TTableJournal final : public TFileChangeGuard {
public:
  TTableJournal() = default;
  // Closes the journal file if a commit left it open; the file stays on disk (the next
  // locker rolls it back).
  ~TTableJournal() override;
  TTableJournal(const TTableJournal&) = delete;
  TTableJournal& operator=(const TTableJournal&) = delete;

  // Guards the given files (each may be null: a table without BLOB file) with the journal
  // at journalPath, and makes this journal their change guard. The files must be open.
  void Attach(std::string journalPath, TFileHandler* data, TFileHandler* index, TFileHandler* blob);
  // Stops guarding (before the files close) and closes the journal file. A commit still
  // running is left as a crash would leave it.
  void Detach();
  bool Attached() const { return !FPath.empty(); }
  const std::string& Path() const { return FPath; }

  // Durable mode (see invariant 7): set from the session's flush setting before a commit.
  void SetDurable(bool durable) { FDurable = durable; }

  // A commit has changed a file since the journal was last completed or rolled back.
  bool Active() const { return FActive; }

  // Saves what a write or cut is about to overwrite; the first change of a commit begins
  // the journal. Raises KURA_READERR / KURA_WRITEERR (the change must then not be made).
  void BeforeChange(TFileHandler& file, int64_t offset, int64_t count) override;
  // Saves ahead what the coming writes of `file` may overwrite (a superset does no harm),
  // so that they all reach the journal with the first of them, in one write.
  void Protect(TFileHandler& file, const std::vector<TByteRange>& ranges);
  // The size `file` had when the running commit first changed it; begins the commit and
  // notes the size now when it has not changed yet. -1 for a file this journal does not
  // guard (or while detached).
  int64_t OriginalSize(TFileHandler& file);

  // The commit's changes are all written: flushes the changed files when durable and
  // empties the journal. Nothing when no commit is active. Raises KURA_WRITEERR when that
  // fails (the journal then stays active: roll it back).
  void Complete();

  // Puts back what the running commit changed (saved bytes, original sizes), flushes the
  // files and empties the journal. Nothing when no commit is active. Raises the read or
  // write error of a step that fails; the journal then stays on disk, whole, for the next
  // locker to roll back.
  void RollBack();

  // Whether the journal on disk holds a commit (a whole header): one read of a descriptor
  // kept open from the first look to Detach, or one failing open while there is no
  // journal file.
  bool HoldsCommit();
  // The same for a table this opener cannot write (no journal attached).
  static bool HoldsCommit(const std::string& journalPath);

  // Rolls back the commit a journal on disk holds, on a table nobody has open: for the
  // tools that work on a table's files directly (repair, restructure). Each of the named
  // files that exists is opened exclusively (KURA_OSEACCES while someone has it open); a
  // table whose headers are damaged can be rolled back too. Returns whether the files
  // changed.
  static bool RecoverClosedTable(const std::string& journalPath, const std::string& dataName,
                                 const std::string& indexName, const std::string& blobName);

  // Rolls back a journal that another writer left on disk (the caller holds the exclusive
  // region: invariant 2). Returns whether the files changed. A journal with no whole
  // header is just emptied. Raises the read or write error of a step that fails; the
  // journal then stays on disk.
  bool Recover();

private:
  struct TGuarded {
    TFileHandler* File = nullptr;
    bool Touched = false;          // changed in the running commit
    int64_t OriginalSize = 0;      // its size when the commit first changed it
    std::map<int64_t, int64_t> Saved;  // ranges [first, second) already in the journal
  };

  int KindOf(const TFileHandler& file) const;
  // Saves [offset, offset + count) of `file` (count < 0: to the end) into the pending
  // entries, beginning the journal when needed.
  void Save(TFileHandler& file, int64_t offset, int64_t count);
  void Start();
  // Wipes the journal's header (flushed when durable); a large journal is cut as well.
  // False when the wipe failed: the header is then still whole.
  bool Empty();
  // Opens the journal file when it exists (or, with `create`, makes it); false when there
  // is none.
  bool OpenJournal(bool create);
  void Touch(int kind);
  void SaveRange(int kind, int64_t from, int64_t to);
  void AddEntry(uint8_t entryKind, int kind, int64_t offset, const uint8_t* bytes, uint32_t length);
  void Persist();
  void CloseJournal();
  void Reset();
  // Writes the saved entries of the journal on disk back into the files; returns whether
  // anything was written or cut.
  bool Replay(int fd);
  void CutTo(TFileHandler& file, int64_t size);
  [[noreturn]] void RaiseJournalError(uint16_t code) const;

  std::string FPath;
  std::array<TGuarded, kJournalFileCount> FFiles{};
  bool FDurable = false;
  bool FDirectorySynced = false;  // the journal's name is on disk (durable mode)
  bool FReplaying = false;  // changes made by a rollback are not journaled again
  int FFd = -1;        // the journal file, open from the first commit to Detach
  bool FActive = false;  // a commit has begun the journal
  int64_t FEnd = 0;  // bytes of the journal written so far
  uint32_t FSalt = 0;
  std::vector<uint8_t> FPending;  // entries not yet written to the journal
  std::vector<uint8_t> FCopy;     // original bytes being saved
};

}  // namespace kura
