#pragma once

// Whole files as bytes, for tests that check or damage what an engine file holds on disk.

#include <cstdint>
#include <filesystem>
#include <vector>

namespace testing_support {

// Every byte of the file; empty when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
// Replaces the file's content with `bytes` (creates it when missing).
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace testing_support
