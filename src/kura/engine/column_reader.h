#pragma once

// Reading a table field of a record image into an expression node: how filters and the
// SQL engine hand column values to the evaluator (TGetColumnValue callbacks).

#include <cstdint>

#include "kura/storage/blob_buffer.h"
#include "kura/storage/field_definition.h"

namespace kura {

class TDataCursor;
struct TExpToken;

class TColumnReader {
public:
  // The cursor must be open while values are read and outlive the reader.
  explicit TColumnReader(TDataCursor& cursor) : FCursor(cursor) {}

  // Stores the field's value of `record` (a stored image as the cursor reads it) in
  // `node`: a string or a memo's text zero-terminated with DataLength counting the
  // terminator (an empty text is NULL), an auto-increment number as its 4 bytes, any
  // other value as its record bytes; IsNull for a NULL field and for a computed field
  // (which has no bytes in the image). A memo is read whole from the BLOB file.
  void Read(const TFieldDefinition& field, const uint8_t* record, TExpToken& node);

private:
  void ReadMemo(const TFieldDefinition& field, const uint8_t* reference, TExpToken& node);

  TDataCursor& FCursor;
  TBlobBuffer FBlob;  // a memo's content while it is read
};

}  // namespace kura
