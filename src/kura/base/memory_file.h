#pragma once

// A growable block of memory that stands in for a file. It lives in the registry until it
// is deleted, so an in-memory table keeps its contents after its last opener closes.

#include <cstdint>
#include <memory>
#include <string>

#include "kura/base/abstract_file.h"

namespace kura {

class TMemoryFile : public TAbstractFile {
public:
  TMemoryFile(std::string fileName, bool exclusive, bool temporary);
  ~TMemoryFile() override;

  bool IsInMemory() const override { return true; }
  // Frees the block, sets the size to 0 and registers a handle at position 0.
  int32_t CreateStorage() override;
  // Reads at the handle's position: nothing at or after the end, at most up to the end.
  int32_t Read(int32_t handleId, void* buffer, int32_t count) override;
  // Writes at the handle's position, growing the block in whole 4096-byte steps with a
  // zero-filled tail; 0 bytes set the size to the position. -1 when memory runs out or
  // the file would grow beyond kMaxMemoryFileSize.
  int32_t Write(int32_t handleId, const void* buffer, int32_t count) override;

  // The block and its allocated length (a multiple of kMemoryFileStep, 0 when freed).
  std::unique_ptr<uint8_t[]> Memory;
  int64_t Allocated = 0;

  static constexpr int64_t kMemoryFileStep = 4096;
  static constexpr int64_t kGeometricGrowthFrom = 65536;
  // The largest size a memory file can reach; writes beyond it fail.
  static constexpr int64_t kMaxMemoryFileSize = 0x7FFFF000;

private:
  // Makes the block hold at least `required` bytes; a requirement below 1 frees it.
  void Reserve(int64_t required);
};

}  // namespace kura
