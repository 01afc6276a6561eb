#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kura/engine/cursor_internals.h"
#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/language_driver.h"
#include "kura/engine/cursor_blobs.h"
#include "kura/engine/default_values.h"
#include "kura/storage/blob_file.h"
#include "testing/cursor_fixture.h"
#include "testing/definition_builders.h"
#include "testing/direct_table_edits.h"
#include "testing/engine_error_expect.h"

namespace kura::cursor_test {
namespace {

using testing_support::AppendDirect;
using testing_support::EngineErrorCodeOf;
using testing_support::EngineErrorOf;
using testing_support::Field;
using testing_support::Index;
using testing_support::TCursorFixture;

constexpr uint16_t kEnglish = 0x0409;
constexpr uint16_t kTurkish = 0x041F;

// Field numbers of the "things" table.
enum : int {
  kId = 1, kName, kLow, kUp, kDate, kTime, kStamp, kBool, kSmall, kInt, kWord, kLarge,
  kFloat, kBcd, kBytes, kMemo, kGraphic
};

TTableDefinition ThingsDefinition() {
  TTableDefinition t;
  t.Fields = {Field("ID", TFieldType::Integer, 0, TFieldSubType::AutoInc),
              Field("NAME", TFieldType::String, 10),
              Field("LOW", TFieldType::String, 10),
              Field("UP", TFieldType::String, 10),
              Field("D", TFieldType::Date),
              Field("T", TFieldType::Time),
              Field("TS", TFieldType::Timestamp),
              Field("B", TFieldType::Boolean),
              Field("S", TFieldType::SmallInt),
              Field("I", TFieldType::Integer),
              Field("W", TFieldType::Word),
              Field("L", TFieldType::LargeInt),
              Field("F", TFieldType::Float),
              Field("N", TFieldType::Bcd),
              Field("BY", TFieldType::Bytes, 4),
              Field("M", TFieldType::Blob, 0, TFieldSubType::Memo),
              Field("G", TFieldType::Blob, 0, TFieldSubType::Graphic)};
  t.Fields[kLow - 1].CharCase = TCharCase::Lower;
  t.Fields[kUp - 1].CharCase = TCharCase::Upper;
  t.Fields[kBcd - 1].Scale = 2;
  t.PrimaryIndex = Index("", {kId}, true);
  return t;
}

class CursorFieldsTest : public TCursorFixture {
protected:
  ~CursorFieldsTest() override { SetLocalClock({}); }

  std::unique_ptr<TDataCursor> OpenThings(const TTableDefinition& definition = ThingsDefinition(),
                                          const std::string& name = "things") {
    EXPECT_EQ(Directory->CreateTableFiles(name, false, definition), 0);
    return Open(name);
  }

  static std::vector<uint8_t> Image(const TDataCursor& cursor) {
    return std::vector<uint8_t>(static_cast<size_t>(cursor.RecordSize()), 0);
  }
  static const TFieldDefinition& Def(TDataCursor& cursor, int fieldNo) {
    return *TCursorInternals::Table(cursor).DataFile().FieldByPosition(fieldNo);
  }
  static std::vector<uint8_t> Value(TDataCursor& cursor, const std::vector<uint8_t>& image, int fieldNo,
                                    bool& isNull) {
    std::vector<uint8_t> value(kMaxDataSize, 0xEE);
    cursor.GetField(fieldNo, image.data(), isNull, value.data());
    value.resize(Def(cursor, fieldNo).IsAutoInc() ? 4 : Def(cursor, fieldNo).DataSize);
    return value;
  }
  static std::string Text(TDataCursor& cursor, const std::vector<uint8_t>& image, int fieldNo) {
    bool isNull = false;
    const std::vector<uint8_t> value = Value(cursor, image, fieldNo, isNull);
    const char* p = reinterpret_cast<const char*>(value.data());
    return isNull ? "<null>" : std::string(p, strnlen(p, value.size()));
  }
  static void SetText(TDataCursor& cursor, std::vector<uint8_t>& image, int fieldNo, const std::string& text) {
    std::vector<uint8_t> value(text.begin(), text.end());
    value.push_back(0);
    cursor.SetField(fieldNo, image.data(), value.data());
  }
  static void SetInt32(TDataCursor& cursor, std::vector<uint8_t>& image, int fieldNo, int32_t v) {
    uint8_t value[4];
    WriteI32(value, v);
    cursor.SetField(fieldNo, image.data(), value);
  }
  static int32_t Reference(TDataCursor& cursor, const std::vector<uint8_t>& image, int fieldNo) {
    return ReadI32(image.data() + Def(cursor, fieldNo).Offset + 1);
  }
  static int32_t BlobIdOf(TDataCursor& cursor, const std::vector<uint8_t>& image, int fieldNo) {
    return ReadI32(image.data() + Def(cursor, fieldNo).Offset + 5);
  }
  static uint8_t NullFlag(TDataCursor& cursor, const std::vector<uint8_t>& image, int fieldNo) {
    return image[Def(cursor, fieldNo).Offset];
  }

  static std::vector<uint8_t> Bytes(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
  }
  // Opens the field, replaces its whole value and leaves it open.
  static void PutWhole(TDataCursor& cursor, std::vector<uint8_t>& image, int fieldNo,
                       const std::vector<uint8_t>& bytes) {
    int32_t size = -1;
    ASSERT_EQ(cursor.OpenBlob(fieldNo, image.data(), TBlobOpenMode::ReadWrite, size), 0);
    ASSERT_EQ(cursor.TruncateBlob(fieldNo, image.data(), 0), 0);
    ASSERT_EQ(cursor.PutBlob(fieldNo, image.data(), 0, static_cast<int32_t>(bytes.size()), bytes.data()), 0);
  }
  // Opens the field, reads its whole value and frees the handle again.
  static std::vector<uint8_t> ReadWhole(TDataCursor& cursor, std::vector<uint8_t>& image, int fieldNo) {
    int32_t size = -1;
    EXPECT_EQ(cursor.OpenBlob(fieldNo, image.data(), TBlobOpenMode::Read, size), 0);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max(size, 0)));
    int32_t count = -1;
    EXPECT_EQ(cursor.GetBlob(fieldNo, image.data(), 0, size, bytes.data(), count), 0);
    EXPECT_EQ(count, size);
    EXPECT_EQ(cursor.FreeBlob(fieldNo, image.data()), 0);
    return bytes;
  }

  // Posting as the editing layer does: BLOBs written under the write lock, then the
  // record itself.
  static int32_t Append(TDataCursor& cursor, std::vector<uint8_t>& image) {
    TCursorInternals::Table(cursor).WriteLock();
    TCursorInternals::WriteOpenBlobs(cursor, image.data(), nullptr);
    return AppendDirect(TCursorInternals::Table(cursor), image);  // releases the write lock
  }
  static void Modify(TDataCursor& cursor, int32_t recNo, std::vector<uint8_t>& image) {
    TDataTable& table = TCursorInternals::Table(cursor);
    TDataFile& data = table.DataFile();
    table.WriteLock();
    {
      TRecordPin record(data, data.GetRecord(recNo));
      const std::vector<uint8_t> stored(record->Bytes(), record->Bytes() + record->Size());
      TCursorInternals::WriteOpenBlobs(cursor, image.data(), stored.data());
      std::memcpy(record->Bytes() + kRecordFieldsOffset, image.data() + kRecordFieldsOffset,
                  image.size() - kRecordFieldsOffset);
      data.MarkRecordDirty(record.Get());
    }
    table.FlushTable(false);
    table.WriteUnlock();
  }
  // The stored image of record recNo, read through a fresh cursor.
  std::vector<uint8_t> StoredRecord(int32_t recNo, const std::string& name = "things") {
    auto reader = Open(name, false, true);
    EXPECT_TRUE(reader->SetToRecNo(recNo));
    std::vector<uint8_t> image = Image(*reader);
    EXPECT_EQ(reader->GetCurrentRecord(image.data()), 0);
    return image;
  }
  static int32_t FreeBlockCount(TBlobFile& file) {
    int32_t count = 0;
    for (int32_t block = file.Header().FirstFreeBlock; block != 0; ++count) {
      TBlockPin pin(file, file.GetBlock(block));
      block = pin->Next;
    }
    return count;
  }
};

// ---------------------------------------------------------------------------------------
// Field values

TEST_F(CursorFieldsTest, EveryTypeRoundTripsItsBytesAndNullClearsThem) {
  auto cursor = OpenThings();
  struct TCase {
    int FieldNo;
    std::vector<uint8_t> Bytes;
  };
  uint8_t bcd[kBcdDataSize];
  ASSERT_TRUE(FixedToBcd(31415, 2, bcd));
  std::vector<uint8_t> stamp(8), dbl(8), large(8);
  WriteF64(stamp.data(), MakeTimestamp(732000, 3600000));
  WriteF64(dbl.data(), -2.5);
  WriteI64(large.data(), -1234567890123LL);
  const std::vector<TCase> cases = {
      {kDate, {0x20, 0x2B, 0x0B, 0x00}},
      {kTime, {0x80, 0xEE, 0x36, 0x00}},
      {kStamp, stamp},
      {kBool, {1, 0}},
      {kSmall, {0xFE, 0xFF}},
      {kInt, {0x78, 0x56, 0x34, 0x12}},
      {kWord, {0xFF, 0xFF}},
      {kLarge, large},
      {kFloat, dbl},
      {kBcd, std::vector<uint8_t>(bcd, bcd + kBcdDataSize)},
      {kBytes, {0, 1, 0, 2}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(Def(*cursor, c.FieldNo).Name);
    std::vector<uint8_t> image = Image(*cursor);
    bool isNull = false;
    EXPECT_EQ(Value(*cursor, image, c.FieldNo, isNull), std::vector<uint8_t>(c.Bytes.size(), 0));
    EXPECT_TRUE(isNull);
    cursor->SetField(c.FieldNo, image.data(), c.Bytes.data());
    EXPECT_EQ(Value(*cursor, image, c.FieldNo, isNull), c.Bytes);
    EXPECT_FALSE(isNull);
    cursor->SetField(c.FieldNo, image.data(), nullptr);
    EXPECT_EQ(Value(*cursor, image, c.FieldNo, isNull), std::vector<uint8_t>(c.Bytes.size(), 0));
    EXPECT_TRUE(isNull);
    // Nothing outside the field changed.
    EXPECT_EQ(image, Image(*cursor));
  }
}

TEST_F(CursorFieldsTest, BooleansAreStoredAsZeroOrOne) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  for (const auto& [given, stored] : std::vector<std::pair<uint16_t, uint16_t>>{{0, 0}, {1, 1}, {7, 1}, {0x100, 1}}) {
    uint8_t value[2];
    WriteU16(value, given);
    cursor->SetField(kBool, image.data(), value);
    bool isNull = true;
    EXPECT_EQ(ReadU16(Value(*cursor, image, kBool, isNull).data()), stored) << given;
    EXPECT_FALSE(isNull);
  }
}

TEST_F(CursorFieldsTest, TheAutoIncrementFieldIsTheRecordIdAndNeverNull) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  bool isNull = true;
  EXPECT_EQ(ReadI32(Value(*cursor, image, kId, isNull).data()), 0);
  EXPECT_FALSE(isNull);
  SetInt32(*cursor, image, kId, 77);
  EXPECT_EQ(ReadI32(image.data() + kRecordIdOffset), 77);
  EXPECT_EQ(ReadI32(Value(*cursor, image, kId, isNull).data()), 77);
  cursor->SetField(kId, image.data(), nullptr);
  EXPECT_EQ(ReadI32(image.data() + kRecordIdOffset), 77);
  // Only bytes 5-8 were touched.
  std::vector<uint8_t> expected = Image(*cursor);
  WriteI32(expected.data() + kRecordIdOffset, 77);
  EXPECT_EQ(image, expected);
}

TEST_F(CursorFieldsTest, StringsAreCutTrimmedCasedAndEmptyIsNull) {
  auto cursor = OpenThings();
  struct TCase {
    int FieldNo;
    std::string Given;
    std::string Stored;
  };
  const std::vector<TCase> cases = {
      {kName, "abc", "abc"},
      {kName, "abc   ", "abc"},
      {kName, "  abc", "  abc"},
      {kName, "", "<null>"},
      {kName, "     ", "<null>"},
      {kName, "0123456789", "0123456789"},
      {kName, "0123456789ABC", "0123456789"},
      {kName, "012345678 X", "012345678"},  // cut first, then trimmed
      {kName, "MiXeD", "MiXeD"},
      {kLow, "MiXeD Case", "mixed case"},
      {kUp, "MiXeD Case", "MIXED CASE"},
      {kUp, "   ", "<null>"},
      // Shift-JIS (the engine's default ANSI code page): a double-byte character that
      // does not fit whole is dropped whole; its trail byte is never cased on its own.
      {kName, "123456789\x83\x41", "123456789"},
      {kName, "12345678\x83\x41Z", "12345678\x83\x41"},
      {kUp, "ab\x83\x61", "AB\x83\x61"},
      {kUp, "  hello  ", "  HELLO"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Given);
    std::vector<uint8_t> image = Image(*cursor);
    SetText(*cursor, image, c.FieldNo, c.Given);
    EXPECT_EQ(Text(*cursor, image, c.FieldNo), c.Stored);
    // The bytes after the text are zero, the terminator included.
    const TFieldDefinition& f = Def(*cursor, c.FieldNo);
    const size_t length = c.Stored == "<null>" ? 0 : c.Stored.size();
    for (size_t i = f.Offset + 1 + length; i < f.Offset + 1U + f.DataSize; ++i) EXPECT_EQ(image[i], 0) << i;
  }
}

TEST_F(CursorFieldsTest, AStringOverwritesALongerOneCompletely) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  SetText(*cursor, image, kName, "long value");
  SetText(*cursor, image, kName, "ab");
  EXPECT_EQ(Text(*cursor, image, kName), "ab");
  SetText(*cursor, image, kName, "");
  EXPECT_EQ(NullFlag(*cursor, image, kName), 0);
  EXPECT_EQ(image, Image(*cursor));
}

TEST_F(CursorFieldsTest, CaseFollowsTheTablesLanguage) {
  if (!IsInstalledLocale(kTurkish, 0)) GTEST_SKIP() << "no Turkish language driver";
  TTableDefinition t = ThingsDefinition();
  t.LocaleId = kTurkish;
  auto cursor = OpenThings(t);
  std::vector<uint8_t> image = Image(*cursor);
  SetText(*cursor, image, kUp, "istanbul");
  EXPECT_EQ(Text(*cursor, image, kUp), "\xDDSTANBUL");
  SetText(*cursor, image, kLow, "ISPARTA");
  EXPECT_EQ(Text(*cursor, image, kLow), "\xFDsparta");
}

TEST_F(CursorFieldsTest, UnknownFieldNumbersRaise9985) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  bool isNull = false;
  for (const int fieldNo : {0, -1, 18, 1000}) {
    EXPECT_ENGINE_ERROR(KURA_OUTOFRANGE, cursor->GetField(fieldNo, image.data(), isNull, nullptr));
    EXPECT_ENGINE_ERROR(KURA_OUTOFRANGE, cursor->SetField(fieldNo, image.data(), nullptr));
  }
}

TEST_F(CursorFieldsTest, ABlobFieldStoresItsReferenceWithTheMatchingNullFlag) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  uint8_t reference[8];
  WriteI32(reference, 12);
  WriteI32(reference + 4, 99);
  cursor->SetField(kMemo, image.data(), reference);
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 1);
  EXPECT_EQ(Reference(*cursor, image, kMemo), 12);
  EXPECT_EQ(BlobIdOf(*cursor, image, kMemo), 99);
  WriteI32(reference, 0);
  cursor->SetField(kMemo, image.data(), reference);
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 0);
  EXPECT_EQ(image, Image(*cursor));

  // An open handle: the flag says whether the open value is empty.
  std::vector<uint8_t> open = Image(*cursor);
  int32_t size = -1;
  ASSERT_EQ(cursor->OpenBlob(kMemo, open.data(), TBlobOpenMode::ReadWrite, size), 0);
  std::vector<uint8_t> handle(open.begin() + Def(*cursor, kMemo).Offset + 1,
                              open.begin() + Def(*cursor, kMemo).Offset + 9);
  cursor->SetField(kMemo, image.data(), handle.data());
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 0);
  ASSERT_EQ(cursor->PutBlob(kMemo, open.data(), 0, 3, reinterpret_cast<const uint8_t*>("abc")), 0);
  cursor->SetField(kMemo, image.data(), handle.data());
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 1);
  // A negative number that is no handle of this cursor counts as empty.
  WriteI32(reference, -5);
  cursor->SetField(kMemo, image.data(), reference);
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 0);
}

// ---------------------------------------------------------------------------------------
// Validity checks

TTableDefinition ChecksDefinition(uint16_t localeId = 0) {
  TTableDefinition t;
  t.LocaleId = localeId;
  t.Fields = {Field("A", TFieldType::Integer), Field("B", TFieldType::Integer),
              Field("C", TFieldType::String, 10), Field("D", TFieldType::Date),
              Field("E", TFieldType::Float), Field("F", TFieldType::Bcd),
              Field("G", TFieldType::Timestamp), Field("H", TFieldType::Word),
              Field("M", TFieldType::Blob)};
  t.Fields[0].Required = true;
  t.Fields[1].MinValue = "10";
  t.Fields[1].MaxValue = "20";
  t.Fields[2].MinValue = "b";
  t.Fields[2].MaxValue = "m";
  t.Fields[3].MinValue = "2000-01-01";
  t.Fields[3].MaxValue = "current_date";
  t.Fields[4].MinValue = "-1.5";
  t.Fields[4].MaxValue = "1.5";
  t.Fields[5].Scale = 2;
  t.Fields[5].MinValue = "0";
  t.Fields[5].MaxValue = "99.99";
  t.Fields[6].MaxValue = "CURRENT_TIMESTAMP";
  t.Fields[7].MaxValue = "100";
  t.Fields[8].Required = true;
  return t;
}

TEST_F(CursorFieldsTest, ValidityChecksStopAtTheFirstFailingField) {
  const int32_t today = *EncodeDate(2024, 6, 15);
  SetLocalClock([today] { return TLocalDateTime{today, 12 * 3600000}; });
  auto cursor = OpenThings(ChecksDefinition(), "checks");
  // A valid record; each case changes it.
  auto valid = [&] {
    std::vector<uint8_t> image = Image(*cursor);
    SetInt32(*cursor, image, 1, 1);
    SetInt32(*cursor, image, 2, 15);
    SetText(*cursor, image, 3, "hello");
    SetInt32(*cursor, image, 4, today);
    std::vector<uint8_t> v(kBcdDataSize);
    WriteF64(v.data(), 0.5);
    cursor->SetField(5, image.data(), v.data());
    EXPECT_TRUE(FixedToBcd(500000, 2, v.data()));
    cursor->SetField(6, image.data(), v.data());
    WriteF64(v.data(), MakeTimestamp(today, 12 * 3600000));
    cursor->SetField(7, image.data(), v.data());
    WriteU16(v.data(), 100);
    cursor->SetField(8, image.data(), v.data());
    WriteI32(v.data(), 3);
    WriteI32(v.data() + 4, 1);
    cursor->SetField(9, image.data(), v.data());
    return image;
  };
  struct TCase {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Change;
    TErrorCode Code;
    const char* Field;
  };
  const std::vector<TCase> cases = {
      {"valid", [](auto&) {}, 0, ""},
      {"required null", [&](auto& r) { cursor->SetField(1, r.data(), nullptr); }, KURA_REQDERR, "A"},
      {"required blob null", [&](auto& r) { cursor->SetField(9, r.data(), nullptr); }, KURA_REQDERR, "M"},
      {"below minimum", [&](auto& r) { SetInt32(*cursor, r, 2, 9); }, KURA_MINVALERR, "B"},
      {"at minimum", [&](auto& r) { SetInt32(*cursor, r, 2, 10); }, 0, ""},
      {"at maximum", [&](auto& r) { SetInt32(*cursor, r, 2, 20); }, 0, ""},
      {"above maximum", [&](auto& r) { SetInt32(*cursor, r, 2, 21); }, KURA_MAXVALERR, "B"},
      {"null compares as zero", [&](auto& r) { cursor->SetField(2, r.data(), nullptr); }, KURA_MINVALERR, "B"},
      {"first failure wins",
       [&](auto& r) {
         cursor->SetField(1, r.data(), nullptr);
         SetInt32(*cursor, r, 2, 99);
       },
       KURA_REQDERR, "A"},
      {"string below", [&](auto& r) { SetText(*cursor, r, 3, "a"); }, KURA_MINVALERR, "C"},
      {"string above", [&](auto& r) { SetText(*cursor, r, 3, "z"); }, KURA_MAXVALERR, "C"},
      {"string in byte order", [&](auto& r) { SetText(*cursor, r, 3, "M"); }, KURA_MINVALERR, "C"},
      {"date before", [&](auto& r) { SetInt32(*cursor, r, 4, *EncodeDate(1999, 12, 31)); }, KURA_MINVALERR, "D"},
      {"date after today", [&](auto& r) { SetInt32(*cursor, r, 4, today + 1); }, KURA_MAXVALERR, "D"},
      {"float below",
       [&](auto& r) {
         uint8_t v[8];
         WriteF64(v, -1.75);
         cursor->SetField(5, r.data(), v);
       },
       KURA_MINVALERR, "E"},
      {"bcd above",
       [&](auto& r) {
         uint8_t v[kBcdDataSize];
         EXPECT_TRUE(FixedToBcd(1000000, 2, v));
         cursor->SetField(6, r.data(), v);
       },
       KURA_MAXVALERR, "F"},
      {"bcd negative",
       [&](auto& r) {
         uint8_t v[kBcdDataSize];
         EXPECT_TRUE(FixedToBcd(-100, 2, v));
         cursor->SetField(6, r.data(), v);
       },
       KURA_MINVALERR, "F"},
      {"timestamp after now",
       [&](auto& r) {
         uint8_t v[8];
         WriteF64(v, MakeTimestamp(today, 12 * 3600000 + 1));
         cursor->SetField(7, r.data(), v);
       },
       KURA_MAXVALERR, "G"},
      {"unsigned above",
       [&](auto& r) {
         uint8_t v[2];
         WriteU16(v, 101);
         cursor->SetField(8, r.data(), v);
       },
       KURA_MAXVALERR, "H"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<uint8_t> image = valid();
    c.Change(image);
    const auto error = EngineErrorOf([&] { cursor->CheckValidity(image.data()); });
    if (!error) {
      EXPECT_EQ(c.Code, 0);
      continue;
    }
    EXPECT_EQ(error->ErrorCode, c.Code);
    EXPECT_EQ(error->ErrorFieldName, c.Field);
    EXPECT_EQ(error->ErrorTableName, "checks");
  }
}

TEST_F(CursorFieldsTest, StringLimitsCompareWithTheTablesCollation) {
  if (!IsInstalledLocale(kEnglish, 0)) GTEST_SKIP() << "no English language driver";
  auto cursor = OpenThings(ChecksDefinition(kEnglish), "checks");
  std::vector<uint8_t> image = Image(*cursor);
  SetInt32(*cursor, image, 1, 1);
  SetInt32(*cursor, image, 2, 15);
  SetInt32(*cursor, image, 4, *EncodeDate(2001, 1, 1));
  uint8_t v[8] = {3, 0, 0, 0, 1, 0, 0, 0};
  cursor->SetField(9, image.data(), v);
  // "C" sorts before "b" in byte order, between "b" and "m" in the language's order.
  SetText(*cursor, image, 3, "C");
  EXPECT_EQ(EngineErrorCodeOf([&] { cursor->CheckValidity(image.data()); }), 0);
  SetText(*cursor, image, 3, "A");
  EXPECT_ENGINE_ERROR(KURA_MINVALERR, cursor->CheckValidity(image.data()));
  SetText(*cursor, image, 3, "N");
  EXPECT_ENGINE_ERROR(KURA_MAXVALERR, cursor->CheckValidity(image.data()));
}

TEST_F(CursorFieldsTest, ALimitTextThatIsNoValueRaises10006) {
  auto cursor = OpenThings(ChecksDefinition(), "checks");
  TCursorInternals::Table(*cursor).DataFile().UpdateFieldDefinition(2, "B", "", false, "ten", "", "");
  std::vector<uint8_t> image = Image(*cursor);
  SetInt32(*cursor, image, 1, 1);
  const auto error = EngineErrorOf([&] { cursor->CheckValidity(image.data()); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorCode, KURA_INVALIDVCHKSTRUCT);
  EXPECT_EQ(error->ErrorFieldName, "B");
}

// ---------------------------------------------------------------------------------------
// Default values

TEST_F(CursorFieldsTest, DefaultsAreConvertedByFieldType) {
  const int32_t today = *EncodeDate(2024, 2, 29);
  const int32_t now = ((13 * 60 + 45) * 60 + 30) * 1000 + 250;
  SetLocalClock([=] { return TLocalDateTime{today, now}; });
  TTableDefinition t;
  t.Fields = {Field("S1", TFieldType::String, 10),    Field("S2", TFieldType::String, 10),
              Field("D1", TFieldType::Date),          Field("D2", TFieldType::Date),
              Field("T1", TFieldType::Time),          Field("T2", TFieldType::Time),
              Field("TS1", TFieldType::Timestamp),    Field("TS2", TFieldType::Timestamp),
              Field("TS3", TFieldType::Timestamp),    Field("TS4", TFieldType::Timestamp),
              Field("B", TFieldType::Boolean),        Field("SI", TFieldType::SmallInt),
              Field("I", TFieldType::Integer),        Field("W", TFieldType::Word),
              Field("L", TFieldType::LargeInt),       Field("F", TFieldType::Float),
              Field("N", TFieldType::Bcd),            Field("NONE", TFieldType::Integer),
              Field("LW", TFieldType::LongWord),      Field("BY", TFieldType::Bytes, 4)};
  const std::vector<std::string> defaults = {
      "  hello  ", "",          "current_date", "2004-2-5",          "CURRENT_TIME", "10:30 PM",
      "Current_Timestamp", "CURRENT_DATE", "current_time", "2004-01-05 10:30", "true", "-12",
      "70000", "65535", "123456789012", "1.25", "3.14159", "", "7", "abcd"};
  for (size_t i = 0; i < defaults.size(); ++i) t.Fields[i].DefaultValue = defaults[i];
  t.Fields[0].CharCase = TCharCase::Upper;
  t.Fields[16].Scale = 2;
  auto cursor = OpenThings(t, "defaults");
  std::vector<uint8_t> image = Image(*cursor);
  ApplyDefaultValues(*cursor, image.data());

  bool isNull = false;
  auto value = [&](int fieldNo) { return Value(*cursor, image, fieldNo, isNull); };
  EXPECT_EQ(Def(*cursor, 1).DefaultValue, "  hello  ");
  EXPECT_EQ(Text(*cursor, image, 1), "  HELLO");
  EXPECT_EQ(Text(*cursor, image, 2), "<null>");
  EXPECT_EQ(ReadI32(value(3).data()), today);
  EXPECT_EQ(ReadI32(value(4).data()), *EncodeDate(2004, 2, 5));
  EXPECT_EQ(ReadI32(value(5).data()), now);
  EXPECT_EQ(ReadI32(value(6).data()), *EncodeTime(22, 30, 0, 0));
  EXPECT_EQ(ReadF64(value(7).data()), MakeTimestamp(today, now));
  EXPECT_EQ(ReadF64(value(8).data()), MakeTimestamp(today, 0));
  EXPECT_EQ(ReadF64(value(9).data()), MakeTimestamp(kTimeBaseDate, now));
  EXPECT_EQ(ReadF64(value(10).data()), MakeTimestamp(*EncodeDate(2004, 1, 5), *EncodeTime(10, 30, 0, 0)));
  EXPECT_EQ(ReadU16(value(11).data()), 1);
  EXPECT_EQ(ReadI16(value(12).data()), -12);
  EXPECT_EQ(ReadI32(value(13).data()), 70000);
  EXPECT_EQ(ReadU16(value(14).data()), 65535);
  EXPECT_EQ(ReadI64(value(15).data()), 123456789012LL);
  EXPECT_EQ(ReadF64(value(16).data()), 1.25);
  EXPECT_EQ(BcdToFixed(value(17).data()), 31400);
  EXPECT_EQ(BcdPlaces(value(17).data()), 2);
  for (const int fieldNo : {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}) {
    value(fieldNo);
    EXPECT_FALSE(isNull) << fieldNo;
  }
  // An empty default, and types that take no default, stay NULL.
  for (const int fieldNo : {2, 18, 19, 20}) {
    value(fieldNo);
    EXPECT_TRUE(isNull) << fieldNo;
  }
}

TEST_F(CursorFieldsTest, ADefaultTextThatIsNoValueRaises10006) {
  TTableDefinition t;
  t.Fields = {Field("D", TFieldType::Date)};
  auto cursor = OpenThings(t, "baddefault");
  TCursorInternals::Table(*cursor).DataFile().UpdateFieldDefinition(1, "D", "", false, "", "", "2004-02-30");
  std::vector<uint8_t> image = Image(*cursor);
  const auto error = EngineErrorOf([&] { ApplyDefaultValues(*cursor, image.data()); });
  ASSERT_TRUE(error) << "no error";
  EXPECT_EQ(error->ErrorCode, KURA_INVALIDVCHKSTRUCT);
  EXPECT_EQ(error->ErrorFieldName, "D");
}

TEST_F(CursorFieldsTest, TheClockCanBeReplacedAndRestored) {
  const TLocalClock previous = SetLocalClock([] { return TLocalDateTime{5, 6}; });
  EXPECT_FALSE(previous);
  EXPECT_EQ(LocalNow().Date, 5);
  EXPECT_EQ(LocalNow().Time, 6);
  EXPECT_TRUE(SetLocalClock({}));
  const TLocalDateTime now = LocalNow();
  EXPECT_TRUE(IsValidDate(now.Date));
  EXPECT_TRUE(IsValidTime(now.Time));
}

// ---------------------------------------------------------------------------------------
// BLOB handles

TEST_F(CursorFieldsTest, OpeningTwiceSharesOneHandleThatTheLastFreeReleases) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  int32_t size = -1;
  ASSERT_EQ(cursor->OpenBlob(kMemo, image.data(), TBlobOpenMode::ReadWrite, size), 0);
  EXPECT_EQ(size, 0);
  const int32_t handle = Reference(*cursor, image, kMemo);
  EXPECT_LT(handle, 0);
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 0);
  ASSERT_EQ(cursor->PutBlob(kMemo, image.data(), 0, 5, reinterpret_cast<const uint8_t*>("hello")), 0);
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 1);
  ASSERT_EQ(cursor->OpenBlob(kMemo, image.data(), TBlobOpenMode::Read, size), 0);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(Reference(*cursor, image, kMemo), handle);

  EXPECT_EQ(cursor->FreeBlob(kMemo, image.data()), 0);
  EXPECT_EQ(Reference(*cursor, image, kMemo), handle);
  EXPECT_EQ(cursor->GetBlobSize(kMemo, image.data(), size), 0);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(cursor->FreeBlob(kMemo, image.data()), 0);
  // The stored reference (none) is back; the unposted value is gone.
  EXPECT_EQ(image, Image(*cursor));
  EXPECT_EQ(cursor->FreeBlob(kMemo, image.data()), KURA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->GetBlobSize(kMemo, image.data(), size), KURA_INVALIDBLOBHANDLE);
}

TEST_F(CursorFieldsTest, EveryOperationOnAFieldThatIsNoBlobReturns10753) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  for (const int fieldNo : std::vector<int>{kName, kId, kInt, 0, 99}) {
    SCOPED_TRACE(fieldNo);
    int32_t size = 0, count = 0;
    uint8_t bytes[4] = {};
    EXPECT_EQ(cursor->OpenBlob(fieldNo, image.data(), TBlobOpenMode::Read, size), KURA_NOTABLOB);
    EXPECT_EQ(cursor->GetBlob(fieldNo, image.data(), 0, 4, bytes, count), KURA_NOTABLOB);
    EXPECT_EQ(cursor->PutBlob(fieldNo, image.data(), 0, 4, bytes), KURA_NOTABLOB);
    EXPECT_EQ(cursor->TruncateBlob(fieldNo, image.data(), 0), KURA_NOTABLOB);
    EXPECT_EQ(cursor->GetBlobSize(fieldNo, image.data(), size), KURA_NOTABLOB);
    EXPECT_EQ(cursor->FreeBlob(fieldNo, image.data()), KURA_NOTABLOB);
  }
  EXPECT_EQ(image, Image(*cursor));
}

TEST_F(CursorFieldsTest, OperationsWithoutAnOpenHandleReturn10030) {
  auto cursor = OpenThings();
  auto other = Open("things");
  std::vector<uint8_t> image = Image(*cursor);
  // Nothing open; then a handle of another cursor; then a handle of another field.
  std::vector<std::vector<uint8_t>> images(3, image);
  int32_t size = 0;
  ASSERT_EQ(other->OpenBlob(kMemo, images[1].data(), TBlobOpenMode::Read, size), 0);
  ASSERT_EQ(cursor->OpenBlob(kGraphic, images[2].data(), TBlobOpenMode::Read, size), 0);
  std::memcpy(images[2].data() + Def(*cursor, kMemo).Offset + 1, images[2].data() + Def(*cursor, kGraphic).Offset + 1, 4);
  for (size_t i = 0; i < images.size(); ++i) {
    SCOPED_TRACE(i);
    uint8_t* r = images[i].data();
    int32_t count = 0;
    uint8_t bytes[4] = {};
    EXPECT_EQ(cursor->GetBlob(kMemo, r, 0, 4, bytes, count), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(cursor->PutBlob(kMemo, r, 0, 4, bytes), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(cursor->TruncateBlob(kMemo, r, 0), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(cursor->GetBlobSize(kMemo, r, size), KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(cursor->FreeBlob(kMemo, r), KURA_INVALIDBLOBHANDLE);
  }
  // Opening over a handle that is not this cursor's for this field is refused.
  EXPECT_EQ(cursor->OpenBlob(kMemo, images[1].data(), TBlobOpenMode::Read, size), KURA_INVALIDBLOBOFFSET);
  EXPECT_EQ(cursor->OpenBlob(kMemo, images[2].data(), TBlobOpenMode::Read, size), KURA_INVALIDBLOBOFFSET);
  // The other cursor still owns its handle.
  EXPECT_EQ(other->FreeBlob(kMemo, images[1].data()), 0);
  EXPECT_EQ(images[1], image);
}

TEST_F(CursorFieldsTest, ACursorOpensAtMost128Blobs) {
  auto cursor = OpenThings();
  std::vector<std::vector<uint8_t>> images(TCursorBlobs::kMaxOpenBlobs + 1, Image(*cursor));
  int32_t size = 0;
  for (int i = 0; i < TCursorBlobs::kMaxOpenBlobs; ++i) {
    ASSERT_EQ(cursor->OpenBlob(kMemo, images[static_cast<size_t>(i)].data(), TBlobOpenMode::Read, size), 0) << i;
  }
  std::vector<uint8_t>& last = images.back();
  EXPECT_EQ(cursor->OpenBlob(kMemo, last.data(), TBlobOpenMode::Read, size), KURA_OPENBLOBLIMIT);
  EXPECT_EQ(last, Image(*cursor));
  // Reopening an open field takes no new handle.
  EXPECT_EQ(cursor->OpenBlob(kMemo, images[0].data(), TBlobOpenMode::Read, size), 0);
  EXPECT_EQ(cursor->FreeBlob(kMemo, images[0].data()), 0);
  EXPECT_EQ(cursor->FreeBlob(kMemo, images[0].data()), 0);
  EXPECT_EQ(cursor->OpenBlob(kMemo, last.data(), TBlobOpenMode::Read, size), 0);
  EXPECT_EQ(cursor->OpenBlob(kGraphic, last.data(), TBlobOpenMode::Read, size), KURA_OPENBLOBLIMIT);
  // FreeAllBlobs releases every handle.
  cursor->FreeAllBlobs();
  EXPECT_EQ(cursor->GetBlobSize(kMemo, last.data(), size), KURA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->GetBlobSize(kMemo, images[1].data(), size), KURA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->OpenBlob(kGraphic, last.data(), TBlobOpenMode::Read, size), 0);
}

TEST_F(CursorFieldsTest, GetBlobPastTheEndDeliversWhatRemainsAnd8711) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  const std::string text = "hello world";
  PutWhole(*cursor, image, kMemo, std::vector<uint8_t>(text.begin(), text.end()));
  struct TCase {
    int32_t Offset, Length;
    int Code;
    std::string Read;
  };
  const std::vector<TCase> cases = {
      {0, 11, 0, "hello world"},  {6, 5, 0, "world"},        {0, 0, 0, ""},
      {6, 10, KURA_ENDOFBLOB, "world"}, {11, 1, KURA_ENDOFBLOB, ""}, {20, 3, KURA_ENDOFBLOB, ""},
      {11, 0, 0, ""},             {-1, 3, KURA_INVALIDBLOBOFFSET, ""}, {0, -1, KURA_INVALIDBLOBLEN, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Offset) + "+" + std::to_string(c.Length));
    std::vector<uint8_t> bytes(16, '#');
    int32_t count = -1;
    EXPECT_EQ(cursor->GetBlob(kMemo, image.data(), c.Offset, c.Length, bytes.data(), count), c.Code);
    EXPECT_EQ(count, static_cast<int32_t>(c.Read.size()));
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(c.Read.size())), c.Read);
    EXPECT_EQ(bytes[c.Read.size()], '#');
  }
}

TEST_F(CursorFieldsTest, PutAndTruncateShapeTheOpenValue) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  int32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(kGraphic, image.data(), TBlobOpenMode::ReadWrite, size), 0);
  // Writing beyond the end fills the gap with zeros.
  ASSERT_EQ(cursor->PutBlob(kGraphic, image.data(), 3, 2, reinterpret_cast<const uint8_t*>("xy")), 0);
  ASSERT_EQ(cursor->GetBlobSize(kGraphic, image.data(), size), 0);
  EXPECT_EQ(size, 5);
  ASSERT_EQ(cursor->PutBlob(kGraphic, image.data(), 0, 2, reinterpret_cast<const uint8_t*>("ab")), 0);
  uint8_t bytes[5];
  int32_t count = 0;
  ASSERT_EQ(cursor->GetBlob(kGraphic, image.data(), 0, 5, bytes, count), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 5), std::string("ab\0xy", 5));
  ASSERT_EQ(cursor->TruncateBlob(kGraphic, image.data(), 1), 0);
  ASSERT_EQ(cursor->GetBlobSize(kGraphic, image.data(), size), 0);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(NullFlag(*cursor, image, kGraphic), 1);
  ASSERT_EQ(cursor->TruncateBlob(kGraphic, image.data(), 0), 0);
  EXPECT_EQ(NullFlag(*cursor, image, kGraphic), 0);
  EXPECT_EQ(cursor->PutBlob(kGraphic, image.data(), -1, 1, bytes), KURA_INVALIDBLOBOFFSET);
  EXPECT_EQ(cursor->PutBlob(kGraphic, image.data(), 0, -1, bytes), KURA_INVALIDBLOBLEN);
  EXPECT_EQ(cursor->PutBlob(kGraphic, image.data(), 0x7FFFFFFF, 1, bytes), KURA_INVALIDBLOBLEN);
  EXPECT_EQ(cursor->TruncateBlob(kGraphic, image.data(), -1), KURA_INVALIDBLOBLEN);
  EXPECT_EQ(cursor->PutBlob(kGraphic, image.data(), 0, 0, nullptr), 0);
}

TEST(CursorBlobsTest, HandlesAreNegativeDistinctAndForgottenOnRemove) {
  TCursorBlobs blobs;
  TCursorBlobs others;
  std::vector<int32_t> handles;
  for (int i = 0; i < TCursorBlobs::kMaxOpenBlobs; ++i) {
    handles.push_back(blobs.Add(blobs.NewBuffer()));
    // Another object's handles never equal this one's.
    const int32_t foreign = others.Add(others.NewBuffer());
    EXPECT_EQ(blobs.Find(foreign), nullptr);
  }
  EXPECT_TRUE(blobs.Full());
  std::vector<int32_t> sorted = handles;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  EXPECT_LT(sorted.back(), 0);
  EXPECT_EQ(blobs.Handles(), handles);
  for (const int32_t handle : handles) ASSERT_NE(blobs.Find(handle), nullptr);
  EXPECT_EQ(blobs.Find(0), nullptr);
  EXPECT_EQ(blobs.Find(5), nullptr);
  blobs.Find(handles[3])->Data.assign(10, 1);
  blobs.Remove(handles[3]);
  EXPECT_EQ(blobs.Find(handles[3]), nullptr);
  EXPECT_EQ(blobs.Count(), TCursorBlobs::kMaxOpenBlobs - 1);
  // A reused buffer comes back empty.
  std::unique_ptr<TBlobBuffer> reused = blobs.NewBuffer();
  EXPECT_EQ(reused->Length(), 0U);
  EXPECT_EQ(reused->OpenCount, 0);
  blobs.Clear();
  EXPECT_EQ(blobs.Count(), 0);
  EXPECT_EQ(blobs.Find(handles[0]), nullptr);
}

// ---------------------------------------------------------------------------------------
// Posting and deleting BLOB values

TEST_F(CursorFieldsTest, AnEmptyOpenBlobIsPostedAsNoValue) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  PutWhole(*cursor, image, kMemo, {});
  const int32_t lastId = TCursorInternals::Table(*cursor).DataFile().Header().LastBlobId;
  const int32_t recNo = Append(*cursor, image);
  EXPECT_EQ(Reference(*cursor, image, kMemo), 0);
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 0);
  EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().Header().LastBlobId, lastId);
  EXPECT_EQ(TCursorInternals::Table(*cursor).BlobFile()->BlockCount(), 0);
  std::vector<uint8_t> stored = StoredRecord(recNo);
  EXPECT_EQ(ReadWhole(*cursor, stored, kMemo), std::vector<uint8_t>{});
}

TEST_F(CursorFieldsTest, PostedBlobsAreWrittenAndReadBackThroughAFreshHandle) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  const std::vector<uint8_t> memo = Bytes(1000, 1);
  const std::vector<uint8_t> graphic = Bytes(494, 2);
  PutWhole(*cursor, image, kMemo, memo);
  PutWhole(*cursor, image, kGraphic, graphic);
  const int32_t lastId = TCursorInternals::Table(*cursor).DataFile().Header().LastBlobId;
  const int32_t recNo = Append(*cursor, image);
  // The image now holds the new references, and the handles are gone.
  EXPECT_GT(Reference(*cursor, image, kMemo), 0);
  EXPECT_GT(Reference(*cursor, image, kGraphic), 0);
  EXPECT_EQ(BlobIdOf(*cursor, image, kMemo), lastId + 1);
  EXPECT_EQ(BlobIdOf(*cursor, image, kGraphic), lastId + 2);
  EXPECT_EQ(NullFlag(*cursor, image, kMemo), 1);
  int32_t size = 0;
  EXPECT_EQ(cursor->GetBlobSize(kMemo, image.data(), size), KURA_INVALIDBLOBHANDLE);
  EXPECT_EQ(TCursorInternals::Table(*cursor).BlobFile()->BlockCount(), 4);  // 1000 bytes take 3 blocks of 494, 494 one

  std::vector<uint8_t> stored = StoredRecord(recNo);
  auto reader = Open("things");
  EXPECT_EQ(ReadWhole(*reader, stored, kMemo), memo);
  EXPECT_EQ(ReadWhole(*reader, stored, kGraphic), graphic);
  EXPECT_EQ(Reference(*reader, stored, kMemo), Reference(*cursor, image, kMemo));
}

TEST_F(CursorFieldsTest, ModifiedBlobsReplaceShortenOrRemoveTheStoredChain) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  PutWhole(*cursor, image, kMemo, Bytes(1200, 3));  // 3 blocks
  const int32_t recNo = Append(*cursor, image);
  TBlobFile& file = *TCursorInternals::Table(*cursor).BlobFile();
  const int32_t firstBlock = Reference(*cursor, image, kMemo);
  ASSERT_EQ(file.BlockCount(), 3);

  struct TCase {
    const char* Name;
    size_t Length;
    int32_t Blocks;      // blocks in the file afterwards
    int32_t FreeBlocks;  // of them free
  };
  const std::vector<TCase> cases = {
      {"same length, new content", 1200, 3, 0},
      {"longer", 1400, 3, 0},  // still three blocks of 494
      {"longer still", 2000, 5, 0},
      {"shorter", 600, 5, 3},
      {"removed", 0, 5, 5},
      {"written again", 300, 5, 4},
  };
  uint8_t seed = 10;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<uint8_t> edit = StoredRecord(recNo);
    const int32_t oldId = BlobIdOf(*cursor, edit, kMemo);
    const std::vector<uint8_t> value = Bytes(c.Length, ++seed);
    PutWhole(*cursor, edit, kMemo, value);
    Modify(*cursor, recNo, edit);
    EXPECT_EQ(file.BlockCount(), c.Blocks);
    EXPECT_EQ(FreeBlockCount(file), c.FreeBlocks);
    std::vector<uint8_t> stored = StoredRecord(recNo);
    EXPECT_EQ(stored, edit);
    if (c.Length == 0) {
      EXPECT_EQ(Reference(*cursor, stored, kMemo), 0);
      EXPECT_EQ(BlobIdOf(*cursor, stored, kMemo), 0);
      EXPECT_EQ(NullFlag(*cursor, stored, kMemo), 0);
    } else {
      EXPECT_EQ(NullFlag(*cursor, stored, kMemo), 1);
      EXPECT_NE(BlobIdOf(*cursor, stored, kMemo), oldId);
      if (oldId != 0) {
        EXPECT_EQ(Reference(*cursor, stored, kMemo), firstBlock);  // the chain is reused in place
      }
    }
    auto reader = Open("things");
    EXPECT_EQ(ReadWhole(*reader, stored, kMemo), value);
  }
}

TEST_F(CursorFieldsTest, AnUnchangedOpenBlobKeepsItsReference) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  PutWhole(*cursor, image, kMemo, Bytes(700, 4));
  const int32_t recNo = Append(*cursor, image);
  const int32_t lastId = TCursorInternals::Table(*cursor).DataFile().Header().LastBlobId;
  std::vector<uint8_t> edit = StoredRecord(recNo);
  int32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(kMemo, edit.data(), TBlobOpenMode::Read, size), 0);
  ASSERT_EQ(size, 700);
  Modify(*cursor, recNo, edit);
  EXPECT_EQ(edit, StoredRecord(recNo));
  EXPECT_EQ(Reference(*cursor, edit, kMemo), Reference(*cursor, image, kMemo));
  EXPECT_EQ(BlobIdOf(*cursor, edit, kMemo), BlobIdOf(*cursor, image, kMemo));
  EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().Header().LastBlobId, lastId);
  EXPECT_EQ(cursor->GetBlobSize(kMemo, edit.data(), size), KURA_INVALIDBLOBHANDLE);
}

TEST_F(CursorFieldsTest, FreeBlobDropsChangesAndRestoresTheStoredReference) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  PutWhole(*cursor, image, kMemo, Bytes(100, 5));
  const int32_t recNo = Append(*cursor, image);
  std::vector<uint8_t> edit = StoredRecord(recNo);
  PutWhole(*cursor, edit, kMemo, {});
  EXPECT_EQ(NullFlag(*cursor, edit, kMemo), 0);
  ASSERT_EQ(cursor->FreeBlob(kMemo, edit.data()), 0);
  EXPECT_EQ(edit, StoredRecord(recNo));
  EXPECT_EQ(ReadWhole(*cursor, edit, kMemo), Bytes(100, 5));
}

TEST_F(CursorFieldsTest, ANewRecordNeverSharesAnotherRecordsChain) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  PutWhole(*cursor, image, kMemo, Bytes(800, 6));
  const int32_t first = Append(*cursor, image);
  // A copy of the stored image, its BLOB opened but not changed, posted as a new record.
  std::vector<uint8_t> copy = StoredRecord(first);
  int32_t size = 0;
  ASSERT_EQ(cursor->OpenBlob(kMemo, copy.data(), TBlobOpenMode::Read, size), 0);
  const int32_t second = Append(*cursor, copy);
  EXPECT_NE(Reference(*cursor, copy, kMemo), Reference(*cursor, image, kMemo));
  EXPECT_EQ(TCursorInternals::Table(*cursor).BlobFile()->BlockCount(), 4);
  std::vector<uint8_t> a = StoredRecord(first);
  std::vector<uint8_t> b = StoredRecord(second);
  EXPECT_EQ(ReadWhole(*cursor, a, kMemo), Bytes(800, 6));
  EXPECT_EQ(ReadWhole(*cursor, b, kMemo), Bytes(800, 6));
}

TEST_F(CursorFieldsTest, ClearingABlobFieldFreesTheStoredChain) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  PutWhole(*cursor, image, kMemo, Bytes(600, 7));
  const int32_t recNo = Append(*cursor, image);
  std::vector<uint8_t> edit = StoredRecord(recNo);
  cursor->SetField(kMemo, edit.data(), nullptr);
  Modify(*cursor, recNo, edit);
  EXPECT_EQ(FreeBlockCount(*TCursorInternals::Table(*cursor).BlobFile()), 2);
  EXPECT_EQ(NullFlag(*cursor, StoredRecord(recNo), kMemo), 0);
}

TEST_F(CursorFieldsTest, AForeignHandleIsNeverPosted) {
  auto cursor = OpenThings();
  auto other = Open("things");
  std::vector<uint8_t> image = Image(*cursor);
  PutWhole(*cursor, image, kGraphic, Bytes(10, 8));
  int32_t size = 0;
  ASSERT_EQ(other->OpenBlob(kMemo, image.data(), TBlobOpenMode::ReadWrite, size), 0);
  const std::vector<uint8_t> before = image;
  TCursorInternals::Table(*cursor).WriteLock();
  const auto error = EngineErrorOf([&] { TCursorInternals::WriteOpenBlobs(*cursor, image.data(), nullptr); });
  EXPECT_TRUE(error) << "no error";
  if (error) {
    EXPECT_EQ(error->ErrorCode, KURA_INVALIDBLOBHANDLE);
    EXPECT_EQ(error->ErrorFieldName, "M");
  }
  TCursorInternals::Table(*cursor).WriteUnlock();
  // Nothing was written or released.
  EXPECT_EQ(image, before);
  EXPECT_EQ(TCursorInternals::Table(*cursor).BlobFile()->BlockCount(), 0);
  EXPECT_EQ(cursor->GetBlobSize(kGraphic, image.data(), size), 0);
  EXPECT_EQ(size, 10);
}

TEST_F(CursorFieldsTest, DeletingFreesEveryChainOfTheStoredRecord) {
  auto cursor = OpenThings();
  std::vector<uint8_t> image = Image(*cursor);
  PutWhole(*cursor, image, kMemo, Bytes(1000, 9));
  PutWhole(*cursor, image, kGraphic, Bytes(20, 9));
  const int32_t recNo = Append(*cursor, image);
  TBlobFile& file = *TCursorInternals::Table(*cursor).BlobFile();
  ASSERT_EQ(file.BlockCount(), 4);
  const std::vector<uint8_t> stored = StoredRecord(recNo);
  TCursorInternals::Table(*cursor).WriteLock();
  TCursorInternals::FreeStoredBlobs(*cursor, stored.data());
  TCursorInternals::Table(*cursor).FlushTable(false);
  TCursorInternals::Table(*cursor).WriteUnlock();
  EXPECT_EQ(FreeBlockCount(file), 4);
  // Freed blocks are used again before the file grows.
  std::vector<uint8_t> next = Image(*cursor);
  PutWhole(*cursor, next, kMemo, Bytes(1500, 1));
  Append(*cursor, next);
  EXPECT_EQ(file.BlockCount(), 4);
  EXPECT_EQ(FreeBlockCount(file), 0);
}

}  // namespace
}  // namespace kura::cursor_test
