#pragma once

#include <filesystem>

namespace testing_support {

// A fresh directory under the system's temporary directory, removed with everything in
// it when the object goes out of scope. Every test that touches files makes its own.
class TTempDir {
public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  // Path of an entry inside the directory.
  std::filesystem::path operator/(const std::filesystem::path& name) const { return FPath / name; }

private:
  std::filesystem::path FPath;
};

}  // namespace testing_support
