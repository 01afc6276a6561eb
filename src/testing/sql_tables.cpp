#include "testing/sql_tables.h"

#include <cstring>
#include <stdexcept>

#include "kura/base/byte_order.h"
#include "kura/base/code_page_text.h"
#include "kura/base/collation.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "tools/kura/sql_shell.h"

namespace testing_support {

using namespace kura;

namespace {

void SetValue(TDataCursor& cursor, const TFieldDefinition& field, std::vector<uint8_t>& record,
              const std::string& text) {
  uint8_t value[kMaxDataSize + 8] = {};
  switch (field.FieldType) {
    case TFieldType::SmallInt: WriteI16(value, static_cast<int16_t>(std::stoi(text))); break;
    case TFieldType::Word: WriteU16(value, static_cast<uint16_t>(std::stoul(text))); break;
    case TFieldType::Integer: WriteI32(value, static_cast<int32_t>(std::stol(text))); break;
    case TFieldType::LargeInt: WriteI64(value, static_cast<int64_t>(std::stoll(text))); break;
    case TFieldType::Float: WriteF64(value, std::stod(text)); break;
    case TFieldType::Boolean: WriteU16(value, text == "true" ? 1 : 0); break;
    case TFieldType::String: {
      const std::optional<std::string> bytes = Utf8ToCodePage(TextCodePage(cursor.LocaleId()), text);
      if (!bytes || bytes->size() >= field.DataSize) throw std::runtime_error("text does not fit: " + text);
      std::memcpy(value, bytes->data(), bytes->size());
      break;
    }
    case TFieldType::Blob: {
      const std::optional<std::string> bytes = field.SubType == TFieldSubType::Memo
                                                   ? Utf8ToCodePage(TextCodePage(cursor.LocaleId()), text)
                                                   : std::optional<std::string>(text);
      if (!bytes) throw std::runtime_error("text does not fit: " + text);
      int32_t size = 0;
      if (const int code = cursor.OpenBlob(field.FieldNo, record.data(), TBlobOpenMode::ReadWrite, size); code != 0) {
        RaiseEngineError(static_cast<TErrorCode>(code));
      }
      if (const int code = cursor.PutBlob(field.FieldNo, record.data(), 0, static_cast<int32_t>(bytes->size()),
                                          reinterpret_cast<const uint8_t*>(bytes->data()));
          code != 0) {
        RaiseEngineError(static_cast<TErrorCode>(code));
      }
      return;
    }
    default: throw std::runtime_error("no test value of this field type: " + field.Name);
  }
  cursor.SetField(field.FieldNo, record.data(), value);
}

std::string Joined(const std::vector<std::optional<std::string>>& values) {
  std::string line;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += '|';
    line += values[i] ? *values[i] : "NULL";
  }
  return line;
}

}  // namespace

void AppendRows(TDataDirectory& directory, const std::string& name, const std::vector<TTextRow>& rows) {
  TDataCursor cursor(directory);
  cursor.SetTableName(name);
  cursor.OpenCursor();
  const auto& fields = cursor.FieldDefinitions();
  std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
  for (const TTextRow& row : rows) {
    if (row.size() != fields.size()) throw std::runtime_error("row of " + std::to_string(row.size()) + " values");
    cursor.InitRecord(record.data());
    for (size_t i = 0; i < fields.size(); ++i) {
      if (row[i] && !fields[i].IsAutoInc()) SetValue(cursor, fields[i], record, *row[i]);
    }
    cursor.AppendRecord(record.data(), false);
  }
  cursor.CloseCursor();
}

std::vector<std::string> ResultRows(TDataCursor& cursor) {
  const tool::TResultSet result = tool::ReadResult(cursor);
  std::vector<std::string> rows;
  for (const auto& row : result.Rows) rows.push_back(Joined(row));
  return rows;
}

std::string ResultColumns(TDataCursor& cursor) {
  const tool::TResultSet result = tool::ReadResult(cursor);
  std::vector<std::optional<std::string>> names;
  for (const auto& column : result.Columns) names.emplace_back(column.Name);
  return Joined(names);
}

}  // namespace testing_support
