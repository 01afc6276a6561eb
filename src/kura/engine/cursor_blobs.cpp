#include "kura/engine/cursor_blobs.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "kura/storage/blob_file.h"
#include "kura/storage/blob_reference.h"
#include "kura/storage/record.h"

namespace kura {

namespace {

// Buffers kept for reuse, and the largest value memory a pooled buffer may keep: a
// pool that held on to a few huge values would only waste memory.
constexpr size_t kPoolSize = 8;
constexpr size_t kMaxPooledCapacity = size_t{1} << 20;

// The process-wide handle sequence: 1, 2, ... 2^31 - 1, then from 1 again.
std::atomic<uint32_t> gHandleSequence{0};

int32_t DrawHandle() {
  const uint32_t n = gHandleSequence.fetch_add(1, std::memory_order_relaxed);
  return -static_cast<int32_t>(n % 0x7FFFFFFFU + 1U);
}

}  // namespace

bool StoredFieldText(const TFieldDefinition& field, const uint8_t* record, TBlobFile* blob, std::string& text) {
  text.clear();
  if (!field.IsStored() || FieldIsNull(record, field)) return false;
  const uint8_t* value = FieldValue(record, field);
  if (field.FieldType == TFieldType::String) {
    text.assign(reinterpret_cast<const char*>(value), strnlen(reinterpret_cast<const char*>(value), field.DataSize));
    return true;
  }
  if (field.FieldType != TFieldType::Blob || !blob) return false;
  const TBlobReference reference = ReadBlobReference(value);
  if (!reference.IsStored()) return false;
  TBlobBuffer buffer;
  buffer.FirstBlock = reference.FirstBlock;
  buffer.BlobId = reference.BlobId;
  blob->ReadBlob(buffer);
  text.assign(buffer.Data.begin(), buffer.Data.end());
  return true;
}

TBlobBuffer* TCursorBlobs::Find(int32_t handle) const {
  if (handle >= 0) return nullptr;
  for (const TEntry& entry : FEntries) {
    if (entry.Handle == handle) return entry.Buffer.get();
  }
  return nullptr;
}

std::unique_ptr<TBlobBuffer> TCursorBlobs::NewBuffer() {
  if (FPool.empty()) return std::make_unique<TBlobBuffer>();
  std::unique_ptr<TBlobBuffer> buffer = std::move(FPool.back());
  FPool.pop_back();
  return buffer;
}

int32_t TCursorBlobs::Add(std::unique_ptr<TBlobBuffer> buffer) {
  int32_t handle = DrawHandle();
  // After a wrap-around the sequence could meet a handle that is still open here.
  while (Find(handle) != nullptr) handle = DrawHandle();
  FEntries.push_back(TEntry{handle, std::move(buffer)});
  return handle;
}

void TCursorBlobs::Remove(int32_t handle) {
  auto it = std::find_if(FEntries.begin(), FEntries.end(), [handle](const TEntry& e) { return e.Handle == handle; });
  if (it == FEntries.end()) return;
  std::unique_ptr<TBlobBuffer> buffer = std::move(it->Buffer);
  FEntries.erase(it);
  Recycle(std::move(buffer));
}

void TCursorBlobs::Clear() {
  for (TEntry& entry : FEntries) Recycle(std::move(entry.Buffer));
  FEntries.clear();
}

std::vector<int32_t> TCursorBlobs::Handles() const {
  std::vector<int32_t> handles;
  handles.reserve(FEntries.size());
  for (const TEntry& entry : FEntries) handles.push_back(entry.Handle);
  return handles;
}

void TCursorBlobs::Recycle(std::unique_ptr<TBlobBuffer> buffer) {
  if (!buffer || FPool.size() >= kPoolSize) return;
  if (buffer->Data.capacity() > kMaxPooledCapacity || buffer->Original.capacity() > kMaxPooledCapacity) return;
  buffer->Cursor = nullptr;
  buffer->FieldNo = 0;
  buffer->Modified = false;
  buffer->BlobId = 0;
  buffer->FirstBlock = 0;
  buffer->Data.clear();
  buffer->Original.clear();
  buffer->OpenCount = 0;
  FPool.push_back(std::move(buffer));
}

}  // namespace kura
