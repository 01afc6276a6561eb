#pragma once

// One opened BLOB field of a cursor: the whole value in memory, where it came from in
// the BLOB file, and a copy of it as read so that a cancelled edit can restore it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kura {

class TBlobBuffer {
public:
  // The opening cursor, as an opaque identity (the cursor owns its buffers).
  const void* Cursor = nullptr;
  uint16_t FieldNo = 0;
  // The value differs from what the BLOB file holds under FirstBlock / BlobId.
  bool Modified = false;
  // The stored reference of the field: the chain's first block (0 = empty) and the id
  // that every block of the chain carries.
  int32_t BlobId = 0;
  int32_t FirstBlock = 0;
  // The value; its size is the value's length.
  std::vector<uint8_t> Data;
  // The value as last read or written.
  std::vector<uint8_t> Original;
  // Opens of the field not yet matched by a release.
  int OpenCount = 0;

  size_t Length() const { return Data.size(); }
  // Copies `length` bytes in at `offset`, growing the value to offset + length when it
  // is shorter (the gap is zero-filled).
  void Put(size_t offset, const uint8_t* bytes, size_t length);
  // Cuts (or zero-extends) the value to `length` bytes.
  void Truncate(size_t length);
  // Replaces the whole value.
  void Assign(const uint8_t* bytes, size_t length);
  // Restores the value as last read or written and clears Modified.
  void Cancel();
  // The current value is what the file now holds: it becomes the copy Cancel restores.
  void MarkClean();
};

}  // namespace kura
