#include "kura/base/collation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "kura/base/language_driver.h"
#include "testing/allocation_counter.h"
#include "testing/engine_error_expect.h"

namespace kura {
namespace {

constexpr uint16_t kEnglish = 0x0409;
constexpr uint16_t kGermanAustrian = 0x0C07;
constexpr uint16_t kFrench = 0x040C;
constexpr uint16_t kSpanishCastilian = 0x040A;
constexpr uint16_t kSpanishModern = 0x0C0A;
constexpr uint16_t kSwedish = 0x041D;
constexpr uint16_t kTurkish = 0x041F;
constexpr uint16_t kRussian = 0x0419;

// Restores the engine's ANSI code page when a test that changes it ends.
class TAnsiCodePageGuard {
public:
  TAnsiCodePageGuard() : FSaved(GetEngineAnsiCodePage()) {}
  ~TAnsiCodePageGuard() { SetEngineAnsiCodePage(FSaved); }

private:
  uint16_t FSaved;
};

struct TCompareCase {
  uint16_t localeId;
  uint16_t sortId;
  const char* a;
  const char* b;
  bool caseInsensitive;
  size_t length;
  int expected;  // the sign
};

void ExpectComparisons(const std::vector<TCompareCase>& cases) {
  for (const TCompareCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.localeId << "/" << c.sortId << " " << testing::PrintToString(c.a)
                                    << " vs " << testing::PrintToString(c.b) << (c.caseInsensitive ? " ci" : " cs")
                                    << " length " << std::dec << c.length);
    EXPECT_EQ(CollateCompare(c.localeId, c.sortId, c.a, c.b, c.caseInsensitive, c.length), c.expected);
    // Swapping the texts swaps the outcome.
    EXPECT_EQ(CollateCompare(c.localeId, c.sortId, c.b, c.a, c.caseInsensitive, c.length), -c.expected);
  }
}

using testing_support::EngineErrorOf;

TEST(CollationTest, ByteOrderWithoutALocale) {
  ExpectComparisons({
      {0, 0, "abc", "abcd", false, 0, -1},
      {0, 0, "B", "a", false, 0, -1},
      {0, 0, "abc", "abc", false, 0, 0},
      {0, 0, "", "a", false, 0, -1},
      {0, 0, "a", "A", true, 0, 0},
      {0, 0, "Apple", "aPPLE", true, 0, 0},
      {0, 0, "B", "a", true, 0, 1},  // case ignored: B after A
      {0, 0, "abc", "ABCD", true, 0, -1},
      // Bytes are unsigned: 0xE9 sorts after every ASCII character.
      {0, 0, "\xE9", "z", false, 0, 1},
      // Byte order ignores the sort identifier.
      {0, 7, "abc", "abd", false, 0, -1},
      // With a length, only that many bytes count, and no text is read beyond its end.
      {0, 0, "abcX", "abcY", false, 3, 0},
      {0, 0, "abcX", "abcY", false, 4, -1},
      {0, 0, "ab", "abc", false, 3, -1},
      {0, 0, "abcX", "ABCy", true, 3, 0},
      {0, 0, "abcX", "ABCy", true, 4, -1},
  });
}

TEST(CollationTest, CaseInsensitiveByteOrderFoldsShiftJisCharactersAsUnits) {
  TAnsiCodePageGuard guard;
  ASSERT_TRUE(SetEngineAnsiCodePage(932));
  ExpectComparisons({
      // Katakana DI (0x83 0x61) and katakana A (0x83 0x41): trail bytes that look like
      // 'a' and 'A' are not letters.
      {0, 0, "\x83\x61", "\x83\x41", true, 0, 1},
      // Full-width a and A are one letter in two cases.
      {0, 0, "\x82\x81", "\x82\x60", true, 0, 0},
      {0, 0, "x\x82\x81y", "X\x82\x60Y", true, 0, 0},
      {0, 0, "x\x82\x81y", "X\x82\x60Y", false, 0, 1},
  });
  // In a single-byte code page the same bytes are two characters each, and the second
  // is a letter.
  ASSERT_TRUE(SetEngineAnsiCodePage(1252));
  EXPECT_EQ(CollateCompare(0, 0, "\x83\x61", "\x83\x41", true, 0), 0);
}

TEST(CollationTest, LocaleComparisonIgnoresMarksAndCaseWhenAsked) {
  ExpectComparisons({
      // Letters with and without accents compare equal, case-sensitive or not.
      {kEnglish, 0, "resume", "r\xE9sum\xE9", false, 0, 0},
      {kEnglish, 0, "resume", "R\xC9SUM\xC9", true, 0, 0},
      {kFrench, 0, "cote", "c\xF4t\xE9", false, 0, 0},
      {kGermanAustrian, 0, "Muller", "M\xFCller", false, 0, 0},
      {kRussian, 0, "\xE5\xEB\xEA\xE0", "\xB8\xEB\xEA\xE0", false, 0, 0},  // ye and yo
      // Case counts unless ignored.
      {kEnglish, 0, "abc", "ABC", true, 0, 0},
      {kEnglish, 0, "abc", "ABC", false, 0, -1},
      {kEnglish, 0, "abc", "abd", false, 0, -1},
      {kEnglish, 0, "b", "A", true, 0, 1},
      // Hyphens and apostrophes sort as ordinary symbols, before letters.
      {kEnglish, 0, "co-op", "coop", false, 0, -1},
      {kEnglish, 0, "it's", "its", false, 0, -1},
      // Letters the language treats as its own: Spanish n with tilde, Swedish a with
      // diaeresis after z.
      {kSpanishModern, 0, "ni\xF1o", "nino", false, 0, 1},
      {kEnglish, 0, "ni\xF1o", "nino", false, 0, 0},
      {kSwedish, 0, "\xE4r", "zebra", false, 0, 1},
      {kEnglish, 0, "\xE4r", "zebra", false, 0, -1},
      // Castilian is the traditional sort: ch is a letter after c.
      {kSpanishCastilian, 0, "chico", "cuna", false, 0, 1},
      {kSpanishModern, 0, "chico", "cuna", false, 0, -1},
      // A prefix sorts first; a length limits both texts.
      {kEnglish, 0, "abc", "abcd", false, 0, -1},
      {kEnglish, 0, "abcX", "abcY", false, 3, 0},
      {kEnglish, 0, "abcX", "ABCY", true, 4, -1},
  });
}

TEST(CollationTest, GermanPhoneBookOrderSortsUmlautsAsTwoLetters) {
  ExpectComparisons({
      // Phone book: u with diaeresis is ue.
      {kGermanAustrian, 1, "M\xFCller", "Mueller", false, 0, 0},
      {kGermanAustrian, 1, "M\xFCller", "Muller", false, 0, -1},
      {kGermanAustrian, 1, "Mueller", "Muller", false, 0, -1},
      {0x0407, 1, "\xC4rger", "Aerger", false, 0, 0},
      {0x0407, 1, "Sch\xF6n", "Schon", true, 0, -1},
      // Default order: the diaeresis is only a mark.
      {kGermanAustrian, 0, "M\xFCller", "Muller", false, 0, 0},
      {kGermanAustrian, 0, "M\xFCller", "Mueller", false, 0, 1},
      {kEnglish, 0, "M\xFCller", "Mueller", false, 0, 1},
  });
  EXPECT_TRUE(IsSortName(kGermanAustrian, "German Phone Book Order"));
  EXPECT_EQ(SortIdByName(kGermanAustrian, "German Phone Book Order"), 1);
  EXPECT_FALSE(IsSortName(kEnglish, "German Phone Book Order"));
  EXPECT_ENGINE_ERROR(KURA_CANNOTLOADLDDRV, CollateCompare(kEnglish, 1, "M\xFCller", "Mueller", false, 0));
}

TEST(CollationTest, SingleCharactersCompareCaseSensitively) {
  struct Case {
    uint16_t localeId;
    char a;
    char b;
    int expected;
  };
  const Case cases[] = {
      {0, 'B', 'a', -1},          {0, 'a', 'a', 0},           {0, '\xE9', 'z', 1},       {0, '\0', 'a', -1},
      {kEnglish, 'a', 'A', -1},   {kEnglish, 'a', 'b', -1},   {kEnglish, 'B', 'a', 1},   {kEnglish, 'a', '\xE1', 0},
      {kEnglish, '1', 'a', -1},   {kSwedish, '\xE4', 'z', 1}, {kEnglish, '\xE4', 'z', -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.localeId << " " << int(uint8_t(c.a)) << " " << int(uint8_t(c.b)));
    EXPECT_EQ(CollateCompareChars(c.localeId, 0, c.a, c.b), c.expected);
    EXPECT_EQ(CollateCompareChars(c.localeId, 0, c.b, c.a), -c.expected);
  }
}

TEST(CollationTest, CaseMappingFollowsTheDriver) {
  TAnsiCodePageGuard guard;
  ASSERT_TRUE(SetEngineAnsiCodePage(932));
  struct Case {
    uint16_t localeId;
    std::string text;
    std::string upper;
    std::string lower;
  };
  const Case cases[] = {
      // LocaleId 0: US English rules in the engine's code page, Shift-JIS by default.
      {0, "abc\x83\x61Z", "ABC\x83\x61Z", "abc\x83\x61z"},
      {0, "\x82\x81\x82\x60", "\x82\x60\x82\x60", "\x82\x81\x82\x81"},
      // Drivers: their own code page and language.
      {kEnglish, "r\xE9sum\xE9", "R\xC9SUM\xC9", "r\xE9sum\xE9"},
      {kTurkish, "istanbul", "\xDDSTANBUL", "istanbul"},
      {kTurkish, "ISPARTA", "ISPARTA", "\xFDsparta"},
      {kRussian, "\xEC\xE8\xF0", "\xCC\xC8\xD0", "\xEC\xE8\xF0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.localeId << " " << testing::PrintToString(c.text));
    std::string upper = c.text;
    UpperCaseText(c.localeId, 0, upper);
    EXPECT_EQ(upper, c.upper);
    std::string lower = c.text;
    LowerCaseText(c.localeId, 0, lower);
    EXPECT_EQ(lower, c.lower);
    // The zero-terminated form maps the same bytes in place.
    std::vector<char> buffer(c.text.begin(), c.text.end());
    buffer.push_back('\0');
    UpperCaseText(c.localeId, 0, buffer.data());
    EXPECT_EQ(std::string(buffer.data()), c.upper);
    // Lowering the upper-cased text gives the lower-case form of the original.
    LowerCaseText(c.localeId, 0, buffer.data());
    EXPECT_EQ(std::string(buffer.data()), c.lower);
  }
}

TEST(CollationTest, EngineAnsiCodePageIsJapaneseUnlessChanged) {
  TAnsiCodePageGuard guard;
  EXPECT_EQ(kDefaultAnsiCodePage, 932);
  ASSERT_TRUE(SetEngineAnsiCodePage(932));
  EXPECT_FALSE(SetEngineAnsiCodePage(437));
  EXPECT_EQ(GetEngineAnsiCodePage(), 932);
  EXPECT_TRUE(SetEngineAnsiCodePage(1252));
  EXPECT_EQ(GetEngineAnsiCodePage(), 1252);
  EXPECT_EQ(EngineAnsiCaseMap().CodePage(), 1252);
  // In 1252, 0x83 is a character of its own and the 'a' after it is a letter.
  std::string text = "\x83" "a";
  UpperCaseText(0, 0, text);
  EXPECT_EQ(text, "\x83" "A");
}

TEST(CollationTest, AnInvalidDriverCannotBeLoaded) {
  const std::pair<uint16_t, uint16_t> pairs[] = {{kEnglish, 1}, {0x0411, 0}, {0x0407, 2}, {0x1234, 0}};
  for (const auto& [localeId, sortId] : pairs) {
    SCOPED_TRACE(testing::Message() << std::hex << localeId << "/" << sortId);
    const auto expectRaises = [](const std::function<void()>& action) {
      EXPECT_ENGINE_ERROR(KURA_CANNOTLOADLDDRV, action());
    };
    expectRaises([&] { CollateCompare(localeId, sortId, "a", "b", false, 0); });
    expectRaises([&] { CollateCompareChars(localeId, sortId, 'a', 'b'); });
    expectRaises([&] {
      std::string text = "a";
      UpperCaseText(localeId, sortId, text);
    });
    expectRaises([&] { GetSortOrderTable(localeId, sortId); });
    const auto error = EngineErrorOf(
        [&] { CheckLanguageDriver(localeId, sortId, {.DatabaseName = "/work/DBtavimo", .TableName = "temazu"}); });
    ASSERT_TRUE(error) << "no engine error was raised";
    EXPECT_EQ(error->ErrorCode, KURA_CANNOTLOADLDDRV);
    EXPECT_EQ(error->ErrorTableName, "temazu");
    EXPECT_EQ(error->ErrorDatabaseName, "/work/DBtavimo");
    EXPECT_STREQ(error->what(),
                 "Kura Engine Error # 15878 The language driver for the table 'temazu' is not available or installed");
  }
  // Byte order needs no driver, whatever the sort identifier; installed pairs pass.
  EXPECT_NO_THROW(CheckLanguageDriver(0, 0, {.TableName = "t"}));
  EXPECT_NO_THROW(CheckLanguageDriver(0, 3, {.TableName = "t"}));
  EXPECT_NO_THROW(CheckLanguageDriver(kEnglish, 0, {.TableName = "t"}));
  EXPECT_NO_THROW(CheckLanguageDriver(kGermanAustrian, 1, {.TableName = "t"}));
}

TEST(CollationTest, SortOrderTablesAreMadeOncePerDriver) {
  TLanguageCharMapsList list;
  EXPECT_EQ(list.Count(), 0u);
  const TSortOrderTable bytes = list.Get(0, 0);
  TSortOrderTable identity;
  std::iota(identity.begin(), identity.end(), uint8_t{0});
  EXPECT_EQ(bytes, identity);
  EXPECT_EQ(list.Count(), 1u);
  const TSortOrderTable english = list.Get(kEnglish, 0);
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.Get(kEnglish, 0), english);
  EXPECT_EQ(list.Get(0, 0), identity);
  EXPECT_EQ(list.Count(), 2u) << "a pair asked for twice is not made again";
  EXPECT_EQ(list.Get(kGermanAustrian, 1), MakeSortOrderTable(kGermanAustrian, 1));
  EXPECT_EQ(list.Count(), 3u);
  EXPECT_EQ(GetSortOrderTable(kEnglish, 0), english);
}

TEST(CollationTest, SortOrderTableListsEveryCodeInCollationOrder) {
  for (const auto& [localeId, sortId] : {std::pair<uint16_t, uint16_t>{kEnglish, 0}, {kSwedish, 0}, {kRussian, 0},
                                         {kGermanAustrian, 1}, {0x041E, 0}}) {
    SCOPED_TRACE(testing::Message() << std::hex << localeId << "/" << sortId);
    const TSortOrderTable table = GetSortOrderTable(localeId, sortId);
    TSortOrderTable sorted = table;
    std::sort(sorted.begin(), sorted.end());
    TSortOrderTable identity;
    std::iota(identity.begin(), identity.end(), uint8_t{0});
    EXPECT_EQ(sorted, identity) << "every code exactly once";
    for (size_t i = 1; i < table.size(); ++i)
      EXPECT_LE(CollateCompareChars(localeId, sortId, char(table[i - 1]), char(table[i])), 0) << i;
  }
  const TSortOrder english(kEnglish, 0);
  EXPECT_LT(english.Position('1'), english.Position('a'));
  EXPECT_LT(english.Position('a'), english.Position('b'));
  EXPECT_LT(english.Position('\xE4'), english.Position('b'));
  const TSortOrder swedish(kSwedish, 0);
  EXPECT_GT(swedish.Position(0xE4), swedish.Position('z'));
}

TEST(CollationTest, KeyRangeQuestionsOnTheSortOrder) {
  const TSortOrder bytes(0, 0);
  EXPECT_EQ(bytes.Lowest(), 0);
  EXPECT_EQ(bytes.Highest(), 255);
  EXPECT_TRUE(bytes.IsLowest(0));
  EXPECT_FALSE(bytes.IsLowest(1));
  EXPECT_TRUE(bytes.IsHighest(255));
  EXPECT_EQ(bytes.Position('a'), size_t('a'));
  EXPECT_EQ(bytes.Previous('b'), 'a');
  EXPECT_EQ(bytes.Next('a'), 'b');
  EXPECT_EQ(bytes.Previous(0), 0) << "nothing before the lowest";
  EXPECT_EQ(bytes.Next(255), 255) << "nothing after the highest";

  const TSortOrder english(kEnglish, 0);
  EXPECT_TRUE(english.IsLowest(english.Lowest()));
  EXPECT_TRUE(english.IsHighest(english.Highest()));
  EXPECT_TRUE(english.IsLowest(0)) << "the zero character is the empty text, lowest of all";
  for (const uint8_t c : {uint8_t('a'), uint8_t('M'), uint8_t('5'), uint8_t(0xE9)}) {
    SCOPED_TRACE(int(c));
    EXPECT_EQ(english.Table()[english.Position(c)], c);
    const uint8_t next = english.Next(c);
    const uint8_t previous = english.Previous(c);
    EXPECT_GT(CollateCompareChars(kEnglish, 0, char(next), char(c)), 0);
    EXPECT_LT(CollateCompareChars(kEnglish, 0, char(previous), char(c)), 0);
    // Everything between the neighbours compares equal to c.
    for (size_t i = english.Position(previous) + 1; i < english.Position(next); ++i)
      EXPECT_EQ(CollateCompareChars(kEnglish, 0, char(english.Table()[i]), char(c)), 0) << i;
  }
  // a and its accented forms are equal: the next character after a is not one of them.
  EXPECT_NE(CollateCompareChars(kEnglish, 0, char(english.Next('a')), '\xE1'), 0);
}

TEST(CollationTest, ComparingAndMappingFieldTextsAllocatesNothing) {
  ASSERT_TRUE(testing_support::IcuAllocationsCounted());
  TAnsiCodePageGuard guard;
  ASSERT_TRUE(SetEngineAnsiCodePage(932));
  // Field strings are at most 250 bytes.
  const std::string longA(250, 'q');
  std::string longB = longA;
  longB[249] = 'Q';
  char text[] = "m\xFCller \x83\x61 \x82\x81";
  // The first use of each driver makes it; everything after must come for free.
  CollateCompare(kGermanAustrian, 1, "a", "b", true, 0);
  CollateCompare(kEnglish, 0, "a", "b", true, 0);
  CollateCompare(0, 0, "a", "b", true, 0);
  UpperCaseText(kGermanAustrian, 1, text);
  const long before = testing_support::AllocationCount();
  int sum = 0;
  for (int i = 0; i < 100; ++i) {
    sum += CollateCompare(kGermanAustrian, 1, "M\xFCller", "Mueller", i % 2 == 0, 0);
    sum += CollateCompare(kEnglish, 0, longA.c_str(), longB.c_str(), i % 2 == 0, 0);
    sum += CollateCompare(kEnglish, 0, "r\xE9sum\xE9", "RESUME", false, 4);
    sum += CollateCompare(0, 0, longA.c_str(), longB.c_str(), true, 0);
    sum += CollateCompare(0, 0, "x\x82\x81y", "X\x82\x60Y", true, 0);
    sum += CollateCompareChars(kEnglish, 0, 'a', 'B');
    UpperCaseText(0, 0, text);
    LowerCaseText(kGermanAustrian, 1, text);
  }
  const long allocations = testing_support::AllocationCount() - before;
  EXPECT_EQ(allocations, 0);
  EXPECT_NE(sum, 0);
}

TEST(CollationTest, TablesKeepTheirTextInTheirLanguagesCodePage) {
  TAnsiCodePageGuard guard;
  ASSERT_TRUE(SetEngineAnsiCodePage(932));
  EXPECT_EQ(TextCodePage(0), 932);
  EXPECT_EQ(TextCodePage(kEnglish), 1252);
  EXPECT_EQ(TextCodePage(kRussian), 1251);
  EXPECT_EQ(TextCodePage(kTurkish), 1254);
  EXPECT_EQ(TextCodePage(0x041E), 874);
  EXPECT_EQ(TextCodePage(0x0411), 0);
  ASSERT_TRUE(SetEngineAnsiCodePage(1250));
  EXPECT_EQ(TextCodePage(0), 1250);
}

TEST(CollationTest, DriversAndTablesAreSharedSafelyBetweenThreads) {
  const uint16_t pairs[][2] = {{kFrench, 0}, {0x0407, 1}, {0x0415, 0}, {0x0408, 0}};
  std::vector<std::vector<TSortOrderTable>> seen(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (const auto& pair : pairs) {
        seen[t].push_back(GetSortOrderTable(pair[0], pair[1]));
        if (CollateCompare(pair[0], pair[1], "abc", "ABD", true, 0) >= 0) seen[t].clear();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < 4; ++t) {
    ASSERT_EQ(seen[t].size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(seen[t][i], MakeSortOrderTable(pairs[i][0], pairs[i][1]));
  }
}

}  // namespace
}  // namespace kura
