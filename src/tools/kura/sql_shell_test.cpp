#include "tools/kura/sql_shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <span>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/base/code_page_text.h"
#include "kura/base/engine_error.h"
#include "kura/base/value_conversion.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/definition_text.h"
#include "kura/sql/query_statement.h"
#include "kura/storage/record.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"
#include "testing/sql_tables.h"
#include "testing/temp_dir.h"

namespace kura::tool {
namespace {

using testing_support::EngineErrorOf;
using testing_support::Field;
using testing_support::Index;
using testing_support::TTempDir;

// ---- splitting ----

TEST(SqlShellSplitTest, CutsAtSemicolonsTheScannerReadsAsSymbols) {
  struct Case {
    std::string text;
    std::vector<std::string> statements;
    std::string rest;
  };
  const Case cases[] = {
      {"", {}, ""},
      {"  \n ", {}, ""},
      {"a;b;", {"a", "b"}, ""},
      {" a ; \n b ", {"a"}, "b"},
      {"select 'x;y' from t; next", {"select 'x;y' from t"}, "next"},
      {"select 'it''s;' ;", {"select 'it''s;'"}, ""},
      {"select \"a;\"\"b\" ;", {"select \"a;\"\"b\""}, ""},
      {"select [a;b] from t;", {"select [a;b] from t"}, ""},
      {"select [a'b];x", {"select [a'b]"}, "x"},             // a quote inside brackets opens nothing
      {"a /* ; */ b; /* c; */", {"a /* ; */ b"}, ""},         // a comment alone is no statement
      {";;  ; a", {}, "a"},
      {"select 'open;", {}, "select 'open;"},                 // unfinished string: all pending
      {"a /* open; ", {}, "a /* open;"},
      {"x -- y; z", {"x -- y"}, "z"},                         // "--" is no comment to the engine
      {"/* only */\n", {}, ""},
      {"insert into t values ('詰;碁');", {"insert into t values ('詰;碁')"}, ""},
  };
  for (const Case& c : cases) {
    const TStatementSplit split = SplitStatements(c.text);
    EXPECT_EQ(split.Statements, c.statements) << c.text;
    EXPECT_EQ(split.Rest, c.rest) << c.text;
  }
}

// ---- printing ----

TResultSet SampleResult() {
  TResultSet result;
  result.Columns = {{"ID", TFieldType::Integer}, {"Name", TFieldType::String}, {"Ok", TFieldType::Boolean},
                    {"Price", TFieldType::Bcd}};
  result.Rows = {{"1", "plain", "True", "1.5"},
                 {"2", "a, \"quoted\"\ttab", "False", std::nullopt},
                 {"3", std::nullopt, std::nullopt, "-0.25"},
                 {"4", "line\nbreak\\", "True", "INF"},
                 {"5", "", "False", "0"}};
  return result;
}

// Each mode's printing of `result` is the expected text.
void ExpectPrinted(const TResultSet& result, std::span<const std::pair<TOutputMode, std::string>> cases) {
  for (const auto& [mode, expected] : cases) {
    std::ostringstream out;
    PrintResult(out, result, mode);
    EXPECT_EQ(out.str(), expected) << OutputModeName(mode);
  }
}

TEST(SqlShellPrintTest, PrintsEachMode) {
  const std::pair<TOutputMode, std::string> cases[] = {
      {TOutputMode::Table,
       "ID  Name             Ok     Price\n"
       "1   plain            True   1.5\n"
       "2   a, \"quoted\"\ttab  False  NULL\n"
       "3   NULL             NULL   -0.25\n"
       "4   line\nbreak\\      True   INF\n"
       "5                    False  0\n"
       "(5 row(s))\n"},
      {TOutputMode::Csv,
       "ID,Name,Ok,Price\n"
       "1,plain,True,1.5\n"
       "2,\"a, \"\"quoted\"\"\ttab\",False,\n"
       "3,,,-0.25\n"
       "4,\"line\nbreak\\\",True,INF\n"
       "5,\"\",False,0\n"},
      {TOutputMode::Tsv,
       "ID\tName\tOk\tPrice\n"
       "1\tplain\tTrue\t1.5\n"
       "2\ta, \"quoted\"\\ttab\tFalse\t\n"
       "3\t\t\t-0.25\n"
       "4\tline\\nbreak\\\\\tTrue\tINF\n"
       "5\t\tFalse\t0\n"},
      {TOutputMode::Json,
       "{\"ID\":1,\"Name\":\"plain\",\"Ok\":true,\"Price\":1.5}\n"
       "{\"ID\":2,\"Name\":\"a, \\\"quoted\\\"\\u0009tab\",\"Ok\":false,\"Price\":null}\n"
       "{\"ID\":3,\"Name\":null,\"Ok\":null,\"Price\":-0.25}\n"
       "{\"ID\":4,\"Name\":\"line\\u000abreak\\\\\",\"Ok\":true,\"Price\":null}\n"
       "{\"ID\":5,\"Name\":\"\",\"Ok\":false,\"Price\":0}\n"},
  };
  ExpectPrinted(SampleResult(), cases);
}

TEST(SqlShellPrintTest, PrintsAnEmptyResult) {
  TResultSet empty;
  empty.Columns = {{"a", TFieldType::Integer}};
  const std::pair<TOutputMode, std::string> cases[] = {
      {TOutputMode::Table, "a\n(0 row(s))\n"},
      {TOutputMode::Csv, "a\n"},
      {TOutputMode::Tsv, "a\n"},
      {TOutputMode::Json, ""},
  };
  ExpectPrinted(empty, cases);
}

TEST(SqlShellPrintTest, KnowsTheModeNames) {
  EXPECT_EQ(OutputModeByName("table"), TOutputMode::Table);
  EXPECT_EQ(OutputModeByName("csv"), TOutputMode::Csv);
  EXPECT_EQ(OutputModeByName("tsv"), TOutputMode::Tsv);
  EXPECT_EQ(OutputModeByName("json"), TOutputMode::Json);
  EXPECT_EQ(OutputModeByName("html"), std::nullopt);
  EXPECT_EQ(OutputModeByName("CSV"), std::nullopt);
  for (const TOutputMode mode : {TOutputMode::Table, TOutputMode::Csv, TOutputMode::Tsv, TOutputMode::Json}) {
    EXPECT_EQ(OutputModeByName(OutputModeName(mode)), mode);
  }
}

TEST(SqlShellPrintTest, TablesForATerminalCsvForAProgram) {
  EXPECT_EQ(DefaultOutputMode(true), TOutputMode::Table);
  EXPECT_EQ(DefaultOutputMode(false), TOutputMode::Csv);
}

// ---- results read from a cursor ----

// Two tables in code page 932 whose records a result cursor could hold: one of numbers,
// one of texts, truth values, dates and BLOBs. NULL stands for a NULL value.
class SqlShellResultTest : public ::testing::Test {
protected:
  SqlShellResultTest() { Directory = Session.OpenDirectory("", Temp.Path().string()); }

  // Creates the table and appends one record per row of texts, each converted to its
  // field's type by the engine (a Float read by std::stod, so "inf" and "-nan" work).
  std::unique_ptr<TDataCursor> Make(const std::string& name, std::vector<TFieldDefinition> fields,
                                    const std::vector<std::vector<std::string>>& rows) {
    auto cursor = std::make_unique<TDataCursor>(*Directory);
    cursor->SetTableName(name);
    cursor->SetExclusive(true);
    TTableDefinition definition;
    definition.Fields = std::move(fields);
    cursor->CreateTable(definition, false);
    cursor->OpenCursor();
    const std::vector<TFieldDefinition>& stored = cursor->FieldDefinitions();
    std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
    for (const auto& row : rows) {
      cursor->InitRecord(record.data());
      for (size_t i = 0; i < row.size(); ++i) Set(*cursor, stored[i], record.data(), row[i]);
      cursor->AppendRecord(record.data(), false);
    }
    return cursor;
  }

  static void Set(TDataCursor& cursor, const TFieldDefinition& field, uint8_t* record, const std::string& utf8) {
    if (utf8 == "NULL" || field.IsAutoInc()) return;
    const std::string text = *Utf8ToCodePage(932, utf8);
    if (field.FieldType == TFieldType::Blob) {
      int32_t size = 0;
      ASSERT_EQ(cursor.OpenBlob(field.FieldNo, record, TBlobOpenMode::ReadWrite, size), 0);
      ASSERT_EQ(cursor.PutBlob(field.FieldNo, record, 0, static_cast<int32_t>(text.size()),
                               reinterpret_cast<const uint8_t*>(text.data())),
                0);
      return;
    }
    uint8_t value[kValueBufferSize] = {};
    if (field.FieldType == TFieldType::Float) {
      // Written directly so that no text form stands between the double and the test.
      WriteF64(value, std::stod(text));
    } else {
      std::memcpy(value, text.data(), std::min<size_t>(text.size(), kValueBufferSize - 1));
      ASSERT_TRUE(ConvertValue(TFieldType::String, kValueBufferSize, 0, value, field.Scale, field.DataSize,
                               field.FieldType))
          << utf8;
    }
    cursor.SetField(field.FieldNo, record, value);
  }

  TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = nullptr;
};

TEST_F(SqlShellResultTest, PrintsNumbersExactlyInEachMode) {
  TFieldDefinition money = Field("M", TFieldType::Float, 0, TFieldSubType::Money);
  TFieldDefinition decimal = Field("B", TFieldType::Bcd);
  decimal.Scale = 2;
  const auto cursor =
      Make("numbers",
           {Field("ID", TFieldType::Integer, 0, TFieldSubType::AutoInc), Field("S", TFieldType::SmallInt),
            Field("I", TFieldType::Integer), Field("W", TFieldType::Word), Field("L", TFieldType::LargeInt),
            Field("F", TFieldType::Float), money, decimal},
           {{"", "-32768", "-2147483648", "65535", "-9223372036854775808", "0.1", "-0.5", "1.5"},
            {"", "NULL", "2147483647", "NULL", "9223372036854775807", "1e300", "NULL", "-0.05"},
            {"", "7", "NULL", "0", "NULL", "inf", "123456.78", "NULL"},
            {"", "0", "0", "1", "1", "-nan", "0", "0"}});
  const TResultSet result = ReadResult(*cursor);
  const std::pair<TOutputMode, std::string> cases[] = {
      {TOutputMode::Table,
       "ID  S       I            W      L                     F       M          B\n"
       "1   -32768  -2147483648  65535  -9223372036854775808  0.1     -0.5       1.50\n"
       "2   NULL    2147483647   NULL   9223372036854775807   1e+300  NULL       -0.05\n"
       "3   7       NULL         0      NULL                  INF     123456.78  NULL\n"
       "4   0       0            1      1                     NAN     0          0.00\n"
       "(4 row(s))\n"},
      {TOutputMode::Csv,
       "ID,S,I,W,L,F,M,B\n"
       "1,-32768,-2147483648,65535,-9223372036854775808,0.1,-0.5,1.50\n"
       "2,,2147483647,,9223372036854775807,1e+300,,-0.05\n"
       "3,7,,0,,INF,123456.78,\n"
       "4,0,0,1,1,NAN,0,0.00\n"},
      {TOutputMode::Tsv,
       "ID\tS\tI\tW\tL\tF\tM\tB\n"
       "1\t-32768\t-2147483648\t65535\t-9223372036854775808\t0.1\t-0.5\t1.50\n"
       "2\t\t2147483647\t\t9223372036854775807\t1e+300\t\t-0.05\n"
       "3\t7\t\t0\t\tINF\t123456.78\t\n"
       "4\t0\t0\t1\t1\tNAN\t0\t0.00\n"},
      {TOutputMode::Json,
       "{\"ID\":1,\"S\":-32768,\"I\":-2147483648,\"W\":65535,\"L\":-9223372036854775808,\"F\":0.1,\"M\":-0.5,"
       "\"B\":1.50}\n"
       "{\"ID\":2,\"S\":null,\"I\":2147483647,\"W\":null,\"L\":9223372036854775807,\"F\":1e+300,\"M\":null,"
       "\"B\":-0.05}\n"
       "{\"ID\":3,\"S\":7,\"I\":null,\"W\":0,\"L\":null,\"F\":null,\"M\":123456.78,\"B\":null}\n"
       "{\"ID\":4,\"S\":0,\"I\":0,\"W\":1,\"L\":1,\"F\":null,\"M\":0,\"B\":0.00}\n"},
  };
  ExpectPrinted(result, cases);
  // Every float text reads back as the stored double.
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  cursor->SetToBegin();
  for (const auto& row : result.Rows) {
    ASSERT_EQ(cursor->GetNextRecord(record.data()), 0);
    const double stored = ReadF64(FieldValue(record.data(), cursor->FieldDefinitions()[5]));
    if (std::isfinite(stored)) {
      EXPECT_EQ(std::stod(*row[5]), stored) << *row[5];
    }
  }
}

TEST_F(SqlShellResultTest, PrintsTextsTruthValuesDatesAndBlobsInEachMode) {
  const auto cursor = Make("texts",
                           {Field(*Utf8ToCodePage(932, "名前"), TFieldType::String, 20), Field("Ok", TFieldType::Boolean),
                            Field("D", TFieldType::Date), Field("T", TFieldType::Time),
                            Field("TS", TFieldType::Timestamp), Field("Memo", TFieldType::Blob, 0, TFieldSubType::Memo),
                            Field("Bin", TFieldType::Blob, 0, TFieldSubType::Binary)},
                           {{"詰碁", "True", "2004-02-29", "10:30", "2004-02-29 10:30:05", "先手,\"活\"\n二行", "abc"},
                            {"a, \"q\"", "False", "NULL", "NULL", "NULL", "NULL", "NULL"},
                            {"NULL", "NULL", "0099-01-05", "23:59:59.999", "1899-12-30 00:00", "x", "0123456789"}});
  const TResultSet result = ReadResult(*cursor);
  ASSERT_EQ(result.Columns.size(), 7U);
  EXPECT_EQ(result.Columns[0].Name, "名前");
  const std::pair<TOutputMode, std::string> cases[] = {
      {TOutputMode::Table,
       "名前    Ok     D           T             TS                   Memo            Bin\n"
       "詰碁    True   2004-02-29  10:30         2004-02-29 10:30:05  先手,\"活\"\n二行  (BLOB 3 bytes)\n"
       "a, \"q\"  False  NULL        NULL          NULL                 NULL            NULL\n"
       "NULL    NULL   0099-01-05  23:59:59.999  1899-12-30 00:00     x               (BLOB 10 bytes)\n"
       "(3 row(s))\n"},
      {TOutputMode::Csv,
       "名前,Ok,D,T,TS,Memo,Bin\n"
       "詰碁,True,2004-02-29,10:30,2004-02-29 10:30:05,\"先手,\"\"活\"\"\n二行\",(BLOB 3 bytes)\n"
       "\"a, \"\"q\"\"\",False,,,,,\n"
       ",,0099-01-05,23:59:59.999,1899-12-30 00:00,x,(BLOB 10 bytes)\n"},
      {TOutputMode::Tsv,
       "名前\tOk\tD\tT\tTS\tMemo\tBin\n"
       "詰碁\tTrue\t2004-02-29\t10:30\t2004-02-29 10:30:05\t先手,\"活\"\\n二行\t(BLOB 3 bytes)\n"
       "a, \"q\"\tFalse\t\t\t\t\t\n"
       "\t\t0099-01-05\t23:59:59.999\t1899-12-30 00:00\tx\t(BLOB 10 bytes)\n"},
      {TOutputMode::Json,
       "{\"名前\":\"詰碁\",\"Ok\":true,\"D\":\"2004-02-29\",\"T\":\"10:30\",\"TS\":\"2004-02-29 10:30:05\","
       "\"Memo\":\"先手,\\\"活\\\"\\u000a二行\",\"Bin\":\"(BLOB 3 bytes)\"}\n"
       "{\"名前\":\"a, \\\"q\\\"\",\"Ok\":false,\"D\":null,\"T\":null,\"TS\":null,\"Memo\":null,\"Bin\":null}\n"
       "{\"名前\":null,\"Ok\":null,\"D\":\"0099-01-05\",\"T\":\"23:59:59.999\",\"TS\":\"1899-12-30 00:00\","
       "\"Memo\":\"x\",\"Bin\":\"(BLOB 10 bytes)\"}\n"},
  };
  ExpectPrinted(result, cases);
}

// ---- parameters ----

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

TEST(SqlShellParamTest, EachTextBecomesTheParameterItsFormStandsFor) {
  struct Case {
    std::string Text;
    TFieldType Type;
    bool HasValue;
    std::vector<uint8_t> Value;  // the bytes after the null flag
    int Size = 0;
  };
  const Case cases[] = {
      {"NULL", TFieldType::Unknown, false, {}},
      {"null", TFieldType::Unknown, false, {}},
      {"42", TFieldType::Integer, true, Bytes("2a000000")},
      {"+7", TFieldType::Integer, true, Bytes("07000000")},
      {"-2147483648", TFieldType::Integer, true, Bytes("00000080")},
      {"2147483648", TFieldType::LargeInt, true, Bytes("0000008000000000")},
      {"-9223372036854775808", TFieldType::LargeInt, true, Bytes("0000000000000080")},
      {"9223372036854775808", TFieldType::String, true, Bytes("39323233333732303336383534373735383038" "00"), 19},
      {"0.1", TFieldType::Float, true, Bytes("9a9999999999b93f")},
      {"-.5", TFieldType::Float, true, Bytes("000000000000e0bf")},
      {"1e300", TFieldType::Float, true, Bytes("9c7500883ce4377e")},
      {"2.", TFieldType::Float, true, Bytes("0000000000000040")},
      {"1e400", TFieldType::String, true, Bytes("316534303000"), 5},
      {"1.2.3", TFieldType::String, true, Bytes("312e322e3300"), 5},
      {"5e", TFieldType::String, true, Bytes("356500"), 2},
      {" 5", TFieldType::String, true, Bytes("203500"), 2},
      {"NULLS", TFieldType::String, true, Bytes("4e554c4c5300"), 5},
      {"", TFieldType::String, true, Bytes("00"), 0},
      {"詰碁", TFieldType::String, true, Bytes("8b6c8ce900"), 4},
  };
  std::vector<std::string> texts;
  for (const Case& c : cases) texts.push_back(c.Text);
  const TParamValues params = ParamValuesOf(texts, 932);
  ASSERT_EQ(params.Definitions.size(), std::size(cases));
  EXPECT_TRUE(params.MemoTexts.empty());
  size_t offset = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const TFieldDefinition& d = params.Definitions[i];
    EXPECT_EQ(d.FieldNo, i + 1) << c.Text;
    EXPECT_EQ(d.FieldType, c.Type) << c.Text;
    EXPECT_EQ(d.SubType, TFieldSubType::None) << c.Text;
    EXPECT_EQ(d.Size, c.Size) << c.Text;
    EXPECT_EQ(d.DataSize, c.Value.size()) << c.Text;
    ASSERT_EQ(d.Offset, offset) << c.Text;
    EXPECT_EQ(params.Values[offset], c.HasValue ? 1 : 0) << c.Text;
    EXPECT_EQ(std::vector<uint8_t>(params.Values.begin() + static_cast<ptrdiff_t>(offset) + 1,
                                   params.Values.begin() + static_cast<ptrdiff_t>(offset + 1 + d.DataSize)),
              c.Value)
        << c.Text;
    offset += 1 + d.DataSize;
  }
  EXPECT_EQ(params.Values.size(), offset);
}

TEST(SqlShellParamTest, ATextBeyondAStringIsAMemoPassedByLengthAndPointer) {
  const std::string kana(126, 'x');
  const std::vector<std::string> texts = {std::string(250, 'a'), std::string(251, 'b'), "詰" + kana + "碁" + kana, "1"};
  TParamValues moved = ParamValuesOf(texts, 932);
  const TParamValues params = std::move(moved);  // the pointers survive a move
  ASSERT_EQ(params.Definitions.size(), 4U);
  EXPECT_EQ(params.Definitions[0].FieldType, TFieldType::String);
  EXPECT_EQ(params.Definitions[0].DataSize, 251);
  const std::string expected[] = {std::string(251, 'b'), *Utf8ToCodePage(932, texts[2])};
  ASSERT_EQ(expected[1].size(), 256U);
  for (size_t i = 1; i <= 2; ++i) {
    const TFieldDefinition& d = params.Definitions[i];
    EXPECT_EQ(d.FieldType, TFieldType::Blob);
    EXPECT_EQ(d.SubType, TFieldSubType::Memo);
    const uint8_t* at = params.Values.data() + d.Offset;
    EXPECT_EQ(at[0], 1);
    ASSERT_EQ(d.DataSize, sizeof(int32_t) + sizeof(const char*));
    const char* bytes = nullptr;
    std::memcpy(&bytes, at + 1 + sizeof(int32_t), sizeof bytes);
    EXPECT_EQ(std::string(bytes, static_cast<size_t>(ReadI32(at + 1))), expected[i - 1]);
  }
  EXPECT_EQ(params.Definitions[3].FieldType, TFieldType::Integer);
  EXPECT_EQ(params.MemoTexts.size(), 2U);
}

TEST(SqlShellParamTest, ATextTheCodePageCannotHoldIsRejected) {
  EXPECT_THROW(ParamValuesOf({"1", "Café"}, 932), std::invalid_argument);
  EXPECT_EQ(ParamValuesOf({"Café"}, 1252).Definitions.at(0).Size, 4);
  EXPECT_TRUE(ParamValuesOf({}, 932).Definitions.empty());
}

TEST(SqlShellParamTest, TheValuesReachThePlaceholdersOfTheStatement) {
  TTempDir dir;
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("", dir.Path().string());
  {
    TQueryStatement create(*directory);
    create.Prepare("CREATE TABLE t (a INTEGER, b CHAR(20), c MEMO, d LARGEINT, e FLOAT)");
    TDataCursor* none = nullptr;
    create.Execute(none);
  }
  const std::string memo(300, 'm');
  const TParamValues params = ParamValuesOf({"5", "詰碁", memo, "NULL", "-0.5", "9000000000"}, 932);
  TQueryStatement statement(*directory);
  statement.Prepare("select * from t where a = ? and b = ? and c = ? and a <> ? and e = ? and d = ?");
  ASSERT_EQ(statement.ParamCount(), 6);
  TDataCursor* result = nullptr;
  statement.Execute(params.Definitions, params.Values.data(), result);
  ASSERT_NE(result, nullptr);
  struct Expected {
    TFieldType Type;
    uint8_t IsNull;
    std::string Data;
  };
  const Expected expected[] = {
      {TFieldType::Integer, 0, std::string("\x05\0\0\0", 4)},
      {TFieldType::String, 0, std::string("\x8b\x6c\x8c\xe9\0", 5)},
      {TFieldType::Blob, 0, memo + std::string(1, '\0')},
      {TFieldType::Unknown, 1, ""},
      {TFieldType::Float, 0, std::string("\0\0\0\0\0\0\xe0\xbf", 8)},
      {TFieldType::LargeInt, 0, std::string("\x00\x1a\x71\x18\x02\0\0\0", 8)},
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    const TExpToken& node = *statement.Params()[i];
    EXPECT_EQ(node.DataType, expected[i].Type) << i;
    EXPECT_EQ(node.IsNull, expected[i].IsNull) << i;
    EXPECT_EQ(node.DataLength, static_cast<int32_t>(expected[i].Data.size())) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(node.Data.data()), expected[i].Data.size()), expected[i].Data)
        << i;
  }
  EXPECT_EQ(statement.Params()[2]->SubType, TFieldSubType::Memo);
}

// ---- CSV ----

struct TCsvCase {
  const char* Text;
  // Each record as its line and its values joined by "|" (NULL as "NULL"); or, when
  // ErrorLine is set, the records before the error.
  std::vector<std::pair<int, std::string>> Records;
  int ErrorLine = 0;
  const char* Error = "";
};

TEST(SqlShellCsvTest, ReadsRecordsAsTheFormatSays) {
  const TCsvCase cases[] = {
      {"", {}},
      {"a,b\n1,2\n", {{1, "a|b"}, {2, "1|2"}}},
      {"a,b\r\n1,2", {{1, "a|b"}, {2, "1|2"}}},
      {"a\r1\r", {{1, "a"}, {2, "1"}}},
      // Empty values are NULL, a quoted empty value an empty text.
      {",\"\",x\n", {{1, "NULL||x"}}},
      {"\n", {{1, "NULL"}}},
      // Quotes: doubled inside, separators and line breaks as text; lines still counted.
      {"\"a \"\"b\"\", c\"\n\"two\nlines\",3\nnext\n", {{1, "a \"b\", c"}, {2, "two\nlines|3"}, {4, "next"}}},
      {"\"\"\"\"\n", {{1, "\""}}},
      {"ok\nab\"c\n", {{1, "ok"}}, 2, "a quote inside a value that does not begin with one"},
      {"\"a\"b\n", {}, 1, "text after the closing quote of a value"},
      {"1\n\"open\nstill open", {{1, "1"}}, 2, "a quoted value is not closed before the end of the file"},
  };
  for (const TCsvCase& c : cases) {
    SCOPED_TRACE(c.Text);
    std::istringstream in(c.Text);
    int line = 0;
    std::vector<std::pair<int, std::string>> records;
    int errorLine = 0;
    std::string error;
    try {
      while (const std::optional<TCsvRecord> record = ReadCsvRecord(in, line)) {
        std::string joined;
        for (size_t i = 0; i < record->Fields.size(); ++i) {
          joined += (i > 0 ? "|" : "") + record->Fields[i].value_or("NULL");
        }
        records.emplace_back(record->Line, joined);
      }
    } catch (const TCsvError& e) {
      errorLine = e.Line;
      error = e.what();
    }
    EXPECT_EQ(records, c.Records);
    EXPECT_EQ(errorLine, c.ErrorLine);
    EXPECT_EQ(error, c.Error);
  }
}

// ---- the executable ----

struct TRun {
  int Status = -1;
  std::string Out;
  std::string Err;
};

std::string FileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Runs the kura executable with `args`, `input` as its standard input (a file, never a
// terminal), and gives its exit status and output.
TRun RunKura(const TTempDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
  const std::filesystem::path in = dir / "stdin.txt";
  const std::filesystem::path out = dir / "stdout.txt";
  const std::filesystem::path err = dir / "stderr.txt";
  WriteFile(in, input);
  const pid_t child = fork();
  if (child == 0) {
    const int inFd = open(in.c_str(), O_RDONLY);
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (inFd < 0 || outFd < 0 || errFd < 0) _exit(120);
    dup2(inFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    std::vector<char*> argv = {const_cast<char*>(KURA_EXECUTABLE)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(KURA_EXECUTABLE, argv.data());
    _exit(121);
  }
  TRun run;
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) run.Status = WEXITSTATUS(status);
  run.Out = FileText(out);
  run.Err = FileText(err);
  return run;
}

// The message the engine raises for preparing `sql` (in code page 932) on `dir`, as
// UTF-8; empty when it raises nothing.
std::string EngineMessage(const std::filesystem::path& dir, const std::string& sql) {
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("", dir.string());
  TQueryStatement statement(*directory);
  try {
    statement.Prepare(*Utf8ToCodePage(932, sql));
    TDataCursor* result = nullptr;
    statement.Execute(result);
  } catch (const EKuraEngineError& error) {
    return *CodePageToUtf8(932, error.what());
  }
  return {};
}

// A table made through the engine (names and texts in code page 932).
TTableDefinition MakeTable(const std::filesystem::path& dir, const std::string& name) {
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("", dir.string());
  TDataCursor cursor(*directory);
  cursor.SetTableName(*Utf8ToCodePage(932, name));
  cursor.SetExclusive(true);
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer, 0, TFieldSubType::AutoInc), Field("Name", TFieldType::String, 20),
              Field(*Utf8ToCodePage(932, "棋譜"), TFieldType::Blob, 0, TFieldSubType::Memo)};
  t.Fields[1].DefaultValue = *Utf8ToCodePage(932, "無名");
  t.PrimaryIndex = Index("", {1}, true);
  t.SecondaryIndexes = {Index("ByName", {2}, false, true)};
  t.Description = *Utf8ToCodePage(932, "問題集");
  cursor.CreateTable(t, false);
  cursor.OpenCursor();
  return cursor.TableDefinition();
}

TEST(SqlShellCommandTest, NeedsAnExistingDirectoryUnlessToldToCreateIt) {
  TTempDir dir;
  const std::string db = (dir / "db").string();
  const TRun missing = RunKura(dir, {"sql", db, "-c", ".tables"});
  EXPECT_EQ(missing.Status, 1);
  EXPECT_EQ(missing.Err, "kura: no database directory '" + db + "' (--create makes it)\n");
  EXPECT_FALSE(std::filesystem::exists(db));

  const TRun created = RunKura(dir, {"sql", "-c", ".tables", db, "--create"});
  EXPECT_EQ(created.Status, 0) << created.Err;
  EXPECT_EQ(created.Out, "");
  EXPECT_TRUE(std::filesystem::is_directory(db));

  const TRun again = RunKura(dir, {"sql", db, "-c", ".tables"});
  EXPECT_EQ(again.Status, 0) << again.Err;
}

TEST(SqlShellCommandTest, RejectsWrongArguments) {
  TTempDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {"sql"}, {"sql", "-c"}, {"sql", dir.Path().string(), "extra"}, {"sql", dir.Path().string(), "--bogus"},
      {"sql", dir.Path().string(), "-c", "x", "-f", "y"}};
  for (const auto& args : cases) {
    const TRun run = RunKura(dir, args);
    EXPECT_EQ(run.Status, 2) << args.size();
    EXPECT_NE(run.Err.find("usage: kura"), std::string::npos) << run.Err;
  }
}

TEST(SqlShellCommandTest, RunsStatementsFromEachSource) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  const std::string script = "START TRANSACTION;\n/* a comment */\nCOMMIT\n;\n.timer on\nSTART TRANSACTION";
  WriteFile(dir / "script.sql", script);
  const std::string rows = "0 row(s) affected\n";
  for (const auto& [args, input] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"sql", db, "-c", script}, ""},
           {{"sql", db, "-f", (dir / "script.sql").string()}, ""},
           {{"sql", db}, script}}) {
    const TRun run = RunKura(dir, args, input);
    EXPECT_EQ(run.Status, 0) << run.Err;
    ASSERT_EQ(run.Out.substr(0, 2 * rows.size()), rows + rows);
    // The last statement ends the input without ";" and is timed.
    EXPECT_TRUE(run.Out.substr(2 * rows.size()).starts_with(rows + "Time: ")) << run.Out;
    EXPECT_TRUE(run.Out.ends_with(" s\n")) << run.Out;
  }
}

TEST(SqlShellCommandTest, AnEngineErrorStopsAScriptWithTheEnginesMessage) {
  TTempDir dir;
  const std::string db = (dir / "db").string();
  std::filesystem::create_directory(db);
  const std::string bad = "START TRANSACTION nonsense";
  const std::string expected = EngineMessage(db, bad);
  ASSERT_FALSE(expected.empty());
  for (const auto& [args, input] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"sql", db, "-c", "START TRANSACTION; " + bad + "; COMMIT;"}, ""},
           {{"sql", db}, "START TRANSACTION;\n" + bad + ";\nCOMMIT;\n"}}) {
    const TRun run = RunKura(dir, args, input);
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, "0 row(s) affected\n");
    EXPECT_EQ(run.Err, expected + "\nkura: the transaction left open at the end was rolled back\n");
  }
}

TEST(SqlShellCommandTest, JapaneseTextCrossesTheCodePageBothWays) {
  TTempDir dir;
  const std::string db = (dir / "db").string();
  std::filesystem::create_directory(db);
  // The message quotes the token it found, which went in as code page 932 bytes.
  const std::string bad = "COMMIT 詰碁";
  const std::string expected = EngineMessage(db, bad);
  ASSERT_NE(expected.find("詰碁"), std::string::npos) << expected;
  const TRun run = RunKura(dir, {"sql", db, "-c", bad});
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, expected + "\n");

  const TRun unmappable = RunKura(dir, {"sql", db, "-c", "COMMIT Café"});
  EXPECT_EQ(unmappable.Status, 1);
  EXPECT_EQ(unmappable.Err, "kura: the text holds characters that code page 932 cannot hold\n");
  const TRun otherPage = RunKura(dir, {"--codepage", "1252", "sql", db, "-c", "COMMIT Café"});
  EXPECT_EQ(otherPage.Status, 1);
  EXPECT_NE(otherPage.Err.find("'Café'"), std::string::npos) << otherPage.Err;
}

TEST(SqlShellCommandTest, DotCommandsDescribeTheTables) {
  TTempDir dir;
  const std::string db = (dir / "db").string();
  std::filesystem::create_directory(db);
  const TTableDefinition problems = MakeTable(db, "問題");
  MakeTable(db, "Alpha");

  const TRun tables = RunKura(dir, {"sql", db, "-c", ".tables"});
  EXPECT_EQ(tables.Status, 0) << tables.Err;
  EXPECT_EQ(tables.Out, "Alpha\n問題\n");

  const std::string schemaText =
      *CodePageToUtf8(932, CreateTableText(*Utf8ToCodePage(932, "問題"), problems) +
                               CreateIndexText(*Utf8ToCodePage(932, "問題"), problems, problems.SecondaryIndexes[0]));
  EXPECT_NE(schemaText.find("\"棋譜\" MEMO"), std::string::npos) << schemaText;
  EXPECT_NE(schemaText.find("DEFAULT '無名'"), std::string::npos) << schemaText;
  const TRun schema = RunKura(dir, {"sql", db, "-c", ".schema 問題"});
  EXPECT_EQ(schema.Status, 0) << schema.Err;
  EXPECT_EQ(schema.Out, schemaText);
  const TRun all = RunKura(dir, {"sql", db}, ".schema\n");
  EXPECT_EQ(all.Status, 0) << all.Err;
  EXPECT_TRUE(all.Out.starts_with("CREATE TABLE Alpha\n")) << all.Out;
  EXPECT_TRUE(all.Out.ends_with(schemaText)) << all.Out;

  const TRun indexes = RunKura(dir, {"sql", db, "-c", ".indexes 問題"});
  EXPECT_EQ(indexes.Status, 0) << indexes.Err;
  EXPECT_EQ(indexes.Out,
            "Index    Columns  Options\n"
            "PRIMARY  ID       UNIQUE\n"
            "ByName   Name     DESC\n");
}

TEST(SqlShellCommandTest, ShellCommandErrorsStopAScript) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  const std::pair<std::string, std::string> cases[] = {
      {".frobnicate", "kura: unknown command '.frobnicate' (.help lists the commands)\n"},
      {".mode xml", "kura: usage: .mode [table|csv|tsv|json]\n"},
      {".timer maybe", "kura: usage: .timer on|off\n"},
      {".indexes", "kura: usage: .indexes TABLE\n"},
  };
  for (const auto& [command, message] : cases) {
    const TRun run = RunKura(dir, {"sql", db}, command + "\nCOMMIT;\n");
    EXPECT_EQ(run.Status, 1) << command;
    EXPECT_EQ(run.Out, "") << command;
    EXPECT_EQ(run.Err, message);
  }
  const TRun missing = RunKura(dir, {"sql", db, "-c", ".schema nosuch"});
  EXPECT_EQ(missing.Status, 1);
  EXPECT_TRUE(missing.Err.starts_with("Kura Engine Error # ")) << missing.Err;
}

TEST(SqlShellCommandTest, QuitEndsTheInputAndHelpListsTheCommands) {
  TTempDir dir;
  const TRun run = RunKura(dir, {"sql", dir.Path().string()}, ".help\n.quit\nnonsense;\n");
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Out.find(".schema [TABLE]"), std::string::npos) << run.Out;
  EXPECT_EQ(run.Err, "");
}

TEST(SqlShellCommandTest, ADotLineInsideAStatementIsPartOfIt) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  const std::string expected = EngineMessage(db, "COMMIT\n.tables");
  ASSERT_FALSE(expected.empty());
  const TRun run = RunKura(dir, {"sql", db}, "COMMIT\n.tables\n;\n");
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, expected + "\n");
}

TEST(SqlShellCommandTest, TheSchemaOfAScriptsTablesRecreatesThem) {
  TTempDir dir;
  const std::string first = (dir / "first").string();
  const std::string second = (dir / "second").string();
  const std::string script =
      "CREATE TABLE \"問題\" (\n"
      "  ID AUTOINC,\n"
      "  \"Name\" VARCHAR(30) DESCRIPTION '名前' NOT NULL DEFAULT '無名' CHARCASE UPPER,\n"
      "  Price DECIMAL(10,2) MIN 0 MAX 1000, \"Text\" MEMO, Flag BOOLEAN DEFAULT TRUE,\n"
      "  PRIMARY KEY (ID) COMPRESS FULL\n"
      "  TEXT INDEX (\"Name\", \"Text\") STOP WORDS 'GO STONE'\n"
      "  DESCRIPTION '問題集' USER MAJOR VERSION 3 USER MINOR VERSION 2 LAST AUTOINC 40\n"
      ");\n"
      "CREATE UNIQUE NOCASE INDEX ByName ON \"問題\" (\"Name\", ID) COMPRESS DUPBYTE;\n"
      "CREATE TABLE Plain (a INTEGER);\n";
  WriteFile(dir / "script.sql", script);
  const TRun made = RunKura(dir, {"sql", "--create", first, "-f", (dir / "script.sql").string()});
  ASSERT_EQ(made.Status, 0) << made.Err;
  EXPECT_EQ(made.Out, "0 row(s) affected\n0 row(s) affected\n0 row(s) affected\n");

  const TRun schema = RunKura(dir, {"sql", first, "-c", ".schema"});
  ASSERT_EQ(schema.Status, 0) << schema.Err;
  EXPECT_NE(schema.Out.find("DEFAULT '無名'"), std::string::npos) << schema.Out;
  EXPECT_NE(schema.Out.find("DESCRIPTION '問題集'"), std::string::npos) << schema.Out;
  const TRun copied = RunKura(dir, {"sql", "--create", second}, schema.Out);
  ASSERT_EQ(copied.Status, 0) << copied.Err;
  const TRun copiedSchema = RunKura(dir, {"sql", second, "-c", ".schema"});
  EXPECT_EQ(copiedSchema.Out, schema.Out);
  EXPECT_EQ(RunKura(dir, {"sql", second, "-c", ".tables"}).Out, "Plain\n問題\n");
}

TEST(SqlShellCommandTest, TheInfoCommandShowsADefinedTableAsWritten) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  const TRun made = RunKura(
      dir, {"sql", db, "-c",
            "CREATE TABLE t (a INTEGER DESCRIPTION 'the a' NOT NULL DEFAULT 5 MIN 1 MAX 9, "
            "b CHAR(10) CHARCASE UPPER, c MEMO, PRIMARY KEY (a) TEXT INDEX (b, c));"
            "CREATE UNIQUE DESC NOCASE INDEX byb ON t (b, a) COMPRESS TRAILBYTE"});
  ASSERT_EQ(made.Status, 0) << made.Err;
  const TRun info = RunKura(dir, {"info", (dir / "t").string()});
  ASSERT_EQ(info.Status, 0) << info.Err;
  // The report's rows with their column padding collapsed to one blank. Field rows:
  // number, name, type, subtype, size, scale, data size, offset, required, case, minimum,
  // maximum, default; index rows: number, name, fields, flags, compression, key size,
  // root, records.
  std::string rows;
  for (size_t i = 0; i < info.Out.size(); ++i) {
    if (info.Out[i] != ' ' || (i > 0 && info.Out[i - 1] != ' ')) rows += info.Out[i];
  }
  for (const char* row : {"\n1 a Integer 0 0 4 9 yes 1 9 5\n", "\n2 b String 10 0 11 14 upper\n",
                          "\n3 c BLOB Memo 0 0 8 26\n", "\n0 (primary) a unique none 5 0 0\n",
                          "\n1 byb b desc;a desc unique,descending,nocase trailbyte 17 0 0\n",
                          "\n32 Sys Text b;c unique full 68 0 0\n"}) {
    EXPECT_NE(rows.find(row), std::string::npos) << row << rows;
  }
}

TEST(SqlShellCommandTest, ADefinitionErrorGivesTheEnginesMessage) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  ASSERT_EQ(RunKura(dir, {"sql", db, "-c", "CREATE TABLE t (a INTEGER);"}).Status, 0);
  const std::string bad = "CREATE TABLE t (a INTEGER)";
  const std::string expected = EngineMessage(db, bad);
  ASSERT_FALSE(expected.empty());
  const TRun run = RunKura(dir, {"sql", db}, bad + ";\nDROP TABLE t;\n");
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, expected + "\n");
  EXPECT_EQ(RunKura(dir, {"sql", db, "-c", ".tables"}).Out, "t\n");
}

TEST(SqlShellCommandTest, ParamValuesNeedAWordEach) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"sql", db, "-c", "COMMIT", "--param"}, {"sql", "--param"}, {"sql", "--param", db}}) {
    const TRun run = RunKura(dir, args);
    EXPECT_EQ(run.Status, 2) << args.back();
    EXPECT_NE(run.Err.find("usage: kura [--codepage N] sql [--create] [--param VALUE]... DIR"), std::string::npos)
        << run.Err;
    EXPECT_EQ(run.Out, "");
  }
}

TEST(SqlShellCommandTest, ParamValuesGoToTheFirstStatementsPlaceholders) {
  TTempDir dir;
  const std::string db = (dir / "db").string();
  std::filesystem::create_directory(db);
  ASSERT_EQ(RunKura(dir, {"sql", db, "-c", "CREATE TABLE t (a INTEGER, b CHAR(20))"}).Status, 0);
  {
    TDataSession session;
    testing_support::AppendRows(*session.OpenDirectory("", db), "t",
                                {{"-1", "詰碁"}, {std::nullopt, "-c"}, {"1", "x"}});
  }
  const std::string select = "select * from t where a = ? and b = ?";

  // As many values as placeholders, anywhere among the options (a value may look like
  // an option): bound, in order.
  const std::pair<std::vector<std::string>, std::string> bound[] = {
      {{"sql", "--param", "-1", db, "--param", "詰碁", "-c", select}, "a,b\n-1,詰碁\n"},
      {{"sql", db, "-c", select, "--param", "NULL", "--param", "-c"}, "a,b\n,-c\n"},
  };
  for (const auto& [args, out] : bound) {
    const TRun run = RunKura(dir, args);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, out);
  }
  const TRun piped = RunKura(dir, {"sql", db, "--param", "1", "--param", "x"}, ".mode json\n" + select + ";\n");
  EXPECT_EQ(piped.Out, "{\"a\":1,\"b\":\"x\"}\n");

  // Any other count is the caller's mistake, told before anything runs.
  const std::pair<std::vector<std::string>, std::string> wrong[] = {
      {{"--param", "1"}, "kura: the statement has 2 placeholder(s) for 1 --param value(s)\n"},
      {{"--param", "1", "--param", "2", "--param", "3"},
       "kura: the statement has 2 placeholder(s) for 3 --param value(s)\n"},
  };
  for (const auto& [params, message] : wrong) {
    std::vector<std::string> args = {"sql", db, "-c", select};
    args.insert(args.end(), params.begin(), params.end());
    const TRun run = RunKura(dir, args);
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, message);
  }
  // Only the first statement takes them: COMMIT has no placeholder.
  const TRun first = RunKura(dir, {"sql", db, "--param", "1", "-c", "START TRANSACTION; COMMIT"});
  EXPECT_EQ(first.Status, 1);
  EXPECT_EQ(first.Err, "kura: the statement has 0 placeholder(s) for 1 --param value(s)\n");

  const TRun unmappable = RunKura(dir, {"sql", db, "--param", "Café", "-c", select});
  EXPECT_EQ(unmappable.Status, 1);
  EXPECT_EQ(unmappable.Err, "kura: the --param value 'Café' holds characters that code page 932 cannot hold\n");
}

TEST(SqlShellCommandTest, SelectResultsInEachMode) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  ASSERT_EQ(RunKura(dir, {"sql", db, "-c", "CREATE TABLE t (n INTEGER, name CHAR(20), f FLOAT)"}).Status, 0);
  {
    TDataSession session;
    testing_support::AppendRows(*session.OpenDirectory("", db), "t",
                                {{"1", "詰碁, \"問題\"", "0.1"}, {"-2147483648", std::nullopt, "1e300"},
                                 {std::nullopt, "plain", "-0.5"}});
  }
  const std::string select = "select n, name, f, n * 2 as twice from t;\n";
  const std::pair<std::string, std::string> cases[] = {
      {"csv",
       "n,name,f,twice\n"
       "1,\"詰碁, \"\"問題\"\"\",0.1,2\n"
       "-2147483648,,1e+300,0\n"
       ",plain,-0.5,\n"},
      {"tsv",
       "n\tname\tf\ttwice\n"
       "1\t詰碁, \"問題\"\t0.1\t2\n"
       "-2147483648\t\t1e+300\t0\n"
       "\tplain\t-0.5\t\n"},
      {"json",
       "{\"n\":1,\"name\":\"詰碁, \\\"問題\\\"\",\"f\":0.1,\"twice\":2}\n"
       "{\"n\":-2147483648,\"name\":null,\"f\":1e+300,\"twice\":0}\n"
       "{\"n\":null,\"name\":\"plain\",\"f\":-0.5,\"twice\":null}\n"},
      {"table",
       "n            name          f       twice\n"
       "1            詰碁, \"問題\"  0.1     2\n"
       "-2147483648  NULL          1e+300  0\n"
       "NULL         plain         -0.5    NULL\n"
       "(3 row(s))\n"},
  };
  for (const auto& [mode, expected] : cases) {
    SCOPED_TRACE(mode);
    const TRun run = RunKura(dir, {"sql", db}, ".mode " + mode + "\n" + select);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, expected);
  }
}

TEST(SqlShellCommandTest, ExplainShowsTheThemeListLiveOnItsIndex) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  ASSERT_EQ(RunKura(dir, {"sql", db, "-c", "CREATE TABLE temazu (MNB INTEGER, CMT CHAR(60), PRIMARY KEY (MNB))"})
                .Status,
            0);
  {
    TDataSession session;
    testing_support::AppendRows(*session.OpenDirectory("", db), "temazu",
                                {{"1100", "■隅の死活"}, {"0", "見出しなし"}, {"1101", "隅の曲がり四目"}});
  }
  const TRun run = RunKura(dir, {"sql", db},
                           ".explain on\nselect * from temazu where MNB > 0 order by MNB;\n.explain off\n"
                           "select count(*) from temazu;\n");
  EXPECT_EQ(run.Status, 0) << run.Err;
  // The explanation, then the rows; the optimiser's estimates are its own business.
  const std::string explained =
      "live result, ordered by index 0 \"primary\"\n"
      "join order: temazu\n"
      "source temazu:\n"
      "  optimize level 2\n"
      "  MNB > 0: index 0 \"primary\", range above, about 2 records, cost ";
  EXPECT_EQ(run.Out.substr(0, explained.size()), explained) << run.Out;
  const std::string rows =
      "\nMNB,CMT\n"
      "1100,■隅の死活\n"
      "1101,隅の曲がり四目\n"
      "Count Of *\n"
      "3\n";
  ASSERT_GE(run.Out.size(), rows.size());
  EXPECT_EQ(run.Out.substr(run.Out.size() - rows.size()), rows) << run.Out;
}

TEST(SqlShellCommandTest, ModeTellsAndSwitchesTheOutputMode) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  // Standard output is a file here: CSV until told otherwise.
  const TRun run = RunKura(dir, {"sql", db}, ".mode\n.mode json\n.mode\n.mode table\n.mode\n");
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out, "csv\njson\ntable\n");
  EXPECT_EQ(run.Err, "");
}

// ---- data statements, transactions and imports ----

TEST(SqlShellCommandTest, DataStatementsRunWithTheirTransactionsAndParameters) {
  TTempDir dir;
  const std::string db = dir.Path().string();
  ASSERT_EQ(RunKura(dir, {"sql", db, "-c", "create table t (id integer, name char(10), primary key (id))"}).Status, 0);
  const TRun inserted = RunKura(dir, {"sql", "--param", "7", "--param", "七", db, "-c",
                                      "insert into t values (?, ?); insert into t values (8, 'eight')"});
  EXPECT_EQ(inserted.Status, 0) << inserted.Err;
  EXPECT_EQ(inserted.Out, "1 row(s) affected\n1 row(s) affected\n");
  const TRun updated = RunKura(dir, {"sql", "--param", "NEW", "--param", "8", db, "-c",
                                     "update t set name = ? where id = ?"});
  EXPECT_EQ(updated.Out, "1 row(s) affected\n") << updated.Err;
  // A rolled-back transaction leaves nothing; one left open at the end goes too.
  const TRun script = RunKura(dir, {"sql", db},
                              "start transaction;\ndelete from t;\ninsert into t values (9, 'nine');\nrollback;\n"
                              "start transaction;\ninsert into t values (10, 'ten');\n");
  EXPECT_EQ(script.Status, 0);
  EXPECT_EQ(script.Out, "0 row(s) affected\n2 row(s) affected\n1 row(s) affected\n0 row(s) affected\n"
                        "0 row(s) affected\n1 row(s) affected\n");
  EXPECT_EQ(script.Err, "kura: the transaction left open at the end was rolled back\n");
  const TRun rows = RunKura(dir, {"sql", db, "-c", ".mode csv\nselect * from t"});
  EXPECT_EQ(rows.Out, "id,name\n7,七\n8,NEW\n");
}

TEST(SqlShellCommandTest, ImportLoadsACsvFileThroughTheColumnsItsHeaderNames) {
  TTempDir dir;
  const std::string db = (dir / "db").string();
  ASSERT_EQ(RunKura(dir, {"sql", "--create", db, "-c",
                          "create table t (id integer, name char(10), born date, score numeric(6, 1), note memo, "
                          "primary key (id))"})
                .Status,
            0);
  const std::string longNote(400, 'n');
  WriteFile(dir / "rows.csv", "score,id,name,born,note\r\n1.5,1,碁,2004-02-29,\r\n,2,\"a, \"\"b\"\"\",,\"" +
                                  longNote + "\"\r\n-3,3,,1999-12-31,\"two\nlines\"\r\n");
  const TRun run = RunKura(dir, {"sql", db, "-c", ".import " + (dir / "rows.csv").string() + " t"});
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_TRUE(run.Out.starts_with("3 row(s) imported in ")) << run.Out;
  const TRun rows = RunKura(dir, {"sql", db, "-c", ".mode csv\nselect * from t"});
  EXPECT_EQ(rows.Out, "id,name,born,score,note\n1,碁,2004-02-29,1.5,\n2,\"a, \"\"b\"\"\",,," + longNote +
                          "\n3,,1999-12-31,-3.0,\"two\nlines\"\n");
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"", "no header line naming the columns"},
           {"id,,name\n", "line 1: column 2 has no usable name"}}) {
    WriteFile(dir / "bad.csv", text);
    const TRun bad = RunKura(dir, {"sql", db, "-c", ".import " + (dir / "bad.csv").string() + " t"});
    EXPECT_EQ(bad.Status, 1);
    EXPECT_NE(bad.Err.find(message), std::string::npos) << bad.Err;
  }
  EXPECT_EQ(RunKura(dir, {"sql", db, "-c", ".import"}).Err, "kura: usage: .import FILE TABLE\n");
}

// With records of about 2,000 bytes the import commits every 16 rows: a bad line after
// 40 rows keeps the 32 committed ones. Inside a transaction begun before, the rows stay
// in it. The table loaded in key order verifies.
TEST(SqlShellCommandTest, ABadLineStopsTheImportKeepingTheCommittedIntervals) {
  TTempDir dir;
  const std::string db = (dir / "db").string();
  std::string columns = "id integer";
  for (int i = 0; i < 8; ++i) columns += ", c" + std::to_string(i) + " char(250)";
  ASSERT_EQ(RunKura(dir, {"sql", "--create", db, "-c", "create table t (" + columns + ", primary key (id))"}).Status,
            0);
  std::string csv = "id,c0\n";
  for (int i = 1; i <= 40; ++i) csv += std::to_string(i) + ",row " + std::to_string(i) + "\n";
  const std::pair<std::string, std::string> bad[] = {
      {"41,x,y\n", "line 42: 3 value(s) where the header names 2"},
      {"forty-one,x\n", "line 42: Kura Engine Error # 11949 SQL error - Type mismatch between column id and constant "
                        "value forty-one in INSERT statement"},
      {"7,x\n", "line 42: Kura Engine Error # 9729 Duplicate key found in the index 'Primary' of the table 't'"},
      {"41,\"x\n", "line 42: a quoted value is not closed before the end of the file"},
  };
  for (const auto& [line, message] : bad) {
    SCOPED_TRACE(line);
    ASSERT_EQ(RunKura(dir, {"sql", db, "-c", "delete from t"}).Status, 0);
    WriteFile(dir / "rows.csv", csv + line + "42,after\n");
    const TRun run = RunKura(dir, {"sql", db, "-c", ".import " + (dir / "rows.csv").string() + " t"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, "kura: " + (dir / "rows.csv").string() + " " + message +
                           "; import stopped: 32 row(s) kept (committed every 16 rows), 8 row(s) after the last "
                           "commit rolled back\n");
    EXPECT_EQ(RunKura(dir, {"sql", db, "-c", ".mode csv\nselect count(*), max(id) from t"}).Out, "Count Of *,Max Of id\n32,32\n");
  }
  const TRun inside = RunKura(dir, {"sql", db},
                              "delete from t;\nstart transaction;\n.import " + (dir / "rows.csv").string() +
                                  " t\nselect count(*) from t;\n");
  EXPECT_NE(inside.Err.find("import stopped: the 40 row(s) before it stay in the open transaction"),
            std::string::npos)
      << inside.Err;

  // A bulk load in key order, then the table's files checked.
  csv = "id,c0,c7\n";
  for (int i = 1; i <= 3000; ++i) csv += std::to_string(i) + ",first " + std::to_string(i) + ",last\n";
  WriteFile(dir / "bulk.csv", csv);
  const TRun bulk = RunKura(dir, {"sql", db, "-c", "delete from t;\n.import " + (dir / "bulk.csv").string() + " t"});
  ASSERT_EQ(bulk.Status, 0) << bulk.Err;
  EXPECT_NE(bulk.Out.find("3000 row(s) imported in "), std::string::npos) << bulk.Out;
  const TRun verified = RunKura(dir, {"verify", (dir / "db" / "t").string()});
  EXPECT_EQ(verified.Out, "ok\n");
  EXPECT_EQ(verified.Status, 0);
}

// A duplicate key raised by row 250 of an INSERT ... SELECT that commits every 100 rows:
// the first 200 rows stay, and the table's files verify.
TEST(SqlShellCommandTest, AFailedInsertSelectLeavesItsCommittedIntervalsInSoundFiles) {
  TTempDir dir;
  const std::string db = (dir / "db").string();
  std::string csv = "id,v\n";
  for (int i = 1; i <= 300; ++i) csv += std::to_string(i == 250 ? 1 : i) + "," + std::to_string(i) + "\n";
  WriteFile(dir / "src.csv", csv);
  const TRun made = RunKura(dir, {"sql", "--create", db, "-c",
                                  "create table src (id integer, v integer); create table dst (id integer, v integer, "
                                  "primary key (id)); create index byv on dst (v);\n.import " +
                                      (dir / "src.csv").string() + " src"});
  ASSERT_EQ(made.Status, 0) << made.Err;
  const TRun failed = RunKura(dir, {"sql", db, "-c", "insert into dst select * from src commit interval 100"});
  EXPECT_EQ(failed.Status, 1);
  EXPECT_NE(failed.Err.find("Duplicate key"), std::string::npos) << failed.Err;
  EXPECT_EQ(RunKura(dir, {"sql", db, "-c", ".mode csv\nselect count(*), min(v), max(v) from dst"}).Out,
            "Count Of *,Min Of v,Max Of v\n200,1,200\n");
  const TRun verified = RunKura(dir, {"verify", (dir / "db" / "dst").string()});
  EXPECT_EQ(verified.Out, "ok\n");
  EXPECT_EQ(verified.Status, 0);
}

}  // namespace
}  // namespace kura::tool
