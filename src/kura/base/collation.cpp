#include "kura/base/collation.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>

#include "kura/base/language_driver.h"

namespace kura {

namespace {

// The engine's ANSI code page and the case maps made for it so far. Maps are never
// destroyed while the process runs, so the current one is read without the lock.
struct TAnsiCodePageState {
  std::recursive_mutex Mutex;
  std::map<uint16_t, std::unique_ptr<TCodePageCaseMap>> Maps;
  std::atomic<const TCodePageCaseMap*> Current{nullptr};

  // Under Mutex.
  const TCodePageCaseMap& MapFor(uint16_t codePage) {
    const auto found = Maps.find(codePage);
    if (found != Maps.end()) return *found->second;
    auto map = std::make_unique<TCodePageCaseMap>(codePage, "en_US");
    const TCodePageCaseMap& made = *map;
    Maps.emplace(codePage, std::move(map));
    return made;
  }
};

TAnsiCodePageState& AnsiState() {
  static TAnsiCodePageState state;
  return state;
}

int Sign(int value) { return (value > 0) - (value < 0); }

int CompareBytes(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  if (common != 0) {
    const int result = std::memcmp(a.data(), b.data(), common);
    if (result != 0) return Sign(result);
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Yields the bytes of a text as upper-cased by a case map, one at a time, so that two
// texts compare case-insensitively without copies. -1 after the last byte.
class TUpperCaseReader {
public:
  TUpperCaseReader(const TCodePageCaseMap& map, std::string_view text)
      : FMap(map), FText(reinterpret_cast<const uint8_t*>(text.data())), FSize(text.size()) {}

  int Next() {
    if (FPendingIndex < FPendingCount) return FPending[FPendingIndex++];
    if (FIndex >= FSize) return -1;
    FPendingCount = FMap.MapUnit(FText + FIndex, FSize - FIndex, true, FPending);
    FIndex += FPendingCount;
    FPendingIndex = 1;
    return FPending[0];
  }

private:
  const TCodePageCaseMap& FMap;
  const uint8_t* FText;
  size_t FSize;
  size_t FIndex = 0;
  uint8_t FPending[2] = {};
  size_t FPendingCount = 0;
  size_t FPendingIndex = 0;
};

int CompareUpperCased(const TCodePageCaseMap& map, std::string_view a, std::string_view b) {
  TUpperCaseReader readerA(map, a);
  TUpperCaseReader readerB(map, b);
  for (;;) {
    const int x = readerA.Next();
    const int y = readerB.Next();
    if (x != y) return x < y ? -1 : 1;  // the end (-1) sorts before every byte
    if (x < 0) return 0;
  }
}

std::string_view TextOf(const char* text, size_t length) {
  return {text, length == 0 ? std::strlen(text) : strnlen(text, length)};
}

const TCodePageCaseMap& CaseMapOf(uint16_t localeId, uint16_t sortId) {
  return localeId == 0 ? EngineAnsiCaseMap() : TLanguageDriver::Get(localeId, sortId).CaseMap();
}

}  // namespace

bool SetEngineAnsiCodePage(uint16_t codePage) {
  if (IcuConverterName(codePage) == nullptr) return false;
  TAnsiCodePageState& state = AnsiState();
  std::lock_guard lock(state.Mutex);
  state.Current.store(&state.MapFor(codePage), std::memory_order_release);
  return true;
}

const TCodePageCaseMap& EngineAnsiCaseMap() {
  TAnsiCodePageState& state = AnsiState();
  if (const TCodePageCaseMap* map = state.Current.load(std::memory_order_acquire)) return *map;
  std::lock_guard lock(state.Mutex);
  const TCodePageCaseMap* map = state.Current.load(std::memory_order_acquire);
  if (map == nullptr) {
    map = &state.MapFor(kDefaultAnsiCodePage);
    state.Current.store(map, std::memory_order_release);
  }
  return *map;
}

uint16_t GetEngineAnsiCodePage() { return EngineAnsiCaseMap().CodePage(); }

uint16_t TextCodePage(uint16_t localeId) {
  if (localeId == 0) return GetEngineAnsiCodePage();
  const TLanguageInfo* language = FindLanguage(localeId);
  return language == nullptr ? 0 : language->CodePage;
}

int CollateCompare(uint16_t localeId, uint16_t sortId, std::string_view a, std::string_view b, bool caseInsensitive) {
  if (localeId != 0) return Sign(TLanguageDriver::Get(localeId, sortId).Compare(a, b, caseInsensitive));
  return caseInsensitive ? CompareUpperCased(EngineAnsiCaseMap(), a, b) : CompareBytes(a, b);
}

int CollateCompare(uint16_t localeId, uint16_t sortId, const char* a, const char* b, bool caseInsensitive,
                   size_t length) {
  return CollateCompare(localeId, sortId, TextOf(a, length), TextOf(b, length), caseInsensitive);
}

int CollateCompareChars(uint16_t localeId, uint16_t sortId, char a, char b) {
  const auto x = static_cast<uint8_t>(a);
  const auto y = static_cast<uint8_t>(b);
  if (localeId == 0) return x < y ? -1 : (x > y ? 1 : 0);
  return Sign(TLanguageDriver::Get(localeId, sortId).CompareChars(x, y));
}

void UpperCaseText(uint16_t localeId, uint16_t sortId, char* text) {
  CaseMapOf(localeId, sortId).UpperCase(text, std::strlen(text));
}

void LowerCaseText(uint16_t localeId, uint16_t sortId, char* text) {
  CaseMapOf(localeId, sortId).LowerCase(text, std::strlen(text));
}

void UpperCaseText(uint16_t localeId, uint16_t sortId, std::string& text) {
  CaseMapOf(localeId, sortId).UpperCase(text.data(), text.size());
}

void LowerCaseText(uint16_t localeId, uint16_t sortId, std::string& text) {
  CaseMapOf(localeId, sortId).LowerCase(text.data(), text.size());
}

void CheckLanguageDriver(uint16_t localeId, uint16_t sortId, const TErrorNames& names) {
  if (localeId != 0 && !IsInstalledLocale(localeId, sortId)) RaiseEngineError(KURA_CANNOTLOADLDDRV, names);
}

TSortOrderTable MakeSortOrderTable(uint16_t localeId, uint16_t sortId) {
  TSortOrderTable table;
  std::iota(table.begin(), table.end(), uint8_t{0});
  if (localeId == 0) return table;
  const TLanguageDriver& driver = TLanguageDriver::Get(localeId, sortId);
  std::stable_sort(table.begin(), table.end(), [&](uint8_t x, uint8_t y) { return driver.CompareChars(x, y) < 0; });
  return table;
}

TLanguageCharMapsList::TLanguageCharMapsList() { FEntries.reserve(256); }

TSortOrderTable TLanguageCharMapsList::Get(uint16_t localeId, uint16_t sortId) {
  std::lock_guard lock(FMutex);
  for (const TEntry& entry : FEntries)
    if (entry.LocaleId == localeId && entry.SortId == sortId) return entry.Order;
  FEntries.push_back({localeId, sortId, MakeSortOrderTable(localeId, sortId)});
  return FEntries.back().Order;
}

size_t TLanguageCharMapsList::Count() const {
  std::lock_guard lock(FMutex);
  return FEntries.size();
}

TLanguageCharMapsList& TLanguageCharMapsList::Instance() {
  static TLanguageCharMapsList list;
  return list;
}

TSortOrderTable GetSortOrderTable(uint16_t localeId, uint16_t sortId) {
  return TLanguageCharMapsList::Instance().Get(localeId, sortId);
}

TSortOrder::TSortOrder(uint16_t localeId, uint16_t sortId)
    : FLocaleId(localeId), FSortId(sortId), FTable(GetSortOrderTable(localeId, sortId)) {
  for (size_t i = 0; i < FTable.size(); ++i) FPosition[FTable[i]] = static_cast<uint8_t>(i);
}

bool TSortOrder::IsLowest(uint8_t c) const {
  return CollateCompareChars(FLocaleId, FSortId, static_cast<char>(c), static_cast<char>(Lowest())) == 0;
}

bool TSortOrder::IsHighest(uint8_t c) const {
  return CollateCompareChars(FLocaleId, FSortId, static_cast<char>(c), static_cast<char>(Highest())) == 0;
}

uint8_t TSortOrder::Previous(uint8_t c) const {
  for (size_t i = FPosition[c]; i-- > 0;)
    if (CollateCompareChars(FLocaleId, FSortId, static_cast<char>(FTable[i]), static_cast<char>(c)) != 0) return FTable[i];
  return c;
}

uint8_t TSortOrder::Next(uint8_t c) const {
  for (size_t i = FPosition[c] + 1; i < FTable.size(); ++i)
    if (CollateCompareChars(FLocaleId, FSortId, static_cast<char>(FTable[i]), static_cast<char>(c)) != 0) return FTable[i];
  return c;
}

}  // namespace kura
