#include "kura/sql/select_execute.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/base/scope_guard.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/engine/progress_reporter.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/sql/column_resolution.h"
#include "kura/sql/data_query.h"
#include "kura/sql/index_range.h"
#include "kura/sql/join_links.h"
#include "kura/sql/link_probe.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/query_values.h"
#include "kura/sql/result_rows.h"
#include "kura/sql/result_table.h"
#include "kura/sql/sql_messages.h"

namespace kura {

namespace {

constexpr int kNaturalOrderIndex = 255;
// The memory a run may take for the rows of one hashed join link.
constexpr int64_t kHashMemoryLimit = int64_t{256} << 20;

// Every node of a tree, parents before children (not the trees of sub-selects).
void ForEachNode(TExpToken* node, const std::function<void(TExpToken&)>& visit) {
  if (node == nullptr) return;
  visit(*node);
  ForEachNode(node->Operand, visit);
  ForEachNode(node->RightOperand, visit);
  for (TExpToken* argument : node->Arguments) ForEachNode(argument, visit);
}

// The source tables a bound subtree reads, in the order met.
std::vector<TSourceTable*> TablesOf(const TExpToken* node) {
  std::vector<TSourceTable*> tables;
  AnyNode(node, [&](const TExpToken& n) {
    if (n.Kind == kNodeColumn && n.SourceTable != nullptr) {
      auto* table = static_cast<TSourceTable*>(n.SourceTable);
      if (std::find(tables.begin(), tables.end(), table) == tables.end()) tables.push_back(table);
    }
    return false;
  });
  return tables;
}

// Sub-selects and LASTAUTOINC()/IDENT_CURRENT() need the query to evaluate; a cursor's
// own expression filter cannot serve them.
bool NeedsQueryContext(const TExpToken* node) {
  return AnyNode(node, [](const TExpToken& n) {
    return n.Kind == kNodeSubSelect ||
           (n.Kind == kNodeFunction && (n.OpCode == kFuncLastAutoInc || n.OpCode == kFuncIdentCurrent));
  });
}

// A comparison of a constant with a column is turned column first: the filter optimiser
// finds index ranges for column-op-constant.
void ColumnFirst(TExpToken& node) {
  if (node.Kind != kNodeBinary || !IsComparisonOp(node.OpCode) || node.Operand == nullptr ||
      node.RightOperand == nullptr) {
    return;
  }
  if (node.Operand->Kind != kNodeColumn && node.RightOperand->Kind == kNodeColumn) SwapComparisonOperands(node);
}

// The top-level AND parts of a condition.
void Conjuncts(const TExpToken* node, std::vector<const TExpToken*>& parts) {
  if (node != nullptr && node->Kind == kNodeBinary && node->OpCode == kOpAnd) {
    Conjuncts(node->Operand, parts);
    Conjuncts(node->RightOperand, parts);
  } else if (node != nullptr) {
    parts.push_back(node);
  }
}

// A link's condition may compare the target with a table that, once the tree was
// re-rooted, comes after it in the production order: those parts cannot position the
// target and are tested on the whole row combination instead.
void MoveLateLinkParts(TDataQuery& query) {
  for (TSourceTable* source : query.JoinOrder) {
    for (auto& link : source->JoinLinks) {
      if (!link->Condition) continue;
      std::vector<const TExpToken*> parts;
      Conjuncts(link->Condition.get(), parts);
      const auto late = [&](const TExpToken* part) {
        return AnyNode(part, [&](const TExpToken& n) {
          const auto* table = static_cast<const TSourceTable*>(n.SourceTable);
          return n.Kind == kNodeColumn && table != nullptr && table != link->Target &&
                 table->JoinPosition > link->Target->JoinPosition;
        });
      };
      if (std::none_of(parts.begin(), parts.end(), late)) continue;
      TExpTree kept;
      for (const TExpToken* part : parts) {
        AndCondition(late(part) ? query.ResidualCondition : kept, TExpTree(CopyTree(part)));
      }
      link->Condition = std::move(kept);
    }
  }
}

// How WHERE conditions are placed on the sources' cursors.
enum class TPlacementRule : uint8_t {
  Filters,         // live result or single count: everything becomes a cursor filter
  OptimisedFirst,  // canned, before the join order: what indexes serve
  RestSecond,      // canned, after it: the rest, as filters or per-row conditions
};

class TSelectRun {
public:
  explicit TSelectRun(TDataQuery& query) : FQuery(query), FContext(QueryEvaluationContext(query)) {}

  void Run();
  void RunCombinations(const TRowVisitor& visit);

private:
  struct TPlacement {
    TSourceTable* Table;
    const TExpToken* Node;
    bool Optimised = false;
  };

  void DropRunFilters();
  void BindConditions();
  void CollectPlacements(const TExpToken* node, std::vector<TPlacement>& out) const;
  void Place(std::vector<TPlacement>& placements, TPlacementRule rule);
  TFilter* Install(TSourceTable& table, const TExpToken& node, bool activate);
  void PlaceRange(TRangeUse use);
  void RunLive();
  void Prepare();
  void RunCanned();
  void PlaceForRowLoop();
  void RunRowLoop(const TRowVisitor& visit);
  // The next row of the table itself (its links' targets not advanced) that completes its
  // part of the tree.
  bool NextOwnRow(TSourceTable& table);

  // Row production over the join tree.
  bool ReadQualifying(TSourceTable& table, bool first);
  bool First(TSourceTable& table, TLinkKind kind);
  bool Next(TSourceTable& table);
  bool Apply(TJoin& link);
  bool ApplyAll(TSourceTable& table);
  void MarkAtEnd(TSourceTable& table);
  void PositionTarget(TJoin& link);
  bool Holds(const TExpTree& prepared) {
    return !prepared || EvaluateCondition(*prepared, nullptr, FContext);
  }

  TDataQuery& FQuery;
  TEvaluationContext FContext;
  std::vector<TPlacement> FPlacements;
  TExpTree FResidual;  // prepared for this run
  TExpTree FPostFilter;
  std::unordered_map<const TSourceTable*, TExpTree> FLocal;  // prepared LocalConditions
  std::unordered_map<const TJoin*, bool> FNullRow;  // a left outer link gave its NULL row
  // Links whose target is found by hashing (see TLinkProbe), by target, with the link
  // condition each candidate must pass; built at the link's first use in the run.
  struct THashedLink {
    std::unique_ptr<TLinkProbe> Probe;
    TExpTree Condition;  // prepared
  };
  std::unordered_map<const TSourceTable*, THashedLink> FHashed;
  std::unordered_map<const TJoin*, bool> FProbeTried;
};

void TSelectRun::DropRunFilters() {
  for (const auto& source : FQuery.SourceTables) {
    source->AtEnd = false;
    if (!source->Cursor) continue;
    for (TFilter* filter : source->Filters) source->Cursor->DropFilter(filter);
    source->Filters.clear();
    for (auto& link : source->JoinLinks) {
      if (link->Filter != nullptr && link->Target->Cursor) link->Target->Cursor->DropFilter(link->Filter);
      link->Filter = nullptr;
    }
  }
  FQuery.PostFilterCondition.reset();
}

void TSelectRun::BindConditions() {
  if (FQuery.WhereCondition) BindQueryCondition(FQuery, FQuery.WhereCondition.get(), sqlmsg::kContextWhere);
  if (FQuery.ResidualCondition) BindQueryCondition(FQuery, FQuery.ResidualCondition.get(), sqlmsg::kContextWhere);
  for (const auto& source : FQuery.SourceTables) {
    for (auto& link : source->JoinLinks) {
      if (link->Condition) BindQueryCondition(FQuery, link->Condition.get(), sqlmsg::kContextJoin);
    }
  }
  SplitLinkConditions(FQuery);
  for (const auto& source : FQuery.SourceTables) {
    if (source->LocalCondition) BindQueryCondition(FQuery, source->LocalCondition.get(), sqlmsg::kContextJoin);
  }
}

// Splits WHERE into single-table conditions: AND over several tables into its sides,
// anything else (NOT, OR, a comparison, a predicate, a function) whole on its one table;
// a condition without columns goes to the root table.
void TSelectRun::CollectPlacements(const TExpToken* node, std::vector<TPlacement>& out) const {
  if (node == nullptr) return;
  const std::vector<TSourceTable*> tables = TablesOf(node);
  if (tables.size() > 1) {
    if (node->Kind == kNodeBinary && node->OpCode == kOpAnd) {
      CollectPlacements(node->Operand, out);
      CollectPlacements(node->RightOperand, out);
      return;
    }
    // Join extraction leaves only single-table conditions under OR and NOT.
    RaiseSqlError(sqlmsg::kTableFilterError);
  }
  TSourceTable* table = tables.empty() ? FQuery.JoinOrder.front() : tables.front();
  out.push_back({table, node});
}

TFilter* TSelectRun::Install(TSourceTable& table, const TExpToken& node, bool activate) {
  TDataCursor& cursor = *table.Cursor;
  TFilter* filter = nullptr;
  if (NeedsQueryContext(&node)) {
    // Evaluated against the record the filter is given (the tree reads only this table).
    auto prepared = std::shared_ptr<TExpToken>(PrepareExpression(node, FContext, false, false).release(), ReleaseTree);
    TEvaluationContext context = FContext;
    filter = cursor.AddCallbackFilter(
        [prepared, context](TDataCursor& /*cursor*/, const uint8_t* record, int32_t /*recNo*/) {
          return EvaluateCondition(*prepared, record, context);
        },
        false);
  } else {
    filter = cursor.AddExprFilter(CopyTree(&node));
  }
  table.Filters.push_back(filter);
  if (activate) cursor.ActivateFilter(filter);
  return filter;
}

// A one-table query: the first WHERE part a key range of the cursor can serve becomes
// that range instead of a filter (see index_range.h for why and when).
//
// The range of the run before stays on the cursor until this decides (the next run of
// a prepared point query then only moves the range: the cursor keeps its index and never
// rebuilds a view of the whole table in between).
void TSelectRun::PlaceRange(TRangeUse use) {
  if (FQuery.SourceTables.size() == 1) {
    TSourceTable& source = *FQuery.SourceTables.front();
    for (auto it = FPlacements.begin(); it != FPlacements.end(); ++it) {
      if (it->Table != &source || NeedsQueryContext(it->Node)) continue;
      std::vector<const TExpToken*> parts;
      Conjuncts(it->Node, parts);
      for (size_t i = 0; i < parts.size(); ++i) {
        TIndexRange range;
        if (!PlanIndexRange(source, *parts[i], use, range)) continue;
        ApplyIndexRange(source, range);
        source.RangeText = "key range on index " + std::to_string(range.IndexNumber) + " \"" + range.IndexName +
                           "\": " + ConditionText(FQuery, parts[i]);
        // The other parts of the AND stay conditions of the table.
        it = FPlacements.erase(it);
        for (size_t j = 0; j < parts.size(); ++j) {
          if (j != i) it = std::next(FPlacements.insert(it, TPlacement{&source, parts[j]}));
        }
        return;
      }
    }
  }
  for (const auto& source : FQuery.SourceTables) ClearIndexRange(*source);
}

void TSelectRun::Place(std::vector<TPlacement>& placements, TPlacementRule rule) {
  for (TPlacement& placement : placements) {
    TSourceTable& table = *placement.Table;
    switch (rule) {
      case TPlacementRule::Filters: Install(table, *placement.Node, true); break;
      case TPlacementRule::OptimisedFirst: {
        if (BelowOuterLink(FQuery, &table)) {
          // The missing side of an outer join is NULL only when the join found no row (a
          // filter on its cursor would not see the NULL row): the table's own WHERE
          // conditions are tested on the combination instead.
          placement.Optimised = true;
          AndCondition(FQuery.PostFilterCondition, TExpTree(CopyTree(placement.Node)));
          break;
        }
        if (NeedsQueryContext(placement.Node)) break;
        TFilter* filter = Install(table, *placement.Node, false);
        if (table.Cursor->GetFilterOptimizeLevel(filter) > kFilterNotOptimized) {
          placement.Optimised = true;
          table.Cursor->ActivateFilter(filter);
        } else {
          table.Cursor->DropFilter(filter);
          table.Filters.pop_back();
        }
        break;
      }
      case TPlacementRule::RestSecond:
        if (placement.Optimised) break;
        if (FQuery.SourceTables.size() == 1) {
          AndCondition(FQuery.PostFilterCondition, TExpTree(CopyTree(placement.Node)));
        } else {
          Install(table, *placement.Node, true);
        }
        break;
    }
  }
}

void TSelectRun::Run() {
  Prepare();
  if (FQuery.LiveResult) {
    RunLive();
  } else {
    RunCanned();
  }
}

void TSelectRun::RunCombinations(const TRowVisitor& visit) {
  Prepare();
  PlaceForRowLoop();
  RunRowLoop(visit);
}

void TSelectRun::Prepare() {
  DropRunFilters();
  BindConditions();
  for (const auto& source : FQuery.SourceTables) source->Cursor->Refresh();
  for (const auto& source : FQuery.FunctionSources) source->Cursor->Refresh();
  FQuery.SubSelectValues.Gathered = false;
  FPlacements.clear();
  CollectPlacements(FQuery.WhereCondition.get(), FPlacements);
}

void TSelectRun::RunLive() {
  CollectPlacements(FQuery.ResidualCondition.get(), FPlacements);
  // The live result shows the cursor in its index's order when ORDER BY chose one.
  PlaceRange(FQuery.OrderByIndexed ? TRangeUse::CurrentIndex : TRangeUse::SingleRow);
  Place(FPlacements, TPlacementRule::Filters);
  TDataCursor& cursor = *FQuery.SourceTables.front()->Cursor;
  cursor.SetToBegin();
  FQuery.ResultCursor = &cursor;
  FQuery.Rows = cursor.GetRecordCount();
}

void TSelectRun::RunCanned() {
  std::vector<TDataCursor*> locked;
  const auto unlock = OnScopeExit([&] {
    for (TDataCursor* cursor : locked) {
      try {
        cursor->QueryReadUnlock();
      } catch (const EKuraEngineError&) {
        // The run's own outcome is what the caller hears about.
      }
    }
  });
  if (FQuery.WithLocks) {
    for (const auto& source : FQuery.SourceTables) {
      if (source->Cursor->QueryReadLock()) locked.push_back(source->Cursor.get());
    }
  }
  TDataCursor& result = *FQuery.CannedResult->Cursor;
  if (result.FilterCount() > 0) result.DropFilter(nullptr);
  result.EmptyTable();

  TResultRows rows(FQuery);
  if (FQuery.SingleCount && !FQuery.ResidualCondition) {
    PlaceRange(TRangeUse::Count);
    Place(FPlacements, TPlacementRule::Filters);
    rows.FinishSingleCount(FQuery.SourceTables.front()->Cursor->GetRecordCount());
  } else {
    PlaceForRowLoop();
    RunRowLoop([&rows] { return rows.Add() ? TRowStep::Next : TRowStep::Stop; });
    rows.Finish();
  }
  result.Refresh();
  result.SetToBegin();
  FQuery.ResultCursor = &result;
  FQuery.Rows = result.GetRecordCount();
}

void TSelectRun::PlaceForRowLoop() {
  PlaceRange(TRangeUse::SingleRow);
  Place(FPlacements, TPlacementRule::OptimisedFirst);
  ChooseJoinOrder(FQuery);
  MoveLateLinkParts(FQuery);
  Place(FPlacements, TPlacementRule::RestSecond);
}

void TSelectRun::RunRowLoop(const TRowVisitor& visit) {
  if (FQuery.ResidualCondition) FResidual = PrepareExpression(*FQuery.ResidualCondition, FContext, false, false);
  if (FQuery.PostFilterCondition) FPostFilter = PrepareExpression(*FQuery.PostFilterCondition, FContext, false, false);
  for (const auto& source : FQuery.SourceTables) {
    if (source->LocalCondition) FLocal[source.get()] = PrepareExpression(*source->LocalCondition, FContext, false, false);
  }
  bool abort = false;
  TProgressReporter progress = FQuery.Statement().ProgressReporter(abort);

  TSourceTable& root = *FQuery.JoinOrder.front();
  const int64_t total = root.Cursor->GetRecordCount();
  bool more = First(root, TLinkKind::Plain);
  int32_t position = more ? root.Cursor->GetRecNo() : 0;
  int64_t driving = 1;
  while (more && !abort) {
    if (const int32_t now = root.Cursor->GetRecNo(); now != position) {
      position = now;
      // The driving row just left counts as done, the new one does not.
      if (total > 0) progress.Step(driving, total);
      ++driving;
      if (abort) break;
    }
    TRowStep step = TRowStep::Next;
    if (Holds(FResidual) && Holds(FPostFilter)) step = visit();
    if (step == TRowStep::Stop) break;
    more = step == TRowStep::NextDrivingRow ? NextOwnRow(root) : Next(root);
  }
  progress.Finish();
}

bool TSelectRun::NextOwnRow(TSourceTable& table) {
  while (ReadQualifying(table, false)) {
    if (ApplyAll(table)) return true;
  }
  return false;
}

bool TSelectRun::ReadQualifying(TSourceTable& table, bool first) {
  if (const auto hashed = FHashed.find(&table); hashed != FHashed.end()) {
    TLinkProbe& probe = *hashed->second.Probe;
    if (first) probe.Restart();
    while (probe.Next(table)) {
      table.AtEnd = false;
      if (Holds(hashed->second.Condition)) return true;
    }
    table.AtEnd = true;
    return false;
  }
  TDataCursor& cursor = *table.Cursor;
  if (first) cursor.SetToBegin();
  const auto local = FLocal.find(&table);
  while (true) {
    const int code = cursor.GetNextRecord(table.RecordBuffer.data());
    if (code != 0) {
      if (code != KURA_EOF) RaiseEngineError(static_cast<TErrorCode>(code));
      table.AtEnd = true;
      return false;
    }
    table.AtEnd = false;
    if (local == FLocal.end() || Holds(local->second)) return true;
  }
}

void TSelectRun::MarkAtEnd(TSourceTable& table) {
  table.AtEnd = true;
  for (auto& link : table.JoinLinks) {
    FNullRow[link.get()] = true;
    MarkAtEnd(*link->Target);
  }
}

// The first complete row of `table`'s part of the tree (the table and everything its
// links reach) for the current rows of the tables before it.
//
// A left outer link keeps its driving row: its target gives one NULL row when its part
// of the tree yields no complete row, whether the target has no qualifying row or none
// of its rows finds partners through every link below it (the matched flag of a
// nested-loop outer join). So a left outer link into b with an inner link from b to c
// joins as LEFT JOIN (b JOIN c), and a re-rooted RIGHT OUTER JOIN keeps every row of
// its preserved table.
bool TSelectRun::First(TSourceTable& table, TLinkKind kind) {
  if (ReadQualifying(table, true)) {
    if (table.JoinLinks.empty()) return true;
    do {
      if (ApplyAll(table)) return true;
    } while (ReadQualifying(table, false));
  }
  if (kind != TLinkKind::LeftOuter) return false;
  // The missing side of an outer join is one row of NULLs. It drives its own outer
  // links like any row (NULL = NULL holds in this language, so a NULL row can find
  // partners there); the tables it reaches through inner links (a re-rooted inner
  // join among them) are missing with it.
  table.AtEnd = true;
  for (auto& link : table.JoinLinks) {
    if (link->Kind == TLinkKind::LeftOuter) {
      Apply(*link);
    } else {
      MarkAtEnd(*link->Target);
      FNullRow[link.get()] = true;
    }
  }
  return true;
}

// A later link's condition may read the target of an earlier one (a comparison between
// two tables that one table drives): when a link finds no row, the earlier links are
// advanced, odometer-like, before the table's row is given up.
bool TSelectRun::ApplyAll(TSourceTable& table) {
  auto& links = table.JoinLinks;
  size_t i = 0;
  while (i < links.size()) {
    if (Apply(*links[i])) {
      ++i;
      continue;
    }
    while (true) {
      if (i == 0) return false;
      --i;
      if (!FNullRow[links[i].get()] && Next(*links[i]->Target)) {
        ++i;
        break;
      }
    }
  }
  return true;
}

bool TSelectRun::Apply(TJoin& link) {
  FNullRow[&link] = false;
  if (link.Condition) PositionTarget(link);
  return First(*link.Target, link.Kind);
}

// The link's condition with every column of the tables before the target replaced by
// its current value becomes the target's link filter: the target's cursor then shows
// only the rows that match the current driving row (through an index where one serves).
void TSelectRun::PositionTarget(TJoin& link) {
  // The changed table of UPDATE and DELETE is changed through its cursor, which must
  // stand on the row: it is never read by hashing.
  const bool changed = (FQuery.StatementKind == TStatementKind::Update || FQuery.StatementKind == TStatementKind::Delete) &&
                       link.Target == FQuery.SourceTables.front().get();
  if (!FProbeTried[&link] && !changed) {
    FProbeTried[&link] = true;
    link.HashProbe.clear();
    const auto local = FLocal.find(link.Target);
    std::unique_ptr<TLinkProbe> probe = TLinkProbe::Build(
        link, local == FLocal.end() ? nullptr : local->second.get(), FContext, kHashMemoryLimit);
    if (probe) {
      link.HashProbe = probe->Describe();
      FHashed[link.Target] = {std::move(probe), PrepareExpression(*link.Condition, FContext, false, false)};
    }
  }
  if (const auto hashed = FHashed.find(link.Target); hashed != FHashed.end()) {
    hashed->second.Probe->Position(FContext);
    return;
  }
  TExpTree tree(CopyTree(link.Condition.get()));
  ForEachNode(tree.get(), [&](TExpToken& node) {
    if (node.Kind != kNodeColumn || node.SourceTable == link.Target) return;
    FContext.GetColumnValue(FContext.Data, nullptr, node);
    node.Kind = kNodeConstant;
    node.IsBound = 0;
    node.SourceTable = nullptr;
  });
  ForEachNode(tree.get(), [](TExpToken& node) { ColumnFirst(node); });
  TDataCursor& cursor = *link.Target->Cursor;
  if (link.Filter != nullptr) {
    cursor.ReplaceFilterExpression(link.Filter, tree.release());
  } else {
    link.Filter = cursor.AddExprFilter(tree.release());
    cursor.ActivateFilter(link.Filter);
  }
}

bool TSelectRun::Next(TSourceTable& table) {
  auto& links = table.JoinLinks;
  size_t i = links.size();
  while (i > 0) {
    TJoin& link = *links[i - 1];
    if (!FNullRow[&link] && Next(*link.Target)) {
      bool complete = true;
      for (size_t j = i; j < links.size() && complete; ++j) complete = Apply(*links[j]);
      if (complete) return true;
      continue;  // a later link has no row for this one: advance it again
    }
    --i;
  }
  return NextOwnRow(table);
}

}  // namespace

void SetUpLiveResult(TDataQuery& query) {
  TSourceTable& source = *query.SourceTables.front();
  TDataCursor& cursor = *source.Cursor;
  const auto& fields = cursor.FieldDefinitions();
  std::vector<TFieldDefinition> map;
  for (const auto& column : query.ResultFields) {
    const bool plain = !column->IsExpression && column->AggregateKind == TAggregateKind::None &&
                       column->SourceTable == &source && column->SourceFieldNo >= 1 &&
                       static_cast<size_t>(column->SourceFieldNo) <= fields.size();
    if (plain) {
      TFieldDefinition field = fields[static_cast<size_t>(column->SourceFieldNo - 1)];
      field.Name = column->ColumnName;
      map.push_back(std::move(field));
      continue;
    }
    TFieldDefinition field = ResultFieldOf(*column, static_cast<uint16_t>(column->ResultFieldNo));
    field.Computed = true;
    field.DataSize = column->Size;
    field.DataScale = column->Scale;
    field.Expression = std::shared_ptr<TExpToken>(CopyTree(column->Expression.get()), ReleaseTree);
    map.push_back(std::move(field));
  }
  cursor.SetFieldMap(std::move(map));
  cursor.SetIndexNumber(query.OrderByIndexed ? query.OrderByIndex : kNaturalOrderIndex);
}

void ExecuteSelect(TDataQuery& query) {
  TSelectRun run(query);
  run.Run();
}

void RunRowCombinations(TDataQuery& query, const TRowVisitor& visit) {
  TSelectRun run(query);
  run.RunCombinations(visit);
}

std::string ExplainSelect(const TDataQuery& query) {
  std::ostringstream text;
  text << (query.LiveResult ? "live result" : "canned result");
  if (query.LiveResult && query.OrderByIndexed && !query.SourceTables.empty() && query.SourceTables.front()->Cursor) {
    const TDataCursor& cursor = *query.SourceTables.front()->Cursor;
    // The primary index has no name of its own; filters explain it as "primary" too.
    const std::string name = cursor.IndexNumber() == 0 ? "primary" : cursor.IndexName();
    text << ", ordered by index " << cursor.IndexNumber() << " \"" << name << "\"";
  }
  text << "\n" << DescribeJoinLinks(query);
  for (const TSourceTable* source : query.JoinOrder) {
    text << "source " << source->CorrelationName << ":";
    if (source->Filters.empty() && !source->RangeApplied) text << " no filter";
    text << "\n";
    if (source->RangeApplied) text << "  " << source->RangeText << "\n";
    for (const TFilter* filter : source->Filters) {
      std::istringstream lines(filter->Explain());
      for (std::string line; std::getline(lines, line);) text << "  " << line << "\n";
    }
  }
  if (query.ResidualCondition) text << "per row combination: " << ConditionText(query, query.ResidualCondition.get()) << "\n";
  if (query.PostFilterCondition) {
    text << "per row combination: " << ConditionText(query, query.PostFilterCondition.get()) << "\n";
  }
  return text.str();
}

}  // namespace kura
