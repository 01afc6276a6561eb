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

// UTF-8 text (typed by a user, read from a script) as the bytes of a Windows code page,
// for text that goes into tables and statements. Strict: empty (nullopt) when the code
// page is not one the engine supports, when the text is not well-formed UTF-8, or when
// one of its characters has no mapping in the code page (no substitution, no best-fit
// fallback), so that nothing is silently changed on its way into a table.
std::optional<std::string> Utf8ToCodePage(uint16_t codePage, std::string_view utf8);

}  // namespace kura
