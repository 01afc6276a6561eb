// Fuzz target: a data file made of arbitrary bytes is opened and every record read,
// field by field. Whatever the bytes, the engine may only raise its own errors; a crash,
// a sanitizer report or any other exception is a finding.

#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_input.h"
#include "kura/base/engine_error.h"
#include "kura/base/file_handler.h"
#include "kura/storage/data_file.h"
#include "kura/storage/record.h"

namespace {

// The bytes go to an in-memory file, so the target touches no disk.
const std::string kName = "fuzz/input.DAT";

// Keeps the reads from being optimised away.
volatile uint64_t gSink = 0;

void ReadEverything(kura::TDataFile& file) {
  file.OpenDataFile();
  uint64_t sink = 0;
  const int32_t count = file.RecordCount();
  for (int32_t recNo = 1; recNo <= count; ++recNo) {
    kura::TRecord* record = file.GetRecord(recNo, kura::TReadAhead{true, false, 0});
    for (const kura::TFieldDefinition& field : file.FieldDefinitions()) {
      // A computed column has no bytes in the record: its value comes from its
      // expression, never from the record buffer.
      if (field.Computed) continue;
      if (field.FieldType == kura::TFieldType::String) {
        if (auto text = record->GetString(field)) sink += text->size();
      } else if (!record->IsNull(field)) {
        sink += record->FieldData(field)[0];
      }
    }
    sink += static_cast<uint64_t>(record->UniqueId());
    file.ReleaseRecord(record);
  }
  gSink = sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::RunOnMemoryFile(kName, data, size, [] {
    kura::TDataFile file(kName, true);
    try {
      ReadEverything(file);
    } catch (const kura::EKuraEngineError&) {
    }
    file.CloseDataFile();
  });
  return 0;
}
