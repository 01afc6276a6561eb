#include "kura/base/records_bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "kura/base/engine_error.h"
#include "testing/engine_error_expect.h"

namespace kura {
namespace {

// The plain model the bitmap is checked against: one bool per record 1..rounded count,
// walked record by record and restricted to 1..n.
struct TModel {
  int32_t N = 0;
  std::vector<bool> Bits;  // index r, 0 unused

  bool InSet(int32_t r) const { return r >= 1 && r <= N && Bits[static_cast<size_t>(r)]; }

  int32_t CountSetBefore(int32_t r) const {
    int32_t count = 0;
    for (int32_t i = 1; i < r && i <= N; ++i) count += InSet(i) ? 1 : 0;
    return count;
  }
  int32_t NextSet(int32_t after) const {
    for (int32_t r = std::max(after, 0) + 1; r <= N; ++r)
      if (InSet(r)) return r;
    return 0;
  }
  int32_t PriorSet(int32_t before) const {
    for (int32_t r = std::min(before - 1, N); r >= 1; --r)
      if (InSet(r)) return r;
    return 0;
  }
  int32_t NthSet(int32_t n) const {
    for (int32_t r = 1, seen = 0; r <= N; ++r)
      if (InSet(r) && ++seen == n) return r;
    return 0;
  }
  bool FindNext(int32_t& position, int32_t count, int32_t& counter) const {
    if (count < 1) return false;
    int32_t found = 0;
    for (int32_t r = std::max(position, 0) + 1; r <= N; ++r) {
      if (!InSet(r)) continue;
      position = r;
      ++counter;
      if (++found == count) return true;
    }
    return false;
  }
  bool FindPrior(int32_t& position, int32_t count, int32_t& counter) const {
    if (count < 1) return false;
    int32_t found = 0;
    for (int32_t r = std::min(position - 1, N); r >= 1; --r) {
      if (!InSet(r)) continue;
      position = r;
      --counter;
      if (++found == count) return true;
    }
    return false;
  }
};

// Word patterns the random bitmaps are made of, so that whole words of ones and zeros
// occur next to mixed and sparse ones.
enum class EWord { Zeros, Ones, Random, Sparse };

// Fills a bitmap of n records and its model word by word, padding bits included (the
// model keeps them too but never reports them).
void MakeRandom(int32_t n, std::mt19937& random, TRecordsBitmap& bitmap, TModel& model) {
  bitmap.SetRecordCount(n);
  bitmap.ClearAll();
  model.N = n;
  model.Bits.assign(static_cast<size_t>(bitmap.RoundedCount()) + 1, false);
  for (int32_t w = 0; w < bitmap.WordCount(); ++w) {
    const auto kind = static_cast<EWord>(random() % 4);
    for (int32_t r = w * 32 + 1; r <= w * 32 + 32; ++r) {
      const bool set = kind == EWord::Ones || (kind == EWord::Random && random() % 2 == 0) ||
                       (kind == EWord::Sparse && random() % 16 == 0);
      if (!set) continue;
      bitmap.Include(r);
      model.Bits[static_cast<size_t>(r)] = true;
    }
  }
}

// Every query over every start position and a spread of counts.
void ExpectMatchesModel(const TRecordsBitmap& bitmap, const TModel& model) {
  const int32_t n = model.N;
  const int32_t total = model.CountSetBefore(n + 1);
  ASSERT_EQ(bitmap.CountSet(), total);
  for (int32_t r = -1; r <= bitmap.RoundedCount() + 1; ++r)
    ASSERT_EQ(bitmap.IsSet(r), r >= 1 && r <= bitmap.RoundedCount() && model.Bits[static_cast<size_t>(r)]) << r;
  for (int32_t k = -1; k <= total + 2; ++k) ASSERT_EQ(bitmap.NthSet(k), model.NthSet(k)) << k;
  const std::vector<int32_t> counts = {0, 1, 2, 3, 31, 32, 33, 64, 65, total - 1, total, total + 1};
  for (int32_t p = -2; p <= n + 3; ++p) {
    ASSERT_EQ(bitmap.CountSetBefore(p), model.CountSetBefore(p)) << p;
    ASSERT_EQ(bitmap.NextSet(p), model.NextSet(p)) << p;
    ASSERT_EQ(bitmap.PriorSet(p), model.PriorSet(p)) << p;
    for (int32_t count : counts) {
      int32_t position = p, counter = 100;
      int32_t expectedPosition = p, expectedCounter = 100;
      ASSERT_EQ(bitmap.FindNext(position, count, counter), model.FindNext(expectedPosition, count, expectedCounter))
          << "next from " << p << " count " << count;
      ASSERT_EQ(position, expectedPosition) << "next from " << p << " count " << count;
      ASSERT_EQ(counter, expectedCounter) << "next from " << p << " count " << count;
      position = p, counter = 100, expectedPosition = p, expectedCounter = 100;
      ASSERT_EQ(bitmap.FindPrior(position, count, counter), model.FindPrior(expectedPosition, count, expectedCounter))
          << "prior from " << p << " count " << count;
      ASSERT_EQ(position, expectedPosition) << "prior from " << p << " count " << count;
      ASSERT_EQ(counter, expectedCounter) << "prior from " << p << " count " << count;
    }
  }
}

constexpr int32_t kSizes[] = {0, 1, 31, 32, 33, 63, 64, 65, 96, 97, 300, 1025};

TEST(RecordsBitmapTest, WalksAndCountsMatchModelOverRandomBitmaps) {
  std::mt19937 random(20240611);
  for (int32_t n : kSizes) {
    for (int round = 0; round < 4; ++round) {
      SCOPED_TRACE(testing::Message() << "n " << n << " round " << round);
      TRecordsBitmap bitmap;
      TModel model;
      MakeRandom(n, random, bitmap, model);
      ExpectMatchesModel(bitmap, model);
    }
  }
}

TEST(RecordsBitmapTest, WalksAndCountsMatchModelOnAllOnesAndAllZeros) {
  for (int32_t n : kSizes) {
    for (bool ones : {false, true}) {
      SCOPED_TRACE(testing::Message() << "n " << n << " ones " << ones);
      TRecordsBitmap bitmap;
      bitmap.SetRecordCount(n);
      ones ? bitmap.SetAll() : bitmap.ClearAll();
      TModel model{n, std::vector<bool>(static_cast<size_t>(bitmap.RoundedCount()) + 1, ones)};
      ExpectMatchesModel(bitmap, model);
      EXPECT_EQ(bitmap.CountSet(), ones ? n : 0);
    }
  }
}

TEST(RecordsBitmapTest, SetOperationsMatchModel) {
  std::mt19937 random(7);
  for (int32_t n : kSizes) {
    SCOPED_TRACE(testing::Message() << "n " << n);
    TRecordsBitmap a, b;
    TModel ma, mb;
    MakeRandom(n, random, a, ma);
    MakeRandom(n, random, b, mb);
    TRecordsBitmap both, either, neither;
    both.Assign(a);
    both.IntersectWith(b);
    either.Assign(a);
    either.UnionWith(b);
    neither.Assign(a);
    neither.Complement();
    TModel mBoth = ma, mEither = ma, mNeither = ma;
    for (size_t r = 1; r < ma.Bits.size(); ++r) {
      mBoth.Bits[r] = ma.Bits[r] && mb.Bits[r];
      mEither.Bits[r] = ma.Bits[r] || mb.Bits[r];
      mNeither.Bits[r] = !ma.Bits[r];
    }
    ExpectMatchesModel(both, mBoth);
    ExpectMatchesModel(either, mEither);
    ExpectMatchesModel(neither, mNeither);
    EXPECT_EQ(neither.CountSet(), n - a.CountSet());
  }
}

TEST(RecordsBitmapTest, SetRecordCountRoundsToWords) {
  struct TCase {
    int32_t N, Rounded, Words, Allocated;
  };
  const TCase cases[] = {{0, 0, 0, 0},     {1, 32, 1, 256},      {31, 32, 1, 256},     {32, 32, 1, 256},
                         {33, 64, 2, 256}, {64, 64, 2, 256},     {65, 96, 3, 256},     {2048, 2048, 64, 256},
                         {2049, 2080, 65, 512}, {-5, 0, 0, 0}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.N);
    TRecordsBitmap bitmap;
    bitmap.SetRecordCount(c.N);
    EXPECT_EQ(bitmap.RecordCount(), std::max(c.N, 0));
    EXPECT_EQ(bitmap.RoundedCount(), c.Rounded);
    EXPECT_EQ(bitmap.WordCount(), c.Words);
    EXPECT_EQ(bitmap.AllocatedBytes(), c.Allocated);
  }
}

TEST(RecordsBitmapTest, SameCountChangesNothingAndStorageNeverShrinks) {
  TRecordsBitmap bitmap;
  bitmap.SetRecordCount(3000);
  bitmap.SetAll();
  bitmap.SetRecordCount(3000);
  EXPECT_EQ(bitmap.CountSet(), 3000);
  EXPECT_EQ(bitmap.AllocatedBytes(), 512);
  bitmap.SetRecordCount(10);
  EXPECT_EQ(bitmap.AllocatedBytes(), 512);
  EXPECT_EQ(bitmap.WordCount(), 1);
  EXPECT_EQ(bitmap.CountSet(), 10);
}

TEST(RecordsBitmapTest, SetAllSetsPaddingButCountsOnlyRecords) {
  TRecordsBitmap bitmap;
  bitmap.SetRecordCount(33);
  bitmap.SetAll();
  EXPECT_EQ(bitmap.CountSet(), 33);
  for (int32_t r = 34; r <= 64; ++r) EXPECT_TRUE(bitmap.IsSet(r)) << r;
  EXPECT_FALSE(bitmap.IsSet(65));
  EXPECT_EQ(bitmap.NextSet(33), 0);
  EXPECT_EQ(bitmap.NthSet(34), 0);
  EXPECT_EQ(bitmap.PriorSet(65), 33);
  EXPECT_EQ(bitmap.CountSetBefore(100), 33);
}

TEST(RecordsBitmapTest, RecordsThatJoinOnGrowthStartExcluded) {
  TRecordsBitmap bitmap;
  bitmap.SetRecordCount(33);
  bitmap.SetAll();  // padding 34..64 set
  bitmap.SetRecordCount(40);
  EXPECT_EQ(bitmap.CountSet(), 33);
  EXPECT_FALSE(bitmap.IsSet(34));
  EXPECT_FALSE(bitmap.IsSet(40));

  bitmap.SetRecordCount(100);
  bitmap.Include(90);
  bitmap.SetRecordCount(50);  // shrinks: 90 leaves the set
  bitmap.SetRecordCount(100);  // and does not come back
  EXPECT_FALSE(bitmap.IsSet(90));
  EXPECT_EQ(bitmap.CountSet(), 33);
}

TEST(RecordsBitmapTest, RecordCountAboveLimitRaisesAndLeavesBitmapUnchanged) {
  TRecordsBitmap bitmap;
  bitmap.SetRecordCount(40);
  ASSERT_ENGINE_ERROR(KURA_TABLEFULL, bitmap.SetRecordCount(INT32_MAX));
  EXPECT_EQ(bitmap.RecordCount(), 40);
  EXPECT_EQ(bitmap.RoundedCount(), 64);
}

TEST(RecordsBitmapTest, OutOfRangeRecordsAreIgnored) {
  for (int32_t n : {0, 1, 31, 32, 33}) {
    SCOPED_TRACE(n);
    TRecordsBitmap bitmap;
    bitmap.SetRecordCount(n);
    for (int32_t r : {INT32_MIN, -1, 0, bitmap.RoundedCount() + 1, bitmap.RoundedCount() + 32, INT32_MAX}) {
      bitmap.Include(r);
      EXPECT_FALSE(bitmap.IsSet(r));
      bitmap.Exclude(r);
    }
    EXPECT_EQ(bitmap.CountSet(), 0);
    EXPECT_EQ(bitmap.NextSet(INT32_MIN), 0);
    EXPECT_EQ(bitmap.PriorSet(INT32_MAX), 0);
    EXPECT_EQ(bitmap.NthSet(INT32_MAX), 0);
    EXPECT_EQ(bitmap.CountSetBefore(INT32_MAX), 0);
    int32_t position = INT32_MAX, counter = 0;
    EXPECT_FALSE(bitmap.FindNext(position, INT32_MAX, counter));
    position = INT32_MIN;
    EXPECT_FALSE(bitmap.FindPrior(position, 1, counter));
    EXPECT_EQ(counter, 0);
  }
}

TEST(RecordsBitmapTest, CountSetBeforeFirstRecordsIsZero) {
  TRecordsBitmap bitmap;
  bitmap.SetRecordCount(10);
  bitmap.SetAll();
  EXPECT_EQ(bitmap.CountSetBefore(1), 0);
  EXPECT_EQ(bitmap.CountSetBefore(0), 0);
  EXPECT_EQ(bitmap.CountSetBefore(2), 1);
}

TEST(RecordsBitmapTest, FindFailsAtOnceAtTheEnds) {
  TRecordsBitmap bitmap;
  bitmap.SetRecordCount(33);
  bitmap.SetAll();
  int32_t position = 33, counter = 5;
  EXPECT_FALSE(bitmap.FindNext(position, 1, counter));
  EXPECT_EQ(position, 33);
  EXPECT_EQ(counter, 5);
  position = 1;
  EXPECT_FALSE(bitmap.FindPrior(position, 1, counter));
  EXPECT_EQ(position, 1);
  EXPECT_EQ(counter, 5);
}

// A whole word of ones that straddles the record count must not count its padding: here
// records 33..40 are in the set and 41..64 are padding.
TEST(RecordsBitmapTest, FindNextDoesNotCountPaddingOfAFullLastWord) {
  TRecordsBitmap bitmap;
  bitmap.SetRecordCount(40);
  bitmap.SetAll();
  for (int32_t r = 2; r <= 32; ++r) bitmap.Exclude(r);
  int32_t position = 0, counter = 0;
  EXPECT_FALSE(bitmap.FindNext(position, 100, counter));
  EXPECT_EQ(counter, 9);
  EXPECT_EQ(position, 40);
  position = 0, counter = 0;
  EXPECT_TRUE(bitmap.FindNext(position, 9, counter));
  EXPECT_EQ(position, 40);
}

TEST(RecordsBitmapTest, OperationsBetweenDifferentSizesTouchOnlyCommonWords) {
  struct TCase {
    int32_t ThisCount, OtherCount;
    int32_t IntersectCount, UnionCount;
  };
  // Both start all ones; other's padding is set too.
  const TCase cases[] = {
      {100, 33, 64, 100}, {33, 100, 33, 33}, {0, 65, 0, 0}, {65, 0, 0, 65}, {3000, 2049, 2080, 3000}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ThisCount << " with " << c.OtherCount);
    TRecordsBitmap other;
    other.SetRecordCount(c.OtherCount);
    other.SetAll();
    TRecordsBitmap bitmap;
    bitmap.SetRecordCount(c.ThisCount);
    bitmap.SetAll();
    bitmap.IntersectWith(other);
    EXPECT_EQ(bitmap.CountSet(), c.IntersectCount);
    bitmap.SetAll();
    bitmap.UnionWith(other);
    EXPECT_EQ(bitmap.CountSet(), c.UnionCount);
    bitmap.ClearAll();
    bitmap.UnionWith(other);
    EXPECT_EQ(bitmap.CountSet(), std::min(c.IntersectCount, c.ThisCount));
    EXPECT_EQ(bitmap.RecordCount(), c.ThisCount);
  }
}

TEST(RecordsBitmapTest, AssignCopiesCountsAndBitsAndClearsTheRest) {
  TRecordsBitmap big;
  big.SetRecordCount(5000);
  big.SetAll();
  TRecordsBitmap small;
  small.SetRecordCount(70);
  small.Include(1);
  small.Include(70);
  small.Include(96);  // padding
  big.Assign(small);
  EXPECT_EQ(big.RecordCount(), 70);
  EXPECT_EQ(big.RoundedCount(), 96);
  EXPECT_EQ(big.WordCount(), 3);
  EXPECT_EQ(big.AllocatedBytes(), 768);  // never shrinks
  EXPECT_EQ(big.CountSet(), 2);
  EXPECT_TRUE(big.IsSet(96));
  big.SetRecordCount(5000);
  EXPECT_EQ(big.CountSet(), 2);
  TRecordsBitmap empty;
  empty.Assign(small);
  EXPECT_EQ(empty.AllocatedBytes(), 256);
  EXPECT_EQ(empty.NthSet(2), 70);
}

TEST(RecordsBitmapStackTest, AcquireOnEmptyPoolGivesNewBitmapWithoutStorage) {
  TRecordsBitmapStack stack;
  std::unique_ptr<TRecordsBitmap> bitmap = stack.Acquire();
  ASSERT_NE(bitmap, nullptr);
  EXPECT_EQ(bitmap->AllocatedBytes(), 0);
  EXPECT_EQ(bitmap->RecordCount(), 0);
}

TEST(RecordsBitmapStackTest, AcquireReturnsMostRecentlyReleasedCleared) {
  TRecordsBitmapStack stack;
  auto first = stack.Acquire();
  auto second = stack.Acquire();
  second->SetRecordCount(3000);
  second->SetAll();
  TRecordsBitmap* const secondAddress = second.get();
  stack.Release(first);
  stack.Release(second);
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(stack.Count(), 2u);
  auto again = stack.Acquire();
  EXPECT_EQ(again.get(), secondAddress);
  EXPECT_EQ(again->AllocatedBytes(), 512);  // storage kept
  EXPECT_EQ(again->RecordCount(), 0);
  again->SetRecordCount(3000);
  EXPECT_EQ(again->CountSet(), 0);
  EXPECT_EQ(stack.Count(), 1u);
  std::unique_ptr<TRecordsBitmap> nothing;
  stack.Release(nothing);
  EXPECT_EQ(stack.Count(), 1u);
}

TEST(RecordsBitmapStackTest, ReleaseBeyondCapacityDestroysTheBitmap) {
  TRecordsBitmapStack stack;
  std::vector<std::unique_ptr<TRecordsBitmap>> taken;
  for (size_t i = 0; i <= TRecordsBitmapStack::kCapacity; ++i) taken.push_back(stack.Acquire());
  for (auto& bitmap : taken) stack.Release(bitmap);
  EXPECT_EQ(stack.Count(), TRecordsBitmapStack::kCapacity);
  EXPECT_EQ(taken.back(), nullptr);
}

TEST(RecordsBitmapStackTest, ThreadsShareThePool) {
  TRecordsBitmapStack& stack = RecordsBitmapStack();
  EXPECT_EQ(&stack, &RecordsBitmapStack());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&stack, t] {
      for (int i = 0; i < 500; ++i) {
        auto bitmap = stack.Acquire();
        bitmap->SetRecordCount(64 + t);
        bitmap->Include(64 + t);
        if (bitmap->CountSet() != 1) std::abort();
        stack.Release(bitmap);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(stack.Count(), TRecordsBitmapStack::kCapacity);
  EXPECT_GE(stack.Count(), 1u);
}

}  // namespace
}  // namespace kura
