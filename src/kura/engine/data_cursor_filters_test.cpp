// The cursor's side of filters (the view they make, navigation over it, its upkeep
// after edits) and the key search.

#include "kura/engine/cursor_internals.h"
#include "testing/cursor_fixture.h"
#include "testing/direct_table_edits.h"
#include "testing/engine_error_expect.h"
#include "testing/record_image.h"

namespace kura::cursor_test {
namespace {

using testing_support::TPerson;
using testing_support::PersonRecord;
using testing_support::TCursorFixture;
using testing_support::TRecordImage;
using testing_support::DeleteDirect;
using testing_support::EngineErrorCodeOf;

class CursorFilterTest : public TCursorFixture {
protected:
  static void Append(TDataCursor& cursor, const TPerson& person) {
    std::vector<uint8_t> record = PersonRecord(TCursorInternals::Table(cursor).DataFile(), person);
    cursor.AppendRecord(record.data(), false);
  }
};

TEST_F(CursorFilterTest, AFilterRestrictsEveryOrderAndItsCounts) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 200);
  TFilter* filter = cursor->AddExprFilter("GRP = 3");
  EXPECT_EQ(cursor->GetRecordCount(), 200);  // added inactive
  cursor->ActivateFilter(filter);
  EXPECT_TRUE(TCursorInternals::BitmapMode(*cursor));
  std::vector<int32_t> expected;
  for (int32_t i = 1; i <= 200; ++i) {
    if (i % 7 == 3) expected.push_back(i);
  }
  EXPECT_EQ(cursor->GetRecordCount(), static_cast<int32_t>(expected.size()));
  EXPECT_EQ(WalkForward(*cursor), expected);
  EXPECT_EQ(WalkBackward(*cursor), std::vector<int32_t>(expected.rbegin(), expected.rend()));
  ASSERT_TRUE(cursor->SetToRecNo(4));
  EXPECT_EQ(CurrentId(*cursor), expected[3]);
  EXPECT_EQ(cursor->GetRecNo(), 4);

  cursor->SetIndexName("ByNameDesc");
  EXPECT_EQ(CurrentId(*cursor), expected[3]);  // still on its record
  EXPECT_EQ(WalkForward(*cursor), std::vector<int32_t>(expected.rbegin(), expected.rend()));

  // Dropping the only active filter leaves bitmap mode and restores the full count.
  cursor->SetIndexName("");
  cursor->DropFilter(filter);
  EXPECT_FALSE(TCursorInternals::BitmapMode(*cursor));
  EXPECT_EQ(cursor->GetRecordCount(), 200);
  EXPECT_EQ(cursor->FilterCount(), 0u);
}

TEST_F(CursorFilterTest, AConstantFalseFilterShowsNothing) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 20);
  cursor->ActivateFilter(cursor->AddExprFilter("1 = 0"));
  EXPECT_EQ(cursor->GetRecordCount(), 0);
  cursor->SetToBegin();
  EXPECT_EQ(cursor->GetNextRecord(nullptr), KURA_EOF);
  EXPECT_EQ(cursor->GetCurrentRecord(nullptr), KURA_NOCURRREC);
}

TEST_F(CursorFilterTest, TheViewFollowsEditsThroughTheCursor) {
  CreatePeople();
  for (const bool natural : {false, true}) {
    SCOPED_TRACE(natural ? "natural" : "index");
    const std::string name = natural ? "n" : "i";
    CreatePeople(name);
    auto cursor = Open(name, false, natural);
    Fill(*cursor, 30);
    cursor->ActivateFilter(cursor->AddExprFilter("VAL > 20"));
    EXPECT_EQ(cursor->GetRecordCount(), 10);
    Append(*cursor, {31, "A", 0, 25});
    Append(*cursor, {32, "B", 0, 5});
    EXPECT_EQ(cursor->GetRecordCount(), 11);
    ASSERT_TRUE(cursor->SetToRecNo(1));
    EXPECT_EQ(CurrentId(*cursor), 21);
    cursor->DeleteRecord(nullptr, true);
    EXPECT_EQ(cursor->GetRecordCount(), 10);
    // A change that takes a record out of the filter.
    std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
    ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
    TRecordImage image(TCursorInternals::Table(*cursor).DataFile());
    image.Bytes = record;
    image.SetInt(4, 1);
    cursor->ModifyRecord(image.Bytes.data(), true, true);
    EXPECT_EQ(cursor->GetRecordCount(), 9);
    EXPECT_EQ(WalkForward(*cursor).size(), 9u);
  }
}

// A walk that changes each record it meets so that the filter drops it: after each
// change the cursor stands before the next record, which the walk then reads.
TEST_F(CursorFilterTest, AWalkThatChangesRecordsOutOfTheViewMeetsEveryRecord) {
  CreatePeople();
  for (const bool natural : {false, true}) {
    SCOPED_TRACE(natural ? "natural" : "index");
    const std::string name = natural ? "n" : "i";
    CreatePeople(name);
    auto cursor = Open(name, false, natural);
    Fill(*cursor, 30);
    cursor->ActivateFilter(cursor->AddExprFilter("VAL > 20"));
    std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
    TRecordImage image(TCursorInternals::Table(*cursor).DataFile());
    std::vector<int32_t> met;
    cursor->SetToBegin();
    while (cursor->GetNextRecord(record.data()) == KURA_NONE) {
      met.push_back(CurrentId(*cursor));
      image.Bytes = record;
      image.SetInt(4, 1);
      cursor->ModifyRecord(image.Bytes.data(), true, false);
    }
    EXPECT_EQ(met, (std::vector<int32_t>{21, 22, 23, 24, 25, 26, 27, 28, 29, 30}));
    EXPECT_EQ(cursor->GetRecordCount(), 0);
  }
}

TEST_F(CursorFilterTest, FilterHandlesAndLimits) {
  CreatePeople();
  auto cursor = Open();
  auto other = Open();
  TFilter* foreign = other->AddExprFilter("VAL = 1");
  EXPECT_ENGINE_ERROR(KURA_NOSUCHFILTER, cursor->ActivateFilter(foreign));
  EXPECT_ENGINE_ERROR(KURA_NOSUCHFILTER, cursor->DropFilter(foreign));
  for (int i = 0; i < 64; ++i) cursor->AddExprFilter("VAL > " + std::to_string(i));
  EXPECT_ENGINE_ERROR(KURA_INTERNALLIMIT, cursor->AddExprFilter("VAL > 99"));
  cursor->DropFilter(nullptr);
  EXPECT_EQ(cursor->FilterCount(), 0u);
  // A callback filter keeps its place after the others.
  TFilter* callback = cursor->AddCallbackFilter([](TDataCursor&, const uint8_t*, int32_t) { return true; }, true);
  TFilter* expression = cursor->AddExprFilter("VAL > 0");
  EXPECT_EQ(cursor->GetFilterOptimizeLevel(callback), 0);
  (void)expression;
}

TEST_F(CursorFilterTest, AClonedCursorKeepsItsFilters) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 40);
  cursor->ActivateFilter(cursor->AddExprFilter("GRP = 1"));
  ASSERT_TRUE(cursor->SetToRecNo(2));
  auto clone = cursor->CloneCursor();
  EXPECT_EQ(clone->FilterCount(), 1u);
  EXPECT_EQ(clone->GetRecordCount(), cursor->GetRecordCount());
  EXPECT_EQ(CurrentId(*clone), CurrentId(*cursor));
}

TEST_F(CursorFilterTest, FindInTheCurrentIndex) {
  CreatePeople();
  auto cursor = Open();
  Fill(*cursor, 100);
  TDataFile& data = TCursorInternals::Table(*cursor).DataFile();
  std::vector<uint8_t> found(static_cast<size_t>(cursor->RecordSize()));

  // Full keys of the unique primary index.
  std::vector<uint8_t> probe = PersonRecord(data, {42, "", 0, 0});
  EXPECT_TRUE(cursor->Find(probe.data(), false, 0, -1, false, found.data()));
  EXPECT_EQ(TRecordImage::Int(data, found.data(), 1), 42);
  DeleteDirect(TCursorInternals::Table(*cursor), 43);
  probe = PersonRecord(data, {43, "", 0, 0});
  EXPECT_FALSE(cursor->Find(probe.data(), false, 0, -1, false, nullptr));
  EXPECT_EQ(CurrentId(*cursor), 42);  // nothing moved
  EXPECT_FALSE(cursor->Find(probe.data(), false, 0, -1, true, nullptr));
  EXPECT_EQ(CurrentId(*cursor), 44);  // the nearest following key
  // A key above every key: the last record, false.
  probe = PersonRecord(data, {1000, "", 0, 0});
  EXPECT_FALSE(cursor->Find(probe.data(), false, 0, -1, true, found.data()));
  EXPECT_EQ(CurrentId(*cursor), 100);

  // A partial key on the first field of the two-field index.
  cursor->SetIndexName("ByGroup");
  probe = PersonRecord(data, {0, "ZZZ", 4, 0});
  EXPECT_TRUE(cursor->Find(probe.data(), false, 1, -1, false, found.data()));
  EXPECT_EQ(TRecordImage::Int(data, found.data(), 1), 4);  // GRP 4, lowest NAME
  // And the leading bytes of the second field.
  probe = PersonRecord(data, {0, "N00006", 4, 0});
  EXPECT_TRUE(cursor->Find(probe.data(), false, 1, 6, false, found.data()));
  EXPECT_EQ(TRecordImage::Int(data, found.data(), 1), 60);
  probe = PersonRecord(data, {0, "Q", 4, 0});
  EXPECT_FALSE(cursor->Find(probe.data(), false, 1, 1, false, found.data()));
  // A key given as key bytes.
  std::vector<uint8_t> key(static_cast<size_t>(cursor->KeySize()));
  cursor->BuildKey(PersonRecord(data, {0, "N000011", 4, 0}).data(), key.data());
  EXPECT_TRUE(cursor->Find(key.data(), true, 2, -1, false, nullptr));
  EXPECT_EQ(CurrentId(*cursor), 11);

  // Natural order has no key: nothing moves.
  cursor->SetIndexNumber(kNoIndex);
  EXPECT_FALSE(cursor->Find(probe.data(), false, 1, -1, true, nullptr));
  EXPECT_EQ(CurrentId(*cursor), 11);
}

}  // namespace
}  // namespace kura::cursor_test
