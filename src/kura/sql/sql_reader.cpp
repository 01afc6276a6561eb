#include "kura/sql/sql_reader.h"

#include <limits>

#include "kura/base/scope_guard.h"
#include "kura/sql/sql_messages.h"

namespace kura {

bool TSqlReader::AtAny(std::initializer_list<std::string_view> keywords) const {
  for (std::string_view keyword : keywords) {
    if (At(keyword)) return true;
  }
  return false;
}

bool TSqlReader::AtAny(std::span<const std::string_view> keywords) const {
  for (std::string_view keyword : keywords) {
    if (At(keyword)) return true;
  }
  return false;
}

bool TSqlReader::Accept(std::string_view keyword) {
  if (!At(keyword)) return false;
  Next();
  return true;
}

bool TSqlReader::AcceptSymbol(char symbol) {
  if (!AtSymbol(symbol)) return false;
  Next();
  return true;
}

void TSqlReader::Expect(std::string_view keyword, std::string_view message) {
  if (!Accept(keyword)) RaiseExpected(message);
}

void TSqlReader::ExpectSymbol(char symbol, std::string_view message) {
  if (!AcceptSymbol(symbol)) RaiseExpected(message);
}

std::string TSqlReader::ExpectName(std::string_view message) {
  if (!AtName()) RaiseExpected(message);
  std::string name = TokenText();
  Next();
  return name;
}

int32_t TSqlReader::ExpectInteger(std::string_view message) {
  if (!AtInteger()) RaiseExpected(message);
  const std::string& digits = TokenText();
  int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int32_t>::max()) RaiseExpected(message);
  }
  Next();
  return static_cast<int32_t>(value);
}

void TSqlReader::ExpectEndOfStatement(std::string_view kindName) {
  if (AcceptSymbol(';') || AtEnd()) return;
  std::string message(sqlmsg::kEndOfStatementPrefix);
  message += kindName;
  message += sqlmsg::kEndOfStatementSuffix;
  RaiseExpected(message);
}

void TSqlReader::RaiseExpected(std::string_view message) const {
  std::string text(message);
  text += TokenText();
  text += "'";
  RaiseSqlError(text);
}

TExpTree TSqlReader::ParseClause(uint32_t flags, std::string_view context, std::string_view emptyMessage,
                                 std::string* text, std::initializer_list<std::string_view> stopKeywords) {
  return ParseInContext(false, flags, context, emptyMessage, text, stopKeywords);
}

TExpTree TSqlReader::ParseOperand(uint32_t flags, std::string_view context, std::string_view emptyMessage,
                                  std::string* text) {
  return ParseInContext(true, flags, context, emptyMessage, text, {});
}

TExpTree TSqlReader::ParseInContext(bool operand, uint32_t flags, std::string_view context,
                                    std::string_view emptyMessage, std::string* text,
                                    std::initializer_list<std::string_view> stopKeywords) {
  if (AtStatementEnd() || AtSymbol(',') || AtSymbol(')') || AtAny(stopKeywords)) RaiseSqlError(emptyMessage);
  const TErrorCode code = FParser.ErrorCode();
  const std::string table = FParser.TableName();
  const std::string previous = FParser.Context();
  FParser.SetErrorContext(code, table, std::string(context));
  auto restore = OnScopeExit([&] { FParser.SetErrorContext(code, table, previous); });
  FParser.BeginSpan();
  TExpTree tree = operand ? FParser.ParseOperand(flags) : FParser.ParseExpression(flags);
  if (!tree) RaiseSqlError(emptyMessage);
  if (text != nullptr) {
    constexpr size_t kMaxColumnText = 255;
    *text = FParser.SpanText().substr(0, kMaxColumnText);
  }
  return tree;
}

}  // namespace kura
