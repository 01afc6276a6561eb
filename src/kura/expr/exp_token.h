#pragma once

// The node of every parsed filter or SQL expression, the code tables that classify
// nodes, and the process-wide pool the nodes come from.
//
// Naming of the code constants (all `constexpr uint8_t`):
//   kNode...  node kinds, the values of TExpToken::Kind
//   kOp...    unary and binary operator codes (TExpToken::OpCode of kNodeUnary,
//             kNodeBinary and kNodeWildcard nodes)
//   kPred...  extended predicate codes (OpCode of kNodePredicate nodes)
//   kFunc...  function and aggregate codes (OpCode of kNodeFunction nodes)
//
// Ownership. A tree is a tree (never a DAG): every node is reached from exactly one
// parent pointer (Operand, RightOperand or one Arguments entry). Child pointers are
// raw and owning in the sense that ReleaseTree(root) returns every node reachable from
// root to the pool; nothing else frees them. Parent is a non-owning back pointer (set
// by the binder). SourceTable is a non-owning opaque handle of the binder's caller.
// SubQuery is shared (std::shared_ptr) so that CopyNode can share it like the other
// children. Hold a root in a TExpTree to get the release on every path.
//
// Shape of each node kind (Arguments listed in their order):
//
// | Kind                | OpCode                  | children                                  |
// |---------------------|-------------------------|-------------------------------------------|
// | kNodeUnary      1   | kOpNot, kOpUnaryMinus,  | Operand                                   |
// |                     | kOpUnaryPlus            |                                           |
// | kNodeBinary     2   | kOpEqual ... kOpDivide  | Operand (left), RightOperand              |
// | kNodeWildcard   3   | kOpEqual, kOpNotEqual   | Operand, RightOperand (made by evaluator) |
// | kNodeColumn     4   | 0                       | none; ColumnName, TableName               |
// | kNodeConstant   5   | 0                       | none; value in DataType/Data/IsNull       |
// | kNodeSubSelect  6   | 0                       | none; SubQuery                            |
// | kNodeFunction  10   | kFunc...                | Arguments, per function below             |
// | kNodePredicate 12   | kPred...                | Arguments: tested value, then operands    |
//
// Function arguments as the parser stores them:
//   SUM RUNSUM COUNT MIN MAX AVG  [x]            (COUNT(*): x is a column named "*")
//   UPPER LOWER LENGTH ABS        [x]
//   SUBSTRING                     [x, from] or [x, from, for]
//   REPLACE                       [search, replacement, x]
//   POS OCCURS                    [search, x]
//   TRIM (LEADING/TRAILING/BOTH)  [character, x]      the side is in OpCode
//   EXTRACT (YEAR ... SECOND)     [x]                 the part is in OpCode
//   CAST                          [x] then the target's size arguments, if written:
//                                 [x, size] or [x, precision, scale]; the target type
//                                 is the node's DataType and SubType
//   ROUND                         [x] or [x, places]
//   IF                            [condition, then-value, else-value]
//   IFNULL                        [x, value-if-null, value-otherwise]
//   COALESCE                      [a, b, ...]
//   TEXTSEARCH TEXTOCCURS         [search-text, column]
//   LASTAUTOINC IDENT_CURRENT     [table-name]
// Predicate arguments:
//   LIKE, NOT LIKE                [x, pattern]
//   BETWEEN, NOT BETWEEN          [x, low, high]
//   IN, NOT IN (value list)       [x, v1, v2, ...]
//   IN, NOT IN (sub-select)       [x, node of kind kNodeSubSelect]
// IS NULL is a kNodeBinary kOpEqual and IS NOT NULL a kOpNotEqual node whose right
// operand is a NULL constant.
//
// Values (constants and computed values) are in the record encoding of their field
// type (see kura/base/field_types.h), little-endian, in Data[0 .. DataLength):
// strings are zero-terminated (DataLength counts the terminator), booleans are uint16
// 1 or 0, dates and times int32, timestamps and floats doubles, BCD 34 bytes.
// The NULL constant has DataType Unknown (0) and IsNull 1; the empty text constant ''
// is the NULL of the string type (DataType String, IsNull 1, Data a lone terminator).
// Comparisons, predicates and functions whose result type the parser knows carry it
// (DataType, DataLength for fixed-size types, 0 for strings); the binder fixes the
// rest. A `?` parameter is a
// constant with IsParameter 1, DataType Unknown and IsNull 1 until the statement sets
// its value.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kura/base/field_types.h"

namespace kura {

// Node kinds.
constexpr uint8_t kNodeUnary = 1;
constexpr uint8_t kNodeBinary = 2;
constexpr uint8_t kNodeWildcard = 3;   // wildcard string comparison
constexpr uint8_t kNodeColumn = 4;
constexpr uint8_t kNodeConstant = 5;   // constant or parameter
constexpr uint8_t kNodeSubSelect = 6;  // sub-select, operand of IN
constexpr uint8_t kNodeFunction = 10;  // function or aggregate
constexpr uint8_t kNodePredicate = 12; // extended predicate

// Unary operator codes.
constexpr uint8_t kOpNot = 9;
constexpr uint8_t kOpUnaryMinus = 15;
constexpr uint8_t kOpUnaryPlus = 16;
// Binary operator codes.
constexpr uint8_t kOpEqual = 3;
constexpr uint8_t kOpNotEqual = 4;
constexpr uint8_t kOpGreater = 5;
constexpr uint8_t kOpLess = 6;
constexpr uint8_t kOpGreaterEqual = 7;
constexpr uint8_t kOpLessEqual = 8;
constexpr uint8_t kOpAnd = 10;
constexpr uint8_t kOpOr = 11;
constexpr uint8_t kOpAdd = 17;  // `+` and the concatenation `||`
constexpr uint8_t kOpSubtract = 18;
constexpr uint8_t kOpMultiply = 19;
constexpr uint8_t kOpDivide = 20;

// Extended predicate codes.
constexpr uint8_t kPredLike = 32;
constexpr uint8_t kPredIn = 33;           // IN (value list)
constexpr uint8_t kPredInSelect = 34;     // IN (sub-select)
constexpr uint8_t kPredBetween = 41;
constexpr uint8_t kPredNotBetween = 42;
constexpr uint8_t kPredNotLike = 43;
constexpr uint8_t kPredNotIn = 44;        // NOT IN (value list)
constexpr uint8_t kPredNotInSelect = 45;  // NOT IN (sub-select)

// Function and aggregate codes.
constexpr uint8_t kFuncSum = 23;
constexpr uint8_t kFuncRunSum = 24;
constexpr uint8_t kFuncCount = 25;
constexpr uint8_t kFuncMin = 26;
constexpr uint8_t kFuncMax = 27;
constexpr uint8_t kFuncAvg = 28;
constexpr uint8_t kFuncUpper = 36;
constexpr uint8_t kFuncLower = 37;
constexpr uint8_t kFuncSubstring = 46;
constexpr uint8_t kFuncReplace = 47;
constexpr uint8_t kFuncPos = 48;
constexpr uint8_t kFuncOccurs = 49;
constexpr uint8_t kFuncTrimLeading = 50;
constexpr uint8_t kFuncTrimTrailing = 51;
constexpr uint8_t kFuncTrimBoth = 52;
constexpr uint8_t kFuncLength = 53;
constexpr uint8_t kFuncCast = 54;
constexpr uint8_t kFuncExtractYear = 55;
constexpr uint8_t kFuncExtractMonth = 56;
constexpr uint8_t kFuncExtractWeek = 57;
constexpr uint8_t kFuncExtractDay = 58;
constexpr uint8_t kFuncExtractDayOfWeek = 59;
constexpr uint8_t kFuncExtractDayOfYear = 60;
constexpr uint8_t kFuncExtractHour = 61;
constexpr uint8_t kFuncExtractMinute = 62;
constexpr uint8_t kFuncExtractSecond = 63;
constexpr uint8_t kFuncIf = 64;
constexpr uint8_t kFuncCoalesce = 65;
constexpr uint8_t kFuncIfNull = 66;
constexpr uint8_t kFuncAbs = 67;
constexpr uint8_t kFuncRound = 68;
constexpr uint8_t kFuncTextSearch = 69;
constexpr uint8_t kFuncTextOccurs = 70;
constexpr uint8_t kFuncLastAutoInc = 71;
constexpr uint8_t kFuncIdentCurrent = 72;

constexpr bool IsAggregateFunction(uint8_t opCode) { return opCode >= kFuncSum && opCode <= kFuncAvg; }
constexpr bool IsExtractFunction(uint8_t opCode) {
  return opCode >= kFuncExtractYear && opCode <= kFuncExtractSecond;
}
constexpr bool IsTrimFunction(uint8_t opCode) { return opCode >= kFuncTrimLeading && opCode <= kFuncTrimBoth; }

// The comparisons =, <>, >, <, >=, <= (binary operator codes).
constexpr bool IsComparisonOp(uint8_t opCode) { return opCode >= kOpEqual && opCode <= kOpLessEqual; }
// The comparison that gives the same result with its operands exchanged: < and >, <=
// and >= trade places; = and <> (and every other code) stay.
constexpr uint8_t MirroredComparison(uint8_t opCode) {
  switch (opCode) {
    case kOpLess: return kOpGreater;
    case kOpGreater: return kOpLess;
    case kOpLessEqual: return kOpGreaterEqual;
    case kOpGreaterEqual: return kOpLessEqual;
    default: return opCode;
  }
}

// Data grows in steps of this many bytes.
constexpr int32_t kExpDataStep = 256;

// The parsed sub-query of an IN (SELECT ...) operand. The SQL layer derives its own
// statement object from this; the expression layer only owns and shares it.
class TExpSubQuery {
public:
  virtual ~TExpSubQuery() = default;
};

// One node. Fields in their fixed order; see the tables at the top of this file.
struct TExpToken {
  // Source text of the node: the operator symbol or keyword in upper case ("=", "<>",
  // "AND", "NOT LIKE", "||"), the function name in upper case, a column's name, a
  // constant's literal (a string constant's text without quotes).
  std::string Text;
  uint8_t Kind = 0;
  uint8_t OpCode = 0;

  // Binding, filled by the binder and the SQL engine.
  uint8_t IsBound = 0;       // the column has been resolved
  uint8_t IsColumnText = 0;  // a text constant the binder took as a column name
  int32_t SourceNo = -1;     // index of the bound source table (SQL) or -1
  int32_t FieldNo = -1;      // index of the bound field in its source or -1

  std::string ColumnName;  // column name of a column node
  std::string TableName;   // correlation name written before the column, "" if none

  void* SourceTable = nullptr;              // bound source table: opaque, not owned
  std::shared_ptr<TExpSubQuery> SubQuery;   // sub-select of a kNodeSubSelect node

  // The value; its size is a multiple of kExpDataStep and at least DataLength. Its
  // bytes beyond what a writer stored are unspecified (the pool does not clear them).
  std::vector<uint8_t> Data;
  uint8_t IsNull = 0;
  uint8_t IsParameter = 0;
  int32_t PatternPosition = 0;  // wildcard comparison: leading characters compared, 0 = all
  uint8_t CaseInsensitive = 0;
  TFieldType DataType = TFieldType::Unknown;
  TFieldSubType SubType = TFieldSubType::None;
  int32_t DataLength = 0;  // bytes of the value (strings include the terminator)
  uint8_t DataScale = 0;   // decimal places of a BCD value

  // The type the node had before the binder changed it.
  TFieldType SavedDataType = TFieldType::Unknown;
  TFieldSubType SavedSubType = TFieldSubType::None;
  int32_t SavedDataLength = 0;
  uint8_t SavedDataScale = 0;

  TExpToken* Parent = nullptr;        // set by the binder; not owned
  TExpToken* Operand = nullptr;       // unary operand or left operand
  TExpToken* RightOperand = nullptr;  // right operand
  std::vector<TExpToken*> Arguments;  // function and predicate arguments

  // Makes Data at least `size` bytes (rounded up to kExpDataStep), keeping its
  // contents; new bytes are zero. Does not change DataLength.
  void ReserveData(int32_t size);
  // Stores a value of `size` bytes: Data holds a copy, DataLength = size, IsNull = 0.
  void SetData(const void* bytes, int32_t size);
  // Resets every field to its initial value. Data, Text and Arguments keep their
  // storage so that a pooled node allocates nothing when it is reused. Children are
  // not released: the caller must have released or handed them on.
  void Clear();
};

// The pool of free nodes: up to kCapacity nodes kept for reuse. Thread-safe.
class TExpTokenStack {
public:
  static constexpr int kCapacity = 256;

  TExpTokenStack() = default;
  TExpTokenStack(const TExpTokenStack&) = delete;
  TExpTokenStack& operator=(const TExpTokenStack&) = delete;

  // A cleared node: a free one when there is one, else a new one. The caller owns it
  // until it hands it back through Put, ReleaseTree or a tree that is released.
  TExpToken* Get();
  // Takes back one node (its children are not touched). Kept when the pool has room
  // (cleared, with a Data buffer above 64 KiB given back to the system), else freed.
  // Null is ignored.
  void Put(TExpToken* token);
  // Number of free nodes held.
  int FreeCount() const;

private:
  mutable std::recursive_mutex Lock_;
  std::vector<std::unique_ptr<TExpToken>> Free_;
};

// The process-wide pool.
TExpTokenStack& ExpTokenStack();

// Returns a whole tree to the pool: operands, then arguments, then the node, at any
// depth (no recursion on the call stack). Null is ignored.
void ReleaseTree(TExpToken* root);

// Visits the nodes of a tree (operands and arguments, not the trees of sub-selects,
// which belong to their own queries) without recursion, and returns true at the first
// node `found` accepts. Null is an empty tree.
bool AnyNode(const TExpToken* root, const std::function<bool(const TExpToken&)>& found);

// A new node (from the pool) with every field of `node` copied, including the value;
// its Operand, RightOperand, Arguments and SubQuery are the same children as the
// original's (shared, not copied): release only one of the two as a tree, and hand
// the other back with ExpTokenStack().Put. Parent is copied as is.
TExpToken* CopyNode(const TExpToken* node);

// The symbol of a binary operator code ("=", "<>", "AND", "+", ...; "+" also for the
// concatenation); "?" for any other code.
const char* OperatorText(uint8_t opCode);

// Exchanges the operands of a comparison node (kNodeBinary with IsComparisonOp) and
// mirrors its operator, OpCode and Text, so that it means the same; Parent pointers
// are untouched (the children stay children of the node). Anything else is left as is.
void SwapComparisonOperands(TExpToken& node);

// A deep copy of a whole tree (every node new from the pool; SubQuery shared). Parent
// pointers inside the copy point to the copy's nodes; the root's Parent is null.
TExpToken* CopyTree(const TExpToken* root);

// Owner of a tree: releases it to the pool when it goes.
struct TExpTreeDeleter {
  void operator()(TExpToken* root) const { ReleaseTree(root); }
};
using TExpTree = std::unique_ptr<TExpToken, TExpTreeDeleter>;

// A cleared node from the pool, owned.
inline TExpTree NewExpToken() { return TExpTree(ExpTokenStack().Get()); }

}  // namespace kura
// layout: complete
