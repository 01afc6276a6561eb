#pragma once

// The optimiser behind expression filters (private to the filter).
//
// It works on a prepared tree (constant parts computed, wildcard comparisons made) and
// keeps what it learns per node in a side table keyed by node, since the tree's nodes
// carry no optimiser fields:
//   Level          0 none, 1 partial (an AND with one indexed side), 2 full
//   EstimatedKeys  records the node is expected to pass (-1 unknown)
//   EstimatedCost  bytes of index keys its scans read (-1 unknown)
//   Plan           for an indexed leaf: the index, its key ranges (in the index's own
//                  order), whether the result is inverted, and whether the records found
//                  must still be evaluated (LIKE patterns with inner wildcards, a
//                  case-insensitive index serving a case-sensitive equality)
//
// Building a bitmap narrows a set of candidate records to those that satisfy the tree:
// indexed leaves scan key ranges (or the keys outside them, when that is fewer keys),
// NOT inverts within the candidates, AND narrows left to right with the better side
// first, a fully indexed OR unites, and everything else reads the remaining candidates'
// records and evaluates the node on each. A node whose index scan would read more bytes
// than the candidates' records is evaluated record by record instead.
//
// Results never depend on whether an index exists: every range is chosen so that the
// index answers exactly what record-by-record evaluation answers (a NULL text orders as
// the empty text, so text < and <= include NULLs; <> and NOT include NULLs).

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kura/base/records_bitmap.h"
#include "kura/expr/exp_token.h"
#include "kura/storage/index_key.h"

namespace kura {

class TDataCursor;
struct TFilterOptions;

namespace filter_detail {

// Tests one record against a node (or, for callback filters, against nothing).
class TRecordTest {
public:
  virtual ~TRecordTest() = default;
  // record: the record image (record slot layout); node may be null for callback filters.
  virtual bool Test(const TExpToken* node, const uint8_t* record, int32_t recNo) = 0;
  // Called before a build: per-build state (text-index parameters) may be refreshed.
  virtual void BeginBuild() {}
};

// One end of a key range: the first `Length` bytes of Key (a leading part of a key of the
// index), included or not.
struct TKeyBound {
  std::vector<uint8_t> Key;  // KeySize bytes, zero beyond Length
  int Length = 0;
  bool Inclusive = true;
};

// Keys from Low to High in the index's order.
struct TKeyRange {
  TKeyBound Low;
  TKeyBound High;
};

struct TLeafPlan {
  int Index = -1;
  std::string IndexName;
  int KeySize = 0;
  std::vector<TKeyRange> Ranges;
  bool Invert = false;
  bool Recheck = false;
  // Text search through the text index: one lookup per word (prefix when Prefix).
  bool TextSearch = false;
  struct TWord {
    std::string Text;
    bool Prefix = false;
  };
  uint16_t TextField = 0;
  std::vector<TWord> Words;
  std::string SearchText;  // the text search's search text
  std::string Describe;    // what the scan does, for Explain
};

struct TNodeInfo {
  int Level = 0;
  int64_t EstimatedKeys = -1;
  int64_t EstimatedCost = -1;
  bool RightFirst = false;  // AND: evaluate the right side first
  bool Constant = false;
  std::unique_ptr<TLeafPlan> Plan;
};

class TFilterOptimizer {
public:
  TFilterOptimizer(TDataCursor& cursor, const TFilterOptions& options, TRecordTest& test);
  ~TFilterOptimizer();
  TFilterOptimizer(const TFilterOptimizer&) = delete;
  TFilterOptimizer& operator=(const TFilterOptimizer&) = delete;

  // Computes levels, plans and (with key estimation) estimates for the tree; null for a
  // callback filter (level 0).
  void Analyze(const TExpToken* root);
  int Level() const;
  const TNodeInfo* Info(const TExpToken* node) const;

  // Narrows candidates (sized to the table's record count) to the records that pass.
  void Build(TRecordsBitmap& candidates);

  // Counters of the last build, for tests and tools.
  int64_t KeysScanned() const { return FKeysScanned; }

  std::string Explain() const;

private:
  int AnalyzeNode(const TExpToken* node);
  std::unique_ptr<TLeafPlan> PlanLeaf(const TExpToken* node);
  std::unique_ptr<TLeafPlan> PlanTextSearch(const TExpToken* function);
  void Estimate(const TExpToken* node);
  void EstimateLeaf(TNodeInfo& info);
  void BuildNode(const TExpToken* node, TRecordsBitmap& candidates);
  void BuildLeaf(const TExpToken* node, const TLeafPlan& plan, TRecordsBitmap& candidates);
  void BuildTextSearch(const TLeafPlan& plan, TRecordsBitmap& candidates);
  // The records of the plan's ranges (all keys inside), into `inside` (cleared first).
  void ScanRanges(const TLeafPlan& plan, TRecordsBitmap& inside);
  // Both sides of an AND scan ranges of the same index: one scan of where they overlap.
  bool BuildOverlappingRanges(const TExpToken* node, TRecordsBitmap& candidates);
  void Evaluate(const TExpToken* node, TRecordsBitmap& candidates);
  // Sets the bit of a record number an index key gave; KURA_FILECORRUPT when the data
  // header does not count it.
  void IncludeNamed(TRecordsBitmap& records, int32_t recNo) const;
  void ExplainNode(const TExpToken* node, int depth, std::string& out) const;

  TDataCursor& FCursor;
  const TFilterOptions& FOptions;
  TRecordTest& FTest;
  const TExpToken* FRoot = nullptr;
  std::unordered_map<const TExpToken*, TNodeInfo> FInfo;
  std::unique_ptr<TKeyTextMapper> FMapper;
  std::vector<uint8_t> FImage;  // record image for encoding constants
  int64_t FKeysScanned = 0;
};

}  // namespace filter_detail
}  // namespace kura
