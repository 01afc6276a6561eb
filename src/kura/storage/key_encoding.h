#pragma once

// Order-preserving key encodings: a field value turned into bytes whose unsigned
// byte-by-byte comparison gives the value order. Index keys and sort keys are built
// from them: per field one null-flag byte (1 = value present, 0 = NULL) followed by the
// field's key data, optionally inverted for a descending field, and usually closed by
// the record's unique id in the int32 encoding so that every key is unique.
//
// | field type                      | key data                                                |
// |---------------------------------|---------------------------------------------------------|
// | String                          | the characters (upper case when case-insensitive),      |
// |                                 | zero-terminated and zero-padded to DataSize bytes        |
// | Date, Integer, Time             | int32 big-endian with the top bit inverted              |
// | SmallInt                        | int16 big-endian with the top bit inverted              |
// | Boolean, Word                   | uint16 big-endian                                       |
// | LongWord                        | uint32 big-endian                                       |
// | Float, Timestamp                | double big-endian: top bit set when >= 0, all bits      |
// |                                 | inverted when negative                                  |
// | Extended                        | the 80-bit value big-endian, sign handled as for double |
// | Bcd                             | value x 10000 as int64 in the LargeInt encoding (8 B)   |
// | LargeInt                        | int64 big-endian with the top bit inverted              |
// | Bytes, VarBytes, Blob           | the record's data bytes unchanged                       |
//
// A NULL field has zero key data, so equal NULLs give equal keys.

#include <cstddef>
#include <cstdint>

#include "kura/base/code_page_case_map.h"
#include "kura/storage/field_definition.h"

namespace kura {

// Upper-cases text in place for case-insensitive keys, with the table's language.
class TKeyTextMapper {
public:
  virtual ~TKeyTextMapper() = default;
  virtual void UpperCase(uint8_t* text, size_t length) const = 0;
};

// The case rules of a table's language driver: US English in the engine's ANSI code page
// for LocaleId 0, the driver's own rules otherwise (KURA_CANNOTLOADLDDRV when it is not
// installed).
class TLanguageKeyTextMapper final : public TKeyTextMapper {
public:
  TLanguageKeyTextMapper(uint16_t localeId, uint16_t sortId);
  void UpperCase(uint8_t* text, size_t length) const override;

private:
  const TCodePageCaseMap* FCaseMap;
};

struct TKeyFieldOptions {
  bool CaseInsensitive = false;
  // Invert the null flag and the key data (a descending field in byte order).
  bool Invert = false;
  // When inverting a string, leave its last data byte as it is (index keys do; sort
  // keys invert everything).
  bool KeepStringTerminator = false;
  // Upper-casing for case-insensitive strings; nullptr means the rules of LocaleId 0.
  const TKeyTextMapper* Mapper = nullptr;
};

// Bytes of key data of a field: 8 for BCD, DataSize for every other type.
int KeyDataSize(const TFieldDefinition& definition);

// Writes the null-flag byte and the key data of the field's value in `record` (a record
// slot laid out as record.h describes) to `out`; returns 1 + KeyDataSize bytes written.
// The auto-increment field is never NULL; its value is the record's unique id.
int EncodeKeyField(const TFieldDefinition& definition, const uint8_t* record, const TKeyFieldOptions& options,
                   uint8_t* out);

// Key data of a value given as its record bytes (DataSize bytes), or nullptr for NULL.
void EncodeKeyData(const TFieldDefinition& definition, const uint8_t* data, bool caseInsensitive,
                   const TKeyTextMapper* mapper, uint8_t* out);

void EncodeInt16Key(int16_t value, uint8_t* out);
void EncodeUInt16Key(uint16_t value, uint8_t* out);
void EncodeInt32Key(int32_t value, uint8_t* out);
void EncodeUInt32Key(uint32_t value, uint8_t* out);
void EncodeInt64Key(int64_t value, uint8_t* out);
void EncodeDoubleKey(double value, uint8_t* out);
void EncodeExtendedKey(const uint8_t* extended10, uint8_t* out);
int32_t DecodeInt32Key(const uint8_t* key);

// The fixed-point form of a packed BCD value (units of 1/10000), saturated at the int64
// limits so that values beyond the range still sort at the ends; 0 for malformed bytes.
int64_t BcdToKeyFixedPoint(const uint8_t* bcd34);

void InvertBytes(uint8_t* p, size_t length);

}  // namespace kura
