#include "kura/base/file_handler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/base/file_list.h"
#include "testing/engine_error_expect.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

using testing_support::EngineErrorOf;

void ExpectRaises(const std::function<void()>& action, TErrorCode code, const std::string& tableName) {
  const std::optional<EKuraEngineError> error = EngineErrorOf(action);
  ASSERT_TRUE(error.has_value()) << "expected engine error " << code;
  EXPECT_EQ(error->ErrorCode, code);
  EXPECT_EQ(error->ErrorTableName, tableName);
}

std::vector<uint8_t> Pattern(size_t count, uint8_t seed = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
  return bytes;
}

template <bool kMemory>
struct TKind {
  static constexpr bool InMemory = kMemory;
};

// Every behaviour of the handler is the same for memory and physical files; only where
// the file lives differs. Memory files outlive their handlers in the process-wide
// registry, so each test's names are unique (they carry the test's own directory) and
// are removed at the end.
template <typename TFileKind>
class FileHandlerBothKinds : public ::testing::Test {
protected:
  static constexpr bool kInMemory = TFileKind::InMemory;

  ~FileHandlerBothKinds() override {
    if (kInMemory)
      for (const std::string& name : FNames) TFileList::Instance().DeleteFile(name, true);
  }

  std::string Name(const std::string& leaf) {
    std::string name = (FDir / leaf).string();
    FNames.push_back(name);
    return name;
  }

  // A handler on `leaf` of this test's kind.
  TFileHandler Handler(const std::string& leaf) { return TFileHandler(Name(leaf), kInMemory); }

  // Creates `leaf` holding `bytes` and closes it.
  void MakeFile(const std::string& leaf, const std::vector<uint8_t>& bytes) {
    TFileHandler file(Name(leaf), kInMemory);
    file.Create();
    if (!bytes.empty()) file.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    file.Close();
  }

  std::vector<uint8_t> Contents(const std::string& leaf) {
    TFileHandler file(Name(leaf), kInMemory);
    file.Open();
    std::vector<uint8_t> bytes(static_cast<size_t>(file.GetFileSize()));
    if (!bytes.empty()) file.ReadBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    return bytes;
  }

  testing_support::TTempDir FDir;
  std::vector<std::string> FNames;
};

struct TKindNames {
  template <typename T>
  static std::string GetName(int) {
    return T::InMemory ? "Memory" : "Physical";
  }
};

using TKinds = ::testing::Types<TKind<false>, TKind<true>>;
TYPED_TEST_SUITE(FileHandlerBothKinds, TKinds, TKindNames);

TYPED_TEST(FileHandlerBothKinds, SeeksMoveTheOpenersPosition) {
  TFileHandler file = this->Handler("seek.dat");
  file.Create();
  const std::vector<uint8_t> bytes = Pattern(100);
  file.WriteBuffer(bytes.data(), 100);
  EXPECT_EQ(file.Seek(soFromCurrent, 0), 100);

  struct TCase {
    int32_t Origin;
    int64_t Offset;
    int64_t Expected;  // -1: refused, position unchanged
  };
  const TCase cases[] = {
      {soFromBeginning, 10, 10}, {soFromCurrent, 5, 15},  {soFromCurrent, -15, 0}, {soFromEnd, 0, 100},
      {soFromEnd, -30, 70},      {soFromCurrent, -71, -1}, {soFromEnd, 50, 150},   {soFromBeginning, -1, -1},
  };
  int64_t position = 100;
  for (const TCase& c : cases) {
    EXPECT_EQ(file.Seek(c.Origin, c.Offset), c.Expected) << c.Origin << " " << c.Offset;
    if (c.Expected >= 0) position = c.Expected;
    EXPECT_EQ(file.Seek(soFromCurrent, 0), position);
  }

  // GetFileSize leaves the position alone; seeking past the end does not grow the file.
  file.Seek(soFromBeginning, 42);
  EXPECT_EQ(file.GetFileSize(), 100);
  EXPECT_EQ(file.Seek(soFromCurrent, 0), 42);

  uint8_t piece[5];
  EXPECT_EQ(file.ReadBuffer(piece, 5), 5);
  EXPECT_EQ(0, std::memcmp(piece, bytes.data() + 42, 5));
  EXPECT_EQ(file.Seek(soFromCurrent, 0), 47);
}

TYPED_TEST(FileHandlerBothKinds, ShortReadsAreErrorsUnlessAllowed) {
  this->MakeFile("short.dat", Pattern(10));
  TFileHandler file = this->Handler("short.dat");
  file.Open();

  struct TCase {
    int64_t Position;
    int32_t Count;
    bool AllowShort;
    int32_t Expected;  // -1: raises 9217
    int64_t PositionAfter;
  };
  const TCase cases[] = {
      {0, 10, false, 10, 10}, {0, 4, false, 4, 4},   {5, 10, false, -1, 10}, {5, 10, true, 5, 10},
      {10, 4, true, 0, 10},   {10, 4, false, -1, 10}, {12, 4, true, 0, 12},  {12, 4, false, -1, 12},
      {3, 0, false, 0, 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "at " << c.Position << " count " << c.Count << " allowShort " << c.AllowShort);
    uint8_t buffer[16] = {};
    file.Seek(soFromBeginning, c.Position);
    if (c.Expected < 0) {
      ExpectRaises([&] { file.ReadBuffer(buffer, c.Count, c.AllowShort); }, KURA_READERR, file.FileName);
    } else {
      EXPECT_EQ(file.ReadBuffer(buffer, c.Count, c.AllowShort), c.Expected);
      const std::vector<uint8_t> expected = Pattern(10);
      if (c.Expected > 0) {
        EXPECT_EQ(0, std::memcmp(buffer, expected.data() + c.Position, static_cast<size_t>(c.Expected)));
      }
    }
    EXPECT_EQ(file.Seek(soFromCurrent, 0), c.PositionAfter);
  }

  // The positional helper behaves the same.
  uint8_t buffer[16];
  EXPECT_EQ(file.ReadAt(6, buffer, 8, true), 4);
  EXPECT_EQ(file.Seek(soFromCurrent, 0), 10);
  ExpectRaises([&] { file.ReadAt(6, buffer, 8); }, KURA_READERR, file.FileName);
}

TYPED_TEST(FileHandlerBothKinds, ZeroByteWriteTruncatesAtThePosition) {
  TFileHandler file = this->Handler("trunc.dat");
  file.Create();
  const std::vector<uint8_t> bytes = Pattern(5000, 3);
  file.WriteBuffer(bytes.data(), 5000);
  file.Seek(soFromBeginning, 40);
  file.WriteBuffer(nullptr, 0);
  EXPECT_EQ(file.GetFileSize(), 40);
  uint8_t buffer[8];
  EXPECT_EQ(file.ReadBuffer(buffer, 8, true), 0);

  // Writing past the end after a truncation leaves zeros in the gap, never old bytes.
  const uint8_t tail[3] = {0xAA, 0xBB, 0xCC};
  file.WriteAt(100, tail, 3);
  EXPECT_EQ(file.GetFileSize(), 103);
  std::vector<uint8_t> back(103);
  EXPECT_EQ(file.ReadAt(0, back.data(), 103), 103);
  EXPECT_EQ(0, std::memcmp(back.data(), bytes.data(), 40));
  for (size_t i = 40; i < 100; ++i) ASSERT_EQ(back[i], 0) << "byte " << i;
  EXPECT_EQ(0, std::memcmp(back.data() + 100, tail, 3));
}

TYPED_TEST(FileHandlerBothKinds, TwoOpenersKeepSeparatePositions) {
  this->MakeFile("two.dat", Pattern(100));
  const std::vector<uint8_t> bytes = Pattern(100);
  TFileHandler first = this->Handler("two.dat");
  TFileHandler second = this->Handler("two.dat");
  first.Open();
  second.Open();
  EXPECT_NE(first.HandleId, second.HandleId);
  EXPECT_EQ(first.FileObject, second.FileObject);

  uint8_t a[10];
  uint8_t b[4];
  first.ReadBuffer(a, 10);
  second.ReadBuffer(b, 4);
  EXPECT_EQ(0, std::memcmp(b, bytes.data(), 4));
  first.ReadBuffer(a, 10);
  EXPECT_EQ(0, std::memcmp(a, bytes.data() + 10, 10));
  EXPECT_EQ(first.Seek(soFromCurrent, 0), 20);
  EXPECT_EQ(second.Seek(soFromCurrent, 0), 4);

  // A write through one opener is seen by the other.
  const uint8_t patch[2] = {1, 2};
  second.WriteBuffer(patch, 2);
  uint8_t seen[2];
  first.ReadAt(4, seen, 2);
  EXPECT_EQ(0, std::memcmp(seen, patch, 2));
}

TYPED_TEST(FileHandlerBothKinds, RegionLocksConflictWhoeverHoldsThem) {
  this->MakeFile("locks.dat", Pattern(5));
  TFileHandler first = this->Handler("locks.dat");
  TFileHandler second = this->Handler("locks.dat");
  first.Open();
  second.Open();

  struct TCase {
    int Opener;  // 1 or 2
    bool Lock;
    int64_t Length;
    int64_t Offset;
    bool Expected;
  };
  const TCase cases[] = {
      {1, true, 1, 0xFFFFFFFF, true},
      {1, true, 1, 0xFFFFFFFF, false},            // the same handle again
      {2, true, 1, 0xFFFFFFFF, false},            // another handle of this process
      {2, true, 65536, 0xFFFEFFFF, true},         // ends at 0xFFFFFFFE: touches, no overlap
      {1, true, 1, 0xFFFFFFFE, false},            // inside the 65536-byte region
      {1, true, 10, 0xFFFEFFF8, false},           // a listed region starts inside the new one
      {1, true, 8, 0xFFFEFFF7, true},             // ends right before it
      {1, true, 0, 0x100, false},                 // no bytes
      {2, false, 1, 0xFFFFFFFE, false},           // never locked
      {2, false, 65535, 0xFFFEFFFF, false},       // wrong length
      {1, false, 65536, 0xFFFEFFFF, true},        // regions have no owner: any handle may unlock
      {2, true, 65536, 0xFFFEFFFF, true},         // free again
      {1, true, 200000001, 0xF4143DFD, false},    // overlaps both
      {1, true, 1, int64_t{0x123456789A}, true},  // far beyond 4 GiB on a 5-byte file
      {2, true, 1, int64_t{0x123456789A}, false},
  };
  for (const TCase& c : cases) {
    TFileHandler& handler = c.Opener == 1 ? first : second;
    EXPECT_EQ(handler.LockRange(c.Lock, c.Length, c.Offset), c.Expected)
        << "opener " << c.Opener << (c.Lock ? " lock " : " unlock ") << c.Length << " at " << std::hex << c.Offset;
  }
  // Locks never touch the data.
  EXPECT_EQ(first.GetFileSize(), 5);

  TFileHandler closed = this->Handler("locks.dat");
  EXPECT_FALSE(closed.LockRange(true, 1, 0));
}

TYPED_TEST(FileHandlerBothKinds, ContentsOutliveTheLastClose) {
  const std::vector<uint8_t> bytes = Pattern(9000, 5);
  this->MakeFile("kept.dat", bytes);
  TFileHandler probe = this->Handler("kept.dat");
  EXPECT_TRUE(probe.FileExists());
  EXPECT_EQ(this->Contents("kept.dat"), bytes);
}

TYPED_TEST(FileHandlerBothKinds, OpenLifecycle) {
  TFileHandler file = this->Handler("life.dat");
  EXPECT_FALSE(file.FileExists());
  ExpectRaises([&] { file.Open(); }, KURA_OSENOENT, file.FileName);
  EXPECT_FALSE(file.IsOpen);
  EXPECT_EQ(file.Seek(soFromEnd, 0), 0);
  EXPECT_EQ(file.GetFileSize(), 0);

  file.Create();
  EXPECT_TRUE(file.IsOpen);
  EXPECT_GT(file.HandleId, 0);
  const int32_t firstHandle = file.HandleId;
  const TAbstractFile* object = file.FileObject;
  file.Open();  // nothing: already open
  EXPECT_EQ(file.HandleId, firstHandle);
  EXPECT_EQ(file.FileObject, object);
  file.Close();
  EXPECT_FALSE(file.IsOpen);
  EXPECT_EQ(file.HandleId, 0);
  EXPECT_EQ(file.FileObject, nullptr);
  file.Close();  // harmless

  file.Open();
  EXPECT_FALSE(file.OpenedReadOnly);
  EXPECT_FALSE(file.ReadOnlyAttribute);
  file.Flush();
}

TYPED_TEST(FileHandlerBothKinds, ShareModesAndRefusalsOfOpenFiles) {
  this->MakeFile("share.dat", Pattern(3));
  const std::string name = this->Name("share.dat");

  struct TCase {
    bool FirstExclusive;
    bool SecondExclusive;
    bool SecondOpens;
  };
  const TCase cases[] = {{false, false, true}, {false, true, false}, {true, false, false}, {true, true, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.FirstExclusive << " then " << c.SecondExclusive);
    TFileHandler first(name, this->kInMemory);
    first.Exclusive = c.FirstExclusive;
    first.Open();
    TFileHandler second(name, this->kInMemory);
    second.Exclusive = c.SecondExclusive;
    if (c.SecondOpens) {
      second.Open();
      EXPECT_TRUE(second.IsOpen);
    } else {
      ExpectRaises([&] { second.Open(); }, KURA_OSEACCES, name);
      EXPECT_FALSE(second.IsOpen);
    }
  }

  // Create, delete and rename refuse an open file; nothing changes.
  TFileHandler holder(name, this->kInMemory);
  holder.Open();
  TFileHandler other(name, this->kInMemory);
  ExpectRaises([&] { other.Create(); }, KURA_OSEACCES, name);
  ExpectRaises([&] { other.Delete(); }, KURA_OSEACCES, name);
  ExpectRaises([&] { other.Rename(this->Name("moved.dat")); }, KURA_OSEACCES, name);
  EXPECT_EQ(other.FileName, name);
  holder.Close();
  EXPECT_EQ(this->Contents("share.dat"), Pattern(3));
}

TYPED_TEST(FileHandlerBothKinds, DeleteAndRenameClosedFiles) {
  this->MakeFile("old.dat", Pattern(20));
  TFileHandler file = this->Handler("old.dat");
  const std::string oldName = file.FileName;
  const std::string newName = this->Name("new.dat");
  file.Rename(newName);
  EXPECT_EQ(file.FileName, newName);
  EXPECT_FALSE(TFileHandler(oldName, this->kInMemory).FileExists());
  EXPECT_EQ(this->Contents("new.dat"), Pattern(20));

  // A rename onto an existing file is refused and both stay.
  this->MakeFile("third.dat", Pattern(4));
  const std::optional<EKuraEngineError> error = EngineErrorOf([&] { file.Rename(this->Name("third.dat")); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->ErrorCode, KURA_OSUNKNOWN);
  EXPECT_EQ(error->OSErrorCode, EEXIST);
  EXPECT_EQ(file.FileName, newName);
  EXPECT_EQ(this->Contents("third.dat"), Pattern(4));

  file.Delete();
  EXPECT_FALSE(file.FileExists());
  ExpectRaises([&] { file.Open(); }, KURA_OSENOENT, newName);
  ExpectRaises([&] { file.Delete(); }, KURA_OSENOENT, newName);
  ExpectRaises([&] { file.Rename(oldName); }, KURA_OSENOENT, newName);
}

TYPED_TEST(FileHandlerBothKinds, CopiesReportProgressInSteps) {
  struct TCase {
    int32_t Size;
    int32_t Step;
    std::vector<int32_t> Reported;
  };
  const TCase cases[] = {
      {0, 0, {}},                         // an empty file reports nothing
      {1000, 0, {100}},                   // one short read
      {204800, 10, {32, 64, 96}},         // 100 is less than 96 + 10
      {204800, 0, {32, 64, 96, 100}},
      {131072, 50, {50, 100}},            // the last read returns nothing and reports nothing
      {131072, 60, {100}},
      {65536 * 3, 34, {66, 100}},         // 33 falls short of 0 + 34; 100 just reaches 66 + 34
      {65536 * 3, 35, {66}},              // 100 falls short of 66 + 35
  };
  int index = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.Size << " step " << c.Step);
    const std::string sourceLeaf = "src" + std::to_string(index) + ".dat";
    const std::string destLeaf = "dst" + std::to_string(index) + ".dat";
    ++index;
    const std::vector<uint8_t> bytes = Pattern(static_cast<size_t>(c.Size), 9);
    this->MakeFile(sourceLeaf, bytes);
    TFileHandler source = this->Handler(sourceLeaf);
    source.Open();
    std::vector<int32_t> reported;
    int marker = 0;
    source.CopyTo(this->Name(destLeaf), this->kInMemory, c.Step, [&](void* userData, int32_t percentage) {
      EXPECT_EQ(userData, &marker);
      reported.push_back(percentage);
    }, &marker);
    EXPECT_EQ(reported, c.Reported);
    source.Close();
    EXPECT_EQ(this->Contents(destLeaf), bytes);
  }
}

TYPED_TEST(FileHandlerBothKinds, CopyFromLeavesExactlyTheSource) {
  this->MakeFile("from.dat", Pattern(70000, 1));
  this->MakeFile("into.dat", Pattern(150000, 2));
  TFileHandler dest = this->Handler("into.dat");
  dest.Open();
  std::vector<int32_t> reported;
  dest.CopyFrom(this->Name("from.dat"), this->kInMemory, 1,
                [&](void*, int32_t percentage) { reported.push_back(percentage); });
  EXPECT_EQ(reported, (std::vector<int32_t>{93, 100}));
  dest.Close();
  EXPECT_EQ(this->Contents("into.dat"), Pattern(70000, 1));

  // The source is opened exclusively: an open source refuses the copy.
  TFileHandler source = this->Handler("from.dat");
  source.Open();
  dest.Open();
  ExpectRaises([&] { dest.CopyFrom(this->Name("from.dat"), this->kInMemory); }, KURA_OSEACCES, dest.FileName);
  // A copy onto an open file is refused too.
  ExpectRaises([&] { source.CopyTo(dest.FileName, this->kInMemory); }, KURA_OSEACCES, source.FileName);
  // Nothing happens on a closed handler.
  TFileHandler closed = this->Handler("from.dat");
  closed.CopyTo(this->Name("never.dat"), this->kInMemory);
  EXPECT_FALSE(TFileHandler(this->Name("never.dat"), this->kInMemory).FileExists());
}

TYPED_TEST(FileHandlerBothKinds, CopiesCrossBetweenKinds) {
  const std::vector<uint8_t> bytes = Pattern(100000, 4);
  this->MakeFile("here.dat", bytes);
  const std::string there = this->Name("there.dat");
  {
    TFileHandler source = this->Handler("here.dat");
    source.Open();
    source.CopyTo(there, !this->kInMemory);
  }
  TFileHandler copy(there, !this->kInMemory);
  copy.Open();
  std::vector<uint8_t> back(bytes.size());
  EXPECT_EQ(copy.GetFileSize(), static_cast<int64_t>(bytes.size()));
  copy.ReadBuffer(back.data(), static_cast<int32_t>(back.size()));
  EXPECT_EQ(back, bytes);

  // And back again into a fresh file of this kind.
  TFileHandler target = this->Handler("back.dat");
  target.Create();
  copy.Close();
  target.CopyFrom(there, !this->kInMemory);
  target.Close();
  EXPECT_EQ(this->Contents("back.dat"), bytes);
  TFileHandler(there, !this->kInMemory).Delete();
}

TYPED_TEST(FileHandlerBothKinds, AccessBracketsKeepSeekAndTransferTogether) {
  // Two threads share one opener; each writes its own blocks with a seek and a write
  // inside one bracket. Without the bracket a block could land at the other's position.
  TFileHandler file = this->Handler("threads.dat");
  file.Create();
  constexpr int kBlocks = 200;
  constexpr int32_t kBlockSize = 64;
  const auto writer = [&](uint8_t mark, int first) {
    std::vector<uint8_t> block(kBlockSize, mark);
    for (int i = first; i < kBlocks; i += 2) {
      TFileAccess access(file);
      file.Seek(soFromBeginning, int64_t{i} * kBlockSize);
      file.WriteBuffer(block.data(), kBlockSize);
    }
  };
  std::thread even(writer, uint8_t{0xE0}, 0);
  std::thread odd(writer, uint8_t{0x0D}, 1);
  even.join();
  odd.join();
  std::vector<uint8_t> back(kBlocks * kBlockSize);
  file.ReadAt(0, back.data(), static_cast<int32_t>(back.size()));
  for (size_t i = 0; i < back.size(); ++i)
    ASSERT_EQ(back[i], (i / kBlockSize) % 2 == 0 ? 0xE0 : 0x0D) << "byte " << i;
}

TYPED_TEST(FileHandlerBothKinds, TransfersOnAClosedHandlerRaise) {
  TFileHandler file = this->Handler("closed.dat");
  uint8_t buffer[4] = {};
  ExpectRaises([&] { file.ReadBuffer(buffer, 4); }, KURA_READERR, file.FileName);
  ExpectRaises([&] { file.ReadAt(0, buffer, 4, true); }, KURA_READERR, file.FileName);
  ExpectRaises([&] { file.WriteBuffer(buffer, 4); }, KURA_WRITEERR, file.FileName);
  ExpectRaises([&] { file.WriteAt(0, buffer, 4); }, KURA_WRITEERR, file.FileName);
  file.Flush();  // nothing to flush
  file.BeginAccess();
  file.EndAccess();
}

TYPED_TEST(FileHandlerBothKinds, AccessBracketsNestAndCloseReleasesThem) {
  this->MakeFile("access.dat", Pattern(8));
  TFileHandler file = this->Handler("access.dat");
  file.Open();
  file.BeginAccess();
  file.BeginAccess();
  file.Seek(soFromBeginning, 2);
  uint8_t byte = 0;
  file.ReadBuffer(&byte, 1);
  EXPECT_EQ(byte, Pattern(8)[2]);
  file.EndAccess();
  {
    TFileAccess guard(file);  // recursive
  }
  // Closing with a bracket still held releases it; the object must be usable afterwards.
  file.Close();
  file.EndAccess();  // nothing left to release
  TFileHandler other = this->Handler("access.dat");
  other.Open();
  other.BeginAccess();
  other.EndAccess();
}

}  // namespace
}  // namespace kura
