// The field map of a live query result: result columns over the table's own fields.

#include <memory>

#include "kura/base/engine_error.h"
#include "kura/engine/cursor_field_map.h"
#include "kura/engine/data_cursor.h"

namespace kura {

namespace {

void GetMappedColumn(void* data, const uint8_t* record, TExpToken& node) {
  auto& cursor = *static_cast<TDataCursor*>(data);
  const auto& fields = cursor.FieldDefinitions();
  if (record == nullptr || node.FieldNo < 1 || static_cast<size_t>(node.FieldNo) > fields.size()) {
    RaiseUnservedColumn(node);
  }
  cursor.ReadColumn(fields[static_cast<size_t>(node.FieldNo - 1)], record, node);
}

}  // namespace

void TDataCursor::SetFieldMap(std::vector<TFieldDefinition> map) {
  if (map.empty()) {
    FFieldMap.reset();
    return;
  }
  auto state = std::make_unique<TCursorFieldMap>(*this);
  state->Context.LocaleId = FLocaleId;
  state->Context.SortId = FSortId;
  state->Context.Data = this;
  state->Context.GetColumnValue = &GetMappedColumn;
  for (const TFieldDefinition& field : map) {
    TExpTree prepared;
    if (field.Computed) {
      const auto* tree = static_cast<const TExpToken*>(field.Expression.get());
      if (tree == nullptr) RaiseEngineError(KURA_OUTOFRANGE, Names());
      prepared = PrepareExpression(*tree, state->Context, false, false);
    }
    state->Prepared.push_back(std::move(prepared));
  }
  state->Fields = std::move(map);
  FFieldMap = std::move(state);
}

bool TDataCursor::HasFieldMap() const { return FFieldMap != nullptr; }

const std::vector<TFieldDefinition>& TDataCursor::ResultFields() const {
  return FFieldMap ? FFieldMap->Fields : FieldDefinitions();
}

TExpTree TDataCursor::ComputeField(const TFieldDefinition& field, const uint8_t* record) {
  if (!FFieldMap || &field < FFieldMap->Fields.data() || &field >= FFieldMap->Fields.data() + FFieldMap->Fields.size() ||
      !field.Computed) {
    RaiseEngineError(KURA_OUTOFRANGE, Names());
  }
  const size_t position = static_cast<size_t>(&field - FFieldMap->Fields.data());
  return EvaluateExpression(*FFieldMap->Prepared[position], record, FFieldMap->Context);
}

void TDataCursor::ReadColumn(const TFieldDefinition& field, const uint8_t* record, TExpToken& node) {
  if (!FFieldMap) {
    TColumnReader reader(*this);
    reader.Read(field, record, node);
    return;
  }
  FFieldMap->Reader.Read(field, record, node);
}

}  // namespace kura
