#pragma once

// Owning handles for the ICU C objects the collation unit keeps (converters, collators).

#include <memory>

#include <unicode/ucnv.h>
#include <unicode/ucol.h>

namespace kura {

struct TIcuConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
struct TIcuCollatorCloser {
  void operator()(UCollator* collator) const { ucol_close(collator); }
};

using TIcuConverter = std::unique_ptr<UConverter, TIcuConverterCloser>;
using TIcuCollator = std::unique_ptr<UCollator, TIcuCollatorCloser>;

// A converter opened by its ICU name (see IcuConverterName) that stops at the first byte
// or character it cannot convert instead of substituting one, and uses no fallback
// mappings; empty when icuName is nullptr or ICU has no such converter.
TIcuConverter OpenStrictConverter(const char* icuName);

}  // namespace kura
