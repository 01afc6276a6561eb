#pragma once

// The statement grammars' view of the expression parser's token stream: keyword and
// symbol tests, "expected" errors completed with the current token, and clause
// expressions parsed under their permissions and context name (the context returns to
// "SQL statement" afterwards, also when the expression fails).

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "kura/expr/expression_parser.h"

namespace kura {

class TSqlReader {
public:
  explicit TSqlReader(TExpressionParser& parser) : FParser(parser) {}

  TExpressionParser& Parser() const { return FParser; }
  const std::string& TokenText() const { return FParser.TokenText(); }
  void Next() { FParser.NextToken(); }

  // The current token is the keyword (an identifier, any letter case).
  bool At(std::string_view keyword) const { return FParser.IsKeyword(keyword); }
  // ... one of the keywords.
  bool AtAny(std::initializer_list<std::string_view> keywords) const;
  bool AtAny(std::span<const std::string_view> keywords) const;
  bool AtSymbol(char symbol) const { return FParser.IsTokenKind(static_cast<unsigned char>(symbol)); }
  bool AtEnd() const { return FParser.IsTokenKind(kTokenEnd); }
  // The end of the text or ";".
  bool AtStatementEnd() const { return AtEnd() || AtSymbol(';'); }
  // A name: an identifier, a bracketed name, or quoted text (either quote).
  bool AtName() const { return FParser.IsNameOrText(); }
  bool AtInteger() const { return FParser.IsTokenKind(kTokenInteger); }

  // Advances past the keyword (symbol) and returns true when it is current.
  bool Accept(std::string_view keyword);
  bool AcceptSymbol(char symbol);
  // Advances past the keyword (symbol), or raises `message` completed with the token.
  void Expect(std::string_view keyword, std::string_view message);
  void ExpectSymbol(char symbol, std::string_view message);
  // The current name's text, advancing past it; raises `message` when it is no name.
  std::string ExpectName(std::string_view message);
  // The current integer (0 .. 2^31 - 1), advancing past it; raises `message` otherwise.
  int32_t ExpectInteger(std::string_view message);

  // The end of a top-level statement: ";" is read; anything but ";" or the end of the
  // text raises "End of " + kindName + " statement expected, instead found '...'".
  void ExpectEndOfStatement(std::string_view kindName);

  // message + current token text + "'", as KURA_SQLPARSE.
  [[noreturn]] void RaiseExpected(std::string_view message) const;

  // Parses an expression at the current token with the permission flags, the context
  // name set for its messages; raises `emptyMessage` when no expression starts here
  // (the end, ";", ",", ")" or one of `stopKeywords`). `text` receives the expression
  // as written (line breaks removed, cut to 255 characters).
  TExpTree ParseClause(uint32_t flags, std::string_view context, std::string_view emptyMessage,
                       std::string* text = nullptr, std::initializer_list<std::string_view> stopKeywords = {});
  // As ParseClause for a single operand (a column name, a constant, a parenthesised
  // expression), so that an operator after it is left to the caller.
  TExpTree ParseOperand(uint32_t flags, std::string_view context, std::string_view emptyMessage,
                        std::string* text = nullptr);

private:
  TExpTree ParseInContext(bool operand, uint32_t flags, std::string_view context, std::string_view emptyMessage,
                          std::string* text, std::initializer_list<std::string_view> stopKeywords);

  TExpressionParser& FParser;
};

}  // namespace kura
