#pragma once

// Index descriptors and index keys of the index file.
//
// Index descriptor (TIndexDescriptor, 120 bytes, 33 of them in the header page):
// | offset | size | field           | meaning                                                     |
// |--------|------|-----------------|-------------------------------------------------------------|
// |      0 |   31 | Name            | short string[30]; empty for the primary index               |
// |     31 |    2 | KeySize         | uint16 bytes per key                                        |
// |     33 |    1 | Descending      | whole index descending                                      |
// |     34 |    1 | CaseInsensitive | string fields compared without case                         |
// |     35 |    1 | Unique          | keys unique (always 1 for the primary index)                |
// |     36 |    1 | Compression     | leaf compression: 0 NONE, 1 DUPBYTE, 2 TRAILBYTE, 3 FULL    |
// |     37 |    1 | IndexFieldCount | 0 to 16                                                     |
// |     38 |   16 | FieldDescending | one byte per index field: that field descending             |
// |     54 |   32 | IndexFields     | 16 x uint16 field numbers, unused ones 0                    |
// |     86 |    4 | RootPage        | int32 root page, 0 when the index is empty                  |
// |     90 |    4 | FirstFreePage   | int32 head of the index's free-page chain, 0 when none      |
// |     94 |    2 | reserved        | zero                                                        |
// |     96 |    4 | ParameterPage   | int32 first page of the parameter chain (text index), or 0  |
// |    100 |    1 | NoCounts        | internal entries carry no record counts                     |
// |    101 |    1 | TemporaryIndex  | memory only: never written (always 0 on disk)               |
// |    102 |   18 | reserved        | zero                                                        |
//
// Keys: for each index field one null-flag byte (1 = value, 0 = NULL) and the field's
// key data (key_encoding.h); a non-unique index appends the record's unique id in the
// int32 key encoding, so every key of every index is unique. With LocaleId 0 a field
// marked in FieldDescending (of an index that is not Descending as a whole) has its
// null flag and data inverted (a string keeps its last data byte).
//
// System keys:
//   "Sys Deleted" (KeySize 5):  record state byte (0 active, 1 deleted), unique id.
//   "Sys Text"    (KeySize 68): byte 1, field number (uint16 big-endian), 61 bytes of
//                               word (upper case, zero-padded), unique id.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kura/storage/field_definition.h"
#include "kura/storage/key_encoding.h"

namespace kura {

constexpr int kIndexDescriptorSize = 120;
constexpr int kIndexCount = 33;
constexpr int kPrimaryIndex = 0;
constexpr int kMaxSecondaryIndexes = 30;
constexpr int kSysDeletedIndex = 31;
constexpr int kSysTextIndex = 32;
constexpr int kMaxIndexFields = 16;
constexpr int kMaxKeyDataSize = 522;
constexpr int kMaxKeySize = kMaxKeyDataSize + 4;
constexpr int kSysDeletedKeySize = 5;
constexpr int kSysTextKeySize = 68;
constexpr int kTextWordBytes = 61;
constexpr int kMaxIndexNameLength = 30;
inline constexpr const char* kSysDeletedName = "Sys Deleted";
inline constexpr const char* kSysTextName = "Sys Text";

enum class TIndexCompression : uint8_t { None = 0, DupByte = 1, TrailByte = 2, Full = 3 };

struct TIndexDescriptor {
  std::string Name;
  uint16_t KeySize = 0;
  bool Descending = false;
  bool CaseInsensitive = false;
  bool Unique = false;
  TIndexCompression Compression = TIndexCompression::None;
  uint8_t IndexFieldCount = 0;
  std::array<uint8_t, kMaxIndexFields> FieldDescending{};
  std::array<uint16_t, kMaxIndexFields> IndexFields{};
  int32_t RootPage = 0;
  int32_t FirstFreePage = 0;
  int32_t ParameterPage = 0;
  bool NoCounts = false;
  bool TemporaryIndex = false;
};

// The 120 bytes to and from the structure. A stored Compression above 3 is kept as read
// (the consistency check reports it); TemporaryIndex is never written.
void ReadIndexDescriptor(const uint8_t* bytes, TIndexDescriptor& descriptor);
void WriteIndexDescriptor(const TIndexDescriptor& descriptor, uint8_t* bytes);

// Sum over the index fields of 1 + key data size, or -1 when a field number is unknown.
int KeyDataSum(const TIndexDescriptor& descriptor, const std::vector<TFieldDefinition>& fields);

// The field definition with this number, or nullptr.
const TFieldDefinition* FindFieldByNumber(const std::vector<TFieldDefinition>& fields, uint16_t fieldNo);

// Builds the keys of one index from record slots.
class TIndexKeyBuilder {
public:
  // fields: the table's field definitions (must outlive the builder). mapper upper-cases
  // case-insensitive strings with the table's language; nullptr means LocaleId 0 rules.
  TIndexKeyBuilder(const TIndexDescriptor& descriptor, const std::vector<TFieldDefinition>& fields,
                   uint16_t localeId, const TKeyTextMapper* mapper);
  // Writes KeySize bytes of the record's key to out.
  void BuildKey(const uint8_t* record, uint8_t* out) const;
  int KeySize() const { return FKeySize; }

private:
  struct TPart {
    const TFieldDefinition* Field;
    TKeyFieldOptions Options;
  };
  std::vector<TPart> FParts;
  bool FUnique;
  int FKeySize;
};

// System keys.
void BuildSysDeletedKey(uint8_t state, int32_t uniqueId, uint8_t* out);
// word: at most 61 bytes, already upper-cased; the rest is zero-padded.
void BuildSysTextKey(uint16_t fieldNo, const uint8_t* word, size_t wordLength, int32_t uniqueId, uint8_t* out);

// The comparison of the keys of one index (negative, 0, positive).
class TIndexKeyComparer {
public:
  // Unsigned bytes over keySize bytes, negated when descending.
  static TIndexKeyComparer Bytes(int keySize, bool descending);
  // The comparison the index file uses for index number `index` with the table's
  // language driver (LocaleId 0: byte order).
  static TIndexKeyComparer ForIndex(int index, const TIndexDescriptor& descriptor,
                                    const std::vector<TFieldDefinition>& fields, uint16_t localeId, uint16_t sortId);

  int Compare(const uint8_t* a, const uint8_t* b) const {
    // Byte-order keys (every index of a table without a language driver, and the
    // internal ones) are compared here, inline in the trees' binary searches: keys
    // usually differ within their first bytes.
    if (FMode == TMode::Bytes) {
      for (int i = 0; i < FKeySize; ++i) {
        if (a[i] != b[i]) return (a[i] < b[i]) != FDescending ? -1 : 1;
      }
      return 0;
    }
    return CompareRange(a, b, FKeySize);
  }
  // Compares only the first `length` bytes of the keys' layout (a partial key of the
  // leading fields); field parts are cut at that length.
  int ComparePrefix(const uint8_t* a, const uint8_t* b, int length) const;
  int KeySize() const { return FKeySize; }

private:
  enum class TMode : uint8_t { Bytes, SysText, Fields };
  struct TPart {
    int Offset;
    int Length;  // null flag included
    bool Text;
    bool Negate;
  };
  int CompareRange(const uint8_t* a, const uint8_t* b, int length) const;

  TMode FMode = TMode::Bytes;
  int FKeySize = 0;
  bool FDescending = false;
  uint16_t FLocaleId = 0;
  uint16_t FSortId = 0;
  bool FCaseInsensitive = false;
  std::vector<TPart> FParts;
};

}  // namespace kura
