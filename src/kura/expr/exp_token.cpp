#include "kura/expr/exp_token.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kura {

namespace {

// A pooled node keeps at most this much Data storage; a larger buffer (a memo value)
// goes back to the system so that the pool does not pin large blocks.
constexpr size_t kMaxPooledData = 64 * 1024;

}  // namespace

void TExpToken::ReserveData(int32_t size) {
  if (size <= 0 || static_cast<size_t>(size) <= Data.size()) return;
  const size_t steps = (static_cast<size_t>(size) + kExpDataStep - 1) / kExpDataStep;
  Data.resize(steps * kExpDataStep, 0);
}

void TExpToken::SetData(const void* bytes, int32_t size) {
  if (size < 0) size = 0;
  ReserveData(size);
  if (size > 0) std::memcpy(Data.data(), bytes, static_cast<size_t>(size));
  DataLength = size;
  IsNull = 0;
}

void TExpToken::Clear() {
  Text.clear();
  Kind = 0;
  OpCode = 0;
  IsBound = 0;
  IsColumnText = 0;
  SourceNo = -1;
  FieldNo = -1;
  ColumnName.clear();
  TableName.clear();
  SourceTable = nullptr;
  SubQuery.reset();
  IsNull = 0;
  IsParameter = 0;
  PatternPosition = 0;
  CaseInsensitive = 0;
  DataType = TFieldType::Unknown;
  SubType = TFieldSubType::None;
  DataLength = 0;
  DataScale = 0;
  SavedDataType = TFieldType::Unknown;
  SavedSubType = TFieldSubType::None;
  SavedDataLength = 0;
  SavedDataScale = 0;
  Parent = nullptr;
  Operand = nullptr;
  RightOperand = nullptr;
  Arguments.clear();
}

TExpToken* TExpTokenStack::Get() {
  {
    std::lock_guard<std::recursive_mutex> guard(Lock_);
    if (!Free_.empty()) {
      TExpToken* token = Free_.back().release();
      Free_.pop_back();
      return token;  // cleared when it was put back
    }
  }
  return std::make_unique<TExpToken>().release();
}

void TExpTokenStack::Put(TExpToken* token) {
  if (token == nullptr) return;
  std::unique_ptr<TExpToken> owned(token);
  // Clearing outside the lock: it may drop the last reference to a sub-query.
  owned->Clear();
  if (owned->Data.size() > kMaxPooledData) std::vector<uint8_t>().swap(owned->Data);
  std::lock_guard<std::recursive_mutex> guard(Lock_);
  if (Free_.size() < static_cast<size_t>(kCapacity)) Free_.push_back(std::move(owned));
  // Otherwise `owned` frees the node.
}

int TExpTokenStack::FreeCount() const {
  std::lock_guard<std::recursive_mutex> guard(Lock_);
  return static_cast<int>(Free_.size());
}

TExpTokenStack& ExpTokenStack() {
  static TExpTokenStack stack;
  return stack;
}

bool AnyNode(const TExpToken* root, const std::function<bool(const TExpToken&)>& found) {
  std::vector<const TExpToken*> pending;
  if (root != nullptr) pending.push_back(root);
  while (!pending.empty()) {
    const TExpToken* node = pending.back();
    pending.pop_back();
    if (found(*node)) return true;
    if (node->Operand != nullptr) pending.push_back(node->Operand);
    if (node->RightOperand != nullptr) pending.push_back(node->RightOperand);
    for (const TExpToken* argument : node->Arguments) {
      if (argument != nullptr) pending.push_back(argument);
    }
  }
  return false;
}

void ReleaseTree(TExpToken* root) {
  if (root == nullptr) return;
  TExpTokenStack& pool = ExpTokenStack();
  // Post-order without recursion: a node is handed back once its operands and
  // arguments are. The second member says whether its children were pushed already.
  std::vector<std::pair<TExpToken*, bool>> pending;
  pending.emplace_back(root, false);
  while (!pending.empty()) {
    auto& [node, expanded] = pending.back();
    if (expanded) {
      TExpToken* done = node;
      pending.pop_back();
      pool.Put(done);
      continue;
    }
    expanded = true;
    TExpToken* current = node;  // `node` may dangle once the vector grows
    // Pushed in reverse so that they are released in order: operand, right operand,
    // then the arguments as written.
    for (auto it = current->Arguments.rbegin(); it != current->Arguments.rend(); ++it) {
      if (*it != nullptr) pending.emplace_back(*it, false);
    }
    if (current->RightOperand != nullptr) pending.emplace_back(current->RightOperand, false);
    if (current->Operand != nullptr) pending.emplace_back(current->Operand, false);
  }
}

namespace {

void CopyFields(const TExpToken& from, TExpToken& to) {
  to.Text = from.Text;
  to.Kind = from.Kind;
  to.OpCode = from.OpCode;
  to.IsBound = from.IsBound;
  to.IsColumnText = from.IsColumnText;
  to.SourceNo = from.SourceNo;
  to.FieldNo = from.FieldNo;
  to.ColumnName = from.ColumnName;
  to.TableName = from.TableName;
  to.SourceTable = from.SourceTable;
  to.SubQuery = from.SubQuery;
  // DataLength is the value's type length; a bound column carries it without holding a
  // value, so only the bytes the source really has are copied.
  to.ReserveData(from.DataLength);
  const size_t held = std::min(from.Data.size(), static_cast<size_t>(std::max<int32_t>(from.DataLength, 0)));
  if (held > 0) std::memcpy(to.Data.data(), from.Data.data(), held);
  to.IsNull = from.IsNull;
  to.IsParameter = from.IsParameter;
  to.PatternPosition = from.PatternPosition;
  to.CaseInsensitive = from.CaseInsensitive;
  to.DataType = from.DataType;
  to.SubType = from.SubType;
  to.DataLength = from.DataLength;
  to.DataScale = from.DataScale;
  to.SavedDataType = from.SavedDataType;
  to.SavedSubType = from.SavedSubType;
  to.SavedDataLength = from.SavedDataLength;
  to.SavedDataScale = from.SavedDataScale;
  to.Parent = from.Parent;
}

}  // namespace

TExpToken* CopyNode(const TExpToken* node) {
  if (node == nullptr) return nullptr;
  TExpToken* copy = ExpTokenStack().Get();
  CopyFields(*node, *copy);
  copy->Operand = node->Operand;
  copy->RightOperand = node->RightOperand;
  copy->Arguments = node->Arguments;
  return copy;
}

const char* OperatorText(uint8_t opCode) {
  switch (opCode) {
    case kOpEqual: return "=";
    case kOpNotEqual: return "<>";
    case kOpGreater: return ">";
    case kOpLess: return "<";
    case kOpGreaterEqual: return ">=";
    case kOpLessEqual: return "<=";
    case kOpAnd: return "AND";
    case kOpOr: return "OR";
    case kOpAdd: return "+";
    case kOpSubtract: return "-";
    case kOpMultiply: return "*";
    case kOpDivide: return "/";
    default: return "?";
  }
}

void SwapComparisonOperands(TExpToken& node) {
  if (node.Kind != kNodeBinary || !IsComparisonOp(node.OpCode)) return;
  std::swap(node.Operand, node.RightOperand);
  const uint8_t mirrored = MirroredComparison(node.OpCode);
  if (mirrored == node.OpCode) return;
  node.OpCode = mirrored;
  node.Text = OperatorText(mirrored);
}

TExpToken* CopyTree(const TExpToken* root) {
  if (root == nullptr) return nullptr;
  // Breadth of work without recursion: each entry copies one node and links it to
  // the slot of its parent copy that waits for it.
  TExpTree copyRoot(ExpTokenStack().Get());
  struct TWork {
    const TExpToken* From;
    TExpToken* To;
  };
  std::vector<TWork> work;
  work.push_back({root, copyRoot.get()});
  while (!work.empty()) {
    const TWork item = work.back();
    work.pop_back();
    CopyFields(*item.From, *item.To);
    item.To->Parent = nullptr;
    auto link = [&](const TExpToken* child) -> TExpToken* {
      if (child == nullptr) return nullptr;
      TExpToken* target = ExpTokenStack().Get();
      target->Parent = item.To;
      work.push_back({child, target});
      return target;
    };
    // Children are linked before they are filled, so that an exception (only
    // allocation can fail here) leaves a tree that copyRoot releases completely.
    item.To->Operand = link(item.From->Operand);
    item.To->RightOperand = link(item.From->RightOperand);
    item.To->Arguments.reserve(item.From->Arguments.size());
    for (const TExpToken* argument : item.From->Arguments) {
      if (argument != nullptr) item.To->Arguments.push_back(link(argument));
    }
  }
  // CopyFields overwrote every Parent with the original's; restore the copy's links.
  std::vector<TExpToken*> fix{copyRoot.get()};
  while (!fix.empty()) {
    TExpToken* node = fix.back();
    fix.pop_back();
    auto visit = [&](TExpToken* child) {
      if (child == nullptr) return;
      child->Parent = node;
      fix.push_back(child);
    };
    visit(node->Operand);
    visit(node->RightOperand);
    for (TExpToken* argument : node->Arguments) visit(argument);
  }
  copyRoot->Parent = nullptr;
  return copyRoot.release();
}

}  // namespace kura
