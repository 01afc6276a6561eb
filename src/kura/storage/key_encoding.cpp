#include "kura/storage/key_encoding.h"

#include <cstring>
#include <limits>
#include <optional>

#include "kura/base/bcd.h"
#include "kura/base/byte_order.h"
#include "kura/base/collation.h"
#include "kura/base/language_driver.h"
#include "kura/storage/record.h"

namespace kura {

namespace {

void StoreBigEndian(uint64_t value, int bytes, uint8_t* out) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

}  // namespace

TLanguageKeyTextMapper::TLanguageKeyTextMapper(uint16_t localeId, uint16_t sortId)
    : FCaseMap(localeId == 0 ? &EngineAnsiCaseMap() : &TLanguageDriver::Get(localeId, sortId).CaseMap()) {}

void TLanguageKeyTextMapper::UpperCase(uint8_t* text, size_t length) const {
  FCaseMap->UpperCase(reinterpret_cast<char*>(text), length);
}

void InvertBytes(uint8_t* p, size_t length) {
  for (size_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

void EncodeInt16Key(int16_t value, uint8_t* out) {
  StoreBigEndian(static_cast<uint16_t>(value) ^ 0x8000u, 2, out);
}
void EncodeUInt16Key(uint16_t value, uint8_t* out) { StoreBigEndian(value, 2, out); }
void EncodeInt32Key(int32_t value, uint8_t* out) {
  StoreBigEndian(static_cast<uint32_t>(value) ^ 0x80000000u, 4, out);
}
void EncodeUInt32Key(uint32_t value, uint8_t* out) { StoreBigEndian(value, 4, out); }
void EncodeInt64Key(int64_t value, uint8_t* out) {
  StoreBigEndian(static_cast<uint64_t>(value) ^ 0x8000000000000000ull, 8, out);
}

int32_t DecodeInt32Key(const uint8_t* key) {
  const uint32_t raw = (static_cast<uint32_t>(key[0]) << 24) | (static_cast<uint32_t>(key[1]) << 16) |
                       (static_cast<uint32_t>(key[2]) << 8) | key[3];
  return static_cast<int32_t>(raw ^ 0x80000000u);
}

void EncodeDoubleKey(double value, uint8_t* out) {
  // A numeric test, not the sign bit: -0.0 and +0.0 are equal and must encode alike.
  if (value >= 0) {
    StoreBigEndian(std::bit_cast<uint64_t>(value == 0 ? 0.0 : value) | 0x8000000000000000ull, 8, out);
  } else {
    StoreBigEndian(~std::bit_cast<uint64_t>(value), 8, out);
  }
}

void EncodeExtendedKey(const uint8_t* e, uint8_t* out) {
  // Stored as 8 mantissa bytes then sign and exponent, little-endian; reversed it reads
  // sign, exponent, mantissa, which orders like a double once the sign is handled.
  for (int i = 0; i < 10; ++i) out[i] = e[9 - i];
  bool isZero = (out[0] & 0x7F) == 0;
  for (int i = 1; i < 10 && isZero; ++i) isZero = out[i] == 0;
  if (isZero) {
    out[0] = 0x80;
  } else if (out[0] & 0x80) {
    InvertBytes(out, 10);
  } else {
    out[0] |= 0x80;
  }
}

int64_t BcdToKeyFixedPoint(const uint8_t* bcd) {
  if (const std::optional<int64_t> fixed = BcdToFixed(bcd)) return *fixed;
  if (!IsValidBcd(bcd)) return 0;
  return (bcd[1] & 0x80) ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
}

int KeyDataSize(const TFieldDefinition& definition) {
  if (definition.FieldType == TFieldType::Bcd) return 8;
  if (definition.IsAutoInc()) return 4;
  return definition.DataSize;
}

void EncodeKeyData(const TFieldDefinition& d, const uint8_t* data, bool caseInsensitive,
                   const TKeyTextMapper* mapper, uint8_t* out) {
  const int size = KeyDataSize(d);
  if (data == nullptr) {
    std::memset(out, 0, static_cast<size_t>(size));
    return;
  }
  switch (d.FieldType) {
    case TFieldType::String: {
      const void* end = std::memchr(data, 0, d.DataSize);
      const size_t length = end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - data) : d.DataSize;
      std::memcpy(out, data, length);
      std::memset(out + length, 0, d.DataSize - length);
      if (caseInsensitive && length > 0) {
        if (mapper) {
          mapper->UpperCase(out, length);
        } else {
          EngineAnsiCaseMap().UpperCase(reinterpret_cast<char*>(out), length);
        }
      }
      break;
    }
    case TFieldType::Date:
    case TFieldType::Integer:
    case TFieldType::Time: EncodeInt32Key(ReadI32(data), out); break;
    case TFieldType::SmallInt: EncodeInt16Key(ReadI16(data), out); break;
    case TFieldType::Boolean:
    case TFieldType::Word: EncodeUInt16Key(ReadU16(data), out); break;
    case TFieldType::LongWord: EncodeUInt32Key(ReadU32(data), out); break;
    case TFieldType::Float:
    case TFieldType::Timestamp: EncodeDoubleKey(ReadF64(data), out); break;
    case TFieldType::Extended: EncodeExtendedKey(data, out); break;
    case TFieldType::Bcd: EncodeInt64Key(BcdToKeyFixedPoint(data), out); break;
    case TFieldType::LargeInt: EncodeInt64Key(ReadI64(data), out); break;
    case TFieldType::Bytes:
    case TFieldType::VarBytes:
    case TFieldType::Blob:
    case TFieldType::Unknown: std::memcpy(out, data, static_cast<size_t>(size)); break;
  }
}

int EncodeKeyField(const TFieldDefinition& d, const uint8_t* record, const TKeyFieldOptions& options, uint8_t* out) {
  const int size = KeyDataSize(d);
  const uint8_t* data = FieldIsNull(record, d) ? nullptr : FieldValue(record, d);
  out[0] = data ? 1 : 0;
  EncodeKeyData(d, data, options.CaseInsensitive, options.Mapper, out + 1);
  if (options.Invert) {
    size_t inverted = static_cast<size_t>(size) + 1;
    if (options.KeepStringTerminator && d.FieldType == TFieldType::String && size > 0) --inverted;
    InvertBytes(out, inverted);
  }
  return size + 1;
}

}  // namespace kura
