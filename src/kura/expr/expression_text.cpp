#include "kura/expr/expression_text.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"
#include "kura/base/collation.h"
#include "kura/base/text_forms.h"
#include "kura/expr/exp_token.h"

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

namespace {

// Binding strength of a node as an operand: the loosest first.
enum TPrecedence : int {
  kPrecOr = 1,
  kPrecAnd,
  kPrecNot,
  kPrecComparison,
  kPrecAdditive,
  kPrecMultiplicative,
  kPrecSign,
  kPrecPrimary,
};

int PrecedenceOf(const TExpToken& node) {
  switch (node.Kind) {
    case kNodeUnary: return node.OpCode == kOpNot ? kPrecNot : kPrecSign;
    case kNodeBinary:
    case kNodeWildcard:
      if (node.OpCode == kOpOr) return kPrecOr;
      if (node.OpCode == kOpAnd) return kPrecAnd;
      if (IsComparisonOp(node.OpCode)) return kPrecComparison;
      if (node.OpCode == kOpAdd || node.OpCode == kOpSubtract) return kPrecAdditive;
      return kPrecMultiplicative;
    case kNodePredicate: return kPrecComparison;
    default: return kPrecPrimary;
  }
}

bool IsNullValue(const TExpToken& node) { return node.IsNull != 0 || node.DataType == TFieldType::Unknown; }

class TExpressionWriter {
public:
  explicit TExpressionWriter(const TColumnTextWriter& columnText) : ColumnText_(columnText) {}

  std::string Text(const TExpToken* node) const {
    if (node == nullptr) return "";
    switch (node->Kind) {
      case kNodeColumn: return ColumnText_ ? ColumnText_(*node) : node->ColumnName;
      case kNodeConstant: return ConstantText(*node);
      case kNodeUnary:
        if (node->OpCode == kOpNot) return "NOT " + Operand(node->Operand, kPrecNot, false);
        return std::string(node->OpCode == kOpUnaryMinus ? "-" : "+") + Operand(node->Operand, kPrecSign, false);
      case kNodeBinary:
      case kNodeWildcard: return BinaryText(*node);
      case kNodePredicate: return PredicateText(*node);
      case kNodeFunction: {
        std::string text = node->Text + "(";
        for (size_t i = 0; i < node->Arguments.size(); ++i) text += (i > 0 ? ", " : "") + Text(node->Arguments[i]);
        return text + ")";
      }
      default: return node->Text;
    }
  }

private:
  static std::string ConstantText(const TExpToken& node) {
    if (node.IsParameter != 0 && IsNullValue(node)) return "?";
    if (IsNullValue(node)) return "NULL";
    const uint8_t* d = node.Data.data();
    switch (node.DataType) {
      case TFieldType::String: {
        const auto* chars = reinterpret_cast<const char*>(d);
        const size_t limit = std::min(static_cast<size_t>(std::max(node.DataLength, 0)), node.Data.size());
        return "'" + std::string(chars, strnlen(chars, limit)) + "'";
      }
      case TFieldType::Boolean: return ReadU16(d) != 0 ? "TRUE" : "FALSE";
      case TFieldType::SmallInt: return std::to_string(ReadI16(d));
      case TFieldType::Word: return std::to_string(ReadU16(d));
      case TFieldType::Integer: return std::to_string(ReadI32(d));
      case TFieldType::LargeInt: return std::to_string(ReadI64(d));
      case TFieldType::Float: return FloatToText(ReadF64(d));
      default: return node.Text.empty() ? "?" : node.Text;
    }
  }

  // An operand of an operator of the given precedence; `tight` asks for parentheses
  // also at equal precedence (the right side of -, / and of comparisons).
  std::string Operand(const TExpToken* operand, int precedence, bool tight) const {
    if (operand == nullptr) return "";
    const int own = PrecedenceOf(*operand);
    const bool group = own < precedence || (tight && own == precedence);
    return group ? "(" + Text(operand) + ")" : Text(operand);
  }

  std::string BinaryText(const TExpToken& node) const {
    const int precedence = PrecedenceOf(node);
    std::string left;
    std::string right;
    if (node.OpCode == kOpAnd || node.OpCode == kOpOr) {
      // AND inside OR is grouped too, although it binds tighter: easier to read.
      const auto side = [&](const TExpToken* operand) {
        const bool group = operand != nullptr && operand->Kind == kNodeBinary &&
                           (operand->OpCode == kOpAnd || operand->OpCode == kOpOr) && operand->OpCode != node.OpCode;
        return group ? "(" + Text(operand) + ")" : Text(operand);
      };
      left = side(node.Operand);
      right = side(node.RightOperand);
    } else {
      const bool tight = node.OpCode == kOpSubtract || node.OpCode == kOpDivide || precedence == kPrecComparison;
      left = Operand(node.Operand, precedence, false);
      right = Operand(node.RightOperand, precedence, tight);
    }
    // A prefix comparison (made when a filter is prepared) marks its constant.
    if (node.Kind == kNodeWildcard && node.PatternPosition > 0 && right.size() >= 2 && right.back() == '\'') {
      right.insert(right.size() - 1, "*");
    }
    return left + " " + OperatorText(node.OpCode) + " " + right;
  }

  std::string PredicateText(const TExpToken& node) const {
    const auto& a = node.Arguments;
    const auto arg = [&](size_t i) { return i < a.size() ? Operand(a[i], kPrecComparison, true) : std::string(); };
    switch (node.OpCode) {
      case kPredLike: return arg(0) + " LIKE " + arg(1);
      case kPredNotLike: return arg(0) + " NOT LIKE " + arg(1);
      case kPredBetween: return arg(0) + " BETWEEN " + arg(1) + " AND " + arg(2);
      case kPredNotBetween: return arg(0) + " NOT BETWEEN " + arg(1) + " AND " + arg(2);
      case kPredIn:
      case kPredNotIn: {
        std::string list;
        for (size_t i = 1; i < a.size(); ++i) list += (i > 1 ? ", " : "") + Text(a[i]);
        return arg(0) + (node.OpCode == kPredIn ? " IN (" : " NOT IN (") + list + ")";
      }
      default: return arg(0) + (node.OpCode == kPredInSelect ? " IN (SELECT ...)" : " NOT IN (SELECT ...)");
    }
  }

  const TColumnTextWriter& ColumnText_;
};

}  // namespace

std::string ExpressionText(const TExpToken* node, const TColumnTextWriter& columnText) {
  return TExpressionWriter(columnText).Text(node);
}

}  // namespace kura
