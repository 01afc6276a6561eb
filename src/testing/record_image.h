#pragma once

// Field access on record images by field number (1-based), for tests that build records
// or read what a cursor delivered without going through the cursor's field operations.

#include <cstdint>
#include <string>
#include <vector>

#include "kura/storage/data_file.h"

namespace testing_support {

class TRecordImage {
  const kura::TDataFile& FData;

public:
  // A zeroed image of the table's record size: every field NULL.
  explicit TRecordImage(const kura::TDataFile& data);
  const kura::TFieldDefinition& Def(int fieldNo) const { return *FData.FieldByPosition(fieldNo); }
  void SetInt(int fieldNo, int32_t value);
  // Cut to the field's size, padded with zero bytes.
  void SetText(int fieldNo, const std::string& value);
  static int32_t Int(const kura::TDataFile& data, const uint8_t* record, int fieldNo);
  static std::string Text(const kura::TDataFile& data, const uint8_t* record, int fieldNo);

  std::vector<uint8_t> Bytes;
};

}  // namespace testing_support
