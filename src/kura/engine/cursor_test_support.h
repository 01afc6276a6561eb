#pragma once

// Helpers for the cursor tests: a session with a directory in a fresh temporary folder,
// a small table, and appends and deletes made straight through the table's files (the
// way the editing layer will make them: every index kept, headers written through).

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kura/base/byte_order.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/data_table.h"
#include "kura/storage/index_tree.h"
#include "testing/temp_dir.h"

namespace kura::cursor_test {

inline TFieldDefinition Field(const std::string& name, TFieldType type, uint8_t size = 0) {
  TFieldDefinition d;
  d.Name = name;
  d.FieldType = type;
  d.Size = size;
  return d;
}

inline TIndexDefinition Index(const std::string& name, std::vector<uint16_t> fields, bool unique,
                              bool descending = false) {
  TIndexDefinition d;
  d.Name = name;
  d.Fields = std::move(fields);
  d.Unique = unique;
  d.Descending = descending;
  return d;
}

// The "people" table: ID (primary), NAME, GRP, VAL; secondary indexes
//   1 "ByGroup"     GRP, NAME (not unique)
//   2 "ByNameDesc"  NAME, descending (not unique)
inline TTableDefinition PeopleDefinition(bool primary = true) {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer), Field("NAME", TFieldType::String, 20),
              Field("GRP", TFieldType::Integer), Field("VAL", TFieldType::Integer)};
  if (primary) t.PrimaryIndex = Index("", {1}, true);
  t.SecondaryIndexes = {Index("ByGroup", {3, 2}, false), Index("ByNameDesc", {2}, false, true)};
  return t;
}

struct TPerson {
  int32_t Id;
  std::string Name;
  int32_t Group;
  int32_t Value;
};

// Field access on record images by field number (1-based), for the tests' tables.
class TRecordImage {
  const TDataFile& FData;

public:
  explicit TRecordImage(const TDataFile& data) : FData(data), Bytes(static_cast<size_t>(data.RecordSize()), 0) {}
  const TFieldDefinition& Def(int fieldNo) const { return *FData.FieldByPosition(fieldNo); }
  void SetInt(int fieldNo, int32_t value) {
    const TFieldDefinition& f = Def(fieldNo);
    Bytes[f.Offset] = 1;
    WriteI32(Bytes.data() + f.Offset + 1, value);
  }
  void SetText(int fieldNo, const std::string& value) {
    const TFieldDefinition& f = Def(fieldNo);
    Bytes[f.Offset] = 1;
    std::memset(Bytes.data() + f.Offset + 1, 0, f.DataSize);
    std::memcpy(Bytes.data() + f.Offset + 1, value.data(), std::min<size_t>(value.size(), f.DataSize - 1U));
  }
  static int32_t Int(const TDataFile& data, const uint8_t* record, int fieldNo) {
    return ReadI32(record + data.FieldByPosition(fieldNo)->Offset + 1);
  }
  static std::string Text(const TDataFile& data, const uint8_t* record, int fieldNo) {
    const TFieldDefinition& f = *data.FieldByPosition(fieldNo);
    const char* p = reinterpret_cast<const char*>(record + f.Offset + 1);
    return std::string(p, strnlen(p, f.DataSize));
  }
  std::vector<uint8_t> Bytes;
};

inline std::vector<uint8_t> PersonRecord(const TDataFile& data, const TPerson& p) {
  TRecordImage image(data);
  image.SetInt(1, p.Id);
  image.SetText(2, p.Name);
  image.SetInt(3, p.Group);
  image.SetInt(4, p.Value);
  return image.Bytes;
}

// Appends a record (field area taken from `record`) with every index maintained, under
// the write lock, written through like an ordinary post. Returns its record number.
inline int32_t AppendDirect(TDataTable& table, const std::vector<uint8_t>& record) {
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  table.WriteLock();
  // A reused deleted slot's old id names its key in the internal record index.
  const int32_t freeHead = table.NoPrimaryIndex() ? 0 : data.Header().FirstFreeRecord;
  int32_t oldId = 0;
  if (freeHead != 0) {
    TRecordPin old(data, data.GetRecord(freeHead));
    oldId = old->UniqueId();
  }
  TRecord* slot = data.AllocateRecord();
  const int32_t recNo = slot->RecNo;
  const bool reused = freeHead != 0 && recNo == freeHead;
  std::memcpy(slot->Bytes() + kRecordFieldsOffset, record.data() + kRecordFieldsOffset,
              record.size() - kRecordFieldsOffset);
  const int32_t id = data.NextAutoIncValue();
  slot->SetUniqueId(id);
  std::vector<uint8_t> key(kMaxKeySize);
  TLanguageKeyTextMapper mapper(data.LocaleId(), data.SortId());
  for (int i = 0; i <= kMaxSecondaryIndexes; ++i) {
    if (!index.IndexInUse(i) || index.Descriptor(i).IndexFieldCount == 0) continue;
    TIndexKeyBuilder builder(index.Descriptor(i), data.FieldDefinitions(), data.LocaleId(), &mapper);
    builder.BuildKey(slot->Bytes(), key.data());
    EXPECT_TRUE(TIndexTree(index, i).Insert(key.data(), recNo));
  }
  TIndexTree sys(index, kSysDeletedIndex);
  if (reused) {
    BuildSysDeletedKey(kRecordDeleted, oldId, key.data());
    sys.Delete(key.data());
  }
  BuildSysDeletedKey(kRecordActive, id, key.data());
  EXPECT_TRUE(sys.Insert(key.data(), recNo));
  index.IncActiveRecordCount();
  data.MarkRecordDirty(slot);
  data.ReleaseRecord(slot);
  if (table.Exclusive() || table.InTransaction()) {
    table.MarkChanged();
  } else {
    table.FlushTable(false);
  }
  table.WriteUnlock();
  return recNo;
}

inline void DeleteDirect(TDataTable& table, int32_t recNo) {
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  table.WriteLock();
  TRecord* slot = data.GetRecord(recNo);
  std::vector<uint8_t> key(kMaxKeySize);
  TLanguageKeyTextMapper mapper(data.LocaleId(), data.SortId());
  for (int i = 0; i <= kMaxSecondaryIndexes; ++i) {
    if (!index.IndexInUse(i) || index.Descriptor(i).IndexFieldCount == 0) continue;
    TIndexKeyBuilder builder(index.Descriptor(i), data.FieldDefinitions(), data.LocaleId(), &mapper);
    builder.BuildKey(slot->Bytes(), key.data());
    EXPECT_TRUE(TIndexTree(index, i).Delete(key.data()));
  }
  TIndexTree sys(index, kSysDeletedIndex);
  BuildSysDeletedKey(kRecordActive, slot->UniqueId(), key.data());
  EXPECT_TRUE(sys.Delete(key.data()));
  BuildSysDeletedKey(kRecordDeleted, slot->UniqueId(), key.data());
  EXPECT_TRUE(sys.Insert(key.data(), recNo));
  data.FreeRecord(slot);
  data.ReleaseRecord(slot);
  index.DecActiveRecordCount();
  if (table.Exclusive() || table.InTransaction()) {
    table.MarkChanged();
  } else {
    table.FlushTable(false);
  }
  table.WriteUnlock();
}

// A session whose directory is a fresh temporary folder; lock retries do not sleep.
class TCursorFixture : public ::testing::Test {
protected:
  TCursorFixture() {
    Session.Sleep = [](int) {};
    Directory = Session.OpenDirectory("TEST", Temp.Path().string());
  }
  ~TCursorFixture() override = default;

  void CreatePeople(const std::string& name = "people", bool primary = true) {
    ASSERT_EQ(Directory->CreateTableFiles(name, false, PeopleDefinition(primary)), 0);
  }

  std::unique_ptr<TDataCursor> Open(const std::string& name = "people", bool exclusive = false,
                                    bool natural = false) {
    auto cursor = std::make_unique<TDataCursor>(*Directory);
    cursor->SetTableName(name);
    cursor->SetExclusive(exclusive);
    cursor->SetNaturalOrder(natural);
    cursor->OpenCursor();
    return cursor;
  }

  // Appends people 1..count: NAME "N<i>" zero-padded, GRP i % groups, VAL i.
  static void Fill(TDataCursor& cursor, int count, int groups = 7) {
    for (int i = 1; i <= count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "N%06d", i);
      AppendDirect(cursor.Table(), PersonRecord(cursor.Table().DataFile(), {i, name, i % groups, i}));
    }
  }

  // The ID of every record a forward walk delivers.
  static std::vector<int32_t> WalkForward(TDataCursor& cursor) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> buffer(static_cast<size_t>(cursor.RecordSize()));
    cursor.SetToBegin();
    while (cursor.GetNextRecord(buffer.data()) == 0) {
      ids.push_back(TRecordImage::Int(cursor.Table().DataFile(), buffer.data(), 1));
    }
    return ids;
  }
  static std::vector<int32_t> WalkBackward(TDataCursor& cursor) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> buffer(static_cast<size_t>(cursor.RecordSize()));
    cursor.SetToEnd();
    while (cursor.GetPriorRecord(buffer.data()) == 0) {
      ids.push_back(TRecordImage::Int(cursor.Table().DataFile(), buffer.data(), 1));
    }
    return ids;
  }
  static int32_t CurrentId(TDataCursor& cursor) {
    std::vector<uint8_t> buffer(static_cast<size_t>(cursor.RecordSize()));
    if (cursor.GetCurrentRecord(buffer.data()) != 0) return -1;
    return TRecordImage::Int(cursor.Table().DataFile(), buffer.data(), 1);
  }

  testing_support::TTempDir Temp;
  TDataSession Session;
  TDataDirectory* Directory = nullptr;
};

}  // namespace kura::cursor_test
