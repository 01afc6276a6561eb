#pragma once

// The files of a table and their names. A table is up to three files with the same base
// name in one directory: the data file, the index file and (for tables with BLOB
// fields) the BLOB file. Repair and optimisation keep the old files as backups.

#include <array>
#include <string>
#include <string_view>

namespace kura {

// Character arrays, so that they serve as C strings and as string views alike.
inline constexpr char kDataFileExtension[] = ".DAT";
inline constexpr char kIndexFileExtension[] = ".IDX";
inline constexpr char kBlobFileExtension[] = ".BLB";
inline constexpr char kDataBackupExtension[] = ".DBK";
inline constexpr char kIndexBackupExtension[] = ".IBK";
inline constexpr char kBlobBackupExtension[] = ".BBK";

// The extensions of a table's own files, data file first.
inline constexpr std::array<const char*, 3> kTableFileExtensions = {kDataFileExtension, kIndexFileExtension,
                                                                    kBlobFileExtension};

// The full name of one of a table's files. The table name is trimmed; with a directory
// part it is used as written (delimiters normalized to "/"), otherwise it is placed in
// `directory` (empty, or ending in "/"). Then a trailing ".DAT" in any letter case is
// replaced by `extension`, and any other name gets `extension` appended.
std::string TableFileName(std::string_view directory, std::string_view tableName, std::string_view extension);

}  // namespace kura
