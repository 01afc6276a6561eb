#pragma once

// The checks a table definition passes before CreateTable or RestructureTable touch any
// file, in a fixed order so that a definition with several faults always reports the
// same one first:
//  1. the table: the password of an encrypted table, trimmed, has 1 to 15 characters
//     (KURA_INVALIDPASSWORD); the language driver is installed (KURA_CANNOTLOADLDDRV);
//     at most 1024 fields and a last auto-increment value of -1 or above
//     (KURA_FLDLIMIT); at most 30 secondary indexes (KURA_INDEXLIMIT); a BLOB block size
//     of 0 (the default) or at least 64 (KURA_BLOBLIMIT);
//  2. the fields, in order: a trimmed name of 1 to 30 characters that starts with a
//     letter, an underscore or a byte 128-254 and names no earlier field in any letter
//     case (KURA_INVALIDFIELDNAME); a field number given twice, an unknown type, a second
//     auto-increment field, or a string/bytes/varbytes size outside 1..250
//     (KURA_INVALIDFLDTYPE); default, minimum and maximum texts that are values of the
//     field's type (KURA_INVALIDVCHKSTRUCT);
//  3. the indexes: secondary names that start like field names (KURA_INVALIDINDEXNAME)
//     and are distinct in any letter case (KURA_INDEXEXISTS); at most 16 fields
//     (KURA_INDEXLIMIT), each a defined field (KURA_INVALIDIDXDESC); no BLOB field
//     (KURA_SEARCHCOLREQD); a key of 1 to 522 bytes (KURA_INVALIDKEY); the text index
//     over string and memo fields only (KURA_SEARCHCOLREQD).
// Every error carries the caller's table names plus the field or index concerned.

#include <cstdint>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/engine/data_directory.h"

namespace kura {

// The key data bytes of an index over these fields (per field its key bytes plus the
// null-flag byte, without the record-id suffix of a non-unique index), or -1 when a
// field number is not among `fields` (numbered by position, 1-based).
int IndexKeyDataSize(const std::vector<uint16_t>& indexFields, const std::vector<TFieldDefinition>& fields);

// Runs every check and returns the definition as the table will be made from it: names
// and the password trimmed, sizes of types without a declared size and scales of
// non-BCD fields set to 0, data sizes and offsets derived. Raises the first fault.
TTableDefinition CheckTableDefinition(const TTableDefinition& definition, const TErrorNames& names);

}  // namespace kura
