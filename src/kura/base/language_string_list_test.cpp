#include "kura/base/language_string_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kura/base/engine_error.h"
#include "testing/engine_error_expect.h"

namespace kura {
namespace {

std::vector<std::string> Contents(const TLanguageStringList& list) {
  std::vector<std::string> result;
  for (size_t i = 0; i < list.Count(); ++i) result.push_back(list.Strings(i));
  return result;
}

TEST(LanguageStringListTest, KeepsStringsInTheDriversOrderIgnoringCase) {
  struct Case {
    uint16_t localeId;
    uint16_t sortId;
    std::vector<std::string> added;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {0, 0, {"pear", "Apple", "banana", "apple"}, {"Apple", "banana", "pear"}},
      {0x0409, 0, {"zebra", "\xE4pple", "Bear"}, {"\xE4pple", "Bear", "zebra"}},
      {0x041D, 0, {"zebra", "\xE4pple", "Bear"}, {"Bear", "zebra", "\xE4pple"}},
      {0x0C07, 1, {"Muller", "M\xFCller", "Mueller", "Mahler"}, {"Mahler", "M\xFCller", "Muller"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.localeId << "/" << c.sortId);
    TLanguageStringList list(c.localeId, c.sortId);
    for (const std::string& s : c.added) list.Add(s);
    EXPECT_EQ(Contents(list), c.expected);
  }
}

TEST(LanguageStringListTest, DuplicatesAreIgnoredOrKeptAsTheOwnerAsks) {
  TLanguageStringList unique(0, 0);
  EXPECT_EQ(unique.Add("word", 1), 0u);
  EXPECT_EQ(unique.Add("other", 2), 0u);
  EXPECT_EQ(unique.Add("WORD", 3), 1u) << "the existing entry's index";
  EXPECT_EQ(unique.Count(), 2u);
  EXPECT_EQ(unique.Objects(1), 1) << "the existing entry keeps its value";
  unique.SetObject(1, unique.Objects(1) + 1);
  EXPECT_EQ(unique.Objects(1), 2);

  TLanguageStringList all(0, 0, true);
  all.Add("b", 1);
  all.Add("a", 2);
  all.Add("B", 3);
  all.Add("b", 4);
  EXPECT_EQ(Contents(all), (std::vector<std::string>{"a", "b", "B", "b"}));
  EXPECT_EQ(all.Objects(1), 1);
  EXPECT_EQ(all.Objects(2), 3);
  EXPECT_EQ(all.Objects(3), 4);
  size_t index = 99;
  EXPECT_TRUE(all.Find("B", index));
  EXPECT_EQ(index, 1u) << "the first of several equal entries";
  all.Delete(1);
  EXPECT_EQ(Contents(all), (std::vector<std::string>{"a", "B", "b"}));
  EXPECT_THROW(all.Delete(3), std::out_of_range);
  all.Clear();
  EXPECT_EQ(all.Count(), 0u);
}

TEST(LanguageStringListTest, FindGivesTheEntryOrTheInsertionPosition) {
  TLanguageStringList list(0x0409, 0);
  for (const char* s : {"delta", "alpha", "charlie", "bravo", "\xE9" "cho"}) list.Add(s);
  // alpha bravo charlie delta echo(accented)
  struct Case {
    const char* s;
    bool found;
    size_t index;
  };
  const Case cases[] = {
      {"alpha", true, 0}, {"ALPHA", true, 0},   {"Charlie", true, 2}, {"echo", true, 4}, {"aardvark", false, 0},
      {"b", false, 1},    {"delta2", false, 4}, {"zulu", false, 5},   {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.s);
    size_t index = 99;
    EXPECT_EQ(list.Find(c.s, index), c.found);
    EXPECT_EQ(index, c.index);
  }
}

TEST(LanguageStringListTest, FindPrefixComparesOnlyTheFirstCharactersFromAStart) {
  TLanguageStringList list(0, 0);
  for (const char* s : {"go", "goban", "gote", "hane", "ko", "komi", "sente"}) list.Add(s);
  struct Case {
    const char* s;
    size_t start;
    size_t length;
    bool found;
    size_t index;
  };
  const Case cases[] = {
      {"go", 0, 2, true, 0},       // go, goban and gote all begin with go: the first
      {"GOX", 0, 2, true, 0},      // only two characters of the key count too
      {"go", 1, 2, true, 1},       // from entry 1 on
      {"go", 3, 2, false, 3},      // nothing from hane on begins with go
      {"kom", 0, 3, true, 5},      // ko is shorter than three characters
      {"ko", 0, 2, true, 4},       //
      {"sa", 0, 2, false, 6},      //
      {"zz", 0, 2, false, 7},      //
      {"go", 9, 2, false, 7},      // a start beyond the end is the end
      {"goban", 0, 0, true, 1},    // length 0: whole texts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.s << " from " << c.start << " length " << c.length);
    size_t index = 99;
    EXPECT_EQ(list.FindPrefix(c.s, c.start, c.length, index), c.found);
    EXPECT_EQ(index, c.index);
  }
}

TEST(LanguageStringListTest, AListOfAnUninstalledDriverCannotCompare) {
  TLanguageStringList list(0x0411, 0);
  EXPECT_NO_THROW(list.Add("first"));
  EXPECT_ENGINE_ERROR(KURA_CANNOTLOADLDDRV, list.Add("second"));
}

}  // namespace
}  // namespace kura
