#include "kura/storage/table_journal.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/file_handler.h"
#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

namespace {

using namespace kura;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
namespace fs = std::filesystem;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// Two files guarded by a journal; a "commit" changes them and is then left as a crash
// would leave it (the journal stays on disk), or completed.
class TableJournalTest : public ::testing::Test {
protected:
  TableJournalTest() {
    WriteFileBytes(DataPath(), Pattern(5000, 1));
    WriteFileBytes(IndexPath(), Pattern(8192, 2));
    Data.FileName = DataPath().string();
    Index.FileName = IndexPath().string();
    Data.Open();
    Index.Open();
    Journal.Attach(JournalPath().string(), &Data, &Index, nullptr);
  }

  fs::path DataPath() const { return Temp / "t.DAT"; }
  fs::path IndexPath() const { return Temp / "t.IDX"; }
  fs::path JournalPath() const { return Temp / "t.KJL"; }
  // The journal holds a commit: its header is whole (between commits it stays on disk
  // with its header wiped).
  bool JournalHot() const {
    const std::vector<uint8_t> bytes = ReadFileBytes(JournalPath());
    return bytes.size() >= 8 && std::equal(bytes.begin(), bytes.begin() + 8, "KuraJrnl");
  }

  // Overwrites, appends to and cuts the two files through their handlers.
  void Change() {
    const std::vector<uint8_t> ones(300, 0x11);
    Data.WriteAt(100, ones.data(), 300);
    Data.WriteAt(4900, ones.data(), 300);  // beyond the old end
    Data.WriteAt(250, ones.data(), 10);    // again: the first save stays the original
    Index.WriteAt(4096, ones.data(), 200);
    TFileAccess access(Index);
    Index.Seek(soFromBeginning, 6000);
    Index.WriteBuffer(nullptr, 0);  // a cut
  }

  // A new opener rolls back what the journal on disk holds.
  bool RecoverWithNewJournal() {
    TTableJournal other;
    other.Attach(JournalPath().string(), &Data, &Index, nullptr);
    const bool changed = other.Recover();
    other.Detach();
    return changed;
  }

  testing_support::TTempDir Temp;
  TFileHandler Data;
  TFileHandler Index;
  TTableJournal Journal;
};

TEST_F(TableJournalTest, ACompletedCommitKeepsItsChangesAndEmptiesTheJournal) {
  Change();
  EXPECT_TRUE(Journal.Active());
  EXPECT_TRUE(JournalHot());
  Journal.Complete();
  EXPECT_FALSE(Journal.Active());
  EXPECT_FALSE(JournalHot());
  EXPECT_EQ(Data.GetFileSize(), 5200);
  EXPECT_EQ(Index.GetFileSize(), 6000);
}

TEST_F(TableJournalTest, ARollBackInProcessPutsBackBytesAndSizes) {
  Change();
  Journal.RollBack();
  EXPECT_FALSE(JournalHot());
  EXPECT_EQ(ReadFileBytes(DataPath()), Pattern(5000, 1));
  EXPECT_EQ(ReadFileBytes(IndexPath()), Pattern(8192, 2));
}

TEST_F(TableJournalTest, AToolRollsBackTheCommitOfAClosedTable) {
  Change();
  Journal.Detach();
  Data.Close();
  Index.Close();
  EXPECT_TRUE(TTableJournal::HoldsCommit(JournalPath().string()));
  EXPECT_TRUE(TTableJournal::RecoverClosedTable(JournalPath().string(), DataPath().string(), IndexPath().string(),
                                                (Temp / "t.BLB").string()));
  EXPECT_FALSE(JournalHot());
  EXPECT_EQ(ReadFileBytes(DataPath()), Pattern(5000, 1));
  EXPECT_EQ(ReadFileBytes(IndexPath()), Pattern(8192, 2));
  // Nothing more to do the second time.
  EXPECT_FALSE(TTableJournal::RecoverClosedTable(JournalPath().string(), DataPath().string(), IndexPath().string(),
                                                 ""));
}

// What another opener finds after a crash, with the journal damaged in different ways.
enum class TIndexAfter { Original, AsChanged, CutRestLost };

struct TDamageCase {
  const char* Name;
  std::function<void(std::vector<uint8_t>&)> Damage;
  bool DataRestored;  // the data file's changes are undone
  TIndexAfter Index;
};

class TableJournalDamageTest : public TableJournalTest, public ::testing::WithParamInterface<TDamageCase> {};

TEST_P(TableJournalDamageTest, RecoveryAppliesTheWholeEntriesBeforeTheFirstBadOne) {
  Change();
  Journal.Detach();  // the writer dies: the journal stays as it is
  std::vector<uint8_t> journal = ReadFileBytes(JournalPath());
  ASSERT_GT(journal.size(), 32u);
  GetParam().Damage(journal);
  WriteFileBytes(JournalPath(), journal);

  const bool changed = RecoverWithNewJournal();
  EXPECT_FALSE(JournalHot());
  EXPECT_EQ(changed, GetParam().DataRestored);
  const std::vector<uint8_t> data = ReadFileBytes(DataPath());
  if (GetParam().DataRestored) {
    EXPECT_EQ(data, Pattern(5000, 1));
  } else {
    ASSERT_EQ(data.size(), 5200u);
    EXPECT_EQ(data[150], 0x11);
  }
  const std::vector<uint8_t> original = Pattern(8192, 2);
  std::vector<uint8_t> index = ReadFileBytes(IndexPath());
  switch (GetParam().Index) {
    case TIndexAfter::Original:
      EXPECT_EQ(index, original);
      break;
    case TIndexAfter::AsChanged:
      ASSERT_EQ(index.size(), 6000u);
      EXPECT_EQ(index[4100], 0x11);
      break;
    case TIndexAfter::CutRestLost:
      // The change was put back and the size restored; the bytes the cut took are not.
      ASSERT_EQ(index.size(), 8192u);
      EXPECT_TRUE(std::equal(index.begin(), index.begin() + 6000, original.begin()));
      EXPECT_TRUE(std::all_of(index.begin() + 6000, index.end(), [](uint8_t b) { return b == 0; }));
      break;
  }
}

// The journal holds: its 32-byte header; the data file's size; data bytes 100 to 400 and
// 4900 to 5000 (the rest of that write lies beyond the old end); the index file's size;
// index bytes 4096 to 4296 (the change) and 4296 to 8192 (the cut). Each entry is a
// 20-byte head and its bytes.
constexpr size_t kIndexSizeEntry = 32 + 20 + (20 + 300) + (20 + 100);

INSTANTIATE_TEST_SUITE_P(
    Damage, TableJournalDamageTest,
    ::testing::Values(
        TDamageCase{"Whole", [](std::vector<uint8_t>&) {}, true, TIndexAfter::Original},
        TDamageCase{"LastEntryCutShort", [](std::vector<uint8_t>& j) { j.resize(j.size() - 5); }, true,
                    TIndexAfter::CutRestLost},
        TDamageCase{"IndexSizeEntryFlipped", [](std::vector<uint8_t>& j) { j[kIndexSizeEntry + 9] ^= 0x40; }, true,
                    TIndexAfter::AsChanged},
        TDamageCase{"HeaderCutShort", [](std::vector<uint8_t>& j) { j.resize(20); }, false, TIndexAfter::AsChanged},
        TDamageCase{"HeaderWiped", [](std::vector<uint8_t>& j) { std::fill_n(j.begin(), 32, 0); }, false,
                    TIndexAfter::AsChanged},
        TDamageCase{"Empty", [](std::vector<uint8_t>& j) { j.clear(); }, false, TIndexAfter::AsChanged}),
    [](const ::testing::TestParamInfo<TDamageCase>& info) { return std::string(info.param.Name); });

}  // namespace
