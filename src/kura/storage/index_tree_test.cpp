// Randomized model test of the index trees: keys built from records are inserted and
// deleted in random order (fixed seed) and after each phase the tree is compared with a
// std::multiset of the same keys.

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

void RunModel(const TTreeCase& c, TIndexCompression compression) {
  SCOPED_TRACE(std::string(c.Name) + " compression " + std::to_string(static_cast<int>(compression)));
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
  ASSERT_NO_FATAL_FAILURE(insert(0, n));
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
  for (const TTreeCase& c : kCases) ASSERT_NO_FATAL_FAILURE(RunModel(c, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Compressions, IndexTreeModel,
                         ::testing::Values(TIndexCompression::None, TIndexCompression::DupByte,
                                           TIndexCompression::TrailByte, TIndexCompression::Full));

TEST(IndexTree, RootSplitsAndCollapses) {
  testing_support::TTempDir dir;
  const TTreeCase c{"long", {4}, true, false, false, 0, 1 << 20};
  TTreeModel model(c, TIndexCompression::None, dir.Path());
  TIndexTree tree(model.File(), model.Index());
  std::vector<TBytes> keys;
  // 4083 / (252 + 4) = 15 keys per leaf, 4083 / (252 + 8) = 15 entries per internal page.
  for (int32_t v = 0; v < 16; ++v) keys.push_back(model.KeyFor(v + 1, v));
  for (int i = 0; i < 15; ++i) ASSERT_TRUE(tree.Insert(keys[static_cast<size_t>(i)].data(), i + 1));
  TPage* root = model.File().GetPage(model.Index(), model.File().RootPage(model.Index()));
  EXPECT_EQ(root->Type, TPageType::RootLeaf);
  model.File().ReleasePage(root);
  ASSERT_TRUE(tree.Insert(keys[15].data(), 16));
  root = model.File().GetPage(model.Index(), model.File().RootPage(model.Index()));
  EXPECT_EQ(root->Type, TPageType::RootInternal);
  ASSERT_EQ(root->Count(), 2);
  EXPECT_EQ(root->RecordCount(0), 8);
  EXPECT_EQ(root->RecordCount(1), 8);
  model.File().ReleasePage(root);
  // Deleting until one leaf remains collapses the root into it.
  for (int i = 15; i >= 6; --i) ASSERT_TRUE(tree.Delete(keys[static_cast<size_t>(i)].data()));
  root = model.File().GetPage(model.Index(), model.File().RootPage(model.Index()));
  EXPECT_EQ(root->Type, TPageType::RootLeaf);
  EXPECT_EQ(root->Count(), 6);
  EXPECT_EQ(root->PrevPage, 0);
  EXPECT_EQ(root->NextPage, 0);
  model.File().ReleasePage(root);
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(tree.Delete(keys[static_cast<size_t>(i)].data()));
  EXPECT_EQ(model.File().RootPage(model.Index()), 0);
  EXPECT_TRUE(CheckIndexTree(model.File(), model.Index()).Ok);
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
