#pragma once

// Pages of the index file: 4096 bytes at offset page number x 4096 (page 0 is the
// header). All integers little-endian.
//
// | offset | size | meaning                                                                |
// |--------|------|------------------------------------------------------------------------|
// |      0 |    1 | page type: 0 root internal, 1 internal, 2 leaf, 3 root leaf,           |
// |        |      | 4 parameter page                                                       |
// |      1 |    2 | uint16 entry count (0 for a free page)                                 |
// |      3 |    4 | int32 previous page on the same level (0 = none)                       |
// |      7 |    4 | int32 next page on the same level; of a free page the next free page;  |
// |        |      | of a parameter page the next page of the chain                         |
// |     11 |    2 | uint16 bytes used by the entries of a compressed leaf, 0 otherwise     |
// |     13 | 4083 | entries                                                                |
//
// Entries (K = KeySize):
//   internal: K key bytes (smallest key of the child), int32 child page, int32 records
//             under the child; the count is absent for the text index and with NoCounts.
//             Capacity 4083 / (K + 8), or 4083 / (K + 4) without counts.
//   leaf:     as index_compression.h describes; uncompressed capacity 4083 / (K + 4).
//   parameter page: 4083 bytes of the parameter stream.
//
// In memory every entry is expanded to K + 10 bytes: key, int32 value (slot or child
// page), int32 count, byte P, byte T.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "kura/storage/index_compression.h"

namespace kura {

constexpr int kIndexPageSize = 4096;
constexpr int kPageHeaderSize = 13;
constexpr int kPageDataSize = 4083;

enum class TPageType : uint8_t { RootInternal = 0, Internal = 1, Leaf = 2, RootLeaf = 3, Parameter = 4 };

// What a page copies from its index's descriptor.
struct TPageFormat {
  int KeySize = 0;
  bool Unique = true;
  bool NoCounts = false;
  TIndexCompression Compression = TIndexCompression::None;
};

class TIndexKeyComparer;

class TPage {
public:
  // Prepares the object for page `pageNo` of index `index`: no entries, type leaf,
  // clean, unpinned.
  void Setup(int index, int32_t pageNo, const TPageFormat& format);
  // Drops every entry and the links (a fresh page of the same index).
  void Clear();

  // Reads the 4096 page bytes; false when they are malformed (unknown type, entries that
  // do not fit, bad compression bytes). The caller raises the corruption error.
  bool Decode(const uint8_t* bytes);
  // Writes the 4096 page bytes (unused bytes zero). A free page is written with entry
  // count 0 and no entries.
  void Encode(uint8_t* bytes) const;

  bool IsLeaf() const { return Type == TPageType::Leaf || Type == TPageType::RootLeaf; }
  bool IsRoot() const { return Type == TPageType::RootInternal || Type == TPageType::RootLeaf; }
  // A page below the root of a tree.
  bool IsChild() const { return Type == TPageType::Internal || Type == TPageType::Leaf; }
  bool IsCompressedLeaf() const { return IsLeaf() && FFormat.Compression != TIndexCompression::None; }
  bool HasCounts() const { return !FFormat.NoCounts; }
  int KeySize() const { return FFormat.KeySize; }
  const TPageFormat& Format() const { return FFormat; }

  int Count() const { return FCount; }
  const uint8_t* Key(int i) const { return Entry(i); }
  int32_t Value(int i) const;
  void SetValue(int i, int32_t value);
  int32_t RecordCount(int i) const;
  void SetRecordCount(int i, int32_t count);
  uint8_t Prefix(int i) const { return Entry(i)[FFormat.KeySize + 8]; }
  uint8_t Trail(int i) const { return Entry(i)[FFormat.KeySize + 9]; }

  // Capacity in entries of an uncompressed page of this type.
  int Capacity() const;
  // Bytes the entries of a compressed leaf need on disk.
  int UsedBytes() const { return FUsedBytes; }
  // Over capacity: more entries than the capacity, or for a compressed leaf more than
  // 4083 bytes.
  bool OverCapacity() const;

  // Inserts an entry at pos (0..Count), shifting the later ones; count is kept only on
  // internal pages with counts.
  void InsertKey(int pos, const uint8_t* key, int32_t value, int32_t count);
  void DeleteKey(int pos);
  void SetKey(int i, const uint8_t* key);
  // Moves entries [from, from + n) of this page to `dest` at destPos.
  void MoveEntries(int from, int n, TPage& dest, int destPos);

  // Sum of the counts of an internal page; the entry count of a leaf.
  int64_t SubtreeCount() const;
  // Sum of the counts (entries of a leaf) before entry `pos`.
  int64_t CountBefore(int pos) const;

  // Binary searches. recordNo (may be null) gets the counts of the entries before the
  // result added to it.
  // The entry whose key equals `key`, or -1.
  int FindExact(const TIndexKeyComparer& comparer, const uint8_t* key, int64_t* recordNo = nullptr) const;
  // The first entry whose key is not below `key` (Count when there is none).
  int FindFirstNotBelow(const TIndexKeyComparer& comparer, const uint8_t* key, int64_t* recordNo = nullptr) const;
  // The last entry whose key is not above `key` (-1 when there is none).
  int FindLastNotAbove(const TIndexKeyComparer& comparer, const uint8_t* key, int64_t* recordNo = nullptr) const;

  // The number of entries from i onward (upward) or down to i (downward) whose slot
  // numbers are consecutive (at least 1 for a valid i).
  int SlotRun(int i, bool upward) const;
  // Calls visit with the slot of every entry from i to the end of the page, stopping
  // before the first key above `limit` (nullptr: no limit).
  void ForEachSlot(int i, const TIndexKeyComparer& comparer, const uint8_t* limit,
                   const std::function<void(int32_t)>& visit) const;

  // Header fields.
  int Index = 0;
  int32_t PageNo = 0;
  TPageType Type = TPageType::Leaf;
  int32_t PrevPage = 0;
  int32_t NextPage = 0;

  // Cache state.
  bool Dirty = false;
  int PinCount = 0;
  bool Free = false;
  // The page's slot in its index cache while cached, else -1.
  int32_t CacheSlot = -1;

  // Raw stream bytes of a parameter page.
  std::vector<uint8_t> ParameterData;

private:
  uint8_t* Entry(int i) { return FData.get() + static_cast<size_t>(i) * FStride; }
  const uint8_t* Entry(int i) const { return FData.get() + static_cast<size_t>(i) * FStride; }
  void EnsureRoom(int count);
  TKeyFormat KeyFormat() const { return {FFormat.KeySize, FFormat.Unique, FFormat.Compression}; }
  int EntrySize(int i) const;
  // Recomputes P and T of entry i (when it exists) and adjusts the bytes used.
  void RecomputeEntry(int i);
  void RecomputeAll();

  TPageFormat FFormat;
  size_t FStride = 10;
  int FCount = 0;
  int FUsedBytes = 0;
  // Entries in memory, FStride bytes each; only the first FCount are meaningful (the
  // buffer is not zero-filled: every entry is written whole before it counts).
  std::unique_ptr<uint8_t[]> FData;
  size_t FDataSize = 0;
};

// Up to four free TPage objects kept for reuse.
class TPageStack {
public:
  static constexpr size_t kMaxPooled = 4;
  std::unique_ptr<TPage> Take();
  void Give(std::unique_ptr<TPage> page);
  size_t Size() const { return FPages.size(); }

private:
  std::vector<std::unique_ptr<TPage>> FPages;
};

}  // namespace kura
