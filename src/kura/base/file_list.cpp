#include "kura/base/file_list.h"

#include <cerrno>

#include "kura/base/engine_error.h"
#include "kura/base/memory_file.h"
#include "kura/base/os.h"
#include "kura/base/physical_file.h"

namespace kura {

namespace {

constexpr int32_t Negated(TErrorCode code) { return -static_cast<int32_t>(code); }

std::string_view Trimmed(const std::string& name) {
  size_t first = 0;
  size_t last = name.size();
  while (first < last && static_cast<unsigned char>(name[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(name[last - 1]) <= ' ') --last;
  return std::string_view(name).substr(first, last - first);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::unique_ptr<TAbstractFile> MakeFile(const std::string& name, bool inMemory, bool exclusive, bool temporary) {
  if (inMemory) return std::make_unique<TMemoryFile>(name, exclusive, temporary);
  return std::make_unique<TPhysicalFile>(name, exclusive, temporary);
}

}  // namespace

TFileList& TFileList::Instance() {
  static TFileList instance;
  return instance;
}

TFileList::TFileList() = default;
TFileList::~TFileList() = default;

int32_t TFileList::IndexOf(const std::string& name, bool inMemory) {
  const std::string_view wanted = Trimmed(name);
  for (size_t i = 0; i < FFiles.size(); ++i) {
    TAbstractFile& file = *FFiles[i];
    if (file.IsInMemory() == inMemory && SameName(Trimmed(file.FileName), wanted)) return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t TFileList::IndexOfObject(const TAbstractFile* fileObject) {
  for (size_t i = 0; i < FFiles.size(); ++i)
    if (FFiles[i].get() == fileObject) return static_cast<int32_t>(i);
  return -1;
}

int32_t TFileList::Count() {
  std::lock_guard guard(FLock);
  return static_cast<int32_t>(FFiles.size());
}

bool TFileList::FileExists(const std::string& name, bool inMemory) {
  std::lock_guard guard(FLock);
  if (IndexOf(name, inMemory) >= 0) return true;
  if (inMemory) return false;
  TOSFileInfo info;
  return OSGetFileInfo(name, info) == 0 && info.Exists && !info.IsDirectory;
}

int32_t TFileList::OpenFile(const std::string& name, bool inMemory, bool temporary, bool exclusive,
                            bool& openedReadOnly, bool& readOnlyAttribute, TAbstractFile*& fileObject) {
  std::lock_guard guard(FLock);
  OSSetLastError(0);
  fileObject = nullptr;
  if (const int32_t index = IndexOf(name, inMemory); index >= 0) {
    TAbstractFile& file = *FFiles[static_cast<size_t>(index)];
    std::lock_guard fileGuard(file.Lock);
    if (file.OpenCount > 0) {
      if (file.Exclusive || exclusive) return Negated(KURA_OSEACCES);
    } else {
      // A kept memory file (or an object between opens) takes the new opener's mode.
      file.Exclusive = exclusive;
      file.Temporary = temporary;
    }
    const int32_t handleId = file.OpenStorage();
    if (handleId < 0) return handleId;
    openedReadOnly = file.OpenedReadOnly;
    readOnlyAttribute = file.ReadOnlyAttribute;
    fileObject = &file;
    return handleId;
  }
  if (inMemory) return Negated(KURA_OSENOENT);
  std::unique_ptr<TAbstractFile> file = MakeFile(name, false, exclusive, temporary);
  FFiles.reserve(FFiles.size() + 1);  // listing below cannot fail
  const int32_t handleId = file->OpenStorage();
  if (handleId < 0) return handleId;  // the object goes with its unique_ptr
  openedReadOnly = file->OpenedReadOnly;
  readOnlyAttribute = file->ReadOnlyAttribute;
  fileObject = file.get();
  FFiles.push_back(std::move(file));
  return handleId;
}

int32_t TFileList::CreateFile(const std::string& name, bool inMemory, bool temporary, TAbstractFile*& fileObject) {
  std::lock_guard guard(FLock);
  OSSetLastError(0);
  fileObject = nullptr;
  if (const int32_t index = IndexOf(name, inMemory); index >= 0) {
    TAbstractFile& file = *FFiles[static_cast<size_t>(index)];
    std::lock_guard fileGuard(file.Lock);
    if (file.OpenCount > 0) return Negated(KURA_OSEACCES);
    file.Exclusive = true;
    file.Temporary = temporary;
    const int32_t handleId = file.CreateStorage();
    if (handleId < 0) return handleId;
    fileObject = &file;
    return handleId;
  }
  std::unique_ptr<TAbstractFile> file = MakeFile(name, inMemory, true, temporary);
  FFiles.reserve(FFiles.size() + 1);
  const int32_t handleId = file->CreateStorage();
  if (handleId < 0) return handleId;
  fileObject = file.get();
  FFiles.push_back(std::move(file));
  return handleId;
}

int32_t TFileList::CloseFile(TAbstractFile* fileObject, bool inMemory, int32_t handleId) {
  std::lock_guard guard(FLock);
  OSSetLastError(0);
  const int32_t index = IndexOfObject(fileObject);
  if (index < 0 || fileObject->IsInMemory() != inMemory) return Negated(KURA_OSENOENT);
  bool lastHandleGone = false;
  {
    std::lock_guard fileGuard(fileObject->Lock);
    if (fileObject->FindHandle(handleId) < 0) return Negated(KURA_OSENOENT);
    fileObject->CloseHandle(handleId);
    lastHandleGone = fileObject->OpenCount == 0;
  }
  // The object's lock is released before the object may go.
  if (lastHandleGone && !inMemory) FFiles.erase(FFiles.begin() + index);
  return 0;
}

int32_t TFileList::DeleteFile(const std::string& name, bool inMemory) {
  std::lock_guard guard(FLock);
  OSSetLastError(0);
  if (const int32_t index = IndexOf(name, inMemory); index >= 0) {
    TAbstractFile& file = *FFiles[static_cast<size_t>(index)];
    {
      std::lock_guard fileGuard(file.Lock);
      if (file.OpenCount > 0) return Negated(KURA_OSEACCES);
      if (const int32_t code = file.DeleteStorage(); code != 0) return code;
    }
    FFiles.erase(FFiles.begin() + index);
    return 0;
  }
  if (inMemory) return Negated(KURA_OSENOENT);
  TPhysicalFile transient(name, false, false);
  return transient.DeleteStorage();
}

int32_t TFileList::RenameFile(const std::string& name, bool inMemory, const std::string& newName) {
  std::lock_guard guard(FLock);
  OSSetLastError(0);
  if (const int32_t index = IndexOf(name, inMemory); index >= 0) {
    TAbstractFile& file = *FFiles[static_cast<size_t>(index)];
    std::lock_guard fileGuard(file.Lock);
    if (file.OpenCount > 0) return Negated(KURA_OSEACCES);
    // Never let two listed objects answer to one name: an existing target is refused, as
    // a move onto an existing file is.
    if (const int32_t other = IndexOf(newName, inMemory); other >= 0 && other != index) {
      OSSetLastError(EEXIST);
      return Negated(KURA_OSUNKNOWN);
    }
    return file.RenameStorage(newName);
  }
  if (inMemory) return Negated(KURA_OSENOENT);
  TPhysicalFile transient(name, false, false);
  return transient.RenameStorage(newName);
}

int32_t TFileList::CopyData(TAbstractFile* source, int32_t sourceHandle, TAbstractFile* dest, int32_t destHandle,
                            int32_t step, const TCopyProgress& progress, void* userData) {
  std::lock_guard sourceGuard(source->Lock);
  std::lock_guard destGuard(dest->Lock);
  auto buffer = std::make_unique<uint8_t[]>(kCopyBufferSize);
  const int64_t size = source->Seek(sourceHandle, soFromEnd, 0);
  if (size < 0 || source->Seek(sourceHandle, soFromBeginning, 0) != 0) return Negated(KURA_READERR);
  if (dest->Seek(destHandle, soFromBeginning, 0) != 0) return Negated(KURA_WRITEERR);
  int64_t total = 0;
  int64_t lastReported = 0;
  for (;;) {
    const int32_t count = source->Read(sourceHandle, buffer.get(), kCopyBufferSize);
    if (count < 0) return Negated(KURA_READERR);
    if (count > 0) {
      if (dest->Write(destHandle, buffer.get(), count) != count) return Negated(KURA_WRITEERR);
      total += count;
      // Nothing is reported for an empty source (there is no percentage of nothing).
      if (progress && size > 0) {
        int64_t percentage = total * 100 / size;
        if (percentage > 100) percentage = 100;  // the source grew while being copied
        if (percentage >= lastReported + step) {
          progress(userData, static_cast<int32_t>(percentage));
          lastReported = percentage;
        }
      }
    }
    if (count < kCopyBufferSize) break;
  }
  return 0;
}

namespace {

// Closes a handle that a copy opened, also when the copy fails or raises.
class THandleCloser {
public:
  THandleCloser(TFileList& list, TAbstractFile* file, bool inMemory, int32_t handleId)
      : FList(list), FFile(file), FInMemory(inMemory), FHandleId(handleId) {}
  ~THandleCloser() {
    if (FFile != nullptr) FList.CloseFile(FFile, FInMemory, FHandleId);
  }
  int32_t Close() {
    TAbstractFile* file = FFile;
    FFile = nullptr;
    return FList.CloseFile(file, FInMemory, FHandleId);
  }
  THandleCloser(const THandleCloser&) = delete;
  THandleCloser& operator=(const THandleCloser&) = delete;

private:
  TFileList& FList;
  TAbstractFile* FFile;
  bool FInMemory;
  int32_t FHandleId;
};

}  // namespace

int32_t TFileList::CopyFileTo(TAbstractFile* source, int32_t sourceHandle, const std::string& destName,
                              bool destInMemory, int32_t step, const TCopyProgress& progress, void* userData) {
  std::lock_guard guard(FLock);
  if (IndexOfObject(source) < 0 || source->FindHandle(sourceHandle) < 0) return Negated(KURA_OSEBADF);
  TAbstractFile* dest = nullptr;
  const int32_t destHandle = CreateFile(destName, destInMemory, false, dest);
  if (destHandle < 0) return destHandle;
  THandleCloser closer(*this, dest, destInMemory, destHandle);
  const int32_t code = CopyData(source, sourceHandle, dest, destHandle, step, progress, userData);
  const int32_t closeCode = closer.Close();
  return code != 0 ? code : closeCode;
}

int32_t TFileList::CopyFileFrom(TAbstractFile* dest, int32_t destHandle, const std::string& sourceName,
                                bool sourceInMemory, int32_t step, const TCopyProgress& progress, void* userData) {
  std::lock_guard guard(FLock);
  if (IndexOfObject(dest) < 0 || dest->FindHandle(destHandle) < 0) return Negated(KURA_OSEBADF);
  TAbstractFile* source = nullptr;
  bool openedReadOnly = false;
  bool readOnlyAttribute = false;
  const int32_t sourceHandle =
      OpenFile(sourceName, sourceInMemory, false, true, openedReadOnly, readOnlyAttribute, source);
  if (sourceHandle < 0) return sourceHandle;
  THandleCloser closer(*this, source, sourceInMemory, sourceHandle);
  int32_t code = CopyData(source, sourceHandle, dest, destHandle, step, progress, userData);
  // The destination is left holding exactly the source: a longer old tail is cut off at
  // the position the copy ended.
  if (code == 0 && dest->Write(destHandle, nullptr, 0) != 0) code = Negated(KURA_WRITEERR);
  const int32_t closeCode = closer.Close();
  return code != 0 ? code : closeCode;
}

}  // namespace kura
