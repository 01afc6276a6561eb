#include "kura/storage/index_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include "kura/base/byte_order.h"
#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/storage/scramble.h"
#include "kura/storage/table_files.h"

namespace kura {

void ReadIndexFileHeader(const uint8_t* b, TIndexFileHeader& h) {
  h.ChangeCount = ReadI32(b);
  h.FormatVersion = b[8];
  h.NextPageNo = ReadI32(b + 9);
  h.SecondaryCount = b[13];
  for (int i = 0; i < kIndexCount; ++i)
    ReadIndexDescriptor(b + kIndexHeaderDescriptorsOffset + i * kIndexDescriptorSize,
                        h.Descriptors[static_cast<size_t>(i)]);
  h.ActiveRecordCount = ReadI32(b + kIndexHeaderActiveCountOffset);
  h.NoPrimaryIndex = b[3978] != 0;
  h.HeaderChanged = false;
  h.DefinitionsLost = b[kIndexHeaderDefinitionsLostOffset] != 0;
}

void WriteIndexFileHeader(const TIndexFileHeader& h, uint8_t* b) {
  std::memset(b, 0, kIndexPageSize);
  WriteI32(b, h.ChangeCount);
  b[8] = h.FormatVersion;
  WriteI32(b + 9, h.NextPageNo);
  b[13] = h.SecondaryCount;
  for (int i = 0; i < kIndexCount; ++i)
    WriteIndexDescriptor(h.Descriptors[static_cast<size_t>(i)],
                         b + kIndexHeaderDescriptorsOffset + i * kIndexDescriptorSize);
  WriteI32(b + kIndexHeaderActiveCountOffset, h.ActiveRecordCount);
  b[3978] = h.NoPrimaryIndex ? 1 : 0;
  b[3979] = h.HeaderChanged ? 1 : 0;
  b[kIndexHeaderDefinitionsLostOffset] = h.DefinitionsLost ? 1 : 0;
}

std::string TIndexFileOwner::PrivateDir() const {
  std::error_code error;
  auto path = std::filesystem::temp_directory_path(error);
  return error ? std::string("/tmp/") : (path / "").string();
}

namespace {

TIndexFileOwner& DefaultOwner() {
  static TIndexFileOwner owner;
  return owner;
}

}  // namespace

TIndexFile::TIndexFile(std::string fileName, bool inMemory, TIndexFileOwner* owner)
    : TTableFile(std::move(fileName), inMemory, kIndexFileExtension),
      FOwner(owner ? owner : &DefaultOwner()),
      FBuffer(kIndexPageSize) {
  ResetHeader();
}

TIndexFile::~TIndexFile() { CloseIndexFile(); }

void TIndexFile::SetTableInfo(const std::vector<TFieldDefinition>& fields, uint16_t localeId, uint16_t sortId,
                              bool encrypted) {
  FFields = fields;
  FLocaleId = localeId;
  FSortId = sortId;
  FEncrypted = encrypted;
}

void TIndexFile::RaiseIndexCorrupt(TErrorCode code, const TDamagePlace& place) const { RaiseDamaged(code, place); }

TDamagePlace TIndexFile::PagePlace(int index, int32_t pageNo) const {
  return {"index " + std::to_string(index) + " page", pageNo, int64_t{pageNo} * kIndexPageSize};
}

TDamagePlace TIndexFile::TooDeepPlace(int index, int32_t pageNo) const {
  return {"index " + std::to_string(index) + " tree too deep at page", pageNo, -1};
}

void TIndexFile::RaiseIndexError(TErrorCode code, const std::string& indexName) const {
  TErrorNames names = ErrorNames();
  names.IndexName = indexName;
  RaiseEngineError(code, names);
}

void TIndexFile::ResetHeader() {
  FHeader = TIndexFileHeader{};
  TIndexDescriptor& deleted = FHeader.Descriptors[kSysDeletedIndex];
  deleted.Name = kSysDeletedName;
  deleted.KeySize = kSysDeletedKeySize;
  deleted.Unique = true;
  TIndexDescriptor& text = FHeader.Descriptors[kSysTextIndex];
  text.Name = kSysTextName;
  text.KeySize = kSysTextKeySize;
  text.Unique = true;
  text.Compression = TIndexCompression::Full;
}

void TIndexFile::ReadHeaderPage(TIndexFileHeader& header) {
  if (const int32_t got = ReadAt(0, FBuffer.data(), kIndexPageSize, true); got < kIndexPageSize) {
    RaiseIndexCorrupt(KURA_HEADERCORRUPT, {"header page cut short", -1, got});
  }
  if (FEncrypted) Scramble(FBuffer.data(), kIndexPageSize, kRecordKey);
  ReadIndexFileHeader(FBuffer.data(), header);
}

bool TIndexFile::PageCountFits(int32_t nextPageNo) {
  // Every page below the counter is written before the header that counts it, so a
  // counter beyond the file's pages is damage; trusting it would let the next new page
  // land gigabytes beyond the end of the file.
  return nextPageNo >= 1 && int64_t{nextPageNo} * kIndexPageSize <= GetFileSize();
}

void TIndexFile::OpenIndexFile() {
  Open();
  auto close = OnScopeFail([this] { Close(); });
  TIndexFileHeader header;
  ReadHeaderPage(header);
  CheckHeaderCounts(header, 32);
  FHeader = header;
  FStatistics = {};
}

void TIndexFile::CloseIndexFile() {
  for (int i = kIndexCount - 1; i >= 1; --i)
    if (FHeader.Descriptors[static_cast<size_t>(i)].TemporaryIndex && i <= FHeader.SecondaryCount) {
      DropIndexCache(i);
      FHeader.Descriptors[static_cast<size_t>(i)] = TIndexDescriptor{};
      FHeader.SecondaryCount = static_cast<uint8_t>(i - 1);
    }
  for (int i = 0; i < kIndexCount; ++i) DropIndexCache(i);
  if (IsOpen) Close();
}

void TIndexFile::CreateIndexFile() {
  Create();
  ResetHeader();
  FHeader.HeaderChanged = true;
  WriteHeader(true);
  FStatistics = {};
}

bool TIndexFile::ReadHeaderIfChanged() {
  TIndexFileHeader header;
  ReadHeaderPage(header);
  if (header.ChangeCount == FHeader.ChangeCount) return false;
  CheckHeaderCounts(header, kMaxSecondaryIndexes);
  // Temporary indexes follow the regular secondaries; they move to their new numbers.
  std::vector<int> temporaries;
  for (int i = 1; i <= FHeader.SecondaryCount && i <= kMaxSecondaryIndexes; ++i)
    if (FHeader.Descriptors[static_cast<size_t>(i)].TemporaryIndex) temporaries.push_back(i);
  DiscardCache(false);
  int next = header.SecondaryCount + 1;
  std::array<TIndexDescriptor, kIndexCount> keptDescriptors{};
  std::array<TIndexCache, kIndexCount> keptCaches{};
  std::array<TTemporaryFile, kIndexCount> keptFiles{};
  for (const int i : temporaries) {
    keptDescriptors[static_cast<size_t>(i)] = FHeader.Descriptors[static_cast<size_t>(i)];
    keptCaches[static_cast<size_t>(i)] = std::move(FCaches[static_cast<size_t>(i)]);
    FCaches[static_cast<size_t>(i)] = TIndexCache{};
    keptFiles[static_cast<size_t>(i)] = std::move(FTemporary[static_cast<size_t>(i)]);
    FTemporary[static_cast<size_t>(i)] = TTemporaryFile{};
  }
  FHeader = header;
  for (const int i : temporaries) {
    if (next > kMaxSecondaryIndexes) {
      keptFiles[static_cast<size_t>(i)].File.reset();
      continue;  // no room left: the temporary index is dropped
    }
    const auto to = static_cast<size_t>(next++);
    FHeader.Descriptors[to] = keptDescriptors[static_cast<size_t>(i)];
    FCaches[to] = std::move(keptCaches[static_cast<size_t>(i)]);
    FCaches[to].ForEachPage([&](TPage& page) { page.Index = static_cast<int>(to); });
    FTemporary[to] = std::move(keptFiles[static_cast<size_t>(i)]);
    FHeader.SecondaryCount = static_cast<uint8_t>(to);
  }
  return true;
}

bool TIndexFile::WriteHeader(bool force) {
  if (!FHeader.HeaderChanged && !force) return false;
  ++FHeader.ChangeCount;
  // The written copy leaves the temporary indexes out; the regular ones keep their
  // order, so a regular index added after a temporary one moves down on disk.
  TIndexFileHeader written = FHeader;
  int to = 1;
  for (int i = 1; i <= FHeader.SecondaryCount && i <= kMaxSecondaryIndexes; ++i) {
    const TIndexDescriptor& d = FHeader.Descriptors[static_cast<size_t>(i)];
    if (!d.TemporaryIndex) written.Descriptors[static_cast<size_t>(to++)] = d;
  }
  for (int i = to; i <= kMaxSecondaryIndexes; ++i) written.Descriptors[static_cast<size_t>(i)] = TIndexDescriptor{};
  written.SecondaryCount = static_cast<uint8_t>(to - 1);
  written.HeaderChanged = true;
  WriteIndexFileHeader(written, FBuffer.data());
  if (FEncrypted) Scramble(FBuffer.data(), kIndexPageSize, kRecordKey);
  WriteAt(0, FBuffer.data(), kIndexPageSize);
  FHeader.HeaderChanged = false;
  FOwner->MarkTableModified();
  return true;
}

void TIndexFile::MarkHeaderChanged() {
  if (!FHeader.HeaderChanged) ++FHeader.ChangeCount;
  FHeader.HeaderChanged = true;
  FOwner->MarkTableChanged();
}

void TIndexFile::EmptyIndexFile() {
  DiscardCache(false);
  {
    TFileAccess access(*this);
    Seek(soFromBeginning, kIndexPageSize);
    WriteBuffer(nullptr, 0);
  }
  FHeader.NextPageNo = 1;
  FHeader.ActiveRecordCount = 0;
  for (TIndexDescriptor& d : FHeader.Descriptors) {
    if (d.TemporaryIndex) continue;
    d.RootPage = d.FirstFreePage = d.ParameterPage = 0;
  }
  MarkHeaderChanged();
}

void TIndexFile::CheckHeaderCounts(const TIndexFileHeader& header, int maxSecondaryCount) {
  if (header.FormatVersion != kIndexFileFormatVersion) {
    RaiseIndexCorrupt(KURA_OLDVERSION, {"header: format version", header.FormatVersion, 8});
  }
  if (header.SecondaryCount > maxSecondaryCount) {
    RaiseIndexCorrupt(KURA_HEADERCORRUPT, {"header: secondary index count", header.SecondaryCount, 13});
  }
  if (!PageCountFits(header.NextPageNo)) {
    RaiseIndexCorrupt(KURA_HEADERCORRUPT, {"header: next page number beyond the file", header.NextPageNo, 9});
  }
}

void TIndexFile::CheckIndex(int index) const {
  if (index < 0 || index >= kIndexCount) RaiseIndexCorrupt({"index number out of range", index, -1});
}

const TIndexDescriptor& TIndexFile::Descriptor(int index) const {
  CheckIndex(index);
  return FHeader.Descriptors[static_cast<size_t>(index)];
}

void TIndexFile::UpdateDescriptor(int index, const TIndexDescriptor& descriptor) {
  CheckIndex(index);
  FHeader.Descriptors[static_cast<size_t>(index)] = descriptor;
  MarkHeaderChanged();
}

int TIndexFile::FindIndex(const std::string& name) const {
  for (int i = 0; i < kIndexCount; ++i) {
    if (!IndexInUse(i)) continue;
    if (SameName(FHeader.Descriptors[static_cast<size_t>(i)].Name, name)) return i;
  }
  return -1;
}

bool TIndexFile::IndexInUse(int index) const {
  if (index == kPrimaryIndex) return !FHeader.NoPrimaryIndex;
  if (index == kSysDeletedIndex || index == kSysTextIndex) return true;
  return index >= 1 && index <= FHeader.SecondaryCount && index <= kMaxSecondaryIndexes;
}

void TIndexFile::SetRootPage(int index, int32_t page) {
  CheckIndex(index);
  FHeader.Descriptors[static_cast<size_t>(index)].RootPage = page;
  MarkHeaderChanged();
}

void TIndexFile::SetParameterPage(int index, int32_t page) {
  CheckIndex(index);
  FHeader.Descriptors[static_cast<size_t>(index)].ParameterPage = page;
  MarkHeaderChanged();
}

void TIndexFile::SetActiveRecordCount(int32_t count) {
  FHeader.ActiveRecordCount = count;
  MarkHeaderChanged();
}
void TIndexFile::IncActiveRecordCount() { SetActiveRecordCount(FHeader.ActiveRecordCount + 1); }
void TIndexFile::DecActiveRecordCount() { SetActiveRecordCount(FHeader.ActiveRecordCount - 1); }
void TIndexFile::SetNoPrimaryIndex(bool value) {
  FHeader.NoPrimaryIndex = value;
  MarkHeaderChanged();
}

void TIndexFile::SetDefinitionsLost(bool value) {
  FHeader.DefinitionsLost = value;
  MarkHeaderChanged();
}

TIndexKeyComparer TIndexFile::Comparer(int index) const {
  return TIndexKeyComparer::ForIndex(index, Descriptor(index), FFields, FLocaleId, FSortId);
}

TPageFormat TIndexFile::PageFormat(int index) const {
  const TIndexDescriptor& d = Descriptor(index);
  return {d.KeySize, d.Unique, d.NoCounts || index == kSysTextIndex, d.Compression};
}

// ---- page cache ----------------------------------------------------------------------

TFileHandler& TIndexFile::PageFile(int index) {
  TTemporaryFile& temporary = FTemporary[static_cast<size_t>(index)];
  if (FHeader.Descriptors[static_cast<size_t>(index)].TemporaryIndex && temporary.File) return *temporary.File;
  return *this;
}

int32_t& TIndexFile::NextPageCounter(int index) {
  TTemporaryFile& temporary = FTemporary[static_cast<size_t>(index)];
  if (FHeader.Descriptors[static_cast<size_t>(index)].TemporaryIndex && temporary.File) return temporary.NextPageNo;
  return FHeader.NextPageNo;
}

void TIndexFile::LinkNewest(TIndexCache& cache, int32_t slot) {
  const auto s = static_cast<size_t>(slot);
  cache.Older[s] = cache.Newest;
  cache.Newer[s] = -1;
  if (cache.Newest >= 0) cache.Newer[static_cast<size_t>(cache.Newest)] = slot;
  cache.Newest = slot;
  if (cache.Oldest < 0) cache.Oldest = slot;
}

void TIndexFile::Unlink(TIndexCache& cache, int32_t slot) {
  const auto s = static_cast<size_t>(slot);
  const int32_t older = cache.Older[s];
  const int32_t newer = cache.Newer[s];
  if (older >= 0) cache.Newer[static_cast<size_t>(older)] = newer;
  if (newer >= 0) cache.Older[static_cast<size_t>(newer)] = older;
  if (cache.Newest == slot) cache.Newest = older;
  if (cache.Oldest == slot) cache.Oldest = newer;
  cache.Older[s] = cache.Newer[s] = -1;
}

TPage* TIndexFile::FindCached(int index, int32_t pageNo) {
  TIndexCache& cache = FCaches[static_cast<size_t>(index)];
  if (cache.Newest >= 0 && cache.At(cache.Newest)->PageNo == pageNo) return cache.At(cache.Newest);
  TPage* page = cache.ByNumber.Find(pageNo);
  if (page) {
    Unlink(cache, page->CacheSlot);
    LinkNewest(cache, page->CacheSlot);
  }
  return page;
}

void TIndexFile::InsertCached(int index, std::unique_ptr<TPage> page) {
  TIndexCache& cache = FCaches[static_cast<size_t>(index)];
  int32_t slot;
  if (!cache.FreeSlots.empty()) {
    slot = cache.FreeSlots.back();
    cache.FreeSlots.pop_back();
  } else {
    slot = static_cast<int32_t>(cache.Slots.size());
    cache.Slots.emplace_back();
    cache.Older.push_back(-1);
    cache.Newer.push_back(-1);
  }
  TPage* raw = page.get();
  raw->CacheSlot = slot;
  cache.Slots[static_cast<size_t>(slot)] = std::move(page);
  cache.ByNumber.Insert(raw->PageNo, raw);
  LinkNewest(cache, slot);
}

std::unique_ptr<TPage> TIndexFile::TakeCached(TIndexCache& cache, TPage* page) {
  const int32_t slot = page->CacheSlot;
  Unlink(cache, slot);
  cache.ByNumber.Erase(page->PageNo);
  std::unique_ptr<TPage> taken = std::move(cache.Slots[static_cast<size_t>(slot)]);
  cache.FreeSlots.push_back(slot);
  taken->CacheSlot = -1;
  return taken;
}

void TIndexFile::RemoveCached(int index, TPage* page) {
  TIndexCache& cache = FCaches[static_cast<size_t>(index)];
  if (page->CacheSlot < 0 || cache.At(page->CacheSlot) != page) return;
  FPageStack.Give(TakeCached(cache, page));
}

TPage* TIndexFile::MakeRoom(int index) {
  TIndexCache& cache = FCaches[static_cast<size_t>(index)];
  if (cache.Capacity == 0)
    cache.Capacity =
        std::max<size_t>(kPageCacheGrowth, static_cast<size_t>(std::max(FOwner->MaxIndexBufferSize(), 0) / 8192));
  if (cache.ByNumber.Size() < cache.Capacity) return nullptr;
  for (int round = 0; round < 2; ++round) {
    for (int32_t slot = cache.Oldest; slot >= 0; slot = cache.NewerThan(slot)) {
      TPage* p = cache.At(slot);
      if (!p->Dirty && p->PinCount == 0) return p;
    }
    if (round == 0) {
      if (FOwner->InTransaction()) break;
      FlushPages(FHeader.Descriptors[static_cast<size_t>(index)].TemporaryIndex);
    }
  }
  cache.Capacity += kPageCacheGrowth;
  return nullptr;
}

void TIndexFile::ReadPage(TPage& page) {
  TFileHandler& file = PageFile(page.Index);
  const int64_t offset = int64_t{page.PageNo} * kIndexPageSize;
  if (file.ReadAt(offset, FBuffer.data(), kIndexPageSize, true) < kIndexPageSize) {
    RaiseIndexCorrupt({"index " + std::to_string(page.Index) + " page missing from the file", page.PageNo, offset});
  }
  ++FStatistics.PageReads;
  if (FEncrypted) Scramble(FBuffer.data(), kIndexPageSize, kRecordKey);
  if (!page.Decode(FBuffer.data())) RaiseIndexCorrupt(PagePlace(page.Index, page.PageNo));
}

TPage* TIndexFile::GetPage(int index, int32_t pageNo, bool isNew) {
  CheckIndex(index);
  const TPageFormat format = PageFormat(index);
  if (pageNo <= 0 || format.KeySize < 1 || format.KeySize > kMaxKeySize ||
      static_cast<uint8_t>(format.Compression) > 3)
    RaiseIndexCorrupt(PagePlace(index, pageNo));
  int32_t& counter = NextPageCounter(index);
  const bool temporary = FHeader.Descriptors[static_cast<size_t>(index)].TemporaryIndex;
  // Only a new page may lie at the counter: a reader that meets that number (or a larger
  // one) in a page has a header older than the page, or a damaged file.
  const bool append = isNew && pageNo == counter;
  if (append) {
    if (pageNo > kMaxIndexPageNo || (int64_t{pageNo} + 1) * kIndexPageSize > kMaxIndexFileEnd)
      RaiseIndexCorrupt(KURA_TABLEFULL, PagePlace(index, pageNo));
  } else if (pageNo >= counter) {
    RaiseIndexCorrupt({"index " + std::to_string(index) + " page beyond the file", pageNo, -1});
  } else if (TPage* cached = FindCached(index, pageNo)) {
    if (isNew) cached->Clear();
    ++cached->PinCount;
    return cached;
  } else if (!isNew && FDiskReadGate) {
    FDiskReadGate->BeforeDiskRead();
  }
  TPage* victim = MakeRoom(index);
  std::unique_ptr<TPage> page;
  if (victim) {
    // Taken over: the clean page leaves the cache and comes back as the new one.
    page = TakeCached(FCaches[static_cast<size_t>(index)], victim);
  } else {
    page = FPageStack.Take();
  }
  page->Setup(index, pageNo, format);
  if (append) {
    ++counter;
    page->Dirty = true;
    if (!temporary) MarkHeaderChanged();
  } else if (!isNew) {
    auto giveBack = OnScopeFail([&] { FPageStack.Give(std::move(page)); });
    ReadPage(*page);
  }
  TPage* raw = page.get();
  InsertCached(index, std::move(page));
  ++raw->PinCount;
  return raw;
}

void TIndexFile::ReleasePage(TPage* page) {
  if (page && page->PinCount > 0) --page->PinCount;
}

TPage* TIndexFile::AllocatePage(int index) {
  CheckIndex(index);
  TIndexDescriptor& d = FHeader.Descriptors[static_cast<size_t>(index)];
  TPage* page = nullptr;
  if (d.FirstFreePage != 0) {
    TPagePin pinned(*this, GetPage(index, d.FirstFreePage));
    const int32_t next = pinned->NextPage;
    if (next < 0 || next >= NextPageCounter(index) || next == pinned->PageNo) {
      RaiseIndexCorrupt({"free chain of index " + std::to_string(index) + " at page", pinned->PageNo,
                         int64_t{pinned->PageNo} * kIndexPageSize});
    }
    d.FirstFreePage = next;
    MarkHeaderChanged();
    page = pinned.Release();
  } else {
    page = GetPage(index, NextPageCounter(index), true);
  }
  page->Clear();
  page->Dirty = true;
  return page;
}

void TIndexFile::FreePage(TPage* page) {
  TIndexDescriptor& d = FHeader.Descriptors[static_cast<size_t>(page->Index)];
  page->Clear();
  page->Free = true;
  page->NextPage = d.FirstFreePage;
  page->Dirty = true;
  d.FirstFreePage = page->PageNo;
  MarkHeaderChanged();
}

bool TIndexFile::FlushIndexes(const std::vector<int>& indexes) {
  std::vector<TPage*> dirty;
  for (const int i : indexes)
    FCaches[static_cast<size_t>(i)].ForEachPage([&](TPage& p) {
      if (p.Dirty && p.PinCount == 0) dirty.push_back(&p);
    });
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(), [](const TPage* a, const TPage* b) { return a->PageNo < b->PageNo; });
  std::vector<uint8_t> run;
  size_t start = 0;
  while (start < dirty.size()) {
    size_t end = start + 1;
    // At most kMaxWriteBytes per write, so that the buffer stays small after a bulk load.
    while (end < dirty.size() && (end - start) * kIndexPageSize < kMaxWriteBytes &&
           dirty[end]->PageNo == dirty[end - 1]->PageNo + 1)
      ++end;
    run.resize((end - start) * kIndexPageSize);
    for (size_t i = start; i < end; ++i) {
      uint8_t* bytes = run.data() + (i - start) * kIndexPageSize;
      dirty[i]->Encode(bytes);
      if (FEncrypted) Scramble(bytes, kIndexPageSize, kRecordKey);
    }
    PageFile(dirty[start]->Index)
        .WriteAt(int64_t{dirty[start]->PageNo} * kIndexPageSize, run.data(), static_cast<int32_t>(run.size()));
    for (size_t i = start; i < end; ++i) dirty[i]->Dirty = false;
    FStatistics.PageWrites += static_cast<int64_t>(end - start);
    ++FStatistics.WriteRuns;
    start = end;
  }
  FOwner->MarkTableModified();
  return true;
}

bool TIndexFile::FlushPages(bool temporary) {
  if (!temporary) {
    std::vector<int> regular;
    for (int i = 0; i < kIndexCount; ++i)
      if (!FHeader.Descriptors[static_cast<size_t>(i)].TemporaryIndex) regular.push_back(i);
    return FlushIndexes(regular);
  }
  bool written = false;
  // Each temporary index has a file of its own, so its runs are its own.
  for (int i = 0; i < kIndexCount; ++i)
    if (FHeader.Descriptors[static_cast<size_t>(i)].TemporaryIndex) written = FlushIndexes({i}) || written;
  return written;
}

void TIndexFile::TrimCache() {
  const size_t limit = static_cast<size_t>(std::max(FOwner->MaxIndexBufferSize(), 0) / 8192);
  for (int i = 0; i < kIndexCount; ++i) {
    TIndexCache& cache = FCaches[static_cast<size_t>(i)];
    int32_t slot = cache.Oldest;
    while (slot >= 0 && cache.ByNumber.Size() > limit) {
      const int32_t newer = cache.NewerThan(slot);
      TPage* p = cache.At(slot);
      if (!p->Dirty && p->PinCount == 0) RemoveCached(i, p);
      slot = newer;
    }
  }
}

void TIndexFile::DiscardCache(bool temporary) {
  for (int i = 0; i < kIndexCount; ++i) {
    if (FHeader.Descriptors[static_cast<size_t>(i)].TemporaryIndex != temporary) continue;
    TIndexCache& cache = FCaches[static_cast<size_t>(i)];
    int32_t slot = cache.Oldest;
    while (slot >= 0) {
      const int32_t newer = cache.NewerThan(slot);
      TPage* p = cache.At(slot);
      if (p->PinCount == 0) RemoveCached(i, p);
      slot = newer;
    }
  }
}

void TIndexFile::DropIndexCache(int index) {
  FCaches[static_cast<size_t>(index)] = TIndexCache{};
  FTemporary[static_cast<size_t>(index)] = TTemporaryFile{};
}

size_t TIndexFile::CachedPageCount(int index) const {
  if (index < 0 || index >= kIndexCount) return 0;
  return FCaches[static_cast<size_t>(index)].ByNumber.Size();
}

// ---- index definitions ---------------------------------------------------------------

void TIndexFile::ValidateDefinition(const TIndexDefinition& def, TIndexDescriptor& d) {
  if (def.Fields.size() > kMaxIndexFields) RaiseIndexError(KURA_INDEXLIMIT, def.Name);
  d = TIndexDescriptor{};
  d.Name = std::string(TrimBlanks(def.Name));
  d.Descending = def.Descending;
  d.CaseInsensitive = def.CaseInsensitive;
  d.Unique = def.Unique;
  d.Compression = def.Compression;
  d.NoCounts = def.NoCounts;
  d.TemporaryIndex = def.Temporary;
  d.IndexFieldCount = static_cast<uint8_t>(def.Fields.size());
  if (static_cast<uint8_t>(def.Compression) > 3) RaiseIndexError(KURA_INVALIDIDXDESC, def.Name);
  for (size_t i = 0; i < def.Fields.size(); ++i) {
    const TFieldDefinition* f = FindFieldByNumber(FFields, def.Fields[i]);
    if (!f) RaiseIndexError(KURA_INVALIDIDXDESC, def.Name);
    if (f->FieldType == TFieldType::Blob) {
      TErrorNames names = ErrorNames();
      names.IndexName = def.Name;
      names.FieldName = f->Name;
      RaiseEngineError(KURA_SEARCHCOLREQD, names);
    }
    d.IndexFields[i] = def.Fields[i];
    d.FieldDescending[i] = i < def.FieldDescending.size() && def.FieldDescending[i] ? 1 : 0;
  }
  const int sum = KeyDataSum(d, FFields);
  if (sum < 1 || sum > kMaxKeyDataSize) RaiseIndexError(KURA_INVALIDKEY, def.Name);
  d.KeySize = static_cast<uint16_t>(sum + (d.Unique ? 0 : 4));
}

void TIndexFile::DefinePrimaryIndex(const TIndexDefinition& definition) {
  TIndexDescriptor& primary = FHeader.Descriptors[kPrimaryIndex];
  if (!FHeader.NoPrimaryIndex && primary.IndexFieldCount > 0) RaiseIndexError(KURA_PRIMARYKEYREDEFINE);
  if (definition.Fields.size() > kMaxIndexFields) RaiseIndexError(KURA_INDEXLIMIT);
  if (definition.Fields.empty()) {
    DropIndexCache(kPrimaryIndex);
    primary = TIndexDescriptor{};
    FHeader.NoPrimaryIndex = true;
    MarkHeaderChanged();
    return;
  }
  TIndexDefinition def = definition;
  def.Name.clear();
  def.Unique = true;
  def.Temporary = false;
  TIndexDescriptor d;
  ValidateDefinition(def, d);
  DropIndexCache(kPrimaryIndex);
  primary = d;
  FHeader.NoPrimaryIndex = false;
  MarkHeaderChanged();
}

int TIndexFile::AddSecondaryIndex(const TIndexDefinition& definition) {
  if (FHeader.SecondaryCount >= kMaxSecondaryIndexes || definition.Fields.size() > kMaxIndexFields)
    RaiseIndexError(KURA_INDEXLIMIT, definition.Name);
  const std::string name(TrimBlanks(definition.Name));
  if (name.empty()) RaiseIndexError(KURA_INDEXNAMEREQUIRED);
  if (!IsNameStartChar(static_cast<uint8_t>(name[0])) || name.size() > kMaxIndexNameLength)
    RaiseIndexError(KURA_INVALIDINDEXNAME, name);
  if (FindIndex(name) > 0) RaiseIndexError(KURA_INDEXEXISTS, name);
  TIndexDescriptor d;
  ValidateDefinition(definition, d);
  const int index = FHeader.SecondaryCount + 1;
  DropIndexCache(index);
  if (definition.Temporary) {
    TTemporaryFile& temporary = FTemporary[static_cast<size_t>(index)];
    const bool inMemory = InMemory;
    const std::string fileName = MakeTempFileName(FOwner->PrivateDir(), kIndexFileExtension, [inMemory](const std::string& n) {
      TFileHandler probe(n, inMemory);
      return probe.FileExists();
    });
    auto file = std::make_unique<TFileHandler>(fileName, inMemory);
    file->Exclusive = true;
    file->Temporary = true;
    file->Create();
    temporary.File = std::move(file);
    temporary.NextPageNo = 1;
  }
  FHeader.Descriptors[static_cast<size_t>(index)] = d;
  FHeader.SecondaryCount = static_cast<uint8_t>(index);
  if (!d.TemporaryIndex) MarkHeaderChanged();
  return index;
}

void TIndexFile::DeleteIndex(int index) {
  if (index == kPrimaryIndex) {
    DropIndexCache(kPrimaryIndex);
    FHeader.NoPrimaryIndex = true;
    MarkHeaderChanged();
    return;
  }
  if (index < 1 || index > FHeader.SecondaryCount || index > kMaxSecondaryIndexes)
    RaiseIndexError(KURA_INVALIDINDEXDELETE);
  // Shifting past 30 would move the system descriptors.
  if (FHeader.SecondaryCount > kMaxSecondaryIndexes) {
    RaiseIndexCorrupt(KURA_HEADERCORRUPT, {"header: secondary index count", FHeader.SecondaryCount, 13});
  }
  const bool temporary = FHeader.Descriptors[static_cast<size_t>(index)].TemporaryIndex;
  DropIndexCache(index);
  for (int i = index; i < FHeader.SecondaryCount; ++i) {
    const auto to = static_cast<size_t>(i);
    const auto from = static_cast<size_t>(i + 1);
    FHeader.Descriptors[to] = FHeader.Descriptors[from];
    FCaches[to] = std::move(FCaches[from]);
    FCaches[from] = TIndexCache{};
    FCaches[to].ForEachPage([&](TPage& page) { page.Index = i; });
    FTemporary[to] = std::move(FTemporary[from]);
    FTemporary[from] = TTemporaryFile{};
  }
  FHeader.Descriptors[FHeader.SecondaryCount] = TIndexDescriptor{};
  --FHeader.SecondaryCount;
  if (!temporary) MarkHeaderChanged();
}

// ---- text index parameters ------------------------------------------------------------

TTextIndexParameters TIndexFile::ReadTextParameters(int index) {
  const int32_t first = ParameterPage(index);
  if (first == 0) return DefaultTextIndexParameters();
  int32_t next = first;
  std::set<int32_t> visited;
  std::vector<uint8_t> current;
  auto nextPage = [&]() -> const std::vector<uint8_t>* {
    if (next == 0) return nullptr;
    if (!visited.insert(next).second) RaiseIndexCorrupt(ParameterPlace(index, next));  // a cycle
    TPagePin page(*this, GetPage(index, next));
    if (page->Type != TPageType::Parameter) RaiseIndexCorrupt(ParameterPlace(index, next));
    current = page->ParameterData;
    next = page->NextPage;
    return &current;
  };
  TTextIndexParameters parameters;
  if (!DecodeTextParameters(nextPage, parameters)) RaiseIndexCorrupt(ParameterPlace(index, first));
  return parameters;
}

void TIndexFile::FreeChain(int index, int32_t first) {
  std::set<int32_t> visited;
  while (first != 0) {
    if (!visited.insert(first).second) RaiseIndexCorrupt(ParameterPlace(index, first));
    TPagePin page(*this, GetPage(index, first));
    if (page->Type != TPageType::Parameter) RaiseIndexCorrupt(ParameterPlace(index, first));
    first = page->NextPage;
    FreePage(page.Get());
  }
}

void TIndexFile::WriteTextParameters(int index, const TTextIndexParameters& parameters) {
  FreeChain(index, ParameterPage(index));
  SetParameterPage(index, 0);
  const auto pages = EncodeTextParameters(parameters, kPageDataSize);
  std::vector<TPage*> chain;
  auto release = OnScopeExit([&] {
    for (TPage* page : chain) ReleasePage(page);
  });
  for (const auto& bytes : pages) {
    TPage* page = AllocatePage(index);
    chain.push_back(page);
    page->Type = TPageType::Parameter;
    page->ParameterData = bytes;
  }
  for (size_t i = 0; i < chain.size(); ++i) {
    chain[i]->NextPage = i + 1 < chain.size() ? chain[i + 1]->PageNo : 0;
    chain[i]->Dirty = true;
  }
  SetParameterPage(index, chain.empty() ? 0 : chain.front()->PageNo);
}

// ---- consistency check -----------------------------------------------------------------

void TIndexFile::CheckHeader() {
  const TIndexFileHeader& h = FHeader;
  // More than 30 secondaries would make the system descriptors double as secondaries.
  CheckHeaderCounts(h, kMaxSecondaryIndexes);
  // The descriptor being checked, as the place of any damage found.
  int current = 0;
  auto fail = [&]() { RaiseIndexCorrupt(KURA_HEADERCORRUPT, DescriptorPlace(current)); };
  auto checkPages = [&](const TIndexDescriptor& d) {
    for (const int32_t p : {d.RootPage, d.FirstFreePage, d.ParameterPage})
      if (p < 0 || p >= h.NextPageNo) fail();
  };
  auto checkFields = [&](const TIndexDescriptor& d, bool text) {
    if (d.IndexFieldCount > kMaxIndexFields) fail();
    for (int i = 0; i < kMaxIndexFields; ++i) {
      const uint16_t no = d.IndexFields[static_cast<size_t>(i)];
      if ((i < d.IndexFieldCount) != (no != 0)) fail();
      if (no == 0) continue;
      const TFieldDefinition* f = FindFieldByNumber(FFields, no);
      if (!f) fail();
      if (text) {
        if (f->FieldType != TFieldType::String &&
            !(f->FieldType == TFieldType::Blob && f->SubType == TFieldSubType::Memo))
          fail();
      } else if (f->FieldType == TFieldType::Blob) {
        fail();
      }
    }
  };
  for (int i = 0; i <= h.SecondaryCount; ++i) {
    current = i;
    const TIndexDescriptor& d = h.Descriptors[static_cast<size_t>(i)];
    if (static_cast<uint8_t>(d.Compression) > 3) fail();
    checkPages(d);
    if (i == kPrimaryIndex) {
      if (!d.Name.empty()) fail();
      if (h.NoPrimaryIndex) continue;
      if (d.IndexFieldCount > 0 && !d.Unique) fail();
    } else {
      if (d.Name.empty() || !IsNameStartChar(static_cast<uint8_t>(d.Name[0]))) fail();
      for (int j = 1; j < i; ++j)
        if (SameName(h.Descriptors[static_cast<size_t>(j)].Name, d.Name)) fail();
    }
    checkFields(d, false);
    if (d.IndexFieldCount > 0) {
      const int sum = KeyDataSum(d, FFields);
      if (sum < 1 || sum > kMaxKeyDataSize) fail();
      // Pages are read with KeySize: a size that does not match the fields would make
      // every key of the index misread.
      if (d.KeySize != sum + (d.Unique ? 0 : 4)) fail();
    }
  }
  const TIndexDescriptor& deleted = h.Descriptors[kSysDeletedIndex];
  const TIndexDescriptor& text = h.Descriptors[kSysTextIndex];
  current = kSysDeletedIndex;
  if (deleted.KeySize != kSysDeletedKeySize || static_cast<uint8_t>(deleted.Compression) > 3) fail();
  checkPages(deleted);
  current = kSysTextIndex;
  if (text.KeySize != kSysTextKeySize || static_cast<uint8_t>(text.Compression) > 3) fail();
  checkPages(text);
  checkFields(text, true);
}

// ---------------------------------------------------------------------------------------
// What a flush will write

bool TIndexFile::PendingWrites() const {
  if (FHeader.HeaderChanged) return true;
  bool dirty = false;
  for (int i = 0; i < kIndexCount && !dirty; ++i) {
    if (FHeader.Descriptors[static_cast<size_t>(i)].TemporaryIndex) continue;
    FCaches[static_cast<size_t>(i)].ForEachPage([&](const TPage& p) { dirty = dirty || p.Dirty; });
  }
  return dirty;
}

void TIndexFile::FlushRanges(int64_t below, std::vector<TByteRange>& ranges) const {
  ranges.push_back({0, kIndexPageSize});
  for (int i = 0; i < kIndexCount; ++i) {
    if (FHeader.Descriptors[static_cast<size_t>(i)].TemporaryIndex) continue;
    FCaches[static_cast<size_t>(i)].ForEachPage([&](const TPage& p) {
      const int64_t offset = int64_t{p.PageNo} * kIndexPageSize;
      if (p.Dirty && offset < below) ranges.push_back({offset, kIndexPageSize});
    });
  }
}

}  // namespace kura
