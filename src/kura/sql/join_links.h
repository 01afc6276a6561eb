#pragma once

// The join tree of a SELECT (and of UPDATE and DELETE): which comparisons of WHERE and
// ON link the source tables, in what order rows are produced, and which conditions are
// left to be evaluated per row combination.
//
// The tree lives in the sources: every TSourceTable's JoinLinks are the links that
// leave it; the query's JoinOrder lists the tables root first (JoinPosition numbers
// them). Conditions are expression trees bound against the query's sources (a column
// node's SourceTable is its TSourceTable), so "the tables a subtree refers to" are the
// SourceTables of the column nodes in it.
//
// The shape every function below leaves (and, except BuildJoinLinks and
// SingleSourceJoinOrder, needs):
//   1. JoinOrder holds every source once; JoinPosition is the 1-based place in it.
//   2. The links form one tree rooted at JoinOrder.front() that reaches every source:
//      every other table has exactly one incoming link, and a link's driver comes
//      before its target in JoinOrder.
//   3. Links with a kind (Inner, LeftOuter; RightOuter only inside BuildJoinLinks) are
//      the structure; Plain links only tie the parts together: a table without an
//      incoming link with a kind hangs by a Plain link from the table before it in
//      JoinOrder (all its rows for every row of that one).
//   4. A table's links are in the JoinOrder order of their targets.
// SourceTables is never reordered (column resolution follows FROM order).

#include <string>

#include "kura/expr/exp_token.h"

namespace kura {

class TDataQuery;
struct TJoin;
struct TSourceTable;

// Builds the links of a canned query from FROM and the JOIN clauses: a Plain link from
// each source to the next in FROM order; for each JOIN, its ON condition is bound
// ("JOIN clause") and moved into a link of the join's kind from the table the condition
// compares the joined table with (for AND and OR the later of the tables found on the
// two sides); links into a table that already has an incoming link are dropped (see
// RemoveSurplusLinks); RIGHT OUTER links are re-rooted so that their target drives (the
// link becomes LeftOuter, the target's part of the tree moves to the front of
// JoinOrder). Sets JoinOrder and JoinPosition (starting from FROM order).
// Needs the sources open. Raises what binding raises, the "Internal join error - ..."
// messages (no driving table, a driving table not before the joined one, a second
// conditioned link into one table, for UPDATE and DELETE a RIGHT OUTER JOIN driven by
// the first table) and "Internal join optimization error".
void BuildJoinLinks(TDataQuery& query);

// A live query's single source as the whole join tree: JoinOrder = its sources in FROM
// order (one for a live result), Plain links between them, no conditions.
void SingleSourceJoinOrder(TDataQuery& query);

// Part of BuildJoinLinks, for the links it has made: leaves every table at most one
// incoming link. A Plain link into the first table of JoinOrder goes, and so does a
// Plain link into a table that has another incoming link; two links with a kind into
// one table raise "Internal join error - table correlation name \"" + name + "\" is
// target of multiple join conditions in WHERE or JOIN clause".
void RemoveSurplusLinks(TDataQuery& query);

// Takes the join conditions out of the query's WhereCondition (bound), walking it from
// the top:
//   - a comparison of columns of two tables becomes (or joins) an inner link between
//     them, or goes to ResidualCondition when it cannot link (a left outer link between
//     the two, either table below a left outer link (see BelowOuterLink), or a target
//     that cannot be given a second incoming link); a NOT above it goes with it;
//   - comparisons of a column with a value are turned column first;
//   - ORs over several tables, NOTs over an AND over several tables, NOTs over an OR
//     (with no NOT above them; also inside a one-table OR, which then goes whole), and
//     anything else that refers to several tables go to ResidualCondition;
//   - parts taken out of an AND leave the other side in its place; what stays refers
//     to one table (or none).
// A comparison may re-shape the tree (see the shape above): when the target already has
// an inner link from a third table that the other side cannot reach through links
// with a kind, the other side's part of the tree is moved after it and driven by it
// (for UPDATE and DELETE, when the other side is the first table, the target's part is
// re-rooted at it and hung from the first table instead).
// Clears HasWhere when nothing is left. Needs JoinOrder (BuildJoinLinks or
// SingleSourceJoinOrder; with one source only the one-table rules apply). Raises "The
// join condition cannot contain multiple table correlation names ..." (a compared side
// over two tables when the other side has columns too) and the two "Internal join
// error attempting to ..." messages.
void ExtractJoinConditions(TDataQuery& query);

// At every run, after the link conditions are bound: the AND parts of each link
// condition that refer only to the target (or to no table) move to the target's
// LocalCondition; for an inner link, parts that refer to no table of the link move to
// WhereCondition (HasWhere is set). A link condition that is not boolean raises "WHERE
// or JOIN clause must be a boolean expression". Moving is done once: a second call
// finds nothing more to move. The moved parts keep the binding of the run that moved
// them; later runs must bind LocalCondition and WhereCondition themselves.
void SplitLinkConditions(TDataQuery& query);

// Canned queries with several sources, unless NOJOINOPTIMIZE: the inner-linked table
// with the fewest records (after the first filter pass; the first in JoinOrder wins a
// tie), unless its chain of inner links starts at the target of a left outer link (for
// UPDATE and DELETE also unless that chain starts at the first source), drives when it
// has fewer records than the current root: the tree is re-rooted at it (the inner links
// on the way are reversed, its part of the tree moves to the front of JoinOrder).
// Needs the sources open and no link filter installed (one still installed on a
// reversed link is dropped).
void ChooseJoinOrder(TDataQuery& query);

// The link that leads into `target`, or null (the root, or a table without links).
TJoin* IncomingLink(const TDataQuery& query, const TSourceTable* target);

// Whether a left outer link lies on the way from the root to `table` (the table may be
// the NULL row of an outer join). A WHERE condition over such a table is tested on the
// row combination: as part of a link it would decide whether the outer join matches.
bool BelowOuterLink(const TDataQuery& query, const TSourceTable* table);

// ANDs `part` onto `condition`: an empty condition becomes the part itself, otherwise
// a new AND node (boolean, as the parser makes it) takes both. Parent pointers are
// set. An empty part changes nothing.
void AndCondition(TExpTree& condition, TExpTree part);

// The text of a condition of the query, columns written with their table's
// correlation name ("a.x = b.y").
std::string ConditionText(const TDataQuery& query, const TExpToken* condition);

// For tools: the join order and each link, one per line:
//   join order: a, b, c
//   a -> b inner: a.x = b.y
//   b local: b.z > 3
//   b -> c plain
// (tables in JoinOrder; a table's LocalCondition before its links; kinds plain, inner,
// left outer, right outer).
std::string DescribeJoinLinks(const TDataQuery& query);

}  // namespace kura
