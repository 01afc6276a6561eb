#include "kura/sql/join_links.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kura/expr/expression_text.h"
#include "kura/sql/column_resolution.h"
#include "kura/sql/data_query.h"
#include "kura/sql/sql_messages.h"

namespace kura {

namespace {

// A few tables, each once, in the order they were met.
using TTables = std::vector<TSourceTable*>;

bool Contains(const TTables& tables, const TSourceTable* table) {
  return std::find(tables.begin(), tables.end(), table) != tables.end();
}

TSourceTable* SourceOf(const TDataQuery& query, const TExpToken& column) {
  for (const auto& table : query.SourceTables) {
    if (table.get() == column.SourceTable) return table.get();
  }
  return nullptr;
}

// The tables a subtree refers to. A column bound to no source of the query raises the
// validation message.
TTables TablesOf(const TDataQuery& query, const TExpToken* node) {
  TTables tables;
  AnyNode(node, [&](const TExpToken& n) {
    if (n.Kind != kNodeColumn) return false;
    TSourceTable* table = SourceOf(query, n);
    if (table == nullptr) RaiseSqlError(sqlmsg::kJoinValidateError);
    if (!Contains(tables, table)) tables.push_back(table);
    return false;
  });
  return tables;
}

bool IsBinary(const TExpToken* node, uint8_t opCode) {
  return node != nullptr && node->Kind == kNodeBinary && node->OpCode == opCode;
}
bool IsNot(const TExpToken* node) { return node != nullptr && node->Kind == kNodeUnary && node->OpCode == kOpNot; }
bool IsComparison(const TExpToken* node) {
  return node != nullptr && node->Kind == kNodeBinary && IsComparisonOp(node->OpCode);
}

bool IsUpdateOrDelete(const TDataQuery& query) {
  return query.StatementKind == TStatementKind::Update || query.StatementKind == TStatementKind::Delete;
}

// ---- moving subtrees ----

// Takes the subtree at `slot` (a parent's child pointer, or a root) out of its tree.
TExpTree Detach(TExpToken*& slot) {
  TExpTree subtree(slot);
  slot = nullptr;
  if (subtree) subtree->Parent = nullptr;
  return subtree;
}

// An AND node at `slot` one or both of whose sides have been taken out: the remaining
// side takes its place, or the slot empties when none remains. Returns whether the slot
// is empty now.
bool CollapseAnd(TExpToken*& slot) {
  TExpToken* node = slot;
  if (node->Operand != nullptr && node->RightOperand != nullptr) return false;
  TExpToken* rest = node->Operand != nullptr ? node->Operand : node->RightOperand;
  node->Operand = node->RightOperand = nullptr;
  if (rest != nullptr) rest->Parent = node->Parent;
  slot = rest;
  ExpTokenStack().Put(node);
  return rest == nullptr;
}

// Holds a tree's root as a raw slot while it is being cut up, and hands it back to its
// owner on every path.
class TRootSlot {
public:
  explicit TRootSlot(TExpTree& owner) : Root(owner.release()), Owner_(owner) {}
  ~TRootSlot() { Owner_.reset(Root); }
  TRootSlot(const TRootSlot&) = delete;
  TRootSlot& operator=(const TRootSlot&) = delete;

  TExpToken* Root;  // the slot: what it holds when the scope ends goes back

private:
  TExpTree& Owner_;
};

// ---- the link tree ----

void Renumber(TDataQuery& query) {
  for (size_t i = 0; i < query.JoinOrder.size(); ++i) query.JoinOrder[i]->JoinPosition = static_cast<int16_t>(i + 1);
}

// The place of a table in JoinOrder (0-based); a table that is not where its
// JoinPosition says raises the optimisation message.
size_t PlaceOf(const TDataQuery& query, const TSourceTable* table) {
  const auto place = static_cast<size_t>(table->JoinPosition - 1);
  if (table->JoinPosition < 1 || place >= query.JoinOrder.size() || query.JoinOrder[place] != table) {
    RaiseSqlError(sqlmsg::kJoinOptimizationError);
  }
  return place;
}

TJoin* FindLink(const TSourceTable* driver, const TSourceTable* target) {
  for (const auto& link : driver->JoinLinks) {
    if (link->Target == target) return link.get();
  }
  return nullptr;
}

bool HasKind(const TJoin* link) { return link != nullptr && link->Kind != TLinkKind::Plain; }

TJoin* AddLink(TSourceTable* driver, TSourceTable* target, TLinkKind kind) {
  auto link = std::make_unique<TJoin>();
  link->Driver = driver;
  link->Target = target;
  link->Kind = kind;
  driver->JoinLinks.push_back(std::move(link));
  return driver->JoinLinks.back().get();
}

// Takes a link out of its driver's list.
std::unique_ptr<TJoin> TakeLink(TJoin* link) {
  auto& links = link->Driver->JoinLinks;
  const auto it = std::find_if(links.begin(), links.end(), [&](const auto& l) { return l.get() == link; });
  if (it == links.end()) RaiseSqlError(sqlmsg::kJoinOptimizationError);
  std::unique_ptr<TJoin> owned = std::move(*it);
  links.erase(it);
  return owned;
}

// The filter a link placed on its target's cursor belongs to that target: a link that
// changes direction gives it up first.
void DropLinkFilter(TJoin& link) {
  if (link.Filter == nullptr) return;
  if (link.Target->Cursor) link.Target->Cursor->DropFilter(link.Filter);
  link.Filter = nullptr;
}

void SortLinks(TSourceTable& table) {
  std::stable_sort(table.JoinLinks.begin(), table.JoinLinks.end(),
                   [](const auto& a, const auto& b) { return a->Target->JoinPosition < b->Target->JoinPosition; });
}

// Ties the parts of the tree together again after JoinOrder or the links with a kind
// changed: Plain links are made anew, from the table before each table that has no
// incoming link with a kind; positions are renumbered and links sorted.
void Reglue(TDataQuery& query) {
  Renumber(query);
  for (const auto& table : query.SourceTables) {
    std::erase_if(table->JoinLinks, [](const auto& link) { return link->Kind == TLinkKind::Plain; });
  }
  for (size_t i = 1; i < query.JoinOrder.size(); ++i) {
    if (IncomingLink(query, query.JoinOrder[i]) == nullptr) {
      AddLink(query.JoinOrder[i - 1], query.JoinOrder[i], TLinkKind::Plain);
    }
  }
  for (const auto& table : query.SourceTables) SortLinks(*table);
}

// The table at the top of `table`'s part of the tree: up through links with a kind.
TSourceTable* PartRoot(const TDataQuery& query, TSourceTable* table) {
  while (true) {
    TJoin* incoming = IncomingLink(query, table);
    if (!HasKind(incoming)) return table;
    table = incoming->Driver;
  }
}

// `root` and every table below it through links with a kind, parents before their
// children (depth first, links in order).
TTables PartOf(TSourceTable* root) {
  TTables part;
  std::vector<TSourceTable*> pending{root};
  while (!pending.empty()) {
    TSourceTable* table = pending.back();
    pending.pop_back();
    part.push_back(table);
    for (auto it = table->JoinLinks.rbegin(); it != table->JoinLinks.rend(); ++it) {
      if ((*it)->Kind != TLinkKind::Plain) pending.push_back((*it)->Target);
    }
  }
  return part;
}

// Whether `ancestor` is above `table` through links with a kind only.
bool ReachesThroughKinds(const TDataQuery& query, const TSourceTable* ancestor, TSourceTable* table) {
  while (true) {
    TJoin* incoming = IncomingLink(query, table);
    if (!HasKind(incoming)) return false;
    table = incoming->Driver;
    if (table == ancestor) return true;
  }
}

// Makes `table` the top of its part of the tree: the links from the part's root down
// to it change direction (a RightOuter one becomes LeftOuter), and the part's tables
// take the places in JoinOrder the part had, in their new parent-first order. Plain
// links are not touched (Reglue afterwards).
void RerootPart(TDataQuery& query, TSourceTable* table) {
  TSourceTable* const root = PartRoot(query, table);
  std::vector<size_t> places;
  for (TSourceTable* member : PartOf(root)) places.push_back(PlaceOf(query, member));
  std::sort(places.begin(), places.end());

  std::vector<TJoin*> path;
  for (TSourceTable* t = table; t != root;) {
    TJoin* incoming = IncomingLink(query, t);
    path.push_back(incoming);
    t = incoming->Driver;
  }
  for (TJoin* link : path) {
    std::unique_ptr<TJoin> owned = TakeLink(link);
    DropLinkFilter(*owned);
    std::swap(owned->Driver, owned->Target);
    if (owned->Kind == TLinkKind::RightOuter) owned->Kind = TLinkKind::LeftOuter;
    owned->Driver->JoinLinks.push_back(std::move(owned));
  }
  // The part keeps the order its tables had where it can (links sorted by the old
  // positions before the new order is read off).
  const TTables part = [&] {
    TTables members = PartOf(table);
    for (TSourceTable* member : members) SortLinks(*member);
    return PartOf(table);
  }();
  if (part.size() != places.size()) RaiseSqlError(sqlmsg::kJoinOptimizationError);
  for (size_t i = 0; i < part.size(); ++i) query.JoinOrder[places[i]] = part[i];
  Renumber(query);
}

// Moves the tables of `part` (kept in their order) to the front of JoinOrder, or right
// after `after` when given.
void MovePart(TDataQuery& query, const TTables& part, const TSourceTable* after) {
  std::vector<TSourceTable*> rest;
  for (TSourceTable* table : query.JoinOrder) {
    if (!Contains(part, table)) rest.push_back(table);
  }
  std::vector<TSourceTable*> moved;
  for (TSourceTable* table : query.JoinOrder) {
    if (Contains(part, table)) moved.push_back(table);
  }
  auto at = rest.begin();
  if (after != nullptr) {
    at = std::find(rest.begin(), rest.end(), after);
    if (at == rest.end()) RaiseSqlError(sqlmsg::kJoinOptimizationError);
    ++at;
  }
  rest.insert(at, moved.begin(), moved.end());
  query.JoinOrder = std::move(rest);
  Renumber(query);
}

// Re-roots the whole tree at `table`: its part of the tree is re-rooted at it and goes
// to the front of JoinOrder.
void RerootTree(TDataQuery& query, TSourceTable* table) {
  PlaceOf(query, table);
  RerootPart(query, table);
  MovePart(query, PartOf(table), nullptr);
  Reglue(query);
}

void StartJoinOrder(TDataQuery& query) {
  query.JoinOrder.clear();
  for (const auto& table : query.SourceTables) {
    table->JoinLinks.clear();
    table->LocalCondition.reset();
    table->AtEnd = false;
    query.JoinOrder.push_back(table.get());
  }
  Renumber(query);
}

// ---- JOIN clauses ----

TSourceTable* Later(TSourceTable* a, TSourceTable* b) {
  if (a == nullptr) return b;
  if (b == nullptr) return a;
  return b->JoinPosition > a->JoinPosition ? b : a;
}

// The table an ON condition compares the joined table with: a comparison whose one
// side refers to the joined table and the other to one other table; for AND and OR the
// later of the tables found on their sides. Null when there is none.
TSourceTable* DrivingTable(const TDataQuery& query, const TExpToken* node, const TSourceTable* joined) {
  if (node == nullptr) return nullptr;
  if (IsBinary(node, kOpAnd) || IsBinary(node, kOpOr)) {
    return Later(DrivingTable(query, node->Operand, joined), DrivingTable(query, node->RightOperand, joined));
  }
  if (IsNot(node)) return DrivingTable(query, node->Operand, joined);
  if (!IsComparison(node)) return nullptr;
  const TTables left = TablesOf(query, node->Operand);
  const TTables right = TablesOf(query, node->RightOperand);
  if (left.size() != 1 || right.size() != 1 || left[0] == right[0]) return nullptr;
  if (left[0] == joined) return right[0];
  if (right[0] == joined) return left[0];
  return nullptr;
}

// ---- join extraction from WHERE ----

class TJoinExtractor {
public:
  explicit TJoinExtractor(TDataQuery& query) : Q(query), SeveralSources(query.JoinOrder.size() > 1) {}

  void Run() {
    {
      TRootSlot where(Q.WhereCondition);
      const TOutcome outcome = Process(where.Root, false);
      if (outcome.Fate == TFate::Moves) AndCondition(*outcome.Destination, Detach(where.Root));
    }
    if (!Q.WhereCondition) Q.HasWhere = false;
  }

private:
  // What becomes of a subtree: it stays where it is, it is to move (the caller moves
  // it, so that a NOT above it goes along), or it is gone (its parts have moved).
  enum class TFate { Stays, Moves, Gone };
  struct TOutcome {
    TFate Fate = TFate::Stays;
    TExpTree* Destination = nullptr;
  };

  TOutcome Stays() const { return {}; }
  TOutcome Residual() { return {TFate::Moves, &Q.ResidualCondition}; }
  static TOutcome Into(TJoin* link) { return {TFate::Moves, &link->Condition}; }

  TOutcome Process(TExpToken*& slot, bool underNot);
  TOutcome ProcessAnd(TExpToken*& slot, bool underNot);
  TOutcome ProcessNot(TExpToken& node, bool underNot);
  TOutcome ProcessOr(TExpToken& node, bool underNot);
  TOutcome ProcessComparison(TExpToken& node);
  TOutcome JoinComparison(TExpToken& node, TSourceTable* a, TSourceTable* b);

  TDataQuery& Q;
  const bool SeveralSources;
};

// Whether a NOT over an OR (looking through further NOTs) stands in the subtree with no
// NOT above it there.
bool HasNotOverOr(const TExpToken* node) {
  if (node == nullptr) return false;
  if (IsNot(node)) {
    const TExpToken* operand = node->Operand;
    while (IsNot(operand)) operand = operand->Operand;
    return IsBinary(operand, kOpOr);
  }
  // Only AND and OR are walked into, as the extraction does.
  if (!IsBinary(node, kOpAnd) && !IsBinary(node, kOpOr)) return false;
  return HasNotOverOr(node->Operand) || HasNotOverOr(node->RightOperand);
}

TJoinExtractor::TOutcome TJoinExtractor::Process(TExpToken*& slot, bool underNot) {
  TExpToken& node = *slot;
  if (IsBinary(&node, kOpAnd)) return ProcessAnd(slot, underNot);
  if (IsNot(&node)) return ProcessNot(node, underNot);
  if (IsBinary(&node, kOpOr)) return ProcessOr(node, underNot);
  if (IsComparison(&node)) return ProcessComparison(node);
  // Function calls, LIKE, BETWEEN, IN and anything else.
  return TablesOf(Q, &node).size() <= 1 ? Stays() : Residual();
}

TJoinExtractor::TOutcome TJoinExtractor::ProcessAnd(TExpToken*& slot, bool underNot) {
  TExpToken& node = *slot;
  for (TExpToken** side : {&node.Operand, &node.RightOperand}) {
    if (*side == nullptr) continue;
    const TOutcome outcome = Process(*side, underNot);
    if (outcome.Fate == TFate::Moves) AndCondition(*outcome.Destination, Detach(*side));
  }
  return CollapseAnd(slot) ? TOutcome{TFate::Gone} : Stays();
}

TJoinExtractor::TOutcome TJoinExtractor::ProcessNot(TExpToken& node, bool underNot) {
  const TExpToken* operand = node.Operand;
  while (IsNot(operand)) operand = operand->Operand;
  if ((IsBinary(operand, kOpAnd) && TablesOf(Q, &node).size() > 1) || (IsBinary(operand, kOpOr) && !underNot)) {
    return Residual();
  }
  if (node.Operand == nullptr) return Stays();
  const TOutcome outcome = Process(node.Operand, true);
  // Below a NOT only a whole comparison or call can be taken out (an AND below it has
  // one table, or the NOT has gone whole): the NOT goes along with it.
  if (outcome.Fate == TFate::Gone) RaiseSqlError(sqlmsg::kJoinCombineError);
  return outcome;
}

TJoinExtractor::TOutcome TJoinExtractor::ProcessOr(TExpToken& node, bool underNot) {
  if (TablesOf(Q, &node).size() > 1) return Residual();
  // Nothing can be taken out of one side of an OR alone: a NOT over an OR that would go
  // takes the whole OR with it.
  if (!underNot && HasNotOverOr(&node)) return Residual();
  for (TExpToken** side : {&node.Operand, &node.RightOperand}) {
    if (*side != nullptr && Process(*side, underNot).Fate != TFate::Stays) RaiseSqlError(sqlmsg::kJoinCombineError);
  }
  return Stays();
}

TJoinExtractor::TOutcome TJoinExtractor::ProcessComparison(TExpToken& node) {
  const TTables left = TablesOf(Q, node.Operand);
  const TTables right = TablesOf(Q, node.RightOperand);
  if (!left.empty() && !right.empty()) {
    if (!SeveralSources) return Stays();
    if (left.size() != 1 || right.size() != 1) RaiseSqlError(sqlmsg::kJoinMultipleCorrelations);
    if (left[0] == right[0]) return Stays();
    return JoinComparison(node, left[0], right[0]);
  }
  if (left.empty() && !right.empty()) SwapComparisonOperands(node);
  return std::max(left.size(), right.size()) <= 1 ? Stays() : Residual();
}

// A comparison of a column side of table a with one of table b.
TJoinExtractor::TOutcome TJoinExtractor::JoinComparison(TExpToken& node, TSourceTable* a, TSourceTable* b) {
  PlaceOf(Q, a);
  PlaceOf(Q, b);
  if (b->JoinPosition < a->JoinPosition) {
    SwapComparisonOperands(node);
    std::swap(a, b);
  }
  // A left outer link between the two, or above either: a link's condition there would
  // decide whether the outer join finds a row, where WHERE tests the rows it gives (the
  // NULL row included).
  if (BelowOuterLink(Q, a) || BelowOuterLink(Q, b)) return Residual();
  TJoin* const ab = FindLink(a, b);
  if (ab != nullptr && ab->Kind == TLinkKind::Inner) return Into(ab);
  TJoin* const ba = FindLink(b, a);
  if (ba != nullptr && ba->Kind == TLinkKind::Inner) {
    SwapComparisonOperands(node);
    return Into(ba);
  }
  TJoin* const intoB = IncomingLink(Q, b);
  if (intoB != nullptr && intoB->Kind == TLinkKind::Inner) {
    // b is joined to a third table already.
    if (ReachesThroughKinds(Q, a, b)) return Into(intoB);
    // Re-hanging a would lose the link that brings it in.
    if (HasKind(IncomingLink(Q, a))) return Residual();
    if (IsUpdateOrDelete(Q) && a->JoinPosition == 1) {
      // The updated table stays the root: b's part of the tree hangs from it.
      RerootPart(Q, b);
      TJoin* const link = AddLink(a, b, TLinkKind::Inner);
      Reglue(Q);
      return Into(link);
    }
    // a's part of the tree moves right after b, driven by b.
    SwapComparisonOperands(node);
    MovePart(Q, PartOf(a), b);
    TJoin* const link = AddLink(b, a, TLinkKind::Inner);
    Reglue(Q);
    return Into(link);
  }
  // An outer link from a third table into b is the only way b may be reached.
  if (HasKind(intoB)) return Residual();
  if (ab != nullptr) {
    ab->Kind = TLinkKind::Inner;
    return Into(ab);
  }
  TJoin* const link = AddLink(a, b, TLinkKind::Inner);
  Reglue(Q);
  return Into(link);
}

// ---- splitting link conditions ----

// Moves the AND parts of a link condition at `slot` that belong elsewhere; returns
// whether the slot is empty now.
bool SplitLinkParts(TDataQuery& query, TJoin& link, TExpToken*& slot) {
  if (IsBinary(slot, kOpAnd)) {
    SplitLinkParts(query, link, slot->Operand);
    SplitLinkParts(query, link, slot->RightOperand);
    return CollapseAnd(slot);
  }
  if (slot == nullptr) return true;
  const TTables tables = TablesOf(query, slot);
  if (std::all_of(tables.begin(), tables.end(), [&](const TSourceTable* t) { return t == link.Target; })) {
    AndCondition(link.Target->LocalCondition, Detach(slot));
    return true;
  }
  if (link.Kind == TLinkKind::Inner && !Contains(tables, link.Driver) && !Contains(tables, link.Target)) {
    AndCondition(query.WhereCondition, Detach(slot));
    query.HasWhere = true;
    return true;
  }
  return false;
}

const char* KindName(TLinkKind kind) {
  switch (kind) {
    case TLinkKind::Plain: return "plain";
    case TLinkKind::Inner: return "inner";
    case TLinkKind::LeftOuter: return "left outer";
    case TLinkKind::RightOuter: return "right outer";
  }
  return "?";
}

}  // namespace

TJoin* IncomingLink(const TDataQuery& query, const TSourceTable* target) {
  for (const auto& table : query.SourceTables) {
    if (TJoin* link = FindLink(table.get(), target)) return link;
  }
  return nullptr;
}

bool BelowOuterLink(const TDataQuery& query, const TSourceTable* table) {
  for (const TJoin* link = IncomingLink(query, table); link != nullptr; link = IncomingLink(query, link->Driver)) {
    if (link->Kind == TLinkKind::LeftOuter) return true;
  }
  return false;
}

void AndCondition(TExpTree& condition, TExpTree part) {
  if (!part) return;
  if (!condition) {
    part->Parent = nullptr;
    condition = std::move(part);
    return;
  }
  TExpTree node = NewExpToken();
  node->Kind = kNodeBinary;
  node->OpCode = kOpAnd;
  node->Text = OperatorText(kOpAnd);
  node->DataType = TFieldType::Boolean;
  node->DataLength = DataSize(TFieldType::Boolean, 0);
  node->ReserveData(node->DataLength);
  node->Parent = nullptr;
  node->Operand = condition.release();
  node->Operand->Parent = node.get();
  node->RightOperand = part.release();
  node->RightOperand->Parent = node.get();
  condition = std::move(node);
}

std::string ConditionText(const TDataQuery& query, const TExpToken* condition) {
  return ExpressionText(condition, [&](const TExpToken& column) {
    if (const TSourceTable* table = SourceOf(query, column)) return table->CorrelationName + "." + column.ColumnName;
    return column.TableName.empty() ? column.ColumnName : column.TableName + "." + column.ColumnName;
  });
}

void BuildJoinLinks(TDataQuery& query) {
  StartJoinOrder(query);
  for (size_t i = 1; i < query.JoinOrder.size(); ++i) {
    AddLink(query.JoinOrder[i - 1], query.JoinOrder[i], TLinkKind::Plain);
  }
  for (const auto& join : query.JoinExpressions) {
    TSourceTable* const joined = join->Target;
    PlaceOf(query, joined);
    if (join->Condition) BindQueryCondition(query, join->Condition.get(), sqlmsg::kContextJoin);
    TSourceTable* const driver = DrivingTable(query, join->Condition.get(), joined);
    if (driver == nullptr) {
      RaiseSqlError(std::string(sqlmsg::kJoinClauseInvalidPrefix) + joined->CorrelationName +
                    std::string(sqlmsg::kJoinClauseInvalidSuffix));
    }
    if (driver->JoinPosition >= joined->JoinPosition) {
      RaiseSqlError(std::string(sqlmsg::kJoinCorrelationPrefix) + driver->CorrelationName +
                    std::string(sqlmsg::kJoinDriverInvalidSuffix));
    }
    const auto kind = static_cast<TLinkKind>(join->Kind);
    TJoin* link = FindLink(driver, joined);
    if (link == nullptr || (link->Kind != TLinkKind::Plain && link->Kind != kind)) {
      link = AddLink(driver, joined, kind);
    }
    link->Kind = kind;
    AndCondition(link->Condition, std::move(join->Condition));
  }
  RemoveSurplusLinks(query);
  // A RIGHT OUTER JOIN keeps every row of its joined table: that table drives.
  while (true) {
    TJoin* rightOuter = nullptr;
    for (TSourceTable* table : query.JoinOrder) {
      for (const auto& link : table->JoinLinks) {
        if (link->Kind == TLinkKind::RightOuter && rightOuter == nullptr) rightOuter = link.get();
      }
    }
    if (rightOuter == nullptr) break;
    if (IsUpdateOrDelete(query) && rightOuter->Driver == query.SourceTables.front().get()) {
      RaiseSqlError(std::string(sqlmsg::kJoinCorrelationPrefix) + rightOuter->Driver->CorrelationName +
                    std::string(sqlmsg::kJoinRightOuterTargetSuffix));
    }
    RerootTree(query, rightOuter->Target);
  }
  Reglue(query);
}

void SingleSourceJoinOrder(TDataQuery& query) {
  StartJoinOrder(query);
  Reglue(query);
}

void RemoveSurplusLinks(TDataQuery& query) {
  std::vector<TJoin*> kept;  // the incoming link kept for each table so far
  std::vector<TJoin*> surplus;
  const TSourceTable* const first = query.JoinOrder.empty() ? nullptr : query.JoinOrder.front();
  for (TSourceTable* table : query.JoinOrder) {
    for (const auto& owned : table->JoinLinks) {
      TJoin* const link = owned.get();
      if (link->Target == first && link->Kind == TLinkKind::Plain) {
        surplus.push_back(link);
        continue;
      }
      const auto other =
          std::find_if(kept.begin(), kept.end(), [&](const TJoin* k) { return k->Target == link->Target; });
      if (other == kept.end()) {
        kept.push_back(link);
      } else if (link->Kind == TLinkKind::Plain) {
        surplus.push_back(link);
      } else if ((*other)->Kind == TLinkKind::Plain) {
        surplus.push_back(*other);
        *other = link;
      } else {
        RaiseSqlError(std::string(sqlmsg::kJoinCorrelationPrefix) + link->Target->CorrelationName +
                      std::string(sqlmsg::kJoinMultipleTargetSuffix));
      }
    }
  }
  for (const auto& table : query.SourceTables) {
    std::erase_if(table->JoinLinks, [&](const auto& link) {
      return std::find(surplus.begin(), surplus.end(), link.get()) != surplus.end();
    });
  }
}

void ExtractJoinConditions(TDataQuery& query) {
  if (query.JoinOrder.size() != query.SourceTables.size()) SingleSourceJoinOrder(query);
  if (!query.WhereCondition) {
    query.HasWhere = false;
    return;
  }
  TJoinExtractor(query).Run();
}

void SplitLinkConditions(TDataQuery& query) {
  for (const auto& table : query.SourceTables) {
    for (const auto& link : table->JoinLinks) {
      if (!link->Condition) continue;
      if (link->Condition->DataType != TFieldType::Boolean) RaiseSqlError(sqlmsg::kWhereNotBoolean);
      TRootSlot condition(link->Condition);
      SplitLinkParts(query, *link, condition.Root);
    }
  }
}

void ChooseJoinOrder(TDataQuery& query) {
  if (query.LiveResult || query.NoJoinOptimize || query.JoinOrder.size() < 2) return;
  TSourceTable* best = nullptr;
  int32_t bestCount = 0;
  for (TSourceTable* table : query.JoinOrder) {
    const TJoin* incoming = IncomingLink(query, table);
    if (incoming == nullptr || incoming->Kind != TLinkKind::Inner) continue;
    // The chain of inner links above it.
    const TSourceTable* start = incoming->Driver;
    for (const TJoin* up = IncomingLink(query, start); up != nullptr && up->Kind == TLinkKind::Inner;
         up = IncomingLink(query, start)) {
      start = up->Driver;
    }
    const TJoin* intoStart = IncomingLink(query, start);
    if (intoStart != nullptr && intoStart->Kind == TLinkKind::LeftOuter) continue;
    if (IsUpdateOrDelete(query) && start == query.SourceTables.front().get()) continue;
    const int32_t count = table->Cursor->GetRecordCount();
    if (best == nullptr || count < bestCount) {
      best = table;
      bestCount = count;
    }
  }
  if (best != nullptr && bestCount < query.JoinOrder.front()->Cursor->GetRecordCount()) RerootTree(query, best);
}

std::string DescribeJoinLinks(const TDataQuery& query) {
  std::string text = "join order:";
  for (const TSourceTable* table : query.JoinOrder) {
    text += (table == query.JoinOrder.front() ? " " : ", ") + table->CorrelationName;
  }
  text += "\n";
  for (const TSourceTable* table : query.JoinOrder) {
    if (table->LocalCondition) {
      text += table->CorrelationName + " local: " + ConditionText(query, table->LocalCondition.get()) + "\n";
    }
    for (const auto& link : table->JoinLinks) {
      text += link->Driver->CorrelationName + " -> " + link->Target->CorrelationName + " " + KindName(link->Kind);
      if (link->Condition) text += ": " + ConditionText(query, link->Condition.get());
      if (!link->HashProbe.empty()) text += " (" + link->HashProbe + ")";
      text += "\n";
    }
  }
  return text;
}

}  // namespace kura
