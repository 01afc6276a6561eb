#include "kura/base/memory_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "kura/base/os.h"

namespace kura {

TMemoryFile::TMemoryFile(std::string fileName, bool exclusive, bool temporary)
    : TAbstractFile(std::move(fileName), exclusive, temporary) {}

TMemoryFile::~TMemoryFile() = default;

void TMemoryFile::Reserve(int64_t required) {
  if (required < 1) {
    Memory.reset();
    Allocated = 0;
    return;
  }
  if (required <= Allocated) return;
  // Whole 4096-byte steps. Past 64 KiB the block grows by at least half its size, so
  // that appending a large value copies the block a logarithmic number of times
  // instead of once per step.
  int64_t wanted = required;
  if (Allocated >= kGeometricGrowthFrom) wanted = std::max(wanted, std::min(Allocated + Allocated / 2, kMaxMemoryFileSize));
  const int64_t grown = (wanted + kMemoryFileStep - 1) / kMemoryFileStep * kMemoryFileStep;
  auto block = std::make_unique<uint8_t[]>(static_cast<size_t>(grown));  // zero-filled
  if (Allocated > 0) std::memcpy(block.get(), Memory.get(), static_cast<size_t>(Allocated));
  Memory = std::move(block);
  Allocated = grown;
}

int32_t TMemoryFile::CreateStorage() {
  std::lock_guard guard(Lock);
  const int32_t handleId = AddHandle();
  Reserve(0);
  Size = 0;
  return handleId;
}

int32_t TMemoryFile::Read(int32_t handleId, void* buffer, int32_t count) {
  std::lock_guard guard(Lock);
  THandleRecord* handle = HandleRecord(handleId);
  if (handle == nullptr || count < 0) return -1;
  const int64_t position = handle->Position;
  if (position >= Size || count == 0) return 0;
  const int64_t available = Size - position;
  const int64_t n = count < available ? count : available;
  std::memcpy(buffer, Memory.get() + position, static_cast<size_t>(n));
  handle->Position = position + n;
  return static_cast<int32_t>(n);
}

int32_t TMemoryFile::Write(int32_t handleId, const void* buffer, int32_t count) {
  std::lock_guard guard(Lock);
  THandleRecord* handle = HandleRecord(handleId);
  if (handle == nullptr || count < 0) return -1;
  const int64_t position = handle->Position;
  if (count == 0) {
    Size = position;  // truncation (the block keeps its length)
    return 0;
  }
  // The block is addressed with 32-bit lengths, as the in-memory tables' limits assume.
  if (position > kMaxMemoryFileSize - count) {
    OSSetLastError(EFBIG);
    return -1;
  }
  const int64_t end = position + count;
  try {
    Reserve(end);
  } catch (const std::bad_alloc&) {
    OSSetLastError(ENOMEM);
    return -1;
  }
  // A truncated block keeps stale bytes beyond Size; a write past the end must not expose
  // them as the contents of the gap.
  if (position > Size) std::memset(Memory.get() + Size, 0, static_cast<size_t>(position - Size));
  std::memcpy(Memory.get() + position, buffer, static_cast<size_t>(count));
  if (end > Size) Size = end;
  handle->Position = end;
  return count;
}

}  // namespace kura
