#pragma once

// Helpers shared by the index file tests: field layouts, record buffers and an owner with
// an adjustable page cache.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/storage/index_file.h"
#include "kura/storage/key_encoding.h"
#include "kura/storage/record.h"

namespace kura::index_test {

// Numbers the fields and lays them out as the data file does; returns the record size.
inline int LayOut(std::vector<TFieldDefinition>& fields) {
  int offset = kRecordFieldsOffset;
  for (size_t i = 0; i < fields.size(); ++i) {
    TFieldDefinition& d = fields[i];
    d.FieldNo = static_cast<uint16_t>(i + 1);
    d.DataSize = static_cast<uint8_t>(DataSize(d.FieldType, d.Size));
    if (d.IsAutoInc()) {
      d.Offset = kRecordIdOffset;
    } else {
      d.Offset = static_cast<uint16_t>(offset);
      offset += d.DataSize + 1;
    }
  }
  return offset;
}

class TIndexTestOwner : public TIndexFileOwner {
public:
  int32_t BufferBytes = 16384;
  bool Transaction = false;
  std::string Private;
  int Modified = 0;
  bool InTransaction() const override { return Transaction; }
  void MarkTableModified() override { ++Modified; }
  int32_t MaxIndexBufferSize() const override { return BufferBytes; }
  std::string PrivateDir() const override { return Private.empty() ? TIndexFileOwner::PrivateDir() : Private; }
};

// A record buffer of the given size with its unique id set.
inline std::vector<uint8_t> NewRecord(int recordSize, int32_t uniqueId) {
  std::vector<uint8_t> record(static_cast<size_t>(recordSize), 0);
  WriteI32(record.data() + kRecordIdOffset, uniqueId);
  return record;
}

inline void SetInteger(std::vector<uint8_t>& record, const TFieldDefinition& f, int32_t value) {
  record[f.Offset] = 1;
  WriteI32(record.data() + f.Offset + 1, value);
}
inline void SetFloat(std::vector<uint8_t>& record, const TFieldDefinition& f, double value) {
  record[f.Offset] = 1;
  WriteF64(record.data() + f.Offset + 1, value);
}
inline void SetString(std::vector<uint8_t>& record, const TFieldDefinition& f, const std::string& value) {
  record[f.Offset] = 1;
  std::memset(record.data() + f.Offset + 1, 0, f.DataSize);
  std::memcpy(record.data() + f.Offset + 1, value.data(), std::min<size_t>(value.size(), f.DataSize - 1U));
}

}  // namespace kura::index_test
