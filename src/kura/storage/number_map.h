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
// Key 0 marks an empty slot and is never stored. Insert requires that the key is absent.
template <typename T>
class TNumberMap {
public:
  T* Find(int32_t key) const {
    if (FSize == 0) return nullptr;
    for (size_t i = Home(key);; i = (i + 1) & FMask) {
      const TSlot& slot = FSlots[i];
      if (slot.Key == key) return slot.Value;
      if (slot.Key == 0) return nullptr;
    }
  }

  void Insert(int32_t key, T* value) {
    if ((FSize + 1) * 2 > FSlots.size()) Grow();
    size_t i = Home(key);
    while (FSlots[i].Key != 0) i = (i + 1) & FMask;
    FSlots[i] = {key, value};
    ++FSize;
  }

  // Removes the key when present. The entries after it in its probe run move back so
  // that no lookup stops early at the hole (no tombstones).
  void Erase(int32_t key) {
    if (FSize == 0) return;
    size_t hole = Home(key);
    while (FSlots[hole].Key != key) {
      if (FSlots[hole].Key == 0) return;
      hole = (hole + 1) & FMask;
    }
    for (size_t j = (hole + 1) & FMask; FSlots[j].Key != 0; j = (j + 1) & FMask) {
      const size_t home = Home(FSlots[j].Key);
      // The entry at j may fill the hole unless its home lies cyclically in (hole, j].
      const bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
      if (!stays) {
        FSlots[hole] = FSlots[j];
        hole = j;
      }
    }
    FSlots[hole] = TSlot{};
    --FSize;
  }

  void Clear() {
    FSlots.clear();
    FMask = 0;
    FBits = 4;
    FSize = 0;
  }

  size_t Size() const { return FSize; }

  // Calls visit(key, value) for every entry, in no particular order. The map must not
  // change during the walk.
  template <typename TVisit>
  void ForEach(TVisit&& visit) const {
    for (const TSlot& slot : FSlots)
      if (slot.Key != 0) visit(slot.Key, slot.Value);
  }

private:
  struct TSlot {
    int32_t Key = 0;
    T* Value = nullptr;
  };

  size_t Home(int32_t key) const {
    const uint64_t k = static_cast<uint32_t>(key);  // 64 bits: the shifts may pass 32
    return static_cast<size_t>(k ^ (k >> FBits) ^ (k >> (2 * FBits))) & FMask;
  }

  void Grow() {
    std::vector<TSlot> old;
    old.swap(FSlots);
    const size_t size = old.empty() ? 16 : old.size() * 2;
    FSlots.assign(size, TSlot{});
    FMask = size - 1;
    int bits = 0;
    while ((size_t{1} << bits) < size) ++bits;
    FBits = bits;
    FSize = 0;
    for (const TSlot& slot : old)
      if (slot.Key != 0) Insert(slot.Key, slot.Value);
  }

  std::vector<TSlot> FSlots;
  size_t FMask = 0;
  int FBits = 4;
  size_t FSize = 0;
};

}  // namespace kura
