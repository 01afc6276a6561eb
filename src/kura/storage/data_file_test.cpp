#include "kura/storage/data_file.h"

#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/storage/data_file_test_support.h"
#include "kura/storage/scramble.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"
#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;
using testing_support::Field;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

// Three stored fields and the auto-increment field:
//   ID  Integer/AutoInc  offset 5
//   NAM String[10]       offset 9  (11 + 1 bytes)
//   NUM Integer          offset 21 (4 + 1 bytes)
//   AMT Float            offset 26 (8 + 1 bytes)
// RecordSize 35.
std::vector<TFieldDefinition> PeopleFields() {
  std::vector<TFieldDefinition> fields{Field("ID", TFieldType::Integer, 0, TFieldSubType::AutoInc),
                                       Field("NAM", TFieldType::String, 10), Field("NUM", TFieldType::Integer),
                                       Field("AMT", TFieldType::Float)};
  fields[2].MinValue = "-5";
  fields[2].DefaultValue = "7";
  fields[1].Required = true;
  return fields;
}

class DataFileTest : public ::testing::Test {
protected:
  std::filesystem::path PathOf(const std::string& name) const { return Dir / name; }

  // Creates people.DAT, appends `count` records (NUM = slot number) and commits.
  void CreatePeople(int count, bool encrypted = false) {
    TDataFile file(PathOf("people.DAT").string());
    file.CreateDataFile(0, 0, PeopleFields(), 0, "People", "secret", encrypted, 3, 4);
    for (int i = 1; i <= count; ++i) AppendPerson(file, i);
    file.FlushRecords();
    file.WriteHeader();
    file.CloseDataFile();
  }

  static void AppendPerson(TDataFile& file, int number) {
    TRecord* record = file.AllocateRecord();
    record->SetUniqueId(file.NextAutoIncValue());
    record->SetString(*file.FieldByName("NAM"), "P" + std::to_string(number));
    WriteI32(record->FieldData(*file.FieldByName("NUM")), number);
    record->Bytes()[file.FieldByName("NUM")->Offset] = 1;
    file.MarkRecordDirty(record);
    file.ReleaseRecord(record);
  }

  static int32_t NumOf(TDataFile& file, int32_t recNo) {
    TRecordPin record(file, file.GetRecord(recNo));
    return ReadI32(record->FieldData(*file.FieldByName("NUM")));
  }

  testing_support::TTempDir Dir;
};

TEST_F(DataFileTest, CreatedEmptyTableHasHeaderAndDefinitionsOnly) {
  CreatePeople(0);
  const std::vector<uint8_t> bytes = ReadFileBytes(PathOf("people.DAT"));
  ASSERT_EQ(bytes.size(), 127u + 768u * 4u);
  const uint8_t* h = bytes.data();
  EXPECT_EQ(ReadI32(h + 0), 1);  // one header write
  EXPECT_EQ(ReadI32(h + 4), 0);
  EXPECT_EQ(h[8], 5);
  EXPECT_EQ(ReadI32(h + 9), 0);
  EXPECT_EQ(ReadI32(h + 13), 1);
  EXPECT_EQ(ReadI32(h + 17), 0);
  EXPECT_EQ(ReadU16(h + 21), 35);
  EXPECT_EQ(ReadU16(h + 23), 4);
  EXPECT_EQ(ReadU16(h + 25), 0);
  EXPECT_EQ(h[35], 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 36), 6), "People");
  EXPECT_EQ(h[86], 0);
  EXPECT_EQ(h[87], 0);  // no password when not encrypted
  EXPECT_EQ(ReadU16(h + 103), 0);
  EXPECT_EQ(ReadU16(h + 107), 3);
  EXPECT_EQ(ReadU16(h + 109), 4);
  EXPECT_EQ(h[111], 1);  // the writer's changed flag as it stood
  EXPECT_EQ(ReadI64(h + 116), 33000);
  EXPECT_EQ(h[124] | h[125] | h[126], 0);

  struct TExpected {
    const char* Name;
    uint8_t Type, SubType, Size, DataSize;
    uint16_t Offset;
  } const expected[] = {{"ID", 6, 29, 0, 4, 5}, {"NAM", 1, 0, 10, 11, 9}, {"NUM", 6, 0, 0, 4, 21},
                        {"AMT", 7, 0, 0, 8, 26}};
  for (int i = 0; i < 4; ++i) {
    const uint8_t* d = bytes.data() + 127 + 768 * i;
    const TExpected& e = expected[i];
    EXPECT_EQ(ReadU16(d + 0), i + 1);
    EXPECT_EQ(d[2], std::strlen(e.Name));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 3), d[2]), e.Name);
    EXPECT_EQ(d[84], e.Type) << e.Name;
    EXPECT_EQ(d[85], e.SubType) << e.Name;
    EXPECT_EQ(d[86], e.Size) << e.Name;
    EXPECT_EQ(d[88], e.DataSize) << e.Name;
    EXPECT_EQ(ReadU16(d + 90), e.Offset) << e.Name;
  }
  const uint8_t* num = bytes.data() + 127 + 768 * 2;
  EXPECT_EQ(num[94], 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(num + 95), 2), "-5");
  EXPECT_EQ(num[196], 1);
  EXPECT_EQ(bytes[127 + 768 + 92], 1);  // NAM required

  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  EXPECT_EQ(file.RecordCount(), 0);
  EXPECT_EQ(file.Header().NextRecordNo, 1);
  EXPECT_NO_THROW(file.CheckHeader());
}

TEST_F(DataFileTest, AppendedRecordsAreSlotsAfterTheDefinitions) {
  CreatePeople(3);
  const std::vector<uint8_t> bytes = ReadFileBytes(PathOf("people.DAT"));
  const size_t base = 127 + 768 * 4;
  ASSERT_EQ(bytes.size(), base + 3 * 35);
  EXPECT_EQ(ReadI32(bytes.data() + 13), 4);
  EXPECT_EQ(ReadI32(bytes.data() + 17), 3);
  for (int n = 1; n <= 3; ++n) {
    const uint8_t* slot = bytes.data() + base + (n - 1) * 35;
    EXPECT_EQ(slot[0], 0);
    EXPECT_EQ(ReadI32(slot + 1), n);
    EXPECT_EQ(ReadI32(slot + 5), n);  // unique id from the auto-increment counter
    EXPECT_EQ(slot[9], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(slot + 10)), "P" + std::to_string(n));
    EXPECT_EQ(slot[21], 1);
    EXPECT_EQ(ReadI32(slot + 22), n);
    EXPECT_EQ(slot[26], 0);  // AMT is NULL: flag and data zero
    EXPECT_EQ(ReadF64(slot + 27), 0.0);
  }
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  EXPECT_NO_THROW(file.CheckHeader());
  EXPECT_EQ(NumOf(file, 2), 2);
}

TEST_F(DataFileTest, DeletedSlotsFormAChainAndAreReusedNewestFirst) {
  CreatePeople(6);
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  for (int32_t recNo : {3, 5}) {
    TRecordPin record(file, file.GetRecord(recNo));
    file.FreeRecord(record.Get());
  }
  EXPECT_EQ(file.Header().FirstFreeRecord, 5);
  file.FlushRecords();
  file.WriteHeader();
  const std::vector<uint8_t> bytes = ReadFileBytes(PathOf("people.DAT"));
  const size_t base = 127 + 768 * 4;
  EXPECT_EQ(ReadI32(bytes.data() + 9), 5);
  EXPECT_EQ(bytes[base + 4 * 35], 1);                    // slot 5 deleted
  EXPECT_EQ(ReadI32(bytes.data() + base + 4 * 35 + 1), 3);  // links to 3
  EXPECT_EQ(bytes[base + 2 * 35], 1);                    // slot 3 deleted
  EXPECT_EQ(ReadI32(bytes.data() + base + 2 * 35 + 1), 0);  // end of chain
  EXPECT_NO_THROW(file.CheckHeader());

  TRecord* first = file.AllocateRecord();
  EXPECT_EQ(first->RecNo, 5);
  EXPECT_FALSE(first->IsDeleted());
  EXPECT_EQ(first->Link(), 5);
  EXPECT_EQ(file.Header().FirstFreeRecord, 3);
  file.ReleaseRecord(first);
  TRecord* second = file.AllocateRecord();
  EXPECT_EQ(second->RecNo, 3);
  EXPECT_EQ(file.Header().FirstFreeRecord, 0);
  file.ReleaseRecord(second);
  TRecord* third = file.AllocateRecord();
  EXPECT_EQ(third->RecNo, 7);
  file.ReleaseRecord(third);
  EXPECT_EQ(file.RecordCount(), 7);
}

TEST_F(DataFileTest, TableWithoutPrimaryIndexAlwaysAppends) {
  CreatePeople(4);
  storage_test::TTestOwner owner;
  owner.NoPrimary = true;
  TDataFile file(PathOf("people.DAT").string(), false, &owner);
  file.OpenDataFile();
  {
    TRecordPin record(file, file.GetRecord(2));
    file.FreeRecord(record.Get());
  }
  TRecordPin fresh(file, file.AllocateRecord());
  EXPECT_EQ(fresh->RecNo, 5);
  EXPECT_EQ(file.Header().FirstFreeRecord, 2);
}

TEST_F(DataFileTest, DamagedFreeChainIsReportedNotFollowed) {
  CreatePeople(4);
  std::vector<uint8_t> bytes = ReadFileBytes(PathOf("people.DAT"));
  WriteI32(bytes.data() + 9, 2);  // slot 2 is active, not a free slot
  WriteFileBytes(PathOf("people.DAT"), bytes);
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  EXPECT_ENGINE_ERROR(KURA_FILECORRUPT, file.AllocateRecord());
}

TEST_F(DataFileTest, CountersWrapFromTheLargestInt32ToOne) {
  CreatePeople(0);
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  file.SetLastAutoIncValue(std::numeric_limits<int32_t>::max() - 1);
  EXPECT_EQ(file.NextAutoIncValue(), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(file.NextAutoIncValue(), 1);
  EXPECT_EQ(file.NextAutoIncValue(), 2);
  EXPECT_TRUE(file.HeaderChanged());
  EXPECT_EQ(file.NextBlobId(), 1);
  const int32_t changeCount = file.Header().ChangeCount;
  file.MarkHeaderChanged();
  EXPECT_EQ(file.Header().ChangeCount, changeCount + 1);
  file.WriteHeader();
  EXPECT_EQ(file.Header().ChangeCount, changeCount + 2);
  const std::vector<uint8_t> bytes = ReadFileBytes(PathOf("people.DAT"));
  EXPECT_EQ(ReadI32(bytes.data() + 17), 2);
  EXPECT_EQ(ReadI32(bytes.data() + 112), 1);
}

TEST_F(DataFileTest, EncryptedTableIsScrambledOnDiskAndReadsBackPlain) {
  CreatePeople(2, true);
  const std::vector<uint8_t> bytes = ReadFileBytes(PathOf("people.DAT"));
  EXPECT_EQ(bytes[86], 1);
  // Description and password blocks are scrambled with the header-text key.
  std::vector<uint8_t> description(bytes.begin() + 35, bytes.begin() + 86);
  Scramble(description.data(), description.size(), kHeaderTextKey);
  EXPECT_EQ(description[0], 6);
  EXPECT_EQ(std::string(description.begin() + 1, description.begin() + 7), "People");
  std::vector<uint8_t> password(bytes.begin() + 87, bytes.begin() + 103);
  Scramble(password.data(), password.size(), kHeaderTextKey);
  EXPECT_EQ(std::string(password.begin() + 1, password.begin() + 1 + password[0]), "secret");
  // The definition area as a whole, each slot on its own, with the record key.
  std::vector<uint8_t> definitions(bytes.begin() + 127, bytes.begin() + 127 + 768 * 4);
  Scramble(definitions.data(), definitions.size(), kRecordKey);
  EXPECT_EQ(ReadU16(definitions.data()), 1);
  EXPECT_EQ(definitions[3], 'I');
  const size_t base = 127 + 768 * 4;
  std::vector<uint8_t> slot2(bytes.begin() + base + 35, bytes.begin() + base + 70);
  Scramble(slot2.data(), slot2.size(), kRecordKey);
  EXPECT_EQ(ReadI32(slot2.data() + 1), 2);
  EXPECT_EQ(ReadI32(slot2.data() + 22), 2);

  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  EXPECT_TRUE(file.Encrypted());
  EXPECT_EQ(file.Password(), "secret");
  EXPECT_EQ(file.Description(), "People");
  EXPECT_EQ(file.FieldByPosition(2)->Name, "NAM");
  EXPECT_EQ(NumOf(file, 1), 1);
  EXPECT_EQ(NumOf(file, 2), 2);
  EXPECT_NO_THROW(file.CheckHeader());
}

TEST_F(DataFileTest, HeaderChangesOfAnotherOpenerAreDetected) {
  CreatePeople(1);
  TDataFile reader(PathOf("people.DAT").string());
  TDataFile writer(PathOf("people.DAT").string());
  reader.OpenDataFile();
  writer.OpenDataFile();
  EXPECT_FALSE(reader.ReadHeaderIfChanged());
  AppendPerson(writer, 2);
  writer.FlushRecords();
  EXPECT_TRUE(writer.WriteHeader());
  EXPECT_FALSE(writer.WriteHeader());  // nothing changed since
  EXPECT_TRUE(reader.ReadHeaderIfChanged());
  EXPECT_EQ(reader.RecordCount(), 2);
  EXPECT_EQ(reader.Header().ChangeCount, writer.Header().ChangeCount);
  EXPECT_EQ(NumOf(reader, 2), 2);
}

TEST_F(DataFileTest, LookupsAndDefinitionUpdates) {
  CreatePeople(0);
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  ASSERT_NE(file.FieldByName("  num "), nullptr);
  EXPECT_EQ(file.FieldByName("  num ")->FieldNo, 3);
  EXPECT_EQ(file.FieldByNumber(4)->Name, "AMT");
  EXPECT_EQ(file.FieldByPosition(0), nullptr);
  EXPECT_EQ(file.FieldByPosition(5), nullptr);
  EXPECT_EQ(file.FieldByName("missing"), nullptr);
  file.UpdateFieldDefinition(3, "COUNT", "how many", true, "0", "99", "1");
  EXPECT_TRUE(file.WriteFieldDefinitions());
  EXPECT_FALSE(file.WriteFieldDefinitions());
  file.SetTableInfo("ignored", "Persons", 9, 8, 77);
  file.WriteHeader();
  file.CloseDataFile();
  file.OpenDataFile();
  const TFieldDefinition* count = file.FieldByName("count");
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->Description, "how many");
  EXPECT_TRUE(count->Required);
  EXPECT_EQ(count->MaxValue, "99");
  EXPECT_EQ(file.Description(), "Persons");
  EXPECT_EQ(file.Password(), "");  // a plain table keeps no password
  EXPECT_EQ(file.Header().UserMajorVersion, 9);
  EXPECT_EQ(file.LastAutoIncValue(), 77);
  EXPECT_EQ(file.BlobBlockSize(), 512);
  EXPECT_NO_THROW(file.CheckHeader());
}

TEST_F(DataFileTest, EmptyDataFileCutsTheSlotsAndResetsTheCounters) {
  CreatePeople(5);
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  EXPECT_EQ(NumOf(file, 5), 5);
  file.EmptyDataFile();
  EXPECT_EQ(file.RecordCount(), 0);
  EXPECT_EQ(file.LastAutoIncValue(), 0);
  EXPECT_EQ(file.CachedRecordCount(), 0u);
  file.WriteHeader();
  EXPECT_EQ(ReadFileBytes(PathOf("people.DAT")).size(), 127u + 768u * 4u);
  EXPECT_NO_THROW(file.CheckHeader());
}

TEST_F(DataFileTest, CreateRejectsTooManyBlobFieldsAndTooBigRecords) {
  std::vector<TFieldDefinition> blobs;
  for (int i = 0; i < 129; ++i) blobs.push_back(Field("B" + std::to_string(i), TFieldType::Blob));
  TDataFile file(PathOf("wide.DAT").string());
  EXPECT_ENGINE_ERROR(KURA_BLOBLIMIT, file.CreateDataFile(0, 0, blobs, 0, "", "", false, 0, 0));
  blobs.pop_back();
  EXPECT_EQ(EngineErrorCodeOf([&] { file.CreateDataFile(0, 0, blobs, 0, "", "", false, 0, 0); }), 0);
  file.CloseDataFile();
  // 261 strings of 250 characters: 9 + 261 * 252 = 65781 bytes.
  std::vector<TFieldDefinition> strings;
  for (int i = 0; i < 261; ++i) strings.push_back(Field("S" + std::to_string(i), TFieldType::String, 250));
  EXPECT_ENGINE_ERROR(KURA_RECTOOBIG, file.CreateDataFile(0, 0, strings, 0, "", "", false, 0, 0));
  strings.pop_back();  // 65529 bytes fit
  EXPECT_EQ(EngineErrorCodeOf([&] { file.CreateDataFile(0, 0, strings, 0, "", "", false, 0, 0); }), 0);
  EXPECT_EQ(file.RecordSize(), 9 + 260 * 252);
  file.CloseDataFile();
  EXPECT_ENGINE_ERROR(KURA_INVALIDFLDTYPE,
                      file.CreateDataFile(0, 0, {Field("X", static_cast<TFieldType>(16))}, 0, "", "", false, 0, 0));
  EXPECT_ENGINE_ERROR(KURA_INVALIDFLDTYPE,
                      file.CreateDataFile(0, 0, {Field("X", TFieldType::Bytes, 251)}, 0, "", "", false, 0, 0));
  EXPECT_ENGINE_ERROR(KURA_CANNOTLOADLDDRV,
                      file.CreateDataFile(0x7F7F, 0, {Field("X", TFieldType::Integer)}, 0, "", "", false, 0, 0));
}

TEST_F(DataFileTest, ReadingSlotsThatDoNotExistIsCorruption) {
  CreatePeople(2);
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  EXPECT_ENGINE_ERROR(KURA_FILECORRUPT, file.GetRecord(0));
  EXPECT_ENGINE_ERROR(KURA_FILECORRUPT, file.GetRecord(-4));
  EXPECT_ENGINE_ERROR(KURA_FILECORRUPT, file.GetRecord(4));
  // The next slot number is not a slot yet: reading it makes nothing.
  EXPECT_ENGINE_ERROR(KURA_FILECORRUPT, file.GetRecord(3));
  EXPECT_EQ(file.RecordCount(), 2);
  EXPECT_FALSE(file.HeaderChanged());
  EXPECT_FALSE(file.IsCached(3));
  // The header counts a slot that the file does not hold.
  std::vector<uint8_t> bytes = ReadFileBytes(PathOf("people.DAT"));
  WriteI32(bytes.data() + 13, 4);
  WriteFileBytes(PathOf("people.DAT"), bytes);
  file.ReadHeader();
  EXPECT_ENGINE_ERROR(KURA_READERR, file.GetRecord(3));
}

TEST_F(DataFileTest, AppendBeyondTheSlotLimitIsTableFull) {
  CreatePeople(0);
  std::vector<uint8_t> bytes = ReadFileBytes(PathOf("people.DAT"));
  WriteI32(bytes.data() + 13, 200000001);
  WriteFileBytes(PathOf("people.DAT"), bytes);
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  EXPECT_ENGINE_ERROR(KURA_TABLEFULL, file.AllocateRecord());
}

TEST_F(DataFileTest, ErrorsNameTheTableAndItsDirectory) {
  CreatePeople(0);
  TDataFile file(PathOf("people.DAT").string());
  file.OpenDataFile();
  const auto error = EngineErrorOf([&] { file.RaiseDataFileCorrupt(KURA_HEADERCORRUPT, {"header", -1, 0}); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorExtraMessage, "people.DAT: header at byte 0");
  EXPECT_EQ(error->ErrorTableName, "people");
  EXPECT_EQ(error->ErrorDatabaseName, (Dir.Path() / "").string());
  EXPECT_STREQ(error->what(), "Kura Engine Error # 8961 Header information corrupt in the table 'people'");
}

// One damage of an otherwise sound file with three records and the engine code that
// opening and checking it must raise.
struct TDamage {
  const char* What;
  std::function<void(std::vector<uint8_t>&)> Apply;
  TErrorCode Code;
};

uint8_t* Definition(std::vector<uint8_t>& bytes, int position) { return bytes.data() + 127 + 768 * (position - 1); }

void SetName(std::vector<uint8_t>& bytes, int position, const std::string& name) {
  uint8_t* d = Definition(bytes, position);
  std::memset(d + 2, 0, 31);
  d[2] = static_cast<uint8_t>(name.size());
  std::memcpy(d + 3, name.data(), name.size());
}

TEST_F(DataFileTest, CheckHeaderRejectsEveryKindOfDamage) {
  const TDamage damages[] = {
      {"sound file", [](std::vector<uint8_t>&) {}, 0},
      {"format version", [](std::vector<uint8_t>& b) { b[8] = 4; }, KURA_OLDVERSION},
      {"too many fields", [](std::vector<uint8_t>& b) { WriteU16(b.data() + 23, 1025); }, KURA_HEADERCORRUPT},
      {"definitions cut short", [](std::vector<uint8_t>& b) { b.resize(127 + 768 * 3); }, KURA_HEADERCORRUPT},
      {"unknown language", [](std::vector<uint8_t>& b) { WriteU16(b.data() + 103, 0x7F7F); }, KURA_CANNOTLOADLDDRV},
      {"empty name", [](std::vector<uint8_t>& b) { SetName(b, 2, ""); }, KURA_HEADERCORRUPT},
      {"name starts with a digit", [](std::vector<uint8_t>& b) { SetName(b, 2, "9NAM"); }, KURA_HEADERCORRUPT},
      {"name of blanks", [](std::vector<uint8_t>& b) { SetName(b, 2, "   "); }, KURA_HEADERCORRUPT},
      {"duplicate name", [](std::vector<uint8_t>& b) { SetName(b, 3, " nam"); }, KURA_HEADERCORRUPT},
      {"duplicate field number", [](std::vector<uint8_t>& b) { WriteU16(Definition(b, 3), 2); }, KURA_HEADERCORRUPT},
      {"field number off position", [](std::vector<uint8_t>& b) { WriteU16(Definition(b, 4), 9); },
       KURA_HEADERCORRUPT},
      {"unknown type", [](std::vector<uint8_t>& b) { Definition(b, 4)[84] = 16; }, KURA_HEADERCORRUPT},
      {"size on an integer", [](std::vector<uint8_t>& b) { Definition(b, 3)[86] = 4; }, KURA_HEADERCORRUPT},
      {"string longer than 250", [](std::vector<uint8_t>& b) { Definition(b, 2)[86] = 251; }, KURA_HEADERCORRUPT},
      {"scale on a float", [](std::vector<uint8_t>& b) { Definition(b, 4)[87] = 2; }, KURA_HEADERCORRUPT},
      {"invalid minimum text",
       [](std::vector<uint8_t>& b) {
         uint8_t* d = Definition(b, 3);
         d[94] = 3;
         std::memcpy(d + 95, "abc", 3);
       },
       KURA_HEADERCORRUPT},
      {"auto-increment offset", [](std::vector<uint8_t>& b) { WriteU16(Definition(b, 1) + 90, 9); },
       KURA_HEADERCORRUPT},
      {"field offset", [](std::vector<uint8_t>& b) { WriteU16(Definition(b, 3) + 90, 22); }, KURA_HEADERCORRUPT},
      {"record size", [](std::vector<uint8_t>& b) { WriteU16(b.data() + 21, 36); }, KURA_HEADERCORRUPT},
      {"slot count beyond the file", [](std::vector<uint8_t>& b) { WriteI32(b.data() + 13, 5); },
       KURA_HEADERCORRUPT},
      {"free slot beyond the end", [](std::vector<uint8_t>& b) { WriteI32(b.data() + 9, 4); }, KURA_HEADERCORRUPT},
      {"negative free slot", [](std::vector<uint8_t>& b) { WriteI32(b.data() + 9, -1); }, KURA_HEADERCORRUPT},
      {"BLOB field count", [](std::vector<uint8_t>& b) { WriteU16(b.data() + 25, 1); }, KURA_HEADERCORRUPT},
  };
  CreatePeople(3);
  const std::vector<uint8_t> sound = ReadFileBytes(PathOf("people.DAT"));
  for (const TDamage& damage : damages) {
    std::vector<uint8_t> bytes = sound;
    damage.Apply(bytes);
    WriteFileBytes(PathOf("people.DAT"), bytes);
    TDataFile file(PathOf("people.DAT").string());
    EXPECT_EQ(EngineErrorCodeOf([&] {
                file.OpenDataFile();
                file.CheckHeader();
              }),
              damage.Code)
        << damage.What;
  }
}

// What lies beyond the slots the header counts is what a writer left that died before
// its header said so: the file is sound, the surplus is cut by the next writer.
TEST_F(DataFileTest, BytesBeyondTheCountedSlotsAreSurplusNotDamage) {
  struct TCase {
    const char* What;
    std::function<void(std::vector<uint8_t>&)> Apply;
    int32_t Records;  // what the header counts afterwards
  };
  CreatePeople(3);
  const std::vector<uint8_t> sound = ReadFileBytes(PathOf("people.DAT"));
  const TCase cases[] = {
      {"partial slot", [](std::vector<uint8_t>& b) { b.insert(b.end(), 5, 0xAB); }, 3},
      {"a whole slot the header does not count yet", [](std::vector<uint8_t>& b) { WriteI32(b.data() + 13, 3); }, 2},
  };
  for (const TCase& c : cases) {
    std::vector<uint8_t> bytes = sound;
    c.Apply(bytes);
    WriteFileBytes(PathOf("people.DAT"), bytes);
    TDataFile file(PathOf("people.DAT").string());
    file.OpenDataFile();
    EXPECT_EQ(EngineErrorCodeOf([&] { file.CheckHeader(); }), 0) << c.What;
    EXPECT_EQ(file.RecordCount(), c.Records) << c.What;
    const int64_t surplus = static_cast<int64_t>(bytes.size()) - (127 + 768 * int64_t{file.FieldCount()} +
                                                                  int64_t{c.Records} * file.RecordSize());
    EXPECT_EQ(file.SurplusBytes(), surplus) << c.What;
    EXPECT_TRUE(file.CutSurplus()) << c.What;
    EXPECT_EQ(file.SurplusBytes(), 0) << c.What;
    EXPECT_FALSE(file.CutSurplus()) << c.What;
    EXPECT_EQ(EngineErrorCodeOf([&] { file.CheckHeader(); }), 0) << c.What;
    file.CloseDataFile();
    EXPECT_EQ(static_cast<int64_t>(ReadFileBytes(PathOf("people.DAT")).size()), static_cast<int64_t>(bytes.size()) - surplus)
        << c.What;
  }
}

}  // namespace
}  // namespace kura

namespace kura {
namespace {

TEST(DataFileInMemory, MemoryTableKeepsItsRecordsAfterClosing) {
  const std::string name = "mem/people_in_memory.DAT";
  {
    TDataFile file(name, true);
    file.CreateDataFile(0, 0, {testing_support::Field("V", TFieldType::Integer)}, 0, "", "", true, 0, 0);
    for (int i = 1; i <= 3; ++i) {
      TRecordPin record(file, file.AllocateRecord());
      uint8_t data[4];
      WriteI32(data, i * 11);
      record->SetFieldData(*file.FieldByPosition(1), data);
    }
    file.FlushRecords();
    file.WriteHeader();
    file.CloseDataFile();
  }
  TDataFile file(name, true);
  file.OpenDataFile();
  EXPECT_EQ(file.RecordCount(), 3);
  EXPECT_NO_THROW(file.CheckHeader());
  {
    TRecordPin record(file, file.GetRecord(3, {true, true, 0}));
    EXPECT_EQ(ReadI32(record->FieldData(*file.FieldByPosition(1))), 33);
    EXPECT_TRUE(file.IsCached(1));  // read backward from 3 down to 1
  }
  file.CloseDataFile();
  file.Delete();
}

}  // namespace
}  // namespace kura
