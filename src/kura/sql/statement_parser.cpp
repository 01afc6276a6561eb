// The grammar of SELECT, INSERT, UPDATE, DELETE and the transaction statements, and the
// dispatch of every statement by its first words. Each grammar function reads from the
// current token of the statement's one token stream and leaves the token after what it
// read; errors raise KURA_SQLPARSE at once (nothing is recovered).

#include <cstdint>
#include <span>
#include <vector>

#include "kura/base/language_driver.h"
#include "kura/base/names_paths.h"
#include "kura/sql/data_query.h"
#include "kura/sql/data_statements.h"
#include "kura/sql/definition_parser.h"
#include "kura/sql/shared_clauses.h"
#include "kura/sql/query_statement.h"
#include "kura/sql/sql_messages.h"
#include "kura/sql/sql_reader.h"
#include "kura/storage/table_files.h"

namespace kura {

namespace {

using TKeywords = std::span<const std::string_view>;

// Words that end a from-item instead of naming its alias, by statement. FULL is among
// them so that a FULL JOIN is refused with its own message rather than read as an
// alias, and SELECT so that a statement run on without ";" is refused at its first word.
constexpr std::string_view kSelectAliasStops[] = {"LEFT",  "RIGHT", "INNER",     "JOIN",     "WHERE",          "ORDER",
                                         "GROUP", "HAVING", "TOP",      "RANGE",    "WITH",           "ENCRYPTED",
                                         "LANGUAGE", "NOJOINOPTIMIZE", "UNION", "FULL", "SELECT"};
constexpr std::string_view kInsertSourceAliasStops[] = {
    "LEFT",      "RIGHT",    "INNER",          "JOIN",  "WHERE", "ORDER",     "GROUP",  "HAVING", "TOP", "RANGE",
    "WITH",      "ENCRYPTED", "LANGUAGE",      "NOJOINOPTIMIZE", "UNION", "FULL", "NOAUTOINC", "COMMIT", "SELECT"};
constexpr std::string_view kUpdateAliasStops[] = {"LEFT",      "RIGHT",  "INNER",          "JOIN", "WHERE",
                                         "NOAUTOINC", "COMMIT", "NOJOINOPTIMIZE", "FULL", "SELECT"};
constexpr std::string_view kDeleteAliasStops[] = {"LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "COMMIT", "NOJOINOPTIMIZE", "FULL", "SELECT"};

constexpr uint32_t kSelectItemFlags = kParseAggregates | kParseAllColumns | kParseExtendedPredicates;
constexpr uint32_t kWhereFlags = kParseExtendedPredicates | kParseParameters | kParseSubSelects;
constexpr uint32_t kJoinFlags = kParseExtendedPredicates | kParseParameters;
constexpr uint32_t kHavingFlags = kParseAggregates;
constexpr uint32_t kColumnFlags = 0;
constexpr uint32_t kValueFlags = kParseParameters;

bool IsAggregate(const TExpToken& node) { return node.Kind == kNodeFunction && IsAggregateFunction(node.OpCode); }

TAggregateKind AggregateKindOf(uint8_t opCode) {
  switch (opCode) {
    case kFuncSum: return TAggregateKind::Sum;
    case kFuncRunSum: return TAggregateKind::RunSum;
    case kFuncCount: return TAggregateKind::Count;
    case kFuncMin: return TAggregateKind::Min;
    case kFuncMax: return TAggregateKind::Max;
    case kFuncAvg: return TAggregateKind::Avg;
    default: return TAggregateKind::None;
  }
}

// The dispatch: the kind of the statement at the current token, leaving the token
// after the words that decide it (see ParseDefinitionStatement for the definition
// kinds).
TStatementKind ReadStatementKind(TSqlReader& r) {
  if (r.Accept("SELECT")) return TStatementKind::Select;
  if (r.Accept("INSERT")) return TStatementKind::Insert;
  if (r.Accept("UPDATE")) return TStatementKind::Update;
  if (r.Accept("DELETE")) return TStatementKind::Delete;
  if (r.Accept("CREATE")) {
    if (r.Accept("TABLE")) return TStatementKind::CreateTable;
    if (r.AtAny({"INDEX", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"})) {
      return TStatementKind::CreateIndex;
    }
    r.RaiseExpected(sqlmsg::kCreateWhatExpected);
  }
  if (r.Accept("ALTER")) {
    r.Expect("TABLE", sqlmsg::kAlterTableExpected);
    return TStatementKind::AlterTable;
  }
  if (r.Accept("DROP")) {
    if (r.Accept("TABLE")) return TStatementKind::DropTable;
    if (r.Accept("INDEX")) return TStatementKind::DropIndex;
    r.RaiseExpected(sqlmsg::kDropWhatExpected);
  }
  if (r.Accept("START")) {
    r.Expect("TRANSACTION", sqlmsg::kTransactionExpected);
    return TStatementKind::StartTransaction;
  }
  if (r.Accept("ROLLBACK")) return TStatementKind::Rollback;
  if (r.Accept("COMMIT")) return TStatementKind::Commit;
  r.RaiseExpected(sqlmsg::kStatementKeywordExpected);
}

// The grammar of one data statement, reading into `q`.
class TDataStatementParser {
public:
  TDataStatementParser(TDataQuery& query, TSqlReader& reader) : q(query), r(reader) {}

  void Select();
  void Insert();
  void Update();
  void Delete();
  // The tables named inside LASTAUTOINC() and IDENT_CURRENT() anywhere in the query.
  void CollectFunctionTables();

private:
  void SelectList();
  void ResultField();
  void Into();
  // from-item { , from-item }; `firstMatches` makes the first item name the table
  // already at SourceTables[0] (UPDATE ... FROM).
  void FromList(TKeywords aliasStops, bool firstMatches);
  void FromItem(TKeywords aliasStops, bool matchTarget);
  void Joins(int& parentheses);
  // [MEMORY] name [ \ name ]: the name as written (the two parts joined by "\").
  std::string TableName(bool& inMemory, std::string_view message, std::string_view afterMemoryMessage);
  // An alias after a table: AS name, or a bare name that is not one of `stops`.
  std::optional<std::string> Alias(TKeywords stops, bool allowAs);
  TSourceTable& NewSource(const std::string& name, bool inMemory, const std::optional<std::string>& alias);
  void GroupBy();
  void OrderBy();
  // name [ . name ] | integer, into the three out-values.
  void ColumnReference(std::string_view message, std::string& column, std::string& correlation, int16_t& number);
  void Tail();
  void UnionChain();
  void CommitClause();
  void Where();
  // A target column: its tree and names (a double-quoted string is a column name).
  TUpdateField& TargetColumn(bool operand);
  TUpdateValue& Value();
  bool IsMaster() const { return &q.Statement().MasterQuery() == &q; }
  bool IsInsertSource() const {
    const TDataQuery& master = q.Statement().MasterQuery();
    return master.StatementKind == TStatementKind::Insert && master.InsertSourceQuery == &q;
  }
  // A SELECT starts here: the keyword, or "(" directly followed by it.
  bool AtSelect() const;

  TDataQuery& q;
  TSqlReader& r;
};

bool TDataStatementParser::AtSelect() const {
  if (r.At("SELECT")) return true;
  if (!r.AtSymbol('(')) return false;
  TExpressionParser& parser = r.Parser();
  const TExpressionParser::TPosition position = parser.SavePosition();
  parser.NextToken();
  const bool select = parser.IsKeyword("SELECT");
  parser.RestorePosition(position);
  return select;
}

// ---- SELECT ----

void TDataStatementParser::Select() {
  r.Accept("ALL");
  if (r.Accept("DISTINCT")) q.Distinct = true;
  SelectList();
  if (r.At("INTO")) Into();
  r.Expect("FROM", sqlmsg::kFromExpected);
  FromList(IsInsertSource() ? TKeywords(kInsertSourceAliasStops) : TKeywords(kSelectAliasStops), false);
  Where();
  if (r.Accept("GROUP")) GroupBy();
  if (r.Accept("HAVING")) {
    q.HasHaving = true;
    q.HavingCondition = r.ParseClause(kHavingFlags, sqlmsg::kContextHaving, sqlmsg::kEmptyHaving);
  }
  // The ORDER BY after the last member of a UNION belongs to the query heading it.
  if (!q.IsUnionMember && r.At("ORDER")) OrderBy();
  Tail();
  if (q.Parenthesised) r.ExpectSymbol(')', sqlmsg::kSelectRightParenthesis);
  if (r.At("UNION")) UnionChain();

  bool aggregates = false;
  for (const auto& field : q.ResultFields) aggregates = aggregates || field->AggregateKind != TAggregateKind::None;
  if (aggregates && !q.Grouped) {
    q.Grouped = true;
    q.ImplicitGrouping = true;
  }
}

void TDataStatementParser::SelectList() {
  ResultField();
  while (r.AcceptSymbol(',')) ResultField();
  if (q.ResultFields.size() == 1) {
    const TResultField& only = *q.ResultFields.front();
    q.SelectStar = !only.IsExpression && only.AggregateKind == TAggregateKind::None && only.SourceColumnName == "*";
  }
}

void TDataStatementParser::ResultField() {
  q.ResultFields.push_back(std::make_unique<TResultField>(q));
  TResultField& field = *q.ResultFields.back();
  field.Expression =
      r.ParseClause(kSelectItemFlags, sqlmsg::kContextSourceColumn, sqlmsg::kEmptySourceColumn, &field.ColumnText,
                    {"FROM", "INTO"});
  const TExpToken& tree = *field.Expression;
  if (tree.Kind == kNodeColumn) {
    field.SourceColumnName = tree.ColumnName;
    field.CorrelationName = tree.TableName;
  } else if (IsAggregate(tree)) {
    field.AggregateKind = AggregateKindOf(tree.OpCode);
    if (field.AggregateKind == TAggregateKind::Avg) q.HasAvgColumn = true;
    const TExpToken* argument = tree.Arguments.empty() ? nullptr : tree.Arguments.front();
    if (AnyNode(argument, IsAggregate)) RaiseSqlError(sqlmsg::kAggregatesNested);
    if (argument != nullptr && argument->Kind == kNodeColumn) {
      field.SourceColumnName = argument->ColumnName;
      field.CorrelationName = argument->TableName;
      field.CountStar = field.AggregateKind == TAggregateKind::Count && argument->ColumnName == "*";
      field.ColumnText.clear();
    } else {
      field.IsExpression = true;
    }
  } else {
    if (AnyNode(&tree, IsAggregate)) RaiseSqlError(sqlmsg::kAggregatesInExpression);
    field.IsExpression = true;
  }
  if (field.IsExpression) q.HasComputedColumn = true;

  std::optional<std::string> alias;
  if (r.Accept("AS")) {
    alias = r.ExpectName(sqlmsg::kAliasAfterAs);
  } else if (r.AtName() && !r.AtAny({"INTO", "FROM"})) {
    alias = r.ExpectName(sqlmsg::kAliasAfterAs);
  }
  if (alias) {
    // "AS t.b" names the column b.
    if (r.AcceptSymbol('.')) alias = r.ExpectName(sqlmsg::kAliasAfterCorrelation);
    field.ColumnName = *alias;
    field.AutoName = false;
  }
}

void TDataStatementParser::Into() {
  r.Next();  // INTO
  if (!IsMaster()) RaiseSqlError(sqlmsg::kIntoOnlyMaster);
  if (r.Accept("MEMORY")) {
    q.IntoMemory = true;
    if (r.AtName() && !r.At("FROM")) q.IntoTableName = r.ExpectName(sqlmsg::kIntoNameExpected);
    return;
  }
  q.IntoTableName = r.ExpectName(sqlmsg::kIntoNameExpected);
  if (r.AcceptSymbol('\\')) q.IntoTableName += "\\" + r.ExpectName(sqlmsg::kIntoNameExpected);
}

// ---- FROM and JOIN ----

std::string TDataStatementParser::TableName(bool& inMemory, std::string_view message,
                                            std::string_view afterMemoryMessage) {
  inMemory = r.Accept("MEMORY");
  std::string name = r.ExpectName(inMemory ? afterMemoryMessage : message);
  if (r.AcceptSymbol('\\')) name += "\\" + r.ExpectName(afterMemoryMessage);
  return name;
}

std::optional<std::string> TDataStatementParser::Alias(TKeywords stops, bool allowAs) {
  if (allowAs && r.Accept("AS")) return r.ExpectName(sqlmsg::kAliasAfterAs);
  if (r.AtName() && !r.AtAny(stops)) return r.ExpectName(sqlmsg::kAliasAfterAs);
  return std::nullopt;
}

TSourceTable& TDataStatementParser::NewSource(const std::string& name, bool inMemory,
                                              const std::optional<std::string>& alias) {
  TSourceTable& table = q.AddSourceTable();
  table.InMemory = inMemory;
  if (alias) table.SetCorrelationName(*alias);
  table.SetSourceName(name);
  q.CheckCorrelationName(table);
  return table;
}

void TDataStatementParser::FromList(TKeywords aliasStops, bool firstMatches) {
  FromItem(aliasStops, firstMatches);
  while (r.AcceptSymbol(',')) {
    q.SeveralSources = true;
    FromItem(aliasStops, false);
  }
}

void TDataStatementParser::FromItem(TKeywords aliasStops, bool matchTarget) {
  int parentheses = 0;
  while (r.AcceptSymbol('(')) ++parentheses;
  bool inMemory = false;
  const std::string name = TableName(inMemory, sqlmsg::kFromTableExpected, sqlmsg::kFromTableExpected);
  const std::optional<std::string> alias = Alias(aliasStops, true);
  if (matchTarget) {
    // UPDATE ... FROM: the first item is the updated table itself.
    TSourceTable& target = *q.SourceTables.front();
    TSourceTable probe(q);
    probe.InMemory = inMemory;
    probe.SetSourceName(name);
    const bool same = SameText(probe.TableName, target.TableName) && SameText(probe.Directory, target.Directory) &&
                      (!inMemory || target.InMemory) && (!alias || SameText(*alias, target.CorrelationName));
    if (!same) RaiseSqlError(sqlmsg::kUpdateFromMismatch);
  } else {
    NewSource(name, inMemory, alias);
  }
  Joins(parentheses);
}

void TDataStatementParser::Joins(int& parentheses) {
  while (r.AtAny({"JOIN", "INNER", "LEFT", "RIGHT"})) {
    TJoinKind kind = TJoinKind::Inner;
    if (r.Accept("INNER")) {
      r.Expect("JOIN", sqlmsg::kJoinAfterInner);
    } else if (r.Accept("LEFT")) {
      kind = TJoinKind::LeftOuter;
      r.Accept("OUTER");
      r.Expect("JOIN", sqlmsg::kJoinAfterLeft);
    } else if (r.Accept("RIGHT")) {
      kind = TJoinKind::RightOuter;
      r.Accept("OUTER");
      r.Expect("JOIN", sqlmsg::kJoinAfterRight);
    } else {
      r.Next();  // JOIN
    }
    bool inMemory = false;
    const std::string name = TableName(inMemory, sqlmsg::kJoinTableExpected, sqlmsg::kJoinTableExpected);
    static constexpr std::string_view kOn[] = {"ON"};
    const std::optional<std::string> alias = Alias(kOn, true);
    TSourceTable& table = NewSource(name, inMemory, alias);
    r.Expect("ON", sqlmsg::kOnExpected);
    q.JoinExpressions.push_back(std::make_unique<TJoinExpression>(q));
    TJoinExpression& join = *q.JoinExpressions.back();
    join.Kind = kind;
    join.Target = &table;
    join.Condition = r.ParseClause(kJoinFlags, sqlmsg::kContextJoin, sqlmsg::kEmptyJoin);
    q.SeveralSources = true;
    while (parentheses > 0 && r.AcceptSymbol(')')) --parentheses;
  }
  if (r.At("FULL")) RaiseSqlError(sqlmsg::kFullJoinUnsupported);
  if (parentheses > 0) RaiseSqlError(sqlmsg::kMismatchedJoinParentheses);
}

void TDataStatementParser::Where() {
  if (!r.Accept("WHERE")) return;
  q.HasWhere = true;
  q.WhereCondition = r.ParseClause(kWhereFlags, sqlmsg::kContextWhere, sqlmsg::kEmptyWhere);
}

// ---- GROUP BY, ORDER BY and the tail ----

void TDataStatementParser::ColumnReference(std::string_view message, std::string& column, std::string& correlation,
                                           int16_t& number) {
  if (r.AtInteger()) {
    const int32_t value = r.ExpectInteger(message);
    if (value > INT16_MAX) RaiseSqlError(std::string(message) + std::to_string(value) + "'");
    number = static_cast<int16_t>(value);
    return;
  }
  column = r.ExpectName(message);
  if (r.AcceptSymbol('.')) {
    correlation = TableBaseName(NormalizePath(column), kDataFileExtension);
    column = r.ExpectName(message);
  }
}

void TDataStatementParser::GroupBy() {
  r.Expect("BY", sqlmsg::kByAfterGroup);
  q.Grouped = true;
  do {
    TGroupByField item;
    ColumnReference(sqlmsg::kGroupByItemExpected, item.ColumnName, item.CorrelationName, item.ColumnNumber);
    q.GroupByFields.push_back(std::move(item));
  } while (r.AcceptSymbol(','));
}

void TDataStatementParser::OrderBy() {
  r.Next();  // ORDER
  r.Expect("BY", sqlmsg::kByAfterOrder);
  q.HasOrderBy = true;
  do {
    TOrderByField item;
    ColumnReference(sqlmsg::kOrderByItemExpected, item.ColumnName, item.CorrelationName, item.ColumnNumber);
    if (r.Accept("DESC") || r.Accept("DESCENDING")) {
      item.Descending = true;
    } else if (!r.Accept("ASC")) {
      r.Accept("ASCENDING");
    }
    q.OrderByFields.push_back(std::move(item));
  } while (r.AcceptSymbol(','));
  if (r.Accept("NOCASE")) q.OrderByNoCase = true;
}

void TDataStatementParser::Tail() {
  if (r.Accept("TOP")) q.TopCount = r.ExpectInteger(sqlmsg::kTopInteger);
  if (r.Accept("WITH")) {
    r.Expect("LOCKS", sqlmsg::kLocksAfterWith);
    q.WithLocks = true;
  }
  if (r.Accept("LANGUAGE")) ParseLanguageClause(r, q.Options);
  if (r.Accept("ENCRYPTED")) ParseEncryptedClause(r, q.Options);
  if (r.Accept("NOJOINOPTIMIZE")) q.NoJoinOptimize = true;
}

void TDataStatementParser::UnionChain() {
  r.Next();  // UNION
  if (q.HasOrderBy) RaiseSqlError(sqlmsg::kOrderByInUnion);
  q.HasUnion = true;
  q.UnionAll = r.Accept("ALL");
  TDataQuery& member = q.Statement().NewQuery();
  member.RequestLive = true;
  q.NextUnionQuery = &member;
  member.ParseStatement(false, true, &q);
  if (q.IsUnionMember) return;
  // The head of the chain reads the ORDER BY and TOP that follow its last member.
  if (r.At("ORDER")) OrderBy();
  if (r.Accept("TOP")) q.TopCount = r.ExpectInteger(sqlmsg::kTopInteger);
}

// ---- INSERT, UPDATE, DELETE ----

TUpdateField& TDataStatementParser::TargetColumn(bool operand) {
  q.UpdateFields.push_back(std::make_unique<TUpdateField>(q));
  TUpdateField& field = *q.UpdateFields.back();
  const bool doubleQuoted = r.Parser().IsTokenKind(kTokenDoubleQuoted);
  field.Expression =
      operand ? r.ParseOperand(kColumnFlags, sqlmsg::kContextTableColumn, sqlmsg::kEmptyTableColumn, &field.ColumnText)
              : r.ParseClause(kColumnFlags, sqlmsg::kContextTableColumn, sqlmsg::kEmptyTableColumn, &field.ColumnText);
  const TExpToken& tree = *field.Expression;
  if (tree.Kind == kNodeColumn) {
    field.ColumnName = tree.ColumnName;
    field.CorrelationName = tree.TableName;
  } else if (doubleQuoted && tree.Kind == kNodeConstant && tree.DataType == TFieldType::String) {
    field.ColumnName = tree.Text;
  }
  return field;
}

TUpdateValue& TDataStatementParser::Value() {
  q.UpdateValues.push_back(std::make_unique<TUpdateValue>(q));
  TUpdateValue& value = *q.UpdateValues.back();
  value.Expression = r.ParseClause(kValueFlags, sqlmsg::kContextValue, sqlmsg::kEmptyValue, &value.ColumnText);
  return value;
}

void TDataStatementParser::CommitClause() {
  if (!r.Accept("COMMIT")) return;
  if (r.Accept("INTERVAL")) {
    q.CommitInterval = r.ExpectInteger(sqlmsg::kIntervalInteger);
    if (r.Accept("FLUSH")) q.CommitFlush = true;
  } else if (r.Accept("FLUSH")) {
    q.CommitFlush = true;
  } else {
    r.RaiseExpected(sqlmsg::kCommitOptionsExpected);
  }
}

void TDataStatementParser::Insert() {
  r.Expect("INTO", sqlmsg::kIntoExpected);
  bool inMemory = false;
  const std::string name = TableName(inMemory, sqlmsg::kInsertTableAfterInto, sqlmsg::kInsertTableAfterIntoKeyword);
  static constexpr std::string_view kStops[] = {"VALUES", "SELECT"};
  const std::optional<std::string> alias = Alias(kStops, false);
  NewSource(name, inMemory, alias);

  if (r.AtSymbol('(') && !AtSelect()) {
    r.Next();
    do {
      TargetColumn(false);
    } while (r.AcceptSymbol(','));
    r.ExpectSymbol(')', sqlmsg::kColumnListRightParenthesis);
  } else {
    q.UpdateFields.push_back(std::make_unique<TUpdateField>(q));
    q.UpdateFields.back()->ColumnName = "*";
  }

  if (r.Accept("VALUES")) {
    r.ExpectSymbol('(', sqlmsg::kValuesLeftParenthesis);
    do {
      Value();
    } while (r.AcceptSymbol(','));
    r.ExpectSymbol(')', sqlmsg::kValuesRightParenthesis);
  } else if (AtSelect()) {
    q.InsertSelect = true;
    TDataQuery& source = q.Statement().NewQuery();
    source.RequestLive = true;
    q.InsertSourceQuery = &source;
    source.ParseStatement(true, false, nullptr);
    // A live result over the table being filled would show the rows as they are
    // appended: such a source is read from a result of its own.
    if (ReadsInsertTarget(source, q)) source.RequestLive = false;
  } else {
    r.RaiseExpected(sqlmsg::kValuesOrSelectExpected);
  }
  if (r.Accept("NOAUTOINC")) q.NoAutoInc = true;
  CommitClause();
}

void TDataStatementParser::Update() {
  int parentheses = 0;
  while (r.AcceptSymbol('(')) ++parentheses;
  bool inMemory = false;
  const std::string name = TableName(inMemory, sqlmsg::kUpdateTableExpected, sqlmsg::kUpdateTableExpected);
  static constexpr std::string_view kStops[] = {"SET"};
  const std::optional<std::string> alias = Alias(kStops, true);
  NewSource(name, inMemory, alias);
  while (parentheses > 0 && r.AcceptSymbol(')')) --parentheses;
  r.Expect("SET", sqlmsg::kSetExpected);
  do {
    TargetColumn(true);
    r.ExpectSymbol('=', sqlmsg::kAssignmentExpected);
    Value();
  } while (r.AcceptSymbol(','));
  if (r.Accept("FROM")) FromList(kUpdateAliasStops, true);
  Where();
  if (r.Accept("NOAUTOINC")) q.NoAutoInc = true;
  CommitClause();
  if (r.Accept("NOJOINOPTIMIZE")) q.NoJoinOptimize = true;
}

void TDataStatementParser::Delete() {
  r.Expect("FROM", sqlmsg::kFromExpected);
  FromList(kDeleteAliasStops, false);
  Where();
  CommitClause();
  if (r.Accept("NOJOINOPTIMIZE")) q.NoJoinOptimize = true;
}

void TDataStatementParser::CollectFunctionTables() {
  auto collect = [&](const TExpToken* root) {
    AnyNode(root, [&](const TExpToken& node) {
      if (node.Kind != kNodeFunction || (node.OpCode != kFuncLastAutoInc && node.OpCode != kFuncIdentCurrent) ||
          node.Arguments.empty() || node.Arguments.front() == nullptr) {
        return false;
      }
      const TExpToken& argument = *node.Arguments.front();
      const std::string name = argument.Kind == kNodeColumn ? argument.ColumnName : argument.Text;
      bool known = false;
      for (const std::string& table : q.FunctionTables) known = known || SameName(table, name);
      if (!known && !name.empty()) q.FunctionTables.push_back(name);
      return false;
    });
  };
  for (const auto& field : q.ResultFields) collect(field->Expression.get());
  for (const auto& join : q.JoinExpressions) collect(join->Condition.get());
  collect(q.WhereCondition.get());
  collect(q.HavingCondition.get());
  for (const auto& value : q.UpdateValues) collect(value->Expression.get());
}

}  // namespace

void ParseLanguageClause(TSqlReader& r, TTableOptions& options) {
  // A missing name is named by the token found instead.
  const std::string language = r.TokenText();
  if (!r.AtName() || !IsLanguageName(language)) {
    RaiseSqlError(std::string(sqlmsg::kInvalidLanguagePrefix) + language + "'" + std::string(sqlmsg::kInvalidLanguageSuffix));
  }
  r.Next();
  options.LocaleId = LanguageIdByName(language);
  if (!r.Accept("SORT")) return;
  const std::string sort = r.TokenText();
  if (!r.AtName() || !IsSortName(*options.LocaleId, sort)) {
    RaiseSqlError(std::string(sqlmsg::kInvalidSortPrefix) + sort + "'" + std::string(sqlmsg::kInvalidSortSuffix));
  }
  r.Next();
  options.SortId = SortIdByName(*options.LocaleId, sort);
}

void ParseEncryptedClause(TSqlReader& r, TTableOptions& options) {
  r.Expect("WITH", sqlmsg::kWithAfterEncrypted);
  options.Password = r.ExpectName(sqlmsg::kPasswordExpected);
}

void TDataQuery::ParseStatement(bool isSubSelect, bool isUnionMember, TDataQuery* parentQuery) {
  Reset();
  IsSubSelect = isSubSelect;
  IsUnionMember = isUnionMember;
  ParentQuery = parentQuery;
  TSqlReader r(FStatement.Parser());
  if (r.AcceptSymbol('(')) {
    Parenthesised = true;
    if (!r.At("SELECT")) r.RaiseExpected(sqlmsg::kSelectKeywordExpected);
  }
  StatementKind = ReadStatementKind(r);
  TDataStatementParser data(*this, r);
  switch (StatementKind) {
    case TStatementKind::CreateTable:
    case TStatementKind::AlterTable:
    case TStatementKind::DropTable:
    case TStatementKind::CreateIndex:
    case TStatementKind::DropIndex:
      ParseDefinitionStatement(*this, r);
      return;
    case TStatementKind::Select:
      data.Select();
      data.CollectFunctionTables();
      // Sub-selects and UNION members leave the token after them to their caller.
      if (IsSubSelect || IsUnionMember) return;
      break;
    case TStatementKind::Insert:
      data.Insert();
      data.CollectFunctionTables();
      break;
    case TStatementKind::Update:
      data.Update();
      data.CollectFunctionTables();
      break;
    case TStatementKind::Delete:
      data.Delete();
      data.CollectFunctionTables();
      break;
    case TStatementKind::Commit:
      r.Accept("WORK");
      CommitFlush = r.Accept("FLUSH");
      break;
    case TStatementKind::Rollback:
      r.Accept("WORK");
      break;
    case TStatementKind::StartTransaction:
    case TStatementKind::Unknown:
      break;
  }
  r.ExpectEndOfStatement(StatementKindName(StatementKind));
}

}  // namespace kura
