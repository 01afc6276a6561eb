#pragma once

// Helpers for the filter tests: a problem-like table with optional indexes, rows appended
// through the cursor, and a run of one filter over all active records.

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/engine/cursor_internals.h"
#include "kura/base/byte_order.h"
#include "kura/engine/filter.h"
#include "kura/storage/index_walker.h"
#include "testing/cursor_fixture.h"
#include "testing/definition_builders.h"

namespace kura::filter_test {

using testing_support::Field;
using testing_support::Index;

// Field numbers of the test table.
constexpr int kId = 1;    // Integer, primary key when the table has one
constexpr int kMnb = 2;   // Integer
constexpr int kCmt = 3;   // String(10)
constexpr int kName = 4;  // String(10)
constexpr int kDsc = 5;   // SmallInt
constexpr int kFlt = 6;   // Float

struct TRow {
  int32_t Id = 0;
  std::optional<int32_t> Mnb;
  std::optional<std::string> Cmt;
  std::optional<std::string> Name;
  std::optional<int16_t> Dsc;
  std::optional<double> Flt;
};

// Which indexes the table gets.
struct TIndexes {
  bool Primary = true;
  bool Mnb = false;         // "ByMnb": MNB, not unique
  bool Cmt = false;         // "ByCmt": CMT, not unique, case-sensitive
  bool CmtNoCase = false;   // "ByCmtNoCase": CMT, not unique, case-insensitive
  bool DscDown = false;     // "ByDscDown": DSC, descending, not unique
  bool FltDesc = false;     // "ByFlt": FLT with the field marked descending
  bool MnbCmt = false;      // "ByMnbCmt": MNB, CMT
};

inline TTableDefinition FilterTableDefinition(const TIndexes& indexes) {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer),      Field("MNB", TFieldType::Integer),
              Field("CMT", TFieldType::String, 10),  Field("NAME", TFieldType::String, 10),
              Field("DSC", TFieldType::SmallInt),    Field("FLT", TFieldType::Float)};
  if (indexes.Primary) t.PrimaryIndex = Index("", {kId}, true);
  if (indexes.Mnb) t.SecondaryIndexes.push_back(Index("ByMnb", {kMnb}, false));
  if (indexes.Cmt) t.SecondaryIndexes.push_back(Index("ByCmt", {kCmt}, false));
  if (indexes.CmtNoCase) {
    TIndexDefinition d = Index("ByCmtNoCase", {kCmt}, false);
    d.CaseInsensitive = true;
    t.SecondaryIndexes.push_back(d);
  }
  if (indexes.DscDown) t.SecondaryIndexes.push_back(Index("ByDscDown", {kDsc}, false, true));
  if (indexes.FltDesc) {
    TIndexDefinition d = Index("ByFlt", {kFlt}, false);
    d.FieldDescending = {true};
    t.SecondaryIndexes.push_back(d);
  }
  if (indexes.MnbCmt) t.SecondaryIndexes.push_back(Index("ByMnbCmt", {kMnb, kCmt}, false));
  return t;
}

class TFilterFixture : public testing_support::TCursorFixture {
protected:
  std::unique_ptr<TDataCursor> CreateAndOpen(const std::string& name, const TIndexes& indexes) {
    TTableDefinition definition = FilterTableDefinition(indexes);
    EXPECT_EQ(Directory->CreateTableFiles(name, false, definition), 0);
    return Open(name, true);
  }

  static void Append(TDataCursor& cursor, const TRow& row) {
    std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
    cursor.InitRecord(record.data());
    uint8_t value[16];
    WriteI32(value, row.Id);
    cursor.SetField(kId, record.data(), value);
    if (row.Mnb) WriteI32(value, *row.Mnb);
    cursor.SetField(kMnb, record.data(), row.Mnb ? value : nullptr);
    cursor.SetField(kCmt, record.data(), row.Cmt ? reinterpret_cast<const uint8_t*>(row.Cmt->c_str()) : nullptr);
    cursor.SetField(kName, record.data(), row.Name ? reinterpret_cast<const uint8_t*>(row.Name->c_str()) : nullptr);
    if (row.Dsc) WriteI16(value, *row.Dsc);
    cursor.SetField(kDsc, record.data(), row.Dsc ? value : nullptr);
    if (row.Flt) WriteF64(value, *row.Flt);
    cursor.SetField(kFlt, record.data(), row.Flt ? value : nullptr);
    cursor.AppendRecord(record.data(), false);
  }

  // The active records, from the internal record index (no record is read).
  static void ActiveRecords(TDataCursor& cursor, TRecordsBitmap& bitmap) {
    TDataTable& table = TCursorInternals::Table(cursor);
    const int32_t count = table.DataFile().RecordCount();
    bitmap.SetRecordCount(count);
    bitmap.ClearAll();
    TIndexWalker walker(table.IndexFile(), kSysDeletedIndex);
    uint8_t first[kSysDeletedKeySize] = {kRecordActive, 0, 0, 0, 0};
    for (bool ok = walker.SeekFirstNotBelow(first); ok && walker.Key()[0] == kRecordActive; ok = walker.Next()) {
      if (walker.Value() >= 1 && walker.Value() <= count) bitmap.Include(walker.Value());
    }
  }

  struct TResult {
    std::vector<int32_t> RecNos;
    int64_t RecordReads = 0;
  };

  // Builds the filter's bitmap over every active record under the cursor's read scope.
  static TResult Run(TDataCursor& cursor, TFilter& filter) {
    TRecordsBitmap candidates;
    ActiveRecords(cursor, candidates);
    const int64_t before = TCursorInternals::Table(cursor).DataFile().Statistics().RecordsRequested;
    cursor.BeginRead();
    try {
      filter.BuildBitmap(candidates);
    } catch (...) {
      cursor.EndRead();
      throw;
    }
    cursor.EndRead();
    TResult result;
    result.RecordReads = TCursorInternals::Table(cursor).DataFile().Statistics().RecordsRequested - before;
    for (int32_t r = candidates.NextSet(0); r != 0; r = candidates.NextSet(r)) result.RecNos.push_back(r);
    return result;
  }

  static TResult RunText(TDataCursor& cursor, const std::string& text, const TFilterOptions& options = {}) {
    std::unique_ptr<TFilter> filter = TFilter::FromText(cursor, text, options);
    return Run(cursor, *filter);
  }
};

}  // namespace kura::filter_test
