#include "kura/sql/result_table.h"

#include <algorithm>

#include "kura/base/engine_error.h"
#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/data_query.h"
#include "kura/sql/query_statement.h"
#include "kura/storage/table_files.h"

namespace kura {

namespace {

constexpr int32_t kResultBlobBlockSize = 512;
constexpr char kAvgCountPrefix[] = "Sys__Avg__Count";

}  // namespace

TFieldDefinition ResultFieldOf(const TResultField& column, uint16_t fieldNo) {
  TFieldDefinition field;
  field.FieldNo = fieldNo;
  field.Name = column.ColumnName;
  field.FieldType = column.DataType;
  field.SubType = column.SubType == TFieldSubType::AutoInc ? TFieldSubType::None : column.SubType;
  // Result sizes are physical: a string's counts its terminator.
  switch (column.DataType) {
    case TFieldType::String: field.Size = static_cast<uint8_t>(column.Size > 0 ? column.Size - 1 : 0); break;
    case TFieldType::Bytes:
    case TFieldType::VarBytes: field.Size = column.Size; break;
    case TFieldType::Bcd: field.Scale = column.Scale; break;
    default: break;
  }
  if (!column.IsExpression && column.AggregateKind == TAggregateKind::None && column.SourceTable != nullptr &&
      column.SourceTable->Cursor) {
    const auto& sources = column.SourceTable->Cursor->FieldDefinitions();
    const size_t index = static_cast<size_t>(column.SourceFieldNo - 1);
    if (index < sources.size()) field.Description = sources[index].Description;
  }
  return field;
}

TResultTable::~TResultTable() {
  if (Cursor) {
    const bool temporary = Cursor->Temporary();
    try {
      Cursor->CloseCursor(true);
      if (temporary) Cursor->DeleteTable();
    } catch (const EKuraEngineError&) {
      // Nothing can be reported from a destructor; what stays behind is a leftover file
      // of the private directory, never a table someone named.
    }
    Cursor.reset();
  }
  if (Directory != nullptr) Directory->Session().CloseDirectory(Directory);
}

void CreateResultTable(TDataQuery& query) {
  query.CannedResult.reset();
  TDataSession& session = query.Directory().Session();
  auto result = std::make_unique<TResultTable>();
  const bool into = !query.IntoTableName.empty();
  std::string tableName;
  if (query.IntoMemory) {
    result->Directory = session.OpenDirectory("Memory", "");
    tableName = into ? TableBaseName(NormalizePath(query.IntoTableName), kDataFileExtension)
                     : StripExtension(result->Directory->GetTempTableName(true), kDataFileExtension);
  } else if (into) {
    const std::string name = NormalizePath(TrimBlanks(query.IntoTableName));
    const size_t slash = name.rfind('/');
    result->Directory = session.OpenDirectory("", slash == std::string::npos ? query.Directory().Path()
                                                                              : name.substr(0, slash + 1));
    tableName = TableBaseName(name, kDataFileExtension);
  } else {
    result->Directory = session.OpenDirectory("", session.GetPrivateDir());
    tableName = StripExtension(result->Directory->GetTempTableName(false), kDataFileExtension);
  }
  const bool inMemory = query.IntoMemory || SameText(result->Directory->DatabaseName(), "Memory");

  TTableDefinition definition;
  for (const auto& column : query.ResultFields) {
    definition.Fields.push_back(ResultFieldOf(*column, static_cast<uint16_t>(definition.Fields.size() + 1)));
    if (column->AggregateKind == TAggregateKind::Avg) {
      TFieldDefinition count;
      count.FieldNo = static_cast<uint16_t>(definition.Fields.size() + 1);
      count.Name = kAvgCountPrefix + std::to_string(count.FieldNo);
      count.FieldType = TFieldType::Integer;
      column->AvgCountField = static_cast<int16_t>(count.FieldNo);
      definition.Fields.push_back(std::move(count));
    }
  }
  definition.LocaleId = query.LocaleId;
  definition.SortId = query.SortId;
  definition.BlobBlockSize = kResultBlobBlockSize;
  definition.UserMajorVersion = 1;
  definition.UserMinorVersion = 0;
  const std::string password = query.Options.Password.value_or(std::string());
  definition.Encrypted = !password.empty();
  definition.Password = password;

  result->Cursor = std::make_unique<TDataCursor>(*result->Directory);
  TDataCursor& cursor = *result->Cursor;
  cursor.SetTableName(tableName);
  cursor.SetInMemory(inMemory);
  cursor.SetExclusive(true);
  cursor.SetTemporary(!into);
  cursor.SetResultSetCursor(true);
  cursor.CreateTable(definition, true);
  // The session learns an unknown password only for the opening.
  const bool addPassword = definition.Encrypted && !session.HasPassword(password);
  if (addPassword) session.AddPassword(password);
  auto forget = OnScopeExit([&] {
    if (addPassword) session.RemovePassword(password);
  });
  cursor.OpenCursor();
  // The hidden AVG counts are the table's, not the result's: readers see the result
  // columns through a map that leaves them out.
  if (query.HasAvgColumn) {
    std::vector<TFieldDefinition> visible;
    for (const TFieldDefinition& field : cursor.FieldDefinitions()) {
      const bool hidden = std::any_of(query.ResultFields.begin(), query.ResultFields.end(),
                                      [&](const auto& column) { return column->AvgCountField == field.FieldNo; });
      if (!hidden) visible.push_back(field);
    }
    cursor.SetFieldMap(std::move(visible));
  }
  query.CannedResult = std::move(result);
}

}  // namespace kura
