#include "kura/base/file_handler.h"

#include <utility>

#include "kura/base/engine_error.h"
#include "kura/base/os.h"
#include "kura/base/scope_guard.h"

namespace kura {

TFileHandler::TFileHandler(std::string fileName, bool inMemory) : InMemory(inMemory), FileName(std::move(fileName)) {}

TFileHandler::~TFileHandler() { TFileHandler::Close(); }

void TFileHandler::RaiseFileError(int32_t code) const {
  RaiseEngineErrorWithOSCode(static_cast<TErrorCode>(code), OSLastError(), TErrorNames{.TableName = FileName});
}

void TFileHandler::Open() {
  if (IsOpen) return;
  if (!FileExists()) {
    OSSetLastError(0);
    RaiseFileError(KURA_OSENOENT);
  }
  bool openedReadOnly = false;
  bool readOnlyAttribute = false;
  TAbstractFile* fileObject = nullptr;
  const int32_t result = TFileList::Instance().OpenFile(FileName, InMemory, Temporary, Exclusive, openedReadOnly,
                                                        readOnlyAttribute, fileObject);
  if (result < 0) RaiseFileError(-result);
  HandleId = result;
  FileObject = fileObject;
  OpenedReadOnly = openedReadOnly;
  ReadOnlyAttribute = readOnlyAttribute;
  IsOpen = true;
}

void TFileHandler::Close() {
  // An access bracket cannot outlive the handle: the object may go with it.
  while (!FAccessHeld.empty()) {
    FAccessHeld.back()->Lock.unlock();
    FAccessHeld.pop_back();
  }
  if (HandleId > 0 && FileObject != nullptr) TFileList::Instance().CloseFile(FileObject, InMemory, HandleId);
  FileObject = nullptr;
  HandleId = 0;
  IsOpen = false;
}

void TFileHandler::Create() {
  TAbstractFile* fileObject = nullptr;
  const int32_t result = TFileList::Instance().CreateFile(FileName, InMemory, Temporary, fileObject);
  if (result < 0) RaiseFileError(-result);
  HandleId = result;
  FileObject = fileObject;
  OpenedReadOnly = false;
  ReadOnlyAttribute = false;
  IsOpen = true;
}

void TFileHandler::Delete() {
  const int32_t code = TFileList::Instance().DeleteFile(FileName, InMemory);
  if (code < 0) RaiseFileError(-code);
}

void TFileHandler::Rename(const std::string& newName) {
  const int32_t code = TFileList::Instance().RenameFile(FileName, InMemory, newName);
  if (code < 0) RaiseFileError(-code);
  FileName = newName;
}

void TFileHandler::CopyTo(const std::string& destName, bool destInMemory, int32_t step, const TCopyProgress& progress,
                          void* userData) {
  if (!IsOpen) return;
  const int32_t code =
      TFileList::Instance().CopyFileTo(FileObject, HandleId, destName, destInMemory, step, progress, userData);
  if (code < 0) RaiseFileError(-code);
}

void TFileHandler::CopyFrom(const std::string& sourceName, bool sourceInMemory, int32_t step,
                            const TCopyProgress& progress, void* userData) {
  if (!IsOpen) return;
  const int32_t code =
      TFileList::Instance().CopyFileFrom(FileObject, HandleId, sourceName, sourceInMemory, step, progress, userData);
  if (code < 0) RaiseFileError(-code);
}

int32_t TFileHandler::ReadBuffer(void* buffer, int32_t count, bool allowShort) {
  OSSetLastError(0);
  const int32_t result = (FileObject != nullptr && count >= 0) ? FileObject->Read(HandleId, buffer, count) : -1;
  // A failure is an error even where a short read is allowed.
  if (result < 0 || (result != count && !allowShort)) RaiseFileError(KURA_READERR);
  return result;
}

void TFileHandler::WriteBuffer(const void* buffer, int32_t count) {
  if (ChangeGuard && FileObject != nullptr && count >= 0) {
    // A count of 0 cuts the file at the position. The guard may read this file, which
    // moves the position: it is put back.
    const int64_t position = Seek(soFromCurrent, 0);
    ChangeGuard->BeforeChange(*this, position, count == 0 ? -1 : count);
    Seek(soFromBeginning, position);
  }
  OSSetLastError(0);
  const int32_t result = (FileObject != nullptr && count >= 0) ? FileObject->Write(HandleId, buffer, count) : -1;
  if (result != count) RaiseFileError(KURA_WRITEERR);
}

void TFileHandler::Flush() {
  if (!IsOpen || FileObject == nullptr) return;
  OSSetLastError(0);
  if (!FileObject->FlushStorage()) RaiseFileError(KURA_WRITEERR);
}

int64_t TFileHandler::Seek(int32_t origin, int64_t offset) {
  if (!IsOpen || FileObject == nullptr) return 0;
  return FileObject->Seek(HandleId, origin, offset);
}

int64_t TFileHandler::GetFileSize() {
  if (!IsOpen || FileObject == nullptr) return 0;
  std::lock_guard guard(FileObject->Lock);
  const int64_t position = FileObject->Seek(HandleId, soFromCurrent, 0);
  const int64_t size = FileObject->Seek(HandleId, soFromEnd, 0);
  FileObject->Seek(HandleId, soFromBeginning, position);
  return size;
}

bool TFileHandler::LockRange(bool lock, int64_t length, int64_t offset) {
  if (!IsOpen || FileObject == nullptr) return false;
  return lock ? FileObject->LockRegion(length, offset) : FileObject->UnlockRegion(length, offset);
}

std::string TFileHandler::StoragePath() const { return FileObject ? FileObject->StoragePath() : std::string(); }

bool TFileHandler::FileExists() { return TFileList::Instance().FileExists(FileName, InMemory); }

void TFileHandler::BeginAccess() {
  if (FileObject == nullptr) return;
  // The list of held brackets is shared by every thread using this opener: it is only
  // touched while the file object's lock is held.
  FileObject->Lock.lock();
  auto unlock = OnScopeFail([file = FileObject] { file->Lock.unlock(); });
  FAccessHeld.push_back(FileObject);
}

void TFileHandler::EndAccess() {
  if (FAccessHeld.empty()) return;
  TAbstractFile* held = FAccessHeld.back();
  FAccessHeld.pop_back();  // before unlocking: another thread may take the lock at once
  held->Lock.unlock();
}

int32_t TFileHandler::ReadAt(int64_t offset, void* buffer, int32_t count, bool allowShort) {
  OSSetLastError(0);
  const int32_t result =
      (FileObject != nullptr && count >= 0) ? FileObject->ReadAt(HandleId, offset, buffer, count) : -1;
  if (result < 0 || (result != count && !allowShort)) RaiseFileError(KURA_READERR);
  return result;
}

void TFileHandler::WriteAt(int64_t offset, const void* buffer, int32_t count) {
  if (ChangeGuard && FileObject != nullptr && count > 0) ChangeGuard->BeforeChange(*this, offset, count);
  OSSetLastError(0);
  const int32_t result =
      (FileObject != nullptr && count >= 0) ? FileObject->WriteAt(HandleId, offset, buffer, count) : -1;
  if (result != count) RaiseFileError(KURA_WRITEERR);
}

}  // namespace kura
