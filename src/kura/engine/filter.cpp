#include "kura/engine/filter.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "kura/base/engine_error.h"
#include "kura/engine/column_reader.h"
#include "kura/engine/cursor_internals.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/filter_optimizer.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/expr/expression_parser.h"
#include "kura/storage/data_file.h"
#include "kura/storage/record.h"
#include "kura/storage/text_index_words.h"

namespace kura {

namespace {

// Messages of filter errors (the detail of 10051).
constexpr const char* kEmptyMessage = "filter expression is empty";
constexpr const char* kNotBooleanMessage = "filter expression must be a boolean expression";
constexpr const char* kInvalidMessage = "filter expression is invalid";

[[noreturn]] void RaiseFilterError(TDataCursor& cursor, const std::string& detail) {
  TErrorNames names;
  if (cursor.Active()) names = TCursorInternals::Table(cursor).ErrorNames();
  names.TableName = cursor.TableName();
  names.ExtraMessage = detail;
  RaiseEngineError(KURA_INVALIDFILTER, names);
}

bool HasColumn(const TExpToken* node) {
  if (node == nullptr) return false;
  if (node->Kind == kNodeColumn) return true;
  if (HasColumn(node->Operand) || HasColumn(node->RightOperand)) return true;
  return std::any_of(node->Arguments.begin(), node->Arguments.end(), [](const TExpToken* a) { return HasColumn(a); });
}

// A comparison of a constant with a column becomes the comparison of the column with
// the constant: the evaluator's prefix comparisons and the optimiser look for the
// constant on the right.
void NormalizeComparisons(TExpToken* node) {
  if (node == nullptr) return;
  NormalizeComparisons(node->Operand);
  NormalizeComparisons(node->RightOperand);
  for (TExpToken* argument : node->Arguments) NormalizeComparisons(argument);
  if (node->Kind != kNodeBinary || !IsComparisonOp(node->OpCode)) return;
  if (node->Operand == nullptr || node->RightOperand == nullptr) return;
  if (HasColumn(node->Operand) || !HasColumn(node->RightOperand)) return;
  SwapComparisonOperands(*node);
}

bool OnlyBlanks(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<uint8_t>(c);
    return b >= 1 && b <= 32;
  });
}

}  // namespace

struct TFilter::TImpl final : filter_detail::TRecordTest {
  TImpl(TFilter& owner, TDataCursor& cursor, const TFilterOptions& options)
      : Owner(owner), Cursor(cursor), Optimizer(cursor, options, *this) {}
  ~TImpl() override { DropExpression(); }
  TImpl(const TImpl&) = delete;
  TImpl& operator=(const TImpl&) = delete;

  TFilter& Owner;
  TDataCursor& Cursor;
  TFilterCallback Callback;
  TExpToken* Expression = nullptr;  // the bound tree as given (or parsed)
  bool OwnsExpression = false;
  TExpTree Prepared;  // the tree that is evaluated and optimised
  TEvaluationContext Context;
  std::vector<const TFieldDefinition*> Fields;  // by field number
  std::unique_ptr<TTextIndexParameters> TextParameters;
  TColumnReader Reader{Cursor};
  filter_detail::TFilterOptimizer Optimizer;

  void DropExpression() {
    Prepared.reset();
    if (Expression != nullptr && OwnsExpression) ReleaseTree(Expression);
    Expression = nullptr;
  }

  // Takes the tree, prepares it for evaluation and computes its levels.
  void SetExpression(TExpToken* tree, bool owns) {
    DropExpression();
    Expression = tree;
    OwnsExpression = owns;
    const TDataFile& data = TCursorInternals::Table(Cursor).DataFile();
    Fields.assign(static_cast<size_t>(data.FieldCount()) + 1, nullptr);
    for (const TFieldDefinition& f : data.FieldDefinitions()) {
      if (f.FieldNo < Fields.size()) Fields[f.FieldNo] = &f;
    }
    Context = TEvaluationContext{};
    Context.LocaleId = Cursor.LocaleId();
    Context.SortId = Cursor.SortId();
    Context.Data = this;
    Context.GetColumnValue = &TImpl::GetColumnValue;
    Context.TextIndexParameters = &TImpl::GetTextIndexParameters;
    Prepared = PrepareExpression(*tree, Context, Owner.FOptions.NoPartialCompare, Owner.FOptions.CaseInsensitive);
    // Estimating the keys walks the indexes.
    TCursorInternals::Guarded(Cursor, [&] { Optimizer.Analyze(Prepared.get()); });
  }

  bool Test(const TExpToken* node, const uint8_t* record, int32_t recNo) override {
    if (Callback) return Callback(Cursor, record, recNo);
    return EvaluateCondition(*node, record, Context);
  }

  void BeginBuild() override { TextParameters.reset(); }

  static void GetColumnValue(void* data, const uint8_t* record, TExpToken& node) {
    auto& self = *static_cast<TImpl*>(data);
    const TFieldDefinition* field =
        node.FieldNo > 0 && static_cast<size_t>(node.FieldNo) < self.Fields.size() ? self.Fields[node.FieldNo] : nullptr;
    if (field == nullptr || record == nullptr) RaiseUnservedColumn(node);
    self.Reader.Read(*field, record, node);
  }

  static const TTextIndexParameters* GetTextIndexParameters(void* data, const TExpToken& column) {
    auto& self = *static_cast<TImpl*>(data);
    if (column.IsBound == 0) return nullptr;
    if (!self.TextParameters) {
      TIndexFile& index = TCursorInternals::Table(self.Cursor).IndexFile();
      self.TextParameters = std::make_unique<TTextIndexParameters>(index.ReadTextParameters(kSysTextIndex));
    }
    return self.TextParameters.get();
  }

  static bool ResolveColumn(void* data, TExpToken& node) {
    auto& self = *static_cast<TImpl*>(data);
    if (!node.TableName.empty()) return false;
    const TFieldDefinition* field = TCursorInternals::Table(self.Cursor).DataFile().FieldByName(node.ColumnName);
    if (field == nullptr) return false;
    BindColumnToField(node, *field, -1, &self.Cursor);
    return true;
  }
};

TFilter::TFilter(TDataCursor& cursor, const TFilterOptions& options)
    : FCursor(cursor), FOptions(options), FBitmap(RecordsBitmapStack().Acquire()) {
  FImpl = std::make_unique<TImpl>(*this, cursor, FOptions);
}

TFilter::~TFilter() {
  FImpl.reset();
  RecordsBitmapStack().Release(FBitmap);
}

std::unique_ptr<TFilter> TFilter::FromText(TDataCursor& cursor, const std::string& text,
                                           const TFilterOptions& options) {
  if (OnlyBlanks(text)) RaiseFilterError(cursor, kEmptyMessage);
  TExpressionParser parser;
  parser.SetErrorContext(KURA_INVALIDFILTER, cursor.TableName(), std::string(kFilterContext));
  TExpTree tree = parser.ParseText(text, kFilterParseFlags);
  if (!tree) RaiseFilterError(cursor, kEmptyMessage);

  std::unique_ptr<TFilter> filter(new TFilter(cursor, options));
  TBindContext context;
  context.ErrorCode = KURA_INVALIDFILTER;
  context.ContextText = std::string(kFilterContext);
  context.TableName = cursor.TableName();
  context.ResolveColumn = &TImpl::ResolveColumn;
  context.ResolveData = filter->FImpl.get();
  BindExpression(context, tree.get(), tree.get(), false, true);
  if (tree->DataType != TFieldType::Boolean) RaiseFilterError(cursor, kNotBooleanMessage);
  NormalizeComparisons(tree.get());
  // A parsed tree always belongs to its filter.
  filter->FOptions.OwnsExpression = true;
  filter->FImpl->SetExpression(tree.release(), true);
  return filter;
}

std::unique_ptr<TFilter> TFilter::FromTree(TDataCursor& cursor, TExpToken* tree, const TFilterOptions& options) {
  if (tree == nullptr) RaiseFilterError(cursor, kInvalidMessage);
  std::unique_ptr<TFilter> filter(new TFilter(cursor, options));
  filter->FImpl->SetExpression(tree, options.OwnsExpression);
  return filter;
}

std::unique_ptr<TFilter> TFilter::FromCallback(TDataCursor& cursor, TFilterCallback callback, bool afterOthers) {
  if (!callback) RaiseFilterError(cursor, kInvalidMessage);
  TFilterOptions options;
  options.AfterOthers = afterOthers;
  options.OwnsExpression = false;
  std::unique_ptr<TFilter> filter(new TFilter(cursor, options));
  filter->FImpl->Callback = std::move(callback);
  filter->FImpl->Optimizer.Analyze(nullptr);
  return filter;
}

int TFilter::OptimizeLevel() const { return FImpl->Callback ? kFilterNotOptimized : FImpl->Optimizer.Level(); }

void TFilter::BuildBitmap(TRecordsBitmap& candidates) {
  const int32_t count = TCursorInternals::Table(FCursor).DataFile().RecordCount();
  if (candidates.RecordCount() != count) candidates.SetRecordCount(count);
  FImpl->Optimizer.Build(candidates);
  if (&candidates != FBitmap.get()) FBitmap->Assign(candidates);
}

bool TFilter::Passes(const uint8_t* record, int32_t recNo) {
  if (record == nullptr) return false;
  if (FImpl->Callback) return FImpl->Callback(FCursor, record, recNo);
  if (!FImpl->Prepared) return false;
  return EvaluateCondition(*FImpl->Prepared, record, FImpl->Context);
}

void TFilter::ReplaceExpression(TExpToken* tree) {
  if (tree == nullptr || FImpl->Callback) RaiseFilterError(FCursor, kInvalidMessage);
  if (tree == FImpl->Expression) {
    // The same tree with new parameter values: prepare it again.
    FImpl->Expression = nullptr;
    FImpl->SetExpression(tree, FOptions.OwnsExpression);
    return;
  }
  FImpl->SetExpression(tree, FOptions.OwnsExpression);
}

const TExpToken* TFilter::Expression() const { return FImpl->Expression; }

const TFilterCallback& TFilter::Callback() const { return FImpl->Callback; }

std::string TFilter::Explain() const { return FImpl->Optimizer.Explain(); }

}  // namespace kura
