#include "kura/storage/index_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "kura/base/byte_order.h"
#include "kura/storage/index_test_support.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/index_walker.h"
#include "kura/storage/scramble.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"
#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using index_test::LayOut;
using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;
using testing_support::Field;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

class IndexFileTest : public ::testing::Test {
protected:
  IndexFileTest() {
    Fields = {Field("A", TFieldType::Integer), Field("B", TFieldType::String, 10), Field("M", TFieldType::Blob, 0,
                                                                                         TFieldSubType::Memo)};
    LayOut(Fields);
    Path = (Dir / "T.IDX").string();
    Owner.Private = Dir.Path().string() + "/";
  }
  std::unique_ptr<TIndexFile> Create(bool encrypted = false) {
    auto file = std::make_unique<TIndexFile>(Path, false, &Owner);
    file->SetTableInfo(Fields, 0, 0, encrypted);
    file->CreateIndexFile();
    return file;
  }
  std::unique_ptr<TIndexFile> Open(bool encrypted = false) {
    auto file = std::make_unique<TIndexFile>(Path, false, &Owner);
    file->SetTableInfo(Fields, 0, 0, encrypted);
    file->OpenIndexFile();
    return file;
  }
  static TIndexDefinition Def(const std::string& name, std::vector<uint16_t> fields, bool unique = false) {
    return testing_support::Index(name, std::move(fields), unique);
  }

  testing_support::TTempDir Dir;
  std::vector<TFieldDefinition> Fields;
  std::string Path;
  index_test::TIndexTestOwner Owner;
};

TEST_F(IndexFileTest, FreshHeaderBytes) {
  Create()->CloseIndexFile();
  const auto bytes = ReadFileBytes(Path);
  ASSERT_EQ(bytes.size(), 4096u);
  EXPECT_EQ(ReadI32(bytes.data()), 1);  // written once
  EXPECT_EQ(bytes[8], 5);
  EXPECT_EQ(ReadI32(bytes.data() + 9), 1);
  EXPECT_EQ(bytes[13], 0);
  const uint8_t* deleted = bytes.data() + 14 + 31 * 120;
  const uint8_t* text = bytes.data() + 14 + 32 * 120;
  EXPECT_EQ(ReadShortString(deleted, 30), "Sys Deleted");
  EXPECT_EQ(ReadU16(deleted + 31), 5);
  EXPECT_EQ(deleted[36], 0);
  EXPECT_EQ(ReadShortString(text, 30), "Sys Text");
  EXPECT_EQ(ReadU16(text + 31), 68);
  EXPECT_EQ(text[36], 3);
  EXPECT_EQ(ReadI32(bytes.data() + 3974), 0);
}

TEST_F(IndexFileTest, DefinitionsAndTheirErrors) {
  auto file = Create();
  file->DefinePrimaryIndex(Def("", {1}));
  EXPECT_TRUE(file->Descriptor(0).Unique);
  EXPECT_EQ(file->Descriptor(0).KeySize, 5);
  EXPECT_ENGINE_ERROR(KURA_PRIMARYKEYREDEFINE, file->DefinePrimaryIndex(Def("", {1})));
  const int byB = file->AddSecondaryIndex(Def("ByB", {2}));
  EXPECT_EQ(byB, 1);
  const int byA = file->AddSecondaryIndex(Def("ByA", {1}));
  EXPECT_EQ(file->Descriptor(byA).KeySize, 9);  // non-unique integer: 1 + 4 + 4
  struct TCase {
    TIndexDefinition Definition;
    TErrorCode Expected;
  } cases[] = {
      {Def("", {1}), KURA_INDEXNAMEREQUIRED},
      {Def("  ", {1}), KURA_INDEXNAMEREQUIRED},
      {Def("1st", {1}), KURA_INVALIDINDEXNAME},
      {Def("byb ", {1}), KURA_INDEXEXISTS},
      {Def("Memo", {3}), KURA_SEARCHCOLREQD},
      {Def("Many", std::vector<uint16_t>(17, 1)), KURA_INDEXLIMIT},
      {Def("None", {}), KURA_INVALIDKEY},
  };
  for (const TCase& c : cases) EXPECT_EQ(EngineErrorCodeOf([&] { file->AddSecondaryIndex(c.Definition); }), c.Expected)
      << c.Definition.Name;
  EXPECT_EQ(file->FindIndex("BYA"), byA);
  file->DeleteIndex(byB);
  EXPECT_EQ(file->SecondaryCount(), 1);
  EXPECT_EQ(file->Descriptor(1).Name, "ByA");
  EXPECT_ENGINE_ERROR(KURA_INVALIDINDEXDELETE, file->DeleteIndex(5));
  for (int i = 2; i <= 30; ++i) file->AddSecondaryIndex(Def("X" + std::to_string(i), {1}));
  EXPECT_ENGINE_ERROR(KURA_INDEXLIMIT, file->AddSecondaryIndex(Def("Extra", {1})));
  file->DeleteIndex(0);
  EXPECT_TRUE(file->NoPrimaryIndex());
  file->CheckHeader();
  file->WriteHeader();
  file->CloseIndexFile();
  auto again = Open();
  EXPECT_EQ(again->SecondaryCount(), 30);
  EXPECT_TRUE(again->NoPrimaryIndex());
  again->CheckHeader();
}

TEST_F(IndexFileTest, CheckHeaderFindsDamage) {
  auto file = Create();
  file->DefinePrimaryIndex(Def("", {1}));
  file->AddSecondaryIndex(Def("ByB", {2}));
  file->WriteHeader();
  file->CloseIndexFile();
  const auto good = ReadFileBytes(Path);
  struct TCase {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Damage;
    TErrorCode Expected;
  } cases[] = {
      {"version", [](auto& b) { b[8] = 4; }, KURA_OLDVERSION},
      {"secondary count", [](auto& b) { b[13] = 31; }, KURA_HEADERCORRUPT},
      {"name", [](auto& b) { b[14 + 120 + 1] = '9'; }, KURA_HEADERCORRUPT},
      {"duplicate name", [](auto& b) { b[13] = 2; std::copy(b.begin() + 134, b.begin() + 254, b.begin() + 254); }, KURA_HEADERCORRUPT},
      {"field gap", [](auto& b) { WriteU16(b.data() + 14 + 54 + 2, 1); }, KURA_HEADERCORRUPT},
      {"unknown field", [](auto& b) { WriteU16(b.data() + 14 + 54, 9); }, KURA_HEADERCORRUPT},
      {"blob field", [](auto& b) { WriteU16(b.data() + 14 + 54, 3); }, KURA_HEADERCORRUPT},
      {"root page", [](auto& b) { WriteI32(b.data() + 14 + 86, 1); }, KURA_HEADERCORRUPT},
      {"primary not unique", [](auto& b) { b[14 + 35] = 0; }, KURA_HEADERCORRUPT},
      {"key size", [](auto& b) { WriteU16(b.data() + 14 + 31, 77); }, KURA_HEADERCORRUPT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto bytes = good;
    c.Damage(bytes);
    WriteFileBytes(Path, bytes);
    EXPECT_EQ(EngineErrorCodeOf([&] { Open()->CheckHeader(); }), c.Expected);
  }
  WriteFileBytes(Path, good);
  Open()->CheckHeader();
}

TEST_F(IndexFileTest, FreeChainAndPageCounter) {
  auto file = Create();
  file->AddSecondaryIndex(Def("ByA", {1}));
  TPage* a = file->AllocatePage(1);
  TPage* b = file->AllocatePage(1);
  EXPECT_EQ(a->PageNo, 1);
  EXPECT_EQ(b->PageNo, 2);
  EXPECT_EQ(file->Header().NextPageNo, 3);
  file->FreePage(a);
  file->FreePage(b);
  EXPECT_EQ(file->Descriptor(1).FirstFreePage, 2);
  EXPECT_EQ(b->NextPage, 1);
  EXPECT_EQ(a->NextPage, 0);
  file->ReleasePage(a);
  file->ReleasePage(b);
  TPage* c = file->AllocatePage(1);
  EXPECT_EQ(c->PageNo, 2);
  EXPECT_EQ(file->Descriptor(1).FirstFreePage, 1);
  file->ReleasePage(c);
  EXPECT_ENGINE_ERROR(KURA_INDEXCORRUPT, file->GetPage(1, 0));
  EXPECT_ENGINE_ERROR(KURA_INDEXCORRUPT, file->GetPage(1, 7));
  file->FlushPages();
  file->WriteHeader();
  file->CloseIndexFile();
  const auto bytes = ReadFileBytes(Path);
  ASSERT_EQ(bytes.size(), 3u * 4096);
  EXPECT_EQ(ReadU16(bytes.data() + 4096 + 1), 0);  // free page: no entries
  EXPECT_EQ(ReadI32(bytes.data() + 4096 + 7), 0);
}

TEST_F(IndexFileTest, DirtyPagesAreWrittenInRunsAndTheCacheEvicts) {
  Owner.BufferBytes = 16384;
  auto file = Create();
  file->AddSecondaryIndex(Def("ByA", {1}, true));
  TIndexTree tree(*file, 1);
  for (int32_t v = 0; v < 3000; ++v) {
    uint8_t key[5];
    key[0] = 1;
    EncodeInt32Key(v, key + 1);
    ASSERT_TRUE(tree.Insert(key, v + 1));
  }
  // The cache grew only by what the paths needed and flushed the rest on the way.
  EXPECT_LE(file->CachedPageCount(1), 12u);
  EXPECT_GT(file->Statistics().PageWrites, 0);
  const int64_t runsBefore = file->Statistics().WriteRuns;
  file->FlushPages();
  file->TrimCache();
  EXPECT_LE(file->CachedPageCount(1), 2u);
  EXPECT_LE(file->Statistics().WriteRuns - runsBefore, 8);
  const int64_t readsBefore = file->Statistics().PageReads;
  EXPECT_TRUE(CheckIndexTree(*file, 1).Ok);
  EXPECT_GT(file->Statistics().PageReads, readsBefore);
}

TEST_F(IndexFileTest, ChangeCounterAndReadHeaderIfChanged) {
  Create()->CloseIndexFile();
  auto writer = Open();
  auto reader = Open();
  EXPECT_FALSE(reader->ReadHeaderIfChanged());
  writer->AddSecondaryIndex(Def("ByA", {1}));
  EXPECT_TRUE(writer->HeaderChanged());
  writer->MarkHeaderChanged();  // marking twice still moves the counter once per write
  EXPECT_TRUE(writer->WriteHeader());
  EXPECT_FALSE(writer->WriteHeader());
  EXPECT_EQ(ReadI32(ReadFileBytes(Path).data()), writer->Header().ChangeCount);
  EXPECT_TRUE(reader->ReadHeaderIfChanged());
  EXPECT_EQ(reader->SecondaryCount(), 1);
  EXPECT_EQ(reader->Descriptor(1).Name, "ByA");
  EXPECT_FALSE(reader->ReadHeaderIfChanged());
}

TEST_F(IndexFileTest, TemporaryIndexesLiveInTheirOwnFileAndNeverReachTheHeader) {
  auto file = Create();
  file->AddSecondaryIndex(Def("ByA", {1}));
  TIndexDefinition temp = Def("Temp", {2});
  temp.Temporary = true;
  const int t = file->AddSecondaryIndex(temp);
  EXPECT_TRUE(file->Descriptor(t).TemporaryIndex);
  size_t tempFiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Dir.Path()))
    if (entry.path().filename() != "T.IDX") ++tempFiles;
  EXPECT_EQ(tempFiles, 1u);
  TIndexTree tree(*file, t);
  for (int v = 0; v < 500; ++v) {
    uint8_t key[16] = {1};
    key[1] = static_cast<uint8_t>('a' + v % 26);
    key[2] = static_cast<uint8_t>('a' + v / 26);
    EncodeInt32Key(v, key + 12);
    ASSERT_TRUE(tree.Insert(key, v));
  }
  EXPECT_EQ(file->Header().NextPageNo, 1);  // the main file did not grow
  file->FlushPages(true);
  file->DiscardCache(true);
  EXPECT_TRUE(CheckIndexTree(*file, t).Ok);
  EXPECT_EQ(CheckIndexTree(*file, t).KeyCount, 500);
  file->WriteHeader(true);
  const auto bytes = ReadFileBytes(Path);
  EXPECT_EQ(bytes[13], 1);
  EXPECT_EQ(ReadShortString(bytes.data() + 14 + 240, 30), "");
  file->CloseIndexFile();
  EXPECT_EQ(file->SecondaryCount(), 1);
}

TEST_F(IndexFileTest, EncryptedFilesAreScrambled) {
  auto file = Create(true);
  file->AddSecondaryIndex(Def("ByA", {1}, true));
  TIndexTree tree(*file, 1);
  for (int32_t v = 0; v < 50; ++v) {
    uint8_t key[5] = {1};
    EncodeInt32Key(v, key + 1);
    ASSERT_TRUE(tree.Insert(key, v));
  }
  file->FlushPages();
  file->WriteHeader();
  file->CloseIndexFile();
  auto bytes = ReadFileBytes(Path);
  EXPECT_NE(bytes[8], 5);
  Scramble(bytes.data(), 4096, kRecordKey);
  EXPECT_EQ(bytes[8], 5);
  auto again = Open(true);
  EXPECT_EQ(CheckIndexTree(*again, 1).KeyCount, 50);
}

TEST_F(IndexFileTest, DamagedPagesRaiseIndexCorrupt) {
  auto file = Create();
  file->AddSecondaryIndex(Def("ByA", {1}, true));
  {
    TIndexTree tree(*file, 1);
    for (int32_t v = 0; v < 1000; ++v) {
      uint8_t key[5] = {1};
      EncodeInt32Key(v, key + 1);
      ASSERT_TRUE(tree.Insert(key, v));
    }
  }
  file->FlushPages();
  file->WriteHeader();
  file->CloseIndexFile();
  const auto good = ReadFileBytes(Path);
  const int32_t root = ReadI32(good.data() + 14 + 120 + 86);
  struct TCase {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Damage;
    TErrorCode Expected;
  } cases[] = {
      {"child beyond the file", [&](auto& b) { WriteI32(b.data() + root * 4096 + 13 + 5, 999); }, KURA_INDEXCORRUPT},
      {"child is the root", [&](auto& b) { WriteI32(b.data() + root * 4096 + 13 + 5, root); }, KURA_INDEXCORRUPT},
      {"page type", [&](auto& b) { b[root * 4096] = 7; }, KURA_INDEXCORRUPT},
      {"entry count", [&](auto& b) { WriteU16(b.data() + root * 4096 + 1, 4000); }, KURA_INDEXCORRUPT},
      // Fewer pages than the header counts: refused at open.
      {"truncated", [&](auto& b) { b.erase(b.end() - 100, b.end()); }, KURA_HEADERCORRUPT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto bytes = good;
    c.Damage(bytes);
    WriteFileBytes(Path, bytes);
    EXPECT_EQ(EngineErrorCodeOf([&] {
                auto damaged = Open();
                TIndexWalker walker(*damaged, 1);
                for (bool ok = walker.First(); ok; ok = walker.Next()) {
                }
                if (!CheckIndexTree(*damaged, 1).Ok) RaiseEngineError(KURA_INDEXCORRUPT);
              }),
              c.Expected);
  }
  WriteFileBytes(Path, good);
  auto file2 = Open();
  const auto error = EngineErrorOf([&] { file2->GetPage(1, 999); });
  ASSERT_TRUE(error) << "page 999 does not exist";
  EXPECT_EQ(error->ErrorCode, KURA_INDEXCORRUPT);
  EXPECT_EQ(error->ErrorTableName, "T");
  EXPECT_EQ(error->ErrorDatabaseName, Dir.Path().string() + "/");
}

TEST_F(IndexFileTest, TextParametersRoundTripThroughTheChain) {
  auto file = Create();
  EXPECT_EQ(file->ReadTextParameters(kSysTextIndex).StopWords.size(), 22u);
  TTextIndexParameters p = DefaultTextIndexParameters();
  for (int i = 0; i < 600; ++i) p.StopWords.push_back("WORD" + std::to_string(i));
  file->WriteTextParameters(kSysTextIndex, p);
  EXPECT_NE(file->ParameterPage(kSysTextIndex), 0);
  file->FlushPages();
  file->WriteHeader();
  file->CloseIndexFile();
  auto again = Open();
  const TTextIndexParameters back = again->ReadTextParameters(kSysTextIndex);
  EXPECT_EQ(back.StopWords, p.StopWords);
  EXPECT_EQ(back.SpaceChars, p.SpaceChars);
  EXPECT_EQ(back.IncludeChars, p.IncludeChars);
  EXPECT_GE(again->Header().NextPageNo, 3);  // more than one page
  // Writing a shorter list frees the old chain and reuses it.
  const int32_t pages = again->Header().NextPageNo;
  again->WriteTextParameters(kSysTextIndex, DefaultTextIndexParameters());
  EXPECT_EQ(again->Header().NextPageNo, pages);
  EXPECT_EQ(again->ReadTextParameters(kSysTextIndex).StopWords.size(), 22u);
}

TEST_F(IndexFileTest, EmptyIndexFile) {
  auto file = Create();
  file->AddSecondaryIndex(Def("ByA", {1}, true));
  TIndexTree tree(*file, 1);
  uint8_t key[5] = {1, 0x80, 0, 0, 1};
  ASSERT_TRUE(tree.Insert(key, 1));
  file->SetActiveRecordCount(1);
  file->FlushPages();
  file->EmptyIndexFile();
  EXPECT_EQ(file->RootPage(1), 0);
  EXPECT_EQ(file->Header().NextPageNo, 1);
  EXPECT_EQ(file->ActiveRecordCount(), 0);
  file->WriteHeader();
  EXPECT_EQ(ReadFileBytes(Path).size(), 4096u);
}

TEST_F(IndexFileTest, SharedAndExclusiveLocksAcrossProcesses) {
  Create()->CloseIndexFile();
  auto file = Open();
  int32_t token = 0;
  ASSERT_TRUE(file->LockShared(token));
  EXPECT_GE(token, 1);
  EXPECT_LE(token, 65535);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  if (child == 0) {
    // Another process: a shared lock is fine, the exclusive one is refused.
    char result[2] = {'E', 'E'};
    try {
      TIndexFile other(Path, false, &Owner);
      other.SetTableInfo(Fields, 0, 0, false);
      other.OpenIndexFile();
      other.SetLockRetry({3, [] {}});
      int32_t t = 0;
      const bool shared = other.LockShared(t) && other.UnlockShared(t);
      const bool exclusive = other.LockExclusive();
      result[0] = shared ? '1' : '0';
      result[1] = exclusive ? '1' : '0';
    } catch (...) {
    }
    (void)!write(pipeFds[1], result, 2);
    _exit(0);
  }
  close(pipeFds[1]);
  char result[2] = {};
  const auto got = read(pipeFds[0], result, 2);
  waitpid(child, nullptr, 0);
  close(pipeFds[0]);
  ASSERT_EQ(got, 2);
  EXPECT_EQ(result[0], '1');
  EXPECT_EQ(result[1], '0');
  EXPECT_TRUE(file->UnlockShared(token));
  EXPECT_TRUE(file->LockExclusive());
  EXPECT_TRUE(file->UnlockExclusive());
}

}  // namespace
}  // namespace kura
