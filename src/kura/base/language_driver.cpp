#include "kura/base/language_driver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include <unicode/uloc.h>

namespace kura {

namespace {

// Code pages: 1252 Western European, 1250 Central European, 1251 Cyrillic, 1253 Greek,
// 1254 Turkish, 1255 Hebrew, 1256 Arabic, 1257 Baltic, 874 Thai, 1258 Vietnamese.
constexpr std::array<TLanguageInfo, kLanguageCount> kLanguages = {{
    {"ANSI Standard", 0x0000, 0, ""},
    {"Afrikaans", 0x0436, 1252, "af_ZA"},
    {"Albanian", 0x041C, 1250, "sq_AL"},
    {"Arabic (Saudi Arabia)", 0x0401, 1256, "ar_SA"},
    {"Arabic (Iraq)", 0x0801, 1256, "ar_IQ"},
    {"Arabic (Egypt)", 0x0C01, 1256, "ar_EG"},
    {"Arabic (Libya)", 0x1001, 1256, "ar_LY"},
    {"Arabic (Algeria)", 0x1401, 1256, "ar_DZ"},
    {"Arabic (Morocco)", 0x1801, 1256, "ar_MA"},
    {"Arabic (Tunisia)", 0x1C01, 1256, "ar_TN"},
    {"Arabic (Oman)", 0x2001, 1256, "ar_OM"},
    {"Arabic (Yemen)", 0x2401, 1256, "ar_YE"},
    {"Arabic (Syria)", 0x2801, 1256, "ar_SY"},
    {"Arabic (Jordan)", 0x2C01, 1256, "ar_JO"},
    {"Arabic (Lebanon)", 0x3001, 1256, "ar_LB"},
    {"Arabic (Kuwait)", 0x3401, 1256, "ar_KW"},
    {"Arabic (U.A.E)", 0x3801, 1256, "ar_AE"},
    {"Arabic (Bahrain)", 0x3C01, 1256, "ar_BH"},
    {"Arabic (Qatar)", 0x4001, 1256, "ar_QA"},
    {"Basque", 0x042D, 1252, "eu_ES"},
    {"Belarusian", 0x0423, 1251, "be_BY"},
    {"Bulgarian", 0x0402, 1251, "bg_BG"},
    {"Catalan", 0x0403, 1252, "ca_ES"},
    {"Croatian", 0x041A, 1250, "hr_HR"},
    {"Czech", 0x0405, 1250, "cs_CZ"},
    {"Danish", 0x0406, 1252, "da_DK"},
    {"Dutch (Standard)", 0x0413, 1252, "nl_NL"},
    {"Dutch (Belgian)", 0x0813, 1252, "nl_BE"},
    {"English (USA)", 0x0409, 1252, "en_US"},
    {"English (UK)", 0x0809, 1252, "en_GB"},
    {"English (Australian)", 0x0C09, 1252, "en_AU"},
    {"English (Canadian)", 0x1009, 1252, "en_CA"},
    {"English (New Zealand)", 0x1409, 1252, "en_NZ"},
    {"English (Irish)", 0x1809, 1252, "en_IE"},
    {"English (South Africa)", 0x1C09, 1252, "en_ZA"},
    {"English (Jamaica)", 0x2009, 1252, "en_JM"},
    {"English (Caribbean)", 0x2409, 1252, "en_029"},
    {"English (Belize)", 0x2809, 1252, "en_BZ"},
    {"English (Trinidad)", 0x2C09, 1252, "en_TT"},
    {"Estonian", 0x0425, 1257, "et_EE"},
    {"Faeroese", 0x0438, 1252, "fo_FO"},
    {"Farsi", 0x0429, 1256, "fa_IR"},
    {"Finnish", 0x040B, 1252, "fi_FI"},
    {"French (Standard)", 0x040C, 1252, "fr_FR"},
    {"French (Belgian)", 0x080C, 1252, "fr_BE"},
    {"French (Canadian)", 0x0C0C, 1252, "fr_CA"},
    {"French (Swiss)", 0x100C, 1252, "fr_CH"},
    {"French (Luxembourg)", 0x140C, 1252, "fr_LU"},
    {"German (Standard)", 0x0407, 1252, "de_DE"},
    {"German (Swiss)", 0x0807, 1252, "de_CH"},
    {"German (Austrian)", 0x0C07, 1252, "de_AT"},
    {"German (Luxembourg)", 0x1007, 1252, "de_LU"},
    {"German (Liechtenstein)", 0x1407, 1252, "de_LI"},
    {"Greek", 0x0408, 1253, "el_GR"},
    {"Hebrew", 0x040D, 1255, "he_IL"},
    {"Hungarian", 0x040E, 1250, "hu_HU"},
    {"Icelandic", 0x040F, 1252, "is_IS"},
    {"Indonesian", 0x0421, 1252, "id_ID"},
    {"Italian (Standard)", 0x0410, 1252, "it_IT"},
    {"Italian (Swiss)", 0x0810, 1252, "it_CH"},
    {"Latvian", 0x0426, 1257, "lv_LV"},
    {"Lithuanian", 0x0427, 1257, "lt_LT"},
    {"Norwegian (Bokmal)", 0x0414, 1252, "nb_NO"},
    {"Norwegian (Nynorsk)", 0x0814, 1252, "nn_NO"},
    {"Polish", 0x0415, 1250, "pl_PL"},
    {"Portuguese (Standard)", 0x0816, 1252, "pt_PT"},
    {"Portuguese (Brazilian)", 0x0416, 1252, "pt_BR"},
    {"Romanian", 0x0418, 1250, "ro_RO"},
    {"Russian", 0x0419, 1251, "ru_RU"},
    {"Serbian (Latin)", 0x081A, 1250, "sr_Latn_RS"},
    {"Serbian (Cyrillic)", 0x0C1A, 1251, "sr_Cyrl_RS"},
    {"Slovak", 0x041B, 1250, "sk_SK"},
    {"Slovenian", 0x0424, 1250, "sl_SI"},
    // Windows' Castilian identifier is the traditional sort, in which ch and ll are
    // letters of their own; "Spanish (Modern)" is the modern sort.
    {"Spanish (Castilian)", 0x040A, 1252, "es_ES@collation=traditional"},
    {"Spanish (Mexican)", 0x080A, 1252, "es_MX"},
    {"Spanish (Modern)", 0x0C0A, 1252, "es_ES"},
    {"Spanish (Guatemala)", 0x100A, 1252, "es_GT"},
    {"Spanish (Costa Rica)", 0x140A, 1252, "es_CR"},
    {"Spanish (Panama)", 0x180A, 1252, "es_PA"},
    {"Spanish (Dominican Republic)", 0x1C0A, 1252, "es_DO"},
    {"Spanish (Venezuela)", 0x200A, 1252, "es_VE"},
    {"Spanish (Colombia)", 0x240A, 1252, "es_CO"},
    {"Spanish (Peru)", 0x280A, 1252, "es_PE"},
    {"Spanish (Argentina)", 0x2C0A, 1252, "es_AR"},
    {"Spanish (Ecuador)", 0x300A, 1252, "es_EC"},
    {"Spanish (Chile)", 0x340A, 1252, "es_CL"},
    {"Spanish (Uruguay)", 0x380A, 1252, "es_UY"},
    {"Spanish (Paraguay)", 0x3C0A, 1252, "es_PY"},
    {"Spanish (Bolivia)", 0x400A, 1252, "es_BO"},
    {"Spanish (El Salvador)", 0x440A, 1252, "es_SV"},
    {"Spanish (Honduras)", 0x480A, 1252, "es_HN"},
    {"Spanish (Nicaragua)", 0x4C0A, 1252, "es_NI"},
    {"Spanish (Puerto Rico)", 0x500A, 1252, "es_PR"},
    {"Swedish (Standard)", 0x041D, 1252, "sv_SE"},
    {"Swedish (Finland)", 0x081D, 1252, "sv_FI"},
    {"Thai", 0x041E, 874, "th_TH"},
    {"Turkish", 0x041F, 1254, "tr_TR"},
    {"Ukranian", 0x0422, 1251, "uk_UA"},
    {"Vietnamese", 0x042A, 1258, "vi_VN"},
}};

constexpr uint16_t kPrimaryGerman = 0x07;
constexpr size_t kMaxSortOrders = 2;

constexpr std::array<const char*, 1> kDefaultSortOrders = {"Default Order"};
constexpr std::array<const char*, 2> kGermanSortOrders = {"Default Order", "German Phone Book Order"};

// DIN 5007-2, the phone-book order Windows uses for German: ä, ö and ü sort as ae, oe
// and ue. The same for every German row: CLDR's Austrian variant of the phonebook
// collation (umlauts as letters of their own) would make one sort name mean two orders.
constexpr const char* kGermanPhoneBookLocale = "de@collation=phonebook";

// Names are ASCII; folding only ASCII letters keeps the answer independent of the C
// library's current locale.
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

// Row positions sorted by LocaleId, for lookups on every comparison.
struct TLocaleIndex {
  std::array<std::pair<uint16_t, uint8_t>, kLanguageCount> Entries{};

  TLocaleIndex() {
    for (size_t row = 0; row < kLanguageCount; ++row) Entries[row] = {kLanguages[row].LocaleId, static_cast<uint8_t>(row)};
    // Stable, so that of two rows with one LocaleId the first row is found.
    std::stable_sort(Entries.begin(), Entries.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
  }

  int Row(uint16_t localeId) const {
    const auto it = std::lower_bound(Entries.begin(), Entries.end(), localeId,
                                     [](const auto& entry, uint16_t key) { return entry.first < key; });
    return it != Entries.end() && it->first == localeId ? it->second : -1;
  }
};

int RowOf(uint16_t localeId) {
  static const TLocaleIndex index;
  return index.Row(localeId);
}

// Whether ICU has locale data for each row's language; computed once.
bool RowIsProvidedByIcu(int row) {
  static const std::array<bool, kLanguageCount> provided = [] {
    std::set<std::string> available;
    const int32_t count = uloc_countAvailable();
    for (int32_t i = 0; i < count; ++i) {
      char language[ULOC_LANG_CAPACITY] = {};
      UErrorCode status = U_ZERO_ERROR;
      uloc_getLanguage(uloc_getAvailable(i), language, sizeof language, &status);
      if (U_SUCCESS(status)) available.insert(language);
    }
    std::array<bool, kLanguageCount> result{};
    for (size_t row = 1; row < kLanguageCount; ++row) {
      char language[ULOC_LANG_CAPACITY] = {};
      UErrorCode status = U_ZERO_ERROR;
      uloc_getLanguage(kLanguages[row].IcuLocale, language, sizeof language, &status);
      result[row] = U_SUCCESS(status) && available.count(language) != 0 && IcuConverterName(kLanguages[row].CodePage) != nullptr;
    }
    return result;
  }();
  return provided[static_cast<size_t>(row)];
}

// The process-wide pool of drivers. A slot is written once, under the mutex, after its
// driver is owned by the pool; readers load it without the lock. Drivers are destroyed
// only when the process ends.
struct TDriverPool {
  std::recursive_mutex Mutex;
  std::array<std::array<std::atomic<const TLanguageDriver*>, kMaxSortOrders>, kLanguageCount> Slots{};
  std::vector<std::unique_ptr<TLanguageDriver>> Drivers;
};

TDriverPool& DriverPool() {
  static TDriverPool pool;
  return pool;
}

TIcuCollator OpenCollator(const std::string& locale, bool caseSensitive) {
  UErrorCode status = U_ZERO_ERROR;
  TIcuCollator collator(ucol_open(locale.c_str(), &status));
  if (U_FAILURE(status) || !collator) return {};
  // Primary strength ignores accents (non-spacing marks) and case; a case level brings
  // case back without bringing accents back. Symbols keep their primary weights (string
  // sort). Normalisation on, because some code pages (1258) spell letters with
  // combining marks.
  ucol_setAttribute(collator.get(), UCOL_STRENGTH, UCOL_PRIMARY, &status);
  ucol_setAttribute(collator.get(), UCOL_CASE_LEVEL, caseSensitive ? UCOL_ON : UCOL_OFF, &status);
  ucol_setAttribute(collator.get(), UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
  ucol_setAttribute(collator.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &status);
  if (U_FAILURE(status)) return {};
  return collator;
}

// Decodes text into a stack buffer when it fits, otherwise into heap.
const UChar* DecodeText(const TLanguageDriver& driver, std::string_view text, UChar* stack, size_t stackSize,
                        std::u16string& heap) {
  UChar* out = stack;
  if (text.size() > stackSize) {
    heap.resize(text.size());
    out = heap.data();
  }
  for (size_t i = 0; i < text.size(); ++i) out[i] = driver.Decode(static_cast<uint8_t>(text[i]));
  return out;
}

}  // namespace

std::span<const TLanguageInfo> LanguageTable() { return kLanguages; }

const TLanguageInfo* FindLanguage(uint16_t localeId) {
  const int row = RowOf(localeId);
  return row < 0 ? nullptr : &kLanguages[static_cast<size_t>(row)];
}

std::span<const char* const> SortOrderNames(uint16_t localeId) {
  if (FindLanguage(localeId) == nullptr) return {};
  if (localeId != 0 && (localeId & 0x3FF) == kPrimaryGerman) return kGermanSortOrders;
  return kDefaultSortOrders;
}

bool IsLanguageName(std::string_view name) {
  return std::any_of(kLanguages.begin(), kLanguages.end(),
                     [&](const TLanguageInfo& row) { return EqualsIgnoringCase(row.Name, name); });
}

uint16_t LanguageIdByName(std::string_view name) {
  for (const TLanguageInfo& row : kLanguages)
    if (EqualsIgnoringCase(row.Name, name)) return row.LocaleId;
  return 0;
}

bool IsSortName(uint16_t localeId, std::string_view name) {
  const auto names = SortOrderNames(localeId);
  return std::any_of(names.begin(), names.end(), [&](const char* sortName) { return EqualsIgnoringCase(sortName, name); });
}

uint16_t SortIdByName(uint16_t localeId, std::string_view name) {
  const auto names = SortOrderNames(localeId);
  for (size_t i = 0; i < names.size(); ++i)
    if (EqualsIgnoringCase(names[i], name)) return static_cast<uint16_t>(i);
  return 0;
}

std::string IcuLocaleName(uint16_t localeId, uint16_t sortId) {
  const TLanguageInfo* language = FindLanguage(localeId);
  if (language == nullptr || localeId == 0 || sortId >= SortOrderNames(localeId).size()) return {};
  return sortId == 1 ? kGermanPhoneBookLocale : language->IcuLocale;
}

bool IsInstalledLocale(uint16_t localeId, uint16_t sortId) {
  const int row = RowOf(localeId);
  if (row <= 0 || sortId >= SortOrderNames(localeId).size()) return false;
  return RowIsProvidedByIcu(row);
}

const TLanguageDriver* TLanguageDriver::Find(uint16_t localeId, uint16_t sortId) {
  const int row = RowOf(localeId);
  if (row <= 0 || sortId >= kMaxSortOrders) return nullptr;
  TDriverPool& pool = DriverPool();
  std::atomic<const TLanguageDriver*>& slot = pool.Slots[static_cast<size_t>(row)][sortId];
  if (const TLanguageDriver* driver = slot.load(std::memory_order_acquire)) return driver;
  if (!IsInstalledLocale(localeId, sortId)) return nullptr;

  std::lock_guard lock(pool.Mutex);
  if (const TLanguageDriver* driver = slot.load(std::memory_order_acquire)) return driver;
  pool.Drivers.push_back(std::make_unique<TLanguageDriver>(kLanguages[static_cast<size_t>(row)], sortId));
  slot.store(pool.Drivers.back().get(), std::memory_order_release);
  return pool.Drivers.back().get();
}

const TLanguageDriver& TLanguageDriver::Get(uint16_t localeId, uint16_t sortId, const TErrorNames& names) {
  const TLanguageDriver* driver = Find(localeId, sortId);
  if (driver == nullptr) RaiseEngineError(KURA_CANNOTLOADLDDRV, names);
  return *driver;
}

TLanguageDriver::TLanguageDriver(const TLanguageInfo& language, uint16_t sortId)
    : FLanguage(language),
      FSortId(sortId),
      FIcuLocale(IcuLocaleName(language.LocaleId, sortId)),
      FCaseMap(language.CodePage, language.IcuLocale) {
  TIcuConverter converter = OpenStrictConverter(IcuConverterName(language.CodePage));
  // Decoding through a byte table needs a single-byte code page; every row has one.
  if (!converter || ucnv_getMaxCharSize(converter.get()) != 1 || FIcuLocale.empty())
    RaiseEngineError(KURA_CANNOTLOADLDDRV);
  for (int b = 0; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    UChar decoded[2];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucnv_toUChars(converter.get(), decoded, 2, &byte, 1, &status);
    FDecode[static_cast<size_t>(b)] = U_SUCCESS(status) && length == 1 ? decoded[0] : UChar(0xFFFD);
  }
  FCaseSensitive = OpenCollator(FIcuLocale, true);
  FCaseInsensitive = OpenCollator(FIcuLocale, false);
  if (!FCaseSensitive || !FCaseInsensitive) RaiseEngineError(KURA_CANNOTLOADLDDRV);
}

int TLanguageDriver::Compare(std::string_view a, std::string_view b, bool caseInsensitive) const {
  constexpr size_t kStackSize = 512;
  UChar stackA[kStackSize];
  UChar stackB[kStackSize];
  std::u16string heapA;
  std::u16string heapB;
  const UChar* textA = DecodeText(*this, a, stackA, kStackSize, heapA);
  const UChar* textB = DecodeText(*this, b, stackB, kStackSize, heapB);
  const UCollator* collator = caseInsensitive ? FCaseInsensitive.get() : FCaseSensitive.get();
  return static_cast<int>(ucol_strcoll(collator, textA, static_cast<int32_t>(a.size()), textB, static_cast<int32_t>(b.size())));
}

int TLanguageDriver::CompareChars(uint8_t a, uint8_t b) const {
  const UChar charA = FDecode[a];
  const UChar charB = FDecode[b];
  return static_cast<int>(ucol_strcoll(FCaseSensitive.get(), &charA, a == 0 ? 0 : 1, &charB, b == 0 ? 0 : 1));
}

}  // namespace kura
