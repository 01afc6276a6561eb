#include "testing/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testing_support {

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory from " + pattern);
  }
  FPath = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;  // best effort: a test must not fail while cleaning up
  std::filesystem::remove_all(FPath, ignored);
}

}  // namespace testing_support
