// Fuzz target: arbitrary text is prepared as SQL and, when asked, executed. Whatever the
// text, preparing and running may only raise the engine's own errors; a crash, a hang, a
// sanitizer report or any other exception is a finding. Preparing a SELECT opens its
// tables (two small ones exist, t and u, with a few rows, NULLs and duplicates among
// them) and resolves its columns; running it produces and reads its rows.
//
// Input layout: the first byte chooses the statement's settings, the rest is the text.
//   bit 0     RequestLive
//   bit 1     a row limit (MaxRowCount 10) instead of none
//   bit 2     prepare the text a second time on the same statement, as a component does
//             when the text is changed, so that a new parse starts from what the last
//             one (complete or failed) left behind
//   bit 3     parse only (the grammar, whatever tables the text names)
//   bit 4     execute what was prepared and read every row of its result (statements
//             that would change the tables are left unexecuted)

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/query_statement.h"

namespace {

// One directory for the whole run, with two tables made once; preparing only reads
// them. Canned results are made (and dropped again) in it as well.
class TFuzzDatabase {
public:
  TFuzzDatabase()
      : FPath(std::filesystem::temp_directory_path() / ("sql_parse_fuzz_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(FPath);
    Directory = Session.OpenDirectory("", FPath.string());
    Session.SetPrivateDir(FPath.string());
    kura::TQueryStatement create(*Directory);
    create.Prepare(
        "create table t (a integer, b char(10), c float, primary key (a)); "
        "create table u (a integer, d char(5), m memo); create index ud on u (d)");
    kura::TDataCursor* result = nullptr;
    create.Execute(result);
    // t: (a, b, c) with a unique; u: (a, d) with repeated a and d and NULLs.
    struct TRow {
      int32_t A;
      const char* Text;  // nullptr: NULL
      double C;
    };
    const TRow tRows[] = {{1, "one", 1.5}, {2, "two", -2}, {3, nullptr, 0}, {5, "five", 1e9}};
    const TRow uRows[] = {{1, "x", 0}, {2, "y", 0}, {2, "x", 0}, {7, nullptr, 0}, {0, "z", 0}};
    Append("t", tRows, true);
    Append("u", uRows, false);
  }
  ~TFuzzDatabase() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  kura::TDataSession Session;
  kura::TDataDirectory* Directory = nullptr;

private:
  template <size_t N, typename TRow>
  void Append(const char* table, const TRow (&rows)[N], bool withFloat) {
    kura::TDataCursor cursor(*Directory);
    cursor.SetTableName(table);
    cursor.OpenCursor();
    std::string record(static_cast<size_t>(cursor.RecordSize()), '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(record.data());
    for (const TRow& row : rows) {
      cursor.InitRecord(bytes);
      uint8_t value[16] = {};
      kura::WriteI32(value, row.A);
      cursor.SetField(1, bytes, value);
      if (row.Text != nullptr) {
        uint8_t text[16] = {};
        std::string_view(row.Text).copy(reinterpret_cast<char*>(text), sizeof text - 1);
        cursor.SetField(2, bytes, text);
      }
      if (withFloat) {
        kura::WriteF64(value, row.C);
        cursor.SetField(3, bytes, value);
      }
      cursor.AppendRecord(bytes, false);
    }
    cursor.CloseCursor();
  }

  std::filesystem::path FPath;
};

TFuzzDatabase& Database() {
  static TFuzzDatabase database;
  return database;
}

bool PrepareOnce(kura::TQueryStatement& statement, std::string_view text, bool parseOnly) {
  try {
    if (parseOnly) {
      statement.Parse(text);
    } else {
      statement.Prepare(text);
    }
    return true;
  } catch (const kura::EKuraEngineError&) {
    // The expected outcome for a malformed text.
    return false;
  }
}

// Runs a prepared text made only of SELECT statements and reads its rows. Anything that
// could change the two tables is left alone, so that every input sees the same data.
void ExecuteOnce(kura::TQueryStatement& statement, std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const char* word : {"insert", "update", "delete", "create", "drop", "alter", "into", "rename", "empty",
                           "transaction", "commit", "rollback", "import", "index"}) {
    if (lower.find(word) != std::string::npos) return;
  }
  try {
    kura::TDataCursor* result = nullptr;
    statement.Execute(result);
    if (result == nullptr) return;
    std::string record(static_cast<size_t>(result->RecordSize()), '\0');
    result->SetToBegin();
    while (result->GetNextRecord(reinterpret_cast<uint8_t*>(record.data())) == 0) {
    }
  } catch (const kura::EKuraEngineError&) {
    // A run may fail as its text says (a wrong value type, a missing table by now).
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  kura::TQueryStatement statement(*Database().Directory);
  statement.RequestLive = (mode & 0x01) != 0;
  statement.SetMaxRowCount((mode & 0x02) != 0 ? 10 : -1);
  const bool parseOnly = (mode & 0x08) != 0;
  bool prepared = PrepareOnce(statement, text, parseOnly);
  if ((mode & 0x04) != 0) prepared = PrepareOnce(statement, text, parseOnly);
  if (prepared && !parseOnly && (mode & 0x10) != 0) ExecuteOnce(statement, text);
  return 0;
}
