#pragma once

// One open database of a session: a folder of table files, or the in-memory database
// "Memory" (whose tables live in the in-memory file list). It keeps the registry of
// shared table objects, so that all cursors of the session on one table share one
// TDataTable, and it runs transactions over all registered tables.
//
// Table operations return 0 or a negated engine code (the calling cursor raises it
// with its own table name); failures of the files themselves raise EKuraEngineError.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kura/storage/field_definition.h"
#include "kura/storage/index_file.h"

namespace kura {

class TDataSession;
class TDataTable;

// What CreateTableFiles needs to make a table: its fields, indexes, language driver and
// header texts.
struct TTableDefinition {
  // The fields in their order; index field numbers count them from 1. For
  // RestructureTable a field's FieldNo names the field of the old table whose values it
  // takes over (0: a new field, filled with its default).
  std::vector<TFieldDefinition> Fields;
  // Absent: the table has no primary index (appends never reuse deleted slots).
  std::optional<TIndexDefinition> PrimaryIndex;
  std::vector<TIndexDefinition> SecondaryIndexes;
  uint16_t LocaleId = 0;  // 0: byte order
  uint16_t SortId = 0;
  std::string Description;
  bool Encrypted = false;
  std::string Password;  // stored only when Encrypted
  int32_t BlobBlockSize = 0;  // 0: 512
  uint16_t UserMajorVersion = 0;
  uint16_t UserMinorVersion = 0;
  // The unique id given out last; the first record gets this value + 1. -1 or above.
  int32_t LastAutoIncValue = 0;
  // The fields of the text index ("Sys Text"): string and memo fields, by number. Empty:
  // the table has no text index.
  std::vector<uint16_t> TextIndexFields;
  // How the text index splits words. A character set that is all zero bits stands for
  // the default set; parameters left entirely empty stand for the defaults as a whole.
  // Stop words are kept sorted, duplicates dropped.
  TTextIndexParameters TextIndexParams;
};

// The text-index parameters a table is created with: the defaults where `given` leaves
// them empty; the stop words sorted, without duplicates or empty words.
TTextIndexParameters EffectiveTextIndexParameters(const TTextIndexParameters& given);

class TDataDirectory {
public:
  // Made by TDataSession::OpenDirectory; `path` is already resolved.
  TDataDirectory(TDataSession& session, std::string databaseName, std::string path);
  // Rolls back an active transaction and destroys every remaining table (an exclusive
  // table still open writes its buffered changes as its last close would).
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  TDataSession& Session() const { return FSession; }
  const std::string& DatabaseName() const { return FDatabaseName; }
  // Directory path with a trailing "/", or empty (the in-memory database opened without
  // a directory).
  const std::string& Path() const { return FPath; }
  int RefCount() const { return FRefCount; }
  bool InTransaction() const { return FInTransaction; }
  const std::vector<std::unique_ptr<TDataTable>>& Tables() const { return FTables; }

  // The registered table of that name (trimmed, any letter case) and kind, or nullptr.
  TDataTable* FindTable(const std::string& tableName, bool inMemory) const;

  // Opens the shared table object for a cursor. Returns -KURA_OSEACCES when the table is
  // held and either side is exclusive (unless the cursor is a clone of an exclusive one);
  // otherwise 0 with `table` set and the table opened once more. A table opened while a
  // transaction runs joins it. Failures of the files raise (a new table object is then
  // destroyed).
  int OpenTable(const std::string& tableName, bool inMemory, bool exclusive, bool temporary, bool cloneOfExclusive,
                TDataTable*& table);
  // Closes the table once; when nothing holds it any more it is destroyed and
  // unregistered. -KURA_OSENOENT for a table that is not registered here.
  int CloseTable(TDataTable* table, bool discardTemporary);

  // Creates the data file, the index file (with the primary and secondary indexes, the
  // text index and its parameters) and, when the fields include BLOBs, the BLOB file; the
  // data header starts from the definition's LastAutoIncValue. -KURA_OSEACCES when the
  // table is held open here; definition and file errors raise, and then nothing of the
  // new table is left.
  int CreateTableFiles(const std::string& tableName, bool inMemory, const TTableDefinition& definition);
  // Renames each of the table's files that exists, each keeping its own extension. A
  // new name with a directory part is used as given, otherwise it is placed in Path.
  // -KURA_OSEACCES when the table is held open here. When a file cannot be renamed, those
  // already renamed get their old names back and the error is raised.
  int RenameTableFiles(const std::string& tableName, const std::string& newName, bool inMemory);
  // Deletes the data file, the index file and the BLOB file (those that exist);
  // -KURA_OSEACCES when the table is held open here. A registered table object is
  // destroyed.
  int DeleteTableFiles(const std::string& tableName, bool inMemory);
  // The table's data file exists (on disk, or in the in-memory file list).
  bool TableExists(const std::string& tableName, bool inMemory) const;
  // A table name not used in this directory: the first five digits of the current
  // thread's identifier, a counter from 0, and ".DAT".
  std::string GetTempTableName(bool inMemory) const;

  // The full file name of a table file: the name as given when it has a directory part,
  // otherwise Path + name; then ".DAT" replaced by (or `extension` appended).
  std::string TableFileName(const std::string& tableName, const char* extension) const;

  // Transactions over all registered tables; see the invariants in data_directory.cpp.
  // Tables opened while a transaction runs join it.
  // Nothing while a transaction runs. Every registered table joins (an exclusive one
  // writes its buffers first); when one fails (KURA_LOCKTIMEOUT) every table is rolled
  // back, the error is raised and no transaction runs.
  void StartTransaction();
  // Nothing without a transaction. Takes every table's write lock (KURA_LOCKTIMEOUT),
  // then writes every table's changes (an OS flush with forceFlush or ForceBufferFlush).
  // endTransaction false keeps the transaction running (the deferred record unlocks are
  // made); true ends it and releases its locks and the tables no cursor holds any more.
  // A failure ends the transaction in any case: changes not yet written are dropped,
  // every lock is released, and the first error is raised.
  void Commit(bool endTransaction, bool forceFlush);
  // Drops every table's changes, releases the transaction's locks and the tables no
  // cursor holds, and ends the transaction (also when nothing runs: each table's step
  // then does nothing). Every table is treated; the first error is raised afterwards.
  void Rollback();

private:
  friend class TDataSession;

  // The table is held: a cursor has it open or it takes part in a transaction.
  static bool Held(const TDataTable& table);
  // Destroys and unregisters the table when nothing holds it (its files closed first).
  void ReleaseIfUnheld(TDataTable* table);
  void RemoveTable(TDataTable* table);

  TDataSession& FSession;
  std::string FDatabaseName;
  std::string FPath;
  int FRefCount = 0;
  bool FInTransaction = false;
  std::vector<std::unique_ptr<TDataTable>> FTables;
};

}  // namespace kura
