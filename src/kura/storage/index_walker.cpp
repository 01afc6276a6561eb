#include "kura/storage/index_walker.h"

#include <algorithm>

#include "kura/storage/index_tree.h"

namespace kura {

TIndexWalker::TIndexWalker(TIndexFile& file, int index)
    : FFile(file), FIndex(index), FComparer(file.Comparer(index)) {}

TPage* TIndexWalker::Root() {
  const int32_t root = FFile.RootPage(FIndex);
  if (root == 0) return nullptr;
  TPagePin page(FFile, FFile.GetPage(FIndex, root));
  if (!page->IsRoot() || (!page->IsLeaf() && page->Count() == 0))
    FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, root));
  return page.Release();
}

TPage* TIndexWalker::Child(TPage* parent, int pos, int depth) {
  const int32_t childNo = parent->Value(pos);
  FFile.ReleasePage(parent);
  if (depth >= kMaxTreeDepth) FFile.RaiseIndexCorrupt(FFile.TooDeepPlace(FIndex, childNo));
  TPagePin page(FFile, FFile.GetPage(FIndex, childNo));
  if (!page->IsChild() || page->Count() == 0) FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, childNo));
  return page.Release();
}

bool TIndexWalker::Load(TPage* leaf, int pos) {
  FValid = pos >= 0 && pos < leaf->Count();
  if (FValid) {
    FLeaf = leaf->PageNo;
    FPos = pos;
    FKey.assign(leaf->Key(pos), leaf->Key(pos) + leaf->KeySize());
    FValue = leaf->Value(pos);
  }
  FFile.ReleasePage(leaf);
  return FValid;
}

int32_t TIndexWalker::ValueRun(bool forward, int32_t maxRun) {
  if (!FValid || maxRun <= 0) return 0;
  TPagePin page(FFile, FFile.GetPage(FIndex, FLeaf));
  int32_t run = 0;
  if (page->IsLeaf() && FPos < page->Count()) {
    const int step = forward ? 1 : -1;
    run = 1;
    for (int pos = FPos + step; run < maxRun && pos >= 0 && pos < page->Count(); pos += step) {
      if (page->Value(pos) != FValue + step * run) break;
      ++run;
    }
  }
  return run;
}

bool TIndexWalker::First() {
  TPage* page = Root();
  if (!page) return FValid = false;
  for (int depth = 1; !page->IsLeaf(); ++depth) page = Child(page, 0, depth);
  FOrdinal = 0;
  return Load(page, 0);
}

bool TIndexWalker::Last() {
  TPage* page = Root();
  if (!page) return FValid = false;
  int64_t before = 0;
  for (int depth = 1; !page->IsLeaf(); ++depth) {
    before += page->CountBefore(page->Count() - 1);
    page = Child(page, page->Count() - 1, depth);
  }
  FOrdinal = before + page->Count() - 1;
  return Load(page, page->Count() - 1);
}

bool TIndexWalker::SeekKey(const uint8_t* key, int keyLength, bool lastNotAbove) {
  TPage* page = Root();
  if (!page) return FValid = false;
  const int length = keyLength < 0 ? FComparer.KeySize() : keyLength;
  // Binary searches on the prefix: the first entry whose prefix is not below (above) key.
  auto firstNotBelow = [&](const TPage* p) {
    int lo = 0, hi = p->Count();
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (FComparer.ComparePrefix(p->Key(mid), key, length) < 0) lo = mid + 1; else hi = mid;
    }
    return lo;
  };
  auto firstAbove = [&](const TPage* p) {
    int lo = 0, hi = p->Count();
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (FComparer.ComparePrefix(p->Key(mid), key, length) <= 0) lo = mid + 1; else hi = mid;
    }
    return lo;
  };
  int64_t before = 0;
  for (int depth = 1; !page->IsLeaf(); ++depth) {
    // For "not below" the wanted entry may be in the child before the first whose key is
    // not below; for "not above" in the child before the first whose key is above.
    const int pos = std::max((lastNotAbove ? firstAbove(page) : firstNotBelow(page)) - 1, 0);
    before += page->CountBefore(pos);
    page = Child(page, pos, depth);
  }
  int pos = lastNotAbove ? firstAbove(page) - 1 : firstNotBelow(page);
  if (!lastNotAbove && pos >= page->Count()) {
    // Past the end of this leaf: the next leaf's first entry.
    FOrdinal = before + page->Count() - 1;
    if (!Load(page, page->Count() - 1)) return false;
    return Next();
  }
  if (pos < 0) {
    FOrdinal = before;
    if (!Load(page, 0)) return false;
    return Prev();
  }
  FOrdinal = before + pos;
  return Load(page, pos);
}

bool TIndexWalker::SeekFirstNotBelow(const uint8_t* key, int keyLength) { return SeekKey(key, keyLength, false); }
bool TIndexWalker::SeekLastNotAbove(const uint8_t* key, int keyLength) { return SeekKey(key, keyLength, true); }

bool TIndexWalker::SeekOrdinal(int64_t n) {
  if (n < 0) return FValid = false;
  if (FFile.PageFormat(FIndex).NoCounts) {
    // Without counts the leaves are counted one by one.
    if (!First()) return false;
    for (int64_t i = 0; i < n; ++i)
      if (!Next()) return false;
    return true;
  }
  TPage* page = Root();
  if (!page) return FValid = false;
  int64_t left = n;
  for (int depth = 1; !page->IsLeaf(); ++depth) {
    int pos = 0;
    while (pos < page->Count() - 1 && left >= page->RecordCount(pos)) left -= page->RecordCount(pos++);
    page = Child(page, pos, depth);
  }
  FOrdinal = n;
  if (left >= page->Count()) {
    FFile.ReleasePage(page);
    return FValid = false;
  }
  return Load(page, static_cast<int>(left));
}

bool TIndexWalker::Next() {
  if (!FValid) return false;
  TPagePin page(FFile, FFile.GetPage(FIndex, FLeaf));
  if (!page->IsLeaf()) FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, FLeaf));
  if (FPos + 1 < page->Count()) {
    ++FOrdinal;
    return Load(page.Release(), FPos + 1);
  }
  const int32_t next = page->NextPage;
  page.Reset(nullptr);
  if (next == 0) return FValid = false;
  page.Reset(FFile.GetPage(FIndex, next));
  if (page->Type != TPageType::Leaf || page->Count() == 0 || page->PrevPage != FLeaf) {
    FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, next));
  }
  ++FOrdinal;
  return Load(page.Release(), 0);
}

bool TIndexWalker::Prev() {
  if (!FValid) return false;
  TPagePin page(FFile, FFile.GetPage(FIndex, FLeaf));
  if (!page->IsLeaf()) FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, FLeaf));
  if (FPos > 0 && FPos <= page->Count()) {
    --FOrdinal;
    return Load(page.Release(), FPos - 1);
  }
  const int32_t prev = page->PrevPage;
  page.Reset(nullptr);
  if (prev == 0) return FValid = false;
  page.Reset(FFile.GetPage(FIndex, prev));
  if (page->Type != TPageType::Leaf || page->Count() == 0 || page->NextPage != FLeaf) {
    FFile.RaiseIndexCorrupt(FFile.PagePlace(FIndex, prev));
  }
  --FOrdinal;
  const int last = page->Count() - 1;
  return Load(page.Release(), last);
}

}  // namespace kura
