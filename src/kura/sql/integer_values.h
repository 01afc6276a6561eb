#pragma once

// Integer values of bound expression nodes, read as 64-bit numbers: what the join hash
// and the key ranges compare.

#include <cstdint>
#include <optional>

#include "kura/base/field_types.h"

namespace kura {

struct TExpToken;

// SmallInt, Integer, Word, LongWord and LargeInt.
bool IsStoredIntegerType(TFieldType type);
// The value of a non-NULL node of one of those types; nullopt for NULL and other types.
std::optional<int64_t> IntegerValueOf(const TExpToken& node);

}  // namespace kura
