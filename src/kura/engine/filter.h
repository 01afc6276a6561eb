#pragma once

// A filter restricts a cursor to the records that pass it: an expression over the
// table's fields (text parsed here, or a tree built by the SQL engine) or a callback the
// dataset layer calls per record. The cursor keeps its filters in a list and shows only
// records set in every active filter's bitmap.
//
// Building a filter's bitmap does not walk the table when it can avoid it: the parts of
// the expression an index can answer (comparisons, IS NULL, LIKE prefixes, IN lists,
// BETWEEN, text searches) become index range scans into record bitmaps; only the rest
// is evaluated record by record, and only over the records still in question.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kura/base/records_bitmap.h"
#include "kura/expr/exp_token.h"

namespace kura {

class TDataCursor;

// Called for each record in question; true when the record passes.
using TFilterCallback = std::function<bool(TDataCursor& cursor, const uint8_t* record, int32_t recNo)>;

struct TFilterOptions {
  // Passed to the preparation of the expression: no prefix comparison for a constant
  // ending in '*', and string comparisons without regard to case.
  bool NoPartialCompare = false;
  bool CaseInsensitive = false;
  // Optimiser switches: count keys in index ranges to estimate costs; scan the keys
  // outside a range and invert when the range holds most keys.
  bool EstimateKeys = true;
  bool UseComplement = true;
  // Kept at the end of the cursor's list; unless fully optimised, evaluated only on the
  // records that pass the active filters before it.
  bool AfterOthers = false;
  // The filter frees a tree given to it when it is destroyed.
  bool OwnsExpression = true;
};

// Optimisation levels.
constexpr int kFilterNotOptimized = 0;
constexpr int kFilterPartlyOptimized = 1;
constexpr int kFilterFullyOptimized = 2;

class TFilter {
public:
  // An expression filter from text: parsed with the filter label "filter expression",
  // columns resolved against the cursor's table, the result checked to be boolean,
  // comparisons normalised to column-op-constant, then prepared for evaluation. Errors
  // raise KURA_INVALIDFILTER with the detail in ExtraMessage.
  static std::unique_ptr<TFilter> FromText(TDataCursor& cursor, const std::string& text,
                                           const TFilterOptions& options);
  // An expression filter from a bound tree (the SQL engine's WHERE), used as it is.
  // nullptr raises KURA_INVALIDFILTER "filter expression is invalid".
  static std::unique_ptr<TFilter> FromTree(TDataCursor& cursor, TExpToken* tree, const TFilterOptions& options);
  // A callback filter (level 0). An empty callback raises KURA_INVALIDFILTER.
  static std::unique_ptr<TFilter> FromCallback(TDataCursor& cursor, TFilterCallback callback, bool afterOthers);
  ~TFilter();
  TFilter(const TFilter&) = delete;
  TFilter& operator=(const TFilter&) = delete;

  int OptimizeLevel() const;
  bool Active() const { return FActive; }
  void SetActive(bool active) { FActive = active; }
  bool AfterOthers() const { return FOptions.AfterOthers; }
  const TFilterOptions& Options() const { return FOptions; }
  // The records that pass, as of the last BuildBitmap (sized to the table's record
  // count).
  TRecordsBitmap& Bitmap() { return *FBitmap; }

  // Candidates in, passing records out: index range scans where the optimiser can and it
  // is worth it, records read through the table's cache and evaluated otherwise (only the
  // candidates' records). Runs under the cursor's read scope.
  void BuildBitmap(TRecordsBitmap& candidates);
  // Whether one record image passes (for the upkeep after an edit).
  bool Passes(const uint8_t* record, int32_t recNo);
  // Swaps the expression (a bound tree, as FromTree) and recomputes the level.
  void ReplaceExpression(TExpToken* tree);
  const TExpToken* Expression() const;
  // The callback of a callback filter (empty for expression filters).
  const TFilterCallback& Callback() const;
  // For tools: the level and which index served each part, one line per part.
  std::string Explain() const;

private:
  struct TImpl;
  explicit TFilter(TDataCursor& cursor, const TFilterOptions& options);

  TDataCursor& FCursor;
  TFilterOptions FOptions;
  bool FActive = false;
  std::unique_ptr<TRecordsBitmap> FBitmap;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace kura
