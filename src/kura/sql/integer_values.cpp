#include "kura/sql/integer_values.h"

#include "kura/base/byte_order.h"
#include "kura/expr/exp_token.h"

namespace kura {

bool IsStoredIntegerType(TFieldType type) {
  switch (type) {
    case TFieldType::SmallInt:
    case TFieldType::Integer:
    case TFieldType::Word:
    case TFieldType::LongWord:
    case TFieldType::LargeInt: return true;
    default: return false;
  }
}

std::optional<int64_t> IntegerValueOf(const TExpToken& node) {
  if (node.IsNull != 0) return std::nullopt;
  const uint8_t* data = node.Data.data();
  const size_t length = node.Data.size();
  switch (node.DataType) {
    case TFieldType::SmallInt: return length >= 2 ? std::optional<int64_t>(ReadI16(data)) : std::nullopt;
    case TFieldType::Word: return length >= 2 ? std::optional<int64_t>(ReadU16(data)) : std::nullopt;
    case TFieldType::Integer: return length >= 4 ? std::optional<int64_t>(ReadI32(data)) : std::nullopt;
    case TFieldType::LongWord: return length >= 4 ? std::optional<int64_t>(ReadU32(data)) : std::nullopt;
    case TFieldType::LargeInt: return length >= 8 ? std::optional<int64_t>(ReadI64(data)) : std::nullopt;
    default: return std::nullopt;
  }
}

}  // namespace kura
