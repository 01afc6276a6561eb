#pragma once

// The state behind TDataCursor's field map (see data_cursor.h).

#include <vector>

#include "kura/engine/column_reader.h"
#include "kura/expr/exp_token.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/storage/field_definition.h"

namespace kura {

struct TCursorFieldMap {
  explicit TCursorFieldMap(TDataCursor& cursor) : Reader(cursor) {}
  std::vector<TFieldDefinition> Fields;
  std::vector<TExpTree> Prepared;  // by map position; null for plain columns
  TColumnReader Reader;
  TEvaluationContext Context;
};

}  // namespace kura
