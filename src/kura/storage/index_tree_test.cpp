// Randomized model test of the index trees: keys built from records are inserted and
// deleted in random order, in key order and in mixes of both (fixed seed) and after each
// phase the tree is compared with a std::multiset of the same keys. Then the page fill
// that each insert order leaves, and the root splits.

#include "kura/storage/index_tree.h"
#include "kura/storage/index_walker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kura/storage/index_test_support.h"
#include "testing/definition_builders.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::Field;
using index_test::LayOut;
using index_test::NewRecord;
using TBytes = std::vector<uint8_t>;

struct TTreeCase {
  const char* Name;
  std::vector<uint16_t> Fields;  // 1 Integer, 2 String[20], 3 Float, 4 String[250]
  bool Unique;
  bool Descending;
  bool NoCounts;
  int KeyCount;
  int32_t BufferBytes;
};

class TTreeModel {
public:
  TTreeModel(const TTreeCase& c, TIndexCompression compression, const std::filesystem::path& dir)
      : FCase(c) {
    FFields = {Field("I", TFieldType::Integer), Field("S", TFieldType::String, 20), Field("F", TFieldType::Float),
               Field("L", TFieldType::String, 250)};
    FRecordSize = LayOut(FFields);
    FOwner.BufferBytes = c.BufferBytes;
    FPath = (dir / "T.IDX").string();
    FFile = std::make_unique<TIndexFile>(FPath, false, &FOwner);
    FFile->SetTableInfo(FFields, 0, 0, false);
    FFile->CreateIndexFile();
    TIndexDefinition def;
    def.Name = "Idx";
    def.Fields = c.Fields;
    def.Unique = c.Unique;
    def.Descending = c.Descending;
    def.NoCounts = c.NoCounts;
    def.Compression = compression;
    FIndex = FFile->AddSecondaryIndex(def);
    FBuilder = std::make_unique<TIndexKeyBuilder>(FFile->Descriptor(FIndex), FFields, 0, nullptr);
  }

  // The key of record `id` with values derived from v (many equal values when not unique).
  TBytes KeyFor(int32_t id, int32_t v) const {
    TBytes record = NewRecord(FRecordSize, id);
    index_test::SetInteger(record, FFields[0], v);
    index_test::SetString(record, FFields[1], "w" + std::to_string(v % 977));
    index_test::SetFloat(record, FFields[2], (v % 2 ? -1.0 : 1.0) * (v % 1013) / 8.0);
    index_test::SetString(record, FFields[3], std::string(200, 'x') + std::to_string(v));
    if (v % 37 == 0) record[FFields[1].Offset] = 0;  // some NULL strings
    TBytes key(static_cast<size_t>(FBuilder->KeySize()));
    FBuilder->BuildKey(record.data(), key.data());
    return key;
  }

  void Reopen() {
    FFile->FlushPages();
    FFile->WriteHeader();
    FFile->CloseIndexFile();
    FFile = std::make_unique<TIndexFile>(FPath, false, &FOwner);
    FFile->SetTableInfo(FFields, 0, 0, false);
    FFile->OpenIndexFile();
    FFile->CheckHeader();
  }

  TIndexFile& File() { return *FFile; }
  int Index() const { return FIndex; }

private:
  TTreeCase FCase;
  std::vector<TFieldDefinition> FFields;
  int FRecordSize = 0;
  index_test::TIndexTestOwner FOwner;
  std::string FPath;
  std::unique_ptr<TIndexFile> FFile;
  int FIndex = 0;
  std::unique_ptr<TIndexKeyBuilder> FBuilder;
};

struct TComparerLess {
  const TIndexKeyComparer* Comparer;
  bool operator()(const TBytes& a, const TBytes& b) const { return Comparer->Compare(a.data(), b.data()) < 0; }
};

void CheckAgainstModel(TTreeModel& model, const std::multiset<TBytes, TComparerLess>& expected, std::mt19937& random,
                       const std::string& phase) {
  SCOPED_TRACE(phase);
  TIndexFile& file = model.File();
  const TIndexCheckResult check = CheckIndexTree(file, model.Index());
  ASSERT_TRUE(check.Ok) << check.Problem;
  ASSERT_EQ(check.KeyCount, static_cast<int64_t>(expected.size()));
  TIndexTree tree(file, model.Index());
  EXPECT_EQ(tree.KeyCount(), static_cast<int64_t>(expected.size()));
  if (expected.empty()) {
    EXPECT_EQ(file.RootPage(model.Index()), 0);
    return;
  }
  // In-order walk forward and backward.
  const std::vector<TBytes> keys(expected.begin(), expected.end());
  TIndexWalker walker(file, model.Index());
  size_t i = 0;
  for (bool ok = walker.First(); ok; ok = walker.Next(), ++i) {
    ASSERT_LT(i, keys.size());
    ASSERT_EQ(walker.Key(), keys[i]) << "entry " << i;
    ASSERT_EQ(walker.Ordinal(), static_cast<int64_t>(i));
  }
  EXPECT_EQ(i, keys.size());
  i = keys.size();
  for (bool ok = walker.Last(); ok; ok = walker.Prev()) {
    ASSERT_GT(i, 0u);
    ASSERT_EQ(walker.Key(), keys[--i]);
  }
  EXPECT_EQ(i, 0u);
  // Positioning by ordinal and by key.
  std::uniform_int_distribution<size_t> pick(0, keys.size() - 1);
  for (int n = 0; n < 40; ++n) {
    const size_t at = pick(random);
    ASSERT_TRUE(walker.SeekOrdinal(static_cast<int64_t>(at)));
    ASSERT_EQ(walker.Key(), keys[at]) << "ordinal " << at;
    ASSERT_TRUE(walker.SeekFirstNotBelow(keys[at].data()));
    ASSERT_EQ(walker.Key(), keys[at]);
    if (!file.PageFormat(model.Index()).NoCounts) {
      ASSERT_EQ(walker.Ordinal(), static_cast<int64_t>(at));
    }
    ASSERT_TRUE(walker.SeekLastNotAbove(keys[at].data()));
    ASSERT_EQ(walker.Key(), keys[at]);
  }
  EXPECT_FALSE(walker.SeekOrdinal(static_cast<int64_t>(keys.size())));
}

// The order of the first inserts of a model run.
enum class TInsertOrder {
  Random,
  // Every key in the index's key order (appends), and the deletes of two thirds as well.
  Ascending,
  // The lower half in reverse key order (every page split in halves, half-full pages as
  // the older halving-only splits left them), then the upper half in key order with
  // every fourth key held back, then the held-back keys in random order (inserts into
  // full pages).
  Mixed,
};

void RunModel(const TTreeCase& c, TIndexCompression compression, TInsertOrder order) {
  SCOPED_TRACE(std::string(c.Name) + " compression " + std::to_string(static_cast<int>(compression)) + " order " +
               std::to_string(static_cast<int>(order)));
  testing_support::TTempDir dir;
  TTreeModel model(c, compression, dir.Path());
  std::mt19937 random(20261210);
  TIndexKeyComparer comparer = model.File().Comparer(model.Index());
  std::multiset<TBytes, TComparerLess> expected(TComparerLess{&comparer});
  // Values repeat when the index is not unique: equal field values are told apart by
  // the unique id.
  std::vector<std::pair<int32_t, int32_t>> records;
  for (int32_t id = 1; id <= c.KeyCount; ++id) records.push_back({id, c.Unique ? id * 3 : id % (c.KeyCount / 7 + 1)});
  std::shuffle(records.begin(), records.end(), random);
  auto sortByKey = [&](auto from, auto to) {
    std::vector<std::pair<TBytes, std::pair<int32_t, int32_t>>> keyed;
    for (auto r = from; r != to; ++r) keyed.push_back({model.KeyFor(r->first, r->second), *r});
    std::sort(keyed.begin(), keyed.end(),
              [&](const auto& a, const auto& b) { return comparer.Compare(a.first.data(), b.first.data()) < 0; });
    for (const auto& k : keyed) *from++ = k.second;
  };

  auto insert = [&](size_t from, size_t to) {
    TIndexTree tree(model.File(), model.Index());
    for (size_t i = from; i < to; ++i) {
      const TBytes key = model.KeyFor(records[i].first, records[i].second);
      ASSERT_TRUE(tree.Insert(key.data(), records[i].first));
      expected.insert(key);
    }
  };
  auto erase = [&](size_t from, size_t to) {
    TIndexTree tree(model.File(), model.Index());
    for (size_t i = from; i < to; ++i) {
      const TBytes key = model.KeyFor(records[i].first, records[i].second);
      ASSERT_TRUE(tree.Delete(key.data()));
      expected.erase(expected.find(key));
    }
  };
  const size_t n = records.size();
  if (order == TInsertOrder::Random) {
    ASSERT_NO_FATAL_FAILURE(insert(0, n));
  } else if (order == TInsertOrder::Ascending) {
    sortByKey(records.begin(), records.end());
    ASSERT_NO_FATAL_FAILURE(insert(0, n));
  } else {
    sortByKey(records.begin(), records.end());
    const size_t half = n / 2;
    std::reverse(records.begin(), records.begin() + static_cast<long>(half));
    ASSERT_NO_FATAL_FAILURE(insert(0, half));
    ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(model, expected, random, "after the halving inserts"));
    model.Reopen();
    std::vector<std::pair<int32_t, int32_t>> appended, heldBack;
    for (size_t i = half; i < n; ++i) (i % 4 == 0 ? heldBack : appended).push_back(records[i]);
    std::copy(appended.begin(), appended.end(), records.begin() + static_cast<long>(half));
    std::copy(heldBack.begin(), heldBack.end(), records.begin() + static_cast<long>(half + appended.size()));
    const size_t held = half + appended.size();
    ASSERT_NO_FATAL_FAILURE(insert(half, held));
    ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(model, expected, random, "after the appends"));
    std::shuffle(records.begin() + static_cast<long>(held), records.end(), random);
    ASSERT_NO_FATAL_FAILURE(insert(held, n));
  }
  {
    TIndexTree tree(model.File(), model.Index());
    const TBytes again = model.KeyFor(records[0].first, records[0].second);
    EXPECT_FALSE(tree.Insert(again.data(), 1)) << "an equal key is refused";
    const TBytes absent = model.KeyFor(c.KeyCount + 5, 1);
    if (!c.Unique) {
      EXPECT_FALSE(tree.Delete(absent.data()));
    }
  }
  ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(model, expected, random, "after inserting all"));
  model.Reopen();
  ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(model, expected, random, "after reopening"));
  std::shuffle(records.begin(), records.end(), random);
  if (order == TInsertOrder::Ascending) sortByKey(records.begin(), records.end());
  ASSERT_NO_FATAL_FAILURE(erase(0, n * 2 / 3));
  ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(model, expected, random, "after deleting two thirds"));
  ASSERT_NO_FATAL_FAILURE(insert(0, n / 3));
  ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(model, expected, random, "after reinserting"));
  model.Reopen();
  std::shuffle(records.begin(), records.begin() + static_cast<long>(n / 3), random);
  std::shuffle(records.begin() + static_cast<long>(n * 2 / 3), records.end(), random);
  ASSERT_NO_FATAL_FAILURE(erase(0, n / 3));
  ASSERT_NO_FATAL_FAILURE(erase(n * 2 / 3, n));
  ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(model, expected, random, "after deleting all"));
  // The freed pages are reused before the file grows.
  const int32_t pagesBefore = model.File().Header().NextPageNo;
  ASSERT_NO_FATAL_FAILURE(insert(0, n / 4));
  EXPECT_EQ(model.File().Header().NextPageNo, pagesBefore);
  ASSERT_NO_FATAL_FAILURE(CheckAgainstModel(model, expected, random, "after refilling"));
}

const TTreeCase kCases[] = {
    {"unique integer", {1}, true, false, false, 24000, 1 << 20},
    {"non-unique string", {2}, false, false, false, 16000, 1 << 20},
    {"descending float and integer", {3, 1}, false, true, false, 10000, 1 << 20},
    {"long keys, deep tree, small cache", {4}, true, false, false, 1500, 16384},
    {"non-unique integer without counts", {1}, false, false, true, 6000, 1 << 20},
};

class IndexTreeModel : public ::testing::TestWithParam<TIndexCompression> {};

TEST_P(IndexTreeModel, MatchesMultisetModel) {
  for (const TTreeCase& c : kCases)
    for (const TInsertOrder order : {TInsertOrder::Random, TInsertOrder::Ascending, TInsertOrder::Mixed})
      ASSERT_NO_FATAL_FAILURE(RunModel(c, GetParam(), order));
}

INSTANTIATE_TEST_SUITE_P(Compressions, IndexTreeModel,
                         ::testing::Values(TIndexCompression::None, TIndexCompression::DupByte,
                                           TIndexCompression::TrailByte, TIndexCompression::Full));

TEST(IndexTree, RootSplitsAndCollapses) {
  // 4083 / (252 + 4) = 15 keys per leaf, 4083 / (252 + 8) = 15 entries per internal page:
  // the 16th key splits the root leaf. After the last key of the index (in the index's
  // key order) the full leaf stays full and the new one holds the new key; elsewhere the
  // leaf is split in halves.
  struct TCase {
    const char* Name;
    bool Descending;
    std::vector<int32_t> Values;  // in insert order
    int32_t LeftCount, RightCount;
  };
  std::vector<int32_t> up, down, lastFirst;
  for (int32_t v = 0; v < 16; ++v) up.push_back(v);
  down.assign(up.rbegin(), up.rend());
  lastFirst.assign(up.begin() + 1, up.end());
  lastFirst.push_back(0);
  const TCase cases[] = {
      {"append", false, up, 15, 1},
      {"insert before the first key", false, lastFirst, 8, 8},
      {"insert before the last key", false, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 14}, 8, 8},
      {"descending, append", true, down, 15, 1},
      {"descending, insert before the first key", true, up, 8, 8},
  };
  for (const TCase& tc : cases) {
    SCOPED_TRACE(tc.Name);
    testing_support::TTempDir dir;
    const TTreeCase c{"long", {4}, true, tc.Descending, false, 0, 1 << 20};
    TTreeModel model(c, TIndexCompression::None, dir.Path());
    TIndexTree tree(model.File(), model.Index());
    // Two digits: the string keys sort as the numbers.
    auto keyOf = [&](int32_t v) { return model.KeyFor(v + 1, v + 10); };
    for (size_t i = 0; i + 1 < tc.Values.size(); ++i)
      ASSERT_TRUE(tree.Insert(keyOf(tc.Values[i]).data(), tc.Values[i] + 1));
    TPage* root = model.File().GetPage(model.Index(), model.File().RootPage(model.Index()));
    EXPECT_EQ(root->Type, TPageType::RootLeaf);
    model.File().ReleasePage(root);
    ASSERT_TRUE(tree.Insert(keyOf(tc.Values.back()).data(), tc.Values.back() + 1));
    ASSERT_TRUE(CheckIndexTree(model.File(), model.Index()).Ok);
    root = model.File().GetPage(model.Index(), model.File().RootPage(model.Index()));
    EXPECT_EQ(root->Type, TPageType::RootInternal);
    ASSERT_EQ(root->Count(), 2);
    EXPECT_EQ(root->RecordCount(0), tc.LeftCount);
    EXPECT_EQ(root->RecordCount(1), tc.RightCount);
    model.File().ReleasePage(root);
    // Deleting until one leaf remains collapses the root into it.
    for (int32_t v = 15; v >= 6; --v) ASSERT_TRUE(tree.Delete(keyOf(v).data()));
    ASSERT_TRUE(CheckIndexTree(model.File(), model.Index()).Ok);
    root = model.File().GetPage(model.Index(), model.File().RootPage(model.Index()));
    EXPECT_EQ(root->Type, TPageType::RootLeaf);
    EXPECT_EQ(root->Count(), 6);
    EXPECT_EQ(root->PrevPage, 0);
    EXPECT_EQ(root->NextPage, 0);
    model.File().ReleasePage(root);
    for (int32_t v = 0; v < 6; ++v) ASSERT_TRUE(tree.Delete(keyOf(v).data()));
    EXPECT_EQ(model.File().RootPage(model.Index()), 0);
    EXPECT_TRUE(CheckIndexTree(model.File(), model.Index()).Ok);
  }
}

// Pages and entries of one level of a tree, top level first.
struct TLevelFill {
  int Pages = 0;
  int64_t Entries = 0;
  // Pages other than the last of the level that hold fewer entries than their capacity.
  int NotFull = 0;
};

std::vector<TLevelFill> LevelFill(TIndexFile& file, int index) {
  std::vector<TLevelFill> levels;
  int32_t first = file.RootPage(index);
  while (first != 0) {
    TLevelFill level;
    int32_t below = 0;
    for (int32_t pageNo = first; pageNo != 0;) {
      TPagePin page(file, file.GetPage(index, pageNo));
      if (pageNo == first && !page->IsLeaf()) below = page->Value(0);
      ++level.Pages;
      level.Entries += page->Count();
      if (page->NextPage != 0 && page->Count() < page->Capacity()) ++level.NotFull;
      pageNo = page->NextPage;
    }
    levels.push_back(level);
    first = below;
  }
  return levels;
}

TEST(IndexTree, PageFillFollowsInsertOrder) {
  // 20,000 keys, 4083 / (K + 4) per leaf: 453 integer keys or 15 long keys (four levels,
  // so that inner pages split as well). In the index's key order every page but the last
  // of each level is full and the leaves are the fewest possible, 45 or 1334. In random
  // order about 0.7 of a page is used; in reverse order (every split in halves, the keys
  // arrive at the front, as appends were split before) about half.
  constexpr int32_t kKeys = 20000;
  enum class TOrder { Ascending, Random, Reverse };
  struct TCase {
    const char* Name;
    bool Descending;
    TOrder Order;  // of the values; on a descending index Reverse is the index's key order
    bool Full;
    double MinLeafRatio, MaxLeafRatio;  // leaf pages against the fewest possible
  };
  const TCase cases[] = {
      {"ascending", false, TOrder::Ascending, true, 1.0, 1.0},
      {"descending index, values falling", true, TOrder::Reverse, true, 1.0, 1.0},
      {"random", false, TOrder::Random, false, 1.3, 1.6},
      {"reverse", false, TOrder::Reverse, false, 1.8, 2.1},
      {"descending index, values rising", true, TOrder::Ascending, false, 1.8, 2.1},
  };
  for (const bool longKeys : {false, true})
  for (const TCase& tc : cases) {
    SCOPED_TRACE(std::string(tc.Name) + (longKeys ? ", long keys" : ", integer keys"));
    testing_support::TTempDir dir;
    const TTreeCase c{"fill", {static_cast<uint16_t>(longKeys ? 4 : 1)}, true, tc.Descending, false, 0, 1 << 20};
    TTreeModel model(c, TIndexCompression::None, dir.Path());
    std::vector<int32_t> values;
    // Five digits: the string keys sort as the numbers.
    for (int32_t v = 10000; v < 10000 + kKeys; ++v) values.push_back(v);
    if (tc.Order == TOrder::Reverse) std::reverse(values.begin(), values.end());
    std::mt19937 random(77);
    if (tc.Order == TOrder::Random) std::shuffle(values.begin(), values.end(), random);
    TIndexTree tree(model.File(), model.Index());
    for (const int32_t v : values) ASSERT_TRUE(tree.Insert(model.KeyFor(v + 1, v).data(), v + 1));
    const TIndexCheckResult check = CheckIndexTree(model.File(), model.Index());
    ASSERT_TRUE(check.Ok) << check.Problem;
    const std::vector<TLevelFill> levels = LevelFill(model.File(), model.Index());
    ASSERT_GE(levels.size(), 2u);
    const int capacity = kPageDataSize / (model.File().PageFormat(model.Index()).KeySize + 4);
    const int fewest = (kKeys + capacity - 1) / capacity;
    const TLevelFill& leaves = levels.back();
    EXPECT_EQ(leaves.Entries, kKeys);
    const double ratio = static_cast<double>(leaves.Pages) / fewest;
    EXPECT_GE(ratio, tc.MinLeafRatio) << leaves.Pages << " leaves";
    EXPECT_LE(ratio, tc.MaxLeafRatio) << leaves.Pages << " leaves";
    int notFull = 0;
    for (const TLevelFill& level : levels) notFull += level.NotFull;
    if (tc.Full) {
      EXPECT_EQ(notFull, 0);
    } else {
      EXPECT_GT(notFull, 0);
    }
  }
}

TEST(IndexTree, DescendingIndexWalksInReverseByteOrder) {
  testing_support::TTempDir dir;
  const TTreeCase c{"descending", {1}, true, true, false, 0, 1 << 20};
  TTreeModel model(c, TIndexCompression::Full, dir.Path());
  TIndexTree tree(model.File(), model.Index());
  for (const int32_t v : {5, -3, 900, 0, 77}) {
    const TBytes key = model.KeyFor(v + 10, v);
    ASSERT_TRUE(tree.Insert(key.data(), v + 10));
  }
  std::vector<int32_t> order;
  TIndexWalker walker(model.File(), model.Index());
  for (bool ok = walker.First(); ok; ok = walker.Next()) order.push_back(walker.Value() - 10);
  EXPECT_EQ(order, (std::vector<int32_t>{900, 77, 5, 0, -3}));
}

TEST(IndexTree, CheckReportsDamage) {
  testing_support::TTempDir dir;
  const TTreeCase c{"int", {1}, true, false, false, 0, 1 << 20};
  TTreeModel model(c, TIndexCompression::None, dir.Path());
  TIndexTree tree(model.File(), model.Index());
  for (int32_t v = 0; v < 2000; ++v) {
    const TBytes key = model.KeyFor(v + 1, v);
    ASSERT_TRUE(tree.Insert(key.data(), v + 1));
  }
  TPage* root = model.File().GetPage(model.Index(), model.File().RootPage(model.Index()));
  ASSERT_FALSE(root->IsLeaf());
  struct TCase {
    const char* Name;
    std::function<void(TPage*)> Damage;
    std::function<void(TPage*)> Repair;
    const char* Expected;
  };
  int32_t saved = 0;
  const TCase cases[] = {
      {"count", [&](TPage* p) { saved = p->RecordCount(1); p->SetRecordCount(1, saved + 1); },
       [&](TPage* p) { p->SetRecordCount(1, saved); }, "records"},
      {"order", [&](TPage* p) { saved = p->Value(0); p->SetValue(0, p->Value(1)); },
       [&](TPage* p) { p->SetValue(0, saved); }, ""},
  };
  for (const TCase& tc : cases) {
    SCOPED_TRACE(tc.Name);
    tc.Damage(root);
    const TIndexCheckResult result = CheckIndexTree(model.File(), model.Index());
    EXPECT_FALSE(result.Ok);
    EXPECT_NE(result.Problem.find(tc.Expected), std::string::npos) << result.Problem;
    tc.Repair(root);
    EXPECT_TRUE(CheckIndexTree(model.File(), model.Index()).Ok);
  }
  model.File().ReleasePage(root);
}

}  // namespace
}  // namespace kura
