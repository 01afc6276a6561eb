#include "kura/base/code_page_case_map.h"

#include <algorithm>
#include <cstring>

#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/utf16.h>

#include "kura/base/engine_error.h"
#include "kura/base/icu_handles.h"

namespace kura {

const char* IcuConverterName(uint16_t codePage) {
  switch (codePage) {
    case 874: return "windows-874-2000";
    // "cp932" is also an alias of IBM's 942, which lacks Microsoft's extensions (NEC and
    // IBM rows, user-defined area); "windows-31j" names only the Microsoft table.
    case 932: return "windows-31j";
    case 936: return "windows-936-2000";
    case 949: return "windows-949-2000";
    case 950: return "windows-950-2000";
    case 1250: return "windows-1250";
    case 1251: return "windows-1251";
    case 1252: return "windows-1252";
    case 1253: return "windows-1253";
    case 1254: return "windows-1254";
    case 1255: return "windows-1255";
    case 1256: return "windows-1256";
    case 1257: return "windows-1257";
    case 1258: return "windows-1258";
    default: return nullptr;
  }
}

TIcuConverter OpenStrictConverter(const char* icuName) {
  if (icuName == nullptr) return {};
  UErrorCode status = U_ZERO_ERROR;
  TIcuConverter converter(ucnv_open(icuName, &status));
  if (U_FAILURE(status) || !converter) return {};
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  ucnv_setFallback(converter.get(), false);
  if (U_FAILURE(status)) return {};
  return converter;
}

namespace {

// The one character that bytes decode to, or -1 when they are not exactly one
// character of the code page.
UChar32 DecodeOne(UConverter* converter, const char* bytes, int32_t count, UErrorCode* statusOut = nullptr) {
  UChar buffer[4];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = ucnv_toUChars(converter, buffer, 4, bytes, count, &status);
  if (statusOut != nullptr) *statusOut = status;
  if (U_FAILURE(status) || length <= 0 || length > 2) return -1;
  int32_t index = 0;
  UChar32 c;
  U16_NEXT(buffer, index, length, c);
  return index == length ? c : -1;
}

// The bytes of one character in the code page; their count, or -1 when the code page
// has no exact (round-trip) mapping for it.
int32_t EncodeOne(UConverter* converter, UChar32 c, char out[4]) {
  UChar buffer[2];
  int32_t length = 0;
  U16_APPEND_UNSAFE(buffer, length, c);
  UErrorCode status = U_ZERO_ERROR;
  const int32_t count = ucnv_fromUChars(converter, out, 4, buffer, length, &status);
  if (U_FAILURE(status) || count <= 0 || count > 2) return -1;
  if (DecodeOne(converter, out, count) != c) return -1;
  return count;
}

UChar32 MapCase(UChar32 c, bool upper, bool turkic) {
  if (turkic) {
    // Turkish and Azeri pair i with dotted capital I and dotless i with I.
    if (upper && c == 0x0069) return 0x0130;
    if (!upper && c == 0x0049) return 0x0131;
  }
  return upper ? u_toupper(c) : u_tolower(c);
}

}  // namespace

TCodePageCaseMap::TCodePageCaseMap(uint16_t codePage, const char* icuLocale) : FCodePage(codePage) {
  TIcuConverter converter = OpenStrictConverter(IcuConverterName(codePage));
  if (!converter) RaiseEngineError(KURA_CANNOTLOADLDDRV);
  UConverter* cnv = converter.get();

  char language[ULOC_LANG_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLanguage(icuLocale, language, sizeof language, &status);
  const bool turkic = U_SUCCESS(status) && (std::strcmp(language, "tr") == 0 || std::strcmp(language, "az") == 0);

  FDoubleByte = ucnv_getMaxCharSize(cnv) > 1;
  for (int b = 0; b < 256; ++b) {
    FUpper[b] = FLower[b] = static_cast<uint8_t>(b);
    const char byte = static_cast<char>(b);
    UErrorCode decodeStatus = U_ZERO_ERROR;
    const UChar32 c = DecodeOne(cnv, &byte, 1, &decodeStatus);
    if (decodeStatus == U_TRUNCATED_CHAR_FOUND) {
      FLeadByte[b] = FDoubleByte;
      continue;
    }
    if (c < 0) continue;
    for (const bool upper : {true, false}) {
      const UChar32 mapped = MapCase(c, upper, turkic);
      if (mapped == c) continue;
      char out[4];
      if (EncodeOne(cnv, mapped, out) == 1) (upper ? FUpper : FLower)[b] = static_cast<uint8_t>(out[0]);
    }
  }

  if (!FDoubleByte) return;
  for (int lead = 0; lead < 256; ++lead) {
    if (!FLeadByte[lead]) continue;
    for (int trail = 0x40; trail < 0xFF; ++trail) {
      const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      const UChar32 c = DecodeOne(cnv, bytes, 2);
      if (c < 0) continue;
      const uint16_t unit = static_cast<uint16_t>(lead << 8 | trail);
      for (const bool upper : {true, false}) {
        const UChar32 mapped = MapCase(c, upper, turkic);
        if (mapped == c) continue;
        char out[4];
        if (EncodeOne(cnv, mapped, out) != 2) continue;
        const uint16_t mappedUnit = static_cast<uint16_t>(static_cast<uint8_t>(out[0]) << 8 | static_cast<uint8_t>(out[1]));
        (upper ? FDoubleUpper : FDoubleLower).emplace_back(unit, mappedUnit);
      }
    }
  }
  // Built in ascending unit order already; sorting keeps LookUp's contract explicit.
  std::sort(FDoubleUpper.begin(), FDoubleUpper.end());
  std::sort(FDoubleLower.begin(), FDoubleLower.end());
}

uint16_t TCodePageCaseMap::LookUp(const TPairMap& map, uint16_t unit) {
  const auto it = std::lower_bound(map.begin(), map.end(), unit,
                                   [](const std::pair<uint16_t, uint16_t>& entry, uint16_t key) { return entry.first < key; });
  return it != map.end() && it->first == unit ? it->second : unit;
}

size_t TCodePageCaseMap::MapUnit(const uint8_t* text, size_t remaining, bool upper, uint8_t out[2]) const {
  const uint8_t b = text[0];
  if (FLeadByte[b]) {
    if (remaining < 2 || text[1] == 0) {
      out[0] = b;
      return 1;
    }
    const uint16_t unit = LookUp(upper ? FDoubleUpper : FDoubleLower, static_cast<uint16_t>(b << 8 | text[1]));
    out[0] = static_cast<uint8_t>(unit >> 8);
    out[1] = static_cast<uint8_t>(unit);
    return 2;
  }
  out[0] = (upper ? FUpper : FLower)[b];
  return 1;
}

void TCodePageCaseMap::Map(char* text, size_t length, bool upper) const {
  auto* bytes = reinterpret_cast<uint8_t*>(text);
  size_t i = 0;
  while (i < length) {
    uint8_t out[2];
    const size_t n = MapUnit(bytes + i, length - i, upper, out);
    bytes[i] = out[0];
    if (n == 2) bytes[i + 1] = out[1];
    i += n;
  }
}

}  // namespace kura
