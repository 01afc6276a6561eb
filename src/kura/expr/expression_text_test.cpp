#include "kura/expr/expression_text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "kura/expr/exp_token.h"
#include "kura/expr/expression_parser.h"

namespace kura {
namespace {

constexpr TTextCollation kBytes{0, 0};

struct TLikeCase {
  std::string_view Text;
  std::string_view Pattern;
  bool Match;
};

TEST(ExpressionTextTest, LikeMatchesPercentAndUnderscore) {
  const TLikeCase cases[] = {
      {"abc", "a_c", true},      {"abbc", "a_c", false},   {"ac", "a%c", true},       {"abbbc", "a%c", true},
      {"ab", "a%c", false},      {"abc", "%", true},       {"", "%", true},           {"abc", "abc", true},
      {"abc", "ab", false},      {"ab", "abc", false},     {"abc", "%c", true},       {"abc", "%b", false},
      {"abcbc", "%bc", true},    {"aXbXc", "a%b%c", true}, {"abcabd", "a%d", true},   {"mississippi", "%iss%pi", true},
      {"abc", "___", true},      {"abc", "____", false},   {"abc", "a%%%", true},     {"abc", "A%", false},
      {"a%c", "a%c", true},      {"axxbyyc", "a%b_%c", true}, {"abc", "_%_", true},   {"a", "_%_", false},
      // A literal between two '%' (a substring search for byte comparison).
      {"note xy here", "%xy%", true}, {"xy", "%xy%", true}, {"x y", "%xy%", false}, {"", "%xy%", false},
      {"abc", "%%", true},       {"", "%%", true},          {"aXYb", "%xy%", false},   {"abcd", "%bc%", true},
  };
  for (const TLikeCase& c : cases)
    EXPECT_EQ(LikeMatch(kBytes, c.Text, c.Pattern), c.Match) << c.Text << " LIKE " << c.Pattern;
}

TEST(ExpressionTextTest, LikeIgnoresCaseOnlyWhenAsked) {
  EXPECT_FALSE(LikeMatch(kBytes, "ABC", "a_c"));
  EXPECT_TRUE(LikeMatch(kBytes, "ABC", "a_c", true));
  EXPECT_TRUE(LikeMatch(kBytes, "Smith", "sm%", true));
}

TEST(ExpressionTextTest, LikeUnderADriverComparesCharactersWithItsCollation) {
  // English (USA), Windows-1252: accents are ignored, case is not.
  const TTextCollation english{0x0409, 0};
  EXPECT_TRUE(LikeMatch(english, "caf\xE9", "cafe"));
  EXPECT_FALSE(LikeMatch(english, "CAFE", "cafe"));
  EXPECT_FALSE(LikeMatch(kBytes, "caf\xE9", "cafe"));
}

TEST(ExpressionTextTest, LikePrefixLengthRecognisesOnlyTrailingPercent) {
  EXPECT_EQ(LikePrefixLength("ab%"), 2u);
  EXPECT_EQ(LikePrefixLength("ab%%%"), 2u);
  EXPECT_EQ(LikePrefixLength("%"), 0u);
  EXPECT_EQ(LikePrefixLength("%ab"), 0u);
  EXPECT_EQ(LikePrefixLength("a%b%"), 0u);
  EXPECT_EQ(LikePrefixLength("a_%"), 0u);
  EXPECT_EQ(LikePrefixLength("abc"), 0u);
}

TEST(ExpressionTextTest, PrefixComparisonComparesLeadingCharacters) {
  EXPECT_EQ(CompareTextPrefix(kBytes, "Smith", "Sm", 2, false), 0);
  EXPECT_NE(CompareTextPrefix(kBytes, "S", "Sm", 2, false), 0);
  EXPECT_NE(CompareTextPrefix(kBytes, "smith", "Sm", 2, false), 0);
  EXPECT_EQ(CompareTextPrefix(kBytes, "smith", "Sm", 2, true), 0);
  EXPECT_LT(CompareTextPrefix(kBytes, "Smith", "Smithson", 0, false), 0);
  EXPECT_GT(CompareTextPrefix(kBytes, "b", "a", 0, false), 0);
}

TEST(ExpressionTextTest, SubstringFollowsItsBounds) {
  EXPECT_EQ(SubstringOf("hello", 2, true, 3), "ell");
  EXPECT_EQ(SubstringOf("hello", 0, false, 0), "hello");
  EXPECT_EQ(SubstringOf("hello", -5, true, 2), "he");
  EXPECT_EQ(SubstringOf("hello", 4, false, 0), "lo");
  EXPECT_EQ(SubstringOf("hello", 4, true, 10), "lo");
  EXPECT_EQ(SubstringOf("hello", 2, true, -1), "");
  EXPECT_EQ(SubstringOf("hello", 6, false, 0), "");
  EXPECT_EQ(SubstringOf("hello", INT64_MAX, true, INT64_MAX), "");
}

TEST(ExpressionTextTest, TrimRemovesRunsOfOneCharacter) {
  EXPECT_EQ(TrimText("xxabcxx", 'x', TTrimMode::Leading), "abcxx");
  EXPECT_EQ(TrimText("xxabcxx", 'x', TTrimMode::Trailing), "xxabc");
  EXPECT_EQ(TrimText("xxabcxx", 'x', TTrimMode::Both), "abc");
  EXPECT_EQ(TrimText("xxxx", 'x', TTrimMode::Both), "");
  EXPECT_EQ(TrimText("XabcX", 'x', TTrimMode::Both), "XabcX");
}

TEST(ExpressionTextTest, PosOccursAndReplace) {
  EXPECT_EQ(PosOf("lo", "hello"), 4);
  EXPECT_EQ(PosOf("x", "hello"), 0);
  EXPECT_EQ(PosOf("", "hello"), 0);
  EXPECT_EQ(OccursOf("aa", "aaaaa"), 2);
  EXPECT_EQ(OccursOf("l", "hello"), 2);
  EXPECT_EQ(OccursOf("", "hello"), 0);
  std::string result;
  ReplaceText("aa", "b", "aaaaa", result);
  EXPECT_EQ(result, "bba");
  ReplaceText("l", "LL", "hello", result);
  EXPECT_EQ(result, "heLLLLo");
  ReplaceText("x", "y", "hello", result);
  EXPECT_EQ(result, "hello");
  ReplaceText("", "y", "hello", result);
  EXPECT_EQ(result, "hello");
  ReplaceText("L", "x", "hello", result);
  EXPECT_EQ(result, "hello");
  ReplaceText("ab", "", "abcab", result);
  EXPECT_EQ(result, "c");
}

struct TWriterCase {
  std::string_view Text;
  std::string_view Written;
};

// Parsed text written back: precedence decides the parentheses, not how the text was
// grouped.
TEST(ExpressionTextTest, WritesATreeWithTheParenthesesItNeeds) {
  const TWriterCase cases[] = {
      {"x = 5", "x = 5"},
      {"(x = 5) and (y <> 'a')", "x = 5 AND y <> 'a'"},
      {"x = 1 and (y = 2 or z = 3)", "x = 1 AND (y = 2 OR z = 3)"},
      {"x = 1 or y = 2 and z = 3", "x = 1 OR (y = 2 AND z = 3)"},
      {"a = 1 and b = 2 and c = 3", "a = 1 AND b = 2 AND c = 3"},
      {"not (x = 1 or y = 2)", "NOT (x = 1 OR y = 2)"},
      {"not x = 1", "NOT x = 1"},
      {"(a + b) * c = a - (b - c)", "(a + b) * c = a - (b - c)"},
      {"a + b * c >= a / (b * c)", "a + b * c >= a / (b * c)"},
      {"-(a + 1) < 0", "-(a + 1) < 0"},
      {"x like 'a%' and y between 1 and 3", "x LIKE 'a%' AND y BETWEEN 1 AND 3"},
      {"x not in (1, 2, 3) or y is null", "x NOT IN (1, 2, 3) OR y = NULL"},
      {"upper(x) = 'A' and substring(x from 2 for 1) = 'b'", "UPPER(x) = 'A' AND SUBSTRING(x, 2, 1) = 'b'"},
      {"x = ?", "x = ?"},
  };
  TExpressionParser parser;
  for (const TWriterCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TExpTree tree = parser.ParseText(c.Text, kParseExtendedPredicates | kParseParameters);
    EXPECT_EQ(ExpressionText(tree.get()), c.Written);
  }
  EXPECT_EQ(ExpressionText(nullptr), "");
}

TEST(ExpressionTextTest, WritesColumnsThroughTheCallersWriter) {
  TExpressionParser parser;
  TExpTree tree = parser.ParseText("t.x = y", 0);
  EXPECT_EQ(ExpressionText(tree.get()), "x = y");
  const auto qualified = [](const TExpToken& column) {
    return (column.TableName.empty() ? std::string("?") : column.TableName) + "." + column.ColumnName;
  };
  EXPECT_EQ(ExpressionText(tree.get(), qualified), "t.x = ?.y");
}

}  // namespace
}  // namespace kura
