#include "kura/engine/table_definition_check.h"

#include <algorithm>
#include <set>
#include <string>

#include "kura/base/collation.h"
#include "kura/base/names_paths.h"
#include "kura/base/text_forms.h"
#include "kura/storage/data_file.h"
#include "kura/storage/key_encoding.h"
#include "kura/storage/record.h"

namespace kura {

namespace {

constexpr const char* kPrimaryDisplayName = "Primary";

[[noreturn]] void RaiseWith(TErrorCode code, const TErrorNames& names, const std::string& fieldName,
                            const std::string& indexName) {
  TErrorNames withNames = names;
  withNames.FieldName = fieldName;
  withNames.IndexName = indexName;
  RaiseEngineError(code, withNames);
}

void CheckTable(const TTableDefinition& d, const TErrorNames& names) {
  if (d.Encrypted) {
    const size_t length = TrimBlanks(d.Password).size();
    if (length < 1 || length > static_cast<size_t>(kMaxPasswordLength)) RaiseEngineError(KURA_INVALIDPASSWORD, names);
  }
  if (d.LocaleId != 0) CheckLanguageDriver(d.LocaleId, d.SortId, names);
  if (d.Fields.size() > static_cast<size_t>(kMaxFieldCount) || d.LastAutoIncValue < -1) {
    RaiseEngineError(KURA_FLDLIMIT, names);
  }
  if (d.SecondaryIndexes.size() > static_cast<size_t>(kMaxSecondaryIndexes)) RaiseEngineError(KURA_INDEXLIMIT, names);
  if (d.BlobBlockSize != 0 && d.BlobBlockSize < 64) RaiseEngineError(KURA_BLOBLIMIT, names);
}

void CheckFields(TTableDefinition& d, const TErrorNames& names) {
  std::set<uint16_t> numbers;
  bool autoInc = false;
  int offset = kRecordFieldsOffset;
  for (size_t i = 0; i < d.Fields.size(); ++i) {
    TFieldDefinition& f = d.Fields[i];
    const std::string name(TrimBlanks(f.Name));
    if (name.empty() || name.size() > static_cast<size_t>(kMaxFieldNameLength) ||
        !IsNameStartChar(static_cast<uint8_t>(name[0]))) {
      RaiseWith(KURA_INVALIDFIELDNAME, names, name, {});
    }
    for (size_t j = 0; j < i; ++j) {
      if (SameName(d.Fields[j].Name, name)) RaiseWith(KURA_INVALIDFIELDNAME, names, name, {});
    }
    f.Name = name;
    if (f.FieldNo != 0 && !numbers.insert(f.FieldNo).second) RaiseWith(KURA_INVALIDFLDTYPE, names, name, {});
    if (!IsValidFieldType(f.FieldType)) RaiseWith(KURA_INVALIDFLDTYPE, names, name, {});
    if (f.IsAutoInc()) {
      // Every auto-increment field would be the one unique id at offset 5.
      if (autoInc) RaiseWith(KURA_INVALIDFLDTYPE, names, name, {});
      autoInc = true;
    }
    if (HasDeclaredSize(f.FieldType)) {
      if (f.Size < 1 || f.Size > kMaxFieldSize) RaiseWith(KURA_INVALIDFLDTYPE, names, name, {});
    } else {
      f.Size = 0;
    }
    for (const std::string* text : {&f.DefaultValue, &f.MinValue, &f.MaxValue}) {
      if (!IsValidValueText(*text, f.FieldType)) RaiseWith(KURA_INVALIDVCHKSTRUCT, names, name, {});
    }
    if (f.FieldType != TFieldType::Bcd) f.Scale = 0;
    f.DataSize = static_cast<uint8_t>(DataSize(f.FieldType, f.Size));
    f.DataScale = f.Scale;
    if (f.IsAutoInc()) {
      f.Offset = kRecordIdOffset;
    } else {
      f.Offset = static_cast<uint16_t>(std::min(offset, 0xFFFF));
      offset += static_cast<int>(StoredFieldSize(f));
    }
  }
}

// Fields of an index: at most 16, each defined, none a BLOB, and a key of 1 to 522 bytes.
void CheckIndexFields(const std::vector<uint16_t>& indexFields, const std::vector<TFieldDefinition>& fields,
                      const std::string& displayName, const TErrorNames& names) {
  if (indexFields.size() > static_cast<size_t>(kMaxIndexFields)) RaiseWith(KURA_INDEXLIMIT, names, {}, displayName);
  for (const uint16_t fieldNo : indexFields) {
    if (fieldNo < 1 || fieldNo > fields.size()) RaiseWith(KURA_INVALIDIDXDESC, names, {}, displayName);
    const TFieldDefinition& field = fields[fieldNo - 1U];
    if (field.FieldType == TFieldType::Blob) RaiseWith(KURA_SEARCHCOLREQD, names, field.Name, displayName);
  }
  const int size = IndexKeyDataSize(indexFields, fields);
  if (size < 1 || size > kMaxKeyDataSize) RaiseWith(KURA_INVALIDKEY, names, {}, displayName);
}

void CheckIndexes(TTableDefinition& d, const TErrorNames& names) {
  if (d.PrimaryIndex && !d.PrimaryIndex->Fields.empty()) {
    CheckIndexFields(d.PrimaryIndex->Fields, d.Fields, kPrimaryDisplayName, names);
  }
  for (size_t i = 0; i < d.SecondaryIndexes.size(); ++i) {
    TIndexDefinition& index = d.SecondaryIndexes[i];
    const std::string name(TrimBlanks(index.Name));
    if (name.empty() || name.size() > static_cast<size_t>(kMaxIndexNameLength) ||
        !IsNameStartChar(static_cast<uint8_t>(name[0]))) {
      RaiseWith(KURA_INVALIDINDEXNAME, names, {}, name);
    }
    for (size_t j = 0; j < i; ++j) {
      if (SameName(d.SecondaryIndexes[j].Name, name)) RaiseWith(KURA_INDEXEXISTS, names, {}, name);
    }
    index.Name = name;
    CheckIndexFields(index.Fields, d.Fields, name, names);
  }
  if (d.TextIndexFields.size() > static_cast<size_t>(kMaxIndexFields)) {
    RaiseWith(KURA_INDEXLIMIT, names, {}, kSysTextName);
  }
  for (const uint16_t fieldNo : d.TextIndexFields) {
    if (fieldNo < 1 || fieldNo > d.Fields.size()) RaiseWith(KURA_INVALIDIDXDESC, names, {}, kSysTextName);
    const TFieldDefinition& field = d.Fields[fieldNo - 1U];
    const bool text = field.FieldType == TFieldType::String ||
                      (field.FieldType == TFieldType::Blob && field.SubType == TFieldSubType::Memo);
    if (!text) RaiseWith(KURA_SEARCHCOLREQD, names, field.Name, kSysTextName);
  }
}

}  // namespace

int IndexKeyDataSize(const std::vector<uint16_t>& indexFields, const std::vector<TFieldDefinition>& fields) {
  int size = 0;
  for (const uint16_t fieldNo : indexFields) {
    if (fieldNo < 1 || fieldNo > fields.size()) return -1;
    TFieldDefinition field = fields[fieldNo - 1U];
    field.DataSize = static_cast<uint8_t>(DataSize(field.FieldType, HasDeclaredSize(field.FieldType) ? field.Size : 0));
    size += KeyDataSize(field) + 1;
  }
  return size;
}

TTableDefinition CheckTableDefinition(const TTableDefinition& definition, const TErrorNames& names) {
  TTableDefinition result = definition;
  CheckTable(result, names);
  if (result.Encrypted) result.Password = std::string(TrimBlanks(result.Password));
  CheckFields(result, names);
  CheckIndexes(result, names);
  return result;
}

}  // namespace kura
