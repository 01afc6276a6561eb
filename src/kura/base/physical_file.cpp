#include "kura/base/physical_file.h"

#include <cerrno>
#include <limits>
#include <utility>

#include "kura/base/engine_error.h"
#include "kura/base/os.h"

namespace kura {

TPhysicalFile::TPhysicalFile(std::string fileName, bool exclusive, bool temporary)
    : TAbstractFile(std::move(fileName), exclusive, temporary) {}

TPhysicalFile::~TPhysicalFile() { CloseOSHandle(); }

void TPhysicalFile::CloseOSHandle() {
  if (OSHandle < 0) return;
  // Unlinked before the descriptor goes, so that nobody can open a temporary file's name
  // after its last opener is gone.
  if (Temporary) OSApi().Unlink(OSPath.c_str());
  OSCloseFile(OSHandle);  // also drops every OFD lock of this object
  OSHandle = -1;
  RegionLocks.clear();
}

int64_t TPhysicalFile::GetSize() {
  std::lock_guard guard(Lock);
  if (OSHandle < 0) return -1;
  return OSGetSize(OSHandle);
}

int32_t TPhysicalFile::CreateStorage() {
  std::lock_guard guard(Lock);
  if (OSHandle >= 0) return -static_cast<int32_t>(KURA_OSEACCES);  // the registry never asks
  int fd = -1;
  std::string path;
  if (const int32_t code = OSCreateFile(FileName, fd, path); code != 0) return code;
  OSHandle = fd;
  OSPath = std::move(path);
  Exclusive = true;
  OpenedReadOnly = false;
  ReadOnlyAttribute = false;
  return TAbstractFile::CreateStorage();
}

int32_t TPhysicalFile::OpenStorage() {
  std::lock_guard guard(Lock);
  if (OSHandle < 0) {
    ReadOnlyAttribute = false;
    OpenedReadOnly = false;
    TOSFileInfo info;
    if (const int32_t code = OSGetFileInfo(FileName, info); code != 0) return code;
    if (info.ReadOnly) {
      OpenedReadOnly = true;
      ReadOnlyAttribute = true;
    }
    int fd = -1;
    std::string path;
    int32_t code = OSOpenFile(FileName, !OpenedReadOnly, Exclusive, fd, path);
    if (code != 0 && !OpenedReadOnly) {
      // Write access refused (a read-only medium, permissions): try once more read only.
      code = OSOpenFile(FileName, false, Exclusive, fd, path);
      if (code == 0) OpenedReadOnly = true;
    }
    if (code != 0) return code;
    OSHandle = fd;
    OSPath = std::move(path);
  }
  return AddHandle();
}

void TPhysicalFile::CloseHandle(int32_t handleId) {
  std::lock_guard guard(Lock);
  TAbstractFile::CloseHandle(handleId);
  if (OpenCount == 0) CloseOSHandle();
}

int32_t TPhysicalFile::RenameStorage(const std::string& newName) {
  std::lock_guard guard(Lock);
  if (OSHandle >= 0) return -static_cast<int32_t>(KURA_OSEACCES);
  if (const int32_t code = OSMoveFile(FileName, newName); code != 0) return code;
  FileName = newName;
  return 0;
}

int32_t TPhysicalFile::DeleteStorage() {
  std::lock_guard guard(Lock);
  if (OSHandle >= 0) return -static_cast<int32_t>(KURA_OSEACCES);
  return OSDeleteFile(FileName);
}

int32_t TPhysicalFile::Read(int32_t handleId, void* buffer, int32_t count) {
  std::lock_guard guard(Lock);
  THandleRecord* handle = HandleRecord(handleId);
  if (handle == nullptr || OSHandle < 0 || count < 0) return -1;
  const int64_t n = OSReadAt(OSHandle, handle->Position, buffer, count);
  if (n < 0) return -1;
  handle->Position += n;
  return static_cast<int32_t>(n);
}

int32_t TPhysicalFile::Write(int32_t handleId, const void* buffer, int32_t count) {
  std::lock_guard guard(Lock);
  THandleRecord* handle = HandleRecord(handleId);
  if (handle == nullptr || OSHandle < 0 || count < 0) return -1;
  if (count == 0) return OSTruncate(OSHandle, handle->Position) ? 0 : -1;
  const int64_t n = OSWriteAt(OSHandle, handle->Position, buffer, count);
  if (n < 0) return -1;
  handle->Position += n;
  return static_cast<int32_t>(n);
}

bool TPhysicalFile::FlushStorage() {
  std::lock_guard guard(Lock);
  return OSHandle >= 0 && OSFlush(OSHandle);
}

int64_t TPhysicalFile::Seek(int32_t handleId, int32_t origin, int64_t offset) {
  std::lock_guard guard(Lock);
  if (OSHandle < 0) return -1;
  return TAbstractFile::Seek(handleId, origin, offset);
}

bool TPhysicalFile::LockRegion(int64_t length, int64_t offset) {
  std::lock_guard guard(Lock);
  if (OSHandle < 0 || length <= 0 || offset < 0 || offset > std::numeric_limits<int64_t>::max() - length)
    return false;
  const int64_t last = offset + length - 1;
  // The share-mode bytes are not the engine's to lock: unlocking such a region would drop
  // the file's share mode.
  if (offset <= kShareLockOffset + 1 && kShareLockOffset <= last) return false;
  if (RegionOverlaps(offset, last)) return false;
  // Recorded first (the only step that may throw), taken back when the system refuses.
  const auto region = RegionLocks.emplace(offset, TRegionLock{offset, last, length}).first;
  if (!OSLockRange(OSHandle, true, !OpenedReadOnly, offset, length)) {
    RegionLocks.erase(region);
    return false;
  }
  return true;
}

bool TPhysicalFile::UnlockRegion(int64_t length, int64_t offset) {
  std::lock_guard guard(Lock);
  if (OSHandle < 0) return false;
  auto region = RegionLocks.find(offset);
  if (region == RegionLocks.end() || region->second.Length != length) return false;
  if (!OSLockRange(OSHandle, false, !OpenedReadOnly, offset, length)) return false;
  RegionLocks.erase(region);
  return true;
}

int32_t TPhysicalFile::ReadAt(int32_t handleId, int64_t offset, void* buffer, int32_t count) {
  std::lock_guard guard(Lock);
  THandleRecord* handle = HandleRecord(handleId);
  if (handle == nullptr || OSHandle < 0 || count < 0 || offset < 0) return -1;
  const int64_t n = OSReadAt(OSHandle, offset, buffer, count);
  if (n < 0) return -1;
  handle->Position = offset + n;
  return static_cast<int32_t>(n);
}

int32_t TPhysicalFile::WriteAt(int32_t handleId, int64_t offset, const void* buffer, int32_t count) {
  std::lock_guard guard(Lock);
  THandleRecord* handle = HandleRecord(handleId);
  if (handle == nullptr || OSHandle < 0 || count < 0 || offset < 0) return -1;
  handle->Position = offset;
  return Write(handleId, buffer, count);
}

}  // namespace kura
