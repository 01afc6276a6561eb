#include "kura/expr/expression_text.h"

#include <algorithm>

#include "kura/base/collation.h"

namespace kura {

namespace {

bool SameCharacter(const TTextCollation& collation, char a, char b, bool caseInsensitive) {
  if (a == b) return true;
  if (caseInsensitive)
    return CollateCompare(collation.LocaleId, collation.SortId, std::string_view(&a, 1), std::string_view(&b, 1),
                          true) == 0;
  if (collation.LocaleId == 0) return false;
  return CollateCompareChars(collation.LocaleId, collation.SortId, a, b) == 0;
}

}  // namespace

bool LikeMatch(const TTextCollation& collation, std::string_view text, std::string_view pattern,
               bool caseInsensitive) {
  // Bytes compared as bytes: "%literal%" is a substring search (the common "contains"
  // filter), without the character-by-character walk below.
  if (collation.LocaleId == 0 && !caseInsensitive && pattern.size() >= 2 && pattern.front() == '%' &&
      pattern.back() == '%') {
    const std::string_view literal = pattern.substr(1, pattern.size() - 2);
    if (literal.find_first_of("%_") == std::string_view::npos) return text.find(literal) != std::string_view::npos;
  }
  size_t t = 0;
  size_t p = 0;
  // Where the most recent '%' stood in the pattern, and where in the text the run it
  // stands for would end next if the match has to resume.
  size_t starPattern = std::string_view::npos;
  size_t starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      starPattern = p++;
      starText = t;
      continue;
    }
    if (p < pattern.size() && (pattern[p] == '_' || SameCharacter(collation, pattern[p], text[t], caseInsensitive))) {
      ++p;
      ++t;
      continue;
    }
    if (starPattern == std::string_view::npos) return false;
    p = starPattern + 1;
    t = ++starText;
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

size_t LikePrefixLength(std::string_view pattern) {
  if (pattern.find('_') != std::string_view::npos) return 0;
  const size_t firstPercent = pattern.find('%');
  if (firstPercent == std::string_view::npos || firstPercent == 0) return 0;
  if (pattern.find_first_not_of('%', firstPercent) != std::string_view::npos) return 0;
  return firstPercent;
}

int CompareTextPrefix(const TTextCollation& collation, std::string_view text, std::string_view constant,
                      size_t length, bool caseInsensitive) {
  if (length != 0) {
    text = text.substr(0, std::min(length, text.size()));
    constant = constant.substr(0, std::min(length, constant.size()));
  }
  return CollateCompare(collation.LocaleId, collation.SortId, text, constant, caseInsensitive);
}

std::string_view SubstringOf(std::string_view text, int64_t start, bool hasCount, int64_t count) {
  if (start < 1) start = 1;
  const auto size = static_cast<int64_t>(text.size());
  if (start > size) return {};
  const int64_t available = size - start + 1;
  if (!hasCount) count = available;
  if (count < 0) count = 0;
  return text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(std::min(count, available)));
}

std::string_view TrimText(std::string_view text, char c, TTrimMode mode) {
  if (mode != TTrimMode::Trailing) {
    const size_t first = text.find_first_not_of(c);
    text = first == std::string_view::npos ? std::string_view{} : text.substr(first);
  }
  if (mode != TTrimMode::Leading) {
    const size_t last = text.find_last_not_of(c);
    text = last == std::string_view::npos ? std::string_view{} : text.substr(0, last + 1);
  }
  return text;
}

int32_t PosOf(std::string_view search, std::string_view text) {
  if (search.empty()) return 0;
  const size_t found = text.find(search);
  return found == std::string_view::npos ? 0 : static_cast<int32_t>(found + 1);
}

int32_t OccursOf(std::string_view search, std::string_view text) {
  if (search.empty()) return 0;
  int32_t count = 0;
  for (size_t at = text.find(search); at != std::string_view::npos; at = text.find(search, at + search.size()))
    ++count;
  return count;
}

void ReplaceText(std::string_view search, std::string_view replacement, std::string_view text, std::string& result) {
  result.clear();
  if (search.empty() || search == replacement) {
    result.append(text);
    return;
  }
  size_t from = 0;
  for (size_t at = text.find(search); at != std::string_view::npos; at = text.find(search, from)) {
    result.append(text.substr(from, at - from));
    result.append(replacement);
    from = at + search.size();
  }
  result.append(text.substr(from));
}

}  // namespace kura
