#include "kura/engine/data_directory.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "kura/base/engine_error.h"
#include "kura/base/file_handler.h"
#include "kura/base/file_list.h"
#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/engine/data_session.h"
#include "kura/engine/data_table.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/data_file.h"
#include "kura/storage/table_files.h"
#include "kura/storage/table_journal.h"

// Transactions of a directory. Invariants:
//  1. The directory's InTransaction goes to true only in StartTransaction, after every
//     registered table has started its own transaction; if one fails, every table that
//     started is rolled back and the flag stays false, so no table is left in a
//     transaction the directory does not know about.
//  2. While InTransaction is set, every table that is opened joins the transaction, and
//     a table stays registered (files open, buffers kept) until the transaction ends,
//     even when no cursor holds it any more.
//  3. A table in a transaction holds its transaction lock (the data file's table byte)
//     from its start to the end; its changes stay in its buffers (every flush becomes a
//     MarkChanged) and its record unlocks are deferred to the end.
//  4. Commit takes the write locks of all tables (last registered first) before any table
//     writes, so other processes see either none or all of the changes; the transaction
//     lock is taken before the write lock and released after it.
//  5. Whatever fails in a commit, every table afterwards has released its write lock and
//     (when the commit ends the transaction) its transaction lock and deferred record
//     locks; a table whose changes were not written has them discarded, so they can
//     never reach the files later outside the transaction. The first error is raised
//     once all that is done.

namespace kura {

TDataDirectory::TDataDirectory(TDataSession& session, std::string databaseName, std::string path)
    : FSession(session), FDatabaseName(std::move(databaseName)), FPath(std::move(path)) {}

TDataDirectory::~TDataDirectory() {
  if (FInTransaction) {
    try {
      Rollback();
    } catch (const EKuraEngineError&) {
      // A destructor cannot report it; the tables are closed below either way.
    }
  }
  while (!FTables.empty()) {
    std::unique_ptr<TDataTable> last = std::move(FTables.back());
    FTables.pop_back();
    last.reset();
  }
}

bool TDataDirectory::Held(const TDataTable& table) { return table.OpenCount() > 0 || table.TakesPartInTransaction(); }

TDataTable* TDataDirectory::FindTable(const std::string& tableName, bool inMemory) const {
  for (const auto& table : FTables) {
    if (table->InMemory() == inMemory && SameName(table->Name(), tableName)) return table.get();
  }
  return nullptr;
}

void TDataDirectory::RemoveTable(TDataTable* table) {
  const auto it =
      std::find_if(FTables.begin(), FTables.end(), [table](const auto& entry) { return entry.get() == table; });
  if (it == FTables.end()) return;
  std::unique_ptr<TDataTable> removed = std::move(*it);
  FTables.erase(it);
  removed.reset();
}

void TDataDirectory::ReleaseIfUnheld(TDataTable* table) {
  if (Held(*table)) return;
  std::exception_ptr failure;
  Attempt(failure, [table] { table->CloseFiles(false); });
  RemoveTable(table);
  if (failure) std::rethrow_exception(failure);
}

std::string TDataDirectory::TableFileName(const std::string& tableName, const char* extension) const {
  return kura::TableFileName(FPath, tableName, extension);
}

// ---------------------------------------------------------------------------------------
// Tables

int TDataDirectory::OpenTable(const std::string& tableName, bool inMemory, bool exclusive, bool temporary,
                              bool cloneOfExclusive, TDataTable*& table) {
  table = nullptr;
  if (TDataTable* found = FindTable(tableName, inMemory)) {
    if (Held(*found)) {
      const bool exclusiveSide = found->Exclusive() || exclusive;
      const bool conflicting = found->OpenCount() > 0 || !found->TakesPartInTransaction();
      if (exclusiveSide && conflicting && !cloneOfExclusive) return -static_cast<int>(KURA_OSEACCES);
      found->Open();
      table = found;
      return 0;
    }
    found->SetOpenFlags(exclusive, inMemory, temporary);
    found->Open();
    if (FInTransaction) {
      auto close = OnScopeFail([found] { found->Close(false); });
      found->StartTransaction();
    }
    table = found;
    return 0;
  }

  auto created = std::make_unique<TDataTable>(*this, std::string(TrimBlanks(tableName)), inMemory);
  created->SetOpenFlags(exclusive, inMemory, temporary);
  created->Open();  // on failure the new object goes with `created`
  if (FInTransaction) {
    auto undo = OnScopeFail([&created] {
      created->Rollback();
      created->Close(false);
    });
    created->StartTransaction();
  }
  FTables.push_back(std::move(created));
  table = FTables.back().get();
  return 0;
}

int TDataDirectory::CloseTable(TDataTable* table, bool discardTemporary) {
  const auto it =
      std::find_if(FTables.begin(), FTables.end(), [table](const auto& entry) { return entry.get() == table; });
  if (table == nullptr || it == FTables.end()) return -static_cast<int>(KURA_OSENOENT);
  std::exception_ptr failure;
  Attempt(failure, [table, discardTemporary] { table->Close(discardTemporary); });
  if (!Held(*table)) RemoveTable(table);
  if (failure) std::rethrow_exception(failure);
  return 0;
}

TTextIndexParameters EffectiveTextIndexParameters(const TTextIndexParameters& given) {
  const TTextIndexParameters defaults = DefaultTextIndexParameters();
  const TCharSet none{};
  if (given.StopWords.empty() && given.SpaceChars == none && given.IncludeChars == none) return defaults;
  TTextIndexParameters result;
  for (const std::string& word : given.StopWords) {
    if (!word.empty()) result.StopWords.push_back(word);
  }
  std::sort(result.StopWords.begin(), result.StopWords.end());
  result.StopWords.erase(std::unique(result.StopWords.begin(), result.StopWords.end()), result.StopWords.end());
  result.SpaceChars = given.SpaceChars == none ? defaults.SpaceChars : given.SpaceChars;
  result.IncludeChars = given.IncludeChars == none ? defaults.IncludeChars : given.IncludeChars;
  return result;
}

int TDataDirectory::CreateTableFiles(const std::string& tableName, bool inMemory, const TTableDefinition& definition) {
  if (TDataTable* found = FindTable(tableName, inMemory)) {
    if (Held(*found)) return -static_cast<int>(KURA_OSEACCES);
    ReleaseIfUnheld(found);
  }
  const std::string dataName = TableFileName(tableName, kDataFileExtension);
  const std::string indexName = TableFileName(tableName, kIndexFileExtension);
  const std::string blobName = TableFileName(tableName, kBlobFileExtension);

  TDataFile data(dataName, inMemory);
  TIndexFile index(indexName, inMemory);
  TBlobFile blob(blobName, inMemory);
  std::vector<TFileHandler*> created;
  // A failure closes the files and deletes those created (a file that cannot go stays).
  auto undo = OnScopeFail([&] {
    blob.CloseBlobFile();
    index.CloseIndexFile();
    data.CloseDataFile();
    for (TFileHandler* file : created) AttemptQuietly([file] { file->Delete(); });
  });
  data.CreateDataFile(definition.LocaleId, definition.SortId, definition.Fields, definition.BlobBlockSize,
                      definition.Description, definition.Password, definition.Encrypted,
                      definition.UserMajorVersion, definition.UserMinorVersion);
  created.push_back(&data);
  index.SetTableInfo(data.FieldDefinitions(), definition.LocaleId, definition.SortId, definition.Encrypted);
  index.CreateIndexFile();
  created.push_back(&index);
  // A table without a primary index is marked as such, so that appends never reuse
  // deleted slots.
  index.DefinePrimaryIndex(definition.PrimaryIndex ? *definition.PrimaryIndex : TIndexDefinition{});
  for (const TIndexDefinition& secondary : definition.SecondaryIndexes) index.AddSecondaryIndex(secondary);
  if (!definition.TextIndexFields.empty()) {
    if (definition.TextIndexFields.size() > static_cast<size_t>(kMaxIndexFields)) {
      index.RaiseIndexError(KURA_INDEXLIMIT, kSysTextName);
    }
    TIndexDescriptor text = index.Descriptor(kSysTextIndex);
    text.IndexFieldCount = static_cast<uint8_t>(definition.TextIndexFields.size());
    text.IndexFields.fill(0);
    std::copy(definition.TextIndexFields.begin(), definition.TextIndexFields.end(), text.IndexFields.begin());
    index.UpdateDescriptor(kSysTextIndex, text);
    index.WriteTextParameters(kSysTextIndex, EffectiveTextIndexParameters(definition.TextIndexParams));
  }
  if (definition.LastAutoIncValue != 0) {
    data.SetLastAutoIncValue(definition.LastAutoIncValue);
    data.WriteHeader();
  }
  index.FlushPages();
  index.WriteHeader();
  if (data.BlobFieldCount() > 0) {
    blob.CreateBlobFile(data.BlobBlockSize(), definition.Encrypted);
    created.push_back(&blob);
  } else if (blob.FileExists()) {
    // A BLOB file left by an earlier table of that name would be renamed and deleted
    // with this one; it belongs to nothing now.
    blob.Delete();
  }
  blob.CloseBlobFile();
  index.CloseIndexFile();
  data.CloseDataFile();
  return 0;
}

int TDataDirectory::RenameTableFiles(const std::string& tableName, const std::string& newName, bool inMemory) {
  if (TDataTable* found = FindTable(tableName, inMemory)) {
    if (Held(*found)) return -static_cast<int>(KURA_OSEACCES);
    ReleaseIfUnheld(found);
  }
  // (old name, new name) of the files already renamed, to undo on failure.
  std::vector<std::pair<std::string, std::string>> renamed;
  // A failure gives the files already renamed their old names back (each one it can).
  auto renameBack = OnScopeFail([&] {
    for (auto it = renamed.rbegin(); it != renamed.rend(); ++it) {
      AttemptQuietly([&] {
        TFileHandler back(it->second, inMemory);
        back.Rename(it->first);
      });
    }
  });
  // A journal left by a commit that did not finish belongs to the files: it moves with
  // them, so that their next opener still rolls it back.
  std::vector<const char*> extensions(kTableFileExtensions.begin(), kTableFileExtensions.end());
  if (!inMemory) extensions.push_back(kJournalExtension);
  for (const char* extension : extensions) {
    TFileHandler file(TableFileName(tableName, extension), inMemory);
    if (!file.FileExists()) continue;
    const std::string oldName = file.FileName;
    const std::string target = TableFileName(newName, extension);
    file.Rename(target);
    renamed.emplace_back(oldName, target);
  }
  return 0;
}

int TDataDirectory::DeleteTableFiles(const std::string& tableName, bool inMemory) {
  if (TDataTable* found = FindTable(tableName, inMemory)) {
    if (Held(*found)) return -static_cast<int>(KURA_OSEACCES);
    ReleaseIfUnheld(found);
  }
  TFileHandler data(TableFileName(tableName, kDataFileExtension), inMemory);
  data.Delete();  // 11010 when the table does not exist
  for (const char* extension : {kIndexFileExtension, kBlobFileExtension, kJournalExtension}) {
    if (inMemory && extension == kJournalExtension) continue;  // tables in memory keep none
    TFileHandler file(TableFileName(tableName, extension), inMemory);
    if (file.FileExists()) file.Delete();
  }
  return 0;
}

bool TDataDirectory::TableExists(const std::string& tableName, bool inMemory) const {
  return TFileList::Instance().FileExists(TableFileName(tableName, kDataFileExtension), inMemory);
}

std::string TDataDirectory::GetTempTableName(bool inMemory) const {
  int64_t id = FSession.CurrentThreadId();
  // The absolute value; the most negative id has none in 64 bits, its digits are the
  // same as those of its successor's but for the last, which is cut off anyway.
  if (id < 0) id = id == INT64_MIN ? INT64_MAX : -id;
  const std::string stem = std::to_string(id).substr(0, 5);
  for (uint64_t n = 0;; ++n) {
    std::string name = stem + std::to_string(n) + kDataFileExtension;
    if (!TableExists(name, inMemory)) return name;
  }
}

// ---------------------------------------------------------------------------------------
// Transactions

void TDataDirectory::StartTransaction() {
  if (FInTransaction) return;
  // A failure rolls back every table (each one, whatever the others raise).
  auto rollBack = OnScopeFail([this] {
    for (auto it = FTables.rbegin(); it != FTables.rend(); ++it) AttemptQuietly([&it] { (*it)->Rollback(); });
  });
  for (const auto& table : FTables) table->StartTransaction();
  FInTransaction = true;
}

void TDataDirectory::Commit(bool endTransaction, bool forceFlush) {
  if (!FInTransaction) return;
  // A snapshot: tables are unregistered below while the list is walked.
  std::vector<TDataTable*> tables;
  for (const auto& table : FTables) tables.push_back(table.get());
  std::vector<bool> written(tables.size(), false);

  std::exception_ptr failure;
  try {
    for (size_t i = tables.size(); i-- > 0;) tables[i]->CommitPrepare();
    for (size_t i = tables.size(); i-- > 0;) {
      tables[i]->CommitWrite(forceFlush);
      written[i] = true;
    }
  } catch (...) {
    failure = std::current_exception();
  }

  // A failed commit ends the transaction whatever was asked: its changes are partly
  // written and cannot be committed or rolled back as a whole any more.
  const bool end = endTransaction || failure != nullptr;
  for (size_t i = tables.size(); i-- > 0;) {
    TDataTable* table = tables[i];
    // Changes a failed commit did not write must not reach the files later.
    if (!written[i] && table->TakesPartInTransaction()) Attempt(failure, [table] { table->DiscardBuffers(true); });
    Attempt(failure, [table, end] { table->CommitEnd(end); });
    if (end) Attempt(failure, [this, table] { ReleaseIfUnheld(table); });
  }
  if (end) FInTransaction = false;
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::Rollback() {
  std::vector<TDataTable*> tables;
  for (const auto& table : FTables) tables.push_back(table.get());
  std::exception_ptr failure;
  for (size_t i = tables.size(); i-- > 0;) {
    TDataTable* table = tables[i];
    Attempt(failure, [table] { table->Rollback(); });
    Attempt(failure, [this, table] { ReleaseIfUnheld(table); });
  }
  FInTransaction = false;
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kura
