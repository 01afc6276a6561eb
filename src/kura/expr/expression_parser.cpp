#include "kura/expr/expression_parser.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/names_paths.h"
#include "kura/base/text_forms.h"
#include "kura/storage/table_files.h"

namespace kura {

namespace {

// ---- message texts (every text the parser raises is here) ----

// Form A: prefix, token, "'", " in ", context.
constexpr std::string_view kMissingSingleQuote = "Missing single quote after '";
constexpr std::string_view kMissingDoubleQuote = "Missing double quote after '";
constexpr std::string_view kMissingRightBracket = "Missing right bracket after '";
constexpr std::string_view kRightParenthesisExpected = "Right parentheses expected, instead found '";
constexpr std::string_view kCorrelationColumnExpected =
    "Symbol or string expression expected after table correlation name separator '.', instead found '";
constexpr std::string_view kBetweenAndExpected = "Expected AND operator in BETWEEN operator, instead found '";
constexpr std::string_view kNotBetweenAndExpected = "Expected AND operator in NOT BETWEEN operator, instead found '";
constexpr std::string_view kInLeftExpected = "Expected left parentheses for IN operator, instead found '";
constexpr std::string_view kNotInLeftExpected = "Expected left parentheses for NOT IN operator, instead found '";
constexpr std::string_view kInListRightExpected = "Expected right parentheses after IN operator, instead found '";
constexpr std::string_view kNotInListRightExpected =
    "Expected right parentheses after NOT IN operator, instead found '";
constexpr std::string_view kInSelectRightExpected = "Expected right parentheses for IN operator, instead found '";
constexpr std::string_view kNotInSelectRightExpected =
    "Expected right parentheses for NOT IN operator, instead found '";
constexpr std::string_view kSecondBarExpected =
    "Second concatenation symbol '|' expected after first concatentation symbol, instead found '";
constexpr std::string_view kCoalesceRightExpected =
    "Expected right parentheses after COALESCE expression arguments, instead found '";
constexpr std::string_view kSubstringFromExpected =
    "FROM keyword expected after first SUBSTRING function argument, instead found '";
constexpr std::string_view kReplaceWithExpected =
    "WITH keyword expected after first REPLACE function argument, instead found '";
constexpr std::string_view kReplaceInExpected =
    "IN keyword expected after second REPLACE function argument, instead found '";
constexpr std::string_view kCastAsExpected = "AS keyword expected after first CAST function argument, instead found '";
constexpr std::string_view kTrimFromExpected =
    "FROM keyword expected after second TRIM function argument, instead found '";
constexpr std::string_view kExtractFromExpected =
    "FROM keyword expected after second EXTRACT function argument, instead found '";
constexpr std::string_view kTrimPartExpected =
    "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found '";
constexpr std::string_view kExtractPartExpected =
    "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected after EXTRACT "
    "keyword, instead found '";
constexpr std::string_view kDataTypeExpected = "SQL data type keyword expected, instead found '";
constexpr std::string_view kFloatRightExpected =
    "Right parentheses expected after FLOAT data type arguments, instead found '";
constexpr std::string_view kBlobRightExpected =
    "Right parentheses expected after BLOB data type arguments, instead found '";
constexpr std::string_view kFloatCommaExpected = "Comma expected after first FLOAT argument, instead found '";
constexpr std::string_view kBlobCommaExpected = "Comma expected after first BLOB argument, instead found '";
// Built around a keyword K: prefix, K, suffix.
constexpr std::string_view kFunctionLeftPrefix = "Left parentheses expected after ";
constexpr std::string_view kFunctionLeftSuffix = " keyword, instead found '";
constexpr std::string_view kFunctionRightPrefix = "Right parentheses expected after ";
constexpr std::string_view kFunctionRightSingular = " function argument, instead found '";
constexpr std::string_view kFunctionRightPlural = " function arguments, instead found '";
constexpr std::string_view kCurrentRightPrefix = "Right parentheses expected after first ";
constexpr std::string_view kCurrentRightSuffix = " function parentheses, instead found '";
constexpr std::string_view kInExpectedPrefix = "IN keyword expected after first ";
constexpr std::string_view kInExpectedSuffix = " function argument, instead found '";
constexpr std::string_view kThenExpectedPrefix = "THEN keyword or comma expected after first ";
constexpr std::string_view kElseExpectedPrefix = "ELSE keyword or comma expected after second ";
constexpr std::string_view kIfArgumentSuffix = " function argument, instead found '";

// Form B: prefix, context.
constexpr std::string_view kMissingCommentEnd = "Missing ending comment slash and asterisk in ";
constexpr std::string_view kAllColumnsNotAllowed = "* (all columns) symbol is not allowed in ";
constexpr std::string_view kParametersNotAllowed = "Parameters are not allowed in ";
constexpr std::string_view kAggregatesNotAllowed = "Aggregate functions are not allowed in ";
constexpr std::string_view kExtendedNotAllowed =
    "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in ";
constexpr std::string_view kSubSelectsNotAllowed = "Sub-select queries are not allowed in ";
constexpr std::string_view kTooDeep = "Expression nested too deeply in ";

// Form C: prefix, token, "'", " found in ", context.
constexpr std::string_view kUnknownSymbol = "Unknown or unexpected symbol '";
constexpr std::string_view kUnknownFunction = "Unknown or unexpected function '";

// Free forms (pieces around the name N, token T and context C).
constexpr std::string_view kAggregateLeftPrefix = "Left parentheses expected after aggregate function '";
constexpr std::string_view kAggregateRightPrefix = "Right parentheses expected after aggregate ";
constexpr std::string_view kAggregateRightMiddle = " function argument, instead found ";
constexpr std::string_view kConstantPrefix = "Constant '";
constexpr std::string_view kConstantSuffix = " is not a valid number ";
constexpr std::string_view kCharCodeRange = "Character constants (#) must be within the range of ";
constexpr std::string_view kDataTypeLeftMiddle = " data type, instead found ";
constexpr std::string_view kDataTypeRightMiddle = " data type arguments, instead found ";
constexpr std::string_view kDataTypeCommaPrefix = "Comma expected after first ";
constexpr std::string_view kDataTypeCommaMiddle = " argument, instead found ";

constexpr std::string_view kInvalidExpressionData = "Invalid expression data";

// ---- keyword tables ----

enum TFunction {
  fnUpper, fnLower, fnLength, fnAbs, fnSubstring, fnReplace, fnPos, fnOccurs, fnTrim, fnExtract, fnCast,
  fnRound, fnIf, fnIfNull, fnCoalesce, fnTextSearch, fnTextOccurs, fnLastAutoInc, fnIdentCurrent,
};

struct TFunctionEntry {
  std::string_view Keyword;
  TFunction Function;
  uint8_t OpCode;  // for TRIM and EXTRACT the code is chosen by the part keyword
};

constexpr TFunctionEntry kFunctions[] = {
    {"UPPER", fnUpper, kFuncUpper},
    {"LOWER", fnLower, kFuncLower},
    {"LENGTH", fnLength, kFuncLength},
    {"ABS", fnAbs, kFuncAbs},
    {"SUBSTRING", fnSubstring, kFuncSubstring},
    {"REPLACE", fnReplace, kFuncReplace},
    {"POS", fnPos, kFuncPos},
    {"OCCURS", fnOccurs, kFuncOccurs},
    {"TRIM", fnTrim, kFuncTrimBoth},
    {"EXTRACT", fnExtract, kFuncExtractYear},
    {"CAST", fnCast, kFuncCast},
    {"ROUND", fnRound, kFuncRound},
    {"IF", fnIf, kFuncIf},
    {"IFNULL", fnIfNull, kFuncIfNull},
    {"COALESCE", fnCoalesce, kFuncCoalesce},
    {"TEXTSEARCH", fnTextSearch, kFuncTextSearch},
    {"TEXTOCCURS", fnTextOccurs, kFuncTextOccurs},
    {"LASTAUTOINC", fnLastAutoInc, kFuncLastAutoInc},
    {"IDENT_CURRENT", fnIdentCurrent, kFuncIdentCurrent},
};

struct TCodeKeyword {
  std::string_view Keyword;
  uint8_t Code;
};

constexpr TCodeKeyword kAggregates[] = {
    {"SUM", kFuncSum}, {"RUNSUM", kFuncRunSum}, {"AVG", kFuncAvg},
    {"MIN", kFuncMin}, {"MAX", kFuncMax}, {"COUNT", kFuncCount},
};

constexpr TCodeKeyword kTrimParts[] = {
    {"LEADING", kFuncTrimLeading}, {"TRAILING", kFuncTrimTrailing}, {"BOTH", kFuncTrimBoth},
};

constexpr TCodeKeyword kExtractParts[] = {
    {"YEAR", kFuncExtractYear}, {"MONTH", kFuncExtractMonth}, {"WEEK", kFuncExtractWeek},
    {"DAY", kFuncExtractDay}, {"DAYOFWEEK", kFuncExtractDayOfWeek}, {"DAYOFYEAR", kFuncExtractDayOfYear},
    {"HOUR", kFuncExtractHour}, {"MINUTE", kFuncExtractMinute}, {"SECOND", kFuncExtractSecond},
};

// How a data type keyword takes its size arguments.
enum TTypeArgs { taNone, taPrecision, taLength, taBlob };

struct TDataTypeEntry {
  std::string_view Keyword;
  TFieldType Type;
  TFieldSubType SubType;
  TTypeArgs Args;
};

constexpr TDataTypeEntry kDataTypes[] = {
    {"SMALLINT", TFieldType::SmallInt, TFieldSubType::None, taNone},
    {"WORD", TFieldType::Word, TFieldSubType::None, taNone},
    {"INTEGER", TFieldType::Integer, TFieldSubType::None, taNone},
    {"INT", TFieldType::Integer, TFieldSubType::None, taNone},
    {"LARGEINT", TFieldType::LargeInt, TFieldSubType::None, taNone},
    {"AUTOINC", TFieldType::Integer, TFieldSubType::AutoInc, taNone},
    {"DECIMAL", TFieldType::Bcd, TFieldSubType::None, taPrecision},
    {"NUMERIC", TFieldType::Bcd, TFieldSubType::None, taPrecision},
    {"FLOAT", TFieldType::Float, TFieldSubType::None, taPrecision},
    {"MONEY", TFieldType::Float, TFieldSubType::Money, taNone},
    {"CHARACTER", TFieldType::String, TFieldSubType::None, taLength},
    {"CHAR", TFieldType::String, TFieldSubType::None, taLength},
    {"VARCHAR", TFieldType::String, TFieldSubType::None, taLength},
    {"BYTES", TFieldType::Bytes, TFieldSubType::None, taLength},
    {"VARBYTES", TFieldType::Bytes, TFieldSubType::None, taLength},
    {"BINARY", TFieldType::Bytes, TFieldSubType::None, taLength},
    {"VARBINARY", TFieldType::Bytes, TFieldSubType::None, taLength},
    {"DATE", TFieldType::Date, TFieldSubType::None, taNone},
    {"TIME", TFieldType::Time, TFieldSubType::None, taNone},
    {"TIMESTAMP", TFieldType::Timestamp, TFieldSubType::None, taNone},
    {"BOOLEAN", TFieldType::Boolean, TFieldSubType::None, taNone},
    {"BOOL", TFieldType::Boolean, TFieldSubType::None, taNone},
    {"BIT", TFieldType::Boolean, TFieldSubType::None, taNone},
    {"BLOB", TFieldType::Blob, TFieldSubType::Binary, taBlob},
    {"LONGVARBINARY", TFieldType::Blob, TFieldSubType::Binary, taNone},
    {"LONGVARCHAR", TFieldType::Blob, TFieldSubType::Memo, taNone},
    {"MEMO", TFieldType::Blob, TFieldSubType::Memo, taNone},
    {"GRAPHIC", TFieldType::Blob, TFieldSubType::Graphic, taNone},
};

// The entry of a keyword table whose keyword equals `word` without regard to case.
template <typename Entry, size_t N>
const Entry* FindKeyword(const Entry (&table)[N], std::string_view word) {
  for (const Entry& entry : table) {
    if (SameText(entry.Keyword, word)) return &entry;
  }
  return nullptr;
}

// ---- node construction ----

// Gives the node a type with the record size of its value (0 for sized types) and a
// buffer that holds it.
void SetNodeType(TExpToken& node, TFieldType type, TFieldSubType subType = TFieldSubType::None) {
  node.DataType = type;
  node.SubType = subType;
  node.DataLength = DataSize(type, 0);
  node.ReserveData(node.DataLength);
}

TExpTree MakeNode(uint8_t kind, uint8_t opCode, std::string_view text) {
  TExpTree node = NewExpToken();
  node->Kind = kind;
  node->OpCode = opCode;
  node->Text.assign(text);
  return node;
}

TExpTree MakeUnary(uint8_t opCode, std::string_view text, TExpTree operand) {
  TExpTree node = MakeNode(kNodeUnary, opCode, text);
  node->Operand = operand.release();
  if (opCode == kOpNot) SetNodeType(*node, TFieldType::Boolean);
  return node;
}

TExpTree MakeBinary(uint8_t opCode, std::string_view text, TExpTree left, TExpTree right, bool isBoolean) {
  TExpTree node = MakeNode(kNodeBinary, opCode, text);
  node->Operand = left.release();
  node->RightOperand = right.release();
  if (isBoolean) SetNodeType(*node, TFieldType::Boolean);
  return node;
}

TExpTree MakeNullConstant() {
  TExpTree node = MakeNode(kNodeConstant, 0, "NULL");
  node->IsNull = 1;
  return node;
}

TExpTree MakeStringConstant(std::string_view text, std::string_view value) {
  TExpTree node = MakeNode(kNodeConstant, 0, text);
  node->DataType = TFieldType::String;
  const auto length = static_cast<int32_t>(value.size());
  node->ReserveData(length + 1);
  if (length > 0) std::memcpy(node->Data.data(), value.data(), value.size());
  node->Data[static_cast<size_t>(length)] = 0;
  node->DataLength = length + 1;
  // An empty text is the NULL of the string type.
  node->IsNull = value.empty() ? 1 : 0;
  return node;
}

TExpTree MakeColumn(std::string_view tableName, std::string_view columnName) {
  TExpTree node = MakeNode(kNodeColumn, 0, columnName);
  node->ColumnName.assign(columnName);
  node->TableName.assign(tableName);
  return node;
}

void AddArgument(TExpToken& node, TExpTree argument) {
  node.Arguments.push_back(nullptr);  // may throw; nothing is owned twice then
  node.Arguments.back() = argument.release();
}

// Nodes on the longest root-to-leaf path, without recursion.
int TreeHeight(const TExpToken* root) {
  int height = 0;
  std::vector<std::pair<const TExpToken*, int>> pending{{root, 1}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    height = std::max(height, depth);
    if (node->Operand != nullptr) pending.emplace_back(node->Operand, depth + 1);
    if (node->RightOperand != nullptr) pending.emplace_back(node->RightOperand, depth + 1);
    for (const TExpToken* argument : node->Arguments) {
      if (argument != nullptr) pending.emplace_back(argument, depth + 1);
    }
  }
  return height;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// ---- owner defaults ----

void TExpressionParserOwner::AddParameter(TExpToken* /*node*/) {}

std::shared_ptr<TExpSubQuery> TExpressionParserOwner::ParseSubSelect(TExpressionParser& /*parser*/,
                                                                      uint32_t /*flags*/) {
  return nullptr;
}

// Counts a level of ParsePrimary or ParseExpression for as long as it is in scope.
class TLevelGuard {
public:
  explicit TLevelGuard(int& level) : Level_(level) { ++Level_; }
  ~TLevelGuard() { --Level_; }
  TLevelGuard(const TLevelGuard&) = delete;
  TLevelGuard& operator=(const TLevelGuard&) = delete;

private:
  int& Level_;
};

TExpressionParser::TExpressionParser(TExpressionParserOwner* owner) : Owner_(owner) {}

void TExpressionParser::SetErrorContext(TErrorCode errorCode, std::string tableName, std::string context) {
  ErrorCode_ = errorCode;
  TableName_ = std::move(tableName);
  Context_ = std::move(context);
}

// ---- errors ----

void TExpressionParser::RaiseMessage(const std::string& message) const {
  TErrorNames names;
  names.TableName = TableName_;
  names.ExtraMessage = message;
  RaiseEngineError(ErrorCode_, names);
}

void TExpressionParser::RaiseTokenError(std::string_view prefix) const { RaiseTokenError(prefix, TokenText_); }

void TExpressionParser::RaiseTokenError(std::string_view prefix, std::string_view token) const {
  std::string message(prefix);
  message += token;
  message += "' in ";
  message += Context_;
  RaiseMessage(message);
}

void TExpressionParser::RaiseContextError(std::string_view prefix) const {
  std::string message(prefix);
  message += Context_;
  RaiseMessage(message);
}

void TExpressionParser::RaiseFoundError(std::string_view prefix) const { RaiseFoundError(prefix, TokenText_); }

void TExpressionParser::RaiseFoundError(std::string_view prefix, std::string_view token) const {
  std::string message(prefix);
  message += token;
  message += "' found in ";
  message += Context_;
  RaiseMessage(message);
}

// ---- scanner ----

void TExpressionParser::SetText(std::string_view text) {
  // A zero byte ends the text, as it would for the zero-terminated texts callers hand
  // over; nothing after it is looked at.
  const size_t end = text.find('\0');
  Text_.assign(text.substr(0, end));
  Scan_ = 0;
  TokenStart_ = 0;
  TokenEnd_ = 0;
  PreviousEnd_ = 0;
  SpanStart_ = 0;
  Kind_ = kTokenEnd;
  TokenText_.clear();
}

void TExpressionParser::ScanQuoted(char quote, int kind) {
  const size_t n = Text_.size();
  size_t p = TokenStart_ + 1;
  for (;;) {
    const size_t close = Text_.find(quote, p);
    if (close == std::string::npos) {
      Kind_ = kind;
      TokenEnd_ = n;
      Scan_ = n;
      RaiseTokenError(quote == '\'' ? kMissingSingleQuote : kMissingDoubleQuote,
                      std::string_view(Text_).substr(TokenStart_ + 1));
    }
    TokenText_.append(Text_, p, close - p);
    if (close + 1 < n && Text_[close + 1] == quote) {
      TokenText_ += quote;
      p = close + 2;
      continue;
    }
    TokenEnd_ = close + 1;
    break;
  }
  Kind_ = kind;
}

int TExpressionParser::NextToken() {
  PreviousEnd_ = TokenEnd_;
  TokenText_.clear();
  const size_t n = Text_.size();
  size_t p = Scan_;
  for (;;) {
    while (p < n && static_cast<uint8_t>(Text_[p]) <= 32) ++p;
    if (p + 1 < n && Text_[p] == '/' && Text_[p + 1] == '*') {
      const size_t close = Text_.find("*/", p + 2);
      if (close == std::string::npos) {
        TokenStart_ = p;
        TokenEnd_ = n;
        Scan_ = n;
        Kind_ = kTokenEnd;
        RaiseContextError(kMissingCommentEnd);
      }
      p = close + 2;
      continue;
    }
    break;
  }
  TokenStart_ = p;
  if (p >= n) {
    Kind_ = kTokenEnd;
    TokenEnd_ = p;
    Scan_ = p;
    return Kind_;
  }
  const char c = Text_[p];
  const auto byte = static_cast<uint8_t>(c);
  if (IsNameStartChar(byte)) {
    size_t q = p + 1;
    while (q < n && (IsNameChar(static_cast<uint8_t>(Text_[q])) || IsNameExtraChar(static_cast<uint8_t>(Text_[q]))))
      ++q;
    TokenText_.assign(Text_, p, q - p);
    Kind_ = kTokenName;
    TokenEnd_ = q;
  } else if (c == '[') {
    const size_t close = Text_.find(']', p + 1);
    if (close == std::string::npos) {
      Kind_ = kTokenBracketName;
      TokenEnd_ = n;
      Scan_ = n;
      RaiseTokenError(kMissingRightBracket, std::string_view(Text_).substr(p + 1));
    }
    // Two adjacent equal quote characters inside the name stand for one.
    for (size_t i = p + 1; i < close; ++i) {
      TokenText_ += Text_[i];
      if ((Text_[i] == '\'' || Text_[i] == '"') && i + 1 < close && Text_[i + 1] == Text_[i]) ++i;
    }
    Kind_ = kTokenBracketName;
    TokenEnd_ = close + 1;
  } else if (c == '\'') {
    ScanQuoted('\'', kTokenSingleQuoted);
  } else if (c == '"') {
    ScanQuoted('"', kTokenDoubleQuoted);
  } else if (c == '#' && p + 1 < n && IsDigit(Text_[p + 1])) {
    size_t q = p + 1;
    while (q < n && IsDigit(Text_[q])) ++q;
    TokenText_.assign(Text_, p, q - p);
    Kind_ = kTokenCharCode;
    TokenEnd_ = q;
  } else if (IsDigit(c) || (c == '.' && p + 1 < n && IsDigit(Text_[p + 1]))) {
    size_t q = p;
    bool isInteger = true;
    while (q < n) {
      const char d = Text_[q];
      if (IsDigit(d)) {
        ++q;
      } else if (d == '.' || d == 'E' || d == 'e') {
        isInteger = false;
        ++q;
      } else if ((d == '+' || d == '-') && (Text_[q - 1] == 'E' || Text_[q - 1] == 'e')) {
        ++q;
      } else {
        break;
      }
    }
    TokenText_.assign(Text_, p, q - p);
    Kind_ = isInteger ? kTokenInteger : kTokenNumber;
    TokenEnd_ = q;
  } else {
    TokenText_.assign(1, c);
    Kind_ = byte;
    TokenEnd_ = p + 1;
  }
  Scan_ = TokenEnd_;
  return Kind_;
}

bool TExpressionParser::IsKeyword(std::string_view word) const {
  return Kind_ == kTokenName && SameText(TokenText_, word);
}

std::string TExpressionParser::SpanText() const {
  if (PreviousEnd_ <= SpanStart_ || SpanStart_ >= Text_.size()) return {};
  const size_t end = std::min(PreviousEnd_, Text_.size());
  return RemoveLineBreaks(std::string_view(Text_).substr(SpanStart_, end - SpanStart_));
}

TExpressionParser::TPosition TExpressionParser::SavePosition() const {
  return TPosition{Scan_, TokenStart_, TokenEnd_, PreviousEnd_, Kind_, TokenText_};
}

void TExpressionParser::RestorePosition(const TPosition& position) {
  Scan_ = std::min(position.Scan, Text_.size());
  TokenStart_ = position.TokenStart;
  TokenEnd_ = position.TokenEnd;
  PreviousEnd_ = position.PreviousEnd;
  Kind_ = position.Kind;
  TokenText_ = position.TokenText;
}

// ---- helpers of the grammar ----

void TExpressionParser::ExpectLeftParenthesis(std::string_view message) {
  if (!IsTokenKind('(')) RaiseTokenError(message);
  NextToken();
}

void TExpressionParser::ExpectRightParenthesis(std::string_view message) {
  if (!IsTokenKind(')')) RaiseTokenError(message);
  NextToken();
}

void TExpressionParser::ExpectKeyword(std::string_view keyword, std::string_view message) {
  if (!IsKeyword(keyword)) RaiseTokenError(message);
  NextToken();
}

// ---- grammar ----

TExpTree TExpressionParser::ParseText(std::string_view text, uint32_t flags) {
  SetText(text);
  NextToken();
  TExpTree tree = ParseExpression(flags);
  if (!IsTokenKind(kTokenEnd)) RaiseFoundError(kUnknownSymbol);
  return tree;
}

TExpTree TExpressionParser::ParseExpression(uint32_t flags) { return ParseTop(flags, false); }

TExpTree TExpressionParser::ParseOperand(uint32_t flags) { return ParseTop(flags, true); }

TExpTree TExpressionParser::ParseTop(uint32_t flags, bool operand) {
  const bool outermost = ExpressionLevel_ == 0;
  TLevelGuard level(ExpressionLevel_);
  if (outermost) PendingParameters_.clear();
  TExpTree tree = operand ? ParseUnary(flags) : ParseOr(flags);
  // Checked at every level: the expressions of a sub-select become trees of their own.
  if (TreeHeight(tree.get()) > kMaxExpressionHeight) RaiseContextError(kTooDeep);
  if (!outermost) return tree;
  if (Owner_ != nullptr) {
    for (TExpToken* parameter : PendingParameters_) Owner_->AddParameter(parameter);
  }
  PendingParameters_.clear();
  return tree;
}

TExpTree TExpressionParser::ParseOr(uint32_t flags) {
  TExpTree left = ParseAnd(flags);
  while (IsKeyword("OR")) {
    NextToken();
    TExpTree right = ParseAnd(flags);
    left = MakeBinary(kOpOr, "OR", std::move(left), std::move(right), true);
  }
  return left;
}

TExpTree TExpressionParser::ParseAnd(uint32_t flags) {
  TExpTree left = ParseNot(flags);
  while (IsKeyword("AND")) {
    NextToken();
    TExpTree right = ParseNot(flags);
    left = MakeBinary(kOpAnd, "AND", std::move(left), std::move(right), true);
  }
  return left;
}

TExpTree TExpressionParser::ParseNot(uint32_t flags) {
  if (!IsKeyword("NOT")) return ParseComparison(flags);
  NextToken();
  // One NOT only: a second one would otherwise be read as a column named NOT.
  if (IsKeyword("NOT")) RaiseFoundError(kUnknownSymbol);
  return MakeUnary(kOpNot, "NOT", ParseComparison(flags));
}

TExpTree TExpressionParser::ParseComparison(uint32_t flags) {
  TExpTree left = ParseAdditive(flags);
  uint8_t opCode = 0;
  std::string_view text;
  switch (Kind_) {
    case '=':
      opCode = kOpEqual;
      text = "=";
      NextToken();
      break;
    case '<':
      NextToken();
      if (IsTokenKind('>')) {
        opCode = kOpNotEqual;
        text = "<>";
        NextToken();
      } else if (IsTokenKind('=')) {
        opCode = kOpLessEqual;
        text = "<=";
        NextToken();
      } else {
        opCode = kOpLess;
        text = "<";
      }
      break;
    case '>':
      NextToken();
      if (IsTokenKind('=')) {
        opCode = kOpGreaterEqual;
        text = ">=";
        NextToken();
      } else {
        opCode = kOpGreater;
        text = ">";
      }
      break;
    default:
      break;
  }
  if (opCode != 0) {
    TExpTree right = ParseAdditive(flags);
    return MakeBinary(opCode, text, std::move(left), std::move(right), true);
  }

  if (IsKeyword("NOT")) {
    NextToken();
    if (!IsKeyword("LIKE") && !IsKeyword("BETWEEN") && !IsKeyword("IN")) RaiseTokenError(kUnknownSymbol);
    if ((flags & kParseExtendedPredicates) == 0) RaiseContextError(kExtendedNotAllowed);
    return ParsePredicate(std::move(left), flags, true);
  }
  if (IsKeyword("LIKE") || IsKeyword("BETWEEN") || IsKeyword("IN")) {
    if ((flags & kParseExtendedPredicates) == 0) RaiseContextError(kExtendedNotAllowed);
    return ParsePredicate(std::move(left), flags, false);
  }
  if (IsKeyword("IS")) {
    if ((flags & kParseExtendedPredicates) == 0) RaiseContextError(kExtendedNotAllowed);
    NextToken();
    bool negated = false;
    if (IsKeyword("NOT")) {
      negated = true;
      NextToken();
    }
    if (!IsKeyword("NULL")) RaiseFoundError(kUnknownSymbol);
    NextToken();
    return MakeBinary(negated ? kOpNotEqual : kOpEqual, negated ? "<>" : "=", std::move(left),
                      MakeNullConstant(), true);
  }
  return left;
}

TExpTree TExpressionParser::ParsePredicate(TExpTree tested, uint32_t flags, bool negated) {
  TExpTree node = MakeNode(kNodePredicate, 0, {});
  SetNodeType(*node, TFieldType::Boolean);
  AddArgument(*node, std::move(tested));
  if (IsKeyword("LIKE")) {
    node->OpCode = negated ? kPredNotLike : kPredLike;
    node->Text = negated ? "NOT LIKE" : "LIKE";
    NextToken();
    AddArgument(*node, ParseAdditive(flags));
  } else if (IsKeyword("BETWEEN")) {
    node->OpCode = negated ? kPredNotBetween : kPredBetween;
    node->Text = negated ? "NOT BETWEEN" : "BETWEEN";
    NextToken();
    AddArgument(*node, ParseAdditive(flags));
    ExpectKeyword("AND", negated ? kNotBetweenAndExpected : kBetweenAndExpected);
    AddArgument(*node, ParseAdditive(flags));
  } else {
    node->Text = negated ? "NOT IN" : "IN";
    NextToken();
    ExpectLeftParenthesis(negated ? kNotInLeftExpected : kInLeftExpected);
    if (IsKeyword("SELECT")) {
      node->OpCode = negated ? kPredNotInSelect : kPredInSelect;
      if ((flags & kParseSubSelects) == 0) RaiseContextError(kSubSelectsNotAllowed);
      TExpTree select = MakeNode(kNodeSubSelect, 0, "SELECT");
      if (Owner_ != nullptr) {
        // The sub-select's own expressions recurse through here without passing a
        // primary first, so it counts as a level of nesting itself.
        TLevelGuard nesting(Nesting_);
        if (Nesting_ > kMaxExpressionNesting) RaiseContextError(kTooDeep);
        select->SubQuery = Owner_->ParseSubSelect(*this, flags);
      }
      if (!select->SubQuery) RaiseContextError(kSubSelectsNotAllowed);
      AddArgument(*node, std::move(select));
      ExpectRightParenthesis(negated ? kNotInSelectRightExpected : kInSelectRightExpected);
    } else {
      node->OpCode = negated ? kPredNotIn : kPredIn;
      AddArgument(*node, ParseAdditive(flags));
      while (IsTokenKind(',')) {
        NextToken();
        AddArgument(*node, ParseAdditive(flags));
      }
      ExpectRightParenthesis(negated ? kNotInListRightExpected : kInListRightExpected);
    }
  }
  return node;
}

TExpTree TExpressionParser::ParseAdditive(uint32_t flags) {
  TExpTree left = ParseMultiplicative(flags);
  for (;;) {
    uint8_t opCode = 0;
    std::string_view text;
    if (IsTokenKind('+')) {
      opCode = kOpAdd;
      text = "+";
    } else if (IsTokenKind('-')) {
      opCode = kOpSubtract;
      text = "-";
    } else if (IsTokenKind('|')) {
      NextToken();
      if (!IsTokenKind('|')) RaiseTokenError(kSecondBarExpected);
      opCode = kOpAdd;
      text = "||";
    } else {
      return left;
    }
    NextToken();
    TExpTree right = ParseMultiplicative(flags);
    left = MakeBinary(opCode, text, std::move(left), std::move(right), false);
  }
}

TExpTree TExpressionParser::ParseMultiplicative(uint32_t flags) {
  TExpTree left = ParseUnary(flags);
  for (;;) {
    uint8_t opCode = 0;
    std::string_view text;
    if (IsTokenKind('*')) {
      opCode = kOpMultiply;
      text = "*";
    } else if (IsTokenKind('/')) {
      opCode = kOpDivide;
      text = "/";
    } else {
      return left;
    }
    NextToken();
    TExpTree right = ParseUnary(flags);
    left = MakeBinary(opCode, text, std::move(left), std::move(right), false);
  }
}

TExpTree TExpressionParser::ParseUnary(uint32_t flags) {
  if (IsTokenKind('-') || IsTokenKind('+')) {
    const bool minus = IsTokenKind('-');
    NextToken();
    // A sign applies to one primary; a second sign is an unexpected symbol there.
    return MakeUnary(minus ? kOpUnaryMinus : kOpUnaryPlus, minus ? "-" : "+", ParsePrimary(flags));
  }
  return ParsePrimary(flags);
}

TExpTree TExpressionParser::ParsePrimary(uint32_t flags) {
  TLevelGuard nesting(Nesting_);
  if (Nesting_ > kMaxExpressionNesting) RaiseContextError(kTooDeep);
  switch (Kind_) {
    case kTokenName:
      return ParseName(flags);
    case kTokenBracketName: {
      std::string name = TokenText_;
      NextToken();
      if (IsTokenKind('.')) return ParseColumnAfterCorrelation(std::move(name), flags);
      return MakeColumn({}, name);
    }
    case kTokenSingleQuoted:
    case kTokenDoubleQuoted: {
      std::string text = TokenText_;
      NextToken();
      if (IsTokenKind('.')) return ParseColumnAfterCorrelation(std::move(text), flags);
      return MakeStringConstant(text, text);
    }
    case kTokenCharCode:
      return ParseCharCode();
    case kTokenInteger:
    case kTokenNumber:
      return ParseNumber();
    case '(': {
      NextToken();
      TExpTree inner = ParseOr(flags);
      ExpectRightParenthesis(kRightParenthesisExpected);
      return inner;
    }
    case '*': {
      if ((flags & kParseAllColumns) == 0) RaiseContextError(kAllColumnsNotAllowed);
      NextToken();
      return MakeColumn({}, "*");
    }
    case '?': {
      if ((flags & kParseParameters) == 0) RaiseContextError(kParametersNotAllowed);
      TExpTree node = MakeNode(kNodeConstant, 0, "?");
      node->IsParameter = 1;
      node->IsNull = 1;
      PendingParameters_.push_back(node.get());
      NextToken();
      return node;
    }
    default:
      RaiseFoundError(kUnknownSymbol);
  }
}

TExpTree TExpressionParser::ParseName(uint32_t flags) {
  if (const TFunctionEntry* function = FindKeyword(kFunctions, TokenText_)) {
    return ParseFunction(static_cast<int>(function - kFunctions), flags);
  }
  if (IsKeyword("TRUE") || IsKeyword("FALSE")) {
    TExpTree node = MakeNode(kNodeConstant, 0, IsKeyword("TRUE") ? "TRUE" : "FALSE");
    SetNodeType(*node, TFieldType::Boolean);
    WriteU16(node->Data.data(), IsKeyword("TRUE") ? 1 : 0);
    NextToken();
    return node;
  }
  if (IsKeyword("NULL")) {
    NextToken();
    return MakeNullConstant();
  }
  if (IsKeyword("CURRENT_DATE")) return ParseCurrent(TFieldType::Date, "CURRENT_DATE");
  if (IsKeyword("CURRENT_TIME")) return ParseCurrent(TFieldType::Time, "CURRENT_TIME");
  if (IsKeyword("CURRENT_TIMESTAMP")) {
    return ParseCurrent(TFieldType::Timestamp, "CURRENT_TIMESTAMP");
  }
  if (const TCodeKeyword* aggregate = FindKeyword(kAggregates, TokenText_)) {
    return ParseAggregate(aggregate->Code, aggregate->Keyword, flags);
  }
  std::string name = TokenText_;
  NextToken();
  if (IsTokenKind('(')) RaiseFoundError(kUnknownFunction, name);
  if (IsTokenKind('.')) return ParseColumnAfterCorrelation(std::move(name), flags);
  return MakeColumn({}, name);
}

TExpTree TExpressionParser::ParseColumnAfterCorrelation(std::string correlation, uint32_t flags) {
  NextToken();  // past the "."
  std::string column;
  if (IsNameOrText()) {
    column = TokenText_;
  } else if (IsTokenKind('*') && (flags & kParseAllColumns) != 0) {
    column = "*";
  } else {
    RaiseTokenError(kCorrelationColumnExpected);
  }
  NextToken();
  // A correlation name may be written as a file name: only the table's name counts.
  return MakeColumn(TableBaseName(correlation, kDataFileExtension), column);
}

TExpTree TExpressionParser::ParseNumber() {
  const std::string& text = TokenText_;
  TExpTree node = MakeNode(kNodeConstant, 0, text);
  if (Kind_ == kTokenInteger) {
    if (const auto value = TryTextToInt32(text)) {
      SetNodeType(*node, TFieldType::Integer);
      WriteI32(node->Data.data(), *value);
      NextToken();
      return node;
    }
    if (const auto value = TryTextToInt64(text)) {
      SetNodeType(*node, TFieldType::LargeInt);
      WriteI64(node->Data.data(), *value);
      NextToken();
      return node;
    }
  }
  // The float reader wants a digit before the decimal separator.
  std::string number = text;
  if (!number.empty() && number[0] == '.') number.insert(number.begin(), '0');
  const auto value = TryTextToFloat(number);
  if (!value) {
    std::string message(kConstantPrefix);
    message += text;
    message += "'";
    message += kConstantSuffix;
    message += " in ";
    message += Context_;
    RaiseMessage(message);
  }
  SetNodeType(*node, TFieldType::Float);
  WriteF64(node->Data.data(), *value);
  NextToken();
  return node;
}

TExpTree TExpressionParser::ParseCharCode() {
  // The digits after "#"; any run longer than three digits is out of range anyway.
  const std::string_view digits = std::string_view(TokenText_).substr(1);
  int code = 0;
  bool inRange = digits.size() <= 3;
  if (inRange) {
    for (const char d : digits) code = code * 10 + (d - '0');
    inRange = code <= 255;
  }
  if (!inRange) {
    std::string message(kCharCodeRange);
    message += "0 to 255 in ";
    message += Context_;
    RaiseMessage(message);
  }
  const char value = static_cast<char>(code);
  TExpTree node = MakeStringConstant(TokenText_, std::string_view(&value, 1));
  NextToken();
  return node;
}

TExpTree TExpressionParser::ParseCurrent(TFieldType fieldType, std::string_view name) {
  NextToken();
  if (IsTokenKind('(')) {
    NextToken();
    if (!IsTokenKind(')')) {
      std::string prefix(kCurrentRightPrefix);
      prefix += name;
      prefix += kCurrentRightSuffix;
      RaiseTokenError(prefix);
    }
    NextToken();
  }
  TExpTree node = MakeNode(kNodeConstant, 0, name);
  SetNodeType(*node, fieldType);
  if (fieldType == TFieldType::Date) {
    WriteI32(node->Data.data(), CurrentDate());
  } else if (fieldType == TFieldType::Time) {
    WriteI32(node->Data.data(), CurrentTime());
  } else {
    WriteF64(node->Data.data(), CurrentTimestamp());
  }
  return node;
}

TExpTree TExpressionParser::ParseAggregate(uint8_t opCode, std::string_view name, uint32_t flags) {
  if ((flags & kParseAggregates) == 0) RaiseContextError(kAggregatesNotAllowed);
  NextToken();
  if (!IsTokenKind('(')) {
    std::string message(kAggregateLeftPrefix);
    message += name;
    message += "', instead found '";
    message += TokenText_;
    message += "' in ";
    message += Context_;
    RaiseMessage(message);
  }
  NextToken();
  TExpTree node = MakeNode(kNodeFunction, opCode, name);
  if (opCode == kFuncCount) SetNodeType(*node, TFieldType::Integer);
  AddArgument(*node, ParseAdditive(flags));
  if (!IsTokenKind(')')) {
    std::string message(kAggregateRightPrefix);
    message += name;
    message += kAggregateRightMiddle;
    message += "'";
    message += TokenText_;
    message += "' in ";
    message += Context_;
    RaiseMessage(message);
  }
  NextToken();
  return node;
}

TExpTree TExpressionParser::ParseFunction(int functionIndex, uint32_t flags) {
  const TFunctionEntry& entry = kFunctions[static_cast<size_t>(functionIndex)];
  const std::string_view keyword = entry.Keyword;
  // The messages name the keyword; they are only put together when raised.
  auto raiseAround = [this, keyword](std::string_view prefix, std::string_view suffix) {
    std::string text(prefix);
    text += keyword;
    text += suffix;
    RaiseTokenError(text);
  };
  auto expectAround = [&](bool ok, std::string_view prefix, std::string_view suffix) {
    if (!ok) raiseAround(prefix, suffix);
    NextToken();
  };
  auto expectIn = [&] { expectAround(IsKeyword("IN"), kInExpectedPrefix, kInExpectedSuffix); };
  auto closeSingular = [&] { expectAround(IsTokenKind(')'), kFunctionRightPrefix, kFunctionRightSingular); };
  auto closePlural = [&] { expectAround(IsTokenKind(')'), kFunctionRightPrefix, kFunctionRightPlural); };

  NextToken();
  expectAround(IsTokenKind('('), kFunctionLeftPrefix, kFunctionLeftSuffix);
  TExpTree node = MakeNode(kNodeFunction, entry.OpCode, keyword);

  switch (entry.Function) {
    case fnUpper:
    case fnLower:
      AddArgument(*node, ParseAdditive(flags));
      SetNodeType(*node, TFieldType::String);
      closeSingular();
      break;
    case fnLength:
      AddArgument(*node, ParseAdditive(flags));
      SetNodeType(*node, TFieldType::Integer);
      closeSingular();
      break;
    case fnAbs:
      AddArgument(*node, ParseAdditive(flags));
      closeSingular();
      break;
    case fnSubstring:
      AddArgument(*node, ParseAdditive(flags));
      ExpectKeyword("FROM", kSubstringFromExpected);
      AddArgument(*node, ParseAdditive(flags));
      if (IsKeyword("FOR")) {
        NextToken();
        AddArgument(*node, ParseAdditive(flags));
      }
      SetNodeType(*node, TFieldType::String);
      closePlural();
      break;
    case fnReplace:
      AddArgument(*node, ParseAdditive(flags));
      ExpectKeyword("WITH", kReplaceWithExpected);
      AddArgument(*node, ParseAdditive(flags));
      ExpectKeyword("IN", kReplaceInExpected);
      AddArgument(*node, ParseAdditive(flags));
      SetNodeType(*node, TFieldType::String);
      closePlural();
      break;
    case fnPos:
    case fnOccurs:
      AddArgument(*node, ParseAdditive(flags));
      expectIn();
      AddArgument(*node, ParseAdditive(flags));
      SetNodeType(*node, TFieldType::Integer);
      closePlural();
      break;
    case fnTrim: {
      const TCodeKeyword* part = IsTokenKind(kTokenName) ? FindKeyword(kTrimParts, TokenText_) : nullptr;
      if (part == nullptr) RaiseTokenError(kTrimPartExpected);
      node->OpCode = part->Code;
      NextToken();
      AddArgument(*node, ParsePrimary(flags));
      ExpectKeyword("FROM", kTrimFromExpected);
      AddArgument(*node, ParseAdditive(flags));
      SetNodeType(*node, TFieldType::String);
      closePlural();
      break;
    }
    case fnExtract: {
      const TCodeKeyword* part = IsTokenKind(kTokenName) ? FindKeyword(kExtractParts, TokenText_) : nullptr;
      if (part == nullptr) RaiseTokenError(kExtractPartExpected);
      node->OpCode = part->Code;
      NextToken();
      ExpectKeyword("FROM", kExtractFromExpected);
      AddArgument(*node, ParseAdditive(flags));
      SetNodeType(*node, TFieldType::Integer);
      closePlural();
      break;
    }
    case fnCast:
      AddArgument(*node, ParseAdditive(flags));
      ExpectKeyword("AS", kCastAsExpected);
      ParseDataType(node.get(), flags, true);
      closePlural();
      break;
    case fnRound:
      AddArgument(*node, ParseAdditive(flags));
      if (IsKeyword("TO")) {
        NextToken();
        AddArgument(*node, ParsePrimary(flags));
      }
      closePlural();
      break;
    case fnIf:
    case fnIfNull: {
      // The condition of IF is a condition wherever IF stands.
      const uint32_t firstFlags = entry.Function == fnIf ? (flags | kParseExtendedPredicates) : flags;
      AddArgument(*node, ParseOr(firstFlags));
      expectAround(IsKeyword("THEN") || IsTokenKind(','), kThenExpectedPrefix, kIfArgumentSuffix);
      AddArgument(*node, ParseAdditive(flags));
      expectAround(IsKeyword("ELSE") || IsTokenKind(','), kElseExpectedPrefix, kIfArgumentSuffix);
      AddArgument(*node, ParseAdditive(flags));
      closePlural();
      break;
    }
    case fnCoalesce:
      AddArgument(*node, ParseAdditive(flags));
      while (IsTokenKind(',')) {
        NextToken();
        AddArgument(*node, ParseAdditive(flags));
      }
      ExpectRightParenthesis(kCoalesceRightExpected);
      break;
    case fnTextSearch:
    case fnTextOccurs:
      AddArgument(*node, ParseAdditive(flags));
      expectIn();
      AddArgument(*node, ParsePrimary(flags));
      SetNodeType(*node, entry.Function == fnTextSearch ? TFieldType::Boolean : TFieldType::Word);
      closeSingular();
      break;
    case fnLastAutoInc:
    case fnIdentCurrent:
      AddArgument(*node, ParsePrimary(flags));
      SetNodeType(*node, TFieldType::Integer);
      closeSingular();
      break;
  }
  return node;
}

void TExpressionParser::ParseDataType(TExpToken* node, uint32_t flags, bool optional) {
  const TDataTypeEntry* entry = IsTokenKind(kTokenName) ? FindKeyword(kDataTypes, TokenText_) : nullptr;
  if (entry == nullptr) RaiseTokenError(kDataTypeExpected);
  const std::string written = TokenText_;
  const bool isFloat = entry->Type == TFieldType::Float && entry->Args == taPrecision;
  SetNodeType(*node, entry->Type, entry->SubType);
  NextToken();

  auto raiseWritten = [&](std::string_view prefix, std::string_view middle) {
    std::string message(prefix);
    message += written;
    message += middle;
    message += "'";
    message += TokenText_;
    message += "' in ";
    message += Context_;
    RaiseMessage(message);
  };

  switch (entry->Args) {
    case taNone:
      break;
    case taPrecision:
      if (!IsTokenKind('(')) break;
      NextToken();
      AddArgument(*node, ParsePrimary(flags));
      if (IsTokenKind(',')) {
        NextToken();
        AddArgument(*node, ParsePrimary(flags));
        if (!IsTokenKind(')')) {
          if (isFloat) RaiseTokenError(kFloatRightExpected);
          raiseWritten(kFunctionRightPrefix, kDataTypeRightMiddle);
        }
      } else if (!IsTokenKind(')')) {
        if (isFloat) RaiseTokenError(kFloatCommaExpected);
        raiseWritten(kDataTypeCommaPrefix, kDataTypeCommaMiddle);
      }
      NextToken();
      break;
    case taLength:
      if (!IsTokenKind('(')) {
        if (optional) break;
        raiseWritten(kFunctionLeftPrefix, kDataTypeLeftMiddle);
      }
      NextToken();
      AddArgument(*node, ParsePrimary(flags));
      if (!IsTokenKind(')')) raiseWritten(kFunctionRightPrefix, kDataTypeRightMiddle);
      NextToken();
      break;
    case taBlob:
      if (!IsTokenKind('(')) break;
      node->SubType = TFieldSubType::None;
      NextToken();
      AddArgument(*node, ParsePrimary(flags));
      if (!IsTokenKind(',')) RaiseTokenError(kBlobCommaExpected);
      NextToken();
      AddArgument(*node, ParsePrimary(flags));
      if (!IsTokenKind(')')) RaiseTokenError(kBlobRightExpected);
      NextToken();
      break;
  }
}

// ---- byte stream of a tree ----

namespace {

void PutField(std::vector<uint8_t>& out, const void* bytes, size_t size) {
  uint8_t length[4];
  WriteI32(length, static_cast<int32_t>(size));
  out.insert(out.end(), length, length + 4);
  const auto* begin = static_cast<const uint8_t*>(bytes);
  if (size > 0) out.insert(out.end(), begin, begin + size);
}

void PutByte(std::vector<uint8_t>& out, uint8_t value) { PutField(out, &value, 1); }

void PutInt(std::vector<uint8_t>& out, int32_t value) {
  uint8_t bytes[4];
  WriteI32(bytes, value);
  PutField(out, bytes, 4);
}

void PutText(std::vector<uint8_t>& out, const std::string& text) { PutField(out, text.data(), text.size()); }

constexpr uint8_t kHasOperand = 1;
constexpr uint8_t kHasRightOperand = 2;

void SerializeNode(const TExpToken& node, std::vector<uint8_t>& out) {
  PutText(out, node.Text);
  PutByte(out, node.Kind);
  PutByte(out, node.OpCode);
  PutByte(out, node.IsBound);
  PutByte(out, node.IsColumnText);
  PutInt(out, node.SourceNo);
  PutInt(out, node.FieldNo);
  PutText(out, node.ColumnName);
  PutText(out, node.TableName);
  // The value: DataLength bytes (a node never holds fewer in Data; zeros if it did).
  const size_t length = node.DataLength > 0 ? static_cast<size_t>(node.DataLength) : 0;
  const size_t held = std::min(length, node.Data.size());
  PutField(out, node.Data.data(), held);
  if (held < length) {
    const size_t lengthAt = out.size() - held - 4;
    out.resize(out.size() + (length - held), 0);
    WriteI32(out.data() + lengthAt, static_cast<int32_t>(length));
  }
  PutByte(out, node.IsNull);
  PutByte(out, node.IsParameter);
  PutInt(out, node.PatternPosition);
  PutByte(out, node.CaseInsensitive);
  PutByte(out, static_cast<uint8_t>(node.DataType));
  PutByte(out, static_cast<uint8_t>(node.SubType));
  PutInt(out, node.DataLength);
  PutByte(out, node.DataScale);
  PutByte(out, static_cast<uint8_t>(node.SavedDataType));
  PutByte(out, static_cast<uint8_t>(node.SavedSubType));
  PutInt(out, node.SavedDataLength);
  PutByte(out, node.SavedDataScale);
  uint8_t children = 0;
  if (node.Operand != nullptr) children |= kHasOperand;
  if (node.RightOperand != nullptr) children |= kHasRightOperand;
  PutByte(out, children);
  int32_t argumentCount = 0;
  for (const TExpToken* argument : node.Arguments) argumentCount += argument != nullptr ? 1 : 0;
  PutInt(out, argumentCount);
}

// Reads fields back; every failure raises the one stream error.
class TTreeReader {
public:
  TTreeReader(const uint8_t* data, size_t size) : Data_(data), Size_(size) {}

  size_t Consumed() const { return Pos_; }

  TExpTree ReadNode(int depth) {
    if (depth > kMaxExpressionHeight) Fail();
    TExpTree node = NewExpToken();
    ReadText(node->Text);
    node->Kind = ReadByte();
    node->OpCode = ReadByte();
    node->IsBound = ReadByte();
    node->IsColumnText = ReadByte();
    node->SourceNo = ReadInt();
    node->FieldNo = ReadInt();
    ReadText(node->ColumnName);
    ReadText(node->TableName);
    const size_t valueLength = ReadLength();
    node->ReserveData(static_cast<int32_t>(valueLength));
    if (valueLength > 0) std::memcpy(node->Data.data(), Take(valueLength), valueLength);
    node->IsNull = ReadByte();
    node->IsParameter = ReadByte();
    node->PatternPosition = ReadInt();
    node->CaseInsensitive = ReadByte();
    node->DataType = static_cast<TFieldType>(ReadByte());
    node->SubType = static_cast<TFieldSubType>(ReadByte());
    node->DataLength = ReadInt();
    node->DataScale = ReadByte();
    node->SavedDataType = static_cast<TFieldType>(ReadByte());
    node->SavedSubType = static_cast<TFieldSubType>(ReadByte());
    node->SavedDataLength = ReadInt();
    node->SavedDataScale = ReadByte();
    const uint8_t children = ReadByte();
    const int32_t argumentCount = ReadInt();

    if (node->DataLength < 0 || static_cast<size_t>(node->DataLength) != valueLength) Fail();
    if ((children & ~(kHasOperand | kHasRightOperand)) != 0) Fail();
    // Each node takes far more than one byte, so a count beyond the bytes left is a lie.
    if (argumentCount < 0 || static_cast<size_t>(argumentCount) > Size_ - Pos_) Fail();
    CheckShape(*node, children, argumentCount);
    CheckValue(*node);

    if ((children & kHasOperand) != 0) node->Operand = ReadNode(depth + 1).release();
    if ((children & kHasRightOperand) != 0) node->RightOperand = ReadNode(depth + 1).release();
    node->Arguments.reserve(static_cast<size_t>(argumentCount));
    for (int32_t i = 0; i < argumentCount; ++i) AddArgument(*node, ReadNode(depth + 1));
    return node;
  }

private:
  [[noreturn]] static void Fail() {
    TErrorNames names;
    names.ExtraMessage = std::string(kInvalidExpressionData);
    RaiseEngineError(KURA_SQLPARSE, names);
  }

  const uint8_t* Take(size_t count) {
    if (count > Size_ - Pos_) Fail();
    const uint8_t* at = Data_ + Pos_;
    Pos_ += count;
    return at;
  }

  size_t ReadLength() {
    const int32_t length = ReadI32(Take(4));
    if (length < 0 || static_cast<size_t>(length) > Size_ - Pos_) Fail();
    return static_cast<size_t>(length);
  }

  uint8_t ReadByte() {
    if (ReadLength() != 1) Fail();
    return *Take(1);
  }

  int32_t ReadInt() {
    if (ReadLength() != 4) Fail();
    return ReadI32(Take(4));
  }

  void ReadText(std::string& text) {
    const size_t length = ReadLength();
    const uint8_t* bytes = Take(length);
    text.assign(reinterpret_cast<const char*>(bytes), length);
  }

  // The children each kind must have, so that whatever walks the tree can rely on them.
  static void CheckShape(const TExpToken& node, uint8_t children, int32_t argumentCount) {
    const bool hasOperand = (children & kHasOperand) != 0;
    const bool hasRight = (children & kHasRightOperand) != 0;
    switch (node.Kind) {
      case kNodeUnary:
        if (!hasOperand || hasRight || argumentCount != 0) Fail();
        break;
      case kNodeBinary:
      case kNodeWildcard:
        if (!hasOperand || !hasRight || argumentCount != 0) Fail();
        break;
      case kNodeColumn:
      case kNodeConstant:
      case kNodeSubSelect:
        if (hasOperand || hasRight || argumentCount != 0) Fail();
        break;
      case kNodeFunction:
      case kNodePredicate:
        if (hasOperand || hasRight || argumentCount < 1) Fail();
        break;
      default:
        Fail();
    }
  }

  // A value must be what its type says, so that readers never run past it.
  static void CheckValue(const TExpToken& node) {
    const auto code = static_cast<uint8_t>(node.DataType);
    if (code != 0 && !IsValidFieldType(node.DataType)) Fail();
    if (node.Kind != kNodeConstant || node.IsNull != 0 || node.DataType == TFieldType::Unknown) return;
    if (node.DataType == TFieldType::String) {
      if (node.DataLength < 1 || node.Data[static_cast<size_t>(node.DataLength) - 1] != 0) Fail();
      return;
    }
    if (HasDeclaredSize(node.DataType) || node.DataType == TFieldType::Blob) return;
    if (node.DataLength != DataSize(node.DataType, 0)) Fail();
  }

  const uint8_t* Data_;
  size_t Size_;
  size_t Pos_ = 0;
};

}  // namespace

void SerializeTree(const TExpToken* root, std::vector<uint8_t>& out) {
  // Pre-order without recursion: a node, then its operand, right operand and
  // arguments, each followed by its own subtree.
  std::vector<const TExpToken*> pending{root};
  while (!pending.empty()) {
    const TExpToken* node = pending.back();
    pending.pop_back();
    SerializeNode(*node, out);
    for (auto it = node->Arguments.rbegin(); it != node->Arguments.rend(); ++it) {
      if (*it != nullptr) pending.push_back(*it);
    }
    if (node->RightOperand != nullptr) pending.push_back(node->RightOperand);
    if (node->Operand != nullptr) pending.push_back(node->Operand);
  }
}

TExpTree DeserializeTree(const uint8_t* data, size_t size, size_t* consumed) {
  TTreeReader reader(data, size);
  TExpTree root = reader.ReadNode(1);
  if (consumed != nullptr) *consumed = reader.Consumed();
  return root;
}

}  // namespace kura
