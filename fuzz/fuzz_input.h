#pragma once

// What every file fuzz target does around its own reading: the input bytes become an
// in-memory file (so a target touches no disk), the target opens and reads it, an
// engine error is the expected outcome for damaged bytes, and the file is deleted.

#include <cstddef>
#include <cstdint>
#include <string>

#include "kura/base/engine_error.h"
#include "kura/base/file_handler.h"

namespace fuzz_support {

template <typename TUse>
void RunOnMemoryFile(const std::string& name, const uint8_t* data, size_t size, TUse use) {
  {
    kura::TFileHandler writer(name, true);
    writer.Create();
    if (size > 0) writer.WriteBuffer(data, static_cast<int32_t>(size));
    writer.Close();
  }
  try {
    use();
  } catch (const kura::EKuraEngineError&) {
    // The expected outcome for damaged bytes.
  }
  kura::TFileHandler(name, true).Delete();
}

}  // namespace fuzz_support
