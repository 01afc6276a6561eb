#pragma once

// An operating-system file under the shared file object. All openers inside the process
// share one descriptor; each keeps its own position and transfers with pread/pwrite, so
// positions never interfere. The first opener decides the access mode and the share
// mode; later openers join it.
//
// Byte-range locks: a region is recorded in RegionLocks (so that a second overlapping
// lock fails inside this process, even through the same handle) and locked with an OFD
// lock (so that other processes see it). A region that would cover the share-mode bytes is
// refused.
//
// Temporary files vanish when their last handle closes: the object unlinks its file
// before closing the descriptor, so nobody can open the name in between.

#include <cstdint>
#include <string>

#include "kura/base/abstract_file.h"

namespace kura {

class TPhysicalFile : public TAbstractFile {
public:
  TPhysicalFile(std::string fileName, bool exclusive, bool temporary);
  // Closes the descriptor (unlinking a temporary file first).
  ~TPhysicalFile() override;

  int64_t GetSize() override;
  std::string StoragePath() const override { return OSPath; }
  // Creates (or empties) the file for reading and writing, exclusively.
  int32_t CreateStorage() override;
  // For the first handle: reads the attributes, opens the file (read only when it carries
  // the read-only attribute, or when read and write access is refused) with the share mode
  // of `Exclusive`. Later handles join the open file.
  int32_t OpenStorage() override;
  // Removes the handle; the last one closes the descriptor.
  void CloseHandle(int32_t handleId) override;
  int32_t RenameStorage(const std::string& newName) override;
  int32_t DeleteStorage() override;
  int32_t Read(int32_t handleId, void* buffer, int32_t count) override;
  int32_t Write(int32_t handleId, const void* buffer, int32_t count) override;
  bool FlushStorage() override;
  int64_t Seek(int32_t handleId, int32_t origin, int64_t offset) override;
  bool LockRegion(int64_t length, int64_t offset) override;
  bool UnlockRegion(int64_t length, int64_t offset) override;
  int32_t ReadAt(int32_t handleId, int64_t offset, void* buffer, int32_t count) override;
  int32_t WriteAt(int32_t handleId, int64_t offset, const void* buffer, int32_t count) override;

  // The descriptor, -1 while closed.
  int OSHandle = -1;
  // The path the descriptor was opened with (FileName resolved ignoring case).
  std::string OSPath;

private:
  void CloseOSHandle();
};

}  // namespace kura
