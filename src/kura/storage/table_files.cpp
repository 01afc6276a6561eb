#include "kura/storage/table_files.h"

#include "kura/base/names_paths.h"

namespace kura {

std::string TableFileName(std::string_view directory, std::string_view tableName, std::string_view extension) {
  const std::string_view name = TrimBlanks(tableName);
  std::string full;
  if (HasPath(name)) {
    full = NormalizePath(name);
  } else {
    full.reserve(directory.size() + name.size());
    full.append(directory).append(name);
  }
  return ForceExtension(full, kDataFileExtension, extension);
}

}  // namespace kura
