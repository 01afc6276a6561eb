#pragma once

// String collation of the engine. Every table carries a language driver, the pair
// (LocaleId, SortId) of its header. LocaleId 0 ("ANSI Standard") orders strings by
// unsigned byte value; any other LocaleId names a row of the language table (see
// language_driver.h), whose ICU collation orders the table's strings in index keys,
// filters and expressions, and whose case rules apply when strings are stored.
//
// Text is held in Windows ANSI code page bytes. A driver's text is in its language's
// code page; text of tables with LocaleId 0 is in the engine's ANSI code page, one
// process-wide setting (932, Japanese, unless changed).
//
// Every operation that needs a driver raises KURA_CANNOTLOADLDDRV when the pair
// is not installed (IsInstalledLocale is false). All operations are thread-safe.

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kura/base/code_page_case_map.h"
#include "kura/base/engine_error.h"

namespace kura {

constexpr uint16_t kDefaultAnsiCodePage = 932;

// Sets the engine's ANSI code page for calls that start afterwards. False, and no
// change, for a code page the engine does not support (see IcuConverterName).
bool SetEngineAnsiCodePage(uint16_t codePage);
uint16_t GetEngineAnsiCodePage();
// The case map of the engine's ANSI code page under US English rules.
const TCodePageCaseMap& EngineAnsiCaseMap();
// The code page a table's strings are held in: the language's for a row of the
// language table, the engine's ANSI code page for LocaleId 0; 0 for an unknown LocaleId.
uint16_t TextCodePage(uint16_t localeId);

// Negative, 0 or positive (-1, 0, 1) as a sorts before, with or after b.
// length 0 compares the whole zero-terminated texts; otherwise at most length bytes of
// each, stopping early at a terminating zero (a shorter text is never read beyond its
// end).
// LocaleId 0: unsigned bytes, a text sorting before every longer text that begins with
// it; caseInsensitive compares the texts as upper-cased with the US English rules in
// the engine's ANSI code page (double-byte characters as units), without copying them.
// Other LocaleIds: the driver's collation, ignoring non-spacing marks always and case
// when caseInsensitive.
int CollateCompare(uint16_t localeId, uint16_t sortId, const char* a, const char* b, bool caseInsensitive,
                   size_t length);
// The same for texts given as views of their bytes (no terminator needed).
int CollateCompare(uint16_t localeId, uint16_t sortId, std::string_view a, std::string_view b,
                   bool caseInsensitive);
// Two single characters, case-sensitive. The character 0 is the empty text.
int CollateCompareChars(uint16_t localeId, uint16_t sortId, char a, char b);

// Maps the zero-terminated text in place to upper (lower) case with the driver's rules;
// with LocaleId 0 with US English rules in the engine's ANSI code page. The length of
// the text never changes.
void UpperCaseText(uint16_t localeId, uint16_t sortId, char* text);
void LowerCaseText(uint16_t localeId, uint16_t sortId, char* text);
// The same for a string's bytes.
void UpperCaseText(uint16_t localeId, uint16_t sortId, std::string& text);
void LowerCaseText(uint16_t localeId, uint16_t sortId, std::string& text);

// For table creation and header checks: raises KURA_CANNOTLOADLDDRV with names (the table
// and its directory) when localeId is not 0 and the pair is not installed.
void CheckLanguageDriver(uint16_t localeId, uint16_t sortId, const TErrorNames& names);

// All character codes 0 to 255 in ascending collation order of a driver; codes that
// compare equal stand in no particular order among themselves. Identity for LocaleId 0.
using TSortOrderTable = std::array<uint8_t, 256>;

// Computes a sort-order table (256 single-character comparisons, sorted).
TSortOrderTable MakeSortOrderTable(uint16_t localeId, uint16_t sortId);

// A list of sort-order tables, one per (LocaleId, SortId) pair asked for, each made on
// the first request and kept for the life of the list. Guarded by one mutex.
class TLanguageCharMapsList {
public:
  TLanguageCharMapsList();
  TLanguageCharMapsList(const TLanguageCharMapsList&) = delete;
  TLanguageCharMapsList& operator=(const TLanguageCharMapsList&) = delete;

  // A copy of the pair's table; made and appended when the pair is new. Raises
  // KURA_CANNOTLOADLDDRV for a pair that is not installed (LocaleId 0 always has its
  // table).
  TSortOrderTable Get(uint16_t localeId, uint16_t sortId);
  // The number of tables made so far.
  size_t Count() const;

  // The process-wide list, kept until shutdown.
  static TLanguageCharMapsList& Instance();

private:
  struct TEntry {
    uint16_t LocaleId;
    uint16_t SortId;
    TSortOrderTable Order;
  };
  mutable std::recursive_mutex FMutex;
  std::vector<TEntry> FEntries;
};

// The process-wide list's table of the pair.
TSortOrderTable GetSortOrderTable(uint16_t localeId, uint16_t sortId);

// A driver's sort-order table with the questions cursors ask of it for key ranges and
// partial keys. Value type: opening a cursor copies the table out of the list once.
class TSortOrder {
public:
  // Takes the pair's table from the process-wide list; raises KURA_CANNOTLOADLDDRV like
  // it.
  TSortOrder(uint16_t localeId, uint16_t sortId);

  uint16_t LocaleId() const { return FLocaleId; }
  uint16_t SortId() const { return FSortId; }
  const TSortOrderTable& Table() const { return FTable; }

  // The lowest and highest characters: the first and last entries.
  uint8_t Lowest() const { return FTable[0]; }
  uint8_t Highest() const { return FTable[255]; }
  // c compares equal to the lowest (highest) character.
  bool IsLowest(uint8_t c) const;
  bool IsHighest(uint8_t c) const;
  // The index of c in the table.
  size_t Position(uint8_t c) const { return FPosition[c]; }
  // The nearest entry before (after) c's position that does not compare equal to c;
  // c itself when there is none.
  uint8_t Previous(uint8_t c) const;
  uint8_t Next(uint8_t c) const;

private:
  uint16_t FLocaleId;
  uint16_t FSortId;
  TSortOrderTable FTable;
  std::array<uint8_t, 256> FPosition;
};

}  // namespace kura
