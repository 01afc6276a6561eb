// Source tables opened for a query, the column resolution rule over them, and the
// naming and sizing rules of result columns.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_parser.h"
#include "kura/sql/column_resolution.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/result_columns.h"
#include "kura/sql/result_table.h"
#include "kura/sql/select_list.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;

struct TDatabase {
  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = Session.OpenDirectory("", Temp.Path().string());

  // Result tables go to the test's own directory.
  TDatabase() { Session.SetPrivateDir(Temp.Path().string()); }

  void Run(const std::string& sql) {
    TQueryStatement statement(*Directory);
    statement.Prepare(sql);
    TDataCursor* result = nullptr;
    statement.Execute(result);
  }
  // The number of directories the session has open (each source opens one).
  int OpenDirectories() const {
    int count = 0;
    for (const auto& directory : Session.Directories()) count += directory->RefCount();
    return count;
  }
};

// A statement over two tables whose sources are open: t (a, b) as x and u (b, c).
struct TTwoSources {
  TDatabase Database;
  TQueryStatement Statement{*Database.Directory};

  TTwoSources() {
    Database.Run("create table t (a integer, b char(10))");
    Database.Run("create table u (b smallint, c float)");
    Statement.Parse("select * from t x, u");
    for (const auto& source : Query().SourceTables) source->OpenSource(false);
  }
  TDataQuery& Query() { return Statement.MasterQuery(); }
};

TEST(SourceTableTest, OpensInRecordNumberOrderReadOnlyUnlessLive) {
  TDatabase database;
  database.Run("create table t (a integer, b char(10), primary key (a))");
  const int before = database.OpenDirectories();
  for (const bool live : {false, true}) {
    SCOPED_TRACE(live);
    TQueryStatement statement(*database.Directory);
    statement.Parse("select * from t");
    TSourceTable& source = *statement.MasterQuery().SourceTables.front();
    source.OpenSource(live);
    ASSERT_TRUE(source.Cursor && source.Cursor->Active());
    EXPECT_TRUE(source.Cursor->InNaturalOrder());
    EXPECT_EQ(source.Cursor->ReadOnly(), !live);
    EXPECT_FALSE(source.Cursor->Exclusive());
    EXPECT_EQ(source.RecordBuffer.size(), static_cast<size_t>(source.Cursor->RecordSize()));
    source.OpenSource(live);  // open already: nothing happens
    EXPECT_EQ(database.OpenDirectories(), before + 1);
    std::vector<uint8_t> record(source.RecordBuffer.size());
    source.Cursor->InitRecord(record.data());
    const TErrorCode append = EngineErrorCodeOf([&] { source.Cursor->AppendRecord(record.data(), false); });
    EXPECT_EQ(append, live ? KURA_NONE : KURA_OSEACCES);
    source.CloseSource();
    EXPECT_FALSE(source.Cursor);
    EXPECT_EQ(database.OpenDirectories(), before);
  }
}

TEST(SourceTableTest, FindsTablesInMemoryAndInOtherDirectories) {
  TDatabase database;
  testing_support::TTempDir other;
  {
    TDataDirectory* elsewhere = database.Session.OpenDirectory("", other.Path().string());
    TQueryStatement create(*elsewhere);
    create.Prepare("create table far (x integer); create table memory nearby (y char(4))");
    TDataCursor* result = nullptr;
    create.Execute(result);
    database.Session.CloseDirectory(elsewhere);
  }
  const int before = database.OpenDirectories();
  {
    TQueryStatement statement(*database.Directory);
    statement.Parse("select * from \"" + (other / "far.dat").string() + "\" f, memory nearby");
    TDataQuery& query = statement.MasterQuery();
    for (const auto& source : query.SourceTables) source->OpenSource(false);
    EXPECT_NE(query.SourceTables[0]->Cursor->FieldByName("X"), nullptr);
    EXPECT_TRUE(query.SourceTables[1]->Cursor->InMemory());
    EXPECT_NE(query.SourceTables[1]->Cursor->FieldByName("y"), nullptr);
    EXPECT_EQ(database.OpenDirectories(), before + 2);
  }
  // The statement's sources close their directories with them.
  EXPECT_EQ(database.OpenDirectories(), before);
}

TEST(SourceTableTest, AFailedOpenLeavesNothingOpen) {
  TDatabase database;
  database.Run("create table secret (a integer, encrypted with 'pw')");
  database.Session.RemoveAllPasswords();
  const int before = database.OpenDirectories();
  TQueryStatement statement(*database.Directory);
  int asked = 0;
  statement.SetPasswordCallback([&](const std::string&) {
    ++asked;
    return false;
  });
  statement.Parse("select * from nosuch, secret");
  TDataQuery& query = statement.MasterQuery();
  EXPECT_EQ(EngineErrorCodeOf([&] { query.SourceTables[0]->OpenSource(false); }), KURA_OSENOENT);
  EXPECT_EQ(EngineErrorCodeOf([&] { query.SourceTables[1]->OpenSource(false); }), KURA_NOTSUFFTABLERIGHTS);
  EXPECT_EQ(asked, 1);
  for (const auto& source : query.SourceTables) EXPECT_FALSE(source->Cursor);
  EXPECT_EQ(database.OpenDirectories(), before);

  // With the password given, the same source opens.
  statement.SetPasswordCallback([&](const std::string&) {
    database.Session.AddPassword("pw");
    return true;
  });
  query.SourceTables[1]->OpenSource(false);
  EXPECT_TRUE(query.SourceTables[1]->Cursor->Active());
}

struct TResolveCase {
  const char* Correlation;
  const char* Column;
  const char* Table;  // correlation name of the resolved source, "" when nothing resolves
  const char* Field;  // name of the resolved field, "" for the table itself
};

TEST(ColumnResolutionTest, ResolvesNamesByTheOneRule) {
  TTwoSources sources;
  const TResolveCase cases[] = {
      {"", "a", "x", "a"},         // the only table that has it
      {"", "B", "x", "b"},         // in both: the first source wins, any letter case
      {"", "c", "u", "c"},         //
      {"U", "b", "u", "b"},        // a correlation name picks its table
      {"x", "c", "", ""},          // that table has no such field
      {"t", "a", "", ""},          // the table name is no correlation name once aliased
      {"", "nosuch", "", ""},      //
      {"", "*", "x", ""},          // the first source itself
      {"", "", "x", ""},           //
      {"u", "*", "u", ""},         //
      {"nosuch", "*", "", ""},     //
  };
  for (const TResolveCase& c : cases) {
    SCOPED_TRACE(std::string(c.Correlation) + "." + c.Column);
    const std::optional<TColumnReference> reference = ResolveColumnReference(sources.Query(), c.Correlation, c.Column);
    if (*c.Table == 0) {
      EXPECT_FALSE(reference);
      continue;
    }
    ASSERT_TRUE(reference);
    EXPECT_EQ(reference->Table->CorrelationName, c.Table);
    EXPECT_EQ(reference->Field == nullptr ? "" : reference->Field->Name, c.Field);
  }
  EXPECT_EQ(FindSourceTable(sources.Query(), ""), sources.Query().SourceTables[0].get());
  EXPECT_EQ(FindSourceTable(sources.Query(), "U"), sources.Query().SourceTables[1].get());
  EXPECT_EQ(FindSourceTable(sources.Query(), "u2"), nullptr);
}

TEST(ColumnResolutionTest, BindsExpressionsToTheirSources) {
  TTwoSources sources;
  TExpressionParser parser;
  TExpTree tree = parser.ParseText("x.a + u.b * c", 0);
  BindExpression(KURA_SQLPARSE, "source column expression", tree.get(), tree.get(), false, false,
                 &ResolveQueryColumn, &sources.Query());
  const TExpToken& a = *tree->Operand;
  const TExpToken& b = *tree->RightOperand->Operand;
  const TExpToken& c = *tree->RightOperand->RightOperand;
  EXPECT_EQ(a.SourceNo, 0);
  EXPECT_EQ(a.FieldNo, 1);
  EXPECT_EQ(a.SourceTable, sources.Query().SourceTables[0].get());
  EXPECT_EQ(a.DataType, TFieldType::Integer);
  EXPECT_EQ(b.SourceNo, 1);
  EXPECT_EQ(b.FieldNo, 1);
  EXPECT_EQ(b.DataType, TFieldType::SmallInt);
  EXPECT_EQ(c.SourceNo, 1);
  EXPECT_EQ(c.FieldNo, 2);
  EXPECT_EQ(tree->DataType, TFieldType::Float);

  TExpTree unknown = parser.ParseText("x.c", 0);
  const std::optional<EKuraEngineError> error = EngineErrorOf([&] {
    BindExpression(KURA_SQLPARSE, "WHERE clause", unknown.get(), unknown.get(), false, false, &ResolveQueryColumn,
                   &sources.Query());
  });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, KURA_SQLPARSE);
}

// ---- result column names and sizes ----

TEST(ResultColumnsTest, DerivesNamesFromColumnsAndAggregates) {
  struct TCase {
    TAggregateKind Aggregate;
    bool Expression;
    const char* Column;
    const char* Name;
  };
  const TCase cases[] = {
      {TAggregateKind::None, false, "MNB", "MNB"},
      {TAggregateKind::None, true, "", "Expression"},
      {TAggregateKind::Sum, false, "x", "Sum Of x"},
      {TAggregateKind::RunSum, false, "x", "Running Sum Of x"},
      {TAggregateKind::Min, false, "x", "Min Of x"},
      {TAggregateKind::Max, false, "x", "Max Of x"},
      {TAggregateKind::Avg, false, "x", "Average Of x"},
      {TAggregateKind::Count, false, "*", "Count Of *"},
      {TAggregateKind::Sum, true, "", "Sum Of Expr"},
      {TAggregateKind::RunSum, true, "", "Running Sum Of Expr"},
      {TAggregateKind::Count, true, "", "Count Of Expr"},
      {TAggregateKind::Avg, true, "", "Average Of Expr"},
      // At most 30 characters.
      {TAggregateKind::RunSum, false, "AVeryLongColumnName", "Running Sum Of AVeryLongColumn"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(DerivedColumnName(c.Aggregate, c.Expression, c.Column), c.Name);
  }
}

TEST(ResultColumnsTest, MakesNamesUniqueWithNumberedSuffixes) {
  struct TCase {
    std::vector<std::string> Names;
    std::vector<std::string> Unique;
  };
  const std::string thirty(30, 'n');
  const TCase cases[] = {
      {{"a", "a"}, {"a", "a_1"}},
      {{"a", "A", "a"}, {"a", "A_1", "a_2"}},
      {{"a_1", "a", "a"}, {"a_1", "a", "a_2"}},
      {{"Sum Of x", "Sum Of x"}, {"Sum Of x", "Sum Of x_1"}},
      {{"b", "c"}, {"b", "c"}},
      {{thirty, thirty, thirty + "extra"}, {thirty, std::string(28, 'n') + "_1", std::string(28, 'n') + "_2"}},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> names = c.Names;
    MakeColumnNamesUnique(names);
    EXPECT_EQ(names, c.Unique);
  }
  // Ten clashes need a two-digit suffix, which shortens the base once more.
  std::vector<std::string> many(12, thirty);
  MakeColumnNamesUnique(many);
  EXPECT_EQ(many[10], std::string(27, 'n') + "_10");
  EXPECT_EQ(many[11], std::string(27, 'n') + "_11");
}

TEST(ResultColumnsTest, SizesColumnsAndRefusesWhatNoFieldCanHold) {
  struct TCase {
    TExpType Type;
    bool NullConstant;
    TExpType Result;
    const char* Message;  // "" when the type is accepted
  };
  using F = TFieldType;
  using S = TFieldSubType;
  const TCase cases[] = {
      {{F::String, S::None, 11, 0}, false, {F::String, S::None, 11, 0}, ""},
      {{F::String, S::None, 251, 0}, false, {F::String, S::None, 251, 0}, ""},
      {{F::String, S::None, 1, 0}, false, {F::String, S::None, 251, 0}, ""},
      {{F::String, S::None, 252, 0}, false, {}, "Column expression 'a || b' exceeds the maximum allowable field size"},
      {{F::Bytes, S::None, 0, 0}, false, {F::Bytes, S::None, 250, 0}, ""},
      {{F::VarBytes, S::None, 251, 0}, false, {}, "Column expression 'a || b' exceeds the maximum allowable field size"},
      {{F::Integer, S::AutoInc, 4, 0}, false, {F::Integer, S::None, 4, 0}, ""},
      {{F::Bcd, S::None, 34, 2}, false, {F::Bcd, S::None, 34, 2}, ""},
      {{F::Unknown, S::None, 0, 0}, true, {},
       "Column expression cannot be a NULL constant, use the CAST() function to specify a data type"},
  };
  for (const TCase& c : cases) {
    const std::optional<EKuraEngineError> error =
        EngineErrorOf([&] { EXPECT_EQ(ResultColumnType(c.Type, c.NullConstant, "a || b"), c.Result); });
    if (*c.Message == 0) {
      EXPECT_FALSE(error) << error->what();
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->ErrorCode, KURA_SQLPARSE);
      EXPECT_EQ(error->ErrorExtraMessage, c.Message);
    }
  }
}

// ---- the select list ----

// "name type/size source" per result column, e.g. "a I/4 x.a#1", "Count Of * I/4 x.*",
// "Expression F/8 =" for an expression; or "!" + the message. Type letters by code:
// S string, D date, B BLOB, L boolean, s smallint, I integer, F float, N BCD, Y bytes,
// T time, t timestamp, W word, l largeint.
std::string SelectListOf(TDatabase& database, const std::string& sql) {
  TQueryStatement statement(*database.Directory);
  std::string shape;
  const std::optional<EKuraEngineError> error = EngineErrorOf([&] {
    statement.Parse(sql);
    const auto& queries = statement.Queries();
    for (size_t i = queries.size(); i-- > 0;) {
      for (const auto& source : queries[i]->SourceTables) source->OpenSource(false);
      ResolveSelectList(*queries[i]);
    }
    for (const auto& column : statement.MasterQuery().ResultFields) {
      static const char* const kTypes = "?SDBLsIFNYTtWwEV??l";
      if (!shape.empty()) shape += ", ";
      shape += column->ColumnName + " " + kTypes[static_cast<int>(column->DataType)] + "/" +
               std::to_string(column->Size);
      if (column->IsExpression) {
        shape += " =";
      } else if (column->CountStar) {
        shape += " " + column->CorrelationName + ".*";
      } else {
        shape += " " + column->CorrelationName + "." + column->SourceColumnName + "#" +
                 std::to_string(column->SourceFieldNo);
      }
      if (column->ResultFieldNo != static_cast<int16_t>(&column - &statement.MasterQuery().ResultFields[0] + 1)) {
        shape += " (numbered " + std::to_string(column->ResultFieldNo) + ")";
      }
    }
  });
  if (error) return "!" + (error->ErrorCode == KURA_SQLPARSE ? error->ErrorExtraMessage : std::string(error->what()));
  return shape;
}

TEST(SelectListTest, ResolvesTypesAndNamesEveryColumn) {
  TDatabase database;
  database.Run("create table t (id autoinc, a integer, b char(10), m memo, d decimal(10,2))");
  database.Run("create table u (b smallint, c float, s char(200))");
  struct TCase {
    const char* Sql;
    const char* Shape;
  };
  const TCase cases[] = {
      {"select * from t", "id I/4 t.id#1, a I/4 t.a#2, b S/11 t.b#3, m B/8 t.m#4, d N/34 t.d#5"},
      {"select u.*, a from t, u", "b s/2 u.b#1, c F/8 u.c#2, s S/201 u.s#3, a I/4 t.a#2"},
      {"select * from t x, u", "id I/4 x.id#1, a I/4 x.a#2, b S/11 x.b#3, m B/8 x.m#4, d N/34 x.d#5, "
                               "b_1 s/2 u.b#1, c F/8 u.c#2, s S/201 u.s#3"},
      // The first source with the name wins; a correlation name picks.
      {"select b, u.b, x.b from t x, u", "b S/11 x.b#3, b_1 s/2 u.b#1, b_2 S/11 x.b#3"},
      {"select a, a from t", "a I/4 t.a#2, a_1 I/4 t.a#2"},
      {"select a as \"Total\", b Name from t", "Total I/4 t.a#2, Name S/11 t.b#3"},
      {"select a + 1, a * 1.5, b || 'x' from t", "Expression I/4 =, Expression_1 F/8 =, Expression_2 S/12 ="},
      // Double-quoted text alone is a text constant, not a column.
      {"select \"a\" from t", "Expression S/2 ="},
      {"select sum(a), sum(a), count(*), min(a), avg(a), max(d) from t",
       "Sum Of a l/8 t.a#2, Sum Of a_1 l/8 t.a#2, Count Of * I/4 t.*, Min Of a I/4 t.a#2, Average Of a F/8 t.a#2, "
       "Max Of d N/34 t.d#5"},
      {"select count(b + 1), sum(c * 2) from u", "Count Of Expr I/4 =, Sum Of Expr F/8 ="},
      {"select a, count(*) from t group by a", "a I/4 t.a#2, Count Of * I/4 t.*"},
      {"select count(*) + 0 from t", "!Aggregate functions cannot be used within expressions"},
      {"select 1 + 2, count(*) from t", "Expression I/4 =, Count Of * I/4 t.*"},
      {"select cast(null as char(5)) from t", "Expression S/6 ="},
            // An auto-increment column is a plain integer in a result.
      {"select a from t union select id from t", "a I/4 t.a#2"},
      {"select id from t", "id I/4 t.id#1"},
      {"select a from t union all select b, c from u",
       "!The number of columns  in the UNION ALL query must match the  number of columns in the master query"},
      {"select a from t union select c from u",
       "!Type mismatch between column expression 'c' in the UNION query and column expression 'a' in the master "
       "query"},
      {"select a, count(*) from t", "!Invalid use of aggregate function(s), the necessary GROUP BY clause is missing"},
      {"select a + 1, sum(a) from t",
       "!Invalid use of aggregate function(s), the necessary GROUP BY clause is missing"},
      {"select * as x from t", "!Invalid use of column correlation name 'x' for '*' specified in source columns"},
      {"select v.* from t", "!Invalid column name '*' or table correlation name 'v' specified in source columns"},
      {"select nosuch from t", "!Invalid column name 'nosuch' or table correlation name '' specified in source columns"},
      {"select t.c from t, u", "!Invalid column name 'c' or table correlation name 't' specified in source columns"},
      {"select sum(nosuch) from t",
       "!Invalid column name 'nosuch' or table correlation name '' specified in source columns"},
      {"select null from t",
       "!Column expression cannot be a NULL constant, use the CAST() function to specify a data type"},
      {"select s || s from u", "!Column expression 's || s' exceeds the maximum allowable field size"},
      {"select a + nosuch from t",
       "!Invalid column name 'nosuch' or table correlation name '' specified in source column expression"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(SelectListOf(database, c.Sql), c.Shape) << c.Sql;
  }
}

// ---- preparing a SELECT: live or canned ----

TEST(SelectPrepareTest, DecidesLiveOrCannedAndTheIndexThatOrdersALiveResult) {
  TDatabase database;
  database.Run("create table temazu (MNB integer, NAME char(20), CMT char(40), primary key (MNB), "
               "language 'German (Standard)')");
  database.Run("create nocase index ByName on temazu (NAME)");
  database.Run("create table tejun (MNB integer, TES integer, BTO integer)");
  database.Run("create desc index ByMnbDesc on tejun (MNB)");
  database.Run("create table notes (MNB integer, EXP memo)");
  struct TCase {
    bool RequestLive;
    const char* Sql;
    const char* Decision;  // "live" or "canned", " index N" when one orders a live result,
                           // " single-count", " implied" when a canned result's grouping or
                           // DISTINCT sort gives the ORDER BY; or "!" + the message
  };
  const TCase cases[] = {
      {true, "select * from temazu", "live"},
      {false, "select * from temazu", "canned"},
      {true, "select * from temazu Where MNB > 0 order by MNB", "live index 0"},
      {true, "select MNB + 1, NAME from temazu order by 2 nocase", "live index 1"},
      {true, "select * from temazu order by NAME", "canned"},             // the index ignores case
      {true, "select * from temazu order by MNB desc", "canned"},         // no descending index
      {true, "select * from tejun order by MNB desc", "live index 1"},
      {true, "select * from tejun order by tejun.MNB", "canned"},
      {true, "select * from temazu order by MNB, NAME", "canned"},        // the index has one field
      {true, "select MNB + 1 from temazu order by 1", "canned"},          // ordered by an expression
      {true, "select MNB + 1 from temazu", "live"},
      {true, "Select MNB,count(*) From tejun Where MNB = ? and TES = 0 and BTO = 9999 Group By MNB", "canned"},
      {true, "select count(*) from tejun where MNB = ?", "canned single-count"},
      {true, "select count(*), count(MNB) from tejun", "canned"},
      {true, "select distinct MNB from tejun", "canned"},
      {true, "select * from temazu top 5", "canned"},
      {true, "select * into res from temazu", "canned"},
      {true, "select * from temazu, tejun", "canned"},
      {true, "select * from temazu union select * from temazu", "canned"},
      {true, "select * from temazu where MNB in (select MNB from tejun)", "canned"},
      {true, "select lastautoinc('tejun'), MNB from temazu", "live"},
      {true, "select * from temazu order by 4", "!Invalid column number '4' specified in ORDER BY clause"},
      {true, "select MNB from temazu order by CMT",
       "!Invalid column name 'CMT' or table correlation name '' specified in ORDER BY clause"},
      {true, "select MNB from temazu order by tejun.MNB",
       "!Invalid column name 'MNB' or table correlation name 'tejun' specified in ORDER BY clause"},
      {true, "select MNB from temazu having MNB > 1", "!A GROUP BY clause must exist in order to use the HAVING clause"},
      {true, "select * from nosuch", "!engine error 11010"},
      // ORDER BY, GROUP BY and DISTINCT of canned results.
      {true, "select distinct MNB from tejun order by MNB", "canned implied"},
      {true, "select distinct MNB, TES from tejun order by 1", "canned implied"},
      {true, "select distinct MNB, TES from tejun order by 2", "canned"},
      {true, "select distinct MNB from tejun order by MNB desc", "canned"},
      {true, "select MNB, count(*) from tejun group by MNB order by MNB", "canned implied"},
      {true, "select MNB, count(*) as n from tejun group by MNB order by n", "canned"},
      {true, "select MNB, count(*) from tejun group by MNB order by MNB nocase", "canned"},
      {true, "select MNB from tejun union select MNB from tejun order by 1", "canned"},
      {false, "select * from temazu order by 9", "!Invalid column number '9' specified in ORDER BY clause"},
      {false, "select MNB from temazu order by CMT",
       "!Invalid column name 'CMT' or table correlation name '' specified in ORDER BY clause"},
      {true, "select MNB, count(*) from tejun group by 3", "!Invalid column number '3' specified in GROUP BY clause"},
      {true, "select MNB, count(*) from tejun group by nosuch",
       "!Invalid column name 'nosuch' or table correlation name '' specified in GROUP BY clause"},
      {true, "select * from notes order by 2", "!Invalid column number '2' specified in ORDER BY clause"},
      {true, "select EXP, count(*) from notes group by EXP", "!Invalid BLOB column 'EXP' specified in GROUP BY clause"},
      {true, "select distinct EXP from notes", "!Invalid BLOB column 'EXP' specified in DISTINCT clause"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TQueryStatement statement(*database.Directory);
    statement.RequestLive = c.RequestLive;
    std::string decision;
    const std::optional<EKuraEngineError> error = EngineErrorOf([&] { statement.Prepare(c.Sql); });
    if (error) {
      decision = error->ErrorCode == KURA_SQLPARSE ? "!" + error->ErrorExtraMessage
                                                   : "!engine error " + std::to_string(error->ErrorCode);
    } else {
      const TDataQuery& query = statement.MasterQuery();
      EXPECT_EQ(statement.LiveResult(), query.LiveResult);
      decision = query.LiveResult ? "live" : "canned";
      if (query.OrderByIndex >= 0) decision += " index " + std::to_string(query.OrderByIndex);
      if (query.SingleCount) decision += " single-count";
      if (query.OrderByImplied) decision += " implied";
    }
    EXPECT_EQ(decision, c.Decision);
  }
}

TEST(SelectPrepareTest, OpensWhatTheQueryNeedsAndTakesTheFirstSourcesLanguage) {
  TDatabase database;
  database.Run("create table g (a integer, b autoinc, language 'German (Standard)' sort 'German Phone Book Order')");
  database.Run("create table plain (a integer)");
  TQueryStatement statement(*database.Directory);
  statement.Prepare("select distinct a, count(*) from g group by a");
  const TDataQuery& grouped = statement.MasterQuery();
  EXPECT_FALSE(grouped.Distinct);  // grouping makes it distinct already
  EXPECT_EQ(grouped.LocaleId, 0x0407);
  EXPECT_EQ(grouped.SortId, 1);
  EXPECT_EQ(grouped.SourceTables.front()->Ordinal, 1);
  EXPECT_TRUE(grouped.SourceTables.front()->Cursor->ReadOnly());

  statement.RequestLive = true;
  statement.Prepare("select ident_current('plain'), a from g language 'ANSI Standard'");
  const TDataQuery& query = statement.MasterQuery();
  EXPECT_EQ(query.LocaleId, 0);
  EXPECT_EQ(query.SortId, 0);
  EXPECT_FALSE(query.SourceTables.front()->Cursor->ReadOnly());
  ASSERT_EQ(query.FunctionSources.size(), 1u);
  EXPECT_TRUE(query.FunctionSources.front()->Cursor->Active());
  EXPECT_TRUE(query.FunctionSources.front()->Cursor->ReadOnly());
}

// ---- the canned result table ----

// "name:type/size" per field of the result table, e.g. "a:6/0 b:1/10".
std::string FieldsOf(const TDataCursor& cursor) {
  std::string text;
  for (const TFieldDefinition& field : cursor.FieldDefinitions()) {
    if (!text.empty()) text += " ";
    text += field.Name + ":" + std::to_string(static_cast<int>(field.FieldType)) + "/" + std::to_string(field.Size);
    if (field.SubType != TFieldSubType::None) text += "." + std::to_string(static_cast<int>(field.SubType));
  }
  return text;
}

std::vector<std::string> FilesIn(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ResultTableTest, ACannedResultGetsATableOfItsColumns) {
  TDatabase database;
  testing_support::TTempDir privateDir;
  database.Session.SetPrivateDir(privateDir.Path().string());
  database.Run("create table t (id autoinc, a integer description 'the a' not null, b char(10), m memo)");
  struct TCase {
    const char* Sql;
    const char* Fields;
  };
  const TCase cases[] = {
      // An auto-increment column is a plain integer; an expression has its result type.
      {"select id, b, b || '!' as c, m from t", "id:6/0 b:1/10 c:1/11 m:3/0.22"},
      // Every AVG column is followed by its hidden count.
      {"select a, avg(a), count(*), avg(id) from t group by a",
       "a:6/0 Average Of a:7/0 Sys__Avg__Count3:6/0 Count Of *:6/0 Average Of id:7/0 Sys__Avg__Count6:6/0"},
      {"select distinct b from t", "b:1/10"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    {
      TQueryStatement statement(*database.Directory);
      statement.Prepare(c.Sql);
      const TDataQuery& query = statement.MasterQuery();
      ASSERT_FALSE(query.LiveResult);
      ASSERT_TRUE(query.CannedResult && query.CannedResult->Cursor->Active());
      const TDataCursor& result = *query.CannedResult->Cursor;
      EXPECT_EQ(FieldsOf(result), c.Fields);
      EXPECT_TRUE(result.ResultSetCursor());
      EXPECT_TRUE(result.Temporary());
      EXPECT_FALSE(result.ReadOnly());
      EXPECT_FALSE(FilesIn(privateDir.Path()).empty());
      for (const auto& column : query.ResultFields) {
        if (column->AggregateKind == TAggregateKind::Avg) {
          EXPECT_EQ(result.FieldDefinitions()[static_cast<size_t>(column->AvgCountField - 1)].Name,
                    "Sys__Avg__Count" + std::to_string(column->AvgCountField));
        }
      }
    }
    // The temporary result goes with its statement.
    EXPECT_TRUE(FilesIn(privateDir.Path()).empty());
  }
  // A live result has no table of its own.
  TQueryStatement live(*database.Directory);
  live.RequestLive = true;
  live.Prepare("select * from t");
  EXPECT_TRUE(live.LiveResult());
  EXPECT_FALSE(live.MasterQuery().CannedResult);
}

TEST(ResultTableTest, IntoTablesStayWhereTheyAreNamed) {
  TDatabase database;
  testing_support::TTempDir other;
  database.Run("create table t (a integer, b char(4))");
  {
    TQueryStatement statement(*database.Directory);
    statement.Prepare("select b, a into kept from t");
    statement.Prepare("select a into kept from t");  // made again: the table is replaced
    statement.Prepare("select a, b into \"" + (other / "copy").string() + "\" from t");
    statement.Prepare("select b into memory mem from t encrypted with 'secret'");
    EXPECT_FALSE(database.Session.HasPassword("secret"));  // known only while it opened
  }
  for (const auto& [directory, inMemory, table, fields] :
       std::vector<std::tuple<std::string, bool, std::string, std::string>>{
           {database.Temp.Path().string(), false, "kept", "a:6/0"},
           {other.Path().string(), false, "copy", "a:6/0 b:1/4"},
           {"", true, "mem", "b:1/4"}}) {
    SCOPED_TRACE(table);
    TDataDirectory* opened = inMemory ? database.Session.OpenDirectory("Memory", "")
                                      : database.Session.OpenDirectory("", directory);
    TDataCursor cursor(*opened);
    cursor.SetTableName(table);
    cursor.SetInMemory(inMemory);
    if (inMemory) database.Session.AddPassword("secret");
    cursor.OpenCursor();
    EXPECT_EQ(FieldsOf(cursor), fields);
    EXPECT_EQ(cursor.TableDefinition().Encrypted, inMemory);
    cursor.CloseCursor();
    database.Session.CloseDirectory(opened);
  }
}

}  // namespace
}  // namespace kura
