#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kura {

// Text held in a table in a Windows code page (932, 1250-1258, ...), as UTF-8 for
// display: for tools and messages, never for comparisons. Bytes the code page does not
// define show as the converter's substitution character (U+001A or U+FFFD), so that a
// damaged value is still printed whole.
// Empty (nullopt) when the code page is not one the engine supports.
std::optional<std::string> CodePageToUtf8(uint16_t codePage, std::string_view bytes);

}  // namespace kura
