#pragma once

// Values written into the fields of a record image that a cursor will post: BLOB
// contents through the cursor's BLOB handles, and values converted to a field's type.
// Shared by the result rows of a SELECT and by INSERT and UPDATE.

#include <cstdint>
#include <vector>

#include "kura/base/field_types.h"
#include "kura/expr/exp_token.h"
#include "kura/storage/field_definition.h"

namespace kura {

class TDataCursor;

// Raises the BLOB operation's code as an engine error naming the cursor's table.
[[noreturn]] void RaiseBlobError(int code, const TDataCursor& cursor);

// Makes `length` bytes the whole content of a BLOB field of `record` (an image the
// cursor will append or modify): the field gets an open handle of the cursor holding
// exactly those bytes (any earlier content replaced; no bytes: empty, which reads as
// NULL). Nothing happens for no bytes on a field that holds no content. Raises the BLOB
// operations' errors.
void PutBlobValue(TDataCursor& cursor, int fieldNo, uint8_t* record, const uint8_t* bytes, int32_t length);

// A BLOB field's whole content of one cursor's record into a BLOB field of another
// cursor's record (nothing for a NULL source). `buffer` is scratch space.
void CopyBlob(TDataCursor& from, int fromFieldNo, uint8_t* fromRecord, TDataCursor& to, int toFieldNo,
              uint8_t* toRecord, std::vector<uint8_t>& buffer);

// The bytes of an evaluated text or BLOB value as a BLOB holds them: a string's or
// memo's text without the terminating zero the evaluator gives it, other bytes whole.
int32_t BlobLengthOf(const TExpToken& value);

// Puts a non-NULL value of type `type` (BCD places `scale`; `bytes` its `length` bytes in
// the record encoding) into a non-BLOB field of `record` through the cursor's SetField
// (so that the field's own rules apply: strings cut to their size, trailing blanks
// removed, character case): as it is when the types agree, a text of a memo into a
// string field as a string, otherwise converted by the engine's value conversion.
// False, leaving the field as it was, when the conversion is not defined or fails for
// this value.
bool PutConvertedValue(TDataCursor& cursor, const TFieldDefinition& field, uint8_t* record, TFieldType type,
                       TFieldSubType subType, uint8_t scale, const uint8_t* bytes, size_t length);

}  // namespace kura
