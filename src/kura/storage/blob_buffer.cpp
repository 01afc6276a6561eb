#include "kura/storage/blob_buffer.h"

#include <cstring>

namespace kura {

void TBlobBuffer::Put(size_t offset, const uint8_t* bytes, size_t length) {
  if (offset + length > Data.size()) Data.resize(offset + length, 0);
  if (length > 0) std::memcpy(Data.data() + offset, bytes, length);
  Modified = true;
}

void TBlobBuffer::Truncate(size_t length) {
  Data.resize(length, 0);
  Modified = true;
}

void TBlobBuffer::Assign(const uint8_t* bytes, size_t length) {
  Data.assign(bytes, bytes + length);
  Modified = true;
}

void TBlobBuffer::Cancel() {
  Data = Original;
  Modified = false;
}

void TBlobBuffer::MarkClean() {
  Original = Data;
  Modified = false;
}

}  // namespace kura
