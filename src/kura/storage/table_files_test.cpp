#include "kura/storage/table_files.h"

#include <gtest/gtest.h>

namespace kura {
namespace {

TEST(TableFiles, NamesOfEachKind) {
  struct TCase {
    const char* Directory;
    const char* Table;
    std::string_view Extension;
    const char* Expected;
  } const cases[] = {
      {"/db/", "people", kDataFileExtension, "/db/people.DAT"},
      {"/db/", "people", kIndexFileExtension, "/db/people.IDX"},
      {"/db/", "people", kBlobFileExtension, "/db/people.BLB"},
      {"/db/", "people", kDataBackupExtension, "/db/people.DBK"},
      {"/db/", "people", kIndexBackupExtension, "/db/people.IBK"},
      {"/db/", "people", kBlobBackupExtension, "/db/people.BBK"},
      // A trailing ".DAT" in any letter case is replaced.
      {"/db/", "people.DAT", kIndexFileExtension, "/db/people.IDX"},
      {"/db/", "people.dat", kBlobFileExtension, "/db/people.BLB"},
      {"/db/", "people.Dat", kDataFileExtension, "/db/people.DAT"},
      // Any other extension stays, and the file's own is appended.
      {"/db/", "people.txt", kDataFileExtension, "/db/people.txt.DAT"},
      {"/db/", "people.DAT.old", kIndexFileExtension, "/db/people.DAT.old.IDX"},
      // Blanks around the name are not part of it.
      {"/db/", "  people  ", kIndexFileExtension, "/db/people.IDX"},
      // A name with a directory part is used as written, delimiters normalized.
      {"/db/", "/abs/dir/t", kDataFileExtension, "/abs/dir/t.DAT"},
      {"/db/", "sub\\t.dat", kIndexFileExtension, "sub/t.IDX"},
      {"/db/", "a.x/b", kBlobFileExtension, "a.x/b.BLB"},
      // Without a directory the name stays relative.
      {"", "people", kDataFileExtension, "people.DAT"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(TableFileName(c.Directory, c.Table, c.Extension), c.Expected) << c.Directory << c.Table;
  }
}

}  // namespace
}  // namespace kura
