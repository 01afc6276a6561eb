#pragma once

// Checks that a statement raises a given engine error:
//
//   EXPECT_ENGINE_ERROR(KURA_KEYVIOL, cursor->AppendRecord(buffer));
//   ASSERT_ENGINE_ERROR(KURA_HEADERCORRUPT, table.Open());
//
// On failure the message says what was raised instead (another code with its message,
// another exception, or nothing). EngineErrorOf gives the error itself to tests that
// also check its message or names.

#include <exception>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "kura/base/engine_error.h"

namespace testing_support {

// The engine error `action` raises, or nothing when it returns normally. Any other
// exception passes through.
inline std::optional<kura::EKuraEngineError> EngineErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const kura::EKuraEngineError& error) {
    return error;
  }
  return std::nullopt;
}

// The code `action` raises, 0 when it raises nothing.
inline kura::TErrorCode EngineErrorCodeOf(const std::function<void()>& action) {
  const std::optional<kura::EKuraEngineError> error = EngineErrorOf(action);
  return error ? error->ErrorCode : kura::KURA_NONE;
}

inline ::testing::AssertionResult RaisesEngineError(const char* statementText, kura::TErrorCode expected,
                                                    const std::function<void()>& action) {
  try {
    action();
  } catch (const kura::EKuraEngineError& error) {
    if (error.ErrorCode == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << statementText << " raised engine error " << error.ErrorCode << " ("
                                         << error.what() << "), expected " << expected;
  } catch (const std::exception& other) {
    return ::testing::AssertionFailure() << statementText << " raised a non-engine exception (" << other.what()
                                         << "), expected engine error " << expected;
  }
  return ::testing::AssertionFailure() << statementText << " raised nothing, expected engine error " << expected;
}

}  // namespace testing_support

#define EXPECT_ENGINE_ERROR(code, statement) \
  EXPECT_TRUE(::testing_support::RaisesEngineError(#statement, (code), [&] { statement; }))
#define ASSERT_ENGINE_ERROR(code, statement) \
  ASSERT_TRUE(::testing_support::RaisesEngineError(#statement, (code), [&] { statement; }))
