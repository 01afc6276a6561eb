#pragma once

// The open BLOB buffers of one cursor. While a BLOB field of a record image is open, the
// first four bytes of its value hold the buffer's handle instead of the stored chain's
// first block. Handles are negative, so they never look like a stored reference (which is
// 0 or a positive block number), and they are drawn from one process-wide sequence, so a
// handle that another cursor put into an image is recognised as foreign instead of being
// taken for one of this cursor's own.
//
// A cursor keeps at most kMaxOpenBlobs buffers. Released buffers are kept in a small pool
// so that opening the BLOB of one record after another reuses their memory.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kura/storage/blob_buffer.h"
#include "kura/storage/field_definition.h"

namespace kura {

class TBlobFile;

// The text of a text-indexed field of a stored record image: a string's characters, or
// a memo's contents read from `blob` through the field's stored reference. False when
// the field holds nothing (NULL, no stored chain or no BLOB file) or is of another type.
// Raises what reading the BLOB file raises.
bool StoredFieldText(const TFieldDefinition& field, const uint8_t* record, TBlobFile* blob, std::string& text);

class TCursorBlobs {
public:
  static constexpr int kMaxOpenBlobs = 128;

  TCursorBlobs() = default;
  TCursorBlobs(const TCursorBlobs&) = delete;
  TCursorBlobs& operator=(const TCursorBlobs&) = delete;

  // The buffer behind handle, or nullptr when it is not one of this object's open
  // handles (a stored reference, a foreign handle, or a handle already released).
  TBlobBuffer* Find(int32_t handle) const;
  int Count() const { return static_cast<int>(FEntries.size()); }
  bool Full() const { return Count() >= kMaxOpenBlobs; }

  // An empty buffer (from the pool when one is there) for Add; no handle yet.
  std::unique_ptr<TBlobBuffer> NewBuffer();
  // Takes the buffer over and returns its new handle (negative). Requires !Full().
  int32_t Add(std::unique_ptr<TBlobBuffer> buffer);
  // Forgets the handle; its buffer goes back to the pool. Nothing for an unknown handle.
  void Remove(int32_t handle);
  // Forgets every handle.
  void Clear();

  // The open handles, in the order they were added (a copy: Remove may be called while
  // walking it).
  std::vector<int32_t> Handles() const;

private:
  struct TEntry {
    int32_t Handle;
    std::unique_ptr<TBlobBuffer> Buffer;
  };
  void Recycle(std::unique_ptr<TBlobBuffer> buffer);

  // At most kMaxOpenBlobs entries: a linear search is as fast as any map here.
  std::vector<TEntry> FEntries;
  std::vector<std::unique_ptr<TBlobBuffer>> FPool;
};

}  // namespace kura
