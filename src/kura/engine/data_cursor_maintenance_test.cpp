#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/engine/cursor_internals.h"
#include "kura/engine/progress_reporter.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/index_tree.h"
#include "testing/cursor_fixture.h"
#include "testing/definition_builders.h"
#include "testing/direct_table_edits.h"
#include "testing/engine_error_expect.h"
#include "testing/file_bytes.h"
#include "testing/record_image.h"

namespace kura {
namespace {

using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;
using testing_support::Field;
using testing_support::Index;
using testing_support::PeopleDefinition;
using testing_support::PersonRecord;
using testing_support::TRecordImage;

class MaintenanceTest : public testing_support::TCursorFixture {
protected:
  std::unique_ptr<TDataCursor> Closed(const std::string& name = "people", bool exclusive = true) {
    auto cursor = std::make_unique<TDataCursor>(*Directory);
    cursor->SetTableName(name);
    cursor->SetExclusive(exclusive);
    return cursor;
  }

  std::filesystem::path FileOf(const std::string& name, const char* extension) const {
    return Temp.Path() / (name + extension);
  }

  // The ids of a forward walk in the named index.
  std::vector<int32_t> WalkIndex(const std::string& indexName, const std::string& table = "people") {
    auto cursor = Open(table);
    cursor->SetIndexName(indexName);
    return WalkForward(*cursor);
  }

  // Every index of the table passes the tree check and holds one key per active record.
  void ExpectSoundIndexes(const std::string& table = "people") {
    auto cursor = Open(table);
    TIndexFile& index = TCursorInternals::Table(*cursor).IndexFile();
    const int32_t active = index.ActiveRecordCount();
    for (int i = 0; i <= kSysDeletedIndex; ++i) {
      if (!index.IndexInUse(i) || (i != kSysDeletedIndex && index.Descriptor(i).IndexFieldCount == 0)) continue;
      const TIndexCheckResult result = CheckIndexTree(index, i);
      EXPECT_TRUE(result.Ok) << "index " << i << ": " << result.Problem;
      if (i != kSysDeletedIndex) {
        EXPECT_EQ(result.KeyCount, active) << "index " << i;
      }
    }
  }

  std::vector<int32_t> Progress;
};

std::vector<int32_t> Ids(int from, int to) {
  std::vector<int32_t> ids;
  for (int i = from; i <= to; ++i) ids.push_back(i);
  return ids;
}

std::vector<int32_t> FivesToHundred() {
  std::vector<int32_t> expected;
  for (int p = 5; p <= 100; p += 5) expected.push_back(p);
  return expected;
}

// ---- progress --------------------------------------------------------------------------

TEST(ProgressReporter, ReportsEachIntervalAndOneHundredOnce) {
  struct TCase {
    uint16_t Steps;
    std::vector<int32_t> Expected;
  };
  const TCase cases[] = {
      {20, FivesToHundred()},
      {0, {100}},
      {3, {33, 66, 99, 100}},
      {1, {100}},
  };
  for (const TCase& c : cases) {
    std::vector<int32_t> seen;
    TProgressReporter progress([&](int32_t p) { seen.push_back(p); }, c.Steps);
    for (int i = 1; i <= 1000; ++i) progress.Step(i, 1000);
    progress.Finish();
    EXPECT_EQ(seen, c.Expected) << "steps " << c.Steps;
  }
}

// ---- CreateTable -----------------------------------------------------------------------

TEST_F(MaintenanceTest, CreateTableRejectsBadDefinitionsWithTheirCodesAndMakesNoFile) {
  struct TCase {
    const char* Name;
    void (*Change)(TTableDefinition&);
    TErrorCode Code;
  };
  const TCase cases[] = {
      {"31-character field name", [](TTableDefinition& t) { t.Fields[1].Name = std::string(31, 'A'); },
       KURA_INVALIDFIELDNAME},
      {"Name and NAME", [](TTableDefinition& t) { t.Fields[0].Name = "Name"; }, KURA_INVALIDFIELDNAME},
      {"string of size 0", [](TTableDefinition& t) { t.Fields[1].Size = 0; }, KURA_INVALIDFLDTYPE},
      {"string of size 251", [](TTableDefinition& t) { t.Fields[1].Size = 251; }, KURA_INVALIDFLDTYPE},
      {"three 250-character key fields",
       [](TTableDefinition& t) {
         t.Fields = {Field("A", TFieldType::String, 250), Field("B", TFieldType::String, 250),
                     Field("C", TFieldType::String, 250)};
         t.PrimaryIndex = Index("", {1, 2, 3}, true);
         t.SecondaryIndexes.clear();
       },
       KURA_INVALIDKEY},
      {"16-character password", [](TTableDefinition& t) { t.Encrypted = true; t.Password = "0123456789abcdef"; },
       KURA_INVALIDPASSWORD},
  };
  for (const TCase& c : cases) {
    TTableDefinition t = PeopleDefinition();
    c.Change(t);
    auto cursor = Closed("made");
    EXPECT_EQ(EngineErrorCodeOf([&] { cursor->CreateTable(t, false); }), c.Code) << c.Name;
    EXPECT_FALSE(Directory->TableExists("made", false)) << c.Name;
  }
}

TEST_F(MaintenanceTest, CreateTableAcceptsAKeyOfTwo250CharacterStrings) {
  TTableDefinition t;
  t.Fields = {Field("A", TFieldType::String, 250), Field("B", TFieldType::String, 250)};
  t.PrimaryIndex = Index("", {1, 2}, true);
  Closed("wide")->CreateTable(t, false);
  auto cursor = Open("wide");
  EXPECT_EQ(TCursorInternals::Table(*cursor).IndexFile().Descriptor(kPrimaryIndex).KeySize, 2 * (251 + 1));
}

TEST_F(MaintenanceTest, CreateTableNeedsExclusiveWritableAndANewName) {
  EXPECT_ENGINE_ERROR(KURA_NEEDEXCLACCESS, Closed("people", false)->CreateTable(PeopleDefinition(), false));
  auto readOnly = Closed();
  readOnly->SetReadOnly(true);
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, readOnly->CreateTable(PeopleDefinition(), false));

  Closed()->CreateTable(PeopleDefinition(), false);
  {
    auto cursor = Open();
    Fill(*cursor, 3);
  }
  EXPECT_ENGINE_ERROR(KURA_TABLEEXISTS, Closed()->CreateTable(PeopleDefinition(), false));
  EXPECT_EQ(WalkForward(*Open()), Ids(1, 3));
  {
    auto other = Open();
    EXPECT_ENGINE_ERROR(KURA_OSEACCES, Closed()->CreateTable(PeopleDefinition(), true));
  }
  Closed()->CreateTable(PeopleDefinition(), true);
  EXPECT_TRUE(WalkForward(*Open()).empty());
}

TEST_F(MaintenanceTest, CreateTableStoresTextIndexAndFirstAutoIncValue) {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer), Field("TEXT", TFieldType::String, 40)};
  t.Fields[0].SubType = TFieldSubType::AutoInc;
  t.PrimaryIndex = Index("", {1}, true);
  t.TextIndexFields = {2};
  t.TextIndexParams.StopWords = {"ZETA", "ALPHA", "ZETA"};
  t.LastAutoIncValue = 41;
  Closed("texts")->CreateTable(t, false);
  auto cursor = Open("texts");
  TIndexFile& index = TCursorInternals::Table(*cursor).IndexFile();
  EXPECT_EQ(index.Descriptor(kSysTextIndex).IndexFieldCount, 1);
  const TTextIndexParameters stored = index.ReadTextParameters(kSysTextIndex);
  EXPECT_EQ(stored.StopWords, (std::vector<std::string>{"ALPHA", "ZETA"}));
  EXPECT_EQ(stored.SpaceChars, DefaultTextIndexParameters().SpaceChars);
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  cursor->InitRecord(record.data());
  cursor->SetField(2, record.data(), reinterpret_cast<const uint8_t*>("hello world"));
  cursor->AppendRecord(record.data(), true);
  EXPECT_EQ(ReadI32(record.data() + kRecordIdOffset), 42);
  EXPECT_EQ(TIndexTree(index, kSysTextIndex).KeyCount(), 2);
}

// ---- DeleteTable, RenameTable ----------------------------------------------------------

TEST_F(MaintenanceTest, DeleteAndRenameOfAnOpenTableRaise11013) {
  CreatePeople();
  auto open = Open();
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, Closed()->DeleteTable());
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, Closed()->RenameTable("other"));
  EXPECT_ENGINE_ERROR(KURA_TABLEOPEN, open->DeleteTable());
  open->CloseCursor();
  EXPECT_TRUE(Directory->TableExists("people", false));
}

TEST_F(MaintenanceTest, RenameTableMovesEveryFileAndRefusesAnExistingName) {
  CreatePeople();
  CreatePeople("taken");
  Fill(*Open(), 4);
  EXPECT_ENGINE_ERROR(KURA_TABLEEXISTS, Closed()->RenameTable("taken"));
  Closed()->RenameTable("renamed");
  EXPECT_FALSE(Directory->TableExists("people", false));
  EXPECT_FALSE(std::filesystem::exists(FileOf("people", ".IDX")));
  EXPECT_EQ(WalkIndex("ByGroup", "renamed").size(), 4U);
  Closed("renamed")->DeleteTable();
  EXPECT_FALSE(std::filesystem::exists(FileOf("renamed", ".DAT")));
  EXPECT_FALSE(std::filesystem::exists(FileOf("renamed", ".IDX")));
}

// ---- EmptyTable ------------------------------------------------------------------------

TEST_F(MaintenanceTest, EmptyTableRemovesEveryRecord) {
  CreatePeople();
  auto shared = Open();
  Fill(*shared, 50);
  EXPECT_ENGINE_ERROR(KURA_NEEDEXCLACCESS, shared->EmptyTable());
  shared->CloseCursor();
  auto cursor = Open("people", true);
  cursor->EmptyTable();
  EXPECT_EQ(cursor->GetRecordCount(), 0);
  EXPECT_EQ(cursor->GetNextRecord(nullptr), 8706);
  EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().RecordCount(), 0);
  EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().LastAutoIncValue(), 0);
  Fill(*cursor, 2);
  EXPECT_EQ(WalkForward(*cursor), Ids(1, 2));
  cursor->CloseCursor();
  EXPECT_EQ(WalkIndex("ByNameDesc"), (std::vector<int32_t>{2, 1}));
  ExpectSoundIndexes();
}

// ---- SortRecords -----------------------------------------------------------------------

// People 1..20 in groups i % 7, each VAL i.
std::vector<int32_t> SortedIds(std::vector<int32_t> ids, const std::function<bool(int32_t, int32_t)>& before) {
  std::stable_sort(ids.begin(), ids.end(), before);
  return ids;
}

TEST_F(MaintenanceTest, SortRecordsPutsTheRecordsInTheRequestedOrderAndRebuildsTheIndexes) {
  struct TCase {
    const char* Name;
    TSortRequest Request;
    std::vector<int32_t> Expected;  // the IDs in record-number order afterwards
  };
  const auto byGroupThenValueDescending = [](int32_t a, int32_t b) {
    return a % 7 != b % 7 ? a % 7 < b % 7 : a > b;
  };
  // The VAL field of the table being sorted, for the grouping callbacks.
  const TFieldDefinition* value = nullptr;
  std::vector<TCase> cases;
  cases.push_back({"value descending", {}, SortedIds(Ids(1, 20), std::greater<>())});
  cases.back().Request.Fields = {{4, true}};
  cases.push_back({"group, then value descending", {}, SortedIds(Ids(1, 20), byGroupThenValueDescending)});
  cases.back().Request.Fields = {{3, false}, {4, true}};
  // Equal keys keep their order: the first record of each group stays.
  cases.push_back({"distinct groups", {}, {7, 1, 2, 3, 4, 5, 6}});
  cases.back().Request.Fields = {{3, false}};
  cases.back().Request.Distinct = true;
  cases.push_back({"limited", {}, {20, 19, 18}});
  cases.back().Request.Fields = {{4, true}};
  cases.back().Request.Limit = 3;
  // Groups fold their later records into the first; the filter sees finished groups.
  cases.push_back({"grouped and filtered", {}, {1, 3, 5}});
  cases.back().Request.Fields = {{3, false}};
  cases.back().Request.Aggregate = [&value](TRecord& group, const TRecord& member) {
    uint8_t sum[4];
    WriteI32(sum, ReadI32(group.FieldData(*value)) + ReadI32(member.FieldData(*value)));
    group.SetFieldData(*value, sum);
  };
  // Sums 1+8+15 = 24, 3+10+17 = 30 and 5+12+19 = 36 are even, the others odd.
  cases.back().Request.Filter = [&value](TRecord& group) { return ReadI32(group.FieldData(*value)) % 2 == 0; };

  for (size_t i = 0; i < cases.size(); ++i) {
    const TCase& c = cases[i];
    SCOPED_TRACE(c.Name);
    const std::string table = "people" + std::to_string(i);
    CreatePeople(table);
    Fill(*Open(table), 20, 7);
    auto cursor = Open(table, true, true);
    value = &cursor->FieldDefinitions()[3];
    cursor->SortRecords(c.Request);
    EXPECT_EQ(cursor->GetRecordCount(), static_cast<int32_t>(c.Expected.size()));
    EXPECT_TRUE(cursor->Bof());
    EXPECT_EQ(WalkForward(*cursor), c.Expected);
    cursor->CloseCursor();
    // The indexes know every record at its new place.
    std::vector<int32_t> byId = c.Expected;
    std::sort(byId.begin(), byId.end());
    EXPECT_EQ(WalkIndex("", table), byId);
    ExpectSoundIndexes(table);
  }
}

TEST_F(MaintenanceTest, SortRecordsNeedsAnExclusiveWritableCursorAndSortableKeys) {
  CreatePeople();
  Fill(*Open(), 5);
  TSortRequest request;
  request.Fields = {{4, true}};
  EXPECT_ENGINE_ERROR(KURA_NEEDEXCLACCESS, Open()->SortRecords(request));
  EXPECT_ENGINE_ERROR(KURA_NEEDEXCLACCESS, Closed()->SortRecords(request));
  {
    auto readOnly = Closed();
    readOnly->SetReadOnly(true);
    readOnly->OpenCursor();
    EXPECT_ENGINE_ERROR(KURA_OSEACCES, readOnly->SortRecords(request));
  }
  auto cursor = Open("people", true, true);
  request.Fields = {{4, true}, {9, false}};
  EXPECT_ENGINE_ERROR(KURA_OUTOFRANGE, cursor->SortRecords(request));
  EXPECT_EQ(WalkForward(*cursor), Ids(1, 5));
}

TEST_F(MaintenanceTest, SortRecordsFreesTheBlobsOfTheRecordsItLeavesOut) {
  ASSERT_EQ(Directory->CreateTableFiles("notes", false,
                                        [] {
                                          TTableDefinition d;
                                          d.Fields = {Field("ID", TFieldType::Integer),
                                                      Field("TEXT", TFieldType::Blob, 0, TFieldSubType::Memo)};
                                          return d;
                                        }()),
            0);
  auto cursor = Open("notes", true, true);
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  const std::string text(1500, 'x');  // several blocks each
  auto append = [&](int32_t id) {
    cursor->InitRecord(record.data());
    uint8_t value[4];
    WriteI32(value, id);
    cursor->SetField(1, record.data(), value);
    int32_t size = 0;
    ASSERT_EQ(cursor->OpenBlob(2, record.data(), TBlobOpenMode::ReadWrite, size), 0);
    ASSERT_EQ(cursor->PutBlob(2, record.data(), 0, static_cast<int32_t>(text.size()),
                              reinterpret_cast<const uint8_t*>(text.data())),
              0);
    cursor->AppendRecord(record.data(), false);
  };
  for (int32_t id = 1; id <= 5; ++id) append(id);
  TBlobFile& blobs = *TCursorInternals::Table(*cursor).BlobFile();
  const int32_t blocks = blobs.Header().NextBlockNo;
  TSortRequest request;
  request.Fields = {{1, true}};
  request.Limit = 2;
  cursor->SortRecords(request);
  EXPECT_EQ(WalkForward(*cursor), (std::vector<int32_t>{5, 4}));
  // The kept records still read their text; the new ones reuse the freed blocks.
  cursor->SetToBegin();
  ASSERT_EQ(cursor->GetNextRecord(record.data()), 0);
  int32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(2, record.data(), TBlobOpenMode::Read, size), 0);
  EXPECT_EQ(size, static_cast<int32_t>(text.size()));
  EXPECT_EQ(cursor->FreeBlob(2, record.data()), 0);
  for (int32_t id = 6; id <= 8; ++id) append(id);
  EXPECT_EQ(blobs.Header().NextBlockNo, blocks);
}

// ---- AddSecondaryIndex, DeleteIndex ------------------------------------------------------

TEST_F(MaintenanceTest, AddSecondaryIndexBuildsItOverExistingRecordsWithProgress) {
  CreatePeople();
  Fill(*Open(), 1000);
  Session.SetProgressSteps(20);
  Session.OnProgress = [this](int32_t percent) { Progress.push_back(percent); };
  auto cursor = Open("people", true);
  TIndexDefinition byValue = Index("ByValueDesc", {4}, true, true);
  cursor->AddSecondaryIndex(byValue);
  EXPECT_EQ(Progress, FivesToHundred());
  cursor->SetIndexName("ByValueDesc");
  std::vector<int32_t> expected = Ids(1, 1000);
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(WalkForward(*cursor), expected);
  cursor->CloseCursor();
  ExpectSoundIndexes();
}

TEST_F(MaintenanceTest, AUniqueIndexOverCollidingKeysFailsAndLeavesTheTableUnchanged) {
  CreatePeople();
  Fill(*Open(), 30, 7);  // GRP repeats every 7 records
  auto cursor = Open("people", true);
  TIndexFile& index = TCursorInternals::Table(*cursor).IndexFile();
  const int secondaries = index.SecondaryCount();
  const int32_t pages = index.Header().NextPageNo;
  TErrorNames names;
  const auto error = EngineErrorOf([&] { cursor->AddSecondaryIndex(Index("UniqueGroup", {3}, true)); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorCode, KURA_KEYVIOL);
  EXPECT_EQ(error->ErrorIndexName, "UniqueGroup");
  EXPECT_EQ(index.SecondaryCount(), secondaries);
  EXPECT_EQ(index.FindIndex("UniqueGroup"), -1);
  EXPECT_EQ(WalkForward(*cursor), Ids(1, 30));
  // The pages the failed index took are kept for reuse, not appended again.
  cursor->AddSecondaryIndex(Index("ByValue", {4}, true));
  EXPECT_LE(index.Header().NextPageNo, pages + 2);
  cursor->CloseCursor();
  ExpectSoundIndexes();
}

TEST_F(MaintenanceTest, DeleteIndexWithAnUnknownNameChangesNothing) {
  CreatePeople();
  Fill(*Open(), 20);
  auto cursor = Open("people", true);
  TIndexFile& index = TCursorInternals::Table(*cursor).IndexFile();
  EXPECT_ENGINE_ERROR(KURA_INVALIDINDEXNAME, cursor->DeleteIndex("NoSuchIndex"));
  EXPECT_ENGINE_ERROR(KURA_INVALIDINDEXNAME, cursor->DeleteIndex("Sys Deleted"));
  EXPECT_EQ(index.SecondaryCount(), 2);
  cursor->DeleteIndex(" bygroup ");
  EXPECT_EQ(index.SecondaryCount(), 1);
  EXPECT_EQ(index.FindIndex("ByNameDesc"), 1);
  EXPECT_EQ(cursor->IndexNumber(), kPrimaryIndex);
  EXPECT_EQ(WalkForward(*cursor), Ids(1, 20));
  cursor->CloseCursor();
  EXPECT_EQ(WalkIndex("ByNameDesc").size(), 20U);
  ExpectSoundIndexes();
}

// A cursor keeps what its updates need of every index from one update to the next; an
// index deleted or added in between must drop out of, or join, every later append,
// change and delete (the highest index in use is the one deleted here).
TEST_F(MaintenanceTest, UpdatesFollowIndexesDeletedAndAddedBetweenThem) {
  CreatePeople();
  auto cursor = Open("people", true);
  TDataFile& data = TCursorInternals::Table(*cursor).DataFile();
  std::vector<uint8_t> buffer(static_cast<size_t>(cursor->RecordSize()));
  auto append = [&](int32_t id) {
    char name[16];
    std::snprintf(name, sizeof name, "N%06d", id);
    std::vector<uint8_t> record = PersonRecord(data, {id, name, id % 7, id});
    cursor->AppendRecord(record.data(), false);
  };
  // Changes the first record's name and value, then deletes the second record.
  auto changeAndDelete = [&](int32_t value) {
    cursor->SetToBegin();
    ASSERT_EQ(cursor->GetNextRecord(buffer.data()), 0);
    const int32_t id = TRecordImage::Int(data, buffer.data(), 1);
    buffer = PersonRecord(data, {id, "Changed" + std::to_string(value), 3, value});
    cursor->ModifyRecord(buffer.data(), true, false);
    cursor->SetToBegin();
    ASSERT_EQ(cursor->GetNextRecord(buffer.data()), 0);
    ASSERT_EQ(cursor->GetNextRecord(buffer.data()), 0);
    cursor->DeleteRecord(buffer.data(), false);
  };
  for (int32_t id = 1; id <= 50; ++id) append(id);
  changeAndDelete(1000);
  cursor->DeleteIndex("ByNameDesc");
  for (int32_t id = 51; id <= 80; ++id) append(id);
  changeAndDelete(2000);
  cursor->AddSecondaryIndex(Index("ByValue", {4}, true));
  for (int32_t id = 81; id <= 100; ++id) append(id);
  changeAndDelete(3000);
  EXPECT_EQ(cursor->GetRecordCount(), 97);
  cursor->CloseCursor();
  ExpectSoundIndexes();
  const std::vector<int32_t> byValue = WalkIndex("ByValue");
  ASSERT_EQ(byValue.size(), 97U);
  EXPECT_EQ(byValue.back(), 1);  // the first record, changed last to value 3000
}

TEST_F(MaintenanceTest, IndexChangesNeedAnExclusiveWritableCursor) {
  CreatePeople();
  auto shared = Open();
  EXPECT_ENGINE_ERROR(KURA_NEEDEXCLACCESS, shared->AddSecondaryIndex(Index("ByValue", {4}, false)));
  EXPECT_ENGINE_ERROR(KURA_NEEDEXCLACCESS, shared->DeleteIndex("ByGroup"));
}

// ---- RestructureTable --------------------------------------------------------------------

TTableDefinition RestructuredPeople() {
  TTableDefinition t = PeopleDefinition();
  for (size_t i = 0; i < t.Fields.size(); ++i) t.Fields[i].FieldNo = static_cast<uint16_t>(i + 1);
  t.Fields[3] = Field("VAL", TFieldType::String, 10);  // integer to text
  t.Fields[3].FieldNo = 4;
  t.Fields.push_back(Field("NOTE", TFieldType::String, 8));
  t.Fields.back().DefaultValue = "new";
  // GRP repeats every 7 records: only the first record of each group fits.
  t.SecondaryIndexes.push_back(Index("UniqueGroup", {3}, true));
  return t;
}

TEST_F(MaintenanceTest, RestructureConvertsFieldsAndReportsRecordsItCannotCarry) {
  CreatePeople();
  Fill(*Open(), 20, 7);
  std::vector<int32_t> lost;
  Session.OnProgress = [this](int32_t percent) { Progress.push_back(percent); };
  auto cursor = Closed();
  cursor->RestructureTable(RestructuredPeople(), [&](int32_t recNo, const EKuraEngineError& error) {
    EXPECT_EQ(error.ErrorCode, KURA_KEYVIOL);
    lost.push_back(recNo);
    return true;
  });
  EXPECT_FALSE(cursor->Active());
  EXPECT_EQ(lost, Ids(8, 20));
  ASSERT_FALSE(Progress.empty());
  EXPECT_EQ(Progress.back(), 100);

  auto check = Open();
  const TDataFile& data = TCursorInternals::Table(*check).DataFile();
  ASSERT_EQ(data.FieldCount(), 5);
  EXPECT_EQ(data.FieldByPosition(4)->FieldType, TFieldType::String);
  std::vector<uint8_t> record(static_cast<size_t>(check->RecordSize()));
  check->SetToBegin();
  int seen = 0;
  while (check->GetNextRecord(record.data()) == 0) {
    ++seen;
    const int32_t id = TRecordImage::Int(data, record.data(), 1);
    EXPECT_EQ(TRecordImage::Text(data, record.data(), 4), std::to_string(id));
    EXPECT_EQ(TRecordImage::Text(data, record.data(), 5), "new");
    // The unique record ids are kept.
    EXPECT_EQ(ReadI32(record.data() + kRecordIdOffset), id);
  }
  EXPECT_EQ(seen, 7);
  check->CloseCursor();
  ExpectSoundIndexes();
  // No temporary table is left behind, here or in the private directory.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Temp.Path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 2);  // people.DAT, people.IDX
}

TEST_F(MaintenanceTest, RestructureStoppedByTheCallbackLeavesTheOldTable) {
  CreatePeople();
  Fill(*Open(), 20, 7);
  auto cursor = Closed();
  EXPECT_EQ(EngineErrorCodeOf([&] {
              cursor->RestructureTable(RestructuredPeople(), [](int32_t, const EKuraEngineError&) { return false; });
            }),
            KURA_KEYVIOL);
  // Without a callback nothing may be dropped silently either.
  EXPECT_ENGINE_ERROR(KURA_KEYVIOL, cursor->RestructureTable(RestructuredPeople()));
  auto check = Open();
  EXPECT_EQ(TCursorInternals::Table(*check).DataFile().FieldCount(), 4);
  EXPECT_EQ(WalkForward(*check), Ids(1, 20));
}

TEST_F(MaintenanceTest, RestructureOfIndexesOnlyRebuildsTheIndexFile) {
  CreatePeople();
  Fill(*Open(), 50);
  TTableDefinition t = PeopleDefinition();
  for (size_t i = 0; i < t.Fields.size(); ++i) t.Fields[i].FieldNo = static_cast<uint16_t>(i + 1);
  t.Fields[3].Name = "AMOUNT";
  t.SecondaryIndexes = {Index("ByValue", {4}, true, true)};
  Closed()->RestructureTable(t);
  std::vector<int32_t> expected = Ids(1, 50);
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(WalkIndex("ByValue"), expected);
  auto check = Open();
  EXPECT_EQ(TCursorInternals::Table(*check).IndexFile().SecondaryCount(), 1);
  EXPECT_NE(TCursorInternals::Table(*check).DataFile().FieldByName("AMOUNT"), nullptr);
  check->CloseCursor();
  ExpectSoundIndexes();
}

TEST_F(MaintenanceTest, RestructureNeedsAClosedExclusiveCursor) {
  CreatePeople();
  EXPECT_ENGINE_ERROR(KURA_NEEDEXCLACCESS, Closed("people", false)->RestructureTable(PeopleDefinition()));
  auto open = Open("people", true);
  EXPECT_ENGINE_ERROR(KURA_TABLEOPEN, open->RestructureTable(PeopleDefinition()));
}

// ---- RepairTable ---------------------------------------------------------------------------

void OverwritePages(const std::filesystem::path& file, int32_t firstPage) {
  const auto size = static_cast<int64_t>(std::filesystem::file_size(file));
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  std::string garbage(kIndexPageSize, '\xA5');
  for (int64_t offset = int64_t{firstPage} * kIndexPageSize; offset < size; offset += kIndexPageSize) {
    stream.seekp(offset);
    stream.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
}

TEST_F(MaintenanceTest, RepairRestoresATableWhoseIndexPagesAreGarbage) {
  CreatePeople();
  {
    auto cursor = Open();
    Fill(*cursor, 300);
    testing_support::DeleteDirect(TCursorInternals::Table(*cursor), 5);
  }
  OverwritePages(FileOf("people", ".IDX"), 1);
  Closed()->RepairTable();
  EXPECT_TRUE(std::filesystem::exists(FileOf("people", ".IBK")));
  std::vector<int32_t> expected = Ids(1, 300);
  expected.erase(expected.begin() + 4);
  EXPECT_EQ(WalkIndex(""), expected);
  EXPECT_EQ(WalkIndex("ByGroup").size(), 299U);
  auto natural = Open("people", false, true);
  EXPECT_EQ(natural->GetRecordCount(), 299);
  EXPECT_EQ(TCursorInternals::Table(*natural).IndexFile().ActiveRecordCount(), 299);
  natural->CloseCursor();
  ExpectSoundIndexes();
}

TEST_F(MaintenanceTest, RepairTakesTheDefinitionsFromTheBackupWhenTheIndexFileIsGone) {
  CreatePeople();
  Fill(*Open(), 120);
  Closed()->RepairTable();  // leaves the backup
  std::filesystem::remove(FileOf("people", ".IDX"));
  Closed()->RepairTable();
  auto cursor = Open();
  EXPECT_EQ(TCursorInternals::Table(*cursor).IndexFile().SecondaryCount(), 2);
  cursor->CloseCursor();
  EXPECT_EQ(WalkIndex(""), Ids(1, 120));
  EXPECT_EQ(WalkIndex("ByGroup").size(), 120U);
  EXPECT_EQ(WalkIndex("ByNameDesc").size(), 120U);
  ExpectSoundIndexes();
}

TEST_F(MaintenanceTest, RepairKeepsAGoodBackupWhenTheIndexHeaderIsUnreadable) {
  CreatePeople();
  Fill(*Open(), 40);
  Closed()->RepairTable();
  OverwritePages(FileOf("people", ".IDX"), 0);
  Closed()->RepairTable();
  EXPECT_EQ(WalkIndex("ByGroup").size(), 40U);
  // Twice: the backup still holds the definitions.
  OverwritePages(FileOf("people", ".IDX"), 0);
  Closed()->RepairTable();
  EXPECT_EQ(WalkIndex("ByNameDesc").size(), 40U);
}

TEST_F(MaintenanceTest, RepairWithoutAnyDefinitionsRebuildsTheSystemIndexes) {
  CreatePeople();
  Fill(*Open(), 10);
  std::filesystem::remove(FileOf("people", ".IDX"));
  EXPECT_EQ(Closed()->RepairTable().Lines,
            std::vector<std::string>{"index definitions could not be restored: people.IDX is missing and there is no "
                                     "usable backup people.IBK; the table has no primary or secondary indexes until "
                                     "they are defined again"});
  auto cursor = Open();
  EXPECT_EQ(TCursorInternals::Table(*cursor).IndexFile().SecondaryCount(), 0);
  EXPECT_EQ(cursor->GetRecordCount(), 10);
  EXPECT_EQ(WalkForward(*cursor), Ids(1, 10));
}

// A data file whose header cannot be trusted beyond its slot counts is not repaired:
// the error of its header check is raised and the file is left as it was, also when its
// slot counts were out of range too.
TEST_F(MaintenanceTest, RepairLeavesADataFileWithDamagedDefinitionsAsItWas) {
  CreatePeople();
  Fill(*Open(), 12);
  const std::filesystem::path data = FileOf("people", ".DAT");
  const std::vector<uint8_t> sound = testing_support::ReadFileBytes(data);
  struct TCase {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Damage;
    TErrorCode Code;
  };
  // Offset of the second field's Offset in the definitions (127 + 768 + 90).
  constexpr size_t kSecondFieldOffset = 127 + 768 + 90;
  const TCase cases[] = {
      {"record size", [](std::vector<uint8_t>& b) { WriteU16(b.data() + 21, 7); }, KURA_HEADERCORRUPT},
      {"record size and slot count",
       [](std::vector<uint8_t>& b) {
         WriteU16(b.data() + 21, 7);
         WriteI32(b.data() + 13, 900);
       },
       KURA_HEADERCORRUPT},
      {"field offset and free head",
       [](std::vector<uint8_t>& b) {
         WriteU16(b.data() + kSecondFieldOffset, 11);
         WriteI32(b.data() + 9, 77);
       },
       KURA_HEADERCORRUPT},
  };
  for (const TCase& c : cases) {
    std::vector<uint8_t> bytes = sound;
    c.Damage(bytes);
    testing_support::WriteFileBytes(data, bytes);
    EXPECT_EQ(EngineErrorCodeOf([&] { Closed()->RepairTable(); }), c.Code) << c.Name;
    EXPECT_EQ(testing_support::ReadFileBytes(data), bytes) << c.Name;
  }
}

// An encrypted table is repaired only with its password, asked before anything changes.
TEST_F(MaintenanceTest, RepairOfAnEncryptedTableAsksForThePasswordFirst) {
  TTableDefinition definition = PeopleDefinition();
  definition.Encrypted = true;
  definition.Password = "Secret";
  ASSERT_EQ(Directory->CreateTableFiles("vault", false, definition), 0);
  Session.AddPassword("Secret");
  Fill(*Open("vault"), 8);
  Session.RemoveAllPasswords();
  const std::filesystem::path data = FileOf("vault", ".DAT");
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(data);
  WriteI32(bytes.data() + 9, 99);  // a free-chain head beyond the slots
  bytes.insert(bytes.end(), 11, 0x33);
  testing_support::WriteFileBytes(data, bytes);
  EXPECT_ENGINE_ERROR(KURA_NOTSUFFTABLERIGHTS, Closed("vault")->RepairTable());
  EXPECT_EQ(testing_support::ReadFileBytes(data), bytes);
  Session.AddPassword("Secret");
  EXPECT_EQ(Closed("vault")->RepairTable().Lines,
            (std::vector<std::string>{"vault.DAT: cut 11 bytes beyond the last record",
                                      "vault.DAT: the chain of deleted slots was damaged (its head, record slot 99, "
                                      "lies outside the file); made anew from the slots' states, 0 deleted slots"}));
  EXPECT_EQ(WalkIndex("", "vault"), Ids(1, 8));
}

TEST_F(MaintenanceTest, RepairOfAnOpenTableRaises11013) {
  CreatePeople();
  auto open = Open();
  EXPECT_ENGINE_ERROR(KURA_OSEACCES, Closed()->RepairTable());
}

}  // namespace
}  // namespace kura
