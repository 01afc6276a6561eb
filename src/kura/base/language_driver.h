#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <unicode/utypes.h>

#include "kura/base/code_page_case_map.h"
#include "kura/base/engine_error.h"
#include "kura/base/icu_handles.h"

namespace kura {

// One row of the language table: a name the SQL LANGUAGE clause accepts, the Windows
// language identifier stored in a table's header as LocaleId (primary language in bits
// 0 to 9, sublanguage in bits 10 to 15), the Windows ANSI code page whose bytes the
// table's strings hold, and the ICU locale whose collation orders them. The first row,
// "ANSI Standard", has LocaleId 0: plain byte order, no locale, no code page of its own.
struct TLanguageInfo {
  const char* Name;
  uint16_t LocaleId;
  uint16_t CodePage;
  const char* IcuLocale;
};

constexpr size_t kLanguageCount = 99;
constexpr uint16_t kLocaleUSEnglish = 0x0409;

// The 99 rows in their fixed order. Process-wide and read-only.
std::span<const TLanguageInfo> LanguageTable();
// The first row whose LocaleId is localeId; nullptr when there is none.
const TLanguageInfo* FindLanguage(uint16_t localeId);

// The sort orders of the language of localeId; a name's position is its SortId. Every
// language has "Default Order"; the German rows also have "German Phone Book Order".
// Empty for a LocaleId that is not in the table.
std::span<const char* const> SortOrderNames(uint16_t localeId);

// Name equals a row's name without regard to case.
bool IsLanguageName(std::string_view name);
// That row's LocaleId; 0 when no row has the name.
uint16_t LanguageIdByName(std::string_view name);
// Name equals, without regard to case, a sort order of the language of localeId.
bool IsSortName(uint16_t localeId, std::string_view name);
// The SortId of that sort order; 0 when the language has no sort order of that name.
uint16_t SortIdByName(uint16_t localeId, std::string_view name);

// The ICU locale of a driver: the row's locale, or the German phone-book collation for
// SortId 1 of a German row. "" when the pair names no driver of the table.
std::string IcuLocaleName(uint16_t localeId, uint16_t sortId);

// True when localeId is a row of the table other than "ANSI Standard", sortId is one of
// its sort orders, and ICU provides locale data for the row's language. LocaleId 0 is
// byte order, not a locale: false.
bool IsInstalledLocale(uint16_t localeId, uint16_t sortId);

// The collation of one installed (LocaleId, SortId) pair: decodes the pair's code page
// through a 256-entry table made with ICU's converter, compares with ICU collators that
// ignore non-spacing marks (primary strength; a case level is added for case-sensitive
// comparison) and treat hyphens and apostrophes as ordinary symbols, and maps case with
// the language's rules. Drivers are made on first request, pooled for the life of the
// process and immutable: one driver may be used by every thread at once.
class TLanguageDriver {
public:
  // The pooled driver of the pair; nullptr when IsInstalledLocale is false. After the
  // first request for a pair the lookup takes no lock and allocates nothing.
  static const TLanguageDriver* Find(uint16_t localeId, uint16_t sortId);
  // As Find, but raises KURA_CANNOTLOADLDDRV with names when the pair has no
  // driver.
  static const TLanguageDriver& Get(uint16_t localeId, uint16_t sortId, const TErrorNames& names = {});

  // Builds a driver for an installed pair (use Find; public for the pool). Raises
  // KURA_CANNOTLOADLDDRV when ICU cannot open the collator or the converter.
  TLanguageDriver(const TLanguageInfo& language, uint16_t sortId);
  TLanguageDriver(const TLanguageDriver&) = delete;
  TLanguageDriver& operator=(const TLanguageDriver&) = delete;

  uint16_t LocaleId() const { return FLanguage.LocaleId; }
  uint16_t SortId() const { return FSortId; }
  uint16_t CodePage() const { return FLanguage.CodePage; }
  const std::string& IcuLocale() const { return FIcuLocale; }
  const TCodePageCaseMap& CaseMap() const { return FCaseMap; }

  // Negative, 0 or positive as a sorts before, with or after b. The texts are the given
  // bytes (no terminator needed); a zero byte, like any control character, carries no
  // weight. Allocates only for texts longer than 512 bytes.
  int Compare(std::string_view a, std::string_view b, bool caseInsensitive) const;
  // Two single characters, case-sensitive. The character 0 is the empty text.
  int CompareChars(uint8_t a, uint8_t b) const;
  // The Unicode character a byte of the driver's code page stands for (U+FFFD for a
  // byte the code page leaves undefined).
  UChar Decode(uint8_t b) const { return FDecode[b]; }

private:
  TLanguageInfo FLanguage;
  uint16_t FSortId;
  std::string FIcuLocale;
  std::array<UChar, 256> FDecode{};
  TIcuCollator FCaseSensitive;
  TIcuCollator FCaseInsensitive;
  TCodePageCaseMap FCaseMap;
};

}  // namespace kura
