#pragma once

// A single-table WHERE part served by a key range of the source's cursor instead of a
// filter. A filter makes the cursor keep a bitmap of its visible records, and building,
// combining and counting bitmaps of a large table costs far more than a query that
// finds one row or counts a key range; a range is walked and counted in the index.

#include <cstdint>
#include <string>
#include <vector>

namespace kura {

struct TExpToken;
struct TSourceTable;

// Which ranges may serve. A range puts the cursor in its index's order: only where the
// order of the rows cannot matter or already is that index's.
enum class TRangeUse : uint8_t {
  Count,           // only the number of rows is read: any suitable index
  SingleRow,       // an equality on the only field of a unique index: at most one row
  CurrentIndex,    // only the cursor's current index (it gives the result's order)
};

struct TIndexRange {
  int IndexNumber = 0;  // as TDataCursor::SetIndexNumber takes it
  std::string IndexName;
  std::vector<uint8_t> Low;   // record images holding the bounds in the key field
  std::vector<uint8_t> High;
};

// The range on `source` (open) that selects exactly the rows `node` holds for, for a
// bound node of the forms `column = value`, `value = column` and `column BETWEEN low
// AND high`, where the values are non-NULL integer constants (parameters with their
// values), the column an integer field (not an auto-increment one) that leads an
// ascending index allowed by `use` (CurrentIndex: the cursor's index apart from an
// applied range), and the values fit the field. False otherwise.
bool PlanIndexRange(TSourceTable& source, const TExpToken& node, TRangeUse use, TIndexRange& range);

// Applies the range to the source's cursor: its index changes to the range's and the
// range is set. The index it had is kept in the source, for ClearIndexRange. A range
// already applied on the same index is only moved (no change of index in between).
void ApplyIndexRange(TSourceTable& source, const TIndexRange& range);
// Undoes ApplyIndexRange (nothing when no range was applied).
void ClearIndexRange(TSourceTable& source);

}  // namespace kura
