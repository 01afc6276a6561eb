#include "kura/storage/number_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "kura/storage/record.h"

namespace kura {
namespace {

// Random inserts and erases against std::map, over key sets that collide on purpose:
// dense numbers, even numbers only (the page numbers of one of two interleaved indexes)
// and a stride of 64; every key stays findable across growth and backward shifts.
TEST(NumberMap, AgreesWithAnOrderedMapUnderRandomInsertsAndErases) {
  struct TCase {
    const char* Name;
    int32_t Stride;
  } const cases[] = {{"dense", 1}, {"even", 2}, {"stride 64", 64}};
  for (const TCase& c : cases) {
    TNumberMap<int> map;
    std::map<int32_t, int*> expected;
    std::vector<int> values(600);
    std::mt19937 random(7);
    for (int step = 0; step < 20000; ++step) {
      const int32_t key = (static_cast<int32_t>(random() % 600) + 1) * c.Stride;
      int* value = &values[static_cast<size_t>(key / c.Stride - 1)];
      if (random() % 3 != 0) {
        if (!expected.count(key)) {
          map.Insert(key, value);
          expected[key] = value;
        }
      } else {
        map.Erase(key);
        expected.erase(key);
      }
      if (step % 997 == 0 || step == 19999) {
        ASSERT_EQ(map.Size(), expected.size()) << c.Name;
        for (int32_t k = c.Stride; k <= 600 * c.Stride; k += c.Stride) {
          const auto it = expected.find(k);
          ASSERT_EQ(map.Find(k), it == expected.end() ? nullptr : it->second) << c.Name << " key " << k;
        }
        size_t visited = 0;
        map.ForEach([&](int32_t k, int* v) {
          ++visited;
          EXPECT_EQ(expected.at(k), v) << c.Name;
        });
        EXPECT_EQ(visited, expected.size()) << c.Name;
      }
    }
    map.Clear();
    EXPECT_EQ(map.Size(), 0u);
    EXPECT_EQ(map.Find(c.Stride), nullptr);
    map.Insert(c.Stride, &values[0]);
    EXPECT_EQ(map.Find(c.Stride), &values[0]);
  }
}

// A cache dropping its oldest entries while new ones arrive: consecutive keys in a
// sliding window, so erased slots sit inside long runs and must keep them searchable.
TEST(NumberMap, SlidingWindowOfConsecutiveKeysStaysFindable) {
  constexpr int32_t kWindow = 300;
  TNumberMap<int> map;
  std::vector<int> values(5000);
  for (int32_t key = 1; key <= 5000; ++key) {
    map.Insert(key, &values[static_cast<size_t>(key - 1)]);
    if (key > kWindow) map.Erase(key - kWindow);
    if (key % 487 == 0) {
      ASSERT_EQ(map.Size(), static_cast<size_t>(std::min(key, kWindow)));
      for (int32_t k = 1; k <= key; ++k) {
        const bool inWindow = k > key - kWindow;
        ASSERT_EQ(map.Find(k), inWindow ? &values[static_cast<size_t>(k - 1)] : nullptr) << "key " << k;
      }
    }
  }
  // Erasing from the newest end empties the table down to nothing.
  for (int32_t key = 5000; key > 5000 - kWindow; --key) map.Erase(key);
  EXPECT_EQ(map.Size(), 0u);
  EXPECT_EQ(map.Find(4999), nullptr);
}

TEST(NumberMap, ErasingAMissingKeyChangesNothing) {
  TNumberMap<int> map;
  int a = 0, b = 0;
  map.Erase(5);
  map.Insert(1, &a);
  map.Insert(17, &b);
  map.Erase(5);
  EXPECT_EQ(map.Size(), 2u);
  EXPECT_EQ(map.Find(1), &a);
  EXPECT_EQ(map.Find(17), &b);
}

// The record cache keeps its list and its map in step through removals (which move the
// last record into the gap) and renumbering.
TEST(RecordCache, RemoveAndRenumberKeepEveryRecordFindable) {
  TRecordCache cache;
  TRecordStack stack;
  for (int32_t n = 1; n <= 10; ++n) cache.Add(stack.Pop(16, n));
  TRecord* three = cache.Find(3);
  ASSERT_NE(three, nullptr);
  std::unique_ptr<TRecord> taken = cache.Remove(three);
  EXPECT_EQ(taken.get(), three);
  EXPECT_FALSE(cache.Contains(3));
  TRecord* ten = cache.Find(10);
  cache.Renumber(ten, 30);
  EXPECT_FALSE(cache.Contains(10));
  EXPECT_EQ(cache.Find(30), ten);
  EXPECT_EQ(ten->RecNo, 30);
  ASSERT_EQ(cache.Size(), 9u);
  for (const auto& record : cache.Records()) {
    EXPECT_EQ(cache.Find(record->RecNo), record.get());
    EXPECT_EQ(cache.Records()[record->CacheIndex].get(), record.get());
  }
  cache.Clear(&stack);
  EXPECT_EQ(cache.Size(), 0u);
  EXPECT_EQ(cache.Find(1), nullptr);
  EXPECT_EQ(stack.Count(), 9u);
}

}  // namespace
}  // namespace kura
