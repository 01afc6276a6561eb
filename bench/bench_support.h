#pragma once

// Pieces the benchmark programs share: field definitions for their tables and the
// --records=N option.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "kura/storage/field_definition.h"
#include "testing/definition_builders.h"

namespace bench_support {

// A field definition by name, type and size, as the tests build them.
using testing_support::Field;

// Takes --records=N out of the arguments (before Google Benchmark sees them) and returns
// N, or `count` when the option is absent. Raises std::runtime_error for an N outside
// [least, most].
inline int32_t TakeRecordCount(int& argc, char** argv, int32_t count, long least, long most) {
  int out = 1;
  for (int i = 1; i < argc; ++i) {
    const char* prefix = "--records=";
    if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) {
      const long n = std::strtol(argv[i] + std::strlen(prefix), nullptr, 10);
      if (n < least || n > most) {
        throw std::runtime_error("bad record count (" + std::to_string(least) + " to " + std::to_string(most) +
                                 "): " + argv[i]);
      }
      count = static_cast<int32_t>(n);
      continue;
    }
    argv[out++] = argv[i];
  }
  argc = out;
  argv[argc] = nullptr;
  return count;
}

}  // namespace bench_support
