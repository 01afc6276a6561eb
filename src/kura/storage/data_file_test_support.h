#pragma once

// Helpers shared by the data file tests: field definitions, an owner with adjustable
// session settings, and raw access to the bytes of a file on disk.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/engine_error.h"
#include "kura/storage/data_file.h"

namespace kura::storage_test {

inline TFieldDefinition Field(const std::string& name, TFieldType type, uint8_t size = 0,
                              TFieldSubType subType = TFieldSubType::None) {
  TFieldDefinition d;
  d.Name = name;
  d.FieldType = type;
  d.Size = size;
  d.SubType = subType;
  return d;
}

class TTestOwner : public TDataFileOwner {
public:
  int32_t BufferBytes = 16384;
  int32_t BufferRecords = 8192;
  bool Transaction = false;
  bool NoPrimary = false;
  std::string Private;
  int Modified = 0;

  bool InTransaction() const override { return Transaction; }
  bool NoPrimaryIndex() const override { return NoPrimary; }
  void MarkTableModified() override { ++Modified; }
  int32_t MaxDataBufferSize() const override { return BufferBytes; }
  int32_t MaxDataBufferCount() const override { return BufferRecords; }
  std::string PrivateDir() const override { return Private.empty() ? TDataFileOwner::PrivateDir() : Private; }
};

inline std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The engine error code `action` raises, or 0 when it raises nothing.
inline TErrorCode ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EKuraEngineError& error) {
    return error.ErrorCode;
  }
  return 0;
}

}  // namespace kura::storage_test
