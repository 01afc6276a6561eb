#include "kura/base/names_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

namespace kura {
namespace {

TEST(NamesPaths, CharacterClasses) {
  for (int c = 0; c < 256; ++c) {
    const auto byte = static_cast<uint8_t>(c);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool start = letter || c == '_' || (c >= 128 && c <= 254);
    EXPECT_EQ(IsNameStartChar(byte), start) << c;
    EXPECT_EQ(IsNameChar(byte), start || (c >= '0' && c <= '9')) << c;
  }
  EXPECT_FALSE(IsNameStartChar(255));
  EXPECT_FALSE(IsNameStartChar('1'));
  for (char c : std::string("!$@")) EXPECT_TRUE(IsNameExtraChar(static_cast<uint8_t>(c)));
  EXPECT_FALSE(IsNameExtraChar('#'));
  const std::string separators = "*+,-./:;<=>\\`";
  for (int c = 0; c < 256; ++c) {
    EXPECT_EQ(IsSeparatorChar(static_cast<uint8_t>(c)), separators.find(static_cast<char>(c)) != std::string::npos)
        << c;
  }
}

TEST(NamesPaths, TrimAndCompareNames) {
  EXPECT_EQ(TrimBlanks("  tejun \t"), "tejun");
  EXPECT_EQ(TrimBlanks("   "), "");
  EXPECT_TRUE(SameText("TeJun", "tejun"));
  EXPECT_FALSE(SameText("tejun", "tejun "));
  EXPECT_TRUE(SameName(" MNB", "mnb  "));
  EXPECT_FALSE(SameName("MNB", "MNC"));
  EXPECT_EQ(UpperCaseAscii("abc\x82\xa0z"), "ABC\x82\xa0Z");
}

TEST(NamesPaths, PathDelimiters) {
  EXPECT_EQ(NormalizePath("DB\\tejun/x\\y"), "DB/tejun/x/y");
  struct TCase {
    const char* Input;
    const char* Expected;
  };
  const TCase trailing[] = {
      {"DBtavimo", "DBtavimo/"}, {" DBtavimo/ ", "DBtavimo/"}, {"DB\\tavimo\\", "DB/tavimo/"}, {"", ""},
      {"   ", ""}, {"/", "/"},
  };
  for (const auto& c : trailing) EXPECT_EQ(IncludeTrailingDelimiter(c.Input), c.Expected) << c.Input;
  const TCase stripped[] = {
      {"\\tejun\\", "tejun"}, {"\\DB\\tejun", "DB/tejun"}, {" DB/tejun// ", "DB/tejun"}, {"/work/db/", "/work/db"}, {"//x", "/x"},
      {"/", "/"}, {"", ""}, {"\\\\", ""},
  };
  for (const auto& c : stripped) EXPECT_EQ(StripDelimiters(c.Input), c.Expected) << c.Input;
  EXPECT_TRUE(HasPath(""));
  EXPECT_TRUE(HasPath("DB/tejun"));
  EXPECT_TRUE(HasPath("DB\\tejun"));
  EXPECT_FALSE(HasPath("tejun"));
  EXPECT_FALSE(HasPath("tejun.DAT"));
}

TEST(NamesPaths, Extensions) {
  EXPECT_EQ(ExtractExtension("DB/tejun.DAT"), ".DAT");
  EXPECT_EQ(ExtractExtension("DB.old/tejun"), "");
  EXPECT_EQ(ExtractExtension("DB.old\\tejun"), "");
  EXPECT_EQ(ExtractFileName("a/b\\c.x"), "c.x");
  struct TStrip {
    const char* Name;
    const char* Ext;
    const char* Expected;
  };
  const TStrip strips[] = {
      {"Orders.dat", ".DAT", "Orders"},       {"Orders.dat", "", "Orders"},
      {"Orders.IDX", ".DAT", "Orders.IDX"},   {"Orders", ".DAT", "Orders"},
      {"DB.x/Orders", "", "DB.x/Orders"},     {"DB/Orders.tar.gz", ".gz", "DB/Orders.tar"},
  };
  for (const auto& c : strips) EXPECT_EQ(StripExtension(c.Name, c.Ext), c.Expected) << c.Name;
  EXPECT_EQ(TableBaseName("/work/DBtavimo/tejun.DAT", ".DAT"), "tejun");
  EXPECT_EQ(TableBaseName("DBtavimo\\tejun.dat", ""), "tejun");
  EXPECT_EQ(TableBaseName("tejun.IDX", ".DAT"), "tejun.IDX");
  struct TForce {
    const char* Name;
    const char* Ext;
    const char* NewExt;
    const char* Expected;
  };
  const TForce forces[] = {
      {"Orders", ".DAT", ".IDX", "Orders.IDX"},
      {"Orders.dat", ".DAT", ".IDX", "Orders.IDX"},
      {" Orders.DAT ", ".DAT", ".IDX", "Orders.IDX"},
      {"Orders.x", ".DAT", ".IDX", "Orders.x.IDX"},
      {"DB.d/Orders", ".DAT", ".BLB", "DB.d/Orders.BLB"},
  };
  for (const auto& c : forces) EXPECT_EQ(ForceExtension(c.Name, c.Ext, c.NewExt), c.Expected) << c.Name;
}

TEST(NamesPaths, RemoveLineBreaks) {
  EXPECT_EQ(RemoveLineBreaks("Select *\r\nFrom tejun\nWhere MNB = ?\r"), "Select *From tejunWhere MNB = ?");
  EXPECT_EQ(RemoveLineBreaks(""), "");
}

TEST(NamesPaths, TempNamesTakeTheFirstFreeCounter) {
  const std::string stem = std::to_string(std::labs(static_cast<long>(gettid()))).substr(0, 5);
  EXPECT_EQ(TempNameStem(), stem);
  std::set<std::string> taken;
  const auto exists = [&taken](const std::string& name) { return taken.count(name) != 0; };
  EXPECT_EQ(MakeTempFileName("/tmp/priv", ".TMP", exists), "/tmp/priv/" + stem + "0.TMP");
  taken.insert("/tmp/priv/" + stem + "0.TMP");
  taken.insert("/tmp/priv/" + stem + "1.TMP");
  EXPECT_EQ(MakeTempFileName(" /tmp/priv/ ", ".TMP", exists), "/tmp/priv/" + stem + "2.TMP");
  EXPECT_EQ(MakeTempFileName("/tmp/priv", ".IDX", exists), "/tmp/priv/" + stem + "0.IDX");
  EXPECT_EQ(MakeTempFileName("", ".IDX", exists), stem + "0.IDX");
}

}  // namespace
}  // namespace kura
