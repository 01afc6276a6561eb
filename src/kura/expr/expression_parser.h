#pragma once

// The one scanner and recursive-descent parser behind every textual expression of the
// engine: filter expressions of table cursors and everything inside SQL statements
// (whose statement-level grammar is read with this same scanner).
//
// Grammar, lowest precedence first; every binary level is left-associative:
//   or-expression   := and-expression { OR and-expression }
//   and-expression  := not-expression { AND not-expression }
//   not-expression  := NOT comparison | comparison
//   comparison      := additive [ ( = | <> | < | > | <= | >= ) additive
//                                | [NOT] LIKE additive
//                                | [NOT] BETWEEN additive AND additive
//                                | [NOT] IN ( additive { , additive } )
//                                | [NOT] IN ( SELECT ... )
//                                | IS [NOT] NULL ]
//   additive        := multiplicative { ( + | - | || ) multiplicative }
//   multiplicative  := unary { ( * | / ) unary }
//   unary           := + primary | - primary | primary
//   primary         := function | aggregate | constant | column | ( or-expression )
//                      | * | ?
// The trees it builds are described in kura/expr/exp_token.h.
//
// Errors. Every syntax error raises EKuraEngineError at once with the parser's error
// code (KURA_SQLPARSE for SQL, KURA_INVALIDFILTER for filters) and the message as the
// error's extra text; filter errors also carry the table name. Messages end with
// " in " and the context text. Nothing is recovered; a partly built tree is released
// before the error leaves the parser.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/expr/exp_token.h"

namespace kura {

// Scanner token kinds. Any other single character is its own kind: its byte value
// ('(' 40, ')' 41, '*' 42, '+' 43, ',' 44, '-' 45, '.' 46, '/' 47, '<' 60, '=' 61,
// '>' 62, '?' 63, '|' 124, ...).
constexpr int kTokenEnd = 0;          // end of text; text ""
constexpr int kTokenName = 1;         // name, as written
constexpr int kTokenBracketName = 2;  // [name], text without the brackets
constexpr int kTokenSingleQuoted = 3; // 'text', without quotes, '' made '
constexpr int kTokenDoubleQuoted = 4; // "text", without quotes, "" made "
constexpr int kTokenCharCode = 5;     // #digits, as written
constexpr int kTokenInteger = 6;      // digits, as written
constexpr int kTokenNumber = 7;       // number with fraction or exponent, as written

// Parse flags: which constructs are allowed. They pass unchanged into every
// sub-expression, except that the condition of IF always allows extended predicates.
constexpr uint32_t kParseAggregates = 1;          // SUM, RUNSUM, AVG, MIN, MAX, COUNT
constexpr uint32_t kParseAllColumns = 2;          // the * all-columns symbol
constexpr uint32_t kParseExtendedPredicates = 4;  // LIKE, BETWEEN, IN, IS NULL
constexpr uint32_t kParseParameters = 8;          // ? parameters
constexpr uint32_t kParseSubSelects = 16;         // IN (SELECT ...)

// The flags a filter expression is parsed with, and its context text.
constexpr uint32_t kFilterParseFlags = kParseExtendedPredicates;
inline constexpr std::string_view kFilterContext = "filter expression";
inline constexpr std::string_view kSqlContext = "SQL statement";

// Limits that keep hostile texts from exhausting the call stack of the parser and of
// everything that later walks the tree recursively (binder, evaluator). Deeper input
// raises the parser's error code.
constexpr int kMaxExpressionNesting = 200;  // nested parentheses and function calls
constexpr int kMaxExpressionHeight = 2000;  // nodes on the longest root-to-leaf path

class TExpressionParser;

// The object a parser works for (an SQL statement or a cursor). The defaults suit a
// filter: parameters are not recorded, and sub-selects are not available.
class TExpressionParserOwner {
public:
  virtual ~TExpressionParserOwner() = default;
  // A `?` parameter node of a parsed expression. Called once the outermost
  // ParseExpression has succeeded, for each parameter in order of appearance (so a
  // failed parse registers none). The node belongs to the returned tree; the owner may
  // keep the pointer for as long as that tree lives.
  virtual void AddParameter(TExpToken* node);
  // Reads the sub-select of IN ( SELECT ... ). On entry the parser's current token is
  // the keyword SELECT; on return it must be the first token after the sub-select
  // (normally the closing parenthesis, which the expression parser checks). Raises
  // through the parser's error helpers on a syntax error. Returns null when the owner
  // cannot parse sub-selects (the default), which raises the sub-select message.
  virtual std::shared_ptr<TExpSubQuery> ParseSubSelect(TExpressionParser& parser, uint32_t flags);
};

class TExpressionParser {
public:
  // `owner` may be null (a cursor's filter); it must outlive the parser otherwise.
  explicit TExpressionParser(TExpressionParserOwner* owner = nullptr);

  // The code raised on errors, the table named in filter errors, and the context text
  // that ends every message. Set before parsing; the defaults are KURA_SQLPARSE, "",
  // "SQL statement".
  void SetErrorContext(TErrorCode errorCode, std::string tableName, std::string context);
  TErrorCode ErrorCode() const { return ErrorCode_; }
  const std::string& Context() const { return Context_; }
  const std::string& TableName() const { return TableName_; }

  // ---- scanner ----

  // Copies the text and positions the scanner at its start (no current token yet:
  // call NextToken).
  void SetText(std::string_view text);
  const std::string& Text() const { return Text_; }
  // Skips blanks (bytes 1 to 32) and comments, scans one token and makes it current.
  // A zero byte ends the text. Raises for an unclosed comment, quote or bracket.
  int NextToken();
  // The current token's text (see the kinds above).
  const std::string& TokenText() const { return TokenText_; }
  int TokenKind() const { return Kind_; }
  // The current token is a name equal to `word` without regard to case.
  bool IsKeyword(std::string_view word) const;
  bool IsTokenKind(int kind) const { return Kind_ == kind; }
  // The current token is a name, bracketed name or quoted text.
  bool IsNameOrText() const { return Kind_ >= kTokenName && Kind_ <= kTokenDoubleQuoted; }

  // Offsets into Text(): where the current token starts and ends, and where the token
  // before it ended.
  size_t TokenStart() const { return TokenStart_; }
  size_t TokenEnd() const { return TokenEnd_; }
  size_t PreviousTokenEnd() const { return PreviousEnd_; }
  // Starts recording a span at the current token.
  void BeginSpan() { SpanStart_ = TokenStart_; }
  // The source text from the recorded start to the end of the previous token, without
  // carriage returns and line feeds.
  std::string SpanText() const;

  // The complete scanner state, for callers that need to look ahead and go back.
  struct TPosition {
    size_t Scan = 0;
    size_t TokenStart = 0;
    size_t TokenEnd = 0;
    size_t PreviousEnd = 0;
    int Kind = kTokenEnd;
    std::string TokenText;
  };
  TPosition SavePosition() const;
  void RestorePosition(const TPosition& position);

  // ---- parser ----

  // Parses one expression at the OR level, starting at the current token; on return
  // the current token is the first one after the expression. The caller owns the tree.
  TExpTree ParseExpression(uint32_t flags);
  // Parses one operand (a signed primary: a column, a constant, a function call, a
  // parenthesised expression), as ParseExpression does for a whole expression; an
  // operator after it is left as the current token.
  TExpTree ParseOperand(uint32_t flags);
  // SetText, the first token, ParseExpression and a check that the whole text was
  // used (anything left is an unexpected symbol).
  TExpTree ParseText(std::string_view text, uint32_t flags);

  // Reads an SQL data type at the current token into node->DataType, SubType and
  // DataLength (the fixed size of the type, 0 for strings and bytes), appending its
  // size arguments (primaries) to node->Arguments. With `optional`, the parenthesised
  // length of CHAR and BYTES types may be left out (a CAST target); otherwise it is
  // required (a column definition). Leaves the current token after the type.
  void ParseDataType(TExpToken* node, uint32_t flags, bool optional);

  // ---- errors (also for the SQL statement parser, which shares the messages' forms) ----

  // prefix + token + "'" + " in " + context
  [[noreturn]] void RaiseTokenError(std::string_view prefix) const;
  [[noreturn]] void RaiseTokenError(std::string_view prefix, std::string_view token) const;
  // prefix + context (the prefix ends with " in ")
  [[noreturn]] void RaiseContextError(std::string_view prefix) const;
  // prefix + token + "'" + " found in " + context
  [[noreturn]] void RaiseFoundError(std::string_view prefix) const;
  [[noreturn]] void RaiseFoundError(std::string_view prefix, std::string_view token) const;
  // The message exactly as given.
  [[noreturn]] void RaiseMessage(const std::string& message) const;

private:
  // ParseExpression (the OR level) or ParseOperand (one operand).
  TExpTree ParseTop(uint32_t flags, bool operand);
  // Every grammar level; `flags` as in ParseExpression.
  TExpTree ParseOr(uint32_t flags);
  TExpTree ParseAnd(uint32_t flags);
  TExpTree ParseNot(uint32_t flags);
  TExpTree ParseComparison(uint32_t flags);
  TExpTree ParsePredicate(TExpTree tested, uint32_t flags, bool negated);
  TExpTree ParseAdditive(uint32_t flags);
  TExpTree ParseMultiplicative(uint32_t flags);
  TExpTree ParseUnary(uint32_t flags);
  TExpTree ParsePrimary(uint32_t flags);
  TExpTree ParseName(uint32_t flags);
  TExpTree ParseColumnAfterCorrelation(std::string correlation, uint32_t flags);
  TExpTree ParseNumber();
  TExpTree ParseCharCode();
  TExpTree ParseAggregate(uint8_t opCode, std::string_view name, uint32_t flags);
  TExpTree ParseFunction(int function, uint32_t flags);
  TExpTree ParseCurrent(TFieldType fieldType, std::string_view name);

  void EnterNesting();
  void ExpectLeftParenthesis(std::string_view message);
  void ExpectRightParenthesis(std::string_view message);
  void ExpectKeyword(std::string_view keyword, std::string_view message);

  void ScanQuoted(char quote, int kind);

  TExpressionParserOwner* Owner_;
  TErrorCode ErrorCode_ = KURA_SQLPARSE;
  std::string TableName_;
  std::string Context_{kSqlContext};
  std::string Text_;
  size_t Scan_ = 0;         // where the next token's scan begins
  size_t TokenStart_ = 0;
  size_t TokenEnd_ = 0;
  size_t PreviousEnd_ = 0;
  size_t SpanStart_ = 0;
  int Kind_ = kTokenEnd;
  std::string TokenText_;
  int Nesting_ = 0;          // ParsePrimary calls under way
  int ExpressionLevel_ = 0;  // ParseExpression calls under way
  std::vector<TExpToken*> PendingParameters_;

  friend class TLevelGuard;
};

// Writes a tree as a byte stream: each node's fields in their declared order (except
// the pointers), each as an int32 length followed by its bytes, then a child mask and
// the argument count, then the operand, right operand and arguments as nodes of their
// own. SourceTable, SubQuery and Parent are not written. `root` must not be null.
void SerializeTree(const TExpToken* root, std::vector<uint8_t>& out);
// Reads a tree written by SerializeTree from the start of [data, data + size). Checks
// every length, the node shapes, constant values and the depth, and raises
// KURA_SQLPARSE with "Invalid expression data" for anything else. Parent is left null
// (as the parser leaves it; the binder links it). `consumed`, when given, receives the
// number of bytes read.
TExpTree DeserializeTree(const uint8_t* data, size_t size, size_t* consumed = nullptr);

}  // namespace kura
