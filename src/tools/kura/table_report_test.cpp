#include "tools/kura/table_report.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "kura/storage/data_file.h"
#include "testing/temp_dir.h"

namespace kura::tool {
namespace {

TFieldDefinition MakeField(const std::string& name, TFieldType type, uint8_t size = 0,
                           TFieldSubType subType = TFieldSubType::None) {
  TFieldDefinition d;
  d.Name = name;
  d.FieldType = type;
  d.Size = size;
  d.SubType = subType;
  return d;
}

class KuraToolTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::vector<TFieldDefinition> fields{MakeField("MNB", TFieldType::Integer, 0, TFieldSubType::AutoInc),
                                         MakeField("CMT", TFieldType::String, 40),
                                         MakeField("PST", TFieldType::SmallInt)};
    fields[2].MinValue = "1";
    fields[2].MaxValue = "361";
    fields[1].Required = true;
    TDataFile file(Table() + ".DAT");
    file.CreateDataFile(0x0409, 0, fields, 0, "Problems", "", false, 1, 2);
    for (int i = 0; i < 3; ++i) {
      TRecordPin record(file, file.AllocateRecord());
      record->SetUniqueId(file.NextAutoIncValue());
    }
    file.FlushRecords();
    file.WriteHeader();
  }
  std::string Table() const { return (Dir / "temazu").string(); }

  testing_support::TTempDir Dir;
};

TEST_F(KuraToolTest, InfoShowsHeaderAndFieldDefinitions) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(InfoCommand(Table(), out, err), 0);
  const std::string text = out.str();
  EXPECT_EQ(err.str(), "");
  for (const char* expected :
       {"Records:              3\n", "Record size:          54\n", "Fields:               3\n",
        "Change count:         2\n", "Last auto-increment:  3\n", "Description:          Problems\n",
        "Engine version:       3.30\n", "User version:         1.2\n"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin:\n" << text;
  }
  EXPECT_NE(text.find("Locale:               1033 (English (USA)), sort 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("No  Name  Type      Subtype  Size  Scale  Data  Offset  Req  Case  Min  Max  Default\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("1   MNB   Integer   AutoInc  0     0      4     5\n"), std::string::npos) << text;
  EXPECT_NE(text.find("2   CMT   String             40    0      41    9       yes\n"), std::string::npos) << text;
  EXPECT_NE(text.find("3   PST   SmallInt           0     0      2     51                 1    361\n"),
            std::string::npos)
      << text;
}

TEST_F(KuraToolTest, VerifyReportsOkOrTheEngineMessage) {
  for (const std::string& name : {Table(), Table() + ".DAT", Table() + ".dat"}) {
    std::ostringstream out;
    EXPECT_EQ(VerifyCommand(name, out), 0) << name;
    EXPECT_EQ(out.str(), "ok\n");
  }
  std::ofstream(Table() + ".DAT", std::ios::binary | std::ios::app).put('\0');
  std::ostringstream out;
  EXPECT_EQ(VerifyCommand(Table(), out), 1);
  EXPECT_EQ(out.str(), "Kura Engine Error # 8961 Header information corrupt in the table 'temazu'\n");
  std::ostringstream missing;
  EXPECT_EQ(VerifyCommand((Dir / "nothing").string(), missing), 1);
  EXPECT_NE(missing.str().find("Kura Engine Error # 11010 "), std::string::npos) << missing.str();
}

TEST(KuraToolCommandLine, NamesAndUsage) {
  EXPECT_EQ(DataFileNameOf("a/b"), "a/b.DAT");
  EXPECT_EQ(DataFileNameOf("a/b.dat"), "a/b.dat");
  EXPECT_EQ(DataFileNameOf("a/b.DAT"), "a/b.DAT");
  EXPECT_EQ(DataFileNameOf("a.x/b"), "a.x/b.DAT");
  const struct {
    std::vector<const char*> Args;
  } bad[] = {{{}}, {{"info"}}, {{"check", "t"}}, {{"verify", "a", "b"}}};
  for (const auto& c : bad) {
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunCommandLine(static_cast<int>(c.Args.size()), c.Args.data(), out, err), 2);
    EXPECT_NE(err.str().find("usage: kura info TABLE"), std::string::npos);
  }
}

}  // namespace
}  // namespace kura::tool
