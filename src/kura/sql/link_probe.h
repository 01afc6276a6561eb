#pragma once

// Finding the rows of a join link's target by hashing: when the link's condition holds
// an equality of an integer column of the target with an expression over the tables
// that drive it, the target's qualifying rows are read once per run into memory and
// grouped by that column's value; each driving row then looks up its value instead of
// positioning the target's cursor through a new filter.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kura/expr/expression_evaluator.h"

namespace kura {

struct TJoin;
struct TSourceTable;

class TLinkProbe {
public:
  // A probe for `link`, or null when its condition has no such equality (a top-level
  // AND part `target.column = expression` where the column is an integer and the
  // expression an integer or float over other tables, without sub-selects), or when the
  // target's rows would take more than `memoryLimit` bytes. Reads the target's cursor
  // from its first row with its filters as they stand, keeping the rows for which
  // `local` (prepared over the query, may be null) holds. Candidates it gives must still
  // be tested against the whole link condition.
  static std::unique_ptr<TLinkProbe> Build(TJoin& link, const TExpToken* local, const TEvaluationContext& context,
                                           int64_t memoryLimit);

  // Chooses the candidates for the current driving row (its values in the driving
  // tables' record buffers): the rows whose column equals the expression's value (a
  // NULL value matches the NULL rows, as = does in this language).
  void Position(const TEvaluationContext& context);
  // Back to the first candidate of the current choice.
  void Restart() { FNext = 0; }
  // Copies the next candidate into the target's RecordBuffer; false when none is left.
  bool Next(TSourceTable& target);
  // "hash on <column>, <n> rows"
  std::string Describe() const;

private:
  TLinkProbe() = default;

  std::string FColumnName;
  TExpTree FDriverSide;  // the expression over the driving tables, prepared
  size_t FRecordSize = 0;
  std::vector<uint8_t> FRows;  // the kept rows, one image after the other
  std::unordered_map<int64_t, std::vector<uint32_t>> FBuckets;
  std::vector<uint32_t> FNullRows;
  const std::vector<uint32_t>* FCurrent = nullptr;
  size_t FNext = 0;
};

}  // namespace kura
