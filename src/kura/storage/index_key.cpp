#include "kura/storage/index_key.h"

#include <algorithm>
#include <cstring>

#include "kura/base/byte_order.h"
#include "kura/base/collation.h"
#include "kura/storage/record.h"

namespace kura {

void ReadIndexDescriptor(const uint8_t* p, TIndexDescriptor& d) {
  d.Name = ReadShortString(p, kMaxIndexNameLength);
  d.KeySize = ReadU16(p + 31);
  d.Descending = p[33] != 0;
  d.CaseInsensitive = p[34] != 0;
  d.Unique = p[35] != 0;
  d.Compression = static_cast<TIndexCompression>(p[36]);
  d.IndexFieldCount = p[37];
  for (int i = 0; i < kMaxIndexFields; ++i) {
    d.FieldDescending[static_cast<size_t>(i)] = p[38 + i];
    d.IndexFields[static_cast<size_t>(i)] = ReadU16(p + 54 + 2 * i);
  }
  d.RootPage = ReadI32(p + 86);
  d.FirstFreePage = ReadI32(p + 90);
  d.ParameterPage = ReadI32(p + 96);
  d.NoCounts = p[100] != 0;
  d.TemporaryIndex = false;
}

void WriteIndexDescriptor(const TIndexDescriptor& d, uint8_t* p) {
  std::memset(p, 0, kIndexDescriptorSize);
  WriteShortString(p, kMaxIndexNameLength, d.Name);
  WriteU16(p + 31, d.KeySize);
  p[33] = d.Descending ? 1 : 0;
  p[34] = d.CaseInsensitive ? 1 : 0;
  p[35] = d.Unique ? 1 : 0;
  p[36] = static_cast<uint8_t>(d.Compression);
  p[37] = d.IndexFieldCount;
  for (int i = 0; i < kMaxIndexFields; ++i) {
    p[38 + i] = d.FieldDescending[static_cast<size_t>(i)];
    WriteU16(p + 54 + 2 * i, d.IndexFields[static_cast<size_t>(i)]);
  }
  WriteI32(p + 86, d.RootPage);
  WriteI32(p + 90, d.FirstFreePage);
  WriteI32(p + 96, d.ParameterPage);
  p[100] = d.NoCounts ? 1 : 0;
}

const TFieldDefinition* FindFieldByNumber(const std::vector<TFieldDefinition>& fields, uint16_t fieldNo) {
  if (fieldNo >= 1 && fieldNo <= fields.size() && fields[fieldNo - 1U].FieldNo == fieldNo) return &fields[fieldNo - 1U];
  for (const TFieldDefinition& f : fields)
    if (f.FieldNo == fieldNo) return &f;
  return nullptr;
}

int KeyDataSum(const TIndexDescriptor& d, const std::vector<TFieldDefinition>& fields) {
  int sum = 0;
  const int count = std::min<int>(d.IndexFieldCount, kMaxIndexFields);
  for (int i = 0; i < count; ++i) {
    const TFieldDefinition* f = FindFieldByNumber(fields, d.IndexFields[static_cast<size_t>(i)]);
    if (!f) return -1;
    sum += 1 + KeyDataSize(*f);
  }
  return sum;
}

TIndexKeyBuilder::TIndexKeyBuilder(const TIndexDescriptor& d, const std::vector<TFieldDefinition>& fields,
                                   uint16_t localeId, const TKeyTextMapper* mapper)
    : FUnique(d.Unique), FKeySize(0) {
  const int count = std::min<int>(d.IndexFieldCount, kMaxIndexFields);
  for (int i = 0; i < count; ++i) {
    const TFieldDefinition* f = FindFieldByNumber(fields, d.IndexFields[static_cast<size_t>(i)]);
    if (!f) continue;
    TPart part{f, {}};
    part.Options.CaseInsensitive = d.CaseInsensitive;
    part.Options.Invert = localeId == 0 && !d.Descending && d.FieldDescending[static_cast<size_t>(i)] != 0;
    part.Options.KeepStringTerminator = true;
    part.Options.Mapper = mapper;
    FParts.push_back(part);
    FKeySize += 1 + KeyDataSize(*f);
  }
  if (!FUnique) FKeySize += 4;
}

void TIndexKeyBuilder::BuildKey(const uint8_t* record, uint8_t* out) const {
  int at = 0;
  for (const TPart& part : FParts) at += EncodeKeyField(*part.Field, record, part.Options, out + at);
  if (!FUnique) EncodeInt32Key(ReadI32(record + kRecordIdOffset), out + at);
}

void BuildSysDeletedKey(uint8_t state, int32_t uniqueId, uint8_t* out) {
  out[0] = state;
  EncodeInt32Key(uniqueId, out + 1);
}

void BuildSysTextKey(uint16_t fieldNo, const uint8_t* word, size_t wordLength, int32_t uniqueId, uint8_t* out) {
  out[0] = 1;
  out[1] = static_cast<uint8_t>(fieldNo >> 8);
  out[2] = static_cast<uint8_t>(fieldNo);
  std::memset(out + 3, 0, kTextWordBytes);
  std::memcpy(out + 3, word, std::min<size_t>(wordLength, kTextWordBytes));
  EncodeInt32Key(uniqueId, out + 3 + kTextWordBytes);
}

TIndexKeyComparer TIndexKeyComparer::Bytes(int keySize, bool descending) {
  TIndexKeyComparer c;
  c.FMode = TMode::Bytes;
  c.FKeySize = keySize;
  c.FDescending = descending;
  return c;
}

TIndexKeyComparer TIndexKeyComparer::ForIndex(int index, const TIndexDescriptor& d,
                                              const std::vector<TFieldDefinition>& fields, uint16_t localeId,
                                              uint16_t sortId) {
  TIndexKeyComparer c;
  c.FKeySize = d.KeySize;
  c.FLocaleId = localeId;
  c.FSortId = sortId;
  if (index == kSysDeletedIndex) {
    c.FMode = TMode::Bytes;
    return c;
  }
  if (index == kSysTextIndex) {
    c.FMode = localeId == 0 ? TMode::Bytes : TMode::SysText;
    return c;
  }
  c.FDescending = d.Descending;
  if (localeId == 0) {
    c.FMode = TMode::Bytes;
    return c;
  }
  c.FMode = TMode::Fields;
  c.FCaseInsensitive = d.CaseInsensitive;
  int at = 0;
  const int count = std::min<int>(d.IndexFieldCount, kMaxIndexFields);
  for (int i = 0; i < count; ++i) {
    const TFieldDefinition* f = FindFieldByNumber(fields, d.IndexFields[static_cast<size_t>(i)]);
    if (!f) continue;
    const int length = 1 + KeyDataSize(*f);
    c.FParts.push_back({at, length, f->FieldType == TFieldType::String,
                        d.Descending || d.FieldDescending[static_cast<size_t>(i)] != 0});
    at += length;
  }
  return c;
}

int TIndexKeyComparer::ComparePrefix(const uint8_t* a, const uint8_t* b, int length) const {
  return CompareRange(a, b, std::min(length, FKeySize));
}

namespace {

int CompareBytes(const uint8_t* a, const uint8_t* b, int length) {
  if (length <= 0) return 0;
  const int r = std::memcmp(a, b, static_cast<size_t>(length));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace

int TIndexKeyComparer::CompareRange(const uint8_t* a, const uint8_t* b, int length) const {
  switch (FMode) {
    case TMode::Bytes: {
      const int r = CompareBytes(a, b, length);
      return FDescending ? -r : r;
    }
    case TMode::SysText: {
      int r = CompareBytes(a, b, std::min(length, 3));
      if (r != 0 || length <= 3) return r;
      const int words = std::min(length - 3, kTextWordBytes);
      r = CollateCompare(FLocaleId, FSortId, reinterpret_cast<const char*>(a + 3),
                         reinterpret_cast<const char*>(b + 3), false, static_cast<size_t>(words));
      if (r != 0) return r;
      return CompareBytes(a + 3 + kTextWordBytes, b + 3 + kTextWordBytes, length - 3 - kTextWordBytes);
    }
    case TMode::Fields: {
      int at = 0;
      for (const TPart& part : FParts) {
        if (part.Offset >= length) return 0;
        const int left = std::min(part.Length, length - part.Offset);
        int r = 0;
        if (part.Text) {
          r = CompareBytes(a + part.Offset, b + part.Offset, 1);
          if (r == 0 && left > 1)
            r = CollateCompare(FLocaleId, FSortId, reinterpret_cast<const char*>(a + part.Offset + 1),
                               reinterpret_cast<const char*>(b + part.Offset + 1), FCaseInsensitive,
                               static_cast<size_t>(left - 1));
        } else {
          r = CompareBytes(a + part.Offset, b + part.Offset, left);
        }
        if (r != 0) return part.Negate ? -r : r;
        at = part.Offset + part.Length;
      }
      const int r = CompareBytes(a + at, b + at, length - at);
      return FDescending ? -r : r;
    }
  }
  return 0;
}

}  // namespace kura
