// "kura count" and "kura dump": a table's records through a cursor, optionally restricted
// by a filter expression, so that the engine's filters and orders can be inspected
// before there is SQL.

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/collation.h"
#include "kura/base/value_conversion.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/storage/data_file.h"
#include "kura/storage/record.h"
#include "tools/kura/table_report.h"

namespace kura::tool {

namespace {

// A read-only cursor on the table named by the argument (a path with or without ".DAT").
struct TOpenTable {
  explicit TOpenTable(const std::string& table) {
    const std::filesystem::path path(DataFileNameOf(table));
    Directory = Session.OpenDirectory("", path.has_parent_path() ? path.parent_path().string() : ".");
    Cursor = std::make_unique<TDataCursor>(*Directory);
    Cursor->SetTableName(path.filename().string());
    Cursor->SetReadOnly(true);
    Cursor->OpenCursor();
  }
  TDataSession Session;
  TDataDirectory* Directory = nullptr;
  std::unique_ptr<TDataCursor> Cursor;
};

}  // namespace

std::string FieldText(const TFieldDefinition& field, const uint8_t* record, uint16_t codePage) {
  if (field.IsAutoInc()) return std::to_string(ReadI32(FieldValue(record, field)));
  if (!field.IsStored() || FieldIsNull(record, field)) return {};
  if (field.FieldType == TFieldType::Blob) {
    return field.SubType == TFieldSubType::Memo ? "(memo)" : "(blob)";
  }
  uint8_t buffer[kValueBufferSize] = {};
  std::memcpy(buffer, FieldValue(record, field), field.DataSize);
  if (!ConvertValue(field.FieldType, field.DataSize, field.Scale, buffer, 0, kValueBufferSize, TFieldType::String)) {
    return "?";
  }
  return Shown(reinterpret_cast<const char*>(buffer), codePage);
}

int CountCommand(const std::string& table, const std::string& filter, bool explain, std::ostream& out) {
  try {
    TOpenTable open(table);
    TDataCursor& cursor = *open.Cursor;
    if (!filter.empty()) {
      TFilter* added = cursor.AddExprFilter(filter);
      cursor.ActivateFilter(added);
      if (explain) {
        out << "optimization level " << cursor.GetFilterOptimizeLevel(added) << '\n';
        out << added->Explain();
        if (!added->Explain().empty() && added->Explain().back() != '\n') out << '\n';
      }
    }
    out << cursor.GetRecordCount() << '\n';
    return 0;
  } catch (const EKuraEngineError& error) {
    out << error.what() << '\n';
    return 1;
  }
}

int DumpCommand(const std::string& table, const std::string& filter, const std::string& index, std::ostream& out) {
  try {
    TOpenTable open(table);
    TDataCursor& cursor = *open.Cursor;
    if (!index.empty()) cursor.SetIndexName(index);
    if (!filter.empty()) cursor.ActivateFilter(cursor.AddExprFilter(filter));
    const std::vector<TFieldDefinition>& fields = cursor.FieldDefinitions();
    const uint16_t codePage = TextCodePage(cursor.LocaleId());
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> names;
    for (const TFieldDefinition& field : fields) names.push_back(Shown(field.Name, codePage));
    rows.push_back(std::move(names));
    std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
    cursor.SetToBegin();
    while (cursor.GetNextRecord(record.data()) == 0) {
      std::vector<std::string> row;
      for (const TFieldDefinition& field : fields) {
        row.push_back(FieldText(field, record.data(), codePage));
      }
      rows.push_back(std::move(row));
    }
    PrintTable(out, rows);
    out << "(" << rows.size() - 1 << " records)\n";
    return 0;
  } catch (const EKuraEngineError& error) {
    out << error.what() << '\n';
    return 1;
  }
}

}  // namespace kura::tool
