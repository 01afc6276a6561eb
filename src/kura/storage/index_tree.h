#pragma once

// The B+-tree algorithms that change one index: descending to a key, inserting with
// splits (root splits included) and first-key propagation, deleting with merges,
// redistribution and root collapse; and the tree check that `kura verify` runs. Reading
// in key order is TIndexWalker's (index_walker.h). No other code changes index pages.
//
// Every operation pins the pages on its path for its own duration only.

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
  // Splits the over-full page at `level` of the path, whose entry `insertedAt` was just
  // inserted, and inserts the new page's entry into the parent (splitting it in turn, or
  // adding a new root).
  void SplitUp(TPath& path, int level, int insertedAt);
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

struct TIndexCheckResult {
  bool Ok = true;
  // The first inconsistency found, in words.
  std::string Problem;
  // When the problem was a corruption error raised while reading: where the damage was
  // found (the error's ExtraMessage, see TDamagePlace); empty otherwise.
  std::string DamagePlace;
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
