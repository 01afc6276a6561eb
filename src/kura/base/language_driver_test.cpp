#include "kura/base/language_driver.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "testing/engine_error_expect.h"

namespace kura {
namespace {

TEST(LanguageDriverTest, TheTableHasItsRowsInOrderWithUniqueIdentifiers) {
  const auto table = LanguageTable();
  ASSERT_EQ(table.size(), 99u);
  EXPECT_STREQ(table.front().Name, "ANSI Standard");
  EXPECT_EQ(table.front().LocaleId, 0);
  EXPECT_STREQ(table[1].Name, "Afrikaans");
  EXPECT_STREQ(table[28].Name, "English (USA)");
  EXPECT_STREQ(table[48].Name, "German (Standard)");
  EXPECT_STREQ(table[97].Name, "Ukranian");
  EXPECT_STREQ(table.back().Name, "Vietnamese");
  std::set<uint16_t> ids;
  std::set<std::string> names;
  for (const TLanguageInfo& row : table) {
    EXPECT_TRUE(ids.insert(row.LocaleId).second) << row.Name;
    EXPECT_TRUE(names.insert(row.Name).second) << row.Name;
  }
}

TEST(LanguageDriverTest, StandardIdentifiersOfNamedLanguages) {
  const std::pair<const char*, uint16_t> cases[] = {
      {"ANSI Standard", 0x0000},          {"English (USA)", 0x0409},         {"English (UK)", 0x0809},
      {"German (Standard)", 0x0407},      {"French (Canadian)", 0x0C0C},     {"Portuguese (Standard)", 0x0816},
      {"Portuguese (Brazilian)", 0x0416}, {"Spanish (Castilian)", 0x040A},   {"Spanish (Modern)", 0x0C0A},
      {"Arabic (Qatar)", 0x4001},         {"German (Austrian)", 0x0C07},     {"Serbian (Cyrillic)", 0x0C1A},
      {"Spanish (Puerto Rico)", 0x500A},  {"Norwegian (Nynorsk)", 0x0814},   {"Thai", 0x041E},
  };
  for (const auto& [name, id] : cases) {
    EXPECT_TRUE(IsLanguageName(name)) << name;
    EXPECT_EQ(LanguageIdByName(name), id) << name;
    ASSERT_NE(FindLanguage(id), nullptr) << name;
    EXPECT_STREQ(FindLanguage(id)->Name, name);
  }
}

TEST(LanguageDriverTest, EveryRowAgreesWithItsLocaleAndCodePage) {
  // Primary language identifier (bits 0 to 9) -> ICU language and ANSI code page.
  const std::map<uint16_t, std::pair<std::string, uint16_t>> primary = {
      {0x36, {"af", 1252}}, {0x1C, {"sq", 1250}}, {0x01, {"ar", 1256}}, {0x2D, {"eu", 1252}}, {0x23, {"be", 1251}},
      {0x02, {"bg", 1251}}, {0x03, {"ca", 1252}}, {0x05, {"cs", 1250}}, {0x06, {"da", 1252}}, {0x13, {"nl", 1252}},
      {0x09, {"en", 1252}}, {0x25, {"et", 1257}}, {0x38, {"fo", 1252}}, {0x29, {"fa", 1256}}, {0x0B, {"fi", 1252}},
      {0x0C, {"fr", 1252}}, {0x07, {"de", 1252}}, {0x08, {"el", 1253}}, {0x0D, {"he", 1255}}, {0x0E, {"hu", 1250}},
      {0x0F, {"is", 1252}}, {0x21, {"id", 1252}}, {0x10, {"it", 1252}}, {0x26, {"lv", 1257}}, {0x27, {"lt", 1257}},
      {0x15, {"pl", 1250}}, {0x16, {"pt", 1252}}, {0x18, {"ro", 1250}}, {0x19, {"ru", 1251}}, {0x1B, {"sk", 1250}},
      {0x24, {"sl", 1250}}, {0x0A, {"es", 1252}}, {0x1D, {"sv", 1252}}, {0x1E, {"th", 874}}, {0x1F, {"tr", 1254}},
      {0x22, {"uk", 1251}}, {0x2A, {"vi", 1258}},
  };
  for (const TLanguageInfo& row : LanguageTable()) {
    if (row.LocaleId == 0) continue;
    SCOPED_TRACE(row.Name);
    const std::string locale = row.IcuLocale;
    const uint16_t language = row.LocaleId & 0x3FF;
    if (language == 0x1A) {  // Croatian and Serbian share the primary identifier
      const bool cyrillic = row.LocaleId == 0x0C1A;
      EXPECT_EQ(row.CodePage, cyrillic ? 1251 : 1250);
      EXPECT_EQ(locale.substr(0, 2), row.LocaleId == 0x041A ? "hr" : "sr");
    } else if (language == 0x14) {  // Norwegian: Bokmal and Nynorsk
      EXPECT_EQ(row.CodePage, 1252);
      EXPECT_EQ(locale.substr(0, 2), row.LocaleId == 0x0414 ? "nb" : "nn");
    } else {
      ASSERT_EQ(primary.count(language), 1u) << std::hex << row.LocaleId;
      EXPECT_EQ(locale.substr(0, locale.find('_')), primary.at(language).first);
      EXPECT_EQ(row.CodePage, primary.at(language).second);
    }
    EXPECT_NE(IcuConverterName(row.CodePage), nullptr);
  }
}

TEST(LanguageDriverTest, NamesCompareWithoutRegardToCase) {
  EXPECT_EQ(LanguageIdByName("english (usa)"), 0x0409);
  EXPECT_EQ(LanguageIdByName("GERMAN (AUSTRIAN)"), 0x0C07);
  EXPECT_TRUE(IsLanguageName("ansi standard"));
  for (const char* unknown : {"Klingon", "English", "English (USA) ", ""}) {
    EXPECT_FALSE(IsLanguageName(unknown)) << unknown;
    EXPECT_EQ(LanguageIdByName(unknown), 0) << unknown;
  }
}

TEST(LanguageDriverTest, SortOrdersOfEachLanguage) {
  struct Case {
    uint16_t localeId;
    const char* name;
    bool isSortName;
    uint16_t sortId;
  };
  const Case cases[] = {
      {0x0C07, "German Phone Book Order", true, 1}, {0x0C07, "german phone book order", true, 1},
      {0x0407, "German Phone Book Order", true, 1}, {0x1407, "German Phone Book Order", true, 1},
      {0x0409, "German Phone Book Order", false, 0}, {0x0000, "German Phone Book Order", false, 0},
      {0x0409, "Default Order", true, 0},           {0x0C07, "DEFAULT ORDER", true, 0},
      {0x0000, "Default Order", true, 0},           {0x041E, "Default Order", true, 0},
      {0x0409, "Binary Order", false, 0},           {0x0411, "Default Order", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.localeId << " " << c.name);
    EXPECT_EQ(IsSortName(c.localeId, c.name), c.isSortName);
    EXPECT_EQ(SortIdByName(c.localeId, c.name), c.sortId);
  }
  for (const TLanguageInfo& row : LanguageTable()) {
    const bool german = std::string(row.Name).starts_with("German");
    EXPECT_EQ(SortOrderNames(row.LocaleId).size(), german ? 2u : 1u) << row.Name;
  }
}

TEST(LanguageDriverTest, InstalledLocalesAreTheRowsIcuProvides) {
  for (const TLanguageInfo& row : LanguageTable()) {
    if (row.LocaleId == 0) continue;
    SCOPED_TRACE(row.Name);
    EXPECT_TRUE(IsInstalledLocale(row.LocaleId, 0));
    EXPECT_EQ(IsInstalledLocale(row.LocaleId, 1), SortOrderNames(row.LocaleId).size() == 2);
    const TLanguageDriver* driver = TLanguageDriver::Find(row.LocaleId, 0);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->LocaleId(), row.LocaleId);
    EXPECT_EQ(driver->CodePage(), row.CodePage);
    EXPECT_EQ(driver->IcuLocale(), row.IcuLocale);
    EXPECT_EQ(TLanguageDriver::Find(row.LocaleId, 0), driver) << "drivers are pooled";
  }
  const std::pair<uint16_t, uint16_t> missing[] = {{0x0000, 0}, {0x0409, 1}, {0x0407, 2}, {0x0411, 0}, {0x0804, 0},
                                                   {0x0009, 0}, {0xFFFF, 0}};
  for (const auto& [localeId, sortId] : missing) {
    EXPECT_FALSE(IsInstalledLocale(localeId, sortId)) << std::hex << localeId << " " << sortId;
    EXPECT_EQ(TLanguageDriver::Find(localeId, sortId), nullptr) << std::hex << localeId << " " << sortId;
  }
}

TEST(LanguageDriverTest, IcuLocalesOfSpecialSortOrders) {
  EXPECT_EQ(IcuLocaleName(0x0C07, 1), "de@collation=phonebook");
  EXPECT_EQ(IcuLocaleName(0x0407, 1), "de@collation=phonebook");
  EXPECT_EQ(IcuLocaleName(0x0C07, 0), "de_AT");
  EXPECT_EQ(IcuLocaleName(0x040A, 0), "es_ES@collation=traditional");
  EXPECT_EQ(IcuLocaleName(0x0C0A, 0), "es_ES");
  EXPECT_EQ(IcuLocaleName(0x0409, 1), "");
  EXPECT_EQ(IcuLocaleName(0x0000, 0), "");
}

TEST(LanguageDriverTest, GetRaisesCannotLoadWithTheTableName) {
  const auto error = testing_support::EngineErrorOf(
      [] { TLanguageDriver::Get(0x0411, 0, {.DatabaseName = "/data/DBtavimo", .TableName = "tejun"}); });
  ASSERT_TRUE(error) << "Japanese is not a row of the table";
  EXPECT_EQ(error->ErrorCode, KURA_CANNOTLOADLDDRV);
  EXPECT_STREQ(error->what(),
               "Kura Engine Error # 15878 The language driver for the table 'tejun' is not available or installed");
}

TEST(LanguageDriverTest, DriversDecodeTheirCodePage) {
  struct Case {
    uint16_t localeId;
    uint8_t byte;
    UChar expected;
  };
  const Case cases[] = {
      {0x0409, 'A', u'A'},      {0x0409, 0x80, u'\u20AC'}, {0x0409, 0xFC, u'\u00FC'}, {0x0419, 0xC0, u'\u0410'},
      {0x0408, 0xC1, u'\u0391'}, {0x041F, 0xDD, u'\u0130'}, {0x040D, 0xE0, u'\u05D0'}, {0x0401, 0xC7, u'\u0627'},
      {0x0425, 0xD0, u'\u0160'}, {0x041E, 0xA1, u'\u0E01'}, {0x042A, 0xD2, u'\u0309'}, {0x0415, 0xA3, u'\u0141'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TLanguageDriver::Get(c.localeId, 0).Decode(c.byte), c.expected)
        << std::hex << c.localeId << " " << int(c.byte);
  }
}

}  // namespace
}  // namespace kura
