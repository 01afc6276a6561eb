#include "kura/expr/expression_binder.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/expr/expression_parser.h"
#include "testing/column_table.h"
#include "testing/engine_error_expect.h"

namespace kura {
namespace {

using T = TFieldType;
using S = TFieldSubType;
using testing_support::EngineErrorOf;
using testing_support::TColumnTable;

// The columns of the table "people" every test binds against, as a cursor's ResolveColumn
// would serve them; a correlation name other than "people" is unknown.
// clang-format off
const TColumnTable kColumns({
    {"Name", {T::String, S::None, 21, 0}},
    {"City", {T::String, S::None, 31, 0}},
    {"Smith", {T::String, S::None, 11, 0}},  // a column whose name is also a plausible text
    {"Notes", {T::Blob, S::Memo, 8, 0}},
    {"Picture", {T::Blob, S::Graphic, 8, 0}},
    {"Born", {T::Date, S::None, 4, 0}},
    {"AtTime", {T::Time, S::None, 4, 0}},
    {"Stamp", {T::Timestamp, S::None, 8, 0}},
    {"Flag", {T::Boolean, S::None, 2, 0}},
    {"Small", {T::SmallInt, S::None, 2, 0}},
    {"Qty", {T::Integer, S::None, 4, 0}},
    {"Id", {T::Integer, S::AutoInc, 4, 0}},
    {"Price", {T::Float, S::None, 8, 0}},
    {"Amount", {T::Bcd, S::None, 34, 2}},
    {"Rate", {T::Bcd, S::None, 34, 4}},
    {"Counter", {T::Word, S::None, 2, 0}},
    {"Big", {T::LargeInt, S::None, 8, 0}},
    {"Raw", {T::Bytes, S::None, 6, 0}},
}, "people");
// clang-format on

constexpr uint32_t kSqlFlags = kParseAggregates | kParseAllColumns | kParseExtendedPredicates | kParseParameters;
const std::string kContext = "WHERE clause";

TBindContext SqlContext() {
  TBindContext context;
  context.ErrorCode = KURA_SQLPARSE;
  context.ContextText = kContext;
  kColumns.ServeTo(context);
  return context;
}

TBindContext FilterContext() {
  TBindContext context = SqlContext();
  context.ErrorCode = KURA_INVALIDFILTER;
  context.ContextText = "filter expression";
  context.TableName = "people";
  return context;
}

TExpTree Parse(std::string_view text) {
  TExpressionParser parser;
  return parser.ParseText(text, kSqlFlags);
}

TExpTree Bind(std::string_view text, bool isCondition = false, const TBindContext& context = SqlContext(),
              bool allowColumnText = true) {
  TExpTree tree = Parse(text);
  BindExpression(context, tree.get(), tree.get(), allowColumnText, isCondition);
  return tree;
}

struct TFailure {
  TErrorCode Code = 0;
  std::string Message;  // the violation (the error's extra message)
  std::string Table;
  std::string What;
};

TFailure BindFailure(std::string_view text, const TBindContext& context = SqlContext(), bool isCondition = false) {
  TExpTree tree = Parse(text);
  const auto error = EngineErrorOf([&] { BindExpression(context, tree.get(), tree.get(), true, isCondition); });
  if (error) return TFailure{error->ErrorCode, error->ErrorExtraMessage, error->ErrorTableName, error->what()};
  ADD_FAILURE() << "no error for " << text;
  return {};
}

std::string StringOf(const TExpToken& node) { return std::string(reinterpret_cast<const char*>(node.Data.data())); }

// Every child's Parent points at the node it hangs from.
void ExpectParentsLinked(const TExpToken* node) {
  auto check = [&](const TExpToken* child) {
    if (child == nullptr) return;
    EXPECT_EQ(child->Parent, node) << "child '" << child->Text << "' of '" << node->Text << "'";
    ExpectParentsLinked(child);
  };
  check(node->Operand);
  check(node->RightOperand);
  for (const TExpToken* argument : node->Arguments) check(argument);
}

// ---- result types ----

struct TTypeCase {
  const char* Text;
  TExpType Type;
};

TEST(ExpressionBinderTest, ResultTypes) {
  const std::vector<TTypeCase> cases = {
      // operators
      {"Qty + Small", {T::Integer, S::None, 4, 0}},
      {"Small * Counter", {T::Integer, S::None, 4, 0}},
      {"7 / 2", {T::Float, S::None, 8, 0}},
      {"Qty / Small", {T::Float, S::None, 8, 0}},
      {"Big + 1", {T::LargeInt, S::None, 8, 0}},
      {"Price - Qty", {T::Float, S::None, 8, 0}},
      {"Amount * 2", {T::Bcd, S::None, 34, 2}},
      {"Amount + Rate", {T::Bcd, S::None, 34, 4}},
      {"Amount / Qty", {T::Bcd, S::None, 34, 2}},
      {"Amount / Price", {T::Float, S::None, 8, 0}},
      {"Name + City", {T::String, S::None, 51, 0}},
      {"Name || 'ab'", {T::String, S::None, 23, 0}},
      {"Name || Notes", {T::Blob, S::Memo, 8, 0}},
      {"Born + 1", {T::Date, S::None, 4, 0}},
      {"1 + Born", {T::Date, S::None, 4, 0}},
      {"Born - 1", {T::Date, S::None, 4, 0}},
      {"Born - Born", {T::Integer, S::None, 4, 0}},
      {"CURRENT_DATE - Born", {T::Integer, S::None, 4, 0}},
      {"AtTime + Qty", {T::Time, S::None, 4, 0}},
      {"AtTime - AtTime", {T::Integer, S::None, 4, 0}},
      {"Stamp + 1", {T::Timestamp, S::None, 8, 0}},
      {"Stamp - Born", {T::Integer, S::None, 4, 0}},
      {"Stamp - AtTime", {T::Integer, S::None, 4, 0}},
      {"Stamp - Stamp", {T::Float, S::None, 8, 0}},
      {"Qty + NULL", {T::Integer, S::None, 4, 0}},
      {"NULL + NULL", {T::Unknown, S::None, 0, 0}},
      {"-Id", {T::Integer, S::None, 4, 0}},
      {"-Amount", {T::Bcd, S::None, 34, 2}},
      {"-Born", {T::Date, S::None, 4, 0}},
      {"+Counter", {T::Word, S::None, 2, 0}},
      {"-NULL", {T::Unknown, S::None, 0, 0}},
      {"NOT Flag", {T::Boolean, S::None, 2, 0}},
      {"Qty > 1 AND Flag = TRUE", {T::Boolean, S::None, 2, 0}},
      {"Name IS NULL", {T::Boolean, S::None, 2, 0}},
      {"Picture IS NOT NULL", {T::Boolean, S::None, 2, 0}},
      {"Born = Stamp", {T::Boolean, S::None, 2, 0}},
      {"Name = Notes", {T::Boolean, S::None, 2, 0}},
      {"Raw = Raw", {T::Boolean, S::None, 2, 0}},
      // predicates
      {"Name LIKE 'A%'", {T::Boolean, S::None, 2, 0}},
      {"Notes NOT LIKE Name", {T::Boolean, S::None, 2, 0}},
      {"Qty IN (1, 2.5, Big)", {T::Boolean, S::None, 2, 0}},
      {"Qty NOT IN (1, NULL)", {T::Boolean, S::None, 2, 0}},
      {"Qty BETWEEN 1 AND Price", {T::Boolean, S::None, 2, 0}},
      {"Flag IN (TRUE, FALSE, NULL)", {T::Boolean, S::None, 2, 0}},
      {"Born NOT BETWEEN '2001-01-01' AND Stamp", {T::Boolean, S::None, 2, 0}},
      // aggregates
      {"SUM(Small)", {T::Integer, S::None, 4, 0}},
      {"SUM(Counter)", {T::Integer, S::None, 4, 0}},
      {"SUM(Qty)", {T::LargeInt, S::None, 8, 0}},
      {"SUM(Id)", {T::LargeInt, S::None, 8, 0}},
      {"SUM(Big)", {T::LargeInt, S::None, 8, 0}},
      {"SUM(Price)", {T::Float, S::None, 8, 0}},
      {"SUM(Amount)", {T::Bcd, S::None, 34, 2}},
      {"RUNSUM(Small)", {T::Integer, S::None, 4, 0}},
      {"COUNT(*)", {T::Integer, S::None, 4, 0}},
      {"COUNT(Name)", {T::Integer, S::None, 4, 0}},
      {"MIN(Born)", {T::Date, S::None, 4, 0}},
      {"MAX(Id)", {T::Integer, S::None, 4, 0}},
      {"MAX(AtTime)", {T::Time, S::None, 4, 0}},
      {"AVG(Qty)", {T::Float, S::None, 8, 0}},
      {"AVG(Counter)", {T::Float, S::None, 8, 0}},
      {"AVG(Amount)", {T::Bcd, S::None, 34, 2}},
      {"AVG(Stamp)", {T::Timestamp, S::None, 8, 0}},
      // scalar functions
      {"UPPER(Name)", {T::String, S::None, 21, 0}},
      {"LOWER(Notes)", {T::Blob, S::Memo, 8, 0}},
      {"LENGTH(City)", {T::Integer, S::None, 4, 0}},
      {"SUBSTRING(Name FROM 2)", {T::String, S::None, 21, 0}},
      {"SUBSTRING(Notes FROM Small FOR Big)", {T::Blob, S::Memo, 8, 0}},
      {"REPLACE('a' WITH 'bb' IN City)", {T::String, S::None, 31, 0}},
      {"REPLACE('a' WITH '' IN City)", {T::String, S::None, 31, 0}},
      {"POS('a' IN Name)", {T::Integer, S::None, 4, 0}},
      {"OCCURS(City IN Notes)", {T::Integer, S::None, 4, 0}},
      {"TRIM(LEADING 'x' FROM City)", {T::String, S::None, 31, 0}},
      {"TRIM(BOTH #32 FROM Notes)", {T::Blob, S::Memo, 8, 0}},
      {"EXTRACT(YEAR FROM Born)", {T::Integer, S::None, 4, 0}},
      {"EXTRACT(SECOND FROM Stamp)", {T::Integer, S::None, 4, 0}},
      {"EXTRACT(HOUR FROM '10:30')", {T::Integer, S::None, 4, 0}},
      {"ABS(Small)", {T::SmallInt, S::None, 2, 0}},
      {"ABS(Amount)", {T::Bcd, S::None, 34, 2}},
      {"ABS(Id)", {T::Integer, S::None, 4, 0}},
      {"ROUND(Price)", {T::Float, S::None, 8, 0}},
      {"ROUND(Amount TO 1)", {T::Bcd, S::None, 34, 2}},
      {"ROUND(Price TO 32)", {T::Float, S::None, 8, 0}},
      {"IF(Flag, Name, City)", {T::String, S::None, 31, 0}},
      {"IF(Qty > 1 THEN 1 ELSE 2.5)", {T::Integer, S::None, 4, 0}},
      {"IF(Flag, NULL, Born)", {T::Date, S::None, 4, 0}},
      {"IF(Flag, Born, Stamp)", {T::Date, S::None, 4, 0}},
      {"IFNULL(Qty, 'a', Name)", {T::String, S::None, 21, 0}},
      {"IFNULL(Qty, Id, 0)", {T::Integer, S::None, 4, 0}},
      {"COALESCE(NULL, Amount, Rate)", {T::Bcd, S::None, 34, 4}},
      {"COALESCE(Name, Notes)", {T::String, S::None, 21, 0}},
      {"COALESCE(Notes, Name)", {T::Blob, S::Memo, 8, 0}},
      {"COALESCE(NULL, 'abc', City, NULL)", {T::String, S::None, 31, 0}},
      {"TEXTSEARCH('abc' IN Notes)", {T::Boolean, S::None, 2, 0}},
      {"TEXTOCCURS('abc' IN Name)", {T::Word, S::None, 2, 0}},
      {"LASTAUTOINC('people')", {T::Integer, S::None, 4, 0}},
      {"IDENT_CURRENT('people')", {T::Integer, S::None, 4, 0}},
      // CAST targets and sizes
      {"CAST(Qty AS CHAR(20))", {T::String, S::None, 21, 0}},
      {"CAST(Qty AS VARCHAR(250))", {T::String, S::None, 251, 0}},
      {"CAST(Born AS CHAR)", {T::String, S::None, 11, 0}},
      {"CAST(Name AS CHAR)", {T::String, S::None, 21, 0}},
      {"CAST(NULL AS CHAR)", {T::String, S::None, 11, 0}},
      {"CAST(Name AS BYTES(8))", {T::Bytes, S::None, 8, 0}},
      {"CAST(Qty AS BYTES)", {T::Bytes, S::None, 10, 0}},
      {"CAST(Name AS INTEGER)", {T::Integer, S::None, 4, 0}},
      {"CAST(Qty AS SMALLINT)", {T::SmallInt, S::None, 2, 0}},
      {"CAST(Flag AS WORD)", {T::Word, S::None, 2, 0}},
      {"CAST(Flag AS LARGEINT)", {T::LargeInt, S::None, 8, 0}},
      {"CAST(Small AS BOOLEAN)", {T::Boolean, S::None, 2, 0}},
      {"CAST(Qty AS FLOAT(10, 2))", {T::Float, S::None, 8, 0}},
      {"CAST(Name AS MONEY)", {T::Float, S::Money, 8, 0}},
      {"CAST(Qty AS DECIMAL)", {T::Bcd, S::None, 34, 0}},
      {"CAST(Qty AS DECIMAL(10))", {T::Bcd, S::None, 34, 0}},
      {"CAST(Qty AS NUMERIC(10, 3))", {T::Bcd, S::None, 34, 3}},
      {"CAST(Price AS DECIMAL(10, 4))", {T::Bcd, S::None, 34, 4}},
      {"CAST(Name AS DATE)", {T::Date, S::None, 4, 0}},
      {"CAST(Stamp AS TIME)", {T::Time, S::None, 4, 0}},
      {"CAST(Born AS TIMESTAMP)", {T::Timestamp, S::None, 8, 0}},
      {"CAST(NULL AS DATE)", {T::Date, S::None, 4, 0}},
      {"CAST(Name AS MEMO)", {T::Blob, S::Memo, 21, 0}},
      {"CAST(Name AS BLOB(10, 1))", {T::Blob, S::Memo, 21, 0}},
      {"CAST(Raw AS BLOB(10, 2))", {T::Blob, S::Binary, 6, 0}},
      {"CAST(Raw AS BLOB(10, 5))", {T::Blob, S::Graphic, 6, 0}},
      {"CAST(Notes AS CHAR(30))", {T::String, S::None, 31, 0}},
      {"CAST(Born AS VARBYTES(4))", {T::Bytes, S::None, 4, 0}},
  };
  for (const TTypeCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TExpTree tree = Bind(c.Text);
    EXPECT_EQ(NodeType(*tree), c.Type) << "got type " << int(tree->DataType) << " subtype " << int(tree->SubType)
                                       << " length " << tree->DataLength << " scale " << int(tree->DataScale);
    EXPECT_GE(static_cast<int32_t>(tree->Data.size()), tree->DataLength);
    ExpectParentsLinked(tree.get());
  }
}

// ---- every violation and its message ----

struct TErrorCase {
  const char* Text;
  const char* Message;
};

TEST(ExpressionBinderTest, Violations) {
  const std::vector<TErrorCase> cases = {
      // columns
      {"Nope = 1", "Invalid column name 'Nope' or table correlation name '' specified in WHERE clause"},
      {"x.Name = 1", "Invalid column name 'Name' or table correlation name 'x' specified in WHERE clause"},
      {"UPPER(Missing)", "Invalid column name 'Missing' or table correlation name '' specified in WHERE clause"},
      // unary operators
      {"NOT Qty", "Type mismatch between 'NOT' operator and 'Qty' in WHERE clause"},
      {"NOT NULL", "Type mismatch between 'NOT' operator and 'NULL' in WHERE clause"},
      {"-Name", "Type mismatch between '-' operator and 'Name' in WHERE clause"},
      {"-Counter", "Type mismatch between '-' operator and 'Counter' in WHERE clause"},
      {"+Flag", "Type mismatch between '+' operator and 'Flag' in WHERE clause"},
      {"-(Name || City)", "Type mismatch between '-' operator and '||' in WHERE clause"},
      // binary operators: the kinds of both operands are named
      {"Name = 1", "Type mismatch between column 'Name' and constant '1' in WHERE clause"},
      {"UPPER(Name) = Qty", "Type mismatch between function 'UPPER' and column 'Qty' in WHERE clause"},
      {"(Qty + 1) = Name", "Type mismatch between expression '+' and column 'Name' in WHERE clause"},
      {"Flag < Flag", "Type mismatch between column 'Flag' and column 'Flag' in WHERE clause"},
      {"Raw >= Raw", "Type mismatch between column 'Raw' and column 'Raw' in WHERE clause"},
      {"Picture = Picture", "Type mismatch between column 'Picture' and column 'Picture' in WHERE clause"},
      {"Name = Picture", "Type mismatch between column 'Name' and column 'Picture' in WHERE clause"},
      {"Born = AtTime", "Type mismatch between column 'Born' and column 'AtTime' in WHERE clause"},
      {"Born + Born", "Type mismatch between column 'Born' and column 'Born' in WHERE clause"},
      {"Price + Born", "Type mismatch between column 'Price' and column 'Born' in WHERE clause"},
      {"Born - Stamp", "Type mismatch between column 'Born' and column 'Stamp' in WHERE clause"},
      {"Qty - Born", "Type mismatch between column 'Qty' and column 'Born' in WHERE clause"},
      {"Name * 2", "Type mismatch between column 'Name' and constant '2' in WHERE clause"},
      {"Qty AND Flag", "Type mismatch between column 'Qty' and column 'Flag' in WHERE clause"},
      {"Name + 1", "Type mismatch between column 'Name' and constant '1' in WHERE clause"},
      // string constants beside temporal values
      {"Born = 'tomorrow'", "Date, time, or timestamp expression expected, instead found 'tomorrow' in WHERE clause"},
      {"'tomorrow' = Born", "Date, time, or timestamp expression expected, instead found 'tomorrow' in WHERE clause"},
      {"AtTime > '25:00'", "Date, time, or timestamp expression expected, instead found '25:00' in WHERE clause"},
      {"Born = '10:30'", "Date, time, or timestamp expression expected, instead found '10:30' in WHERE clause"},
      {"Born + '1'", "Date, time, or timestamp expression expected, instead found '1' in WHERE clause"},
      // predicates
      {"Name LIKE 5", "Type mismatch between LIKE operator and expression '5' in WHERE clause"},
      {"Qty NOT LIKE 'a%'", "Type mismatch between NOT LIKE operator and expression 'Qty' in WHERE clause"},
      {"Picture LIKE 'a%'", "Type mismatch between LIKE operator and expression 'Picture' in WHERE clause"},
      {"Qty IN (1, 'a')", "Type mismatch between column 'Qty' and constant 'a' in WHERE clause"},
      {"Qty NOT IN (Name)", "Type mismatch between column 'Qty' and column 'Name' in WHERE clause"},
      {"Born IN ('2001-01-01', 'never')",
       "Date, time, or timestamp expression expected, instead found 'never' in WHERE clause"},
      {"Qty BETWEEN 1 AND Name", "Type mismatch between column 'Qty' and column 'Name' in WHERE clause"},
      {"Born NOT BETWEEN 'a' AND Stamp",
       "Date, time, or timestamp expression expected, instead found 'a' in WHERE clause"},
      // aggregates
      {"SUM(Name)", "SUM aggregate function must contain a numeric expression in WHERE clause"},
      {"RUNSUM(Born)", "RUNSUM aggregate function must contain a numeric expression in WHERE clause"},
      {"SUM(NULL)", "SUM aggregate function must contain a numeric expression in WHERE clause"},
      {"MIN(Name)",
       "MIN aggregate function must contain a numeric, date, time, or timestamp expression in WHERE clause"},
      {"MAX(Flag)",
       "MAX aggregate function must contain a numeric, date, time, or timestamp expression in WHERE clause"},
      {"AVG(Notes)",
       "AVG aggregate function must contain a numeric, date, time, or timestamp expression in WHERE clause"},
      // string functions
      {"UPPER(Qty)", "Type mismatch between UPPER function and function argument in WHERE clause"},
      {"LOWER(Picture)", "Type mismatch between LOWER function and function argument in WHERE clause"},
      {"LENGTH(Qty)", "Type mismatch between LENGTH function and function argument in WHERE clause"},
      {"SUBSTRING(Qty FROM 1)", "Expression argument of SUBSTRING function must be a string or memo in WHERE clause"},
      {"SUBSTRING(Name FROM 'a')", "FROM argument of SUBSTRING function must be an integer value in WHERE clause"},
      {"SUBSTRING(Name FROM 1.5)", "FROM argument of SUBSTRING function must be an integer value in WHERE clause"},
      {"SUBSTRING(Name FROM 1 FOR Price)",
       "FOR argument of SUBSTRING function must be an integer value in WHERE clause"},
      {"REPLACE('a' WITH 'b' IN Qty)", "IN argument of REPLACE function must be a string or memo in WHERE clause"},
      {"REPLACE(1 WITH 'b' IN Name)",
       "Type mismatch between REPLACE function and search string argument in WHERE clause"},
      {"REPLACE('a' WITH 2 IN Name)",
       "Type mismatch between REPLACE function and replacement string argument in WHERE clause"},
      {"POS('a' IN Qty)", "Type mismatch between POS function and IN argument in WHERE clause"},
      {"POS(1 IN Name)", "Type mismatch between POS function and search string argument in WHERE clause"},
      {"OCCURS('a' IN Born)", "Type mismatch between OCCURS function and IN argument in WHERE clause"},
      {"OCCURS(Notes IN Name)", "Type mismatch between OCCURS function and search string argument in WHERE clause"},
      {"TRIM(LEADING 'x' FROM Qty)", "FROM argument of TRIM function must be a string or memo in WHERE clause"},
      {"TRIM(BOTH 'xy' FROM Name)",
       "Trim character argument of TRIM function must be a single character constant in WHERE clause"},
      {"TRIM(TRAILING Name FROM Name)",
       "Trim character argument of TRIM function must be a single character constant in WHERE clause"},
      {"TRIM(TRAILING '' FROM Name)",
       "Trim character argument of TRIM function must be a single character constant in WHERE clause"},
      {"TRIM(LEADING 1 FROM Name)",
       "Trim character argument of TRIM function must be a single character constant in WHERE clause"},
      // EXTRACT
      {"EXTRACT(YEAR FROM Qty)",
       "FROM argument of EXTRACT function must be a date, time, or timestamp in WHERE clause"},
      {"EXTRACT(DAY FROM 'soon')",
       "FROM argument of EXTRACT function must be a date, time, or timestamp in WHERE clause"},
      {"EXTRACT(DAY FROM Name)",
       "FROM argument of EXTRACT function must be a date, time, or timestamp in WHERE clause"},
      // CAST
      {"CAST(Born AS INTEGER)", "Type mismatch between column 'Born' and AS argument in WHERE clause"},
      {"CAST(Qty AS DATE)", "Type mismatch between column 'Qty' and AS argument in WHERE clause"},
      {"CAST(Flag AS FLOAT)", "Type mismatch between column 'Flag' and AS argument in WHERE clause"},
      {"CAST(Qty AS BOOLEAN)", "Type mismatch between column 'Qty' and AS argument in WHERE clause"},
      {"CAST(AtTime AS DATE)", "Type mismatch between column 'AtTime' and AS argument in WHERE clause"},
      {"CAST(Born AS BLOB)", "Type mismatch between column 'Born' and AS argument in WHERE clause"},
      {"CAST(1 + 2 AS TIME)", "Type mismatch between expression '+' and AS argument in WHERE clause"},
      {"CAST(Name AS CHAR(251))",
       "Length argument must be an integer greater than 0 and less than or equal to 250 in WHERE clause"},
      {"CAST(Name AS CHAR(0))",
       "Length argument must be an integer greater than 0 and less than or equal to 250 in WHERE clause"},
      {"CAST(Name AS BYTES(300))",
       "Length argument must be an integer greater than 0 and less than or equal to 250 in WHERE clause"},
      {"CAST(Name AS CHAR(2.5))", "Length argument must be an integer in WHERE clause"},
      {"CAST(Name AS VARCHAR('a'))", "Length argument must be an integer in WHERE clause"},
      {"CAST(Qty AS DECIMAL(10, 5))",
       "Scale argument must be an integer less than or equal to 4 but greater than or equal to 0 for the BCD data "
       "type WHERE clause"},
      {"CAST(Qty AS DECIMAL(10, 1.5))", "Scale argument must be an integer in WHERE clause"},
      {"CAST(Name AS BLOB('a', 1))", "First BLOB type argument must be an integer in WHERE clause"},
      {"CAST(Name AS BLOB(1, 1.5))", "BLOB type argument must be an integer in WHERE clause"},
      {"CAST(Name AS BLOB(1, 4))",
       "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in WHERE clause"},
      {"CAST(Name AS BLOB(1, 0))",
       "BLOB type argument must be an integer with a value of 1,2,3,5, or 7 in WHERE clause"},
      // ABS, ROUND
      {"ABS(Name)",
       "Expression argument of ABS function must be an integer, floating-point, or BCD type in WHERE clause"},
      {"ABS(Born)",
       "Expression argument of ABS function must be an integer, floating-point, or BCD type in WHERE clause"},
      {"ROUND(Qty)", "Expression argument of ROUND function must be a floating-point or BCD type in WHERE clause"},
      {"ROUND(Price TO 1.5)", "Decimal places argument of ROUND function must be an integer constant in WHERE clause"},
      {"ROUND(Price TO Qty)", "Decimal places argument of ROUND function must be an integer constant in WHERE clause"},
      {"ROUND(Price TO 33)",
       "Decimal places argument of ROUND function must be an integer constant between 0 and 32 in WHERE clause"},
      // IF, IFNULL, COALESCE
      {"IF(Qty, 1, 2)", "First expression argument of IF function must be a boolean type in WHERE clause"},
      {"IF(NULL, 1, 2)", "First expression argument of IF function must be a boolean type in WHERE clause"},
      {"IF(Flag, 1, Name)", "Type mismatch between IF expression arguments in WHERE clause"},
      {"IF(Flag, NULL, NULL)", "At least one of the IF expression arguments in WHERE clause must be a non-NULL value"},
      {"IFNULL(Qty, Born, 1)", "Type mismatch between IFNULL expression arguments in WHERE clause"},
      {"IFNULL(Qty, NULL, NULL)",
       "At least one of the IFNULL expression arguments in WHERE clause must be a non-NULL value"},
      {"COALESCE(NULL, NULL)",
       "At least one of the COALESCE expression arguments in WHERE clause must be a non-NULL value"},
      {"COALESCE(Flag, Qty)", "Type mismatch between COALESCE expression arguments in WHERE clause"},
      // a NULL between two arguments does not hide their mismatch
      {"COALESCE(1, NULL, 'a')", "Type mismatch between COALESCE expression arguments in WHERE clause"},
      // TEXTSEARCH, TEXTOCCURS
      {"TEXTSEARCH(Name IN Notes)",
       "TEXTSEARCH search text function argument must be a string constant in WHERE clause"},
      {"TEXTSEARCH(1 IN Notes)",
       "Type mismatch between TEXTSEARCH function and search text function argument in WHERE clause"},
      {"TEXTSEARCH('a' IN 'b')", "TEXTSEARCH function column argument must be a valid column name in WHERE clause"},
      {"TEXTSEARCH('a' IN Qty)",
       "Type mismatch between TEXTSEARCH function and column function argument in WHERE clause"},
      {"TEXTOCCURS(Name IN Notes)",
       "TEXTOCCURS search text function argument must be a string constant in WHERE clause"},
      {"TEXTOCCURS(1 IN Notes)",
       "Type mismatch between TEXTOCCURS function and search text function argument in WHERE clause"},
      {"TEXTOCCURS('a' IN 5)", "TEXTOCCURS function column argument must be a valid column name in WHERE clause"},
      {"TEXTOCCURS('a' IN Picture)",
       "Type mismatch between TEXTOCCURS function and column function argument in WHERE clause"},
      // LASTAUTOINC, IDENT_CURRENT
      {"LASTAUTOINC(people)", "LASTAUTOINC table name function argument must be a string constant in WHERE clause"},
      {"LASTAUTOINC(5)", "Type mismatch between LASTAUTOINC function and table name function argument in WHERE clause"},
      {"IDENT_CURRENT(people)", "IDENT_CURRENT table name function argument must be a string constant in WHERE clause"},
      {"IDENT_CURRENT(1.5)",
       "Type mismatch between IDENT_CURRENT function and table name function argument in WHERE clause"},
  };
  for (const TErrorCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const TFailure failure = BindFailure(c.Text);
    EXPECT_EQ(failure.Code, KURA_SQLPARSE);
    EXPECT_EQ(failure.Message, c.Message);
  }
}

TEST(ExpressionBinderTest, FilterErrorsNameTheTableAndUseTheFilterCode) {
  const TFailure failure = BindFailure("Born = 'tomorrow'", FilterContext());
  EXPECT_EQ(failure.Code, KURA_INVALIDFILTER);
  EXPECT_EQ(failure.Table, "people");
  EXPECT_EQ(failure.Message,
            "Date, time, or timestamp expression expected, instead found 'tomorrow' in filter expression");
  EXPECT_NE(failure.What.find("Filter error for the table 'people' - Date, time, or timestamp expression expected"),
            std::string::npos)
      << failure.What;
}

TEST(ExpressionBinderTest, ReplacementMismatchIsAnSqlErrorEvenInAFilter) {
  const TFailure failure = BindFailure("REPLACE('a' WITH 2 IN Name) = 'b'", FilterContext());
  EXPECT_EQ(failure.Code, KURA_SQLPARSE);
  EXPECT_EQ(failure.Message,
            "Type mismatch between REPLACE function and replacement string argument in filter expression");
}

TEST(ExpressionBinderTest, ColumnsWithoutAResolverAreInvalid) {
  TBindContext context = SqlContext();
  context.ResolveColumn = nullptr;
  EXPECT_EQ(BindFailure("Qty = 1", context).Message,
            "Invalid column name 'Qty' or table correlation name '' specified in WHERE clause");
  TExpTree tree = Bind("1 + 2", false, context);
  EXPECT_EQ(tree->DataType, T::Integer);
}

TEST(ExpressionBinderTest, PieceByPieceOverloadUsesTheGivenCodeAndContext) {
  TExpTree tree = Parse("Nope");
  const auto error = EngineErrorOf([&] {
    BindExpression(KURA_INVALIDFILTER, "filter expression", tree.get(), tree.get(), false, true,
                   TColumnTable::Resolve, kColumns.ResolveData());
  });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorCode, KURA_INVALIDFILTER);
  EXPECT_EQ(error->ErrorExtraMessage,
            "Invalid column name 'Nope' or table correlation name '' specified in filter expression");
}

// ---- text constants that name columns ----

TEST(ExpressionBinderTest, QuotedColumnNameComparedWithText) {
  // "Name" is a column; 'Nobody' names none and stays a text.
  TExpTree tree = Bind("\"Name\" = 'Nobody'", true, FilterContext());
  ASSERT_EQ(tree->Kind, kNodeBinary);
  const TExpToken& left = *tree->Operand;
  const TExpToken& right = *tree->RightOperand;
  EXPECT_EQ(left.Kind, kNodeColumn);
  EXPECT_EQ(left.IsColumnText, 1);
  EXPECT_EQ(left.ColumnName, "Name");
  EXPECT_EQ(left.IsBound, 1);
  EXPECT_EQ(left.DataType, T::String);
  EXPECT_EQ(left.DataLength, 21);
  EXPECT_EQ(left.SavedDataType, T::String);
  EXPECT_EQ(left.SavedDataLength, 5);
  EXPECT_EQ(right.Kind, kNodeConstant);
  EXPECT_EQ(StringOf(right), "Nobody");
}

TEST(ExpressionBinderTest, TwoTextsThatNameNoColumnStayTexts) {
  TExpTree tree = Bind("'Jones' = 'Brown'", true, FilterContext());
  EXPECT_EQ(tree->Operand->Kind, kNodeConstant);
  EXPECT_EQ(tree->RightOperand->Kind, kNodeConstant);
  EXPECT_EQ(tree->DataType, T::Boolean);
}

struct TColumnTextCase {
  const char* Text;
  uint8_t LeftKind;
  uint8_t RightKind;
  const char* ConstantText;  // the value of whichever side is a constant
};

TEST(ExpressionBinderTest, TextTakenBackBesideAnotherColumn) {
  const std::vector<TColumnTextCase> cases = {
      // a text naming a column beside a text naming none: a column
      {"'Smith' = 'Jones'", kNodeColumn, kNodeConstant, "Jones"},
      // beside a real column the text is a text again
      {"Name = 'Smith'", kNodeColumn, kNodeConstant, "Smith"},
      {"'Smith' = Name", kNodeConstant, kNodeColumn, "Smith"},
      {"UPPER(Name) = 'Smith'", kNodeFunction, kNodeConstant, "Smith"},
      // both texts name columns: the right one is the text
      {"\"Name\" = 'Smith'", kNodeColumn, kNodeConstant, "Smith"},
      // the same rule in predicates
      {"Name LIKE 'Smith'", kNodeColumn, kNodeConstant, "Smith"},
      {"Name IN ('Smith')", kNodeColumn, kNodeConstant, "Smith"},
  };
  for (const TColumnTextCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TExpTree tree = Bind(c.Text, true, FilterContext());
    const TExpToken* left = tree->Kind == kNodePredicate ? tree->Arguments[0] : tree->Operand;
    const TExpToken* right = tree->Kind == kNodePredicate ? tree->Arguments[1] : tree->RightOperand;
    EXPECT_EQ(left->Kind, c.LeftKind);
    EXPECT_EQ(right->Kind, c.RightKind);
    const TExpToken* constant = left->Kind == kNodeConstant ? left : right;
    EXPECT_EQ(StringOf(*constant), c.ConstantText);
    EXPECT_EQ(constant->DataType, T::String);
    EXPECT_EQ(constant->DataLength, static_cast<int32_t>(std::string_view(c.ConstantText).size() + 1));
    EXPECT_EQ(constant->IsColumnText, 0);
    EXPECT_EQ(constant->IsBound, 0);
    EXPECT_EQ(constant->FieldNo, -1);
  }
}

TEST(ExpressionBinderTest, TextTakenBackIsThenCheckedAsAText) {
  // 'Smith' names a column, but beside the column Born it is a text, and not a date.
  EXPECT_EQ(BindFailure("Born = 'Smith'").Message,
            "Date, time, or timestamp expression expected, instead found 'Smith' in WHERE clause");
}

TEST(ExpressionBinderTest, TextsAreColumnsOnlyWhereAllowed) {
  // At the top only when the caller allows it.
  TExpTree constant = Bind("'Qty'", false, SqlContext(), false);
  EXPECT_EQ(constant->Kind, kNodeConstant);
  TExpTree column = Bind("'Qty'", false, SqlContext(), true);
  EXPECT_EQ(column->Kind, kNodeColumn);
  EXPECT_EQ(column->DataType, T::Integer);
  // Operands always may, whatever the top allows.
  TExpTree sum = Bind("'Qty' + 1", false, SqlContext(), false);
  EXPECT_EQ(sum->Operand->Kind, kNodeColumn);
  EXPECT_EQ(sum->DataType, T::Integer);
  // Arguments that must be constants never are columns.
  TExpTree trim = Bind("TRIM(LEADING 'x' FROM Name)");
  EXPECT_EQ(trim->Arguments[0]->Kind, kNodeConstant);
  TExpTree search = Bind("TEXTSEARCH('Smith' IN Notes)");
  EXPECT_EQ(search->Arguments[0]->Kind, kNodeConstant);
  EXPECT_EQ(search->Arguments[1]->Kind, kNodeColumn);
  // The text "*" and parameters are never tried.
  TExpTree star = Bind("'*' = Name");
  EXPECT_EQ(star->Operand->Kind, kNodeConstant);
}

bool ResolveNothing(void*, TExpToken&) { return false; }

TEST(ExpressionBinderTest, TextColumnThatNoLongerResolvesIsATextAgain) {
  TExpTree tree = Bind("'Qty' + 1");
  ASSERT_EQ(tree->Operand->Kind, kNodeColumn);
  TBindContext context = SqlContext();
  context.ResolveColumn = ResolveNothing;
  const auto error = EngineErrorOf([&] { BindExpression(context, tree.get(), tree.get(), true, false); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorExtraMessage, "Type mismatch between constant 'Qty' and constant '1' in WHERE clause");
  EXPECT_EQ(tree->Operand->Kind, kNodeConstant);
  EXPECT_EQ(StringOf(*tree->Operand), "Qty");
}

TEST(ExpressionBinderTest, ParametersAreNeverTakenAsColumns) {
  TExpTree tree = Parse("? = 'x'");
  TExpToken& parameter = *tree->Operand;
  ASSERT_EQ(parameter.IsParameter, 1);
  const char name[] = "Qty";
  parameter.DataType = T::String;
  parameter.SetData(name, sizeof name);
  BindExpression(SqlContext(), tree.get(), tree.get(), true, true);
  EXPECT_EQ(parameter.Kind, kNodeConstant);
  EXPECT_EQ(parameter.DataType, T::String);
}

// ---- string constants beside temporal values ----

struct TTemporalCase {
  const char* Text;
  TFieldType Type;
  double Value;  // int32 for dates and times, double for timestamps
};

TEST(ExpressionBinderTest, StringConstantsBecomeTemporalConstants) {
  const double date = *EncodeDate(2001, 2, 3);
  const double time = *EncodeTime(10, 30, 0, 0);
  const double stamp = MakeTimestamp(*EncodeDate(2004, 1, 5), *EncodeTime(10, 30, 0, 0));
  const std::vector<TTemporalCase> cases = {
      {"Born = '2001-02-03'", T::Date, date},
      {"'2001-02-03' < Born", T::Date, date},
      {"Born - '2001-02-03'", T::Date, date},
      {"AtTime >= '10:30'", T::Time, time},
      {"Stamp <> '2004-01-05 10:30'", T::Timestamp, stamp},
      {"Born IN ('2001-02-03')", T::Date, date},
      {"Born BETWEEN '2001-02-03' AND '2001-02-03'", T::Date, date},
      {"EXTRACT(HOUR FROM '10:30')", T::Time, time},
      {"EXTRACT(DAY FROM '2001-02-03')", T::Date, date},
      {"EXTRACT(DAY FROM '2004-01-05 10:30')", T::Timestamp, stamp},
  };
  for (const TTemporalCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TExpTree tree = Bind(c.Text);
    const TExpToken* constant = nullptr;
    if (tree->Kind == kNodeBinary) {
      constant = tree->Operand->Kind == kNodeConstant ? tree->Operand : tree->RightOperand;
    } else {
      constant = tree->Arguments[tree->Kind == kNodePredicate ? 1 : 0];
    }
    ASSERT_EQ(constant->Kind, kNodeConstant);
    EXPECT_EQ(constant->DataType, c.Type);
    EXPECT_EQ(constant->SavedDataType, T::String);
    EXPECT_EQ(constant->IsNull, 0);
    if (c.Type == T::Timestamp) {
      EXPECT_EQ(constant->DataLength, 8);
      EXPECT_EQ(ReadF64(constant->Data.data()), c.Value);
    } else {
      EXPECT_EQ(constant->DataLength, 4);
      EXPECT_EQ(ReadI32(constant->Data.data()), static_cast<int32_t>(c.Value));
    }
  }
}

TEST(ExpressionBinderTest, AllBoundsOfBetweenAndInAreConverted) {
  TExpTree tree = Bind("Born BETWEEN '2001-01-01' AND '2001-12-31'");
  EXPECT_EQ(tree->Arguments[1]->DataType, T::Date);
  EXPECT_EQ(tree->Arguments[2]->DataType, T::Date);
  EXPECT_EQ(ReadI32(tree->Arguments[2]->Data.data()), *EncodeDate(2001, 12, 31));
}

TEST(ExpressionBinderTest, StringParameterBesideADateIsConverted) {
  TExpTree tree = Parse("Born = ?");
  TExpToken& parameter = *tree->RightOperand;
  ASSERT_EQ(parameter.IsParameter, 1);
  const char value[] = "2001-02-03";
  parameter.DataType = T::String;
  parameter.SetData(value, sizeof value);
  BindExpression(SqlContext(), tree.get(), tree.get(), true, true);
  EXPECT_EQ(parameter.DataType, T::Date);
  EXPECT_EQ(ReadI32(parameter.Data.data()), *EncodeDate(2001, 2, 3));

  // A NULL string parameter takes the type without a value to check.
  TExpTree nullTree = Parse("Born = ?");
  TExpToken& nullParameter = *nullTree->RightOperand;
  nullParameter.DataType = T::String;
  nullParameter.IsNull = 1;
  BindExpression(SqlContext(), nullTree.get(), nullTree.get(), true, true);
  EXPECT_EQ(nullParameter.DataType, T::Date);
  EXPECT_EQ(nullParameter.IsNull, 1);
}

TEST(ExpressionBinderTest, EmptyTextBesideADateIsANullDate) {
  TExpTree tree = Bind("Born = ''");
  EXPECT_EQ(tree->RightOperand->DataType, T::Date);
  EXPECT_EQ(tree->RightOperand->IsNull, 1);
}

// ---- conditions ----

TEST(ExpressionBinderTest, BareBooleanColumnBecomesComparisonWithTrue) {
  TExpTree tree = Bind("Flag", true, FilterContext());
  const TExpToken* root = tree.get();
  ASSERT_EQ(root->Kind, kNodeBinary);
  EXPECT_EQ(root->OpCode, kOpEqual);
  EXPECT_EQ(root->Parent, nullptr);
  EXPECT_EQ(root->DataType, T::Boolean);
  ASSERT_NE(root->Operand, nullptr);
  EXPECT_EQ(root->Operand->Kind, kNodeColumn);
  EXPECT_EQ(root->Operand->ColumnName, "Flag");
  EXPECT_EQ(root->Operand->IsBound, 1);
  ASSERT_NE(root->RightOperand, nullptr);
  EXPECT_EQ(root->RightOperand->Kind, kNodeConstant);
  EXPECT_EQ(root->RightOperand->DataType, T::Boolean);
  EXPECT_EQ(ReadU16(root->RightOperand->Data.data()), 1);
  ExpectParentsLinked(root);
}

// Where the rewrite happens: the path to the rewritten node, as operand letters
// (L left / only operand, R right, a digit an argument), "" for the root; "-" for none.
struct TConditionCase {
  const char* Text;
  const char* Rewritten;
};

const TExpToken* Follow(const TExpToken* node, std::string_view path) {
  for (char step : path) {
    if (step == 'L') {
      node = node->Operand;
    } else if (step == 'R') {
      node = node->RightOperand;
    } else {
      node = node->Arguments[static_cast<size_t>(step - '0')];
    }
  }
  return node;
}

int CountNodes(const TExpToken* node) {
  if (node == nullptr) return 0;
  int count = 1 + CountNodes(node->Operand) + CountNodes(node->RightOperand);
  for (const TExpToken* argument : node->Arguments) count += CountNodes(argument);
  return count;
}

bool IsTrueComparison(const TExpToken* node) {
  return node->Kind == kNodeBinary && node->OpCode == kOpEqual && node->RightOperand != nullptr &&
         node->RightOperand->Kind == kNodeConstant && node->RightOperand->Text == "TRUE";
}

TEST(ExpressionBinderTest, ConditionPositions) {
  const std::vector<TConditionCase> cases = {
      {"NOT Flag", "L"},
      {"Flag AND Qty > 1", "L"},
      {"Qty > 1 OR Flag", "R"},
      {"NOT (Flag OR Qty > 1)", "LL"},
      {"'Flag'", ""},  // a text naming a boolean column
      {"CAST(Name AS BOOLEAN)", ""},
      {"IF(Flag, Flag, Flag)", ""},
      {"IFNULL(Qty, TRUE, Flag)", ""},
      {"COALESCE(Flag, TRUE)", ""},
      {"TEXTSEARCH('abc' IN Notes)", ""},
      {"Flag = TRUE", "-"},
      {"Flag = Flag", "-"},
      {"TRUE", "-"},
      {"Qty IN (1, 2)", "-"},
  };
  for (const TConditionCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const int parsedNodes = CountNodes(Parse(c.Text).get());
    TExpTree tree = Bind(c.Text, true);
    ExpectParentsLinked(tree.get());
    if (std::string_view(c.Rewritten) == "-") {
      EXPECT_EQ(CountNodes(tree.get()), parsedNodes);
      continue;
    }
    // One rewrite adds the moved node and the TRUE constant.
    EXPECT_EQ(CountNodes(tree.get()), parsedNodes + 2);
    const TExpToken* rewritten = Follow(tree.get(), c.Rewritten);
    ASSERT_TRUE(IsTrueComparison(rewritten));
    EXPECT_EQ(rewritten->Operand->DataType, T::Boolean);
    // The arguments of a rewritten function moved with it and are not rewritten.
    for (const TExpToken* argument : rewritten->Operand->Arguments) {
      EXPECT_FALSE(IsTrueComparison(argument));
    }
  }
}

TEST(ExpressionBinderTest, NoRewriteWithoutConditionFlag) {
  TExpTree tree = Bind("Flag AND NOT Flag", false);
  EXPECT_EQ(tree->Operand->Kind, kNodeColumn);
  EXPECT_EQ(tree->RightOperand->Operand->Kind, kNodeColumn);
}

TEST(ExpressionBinderTest, ConditionInsideIfIsNotRewritten) {
  TExpTree tree = Bind("IF(Flag, 1, 2) > 0", true);
  EXPECT_EQ(tree->Operand->Arguments[0]->Kind, kNodeColumn);
}

TEST(ExpressionBinderTest, BindingTwiceGivesTheSameTree) {
  const std::vector<const char*> texts = {
      "Flag",
      "NOT 'Flag'",
      "\"Name\" = 'Nobody'",
      "Born = '2001-02-03'",
      "Name = 'Smith'",
      "IF(Flag, Flag, Flag)",
      "CAST(Name AS BLOB(10, 1)) IS NULL",
      "COALESCE(NULL, Name) LIKE 'a%'",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    TExpTree tree = Bind(text, true);
    std::vector<uint8_t> first;
    SerializeTree(tree.get(), first);
    BindExpression(SqlContext(), tree.get(), tree.get(), true, true);
    std::vector<uint8_t> second;
    SerializeTree(tree.get(), second);
    EXPECT_EQ(first, second);
    ExpectParentsLinked(tree.get());
  }
}

TEST(ExpressionBinderTest, BindingAPartKeepsItsParent) {
  TExpTree tree = Bind("Flag AND Qty > 1", false);
  TExpToken* left = tree->Operand;
  ASSERT_EQ(left->Parent, tree.get());
  // The part under AND is in condition position through its parent.
  BindExpression(SqlContext(), tree.get(), left, true, true);
  EXPECT_TRUE(IsTrueComparison(tree->Operand));
  EXPECT_EQ(tree->Operand, left);
  EXPECT_EQ(left->Parent, tree.get());
}

// ---- sub-selects ----

struct TSubSelectFake {
  TSubSelectColumns Columns;
  int Calls = 0;
};

void DescribeFake(void* data, TExpToken&, TSubSelectColumns& columns) {
  // The fake keeps the column table at the front so that the columns still resolve.
  auto* fake = static_cast<std::pair<const TColumnTable*, TSubSelectFake*>*>(data)->second;
  ++fake->Calls;
  columns = fake->Columns;
}

bool ResolveThroughPair(void* data, TExpToken& node) {
  auto* pair = static_cast<std::pair<const TColumnTable*, TSubSelectFake*>*>(data);
  return TColumnTable::Resolve(pair->first->ResolveData(), node);
}

// Qty IN (SELECT ...), built by hand: the parser needs a statement to read sub-selects.
TExpTree MakeInSelect(const char* testedColumn) {
  TExpTree predicate = NewExpToken();
  predicate->Kind = kNodePredicate;
  predicate->OpCode = kPredInSelect;
  predicate->Text = "IN";
  TExpTree tested = NewExpToken();
  tested->Kind = kNodeColumn;
  tested->ColumnName = testedColumn;
  tested->Text = testedColumn;
  TExpTree select = NewExpToken();
  select->Kind = kNodeSubSelect;
  predicate->Arguments.push_back(tested.release());
  predicate->Arguments.push_back(select.release());
  return predicate;
}

TEST(ExpressionBinderTest, SubSelectColumns) {
  struct TCase {
    TSubSelectColumns Columns;
    const char* Message;  // "" when it binds
  };
  const std::vector<TCase> cases = {
      {{1, true, "Qty", "o", MakeExpType(T::Integer)}, ""},
      {{1, true, "Price", "o", MakeExpType(T::Float)}, ""},
      {{2, true, "Qty", "o", MakeExpType(T::Integer)}, "More than 1 column for sub-select  specified in WHERE clause"},
      {{1, false, "Nope", "o", {}},
       "Invalid column name 'Nope' or table correlation name 'o' specified in WHERE clause"},
      {{1, true, "Name", "o", MakeExpType(T::String)},
       "Type mismatch between column 'Qty' and column 'Name' in WHERE clause"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    TSubSelectFake fake{c.Columns, 0};
    std::pair<const TColumnTable*, TSubSelectFake*> data{&kColumns, &fake};
    TBindContext context = SqlContext();
    context.ResolveColumn = ResolveThroughPair;
    context.DescribeSubSelect = DescribeFake;
    context.ResolveData = &data;
    TExpTree tree = MakeInSelect("Qty");
    const auto error = EngineErrorOf([&] { BindExpression(context, tree.get(), tree.get(), true, true); });
    if (error) {
      EXPECT_EQ(error->ErrorExtraMessage, c.Message);
    } else {
      EXPECT_EQ(std::string(c.Message), "");
      EXPECT_EQ(tree->DataType, T::Boolean);
      EXPECT_EQ(tree->Arguments[1]->DataType, c.Columns.Type.DataType);
    }
    EXPECT_EQ(fake.Calls, 1);
  }
}

TEST(ExpressionBinderTest, SubSelectWithoutDescriptionIsAcceptedUntyped) {
  TExpTree tree = MakeInSelect("Qty");
  BindExpression(SqlContext(), tree.get(), tree.get(), true, true);
  EXPECT_EQ(tree->DataType, T::Boolean);
}

TEST(ExpressionBinderTest, StringTestedAgainstDateSubSelectIsConverted) {
  TSubSelectFake fake{{1, true, "Born", "o", MakeExpType(T::Date)}, 0};
  std::pair<const TColumnTable*, TSubSelectFake*> data{&kColumns, &fake};
  TBindContext context = SqlContext();
  context.ResolveColumn = ResolveThroughPair;
  context.DescribeSubSelect = DescribeFake;
  context.ResolveData = &data;
  TExpTree tree = MakeInSelect("Qty");
  // Replace the tested column by the text '2001-02-03'.
  TExpToken* tested = tree->Arguments[0];
  tested->Clear();
  tested->Kind = kNodeConstant;
  tested->DataType = T::String;
  const char value[] = "2001-02-03";
  tested->SetData(value, sizeof value);
  BindExpression(context, tree.get(), tree.get(), true, true);
  EXPECT_EQ(tested->DataType, T::Date);
}

// ---- malformed trees fail cleanly ----

TEST(ExpressionBinderTest, MissingArgumentsRaiseInsteadOfCrashing) {
  TExpTree cast = NewExpToken();
  cast->Kind = kNodeFunction;
  cast->OpCode = kFuncCast;
  cast->Text = "CAST";
  EXPECT_THROW(BindExpression(SqlContext(), cast.get(), cast.get(), true, false), EKuraEngineError);

  TExpTree binary = NewExpToken();
  binary->Kind = kNodeBinary;
  binary->OpCode = kOpAdd;
  binary->Text = "+";
  EXPECT_THROW(BindExpression(SqlContext(), binary.get(), binary.get(), true, false), EKuraEngineError);
}

TEST(ExpressionBinderTest, DeepLeftChainsBindWithoutRecursion) {
  // A long OR chain, as generated filters produce: bound with an explicit stack.
  std::string text = "Qty = 0";
  for (int i = 1; i < 1500; ++i) text += " OR Qty = " + std::to_string(i);
  TExpTree tree = Bind(text, true);
  EXPECT_EQ(tree->DataType, T::Boolean);
}

}  // namespace
}  // namespace kura
