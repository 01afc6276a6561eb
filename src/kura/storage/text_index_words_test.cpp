#include "kura/storage/text_index_words.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace kura {
namespace {

TWordRules AsciiRules() {
  TWordRules rules;
  rules.UpperCase = [](std::string& w) {
    for (char& c : w) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  };
  rules.Compare = [](const std::string& a, const std::string& b) { return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1); };
  return rules;
}

std::vector<std::string> Words(const std::vector<TTextWord>& words) {
  std::vector<std::string> out;
  for (const auto& w : words) out.push_back(w.Word);
  return out;
}

TEST(TextIndexWords, DefaultsSplitOnSpacesAndDropStopWords) {
  const auto p = DefaultTextIndexParameters();
  EXPECT_TRUE(InCharSet(p.SpaceChars, ' '));
  EXPECT_TRUE(InCharSet(p.SpaceChars, 1));
  EXPECT_TRUE(InCharSet(p.SpaceChars, '`'));
  EXPECT_FALSE(InCharSet(p.SpaceChars, 0));
  EXPECT_TRUE(InCharSet(p.IncludeChars, '_'));
  EXPECT_TRUE(InCharSet(p.IncludeChars, 254));
  EXPECT_FALSE(InCharSet(p.IncludeChars, 255));
  const auto ordered = SplitWords("The black stone, IS in atari! black-stone", p, AsciiRules(), false, false);
  EXPECT_EQ(Words(ordered), (std::vector<std::string>{"BLACK", "STONE", "ATARI", "BLACK", "STONE"}));
  EXPECT_EQ(ordered[0].Position, 4u);
  EXPECT_EQ(ordered[2].Position, 23u);
  const auto sorted = SplitWords("The black stone, IS in atari! black-stone", p, AsciiRules(), false, true);
  EXPECT_EQ(Words(sorted), (std::vector<std::string>{"ATARI", "BLACK", "STONE"}));
  EXPECT_EQ(sorted[1].Count, 2u);
}

TEST(TextIndexWords, LongWordsKeepTheirFirst60CharactersAndWildcards) {
  const auto p = DefaultTextIndexParameters();
  const std::string longWord(75, 'q');
  const auto words = SplitWords(longWord + " x", p, AsciiRules(), false, false);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0].Word, std::string(60, 'Q'));
  EXPECT_EQ(Words(SplitWords("sto*ne", p, AsciiRules(), true, false)), (std::vector<std::string>{"STO*NE"}));
  EXPECT_EQ(Words(SplitWords("sto*ne", p, AsciiRules(), false, false)), (std::vector<std::string>{"STO", "NE"}));
  // Characters in neither set are skipped inside a word.
  EXPECT_EQ(Words(SplitWords("ko!sa", p, AsciiRules(), false, false)), (std::vector<std::string>{"KOSA"}));
}

TEST(TextIndexWords, TableRulesUpperCaseAndCollate) {
  const TWordRules rules = WordRulesFor(0, 0);
  EXPECT_EQ(Words(SplitWords("the Tesuji and the ko", DefaultTextIndexParameters(), rules, false, true)),
            (std::vector<std::string>{"KO", "TESUJI"}));
}

TEST(TextIndexWords, TextIndexKeysOnePerDistinctWord) {
  const auto keys = BuildTextIndexKeys(2, "ko ko the Seki", 9, DefaultTextIndexParameters(), WordRulesFor(0, 0));
  ASSERT_EQ(keys.size(), 2u);
  const std::vector<uint8_t> head{1, 0, 2, 'K', 'O', 0};
  EXPECT_EQ(std::vector<uint8_t>(keys[0].begin(), keys[0].begin() + 6), head);
  EXPECT_EQ(keys[1][3], 'S');
  EXPECT_EQ(std::vector<uint8_t>(keys[1].end() - 4, keys[1].end()), (std::vector<uint8_t>{0x80, 0, 0, 9}));
}

TEST(TextIndexWords, ParameterStreamPlacesItemsWholeInPages) {
  TTextIndexParameters p = DefaultTextIndexParameters();
  p.StopWords.push_back(std::string(30, 'Z'));
  const auto pages = EncodeTextParameters(p, 64);
  ASSERT_GT(pages.size(), 2u);
  for (const auto& page : pages) EXPECT_EQ(page.size(), 64u);
  size_t next = 0;
  TTextIndexParameters back;
  ASSERT_TRUE(DecodeTextParameters([&]() -> const std::vector<uint8_t>* {
    return next < pages.size() ? &pages[next++] : nullptr;
  }, back));
  EXPECT_EQ(back.StopWords, p.StopWords);
  EXPECT_EQ(back.SpaceChars, p.SpaceChars);
  EXPECT_EQ(back.IncludeChars, p.IncludeChars);
  // A stream cut short is malformed.
  next = 0;
  EXPECT_FALSE(DecodeTextParameters([&]() -> const std::vector<uint8_t>* {
    return next < 1 ? &pages[next++] : nullptr;
  }, back));
}

}  // namespace
}  // namespace kura
