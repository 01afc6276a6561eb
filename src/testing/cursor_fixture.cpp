#include "testing/cursor_fixture.h"

#include <cstdio>

#include "kura/engine/cursor_internals.h"
#include "testing/definition_builders.h"
#include "testing/direct_table_edits.h"
#include "testing/record_image.h"

namespace testing_support {

using namespace kura;

TTableDefinition PeopleDefinition(bool primary) {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer), Field("NAME", TFieldType::String, 20),
              Field("GRP", TFieldType::Integer), Field("VAL", TFieldType::Integer)};
  if (primary) t.PrimaryIndex = Index("", {1}, true);
  t.SecondaryIndexes = {Index("ByGroup", {3, 2}, false), Index("ByNameDesc", {2}, false, true)};
  return t;
}

std::vector<uint8_t> PersonRecord(const TDataFile& data, const TPerson& p) {
  TRecordImage image(data);
  image.SetInt(1, p.Id);
  image.SetText(2, p.Name);
  image.SetInt(3, p.Group);
  image.SetInt(4, p.Value);
  return image.Bytes;
}

TCursorFixture::TCursorFixture() {
  Session.Sleep = [](int) {};
  Directory = Session.OpenDirectory("TEST", Temp.Path().string());
}

void TCursorFixture::CreatePeople(const std::string& name, bool primary) {
  ASSERT_EQ(Directory->CreateTableFiles(name, false, PeopleDefinition(primary)), 0);
}

std::unique_ptr<TDataCursor> TCursorFixture::Open(const std::string& name, bool exclusive, bool natural) {
  auto cursor = std::make_unique<TDataCursor>(*Directory);
  cursor->SetTableName(name);
  cursor->SetExclusive(exclusive);
  cursor->SetNaturalOrder(natural);
  cursor->OpenCursor();
  return cursor;
}

void TCursorFixture::Fill(TDataCursor& cursor, int count, int groups) {
  for (int i = 1; i <= count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "N%06d", i);
    AppendDirect(TCursorInternals::Table(cursor), PersonRecord(TCursorInternals::Table(cursor).DataFile(), {i, name, i % groups, i}));
  }
}

std::vector<int32_t> TCursorFixture::WalkForward(TDataCursor& cursor) {
  std::vector<int32_t> ids;
  std::vector<uint8_t> buffer(static_cast<size_t>(cursor.RecordSize()));
  cursor.SetToBegin();
  while (cursor.GetNextRecord(buffer.data()) == 0) {
    ids.push_back(TRecordImage::Int(TCursorInternals::Table(cursor).DataFile(), buffer.data(), 1));
  }
  return ids;
}

std::vector<int32_t> TCursorFixture::WalkBackward(TDataCursor& cursor) {
  std::vector<int32_t> ids;
  std::vector<uint8_t> buffer(static_cast<size_t>(cursor.RecordSize()));
  cursor.SetToEnd();
  while (cursor.GetPriorRecord(buffer.data()) == 0) {
    ids.push_back(TRecordImage::Int(TCursorInternals::Table(cursor).DataFile(), buffer.data(), 1));
  }
  return ids;
}

int32_t TCursorFixture::CurrentId(TDataCursor& cursor) {
  std::vector<uint8_t> buffer(static_cast<size_t>(cursor.RecordSize()));
  if (cursor.GetCurrentRecord(buffer.data()) != 0) return -1;
  return TRecordImage::Int(TCursorInternals::Table(cursor).DataFile(), buffer.data(), 1);
}

}  // namespace testing_support
