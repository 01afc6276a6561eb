#include "kura/engine/table_definition_check.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"

#include <string>

#include <gtest/gtest.h>


namespace kura {
namespace {

using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;
using testing_support::Field;
using testing_support::Index;

TTableDefinition Valid() {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer), Field("NAME", TFieldType::String, 20),
              Field("NOTE", TFieldType::Blob)};
  t.Fields[2].SubType = TFieldSubType::Memo;
  t.PrimaryIndex = Index("", {1}, true);
  t.SecondaryIndexes = {Index("ByName", {2}, false)};
  return t;
}

TErrorCode CodeOf(const TTableDefinition& definition) {
  return EngineErrorCodeOf([&] { CheckTableDefinition(definition, {}); });
}

struct TCase {
  const char* Name;
  void (*Change)(TTableDefinition&);
  TErrorCode Code;
};

const TCase kCases[] = {
    {"valid", [](TTableDefinition&) {}, 0},
    {"password of 16 characters", [](TTableDefinition& t) { t.Encrypted = true; t.Password = std::string(16, 'p'); },
     KURA_INVALIDPASSWORD},
    {"password of 15 characters", [](TTableDefinition& t) { t.Encrypted = true; t.Password = std::string(15, 'p'); }, 0},
    {"blank password", [](TTableDefinition& t) { t.Encrypted = true; t.Password = "   "; }, KURA_INVALIDPASSWORD},
    {"auto-increment below -1", [](TTableDefinition& t) { t.LastAutoIncValue = -2; }, KURA_FLDLIMIT},
    {"too many fields",
     [](TTableDefinition& t) {
       t.Fields.clear();
       for (int i = 0; i < 1025; ++i) t.Fields.push_back(Field("F" + std::to_string(i), TFieldType::Integer));
       t.PrimaryIndex.reset();
       t.SecondaryIndexes.clear();
     },
     KURA_FLDLIMIT},
    {"31 secondary indexes",
     [](TTableDefinition& t) {
       t.SecondaryIndexes.clear();
       for (int i = 0; i < 31; ++i) t.SecondaryIndexes.push_back(Index("I" + std::to_string(i), {2}, false));
     },
     KURA_INDEXLIMIT},
    {"BLOB block size 63", [](TTableDefinition& t) { t.BlobBlockSize = 63; }, KURA_BLOBLIMIT},
    {"field name of 31 characters", [](TTableDefinition& t) { t.Fields[1].Name = std::string(31, 'N'); },
     KURA_INVALIDFIELDNAME},
    {"field name of 30 characters", [](TTableDefinition& t) { t.Fields[1].Name = std::string(30, 'N'); }, 0},
    {"Name and NAME",
     [](TTableDefinition& t) { t.Fields[0].Name = "Name"; t.PrimaryIndex.reset(); },
     KURA_INVALIDFIELDNAME},
    {"name starting with a digit", [](TTableDefinition& t) { t.Fields[1].Name = "1NAME"; }, KURA_INVALIDFIELDNAME},
    {"empty name", [](TTableDefinition& t) { t.Fields[1].Name = "  "; }, KURA_INVALIDFIELDNAME},
    {"field number twice", [](TTableDefinition& t) { t.Fields[0].FieldNo = 1; t.Fields[1].FieldNo = 1; },
     KURA_INVALIDFLDTYPE},
    {"type 0", [](TTableDefinition& t) { t.Fields[1].FieldType = TFieldType::Unknown; }, KURA_INVALIDFLDTYPE},
    {"string of size 0", [](TTableDefinition& t) { t.Fields[1].Size = 0; }, KURA_INVALIDFLDTYPE},
    {"string of size 251", [](TTableDefinition& t) { t.Fields[1].Size = 251; }, KURA_INVALIDFLDTYPE},
    {"two auto-increment fields",
     [](TTableDefinition& t) {
       t.Fields[0].SubType = TFieldSubType::AutoInc;
       t.Fields.push_back(Field("ID2", TFieldType::Integer));
       t.Fields.back().SubType = TFieldSubType::AutoInc;
     },
     KURA_INVALIDFLDTYPE},
    {"default that is no integer", [](TTableDefinition& t) { t.Fields[0].DefaultValue = "abc"; },
     KURA_INVALIDVCHKSTRUCT},
    {"index name starting with a digit", [](TTableDefinition& t) { t.SecondaryIndexes[0].Name = "9x"; },
     KURA_INVALIDINDEXNAME},
    {"index names ByName and BYNAME",
     [](TTableDefinition& t) { t.SecondaryIndexes.push_back(Index("BYNAME", {1}, false)); }, KURA_INDEXEXISTS},
    {"index over an unknown field", [](TTableDefinition& t) { t.SecondaryIndexes[0].Fields = {9}; },
     KURA_INVALIDIDXDESC},
    {"primary index over an unknown field", [](TTableDefinition& t) { t.PrimaryIndex->Fields = {0}; },
     KURA_INVALIDIDXDESC},
    {"index over a BLOB", [](TTableDefinition& t) { t.SecondaryIndexes[0].Fields = {3}; }, KURA_SEARCHCOLREQD},
    {"text index over an integer", [](TTableDefinition& t) { t.TextIndexFields = {1}; }, KURA_SEARCHCOLREQD},
    {"text index over a string and a memo", [](TTableDefinition& t) { t.TextIndexFields = {2, 3}; }, 0},
    {"key of two 250-character strings",
     [](TTableDefinition& t) {
       t.Fields = {Field("A", TFieldType::String, 250), Field("B", TFieldType::String, 250),
                   Field("C", TFieldType::String, 250)};
       t.PrimaryIndex = Index("", {1, 2}, true);
       t.SecondaryIndexes.clear();
     },
     0},
    {"key of three 250-character strings",
     [](TTableDefinition& t) {
       t.Fields = {Field("A", TFieldType::String, 250), Field("B", TFieldType::String, 250),
                   Field("C", TFieldType::String, 250)};
       t.PrimaryIndex = Index("", {1, 2, 3}, true);
       t.SecondaryIndexes.clear();
     },
     KURA_INVALIDKEY},
};

TEST(TableDefinitionCheck, EachFaultHasItsCode) {
  for (const TCase& c : kCases) {
    TTableDefinition t = Valid();
    c.Change(t);
    EXPECT_EQ(CodeOf(t), c.Code) << c.Name;
  }
}

TEST(TableDefinitionCheck, TheFirstFaultInOrderIsReported) {
  // A bad password comes before a bad field, a bad field before a bad index.
  TTableDefinition t = Valid();
  t.SecondaryIndexes[0].Fields = {9};
  t.Fields[1].Size = 0;
  EXPECT_EQ(CodeOf(t), KURA_INVALIDFLDTYPE);
  t.Encrypted = true;
  EXPECT_EQ(CodeOf(t), KURA_INVALIDPASSWORD);
}

TEST(TableDefinitionCheck, NormalisesNamesSizesAndOffsets) {
  TTableDefinition t = Valid();
  t.Fields[0].Name = "  ID ";
  t.Fields[0].Size = 7;
  t.Fields[0].Scale = 3;
  t.SecondaryIndexes[0].Name = " ByName ";
  t.Encrypted = true;
  t.Password = " secret ";
  const TTableDefinition checked = CheckTableDefinition(t, {});
  EXPECT_EQ(checked.Fields[0].Name, "ID");
  EXPECT_EQ(checked.Fields[0].Size, 0);
  EXPECT_EQ(checked.Fields[0].Scale, 0);
  EXPECT_EQ(checked.Fields[0].Offset, 9);
  EXPECT_EQ(checked.Fields[1].Offset, 9 + 5);
  EXPECT_EQ(checked.Fields[1].DataSize, 21);
  EXPECT_EQ(checked.SecondaryIndexes[0].Name, "ByName");
  EXPECT_EQ(checked.Password, "secret");
}

TEST(TableDefinitionCheck, ErrorsNameTheFieldOrIndex) {
  TTableDefinition t = Valid();
  t.SecondaryIndexes[0].Fields = {9};
  TErrorNames names;
  names.TableName = "people";
  const auto error = EngineErrorOf([&] { CheckTableDefinition(t, names); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorIndexName, "ByName");
  EXPECT_EQ(error->ErrorTableName, "people");
}

}  // namespace
}  // namespace kura
