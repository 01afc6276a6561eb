#include "kura/base/abstract_file.h"

#include <iterator>

#include <limits>
#include <utility>

namespace kura {

TAbstractFile::TAbstractFile(std::string fileName, bool exclusive, bool temporary)
    : Exclusive(exclusive), Temporary(temporary), FileName(std::move(fileName)) {}

TAbstractFile::~TAbstractFile() = default;

int32_t TAbstractFile::FindHandle(int32_t handleId) {
  std::lock_guard guard(Lock);
  for (size_t i = 0; i < Handles.size(); ++i)
    if (Handles[i].HandleId == handleId) return static_cast<int32_t>(i);
  return -1;
}

int64_t TAbstractFile::GetSize() {
  std::lock_guard guard(Lock);
  return Size;
}

int32_t TAbstractFile::AddHandle() {
  std::lock_guard guard(Lock);
  Handles.reserve(Handles.size() + 1);  // may throw before anything changed
  ++LastHandleId;
  Handles.push_back(THandleRecord{LastHandleId, 0});
  ++OpenCount;
  return LastHandleId;
}

THandleRecord* TAbstractFile::HandleRecord(int32_t handleId) {
  const int32_t index = FindHandle(handleId);
  return index < 0 ? nullptr : &Handles[static_cast<size_t>(index)];
}

int32_t TAbstractFile::CreateStorage() {
  std::lock_guard guard(Lock);
  const int32_t handleId = AddHandle();
  Size = 0;
  return handleId;
}

int32_t TAbstractFile::OpenStorage() {
  std::lock_guard guard(Lock);
  return AddHandle();
}

void TAbstractFile::CloseHandle(int32_t handleId) {
  std::lock_guard guard(Lock);
  const int32_t index = FindHandle(handleId);
  if (index < 0) return;
  Handles.erase(Handles.begin() + index);
  --OpenCount;
}

int32_t TAbstractFile::RenameStorage(const std::string& newName) {
  std::lock_guard guard(Lock);
  FileName = newName;
  return 0;
}

int32_t TAbstractFile::DeleteStorage() { return 0; }

int32_t TAbstractFile::Read(int32_t handleId, void* buffer, int32_t count) {
  (void)handleId;
  (void)buffer;
  (void)count;
  return -1;  // storage kinds provide the transfer
}

int32_t TAbstractFile::Write(int32_t handleId, const void* buffer, int32_t count) {
  (void)handleId;
  (void)buffer;
  (void)count;
  return -1;
}

bool TAbstractFile::FlushStorage() { return true; }

int64_t TAbstractFile::Seek(int32_t handleId, int32_t origin, int64_t offset) {
  std::lock_guard guard(Lock);
  THandleRecord* handle = HandleRecord(handleId);
  if (handle == nullptr) return -1;
  int64_t base = 0;
  switch (origin) {
    case soFromBeginning:
      base = 0;
      break;
    case soFromCurrent:
      base = handle->Position;
      break;
    case soFromEnd:
      base = GetSize();
      if (base < 0) return -1;
      break;
    default:
      return -1;
  }
  if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0) return -1;
  handle->Position = base + offset;
  return handle->Position;
}

bool TAbstractFile::RegionOverlaps(int64_t first, int64_t last) const {
  // Only the region starting last at or before `last` can reach into [first, last]: any
  // earlier one ends before that region starts.
  auto after = RegionLocks.upper_bound(last);
  if (after == RegionLocks.begin()) return false;
  return std::prev(after)->second.Last >= first;
}

bool TAbstractFile::LockRegion(int64_t length, int64_t offset) {
  std::lock_guard guard(Lock);
  if (length <= 0 || offset < 0 || offset > std::numeric_limits<int64_t>::max() - length) return false;
  const int64_t last = offset + length - 1;
  if (RegionOverlaps(offset, last)) return false;
  RegionLocks.emplace(offset, TRegionLock{offset, last, length});
  return true;
}

bool TAbstractFile::UnlockRegion(int64_t length, int64_t offset) {
  std::lock_guard guard(Lock);
  auto region = RegionLocks.find(offset);
  if (region == RegionLocks.end() || region->second.Length != length) return false;
  RegionLocks.erase(region);
  return true;
}

int32_t TAbstractFile::ReadAt(int32_t handleId, int64_t offset, void* buffer, int32_t count) {
  std::lock_guard guard(Lock);
  if (Seek(handleId, soFromBeginning, offset) < 0) return -1;
  return Read(handleId, buffer, count);
}

int32_t TAbstractFile::WriteAt(int32_t handleId, int64_t offset, const void* buffer, int32_t count) {
  std::lock_guard guard(Lock);
  if (Seek(handleId, soFromBeginning, offset) < 0) return -1;
  return Write(handleId, buffer, count);
}

}  // namespace kura
