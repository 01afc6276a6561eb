#include "kura/storage/index_page.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"

namespace kura {

void TPage::Setup(int index, int32_t pageNo, const TPageFormat& format) {
  Index = index;
  PageNo = pageNo;
  FFormat = format;
  FStride = static_cast<size_t>(std::max(format.KeySize, 0)) + 10;
  Dirty = false;
  PinCount = 0;
  CacheSlot = -1;
  Clear();
}

void TPage::Clear() {
  Type = TPageType::Leaf;
  PrevPage = NextPage = 0;
  Free = false;
  FCount = 0;
  FUsedBytes = 0;
  ParameterData.clear();
}

void TPage::EnsureRoom(int count) {
  const size_t needed = static_cast<size_t>(count) * FStride;
  if (FDataSize >= needed) return;
  // A page that is filled at all usually fills up: room for a full uncompressed page and
  // the entry that makes it split comes in one allocation.
  const size_t size = std::max({needed, FDataSize * 2, static_cast<size_t>(Capacity() + 2) * FStride});
  auto grown = std::make_unique_for_overwrite<uint8_t[]>(size);
  if (FCount > 0) std::memcpy(grown.get(), FData.get(), static_cast<size_t>(FCount) * FStride);
  FData = std::move(grown);
  FDataSize = size;
}

int32_t TPage::Value(int i) const { return ReadI32(Entry(i) + FFormat.KeySize); }
void TPage::SetValue(int i, int32_t value) {
  WriteI32(Entry(i) + FFormat.KeySize, value);
  Dirty = true;
}
int32_t TPage::RecordCount(int i) const { return ReadI32(Entry(i) + FFormat.KeySize + 4); }
void TPage::SetRecordCount(int i, int32_t count) {
  WriteI32(Entry(i) + FFormat.KeySize + 4, count);
  Dirty = true;
}

int TPage::Capacity() const {
  const int k = FFormat.KeySize;
  if (IsLeaf() || FFormat.NoCounts) return kPageDataSize / (k + 4);
  return kPageDataSize / (k + 8);
}

bool TPage::OverCapacity() const {
  if (IsCompressedLeaf()) return FUsedBytes > kPageDataSize;
  return FCount > Capacity();
}

int TPage::EntrySize(int i) const {
  if (!IsCompressedLeaf()) return 0;
  return LeafEntrySize(KeyFormat(), Prefix(i), Trail(i));
}

void TPage::RecomputeEntry(int i) {
  if (i < 0 || i >= FCount) return;
  uint8_t* e = Entry(i);
  if (!IsCompressedLeaf()) {
    e[FFormat.KeySize + 8] = 0;
    e[FFormat.KeySize + 9] = 0;
    return;
  }
  FUsedBytes -= EntrySize(i);
  ComputePrefixTrail(KeyFormat(), i > 0 ? Entry(i - 1) : nullptr, e, e[FFormat.KeySize + 8], e[FFormat.KeySize + 9]);
  FUsedBytes += EntrySize(i);
}

void TPage::RecomputeAll() {
  FUsedBytes = 0;
  if (!IsCompressedLeaf()) {
    for (int i = 0; i < FCount; ++i) RecomputeEntry(i);
    return;
  }
  for (int i = 0; i < FCount; ++i) {
    uint8_t* e = Entry(i);
    ComputePrefixTrail(KeyFormat(), i > 0 ? Entry(i - 1) : nullptr, e, e[FFormat.KeySize + 8],
                       e[FFormat.KeySize + 9]);
    FUsedBytes += EntrySize(i);
  }
}

void TPage::InsertKey(int pos, const uint8_t* key, int32_t value, int32_t count) {
  pos = std::clamp(pos, 0, FCount);
  EnsureRoom(FCount + 1);
  uint8_t* e = Entry(pos);
  std::memmove(e + FStride, e, static_cast<size_t>(FCount - pos) * FStride);
  ++FCount;
  std::memcpy(e, key, static_cast<size_t>(FFormat.KeySize));
  SetValue(pos, value);
  SetRecordCount(pos, IsLeaf() || FFormat.NoCounts ? 0 : count);
  e[FFormat.KeySize + 8] = 0;
  e[FFormat.KeySize + 9] = 0;
  if (IsCompressedLeaf()) {
    FUsedBytes += EntrySize(pos);  // P = T = 0 so far
    RecomputeEntry(pos);
    RecomputeEntry(pos + 1);
  }
  Dirty = true;
}

void TPage::DeleteKey(int pos) {
  if (pos < 0 || pos >= FCount) return;
  if (IsCompressedLeaf()) FUsedBytes -= EntrySize(pos);
  uint8_t* e = Entry(pos);
  std::memmove(e, e + FStride, static_cast<size_t>(FCount - pos - 1) * FStride);
  --FCount;
  if (IsCompressedLeaf()) RecomputeEntry(pos);
  Dirty = true;
}

void TPage::SetKey(int i, const uint8_t* key) {
  if (i < 0 || i >= FCount) return;
  std::memcpy(Entry(i), key, static_cast<size_t>(FFormat.KeySize));
  if (IsCompressedLeaf()) {
    RecomputeEntry(i);
    RecomputeEntry(i + 1);
  }
  Dirty = true;
}

void TPage::MoveEntries(int from, int n, TPage& dest, int destPos) {
  if (n <= 0) return;
  dest.EnsureRoom(dest.FCount + n);
  uint8_t* d = dest.Entry(destPos);
  std::memmove(d + static_cast<size_t>(n) * FStride, d, static_cast<size_t>(dest.FCount - destPos) * FStride);
  std::memcpy(d, Entry(from), static_cast<size_t>(n) * FStride);
  dest.FCount += n;
  uint8_t* s = Entry(from);
  std::memmove(s, s + static_cast<size_t>(n) * FStride, static_cast<size_t>(FCount - from - n) * FStride);
  FCount -= n;
  RecomputeAll();
  dest.RecomputeAll();
  Dirty = true;
  dest.Dirty = true;
}

int64_t TPage::SubtreeCount() const {
  if (IsLeaf()) return FCount;
  return CountBefore(FCount);
}

int64_t TPage::CountBefore(int pos) const {
  if (IsLeaf()) return pos;
  int64_t sum = 0;
  for (int i = 0; i < pos && i < FCount; ++i) sum += RecordCount(i);
  return sum;
}

int TPage::FindFirstNotBelow(const TIndexKeyComparer& comparer, const uint8_t* key, int64_t* recordNo) const {
  int lo = 0;
  int hi = FCount;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (comparer.Compare(Entry(mid), key) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (recordNo) *recordNo += CountBefore(lo);
  return lo;
}

int TPage::FindLastNotAbove(const TIndexKeyComparer& comparer, const uint8_t* key, int64_t* recordNo) const {
  int lo = 0;
  int hi = FCount;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (comparer.Compare(Entry(mid), key) <= 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (recordNo) *recordNo += CountBefore(lo - 1 < 0 ? 0 : lo - 1);
  return lo - 1;
}

int TPage::FindExact(const TIndexKeyComparer& comparer, const uint8_t* key, int64_t* recordNo) const {
  int64_t before = 0;
  const int i = FindFirstNotBelow(comparer, key, &before);
  if (i >= FCount || comparer.Compare(Entry(i), key) != 0) return -1;
  if (recordNo) *recordNo += before;
  return i;
}

int TPage::SlotRun(int i, bool upward) const {
  if (i < 0 || i >= FCount) return 0;
  int run = 1;
  if (upward) {
    while (i + run < FCount && Value(i + run) == Value(i + run - 1) + 1) ++run;
  } else {
    while (i - run >= 0 && Value(i - run) == Value(i - run + 1) - 1) ++run;
  }
  return run;
}

void TPage::ForEachSlot(int i, const TIndexKeyComparer& comparer, const uint8_t* limit,
                        const std::function<void(int32_t)>& visit) const {
  for (int j = std::max(i, 0); j < FCount; ++j) {
    if (limit && comparer.Compare(Entry(j), limit) > 0) return;
    visit(Value(j));
  }
}

bool TPage::Decode(const uint8_t* bytes) {
  const uint8_t type = bytes[0];
  if (type > 4) return false;
  FCount = 0;
  FUsedBytes = 0;
  Free = false;
  ParameterData.clear();
  Type = static_cast<TPageType>(type);
  const int count = ReadU16(bytes + 1);
  PrevPage = ReadI32(bytes + 3);
  NextPage = ReadI32(bytes + 7);
  const int used = ReadU16(bytes + 11);
  const uint8_t* data = bytes + kPageHeaderSize;
  const int k = FFormat.KeySize;
  if (Type == TPageType::Parameter) {
    ParameterData.assign(data, data + kPageDataSize);
    return true;
  }
  if (k <= 0) return count == 0;
  if (!IsLeaf()) {
    const int entry = k + (FFormat.NoCounts ? 4 : 8);
    if (count * entry > kPageDataSize) return false;
    EnsureRoom(count);
    for (int i = 0; i < count; ++i) {
      const uint8_t* in = data + i * entry;
      uint8_t* e = Entry(i);
      std::memcpy(e, in, static_cast<size_t>(k) + 4);
      WriteI32(e + k + 4, FFormat.NoCounts ? 0 : ReadI32(in + k + 4));
      e[k + 8] = e[k + 9] = 0;
    }
    FCount = count;
    return true;
  }
  if (!IsCompressedLeaf()) {
    if (count * (k + 4) > kPageDataSize) return false;
    EnsureRoom(count);
    for (int i = 0; i < count; ++i) {
      uint8_t* e = Entry(i);
      std::memcpy(e, data + i * (k + 4), static_cast<size_t>(k) + 4);
      WriteI32(e + k + 4, 0);
      e[k + 8] = e[k + 9] = 0;
    }
    FCount = count;
    return true;
  }
  if (used > kPageDataSize) return false;
  // Every compressed entry needs at least 5 bytes.
  if (count * 5 > used) return false;
  EnsureRoom(count);
  const TKeyFormat format = KeyFormat();
  int at = 0;
  for (int i = 0; i < count; ++i) {
    uint8_t* e = Entry(i);
    int32_t slot = 0;
    const int n = DecodeLeafEntry(format, data + at, used - at, i > 0 ? Entry(i - 1) : nullptr, e, slot);
    if (n < 0) return false;
    WriteI32(e + k, slot);
    WriteI32(e + k + 4, 0);
    at += n;
  }
  if (at != used) return false;
  FCount = count;
  RecomputeAll();
  return true;
}

void TPage::Encode(uint8_t* bytes) const {
  std::memset(bytes, 0, kIndexPageSize);
  bytes[0] = static_cast<uint8_t>(Type);
  WriteI32(bytes + 3, PrevPage);
  WriteI32(bytes + 7, NextPage);
  uint8_t* data = bytes + kPageHeaderSize;
  if (Type == TPageType::Parameter) {
    std::memcpy(data, ParameterData.data(), std::min<size_t>(ParameterData.size(), kPageDataSize));
    return;
  }
  if (Free) return;
  WriteU16(bytes + 1, static_cast<uint16_t>(FCount));
  const int k = FFormat.KeySize;
  if (!IsLeaf()) {
    const int entry = k + (FFormat.NoCounts ? 4 : 8);
    for (int i = 0; i < FCount && (i + 1) * entry <= kPageDataSize; ++i)
      std::memcpy(data + i * entry, Entry(i), static_cast<size_t>(entry));
    return;
  }
  const TKeyFormat format = KeyFormat();
  int at = 0;
  for (int i = 0; i < FCount; ++i) {
    const int size = LeafEntrySize(format, Prefix(i), Trail(i));
    if (at + size > kPageDataSize) break;  // never for a page within capacity
    at += EncodeLeafEntry(format, Entry(i), Value(i), Prefix(i), Trail(i), data + at);
  }
  if (IsCompressedLeaf()) WriteU16(bytes + 11, static_cast<uint16_t>(at));
}

std::unique_ptr<TPage> TPageStack::Take() {
  if (FPages.empty()) return std::make_unique<TPage>();
  std::unique_ptr<TPage> page = std::move(FPages.back());
  FPages.pop_back();
  return page;
}

void TPageStack::Give(std::unique_ptr<TPage> page) {
  if (page && FPages.size() < kMaxPooled) FPages.push_back(std::move(page));
}

}  // namespace kura
