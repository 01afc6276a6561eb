// Fuzz target: arbitrary text is prepared as SQL. Whatever the text, preparing may only
// raise the engine's own errors; a crash, a hang, a sanitizer report or any other
// exception is a finding. Statements are parsed and prepared, never executed: preparing
// a SELECT opens its tables (two small ones exist: t and u) and resolves its columns.
//
// Input layout: the first byte chooses the statement's settings, the rest is the text.
//   bit 0     RequestLive
//   bit 1     a row limit (MaxRowCount 10) instead of none
//   bit 2     prepare the text a second time on the same statement, as a component does
//             when the text is changed, so that a new parse starts from what the last
//             one (complete or failed) left behind
//   bit 3     parse only (the grammar, whatever tables the text names)

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "kura/base/engine_error.h"
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
  }
  ~TFuzzDatabase() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  kura::TDataSession Session;
  kura::TDataDirectory* Directory = nullptr;

private:
  std::filesystem::path FPath;
};

TFuzzDatabase& Database() {
  static TFuzzDatabase database;
  return database;
}

void PrepareOnce(kura::TQueryStatement& statement, std::string_view text, bool parseOnly) {
  try {
    if (parseOnly) {
      statement.Parse(text);
    } else {
      statement.Prepare(text);
    }
  } catch (const kura::EKuraEngineError&) {
    // The expected outcome for a malformed text.
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
  PrepareOnce(statement, text, parseOnly);
  if ((mode & 0x04) != 0) PrepareOnce(statement, text, parseOnly);
  return 0;
}
