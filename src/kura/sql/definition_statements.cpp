#include "kura/sql/definition_statements.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kura/base/names_paths.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/data_query.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/sql_messages.h"
#include "kura/storage/index_file.h"

namespace kura {

namespace {

constexpr int32_t kDefaultBlobBlockSize = 512;
constexpr uint16_t kDefaultUserMajorVersion = 1;

std::string Cut(const std::string& text, int width) { return text.substr(0, static_cast<size_t>(width)); }

// The target table of a definition statement: its directory (opened for the statement
// when the table lies elsewhere than the statement's directory, closed again on every
// path) and a cursor on it, exclusive, not temporary, with the statement's password
// callback. The cursor is closed before the directory.
class TTargetTable {
public:
  explicit TTargetTable(TDataQuery& query) : FTable(*query.SourceTables.front()) {
    TDataDirectory& own = query.Directory();
    TDataSession& session = own.Session();
    if (FTable.InMemory) {
      FOpened = session.OpenDirectory("Memory", "");
    } else if (FTable.Directory != own.Path()) {
      FOpened = session.OpenDirectory("", FTable.Directory);
    }
    FDirectory = FOpened != nullptr ? FOpened : &own;
    FInMemory = FTable.InMemory || SameText(FDirectory->DatabaseName(), "Memory");
    FCursor = std::make_unique<TDataCursor>(*FDirectory);
    FCursor->SetTableName(FTable.TableName);
    FCursor->SetInMemory(FInMemory);
    FCursor->SetExclusive(true);
    FCursor->SetTemporary(false);
    FCursor->SetPasswordCallback(query.Statement().PasswordCallback());
  }
  ~TTargetTable() {
    FCursor.reset();
    if (FOpened != nullptr) FOpened->Session().CloseDirectory(FOpened);
  }
  TTargetTable(const TTargetTable&) = delete;
  TTargetTable& operator=(const TTargetTable&) = delete;

  TDataCursor& Cursor() { return *FCursor; }
  bool Exists() const { return FDirectory->TableExists(FTable.TableName, FInMemory); }

private:
  const TSourceTable& FTable;
  TDataDirectory* FOpened = nullptr;
  TDataDirectory* FDirectory = nullptr;
  bool FInMemory = false;
  std::unique_ptr<TDataCursor> FCursor;
};

// The options of a column that were written, onto `field`; the texts cut to their
// widths.
void ApplyColumnOptions(const TCreateField& column, TFieldDefinition& field) {
  if (column.Description) field.Description = Cut(*column.Description, kMaxFieldDescriptionLength);
  if (column.Required) field.Required = *column.Required;
  if (column.CharCase) field.CharCase = *column.CharCase;
  if (column.DefaultValue) field.DefaultValue = Cut(*column.DefaultValue, kMaxCheckTextLength);
  if (column.MinValue) field.MinValue = Cut(*column.MinValue, kMaxCheckTextLength);
  if (column.MaxValue) field.MaxValue = Cut(*column.MaxValue, kMaxCheckTextLength);
}

// The written type onto `field`. A size beyond a byte is no size the definition can
// hold: it becomes 0, which the definition check refuses where a size matters.
void ApplyColumnType(const TCreateField& column, TFieldDefinition& field) {
  field.FieldType = column.DataType;
  field.SubType = column.SubType;
  field.Size = column.Size <= UINT8_MAX ? static_cast<uint8_t>(column.Size) : 0;
  field.Scale = column.Scale;
}

// A new field from a column definition (FieldNo left to the caller).
TFieldDefinition NewField(const TCreateField& column) {
  TFieldDefinition field;
  field.Name = Cut(column.Name, kMaxFieldNameLength);
  ApplyColumnType(column, field);
  ApplyColumnOptions(column, field);
  return field;
}

// The 0-based position of the field named `name` (any letter case), or -1.
int FindField(const std::vector<TFieldDefinition>& fields, const std::string& name) {
  const std::string wanted = Cut(name, kMaxFieldNameLength);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (SameText(fields[i].Name, wanted)) return static_cast<int>(i);
  }
  return -1;
}

// The field numbers (positions from 1) of `columns` among `fields`; an unknown name
// raises the invalid field name message ending in `suffix`.
std::vector<uint16_t> ResolveColumns(const std::vector<std::string>& columns,
                                     const std::vector<TFieldDefinition>& fields, const std::string& suffix) {
  std::vector<uint16_t> numbers;
  for (const std::string& column : columns) {
    const int position = FindField(fields, column);
    if (position < 0) RaiseSqlError(std::string(sqlmsg::kInvalidIndexFieldPrefix) + column + "'" + suffix);
    numbers.push_back(static_cast<uint16_t>(position + 1));
  }
  return numbers;
}

// The index definition of `index` over `fields`. A descending index has every key field
// descending.
TIndexDefinition ResolveIndex(const TCreateIndex& index, const std::vector<TFieldDefinition>& fields) {
  TIndexDefinition definition;
  definition.Name = Cut(index.Name, kMaxIndexNameLength);
  definition.Fields = ResolveColumns(index.Columns, fields,
                                     std::string(sqlmsg::kInvalidIndexFieldSuffix) + "'" + index.Name + "'");
  definition.FieldDescending.assign(definition.Fields.size(), index.Descending);
  definition.Descending = index.Descending;
  definition.CaseInsensitive = index.CaseInsensitive;
  definition.Unique = index.Unique;
  definition.Compression = index.Compression;
  return definition;
}

// The TEXT INDEX clause onto the definition: its fields, and the word rules written
// (those not written stay as they are).
void ApplyTextIndex(const TTableOptions& options, TTableDefinition& definition) {
  if (!options.TextIndex) return;
  definition.TextIndexFields =
      ResolveColumns(options.TextIndex->Columns, definition.Fields, std::string(sqlmsg::kInvalidTextIndexFieldSuffix));
  if (options.StopWords) definition.TextIndexParams.StopWords = *options.StopWords;
  if (options.SpaceChars) definition.TextIndexParams.SpaceChars = *options.SpaceChars;
  if (options.IncludeChars) definition.TextIndexParams.IncludeChars = *options.IncludeChars;
}

// The table options written onto the definition; those not written keep its values.
void ApplyTableOptions(const TTableOptions& options, TTableDefinition& definition) {
  if (options.LocaleId) {
    definition.LocaleId = *options.LocaleId;
    definition.SortId = options.SortId.value_or(0);
  }
  if (options.Description) definition.Description = Cut(*options.Description, kMaxFieldDescriptionLength);
  if (options.BlobBlockSize) definition.BlobBlockSize = *options.BlobBlockSize;
  if (options.Password) {
    definition.Encrypted = !options.Password->empty();
    definition.Password = definition.Encrypted ? *options.Password : std::string();
  }
  if (options.UserMajorVersion) definition.UserMajorVersion = *options.UserMajorVersion;
  if (options.UserMinorVersion) definition.UserMinorVersion = *options.UserMinorVersion;
  if (options.LastAutoInc) definition.LastAutoIncValue = *options.LastAutoInc;
}

void CreateTable(TDataQuery& query) {
  TTargetTable target(query);
  if (query.IfNotExists && target.Exists()) return;
  TTableDefinition definition;
  definition.BlobBlockSize = kDefaultBlobBlockSize;
  definition.UserMajorVersion = kDefaultUserMajorVersion;
  for (const TCreateField& column : query.CreateFields) {
    definition.Fields.push_back(NewField(column));
    definition.Fields.back().FieldNo = static_cast<uint16_t>(definition.Fields.size());
  }
  for (const TCreateIndex& index : query.CreateIndexes) definition.PrimaryIndex = ResolveIndex(index, definition.Fields);
  ApplyTextIndex(query.Options, definition);
  ApplyTableOptions(query.Options, definition);
  target.Cursor().CreateTable(definition, false);
  // The creator knows the password: later opens in this session need not ask for it.
  if (definition.Encrypted) query.Directory().Session().AddPassword(definition.Password);
}

void CreateIndex(TDataQuery& query) {
  TTargetTable target(query);
  TDataCursor& cursor = target.Cursor();
  cursor.OpenCursor();
  const TTableDefinition current = cursor.TableDefinition();
  const TCreateIndex& index = query.CreateIndexes.front();
  const TIndexDefinition definition = ResolveIndex(index, current.Fields);
  const bool exists = std::any_of(current.SecondaryIndexes.begin(), current.SecondaryIndexes.end(),
                                  [&](const TIndexDefinition& other) { return SameText(other.Name, definition.Name); });
  if (!(query.IfNotExists && exists)) cursor.AddSecondaryIndex(definition);
  cursor.CloseCursor();
}

// Field numbers of an index after a restructure: `numbers` maps old field numbers to
// new ones. False when a field of the index is gone.
bool RemapFields(std::vector<uint16_t>& fields, const std::map<uint16_t, uint16_t>& numbers) {
  for (uint16_t& field : fields) {
    const auto found = numbers.find(field);
    if (found == numbers.end()) return false;
    field = found->second;
  }
  return true;
}

// The column items of ALTER TABLE, in order, on the current fields (each FieldNo the
// number of the old field it takes over, 0 for a new one).
void ApplyColumnItems(const std::vector<TCreateField>& items, std::vector<TFieldDefinition>& fields) {
  for (const TCreateField& item : items) {
    if (item.Action == TDefinitionAction::Add) {
      TFieldDefinition field = NewField(item);
      field.FieldNo = 0;
      const size_t at = item.Position >= 1 ? std::min(static_cast<size_t>(item.Position - 1), fields.size())
                                           : fields.size();
      fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), std::move(field));
      continue;
    }
    const int position = FindField(fields, item.Name);
    if (position < 0) {
      RaiseSqlError(std::string(sqlmsg::kColumnNotFoundPrefix) + item.Name + std::string(sqlmsg::kColumnNotFoundSuffix));
    }
    if (item.Action == TDefinitionAction::Drop) {
      fields.erase(fields.begin() + position);
      continue;
    }
    TFieldDefinition field = std::move(fields[static_cast<size_t>(position)]);
    fields.erase(fields.begin() + position);
    if (item.TypeGiven) ApplyColumnType(item, field);
    if (!item.NewName.empty()) field.Name = Cut(item.NewName, kMaxFieldNameLength);
    ApplyColumnOptions(item, field);
    const size_t at = item.Position >= 1 ? std::min(static_cast<size_t>(item.Position - 1), fields.size())
                                         : static_cast<size_t>(position);
    fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), std::move(field));
  }
}

void AlterTable(TDataQuery& query) {
  TTargetTable target(query);
  TDataCursor& cursor = target.Cursor();
  cursor.OpenCursor();
  TTableDefinition definition = cursor.TableDefinition();
  cursor.CloseCursor();

  ApplyColumnItems(query.CreateFields, definition.Fields);
  // Indexes of the old table name old field numbers; an index over a dropped column
  // goes with it.
  std::map<uint16_t, uint16_t> numbers;
  for (size_t i = 0; i < definition.Fields.size(); ++i) {
    if (definition.Fields[i].FieldNo != 0) numbers[definition.Fields[i].FieldNo] = static_cast<uint16_t>(i + 1);
  }
  if (definition.PrimaryIndex && !RemapFields(definition.PrimaryIndex->Fields, numbers)) definition.PrimaryIndex.reset();
  std::erase_if(definition.SecondaryIndexes,
                [&](TIndexDefinition& index) { return !RemapFields(index.Fields, numbers); });
  // The text index keeps the fields that remain.
  std::vector<uint16_t> textFields;
  for (const uint16_t field : definition.TextIndexFields) {
    const auto found = numbers.find(field);
    if (found != numbers.end()) textFields.push_back(found->second);
  }
  definition.TextIndexFields = std::move(textFields);

  const bool hadPrimary = definition.PrimaryIndex && !definition.PrimaryIndex->Fields.empty();
  bool droppedHere = false;
  for (const TCreateIndex& index : query.CreateIndexes) {
    switch (index.Action) {
      case TDefinitionAction::Drop:
        definition.PrimaryIndex.reset();
        droppedHere = true;
        break;
      case TDefinitionAction::Add:
        if (hadPrimary && !droppedHere) RaiseSqlError(sqlmsg::kPrimaryKeyAddExisting);
        definition.PrimaryIndex = ResolveIndex(index, definition.Fields);
        break;
      case TDefinitionAction::Redefine:
        definition.PrimaryIndex = ResolveIndex(index, definition.Fields);
        break;
    }
  }
  ApplyTextIndex(query.Options, definition);
  ApplyTableOptions(query.Options, definition);
  cursor.RestructureTable(definition);
}

void DropTable(TDataQuery& query) {
  TTargetTable target(query);
  if (query.IfExists && !target.Exists()) return;
  target.Cursor().DeleteTable();
}

void DropIndex(TDataQuery& query) {
  TTargetTable target(query);
  TDataCursor& cursor = target.Cursor();
  cursor.OpenCursor();
  const TTableDefinition current = cursor.TableDefinition();
  const bool primary = SameText(query.IndexName, "PRIMARY");
  bool exists = false;
  if (primary) {
    exists = current.PrimaryIndex && !current.PrimaryIndex->Fields.empty();
  } else {
    exists = std::any_of(current.SecondaryIndexes.begin(), current.SecondaryIndexes.end(),
                         [&](const TIndexDefinition& index) { return SameText(index.Name, TrimBlanks(query.IndexName)); });
  }
  if (!(query.IfExists && !exists)) cursor.DeleteIndex(primary ? std::string() : query.IndexName);
  cursor.CloseCursor();
}

}  // namespace

void ExecuteDefinitionStatement(TDataQuery& query) {
  switch (query.StatementKind) {
    case TStatementKind::CreateTable:
      CreateTable(query);
      break;
    case TStatementKind::CreateIndex:
      CreateIndex(query);
      break;
    case TStatementKind::AlterTable:
      AlterTable(query);
      break;
    case TStatementKind::DropTable:
      DropTable(query);
      break;
    case TStatementKind::DropIndex:
      DropIndex(query);
      break;
    default:
      break;
  }
  query.Rows = 0;
}

}  // namespace kura
