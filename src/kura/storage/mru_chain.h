#pragma once

namespace kura {

// The most-recently-used order of a cache: an intrusive doubly linked chain through the
// entries' own `Older` and `Newer` pointers, newest at the head. Entries also carry
// `Dirty` and `PinCount`, which decide what may be evicted. The chain owns nothing;
// the cache's map owns the entries. Shared by the record, block and page caches.
template <typename TEntry>
class TMruChain {
public:
  TEntry* Newest() const { return FNewest; }
  TEntry* Oldest() const { return FOldest; }

  void Clear() { FNewest = FOldest = nullptr; }

  // Puts an entry that is not in the chain at the head.
  void LinkNewest(TEntry* entry) {
    entry->Older = FNewest;
    entry->Newer = nullptr;
    if (FNewest) FNewest->Newer = entry;
    FNewest = entry;
    if (!FOldest) FOldest = entry;
  }

  void Unlink(TEntry* entry) {
    if (entry->Newer) entry->Newer->Older = entry->Older; else FNewest = entry->Older;
    if (entry->Older) entry->Older->Newer = entry->Newer; else FOldest = entry->Newer;
    entry->Older = entry->Newer = nullptr;
  }

  // Moves an entry of the chain to the head.
  void Touch(TEntry* entry) {
    if (FNewest == entry) return;
    Unlink(entry);
    LinkNewest(entry);
  }

  // The oldest entry that is neither dirty nor pinned: the one to take over for a new
  // entry; nullptr when there is none.
  TEntry* FindVictim() const {
    for (TEntry* entry = FOldest; entry; entry = entry->Newer) {
      if (!entry->Dirty && entry->PinCount == 0) return entry;
    }
    return nullptr;
  }

private:
  TEntry* FNewest = nullptr;
  TEntry* FOldest = nullptr;
};

}  // namespace kura
