#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kura {

// A map from positive 32-bit numbers (page or slot numbers) to entries owned elsewhere:
// open addressing with linear probing in one array, so a lookup touches one or two
// cache lines and an insert allocates nothing until the table doubles. A number's home
// slot is the number itself with its higher bits folded in: consecutive numbers (a
// walk or a bulk append through consecutive slots) sit in consecutive slots and stay in
// cache, while numbers spread wider than the table, or spaced by a power of two, are
// still scattered over it.
//
// Key 0 marks an empty slot and -1 an erased one; neither is ever stored. Insert
// requires that the key is absent.
//
// Erasing leaves a marker instead of moving the rest of the probe run back: with
// consecutive numbers in consecutive slots one run may span the whole table, and a
// cache that drops its oldest entries one by one would walk that run on every erase.
// A marker directly before an empty slot guards nothing and is cleared at once; the
// others are reused by inserts and dropped when the table is rebuilt.
template <typename T>
class TNumberMap {
public:
  T* Find(int32_t key) const {
    if (FSize == 0) return nullptr;
    for (size_t i = Home(key);; i = (i + 1) & FMask) {
      const TSlot& slot = FSlots[i];
      if (slot.Key == key) return slot.Value;
      if (slot.Key == kEmpty) return nullptr;
    }
  }

  void Insert(int32_t key, T* value) {
    if ((FSize + FErased + 1) * 2 > FSlots.size()) Rebuild();
    size_t i = Home(key);
    while (FSlots[i].Key > 0) i = (i + 1) & FMask;
    if (FSlots[i].Key == kErased) --FErased;
    FSlots[i] = {key, value};
    ++FSize;
  }

  // Removes the key when present.
  void Erase(int32_t key) {
    if (FSize == 0) return;
    size_t at = Home(key);
    while (FSlots[at].Key != key) {
      if (FSlots[at].Key == kEmpty) return;
      at = (at + 1) & FMask;
    }
    --FSize;
    if (FSlots[(at + 1) & FMask].Key != kEmpty) {
      FSlots[at] = TSlot{kErased, nullptr};
      ++FErased;
      return;
    }
    // The run ends here: this slot and the markers just before it guard nothing.
    FSlots[at] = TSlot{};
    for (size_t i = (at - 1) & FMask; FSlots[i].Key == kErased; i = (i - 1) & FMask) {
      FSlots[i] = TSlot{};
      --FErased;
    }
  }

  void Clear() {
    FSlots.clear();
    FMask = 0;
    FBits = 4;
    FSize = 0;
    FErased = 0;
  }

  size_t Size() const { return FSize; }

  // Calls visit(key, value) for every entry, in no particular order. The map must not
  // change during the walk.
  template <typename TVisit>
  void ForEach(TVisit&& visit) const {
    for (const TSlot& slot : FSlots)
      if (slot.Key > 0) visit(slot.Key, slot.Value);
  }

private:
  static constexpr int32_t kEmpty = 0;
  static constexpr int32_t kErased = -1;

  struct TSlot {
    int32_t Key = kEmpty;
    T* Value = nullptr;
  };

  size_t Home(int32_t key) const {
    const uint64_t k = static_cast<uint32_t>(key);  // 64 bits: the shifts may pass 32
    return static_cast<size_t>(k ^ (k >> FBits) ^ (k >> (2 * FBits))) & FMask;
  }

  // Re-inserts the entries without markers, doubling the table unless erased slots
  // made most of its load; live entries fill at most a quarter of it afterwards.
  void Rebuild() {
    std::vector<TSlot> old;
    old.swap(FSlots);
    size_t size = old.empty() ? 16 : old.size();
    while ((FSize + 1) * 4 > size) size *= 2;
    FSlots.assign(size, TSlot{});
    FMask = size - 1;
    int bits = 0;
    while ((size_t{1} << bits) < size) ++bits;
    FBits = bits;
    FSize = 0;
    FErased = 0;
    for (const TSlot& slot : old)
      if (slot.Key > 0) Insert(slot.Key, slot.Value);
  }

  std::vector<TSlot> FSlots;
  size_t FMask = 0;
  int FBits = 4;
  size_t FSize = 0;
  size_t FErased = 0;  // slots holding the erased marker
};

}  // namespace kura
