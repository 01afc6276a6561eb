#include <algorithm>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/base/language_driver.h"
#include "kura/storage/data_file.h"
#include "kura/storage/data_file_test_support.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorCodeOf;
using testing_support::Field;
using storage_test::TTestOwner;

constexpr int kRecords = 300;

// What the test put in a record, to compute the expected order independently.
struct TRow {
  int32_t Id;
  std::optional<std::string> Name;
  std::optional<int32_t> Num;
  double Amount;
};

class DataFileSortTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::filesystem::create_directory(Dir / "private");
    Owner.Private = (Dir / "private/").string();
  }

  std::string FileName() const { return (Dir / "sorted.DAT").string(); }

  // ID AutoInc, NAM String[8], NUM Integer, AMT Float; values from a fixed
  // pseudo-random sequence with NULLs and many repeated values.
  void CreateTable(uint16_t localeId = 0) {
    TDataFile file(FileName());
    file.CreateDataFile(localeId, 0,
                        {Field("ID", TFieldType::Integer, 0, TFieldSubType::AutoInc),
                         Field("NAM", TFieldType::String, 8), Field("NUM", TFieldType::Integer),
                         Field("AMT", TFieldType::Float)},
                        0, "", "", false, 0, 0);
    uint32_t seed = 12345;
    auto next = [&seed]() {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 16) & 0x7FFF;
    };
    for (int i = 0; i < kRecords; ++i) {
      TRow row;
      TRecordPin record(file, file.AllocateRecord());
      row.Id = file.NextAutoIncValue();
      record->SetUniqueId(row.Id);
      if (next() % 10 != 0) {
        // With a language driver "date" becomes "\xE9clair" (Windows-1252 e acute), which
        // the collation puts between "Banana" and "fig" and byte order after "pear".
        static const char* const names[] = {"pear", "Apple", "apple", "fig", "kiwi", "Banana", "date"};
        const uint32_t pick = next() % 7;
        row.Name = (localeId != 0 && pick == 6) ? "\xE9" "clair" : names[pick];
        record->SetString(*file.FieldByName("NAM"), *row.Name);
      }
      if (next() % 8 != 0) {
        row.Num = static_cast<int32_t>(next() % 40) - 20;
        uint8_t data[4];
        WriteI32(data, *row.Num);
        record->SetFieldData(*file.FieldByName("NUM"), data);
      }
      row.Amount = next() % 100;
      uint8_t amount[8];
      WriteF64(amount, row.Amount);
      record->SetFieldData(*file.FieldByName("AMT"), amount);
      file.MarkRecordDirty(record.Get());
      Rows.push_back(row);
    }
    file.FlushRecords();
    file.WriteHeader();
  }

  // Opens the table with a cache of `cacheRecords` records; with `loadAll` every slot is
  // read into the cache first so that the sort runs in memory.
  std::unique_ptr<TDataFile> Open(int32_t cacheRecords, bool loadAll) {
    Owner.BufferRecords = cacheRecords;
    Owner.BufferBytes = 1 << 24;
    auto file = std::make_unique<TDataFile>(FileName(), false, &Owner);
    file->OpenDataFile();
    if (loadAll) {
      for (int32_t n = 1; n <= file->RecordCount(); ++n) file->ReleaseRecord(file->GetRecord(n, {true, false, 0}));
      EXPECT_EQ(file->CachedRecordCount(), static_cast<size_t>(file->RecordCount()));
    }
    return file;
  }

  // The unique ids of the records from slot 1 on, checking each slot's own number.
  static std::vector<int32_t> IdsInSlotOrder(TDataFile& file) {
    std::vector<int32_t> ids;
    for (int32_t n = 1; n <= file.RecordCount(); ++n) {
      TRecordPin record(file, file.GetRecord(n));
      EXPECT_EQ(record->Link(), n);
      EXPECT_FALSE(record->IsDeleted());
      ids.push_back(record->UniqueId());
    }
    return ids;
  }

  size_t TempFileCount() const {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Dir / "private")) {
      if (entry.path().extension() == ".TMP") ++count;
    }
    return count;
  }

  // Runs the request on a fresh open of the table in memory and through runs, checks
  // that both give `expected`, and that no temporary file is left.
  void ExpectBothPaths(TSortRequest request, const std::vector<int32_t>& expected) {
    for (const bool inMemory : {true, false}) {
      CreateTableCopy();
      auto file = Open(inMemory ? 8192 : 32, inMemory);
      size_t tempFilesSeen = 0;
      auto filter = request.Filter;
      TSortRequest probe = request;
      probe.Filter = [&](TRecord& record) {
        tempFilesSeen = std::max(tempFilesSeen, TempFileCount());
        return filter ? filter(record) : true;
      };
      file->SortRecords(probe);
      if (inMemory) {
        EXPECT_EQ(tempFilesSeen, 0u);
      } else if (!expected.empty()) {
        EXPECT_EQ(tempFilesSeen, (kRecords + 31) / 32u);  // one run per 32 slots
      }
      EXPECT_EQ(TempFileCount(), 0u);
      EXPECT_EQ(file->RecordCount(), static_cast<int32_t>(expected.size()));
      EXPECT_EQ(file->Header().FirstFreeRecord, 0);
      EXPECT_EQ(IdsInSlotOrder(*file), expected) << (inMemory ? "in memory" : "through runs");
      file->FlushRecords();
      file->WriteHeader();
      EXPECT_NO_THROW(file->CheckHeader());
    }
  }

  // Each path sorts a table made the same way.
  void CreateTableCopy() {
    Rows.clear();
    std::filesystem::remove(FileName());
    CreateTable();
  }

  std::vector<int32_t> ExpectedIds(const std::function<bool(const TRow&, const TRow&)>& before) {
    std::vector<TRow> rows = Rows;
    std::stable_sort(rows.begin(), rows.end(), [&](const TRow& a, const TRow& b) {
      if (before(a, b)) return true;
      if (before(b, a)) return false;
      return a.Id < b.Id;
    });
    std::vector<int32_t> ids;
    for (const TRow& row : rows) ids.push_back(row.Id);
    return ids;
  }

  testing_support::TTempDir Dir;
  TTestOwner Owner;
  std::vector<TRow> Rows;
};

TEST_F(DataFileSortTest, AscendingAndDescendingFieldsInByteOrder) {
  CreateTable();
  // NUM ascending (NULL first), NAM descending (NULL last, byte order: lower case after
  // upper case), the record id last.
  const auto expected = ExpectedIds([](const TRow& a, const TRow& b) {
    if (a.Num != b.Num) return a.Num < b.Num;
    if (a.Name.has_value() != b.Name.has_value()) return a.Name.has_value();
    return a.Name.has_value() && *a.Name > *b.Name;
  });
  TSortRequest request;
  request.Fields = {{3, false}, {2, true}};
  ExpectBothPaths(request, expected);
}

TEST_F(DataFileSortTest, DescendingPutsNullsLast) {
  CreateTable();
  const auto expected = ExpectedIds([](const TRow& a, const TRow& b) {
    if (a.Num.has_value() != b.Num.has_value()) return a.Num.has_value();
    return a.Num.has_value() && *a.Num > *b.Num;
  });
  TSortRequest request;
  request.Fields = {{3, true}};
  ExpectBothPaths(request, expected);
  ASSERT_FALSE(Rows.empty());
}

TEST_F(DataFileSortTest, DistinctKeepsTheFirstOfEqualKeysAndLimitStops) {
  CreateTable();
  const auto sorted = ExpectedIds([](const TRow& a, const TRow& b) { return a.Name < b.Name; });
  std::vector<int32_t> distinct;
  std::optional<std::string> last;
  bool any = false;
  for (int32_t id : sorted) {
    const TRow& row = Rows[static_cast<size_t>(id - 1)];
    if (any && row.Name == last) continue;
    distinct.push_back(id);
    last = row.Name;
    any = true;
  }
  ASSERT_EQ(distinct.size(), 8u);  // NULL and seven names
  TSortRequest request;
  request.Fields = {{2, false}};
  request.Distinct = true;
  ExpectBothPaths(request, distinct);
  request.Limit = 3;
  ExpectBothPaths(request, std::vector<int32_t>(distinct.begin(), distinct.begin() + 3));
  request.Limit = 0;
  ExpectBothPaths(request, {});
}

// A limit without DISTINCT or grouping keeps the first records of the full order, ties
// in record-id order, as many as asked (all when more are asked than there are).
TEST_F(DataFileSortTest, LimitKeepsTheFirstRecordsOfTheFullOrder) {
  CreateTable();
  const auto sorted = ExpectedIds([](const TRow& a, const TRow& b) { return a.Name < b.Name; });
  TSortRequest request;
  request.Fields = {{2, false}};
  for (const size_t limit : {size_t{0}, size_t{1}, size_t{4}, sorted.size() - 1, sorted.size() + 3}) {
    SCOPED_TRACE(limit);
    request.Limit = static_cast<int64_t>(limit);
    const size_t kept = std::min(limit, sorted.size());
    const std::vector<int32_t> expected(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(kept));
    ExpectBothPaths(request, expected);  // with a filter that keeps every record
    CreateTableCopy();
    auto file = Open(8192, true);
    file->SortRecords(request);  // without: only the kept records are put in order
    EXPECT_EQ(IdsInSlotOrder(*file), expected);
  }
}

TEST_F(DataFileSortTest, CaseInsensitiveSortFoldsLetterCase) {
  CreateTable();
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  const auto expected = ExpectedIds([&](const TRow& a, const TRow& b) {
    if (a.Name.has_value() != b.Name.has_value()) return !a.Name.has_value();
    return a.Name.has_value() && upper(*a.Name) < upper(*b.Name);
  });
  TSortRequest request;
  request.Fields = {{2, false}};
  request.CaseInsensitive = true;
  ExpectBothPaths(request, expected);
}

TEST_F(DataFileSortTest, GroupingFoldsEqualKeysAndTheFilterDropsGroups) {
  CreateTable();
  // Expected: per NUM value the first record (by id), its AMT the sum of the group,
  // groups with an odd NUM dropped, then at most 5 groups.
  const auto sorted = ExpectedIds([](const TRow& a, const TRow& b) { return a.Num < b.Num; });
  std::vector<int32_t> expectedIds;
  std::vector<double> expectedSums;
  for (size_t i = 0; i < sorted.size();) {
    const TRow& first = Rows[static_cast<size_t>(sorted[i] - 1)];
    double sum = 0;
    size_t j = i;
    while (j < sorted.size() && Rows[static_cast<size_t>(sorted[j] - 1)].Num == first.Num) {
      sum += Rows[static_cast<size_t>(sorted[j] - 1)].Amount;
      ++j;
    }
    if (!first.Num || *first.Num % 2 == 0) {
      expectedIds.push_back(first.Id);
      expectedSums.push_back(sum);
    }
    i = j;
  }
  expectedIds.resize(5);
  expectedSums.resize(5);

  for (const bool inMemory : {true, false}) {
    CreateTableCopy();
    auto file = Open(inMemory ? 8192 : 32, inMemory);
    const TFieldDefinition amount = *file->FieldByName("AMT");
    const TFieldDefinition num = *file->FieldByName("NUM");
    TSortRequest request;
    request.Fields = {{3, false}};
    request.Limit = 5;
    request.Aggregate = [&](TRecord& group, const TRecord& member) {
      WriteF64(group.FieldData(amount), ReadF64(group.FieldData(amount)) + ReadF64(member.FieldData(amount)));
    };
    request.Filter = [&](TRecord& record) {
      return record.IsNull(num) || ReadI32(record.FieldData(num)) % 2 == 0;
    };
    file->SortRecords(request);
    EXPECT_EQ(IdsInSlotOrder(*file), expectedIds);
    for (int32_t n = 1; n <= file->RecordCount(); ++n) {
      TRecordPin record(*file, file->GetRecord(n));
      EXPECT_EQ(ReadF64(record->FieldData(amount)), expectedSums[static_cast<size_t>(n - 1)]) << n;
    }
  }
}

TEST_F(DataFileSortTest, DeletedSlotsAreDropped) {
  CreateTable();
  {
    auto file = Open(8192, false);
    for (int32_t recNo : {5, 17, 290}) {
      TRecordPin record(*file, file->GetRecord(recNo));
      file->FreeRecord(record.Get());
    }
    file->FlushRecords();
    file->WriteHeader();
  }
  std::vector<int32_t> expected;
  for (int32_t id = 1; id <= kRecords; ++id) {
    if (id != 5 && id != 17 && id != 290) expected.push_back(id);
  }
  for (const bool inMemory : {true, false}) {
    auto file = Open(inMemory ? 8192 : 32, inMemory);
    TSortRequest request;  // no fields: the record id alone orders
    file->SortRecords(request);
    EXPECT_EQ(IdsInSlotOrder(*file), expected);
    file->WriteHeader();
  }
}

TEST_F(DataFileSortTest, TemporaryFilesAreRemovedWhenTheSortFails) {
  CreateTable();
  auto file = Open(32, false);
  int calls = 0;
  TSortRequest request;
  request.Fields = {{2, false}};
  request.Filter = [&](TRecord&) {
    if (++calls == 100) throw std::runtime_error("stop");
    return true;
  };
  EXPECT_THROW(file->SortRecords(request), std::runtime_error);
  EXPECT_EQ(calls, 100);
  EXPECT_EQ(TempFileCount(), 0u);
}

TEST_F(DataFileSortTest, UnknownSortFieldIsRejected) {
  CreateTable();
  auto file = Open(8192, false);
  TSortRequest request;
  request.Fields = {{9, false}};
  EXPECT_ENGINE_ERROR(KURA_OUTOFRANGE, file->SortRecords(request));
}

TEST_F(DataFileSortTest, TableWithALanguageDriverSortsWithItsCollation) {
  CreateTable(kLocaleUSEnglish);
  // Case- and accent-insensitive collation: apple/Apple, Banana, \xE9clair, fig, kiwi,
  // pear; NULL first.
  const std::vector<std::string> order = {"apple", "banana", "\xE9" "clair", "fig", "kiwi", "pear"};
  auto rank = [&](const std::optional<std::string>& name) {
    if (!name) return -1;
    std::string lower = *name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return static_cast<int>(std::find(order.begin(), order.end(), lower) - order.begin());
  };
  const auto expected = ExpectedIds([&](const TRow& a, const TRow& b) { return rank(a.Name) < rank(b.Name); });
  for (const bool inMemory : {true, false}) {
    auto file = Open(inMemory ? 8192 : 32, inMemory);
    TSortRequest request;
    request.Fields = {{2, false}};
    request.CaseInsensitive = true;
    file->SortRecords(request);
    EXPECT_EQ(IdsInSlotOrder(*file), expected);
    file->WriteHeader();
    file->CloseDataFile();
    Rows.clear();
    std::filesystem::remove(FileName());
    CreateTable(kLocaleUSEnglish);
  }
}

}  // namespace
}  // namespace kura
