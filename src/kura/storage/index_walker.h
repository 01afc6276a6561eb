#pragma once

// Walking one index in key order: positioning on the first or last entry, by key (whole
// or a prefix) or by ordinal through the record counts of internal entries, and stepping
// across leaves. Cursors use it to read; changes go through TIndexTree (index_tree.h).
//
// Every operation pins the pages on its path for its own duration only; between calls
// a walker keeps the leaf page number, the entry position and a copy of the key, so a
// cursor that sees the tree change re-seeks by that key. Damaged pages raise
// KURA_INDEXCORRUPT with the page as the place of the damage.

#include <cstdint>
#include <vector>

#include "kura/storage/index_file.h"

namespace kura {

// A position in one index: a leaf entry, its key and its ordinal (0-based).
class TIndexWalker {
public:
  TIndexWalker(TIndexFile& file, int index);

  bool First();
  bool Last();
  // The first entry not below key (partial keys: the first keyLength bytes compared).
  bool SeekFirstNotBelow(const uint8_t* key, int keyLength = -1);
  // The last entry not above key.
  bool SeekLastNotAbove(const uint8_t* key, int keyLength = -1);
  // The entry with ordinal n (0-based); false when n is out of range.
  bool SeekOrdinal(int64_t n);
  bool Next();
  bool Prev();

  bool Valid() const { return FValid; }
  const std::vector<uint8_t>& Key() const { return FKey; }
  int32_t Value() const { return FValue; }
  // The ordinal of the entry. Without counts (NoCounts, the text index) it is known only
  // when the walker came from First or SeekOrdinal by Next steps.
  int64_t Ordinal() const { return FOrdinal; }
  int32_t LeafPage() const { return FLeaf; }
  // How many entries of the current leaf, from this one on (forward) or back to it
  // (backward), carry consecutive slot numbers in that direction: the run of records a
  // reader in index order is about to visit, at most maxRun. 0 when not on an entry.
  int32_t ValueRun(bool forward, int32_t maxRun);

private:
  bool Load(TPage* leaf, int pos);
  bool SeekKey(const uint8_t* key, int keyLength, bool lastNotAbove);
  TPage* Root();
  TPage* Child(TPage* parent, int pos, int depth);

  TIndexFile& FFile;
  int FIndex;
  TIndexKeyComparer FComparer;
  bool FValid = false;
  int32_t FLeaf = 0;
  int FPos = 0;
  int64_t FOrdinal = 0;
  int32_t FValue = 0;
  std::vector<uint8_t> FKey;
};

}  // namespace kura
