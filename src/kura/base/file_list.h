#pragma once

// The process-wide registry of file objects: one object per distinct file name and kind
// (physical or in memory). Every operation holds the registry's lock for its whole
// duration and returns 0, a handle number, or a negated engine error code; it never
// raises an engine error (the handler does, with the file's name). When an exception
// (out of memory) escapes the registry's own work, the half-made object is freed and the
// list is left as it was.
//
// Lock order: the registry lock, then a file object's lock.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kura/base/abstract_file.h"

namespace kura {

// Reports a copy's progress: the caller's user data and the percentage copied so far.
using TCopyProgress = std::function<void(void* userData, int32_t percentage)>;

class TFileList {
public:
  // The one instance of the process.
  static TFileList& Instance();

  TFileList();
  ~TFileList();
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;

  // True when an object of that kind and name is listed; otherwise, for physical files,
  // true when the file exists on disk (in any letter case) and is not a directory.
  bool FileExists(const std::string& name, bool inMemory);

  // Opens a file: a listed open object gets one more handle (-KURA_OSEACCES when it or
  // the caller is exclusive); a kept memory file is reopened with the request's flags; an
  // unlisted memory file gives -KURA_OSENOENT; a physical file gets a new object, listed
  // only when its open succeeds.
  int32_t OpenFile(const std::string& name, bool inMemory, bool temporary, bool exclusive, bool& openedReadOnly,
                   bool& readOnlyAttribute, TAbstractFile*& fileObject);

  // Creates (or empties) a file, exclusively: an open listed object gives -KURA_OSEACCES,
  // a closed one is reused, otherwise a new object is made and listed on success.
  int32_t CreateFile(const std::string& name, bool inMemory, bool temporary, TAbstractFile*& fileObject);

  // Closes a handle. The last handle of a physical file frees and unlists it; a memory
  // file stays listed with its contents. -KURA_OSENOENT for an object that is not listed
  // or has no such handle.
  int32_t CloseFile(TAbstractFile* fileObject, bool inMemory, int32_t handleId);

  // Deletes a file: listed and open -KURA_OSEACCES; listed and closed: removed; not
  // listed: a physical file is deleted on disk, a memory file gives -KURA_OSENOENT.
  int32_t DeleteFile(const std::string& name, bool inMemory);

  // Renames a file: listed and open -KURA_OSEACCES; listed and closed: renamed; not
  // listed: a physical file is moved on disk, a memory file gives -KURA_OSENOENT.
  int32_t RenameFile(const std::string& name, bool inMemory, const std::string& newName);

  // Copies the open source (from its start) into a destination created by CreateFile, 64
  // KiB at a time. After each piece, when `progress` is given and the percentage of the
  // source size copied so far (truncated) is at least the last reported one plus `step`,
  // reports it. An empty source reports nothing. The source handle ends after the last
  // byte read.
  int32_t CopyFileTo(TAbstractFile* source, int32_t sourceHandle, const std::string& destName, bool destInMemory,
                     int32_t step, const TCopyProgress& progress, void* userData);

  // The same copy from a source opened exclusively by name into the open destination,
  // written from offset 0. The destination ends with exactly the source's bytes: a longer
  // destination is cut at the source's size.
  int32_t CopyFileFrom(TAbstractFile* dest, int32_t destHandle, const std::string& sourceName, bool sourceInMemory,
                       int32_t step, const TCopyProgress& progress, void* userData);

  // Number of listed objects (for tests and diagnostics).
  int32_t Count();

  static constexpr int32_t kCopyBufferSize = 65536;

private:
  // Index of the listed object of that kind whose trimmed name equals the trimmed
  // `name` ignoring case, or -1.
  int32_t IndexOf(const std::string& name, bool inMemory);
  int32_t IndexOfObject(const TAbstractFile* fileObject);
  int32_t CopyData(TAbstractFile* source, int32_t sourceHandle, TAbstractFile* dest, int32_t destHandle,
                   int32_t step, const TCopyProgress& progress, void* userData);

  std::recursive_mutex FLock;
  std::vector<std::unique_ptr<TAbstractFile>> FFiles;
};

}  // namespace kura
