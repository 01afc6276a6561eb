// INSERT, UPDATE and DELETE run through TQueryStatement: their preparation messages,
// values and conversions, joins, the transaction each runs in (interval commits, the
// rollback of a failed statement, scripts with START TRANSACTION), progress and abort.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/code_page_text.h"
#include "kura/base/collation.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"
#include "testing/file_bytes.h"
#include "testing/query_parameters.h"
#include "testing/sql_tables.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using Rows = std::vector<std::string>;

std::string EngineText(const std::string& utf8) { return *Utf8ToCodePage(GetEngineAnsiCodePage(), utf8); }

// t (a, b) with a secondary index on a; d with one column of most types; m with a memo
// and a binary BLOB; k with a primary key and an auto-increment column.
struct TDatabase {
  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = Session.OpenDirectory("", Temp.Path().string());

  TDatabase() {
    Session.SetPrivateDir(Temp.Path().string());
    Run("create table t (a integer, b integer); create index ta on t (a); "
        "create table u (b integer, c integer); "
        "create table d (i integer, s char(10), f float, dt date, tm time, ts timestamp, n numeric(10, 2), "
        "bo boolean); "
        "create table m (id integer, txt memo, bin blob); "
        "create table k (id autoinc, name char(20), primary key (id))");
  }

  // Rows affected.
  int32_t Run(const std::string& sql, TQueryStatement* with = nullptr) {
    TQueryStatement own(*Directory);
    TQueryStatement& statement = with != nullptr ? *with : own;
    statement.Prepare(EngineText(sql));
    TDataCursor* result = nullptr;
    statement.Execute(result);
    return statement.RowsAffected();
  }

  Rows Select(const std::string& sql) {
    TQueryStatement statement(*Directory);
    statement.Prepare(EngineText(sql));
    TDataCursor* result = nullptr;
    statement.Execute(result);
    EXPECT_NE(result, nullptr);
    return result == nullptr ? Rows{} : testing_support::ResultRows(*result);
  }

  // The message of the KURA_SQLPARSE error of running `sql`, "engine error N" for
  // another engine error, "" when it runs.
  std::string Failure(const std::string& sql) {
    try {
      Run(sql);
    } catch (const EKuraEngineError& error) {
      return error.ErrorCode == KURA_SQLPARSE ? error.ErrorExtraMessage
                                              : "engine error " + std::to_string(error.ErrorCode);
    }
    return {};
  }

  // Every file of the directory with its bytes (the session's private files aside).
  std::map<std::string, std::vector<uint8_t>> Files() const {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : std::filesystem::directory_iterator(Temp.Path())) {
      if (entry.is_regular_file()) files[entry.path().filename().string()] = testing_support::ReadFileBytes(entry.path());
    }
    return files;
  }
};

// ---- preparation ----

struct TMessageCase {
  const char* Sql;
  const char* Message;
};

TEST(DataStatementTest, PreparationRefusesWhatCannotBeStored) {
  const TMessageCase cases[] = {
      {"insert into t (a, b) values (1)", "The number of values must match the number of table columns"},
      {"insert into t values (1, 2, 3)", "The number of values must match the number of table columns"},
      {"insert into t (a) select b, c from u", "The number of values must match the number of table columns"},
      {"update t set a = 1, b = 2 where a = 3 and b = 4 and a = 5 and (b = 6 or a = 7) and zz = 1",
       "Invalid column name 'zz' or table correlation name '' specified in WHERE clause"},
      {"insert into t (zz) values (1)",
       "Invalid column name 'zz' or table correlation name '' specified in table columns"},
      {"update t set zz = 1", "Invalid column name 'zz' or table correlation name '' specified in table columns"},
      {"update t set x.a = 1", "Invalid column name 'a' or table correlation name 'x' specified in table columns"},
      // Only the changed table's columns can be set.
      {"update t set u.c = 1 from t, u where t.b = u.b",
       "Invalid column name 'c' or table correlation name 'u' specified in table columns"},
      {"update t set a = 1 from u",
       "The first source table specified in FROM clause must match the table being updated in the UPDATE "
       "statement"},
      {"insert into t (a) values (b)",
       "Invalid column name 'b' or table correlation name '' specified in insert values"},
      {"update t set a = zz", "Invalid column name 'zz' or table correlation name '' specified in update values"},
      {"insert into d (dt) values ('31.12.2004')",
       "Date, time, or timestamp expression expected, instead found ''31.12.2004'' in update values"},
      {"update d set ts = 'soon'", "Date, time, or timestamp expression expected, instead found ''soon'' in update values"},
      {"insert into d (dt) values (5)", "Type mismatch between column 'dt' and constant '5' in update values"},
      {"update d set dt = i", "Type mismatch between column 'dt' and column 'i' in update values"},
      {"update d set dt = i + 1", "Type mismatch between column 'dt' and expression 'i + 1' in update values"},
      {"update d set dt = abs(i)", "Type mismatch between column 'dt' and function 'abs(i)' in update values"},
      {"update d set bo = dt", "Type mismatch between column 'bo' and column 'dt' in update values"},
  };
  for (const TMessageCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TDatabase database;
    EXPECT_EQ(database.Failure(c.Sql), c.Message);
  }
}

// ---- INSERT ----

TEST(DataStatementTest, InsertFillsTheNamedColumnsOrEveryColumnInFieldOrder) {
  TDatabase database;
  EXPECT_EQ(database.Run("insert into t values (1, 2)"), 1);
  EXPECT_EQ(database.Run("insert into t (b) values (3)"), 1);
  EXPECT_EQ(database.Run("insert into t (b, a) values (5, 4 * 2)"), 1);
  EXPECT_EQ(database.Run("insert into t values (null, null)"), 1);
  EXPECT_EQ(database.Select("select * from t"), (Rows{"1|2", "NULL|3", "8|5", "NULL|NULL"}));
}

TEST(DataStatementTest, InsertConvertsValuesToTheColumnTypes) {
  TDatabase database;
  database.Run(
      "insert into d values (7, 'abc', 2, '2004-02-29', '10:30', '2004-02-29 10:30:05', 12.345, true); "
      "insert into d (i, f, s, n) values (2.9, 3, 1234567890123, 7); "
      "insert into d (s) values ('a text longer than ten')");
  EXPECT_EQ(database.Select("select * from d"),
            (Rows{"7|abc|2|2004-02-29|10:30|2004-02-29 10:30:05|12.34|True",
                  "2|1234567890|3|NULL|NULL|NULL|7.00|NULL", "NULL|a text lon|NULL|NULL|NULL|NULL|NULL|NULL"}));
}

TEST(DataStatementTest, ValuesThatDoNotConvertNameTheStatement) {
  TDatabase database;
  database.Run("insert into d (i) values (1)");
  EXPECT_EQ(database.Failure("insert into d (i) values ('seven')"),
            "Type mismatch between column i and constant value seven in INSERT statement");
  EXPECT_EQ(database.Failure("update d set i = 'x' || s"),
            "Type mismatch between column i and constant value x in UPDATE statement");
  // The failed change left the row as it was.
  EXPECT_EQ(database.Select("select i from d"), (Rows{"1"}));
}

TEST(DataStatementTest, MemosAndBlobsTakeTheirBytesAndNullClearsThem) {
  TDatabase database;
  const std::string longText(3000, 'x');
  database.Run("insert into m values (1, 'short', 'bytes'); insert into m (id, txt) values (2, '" + longText + "')");
  EXPECT_EQ(database.Select("select id, txt, bin from m"), (Rows{"1|short|(BLOB 5 bytes)", "2|" + longText + "|NULL"}));
  EXPECT_EQ(database.Run("update m set txt = txt || '!', bin = null where id = 1"), 1);
  EXPECT_EQ(database.Run("update m set txt = null where id = 2"), 1);
  EXPECT_EQ(database.Select("select id, txt, bin from m"), (Rows{"1|short!|NULL", "2|NULL|NULL"}));
  EXPECT_EQ(database.Run("insert into m select id + 10, txt, bin from m"), 2);
  EXPECT_EQ(database.Select("select id, txt from m where id > 10"), (Rows{"11|short!", "12|NULL"}));
}

TEST(DataStatementTest, NoAutoIncKeepsTheGivenNumbers) {
  TDatabase database;
  // Without NOAUTOINC the number given is replaced; the numbering goes on after the
  // highest number kept.
  database.Run("insert into k (name) values ('first'); insert into k values (50, 'kept') noautoinc; "
               "insert into k values (7, 'numbered')");
  EXPECT_EQ(database.Select("select * from k"), (Rows{"1|first", "50|kept", "51|numbered"}));
  EXPECT_EQ(database.Failure("insert into k values (50, 'twice') noautoinc"), "engine error " + std::to_string(KURA_KEYVIOL));
}

TEST(DataStatementTest, InsertSelectAppendsTheSourceRowsInTheirOrder) {
  TDatabase database;
  database.Run("insert into u values (3, 30); insert into u values (1, 10); insert into u values (2, 20)");
  EXPECT_EQ(database.Run("insert into t select b, c from u order by b"), 3);
  EXPECT_EQ(database.Run("insert into t (b, a) select c + 1, b * 100 from u where b > 1"), 2);
  EXPECT_EQ(database.Select("select * from t"), (Rows{"1|10", "2|20", "3|30", "300|31", "200|21"}));
  // A table read while it is filled gives the rows it had before.
  EXPECT_EQ(database.Run("insert into t select * from t"), 5);
  EXPECT_EQ(database.Select("select count(*) from t"), (Rows{"10"}));
}

// ---- UPDATE and DELETE ----

TEST(DataStatementTest, UpdateEvaluatesEveryValueOnTheRowAsItWasRead) {
  TDatabase database;
  database.Run("insert into t values (1, 2); insert into t values (3, 4)");
  EXPECT_EQ(database.Run("update t set a = b, b = a"), 2);
  EXPECT_EQ(database.Select("select * from t"), (Rows{"2|1", "4|3"}));
}

// Rows whose keys the change moves are changed once, whatever serves the WHERE.
TEST(DataStatementTest, UpdateChangesEachQualifyingRowOnce) {
  const char* cases[] = {
      "update t set a = a + 10 where a < 5",         // the index on a serves the filter
      "update t set a = a + 10 where b < 5",         // no index
      "update t set a = a + 10 where a between 0 and 4",
      "update t set a = a + 10 where a = b and b < 5",
  };
  for (const char* sql : cases) {
    SCOPED_TRACE(sql);
    TDatabase database;
    for (int i = 0; i < 8; ++i) database.Run("insert into t values (" + std::to_string(i) + ", " + std::to_string(i) + ")");
    EXPECT_EQ(database.Run(sql), 5);
    EXPECT_EQ(database.Select("select a, b from t order by b"),
              (Rows{"10|0", "11|1", "12|2", "13|3", "14|4", "5|5", "6|6", "7|7"}));
  }
}

TEST(DataStatementTest, UpdateThroughAJoinCountsEachChangedRowOnce) {
  TDatabase database;
  database.Run("insert into t values (1, 0); insert into t values (2, 0); insert into t values (3, 0); "
               "insert into u values (1, 5); insert into u values (1, 6); insert into u values (2, 7)");
  // t's row 1 meets two rows of u: changed twice (the last value stays), counted once.
  EXPECT_EQ(database.Run("update t set b = u.c from t, u where t.a = u.b"), 2);
  EXPECT_EQ(database.Select("select * from t"), (Rows{"1|6", "2|7", "3|0"}));
  EXPECT_EQ(database.Run("update t x set b = -1 from t x inner join u on x.a = u.b where u.c = 7"), 1);
  EXPECT_EQ(database.Select("select * from t"), (Rows{"1|6", "2|-1", "3|0"}));
}

TEST(DataStatementTest, DeleteThroughAJoinDeletesEachRowOnce) {
  TDatabase database;
  database.Run("insert into t values (1, 0); insert into t values (2, 0); insert into t values (3, 0); "
               "insert into t values (4, 0); insert into u values (1, 5); insert into u values (1, 6); "
               "insert into u values (3, 7)");
  EXPECT_EQ(database.Run("delete from t, u where t.a = u.b"), 2);
  EXPECT_EQ(database.Select("select a from t"), (Rows{"2", "4"}));
  EXPECT_EQ(database.Run("delete from t where a in (select b from u) or a = 4"), 1);
  EXPECT_EQ(database.Run("delete from t"), 1);
  EXPECT_EQ(database.Select("select count(*) from t"), (Rows{"0"}));
}

// ---- transactions ----

TEST(DataStatementTest, AFailedStatementKeepsOnlyItsIntervalCommits) {
  TDatabase database;
  database.Run("create table src (id integer, v integer); create table dst (id integer, v integer, primary key (id))");
  for (int i = 1; i <= 300; ++i) {
    // Row 250 repeats the key of row 1.
    database.Run("insert into src values (" + std::to_string(i == 250 ? 1 : i) + ", " + std::to_string(i) + ")");
  }
  EXPECT_EQ(database.Failure("insert into dst select * from src commit interval 100"),
            "engine error " + std::to_string(KURA_KEYVIOL));
  EXPECT_FALSE(database.Directory->InTransaction());
  EXPECT_EQ(database.Select("select count(*), min(id), max(id) from dst"), (Rows{"200|1|200"}));
  database.Run("delete from dst");
  // Without an interval the whole statement goes.
  EXPECT_EQ(database.Failure("insert into dst select * from src"), "engine error " + std::to_string(KURA_KEYVIOL));
  EXPECT_EQ(database.Select("select count(*) from dst"), (Rows{"0"}));
  // Inside a transaction begun earlier the statement rolls nothing back.
  database.Run("start transaction");
  EXPECT_EQ(database.Failure("insert into dst select * from src"), "engine error " + std::to_string(KURA_KEYVIOL));
  EXPECT_TRUE(database.Directory->InTransaction());
  EXPECT_EQ(database.Select("select count(*) from dst"), (Rows{"249"}));
  database.Run("rollback");
  EXPECT_EQ(database.Select("select count(*) from dst"), (Rows{"0"}));
}

TEST(DataStatementTest, ARolledBackScriptLeavesTheFilesAsTheyWere) {
  TDatabase database;
  database.Run("insert into t values (1, 1); insert into t values (2, 2); insert into m values (1, 'memo', null)");
  const auto before = database.Files();
  TQueryStatement script(*database.Directory);
  database.Run(
      "start transaction; insert into t values (3, 3); update t set b = b * 10; insert into m values (2, 'more', 'x'); "
      "update m set txt = 'changed'; delete from t where a = 1; rollback",
      &script);
  EXPECT_EQ(script.RowsAffected(), 0);
  EXPECT_FALSE(database.Directory->InTransaction());
  EXPECT_EQ(database.Files(), before);
  EXPECT_EQ(database.Select("select * from t"), (Rows{"1|1", "2|2"}));

  database.Run(
      "start transaction; insert into t values (3, 3); update t set b = b * 10; delete from t where a = 1; commit",
      &script);
  EXPECT_EQ(script.RowsAffected(), 5);
  EXPECT_EQ(database.Select("select * from t"), (Rows{"2|20", "3|30"}));
}

TEST(DataStatementTest, AnUpdateInsideATransactionWritesNothingUntilTheCommit) {
  TDatabase database;
  for (int i = 0; i < 50; ++i) database.Run("insert into t values (" + std::to_string(i) + ", 0)");
  const auto before = database.Files();
  database.Run("start transaction; update t set b = 1");
  EXPECT_EQ(database.Files(), before);
  database.Run("update t set b = 2 commit interval 10");
  EXPECT_NE(database.Files(), before);  // the interval commits wrote
  EXPECT_TRUE(database.Directory->InTransaction());
  database.Run("commit");
  EXPECT_EQ(database.Select("select count(*) from t where b = 2"), (Rows{"50"}));
}

TEST(DataStatementTest, ProgressCanStopAStatementWhoseRowsThenStand) {
  TDatabase database;
  for (int i = 0; i < 100; ++i) database.Run("insert into t values (" + std::to_string(i) + ", 0)");
  database.Session.SetProgressSteps(10);
  TQueryStatement statement(*database.Directory);
  std::vector<int32_t> reported;
  statement.SetProgressCallback([&](TQueryStatement&, int32_t percent, bool& abort) {
    reported.push_back(percent);
    abort = percent >= 50;
  });
  const int32_t rows = database.Run("update t set b = 1", &statement);
  EXPECT_EQ(reported, (std::vector<int32_t>{10, 20, 30, 40, 50, 100}));
  EXPECT_FALSE(database.Directory->InTransaction());
  EXPECT_EQ(database.Select("select count(*) from t where b = 1"), (Rows{std::to_string(rows)}));
  EXPECT_GE(rows, 50);
  EXPECT_LT(rows, 100);
}

// A prepared INSERT runs again with every new set of parameter values.
TEST(DataStatementTest, APreparedInsertTakesNewParameterValuesOnEveryExecute) {
  TDatabase database;
  TQueryStatement statement(*database.Directory);
  statement.Prepare("insert into d (i, s, dt) values (?, ?, ?)");
  database.Run("start transaction");
  for (int32_t i = 1; i <= 3; ++i) {
    std::vector<TFieldDefinition> definitions(3);
    std::vector<uint8_t> values(40, 0);
    definitions[0].FieldType = TFieldType::Integer;
    definitions[0].DataSize = 4;
    definitions[0].Offset = 0;
    values[0] = 1;
    WriteI32(values.data() + 1, i);
    definitions[1].FieldType = TFieldType::String;
    definitions[1].DataSize = 4;
    definitions[1].Offset = 5;
    values[5] = 1;
    values[6] = static_cast<uint8_t>('a' + i);
    definitions[2].FieldType = TFieldType::String;
    definitions[2].DataSize = 11;
    definitions[2].Offset = 10;
    values[10] = 1;
    const std::string date = "2004-02-0" + std::to_string(i);
    std::copy(date.begin(), date.end(), values.begin() + 11);
    TDataCursor* result = nullptr;
    statement.Execute(definitions, values.data(), result);
    EXPECT_EQ(statement.RowsAffected(), 1);
  }
  database.Run("commit");
  EXPECT_EQ(database.Select("select i, s, dt from d"), (Rows{"1|b|2004-02-01", "2|c|2004-02-02", "3|d|2004-02-03"}));
}

// ---- prepared statements run many times ----

using testing_support::TQueryParameters;

// Runs the prepared statement with the values; its rows.
int32_t Execute(TQueryStatement& statement, const TQueryParameters& parameters) {
  TDataCursor* result = nullptr;
  statement.Execute(parameters.Definitions(), parameters.Values(), result);
  return statement.RowsAffected();
}

// A prepared DELETE keeps its cursor between runs: each run must see the rows other
// statements put in meanwhile, also into the slots the run before freed (the table has a
// primary index, so appends reuse them and the slot count stays the same), inside a
// transaction and outside.
TEST(DataStatementTest, APreparedDeleteSeesTheRowsPutIntoTheSlotsItFreed) {
  for (const bool transaction : {false, true}) {
    SCOPED_TRACE(transaction ? "inside a transaction" : "statement transactions");
    TDatabase database;
    database.Run("insert into k (name) values ('a'); insert into k (name) values ('b'); "
                 "insert into k (name) values ('a'); insert into k (name) values ('c')");
    if (transaction) database.Run("start transaction");
    TQueryStatement remove(*database.Directory);
    remove.Prepare("delete from k where name = ?");
    EXPECT_EQ(Execute(remove, TQueryParameters().Text("a")), 2);
    EXPECT_EQ(Execute(remove, TQueryParameters().Text("a")), 0);
    database.Run("insert into k (name) values ('a'); insert into k (name) values ('d')");
    EXPECT_EQ(database.Select("select count(*) from k"), (Rows{"4"}));
    EXPECT_EQ(Execute(remove, TQueryParameters().Text("a")), 1);
    EXPECT_EQ(Execute(remove, TQueryParameters().Text("d")), 1);
    if (transaction) database.Run("commit");
    EXPECT_EQ(database.Select("select id, name from k"), (Rows{"2|b", "4|c"}));
  }
}

// A prepared INSERT run again appends after what another session appended since (its
// table object learns of the change when it takes the write lock), and a prepared
// UPDATE then changes every row.
TEST(DataStatementTest, APreparedInsertFollowsTheAppendsOfAnotherSession) {
  TDatabase database;
  TDataSession otherSession;
  otherSession.SetPrivateDir(database.Temp.Path().string());
  TDataDirectory* other = otherSession.OpenDirectory("", database.Temp.Path().string());
  TQueryStatement insert(*database.Directory);
  insert.Prepare("insert into k (name) values (?)");
  TQueryStatement update(*database.Directory);
  update.Prepare("update k set name = name || ? where id > ?");
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Execute(insert, TQueryParameters().Text("mine" + std::to_string(round))), 1);
    TQueryStatement theirs(*other);
    theirs.Prepare(EngineText("insert into k (name) values ('theirs" + std::to_string(round) + "')"));
    TDataCursor* result = nullptr;
    theirs.Execute(result);
  }
  EXPECT_EQ(Execute(update, TQueryParameters().Text("!").Integer(4)), 2);
  EXPECT_EQ(database.Select("select id, name from k"),
            (Rows{"1|mine0", "2|theirs0", "3|mine1", "4|theirs1", "5|mine2!", "6|theirs2!"}));
}

// Rows changed inside one transaction stay locked against every other session until the
// commit, which releases them all.
TEST(DataStatementTest, TheRowsOfATransactionStayLockedUntilItsCommit) {
  TDatabase database;
  for (int i = 0; i < 40; ++i) database.Run("insert into t values (" + std::to_string(i % 7) + ", " + std::to_string(i) + ")");
  TDataSession otherSession;
  otherSession.SetPrivateDir(database.Temp.Path().string());
  otherSession.SetLockRetryCount(0);
  TDataDirectory* other = otherSession.OpenDirectory("", database.Temp.Path().string());
  auto lockable = [&] {
    // Which of the table's records the other session can lock, by record number.
    TDataCursor cursor(*other);
    cursor.SetTableName("t");
    cursor.OpenCursor();
    std::string locks;
    for (int32_t recNo = 1; recNo <= 40; ++recNo) {
      try {
        cursor.LockRecord(recNo);
        cursor.UnlockRecord(recNo);
        locks += '.';
      } catch (const EKuraEngineError& error) {
        EXPECT_EQ(error.ErrorCode, KURA_RECLOCKFAILED);
        locks += 'L';
      }
    }
    cursor.CloseCursor();
    return locks;
  };
  database.Run("start transaction; update t set b = b + 100 where a = 3; delete from t where a = 5");
  std::string expected;
  for (int i = 0; i < 40; ++i) expected += (i % 7 == 3 || i % 7 == 5) ? 'L' : '.';
  EXPECT_EQ(lockable(), expected);
  database.Run("commit");
  EXPECT_EQ(lockable(), std::string(40, '.'));
  EXPECT_EQ(database.Select("select count(*) from t where b >= 100"), (Rows{"6"}));
}

// A sub-select over the changed table answers for the rows as the statement found them,
// also when it is first asked after rows changed (the NULL of the first row asks
// nothing; the second row's 1 is among the first column's values as they were).
TEST(DataStatementTest, ASubSelectOverTheChangedTableSeesTheRowsAsTheStatementFoundThem) {
  struct TCase {
    const char* Sql;
    int32_t Changed;
    Rows Left;
  };
  const TCase cases[] = {
      {"delete from t where b in (select a from t sq) or a = 1", 2, {}},
      {"update t set a = a + 10 where b in (select a from t sq) or a = 1", 2, {"11|NULL", "12|1"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TDatabase database;
    database.Run("insert into t values (1, null); insert into t values (2, 1)");
    EXPECT_EQ(database.Run(c.Sql), c.Changed);
    EXPECT_EQ(database.Select("select * from t"), c.Left);
  }
}

}  // namespace
}  // namespace kura

namespace kura {
namespace {

// A join UPDATE whose change takes the target row out of its WHERE while the row has
// further combinations: the row is changed once and the cursor's next row (or none) is
// not taken for it.
TEST(DataStatementTest, AJoinUpdateThatTakesTheRowOutOfItsWhereChangesOnlyThatRow) {
  struct TCase {
    const char* Setup;
    const char* Sql;
    int32_t Changed;
    Rows Left;
  };
  const TCase cases[] = {
      {"create table v (e integer); insert into t values (1, 5); insert into t values (2, 5); "
       "insert into u values (1, 7); insert into v values (7); insert into v values (7)",
       "update t set b = 0 from t, u, v where t.a = u.b and u.c = v.e and t.b = 5", 1, {"1|0", "2|5"}},
      {"insert into t values (1, 0); insert into u values (1, 0); insert into u values (1, 0)",
       "update t set b = 1 from t, u where t.a = u.b and t.b = 0", 1, {"1|1"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TDatabase database;
    database.Run(c.Setup);
    EXPECT_EQ(database.Run(c.Sql), c.Changed);
    EXPECT_EQ(database.Select("select * from t"), c.Left);
  }
}

}  // namespace
}  // namespace kura
