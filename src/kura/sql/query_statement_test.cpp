// Scripts, transactions and parameter binding of TQueryStatement: a script runs its
// statements in order until one fails (those before it stay applied), a further
// Execute runs the script's last statement again, and the parameter values of Execute
// reach the placeholders of the first statement in order of appearance.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

// A directory opened under a database name, so that messages name it by that name,
// with the tables t and u that the SELECT texts below read (preparing opens them).
struct TDatabase {
  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = Session.OpenDirectory("Korvane", Temp.Path().string());

  TDatabase() {
    Session.SetPrivateDir(Temp.Path().string());
    TQueryStatement create(*Directory);
    create.Prepare(
        "create table t (a integer, b integer, c integer, d integer); "
        "create table u (b integer, c integer, d integer)");
    TDataCursor* result = nullptr;
    create.Execute(result);
  }
};

// "" when `action` returns; the message of a KURA_SQLPARSE error; a description of any
// other engine error.
template <typename TAction>
std::string FailureOf(TAction action) {
  try {
    action();
  } catch (const EKuraEngineError& error) {
    if (error.ErrorCode == KURA_SQLPARSE) return error.ErrorExtraMessage;
    return "engine error " + std::to_string(error.ErrorCode) + ": " + error.what();
  }
  return {};
}

std::string PrepareAndExecute(TQueryStatement& statement, const std::string& sql) {
  return FailureOf([&] {
    statement.Prepare(sql);
    TDataCursor* result = nullptr;
    statement.Execute(result);
  });
}

// ---- scripts of transaction statements ----

struct TScriptCase {
  const char* Sql;
  const char* Failure;  // "" when the script runs through
  bool InTransactionAfter;
};

const TScriptCase kScriptCases[] = {
    {"start transaction", "", true},
    {"start transaction;", "", true},
    {"start transaction; commit", "", false},
    {"start transaction; rollback work; start transaction; commit work flush;", "", false},
    {"start transaction;\nrollback;\nstart transaction", "", true},
    {"start transaction; start transaction", "Transaction already in progress for database 'Korvane'", true},
    {"commit", "Transaction not in progress for database 'Korvane'", false},
    {"commit flush", "Transaction not in progress for database 'Korvane'", false},
    {"rollback", "Transaction not in progress for database 'Korvane'", false},
    {"start transaction; commit; rollback", "Transaction not in progress for database 'Korvane'", false},
    // A statement that does not parse stops the script; the transaction stays open.
    {"start transaction; nonsense",
     "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'nonsense'", true},
    {"start transaction;;",
     "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ';'", true},
    {"start transaction; commit; start transaction now",
     "End of START TRANSACTION statement expected, instead found 'now'", false},
    {"start transaction commit", "End of START TRANSACTION statement expected, instead found 'commit'", false},
};

TEST(QueryStatementTest, ScriptsRunTheirStatementsInOrderUntilOneFails) {
  for (const TScriptCase& c : kScriptCases) {
    SCOPED_TRACE(c.Sql);
    TDatabase database;
    TQueryStatement statement(*database.Directory);
    EXPECT_EQ(PrepareAndExecute(statement, c.Sql), c.Failure);
    EXPECT_EQ(database.Directory->InTransaction(), c.InTransactionAfter);
    EXPECT_EQ(statement.RowsAffected(), 0);
  }
}

TEST(QueryStatementTest, ExecuteAgainRunsTheLastStatementOfTheScript) {
  TDatabase database;
  TQueryStatement statement(*database.Directory);
  ASSERT_EQ(PrepareAndExecute(statement, "start transaction; commit; start transaction"), "");
  EXPECT_TRUE(database.Directory->InTransaction());
  EXPECT_EQ(statement.StatementKind(), TStatementKind::StartTransaction);
  ASSERT_EQ(statement.Queries().size(), 1u);
  EXPECT_EQ(statement.MasterQuery().StatementKind, TStatementKind::StartTransaction);

  TDataCursor* result = nullptr;
  EXPECT_EQ(FailureOf([&] { statement.Execute(result); }), "Transaction already in progress for database 'Korvane'");

  TQueryStatement rollback(*database.Directory);
  ASSERT_EQ(PrepareAndExecute(rollback, "commit; start transaction; rollback"), "");
  EXPECT_FALSE(database.Directory->InTransaction());
  EXPECT_EQ(rollback.StatementKind(), TStatementKind::Rollback);
  // Only the rollback is left to run, and no transaction is open.
  EXPECT_EQ(FailureOf([&] { rollback.Execute(result); }), "Transaction not in progress for database 'Korvane'");
}

TEST(QueryStatementTest, APreparedStatementRunsAgainOnEveryExecute) {
  TDatabase database;
  TQueryStatement start(*database.Directory);
  TQueryStatement commit(*database.Directory);
  start.Prepare("start transaction");
  commit.Prepare("commit");
  TDataCursor* result = nullptr;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(FailureOf([&] { start.Execute(result); }), "");
    EXPECT_TRUE(database.Directory->InTransaction());
    EXPECT_EQ(FailureOf([&] { commit.Execute(result); }), "");
    EXPECT_FALSE(database.Directory->InTransaction());
  }
}

TEST(QueryStatementTest, AFailingStatementLeavesTheDefinitionsBeforeItApplied) {
  TDatabase database;
  TQueryStatement statement(*database.Directory);
  EXPECT_EQ(PrepareAndExecute(statement, "create table a (x integer); create table b (y integer); create table c x"),
            "Left parentheses expected before list of table columns, instead found 'x'");
  EXPECT_TRUE(database.Directory->TableExists("a", false));
  EXPECT_TRUE(database.Directory->TableExists("b", false));
  EXPECT_FALSE(database.Directory->TableExists("c", false));
}

// ---- what Prepare tells ----

TEST(QueryStatementTest, StatementKindsHaveTheirNames) {
  const std::pair<int, const char*> kNames[] = {
      {0, "UNKNOWN"},        {1, "SELECT"},        {2, "INSERT"},       {3, "UPDATE"},
      {4, "DELETE"},         {5, "CREATE TABLE"},  {6, "ALTER TABLE"},  {7, "DROP TABLE"},
      {8, "CREATE INDEX"},   {9, "DROP INDEX"},    {10, "START TRANSACTION"}, {11, "ROLLBACK"},
      {12, "COMMIT"},        {13, "UNKNOWN"},      {255, "UNKNOWN"},
  };
  for (const auto& [code, name] : kNames) {
    EXPECT_EQ(StatementKindName(static_cast<TStatementKind>(code)), name) << code;
  }
}

// A SELECT takes the statement's RequestLive and row limit; any other statement is
// live and unlimited. The statement then describes its first statement.
TEST(QueryStatementTest, PrepareHandsTheSettingsToASelectOnly) {
  TDatabase database;
  TQueryStatement statement(*database.Directory);
  statement.RequestLive = true;
  statement.SetMaxRowCount(7);
  statement.Prepare("select * from t where a = ? and b in (select c from u where d = ?); delete from t");
  EXPECT_EQ(statement.StatementKind(), TStatementKind::Select);
  EXPECT_EQ(statement.ParamCount(), 2);
  EXPECT_TRUE(statement.SelectStar());
  EXPECT_TRUE(statement.MasterQuery().RequestLive);
  EXPECT_EQ(statement.MasterQuery().MaxRowCount, 7);
  statement.SetMaxRowCount(3);
  EXPECT_EQ(statement.MasterQuery().MaxRowCount, 3);

  statement.RequestLive = false;
  statement.Prepare("select a from t");
  EXPECT_FALSE(statement.MasterQuery().RequestLive);
  EXPECT_EQ(statement.MasterQuery().MaxRowCount, 3);
  EXPECT_FALSE(statement.SelectStar());
  EXPECT_EQ(statement.ParamCount(), 0);

  statement.Prepare("delete from t where a = ?");
  EXPECT_EQ(statement.StatementKind(), TStatementKind::Delete);
  EXPECT_EQ(statement.ParamCount(), 1);
  EXPECT_TRUE(statement.MasterQuery().RequestLive);
  EXPECT_EQ(statement.MasterQuery().MaxRowCount, -1);
}

// ---- parameter binding ----

// One parameter value as the query component hands it over.
struct TParamValue {
  TFieldType Type;
  TFieldSubType SubType;
  uint8_t DataSize;   // physical size of a non-BLOB value
  uint8_t DataScale;
  bool IsNull;
  std::vector<uint8_t> Bytes;  // the value; for a BLOB the bytes its pointer points to
};

// What a placeholder holds after binding.
struct TBoundValue {
  TFieldType Type;
  TFieldSubType SubType;
  bool IsNull;
  int32_t Length;
  uint8_t Scale;
  std::vector<uint8_t> Bytes;  // compared for values that are not NULL
};

struct TBindCase {
  const char* Name;
  const char* Sql;
  std::vector<TParamValue> Values;
  // One entry per placeholder; nothing for a placeholder that stays unbound.
  std::vector<std::optional<TBoundValue>> Expected;
};

std::vector<uint8_t> Text(const char* text, bool withZero) {
  std::vector<uint8_t> bytes(text, text + std::strlen(text));
  if (withZero) bytes.push_back(0);
  return bytes;
}

const std::vector<uint8_t> kInt32Bytes = {0x78, 0x56, 0x34, 0x12};
const std::vector<uint8_t> kInt64Bytes = {1, 2, 3, 4, 5, 6, 7, 8};
const std::vector<uint8_t> kBcdBytes(kBcdDataSize, 0x11);
const std::vector<uint8_t> kBinary = {0, 1, 2};

const char* const kThreePlaceholders = "select * from t where a = ? and b = ? and c = ?";

const TBindCase kBindCases[] = {
    {"integer and string, third left unbound",
     kThreePlaceholders,
     {{TFieldType::Integer, TFieldSubType::None, 4, 0, false, kInt32Bytes},
      {TFieldType::String, TFieldSubType::None, 6, 0, false, Text("hello", true)}},
     {TBoundValue{TFieldType::Integer, TFieldSubType::None, false, 4, 0, kInt32Bytes},
      TBoundValue{TFieldType::String, TFieldSubType::None, false, 6, 0, Text("hello", true)},
      std::nullopt}},
    {"a NULL decimal keeps its size and scale",
     kThreePlaceholders,
     {{TFieldType::Bcd, TFieldSubType::None, kBcdDataSize, 2, true, kBcdBytes},
      {TFieldType::LargeInt, TFieldSubType::None, 8, 0, false, kInt64Bytes}},
     {TBoundValue{TFieldType::Bcd, TFieldSubType::None, true, kBcdDataSize, 2, {}},
      TBoundValue{TFieldType::LargeInt, TFieldSubType::None, false, 8, 0, kInt64Bytes}, std::nullopt}},
    {"a memo gets a terminating zero, another BLOB its bytes alone",
     kThreePlaceholders,
     {{TFieldType::Blob, TFieldSubType::Memo, 8, 3, false, Text("abcde", false)},
      {TFieldType::Blob, TFieldSubType::Binary, 8, 0, false, kBinary}},
     {TBoundValue{TFieldType::Blob, TFieldSubType::Memo, false, 6, 0, Text("abcde", true)},
      TBoundValue{TFieldType::Blob, TFieldSubType::Binary, false, 3, 0, kBinary}, std::nullopt}},
    {"a NULL picture and an empty memo",
     kThreePlaceholders,
     {{TFieldType::Blob, TFieldSubType::Graphic, 8, 0, true, {}},
      {TFieldType::Blob, TFieldSubType::Memo, 8, 0, false, {}}},
     {TBoundValue{TFieldType::Blob, TFieldSubType::Graphic, true, 0, 0, {}},
      TBoundValue{TFieldType::Blob, TFieldSubType::Memo, false, 1, 0, {0}}, std::nullopt}},
    {"definitions beyond the placeholders are ignored",
     "select * from t where a in (select b from u where c = ?) and d = ?",
     {{TFieldType::SmallInt, TFieldSubType::None, 2, 0, false, {0xFE, 0xFF}},
      {TFieldType::Boolean, TFieldSubType::None, 2, 0, false, {1, 0}},
      {TFieldType::Integer, TFieldSubType::None, 4, 0, false, kInt32Bytes}},
     {TBoundValue{TFieldType::SmallInt, TFieldSubType::None, false, 2, 0, {0xFE, 0xFF}},
      TBoundValue{TFieldType::Boolean, TFieldSubType::None, false, 2, 0, {1, 0}}}},
};

// The definitions and the value buffer of `values`, laid out one after the other: a
// null-flag byte, then the value (a BLOB: int32 length and a pointer to its bytes).
struct TParamBuffer {
  explicit TParamBuffer(const std::vector<TParamValue>& values) {
    size_t offset = 0;
    for (const TParamValue& value : values) {
      TFieldDefinition definition;
      definition.FieldNo = static_cast<uint16_t>(Definitions.size() + 1);
      definition.Name = "P" + std::to_string(definition.FieldNo);
      definition.FieldType = value.Type;
      definition.SubType = value.SubType;
      definition.DataSize = value.DataSize;
      definition.DataScale = value.DataScale;
      definition.Offset = static_cast<uint16_t>(offset);
      Definitions.push_back(definition);
      const bool blob = value.Type == TFieldType::Blob;
      Buffer.resize(offset + 1 + (blob ? sizeof(int32_t) + sizeof(const uint8_t*) : value.DataSize));
      Buffer[offset] = value.IsNull ? 0 : 1;
      if (blob) {
        WriteI32(&Buffer[offset + 1], static_cast<int32_t>(value.Bytes.size()));
        const uint8_t* pointer = value.Bytes.empty() ? nullptr : value.Bytes.data();
        std::memcpy(&Buffer[offset + 1 + sizeof(int32_t)], &pointer, sizeof pointer);
      } else {
        std::memcpy(&Buffer[offset + 1], value.Bytes.data(), value.DataSize);
      }
      offset = Buffer.size();
    }
  }
  std::vector<TFieldDefinition> Definitions;
  std::vector<uint8_t> Buffer;
};

void ExpectPlaceholder(const TExpToken& node, const TExpToken& unbound, const std::optional<TBoundValue>& expected) {
  if (!expected) {
    EXPECT_EQ(node.DataType, unbound.DataType);
    EXPECT_EQ(node.SubType, unbound.SubType);
    EXPECT_EQ(node.IsNull, unbound.IsNull);
    EXPECT_EQ(node.DataLength, unbound.DataLength);
    return;
  }
  EXPECT_EQ(node.DataType, expected->Type);
  EXPECT_EQ(node.SubType, expected->SubType);
  EXPECT_EQ(node.IsNull, expected->IsNull ? 1 : 0);
  EXPECT_EQ(node.DataLength, expected->Length);
  EXPECT_EQ(node.DataScale, expected->Scale);
  if (!expected->IsNull && node.DataLength == expected->Length) {
    ASSERT_GE(node.Data.size(), static_cast<size_t>(node.DataLength));
    EXPECT_EQ(std::vector<uint8_t>(node.Data.begin(), node.Data.begin() + node.DataLength), expected->Bytes);
  }
}

TEST(QueryStatementTest, ParameterValuesAreBoundByPositionBeforeTheStatementRuns) {
  for (const TBindCase& c : kBindCases) {
    SCOPED_TRACE(c.Name);
    TDatabase database;
    // The same text freshly prepared shows how an unbound placeholder looks.
    TQueryStatement fresh(*database.Directory);
    fresh.Prepare(c.Sql);
    TQueryStatement statement(*database.Directory);
    statement.Prepare(c.Sql);
    ASSERT_EQ(statement.ParamCount(), static_cast<int32_t>(c.Expected.size()));
    ASSERT_EQ(fresh.ParamCount(), statement.ParamCount());

    TParamBuffer values(c.Values);
    TDataCursor* result = nullptr;
    // Binding comes first; running the SELECT may then fail without affecting it.
    (void)FailureOf([&] { statement.Execute(values.Definitions, values.Buffer.data(), result); });
    ASSERT_EQ(statement.Params().size(), c.Expected.size());
    for (size_t i = 0; i < c.Expected.size(); ++i) {
      SCOPED_TRACE("placeholder " + std::to_string(i + 1));
      ExpectPlaceholder(*statement.Params()[i], *fresh.Params()[i], c.Expected[i]);
    }
  }
}

TEST(QueryStatementTest, EveryExecuteBindsTheValuesAnew) {
  TDatabase database;
  TQueryStatement statement(*database.Directory);
  statement.Prepare("delete from t where a = ?");
  ASSERT_EQ(statement.ParamCount(), 1);
  TDataCursor* result = nullptr;
  for (const std::vector<uint8_t>& bytes : {kInt32Bytes, std::vector<uint8_t>{9, 0, 0, 0}}) {
    TParamBuffer values({{TFieldType::Integer, TFieldSubType::None, 4, 0, false, bytes}});
    (void)FailureOf([&] { statement.Execute(values.Definitions, values.Buffer.data(), result); });
    ExpectPlaceholder(*statement.Params()[0], *statement.Params()[0],
                      TBoundValue{TFieldType::Integer, TFieldSubType::None, false, 4, 0, bytes});
  }
  TParamBuffer null({{TFieldType::Integer, TFieldSubType::None, 4, 0, true, kInt32Bytes}});
  (void)FailureOf([&] { statement.Execute(null.Definitions, null.Buffer.data(), result); });
  EXPECT_EQ(statement.Params()[0]->IsNull, 1);
}

TEST(QueryStatementTest, OnlyTheFirstStatementOfAScriptIsBound) {
  TDatabase database;
  const char* const kSecond = "select * from t where a = ?";
  TQueryStatement fresh(*database.Directory);
  fresh.Prepare(kSecond);
  TQueryStatement statement(*database.Directory);
  statement.Prepare(std::string("start transaction; ") + kSecond);
  EXPECT_EQ(statement.ParamCount(), 0);

  TParamBuffer values({{TFieldType::Integer, TFieldSubType::None, 4, 0, false, kInt32Bytes}});
  TDataCursor* result = nullptr;
  (void)FailureOf([&] { statement.Execute(values.Definitions, values.Buffer.data(), result); });
  EXPECT_TRUE(database.Directory->InTransaction());
  // The script reached its second statement, whose placeholder stays without a value.
  EXPECT_EQ(statement.StatementKind(), TStatementKind::Select);
  ASSERT_EQ(statement.ParamCount(), 1);
  ExpectPlaceholder(*statement.Params()[0], *fresh.Params()[0], std::nullopt);
}

}  // namespace
}  // namespace kura
