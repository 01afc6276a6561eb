#include "kura/engine/data_cursor.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <numeric>

#include "kura/base/byte_order.h"
#include "kura/engine/cursor_internals.h"
#include "kura/base/os.h"
#include "testing/cursor_fixture.h"
#include "testing/definition_builders.h"
#include "testing/direct_table_edits.h"
#include "testing/engine_error_expect.h"
#include "testing/pipe.h"
#include "testing/record_image.h"

namespace kura::cursor_test {
namespace {

using testing_support::AppendDirect;
using testing_support::DeleteDirect;
using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;
using testing_support::Index;
using testing_support::PeopleDefinition;
using testing_support::PersonRecord;
using testing_support::TCursorFixture;
using testing_support::TRecordImage;

class DataCursorTest : public TCursorFixture {};

std::vector<int32_t> Range(int32_t first, int32_t last) {
  std::vector<int32_t> ids;
  for (int32_t i = first; i <= last; ++i) ids.push_back(i);
  return ids;
}

std::vector<int32_t> Reversed(std::vector<int32_t> ids) {
  std::reverse(ids.begin(), ids.end());
  return ids;
}

TEST_F(DataCursorTest, EmptyTableReportsItsPositionCodes) {
  CreatePeople();
  for (const bool natural : {false, true}) {
    SCOPED_TRACE(natural ? "natural order" : "primary index");
    auto cursor = Open("people", false, natural);
    std::vector<uint8_t> buffer(static_cast<size_t>(cursor->RecordSize()), 0xAA);
    EXPECT_EQ(cursor->GetPriorRecord(buffer.data()), KURA_BOF);
    EXPECT_EQ(buffer, std::vector<uint8_t>(buffer.size(), 0));
    EXPECT_EQ(cursor->GetCurrentRecord(buffer.data()), KURA_NOCURRREC);
    cursor->SetToBegin();
    EXPECT_EQ(cursor->GetNextRecord(buffer.data()), KURA_EOF);
    EXPECT_EQ(cursor->GetRecordCount(), 0);
    EXPECT_EQ(cursor->GetRecNo(), 0);
    EXPECT_FALSE(cursor->SetToRecNo(1));
  }
}

TEST_F(DataCursorTest, RightAfterOpenTheCursorIsBeforeTheFirstRecord) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 3);
  auto fresh = Open();
  EXPECT_TRUE(fresh->Bof());
  EXPECT_EQ(fresh->GetPriorRecord(nullptr), KURA_BOF);
  EXPECT_EQ(fresh->GetCurrentRecord(nullptr), KURA_BOF);
  EXPECT_EQ(fresh->GetNextRecord(nullptr), 0);
  EXPECT_EQ(CurrentId(*fresh), 1);
}

// A fresh open stands before the first record without walking to it: of the index it
// reads the root only (whose counts tell whether the view is empty), which is what a
// cold open followed by a key search pays for.
TEST_F(DataCursorTest, OpeningReadsOnlyTheRootOfItsIndex) {
  CreatePeople();
  {
    auto cursor = Open();
    Fill(*cursor, 1200);
  }
  auto cursor = Open();
  EXPECT_EQ(TCursorInternals::Table(*cursor).IndexFile().Statistics().PageReads, 1);
  EXPECT_TRUE(cursor->Bof());
  EXPECT_EQ(cursor->GetRecordCount(), 1200);
  EXPECT_EQ(cursor->GetNextRecord(nullptr), 0);
  EXPECT_EQ(CurrentId(*cursor), 1);
  EXPECT_GT(TCursorInternals::Table(*cursor).IndexFile().Statistics().PageReads, 1);
}

// Every order over enough records to span many leaves, walked both ways; positions and
// counts come from the trees' counts and must agree with the walk.
TEST_F(DataCursorTest, WalksEveryOrderAcrossManyLeavesBothWays) {
  CreatePeople();
  auto writer = Open();
  const int count = 3000;
  Fill(*writer, count);

  std::vector<int32_t> byGroup = Range(1, count);
  std::stable_sort(byGroup.begin(), byGroup.end(), [](int32_t a, int32_t b) { return a % 7 < b % 7; });
  const std::vector<int32_t> byNameDesc = Reversed(Range(1, count));

  struct TCase {
    const char* Index;
    bool Natural;
    std::vector<int32_t> Expected;
  };
  const std::vector<TCase> cases = {
      {"", false, Range(1, count)},
      {"ByGroup", false, byGroup},
      {"ByNameDesc", false, byNameDesc},
      {"", true, Range(1, count)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Index) + (c.Natural ? " natural" : ""));
    auto cursor = Open("people", false, c.Natural);
    if (!c.Natural) cursor->SetIndexName(c.Index);
    EXPECT_EQ(cursor->InNaturalOrder(), c.Natural);
    EXPECT_EQ(cursor->GetRecordCount(), count);
    EXPECT_EQ(WalkForward(*cursor), c.Expected);
    EXPECT_EQ(WalkBackward(*cursor), Reversed(c.Expected));
    // Record numbers and positioning by them.
    for (int32_t n : {1, 2, 777, 1500, count}) {
      EXPECT_TRUE(cursor->SetToRecNo(n));
      EXPECT_EQ(cursor->GetRecNo(), n);
      EXPECT_EQ(CurrentId(*cursor), c.Expected[static_cast<size_t>(n - 1)]);
    }
    cursor->SetToBegin();
    for (int32_t n = 1; n <= 50; ++n) {
      ASSERT_EQ(cursor->GetNextRecord(nullptr), 0);
      EXPECT_EQ(cursor->GetRecNo(), n);
    }
  }
}

TEST_F(DataCursorTest, ATableWithoutPrimaryIndexIsReadInNaturalOrder) {
  CreatePeople("loose", false);
  auto cursor = Open("loose");
  EXPECT_TRUE(cursor->InNaturalOrder());
  Fill(*cursor, 40);
  DeleteDirect(TCursorInternals::Table(*cursor), 5);
  std::vector<int32_t> expected = Range(1, 40);
  expected.erase(expected.begin() + 4);
  EXPECT_EQ(WalkForward(*cursor), expected);
  // Bookmarks are record numbers.
  ASSERT_TRUE(cursor->SetToRecNo(10));
  EXPECT_EQ(cursor->BookmarkSize(), 4);
  uint8_t bookmark[4];
  cursor->GetBookmark(bookmark);
  EXPECT_EQ(ReadI32(bookmark), 11);
  uint8_t deleted[4];
  WriteI32(deleted, 5);
  EXPECT_FALSE(cursor->SetToBookmark(deleted, false));
  EXPECT_EQ(CurrentId(*cursor), 6);
  EXPECT_TRUE(cursor->SetToBookmark(deleted, true));
  EXPECT_EQ(cursor->CompareBookmarks(deleted, bookmark), -1);
}

TEST_F(DataCursorTest, RangesOnOneAndTwoFieldIndexes) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 700);
  TDataFile& data = TCursorInternals::Table(*cursor).DataFile();

  // ByGroup (GRP, NAME), start field count 1: all of group 3 whatever NAME holds.
  cursor->SetIndexName("ByGroup");
  const std::vector<uint8_t> group3 = PersonRecord(data, {0, "ZZZ", 3, 0});
  const std::vector<uint8_t> group3Low = PersonRecord(data, {0, "", 3, 0});
  cursor->SetRange(group3.data(), 1, group3Low.data(), 1);
  std::vector<int32_t> expected;
  for (int32_t i = 1; i <= 700; ++i) {
    if (i % 7 == 3) expected.push_back(i);
  }
  EXPECT_EQ(cursor->GetRecordCount(), static_cast<int32_t>(expected.size()));
  EXPECT_EQ(WalkForward(*cursor), expected);
  EXPECT_EQ(WalkBackward(*cursor), Reversed(expected));
  // Record numbers are ordinals inside the range.
  EXPECT_EQ(TCursorInternals::RangeStart(*cursor), 1 + 3 * 100);
  ASSERT_TRUE(cursor->SetToRecNo(3));
  EXPECT_EQ(cursor->GetRecNo(), 3);
  EXPECT_EQ(CurrentId(*cursor), expected[2]);

  // Start above end: an empty view.
  const std::vector<uint8_t> group5 = PersonRecord(data, {0, "", 5, 0});
  cursor->SetRange(group5.data(), 1, group3.data(), 1);
  EXPECT_EQ(cursor->GetRecordCount(), 0);
  cursor->SetToBegin();
  EXPECT_EQ(cursor->GetNextRecord(nullptr), KURA_EOF);
  EXPECT_EQ(cursor->GetCurrentRecord(nullptr), KURA_NOCURRREC);

  // Primary index, full keys: IDs 10..19.
  cursor->SetIndexName("");
  EXPECT_FALSE(cursor->RangeActive());
  const std::vector<uint8_t> from = PersonRecord(data, {10, "", 0, 0});
  const std::vector<uint8_t> to = PersonRecord(data, {19, "", 0, 0});
  cursor->SetRange(from.data(), 0, to.data(), 0);
  EXPECT_EQ(WalkForward(*cursor), Range(10, 19));
  EXPECT_EQ(cursor->GetRecordCount(), 10);
  ASSERT_TRUE(cursor->SetToRecNo(3));
  EXPECT_EQ(CurrentId(*cursor), 12);
  EXPECT_EQ(cursor->GetRecNo(), 3);
  cursor->ResetRange();
  EXPECT_EQ(cursor->GetRecordCount(), 700);
  EXPECT_EQ(CurrentId(*cursor), 12);
}

TEST_F(DataCursorTest, ADescendingIndexRangeRunsFromHighToLow) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 50);
  TDataFile& data = TCursorInternals::Table(*cursor).DataFile();
  cursor->SetIndexName("ByNameDesc");
  const std::vector<uint8_t> high = PersonRecord(data, {0, "N000030", 0, 0});
  const std::vector<uint8_t> low = PersonRecord(data, {0, "N000021", 0, 0});
  cursor->SetRange(high.data(), 0, low.data(), 0);
  EXPECT_EQ(WalkForward(*cursor), Reversed(Range(21, 30)));
  EXPECT_EQ(cursor->GetRecordCount(), 10);
}

TEST_F(DataCursorTest, BookmarksOfDeletedRecordsLandOnTheNextKey) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 20);
  ASSERT_TRUE(cursor->SetToRecNo(8));
  std::vector<uint8_t> bookmark(static_cast<size_t>(cursor->BookmarkSize()));
  cursor->GetBookmark(bookmark.data());
  std::vector<uint8_t> other(bookmark.size());
  ASSERT_TRUE(cursor->SetToRecNo(9));
  cursor->GetBookmark(other.data());
  EXPECT_EQ(cursor->CompareBookmarks(bookmark.data(), other.data()), -1);
  EXPECT_EQ(cursor->CompareBookmarks(other.data(), other.data()), 0);

  DeleteDirect(TCursorInternals::Table(*cursor), 8);
  EXPECT_FALSE(cursor->SetToBookmark(bookmark.data(), false));
  EXPECT_EQ(CurrentId(*cursor), 9);
  EXPECT_TRUE(cursor->SetToBookmark(bookmark.data(), true));
  EXPECT_EQ(CurrentId(*cursor), 9);
  EXPECT_TRUE(cursor->SetToBookmark(other.data(), false));
  EXPECT_EQ(CurrentId(*cursor), 9);
}

TEST_F(DataCursorTest, IndexSelection) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 30);
  ASSERT_TRUE(cursor->SetToRecNo(12));
  cursor->SetIndexName("bygroup");  // names compare without case
  EXPECT_EQ(cursor->IndexNumber(), 1);
  EXPECT_EQ(CurrentId(*cursor), 12);  // the cursor stays on its record
  EXPECT_ENGINE_ERROR(KURA_INVALIDINDEXNAME, cursor->SetIndexName("NoSuchIndex"));
  EXPECT_EQ(cursor->IndexNumber(), 1);
  EXPECT_EQ(cursor->IndexName(), "ByGroup");
  EXPECT_EQ(CurrentId(*cursor), 12);
  cursor->SetIndexNumber(kNoIndex);
  EXPECT_TRUE(cursor->InNaturalOrder());
  EXPECT_EQ(CurrentId(*cursor), 12);
  cursor->SetIndexNumber(2);
  EXPECT_EQ(cursor->IndexName(), "ByNameDesc");
  EXPECT_EQ(cursor->GetRecNo(), 30 - 12 + 1);
}

TEST_F(DataCursorTest, SettingsAreFixedWhileOpen) {
  CreatePeople();
  auto cursor = Open();
  EXPECT_ENGINE_ERROR(KURA_TABLEOPEN, cursor->SetExclusive(true));
  EXPECT_ENGINE_ERROR(KURA_TABLEOPEN, cursor->SetTableName("other"));
  cursor->CloseCursor();
  cursor->SetTableName("/some/where/PEOPLE.dat");
  EXPECT_EQ(cursor->TableName(), "PEOPLE");
}

TEST_F(DataCursorTest, ExclusiveOpensAgainstAHeldTableAndClones) {
  CreatePeople();
  {
    auto shared = Open();
    EXPECT_ENGINE_ERROR(KURA_OSEACCES, Open("people", true));
    EXPECT_EQ(TCursorInternals::Table(*shared).OpenCount(), 1);
  }
  auto exclusive = Open("people", true);
  Fill(*exclusive, 10);
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, Open("people"));
  ASSERT_TRUE(exclusive->SetToRecNo(4));
  auto clone = exclusive->CloneCursor();
  EXPECT_TRUE(clone->CloneOfExclusive());
  EXPECT_EQ(CurrentId(*clone), 4);
  EXPECT_EQ(clone->GetRecordCount(), 10);
  // The original sees what was written through the clone's table at once.
  DeleteDirect(TCursorInternals::Table(*clone), 4);
  EXPECT_EQ(exclusive->GetRecordCount(), 9);
  EXPECT_EQ(CurrentId(*exclusive), 5);
}

TEST_F(DataCursorTest, CloneCopiesIndexRangeAndPosition) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 100);
  cursor->SetIndexName("ByGroup");
  TDataFile& data = TCursorInternals::Table(*cursor).DataFile();
  const std::vector<uint8_t> group = PersonRecord(data, {0, "", 2, 0});
  cursor->SetRange(group.data(), 1, group.data(), 1);
  ASSERT_TRUE(cursor->SetToRecNo(5));
  auto clone = cursor->CloneCursor();
  EXPECT_EQ(clone->IndexName(), "ByGroup");
  EXPECT_EQ(clone->GetRecordCount(), cursor->GetRecordCount());
  EXPECT_EQ(clone->GetRecNo(), 5);
  EXPECT_EQ(CurrentId(*clone), CurrentId(*cursor));
}

TEST_F(DataCursorTest, SetToCursorFindsTheOtherCursorsRecord) {
  CreatePeople();
  auto a = Open();
  Fill(*a, 30);
  auto b = Open();
  b->SetIndexName("ByNameDesc");
  ASSERT_TRUE(a->SetToRecNo(17));
  EXPECT_EQ(b->SetToCursor(*a), 0);
  EXPECT_EQ(CurrentId(*b), 17);
  // A record the other index cannot find: the other cursor's image changed underneath.
  auto natural = Open("people", false, true);
  ASSERT_TRUE(natural->SetToRecNo(20));
  DeleteDirect(TCursorInternals::Table(*a), 20);
  // natural still holds record 20's image until its next read; its key is gone.
  EXPECT_EQ(b->SetToCursor(*natural), KURA_RECNOTFOUND);
}

TEST_F(DataCursorTest, AnotherCursorsDeleteIsSeenAtTheNextRead) {
  CreatePeople();
  auto a = Open();
  Fill(*a, 10);
  auto b = Open();
  ASSERT_TRUE(b->SetToRecNo(5));
  DeleteDirect(TCursorInternals::Table(*a), 5);
  // The next read lands on the following record, and the walk goes on from there
  // without skipping it.
  EXPECT_EQ(b->GetNextRecord(nullptr), 0);
  EXPECT_EQ(CurrentId(*b), 6);
  EXPECT_EQ(b->GetNextRecord(nullptr), 0);
  EXPECT_EQ(CurrentId(*b), 7);
  EXPECT_EQ(b->GetRecordCount(), 9);
  ASSERT_TRUE(b->SetToRecNo(8));
  ASSERT_EQ(CurrentId(*b), 9);
  DeleteDirect(TCursorInternals::Table(*a), 9);
  EXPECT_EQ(b->GetPriorRecord(nullptr), 0);
  EXPECT_EQ(CurrentId(*b), 8);
}

TEST_F(DataCursorTest, AMissingIndexFileIsRecreatedAndNaturalOrderStillWorks) {
  CreatePeople();
  {
    auto cursor = Open();
    Fill(*cursor, 25);
    DeleteDirect(TCursorInternals::Table(*cursor), 7);
  }
  std::filesystem::remove(Temp / "people.IDX");
  auto cursor = Open();
  EXPECT_TRUE(TCursorInternals::Table(*cursor).IndexesRebuilt());
  EXPECT_TRUE(cursor->InNaturalOrder());
  std::vector<int32_t> expected = Range(1, 25);
  expected.erase(expected.begin() + 6);
  EXPECT_EQ(WalkForward(*cursor), expected);
  EXPECT_EQ(cursor->GetRecordCount(), 24);
  // A second cursor finds the internal index already rebuilt.
  auto second = Open();
  EXPECT_EQ(second->GetRecordCount(), 24);
}

TEST_F(DataCursorTest, AnEncryptedTableNeedsItsPassword) {
  TTableDefinition definition = PeopleDefinition();
  definition.Encrypted = true;
  definition.Password = "Secret";
  ASSERT_EQ(Directory->CreateTableFiles("vault", false, definition), 0);
  EXPECT_ENGINE_ERROR(KURA_NOTSUFFTABLERIGHTS, Open("vault"));

  int asked = 0;
  auto cursor = std::make_unique<TDataCursor>(*Directory);
  cursor->SetTableName("vault");
  cursor->SetPasswordCallback([&](const std::string& table) {
    EXPECT_EQ(table, "vault");
    ++asked;
    if (asked == 1) {
      Session.AddPassword("secret");  // wrong case: asked again
    } else {
      Session.AddPassword("Secret");
    }
    return true;
  });
  cursor->OpenCursor();
  EXPECT_EQ(asked, 2);
  EXPECT_TRUE(cursor->Active());
  // The session knows it now.
  EXPECT_TRUE(Open("vault")->Active());
  // A callback that gives up.
  Session.RemoveAllPasswords();
  cursor->CloseCursor();
  cursor->SetPasswordCallback([](const std::string&) { return false; });
  EXPECT_ENGINE_ERROR(KURA_NOTSUFFTABLERIGHTS, cursor->OpenCursor());
  EXPECT_FALSE(cursor->Active());
}

TEST_F(DataCursorTest, ReadRecordBlockStopsAtTheEnd) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 5);
  std::vector<uint8_t> block(static_cast<size_t>(cursor->RecordSize()) * 8, 0xAA);
  int32_t count = 3;
  EXPECT_EQ(cursor->ReadRecordBlock(count, block.data()), 0);
  EXPECT_EQ(count, 3);
  count = 8;
  EXPECT_EQ(cursor->ReadRecordBlock(count, block.data()), KURA_EOF);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(TRecordImage::Int(TCursorInternals::Table(*cursor).DataFile(), block.data() + cursor->RecordSize(), 1), 5);
}

// An unlocked read that meets a damaged index page (as a reader does when another
// process's writer is halfway through a change) reads again under the read lock.
TEST_F(DataCursorTest, ATornPageReadIsReadAgainUnderTheLock) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 2000);
  ASSERT_TRUE(cursor->SetToRecNo(1000));
  static int armed = 0;
  TOSApi api = OSRealApi();
  api.PRead = [](int fd, void* buffer, size_t count, off_t offset) -> ssize_t {
    const ssize_t done = OSRealApi().PRead(fd, buffer, count, offset);
    // The first index page read after arming comes back scrambled.
    if (armed > 0 && count == 4096 && offset >= 4096 && offset % 4096 == 0 && done == 4096) {
      --armed;
      std::memset(buffer, 0xA5, 4096);
    }
    return done;
  };
  TOSApiOverride torn(api);
  for (const bool strict : {false, true}) {
    SCOPED_TRACE(strict ? "strict" : "not strict");
    Session.SetStrictChangeDetection(strict);
    TCursorInternals::Table(*cursor).DiscardBuffers(true);
    armed = 1;
    if (strict) {
      // Under the lock a damaged page is damage: it is reported, and the next read of
      // sound pages works again.
      EXPECT_ENGINE_ERROR(KURA_INDEXCORRUPT, cursor->GetNextRecord(nullptr));
      TCursorInternals::Table(*cursor).DiscardBuffers(true);
      EXPECT_EQ(cursor->GetRecordCount(), 2000);
    } else {
      EXPECT_EQ(cursor->GetNextRecord(nullptr), 0);
      EXPECT_EQ(armed, 0);
      EXPECT_EQ(CurrentId(*cursor), 1001);
      EXPECT_EQ(cursor->GetRecNo(), 1001);
    }
  }
}

// Another process appends and deletes; this one sees it at its next read with strict
// change detection, and after taking a lock without it.
class DataCursorProcessTest : public DataCursorTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DataCursorProcessTest, ChangesOfAnotherProcessAreSeen) {
  const bool strict = GetParam();
  CreatePeople();
  {
    auto seed = Open();
    Fill(*seed, 10);
  }
  testing_support::TPipe toChild;
  testing_support::TPipe toParent;
  ASSERT_TRUE(toChild.Ok && toParent.Ok);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 0;
    const auto error = EngineErrorOf([&] {
      TDataSession session;
      TDataDirectory* directory = session.OpenDirectory("TEST", Temp.Path().string());
      TDataCursor cursor(*directory);
      cursor.SetTableName("people");
      cursor.OpenCursor();
      toChild.Receive();
      for (int i = 11; i <= 15; ++i) {
        AppendDirect(TCursorInternals::Table(cursor), PersonRecord(TCursorInternals::Table(cursor).DataFile(), {i, "Child", 0, i}));
      }
      toParent.Send(1);
      toChild.Receive();
      DeleteDirect(TCursorInternals::Table(cursor), 4);  // the record before the parent's current one
      toParent.Send(2);
      toChild.Receive();
    });
    if (error) status = 3;
    _exit(status);
  }
  Session.SetStrictChangeDetection(strict);
  auto cursor = Open();
  EXPECT_EQ(cursor->GetRecordCount(), 10);
  ASSERT_TRUE(cursor->SetToRecNo(5));
  toChild.Send(0);
  ASSERT_EQ(toParent.Receive(), 1);
  if (!strict) {
    cursor->LockRecord(0);
    cursor->UnlockRecord(0);
  }
  EXPECT_EQ(cursor->GetRecordCount(), 15);
  EXPECT_EQ(CurrentId(*cursor), 5);
  toChild.Send(0);
  ASSERT_EQ(toParent.Receive(), 2);
  if (!strict) {
    cursor->LockRecord(0);
    cursor->UnlockRecord(0);
  }
  EXPECT_EQ(CurrentId(*cursor), 5);
  EXPECT_EQ(cursor->GetRecNo(), 4);
  EXPECT_EQ(cursor->GetPriorRecord(nullptr), 0);
  EXPECT_EQ(CurrentId(*cursor), 3);
  EXPECT_EQ(WalkForward(*cursor).size(), 14u);
  toChild.Send(0);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Detection, DataCursorProcessTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Strict") : std::string("AfterLock");
                         });

}  // namespace
}  // namespace kura::cursor_test
