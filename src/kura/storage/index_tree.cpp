#include "kura/storage/index_tree.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "kura/storage/index_walker.h"

namespace kura {


// The pages from the root to a leaf with the entry position on each; every page pinned
// until the path is destroyed.
// The pages of one operation's path, pinned until the operation ends. Its two lists are
// the tree's own scratch storage (one operation of a tree runs at a time).
class TIndexTree::TPath {
public:
  TPath(TIndexFile& file, std::vector<TLevel>& levels, std::vector<TPage*>& pinned)
      : Levels(levels), FFile(file), FPinned(pinned) {
    Levels.clear();
    FPinned.clear();
  }
  ~TPath() {
    for (TPage* page : FPinned) FFile.ReleasePage(page);
    FPinned.clear();
    Levels.clear();
  }
  TPath(const TPath&) = delete;
  TPath& operator=(const TPath&) = delete;
  // Takes over the pin of a page.
  TPage* Keep(TPage* page) {
    FPinned.push_back(page);
    return page;
  }
  std::vector<TLevel>& Levels;

private:
  TIndexFile& FFile;
  std::vector<TPage*>& FPinned;
};

TIndexTree::TIndexTree(TIndexFile& file, int index)
    : FFile(file),
      FIndex(index),
      FComparer(file.Comparer(index)),
      FCounts(!file.PageFormat(index).NoCounts) {}

void TIndexTree::Descend(const uint8_t* key, TPath& path) {
  int32_t pageNo = FFile.RootPage(FIndex);
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxTreeDepth) FFile.RaiseIndexCorrupt(FFile.TooDeepPlace(FIndex, pageNo));
    TPage* page = path.Keep(FFile.GetPage(FIndex, pageNo));
    const bool typeOk = depth == 0 ? page->IsRoot() : page->IsChild();
    if (!typeOk || (page->Count() == 0 && !page->IsLeaf())) FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, pageNo));
    // Keys past the last entry (appends in key order, the common bulk case) are found
    // with one comparison instead of a binary search.
    const int count = page->Count();
    const bool pastLast = count > 0 && FComparer.Compare(page->Key(count - 1), key) < 0;
    if (page->IsLeaf()) {
      path.Levels.push_back({page, pastLast ? count : page->FindFirstNotBelow(FComparer, key)});
      return;
    }
    const int pos = pastLast ? count - 1 : std::max(page->FindLastNotAbove(FComparer, key), 0);
    path.Levels.push_back({page, pos});
    pageNo = page->Value(pos);
  }
}

bool TIndexTree::Insert(const uint8_t* key, int32_t value) {
  if (FFile.RootPage(FIndex) == 0) {
    TPagePin root(FFile, FFile.AllocatePage(FIndex));
    root->Type = TPageType::RootLeaf;
    root->InsertKey(0, key, value, 0);
    FFile.SetRootPage(FIndex, root->PageNo);
    return true;
  }
  TPath path(FFile, FPathLevels, FPathPinned);
  Descend(key, path);
  TLevel& leaf = path.Levels.back();
  if (leaf.Pos < leaf.Page->Count() && FComparer.Compare(leaf.Page->Key(leaf.Pos), key) == 0) return false;
  if (FCounts)
    for (size_t i = 0; i + 1 < path.Levels.size(); ++i) {
      TLevel& level = path.Levels[i];
      level.Page->SetRecordCount(level.Pos, level.Page->RecordCount(level.Pos) + 1);
    }
  leaf.Page->InsertKey(leaf.Pos, key, value, 0);
  const int leafLevel = static_cast<int>(path.Levels.size()) - 1;
  if (leaf.Pos == 0) PropagateFirstKey(path, leafLevel);
  if (leaf.Page->OverCapacity()) SplitUp(path, leafLevel, leaf.Pos);
  return true;
}

void TIndexTree::PropagateFirstKey(TPath& path, int level) {
  // The first key of the page at `level` changed: the parent entry takes it, and so on
  // upward while the entry is the first of its page.
  for (int l = level; l > 0; --l) {
    TPage* child = path.Levels[static_cast<size_t>(l)].Page;
    if (child->Count() == 0) return;
    TLevel& parent = path.Levels[static_cast<size_t>(l - 1)];
    if (std::memcmp(parent.Page->Key(parent.Pos), child->Key(0), static_cast<size_t>(child->KeySize())) == 0) return;
    parent.Page->SetKey(parent.Pos, child->Key(0));
    if (parent.Pos != 0) return;
  }
}

void TIndexTree::SplitUp(TPath& path, int level, int insertedAt) {
  TPage* page = path.Levels[static_cast<size_t>(level)].Page;
  const bool leaf = page->IsLeaf();
  const bool wasRoot = page->IsRoot();
  const int n = page->Count();
  // An entry that went after the last one of the last page of its level (no right
  // sibling; the root has none) is an append in key order: the page keeps everything it
  // held and the new page starts with the new entry alone, so that a table loaded in key
  // order leaves its pages full instead of half full. The page held those entries before
  // this insert, so it fits again (a compressed leaf as well: its earlier entries keep
  // their encoding). Any other insert splits the page in halves.
  const bool append = page->NextPage == 0 && insertedAt == n - 1;
  TPage* fresh = path.Keep(FFile.AllocatePage(FIndex));
  fresh->Type = leaf ? TPageType::Leaf : TPageType::Internal;
  page->Type = leaf ? TPageType::Leaf : TPageType::Internal;
  const int moved = append ? 1 : n / 2;
  page->MoveEntries(n - moved, moved, *fresh, 0);
  if (page->IsCompressedLeaf()) {
    // Move entries one at a time from the fuller half until both fit (a no-op after an
    // append split).
    for (int guard = 0; guard < n && page->OverCapacity() && page->Count() > 1; ++guard)
      page->MoveEntries(page->Count() - 1, 1, *fresh, 0);
    for (int guard = 0; guard < n && fresh->OverCapacity() && fresh->Count() > 1; ++guard)
      fresh->MoveEntries(0, 1, *page, page->Count());
    if (page->OverCapacity() || fresh->OverCapacity()) FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, page->PageNo));
  }
  fresh->PrevPage = page->PageNo;
  fresh->NextPage = page->NextPage;
  if (page->NextPage != 0) {
    TPagePin next(FFile, FFile.GetPage(FIndex, page->NextPage));
    next->PrevPage = fresh->PageNo;
    next->Dirty = true;
  }
  page->NextPage = fresh->PageNo;
  page->Dirty = true;
  if (wasRoot) {
    TPagePin root(FFile, FFile.AllocatePage(FIndex));
    root->Type = TPageType::RootInternal;
    root->InsertKey(0, page->Key(0), page->PageNo, static_cast<int32_t>(page->SubtreeCount()));
    root->InsertKey(1, fresh->Key(0), fresh->PageNo, static_cast<int32_t>(fresh->SubtreeCount()));
    FFile.SetRootPage(FIndex, root->PageNo);
    return;
  }
  TLevel& parent = path.Levels[static_cast<size_t>(level - 1)];
  parent.Page->SetRecordCount(parent.Pos, static_cast<int32_t>(page->SubtreeCount()));
  parent.Page->InsertKey(parent.Pos + 1, fresh->Key(0), fresh->PageNo, static_cast<int32_t>(fresh->SubtreeCount()));
  if (parent.Page->OverCapacity()) SplitUp(path, level - 1, parent.Pos + 1);
}

bool TIndexTree::Delete(const uint8_t* key) {
  if (FFile.RootPage(FIndex) == 0) return false;
  TPath path(FFile, FPathLevels, FPathPinned);
  Descend(key, path);
  TLevel& leaf = path.Levels.back();
  if (leaf.Pos >= leaf.Page->Count() || FComparer.Compare(leaf.Page->Key(leaf.Pos), key) != 0) return false;
  if (FCounts)
    for (size_t i = 0; i + 1 < path.Levels.size(); ++i) {
      TLevel& level = path.Levels[i];
      level.Page->SetRecordCount(level.Pos, level.Page->RecordCount(level.Pos) - 1);
    }
  const bool first = leaf.Pos == 0;
  leaf.Page->DeleteKey(leaf.Pos);
  const int leafLevel = static_cast<int>(path.Levels.size()) - 1;
  if (first) PropagateFirstKey(path, leafLevel);
  Rebalance(path, leafLevel);
  return true;
}

void TIndexTree::Unlink(TPage* page) {
  if (page->PrevPage != 0) {
    TPagePin prev(FFile, FFile.GetPage(FIndex, page->PrevPage));
    prev->NextPage = page->NextPage;
    prev->Dirty = true;
  }
  if (page->NextPage != 0) {
    TPagePin next(FFile, FFile.GetPage(FIndex, page->NextPage));
    next->PrevPage = page->PrevPage;
    next->Dirty = true;
  }
}

void TIndexTree::CollapseRoot(TPage* root) {
  // A root internal page with one entry gives way to its only child.
  int32_t childNo = root->Value(0);
  FFile.FreePage(root);
  for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
    TPagePin child(FFile, FFile.GetPage(FIndex, childNo));
    child->Type = child->IsLeaf() ? TPageType::RootLeaf : TPageType::RootInternal;
    child->PrevPage = child->NextPage = 0;
    child->Dirty = true;
    FFile.SetRootPage(FIndex, childNo);
    if (child->IsLeaf() || child->Count() != 1) return;
    childNo = child->Value(0);
    FFile.FreePage(child.Get());
  }
  FFile.RaiseIndexCorrupt(FFile.TooDeepPlace(FIndex, childNo));
}

void TIndexTree::Rebalance(TPath& path, int level) {
  TPage* page = path.Levels[static_cast<size_t>(level)].Page;
  if (level == 0) {
    if (page->IsLeaf() && page->Count() == 0) {
      FFile.FreePage(page);
      FFile.SetRootPage(FIndex, 0);
    } else if (!page->IsLeaf() && page->Count() == 1) {
      CollapseRoot(page);
    } else if (!page->IsLeaf() && page->Count() == 0) {
      FFile.FreePage(page);
      FFile.SetRootPage(FIndex, 0);
    }
    return;
  }
  TLevel& parent = path.Levels[static_cast<size_t>(level - 1)];
  auto removeFromParent = [&]() {
    const bool firstOfParent = parent.Pos == 0;
    parent.Page->DeleteKey(parent.Pos);
    if (firstOfParent && parent.Page->Count() > 0) PropagateFirstKey(path, level - 1);
    Rebalance(path, level - 1);
  };
  if (page->IsCompressedLeaf()) {
    // A compressed leaf is only removed once empty.
    if (page->Count() > 0) return;
    Unlink(page);
    FFile.FreePage(page);
    removeFromParent();
    return;
  }
  const int capacity = page->Capacity();
  if (page->Count() >= capacity / 2 && page->Count() > 0) return;
  int siblingPos;
  if (parent.Pos > 0)
    siblingPos = parent.Pos - 1;
  else if (parent.Page->Count() > 1)
    siblingPos = parent.Pos + 1;
  else {
    if (page->Count() > 0) return;
    Unlink(page);
    FFile.FreePage(page);
    removeFromParent();
    return;
  }
  TPagePin sibling(FFile, FFile.GetPage(FIndex, parent.Page->Value(siblingPos)));
  if (!sibling->IsChild() || sibling->IsLeaf() != page->IsLeaf()) {
    FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, sibling->PageNo));
  }
  const bool siblingLeft = siblingPos < parent.Pos;
  TPage* left = siblingLeft ? sibling.Get() : page;
  TPage* right = siblingLeft ? page : sibling.Get();
  const int leftPos = siblingLeft ? siblingPos : parent.Pos;
  const int total = left->Count() + right->Count();
  if (total < capacity) {
    // Merge the page into its sibling.
    if (siblingLeft) {
      page->MoveEntries(0, page->Count(), *sibling.Get(), sibling->Count());
    } else {
      page->MoveEntries(0, page->Count(), *sibling.Get(), 0);
      parent.Page->SetKey(siblingPos, sibling->Key(0));
    }
    parent.Page->SetRecordCount(siblingPos, static_cast<int32_t>(sibling->SubtreeCount()));
    Unlink(page);
    FFile.FreePage(page);
    removeFromParent();
    return;
  }
  // Redistribute evenly.
  const int wantLeft = (total + 1) / 2;
  if (left->Count() > wantLeft)
    left->MoveEntries(wantLeft, left->Count() - wantLeft, *right, 0);
  else if (left->Count() < wantLeft)
    right->MoveEntries(0, wantLeft - left->Count(), *left, left->Count());
  parent.Page->SetKey(leftPos + 1, right->Key(0));
  parent.Page->SetRecordCount(leftPos, static_cast<int32_t>(left->SubtreeCount()));
  parent.Page->SetRecordCount(leftPos + 1, static_cast<int32_t>(right->SubtreeCount()));
  if (leftPos == 0 && parent.Pos == 0) PropagateFirstKey(path, level - 1);
}

int64_t TIndexTree::KeyCount() {
  if (FFile.RootPage(FIndex) == 0) return 0;
  if (FCounts) {
    TPagePin root(FFile, FFile.GetPage(FIndex, FFile.RootPage(FIndex)));
    return root->SubtreeCount();
  }
  TIndexWalker walker(FFile, FIndex);
  int64_t n = 0;
  for (bool ok = walker.First(); ok; ok = walker.Next()) ++n;
  return n;
}

// ---- tree check ------------------------------------------------------------------------

namespace {

struct TCheckState {
  TIndexFile& File;
  int Index;
  const TIndexKeyComparer& Comparer;
  bool Counts;
  std::set<int32_t> Seen;
  std::vector<std::vector<int32_t>> Levels;  // page numbers per depth, left to right
  int LeafDepth = -1;
  TIndexCheckResult Result;
};

std::string PageText(int32_t page) { return "page " + std::to_string(page); }

// Checks the subtree at pageNo; returns its record count, or -1 after a problem.
int64_t CheckSubtree(TCheckState& s, int32_t pageNo, int depth, const uint8_t* low, const uint8_t* high) {
  auto fail = [&](const std::string& problem) {
    if (s.Result.Ok) {
      s.Result.Ok = false;
      s.Result.Problem = problem;
    }
    return int64_t{-1};
  };
  if (depth >= kMaxTreeDepth) return fail("tree deeper than " + std::to_string(kMaxTreeDepth) + " levels");
  if (!s.Seen.insert(pageNo).second) return fail(PageText(pageNo) + " is reached twice");
  TPagePin page(s.File, s.File.GetPage(s.Index, pageNo));
  ++s.Result.TreePages;
  if (static_cast<int>(s.Levels.size()) <= depth) s.Levels.resize(static_cast<size_t>(depth) + 1);
  s.Levels[static_cast<size_t>(depth)].push_back(pageNo);
  const bool typeOk = depth == 0 ? page->IsRoot() : page->IsChild();
  if (!typeOk) return fail(PageText(pageNo) + " has the wrong page type");
  if (page->Count() == 0) return fail(PageText(pageNo) + " is empty");
  if (page->OverCapacity()) return fail(PageText(pageNo) + " is over capacity");
  const int k = page->KeySize();
  for (int i = 0; i < page->Count(); ++i) {
    if (i > 0 && s.Comparer.Compare(page->Key(i - 1), page->Key(i)) >= 0)
      return fail(PageText(pageNo) + ": keys out of order at entry " + std::to_string(i));
    if (low && s.Comparer.Compare(page->Key(i), low) < 0)
      return fail(PageText(pageNo) + ": entry " + std::to_string(i) + " sorts before its parent key");
    if (high && s.Comparer.Compare(page->Key(i), high) >= 0)
      return fail(PageText(pageNo) + ": entry " + std::to_string(i) + " sorts after the next parent key");
  }
  if (page->IsLeaf()) {
    if (s.LeafDepth < 0) s.LeafDepth = depth;
    if (s.LeafDepth != depth) return fail(PageText(pageNo) + ": leaves at different depths");
    return page->Count();
  }
  int64_t total = 0;
  std::vector<uint8_t> childFirst(static_cast<size_t>(k));
  for (int i = 0; i < page->Count(); ++i) {
    const uint8_t* childHigh = i + 1 < page->Count() ? page->Key(i + 1) : high;
    const int32_t childNo = page->Value(i);
    {
      TPagePin child(s.File, s.File.GetPage(s.Index, childNo));
      if (child->Count() > 0 && std::memcmp(child->Key(0), page->Key(i), static_cast<size_t>(k)) != 0)
        return fail(PageText(pageNo) + ": entry " + std::to_string(i) + " is not the first key of " +
                    PageText(childNo));
    }
    const int64_t n = CheckSubtree(s, childNo, depth + 1, page->Key(i), childHigh);
    if (n < 0) return -1;
    if (s.Counts && page->RecordCount(i) != n)
      return fail(PageText(pageNo) + ": entry " + std::to_string(i) + " counts " +
                  std::to_string(page->RecordCount(i)) + " records, " + std::to_string(n) + " below");
    total += n;
  }
  return total;
}

}  // namespace

TIndexCheckResult CheckIndexTree(TIndexFile& file, int index) {
  TIndexKeyComparer comparer = TIndexKeyComparer::Bytes(1, false);
  try {
    comparer = file.Comparer(index);
  } catch (const EKuraEngineError& error) {
    TIndexCheckResult result;
    result.Ok = false;
    result.Problem = error.what();
    result.DamagePlace = error.ErrorExtraMessage;
    return result;
  }
  TCheckState s{file, index, comparer, !file.PageFormat(index).NoCounts, {}, {}, -1, {}};
  try {
    const int32_t root = file.RootPage(index);
    if (root != 0) {
      const int64_t n = CheckSubtree(s, root, 0, nullptr, nullptr);
      if (n >= 0) s.Result.KeyCount = n;
      s.Result.Depth = static_cast<int>(s.Levels.size());
      for (size_t d = 0; s.Result.Ok && d < s.Levels.size(); ++d) {
        const auto& level = s.Levels[d];
        for (size_t i = 0; i < level.size() && s.Result.Ok; ++i) {
          TPagePin page(file, file.GetPage(index, level[i]));
          const int32_t prev = i > 0 ? level[i - 1] : 0;
          const int32_t next = i + 1 < level.size() ? level[i + 1] : 0;
          if (page->PrevPage != prev || page->NextPage != next) {
            s.Result.Ok = false;
            s.Result.Problem = PageText(level[i]) + ": sibling links " + std::to_string(page->PrevPage) + "/" +
                               std::to_string(page->NextPage) + ", expected " + std::to_string(prev) + "/" +
                               std::to_string(next);
          }
        }
      }
    }
    // The free chain: pages outside the tree, no cycle.
    int32_t free = file.Descriptor(index).FirstFreePage;
    while (s.Result.Ok && free != 0) {
      if (!s.Seen.insert(free).second) {
        s.Result.Ok = false;
        s.Result.Problem = "free " + PageText(free) + " is in use or repeats in the free chain";
        break;
      }
      TPagePin page(file, file.GetPage(index, free));
      ++s.Result.FreePages;
      free = page->NextPage;
    }
  } catch (const EKuraEngineError& error) {
    s.Result.Ok = false;
    s.Result.Problem = error.what();
    s.Result.DamagePlace = error.ErrorExtraMessage;
  }
  return s.Result;
}

}  // namespace kura
