#include "kura/base/engine_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <thread>
#include <vector>

#include "testing/engine_error_expect.h"

namespace kura {
namespace {

using testing_support::EngineErrorOf;

// Raises and returns the exception.
EKuraEngineError Caught(TErrorCode code, const TErrorNames& names = {}) {
  return EngineErrorOf([&] { RaiseEngineError(code, names); }).value();
}

TEST(EngineErrorTest, MessagesAreBuiltFromTheTableWithNamesInOrder) {
  struct Case {
    TErrorCode code;
    TErrorNames names;
    const char* message;
  };
  const Case cases[] = {
      {KURA_KEYVIOL, {.TableName = "people", .IndexName = "ByName"},
       "Kura Engine Error # 9729 Duplicate key found in the index 'ByName' of the table 'people'"},
      {KURA_MINVALERR, {.TableName = "t", .FieldName = "Age"},
       "Kura Engine Error # 9730 The value for the field 'Age' in the table 't' is below the minimum allowable value"},
      {KURA_INVALIDIDXDESC, {.TableName = "t", .FieldName = "3", .IndexName = "ix"},
       "Kura Engine Error # 10023 Invalid field number '3' specified in the index 'ix' for the table 't'"},
      {KURA_INVALIDFILTER, {.TableName = "tejun", .ExtraMessage = "Expected expression"},
       "Kura Engine Error # 10051 Filter error for the table 'tejun' - Expected expression"},
      {KURA_SQLPARSE, {.ExtraMessage = "Table or alias 'x' not found"},
       "Kura Engine Error # 11949 SQL error - Table or alias 'x' not found"},
      {KURA_REMOTENOTAUTH, {.ServerName = "srv", .UserName = "bob", .DatabaseName = "db"},
       "Kura Engine Error # 11288 The user 'bob' is not authorized to perform this operation with the database "
       "'db' on the database server at 'srv'"},
      {KURA_OSENOMEM, {.TableName = "ignored"},
       "Kura Engine Error # 11016 There is insufficient operating system memory available for the current "
       "operation"},
      {KURA_NOTINITIALIZED, {}, "Kura Engine Error # 10758 The database engine is not initialized"},
      {1, {.TableName = "t"}, "Kura Engine Error # 1 An unknown error occurred"},
      {KURA_REMOTECALLBACK, {}, "Kura Engine Error # 11284 An unknown error occurred"},
  };
  for (const Case& c : cases) {
    const EKuraEngineError error = Caught(c.code, c.names);
    EXPECT_STREQ(error.what(), c.message);
    EXPECT_EQ(error.ErrorCode, c.code);
    EXPECT_EQ(error.ErrorTableName, c.names.TableName);
    EXPECT_EQ(error.ErrorFieldName, c.names.FieldName);
    EXPECT_EQ(error.ErrorIndexName, c.names.IndexName);
    EXPECT_EQ(error.ErrorExtraMessage, c.names.ExtraMessage);
    EXPECT_EQ(GetLastEngineErrorCode(), c.code);
  }
}

TEST(EngineErrorTest, OsUnknownCarriesTheOperatingSystemCode) {
  errno = 32;
  const EKuraEngineError error = Caught(KURA_OSUNKNOWN, {.DatabaseName = "/data", .TableName = "people"});
  EXPECT_EQ(error.OSErrorCode, 32);
  EXPECT_EQ(std::string(error.what()),
            "Kura Engine Error # 11047 An unknown operating system error 32 occurred with the table 'people'");
  EXPECT_EQ(GetErrorContext(OSErrorCode), "32");
  EXPECT_EQ(GetErrorContext(SocketErrorCode), "0");
  EXPECT_EQ(GetErrorContext(ErrorDatabaseName), "/data");

  const auto raised = EngineErrorOf([] { RaiseEngineErrorWithOSCode(KURA_OSUNKNOWN, 75, {.TableName = "t"}); });
  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->OSErrorCode, 75);
  EXPECT_NE(std::string(raised->what()).find("error 75 occurred"), std::string::npos);
}

TEST(EngineErrorTest, EachRaiseReplacesTheWholeContext) {
  Caught(KURA_KEYVIOL, {.TableName = "a", .IndexName = "ix"});
  Caught(KURA_EOF, {.TableName = "b"});
  EXPECT_EQ(GetErrorContext(ErrorTableName), "b");
  EXPECT_EQ(GetErrorContext(ErrorIndexName), "");
  EXPECT_EQ(GetErrorContext(99), "");
}

TEST(EngineErrorTest, MessagesAndNamesAreCut) {
  const std::string longName(300, 'x');
  const EKuraEngineError error = Caught(KURA_SQLPARSE, {.ExtraMessage = longName});
  EXPECT_EQ(error.ErrorExtraMessage.size(), 255u);
  const std::string prefix = "Kura Engine Error # 11949 ";
  EXPECT_EQ(std::string(error.what()).size(), prefix.size() + 254);
}

TEST(EngineErrorTest, CodeOfOtherExceptionsIsOsUnknown) {
  EXPECT_EQ(GetEngineErrorCode(std::runtime_error("x")), KURA_OSUNKNOWN);
  EXPECT_EQ(GetEngineErrorCode(EDatabaseError("x")), KURA_OSUNKNOWN);
  EXPECT_EQ(GetEngineErrorCode(Caught(KURA_LOCKED)), KURA_LOCKED);
  EXPECT_STREQ(EngineErrorName(KURA_LOCKED), "KURA_LOCKED");
  EXPECT_STREQ(EngineErrorName(2), "");
}

TEST(EngineErrorTest, ConcurrentRaisesKeepTheirOwnNames) {
  constexpr int kRounds = 2000;
  std::vector<std::string> failures;
  std::mutex failuresLock;
  auto worker = [&](TErrorCode code, const std::string& table) {
    for (int i = 0; i < kRounds; ++i) {
      const EKuraEngineError e = Caught(code, {.TableName = table + std::to_string(i)});
      if (e.ErrorCode != code || e.ErrorTableName != table + std::to_string(i) ||
          std::string(e.what()).find("'" + table + std::to_string(i) + "'") == std::string::npos) {
        std::lock_guard guard(failuresLock);
        failures.push_back(e.what());
      }
    }
  };
  std::thread a(worker, KURA_EOF, "left");
  std::thread b(worker, KURA_BOF, "right");
  a.join();
  b.join();
  EXPECT_TRUE(failures.empty()) << failures.front();
}

}  // namespace
}  // namespace kura
