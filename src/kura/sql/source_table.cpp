// A table named by a statement: where it lies (its name as written) and, while the
// query holds it, its directory and cursor.

#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/engine/column_reader.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/data_query.h"
#include "kura/sql/query_statement.h"
#include "kura/storage/table_files.h"

namespace kura {

// A close that fails cannot be reported from a destructor; the cursor's own destructor
// drops that error as well.
TSourceTable::~TSourceTable() { CloseSource(); }

void TSourceTable::SetSourceName(const std::string& name) {
  if (Cursor && Cursor->Active()) return;
  const std::string normalized = NormalizePath(TrimBlanks(name));
  TableName = TableBaseName(normalized, kDataFileExtension);
  if (InMemory) {
    Directory = "Memory";
  } else if (normalized.find('/') != std::string::npos) {
    std::string path = normalized.substr(0, normalized.rfind('/'));
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    Directory = path.empty() ? "/" : path;
  } else {
    Directory = Owner.Directory().Path();
  }
  if (!CorrelationNameGiven) CorrelationName = TableName;
}

void TSourceTable::SetCorrelationName(const std::string& name) {
  if (Cursor && Cursor->Active()) return;
  CorrelationName = name;
  CorrelationNameGiven = true;
}

void TSourceTable::OpenSource(bool requestLive) {
  if (Cursor && Cursor->Active()) return;
  CloseSource();
  TDataSession& session = Owner.Directory().Session();
  OpenedDirectory = InMemory ? session.OpenDirectory("Memory", "") : session.OpenDirectory("", Directory);
  auto undo = OnScopeFail([&] { CloseSource(); });
  Cursor = std::make_unique<TDataCursor>(*OpenedDirectory);
  Cursor->SetTableName(TableName);
  Cursor->SetReadOnly(!requestLive);
  Cursor->SetExclusive(false);
  Cursor->SetInMemory(InMemory || SameText(OpenedDirectory->DatabaseName(), "Memory"));
  Cursor->SetNaturalOrder(true);
  // The callback is only asked while the cursor opens.
  Cursor->SetPasswordCallback(Owner.Statement().PasswordCallback());
  Cursor->OpenCursor();
  RecordBuffer.assign(static_cast<size_t>(Cursor->RecordSize()), 0);
  Reader = std::make_unique<TColumnReader>(*Cursor);
}

void TSourceTable::CloseSource() {
  RecordBuffer.clear();
  Filters.clear();
  for (auto& link : JoinLinks) link->Filter = nullptr;
  Reader.reset();
  RangeIndexes.reset();
  RangeApplied = false;
  RangeText.clear();
  Cursor.reset();
  if (OpenedDirectory != nullptr) {
    TDataDirectory* directory = OpenedDirectory;
    OpenedDirectory = nullptr;
    directory->Session().CloseDirectory(directory);
  }
}

}  // namespace kura
