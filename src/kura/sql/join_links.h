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

#include <string>

namespace kura {

class TDataQuery;

// Builds the links of a canned query from FROM and the JOIN clauses: a Plain link from
// each source to the next in FROM order; for each JOIN a link of its kind carrying the
// ON condition from the table the condition compares the joined table with; links into a
// table that already has an incoming link are dropped (a conditioned one is an error),
// as are plain links into the first table; RIGHT OUTER links are re-rooted so that
// their target drives (LEFT OUTER from then on). Sets JoinOrder and JoinPosition.
// Raises the "Internal join error - ..." messages and "Internal join optimization
// error".
void BuildJoinLinks(TDataQuery& query);

// A live query's single source as the whole join tree: JoinOrder = the source, no links.
void SingleSourceJoinOrder(TDataQuery& query);

// Takes the join conditions out of the query's WhereCondition (bound): comparisons of
// columns of two tables become (or join) inner links, or go to ResidualCondition when
// they cannot link (outer joins, ORs and NOTs over several tables, expressions over
// several tables on one side); comparisons of a column with a value are turned column
// first. Clears HasWhere when nothing is left. Raises "The join condition cannot contain
// multiple table correlation names ..." and the two "Internal join error attempting
// to ..." messages.
void ExtractJoinConditions(TDataQuery& query);

// At every run, after the link conditions are bound: the parts of each link condition
// that refer only to the target (and constants) move to the target's LocalCondition;
// for an inner link, parts that refer to no table of the link move to WhereCondition.
// A link condition that is not boolean raises "WHERE or JOIN clause must be a boolean
// expression". Moving is done once: a second call finds nothing more to move.
void SplitLinkConditions(TDataQuery& query);

// Canned queries with several sources, unless NOJOINOPTIMIZE: the inner-linked table
// with the fewest records (after the first filter pass; the first found wins a tie),
// unless its chain of inner links starts at the target of a left outer link, drives
// when it has fewer records than the current root: the tree is re-rooted at it.
void ChooseJoinOrder(TDataQuery& query);

// For tools: the join order and each link ("a -> b inner: a.x = b.y"), one per line.
std::string DescribeJoinLinks(const TDataQuery& query);

}  // namespace kura
