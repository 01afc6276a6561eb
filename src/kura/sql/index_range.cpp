#include "kura/sql/index_range.h"

#include <cstdint>
#include <optional>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/expr/exp_token.h"
#include "kura/sql/data_query.h"
#include "kura/sql/integer_values.h"
#include "kura/storage/index_file.h"

namespace kura {
namespace {

// The value of a non-NULL integer constant.
std::optional<int64_t> IntegerConstant(const TExpToken* node) {
  if (node == nullptr || node->Kind != kNodeConstant) return std::nullopt;
  return IntegerValueOf(*node);
}

// The field's stored bytes of `value`; false when the field cannot hold it (the range
// would then not select what the comparison does).
bool EncodeInteger(TFieldType type, int64_t value, uint8_t* out) {
  auto fits = [value](int64_t low, int64_t high) { return value >= low && value <= high; };
  switch (type) {
    case TFieldType::SmallInt:
      if (!fits(INT16_MIN, INT16_MAX)) return false;
      WriteI16(out, static_cast<int16_t>(value));
      return true;
    case TFieldType::Word:
      if (!fits(0, UINT16_MAX)) return false;
      WriteU16(out, static_cast<uint16_t>(value));
      return true;
    case TFieldType::Integer:
      if (!fits(INT32_MIN, INT32_MAX)) return false;
      WriteI32(out, static_cast<int32_t>(value));
      return true;
    case TFieldType::LongWord:
      if (!fits(0, UINT32_MAX)) return false;
      WriteU32(out, static_cast<uint32_t>(value));
      return true;
    case TFieldType::LargeInt: WriteI64(out, value); return true;
    default: return false;
  }
}

const std::vector<TRangeIndex>& RangeIndexesOf(TSourceTable& source) {
  if (source.RangeIndexes) return *source.RangeIndexes;
  std::vector<TRangeIndex> found;
  const TTableDefinition definition = source.Cursor->TableDefinition();
  auto consider = [&](const TIndexDefinition& index, int number, const std::string& name) {
    if (index.Fields.empty() || index.Descending) return;
    if (!index.FieldDescending.empty() && index.FieldDescending[0]) return;
    const uint16_t field = index.Fields[0];
    if (field < 1 || field > definition.Fields.size()) return;
    const TFieldDefinition& f = definition.Fields[field - 1];
    if (!IsStoredIntegerType(f.FieldType) || f.SubType == TFieldSubType::AutoInc || f.Computed) return;
    found.push_back({number, name, field, index.Unique && index.Fields.size() == 1});
  };
  if (definition.PrimaryIndex) {
    TIndexDefinition primary = *definition.PrimaryIndex;
    primary.Unique = true;
    consider(primary, kPrimaryIndex, "primary");
  }
  for (size_t i = 0; i < definition.SecondaryIndexes.size(); ++i) {
    consider(definition.SecondaryIndexes[i], static_cast<int>(i + 1), definition.SecondaryIndexes[i].Name);
  }
  source.RangeIndexes = std::move(found);
  return *source.RangeIndexes;
}

}  // namespace

bool PlanIndexRange(TSourceTable& source, const TExpToken& node, TRangeUse use, TIndexRange& range) {
  if (!source.Cursor || !source.Cursor->Active()) return false;
  const TExpToken* column = nullptr;
  std::optional<int64_t> low;
  std::optional<int64_t> high;
  bool equality = false;
  if (node.Kind == kNodeBinary && node.OpCode == kOpEqual && node.Operand && node.RightOperand) {
    const bool columnLeft = node.Operand->Kind == kNodeColumn;
    column = columnLeft ? node.Operand : node.RightOperand;
    low = high = IntegerConstant(columnLeft ? node.RightOperand : node.Operand);
    equality = true;
  } else if (node.Kind == kNodePredicate && node.OpCode == kPredBetween && node.Arguments.size() == 3) {
    column = node.Arguments[0];
    low = IntegerConstant(node.Arguments[1]);
    high = IntegerConstant(node.Arguments[2]);
  }
  // Reversed bounds select nothing: left to the filter, which says so too.
  if (column == nullptr || column->Kind != kNodeColumn || !low || !high || *low > *high) return false;
  if (column->SourceTable != nullptr && column->SourceTable != &source) return false;

  for (const TRangeIndex& index : RangeIndexesOf(source)) {
    if (index.Field != column->FieldNo) continue;
    if (use == TRangeUse::SingleRow && !(equality && index.UniqueOnField)) continue;
    // The index the cursor has apart from a range an earlier run left on it.
    const int current = source.RangeApplied ? source.IndexBeforeRange : source.Cursor->IndexNumber();
    if (use == TRangeUse::CurrentIndex && index.Number != current) continue;
    TDataCursor& cursor = *source.Cursor;
    const TFieldType type = cursor.FieldDefinitions().at(index.Field - 1u).FieldType;
    auto bound = [&](std::vector<uint8_t>& image, int64_t value) {
      uint8_t bytes[8];
      if (!EncodeInteger(type, value, bytes)) return false;
      image.assign(static_cast<size_t>(cursor.RecordSize()), 0);
      cursor.InitRecord(image.data());
      cursor.SetField(index.Field, image.data(), bytes);
      return true;
    };
    if (!bound(range.Low, *low) || !bound(range.High, *high)) return false;
    range.IndexNumber = index.Number;
    range.IndexName = index.Name;
    return true;
  }
  return false;
}

void ApplyIndexRange(TSourceTable& source, const TIndexRange& range) {
  TDataCursor& cursor = *source.Cursor;
  if (source.RangeApplied && cursor.IndexNumber() == range.IndexNumber) {
    cursor.SetRange(range.Low.data(), 1, range.High.data(), 1);
    return;
  }
  ClearIndexRange(source);
  source.IndexBeforeRange = cursor.IndexNumber();
  source.RangeApplied = true;
  cursor.SetIndexNumber(range.IndexNumber);
  cursor.SetRange(range.Low.data(), 1, range.High.data(), 1);
}

void ClearIndexRange(TSourceTable& source) {
  if (!source.RangeApplied) return;
  source.RangeApplied = false;
  source.RangeText.clear();
  if (!source.Cursor || !source.Cursor->Active()) return;
  source.Cursor->ResetRange();
  source.Cursor->SetIndexNumber(source.IndexBeforeRange);
}

}  // namespace kura
