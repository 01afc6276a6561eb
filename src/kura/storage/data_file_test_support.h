#pragma once

// The data file tests' owner of a data file, with adjustable session settings.

#include <cstdint>
#include <string>

#include "kura/storage/data_file.h"

namespace kura::storage_test {

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

}  // namespace kura::storage_test
