// The statement grammar, case by case: each SQL text is prepared on a statement over an
// empty directory, and what the parser built is rendered into one line that names every
// query of the statement with the parts that differ from a fresh query, or the text
// fails with KURA_SQLPARSE and exactly the expected message.
//
// The rendering of one query (parts that hold their initial value are left out):
//   KIND, then flags in this order:
//     sub member paren live distinct star avg computed several where having grouped
//     orderby nocase union intomem insertselect locks noautoinc nojoinopt flush,
//   then "all" for UNION ALL (and, as faults, "unionall=0" for UnionAll cleared without
//   UNION, "where-tree-mismatch" and "having-tree-mismatch" for a flag without its tree),
//   top=N into='name' interval=N lang=N sort=N encrypted='password',
//   cols=[...]   each result field: [corr.]column, wrapped as AGG(...) for an aggregate,
//                then "countstar", "expr", its column text in double quotes and
//                "as NAME" for a named column,
//   from=[...]   each source table: ordinal:name, "as CORR" when the correlation name
//                is not the table name, "memory", "dir=D" when its directory is neither
//                the statement's nor (for an in-memory table) "Memory",
//   joins=[...]  kind>ordinal of the joined table,
//   set=[...]    the update fields, values=[...] the value texts,
//   group=[...], order=[...]   column or #number, "desc",
//   next=#i parent=#i source=#i   links to other queries by position (1-based).
// Queries are joined by " | " in creation order; " ; params=N" ends a statement whose
// text holds placeholders. A failure renders as "!" followed by the message.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/engine/data_directory.h"
#include "kura/engine/data_session.h"
#include "kura/sql/data_query.h"
#include "kura/sql/query_statement.h"
#include "testing/temp_dir.h"

namespace kura {
namespace {

const char* AggregateName(TAggregateKind kind) {
  switch (kind) {
    case TAggregateKind::Sum: return "SUM";
    case TAggregateKind::RunSum: return "RUNSUM";
    case TAggregateKind::Min: return "MIN";
    case TAggregateKind::Max: return "MAX";
    case TAggregateKind::Avg: return "AVG";
    case TAggregateKind::Count: return "COUNT";
    case TAggregateKind::None: break;
  }
  return "";
}

const char* JoinName(TJoinKind kind) {
  switch (kind) {
    case TJoinKind::Inner: return "inner";
    case TJoinKind::LeftOuter: return "left";
    case TJoinKind::RightOuter: return "right";
  }
  return "?";
}

std::string Qualified(const std::string& correlation, const std::string& column) {
  return correlation.empty() ? column : correlation + "." + column;
}

// Joins the non-empty parts with single blanks.
std::string Words(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += ' ';
    out += part;
  }
  return out;
}

template <typename TItems, typename TRender>
std::string List(const char* label, const TItems& items, TRender render) {
  if (items.empty()) return {};
  std::string out = std::string(label) + "=[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += render(items[i]);
  }
  return out + "]";
}

class TShapeRenderer {
public:
  TShapeRenderer(const TQueryStatement& statement) : FStatement(statement) {}

  std::string Statement() const {
    std::string out;
    for (const auto& query : FStatement.Queries()) {
      if (!out.empty()) out += " | ";
      out += Query(*query);
    }
    if (FStatement.ParamCount() > 0) out += " ; params=" + std::to_string(FStatement.ParamCount());
    return out;
  }

private:
  std::string Link(const char* label, const TDataQuery* query) const {
    if (query == nullptr) return {};
    const auto& queries = FStatement.Queries();
    for (size_t i = 0; i < queries.size(); ++i) {
      if (queries[i].get() == query) return std::string(label) + "=#" + std::to_string(i + 1);
    }
    return std::string(label) + "=#?";
  }

  std::string Field(const TResultField& field) const {
    std::string names = Qualified(field.CorrelationName, field.SourceColumnName);
    if (field.AggregateKind != TAggregateKind::None) names = std::string(AggregateName(field.AggregateKind)) + "(" + names + ")";
    return Words({names, field.CountStar ? "countstar" : "", field.IsExpression ? "expr" : "",
                  field.ColumnText.empty() ? "" : "\"" + field.ColumnText + "\"",
                  field.AutoName ? "" : "as " + field.ColumnName});
  }

  std::string Source(const TSourceTable& table) const {
    const std::string expectedDirectory = table.InMemory ? "Memory" : FStatement.Directory().Path();
    return Words({std::to_string(table.Ordinal) + ":" + table.TableName,
                  table.CorrelationName == table.TableName ? "" : "as " + table.CorrelationName,
                  table.InMemory ? "memory" : "",
                  table.Directory == expectedDirectory ? "" : "dir=" + table.Directory});
  }

  std::string Query(const TDataQuery& q) const {
    // The clause flags, in the order they are shown.
    static constexpr std::pair<bool TDataQuery::*, const char*> kFlags[] = {
        {&TDataQuery::IsSubSelect, "sub"},      {&TDataQuery::IsUnionMember, "member"},
        {&TDataQuery::Parenthesised, "paren"},  {&TDataQuery::RequestLive, "live"},
        {&TDataQuery::Distinct, "distinct"},    {&TDataQuery::SelectStar, "star"},
        {&TDataQuery::HasAvgColumn, "avg"},     {&TDataQuery::HasComputedColumn, "computed"},
        {&TDataQuery::SeveralSources, "several"}, {&TDataQuery::HasWhere, "where"},
        {&TDataQuery::HasHaving, "having"},     {&TDataQuery::Grouped, "grouped"},
        {&TDataQuery::HasOrderBy, "orderby"},   {&TDataQuery::OrderByNoCase, "nocase"},
        {&TDataQuery::HasUnion, "union"},       {&TDataQuery::IntoMemory, "intomem"},
        {&TDataQuery::InsertSelect, "insertselect"}, {&TDataQuery::WithLocks, "locks"},
        {&TDataQuery::NoAutoInc, "noautoinc"},  {&TDataQuery::NoJoinOptimize, "nojoinopt"},
        {&TDataQuery::CommitFlush, "flush"},
    };
    std::vector<std::string> parts = {std::string(StatementKindName(q.StatementKind))};
    for (const auto& [member, name] : kFlags) {
      if (q.*member) parts.emplace_back(name);
    }
    auto flag = [](bool set, const char* name) { return set ? std::string(name) : std::string(); };
    const std::vector<std::string> rest = {
        flag(q.HasUnion && q.UnionAll, "all"),
        flag(!q.HasUnion && !q.UnionAll, "unionall=0"),
        flag(q.HasWhere != (q.WhereCondition != nullptr), "where-tree-mismatch"),
        flag(q.HasHaving != (q.HavingCondition != nullptr), "having-tree-mismatch"),
        q.TopCount == -1 ? "" : "top=" + std::to_string(q.TopCount),
        q.IntoTableName.empty() ? "" : "into='" + q.IntoTableName + "'",
        q.CommitInterval == 0 ? "" : "interval=" + std::to_string(q.CommitInterval),
        q.Options.LocaleId ? "lang=" + std::to_string(*q.Options.LocaleId) : "",
        q.Options.SortId ? "sort=" + std::to_string(*q.Options.SortId) : "",
        q.Options.Password ? "encrypted='" + *q.Options.Password + "'" : "",
        List("cols", q.ResultFields, [&](const auto& f) { return Field(*f); }),
        List("from", q.SourceTables, [&](const auto& t) { return Source(*t); }),
        List("joins", q.JoinExpressions,
             [](const auto& j) {
               return std::string(JoinName(j->Kind)) + ">" +
                      (j->Target ? std::to_string(j->Target->Ordinal) : std::string("?")) +
                      (j->Condition ? "" : " no-condition");
             }),
        List("set", q.UpdateFields, [](const auto& f) { return Qualified(f->CorrelationName, f->ColumnName); }),
        List("values", q.UpdateValues,
             [](const auto& v) { return "\"" + v->ColumnText + "\"" + (v->Expression ? "" : " no-tree"); }),
        List("group", q.GroupByFields,
             [](const TGroupByField& g) {
               return g.ColumnNumber != 0 ? "#" + std::to_string(g.ColumnNumber)
                                          : Qualified(g.CorrelationName, g.ColumnName);
             }),
        List("order", q.OrderByFields,
             [](const TOrderByField& o) {
               return (o.ColumnNumber != 0 ? "#" + std::to_string(o.ColumnNumber)
                                           : Qualified(o.CorrelationName, o.ColumnName)) +
                      (o.Descending ? " desc" : "");
             }),
        Link("next", q.NextUnionQuery),
        Link("parent", q.ParentQuery),
        Link("source", q.InsertSourceQuery),
    };
    parts.insert(parts.end(), rest.begin(), rest.end());
    return Words(parts);
  }

  const TQueryStatement& FStatement;
};

struct TParseCase {
  std::string Sql;
  std::string Expected;  // the rendered shape, or "!" + the message
};

const std::string kLongName(300, 'x');
const std::string kLongSum = "a" + [] {
  std::string terms;
  for (int i = 0; i < 150; ++i) terms += "+a";
  return terms;
}();

const TParseCase kParseCases[] = {
    // ---- the documented examples ----
    {"select * from temazu", R"(SELECT star cols=[* "*"] from=[1:temazu])"},
    {"select *\nfrom temazu\r\nWhere MNB > 0\norder by MNB",
     R"(SELECT star where orderby cols=[* "*"] from=[1:temazu] order=[MNB])"},
    {"Select MNB,count(*) From tejun Where MNB = ? and TES = 0 and BTO = 9999 Group By MNB",
     R"(SELECT where grouped cols=[MNB "MNB", COUNT(*) countstar] from=[1:tejun] group=[MNB] ; params=1)"},
    {"select * from temazu;", R"(SELECT star cols=[* "*"] from=[1:temazu])"},
    {"select * from temazu where", "!WHERE clause is empty"},
    {"select * from temazu order by MNB union select * from temazu",
     "!You cannot use an ORDER BY clause within a UNIONed query"},
    {"select * from temazu union select * from temazu order by MNB",
     R"(SELECT star orderby union cols=[* "*"] from=[1:temazu] order=[MNB] next=#2 | )"
     R"(SELECT member live star cols=[* "*"] from=[2:temazu] parent=#1)"},
    {"select a from t x, u X", "!Duplicate table correlation name 'X' found in source tables"},
    {"select * from t full join u on t.a = u.a",
     "!Full outer joins are currently not supported in SQL SELECT statements"},
    {"select * from t select", "!End of SELECT statement expected, instead found 'select'"},
    {"select a as t.b from t", R"(SELECT cols=[a "a" as b] from=[1:t])"},

    // ---- dispatch ----
    {"", "!SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''"},
    {"merge into t", "!SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'merge'"},
    {";", "!SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ';'"},
    {"(insert into t values (1))", "!SELECT keyword expected, instead found 'insert'"},
    {"create view v", "!TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, "
                      "instead found 'view'"},
    {"create", "!TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, instead found ''"},
    {"alter index i", "!TABLE keyword expected, instead found 'index'"},
    {"drop view v", "!TABLE or INDEX keyword expected, instead found 'view'"},
    {"start work", "!TRANSACTION keyword expected, instead found 'work'"},
    {"sTaRt TRANSACTION", "START TRANSACTION live"},
    {"start transaction;", "START TRANSACTION live"},
    {"start transaction now", "!End of START TRANSACTION statement expected, instead found 'now'"},
    {"rollback", "ROLLBACK live"},
    {"ROLLBACK WORK;", "ROLLBACK live"},
    {"rollback flush", "!End of ROLLBACK statement expected, instead found 'flush'"},
    {"commit", "COMMIT live"},
    {"commit work", "COMMIT live"},
    {"commit work flush;", "COMMIT live flush"},
    {"Commit Flush", "COMMIT live flush"},
    {"commit interval 5", "!End of COMMIT statement expected, instead found 'interval'"},
    {"commit flush work", "!End of COMMIT statement expected, instead found 'work'"},
    // Only the first statement of a script is parsed when preparing.
    {"rollback; this is no statement", "ROLLBACK live"},

    // ---- select list ----
    {"select all a from t", R"(SELECT cols=[a "a"] from=[1:t])"},
    {"select distinct a, b from t", R"(SELECT distinct cols=[a "a", b "b"] from=[1:t])"},
    {"select t.* from t", R"(SELECT star cols=[t.* "t.*"] from=[1:t])"},
    {"select t.a, t.* from t", R"(SELECT cols=[t.a "t.a", t.* "t.*"] from=[1:t])"},
    {"select a+1 as n from t", R"(SELECT computed cols=[expr "a+1" as n] from=[1:t])"},
    {"select a x, b 'y', c \"z\", d [w] from t",
     R"(SELECT cols=[a "a" as x, b "b" as y, c "c" as z, d "d" as w] from=[1:t])"},
    {"select a x.y from t", R"(SELECT cols=[a "a" as y] from=[1:t])"},
    {"select a as , b from t", "!Symbol or string expected after AS keyword, instead found ','"},
    {"select a as t., b from t", "!Symbol or string expected after table correlation name, instead found ','"},
    {"select , a from t", "!Source column expression is empty"},
    {"select a t", "!FROM keyword expected, instead found ''"},
    {"select a b c from t", "!FROM keyword expected, instead found 'c'"},
    {"select ? from t", "!Parameters are not allowed in source column expression"},
    {"select a in (select b from u) from t", "!Sub-select queries are not allowed in source column expression"},
    {"select a like 'x%' from t", R"(SELECT computed cols=[expr "a like 'x%'"] from=[1:t])"},
    {"select count(*), sum(a), runsum(t.b), min(c), max(d), avg(e) from t group by f",
     R"(SELECT avg grouped cols=[COUNT(*) countstar, SUM(a), RUNSUM(t.b), MIN(c), MAX(d), AVG(e)] )"
     R"(from=[1:t] group=[f])"},
    {"select count(a) as n from t group by a", R"(SELECT grouped cols=[COUNT(a) as n] from=[1:t] group=[a])"},
    {"select sum(a*2) from t group by b", R"~(SELECT computed grouped cols=[SUM() expr "sum(a*2)"] from=[1:t] group=[b])~"},
    {"select sum(max(a)) from t group by b", "!Aggregate functions cannot be nested"},
    {"select sum(a)+1 from t group by b", "!Aggregate functions cannot be used within expressions"},
    {"select upper(min(a)) from t group by b", "!Aggregate functions cannot be used within expressions"},
    {"select a from t where count(*) > 1", "!Aggregate functions are not allowed in WHERE clause"},

    // ---- INTO ----
    {"select a into memory from t", R"(SELECT intomem cols=[a "a"] from=[1:t])"},
    {"select a into memory r from t", R"(SELECT intomem into='r' cols=[a "a"] from=[1:t])"},
    {"select a into r from t", R"(SELECT into='r' cols=[a "a"] from=[1:t])"},
    {"select a into db\\r from t", R"(SELECT into='db\r' cols=[a "a"] from=[1:t])"},
    {"select a into , from t", "!Result table name expected in INTO clause, instead found ','"},
    {"select a from t where a in (select b into r from u)", "!The INTO clause can only be used with the master query"},
    {"select a from t union select b into memory from u", "!The INTO clause can only be used with the master query"},

    // ---- FROM and joins ----
    {"select a from", "!Table name expected after FROM keyword, instead found ''"},
    {"select a from t \\ ,", "!Table name expected after FROM keyword, instead found ','"},
    {"select a", "!FROM keyword expected, instead found ''"},
    {"select * from t, u", R"(SELECT star several cols=[* "*"] from=[1:t, 2:u])"},
    {"select * from t as x, u y", R"(SELECT star several cols=[* "*"] from=[1:t as x, 2:u as y])"},
    {"select * from t, T", "!Duplicate table correlation name 'T' found in source tables"},
    {"select * from t x, u t", R"(SELECT star several cols=[* "*"] from=[1:t as x, 2:u as t])"},
    {"select * from memory t", R"(SELECT star cols=[* "*"] from=[1:t memory])"},
    {"select * from db\\t x", R"(SELECT star cols=[* "*"] from=[1:t as x dir=db])"},
    {"select * from \"/data/x/t.dat\"", R"(SELECT star cols=[* "*"] from=[1:t dir=/data/x])"},
    {"select * from t inner join u on t.a = u.a left outer join v on u.b = v.b right join w on v.c = w.c "
     "left join x on 1 = 1 right outer join y on 1 = 1",
     R"(SELECT star several cols=[* "*"] from=[1:t, 2:u, 3:v, 4:w, 5:x, 6:y] )"
     R"(joins=[inner>2, left>3, right>4, left>5, right>6])"},
    {"select * from t join u x on t.a = x.a", R"(SELECT star several cols=[* "*"] from=[1:t, 2:u as x] joins=[inner>2])"},
    {"select * from t a left join memory u as b on a.k = b.k",
     R"(SELECT star several cols=[* "*"] from=[1:t as a, 2:u as b memory] joins=[left>2])"},
    {"select * from t join db\\u on t.k = u.k", R"(SELECT star several cols=[* "*"] from=[1:t, 2:u dir=db] joins=[inner>2])"},
    {"select * from t join t on t.k = 1", "!Duplicate table correlation name 't' found in source tables"},
    {"select * from t, u join v on u.k = v.k",
     R"(SELECT star several cols=[* "*"] from=[1:t, 2:u, 3:v] joins=[inner>3])"},
    {"select * from t inner u on 1 = 1", "!JOIN keyword expected after INNER keyword, instead found 'u'"},
    {"select * from t left outer u on 1 = 1", "!JOIN keyword expected after LEFT or OUTER keyword, instead found 'u'"},
    {"select * from t right x", "!JOIN keyword expected after RIGHT or OUTER keyword, instead found 'x'"},
    {"select * from t join , u", "!Table name expected after JOIN keyword, instead found ','"},
    {"select * from t join u as (", "!Symbol or string expected after AS keyword, instead found '('"},
    {"select * from t join u x y", "!ON keyword expected in JOIN clause, instead found 'y'"},
    {"select * from t join u on", "!JOIN clause is empty"},
    {"select * from t join u on t.k = ?", R"(SELECT star several cols=[* "*"] from=[1:t, 2:u] joins=[inner>2] ; params=1)"},
    {"select * from t join u on t.k in (select k from v)", "!Sub-select queries are not allowed in JOIN clause"},
    {"select * from t join u on count(*) = 1", "!Aggregate functions are not allowed in JOIN clause"},
    {"select * from t a full outer join u b on a.k = b.k",
     "!Full outer joins are currently not supported in SQL SELECT statements"},
    {"select * from (t join u on t.a = u.a)", R"(SELECT star several cols=[* "*"] from=[1:t, 2:u] joins=[inner>2])"},
    {"select * from ((t join u on t.a = u.a) join v on u.b = v.b) where t.c = 1",
     R"(SELECT star several where cols=[* "*"] from=[1:t, 2:u, 3:v] joins=[inner>2, inner>3])"},
    {"select * from (t join u on t.a = u.a", "!Mismatched join parentheses"},
    {"select * from (t, u)", "!Mismatched join parentheses"},

    // ---- WHERE, GROUP BY, HAVING, ORDER BY ----
    {"select a from t where a in (select b from u)",
     R"(SELECT where cols=[a "a"] from=[1:t] | SELECT sub live cols=[b "b"] from=[2:u])"},
    {"select a from t where a in (select b from u where c = ?) and d = ?",
     R"(SELECT where cols=[a "a"] from=[1:t] | SELECT sub live where cols=[b "b"] from=[2:u] ; params=2)"},
    {"select a from t where a in (select b from u order by b desc top 1)",
     R"(SELECT where cols=[a "a"] from=[1:t] | SELECT sub live orderby top=1 cols=[b "b"] from=[2:u] order=[b desc])"},
    {"select a from t where a in (select b from u) union all select c from v where c in (select d from w)",
     R"(SELECT where union all cols=[a "a"] from=[1:t] next=#3 | SELECT sub live cols=[b "b"] from=[2:u] | )"
     R"(SELECT member live where cols=[c "c"] from=[3:v] parent=#1 | SELECT sub live cols=[d "d"] from=[4:w])"},
    {"select a from t where * = 1", "!* (all columns) symbol is not allowed in WHERE clause"},
    {"select a from t where a like 'x%' and b between 1 and 2 and c is null and d in (1, 2)",
     R"(SELECT where cols=[a "a"] from=[1:t])"},
    {"select a, b from t where a > 1 group by a, t.b, 2 order by a desc, t.b ascending, 1 asc, 2 descending nocase",
     R"(SELECT where grouped orderby nocase cols=[a "a", b "b"] from=[1:t] group=[a, t.b, #2] )"
     R"(order=[a desc, t.b, #1, #2 desc])"},
    {"select a from t group a", "!BY keyword expected after GROUP keyword, instead found 'a'"},
    {"select a from t order a", "!BY keyword expected after ORDER keyword, instead found 'a'"},
    {"select a from t group by ,", "!Column name or column number expected in GROUP BY clause, instead found ','"},
    {"select a from t group by", "!Column name or column number expected in GROUP BY clause, instead found ''"},
    {"select a from t order by (a)", "!Column name or column number expected in ORDER BY clause, instead found '('"},
    {"select a from t group by a having count(a) > 1",
     R"(SELECT having grouped cols=[a "a"] from=[1:t] group=[a])"},
    // COUNT(*) needs the permission for "*", which HAVING does not give.
    {"select a from t group by a having count(*) > 1", "!* (all columns) symbol is not allowed in HAVING clause"},
    {"select a from t group by a having", "!HAVING clause is empty"},
    {"select a from t group by a having count(a) > ?", "!Parameters are not allowed in HAVING clause"},
    {"select a from t group by a having a like 'x'",
     "!Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause"},
    {"select a from t where a = 1 group by a order by a having count(*) > 1",
     "!End of SELECT statement expected, instead found 'having'"},

    // ---- tail options ----
    {"select a from t order by a top 10 with locks nojoinoptimize",
     R"(SELECT orderby locks nojoinopt top=10 cols=[a "a"] from=[1:t] order=[a])"},
    {"select a from t top x", "!Integer value expected after TOP keyword, instead found 'x'"},
    {"select a from t with lock", "!LOCKS keyword expected after WITH keyword, instead found 'lock'"},
    {"select a from t language 'German (Standard)' sort 'German Phone Book Order'",
     R"(SELECT lang=1031 sort=1 cols=[a "a"] from=[1:t])"},
    {"select a from t language \"English (UK)\"", R"(SELECT lang=2057 cols=[a "a"] from=[1:t])"},
    {"select a from t language 'Klingon'", "!Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
    {"select a from t language 'English (UK)' sort 'German Phone Book Order'",
     "!Invalid sort constant 'German Phone Book Order' specified after SORT keyword"},
    {"select a from t encrypted with 'secret'", R"(SELECT encrypted='secret' cols=[a "a"] from=[1:t])"},
    {"select a from t encrypted 'secret'", "!WITH keyword expected after ENCRYPTED keyword, instead found 'secret'"},
    {"select a from t nojoinoptimize top 5", "!End of SELECT statement expected, instead found 'top'"},
    {"select a from t range", "!End of SELECT statement expected, instead found 'range'"},

    // ---- messages and texts are cut to 255 characters ----
    {"select * from t top 1 " + kLongName,
     ("!End of SELECT statement expected, instead found '" + kLongName).substr(0, 256)},
    {"select * from " + kLongName + " a, u A",
     ("!Duplicate table correlation name 'A' found in source tables")},
    {"select * from t a, " + kLongName + ", " + kLongName,
     ("!Duplicate table correlation name '" + kLongName).substr(0, 256)},
    {"select " + kLongSum + " from t",
     "SELECT computed cols=[expr \"" + kLongSum.substr(0, 255) + "\"] from=[1:t]"},

    // ---- the context of the expression parser's own messages ----
    {"select a from t where a = 'b", "!Missing single quote after 'b' in WHERE clause"},
    {"select a from t where a = 1 order by 'b", "!Missing single quote after 'b' in SQL statement"},
    {"select a from t where a in (select b from u", "!Expected right parentheses for IN operator, instead found '' in WHERE clause"},
    {"select a from t join u on u.a = (1", "!Right parentheses expected, instead found '' in JOIN clause"},
    {"select upper(a from t", "!Right parentheses expected after UPPER function argument, instead found 'from' in source column expression"},
    {"update t set a = 1 +", "!Unknown or unexpected symbol '' found in value expression"},

    // ---- parentheses and UNION ----
    {"(select a from t)", R"(SELECT paren cols=[a "a"] from=[1:t])"},
    {"(select a from t", "!Right parentheses expected after SELECT statement, instead found ''"},
    {"(select a from t) union all (select b from u) order by 1 top 3",
     R"(SELECT paren orderby union all top=3 cols=[a "a"] from=[1:t] order=[#1] next=#2 | )"
     R"(SELECT member paren live cols=[b "b"] from=[2:u] parent=#1)"},
    {"select a from t union select b from u union all select c from v order by 1",
     R"(SELECT orderby union cols=[a "a"] from=[1:t] order=[#1] next=#2 | )"
     R"(SELECT member live union all cols=[b "b"] from=[2:u] next=#3 parent=#1 | )"
     R"(SELECT member live cols=[c "c"] from=[3:v] parent=#2)"},
    {"select a from t union (select b from u order by b)",
     "!Right parentheses expected after SELECT statement, instead found 'order'"},
    {"select a from t union", "!SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''"},
    {"select a from t union select b from u where c = ? ; garbage",
     R"(SELECT union cols=[a "a"] from=[1:t] next=#2 | SELECT member live where cols=[b "b"] from=[2:u] parent=#1 ; params=1)"},

    // ---- INSERT ----
    {"insert into t values (1, 'x', ?)", R"(INSERT live from=[1:t] set=[*] values=["1", "'x'", "?"] ; params=1)"},
    {"insert into t (a, \"b\", [c]) values (1, 2, 3)",
     R"(INSERT live from=[1:t] set=[a, b, c] values=["1", "2", "3"])"},
    {"insert into memory t x (a) values (1)", R"(INSERT live from=[1:t as x memory] set=[a] values=["1"])"},
    {"insert into db\\t values (-1)", R"(INSERT live from=[1:t dir=db] set=[*] values=["-1"])"},
    {"insert t values (1)", "!INTO keyword expected, instead found 't'"},
    {"insert into (a) values (1)", "!Table name expected after INTO clause, instead found '('"},
    {"insert into memory (a) values (1)", "!Table name expected after INTO keyword, instead found '('"},
    {"insert into db\\ (a) values (1)", "!Table name expected after INTO keyword, instead found '('"},
    {"insert into t (a, b values (1)", "!Right parentheses expected after list of table columns, instead found 'values'"},
    {"insert into t (, b) values (1)", "!Table column name is empty"},
    {"insert into t (?) values (1)", "!Parameters are not allowed in table column"},
    {"insert into t (a) values 1", "!Left parentheses expected after VALUES keyword, instead found '1'"},
    {"insert into t (a) values (1", "!Right parentheses expected after list of values, instead found ''"},
    {"insert into t (a) values (1 2)", "!Right parentheses expected after list of values, instead found '2'"},
    {"insert into t (a) values (,1)", "!Value expression is empty"},
    {"insert into t (a) values (count(*))", "!Aggregate functions are not allowed in value expression"},
    {"insert into t (a) values (b like 'x')",
     "!Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in value expression"},
    {"insert into t (a) update", "!VALUES or SELECT  keyword expected, instead found 'update'"},
    {"insert into t", "!VALUES or SELECT  keyword expected, instead found ''"},
    {"insert into t select * from u",
     R"(INSERT live insertselect from=[1:t] set=[*] source=#2 | SELECT sub live star cols=[* "*"] from=[2:u])"},
    {"insert into t x (a, b) select p, q from u where r = ? noautoinc commit interval 100 flush",
     R"(INSERT live insertselect noautoinc flush interval=100 from=[1:t as x] set=[a, b] source=#2 | )"
     R"(SELECT sub live where cols=[p "p", q "q"] from=[2:u] ; params=1)"},
    {"insert into t select * from u commit flush",
     R"(INSERT live insertselect flush from=[1:t] set=[*] source=#2 | SELECT sub live star cols=[* "*"] from=[2:u])"},
    {"insert into t select * from u noautoinc",
     R"(INSERT live insertselect noautoinc from=[1:t] set=[*] source=#2 | SELECT sub live star cols=[* "*"] from=[2:u])"},
    {"insert into t select * from u x y", "!End of INSERT statement expected, instead found 'y'"},
    {"insert into t values (1) commit", "!INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found ''"},
    {"insert into t values (1) commit interval x", "!Integer value expected after INTERVAL keyword, instead found 'x'"},
    {"insert into t values (1) commit flush", R"(INSERT live flush from=[1:t] set=[*] values=["1"])"},
    {"insert into t values (1) noautoinc commit interval 5",
     R"(INSERT live noautoinc interval=5 from=[1:t] set=[*] values=["1"])"},
    {"insert into t values (1) x", "!End of INSERT statement expected, instead found 'x'"},

    // ---- UPDATE ----
    {"update t set a = 1, b = ? where c = 2",
     R"(UPDATE live where from=[1:t] set=[a, b] values=["1", "?"] ; params=1)"},
    {"update memory t as x set x.a = a+1", R"(UPDATE live from=[1:t as x memory] set=[x.a] values=["a+1"])"},
    {"update t x set \"a\" = 'v'", R"(UPDATE live from=[1:t as x] set=[a] values=["'v'"])"},
    {"update , set a = 1", "!Table name expected, instead found ','"},
    {"update memory , set a = 1", "!Table name expected, instead found ','"},
    {"update t a = 1", "!SET keyword expected, instead found '='"},
    {"update t set a 1", "!Assignment (=) operator expected after column name, instead found '1'"},
    {"update t set a + 1 = 2", "!Assignment (=) operator expected after column name, instead found '+'"},
    {"update t set a = 1 b = 2", "!End of UPDATE statement expected, instead found 'b'"},
    {"update t set", "!Table column name is empty"},
    {"update t set , a = 1", "!Table column name is empty"},
    {"update t set a =", "!Value expression is empty"},
    {"update t set a = b in (select c from u)", "!Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not "
                                                "allowed in value expression"},
    {"update t set a = 1 from t, u where t.k = u.k",
     R"(UPDATE live several where from=[1:t, 2:u] set=[a] values=["1"])"},
    {"update t set a = 1 from u", "!The first source table specified in FROM clause must match the table being "
                                  "updated in the UPDATE statement"},
    {"update t x set a = 1 from t y", "!The first source table specified in FROM clause must match the table being "
                                      "updated in the UPDATE statement"},
    {"update t set a = 1 from memory t", "!The first source table specified in FROM clause must match the table being "
                                         "updated in the UPDATE statement"},
    {"update t x set a = 1 from T x, u where x.k = u.k",
     R"(UPDATE live several where from=[1:t as x, 2:u] set=[a] values=["1"])"},
    {"update t set a = 1 from t left join u on t.k = u.k where u.z = 1 noautoinc commit interval 10 flush nojoinoptimize",
     R"(UPDATE live several where noautoinc nojoinopt flush interval=10 from=[1:t, 2:u] joins=[left>2] set=[a] )"
     R"(values=["1"])"},
    {"update t set a = 1 from t, u noautoinc", R"(UPDATE live several noautoinc from=[1:t, 2:u] set=[a] values=["1"])"},
    {"update t set a = 1 from t, u t", "!Duplicate table correlation name 't' found in source tables"},
    {"update t set a = 1 nojoinoptimize noautoinc", "!End of UPDATE statement expected, instead found 'noautoinc'"},

    // ---- DELETE ----
    {"delete from t where a = ?", "DELETE live where from=[1:t] ; params=1"},
    {"delete t", "!FROM keyword expected, instead found 't'"},
    {"delete from", "!Table name expected after FROM keyword, instead found ''"},
    {"delete from t x, u where x.a = u.a commit flush nojoinoptimize",
     "DELETE live several where nojoinopt flush from=[1:t as x, 2:u]"},
    {"delete from t commit interval 3", "DELETE live interval=3 from=[1:t]"},
    {"delete from t right join u on t.k = u.k", "DELETE live several from=[1:t, 2:u] joins=[right>2]"},
    // NOAUTOINC belongs to no DELETE clause: it is a correlation name there.
    {"delete from t noautoinc", "DELETE live from=[1:t as noautoinc]"},
    {"delete from t where a in (select b from u)",
     R"(DELETE live where from=[1:t] | SELECT sub live cols=[b "b"] from=[2:u])"},
    {"delete from t where", "!WHERE clause is empty"},
    {"delete from t x order by a", "!End of DELETE statement expected, instead found 'order'"},
};

class StatementParserTest : public ::testing::Test {
protected:
  testing_support::TTempDir FTemp;
  TDataSession FSession;
  TDataDirectory* FDirectory = FSession.OpenDirectory("", FTemp.Path().string());
};

TEST_F(StatementParserTest, TextsParseIntoTheirShapeOrFailWithTheirMessage) {
  for (const TParseCase& c : kParseCases) {
    SCOPED_TRACE(c.Sql.substr(0, 80));
    TQueryStatement statement(*FDirectory);
    std::string got;
    try {
      statement.Parse(c.Sql);
      got = TShapeRenderer(statement).Statement();
    } catch (const EKuraEngineError& error) {
      got = error.ErrorCode == KURA_SQLPARSE ? "!" + error.ErrorExtraMessage
                                             : "!engine error " + std::to_string(error.ErrorCode) + ": " + error.what();
    }
    EXPECT_EQ(got, c.Expected) << "SQL: " << c.Sql;
  }
}

}  // namespace
}  // namespace kura
