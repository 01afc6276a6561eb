#include "kura/base/scope_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace kura {
namespace {

TEST(ScopeGuardTest, ExitRunsOnReturnAndOnExceptionUnlessDismissed) {
  int runs = 0;
  { auto g = OnScopeExit([&] { ++runs; }); }
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(
      {
        auto g = OnScopeExit([&] { ++runs; });
        throw std::runtime_error("x");
      },
      std::runtime_error);
  EXPECT_EQ(runs, 2);
  {
    auto g = OnScopeExit([&] { ++runs; });
    g.Dismiss();
  }
  EXPECT_EQ(runs, 2);
}

TEST(ScopeGuardTest, FailRunsOnlyWhenLeftByAnException) {
  int runs = 0;
  { auto g = OnScopeFail([&] { ++runs; }); }
  EXPECT_EQ(runs, 0);
  EXPECT_THROW(
      {
        auto g = OnScopeFail([&] { ++runs; });
        throw std::runtime_error("x");
      },
      std::runtime_error);
  EXPECT_EQ(runs, 1);
}

TEST(ScopeGuardTest, FailInsideCatchHandlerSeesOnlyItsOwnScope) {
  // A guard made while an earlier exception is being handled must not fire on a normal
  // exit: it compares against the count at its own construction.
  int runs = 0;
  try {
    throw std::runtime_error("outer");
  } catch (const std::runtime_error&) {
    auto g = OnScopeFail([&] { ++runs; });
  }
  EXPECT_EQ(runs, 0);
}

TEST(ScopeGuardTest, TheFirstErrorWinsWhenTheUndoStepFails) {
  std::string seen;
  try {
    auto g = OnScopeFail([] { throw std::logic_error("undo"); });
    throw std::runtime_error("first");
  } catch (const std::runtime_error& e) {
    seen = e.what();
  }
  EXPECT_EQ(seen, "first");
}

TEST(ScopeGuardTest, ExitActionErrorOnTheNormalPathReachesTheCaller) {
  EXPECT_THROW({ auto g = OnScopeExit([] { throw std::logic_error("close"); }); }, std::logic_error);
}

TEST(ScopeGuardTest, AttemptTriesEveryStepAndKeepsTheFirstFailure) {
  std::exception_ptr failure;
  int runs = 0;
  Attempt(failure, [&] { ++runs; });
  EXPECT_FALSE(failure);
  Attempt(failure, [&] {
    ++runs;
    throw std::runtime_error("first");
  });
  Attempt(failure, [&] {
    ++runs;
    throw std::runtime_error("second");
  });
  AttemptQuietly([&] {
    ++runs;
    throw std::runtime_error("quiet");
  });
  EXPECT_EQ(runs, 4);
  ASSERT_TRUE(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "first");
  }
}

}  // namespace
}  // namespace kura
