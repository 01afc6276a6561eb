#include "tools/kura/table_report.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/collation.h"
#include "kura/base/byte_order.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_file.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/key_encoding.h"
#include "kura/storage/table_journal.h"
#include "testing/child_process.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"
#include "testing/file_bytes.h"
#include "testing/pipe.h"
#include "testing/temp_dir.h"

namespace kura::tool {
namespace {

using testing_support::EngineErrorOf;
using testing_support::Field;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

class KuraToolTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::vector<TFieldDefinition> fields{Field("MNB", TFieldType::Integer, 0, TFieldSubType::AutoInc),
                                         Field("CMT", TFieldType::String, 40), Field("PST", TFieldType::SmallInt)};
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
  // A file that ends before the last slot its header counts.
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(Table() + ".DAT");
  const int32_t nextRecordNo = ReadI32(bytes.data() + 13);
  bytes.pop_back();
  testing_support::WriteFileBytes(Table() + ".DAT", bytes);
  std::ostringstream out;
  EXPECT_EQ(VerifyCommand(Table(), out), 1);
  EXPECT_EQ(out.str(),
            "Kura Engine Error # 8961 Header information corrupt in the table 'temazu'\n"
            "damage found in temazu.DAT: header: next record number " + std::to_string(nextRecordNo) +
                " at byte 13\n");
  std::ostringstream missing;
  EXPECT_EQ(VerifyCommand((Dir / "nothing").string(), missing), 1);
  EXPECT_NE(missing.str().find("Kura Engine Error # 11010 "), std::string::npos) << missing.str();
}

// The table of the fixture with an index file: a primary index on MNB with three keys
// and a descending secondary index on PST.
TEST_F(KuraToolTest, InfoAndVerifyCoverTheIndexFile) {
  {
    TDataFile data(Table() + ".DAT");
    data.OpenDataFile();
    TIndexFile index(IndexFileNameOf(Table()));
    index.SetTableInfo(data.FieldDefinitions(), data.LocaleId(), data.SortId(), false);
    index.CreateIndexFile();
    TIndexDefinition primary;
    primary.Fields = {1};
    index.DefinePrimaryIndex(primary);
    TIndexDefinition byPst;
    byPst.Name = "ByPst";
    byPst.Fields = {3};
    byPst.FieldDescending = {true};
    byPst.Compression = TIndexCompression::Full;
    index.AddSecondaryIndex(byPst);
    TIndexTree tree(index, 0);
    for (int32_t id = 1; id <= 3; ++id) {
      uint8_t key[5] = {1};
      EncodeInt32Key(id, key + 1);
      ASSERT_TRUE(tree.Insert(key, id));
    }
    // The other indexes list the three records too, so that the table is sound.
    TIndexKeyBuilder builder(index.Descriptor(1), data.FieldDefinitions(), data.LocaleId(), nullptr);
    TIndexTree byPstTree(index, 1);
    TIndexTree records(index, kSysDeletedIndex);
    for (int32_t recNo = 1; recNo <= 3; ++recNo) {
      TRecordPin record(data, data.GetRecord(recNo));
      uint8_t key[kMaxKeySize];
      builder.BuildKey(record->Bytes(), key);
      ASSERT_TRUE(byPstTree.Insert(key, recNo));
    }
    for (int32_t recNo = 1; recNo <= 3; ++recNo) {
      TRecordPin record(data, data.GetRecord(recNo));
      uint8_t key[kSysDeletedKeySize];
      BuildSysDeletedKey(kRecordActive, record->UniqueId(), key);
      ASSERT_TRUE(records.Insert(key, recNo));
    }
    index.SetActiveRecordCount(3);
    index.FlushPages();
    index.WriteHeader();
  }
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(InfoCommand(Table(), out, err), 0) << err.str();
  const std::string text = out.str();
  EXPECT_NE(text.find("Index  Name         Fields    Flags   Compression  Key  Root  Records\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("0      (primary)    MNB       unique  none         5    1     3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("1      ByPst        PST desc          full         7    2     3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("31     Sys Deleted            unique  none         5    3     3\n"), std::string::npos) << text;
  std::ostringstream verified;
  EXPECT_EQ(VerifyCommand(Table(), verified), 0);
  EXPECT_EQ(verified.str(), "ok\n");

  // Two keys of the root leaf swapped: the tree check names the index and the fault.
  const std::string indexName = IndexFileNameOf(Table());
  std::vector<uint8_t> bytes = ReadFileBytes(indexName);
  ASSERT_EQ(bytes.size(), 4u * 4096);
  std::swap_ranges(bytes.begin() + 4096 + 13, bytes.begin() + 4096 + 13 + 5, bytes.begin() + 4096 + 13 + 9);
  WriteFileBytes(indexName, bytes);
  std::ostringstream damaged;
  EXPECT_EQ(VerifyCommand(Table(), damaged), 1);
  EXPECT_EQ(damaged.str(), "index 0 ((primary)): page 1: keys out of order at entry 1\n");
  // A damaged header is the engine's message.
  bytes[8] = 4;
  WriteFileBytes(indexName, bytes);
  std::ostringstream old;
  EXPECT_EQ(VerifyCommand(Table(), old), 1);
  EXPECT_NE(old.str().find("Kura Engine Error # 12035 "), std::string::npos) << old.str();
}

// A table made and filled through the engine; `kura verify` passes it, reports each kind
// of disagreement between the data and the indexes, and `kura repair` mends them.
class KuraToolEngineTest : public ::testing::Test {
protected:
  void SetUp() override {
    TDataSession session;
    TDataDirectory* directory = session.OpenDirectory("", Dir.Path().string());
    TDataCursor cursor(*directory);
    cursor.SetTableName("people");
    cursor.SetExclusive(true);
    TTableDefinition t;
    t.Fields = {Field("ID", TFieldType::Integer), Field("NAME", TFieldType::String, 20)};
    t.PrimaryIndex = TIndexDefinition{};
    t.PrimaryIndex->Fields = {1};
    TIndexDefinition byName;
    byName.Name = "ByName";
    byName.Fields = {2};
    t.SecondaryIndexes = {byName};
    cursor.CreateTable(t, false);
    cursor.OpenCursor();
    std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
    for (int32_t i = 1; i <= 50; ++i) {
      cursor.InitRecord(record.data());
      uint8_t id[4];
      WriteI32(id, i);
      cursor.SetField(1, record.data(), id);
      const std::string name = "N" + std::to_string(i);
      cursor.SetField(2, record.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
      cursor.AppendRecord(record.data(), false);
    }
    cursor.CloseCursor();
  }
  std::string Table() const { return (Dir / "people").string(); }
  std::string Verify() const {
    std::ostringstream out;
    VerifyCommand(Table(), out);
    return out.str();
  }
  // Changes the index file through the storage layer.
  template <typename TChange>
  void ChangeIndexFile(TChange change) {
    TDataFile data(Table() + ".DAT");
    data.OpenDataFile();
    TIndexFile index(IndexFileNameOf(Table()));
    index.SetTableInfo(data.FieldDefinitions(), data.LocaleId(), data.SortId(), false);
    index.OpenIndexFile();
    change(data, index);
    index.FlushPages();
    index.WriteHeader();
  }

  testing_support::TTempDir Dir;
};

TEST_F(KuraToolEngineTest, VerifyPassesASoundTableAndReportsDisagreements) {
  EXPECT_EQ(Verify(), "ok\n");
  struct TCase {
    const char* Name;
    std::function<void(TDataFile&, TIndexFile&)> Change;
    const char* Report;
  };
  const TCase cases[] = {
      {"count", [](TDataFile&, TIndexFile& index) { index.SetActiveRecordCount(49); },
       "the index header counts 49 active records, the data file holds 50\n"},
      {"missing key",
       [](TDataFile& data, TIndexFile& index) {
         TRecordPin record(data, data.GetRecord(7));
         uint8_t key[kMaxKeySize];
         TIndexKeyBuilder(index.Descriptor(1), data.FieldDefinitions(), 0, nullptr).BuildKey(record->Bytes(), key);
         ASSERT_TRUE(TIndexTree(index, 1).Delete(key));
       },
       "index 1 (ByName): record 7 is missing\n"},
      {"wrong slot",
       [](TDataFile& data, TIndexFile& index) {
         TRecordPin record(data, data.GetRecord(7));
         uint8_t key[kMaxKeySize];
         TIndexKeyBuilder(index.Descriptor(0), data.FieldDefinitions(), 0, nullptr).BuildKey(record->Bytes(), key);
         TIndexTree tree(index, 0);
         ASSERT_TRUE(tree.Delete(key));
         ASSERT_TRUE(tree.Insert(key, 8));
       },
       "index 0 ((primary)): the key of record 8 does not match its values\n"},
  };
  for (const TCase& c : cases) {
    ChangeIndexFile(c.Change);
    EXPECT_EQ(Verify(), c.Report) << c.Name;
    std::ostringstream out;
    std::ostringstream err;
    const std::string table = Table();
    const char* args[] = {"repair", table.c_str()};
    EXPECT_EQ(RunCommandLine(2, args, out, err), 0) << c.Name << err.str();
    EXPECT_EQ(out.str(), "repaired\n");
    EXPECT_EQ(Verify(), "ok\n") << c.Name;
    EXPECT_TRUE(std::filesystem::exists(Dir / "people.IBK"));
  }
}

// Damage in each file kind: the report's first line is the engine's message, unchanged;
// the second names what was found damaged and where.
TEST_F(KuraToolEngineTest, VerifyNamesThePlaceOfDamage) {
  const std::string data = Table() + ".DAT";
  const std::string index = IndexFileNameOf(Table());
  const std::string blob = BlobFileNameOf(Table());
  // Slot 50 deleted (the only entry of the free chain) and a BLOB file whose block 2 is
  // the only free block: a sound table apart from the index entries of record 50, which
  // the checks of the damaged cases never reach.
  int64_t slot50 = 0;
  int32_t root1 = 0;
  {
    TDataFile file(data);
    file.OpenDataFile();
    {
      TRecordPin record(file, file.GetRecord(50));
      file.FreeRecord(record.Get());
    }
    file.FlushRecords();
    file.WriteHeader();
    slot50 = file.SlotOffset(50);
    TIndexFile indexes(index);
    indexes.SetTableInfo(file.FieldDefinitions(), file.LocaleId(), file.SortId(), false);
    indexes.OpenIndexFile();
    root1 = indexes.RootPage(1);
    TBlobFile blocks(blob);
    blocks.CreateBlobFile(file.BlobBlockSize(), false);
    for (int i = 0; i < 3; ++i) TBlockPin(blocks, blocks.AllocateBlock());
    TBlockPin second(blocks, blocks.GetBlock(2));
    blocks.FreeBlock(second.Get());
    second.Reset(nullptr);
    blocks.FlushBlocks();
    blocks.WriteHeader();
  }
  const auto readAll = [](const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  const auto writeAll = [](const std::string& name, const std::vector<char>& bytes) {
    std::ofstream(name, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<long>(bytes.size()));
  };
  const std::vector<char> soundData = readAll(data);
  const std::vector<char> soundIndex = readAll(index);
  const std::vector<char> soundBlob = readAll(blob);
  ASSERT_GT(root1, 0);
  // Sound apart from record 50's index entries, which the cross-check reports.
  ASSERT_EQ(Verify(), "the index header counts 50 active records, the data file holds 49\n");

  struct TCase {
    const char* Name;
    std::string File;
    std::function<void(std::vector<char>&)> Damage;
    std::string Report;
  };
  const std::vector<TCase> cases = {
      {"header", data, [](std::vector<char>& bytes) { WriteI32(reinterpret_cast<uint8_t*>(bytes.data()) + 13, 70); },
       "Kura Engine Error # 8961 Header information corrupt in the table 'people'\n"
       "damage found in people.DAT: header: next record number 70 at byte 13\n"},
      {"record slot", data,
       [&](std::vector<char>& bytes) { WriteI32(reinterpret_cast<uint8_t*>(bytes.data()) + slot50 + 1, 4000); },
       "Kura Engine Error # 8962 Data record buffers corrupt in the table 'people'\n"
       "damage found in people.DAT: free chain at record slot 50 at byte " + std::to_string(slot50) + "\n"},
      {"index page", index, [&](std::vector<char>& bytes) { bytes[static_cast<size_t>(root1) * 4096] = 9; },
       "index 1 (ByName): Kura Engine Error # 8965 Index page buffers corrupt in the table 'people'\n"
       "damage found in people.IDX: index 1 page " + std::to_string(root1) + " at byte " +
           std::to_string(int64_t{root1} * 4096) + "\n"},
      {"BLOB block", blob,
       [](std::vector<char>& bytes) { WriteI32(reinterpret_cast<uint8_t*>(bytes.data()) + 512 + 512 + 4, 2); },
       "Kura Engine Error # 8963 BLOB block buffers corrupt in the table 'people'\n"
       "damage found in people.BLB: free chain at block 2 at byte 1024\n"},
  };
  for (const TCase& c : cases) {
    std::vector<char> bytes = readAll(c.File);
    c.Damage(bytes);
    writeAll(c.File, bytes);
    EXPECT_EQ(Verify(), c.Report) << c.Name;
    writeAll(data, soundData);
    writeAll(index, soundIndex);
    writeAll(blob, soundBlob);
  }
}

TEST_F(KuraToolEngineTest, RepairRestoresADeletedIndexFileFromTheBackup) {
  std::ostringstream first;
  ASSERT_EQ(RepairCommand(Table(), first), 0) << first.str();
  std::filesystem::remove(IndexFileNameOf(Table()));
  std::ostringstream second;
  ASSERT_EQ(RepairCommand(Table(), second), 0) << second.str();
  EXPECT_EQ(second.str(), "repaired\nindex definitions restored from people.IBK: people.IDX is missing\n");
  EXPECT_EQ(Verify(), "ok\n");
  std::ostringstream info;
  std::ostringstream err;
  EXPECT_EQ(InfoCommand(Table(), info, err), 0);
  EXPECT_NE(info.str().find("ByName"), std::string::npos) << info.str();
  std::ostringstream missing;
  EXPECT_EQ(RepairCommand((Dir / "nothing").string(), missing), 1);
  EXPECT_NE(missing.str().find("Kura Engine Error # 11010 "), std::string::npos) << missing.str();
}

// The count of a filter as `kura count` prints it, as a number (-1 when it fails).
int32_t CountOf(const std::string& table, const std::string& filter) {
  std::ostringstream out;
  if (CountCommand(table, filter, false, out) != 0) return -1;
  return std::stoi(out.str());
}

constexpr char kLostDefinitions[] =
    "index definitions lost: people.IDX was made anew when it was missing; the table has no primary or secondary "
    "indexes until they are defined again\n";

// A table whose index file is gone opens with a new one whose internal record index is
// on the disk before the first open ends: every later open, in this process or another,
// sees every record, whichever process opened it first.
TEST_F(KuraToolEngineTest, AMissingIndexFileIsRebuiltOnTheDiskAtTheFirstOpen) {
  for (const bool childFirst : {false, true}) {
    std::filesystem::remove(IndexFileNameOf(Table()));
    const pid_t child = testing_support::SpawnChild([&] {
      if (!childFirst) return CountOf(Table(), "ID < 30") == 29 ? 0 : 1;
      return CountOf(Table(), "ID < 30") == 29 && CountOf(Table(), "ID >= 30") == 21 ? 0 : 1;
    });
    if (childFirst) {
      ASSERT_EQ(testing_support::WaitChild(child), 0);
    }
    EXPECT_EQ(CountOf(Table(), "ID < 30"), 29) << childFirst;
    EXPECT_EQ(CountOf(Table(), "ID < 30"), 29) << childFirst;
    EXPECT_EQ(CountOf(Table(), "ID > 0"), 50) << childFirst;
    if (!childFirst) {
      EXPECT_EQ(testing_support::WaitChild(child), 0);
    }
    EXPECT_EQ(Verify(), kLostDefinitions) << childFirst;
  }
}

// Openers racing on a table whose index file is gone: each makes a new file under a
// name of its own and moves it into place without replacing; all of them open the
// table, none meets a file half written or held, and no private file is left behind.
TEST_F(KuraToolEngineTest, OpenersRacingToRemakeTheIndexFileAllSucceed) {
  for (int round = 0; round < 8; ++round) {
    std::filesystem::remove(IndexFileNameOf(Table()));
    // The children start together: each waits for its byte on the gate.
    testing_support::TPipe gate;
    ASSERT_TRUE(gate.Ok);
    std::vector<pid_t> children;
    for (int i = 0; i < 4; ++i) {
      children.push_back(testing_support::SpawnChild([&] {
        if (gate.Receive() == testing_support::TPipe::kBroken) return 2;
        return CountOf(Table(), "ID > 0") == 50 ? 0 : 1;
      }));
    }
    for (size_t i = 0; i < children.size(); ++i) ASSERT_TRUE(gate.Send(1));
    for (const pid_t child : children) EXPECT_EQ(testing_support::WaitChild(child), 0) << "round " << round;
  }
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(Table()).parent_path())) {
    EXPECT_EQ(entry.path().string().find(".IDX."), std::string::npos) << entry.path();
  }
  EXPECT_EQ(Verify(), kLostDefinitions);
}

// An opener that died after making the new index file and before its record index was
// written leaves a file marked as made anew: the next opener builds the index.
TEST_F(KuraToolEngineTest, AnIndexFileMadeAnewButNeverFilledIsFilledByTheNextOpener) {
  std::filesystem::remove(IndexFileNameOf(Table()));
  {
    TDataFile data(Table() + ".DAT");
    data.OpenDataFile();
    TIndexFile index(IndexFileNameOf(Table()));
    index.SetTableInfo(data.FieldDefinitions(), data.LocaleId(), data.SortId(), false);
    index.CreateIndexFile();
    index.DefinePrimaryIndex(TIndexDefinition{});
    index.SetDefinitionsLost(true);
    index.WriteHeader();
    index.CloseIndexFile();
  }
  const pid_t child = testing_support::SpawnChild([&] { return CountOf(Table(), "ID < 30") == 29 ? 0 : 1; });
  EXPECT_EQ(testing_support::WaitChild(child), 0);
  EXPECT_EQ(CountOf(Table(), "ID < 30"), 29);
  EXPECT_EQ(Verify(), kLostDefinitions);
}

// Verify fails a table whose index definitions were lost; repair takes them from the
// backup when there is one and says when there is none. Either way the mark is gone.
TEST_F(KuraToolEngineTest, RepairRestoresLostIndexDefinitionsFromTheBackupOrSaysItCannot) {
  struct TCase {
    bool Backup;
    const char* Report;
    bool ByName;
  };
  const TCase cases[] = {
      {false,
       "repaired\nindex definitions could not be restored: people.IDX was made anew when it was missing and there "
       "is no usable backup people.IBK; the table has no primary or secondary indexes until they are defined again\n",
       false},
      {true, "repaired\nindex definitions restored from people.IBK: people.IDX was made anew when it was missing\n",
       true},
  };
  const std::vector<uint8_t> soundIndex = ReadFileBytes(IndexFileNameOf(Table()));
  for (const TCase& c : cases) {
    WriteFileBytes(IndexFileNameOf(Table()), soundIndex);
    std::filesystem::remove(Dir / "people.IBK");
    if (c.Backup) {
      std::ostringstream first;
      ASSERT_EQ(RepairCommand(Table(), first), 0) << first.str();
    }
    std::filesystem::remove(IndexFileNameOf(Table()));
    ASSERT_EQ(CountOf(Table(), "ID > 0"), 50);
    std::ostringstream verify;
    EXPECT_EQ(VerifyCommand(Table(), verify), 1);
    EXPECT_EQ(verify.str(), kLostDefinitions);
    std::ostringstream repair;
    EXPECT_EQ(RepairCommand(Table(), repair), 0);
    EXPECT_EQ(repair.str(), c.Report);
    EXPECT_EQ(Verify(), "ok\n") << c.Backup;
    std::ostringstream info;
    std::ostringstream err;
    EXPECT_EQ(InfoCommand(Table(), info, err), 0);
    EXPECT_EQ(info.str().find("ByName") != std::string::npos, c.ByName) << info.str();
    EXPECT_EQ(CountOf(Table(), "ID > 0"), 50);
    // The backup made from the repaired file is no copy of the file without definitions.
    std::ostringstream again;
    EXPECT_EQ(RepairCommand(Table(), again), 0);
    EXPECT_EQ(again.str(), "repaired\n") << c.Backup;
  }
}

// The deleted slots of the data file as its chain lists them, from the header's head (at
// most as many as the file has slots).
std::vector<int32_t> FreeChainOf(const std::string& dataName) {
  TDataFile data(dataName);
  data.OpenDataFile();
  std::vector<int32_t> chain;
  for (int32_t slot = data.Header().FirstFreeRecord; slot != 0 && chain.size() <= 60;) {
    chain.push_back(slot);
    TRecordPin record(data, data.GetRecord(slot));
    slot = record->Link();
  }
  return chain;
}

// Repair mends what a data file allows: a damaged chain of deleted slots is made anew
// from the slots' states, bytes beyond the last slot are cut, a slot count beyond the
// file follows the whole slots; and it says what it did.
TEST_F(KuraToolEngineTest, RepairMendsTheFreeChainAndTheSlotsAtTheEnd) {
  const std::string dataName = Table() + ".DAT";
  int64_t slot10 = 0;
  int64_t slot20 = 0;
  int64_t slot30 = 0;
  int recordSize = 0;
  {
    TDataFile data(dataName);
    data.OpenDataFile();
    for (const int32_t recNo : {10, 20, 30}) {
      TRecordPin record(data, data.GetRecord(recNo));
      data.FreeRecord(record.Get());
    }
    data.FlushRecords();
    data.WriteHeader();
    slot10 = data.SlotOffset(10);
    slot20 = data.SlotOffset(20);
    slot30 = data.SlotOffset(30);
    recordSize = data.RecordSize();
  }
  std::ostringstream first;
  ASSERT_EQ(RepairCommand(Table(), first), 0);
  ASSERT_EQ(first.str(), "repaired\n");
  ASSERT_EQ(FreeChainOf(dataName), (std::vector<int32_t>{30, 20, 10}));
  const std::vector<uint8_t> sound = ReadFileBytes(dataName);
  const std::vector<uint8_t> soundIndex = ReadFileBytes(IndexFileNameOf(Table()));
  auto link = [](std::vector<uint8_t>& bytes, int64_t slot, int32_t to) {
    WriteI32(bytes.data() + slot + 1, to);
  };
  auto grow = [](std::vector<uint8_t>& bytes, size_t count) { bytes.insert(bytes.end(), count, 0xA5); };
  const std::string chainRebuilt = "people.DAT: the chain of deleted slots was damaged (";
  const std::string threeSlots = "); made anew from the slots' states, 3 deleted slots\n";
  struct TCase {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Damage;
    std::string Report;
    int32_t Records;  // active records afterwards
  };
  const std::vector<TCase> cases = {
      {"loop", [&](std::vector<uint8_t>& b) { link(b, slot10, 30); },
       chainRebuilt + "it loops at record slot 30" + threeSlots, 47},
      {"link out of the file", [&](std::vector<uint8_t>& b) { link(b, slot20, 4000); },
       chainRebuilt + "record slot 20 links to 4000, outside the file" + threeSlots, 47},
      {"link to an active record", [&](std::vector<uint8_t>& b) { link(b, slot20, 5); },
       chainRebuilt + "it lists the active record slot 5" + threeSlots, 47},
      {"a deleted slot left out", [&](std::vector<uint8_t>& b) { link(b, slot30, 10); },
       chainRebuilt + "it misses 1 of the 3 deleted slots" + threeSlots, 47},
      {"head out of the file", [](std::vector<uint8_t>& b) { WriteI32(b.data() + 9, 999); },
       chainRebuilt + "its head, record slot 999, lies outside the file" + threeSlots, 47},
      {"partial slot", [&](std::vector<uint8_t>& b) { grow(b, 37); },
       "people.DAT: cut 37 bytes beyond the last record\n", 47},
      {"uncounted slot and a partial one", [&](std::vector<uint8_t>& b) { grow(b, static_cast<size_t>(recordSize) + 5); },
       "people.DAT: cut " + std::to_string(recordSize + 5) + " bytes beyond the last record\n", 47},
      {"file shorter than its slots",
       [&](std::vector<uint8_t>& b) { b.resize(b.size() - static_cast<size_t>(recordSize) - 7); },
       "people.DAT: the header counted 50 record slots, the file holds 48 whole ones; the next record number is "
       "now 49\npeople.DAT: cut " + std::to_string(recordSize - 7) + " bytes beyond the last record\n",
       45},
  };
  for (const TCase& c : cases) {
    std::vector<uint8_t> bytes = sound;
    c.Damage(bytes);
    WriteFileBytes(dataName, bytes);
    std::ostringstream repair;
    EXPECT_EQ(RepairCommand(Table(), repair), 0) << c.Name;
    EXPECT_EQ(repair.str(), "repaired\n" + c.Report) << c.Name;
    EXPECT_EQ(Verify(), "ok\n") << c.Name;
    EXPECT_EQ(FreeChainOf(dataName), (std::vector<int32_t>{30, 20, 10})) << c.Name;
    EXPECT_EQ(CountOf(Table(), "ID > 0"), c.Records) << c.Name;
    WriteFileBytes(dataName, sound);
    WriteFileBytes(IndexFileNameOf(Table()), soundIndex);
  }
}

// Bytes beyond what a header declares are no damage: verify warns of them and passes the
// table; repair cuts them and says so.
TEST_F(KuraToolEngineTest, VerifyWarnsOfSurplusAndRepairCutsIt) {
  struct TCase {
    std::string File;
    size_t Bytes;
    std::string Warning;
    std::string Repair;
  };
  const std::vector<TCase> cases = {
      {Table() + ".DAT", 37, "warning: people.DAT: 37 bytes beyond the last record\n",
       "people.DAT: cut 37 bytes beyond the last record\n"},
      {IndexFileNameOf(Table()), 4096 + 100, "warning: people.IDX: 4196 bytes beyond the last page\n",
       "people.IDX: cut 4196 bytes beyond the last page\n"},
  };
  for (const TCase& c : cases) {
    const std::vector<uint8_t> sound = ReadFileBytes(c.File);
    std::vector<uint8_t> bytes = sound;
    bytes.insert(bytes.end(), c.Bytes, 0x5A);
    WriteFileBytes(c.File, bytes);
    std::ostringstream verify;
    EXPECT_EQ(VerifyCommand(Table(), verify), 0);
    EXPECT_EQ(verify.str(), c.Warning + "ok\n");
    std::ostringstream repair;
    EXPECT_EQ(RepairCommand(Table(), repair), 0);
    EXPECT_EQ(repair.str(), "repaired\n" + c.Repair);
    EXPECT_EQ(Verify(), "ok\n");
    EXPECT_EQ(ReadFileBytes(c.File).size(), sound.size()) << c.File;
  }
}

// A commit that a writer left half done (its journal written, the files partly changed):
// verify does not judge the files but says so; repair rolls the commit back first.
TEST_F(KuraToolEngineTest, AnInterruptedCommitIsReportedByVerifyAndRolledBackByRepair) {
  const std::string dataName = Table() + ".DAT";
  const std::string indexName = IndexFileNameOf(Table());
  const std::vector<uint8_t> soundData = ReadFileBytes(dataName);
  const std::vector<uint8_t> soundIndex = ReadFileBytes(indexName);
  {
    TFileHandler data(dataName);
    TFileHandler index(indexName);
    data.Open();
    index.Open();
    TTableJournal journal;
    journal.Attach((Dir / "people.KJL").string(), &data, &index, nullptr);
    // Half a commit: the data header and a slot overwritten, the index file grown.
    const std::vector<uint8_t> garbage(300, 0xEE);
    data.WriteAt(0, garbage.data(), 20);
    data.WriteAt(static_cast<int64_t>(soundData.size()) - 100, garbage.data(), 300);
    index.WriteAt(static_cast<int64_t>(soundIndex.size()), garbage.data(), 300);
    journal.Detach();
  }
  std::ostringstream verify;
  EXPECT_EQ(VerifyCommand(Table(), verify), 1);
  EXPECT_EQ(verify.str(),
            "interrupted commit: people.KJL holds a commit that did not finish; opening the table rolls it back\n");
  std::ostringstream repair;
  EXPECT_EQ(RepairCommand(Table(), repair), 0);
  EXPECT_EQ(repair.str(), "repaired\npeople.KJL: the commit it held had not finished; rolled back\n");
  EXPECT_EQ(ReadFileBytes(dataName), soundData);
  EXPECT_EQ(Verify(), "ok\n");
  EXPECT_EQ(CountOf(Table(), "ID > 0"), 50);
}

TEST_F(KuraToolEngineTest, CountAndDumpThroughFilters) {
  const std::string table = Table();
  struct TCase {
    std::vector<const char*> Args;
    int Status;
    std::string Output;  // the whole output, or a part of it after "~"
  };
  const std::vector<TCase> cases = {
      {{"count", table.c_str(), "ID > 40"}, 0, "10\n"},
      {{"count", table.c_str(), "NAME = 'N7' OR ID <= 2"}, 0, "3\n"},
      {{"count", table.c_str(), "ID = 5", "--explain"}, 0, "~optimization level 2\n"},
      {{"count", table.c_str(), "ID >"}, 1, "~Kura Engine Error # 10051 "},
      {{"dump", table.c_str(), "--filter", "ID <= 2"}, 0, "ID  NAME\n1   N1\n2   N2\n(2 records)\n"},
      {{"dump", table.c_str(), "--filter", "ID IN (10, 9)", "--index", "ByName"}, 0,
       "ID  NAME\n10  N10\n9   N9\n(2 records)\n"},
      {{"dump", table.c_str(), "--index", "Nope"}, 1, "~Kura Engine Error # 10022 "},
      {{"dump", table.c_str(), "--sideways"}, 2, ""},
  };
  for (const TCase& c : cases) {
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunCommandLine(static_cast<int>(c.Args.size()), c.Args.data(), out, err), c.Status) << c.Args[2];
    if (c.Output.starts_with("~")) {
      EXPECT_NE(out.str().find(c.Output.substr(1)), std::string::npos) << out.str();
    } else if (c.Status != 2) {
      EXPECT_EQ(out.str(), c.Output);
    }
  }
}

// Four processes append to one table at once; afterwards the table verifies.
TEST_F(KuraToolEngineTest, VerifyPassesAfterConcurrentAppends) {
  std::vector<pid_t> children;
  for (int p = 0; p < 4; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      const auto error = EngineErrorOf([&] {
        TDataSession session;
        TDataCursor cursor(*session.OpenDirectory("", Dir.Path().string()));
        cursor.SetTableName("people");
        cursor.OpenCursor();
        std::vector<uint8_t> record(static_cast<size_t>(cursor.RecordSize()));
        for (int32_t i = 0; i < 300; ++i) {
          cursor.InitRecord(record.data());
          uint8_t id[4];
          WriteI32(id, 1000 + p * 1000 + i);
          cursor.SetField(1, record.data(), id);
          const std::string name = "P" + std::to_string(p) + "-" + std::to_string(i);
          cursor.SetField(2, record.data(), reinterpret_cast<const uint8_t*>(name.c_str()));
          cursor.AppendRecord(record.data(), false);
        }
      });
      const int status = error ? 1 : 0;
      _exit(status);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(Verify(), "ok\n");
  std::ostringstream out;
  EXPECT_EQ(CountCommand(Table(), "ID > 0", false, out), 0);
  EXPECT_EQ(out.str(), "1250\n");
}

TEST(KuraToolCommandLine, VerifyChecksTheBlobFile) {
  testing_support::TTempDir dir;
  const std::string table = (dir / "memos").string();
  {
    TDataFile file(table + ".DAT");
    file.CreateDataFile(0, 0, {Field("EXP", TFieldType::Blob, 0, TFieldSubType::Memo)}, 512, "", "", false, 0, 0);
    TBlobFile blobs(table + ".BLB");
    blobs.CreateBlobFile(512, false);
  }
  std::ostringstream out;
  EXPECT_EQ(VerifyCommand(table, out), 0);
  EXPECT_EQ(out.str(), "ok\n");
  // A block size that does not match the data file's.
  {
    std::vector<uint8_t> bytes = ReadFileBytes(table + ".BLB");
    ASSERT_GT(bytes.size(), 16u);
    for (size_t i = 0; i < 16; ++i) bytes[i] = 0x5A;
    WriteFileBytes(table + ".BLB", bytes);
  }
  std::ostringstream damaged;
  EXPECT_EQ(VerifyCommand(table, damaged), 1);
  EXPECT_NE(damaged.str().find("Kura Engine Error # "), std::string::npos) << damaged.str();
}

TEST(KuraToolCommandLine, NamesAndUsage) {
  EXPECT_EQ(IndexFileNameOf("a/b"), "a/b.IDX");
  EXPECT_EQ(IndexFileNameOf("a/b.dat"), "a/b.IDX");
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
    EXPECT_NE(err.str().find("usage: kura [--codepage N] info TABLE"), std::string::npos);
  }
}

// A problem book's table: no language driver, text in Shift-JIS (code page 932).
TEST(KuraToolCommandLine, PrintsTableTextInTheChosenCodePage) {
  testing_support::TTempDir dir;
  const std::string table = (dir / "tejun").string();
  std::vector<TFieldDefinition> fields{Field("CMT", TFieldType::String, 20)};
  fields[0].DefaultValue = "\x81\xA1";  // "■"
  {
    TDataFile file(table + ".DAT");
    file.CreateDataFile(0, 0, fields, 0, "\x96\xE2\x91\xE8\x8F\x57", "", false, 0, 0);  // "問題集"
  }
  auto run = [&](std::vector<const char*> args, std::string& output) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunCommandLine(static_cast<int>(args.size()), args.data(), out, err);
    output = out.str() + err.str();
    return status;
  };
  std::string output;
  EXPECT_EQ(run({"info", table.c_str()}, output), 0);
  EXPECT_NE(output.find("Description:          問題集\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Text code page:       932\n"), std::string::npos) << output;
  EXPECT_NE(output.find("1   CMT   String           20    0      21    9                            ■\n"), std::string::npos)
      << output;

  EXPECT_EQ(run({"--codepage", "1252", "info", table.c_str()}, output), 0);
  EXPECT_NE(output.find("Description:          \u2013\u00E2\u2018\u00E8\u008F" "W\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("Text code page:       1252\n"), std::string::npos) << output;
  SetEngineAnsiCodePage(932);

  for (const char* bad : {"7", "x", "99999"}) {
    EXPECT_EQ(run({"--codepage", bad, "info", table.c_str()}, output), 2) << bad;
    EXPECT_NE(output.find("unsupported code page"), std::string::npos) << output;
  }
  EXPECT_EQ(run({"info", table.c_str(), "--codepage"}, output), 2);
  EXPECT_EQ(GetEngineAnsiCodePage(), 932);
}

TEST(PrintTableTest, AlignsColumnsByTheirDisplayWidth) {
  // Kanji and fullwidth forms take two columns, halfwidth katakana and "■" one; a byte
  // that is no UTF-8 counts one.
  const std::vector<std::vector<std::string>> rows = {
      {"名前", "x"}, {"ab", "y"}, {"ｱｲ", "z"}, {"Ａ■", "w"}, {"\xff", "v"}, {"", "u"}};
  std::ostringstream out;
  PrintTable(out, rows);
  EXPECT_EQ(out.str(),
            "名前  x\n"
            "ab    y\n"
            "ｱｲ    z\n"
            "Ａ■   w\n"
            "\xff     v\n"
            "      u\n");
}

}  // namespace
}  // namespace kura::tool
