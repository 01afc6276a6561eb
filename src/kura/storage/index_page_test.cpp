#include "kura/storage/index_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kura/base/byte_order.h"

namespace kura {
namespace {

using TBytes = std::vector<uint8_t>;

TPage LeafWith(const TPageFormat& format, const std::vector<TBytes>& keys, const std::vector<int32_t>& slots) {
  TPage page;
  page.Setup(1, 5, format);
  page.Type = TPageType::RootLeaf;
  for (size_t i = 0; i < keys.size(); ++i) page.InsertKey(static_cast<int>(i), keys[i].data(), slots[i], 0);
  return page;
}

TBytes Entries(const TPage& page, int length) {
  TBytes bytes(kIndexPageSize);
  page.Encode(bytes.data());
  return TBytes(bytes.begin() + kPageHeaderSize, bytes.begin() + kPageHeaderSize + length);
}

struct TLayoutCase {
  const char* Name;
  TIndexCompression Compression;
  bool Unique;
  std::vector<TBytes> Keys;
  TBytes Expected;
};

TEST(IndexPage, LeafLayoutOfEachCompression) {
  const TBytes k1{0x41, 0x42, 0x43, 0, 0, 0};
  const TBytes k2{0x41, 0x42, 0x44, 0x45, 0, 0};
  const TBytes n1{1, 0, 0, 0, 0, 0x80, 0, 0, 5};
  const TBytes n2{1, 0, 0, 0, 0, 0x80, 0, 0, 6};
  const TLayoutCase cases[] = {
      {"none", TIndexCompression::None, true, {k1, k2},
       {0x41, 0x42, 0x43, 0, 0, 0, 7, 0, 0, 0, 0x41, 0x42, 0x44, 0x45, 0, 0, 9, 0, 0, 0}},
      {"dupbyte", TIndexCompression::DupByte, true, {k1, k2},
       {0, 0x41, 0x42, 0x43, 0, 0, 0, 7, 0, 0, 0, 2, 0x44, 0x45, 0, 0, 9, 0, 0, 0}},
      {"trailbyte", TIndexCompression::TrailByte, true, {k1, k2},
       {3, 0x41, 0x42, 0x43, 7, 0, 0, 0, 2, 0x41, 0x42, 0x44, 0x45, 9, 0, 0, 0}},
      {"full", TIndexCompression::Full, true, {k1, k2},
       {0, 3, 0x41, 0x42, 0x43, 7, 0, 0, 0, 2, 2, 0x44, 0x45, 9, 0, 0, 0}},
      // Non-unique: the zeros before the unique id are dropped and the id kept; a key
      // with fewer than 5 bytes after its prefix has T 0.
      {"trailbyte non-unique", TIndexCompression::TrailByte, false, {n1, n2},
       {4, 1, 0x80, 0, 0, 5, 7, 0, 0, 0, 4, 1, 0x80, 0, 0, 6, 9, 0, 0, 0}},
      {"full non-unique", TIndexCompression::Full, false, {n1, n2},
       {0, 4, 1, 0x80, 0, 0, 5, 7, 0, 0, 0, 8, 0, 6, 9, 0, 0, 0}},
  };
  for (const TLayoutCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TPageFormat format{static_cast<int>(c.Keys[0].size()), c.Unique, false, c.Compression};
    const TPage page = LeafWith(format, c.Keys, {7, 9});
    const int used = c.Compression == TIndexCompression::None ? 0 : static_cast<int>(c.Expected.size());
    EXPECT_EQ(page.UsedBytes(), used);
    EXPECT_EQ(Entries(page, static_cast<int>(c.Expected.size()) + 4), [&] {
      TBytes e = c.Expected;
      e.resize(e.size() + 4, 0);
      return e;
    }());
    TBytes bytes(kIndexPageSize);
    page.Encode(bytes.data());
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(ReadU16(bytes.data() + 1), 2);
    EXPECT_EQ(ReadU16(bytes.data() + 11), used);
    TPage back;
    back.Setup(1, 5, format);
    ASSERT_TRUE(back.Decode(bytes.data()));
    ASSERT_EQ(back.Count(), 2);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(TBytes(back.Key(i), back.Key(i) + format.KeySize), c.Keys[static_cast<size_t>(i)]);
      EXPECT_EQ(back.Value(i), i == 0 ? 7 : 9);
    }
  }
}

TEST(IndexPage, PrefixesLongerThan254AreStoredAs254) {
  const TPageFormat format{300, true, false, TIndexCompression::DupByte};
  TBytes a(300, 0x55);
  TBytes b = a;
  b[280] = 0x56;
  const TPage page = LeafWith(format, {a, b}, {1, 2});
  EXPECT_EQ(page.Prefix(1), 254);
  EXPECT_EQ(page.UsedBytes(), (1 + 300 + 4) + (1 + 46 + 4));
  TBytes bytes(kIndexPageSize);
  page.Encode(bytes.data());
  TPage back;
  back.Setup(1, 5, format);
  ASSERT_TRUE(back.Decode(bytes.data()));
  EXPECT_EQ(TBytes(back.Key(1), back.Key(1) + 300), b);
}

TEST(IndexPage, InternalEntriesCarryCountsUnlessNoCounts) {
  for (const bool noCounts : {false, true}) {
    const TPageFormat format{2, true, noCounts, TIndexCompression::Full};
    TPage page;
    page.Setup(0, 3, format);
    page.Type = TPageType::RootInternal;
    const TBytes k1{1, 2}, k2{3, 4};
    page.InsertKey(0, k1.data(), 10, 100);
    page.InsertKey(1, k2.data(), 11, 200);
    EXPECT_EQ(page.Capacity(), noCounts ? 4083 / 6 : 4083 / 10);
    EXPECT_EQ(page.SubtreeCount(), noCounts ? 0 : 300);
    TBytes bytes(kIndexPageSize);
    page.Encode(bytes.data());
    const TBytes expected = noCounts ? TBytes{1, 2, 10, 0, 0, 0, 3, 4, 11, 0, 0, 0}
                                     : TBytes{1, 2, 10, 0, 0, 0, 100, 0, 0, 0, 3, 4, 11, 0, 0, 0, 200, 0, 0, 0};
    EXPECT_EQ(TBytes(bytes.begin() + kPageHeaderSize, bytes.begin() + kPageHeaderSize + static_cast<long>(expected.size())),
              expected);
    EXPECT_EQ(ReadU16(bytes.data() + 11), 0);  // compression applies to leaves only
  }
}

TEST(IndexPage, CompressedLeafIsFullBeyond4083Bytes) {
  const TPageFormat format{8, true, false, TIndexCompression::Full};
  TPage page;
  page.Setup(1, 2, format);
  int expectedBytes = 0;
  for (int i = 0; !page.OverCapacity(); ++i) {
    TBytes key(8, 0);
    WriteU32(key.data(), static_cast<uint32_t>(i * 7919));
    std::swap(key[0], key[3]);
    std::swap(key[1], key[2]);  // big-endian so that keys ascend
    page.InsertKey(page.Count(), key.data(), i, 0);
    expectedBytes += LeafEntrySize({8, true, TIndexCompression::Full}, page.Prefix(page.Count() - 1),
                                   page.Trail(page.Count() - 1));
    EXPECT_EQ(page.UsedBytes(), expectedBytes);
  }
  EXPECT_GT(page.UsedBytes(), kPageDataSize);
  EXPECT_GT(page.Count(), page.Capacity());  // compression holds more than the plain capacity
}

TEST(IndexPage, MalformedPagesAreRejected) {
  const TPageFormat format{6, true, false, TIndexCompression::Full};
  auto decode = [&](const std::function<void(TBytes&)>& damage) {
    TPage page = LeafWith(format, {{1, 2, 3, 0, 0, 0}, {1, 2, 4, 0, 0, 0}}, {1, 2});
    TBytes bytes(kIndexPageSize);
    page.Encode(bytes.data());
    damage(bytes);
    TPage back;
    back.Setup(1, 5, format);
    return back.Decode(bytes.data());
  };
  EXPECT_TRUE(decode([](TBytes&) {}));
  EXPECT_FALSE(decode([](TBytes& b) { b[0] = 9; }));                      // page type
  EXPECT_FALSE(decode([](TBytes& b) { WriteU16(b.data() + 1, 3); }));     // entry count
  EXPECT_FALSE(decode([](TBytes& b) { WriteU16(b.data() + 11, 5000); }));  // bytes used
  EXPECT_FALSE(decode([](TBytes& b) { b[kPageHeaderSize] = 2; }));         // prefix on the first entry
  EXPECT_FALSE(decode([](TBytes& b) { b[kPageHeaderSize + 1] = 7; }));     // trail beyond the key
  EXPECT_FALSE(decode([](TBytes& b) { WriteU16(b.data() + 1, 700); b[0] = 1; }));  // internal overflow
}

TEST(IndexPage, SearchesAddTheCountsBeforeThePosition) {
  const TPageFormat format{1, true, false, TIndexCompression::None};
  TPage page;
  page.Setup(0, 1, format);
  page.Type = TPageType::RootInternal;
  const uint8_t keys[] = {10, 20, 30};
  for (int i = 0; i < 3; ++i) page.InsertKey(i, &keys[i], 100 + i, 5 * (i + 1));
  const TIndexKeyComparer cmp = TIndexKeyComparer::Bytes(1, false);
  struct TCase {
    uint8_t Key;
    int Exact, FirstNotBelow, LastNotAbove;
    int64_t CountFirst;
  } cases[] = {{5, -1, 0, -1, 0}, {10, 0, 0, 0, 0}, {25, -1, 2, 1, 15}, {30, 2, 2, 2, 15}, {40, -1, 3, 2, 30}};
  for (const TCase& c : cases) {
    int64_t n = 0;
    EXPECT_EQ(page.FindExact(cmp, &c.Key), c.Exact);
    EXPECT_EQ(page.FindFirstNotBelow(cmp, &c.Key, &n), c.FirstNotBelow);
    EXPECT_EQ(n, c.CountFirst);
    EXPECT_EQ(page.FindLastNotAbove(cmp, &c.Key), c.LastNotAbove);
  }
  TPage leaf;
  leaf.Setup(0, 2, format);
  const uint8_t lk[] = {1, 2, 3, 4, 5};
  const int32_t slots[] = {7, 8, 9, 3, 4};
  for (int i = 0; i < 5; ++i) leaf.InsertKey(i, &lk[i], slots[i], 0);
  EXPECT_EQ(leaf.SlotRun(0, true), 3);
  EXPECT_EQ(leaf.SlotRun(2, false), 3);
  EXPECT_EQ(leaf.SlotRun(3, true), 2);
  std::vector<int32_t> seen;
  const uint8_t limit = 3;
  leaf.ForEachSlot(1, cmp, &limit, [&](int32_t s) { seen.push_back(s); });
  EXPECT_EQ(seen, (std::vector<int32_t>{8, 9}));
}

TEST(IndexPage, PageStackKeepsAtMostFour) {
  TPageStack stack;
  for (int i = 0; i < 6; ++i) stack.Give(std::make_unique<TPage>());
  EXPECT_EQ(stack.Size(), 4u);
  auto page = stack.Take();
  EXPECT_TRUE(page);
  EXPECT_EQ(stack.Size(), 3u);
}

}  // namespace
}  // namespace kura
