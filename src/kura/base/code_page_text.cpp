#include "kura/base/code_page_text.h"

#include <vector>

#include <unicode/ustring.h>

#include "kura/base/code_page_case_map.h"
#include "kura/base/icu_handles.h"

namespace kura {

std::optional<std::string> CodePageToUtf8(uint16_t codePage, std::string_view bytes) {
  const char* icuName = IcuConverterName(codePage);
  if (icuName == nullptr) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  TIcuConverter converter(ucnv_open(icuName, &status));
  if (U_FAILURE(status) || !converter) return std::nullopt;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &status);
  if (bytes.empty()) return std::string();

  // A byte never decodes to more than two UTF-16 units, nor a unit to more than three
  // UTF-8 bytes.
  std::vector<UChar> utf16(bytes.size() * 2);
  status = U_ZERO_ERROR;
  const int32_t units = ucnv_toUChars(converter.get(), utf16.data(), static_cast<int32_t>(utf16.size()),
                                      bytes.data(), static_cast<int32_t>(bytes.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  std::string utf8(static_cast<size_t>(units) * 3, '\0');
  int32_t length = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(utf8.data(), static_cast<int32_t>(utf8.size()), &length, utf16.data(), units, &status);
  if (U_FAILURE(status)) return std::nullopt;
  utf8.resize(static_cast<size_t>(length));
  return utf8;
}

std::optional<std::string> Utf8ToCodePage(uint16_t codePage, std::string_view utf8) {
  TIcuConverter converter = OpenStrictConverter(IcuConverterName(codePage));
  if (!converter) return std::nullopt;
  if (utf8.empty()) return std::string();
  std::vector<UChar> utf16(utf8.size() + 1);
  int32_t units = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(utf16.data(), static_cast<int32_t>(utf16.size()), &units, utf8.data(),
                static_cast<int32_t>(utf8.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  // No Windows code page takes more than two bytes for one UTF-16 unit.
  std::string bytes(static_cast<size_t>(units) * 2 + 1, '\0');
  status = U_ZERO_ERROR;
  const int32_t length = ucnv_fromUChars(converter.get(), bytes.data(), static_cast<int32_t>(bytes.size()),
                                         utf16.data(), units, &status);
  if (U_FAILURE(status)) return std::nullopt;
  bytes.resize(static_cast<size_t>(length));
  return bytes;
}

}  // namespace kura
