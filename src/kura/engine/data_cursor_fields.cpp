// Field values of record images, their validity checks and default values, and the BLOB
// handles of a cursor.
//
// A record image is laid out as record.h describes. A BLOB field's 8 data bytes hold the
// stored reference (first block, BLOB id) or, while the field is open on this cursor,
// the handle of its buffer in the first 4 bytes (cursor_blobs.h). While a handle is in
// the image its null flag says whether the open value is non-empty; the stored reference
// comes back when the last use of the handle is released, or the new reference is put
// in when the record is posted (WriteOpenBlobs).

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/calendar.h"
#include "kura/base/collation.h"
#include "kura/base/language_driver.h"
#include "kura/base/names_paths.h"
#include "kura/base/text_forms.h"
#include "kura/engine/cursor_blobs.h"
#include "kura/engine/cursor_internals.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/default_values.h"
#include "kura/engine/table_read_lock.h"
#include "kura/storage/blob_file.h"
#include "kura/storage/blob_reference.h"
#include "kura/storage/data_file.h"
#include "kura/storage/key_encoding.h"

namespace kura {

// ---------------------------------------------------------------------------------------
// The clock of CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP

namespace {

struct TClockState {
  std::mutex Mutex;
  TLocalClock Clock;
};

TClockState& ClockState() {
  static TClockState state;
  return state;
}

}  // namespace

TLocalClock SetLocalClock(TLocalClock clock) {
  TClockState& state = ClockState();
  std::lock_guard lock(state.Mutex);
  TLocalClock previous = std::move(state.Clock);
  state.Clock = std::move(clock);
  return previous;
}

TLocalDateTime LocalNow() {
  {
    TClockState& state = ClockState();
    std::lock_guard lock(state.Mutex);
    if (state.Clock) return state.Clock();
  }
  // One reading of the machine's clock, split into day and time of day.
  const std::optional<TTimestampParts> parts = SplitTimestamp(CurrentTimestamp());
  if (!parts) return TLocalDateTime{CurrentDate(), CurrentTime()};
  return TLocalDateTime{parts->Date, parts->Time};
}

namespace {

// Data bytes of a NULL value: a NULL compares as its zero-filled data.
constexpr uint8_t kZeroData[kMaxDataSize] = {};

const TFieldDefinition* FieldOf(const TDataCursor& cursor, int fieldNo) {
  if (!cursor.Active() || fieldNo < 1) return nullptr;
  return TCursorInternals::Table(cursor).DataFile().FieldByPosition(fieldNo);
}

const TFieldDefinition* BlobFieldOf(const TDataCursor& cursor, int fieldNo) {
  const TFieldDefinition* field = FieldOf(cursor, fieldNo);
  return field && field->FieldType == TFieldType::Blob && field->IsStored() ? field : nullptr;
}

TErrorNames CursorNames(const TDataCursor& cursor, const std::string& fieldName = {}) {
  TErrorNames names;
  if (cursor.Active()) names = TCursorInternals::Table(cursor).ErrorNames();
  names.TableName = cursor.TableName();
  names.FieldName = fieldName;
  return names;
}

[[noreturn]] void RaiseFieldError(const TDataCursor& cursor, TErrorCode code, const std::string& fieldName) {
  RaiseEngineError(code, CursorNames(cursor, fieldName));
}

// The case rules of the table's language (its code page's lead bytes too).
// Called for every string stored, so the names of the error are built only on failure.
const TCodePageCaseMap& CaseMapOf(const TDataCursor& cursor) {
  if (cursor.LocaleId() == 0) return EngineAnsiCaseMap();
  const TLanguageDriver* driver = TLanguageDriver::Find(cursor.LocaleId(), cursor.SortId());
  if (!driver) RaiseEngineError(KURA_CANNOTLOADLDDRV, CursorNames(cursor));
  return driver->CaseMap();
}

// How many of the first `length` bytes of text form whole characters: a lead byte of a
// double-byte code page whose trail byte was cut off is dropped with it.
size_t WholeCharacters(const TCodePageCaseMap& map, const char* text, size_t length) {
  if (!map.IsDoubleByte()) return length;
  size_t i = 0;
  while (i < length) {
    const size_t unit = map.IsLeadByte(static_cast<uint8_t>(text[i])) ? 2 : 1;
    if (i + unit > length) break;
    i += unit;
  }
  return i;
}

// The open buffer whose handle the field holds, when it is one of this cursor's and was
// opened for this field.
TBlobBuffer* OpenBufferOf(const TCursorBlobs* blobs, const TFieldDefinition& field, const uint8_t* record) {
  if (!blobs) return nullptr;
  TBlobBuffer* buffer = blobs->Find(BlobReferenceOf(record, field).FirstBlock);
  return buffer && buffer->FieldNo == field.FieldNo ? buffer : nullptr;
}

TBlobFile& BlobFileOf(const TDataCursor& cursor) {
  TBlobFile* file = TCursorInternals::Table(cursor).BlobFile();
  if (!file) RaiseEngineError(KURA_MEMOCORRUPT, CursorNames(cursor));
  return *file;
}

// ---- Texts of default, minimum and maximum values -------------------------------------

std::optional<int32_t> DateFromText(std::string_view text, const TLocalDateTime& now) {
  if (SameText(text, "CURRENT_DATE")) return now.Date;
  return TryTextToDate(text);
}

std::optional<int32_t> TimeFromText(std::string_view text, const TLocalDateTime& now) {
  if (SameText(text, "CURRENT_TIME")) return now.Time;
  return TryTextToTime(text);
}

std::optional<double> TimestampFromText(std::string_view text, const TLocalDateTime& now) {
  if (SameText(text, "CURRENT_TIMESTAMP")) return MakeTimestamp(now.Date, now.Time);
  if (SameText(text, "CURRENT_DATE")) return MakeTimestamp(now.Date, 0);
  if (SameText(text, "CURRENT_TIME")) return MakeTimestamp(kTimeBaseDate, now.Time);
  return TryTextToTimestamp(text);
}

// A decimal integer within the range of the integer type.
std::optional<int64_t> IntegerFromText(TFieldType type, std::string_view text) {
  const std::optional<int64_t> value = TryTextToInt64(text);
  if (!value) return std::nullopt;
  int64_t low = std::numeric_limits<int64_t>::min();
  int64_t high = std::numeric_limits<int64_t>::max();
  switch (type) {
    case TFieldType::SmallInt: low = -32768; high = 32767; break;
    case TFieldType::Integer: low = std::numeric_limits<int32_t>::min(); high = std::numeric_limits<int32_t>::max(); break;
    case TFieldType::Word: low = 0; high = 65535; break;
    case TFieldType::LongWord: low = 0; high = std::numeric_limits<uint32_t>::max(); break;
    default: break;
  }
  if (*value < low || *value > high) return std::nullopt;
  return value;
}

// The record encoding of a default text (DataSize bytes into out). False when the text
// is no value of the type; takesDefault is false for types that take no default.
bool DefaultData(const TFieldDefinition& field, std::string_view text, const TLocalDateTime& now, uint8_t* out,
                 bool& takesDefault) {
  takesDefault = true;
  switch (field.FieldType) {
    case TFieldType::Date: {
      const auto v = DateFromText(text, now);
      if (!v) return false;
      WriteI32(out, *v);
      return true;
    }
    case TFieldType::Time: {
      const auto v = TimeFromText(text, now);
      if (!v) return false;
      WriteI32(out, *v);
      return true;
    }
    case TFieldType::Timestamp: {
      const auto v = TimestampFromText(text, now);
      if (!v) return false;
      WriteF64(out, *v);
      return true;
    }
    case TFieldType::Boolean: {
      const auto v = TryTextToBoolean(text);
      if (!v) return false;
      WriteU16(out, *v ? 1 : 0);
      return true;
    }
    case TFieldType::SmallInt:
    case TFieldType::Word: {
      const auto v = IntegerFromText(field.FieldType, text);
      if (!v) return false;
      WriteU16(out, static_cast<uint16_t>(*v));
      return true;
    }
    case TFieldType::Integer: {
      const auto v = IntegerFromText(field.FieldType, text);
      if (!v) return false;
      WriteI32(out, static_cast<int32_t>(*v));
      return true;
    }
    case TFieldType::LargeInt: {
      const auto v = IntegerFromText(field.FieldType, text);
      if (!v) return false;
      WriteI64(out, *v);
      return true;
    }
    case TFieldType::Float: {
      const auto v = TryTextToFloat(text);
      if (!v) return false;
      WriteF64(out, *v);
      return true;
    }
    case TFieldType::Bcd: {
      const auto v = TryTextToFixed(text);
      return v && FixedToBcd(*v, field.Scale, out);
    }
    default: takesDefault = false; return false;
  }
}

// ---- Ordering values for the minimum and maximum checks -------------------------------

enum class TOrderKind : uint8_t { None, Integer, Real, Text };

struct TOrderValue {
  int64_t Integer = 0;
  double Real = 0;
  std::string_view Text;
};

TOrderKind OrderKindOf(TFieldType type) {
  switch (type) {
    case TFieldType::String: return TOrderKind::Text;
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::Boolean:
    case TFieldType::SmallInt:
    case TFieldType::Integer:
    case TFieldType::Word:
    case TFieldType::LongWord:
    case TFieldType::LargeInt:
    case TFieldType::Bcd: return TOrderKind::Integer;  // BCD as fixed-point
    case TFieldType::Float:
    case TFieldType::Timestamp:
    case TFieldType::Extended: return TOrderKind::Real;
    default: return TOrderKind::None;  // BLOBs and raw bytes have no order to check
  }
}

// The 80-bit extended value as the nearest double (infinite beyond the double range).
double ExtendedToDouble(const uint8_t* p) {
  const uint64_t mantissa = ReadU64(p);
  const uint16_t signExponent = ReadU16(p + 8);
  const bool negative = (signExponent & 0x8000) != 0;
  const int exponent = signExponent & 0x7FFF;
  double value;
  if (exponent == 0x7FFF) {
    value = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  } else {
    value = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
  }
  return negative ? -value : value;
}

// The ordering value of a field's data bytes.
TOrderValue RecordOrderValue(const TFieldDefinition& field, const uint8_t* data) {
  TOrderValue v;
  switch (field.FieldType) {
    case TFieldType::String: {
      const char* text = reinterpret_cast<const char*>(data);
      v.Text = std::string_view(text, strnlen(text, field.DataSize));
      break;
    }
    case TFieldType::Date:
    case TFieldType::Time:
    case TFieldType::Integer: v.Integer = ReadI32(data); break;
    case TFieldType::SmallInt: v.Integer = ReadI16(data); break;
    case TFieldType::Boolean: v.Integer = ReadU16(data) != 0 ? 1 : 0; break;
    case TFieldType::Word: v.Integer = ReadU16(data); break;
    case TFieldType::LongWord: v.Integer = ReadU32(data); break;
    case TFieldType::LargeInt: v.Integer = ReadI64(data); break;
    case TFieldType::Bcd: v.Integer = BcdToKeyFixedPoint(data); break;
    case TFieldType::Float:
    case TFieldType::Timestamp: v.Real = ReadF64(data); break;
    case TFieldType::Extended: v.Real = ExtendedToDouble(data); break;
    default: break;
  }
  return v;
}

// The ordering value of a minimum or maximum text; empty when it is no value of the type.
std::optional<TOrderValue> TextOrderValue(const TFieldDefinition& field, std::string_view text,
                                          const TLocalDateTime& now) {
  TOrderValue v;
  switch (field.FieldType) {
    case TFieldType::String: v.Text = text; return v;
    case TFieldType::Date: {
      const auto d = DateFromText(text, now);
      if (!d) return std::nullopt;
      v.Integer = *d;
      return v;
    }
    case TFieldType::Time: {
      const auto t = TimeFromText(text, now);
      if (!t) return std::nullopt;
      v.Integer = *t;
      return v;
    }
    case TFieldType::Timestamp: {
      const auto t = TimestampFromText(text, now);
      if (!t) return std::nullopt;
      v.Real = *t;
      return v;
    }
    case TFieldType::Boolean: {
      const auto b = TryTextToBoolean(text);
      if (!b) return std::nullopt;
      v.Integer = *b ? 1 : 0;
      return v;
    }
    case TFieldType::SmallInt:
    case TFieldType::Integer:
    case TFieldType::Word:
    case TFieldType::LongWord:
    case TFieldType::LargeInt: {
      const auto i = IntegerFromText(field.FieldType, text);
      if (!i) return std::nullopt;
      v.Integer = *i;
      return v;
    }
    case TFieldType::Bcd: {
      const auto f = TryTextToFixed(text);
      if (!f) return std::nullopt;
      v.Integer = *f;
      return v;
    }
    case TFieldType::Float:
    case TFieldType::Extended: {
      const auto f = TryTextToFloat(text);
      if (!f) return std::nullopt;
      v.Real = *f;
      return v;
    }
    default: return std::nullopt;
  }
}

// Negative, 0 or positive as a sorts before, with or after b. A NaN compares equal to
// everything, so it never fails a check.
int CompareOrder(TOrderKind kind, const TOrderValue& a, const TOrderValue& b, uint16_t localeId, uint16_t sortId) {
  switch (kind) {
    case TOrderKind::Integer: return a.Integer < b.Integer ? -1 : (a.Integer > b.Integer ? 1 : 0);
    case TOrderKind::Real: return a.Real < b.Real ? -1 : (a.Real > b.Real ? 1 : 0);
    case TOrderKind::Text: return CollateCompare(localeId, sortId, a.Text, b.Text, false);
    case TOrderKind::None: break;
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Default values

void ApplyDefaultValues(TDataCursor& cursor, uint8_t* buffer) {
  const std::vector<TFieldDefinition>& fields = TCursorInternals::Table(cursor).DataFile().FieldDefinitions();
  bool any = false;
  for (const TFieldDefinition& field : fields) any = any || !field.DefaultValue.empty();
  if (!any) return;
  const TLocalDateTime now = LocalNow();
  uint8_t value[kMaxDataSize];
  for (size_t i = 0; i < fields.size(); ++i) {
    const TFieldDefinition& field = fields[i];
    if (field.DefaultValue.empty() || !field.IsStored()) continue;
    const int fieldNo = static_cast<int>(i) + 1;
    if (field.FieldType == TFieldType::String) {
      // SetField reads at most Size characters up to a terminator.
      std::memset(value, 0, sizeof value);
      std::memcpy(value, field.DefaultValue.data(), std::min<size_t>(field.DefaultValue.size(), field.Size));
      cursor.SetField(fieldNo, buffer, value);
      continue;
    }
    std::memset(value, 0, sizeof value);
    bool takesDefault = false;
    const bool ok = DefaultData(field, field.DefaultValue, now, value, takesDefault);
    if (!takesDefault) continue;
    if (!ok) RaiseFieldError(cursor, KURA_INVALIDVCHKSTRUCT, field.Name);
    cursor.SetField(fieldNo, buffer, value);
  }
}

// ---------------------------------------------------------------------------------------
// Field values

const std::vector<TFieldDefinition>& TDataCursor::FieldDefinitions() const {
  static const std::vector<TFieldDefinition> kNone;
  return FTable ? FTable->DataFile().FieldDefinitions() : kNone;
}

const TFieldDefinition* TDataCursor::FieldByName(const std::string& name) const {
  return FTable ? FTable->DataFile().FieldByName(name) : nullptr;
}

void TDataCursor::GetField(int fieldNo, const uint8_t* record, bool& isNull, uint8_t* value) const {
  const TFieldDefinition* field = FieldOf(*this, fieldNo);
  if (!field) RaiseFieldError(*this, KURA_OUTOFRANGE, std::to_string(fieldNo));
  if (field->IsAutoInc()) {
    isNull = false;
    if (value) std::memcpy(value, FieldValue(record, *field), 4);
    return;
  }
  if (field->Computed) {
    // A computed field has no bytes in the record image.
    isNull = true;
    if (value) std::memset(value, 0, field->DataSize);
    return;
  }
  isNull = FieldIsNull(record, *field);
  if (value) std::memcpy(value, FieldValue(record, *field), field->DataSize);
}

void TDataCursor::SetField(int fieldNo, uint8_t* record, const uint8_t* value) {
  const TFieldDefinition* field = FieldOf(*this, fieldNo);
  if (!field) RaiseFieldError(*this, KURA_OUTOFRANGE, std::to_string(fieldNo));
  if (field->Computed) return;
  if (field->IsAutoInc()) {
    // The record's unique id: never NULL, so storing NULL leaves it as it is.
    if (value) SetFieldValue(record, *field, value);
    return;
  }
  uint8_t* data = FieldValue(record, *field);
  const size_t dataSize = field->DataSize;
  if (!value) {
    SetFieldNull(record, *field);
    return;
  }
  switch (field->FieldType) {
    case TFieldType::String: {
      const char* text = reinterpret_cast<const char*>(value);
      const size_t capacity = dataSize > 0 ? dataSize - 1 : 0;
      size_t length = strnlen(text, capacity);
      const TCodePageCaseMap* caseMap = nullptr;
      if (length == capacity || field->CharCase != TCharCase::Keep) caseMap = &CaseMapOf(*this);
      // A double-byte character cut in half at the end of the room is dropped whole.
      if (length == capacity && caseMap) length = WholeCharacters(*caseMap, text, length);
      while (length > 0 && text[length - 1] == ' ') --length;
      // The value may lie in this very record: move before clearing the rest.
      std::memmove(data, text, length);
      std::memset(data + length, 0, dataSize - length);
      SetFieldHasValue(record, *field, length > 0);
      if (length > 0 && field->CharCase == TCharCase::Lower) caseMap->LowerCase(reinterpret_cast<char*>(data), length);
      if (length > 0 && field->CharCase == TCharCase::Upper) caseMap->UpperCase(reinterpret_cast<char*>(data), length);
      return;
    }
    case TFieldType::Boolean:
      WriteU16(data, ReadU16(value) != 0 ? 1 : 0);
      SetFieldHasValue(record, *field, true);
      return;
    case TFieldType::Blob: {
      std::memmove(data, value, dataSize);
      const TBlobReference reference = ReadBlobReference(data);
      if (reference.IsStored()) {
        SetFieldHasValue(record, *field, true);
      } else if (reference.IsHandle()) {
        const TBlobBuffer* buffer = OpenBufferOf(FBlobs.get(), *field, record);
        SetFieldHasValue(record, *field, buffer && buffer->Length() > 0);
      } else {
        // No value: the whole reference is zero, as for every NULL.
        SetFieldNull(record, *field);
      }
      return;
    }
    default:
      SetFieldValue(record, *field, value);
      return;
  }
}

void TDataCursor::CheckValidity(const uint8_t* record) const {
  const std::vector<TFieldDefinition>& fields = FTable->DataFile().FieldDefinitions();
  bool any = false;
  for (const TFieldDefinition& field : fields) {
    any = any || field.Required || !field.MinValue.empty() || !field.MaxValue.empty();
  }
  if (!any) return;
  std::optional<TLocalDateTime> now;  // read once, and only when a check needs it
  for (const TFieldDefinition& field : fields) {
    if (field.Computed) continue;
    const bool isNull = FieldIsNull(record, field);
    if (field.Required && isNull) RaiseFieldError(*this, KURA_REQDERR, field.Name);
    if (field.MinValue.empty() && field.MaxValue.empty()) continue;
    const TOrderKind kind = OrderKindOf(field.FieldType);
    if (kind == TOrderKind::None) continue;
    const uint8_t* data = isNull ? kZeroData : FieldValue(record, field);
    const TOrderValue value = RecordOrderValue(field, data);
    if (!now) now = LocalNow();
    if (!field.MinValue.empty()) {
      const std::optional<TOrderValue> minimum = TextOrderValue(field, field.MinValue, *now);
      if (!minimum) RaiseFieldError(*this, KURA_INVALIDVCHKSTRUCT, field.Name);
      if (CompareOrder(kind, value, *minimum, FLocaleId, FSortId) < 0) RaiseFieldError(*this, KURA_MINVALERR, field.Name);
    }
    if (!field.MaxValue.empty()) {
      const std::optional<TOrderValue> maximum = TextOrderValue(field, field.MaxValue, *now);
      if (!maximum) RaiseFieldError(*this, KURA_INVALIDVCHKSTRUCT, field.Name);
      if (CompareOrder(kind, value, *maximum, FLocaleId, FSortId) > 0) RaiseFieldError(*this, KURA_MAXVALERR, field.Name);
    }
  }
}

// ---------------------------------------------------------------------------------------
// BLOB handles

int TDataCursor::OpenBlob(int fieldNo, uint8_t* record, TBlobOpenMode /*mode*/, int32_t& size) {
  size = 0;
  const TFieldDefinition* field = BlobFieldOf(*this, fieldNo);
  if (!field) return KURA_NOTABLOB;
  if (!FBlobs) FBlobs = std::make_unique<TCursorBlobs>();
  const TBlobReference reference = BlobReferenceOf(record, *field);
  if (reference.IsHandle()) {
    // Opened before on this cursor: one more use of the same buffer.
    TBlobBuffer* buffer = OpenBufferOf(FBlobs.get(), *field, record);
    if (!buffer) return KURA_INVALIDBLOBOFFSET;
    ++buffer->OpenCount;
    size = static_cast<int32_t>(buffer->Length());
    return KURA_NONE;
  }
  if (FBlobs->Full()) return KURA_OPENBLOBLIMIT;
  std::unique_ptr<TBlobBuffer> buffer = FBlobs->NewBuffer();
  buffer->Cursor = this;
  buffer->FieldNo = field->FieldNo;
  buffer->FirstBlock = reference.FirstBlock;
  buffer->BlobId = reference.FirstBlock == 0 ? 0 : reference.BlobId;
  if (reference.FirstBlock == 0) {
    buffer->Data.clear();
    buffer->MarkClean();
  } else {
    TBlobFile& file = BlobFileOf(*this);
    // Another process may be writing the file: read under the table's read lock unless
    // some lock of the table already keeps writers out.
    TTableReadLock lock(*FTable);
    file.ReadBlob(*buffer);
    lock.Release();
  }
  buffer->OpenCount = 1;
  size = static_cast<int32_t>(buffer->Length());
  const int32_t handle = FBlobs->Add(std::move(buffer));
  PutBlobHandle(record, *field, handle, size > 0);
  return KURA_NONE;
}

int TDataCursor::GetBlob(int fieldNo, uint8_t* record, int32_t offset, int32_t length, uint8_t* buffer,
                         int32_t& count) {
  count = 0;
  const TFieldDefinition* field = BlobFieldOf(*this, fieldNo);
  if (!field) return KURA_NOTABLOB;
  const TBlobBuffer* blob = OpenBufferOf(FBlobs.get(), *field, record);
  if (!blob) return KURA_INVALIDBLOBHANDLE;
  if (offset < 0) return KURA_INVALIDBLOBOFFSET;
  if (length < 0 || (length > 0 && !buffer)) return KURA_INVALIDBLOBLEN;
  const int64_t size = static_cast<int64_t>(blob->Length());
  const int64_t available = offset >= size ? 0 : std::min<int64_t>(length, size - offset);
  if (available > 0) std::memcpy(buffer, blob->Data.data() + offset, static_cast<size_t>(available));
  count = static_cast<int32_t>(available);
  return available < length ? KURA_ENDOFBLOB : KURA_NONE;
}

int TDataCursor::PutBlob(int fieldNo, uint8_t* record, int32_t offset, int32_t length, const uint8_t* buffer) {
  const TFieldDefinition* field = BlobFieldOf(*this, fieldNo);
  if (!field) return KURA_NOTABLOB;
  TBlobBuffer* blob = OpenBufferOf(FBlobs.get(), *field, record);
  if (!blob) return KURA_INVALIDBLOBHANDLE;
  if (offset < 0) return KURA_INVALIDBLOBOFFSET;
  if (length < 0 || (length > 0 && !buffer) ||
      int64_t{offset} + length > int64_t{std::numeric_limits<int32_t>::max()}) {
    return KURA_INVALIDBLOBLEN;
  }
  blob->Put(static_cast<size_t>(offset), buffer, static_cast<size_t>(length));
  SetFieldHasValue(record, *field, blob->Length() > 0);
  return KURA_NONE;
}

int TDataCursor::TruncateBlob(int fieldNo, uint8_t* record, int32_t length) {
  const TFieldDefinition* field = BlobFieldOf(*this, fieldNo);
  if (!field) return KURA_NOTABLOB;
  TBlobBuffer* blob = OpenBufferOf(FBlobs.get(), *field, record);
  if (!blob) return KURA_INVALIDBLOBHANDLE;
  if (length < 0) return KURA_INVALIDBLOBLEN;
  blob->Truncate(static_cast<size_t>(length));
  SetFieldHasValue(record, *field, blob->Length() > 0);
  return KURA_NONE;
}

int TDataCursor::GetBlobSize(int fieldNo, uint8_t* record, int32_t& size) {
  size = 0;
  const TFieldDefinition* field = BlobFieldOf(*this, fieldNo);
  if (!field) return KURA_NOTABLOB;
  const TBlobBuffer* blob = OpenBufferOf(FBlobs.get(), *field, record);
  if (!blob) return KURA_INVALIDBLOBHANDLE;
  size = static_cast<int32_t>(blob->Length());
  return KURA_NONE;
}

int TDataCursor::FreeBlob(int fieldNo, uint8_t* record) {
  const TFieldDefinition* field = BlobFieldOf(*this, fieldNo);
  if (!field) return KURA_NOTABLOB;
  TBlobBuffer* blob = OpenBufferOf(FBlobs.get(), *field, record);
  if (!blob) return KURA_INVALIDBLOBHANDLE;
  if (--blob->OpenCount > 0) return KURA_NONE;
  // The last use: changes not posted are dropped and the stored reference comes back.
  const int32_t handle = BlobReferenceOf(record, *field).FirstBlock;
  PutBlobReference(record, *field, {blob->FirstBlock, blob->BlobId});
  FBlobs->Remove(handle);
  return KURA_NONE;
}

void TDataCursor::FreeAllBlobs() {
  if (FBlobs) FBlobs->Clear();
}

void TDataCursor::WriteOpenBlobs(uint8_t* record, const uint8_t* stored) {
  const std::vector<TFieldDefinition>& fields = FTable->DataFile().FieldDefinitions();
  // A handle that is not one of this cursor's must never reach the file: the record
  // would hold a reference nobody can open. Checked before anything is written.
  for (const TFieldDefinition& field : fields) {
    if (field.FieldType != TFieldType::Blob || !field.IsStored()) continue;
    if (BlobReferenceOf(record, field).IsHandle() && !OpenBufferOf(FBlobs.get(), field, record)) {
      RaiseEngineError(KURA_INVALIDBLOBHANDLE, CursorNames(*this, field.Name));
    }
  }
  for (const TFieldDefinition& field : fields) {
    if (field.FieldType != TFieldType::Blob || !field.IsStored()) continue;
    // The chain the stored record owns (none for a new record).
    TBlobReference old;
    if (stored && !FieldIsNull(stored, field) && BlobReferenceOf(stored, field).IsStored()) {
      old = BlobReferenceOf(stored, field);
    }
    const int32_t oldFirst = old.FirstBlock;
    const int32_t oldId = old.BlobId;
    const int32_t reference = BlobReferenceOf(record, field).FirstBlock;
    TBlobBuffer* blob = reference < 0 ? OpenBufferOf(FBlobs.get(), field, record) : nullptr;
    if (!blob) {
      // A stored reference in the image. When it no longer names the stored chain (the
      // field was cleared, or given another value's reference) that chain is orphaned.
      if (oldFirst != 0 && reference != oldFirst) BlobFileOf(*this).FreeBlobChain(oldFirst, oldId);
      continue;
    }
    // Unchanged and still the stored value: the record keeps its reference. Anything else
    // is written over the stored chain (reused in place, grown, cut or freed), or into a
    // new chain for a new record, so that two records never share one chain.
    if (!blob->Modified && blob->FirstBlock == oldFirst && blob->BlobId == oldId) {
      PutBlobReference(record, field, old);
    } else {
      TBlobFile& file = BlobFileOf(*this);
      blob->FirstBlock = oldFirst;
      blob->BlobId = oldId;
      const int32_t newId = blob->Length() > 0 ? FTable->DataFile().NextBlobId() : 0;
      file.WriteBlob(*blob, newId);
      PutBlobReference(record, field, {blob->FirstBlock, blob->BlobId});
    }
    FBlobs->Remove(reference);
  }
}

void TDataCursor::FreeStoredBlobs(const uint8_t* stored) {
  for (const TFieldDefinition& field : FTable->DataFile().FieldDefinitions()) {
    if (field.FieldType != TFieldType::Blob || !field.IsStored()) continue;
    if (FieldIsNull(stored, field)) continue;
    const TBlobReference reference = BlobReferenceOf(stored, field);
    if (!reference.IsStored()) continue;
    BlobFileOf(*this).FreeBlobChain(reference.FirstBlock, reference.BlobId);
  }
}

}  // namespace kura
