#pragma once

// The text semantics of expressions: LIKE patterns, prefix (wildcard) comparison and
// the string functions SUBSTRING, TRIM, POS, OCCURS and REPLACE.
//
// Texts are the bytes of the Windows ANSI code page of the table, one character per
// byte as in the record encoding; a "character position" is a byte position. A NULL
// text is passed as an empty view by the callers that treat NULL as empty, and an empty
// result stands for NULL where the expression language says so.
//
// Everything here is free of allocation except ReplaceText, which writes into a
// caller's string (its capacity is reused across calls).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kura {

struct TExpToken;

// The driver a comparison runs under: LocaleId 0 is byte order.
struct TTextCollation {
  uint16_t LocaleId = 0;
  uint16_t SortId = 0;
};

// Matches text against a LIKE pattern over the whole text: '%' matches any run of
// characters (also none), '_' exactly one character, any other pattern character one
// equal character (the driver's single-character comparison, case-sensitive unless
// caseInsensitive; bytes with LocaleId 0). After a mismatch the match resumes one
// character further after the most recent '%'.
bool LikeMatch(const TTextCollation& collation, std::string_view text, std::string_view pattern,
               bool caseInsensitive = false);

// What a LIKE pattern reduces to when it is a plain prefix: no '_', and '%' only as a
// run at its end with at least one character before it. Returns the length of the
// fixed prefix, or 0 when the pattern is not of that form.
size_t LikePrefixLength(std::string_view pattern);

// Compares a text with a constant over their first `length` characters (the whole
// texts when length is 0), under the driver, case-insensitively when asked. Negative,
// 0 or positive.
int CompareTextPrefix(const TTextCollation& collation, std::string_view text, std::string_view constant,
                      size_t length, bool caseInsensitive);

// SUBSTRING(x FROM start FOR count): start below 1 counts as 1; without a count (hasCount
// false) the rest of the text; a count below 0 counts as 0. The part that exists; empty
// when nothing is left.
std::string_view SubstringOf(std::string_view text, int64_t start, bool hasCount, int64_t count);

enum class TTrimMode : uint8_t { Leading, Trailing, Both };
// The text without its leading, trailing or both runs of c (exact byte comparison).
std::string_view TrimText(std::string_view text, char c, TTrimMode mode);

// 1-based position of the first occurrence of search in text; 0 when there is none or
// search is empty.
int32_t PosOf(std::string_view search, std::string_view text);
// Number of non-overlapping occurrences of search in text, counted from the left; 0 for
// an empty search.
int32_t OccursOf(std::string_view search, std::string_view text);
// Every non-overlapping occurrence of search in text, from left to right, replaced by
// replacement (exact, case-sensitive), written into result. An empty search, or one
// equal to the replacement, leaves the text unchanged.
void ReplaceText(std::string_view search, std::string_view replacement, std::string_view text, std::string& result);

// The text of an expression tree, for explanations and tools (not parsed back): operators
// and keywords in upper case between spaces ("x = 5", "NOT (a OR b)", "x LIKE 'a%'"),
// functions as NAME(arguments), constants as literals (texts quoted, NULL, TRUE/FALSE,
// "?" for a parameter without a value), a sub-select as "(SELECT ...)".
// Parentheses are written where the operator precedence needs them, and around an AND
// or OR inside the other. A column is written by `columnText` when given, else as its
// column name. Null is the empty text.
using TColumnTextWriter = std::function<std::string(const TExpToken& column)>;
std::string ExpressionText(const TExpToken* node, const TColumnTextWriter& columnText = {});

}  // namespace kura
