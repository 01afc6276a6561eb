// Crash points and failed writes. A workload of commits runs against a small table; the
// system-call table kills the process (or fails the call) just before its K-th write, cut
// or flush, for every K until the workload runs through. Afterwards the table must open,
// "kura verify" must pass without a repair, every commit reported done must be there and
// the commit that was running must be there entirely or not at all.

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/engine_error.h"
#include "kura/base/os.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/storage/table_journal.h"
#include "testing/child_process.h"
#include "testing/definition_builders.h"
#include "testing/engine_error_expect.h"
#include "testing/file_bytes.h"
#include "testing/pipe.h"
#include "testing/temp_dir.h"
#include "tools/kura/table_report.h"

namespace {

using namespace kura;
using testing_support::Field;
using testing_support::Index;
using testing_support::TTempDir;
namespace fs = std::filesystem;

// ---- The table and its model ------------------------------------------------------------

// "acct": ID (primary), BAL, K (index "ByK", not unique), MEMO (a memo BLOB).
constexpr int kId = 1;
constexpr int kBal = 2;
constexpr int kK = 3;
constexpr int kMemo = 4;

struct TRow {
  int32_t Bal = 0;
  int32_t K = 0;
  std::string Memo;
  bool operator==(const TRow&) const = default;
};
using TState = std::map<int32_t, TRow>;

struct TOp {
  enum TKind { Append, Modify, Delete } Kind;
  int32_t Id;
  TRow Row;
};

// One commit: a transaction of its operations, or a single operation on its own.
struct TStep {
  bool Transaction = false;
  std::vector<TOp> Ops;
};

struct TWorkload {
  std::string Name;
  TState Initial;
  std::vector<TStep> Steps;
  bool Durable = false;  // the session forces flushes: flush calls are crash points too
  bool Exclusive = false;  // the table is opened exclusively (it takes no locks)
};

void Apply(const TStep& step, TState& state) {
  for (const TOp& op : step.Ops) {
    if (op.Kind == TOp::Delete) {
      state.erase(op.Id);
    } else {
      state[op.Id] = op.Row;
    }
  }
}

std::string Memo(int32_t id, size_t length) {
  std::string text(length, ' ');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + (id * 7 + i) % 26);
  return text;
}

TState Rows(int32_t first, int32_t count) {
  TState state;
  for (int32_t id = first; id < first + count; ++id) state[id] = TRow{100, id % 5, id % 3 == 0 ? Memo(id, 40) : ""};
  return state;
}

std::vector<TWorkload> Workloads() {
  std::vector<TWorkload> all;
  {
    TWorkload w{"a transaction of 100 appends", Rows(1, 20), {}};
    TStep step{true, {}};
    for (int32_t id = 1000; id < 1100; ++id) step.Ops.push_back({TOp::Append, id, TRow{id, id % 9, ""}});
    w.Steps.push_back(step);
    all.push_back(w);
    // The same on a table opened exclusively, whose changes reach the files when the
    // transaction commits and when the cursor closes.
    w.Name += ", exclusively";
    w.Exclusive = true;
    w.Steps.push_back({false, {{TOp::Modify, 5, TRow{1, 1, Memo(5, 700)}}}});
    all.push_back(w);
  }
  {
    TWorkload w{"10 appends on their own", Rows(1, 20), {}};
    for (int32_t id = 500; id < 510; ++id) w.Steps.push_back({false, {{TOp::Append, id, TRow{id, id % 4, ""}}}});
    all.push_back(w);
  }
  {
    TWorkload w{"10 modifies on their own", Rows(1, 30), {}};
    for (int32_t id = 3; id < 30; id += 3) w.Steps.push_back({false, {{TOp::Modify, id, TRow{7, 40 + id, ""}}}});
    all.push_back(w);
  }
  {
    TWorkload w{"10 deletes on their own", Rows(1, 30), {}};
    for (int32_t id = 2; id < 22; id += 2) w.Steps.push_back({false, {{TOp::Delete, id, {}}}});
    all.push_back(w);
  }
  {
    TWorkload w{"a transaction of 100 modifies in two runs of slots", Rows(1, 300), {}};
    TStep step{true, {}};
    for (int32_t id = 1; id <= 50; ++id) step.Ops.push_back({TOp::Modify, id, TRow{-id, 3, ""}});
    for (int32_t id = 201; id <= 250; ++id) step.Ops.push_back({TOp::Modify, id, TRow{-id, 4, ""}});
    w.Steps.push_back(step);
    all.push_back(w);
  }
  {
    // The two accounts lie apart, so that the commit writes their slots separately.
    TWorkload w{"a transfer between two accounts, flushed", Rows(1, 40), {}, true};
    w.Steps.push_back({true, {{TOp::Modify, 4, TRow{90, 4, ""}}, {TOp::Modify, 37, TRow{110, 2, ""}}}});
    w.Steps.push_back({true, {{TOp::Modify, 37, TRow{80, 2, ""}}, {TOp::Modify, 4, TRow{120, 4, ""}}}});
    all.push_back(w);
  }
  {
    TWorkload w{"a commit that adds BLOB values", Rows(1, 12), {}};
    TStep step{true, {}};
    for (int32_t id = 1; id <= 5; ++id) step.Ops.push_back({TOp::Modify, id, TRow{100, id % 5, Memo(id, 1500)}});
    step.Ops.push_back({TOp::Append, 50, TRow{1, 1, Memo(50, 3000)}});
    step.Ops.push_back({TOp::Append, 51, TRow{1, 1, Memo(51, 20)}});
    w.Steps.push_back(step);
    all.push_back(w);
  }
  return all;
}

// ---- Reaching the table -------------------------------------------------------------------

class TTableUser {
public:
  explicit TTableUser(const fs::path& dir, bool durable = false, bool exclusive = false) {
    Session.Sleep = [](int) {};
    Session.SetForceBufferFlush(durable);
    Directory = Session.OpenDirectory("CRASH", dir.string());
    Cursor = std::make_unique<TDataCursor>(*Directory);
    Cursor->SetTableName("acct");
    Cursor->SetExclusive(exclusive);
    Cursor->OpenCursor();
    Buffer.resize(static_cast<size_t>(Cursor->RecordSize()));
  }

  void Run(const TStep& step) {
    if (step.Transaction) Directory->StartTransaction();
    try {
      for (const TOp& op : step.Ops) Run(op);
      if (step.Transaction) Directory->Commit(true, false);
    } catch (const EKuraEngineError&) {
      if (step.Transaction && Directory->InTransaction()) Directory->Rollback();
      throw;
    }
  }

  TState Read() {
    TState state;
    Cursor->SetToBegin();
    while (Cursor->GetNextRecord(Buffer.data()) == 0) {
      TRow row;
      row.Bal = Int(kBal);
      row.K = Int(kK);
      int32_t size = 0;
      EXPECT_EQ(Cursor->OpenBlob(kMemo, Buffer.data(), TBlobOpenMode::Read, size), 0);
      row.Memo.resize(static_cast<size_t>(size));
      int32_t count = 0;
      if (size > 0) {
        Cursor->GetBlob(kMemo, Buffer.data(), 0, size, reinterpret_cast<uint8_t*>(row.Memo.data()), count);
      }
      Cursor->FreeBlob(kMemo, Buffer.data());
      state[Int(kId)] = row;
    }
    return state;
  }

  TDataSession Session;
  TDataDirectory* Directory = nullptr;
  std::unique_ptr<TDataCursor> Cursor;
  std::vector<uint8_t> Buffer;

private:
  int32_t Int(int fieldNo) {
    bool isNull = false;
    int32_t value = 0;
    Cursor->GetField(fieldNo, Buffer.data(), isNull, reinterpret_cast<uint8_t*>(&value));
    return isNull ? 0 : value;
  }
  void SetInt(int fieldNo, int32_t value) { Cursor->SetField(fieldNo, Buffer.data(), reinterpret_cast<uint8_t*>(&value)); }
  void SetMemo(const std::string& memo) {
    int32_t size = 0;
    ASSERT_EQ(Cursor->OpenBlob(kMemo, Buffer.data(), TBlobOpenMode::ReadWrite, size), 0);
    Cursor->TruncateBlob(kMemo, Buffer.data(), 0);
    if (!memo.empty()) {
      Cursor->PutBlob(kMemo, Buffer.data(), 0, static_cast<int32_t>(memo.size()),
                      reinterpret_cast<const uint8_t*>(memo.data()));
    }
  }
  void Find(int32_t id) {
    Cursor->SetToBegin();
    while (Cursor->GetNextRecord(Buffer.data()) == 0) {
      if (Int(kId) == id) return;
    }
    FAIL() << "no record " << id;
  }
  void Run(const TOp& op) {
    if (op.Kind == TOp::Append) {
      Cursor->InitRecord(Buffer.data());
      SetInt(kId, op.Id);
      SetInt(kBal, op.Row.Bal);
      SetInt(kK, op.Row.K);
      if (!op.Row.Memo.empty()) SetMemo(op.Row.Memo);
      Cursor->AppendRecord(Buffer.data(), false);
      return;
    }
    Find(op.Id);
    if (op.Kind == TOp::Delete) {
      Cursor->DeleteRecord(Buffer.data(), false);
      return;
    }
    Cursor->GetCurrentRecord(Buffer.data(), true);
    try {
      SetInt(kBal, op.Row.Bal);
      SetInt(kK, op.Row.K);
      SetMemo(op.Row.Memo);
      Cursor->ModifyRecord(Buffer.data(), true, false);
    } catch (const EKuraEngineError&) {
      Cursor->FreeAllBlobs();
      Cursor->CancelRecord();
      throw;
    }
  }
};

void CreateTable(const fs::path& dir, const TState& initial) {
  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("CRASH", dir.string());
  TTableDefinition definition;
  definition.Fields = {Field("ID", TFieldType::Integer), Field("BAL", TFieldType::Integer),
                       Field("K", TFieldType::Integer), Field("MEMO", TFieldType::Blob, 0, TFieldSubType::Memo)};
  definition.PrimaryIndex = Index("", {kId}, true);
  definition.SecondaryIndexes = {Index("ByK", {kK})};
  TDataCursor creator(*directory);
  creator.SetTableName("acct");
  creator.SetExclusive(true);
  creator.CreateTable(definition, false);
  TTableUser user(dir);
  TStep fill{true, {}};
  for (const auto& [id, row] : initial) fill.Ops.push_back({TOp::Append, id, row});
  user.Run(fill);
}

// A journal that holds a commit (its header is whole; an emptied one is wiped).
bool JournalHot(const fs::path& journal) {
  const std::vector<uint8_t> bytes = testing_support::ReadFileBytes(journal);
  return bytes.size() >= 8 && std::equal(bytes.begin(), bytes.begin() + 8, "KuraJrnl");
}

void CopyFiles(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::create_directories(to);
  for (const auto& entry : fs::directory_iterator(from)) fs::copy_file(entry.path(), to / entry.path().filename());
}

// ---- The injection ----------------------------------------------------------------------

enum class TFault { Kill, NoSpace, IOError, ShortWrite };

struct TInjection {
  int64_t Target = 0;  // the call that fails (1-based); 0: none
  TFault Fault = TFault::Kill;
  int64_t Calls = 0;
  bool FailNextWrite = false;  // the rest of a short write meets a full device
};
TInjection gInjection;

// Whether this call is the one to fail; a kill happens here and now.
bool Strike() {
  if (++gInjection.Calls != gInjection.Target) return false;
  if (gInjection.Fault == TFault::Kill) ::raise(SIGKILL);
  return true;
}

ssize_t InjectedPWrite(int fd, const void* buffer, size_t count, off_t offset) {
  if (gInjection.FailNextWrite) {
    gInjection.FailNextWrite = false;
    errno = ENOSPC;
    return -1;
  }
  if (Strike()) {
    if (gInjection.Fault == TFault::ShortWrite && count > 1) {
      gInjection.FailNextWrite = true;
      return OSRealApi().PWrite(fd, buffer, count / 2, offset);
    }
    errno = gInjection.Fault == TFault::IOError ? EIO : ENOSPC;
    return -1;
  }
  return OSRealApi().PWrite(fd, buffer, count, offset);
}

int InjectedFTruncate(int fd, off_t length) {
  if (Strike()) {
    errno = EIO;
    return -1;
  }
  return OSRealApi().FTruncate(fd, length);
}

int InjectedFSync(int fd) {
  if (Strike()) {
    errno = EIO;
    return -1;
  }
  return OSRealApi().FSync(fd);
}

TOSApi InjectedApi() {
  TOSApi api = OSRealApi();
  api.PWrite = InjectedPWrite;
  api.FTruncate = InjectedFTruncate;
  api.FSync = InjectedFSync;
  return api;
}

// ---- Checks --------------------------------------------------------------------------------

// Opens the table afresh (which rolls back what a dead writer left), compares it with the
// states allowed and runs the verify command. Returns a description of what is wrong.
std::string CheckTable(const fs::path& dir, const std::vector<const TState*>& allowed, bool exclusive = false) {
  std::string problem;
  try {
    TTableUser user(dir, false, exclusive);
    const TState found = user.Read();
    bool matched = false;
    for (const TState* state : allowed) matched = matched || found == *state;
    if (!matched) problem += "the table holds " + std::to_string(found.size()) + " records in no state a commit left; ";
  } catch (const EKuraEngineError& error) {
    return std::string("the table does not open: ") + error.what();
  }
  if (JournalHot(dir / "acct.KJL")) problem += "the journal still holds a commit; ";
  std::ostringstream out;
  if (tool::VerifyCommand((dir / "acct").string(), out) != 0) problem += "verify: " + out.str();
  return problem;
}

// A workload's table, made once in "pristine"; every attempt works on a fresh copy of it
// in "run".
struct TWorkloadFiles {
  explicit TWorkloadFiles(const TWorkload& workload) {
    fs::create_directories(Pristine);
    CreateTable(Pristine, workload.Initial);
  }
  void Fresh() const { CopyFiles(Pristine, Run); }

  TTempDir Temp;
  fs::path Pristine = Temp / "pristine";
  fs::path Run = Temp / "run";
};

class CrashPointTest : public ::testing::TestWithParam<int> {};

TEST_P(CrashPointTest, AKillBeforeAnyWriteLeavesWholeCommitsOnly) {
  const TWorkload workload = Workloads()[static_cast<size_t>(GetParam())];
  SCOPED_TRACE(workload.Name);
  const TWorkloadFiles files(workload);
  const fs::path& run = files.Run;

  // The states after 0, 1, ... commits.
  std::vector<TState> states{workload.Initial};
  for (const TStep& step : workload.Steps) {
    states.push_back(states.back());
    Apply(step, states.back());
  }

  // The child counts its finished commits where the parent can read them after its death.
  auto* done = static_cast<int*>(mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(done, MAP_FAILED);
  int kills = 0;
  for (int64_t k = 1;; ++k) {
    files.Fresh();
    *done = 0;
    const pid_t child = testing_support::SpawnChild([&] {
      TOSApiOverride injected(InjectedApi());
      gInjection = TInjection{k, TFault::Kill};
      TTableUser user(run, workload.Durable, workload.Exclusive);
      for (const TStep& step : workload.Steps) {
        user.Run(step);
        // An exclusive table writes its last changes when it closes.
        if (&step == &workload.Steps.back()) user.Cursor->CloseCursor();
        ++*done;
      }
      return 0;
    });
    int signal = 0;
    const int status = testing_support::WaitChild(child, &signal);
    if (status == 0) break;  // the workload ran through before the K-th call
    ASSERT_EQ(signal, SIGKILL) << "at call " << k << " the child ended with status " << status;
    ++kills;
    const int committed = *done;
    ASSERT_LT(committed, static_cast<int>(states.size()));
    std::vector<const TState*> allowed{&states[static_cast<size_t>(committed)]};
    if (committed + 1 < static_cast<int>(states.size())) allowed.push_back(&states[static_cast<size_t>(committed + 1)]);
    const std::string problem = CheckTable(run, allowed, workload.Exclusive);
    ASSERT_TRUE(problem.empty()) << "killed before call " << k << " after " << committed << " commits: " << problem;
  }
  munmap(done, sizeof(int));
  EXPECT_GT(kills, 3);
  EXPECT_EQ(CheckTable(run, {&states.back()}), "");
}

INSTANTIATE_TEST_SUITE_P(Workloads, CrashPointTest, ::testing::Range(0, static_cast<int>(Workloads().size())));

// A write that fails (a full device, an I/O error, a write cut short) at call K, the
// process going on: the commit raises the write error, the table is as before it, and the
// same commit made again succeeds.
struct TFaultCase {
  int Workload;
  TFault Fault;
};

class FailedWriteTest : public ::testing::TestWithParam<TFaultCase> {};

TEST_P(FailedWriteTest, TheCommitFailsWholeAndTheTableGoesOn) {
  const TWorkload workload = Workloads()[static_cast<size_t>(GetParam().Workload)];
  SCOPED_TRACE(workload.Name);
  const TWorkloadFiles files(workload);
  const fs::path& run = files.Run;
  TState expected = workload.Initial;
  for (const TStep& step : workload.Steps) Apply(step, expected);

  int failures = 0;
  for (int64_t k = 1;; ++k) {
    files.Fresh();
    bool struck = false;
    {
      TTableUser user(run, workload.Durable);
      TState model = workload.Initial;
      TOSApiOverride injected(InjectedApi());
      gInjection = TInjection{k, GetParam().Fault};
      for (const TStep& step : workload.Steps) {
        const TErrorCode code = [&]() -> TErrorCode {
          try {
            user.Run(step);
            return 0;
          } catch (const EKuraEngineError& error) {
            return error.ErrorCode;
          }
        }();
        if (code != 0) {
          struck = true;
          ++failures;
          ASSERT_EQ(code, KURA_WRITEERR) << "call " << k;
          ASSERT_EQ(user.Read(), model) << "call " << k << ": the failed commit left a trace";
          ASSERT_FALSE(JournalHot(run / "acct.KJL")) << "call " << k;
          user.Run(step);  // the injection is spent: the same commit goes through now
        }
        Apply(step, model);
        ASSERT_EQ(user.Read(), model) << "call " << k;
      }
    }
    if (!struck) break;
    ASSERT_EQ(CheckTable(run, {&expected}), "") << "call " << k;
  }
  EXPECT_GT(failures, 3);
}

std::string FaultCaseName(const ::testing::TestParamInfo<TFaultCase>& info) {
  static const char* const kFaults[] = {"Kill", "NoSpace", "IOError", "ShortWrite"};
  return std::string(kFaults[static_cast<int>(info.param.Fault)]) + "InWorkload" + std::to_string(info.param.Workload);
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedWriteTest,
                         ::testing::Values(TFaultCase{0, TFault::IOError}, TFaultCase{2, TFault::NoSpace},
                                           TFaultCase{3, TFault::IOError}, TFaultCase{4, TFault::ShortWrite},
                                           TFaultCase{5, TFault::NoSpace}, TFaultCase{6, TFault::IOError},
                                           TFaultCase{7, TFault::ShortWrite}),
                         FaultCaseName);

// ---- A live commit --------------------------------------------------------------------

// The writer stops before its third write: its journal is on disk, one account changed.
testing_support::TPipe* gToWriter = nullptr;
testing_support::TPipe* gToReader = nullptr;
int gWrites = 0;

ssize_t PausingPWrite(int fd, const void* buffer, size_t count, off_t offset) {
  if (++gWrites == 3) {
    gToReader->Send(1);
    gToWriter->Receive();
  }
  return OSRealApi().PWrite(fd, buffer, count, offset);
}

TEST(LiveCommitTest, AnotherProcessWaitsForItAndLeavesItsJournalAlone) {
  TTempDir temp;
  CreateTable(temp.Path(), Rows(1, 20));
  const TStep transfer{true, {{TOp::Modify, 4, TRow{90, 4, ""}}, {TOp::Modify, 17, TRow{110, 2, ""}}}};
  TState expected = Rows(1, 20);
  Apply(transfer, expected);
  testing_support::TPipe toWriter;
  testing_support::TPipe toReader;
  ASSERT_TRUE(toWriter.Ok && toReader.Ok);
  gToWriter = &toWriter;
  gToReader = &toReader;
  const pid_t writer = testing_support::SpawnChild([&] {
    TOSApi api = OSRealApi();
    api.PWrite = PausingPWrite;
    TOSApiOverride pausing(api);
    TTableUser user(temp.Path());
    user.Run(transfer);
    return 0;
  });
  ASSERT_EQ(toReader.Receive(), 1);
  EXPECT_TRUE(JournalHot(temp / "acct.KJL"));
  {
    TDataSession session;
    session.Sleep = [](int) {};
    session.SetTableLockAttempts(5);
    TDataCursor reader(*session.OpenDirectory("CRASH", temp.Path().string()));
    reader.SetTableName("acct");
    EXPECT_ENGINE_ERROR(KURA_LOCKTIMEOUT, reader.OpenCursor());
  }
  EXPECT_TRUE(JournalHot(temp / "acct.KJL")) << "the live commit's journal was taken";
  toWriter.Send(2);
  EXPECT_EQ(testing_support::WaitChild(writer), 0);
  EXPECT_EQ(CheckTable(temp.Path(), {&expected}), "");
}

// ---- A journal left behind, renamed and deleted with its table ---------------------

TEST(LeftJournalTest, MovesWithARenamedTableAndGoesWithADeletedOne) {
  TTempDir temp;
  const TState before = Rows(1, 20);
  CreateTable(temp.Path(), before);
  const TStep transfer{true, {{TOp::Modify, 4, TRow{90, 4, ""}}, {TOp::Modify, 17, TRow{110, 2, ""}}}};
  // Killed before its fourth write: the journal and one changed account are on disk.
  const pid_t writer = testing_support::SpawnChild([&] {
    TOSApiOverride injected(InjectedApi());
    gInjection = TInjection{4, TFault::Kill};
    TTableUser user(temp.Path());
    user.Run(transfer);
    return 0;
  });
  int signal = 0;
  testing_support::WaitChild(writer, &signal);
  ASSERT_EQ(signal, SIGKILL);
  ASSERT_TRUE(JournalHot(temp / "acct.KJL"));

  TDataSession session;
  TDataDirectory* directory = session.OpenDirectory("CRASH", temp.Path().string());
  ASSERT_EQ(directory->RenameTableFiles("acct", "moved", false), 0);
  EXPECT_FALSE(fs::exists(temp / "acct.KJL"));
  ASSERT_TRUE(JournalHot(temp / "moved.KJL"));
  ASSERT_EQ(directory->RenameTableFiles("moved", "acct", false), 0);
  EXPECT_EQ(CheckTable(temp.Path(), {&before}), "");

  // Once more, and this time the table goes.
  const pid_t again = testing_support::SpawnChild([&] {
    TOSApiOverride injected(InjectedApi());
    gInjection = TInjection{4, TFault::Kill};
    TTableUser user(temp.Path());
    user.Run(transfer);
    return 0;
  });
  testing_support::WaitChild(again, &signal);
  ASSERT_EQ(signal, SIGKILL);
  ASSERT_TRUE(JournalHot(temp / "acct.KJL"));
  ASSERT_EQ(directory->DeleteTableFiles("acct", false), 0);
  EXPECT_TRUE(fs::is_empty(temp.Path()));
}

// ---- Bytes beyond what the headers declare -------------------------------------------

struct TSurplusCase {
  const char* Name;
  const char* Extension;
  size_t Bytes;  // appended to the file
  bool Exclusive;
};

class SurplusTest : public ::testing::TestWithParam<TSurplusCase> {};

TEST_P(SurplusTest, TheTableOpensReadsRightAndItsNextWriterCutsTheSurplus) {
  TTempDir temp;
  const TState before = Rows(1, 20);
  CreateTable(temp.Path(), before);
  const fs::path file = temp / (std::string("acct") + GetParam().Extension);
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(file);
  const size_t size = bytes.size();
  bytes.resize(size + GetParam().Bytes, 0xAB);
  testing_support::WriteFileBytes(file, bytes);

  const TStep append{false, {{TOp::Append, 100, TRow{5, 1, Memo(100, 900)}}}};
  TState after = before;
  Apply(append, after);
  uintmax_t recordSize = 0;
  {
    TTableUser user(temp.Path(), false, GetParam().Exclusive);
    recordSize = static_cast<uintmax_t>(user.Cursor->RecordSize());
    EXPECT_EQ(user.Read(), before);
    user.Run(append);
    EXPECT_EQ(user.Read(), after);
  }
  EXPECT_EQ(CheckTable(temp.Path(), {&after}), "");
  // The cut came before the append: the new record's slot follows the old last one.
  const std::string extension = GetParam().Extension;
  if (extension == ".DAT") {
    EXPECT_EQ(fs::file_size(file), size + recordSize);
  } else {
    // Whole pages or blocks only: the partial one was cut.
    EXPECT_EQ((fs::file_size(file) - (extension == ".BLB" ? 512 : 0)) % (extension == ".BLB" ? 512 : 4096), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, SurplusTest,
                         ::testing::Values(TSurplusCase{"WholeSlots", ".DAT", 2 * 33, false},
                                           TSurplusCase{"PartialSlot", ".DAT", 37, false},
                                           TSurplusCase{"PartialSlotExclusive", ".DAT", 37, true},
                                           TSurplusCase{"IndexPages", ".IDX", 4096 + 100, false},
                                           TSurplusCase{"BlobBlocks", ".BLB", 3 * 512 + 10, false}),
                         [](const ::testing::TestParamInfo<TSurplusCase>& info) { return std::string(info.param.Name); });

}  // namespace
