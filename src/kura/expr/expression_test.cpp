// The expression language end to end: text -> parser -> binder -> preparation ->
// evaluation, over one record of typed columns, as one table of cases.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/engine_error.h"
#include "kura/base/fixed_point.h"
#include "kura/base/text_forms.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/expr/expression_parser.h"
#include "kura/storage/text_index_words.h"
#include "testing/column_table.h"
#include "testing/engine_error_expect.h"

namespace kura {
namespace {

using testing_support::EngineErrorOf;
using testing_support::TColumnTable;
using testing_support::TTestColumn;

// The columns every case can use.
const TColumnTable kColumns({
    {"MNB", {TFieldType::Integer, TFieldSubType::None, 4, 0}},
    {"SNB", {TFieldType::SmallInt, TFieldSubType::None, 2, 0}},
    {"WNB", {TFieldType::Word, TFieldSubType::None, 2, 0}},
    {"LNB", {TFieldType::LargeInt, TFieldSubType::None, 8, 0}},
    {"FLT", {TFieldType::Float, TFieldSubType::None, 8, 0}},
    {"AMT", {TFieldType::Bcd, TFieldSubType::None, 34, 2}},
    {"CMT", {TFieldType::String, TFieldSubType::None, 21, 0}},
    {"NAME", {TFieldType::String, TFieldSubType::None, 21, 0}},
    {"MEMO", {TFieldType::Blob, TFieldSubType::Memo, 8, 0}},
    {"DT", {TFieldType::Date, TFieldSubType::None, 4, 0}},
    {"TM", {TFieldType::Time, TFieldSubType::None, 4, 0}},
    {"TS", {TFieldType::Timestamp, TFieldSubType::None, 8, 0}},
    {"FLAG", {TFieldType::Boolean, TFieldSubType::None, 2, 0}},
});

// One record: each column's value bytes, or none for NULL.
using TTestRecord = std::vector<std::optional<std::vector<uint8_t>>>;

std::vector<uint8_t> Encode(const TTestColumn& column, const std::string& text) {
  std::vector<uint8_t> bytes(std::max(column.Type.DataLength, 8), 0);
  switch (column.Type.DataType) {
    case TFieldType::Integer: WriteI32(bytes.data(), *TryTextToInt32(text)); break;
    case TFieldType::SmallInt: WriteI16(bytes.data(), static_cast<int16_t>(*TryTextToInt32(text))); break;
    case TFieldType::Word: WriteU16(bytes.data(), static_cast<uint16_t>(*TryTextToInt32(text))); break;
    case TFieldType::LargeInt: WriteI64(bytes.data(), *TryTextToInt64(text)); break;
    case TFieldType::Float: WriteF64(bytes.data(), *TryTextToFloat(text)); break;
    case TFieldType::Bcd: FixedToBcd(*TryTextToFixed(text), column.Type.DataScale, bytes.data()); break;
    case TFieldType::Date: WriteI32(bytes.data(), *TryTextToDate(text)); break;
    case TFieldType::Time: WriteI32(bytes.data(), *TryTextToTime(text)); break;
    case TFieldType::Timestamp: WriteF64(bytes.data(), *TryTextToTimestamp(text)); break;
    case TFieldType::Boolean: WriteU16(bytes.data(), *TryTextToBoolean(text) ? 1 : 0); break;
    case TFieldType::String:
    case TFieldType::Blob:
      bytes.assign(text.begin(), text.end());
      bytes.push_back(0);
      break;
    default: ADD_FAILURE() << "no encoding for " << column.Name;
  }
  return bytes;
}

// "MNB=5;CMT=abc": the named columns get these values, every other column is NULL.
TTestRecord MakeRecord(std::string_view values) {
  TTestRecord record(kColumns.size());
  while (!values.empty()) {
    const size_t end = std::min(values.find(';'), values.size());
    const std::string_view item = values.substr(0, end);
    values.remove_prefix(std::min(end + 1, values.size()));
    const size_t equals = item.find('=');
    const std::string name(item.substr(0, equals));
    const std::string text(item.substr(equals + 1));
    const int index = kColumns.IndexOf(name);
    if (index >= 0) record[static_cast<size_t>(index)] = Encode(kColumns[static_cast<size_t>(index)], text);
    EXPECT_GE(index, 0) << "unknown column in the case table: " << name;
  }
  return record;
}

void GetColumnValue(void*, const uint8_t* recordBuffer, TExpToken& node) {
  const auto& record = *reinterpret_cast<const TTestRecord*>(recordBuffer);
  if (node.FieldNo < 0 || static_cast<size_t>(node.FieldNo) >= record.size()) RaiseUnservedColumn(node);
  const auto& value = record[static_cast<size_t>(node.FieldNo)];
  if (!value) {
    node.IsNull = 1;
    return;
  }
  const bool text = node.DataType == TFieldType::String || node.DataType == TFieldType::Blob;
  node.SetData(value->data(), text ? static_cast<int32_t>(value->size()) : node.DataLength);
}

const TTextIndexParameters* TextIndexParameters(void*, const TExpToken& column) {
  static const TTextIndexParameters parameters = DefaultTextIndexParameters();
  return column.IsBound != 0 ? &parameters : nullptr;
}

bool LastAutoIncValue(void*, const TExpToken& tableName, int32_t& value) {
  if (std::string_view(reinterpret_cast<const char*>(tableName.Data.data())) != "T") return false;
  value = 42;
  return true;
}

TEvaluationContext MakeContext() {
  TEvaluationContext context;
  context.GetColumnValue = GetColumnValue;
  context.TextIndexParameters = TextIndexParameters;
  context.LastAutoIncValue = LastAutoIncValue;
  return context;
}

// A value as "<type> <text>", or "null".
std::string Render(const TExpToken& value) {
  if (value.IsNull != 0) return "null";
  const uint8_t* data = value.Data.data();
  const auto text = [&] { return std::string(reinterpret_cast<const char*>(data)); };
  switch (value.DataType) {
    case TFieldType::Boolean: return ReadU16(data) == 1 ? "bool true" : (ReadU16(data) == 0 ? "bool false" : "bool ?");
    case TFieldType::SmallInt: return "i16 " + std::to_string(ReadI16(data));
    case TFieldType::Word: return "u16 " + std::to_string(ReadU16(data));
    case TFieldType::Integer: return "int " + std::to_string(ReadI32(data));
    case TFieldType::LargeInt: return "i64 " + std::to_string(ReadI64(data));
    case TFieldType::Float: return "float " + FloatToText(ReadF64(data));
    case TFieldType::Bcd: return "bcd " + FixedToText(BcdToFixed(data).value_or(0)) + "/" + std::to_string(BcdPlaces(data));
    case TFieldType::String: return "str " + text();
    case TFieldType::Blob: return "memo " + text();
    case TFieldType::Date: return "date " + DateToText(ReadI32(data));
    case TFieldType::Time: return "time " + TimeToText(ReadI32(data));
    case TFieldType::Timestamp: return "ts " + TimestampToText(ReadF64(data));
    default: return "type " + std::to_string(static_cast<int>(value.DataType));
  }
}

struct TCase {
  std::string_view Text;
  std::string_view Values;    // column values, see MakeRecord
  std::string_view Expected;  // Render of the result, or "error: " and the extra message
  std::string_view Options = "";  // "ci": case-insensitive filter, "np": no partial comparison
};

// clang-format off
const TCase kCases[] = {
    // Precedence and associativity.
    {"1 + 2 * 3", "", "int 7"},
    {"(1 + 2) * 3", "", "int 9"},
    {"10 - 4 - 3", "", "int 3"},
    {"24 / 4 / 2", "", "float 3"},
    {"-MNB * 2", "MNB=3", "int -6"},
    {"MNB = 1 OR MNB = 2 AND SNB = 3", "MNB=1;SNB=0", "bool true"},
    {"MNB = 1 OR MNB = 2 AND SNB = 3", "MNB=2;SNB=0", "bool false"},
    {"(MNB = 1 OR MNB = 2) AND SNB = 3", "MNB=1;SNB=0", "bool false"},
    {"NOT MNB = 1 AND SNB = 0", "MNB=2;SNB=0", "bool true"},
    {"'a' + 'b' || 'c'", "", "str abc"},

    // Comparisons and NULL.
    {"NULL = NULL", "", "bool true"},
    {"NULL < 1", "", "bool false"},
    {"'abc' > NULL", "", "bool true"},
    {"'ab' + NULL", "", "str ab"},
    {"1 + NULL", "", "null"},
    {"MNB = NULL", "", "bool true"},
    {"MNB = NULL", "MNB=0", "bool false"},
    {"MNB IS NULL", "", "bool true"},
    {"MNB IS NULL", "MNB=5", "bool false"},
    {"MNB IS NOT NULL", "MNB=5", "bool true"},
    {"MNB <> 5", "", "bool true"},
    {"MNB < 1", "", "bool false"},
    {"MNB > 1", "", "bool false"},
    {"MNB >= 1", "MNB=1", "bool true"},
    {"MNB <= 0", "MNB=1", "bool false"},
    {"DT < '2004-01-01'", "", "bool false"},
    {"'abc' > CMT", "", "bool true"},
    {"CMT < 'a'", "", "bool true"},
    {"CMT = 'abc'", "", "bool false"},
    {"CMT <> 'abc'", "", "bool true"},
    {"CMT < 'abd'", "CMT=abc", "bool true"},
    {"CMT > 'abc'", "CMT=abcd", "bool true"},
    {"CMT < 'a'", "CMT=B", "bool true"},
    {"CMT = NAME", "CMT=x;NAME=x", "bool true"},
    {"MEMO = CMT", "MEMO=long text;CMT=long text", "bool true"},
    {"FLAG", "FLAG=true", "bool true"},
    {"FLAG", "FLAG=false", "bool false"},
    {"FLAG", "", "bool false"},
    {"NOT FLAG", "", "bool true"},
    {"FLAG = FALSE", "FLAG=false", "bool true"},
    {"FLAG AND MNB > 1", "FLAG=true;MNB=2", "bool true"},
    {"FLAG OR MNB > 1", "MNB=2", "bool true"},
    {"FLAG OR MNB > 1", "MNB=1", "bool false"},

    // Numbers of different types compare exactly; a lossy constant is not converted.
    {"MNB = 5.0", "MNB=5", "bool true"},
    {"MNB = 5.5", "MNB=5", "bool false"},
    {"MNB < 5.5", "MNB=5", "bool true"},
    {"MNB >= 4.5", "MNB=4", "bool false"},
    {"SNB = 70000", "SNB=4464", "bool false"},
    {"SNB = 7", "SNB=7", "bool true"},
    {"WNB > -1", "WNB=65535", "bool true"},
    {"LNB > 2147483647", "LNB=2147483648", "bool true"},
    {"LNB = 9007199254740993", "LNB=9007199254740993", "bool true"},
    {"AMT = 1.25", "AMT=1.25", "bool true"},
    {"AMT = 1.2", "AMT=1.25", "bool false"},
    {"AMT > MNB", "AMT=1.25;MNB=1", "bool true"},
    {"FLT < AMT", "FLT=1.2;AMT=1.25", "bool true"},

    // Arithmetic.
    {"7 / 2", "", "float 3.5"},
    {"5 / 0", "", "null"},
    {"MNB / 0", "MNB=3", "null"},
    {"FLT / 0", "FLT=1.5", "null"},
    {"AMT / 0", "AMT=1", "null"},
    {"1 + MNB", "", "null"},
    {"MNB + SNB", "MNB=1;SNB=2", "int 3"},
    {"SNB * SNB", "SNB=300", "int 90000"},
    {"MNB * MNB", "MNB=65536", "int 0"},
    {"MNB + 1", "MNB=2147483647", "int -2147483648"},
    {"LNB * 2", "LNB=4294967296", "i64 8589934592"},
    {"MNB - FLT", "MNB=1;FLT=0.25", "float 0.75"},
    {"AMT * 3", "AMT=1.25", "bcd 3.75/2"},
    {"AMT / 3", "AMT=1", "bcd 0.33/2"},
    {"AMT + AMT", "AMT=0.05", "bcd 0.1/2"},
    {"AMT + 0.5", "AMT=1.25", "float 1.75"},
    {"-AMT", "AMT=1.25", "bcd -1.25/2"},
    {"-SNB", "SNB=-32768", "i16 -32768"},
    {"-FLT", "", "null"},
    {"+MNB", "MNB=4", "int 4"},

    // Dates and times.
    {"DT + 1", "DT=2004-02-28", "date 2004-02-29"},
    {"1 + DT", "DT=2004-12-31", "date 2005-01-01"},
    {"DT - 1", "DT=2004-03-01", "date 2004-02-29"},
    {"DT + 9999999", "DT=2004-03-01", "null"},
    {"DT - DT", "DT=2004-03-01", "int 0"},
    {"DT - '2004-01-01'", "DT=2004-01-31", "int 30"},
    {"TS + 1", "TS=2004-01-05 10:30", "ts 2004-01-06 10:30"},
    {"TS - 1", "TS=2004-01-05 10:30", "ts 2004-01-04 10:30"},
    {"TM + 1000", "TM=10:30", "time 10:30:01"},
    {"TM - 1000", "TM=00:00", "time 23:59:59"},
    {"TM - '10:00'", "TM=10:30", "int 1800000"},
    {"TS - TS", "TS=2004-01-05 10:30", "float 0"},
    {"TS - DT", "TS=2004-01-05 10:30;DT=2004-01-05", "int 37800000"},
    {"DT = '2001-02-03'", "DT=2001-02-03", "bool true"},
    {"DT = '2001-2-3'", "DT=2001-02-03", "bool true"},
    {"DT < TS", "DT=2001-02-03;TS=2001-02-03 10:00", "bool true"},
    {"DT = TS", "DT=2001-02-03;TS=2001-02-03 00:00", "bool true"},
    {"DT = CAST('2001-02-03 10:00' AS TIMESTAMP)", "DT=2001-02-03", "bool false"},
    {"DT < CAST('2001-02-03 10:00' AS TIMESTAMP)", "DT=2001-02-03", "bool true"},
    {"DT = CAST('2001-02-03 00:00' AS TIMESTAMP)", "DT=2001-02-03", "bool true"},
    {"TS > '2001-02-03'", "TS=2001-02-03 00:00:00.001", "bool true"},
    {"TM < '10:30 PM'", "TM=22:29", "bool true"},
    {"DT = 'tomorrow'", "", "error: Date, time, or timestamp expression expected, instead found 'tomorrow' in filter expression"},

    // Wildcard comparisons of the filter.
    {"NAME = 'Sm*'", "NAME=Smith", "bool true"},
    {"NAME = 'Sm*'", "NAME=Sm", "bool true"},
    {"NAME = 'Sm*'", "NAME=S", "bool false"},
    {"NAME = 'Sm*'", "NAME=smith", "bool false"},
    {"NAME = 'Sm*'", "", "bool false"},
    {"NAME = 'Sm**'", "NAME=Smith", "bool true"},
    {"NAME <> 'Sm*'", "NAME=Smith", "bool false"},
    {"NAME <> 'Sm*'", "NAME=Jones", "bool true"},
    {"NAME = 'Sm*'", "NAME=smith", "bool true", "ci"},
    {"NAME = 'SMITH'", "NAME=Smith", "bool true", "ci"},
    {"NAME = 'SMITH'", "NAME=Smith", "bool false"},
    {"NAME = 'Sm*'", "NAME=Smith", "bool false", "np"},
    {"NAME = 'Sm*'", "NAME=Sm*", "bool true", "np"},
    {"NAME = '*ith'", "NAME=Smith", "bool false"},
    {"NAME = '*ith'", "NAME=*ith", "bool true"},
    {"NAME > 'Sm*'", "NAME=Sm+", "bool true"},
    {"UPPER(NAME) = UPPER('smith')", "NAME=Smith", "bool true"},
    {"UPPER(NAME) = 'SM*'", "NAME=smith", "bool true"},
    {"LOWER(NAME) IN (LOWER('JONES'), LOWER('SMITH'))", "NAME=SMITH", "bool true"},
    {"UPPER(NAME) LIKE UPPER('s_i%')", "NAME=smith", "bool true"},

    // LIKE.
    {"CMT LIKE 'a_c'", "CMT=abc", "bool true"},
    {"CMT LIKE 'a_c'", "CMT=abbc", "bool false"},
    {"CMT LIKE 'a%c'", "CMT=ac", "bool true"},
    {"CMT LIKE 'a%c'", "CMT=abbbc", "bool true"},
    {"CMT LIKE 'a%c'", "CMT=ab", "bool false"},
    {"CMT LIKE '%'", "CMT=x", "bool true"},
    {"CMT LIKE '%'", "", "bool false"},
    {"CMT LIKE 'ab%'", "CMT=abx", "bool true"},
    {"CMT LIKE 'ab%'", "CMT=ab", "bool true"},
    {"CMT LIKE 'ab%'", "CMT=ABx", "bool false"},
    {"CMT LIKE 'ab%'", "", "bool false"},
    {"CMT NOT LIKE 'ab%'", "CMT=abc", "bool false"},
    {"CMT NOT LIKE 'ab%'", "", "bool true"},
    {"CMT NOT LIKE 'a_'", "", "bool true"},
    {"CMT LIKE '%b%'", "CMT=abc", "bool true"},
    {"CMT LIKE 'abc'", "CMT=abc", "bool true"},
    {"CMT LIKE 'abc'", "CMT=abcd", "bool false"},
    {"MEMO LIKE '%needle%'", "MEMO=hay needle hay", "bool true"},
    {"CMT LIKE NAME", "CMT=abc;NAME=a%", "bool true"},
    {"MNB LIKE 'a%'", "", "error: Type mismatch between LIKE operator and expression 'MNB' in filter expression"},

    // IN and BETWEEN.
    {"MNB IN (1, 2, 3)", "MNB=2", "bool true"},
    {"MNB IN (1, 2, 3)", "MNB=4", "bool false"},
    {"MNB NOT IN (1, 2)", "MNB=4", "bool true"},
    {"MNB IN (1, NULL)", "", "bool true"},
    {"MNB IN (1, 2)", "", "bool false"},
    {"MNB NOT IN (1, 2)", "", "bool true"},
    {"NULL IN (NULL)", "", "bool true"},
    {"SNB IN (1.5, 2)", "SNB=2", "bool true"},
    {"CMT IN ('a', 'b')", "CMT=b", "bool true"},
    {"DT IN ('2004-01-01', '2004-01-02')", "DT=2004-01-02", "bool true"},
    {"MNB BETWEEN 1 AND 3", "MNB=3", "bool true"},
    {"MNB BETWEEN 1 AND 3", "MNB=4", "bool false"},
    {"MNB BETWEEN 1 AND 3", "", "bool false"},
    {"MNB NOT BETWEEN 1 AND 3", "MNB=0", "bool true"},
    {"MNB BETWEEN 3 AND 1", "MNB=2", "bool false"},
    {"CMT BETWEEN 'a' AND 'c'", "CMT=b", "bool true"},
    {"CMT BETWEEN 'a' AND 'c'", "", "bool false"},
    {"DT BETWEEN '2004-01-01' AND '2004-12-31'", "DT=2004-06-01", "bool true"},

    // String functions.
    {"UPPER(CMT)", "CMT=abc", "str ABC"},
    {"LOWER('ABC')", "", "str abc"},
    {"UPPER(CMT)", "", "null"},
    {"UPPER(MEMO)", "MEMO=abc", "memo ABC"},
    {"LENGTH(CMT)", "CMT=hello", "int 5"},
    {"LENGTH(CMT)", "", "null"},
    {"SUBSTRING(CMT FROM 2 FOR 3)", "CMT=hello", "str ell"},
    {"SUBSTRING(CMT FROM 0)", "CMT=hello", "str hello"},
    {"SUBSTRING(CMT FROM 4)", "CMT=hello", "str lo"},
    {"SUBSTRING(CMT FROM 9)", "CMT=hello", "null"},
    {"SUBSTRING(CMT FROM 2 FOR 0)", "CMT=hello", "null"},
    {"SUBSTRING(CMT FROM 2 FOR -3)", "CMT=hello", "null"},
    {"SUBSTRING(CMT FROM MNB FOR 2)", "CMT=hello", "null"},
    {"REPLACE('l' WITH 'L' IN CMT)", "CMT=hello", "str heLLo"},
    {"REPLACE('aa' WITH 'b' IN 'aaaaa')", "", "str bba"},
    {"REPLACE('x' WITH 'y' IN CMT)", "CMT=hello", "str hello"},
    {"REPLACE('l' WITH 'l' IN CMT)", "CMT=hello", "str hello"},
    {"REPLACE('hello' WITH '' IN CMT)", "CMT=hello", "null"},
    {"POS('l' IN CMT)", "CMT=hello", "int 3"},
    {"POS('z' IN CMT)", "CMT=hello", "int 0"},
    {"POS('a' IN CMT)", "", "int 0"},
    {"OCCURS('l' IN CMT)", "CMT=hello", "int 2"},
    {"OCCURS('aa' IN 'aaaaa')", "", "int 2"},
    {"OCCURS('a' IN CMT)", "", "int 0"},
    {"TRIM(LEADING 'x' FROM CMT)", "CMT=xxhixx", "str hixx"},
    {"TRIM(TRAILING 'x' FROM CMT)", "CMT=xxhixx", "str xxhi"},
    {"TRIM(BOTH 'x' FROM CMT)", "CMT=xxhixx", "str hi"},
    {"TRIM(BOTH 'x' FROM 'xxx')", "", "null"},
    {"TRIM(BOTH 'X' FROM CMT)", "CMT=xhix", "str xhix"},
    {"CMT + NAME", "CMT=ab", "str ab"},
    {"CMT + NAME", "", "null"},
    {"CMT || '-' || NAME", "CMT=a;NAME=b", "str a-b"},
    {"UPPER(MNB)", "", "error: Type mismatch between UPPER function and function argument in filter expression"},
    {"SUBSTRING(MNB FROM 1)", "", "error: Expression argument of SUBSTRING function must be a string or memo in filter expression"},

    // EXTRACT.
    {"EXTRACT(WEEK FROM DT)", "DT=2004-01-01", "int 1"},
    {"EXTRACT(WEEK FROM DT)", "DT=2005-01-01", "int 53"},
    {"EXTRACT(YEAR FROM DT)", "DT=2004-02-05", "int 2004"},
    {"EXTRACT(MONTH FROM DT)", "DT=2004-02-05", "int 2"},
    {"EXTRACT(DAY FROM DT)", "DT=2004-02-05", "int 5"},
    {"EXTRACT(DAYOFWEEK FROM DT)", "DT=2004-01-04", "int 7"},
    {"EXTRACT(DAYOFYEAR FROM DT)", "DT=2004-12-31", "int 366"},
    {"EXTRACT(HOUR FROM DT)", "DT=2004-02-05", "int 0"},
    {"EXTRACT(HOUR FROM TM)", "TM=10:30:05.5", "int 10"},
    {"EXTRACT(SECOND FROM TM)", "TM=10:30:05.5", "int 5"},
    {"EXTRACT(YEAR FROM TM)", "TM=10:30", "int 0"},
    {"EXTRACT(DAYOFWEEK FROM TM)", "TM=10:30", "int 6"},
    {"EXTRACT(MINUTE FROM TS)", "TS=2004-01-05 10:30", "int 30"},
    {"EXTRACT(YEAR FROM TS)", "TS=2004-01-05 10:30", "int 2004"},
    {"EXTRACT(YEAR FROM DT)", "", "null"},
    {"EXTRACT(YEAR FROM '2004-02-05')", "", "int 2004"},
    {"EXTRACT(YEAR FROM MNB)", "", "error: FROM argument of EXTRACT function must be a date, time, or timestamp in filter expression"},

    // CAST.
    {"CAST('abc' AS INTEGER)", "", "null"},
    {"CAST('12' AS INTEGER)", "", "int 12"},
    {"CAST(3.7 AS INTEGER)", "", "int 3"},
    {"CAST(-3.7 AS INTEGER)", "", "int -3"},
    {"CAST(70000 AS SMALLINT)", "", "i16 4464"},
    {"CAST(MNB AS CHAR(10))", "MNB=5", "str 5"},
    {"CAST('abcdef' AS CHAR(3))", "", "str abc"},
    {"CAST(DT AS CHAR(10))", "DT=2004-01-01", "str 2004-01-01"},
    {"CAST(TS AS DATE)", "TS=2004-01-05 10:30", "date 2004-01-05"},
    {"CAST(TS AS TIME)", "TS=2004-01-05 10:30", "time 10:30"},
    {"CAST(TM AS TIMESTAMP)", "TM=10:30", "ts 1899-12-30 10:30"},
    {"CAST(FLAG AS INTEGER)", "FLAG=true", "int 1"},
    {"CAST('true' AS BOOLEAN)", "", "bool true"},
    {"CAST('yes' AS BOOLEAN) IS NULL", "", "bool true"},
    {"CAST('yes' AS BOOLEAN)", "", "bool false"},
    {"CAST(FLT AS DECIMAL(10,2))", "FLT=1.235", "bcd 1.24/2"},
    {"CAST(AMT AS FLOAT)", "AMT=1.25", "float 1.25"},
    {"CAST(1e30 AS INTEGER)", "", "null"},
    {"CAST(MEMO AS CHAR(5))", "MEMO=long memo text", "str long "},
    {"CAST(CMT AS INTEGER)", "", "null"},
    {"CAST(DT AS INTEGER)", "", "error: Type mismatch between column 'DT' and AS argument in filter expression"},

    // ABS and ROUND.
    {"ABS(-5)", "", "int 5"},
    {"ABS(FLT)", "FLT=-1.5", "float 1.5"},
    {"ABS(AMT)", "AMT=-1.25", "bcd 1.25/2"},
    {"ABS(WNB)", "WNB=65535", "u16 65535"},
    {"ABS(SNB)", "SNB=-7", "i16 7"},
    {"ABS(MNB)", "", "null"},
    {"ROUND(2.5)", "", "float 3"},
    {"ROUND(-2.5)", "", "float -3"},
    {"ROUND(FLT TO 1)", "FLT=1.25", "float 1.3"},
    {"ROUND(FLT TO 2)", "FLT=-1.005", "float -1"},
    {"ROUND(AMT TO 1)", "AMT=1.25", "bcd 1.3/2"},
    {"ROUND(AMT TO 1)", "AMT=-1.25", "bcd -1.3/2"},
    {"ROUND(FLT)", "", "null"},
    {"ROUND(MNB)", "", "error: Expression argument of ROUND function must be a floating-point or BCD type in filter expression"},

    // IF, IFNULL, COALESCE.
    {"IF(MNB > 1, 'y', 'n')", "MNB=2", "str y"},
    {"IF(MNB > 1 THEN 'y' ELSE 'n')", "MNB=1", "str n"},
    {"IF(FLAG, 1, 2)", "", "int 2"},
    {"IF(MNB > 1, MNB, FLT)", "MNB=5", "int 5"},
    {"IF(MNB > 1, FLT, MNB)", "MNB=5;FLT=0.5", "float 0.5"},
    {"IF(MNB > 1, 'long text', 'n')", "MNB=2", "str long text"},
    {"IFNULL(MNB, 0, MNB)", "", "int 0"},
    {"IFNULL(MNB, 0, MNB)", "MNB=7", "int 7"},
    {"COALESCE(MNB, SNB, 0)", "SNB=3", "int 3"},
    {"COALESCE(MNB, SNB)", "", "null"},
    {"COALESCE(CMT, NAME, 'none')", "NAME=b", "str b"},
    {"COALESCE(NULL, NULL)", "", "error: At least one of the COALESCE expression arguments in filter expression must be a non-NULL value"},
    {"IF(MNB, 1, 2)", "", "error: First expression argument of IF function must be a boolean type in filter expression"},

    // Text search.
    {"TEXTSEARCH('hello' IN MEMO)", "MEMO=say hello, world", "bool true"},
    {"TEXTSEARCH('HELLO world' IN MEMO)", "MEMO=say hello, world", "bool true"},
    {"TEXTSEARCH('hel*' IN MEMO)", "MEMO=say hello, world", "bool true"},
    {"TEXTSEARCH('hello moon' IN MEMO)", "MEMO=say hello, world", "bool false"},
    {"TEXTSEARCH('the hello' IN MEMO)", "MEMO=say hello, world", "bool true"},
    {"TEXTSEARCH('hello' IN MEMO)", "", "bool false"},
    {"TEXTSEARCH('hello' IN CMT)", "CMT=hello", "bool true"},
    {"TEXTOCCURS('hello' IN MEMO)", "MEMO=hello Hello hello", "u16 3"},
    {"TEXTOCCURS('h* world' IN MEMO)", "MEMO=hello here, world", "u16 3"},
    {"TEXTOCCURS('the' IN MEMO)", "MEMO=the the", "u16 0"},
    {"TEXTSEARCH('x' IN MNB)", "", "error: Type mismatch between TEXTSEARCH function and column function argument in filter expression"},

    // The rest.
    {"LASTAUTOINC('T')", "", "int 42"},
    {"IDENT_CURRENT('U')", "", "int 0"},
    {"SUM(SNB)", "SNB=7", "int 7"},
    {"AVG(MNB)", "MNB=7", "float 7"},
    {"COUNT(*)", "", "int 1"},
    {"COUNT(MNB)", "", "int 0"},
    {"MAX(DT)", "DT=2004-01-01", "date 2004-01-01"},

    // Type errors.
    {"MNB AND FLAG", "", "error: Type mismatch between column 'MNB' and expression '=' in filter expression"},
    {"MNB = CMT", "", "error: Type mismatch between column 'MNB' and column 'CMT' in filter expression"},
    {"NOT MNB", "", "error: Type mismatch between 'NOT' operator and 'MNB' in filter expression"},
    {"FOO = 1", "", "error: Invalid column name 'FOO' or table correlation name '' specified in filter expression"},
    {"MNB = ", "", "error: Unknown or unexpected symbol '' found in filter expression"},
};
// clang-format on

TExpTree ParseAndBind(const TCase& c) {
  TExpressionParser parser;
  parser.SetErrorContext(KURA_INVALIDFILTER, "T", std::string(kFilterContext));
  TExpTree tree = parser.ParseText(c.Text, kFilterParseFlags | kParseAggregates | kParseAllColumns);
  TBindContext bind;
  bind.ErrorCode = KURA_INVALIDFILTER;
  bind.ContextText = std::string(kFilterContext);
  bind.TableName = "T";
  kColumns.ServeTo(bind);
  BindExpression(bind, tree.get(), tree.get(), true, true);
  return tree;
}

TEST(ExpressionTest, EvaluatesTheLanguage) {
  const TEvaluationContext context = MakeContext();
  for (const TCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.Text << " with [" << c.Values << "]");
    const TTestRecord record = MakeRecord(c.Values);
    const auto* recordBuffer = reinterpret_cast<const uint8_t*>(&record);
    const bool expectError = c.Expected.starts_with("error: ");
    const auto error = EngineErrorOf([&] {
      TExpTree bound = ParseAndBind(c);
      const TExpTree prepared = PrepareExpression(*bound, context, c.Options == "np", c.Options == "ci");
      const TExpTree value = EvaluateExpression(*prepared, recordBuffer, context);
      if (expectError) return;  // reported below: nothing was raised
      EXPECT_EQ(Render(*value), c.Expected);
      EXPECT_EQ(value->Operand, nullptr);
      EXPECT_TRUE(value->Arguments.empty());
      // The filter's test agrees with the value.
      if (value->DataType == TFieldType::Boolean) {
        EXPECT_EQ(EvaluateCondition(*prepared, recordBuffer, context), c.Expected == "bool true");
      }
      // Without the filter's wildcard rules, preparing changes no result.
      if (c.Options.empty() && c.Text.find("*'") == std::string_view::npos) {
        const TExpTree unprepared = EvaluateExpression(*bound, recordBuffer, context);
        EXPECT_EQ(Render(*unprepared), c.Expected) << "evaluated without preparation";
      }
    });
    if (!error) {
      if (expectError) ADD_FAILURE() << "no error raised";
    } else if (!expectError) {
      ADD_FAILURE() << "raised: " << error->ErrorExtraMessage;
    } else {
      EXPECT_EQ(error->ErrorCode, KURA_INVALIDFILTER);
      EXPECT_EQ("error: " + error->ErrorExtraMessage, c.Expected);
    }
  }
}

}  // namespace
}  // namespace kura
