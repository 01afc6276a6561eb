#include "testing/direct_table_edits.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kura/storage/index_tree.h"

namespace testing_support {

using namespace kura;

namespace {

// Builds `record`'s key of every index in use into `key`, in turn, and hands the index's
// tree to `step`.
template <typename Step>
void ForEachIndexKey(TDataTable& table, TRecord& record, std::vector<uint8_t>& key, Step step) {
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  TLanguageKeyTextMapper mapper(data.LocaleId(), data.SortId());
  for (int i = 0; i <= kMaxSecondaryIndexes; ++i) {
    if (!index.IndexInUse(i) || index.Descriptor(i).IndexFieldCount == 0) continue;
    TIndexKeyBuilder builder(index.Descriptor(i), data.FieldDefinitions(), data.LocaleId(), &mapper);
    builder.BuildKey(record.Bytes(), key.data());
    TIndexTree tree(index, i);
    step(tree);
  }
}

// Ends a change made under the write lock the way a post does: written through unless
// the table is exclusive or in a transaction.
void FinishChange(TDataTable& table) {
  if (table.Exclusive() || table.InTransaction()) {
    table.MarkChanged();
  } else {
    table.FlushTable(false);
  }
  table.WriteUnlock();
}

}  // namespace

int32_t AppendDirect(TDataTable& table, const std::vector<uint8_t>& record) {
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
  ForEachIndexKey(table, *slot, key, [&](TIndexTree& tree) { EXPECT_TRUE(tree.Insert(key.data(), recNo)); });
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
  FinishChange(table);
  return recNo;
}

void DeleteDirect(TDataTable& table, int32_t recNo) {
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  table.WriteLock();
  TRecord* slot = data.GetRecord(recNo);
  std::vector<uint8_t> key(kMaxKeySize);
  ForEachIndexKey(table, *slot, key, [&](TIndexTree& tree) { EXPECT_TRUE(tree.Delete(key.data())); });
  TIndexTree sys(index, kSysDeletedIndex);
  BuildSysDeletedKey(kRecordActive, slot->UniqueId(), key.data());
  EXPECT_TRUE(sys.Delete(key.data()));
  BuildSysDeletedKey(kRecordDeleted, slot->UniqueId(), key.data());
  EXPECT_TRUE(sys.Insert(key.data(), recNo));
  data.FreeRecord(slot);
  data.ReleaseRecord(slot);
  index.DecActiveRecordCount();
  FinishChange(table);
}

}  // namespace testing_support
