#include "tools/kura/sql_shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "kura/base/code_page_text.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/definition_text.h"
#include "kura/sql/query_statement.h"
#include "testing/definition_builders.h"
#include "testing/temp_dir.h"

namespace kura::tool {
namespace {

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
                 {"4", "line\nbreak\\", "True", "INF"}};
  return result;
}

TEST(SqlShellPrintTest, PrintsEachMode) {
  const std::pair<TOutputMode, std::string> cases[] = {
      {TOutputMode::Table,
       "ID  Name             Ok     Price\n"
       "1   plain            True   1.5\n"
       "2   a, \"quoted\"\ttab  False  NULL\n"
       "3   NULL             NULL   -0.25\n"
       "4   line\nbreak\\      True   INF\n"
       "(4 row(s))\n"},
      {TOutputMode::Csv,
       "ID,Name,Ok,Price\n"
       "1,plain,True,1.5\n"
       "2,\"a, \"\"quoted\"\"\ttab\",False,\n"
       "3,,,-0.25\n"
       "4,\"line\nbreak\\\",True,INF\n"},
      {TOutputMode::Tsv,
       "ID\tName\tOk\tPrice\n"
       "1\tplain\tTrue\t1.5\n"
       "2\ta, \"quoted\"\\ttab\tFalse\t\n"
       "3\t\t\t-0.25\n"
       "4\tline\\nbreak\\\\\tTrue\tINF\n"},
      {TOutputMode::Json,
       "[\n"
       "{\"ID\":1,\"Name\":\"plain\",\"Ok\":true,\"Price\":1.5},\n"
       "{\"ID\":2,\"Name\":\"a, \\\"quoted\\\"\\u0009tab\",\"Ok\":false,\"Price\":null},\n"
       "{\"ID\":3,\"Name\":null,\"Ok\":null,\"Price\":-0.25},\n"
       "{\"ID\":4,\"Name\":\"line\\u000abreak\\\\\",\"Ok\":true,\"Price\":\"INF\"}\n"
       "]\n"},
  };
  for (const auto& [mode, expected] : cases) {
    std::ostringstream out;
    PrintResult(out, SampleResult(), mode);
    EXPECT_EQ(out.str(), expected) << static_cast<int>(mode);
  }
}

TEST(SqlShellPrintTest, PrintsAnEmptyResult) {
  TResultSet empty;
  empty.Columns = {{"a", TFieldType::Integer}};
  const std::pair<TOutputMode, std::string> cases[] = {
      {TOutputMode::Table, "a\n(0 row(s))\n"},
      {TOutputMode::Csv, "a\n"},
      {TOutputMode::Tsv, "a\n"},
      {TOutputMode::Json, "[]\n"},
  };
  for (const auto& [mode, expected] : cases) {
    std::ostringstream out;
    PrintResult(out, empty, mode);
    EXPECT_EQ(out.str(), expected);
  }
}

TEST(SqlShellPrintTest, KnowsTheModeNames) {
  EXPECT_EQ(OutputModeByName("table"), TOutputMode::Table);
  EXPECT_EQ(OutputModeByName("csv"), TOutputMode::Csv);
  EXPECT_EQ(OutputModeByName("tsv"), TOutputMode::Tsv);
  EXPECT_EQ(OutputModeByName("json"), TOutputMode::Json);
  EXPECT_EQ(OutputModeByName("html"), std::nullopt);
  EXPECT_EQ(OutputModeByName("CSV"), std::nullopt);
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
    EXPECT_EQ(run.Err, expected + "\n");
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
      {".mode xml", "kura: usage: .mode table|csv|tsv|json\n"},
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

}  // namespace
}  // namespace kura::tool
