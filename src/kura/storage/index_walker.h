#pragma once

// The B+-tree algorithms over the pages of one index: descending to a key, inserting
// with splits (root splits included) and first-key propagation, deleting with merges,
// redistribution and root collapse, stepping across leaves, positioning by ordinal
// through the record counts of internal entries, and the tree check that `kura verify`
// runs. Cursors use these; no other code walks index pages.
//
// Every operation pins the pages on its path for its own duration only; between calls
// a walker keeps the leaf page number, the entry position and a copy of the key, so a
// cursor that sees the tree change re-seeks by that key.

#include <cstdint>
#include <string>
#include <vector>

#include "kura/storage/index_file.h"

namespace kura {

constexpr int kMaxTreeDepth = 32;

// Insert and delete on one index.
class TIndexTree {
public:
  TIndexTree(TIndexFile& file, int index);

  // Inserts key (KeySize bytes) with its slot number. False, and nothing changed, when an
  // equal key is already present.
  bool Insert(const uint8_t* key, int32_t value);
  // Deletes the entry with this key; false when there is none.
  bool Delete(const uint8_t* key);
  // Number of keys: the root's subtree count (a walk of the leaves without counts).
  int64_t KeyCount();
  const TIndexKeyComparer& Comparer() const { return FComparer; }

private:
  struct TLevel {
    TPage* Page;
    int Pos;
  };
  class TPath;

  void Descend(const uint8_t* key, TPath& path);
  void SplitUp(TPath& path, int level);
  void PropagateFirstKey(TPath& path, int level);
  void Rebalance(TPath& path, int level);
  void CollapseRoot(TPage* root);
  void Unlink(TPage* page);

  TIndexFile& FFile;
  int FIndex;
  TIndexKeyComparer FComparer;
  bool FCounts;
  // The path's storage, kept between operations so that an insert or delete allocates
  // nothing once the tree's depth has been seen.
  std::vector<TLevel> FPathLevels;
  std::vector<TPage*> FPathPinned;
};

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

struct TIndexCheckResult {
  bool Ok = true;
  // The first inconsistency found, in words.
  std::string Problem;
  int64_t KeyCount = 0;
  int Depth = 0;
  int64_t TreePages = 0;
  int64_t FreePages = 0;
};

// Walks every page of the index: page types, key order within and across pages, keys
// within their parent's range, parent keys equal to the child's first key, internal
// counts equal to the records below, every leaf at the same depth, sibling links in
// both directions, no page reached twice, and the free chain. Never raises for a
// damaged file: the read error becomes the Problem.
TIndexCheckResult CheckIndexTree(TIndexFile& file, int index);

}  // namespace kura
