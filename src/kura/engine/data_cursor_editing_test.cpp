#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "kura/engine/cursor_internals.h"
#include "kura/storage/index_tree.h"
#include "kura/base/byte_order.h"
#include "kura/base/os.h"
#include "testing/cursor_fixture.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"
#include "testing/pipe.h"
#include "testing/record_image.h"

namespace kura::cursor_test {
namespace {

using testing_support::EngineErrorOf;
using testing_support::Field;
using testing_support::Index;
using testing_support::PeopleDefinition;
using testing_support::PersonRecord;
using testing_support::TCursorFixture;
using testing_support::TPerson;
using testing_support::TRecordImage;

class CursorEditingTest : public TCursorFixture {
protected:
  // Appends through the cursor; returns the record number.
  static int32_t Append(TDataCursor& cursor, const TPerson& person, bool reposition = false) {
    std::vector<uint8_t> record = PersonRecord(TCursorInternals::Table(cursor).DataFile(), person);
    cursor.AppendRecord(record.data(), reposition);
    return ReadI32(record.data() + kRecordIdOffset);
  }

  // Every index in use verifies, and each holds exactly the active records.
  static void ExpectIndexesSound(TDataCursor& cursor) {
    TIndexFile& index = TCursorInternals::Table(cursor).IndexFile();
    const int32_t active = index.ActiveRecordCount();
    for (int i : {0, 1, 2, kSysDeletedIndex}) {
      if (!index.IndexInUse(i) || (i < kSysDeletedIndex && index.Descriptor(i).IndexFieldCount == 0)) continue;
      const TIndexCheckResult check = CheckIndexTree(index, i);
      EXPECT_TRUE(check.Ok) << "index " << i << ": " << check.Problem;
      if (i != kSysDeletedIndex) {
        EXPECT_EQ(check.KeyCount, active) << "index " << i;
      }
    }
  }
};

TEST_F(CursorEditingTest, AppendModifyDeleteKeepEveryIndexInStep) {
  CreatePeople();
  auto cursor = Open();
  for (int i = 1; i <= 300; ++i) Append(*cursor, {i, "P" + std::to_string(1000 - i), i % 5, i});
  EXPECT_EQ(cursor->GetRecordCount(), 300);
  ExpectIndexesSound(*cursor);

  // Change a key field: the record moves in the index order.
  ASSERT_TRUE(cursor->SetToRecNo(10));
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
  TRecordImage image(TCursorInternals::Table(*cursor).DataFile());
  image.Bytes = record;
  image.SetInt(1, 5000);
  cursor->ModifyRecord(image.Bytes.data(), true, true);
  EXPECT_EQ(CurrentId(*cursor), 5000);
  EXPECT_EQ(cursor->GetRecNo(), 300);
  ExpectIndexesSound(*cursor);

  // Delete every record in group 2 while walking.
  cursor->SetIndexName("ByGroup");
  cursor->SetToBegin();
  int deleted = 0;
  while (cursor->GetNextRecord(record.data()) == 0) {
    if (TRecordImage::Int(TCursorInternals::Table(*cursor).DataFile(), record.data(), 3) == 2) {
      cursor->DeleteRecord(record.data(), true);
      ++deleted;
    }
  }
  EXPECT_EQ(deleted, 60);
  EXPECT_EQ(cursor->GetRecordCount(), 240);
  ExpectIndexesSound(*cursor);
  auto natural = Open("people", false, true);
  EXPECT_EQ(natural->GetRecordCount(), 240);
}

TEST_F(CursorEditingTest, AUniqueViolationChangesNothing) {
  CreatePeople();
  TTableDefinition definition = PeopleDefinition();
  definition.SecondaryIndexes.push_back(Index("UniqueName", {2}, true));
  ASSERT_EQ(Directory->CreateTableFiles("uniq", false, definition), 0);
  auto cursor = Open("uniq");
  Append(*cursor, {1, "Alice", 1, 1});
  Append(*cursor, {2, "Bob", 1, 2});
  TIndexFile& index = TCursorInternals::Table(*cursor).IndexFile();
  const int64_t writes = index.Statistics().PageWrites;
  const int32_t next = TCursorInternals::Table(*cursor).DataFile().RecordCount();
  std::vector<uint8_t> duplicate = PersonRecord(TCursorInternals::Table(*cursor).DataFile(), {3, "Bob", 2, 3});
  const auto error = EngineErrorOf([&] { cursor->AppendRecord(duplicate.data(), false); });
  EXPECT_TRUE(error) << "no error";
  if (error) {
    EXPECT_EQ(error->ErrorCode, KURA_KEYVIOL);
    EXPECT_EQ(error->ErrorIndexName, "UniqueName");
  }
  EXPECT_ENGINE_ERROR(KURA_KEYVIOL, Append(*cursor, {2, "Carol", 1, 3}));  // primary
  EXPECT_EQ(index.Statistics().PageWrites, writes);
  EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().RecordCount(), next);
  EXPECT_EQ(cursor->GetRecordCount(), 2);
  EXPECT_EQ(TCursorInternals::Table(*cursor).OSLockedRecords().CountSet(), 0);
  ExpectIndexesSound(*cursor);
}

TEST_F(CursorEditingTest, DeletedSlotsAreReusedOnlyWithAPrimaryIndex) {
  for (const bool primary : {true, false}) {
    SCOPED_TRACE(primary ? "primary" : "no primary");
    const std::string name = primary ? "withkey" : "heap";
    CreatePeople(name, primary);
    auto cursor = Open(name);
    Append(*cursor, {1, "A", 0, 1});
    const int32_t second = Append(*cursor, {2, "B", 0, 2});
    Append(*cursor, {3, "C", 0, 3});
    ASSERT_TRUE(cursor->SetToRecNo(2));
    cursor->DeleteRecord(nullptr, true);
    const int32_t id = Append(*cursor, {4, "D", 0, 4});
    EXPECT_EQ(id, 4);  // never the deleted record's id
    EXPECT_NE(id, second);
    EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().RecordCount(), primary ? 3 : 4);
    EXPECT_EQ(cursor->GetRecordCount(), 3);
    ExpectIndexesSound(*cursor);
  }
}

TEST_F(CursorEditingTest, ChangingANonKeyFieldWritesNoIndexPage) {
  CreatePeople();
  auto cursor = Open();
  for (int i = 1; i <= 50; ++i) Append(*cursor, {i, "N" + std::to_string(i), i % 3, i});
  ASSERT_TRUE(cursor->SetToRecNo(20));
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
  TRecordImage image(TCursorInternals::Table(*cursor).DataFile());
  image.Bytes = record;
  image.SetInt(4, 777);  // VAL is in no index
  const int64_t writes = TCursorInternals::Table(*cursor).IndexFile().Statistics().PageWrites;
  cursor->ModifyRecord(image.Bytes.data(), true, false);
  EXPECT_EQ(TCursorInternals::Table(*cursor).IndexFile().Statistics().PageWrites, writes);
  ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
  EXPECT_EQ(TRecordImage::Int(TCursorInternals::Table(*cursor).DataFile(), record.data(), 4), 777);
}

TEST_F(CursorEditingTest, AnExclusiveTableReachesTheDiskOnlyWhenFlushed) {
  CreatePeople();
  const auto dataSize = [&] { return std::filesystem::file_size(Temp / "people.DAT"); };
  const auto empty = dataSize();
  {
    auto cursor = Open("people", true);
    Append(*cursor, {1, "A", 0, 1});
    auto clone = cursor->CloneCursor();
    EXPECT_EQ(clone->GetRecordCount(), 1);  // the same session sees it at once
    EXPECT_EQ(dataSize(), empty);
    cursor->FlushBuffers(false, false);  // not forced: still buffered
    EXPECT_EQ(dataSize(), empty);
    cursor->FlushBuffers(true, true);
    EXPECT_GT(dataSize(), empty);
    Append(*cursor, {2, "B", 0, 2});
  }
  // The last close wrote the rest.
  auto cursor = Open();
  EXPECT_EQ(cursor->GetRecordCount(), 2);
}

TEST_F(CursorEditingTest, TransactionsCommitAndRollBack) {
  CreatePeople();
  auto cursor = Open();
  Append(*cursor, {1, "A", 0, 1});
  const auto dataSize = [&] { return std::filesystem::file_size(Temp / "people.DAT"); };

  Directory->StartTransaction();
  Append(*cursor, {2, "B", 0, 2});
  ASSERT_TRUE(cursor->SetToRecNo(1));
  cursor->DeleteRecord(nullptr, true);
  const auto before = dataSize();
  EXPECT_EQ(cursor->GetRecordCount(), 1);
  Directory->Rollback();
  EXPECT_EQ(dataSize(), before);
  EXPECT_EQ(WalkForward(*cursor), std::vector<int32_t>({1}));
  ExpectIndexesSound(*cursor);

  // A commit writes, and asks the system to flush when told to.
  static int syncs = 0;
  syncs = 0;
  TOSApi api = OSRealApi();
  api.FSync = [](int fd) {
    ++syncs;
    return OSRealApi().FSync(fd);
  };
  TOSApiOverride counting(api);
  Directory->StartTransaction();
  Append(*cursor, {3, "C", 0, 3});
  EXPECT_EQ(syncs, 0);
  Directory->Commit(true, true);
  EXPECT_GT(syncs, 0);
  EXPECT_FALSE(Directory->InTransaction());
  auto other = Open();
  EXPECT_EQ(WalkForward(*other), std::vector<int32_t>({1, 3}));
}

TEST_F(CursorEditingTest, ACloneOfTheCurrentRecordOwnsItsBlobCopy) {
  TTableDefinition definition;
  definition.Fields = {Field("ID", TFieldType::Integer), Field("NOTE", TFieldType::Blob)};
  definition.PrimaryIndex = Index("", {1}, true);
  ASSERT_EQ(Directory->CreateTableFiles("notes", false, definition), 0);
  auto cursor = Open("notes");
  const std::string text(3000, 'x');
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  cursor->InitRecord(record.data());
  TRecordImage image(TCursorInternals::Table(*cursor).DataFile());
  image.Bytes = record;
  image.SetInt(1, 1);
  int32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(2, image.Bytes.data(), TBlobOpenMode::ReadWrite, size), 0);
  ASSERT_EQ(cursor->PutBlob(2, image.Bytes.data(), 0, static_cast<int32_t>(text.size()),
                            reinterpret_cast<const uint8_t*>(text.data())),
            0);
  cursor->AppendRecord(image.Bytes.data(), true);

  std::vector<uint8_t> copy(record.size());
  ASSERT_EQ(cursor->CloneCurrentRecord(copy.data()), 0);
  image.Bytes = copy;
  image.SetInt(1, 2);
  cursor->AppendRecord(image.Bytes.data(), false);
  ASSERT_TRUE(cursor->SetToRecNo(1));
  cursor->DeleteRecord(nullptr, true);

  // The copy's value survives the original's deletion.
  ASSERT_EQ(CurrentId(*cursor), 2);
  ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
  ASSERT_EQ(cursor->OpenBlob(2, record.data(), TBlobOpenMode::Read, size), 0);
  ASSERT_EQ(size, static_cast<int32_t>(text.size()));
  std::string read(text.size(), '\0');
  int32_t count = 0;
  EXPECT_EQ(cursor->GetBlob(2, record.data(), 0, size, reinterpret_cast<uint8_t*>(read.data()), count), 0);
  EXPECT_EQ(read, text);
  EXPECT_EQ(cursor->FreeBlob(2, record.data()), 0);
}

// A BLOB value through posts: written, replaced by a longer and a shorter one, removed;
// each time read back from the stored record by a fresh cursor.
TEST_F(CursorEditingTest, BlobValuesThroughPosts) {
  TTableDefinition definition;
  definition.Fields = {Field("ID", TFieldType::Integer), Field("NOTE", TFieldType::Blob)};
  definition.PrimaryIndex = Index("", {1}, true);
  ASSERT_EQ(Directory->CreateTableFiles("notes", false, definition), 0);
  auto cursor = Open("notes");
  const auto stored = [&]() -> std::string {
    auto reader = Open("notes");
    std::vector<uint8_t> record(static_cast<size_t>(reader->RecordSize()));
    EXPECT_EQ(reader->GetNextRecord(record.data()), 0);
    int32_t size = 0;
    EXPECT_EQ(reader->OpenBlob(2, record.data(), TBlobOpenMode::Read, size), 0);
    std::string text(static_cast<size_t>(size), '\0');
    int32_t count = 0;
    if (size > 0) reader->GetBlob(2, record.data(), 0, size, reinterpret_cast<uint8_t*>(text.data()), count);
    reader->FreeBlob(2, record.data());
    return text;
  };
  const auto put = [&](uint8_t* record, const std::string& text) {
    int32_t size = 0;
    ASSERT_EQ(cursor->OpenBlob(2, record, TBlobOpenMode::ReadWrite, size), 0);
    ASSERT_EQ(cursor->TruncateBlob(2, record, 0), 0);
    if (!text.empty()) {
      ASSERT_EQ(cursor->PutBlob(2, record, 0, static_cast<int32_t>(text.size()),
                                reinterpret_cast<const uint8_t*>(text.data())),
                0);
    }
  };
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  cursor->InitRecord(record.data());
  TRecordImage image(TCursorInternals::Table(*cursor).DataFile());
  image.Bytes = record;
  image.SetInt(1, 1);
  put(image.Bytes.data(), std::string(700, 'a'));
  cursor->AppendRecord(image.Bytes.data(), true);
  EXPECT_EQ(stored(), std::string(700, 'a'));
  for (const std::string& text : {std::string(5000, 'b'), std::string(10, 'c'), std::string()}) {
    ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
    ASSERT_EQ(cursor->GetCurrentRecord(record.data(), true), 0);  // the edit begins
    put(record.data(), text);
    cursor->ModifyRecord(record.data(), true, true);
    EXPECT_EQ(stored(), text) << text.size();
  }
  ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
  EXPECT_EQ(record[TCursorInternals::Table(*cursor).DataFile().FieldByPosition(2)->Offset], 0);  // removed: NULL
  ASSERT_NE(TCursorInternals::Table(*cursor).BlobFile(), nullptr);
  TCursorInternals::Table(*cursor).BlobFile()->CheckHeader();
}

// A post whose BLOB handle is not this cursor's fails before the record exists, and the
// primary key its first step inserted is taken out again.
TEST_F(CursorEditingTest, AFailedBlobWriteLeavesTheIndexesAsTheyWere) {
  TTableDefinition definition;
  definition.Fields = {Field("ID", TFieldType::Integer), Field("NOTE", TFieldType::Blob)};
  definition.PrimaryIndex = Index("", {1}, true);
  ASSERT_EQ(Directory->CreateTableFiles("notes", false, definition), 0);
  auto cursor = Open("notes");
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  cursor->InitRecord(record.data());
  TRecordImage image(TCursorInternals::Table(*cursor).DataFile());
  image.Bytes = record;
  image.SetInt(1, 7);
  const TFieldDefinition& note = image.Def(2);
  image.Bytes[note.Offset] = 1;
  WriteI32(image.Bytes.data() + note.Offset + 1, -424242);  // a handle nobody gave out
  EXPECT_ENGINE_ERROR(KURA_INVALIDBLOBHANDLE, cursor->AppendRecord(image.Bytes.data(), false));
  EXPECT_EQ(cursor->GetRecordCount(), 0);
  EXPECT_EQ(CheckIndexTree(TCursorInternals::Table(*cursor).IndexFile(), 0).KeyCount, 0);
  image.Bytes[note.Offset] = 0;
  WriteI32(image.Bytes.data() + note.Offset + 1, 0);
  cursor->AppendRecord(image.Bytes.data(), false);  // the key is free again
  EXPECT_EQ(cursor->GetRecordCount(), 1);
  ExpectIndexesSound(*cursor);
}

TEST_F(CursorEditingTest, ReadOnlyCursorsCannotChangeTheTable) {
  CreatePeople();
  auto cursor = std::make_unique<TDataCursor>(*Directory);
  cursor->SetTableName("people");
  cursor->SetReadOnly(true);
  cursor->OpenCursor();
  std::vector<uint8_t> record = PersonRecord(TCursorInternals::Table(*cursor).DataFile(), {1, "A", 0, 1});
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, cursor->AppendRecord(record.data(), false));
}

// Two sessions in two processes edit the same record.
class CursorEditingProcessTest : public CursorEditingTest {
protected:
  template <typename Body>
  static pid_t Child(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
      int status = 0;
      const auto error = EngineErrorOf([&] { status = body(); });
      if (error) {
        status = error->ErrorCode == KURA_RECLOCKFAILED ? 20 : (error->ErrorCode == KURA_KEYORRECDELETED ? 21 : 22);
      }
      _exit(status);
    }
    return pid;
  }
  static int Wait(pid_t pid) {
    int status = -1;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
};

TEST_F(CursorEditingProcessTest, PessimisticEditsOfTheSameRecordExcludeEachOther) {
  CreatePeople();
  {
    auto seed = Open();
    Append(*seed, {1, "A", 0, 1});
  }
  testing_support::TPipe toChild, toParent;
  const pid_t child = Child([&] {
    TDataSession session;
    session.Sleep = [](int) {};
    TDataCursor cursor(*session.OpenDirectory("TEST", Temp.Path().string()));
    cursor.SetTableName("people");
    cursor.OpenCursor();
    std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
    cursor.GetNextRecord(record.data());
    cursor.GetCurrentRecord(record.data(), true);  // locks
    toParent.Send(1);
    toChild.Receive();
    cursor.CancelRecord();
    toParent.Send(2);
    toChild.Receive();
    return 0;
  });
  ASSERT_EQ(toParent.Receive(), 1);
  int pauses = 0;
  Session.Sleep = [&](int) { ++pauses; };
  Session.SetLockRetryCount(3);
  auto cursor = Open();
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  ASSERT_EQ(cursor->GetNextRecord(record.data()), 0);
  EXPECT_ENGINE_ERROR(KURA_RECLOCKFAILED, cursor->GetCurrentRecord(record.data(), true));
  EXPECT_EQ(pauses, 3);  // LockRetryCount + 1 attempts
  toChild.Send(0);
  ASSERT_EQ(toParent.Receive(), 2);
  EXPECT_EQ(cursor->GetCurrentRecord(record.data(), true), 0);
  cursor->CancelRecord();
  toChild.Send(0);
  EXPECT_EQ(Wait(child), 0);
}

TEST_F(CursorEditingProcessTest, AnOptimisticConflictStaysUntilCancel) {
  CreatePeople();
  {
    auto seed = Open();
    Append(*seed, {1, "A", 0, 1});
  }
  Session.SetLockProtocol(lpOptimistic);
  auto cursor = Open();
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  ASSERT_EQ(cursor->GetNextRecord(record.data()), 0);
  ASSERT_EQ(cursor->GetCurrentRecord(record.data(), true), 0);  // the edit begins

  // Another process changes the record and posts first.
  const pid_t child = Child([&] {
    TDataSession session;
    session.SetLockProtocol(lpOptimistic);
    TDataCursor other(*session.OpenDirectory("TEST", Temp.Path().string()));
    other.SetTableName("people");
    other.OpenCursor();
    std::vector<uint8_t> image(static_cast<size_t>(other.RecordSize()));
    other.GetNextRecord(image.data());
    other.GetCurrentRecord(image.data(), true);
    TRecordImage edit(TCursorInternals::Table(other).DataFile());
    edit.Bytes = image;
    edit.SetInt(4, 100);
    other.ModifyRecord(edit.Bytes.data(), true, false);
    return 0;
  });
  ASSERT_EQ(Wait(child), 0);

  TRecordImage edit(TCursorInternals::Table(*cursor).DataFile());
  edit.Bytes = record;
  edit.SetInt(4, 200);
  EXPECT_ENGINE_ERROR(KURA_KEYORRECDELETED, cursor->ModifyRecord(edit.Bytes.data(), true, false));
  EXPECT_TRUE(cursor->PostFailed());
  // Even with a fresh image the post keeps failing until the edit is cancelled.
  ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
  edit.Bytes = record;
  edit.SetInt(4, 300);
  EXPECT_ENGINE_ERROR(KURA_KEYORRECDELETED, cursor->ModifyRecord(edit.Bytes.data(), true, false));
  cursor->CancelRecord();
  EXPECT_FALSE(cursor->PostFailed());
  ASSERT_EQ(cursor->GetCurrentRecord(record.data(), true), 0);
  edit.Bytes = record;
  edit.SetInt(4, 300);
  cursor->ModifyRecord(edit.Bytes.data(), true, false);
  ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
  EXPECT_EQ(TRecordImage::Int(TCursorInternals::Table(*cursor).DataFile(), record.data(), 4), 300);
}

// Four processes append to one shared table at once.
TEST_F(CursorEditingProcessTest, ConcurrentAppendsFromFourProcesses) {
  CreatePeople("shared");
  constexpr int kProcesses = 4;
  constexpr int kEach = 2000;
  testing_support::TPipe go;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(Child([&, p] {
      TDataSession session;
      TDataCursor cursor(*session.OpenDirectory("TEST", Temp.Path().string()));
      cursor.SetTableName("shared");
      cursor.OpenCursor();
      go.Receive();
      for (int i = 0; i < kEach; ++i) {
        std::vector<uint8_t> record =
            PersonRecord(TCursorInternals::Table(cursor).DataFile(), {p * kEach + i, "W" + std::to_string(p), i % 13, i});
        cursor.AppendRecord(record.data(), false);
      }
      return 0;
    }));
  }
  for (int p = 0; p < kProcesses; ++p) go.Send(1);
  for (pid_t child : children) EXPECT_EQ(Wait(child), 0);

  auto cursor = Open("shared");
  EXPECT_EQ(cursor->GetRecordCount(), kProcesses * kEach);
  ExpectIndexesSound(*cursor);
  std::set<int32_t> ids;
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  cursor->SetToBegin();
  while (cursor->GetNextRecord(record.data()) == 0) ids.insert(ReadI32(record.data() + kRecordIdOffset));
  EXPECT_EQ(ids.size(), static_cast<size_t>(kProcesses * kEach));
  cursor->SetIndexName("ByGroup");
  EXPECT_EQ(cursor->GetRecordCount(), kProcesses * kEach);
}

}  // namespace
}  // namespace kura::cursor_test
