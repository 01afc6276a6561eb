// Table maintenance on a cursor: creating, deleting, renaming and emptying tables,
// adding and deleting indexes, restructuring and repairing.
//
// Invariants:
//  1. Every definition fault is raised before any file is touched.
//  2. An operation that rebuilds an index from the records either completes it or
//     leaves the table as it was: a unique index that meets a key twice is taken out
//     again (its pages recycled) before 9729 is raised.
//  3. RestructureTable keeps the old table's files untouched until the new table is
//     complete; the swap moves the old files aside first and puts them back when the
//     new ones cannot take their place.
//  4. RepairTable never destroys the only readable copy of the index definitions: the
//     backup ".IBK" is replaced only by an index file whose definitions could be read
//     (not one made anew when it was missing), or when there was no backup.
//  5. RepairTable changes the data file only where it cannot be read as it is, and only
//     once its definitions pass the header check: bytes beyond the last whole slot, a
//     slot count beyond the file, the links of deleted slots. Active records stay as
//     they are.

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kura/base/names_paths.h"
#include "kura/base/scope_guard.h"
#include "kura/base/value_conversion.h"
#include "kura/engine/cursor_blobs.h"
#include "kura/engine/cursor_internals.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/progress_reporter.h"
#include "kura/engine/table_read_lock.h"
#include "kura/engine/table_definition_check.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/blob_reference.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/table_files.h"
#include "kura/storage/table_journal.h"

namespace kura {

namespace {

std::string DisplayName(int index, const std::string& name) { return index == kPrimaryIndex ? "Primary" : name; }

// The index definitions of an index file (or of a table definition), enough to make
// the index file anew.
struct TIndexLayout {
  std::optional<TIndexDefinition> Primary;
  std::vector<TIndexDefinition> Secondaries;
  std::vector<uint16_t> TextFields;
  std::optional<TTextIndexParameters> TextParameters;
};

TIndexDefinition DefinitionOf(const TIndexDescriptor& d) {
  TIndexDefinition def;
  def.Name = d.Name;
  const int count = std::min<int>(d.IndexFieldCount, kMaxIndexFields);
  for (int i = 0; i < count; ++i) {
    def.Fields.push_back(d.IndexFields[static_cast<size_t>(i)]);
    def.FieldDescending.push_back(d.FieldDescending[static_cast<size_t>(i)] != 0);
  }
  def.Descending = d.Descending;
  def.CaseInsensitive = d.CaseInsensitive;
  def.Unique = d.Unique;
  def.Compression = d.Compression;
  def.NoCounts = d.NoCounts;
  return def;
}

// The definitions in an index file's header (temporary indexes are not part of it).
// Text parameters whose pages cannot be read give way to the defaults.
TIndexLayout LayoutOfFile(TIndexFile& file) {
  TIndexLayout layout;
  if (file.IndexInUse(kPrimaryIndex) && file.Descriptor(kPrimaryIndex).IndexFieldCount > 0) {
    layout.Primary = DefinitionOf(file.Descriptor(kPrimaryIndex));
  }
  for (int i = 1; i <= file.SecondaryCount() && i <= kMaxSecondaryIndexes; ++i) {
    if (!file.Descriptor(i).TemporaryIndex) layout.Secondaries.push_back(DefinitionOf(file.Descriptor(i)));
  }
  const TIndexDescriptor& text = file.Descriptor(kSysTextIndex);
  for (int i = 0; i < std::min<int>(text.IndexFieldCount, kMaxIndexFields); ++i) {
    layout.TextFields.push_back(text.IndexFields[static_cast<size_t>(i)]);
  }
  if (!layout.TextFields.empty() && text.ParameterPage != 0) {
    try {
      layout.TextParameters = file.ReadTextParameters(kSysTextIndex);
    } catch (const EKuraEngineError&) {
      layout.TextParameters.reset();
    }
  }
  return layout;
}

TIndexLayout LayoutOfDefinition(const TTableDefinition& definition) {
  TIndexLayout layout;
  if (definition.PrimaryIndex && !definition.PrimaryIndex->Fields.empty()) layout.Primary = definition.PrimaryIndex;
  layout.Secondaries = definition.SecondaryIndexes;
  layout.TextFields = definition.TextIndexFields;
  if (!layout.TextFields.empty()) layout.TextParameters = EffectiveTextIndexParameters(definition.TextIndexParams);
  return layout;
}

enum class TDuplicates { Raise, Skip };

// Inserts the keys of every active record into the indexes `indexes` (regular indexes
// 0-30), in record-number order; with `systemIndexes` also every slot's key into the
// internal record index and the words of every active record into the text index, and
// the active count into the header. A unique index meeting a key twice raises 9729 with
// its name, or with TDuplicates::Skip leaves the record out of that index. Reports
// progress per record and 100 at the end.
void FillIndexes(TIndexFile& file, TDataFile& data, TBlobFile* blob, const std::vector<int>& indexes,
                 bool systemIndexes, TProgressReporter& progress, TDuplicates duplicates, const TErrorNames& names) {
  const std::vector<TFieldDefinition>& fields = data.FieldDefinitions();
  TLanguageKeyTextMapper mapper(data.LocaleId(), data.SortId());
  struct TTarget {
    int Index;
    TIndexKeyBuilder Builder;
    TIndexTree Tree;
  };
  std::vector<TTarget> targets;
  targets.reserve(indexes.size());
  for (const int index : indexes) {
    targets.push_back({index, TIndexKeyBuilder(file.Descriptor(index), fields, data.LocaleId(), &mapper),
                       TIndexTree(file, index)});
  }
  std::optional<TIndexTree> records;
  std::optional<TIndexTree> words;
  std::vector<const TFieldDefinition*> textFields;
  TTextIndexParameters parameters;
  TWordRules rules;
  if (systemIndexes) {
    records.emplace(file, kSysDeletedIndex);
    const TIndexDescriptor& text = file.Descriptor(kSysTextIndex);
    for (int i = 0; i < std::min<int>(text.IndexFieldCount, kMaxIndexFields); ++i) {
      if (const TFieldDefinition* f = FindFieldByNumber(fields, text.IndexFields[static_cast<size_t>(i)])) {
        textFields.push_back(f);
      }
    }
    if (!textFields.empty()) {
      words.emplace(file, kSysTextIndex);
      parameters = file.ReadTextParameters(kSysTextIndex);
      rules = WordRulesFor(data.LocaleId(), data.SortId());
    }
  }

  std::vector<uint8_t> key(kMaxKeySize);
  std::string text;
  int32_t active = 0;
  const int32_t count = data.RecordCount();
  for (int32_t recNo = 1; recNo <= count; ++recNo) {
    TRecordPin record(data, data.GetRecord(recNo, TReadAhead{true, false, count - recNo + 1}));
    const bool deleted = record->IsDeleted();
    if (records) {
      BuildSysDeletedKey(record->State(), record->UniqueId(), key.data());
      // A unique id met twice (a damaged file) cannot be listed twice; the slot is
      // still counted and reachable through the other indexes.
      records->Insert(key.data(), recNo);
    }
    if (!deleted) {
      ++active;
      for (TTarget& target : targets) {
        target.Builder.BuildKey(record->Bytes(), key.data());
        if (target.Tree.Insert(key.data(), recNo) || duplicates == TDuplicates::Skip) continue;
        TErrorNames withIndex = names;
        withIndex.IndexName = DisplayName(target.Index, file.Descriptor(target.Index).Name);
        RaiseEngineError(KURA_KEYVIOL, withIndex);
      }
      if (words) {
        for (const TFieldDefinition* field : textFields) {
          if (!StoredFieldText(*field, record->Bytes(), blob, text)) continue;
          for (const std::vector<uint8_t>& word :
               BuildTextIndexKeys(field->FieldNo, text, record->UniqueId(), parameters, rules)) {
            words->Insert(word.data(), recNo);
          }
        }
      }
    }
    progress.Step(recNo, count);
  }
  if (systemIndexes) file.SetActiveRecordCount(active);
  progress.Finish();
}

// The regular indexes (0 primary, 1-30 secondary) that have a definition.
std::vector<int> RegularIndexesInUse(TIndexFile& file) {
  std::vector<int> indexes;
  for (int i = 0; i <= kMaxSecondaryIndexes; ++i) {
    if (file.IndexInUse(i) && file.Descriptor(i).IndexFieldCount > 0) indexes.push_back(i);
  }
  return indexes;
}

// Every page of an index: its tree, its free chain and its parameter chain. False when
// a link leads somewhere it cannot (a damaged index): the list is then not to be used.
bool CollectIndexPages(TIndexFile& file, int index, std::vector<int32_t>& pages) {
  std::set<int32_t> seen;
  const TIndexDescriptor& d = file.Descriptor(index);
  const int32_t limit = file.Header().NextPageNo;
  auto add = [&](int32_t pageNo) {
    if (pageNo <= 0 || pageNo >= limit || !seen.insert(pageNo).second) return false;
    pages.push_back(pageNo);
    return true;
  };
  try {
    std::vector<int32_t> pending;
    if (d.RootPage != 0) {
      if (!add(d.RootPage)) return false;
      pending.push_back(d.RootPage);
    }
    while (!pending.empty()) {
      const int32_t pageNo = pending.back();
      pending.pop_back();
      TPage* page = file.GetPage(index, pageNo);
      std::vector<int32_t> children;
      if (!page->IsLeaf()) {
        for (int i = 0; i < page->Count(); ++i) children.push_back(page->Value(i));
      }
      file.ReleasePage(page);
      for (const int32_t child : children) {
        if (!add(child)) return false;
        pending.push_back(child);
      }
    }
    for (int32_t first : {d.FirstFreePage, d.ParameterPage}) {
      for (int32_t pageNo = first; pageNo != 0;) {
        if (!add(pageNo)) return false;
        TPage* page = file.GetPage(index, pageNo);
        const int32_t next = page->NextPage;
        file.ReleasePage(page);
        pageNo = next;
      }
    }
  } catch (const EKuraEngineError&) {
    return false;
  }
  return true;
}

// Removes an index and gives its pages to the internal record index's free chain, so
// that the file does not keep pages nobody can reach. The pages of a damaged index
// cannot be told apart from other indexes' pages and are left where they are.
void ReleaseIndex(TIndexFile& file, int index) {
  std::vector<int32_t> pages;
  const bool recycle = !file.Descriptor(index).TemporaryIndex && CollectIndexPages(file, index, pages);
  file.DeleteIndex(index);
  if (index == kPrimaryIndex) file.UpdateDescriptor(kPrimaryIndex, TIndexDescriptor{});
  if (!recycle) return;
  for (const int32_t pageNo : pages) {
    TPage* page = file.GetPage(kSysDeletedIndex, pageNo, true);
    auto unpin = OnScopeExit([&] { file.ReleasePage(page); });
    file.FreePage(page);
  }
}

// Creates the index file `fileName` with the layout's indexes and fills them from the
// data file. Definitions that the file refuses are raised, or with `tolerant` (repair)
// left out. The file is closed again, also on failure.
void WriteIndexFile(TDataFile& data, TBlobFile* blob, const std::string& fileName, bool inMemory,
                    const TIndexLayout& layout, TProgressReporter& progress, bool tolerant, const TErrorNames& names) {
  TIndexFile file(fileName, inMemory);
  file.SetTableInfo(data.FieldDefinitions(), data.LocaleId(), data.SortId(), data.Encrypted());
  file.CreateIndexFile();
  auto close = OnScopeExit([&] { file.CloseIndexFile(); });
  auto define = [tolerant](auto&& step) {
    try {
      step();
    } catch (const EKuraEngineError&) {
      if (!tolerant) throw;
    }
  };
  file.DefinePrimaryIndex(TIndexDefinition{});
  if (layout.Primary) {
    define([&] {
      file.DeleteIndex(kPrimaryIndex);
      file.UpdateDescriptor(kPrimaryIndex, TIndexDescriptor{});
      file.DefinePrimaryIndex(*layout.Primary);
    });
  }
  for (const TIndexDefinition& secondary : layout.Secondaries) define([&] { file.AddSecondaryIndex(secondary); });
  std::vector<uint16_t> textFields;
  for (const uint16_t fieldNo : layout.TextFields) {
    if (FindFieldByNumber(data.FieldDefinitions(), fieldNo)) textFields.push_back(fieldNo);
  }
  if (!textFields.empty()) {
    TIndexDescriptor text = file.Descriptor(kSysTextIndex);
    text.IndexFieldCount = static_cast<uint8_t>(std::min<size_t>(textFields.size(), kMaxIndexFields));
    text.IndexFields.fill(0);
    std::copy_n(textFields.begin(), text.IndexFieldCount, text.IndexFields.begin());
    file.UpdateDescriptor(kSysTextIndex, text);
    if (layout.TextParameters) file.WriteTextParameters(kSysTextIndex, *layout.TextParameters);
  }
  FillIndexes(file, data, blob, RegularIndexesInUse(file), true, progress,
              tolerant ? TDuplicates::Skip : TDuplicates::Raise, names);
  file.FlushPages();
  file.WriteHeader();
}

// Closes a table's files opened for maintenance (the BLOB file first, when there is one).
void CloseTableFiles(TDataFile& data, TBlobFile* blob) {
  if (blob) blob->CloseBlobFile();
  data.CloseDataFile();
}

bool FileExists(const std::string& name, bool inMemory) {
  TFileHandler file(name, inMemory);
  return file.FileExists();
}

void DeleteIfExists(const std::string& name, bool inMemory) {
  TFileHandler file(name, inMemory);
  if (file.FileExists()) file.Delete();
}

// Copies a closed file to `target` (created or emptied).
void CopyFile(const std::string& source, const std::string& target, bool inMemory) {
  TFileHandler file(source, inMemory);
  file.Open();
  auto close = OnScopeExit([&] { file.Close(); });
  file.CopyTo(target, inMemory);
}

// Moves a closed file: renamed where the system can, otherwise (another file system)
// copied and the source deleted.
void MoveFile(const std::string& source, const std::string& target, bool inMemory) {
  TFileHandler file(source, inMemory);
  try {
    file.Rename(target);
    return;
  } catch (const EKuraEngineError&) {
    if (FileExists(target, inMemory)) throw;
  }
  CopyFile(source, target, inMemory);
  file.Delete();
}

// The directory of the session's private dir for the duration of a restructure (the
// directory of the table itself for in-memory tables).
class TWorkDirectory {
public:
  TWorkDirectory(TDataDirectory& tableDirectory, bool inMemory) : FSession(tableDirectory.Session()) {
    if (inMemory) {
      FDirectory = &tableDirectory;
    } else {
      FDirectory = FSession.OpenDirectory(tableDirectory.DatabaseName(), FSession.GetPrivateDir());
      FOpened = true;
    }
  }
  ~TWorkDirectory() {
    if (FOpened) FSession.CloseDirectory(FDirectory);
  }
  TWorkDirectory(const TWorkDirectory&) = delete;
  TWorkDirectory& operator=(const TWorkDirectory&) = delete;
  TDataDirectory& operator*() const { return *FDirectory; }
  TDataDirectory* operator->() const { return FDirectory; }

private:
  TDataSession& FSession;
  TDataDirectory* FDirectory = nullptr;
  bool FOpened = false;
};

// Whether a new definition keeps the record layout of the table: the same fields with
// the same types, sizes, scales, cases and places, each taking over its own old field,
// and the same language driver, encryption and BLOB block size. Then the records can
// stay where they are and only the definitions and indexes change.
bool SameLayout(const TDataFile& data, const TTableDefinition& d) {
  const TDataFileHeader& h = data.Header();
  if (d.LocaleId != h.LocaleId || d.SortId != h.SortId || d.Encrypted != h.Encrypted) return false;
  if (d.Encrypted && d.Password != h.Password) return false;
  const int32_t blockSize = d.BlobBlockSize == 0 ? 512 : d.BlobBlockSize;
  if (data.BlobFieldCount() > 0 && blockSize != data.BlobBlockSize()) return false;
  const std::vector<TFieldDefinition>& old = data.FieldDefinitions();
  if (old.size() != d.Fields.size()) return false;
  for (size_t i = 0; i < old.size(); ++i) {
    const TFieldDefinition& a = old[i];
    const TFieldDefinition& b = d.Fields[i];
    if (b.FieldNo != a.FieldNo || b.FieldType != a.FieldType || b.SubType != a.SubType || b.Size != a.Size ||
        b.Scale != a.Scale || b.CharCase != a.CharCase || b.Computed != a.Computed || b.Offset != a.Offset) {
      return false;
    }
  }
  return true;
}

TErrorNames NamesOf(const TDataCursor& cursor) {
  TErrorNames names;
  names.DatabaseName = cursor.Directory().Path();
  names.TableName = cursor.TableName();
  return names;
}

// Carries one field value of an old record into the new record image: converted to the
// new type, BLOB contents copied. Raises what keeps the value out (9985 for a value the
// new type cannot hold).
void CarryField(TDataCursor& source, const TFieldDefinition& from, std::vector<uint8_t>& oldImage,
                TDataCursor& target, const TFieldDefinition& to, uint8_t* image, std::vector<uint8_t>& blobBytes,
                uint8_t* value) {
  const auto fail = [&] {
    TErrorNames names = NamesOf(target);
    names.FieldName = to.Name;
    RaiseEngineError(KURA_OUTOFRANGE, names);
  };
  const bool fromBlob = from.FieldType == TFieldType::Blob;
  const bool toBlob = to.FieldType == TFieldType::Blob;
  if (fromBlob || toBlob) {
    if (!(fromBlob && toBlob)) fail();
    int32_t size = 0;
    if (FieldIsNull(oldImage.data(), from) || !BlobReferenceOf(oldImage.data(), from).IsStored()) return;
    if (source.OpenBlob(from.FieldNo, oldImage.data(), TBlobOpenMode::Read, size) != 0) fail();
    blobBytes.resize(static_cast<size_t>(size));
    int32_t got = 0;
    const int readCode = source.GetBlob(from.FieldNo, oldImage.data(), 0, size, blobBytes.data(), got);
    source.FreeBlob(from.FieldNo, oldImage.data());
    if (readCode != 0 || got != size) fail();
    int32_t opened = 0;
    if (target.OpenBlob(to.FieldNo, image, TBlobOpenMode::ReadWrite, opened) != 0 ||
        target.PutBlob(to.FieldNo, image, 0, size, blobBytes.data()) != 0) {
      fail();
    }
    return;
  }
  std::memset(value, 0, kValueBufferSize);
  if (from.IsAutoInc()) {
    std::memcpy(value, FieldValue(oldImage.data(), from), 4);
  } else if (FieldIsNull(oldImage.data(), from)) {
    target.SetField(to.FieldNo, image, nullptr);
    return;
  } else {
    std::memcpy(value, FieldValue(oldImage.data(), from), from.DataSize);
  }
  if (!ConvertValue(from.FieldType, from.DataSize, from.Scale, value, to.Scale, to.DataSize, to.FieldType)) fail();
  target.SetField(to.FieldNo, image, value);
}

// Restructure by copying the records into a new table made in the session's private
// directory, then putting its files in the old table's place. The cursor is open
// (exclusively) on the old table and is closed when this returns.
void RestructureByCopy(TDataCursor& cursor, const TTableDefinition& definition, const TDataLostCallback& dataLost) {
  TDataDirectory& directory = cursor.Directory();
  const bool inMemory = cursor.InMemory();
  TDataFile& oldData = TCursorInternals::Table(cursor).DataFile();
  TWorkDirectory work(directory, inMemory);
  const std::string tempName = work->GetTempTableName(inMemory);
  TTableDefinition target = definition;
  target.LastAutoIncValue = std::max(oldData.LastAutoIncValue(), definition.LastAutoIncValue);
  // A failure closes the cursor, and then deletes the new table once it was made.
  bool created = false;
  auto undo = OnScopeFail([&] {
    cursor.CloseCursor(false);
    if (created) work->DeleteTableFiles(tempName, inMemory);
  });
  if (const int rc = work->CreateTableFiles(tempName, inMemory, target); rc < 0) {
    RaiseEngineError(static_cast<TErrorCode>(-rc), NamesOf(cursor));
  }
  created = true;

  {
    TDataCursor copy(*work);
    copy.SetTableName(tempName);
    copy.SetExclusive(true);
    copy.SetInMemory(inMemory);
    copy.OpenCursor();
    copy.SetSuppressAutoInc(true);
    const TDataFile& newData = TCursorInternals::Table(copy).DataFile();
    // Pairs of (old field, new field) that carry values, by the new field's FieldNo.
    std::vector<std::pair<const TFieldDefinition*, const TFieldDefinition*>> carried;
    for (size_t i = 0; i < definition.Fields.size(); ++i) {
      const uint16_t sourceNo = definition.Fields[i].FieldNo;
      const TFieldDefinition* from = sourceNo != 0 ? oldData.FieldByNumber(sourceNo) : nullptr;
      const TFieldDefinition* to = newData.FieldByPosition(static_cast<int>(i + 1));
      if (!from || !to || from->Computed || to->Computed || to->IsAutoInc()) continue;
      carried.emplace_back(from, to);
    }
    std::vector<uint8_t> oldImage(static_cast<size_t>(oldData.RecordSize()));
    std::vector<uint8_t> image(static_cast<size_t>(copy.RecordSize()));
    std::vector<uint8_t> blobBytes;
    uint8_t value[kValueBufferSize];
    TProgressReporter progress(directory.Session());
    const int32_t count = oldData.RecordCount();
    for (int32_t recNo = 1; recNo <= count; ++recNo) {
      {
        TRecordPin record(oldData, oldData.GetRecord(recNo, TReadAhead{true, false, count - recNo + 1}));
        if (record->IsDeleted()) {
          progress.Step(recNo, count);
          continue;
        }
        std::memcpy(oldImage.data(), record->Bytes(), oldImage.size());
      }
      try {
        copy.InitRecord(image.data());
        std::memcpy(image.data() + kRecordIdOffset, oldImage.data() + kRecordIdOffset, 4);
        for (const auto& [from, to] : carried) CarryField(cursor, *from, oldImage, copy, *to, image.data(), blobBytes, value);
        copy.AppendRecord(image.data(), false);
      } catch (const EKuraEngineError& error) {
        copy.FreeAllBlobs();
        cursor.FreeAllBlobs();
        // Without someone to tell, no record is dropped: the restructure fails instead.
        if (!dataLost || !dataLost(recNo, error)) throw;
      }
      progress.Step(recNo, count);
    }
    progress.Finish();
    copy.CloseCursor(false);
  }
  undo.Dismiss();
  cursor.CloseCursor(false);

  // The swap: the old files step aside, the new ones take their names, the old ones go.
  const std::string& tableName = cursor.TableName();
  const std::string backup = directory.GetTempTableName(inMemory);
  int rc = directory.RenameTableFiles(tableName, backup, inMemory);
  if (rc < 0) RaiseEngineError(static_cast<TErrorCode>(-rc), NamesOf(cursor));
  auto putBack = OnScopeFail([&] {
    for (const char* extension : kTableFileExtensions) {
      DeleteIfExists(directory.TableFileName(tableName, extension), inMemory);
    }
    directory.RenameTableFiles(backup, tableName, inMemory);
    work->DeleteTableFiles(tempName, inMemory);
  });
  for (const char* extension : kTableFileExtensions) {
    const std::string source = work->TableFileName(tempName, extension);
    if (FileExists(source, inMemory)) MoveFile(source, directory.TableFileName(tableName, extension), inMemory);
  }
  putBack.Dismiss();
  rc = directory.DeleteTableFiles(backup, inMemory);
  if (rc < 0) RaiseEngineError(static_cast<TErrorCode>(-rc), NamesOf(cursor));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Tables

void TDataCursor::CreateTable(const TTableDefinition& definition, bool overwrite) {
  if (!FExclusive) RaiseEngineError(KURA_NEEDEXCLACCESS, Names());
  if (FReadOnly) RaiseEngineError(KURA_OSEACCES, Names());
  const TTableDefinition checked = CheckTableDefinition(definition, Names());
  if (!overwrite && FDirectory.TableExists(FTableName, FInMemory)) RaiseEngineError(KURA_TABLEEXISTS, Names());
  if (FTable) CloseCursor(false);
  const int rc = FDirectory.CreateTableFiles(FTableName, FInMemory, checked);
  if (rc < 0) RaiseEngineError(static_cast<TErrorCode>(-rc), Names());
}

void TDataCursor::DeleteTable() {
  CheckClosed();
  const int rc = FDirectory.DeleteTableFiles(FTableName, FInMemory);
  if (rc < 0) RaiseEngineError(static_cast<TErrorCode>(-rc), Names());
}

void TDataCursor::RenameTable(const std::string& newName) {
  CheckClosed();
  if (const TDataTable* table = FDirectory.FindTable(FTableName, FInMemory)) {
    if (table->OpenCount() > 0 || table->TakesPartInTransaction()) RaiseEngineError(KURA_OSEACCES, Names());
  }
  // A rename never replaces another table's files.
  if (FDirectory.TableExists(newName, FInMemory)) {
    TErrorNames names = Names();
    names.TableName = std::string(TrimBlanks(newName));
    RaiseEngineError(KURA_TABLEEXISTS, names);
  }
  const int rc = FDirectory.RenameTableFiles(FTableName, newName, FInMemory);
  if (rc < 0) RaiseEngineError(static_cast<TErrorCode>(-rc), Names());
}

namespace {

// The text-index parameters live in index pages; they survive the emptying.
void EmptyIndexesKeepingTextParameters(TIndexFile& index) {
  std::optional<TTextIndexParameters> parameters;
  if (index.ParameterPage(kSysTextIndex) != 0) parameters = index.ReadTextParameters(kSysTextIndex);
  index.EmptyIndexFile();
  if (parameters) index.WriteTextParameters(kSysTextIndex, *parameters);
}

// After a table's files were rewritten as a whole: outside a transaction the buffers
// go to the files and are read afresh; inside one the change waits for the commit.
void SettleRewrittenTable(TDataTable& table, bool forceFlush) {
  if (table.InTransaction()) {
    table.MarkChanged();
    return;
  }
  table.FlushTable(forceFlush);
  table.DiscardBuffers(false);
  table.MarkChanged();
}

// The BLOB chains (first block, BLOB id) that the active records of a data file reference.
std::set<std::pair<int32_t, int32_t>> StoredBlobChains(TDataFile& data) {
  std::set<std::pair<int32_t, int32_t>> chains;
  const int32_t count = data.RecordCount();
  for (int32_t recNo = 1; recNo <= count; ++recNo) {
    TRecordPin record(data, data.GetRecord(recNo, TReadAhead{true, false, count - recNo + 1}));
    if (record->IsDeleted()) continue;
    for (const TFieldDefinition& field : data.FieldDefinitions()) {
      if (field.FieldType != TFieldType::Blob || !field.IsStored() || FieldIsNull(record->Bytes(), field)) continue;
      const TBlobReference reference = BlobReferenceOf(record->Bytes(), field);
      if (reference.IsStored()) chains.emplace(reference.FirstBlock, reference.BlobId);
    }
  }
  return chains;
}

}  // namespace

void TDataCursor::EmptyTable() {
  if (!FTable || !FTable->Exclusive()) RaiseEngineError(KURA_NEEDEXCLACCESS, Names());
  if (FCursorReadOnly) RaiseEngineError(KURA_OSEACCES, Names());
  TDataTable& table = *FTable;
  TIndexFile& index = table.IndexFile();
  FreeAllBlobs();
  table.DataFile().EmptyDataFile();
  EmptyIndexesKeepingTextParameters(index);
  if (TBlobFile* blob = table.BlobFile()) blob->EmptyBlobFile();
  SettleRewrittenTable(table, FDirectory.Session().ForceBufferFlush());
  SyncCounters();
  FTextParameters.reset();
  SelectIndex(FIndexNo, false);
  SetToBegin();
}

void TDataCursor::SortRecords(const TSortRequest& request) {
  if (!FTable || !FTable->Exclusive()) RaiseEngineError(KURA_NEEDEXCLACCESS, Names());
  if (FCursorReadOnly) RaiseEngineError(KURA_OSEACCES, Names());
  TDataTable& table = *FTable;
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  TBlobFile* blob = table.BlobFile();
  BeginWrite();
  auto endWrite = OnScopeExit([this] { EndWrite(); });

  TSortRequest sort = request;
  if (sort.Mapper == nullptr) sort.Mapper = FMapper.get();
  // Records left out (duplicates, group members, filtered, beyond the limit) must not
  // keep their BLOB chains: whatever no record references afterwards is freed.
  const bool mayDrop = sort.Distinct || sort.Aggregate || sort.Filter || sort.Limit >= 0;
  std::set<std::pair<int32_t, int32_t>> chains;
  if (blob != nullptr && data.BlobFieldCount() > 0 && mayDrop) chains = StoredBlobChains(data);
  data.SortRecords(sort);
  if (!chains.empty()) {
    for (const auto& kept : StoredBlobChains(data)) chains.erase(kept);
    for (const auto& [firstBlock, blobId] : chains) blob->FreeBlobChain(firstBlock, blobId);
  }

  // Every record has a new number: the indexes are filled anew.
  EmptyIndexesKeepingTextParameters(index);
  TProgressReporter silent({}, 0);
  FillIndexes(index, data, blob, RegularIndexesInUse(index), true, silent, TDuplicates::Raise, Names());
  SettleRewrittenTable(table, FDirectory.Session().ForceBufferFlush());
  SyncCounters();
  SelectIndex(FIndexNo, false);
  SetToBegin();
}

// ---------------------------------------------------------------------------------------
// Indexes

void TDataCursor::AddSecondaryIndex(const TIndexDefinition& definition) {
  if (!FTable) RaiseEngineError(KURA_NEEDEXCLACCESS, Names());
  TDataTable& table = *FTable;
  if (!definition.Temporary) {
    if (!table.Exclusive()) RaiseEngineError(KURA_NEEDEXCLACCESS, Names());
    if (FCursorReadOnly) RaiseEngineError(KURA_OSEACCES, Names());
  }
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  const int keySize = IndexKeyDataSize(definition.Fields, data.FieldDefinitions());
  if (keySize == 0 || keySize > kMaxKeyDataSize) {
    TErrorNames names = Names();
    names.IndexName = std::string(TrimBlanks(definition.Name));
    RaiseEngineError(KURA_INVALIDKEY, names);
  }
  // A temporary index on a shared table reads the records under the read lock.
  TTableReadLock lock(table);
  if (lock.Changed()) SyncCounters();
  int number = -1;
  // An index that could not be filled is taken out again.
  auto release = OnScopeFail([&] {
    if (number >= 0) ReleaseIndex(index, number);
  });
  number = index.AddSecondaryIndex(definition);
  if (data.RecordCount() > 0) {
    TProgressReporter progress(FDirectory.Session());
    FillIndexes(index, data, table.BlobFile(), {number}, false, progress, TDuplicates::Raise, Names());
  }
  release.Dismiss();
  lock.Release();
  if (!definition.Temporary) table.MarkChanged();
  SyncCounters();
  RecomputeView();
  SetToBegin();
}

void TDataCursor::DeleteIndex(const std::string& name) {
  if (!FTable || !FTable->Exclusive()) RaiseEngineError(KURA_NEEDEXCLACCESS, Names());
  if (FCursorReadOnly) RaiseEngineError(KURA_OSEACCES, Names());
  TIndexFile& index = FTable->IndexFile();
  const int number = IndexNumberByName(name);
  if (number < 0) RaiseUnknownIndex(name);
  ReleaseIndex(index, number);
  FTable->MarkChanged();
  SyncCounters();
  SelectIndex(kPrimaryIndex, false);
  SetToBegin();
}

// ---------------------------------------------------------------------------------------
// Restructure

TTableDefinition TDataCursor::TableDefinition() {
  if (!FTable) RaiseEngineError(KURA_NOTINITIALIZED, Names());
  TReadScope scope(*this);
  TDataFile& data = FTable->DataFile();
  TTableDefinition definition;
  for (const TFieldDefinition& field : data.FieldDefinitions()) {
    TFieldDefinition copy = field;
    copy.Expression.reset();
    definition.Fields.push_back(std::move(copy));
  }
  TIndexLayout layout = LayoutOfFile(FTable->IndexFile());
  definition.PrimaryIndex = std::move(layout.Primary);
  definition.SecondaryIndexes = std::move(layout.Secondaries);
  definition.TextIndexFields = std::move(layout.TextFields);
  if (layout.TextParameters) definition.TextIndexParams = std::move(*layout.TextParameters);
  const TDataFileHeader& header = data.Header();
  definition.LocaleId = header.LocaleId;
  definition.SortId = header.SortId;
  definition.Description = header.Description;
  definition.Encrypted = header.Encrypted;
  definition.Password = header.Password;
  definition.BlobBlockSize = data.BlobBlockSize();
  definition.UserMajorVersion = header.UserMajorVersion;
  definition.UserMinorVersion = header.UserMinorVersion;
  definition.LastAutoIncValue = header.LastAutoIncValue;
  return definition;
}

void TDataCursor::RestructureTable(const TTableDefinition& definition, TDataLostCallback dataLost) {
  CheckClosed();
  if (!FExclusive) RaiseEngineError(KURA_NEEDEXCLACCESS, Names());
  if (FReadOnly) RaiseEngineError(KURA_OSEACCES, Names());
  const TTableDefinition checked = CheckTableDefinition(definition, Names());
  // Opening checks the headers and the password.
  OpenCursor();
  if (FCursorReadOnly) {
    CloseCursor(false);
    RaiseEngineError(KURA_OSEACCES, Names());
  }
  const bool layoutKept = SameLayout(FTable->DataFile(), checked);
  if (!layoutKept) {
    RestructureByCopy(*this, checked, dataLost);
    return;
  }
  CloseCursor(false);

  // The records stay; the definitions are updated in place and the index file is made
  // anew beside the old one, which it replaces only when complete.
  const std::string dataName = FDirectory.TableFileName(FTableName, kDataFileExtension);
  const std::string indexName = FDirectory.TableFileName(FTableName, kIndexFileExtension);
  const std::string newIndexName = FDirectory.TableFileName(FDirectory.GetTempTableName(FInMemory), kIndexFileExtension);
  TDataFile data(dataName, FInMemory);
  data.Exclusive = true;
  data.OpenDataFile();
  std::unique_ptr<TBlobFile> blob;
  auto close = OnScopeExit([&] { CloseTableFiles(data, blob.get()); });
  auto removeNewIndex = OnScopeFail([&] { DeleteIfExists(newIndexName, FInMemory); });
  if (data.BlobFieldCount() > 0) {
    blob = std::make_unique<TBlobFile>(FDirectory.TableFileName(FTableName, kBlobFileExtension), FInMemory);
    blob->OpenBlobFile(data.BlobBlockSize(), data.Encrypted());
  }
  TProgressReporter progress(FDirectory.Session());
  WriteIndexFile(data, blob.get(), newIndexName, FInMemory, LayoutOfDefinition(checked), progress, false, Names());
  for (size_t i = 0; i < checked.Fields.size(); ++i) {
    const TFieldDefinition& f = checked.Fields[i];
    data.UpdateFieldDefinition(static_cast<int>(i + 1), f.Name, f.Description, f.Required, f.MinValue, f.MaxValue,
                               f.DefaultValue);
  }
  data.SetTableInfo(checked.Password, checked.Description, checked.UserMajorVersion, checked.UserMinorVersion,
                    std::max(data.LastAutoIncValue(), checked.LastAutoIncValue));
  DeleteIfExists(indexName, FInMemory);
  MoveFile(newIndexName, indexName, FInMemory);
  data.WriteFieldDefinitions();
  data.WriteHeader();
}

// ---------------------------------------------------------------------------------------
// Repair

std::string TableJournalFileName(const std::string& dataFileName) {
  TFileHandler data(dataFileName);
  std::string path;
  try {
    data.Open();
    path = data.StoragePath();
    data.Close();
  } catch (const EKuraEngineError&) {
    path.clear();
  }
  return JournalFileNameOf(path.empty() ? dataFileName : path);
}

namespace {

std::string FileNameOf(const std::string& path) { return std::string(ExtractFileName(path)); }

// The slot counts of a data file's header mended before the file is opened (opening
// refuses counts out of range): a header counting more slots than the file holds whole
// (or fewer than none) gets the whole ones, a free-chain head outside them becomes 0 (the
// chain is made anew later).
struct TSlotCounts {
  bool Mended = false;                      // the counts on the disk were changed
  TDataFileHeader Header;                   // the header as it was
  uint8_t Saved[kDataFileHeaderSize] = {};  // its bytes
  int32_t Slots = 0;                        // the slots the header counts now
};

// Writes a data file's header in place (for a table nobody has open).
void WriteHeaderBytes(TFileHandler& file, const TDataFileHeader& header) {
  uint8_t bytes[kDataFileHeaderSize];
  WriteDataFileHeader(header, bytes);
  file.WriteAt(0, bytes, kDataFileHeaderSize);
}

// `allowed` is asked, with the header read, before anything changes (it raises to
// refuse). A file that is missing or too short for a header is left to the opening,
// which says what is wrong.
TSlotCounts MendSlotCounts(const std::string& dataName, bool inMemory,
                           const std::function<void(const TDataFileHeader&)>& allowed) {
  TSlotCounts counts;
  TFileHandler file(dataName, inMemory);
  if (!file.FileExists()) return counts;
  file.Exclusive = true;
  file.Open();
  auto close = OnScopeExit([&] { file.Close(); });
  if (file.ReadAt(0, counts.Saved, kDataFileHeaderSize, true) != kDataFileHeaderSize) return counts;
  TDataFileHeader& h = counts.Header;
  ReadDataFileHeader(counts.Saved, h);
  allowed(h);
  const int64_t start = kDataFileHeaderSize + int64_t{kFieldDefinitionSize} * h.FieldCount;
  const int64_t size = file.GetFileSize();
  const int64_t whole =
      h.RecordSize > 0 && size > start ? std::min<int64_t>((size - start) / h.RecordSize, kMaxRecordCount) : 0;
  const int64_t counted = int64_t{h.NextRecordNo} - 1;
  counts.Slots = static_cast<int32_t>(counted < 0 || counted > whole ? whole : counted);
  TDataFileHeader mended = h;
  mended.NextRecordNo = counts.Slots + 1;
  if (h.FirstFreeRecord < 0 || h.FirstFreeRecord > counts.Slots) mended.FirstFreeRecord = 0;
  if (mended.NextRecordNo == h.NextRecordNo && mended.FirstFreeRecord == h.FirstFreeRecord) return counts;
  WriteHeaderBytes(file, mended);
  counts.Mended = true;
  return counts;
}

// Opens the data file for a repair, its slot counts mended (see MendSlotCounts), and
// trusts its header and definitions only when they pass the header check; otherwise the
// header goes back to what it was and the check's error is raised.
void OpenForRepair(TDataFile& data, const TSlotCounts& counts, TRepairReport& report) {
  try {
    data.OpenDataFile();
    data.CheckHeader();
  } catch (const EKuraEngineError&) {
    if (counts.Mended) {
      data.CloseDataFile();
      TFileHandler file(data.FileName, data.InMemory);
      file.Exclusive = true;
      file.Open();
      file.WriteAt(0, counts.Saved, kDataFileHeaderSize);
      file.Close();
    }
    throw;
  }
  if (counts.Slots != counts.Header.NextRecordNo - 1) {
    report.Lines.push_back(FileNameOf(data.FileName) + ": the header counted " +
                           std::to_string(int64_t{counts.Header.NextRecordNo} - 1) + " record slots, the file holds " +
                           std::to_string(counts.Slots) + " whole ones; the next record number is now " +
                           std::to_string(counts.Slots + 1));
  }
}

// What is wrong with the data file's chain of deleted slots starting at `first`, in
// words, or empty when it lists every deleted slot once and nothing else. `deleted`
// holds the state of every slot (index 0 unused).
std::string FreeChainProblem(TDataFile& data, int32_t first, const std::vector<bool>& deleted, int32_t deletedCount) {
  const int32_t count = data.RecordCount();
  if (first < 0 || first > count) return "its head, record slot " + std::to_string(first) + ", lies outside the file";
  std::vector<bool> listed(static_cast<size_t>(count) + 1);
  int32_t length = 0;
  for (int32_t slot = first; slot != 0;) {
    const auto at = static_cast<size_t>(slot);
    if (listed[at]) return "it loops at record slot " + std::to_string(slot);
    if (!deleted[at]) return "it lists the active record slot " + std::to_string(slot);
    listed[at] = true;
    ++length;
    TRecordPin record(data, data.GetRecord(slot));
    const int32_t next = record->Link();
    if (next < 0 || next > count) {
      return "record slot " + std::to_string(slot) + " links to " + std::to_string(next) + ", outside the file";
    }
    slot = next;
  }
  if (length != deletedCount) {
    return "it misses " + std::to_string(deletedCount - length) + " of the " + std::to_string(deletedCount) +
           " deleted slots";
  }
  return {};
}

// Makes the chain of deleted slots anew from the slots' state bytes when it is damaged
// (`originalFirst`: the head the header had before its slot count was repaired).
void RepairFreeChain(TDataFile& data, int32_t originalFirst, TRepairReport& report) {
  const int32_t count = data.RecordCount();
  std::vector<bool> deleted(static_cast<size_t>(count) + 1);
  int32_t deletedCount = 0;
  for (int32_t recNo = 1; recNo <= count; ++recNo) {
    TRecordPin record(data, data.GetRecord(recNo, TReadAhead{true, false, count - recNo + 1}));
    if (record->IsDeleted()) {
      deleted[static_cast<size_t>(recNo)] = true;
      ++deletedCount;
    }
  }
  const std::string problem = FreeChainProblem(data, originalFirst, deleted, deletedCount);
  if (problem.empty()) return;
  // FreeRecord puts each slot at the head: from an empty chain, the deleted slots in
  // ascending order give a chain from the highest down.
  TDataFileHeader header = data.Header();
  header.FirstFreeRecord = 0;
  WriteHeaderBytes(data, header);
  data.ReadHeader();
  for (int32_t recNo = 1; recNo <= count; ++recNo) {
    if (!deleted[static_cast<size_t>(recNo)]) continue;
    TRecordPin record(data, data.GetRecord(recNo));
    data.FreeRecord(record.Get());
  }
  data.FlushRecords();
  data.WriteHeader();
  report.Lines.push_back(FileNameOf(data.FileName) + ": the chain of deleted slots was damaged (" + problem +
                         "); made anew from the slots' states, " + std::to_string(deletedCount) + " deleted slots");
}

// Cuts the bytes beyond what a file's header declares, saying so.
template <typename TFile>
void CutSurplusOf(TFile& file, const char* beyond, TRepairReport& report) {
  const int64_t surplus = file.SurplusBytes();
  if (surplus == 0) return;
  file.CutSurplus();
  report.Lines.push_back(FileNameOf(file.FileName) + ": cut " + std::to_string(surplus) + " bytes beyond the last " +
                         beyond);
}

}  // namespace

TRepairReport TDataCursor::RepairTable() {
  CheckClosed();
  if (FReadOnly) RaiseEngineError(KURA_OSEACCES, Names());
  if (const TDataTable* table = FDirectory.FindTable(FTableName, FInMemory)) {
    if (table->OpenCount() > 0 || table->TakesPartInTransaction()) RaiseEngineError(KURA_OSEACCES, Names());
  }
  const std::string dataName = FDirectory.TableFileName(FTableName, kDataFileExtension);
  const std::string indexName = FDirectory.TableFileName(FTableName, kIndexFileExtension);
  const std::string blobName = FDirectory.TableFileName(FTableName, kBlobFileExtension);
  const std::string backupName = FDirectory.TableFileName(FTableName, kIndexBackupExtension);
  TRepairReport report;

  // A writer died in the middle of a commit: the table goes back to before it first.
  if (!FInMemory) {
    const std::string journal = TableJournalFileName(dataName);
    if (TTableJournal::HoldsCommit(journal)) {
      TTableJournal::RecoverClosedTable(journal, dataName, indexName, blobName);
      report.Lines.push_back(FileNameOf(journal) + ": the commit it held had not finished; rolled back");
    }
  }

  // An encrypted table is repaired only by whoever may open it: asked before anything
  // of the table changes.
  auto checkPassword = [&](const TDataFileHeader& header) {
    if (!header.Encrypted || header.Password.empty()) return;
    TDataSession& session = FDirectory.Session();
    while (!session.HasPassword(header.Password)) {
      if (!FPasswordCallback || !FPasswordCallback(FTableName)) RaiseEngineError(KURA_NOTSUFFTABLERIGHTS, Names());
    }
  };
  const TSlotCounts counts = MendSlotCounts(dataName, FInMemory, checkPassword);
  TDataFile data(dataName, FInMemory);
  data.Exclusive = true;
  std::unique_ptr<TBlobFile> blob;
  auto close = OnScopeExit([&] { CloseTableFiles(data, blob.get()); });
  OpenForRepair(data, counts, report);
  CutSurplusOf(data, "record", report);
  RepairFreeChain(data, counts.Header.FirstFreeRecord, report);
  if (data.BlobFieldCount() > 0 && FileExists(blobName, FInMemory)) {
    blob = std::make_unique<TBlobFile>(blobName, FInMemory);
    blob->OpenBlobFile(data.BlobBlockSize(), data.Encrypted());
    CutSurplusOf(*blob, "block", report);
  }

  // The index definitions: from the index file's header, else from the backup's,
  // else only the internal indexes. A file made anew when it was missing holds none.
  enum class TLayoutSource { Read, Missing, Unreadable, Lost };
  auto readLayout = [&](const std::string& name, TIndexLayout& layout, int64_t* surplus) {
    if (!FileExists(name, FInMemory)) return TLayoutSource::Missing;
    TIndexFile file(name, FInMemory);
    file.SetTableInfo(data.FieldDefinitions(), data.LocaleId(), data.SortId(), data.Encrypted());
    auto closeFile = OnScopeExit([&] { file.CloseIndexFile(); });
    try {
      file.OpenIndexFile();
      file.CheckHeader();
      if (surplus) *surplus = file.SurplusBytes();
      if (file.DefinitionsLost()) return TLayoutSource::Lost;
      layout = LayoutOfFile(file);
    } catch (const EKuraEngineError&) {
      return TLayoutSource::Unreadable;
    }
    return TLayoutSource::Read;
  };
  TIndexLayout layout;
  int64_t indexSurplus = 0;
  const TLayoutSource source = readLayout(indexName, layout, &indexSurplus);
  const bool fromIndex = source == TLayoutSource::Read;
  if (!fromIndex) {
    const char* reason = source == TLayoutSource::Missing      ? " is missing"
                         : source == TLayoutSource::Unreadable ? " could not be read"
                                                               : " was made anew when it was missing";
    if (readLayout(backupName, layout, nullptr) == TLayoutSource::Read) {
      report.Lines.push_back("index definitions restored from " + FileNameOf(backupName) + ": " +
                             FileNameOf(indexName) + reason);
    } else {
      report.Lines.push_back("index definitions could not be restored: " + FileNameOf(indexName) + reason +
                             " and there is no usable backup " + FileNameOf(backupName) +
                             "; the table has no primary or secondary indexes until they are defined again");
    }
  }
  if (indexSurplus > 0) {
    report.Lines.push_back(FileNameOf(indexName) + ": cut " + std::to_string(indexSurplus) +
                           " bytes beyond the last page");
  }

  if (source != TLayoutSource::Missing && (fromIndex || !FileExists(backupName, FInMemory))) {
    CopyFile(indexName, backupName, FInMemory);
  }
  TProgressReporter progress(FDirectory.Session());
  WriteIndexFile(data, blob.get(), indexName, FInMemory, layout, progress, true, Names());
  return report;
}

}  // namespace kura
