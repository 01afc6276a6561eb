#include "kura/engine/filter_optimizer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "kura/base/byte_order.h"
#include "kura/engine/cursor_internals.h"
#include "kura/engine/data_cursor.h"
#include "kura/engine/filter.h"
#include "kura/expr/expression_text.h"
#include "kura/storage/data_file.h"
#include "kura/storage/index_walker.h"
#include "kura/storage/record.h"
#include "kura/storage/text_index_words.h"

namespace kura::filter_detail {

namespace {

bool IsNullConstant(const TExpToken& node) { return node.IsNull != 0 || node.DataType == TFieldType::Unknown; }

bool IsColumn(const TExpToken* node) { return node != nullptr && node->Kind == kNodeColumn; }
bool IsConstant(const TExpToken* node) { return node != nullptr && node->Kind == kNodeConstant; }

std::string_view ConstantText(const TExpToken& node) {
  if (IsNullConstant(node) || node.Data.empty()) return {};
  const auto* chars = reinterpret_cast<const char*>(node.Data.data());
  const size_t limit = std::min(static_cast<size_t>(std::max(node.DataLength, 0)), node.Data.size());
  return {chars, strnlen(chars, limit)};
}

bool IsTrueConstant(const TExpToken* node) {
  return IsConstant(node) && !IsNullConstant(*node) && node->DataType == TFieldType::Boolean && node->Data.size() >= 2 &&
         ReadU16(node->Data.data()) != 0;
}

// One closed interval of key ordinals.
struct TInterval {
  int64_t First;
  int64_t Last;
};

// The ordinals of the keys inside a range (First > Last when none).
TInterval RangeOrdinals(TIndexWalker& walker, const TKeyRange& range, int64_t total) {
  int64_t first = 0;
  if (range.Low.Inclusive) {
    first = walker.SeekFirstNotBelow(range.Low.Key.data(), range.Low.Length) ? walker.Ordinal() : total;
  } else {
    first = walker.SeekLastNotAbove(range.Low.Key.data(), range.Low.Length) ? walker.Ordinal() + 1 : 0;
  }
  int64_t last = 0;
  if (range.High.Inclusive) {
    last = walker.SeekLastNotAbove(range.High.Key.data(), range.High.Length) ? walker.Ordinal() : -1;
  } else {
    last = walker.SeekFirstNotBelow(range.High.Key.data(), range.High.Length) ? walker.Ordinal() - 1 : total - 1;
  }
  return {first, last};
}

// Sorted, merged, non-empty intervals.
std::vector<TInterval> MergeIntervals(std::vector<TInterval> intervals) {
  intervals.erase(std::remove_if(intervals.begin(), intervals.end(), [](const TInterval& i) { return i.First > i.Last; }),
                  intervals.end());
  std::sort(intervals.begin(), intervals.end(), [](const TInterval& a, const TInterval& b) { return a.First < b.First; });
  std::vector<TInterval> merged;
  for (const TInterval& i : intervals) {
    if (!merged.empty() && i.First <= merged.back().Last + 1) {
      merged.back().Last = std::max(merged.back().Last, i.Last);
    } else {
      merged.push_back(i);
    }
  }
  return merged;
}

int64_t IntervalKeys(const std::vector<TInterval>& merged) {
  int64_t n = 0;
  for (const TInterval& i : merged) n += i.Last - i.First + 1;
  return n;
}

// A pooled scratch bitmap, given back on every path.
class TScratch {
public:
  explicit TScratch(int32_t recordCount) : FBitmap(RecordsBitmapStack().Acquire()) {
    FBitmap->SetRecordCount(recordCount);
    FBitmap->ClearAll();
  }
  ~TScratch() { RecordsBitmapStack().Release(FBitmap); }
  TScratch(const TScratch&) = delete;
  TScratch& operator=(const TScratch&) = delete;
  TRecordsBitmap& operator*() { return *FBitmap; }
  TRecordsBitmap* operator->() { return FBitmap.get(); }

private:
  std::unique_ptr<TRecordsBitmap> FBitmap;
};

}  // namespace

TFilterOptimizer::TFilterOptimizer(TDataCursor& cursor, const TFilterOptions& options, TRecordTest& test)
    : FCursor(cursor), FOptions(options), FTest(test) {}

TFilterOptimizer::~TFilterOptimizer() = default;

void TFilterOptimizer::Analyze(const TExpToken* root) {
  FInfo.clear();
  FRoot = root;
  if (root == nullptr) return;
  if (!FMapper) FMapper = std::make_unique<TLanguageKeyTextMapper>(FCursor.LocaleId(), FCursor.SortId());
  FImage.assign(static_cast<size_t>(std::max(FCursor.RecordSize(), kRecordFieldsOffset)), 0);
  AnalyzeNode(root);
  if (FOptions.EstimateKeys) Estimate(root);
}

int TFilterOptimizer::Level() const {
  if (FRoot == nullptr) return kFilterNotOptimized;
  const TNodeInfo* info = Info(FRoot);
  return info ? info->Level : kFilterNotOptimized;
}

const TNodeInfo* TFilterOptimizer::Info(const TExpToken* node) const {
  const auto it = FInfo.find(node);
  return it == FInfo.end() ? nullptr : &it->second;
}

int TFilterOptimizer::AnalyzeNode(const TExpToken* node) {
  TNodeInfo info;
  if (node->Kind == kNodeConstant) {
    // Answered without reading anything.
    info.Constant = true;
    info.Level = kFilterFullyOptimized;
  } else if (node->Kind == kNodeUnary && node->OpCode == kOpNot && node->Operand != nullptr) {
    info.Level = AnalyzeNode(node->Operand);
  } else if (node->Kind == kNodeBinary && (node->OpCode == kOpAnd || node->OpCode == kOpOr) && node->Operand &&
             node->RightOperand) {
    const int left = AnalyzeNode(node->Operand);
    const int right = AnalyzeNode(node->RightOperand);
    if (node->OpCode == kOpAnd) {
      info.Level = left == kFilterFullyOptimized && right == kFilterFullyOptimized ? kFilterFullyOptimized
                   : std::max(left, right) >= kFilterPartlyOptimized         ? kFilterPartlyOptimized
                                                                               : kFilterNotOptimized;
      info.RightFirst = right > left;
    } else {
      info.Level = left == kFilterFullyOptimized && right == kFilterFullyOptimized ? kFilterFullyOptimized
                                                                                   : kFilterNotOptimized;
    }
  } else {
    info.Plan = PlanLeaf(node);
    if (info.Plan) info.Level = kFilterFullyOptimized;
  }
  const int level = info.Level;
  FInfo[node] = std::move(info);
  return level;
}

std::unique_ptr<TLeafPlan> TFilterOptimizer::PlanTextSearch(const TExpToken* function) {
  if (function->Arguments.size() != 2 || !IsConstant(function->Arguments[0]) || !IsColumn(function->Arguments[1]))
    return nullptr;
  const TExpToken& column = *function->Arguments[1];
  TIndexFile& index = TCursorInternals::Table(FCursor).IndexFile();
  if (!index.IndexInUse(kSysTextIndex)) return nullptr;
  const TIndexDescriptor& d = index.Descriptor(kSysTextIndex);
  bool indexed = false;
  for (int i = 0; i < std::min<int>(d.IndexFieldCount, kMaxIndexFields); ++i) {
    indexed = indexed || d.IndexFields[static_cast<size_t>(i)] == column.FieldNo;
  }
  if (!indexed || column.FieldNo <= 0) return nullptr;
  auto plan = std::make_unique<TLeafPlan>();
  plan->Index = kSysTextIndex;
  plan->IndexName = kSysTextName;
  plan->KeySize = kSysTextKeySize;
  plan->TextSearch = true;
  plan->TextField = static_cast<uint16_t>(column.FieldNo);
  plan->SearchText = std::string(ConstantText(*function->Arguments[0]));
  plan->Describe = "word lookups";
  return plan;
}

std::unique_ptr<TLeafPlan> TFilterOptimizer::PlanLeaf(const TExpToken* node) {
  // Text searches: TEXTSEARCH(...) = TRUE as the binder writes a condition, or bare.
  if (node->Kind == kNodeFunction && node->OpCode == kFuncTextSearch) return PlanTextSearch(node);
  if (node->Kind == kNodeBinary && node->OpCode == kOpEqual) {
    const TExpToken* l = node->Operand;
    const TExpToken* r = node->RightOperand;
    if (l && l->Kind == kNodeFunction && l->OpCode == kFuncTextSearch && IsTrueConstant(r)) return PlanTextSearch(l);
    if (r && r->Kind == kNodeFunction && r->OpCode == kFuncTextSearch && IsTrueConstant(l)) return PlanTextSearch(r);
  }

  // What the leaf asks, as a column, an operation and its constants.
  enum class TAsk { Compare, IsNull, IsNotNull, Prefix, In, Between, Like };
  TAsk ask = TAsk::Compare;
  uint8_t op = 0;
  bool invert = false;
  bool recheck = false;
  bool caseInsensitive = node->CaseInsensitive != 0;
  const TExpToken* column = nullptr;
  std::vector<const TExpToken*> constants;
  std::string likePrefix;

  if ((node->Kind == kNodeBinary && IsComparisonOp(node->OpCode)) || node->Kind == kNodeWildcard) {
    const TExpToken* l = node->Operand;
    const TExpToken* r = node->RightOperand;
    op = node->OpCode;
    if (IsColumn(l) && IsConstant(r)) {
      column = l;
      constants.push_back(r);
    } else if (IsColumn(r) && IsConstant(l) && node->Kind == kNodeBinary) {
      column = r;
      constants.push_back(l);
      op = MirroredComparison(op);
    } else {
      return nullptr;
    }
    const TExpToken& constant = *constants[0];
    if (IsNullConstant(constant)) {
      if (op == kOpEqual) {
        ask = TAsk::IsNull;
      } else if (op == kOpNotEqual) {
        ask = TAsk::IsNotNull;
      } else {
        return nullptr;
      }
      constants.clear();
    } else if (node->Kind == kNodeWildcard && node->PatternPosition > 0) {
      ask = TAsk::Prefix;
      invert = op == kOpNotEqual;
    } else {
      ask = TAsk::Compare;
    }
  } else if (node->Kind == kNodePredicate && !node->Arguments.empty() && IsColumn(node->Arguments[0])) {
    column = node->Arguments[0];
    const auto& a = node->Arguments;
    switch (node->OpCode) {
      case kPredIn:
      case kPredNotIn:
        if (a.size() < 2) return nullptr;
        for (size_t i = 1; i < a.size(); ++i) {
          if (!IsConstant(a[i])) return nullptr;
          constants.push_back(a[i]);
        }
        ask = TAsk::In;
        invert = node->OpCode == kPredNotIn;
        break;
      case kPredBetween:
      case kPredNotBetween:
        if (a.size() != 3 || !IsConstant(a[1]) || !IsConstant(a[2]) || IsNullConstant(*a[1]) ||
            IsNullConstant(*a[2]))
          return nullptr;
        constants = {a[1], a[2]};
        ask = TAsk::Between;
        invert = node->OpCode == kPredNotBetween;
        break;
      case kPredLike:
      case kPredNotLike: {
        if (a.size() != 2 || !IsConstant(a[1]) || IsNullConstant(*a[1]) || a[1]->DataType != TFieldType::String ||
            caseInsensitive)
          return nullptr;
        const std::string_view pattern = ConstantText(*a[1]);
        const size_t cut = pattern.find_first_of("%_");
        likePrefix = std::string(pattern.substr(0, cut));
        if (likePrefix.empty()) return nullptr;
        ask = TAsk::Like;
        invert = node->OpCode == kPredNotLike;
        // The prefix scan admits every text that starts with the prefix; the rest of the
        // pattern is checked on those records.
        recheck = true;
        break;
      }
      default: return nullptr;
    }
  } else {
    return nullptr;
  }

  TDataFile& data = TCursorInternals::Table(FCursor).DataFile();
  TIndexFile& indexFile = TCursorInternals::Table(FCursor).IndexFile();
  if (column->FieldNo <= 0) return nullptr;
  const TFieldDefinition* field = data.FieldByNumber(static_cast<uint16_t>(column->FieldNo));
  if (field == nullptr || field->Computed || field->FieldType == TFieldType::Blob) return nullptr;
  const TFieldType fieldType = field->IsAutoInc() ? TFieldType::Integer : field->FieldType;
  const bool text = fieldType == TFieldType::String;
  if ((ask == TAsk::Prefix || ask == TAsk::Like) && !text) return nullptr;

  // Every constant must be a value of the field's own type that the field can hold.
  for (const TExpToken* c : constants) {
    if (IsNullConstant(*c)) {
      if (ask != TAsk::In) return nullptr;
      continue;
    }
    if (c->DataType != fieldType) return nullptr;
    if (text) {
      if (ConstantText(*c).size() + 1 > field->DataSize) return nullptr;
    } else if (c->Data.size() < field->DataSize || c->DataLength < field->DataSize) {
      return nullptr;
    }
  }
  // Multi-byte characters may count differently in a prefix comparison than in the key's
  // bytes: such prefixes are checked on the records found.
  if (ask == TAsk::Prefix) {
    const std::string_view prefix = ConstantText(*constants[0]);
    if (static_cast<size_t>(node->PatternPosition) != prefix.size() ||
        std::any_of(prefix.begin(), prefix.end(), [](char ch) { return static_cast<uint8_t>(ch) >= 0x80; }))
      recheck = true;
  }

  const bool ordering = ask == TAsk::Between || (ask == TAsk::Compare && op != kOpEqual && op != kOpNotEqual);

  // The index: its first field is the column; texts need the index's case rule to match
  // the comparison's (a case-insensitive index can serve a case-sensitive equality or
  // prefix when the records found are checked).
  int chosen = -1;
  bool chosenRecheck = false;
  for (int i = 0; i <= kMaxSecondaryIndexes; ++i) {
    if (!indexFile.IndexInUse(i)) continue;
    const TIndexDescriptor& d = indexFile.Descriptor(i);
    if (d.IndexFieldCount == 0 || d.IndexFields[0] != field->FieldNo) continue;
    bool needsRecheck = false;
    if (text) {
      if (caseInsensitive && !d.CaseInsensitive) continue;
      if (!caseInsensitive && d.CaseInsensitive) {
        if (ordering) continue;
        needsRecheck = true;
      }
    }
    if (chosen < 0 || (chosenRecheck && !needsRecheck)) {
      chosen = i;
      chosenRecheck = needsRecheck;
    }
  }
  if (chosen < 0) return nullptr;

  const TIndexDescriptor& d = indexFile.Descriptor(chosen);
  const uint16_t localeId = FCursor.LocaleId();
  const bool invertBytes = localeId == 0 && !d.Descending && d.FieldDescending[0] != 0;
  const bool reversed = d.Descending || d.FieldDescending[0] != 0;
  const int keySize = d.KeySize;
  const int fieldKeyLength = 1 + KeyDataSize(*field);

  TKeyTextMapper* mapper = FMapper.get();
  const auto flagBound = [&](bool present) {
    TKeyBound b;
    b.Key.assign(static_cast<size_t>(keySize), 0);
    b.Key[0] = present ? (invertBytes ? 0xFE : 0x01) : (invertBytes ? 0xFF : 0x00);
    b.Length = 1;
    return b;
  };
  const auto valueBound = [&](const TExpToken& constant, int prefixBytes, bool inclusive) {
    TKeyBound b;
    b.Key.assign(static_cast<size_t>(std::max(keySize, fieldKeyLength)), 0);
    std::fill(FImage.begin(), FImage.end(), 0);
    if (field->IsAutoInc()) {
      std::memcpy(FImage.data() + kRecordIdOffset, constant.Data.data(), 4);
    } else {
      uint8_t* at = FImage.data() + field->Offset;
      at[0] = 1;
      if (text) {
        const std::string_view chars = ConstantText(constant);
        std::memcpy(at + 1, chars.data(), chars.size());
      } else {
        std::memcpy(at + 1, constant.Data.data(), field->DataSize);
      }
    }
    TKeyFieldOptions options;
    options.CaseInsensitive = d.CaseInsensitive;
    options.Invert = invertBytes;
    options.KeepStringTerminator = true;
    options.Mapper = mapper;
    EncodeKeyField(*field, FImage.data(), options, b.Key.data());
    b.Length = prefixBytes < 0 ? fieldKeyLength : std::min(1 + prefixBytes, fieldKeyLength);
    b.Inclusive = inclusive;
    return b;
  };

  auto plan = std::make_unique<TLeafPlan>();
  plan->Index = chosen;
  plan->IndexName = chosen == kPrimaryIndex ? std::string("primary") : d.Name;
  plan->KeySize = keySize;
  plan->Invert = invert;
  plan->Recheck = recheck || chosenRecheck;
  // Adds the value range [low, high] (value order), turned into the index's order.
  const auto addRange = [&](TKeyBound low, TKeyBound high) {
    if (reversed) std::swap(low, high);
    plan->Ranges.push_back({std::move(low), std::move(high)});
  };
  const auto addNulls = [&] { addRange(flagBound(false), flagBound(false)); };

  switch (ask) {
    case TAsk::IsNull:
      addNulls();
      plan->Describe = "NULL keys";
      break;
    case TAsk::IsNotNull:
      addRange(flagBound(true), flagBound(true));
      plan->Describe = "non-NULL keys";
      break;
    case TAsk::Prefix: {
      const int length = static_cast<int>(ConstantText(*constants[0]).size());
      addRange(valueBound(*constants[0], length, true), valueBound(*constants[0], length, true));
      plan->Describe = "prefix range";
      break;
    }
    case TAsk::Like: {
      TExpToken prefixNode;
      prefixNode.DataType = TFieldType::String;
      prefixNode.SetData(likePrefix.c_str(), static_cast<int32_t>(likePrefix.size() + 1));
      const int length = static_cast<int>(likePrefix.size());
      if (length + 1 > field->DataSize) return nullptr;
      addRange(valueBound(prefixNode, length, true), valueBound(prefixNode, length, true));
      plan->Describe = "prefix range";
      break;
    }
    case TAsk::Compare: {
      const TExpToken& c = *constants[0];
      switch (op) {
        case kOpEqual:
          addRange(valueBound(c, -1, true), valueBound(c, -1, true));
          plan->Describe = "equality range";
          break;
        case kOpNotEqual:
          addRange(valueBound(c, -1, true), valueBound(c, -1, true));
          plan->Invert = !plan->Invert;
          plan->Describe = "equality range";
          break;
        case kOpGreater:
          addRange(valueBound(c, -1, false), flagBound(true));
          plan->Describe = "range above";
          break;
        case kOpGreaterEqual:
          addRange(valueBound(c, -1, true), flagBound(true));
          plan->Describe = "range from";
          break;
        case kOpLess:
        case kOpLessEqual:
          // A NULL text orders as the empty text, below every other text.
          if (text) addNulls();
          addRange(flagBound(true), valueBound(c, -1, op == kOpLessEqual));
          plan->Describe = op == kOpLess ? "range below" : "range up to";
          break;
        default: return nullptr;
      }
      break;
    }
    case TAsk::In:
      for (const TExpToken* c : constants) {
        if (IsNullConstant(*c)) {
          addNulls();
        } else {
          addRange(valueBound(*c, -1, true), valueBound(*c, -1, true));
        }
      }
      plan->Describe = std::to_string(constants.size()) + " equality ranges";
      break;
    case TAsk::Between:
      addRange(valueBound(*constants[0], -1, true), valueBound(*constants[1], -1, true));
      plan->Describe = "range between";
      break;
  }
  return plan;
}

void TFilterOptimizer::EstimateLeaf(TNodeInfo& info) {
  TLeafPlan& plan = *info.Plan;
  info.EstimatedKeys = -1;
  info.EstimatedCost = -1;
  TIndexFile& indexFile = TCursorInternals::Table(FCursor).IndexFile();
  if (plan.TextSearch || indexFile.Descriptor(plan.Index).NoCounts) return;
  TIndexWalker walker(indexFile, plan.Index);
  const int64_t total = walker.Last() ? walker.Ordinal() + 1 : 0;
  std::vector<TInterval> intervals;
  for (const TKeyRange& range : plan.Ranges) intervals.push_back(RangeOrdinals(walker, range, total));
  const int64_t inside = IntervalKeys(MergeIntervals(std::move(intervals)));
  int64_t scanned = inside;
  if (FOptions.UseComplement && FCursor.LocaleId() == 0 && inside * 2 > total) scanned = total - inside;
  info.EstimatedKeys = plan.Invert ? total - inside : inside;
  info.EstimatedCost = scanned * plan.KeySize;
}

void TFilterOptimizer::Estimate(const TExpToken* node) {
  const auto it = FInfo.find(node);
  if (it == FInfo.end()) return;
  TNodeInfo& info = it->second;
  if (info.Plan) {
    EstimateLeaf(info);
    return;
  }
  if (node->Kind == kNodeUnary && node->OpCode == kOpNot && node->Operand) {
    Estimate(node->Operand);
    const TNodeInfo* operand = Info(node->Operand);
    info.EstimatedKeys = -1;
    info.EstimatedCost = operand ? operand->EstimatedCost : -1;
    return;
  }
  if (node->Kind == kNodeBinary && (node->OpCode == kOpAnd || node->OpCode == kOpOr) && node->Operand &&
      node->RightOperand) {
    Estimate(node->Operand);
    Estimate(node->RightOperand);
    const TNodeInfo& l = *Info(node->Operand);
    const TNodeInfo& r = *Info(node->RightOperand);
    info.EstimatedCost = l.EstimatedCost >= 0 && r.EstimatedCost >= 0 ? l.EstimatedCost + r.EstimatedCost : -1;
    if (node->OpCode == kOpAnd) {
      if (l.EstimatedKeys >= 0 && r.EstimatedKeys >= 0) {
        info.EstimatedKeys = std::min(l.EstimatedKeys, r.EstimatedKeys);
      } else {
        info.EstimatedKeys = std::max(l.EstimatedKeys, r.EstimatedKeys);
      }
      // The better side first: the higher level, then the fewer records.
      if (l.Level != r.Level) {
        info.RightFirst = r.Level > l.Level;
      } else {
        info.RightFirst = r.EstimatedKeys >= 0 && (l.EstimatedKeys < 0 || r.EstimatedKeys < l.EstimatedKeys);
      }
    } else {
      info.EstimatedKeys =
          l.EstimatedKeys >= 0 && r.EstimatedKeys >= 0 ? std::max(l.EstimatedKeys, r.EstimatedKeys) : -1;
    }
  }
}

void TFilterOptimizer::IncludeNamed(TRecordsBitmap& records, int32_t recNo) const {
  // A number the data header does not count comes from damage, or from an index page newer
  // than the header (the cursor's guard then reads both again): never skipped silently.
  TCursorInternals::Table(FCursor).DataFile().CheckSlotNumber(recNo);
  if (recNo <= records.RecordCount()) records.Include(recNo);
}

void TFilterOptimizer::Build(TRecordsBitmap& candidates) {
  FKeysScanned = 0;
  FTest.BeginBuild();
  if (FRoot == nullptr) {
    Evaluate(nullptr, candidates);
    return;
  }
  if (FOptions.EstimateKeys) Estimate(FRoot);
  BuildNode(FRoot, candidates);
}

void TFilterOptimizer::BuildNode(const TExpToken* node, TRecordsBitmap& candidates) {
  const TNodeInfo* info = Info(node);
  if (info == nullptr || info->Level == kFilterNotOptimized) {
    Evaluate(node, candidates);
    return;
  }
  if (info->Constant) {
    if (!FTest.Test(node, nullptr, 0)) candidates.ClearAll();
    return;
  }
  const int64_t count = candidates.CountSet();
  if (count == 0) return;
  // Reading the candidates' records is cheaper than the index scan.
  if (info->EstimatedCost >= 0 && count * FCursor.RecordSize() < info->EstimatedCost) {
    Evaluate(node, candidates);
    return;
  }
  if (info->Plan) {
    if (info->Plan->TextSearch) {
      BuildTextSearch(*info->Plan, candidates);
    } else {
      BuildLeaf(node, *info->Plan, candidates);
    }
    return;
  }
  if (node->Kind == kNodeUnary && node->OpCode == kOpNot) {
    TScratch operand(candidates.RecordCount());
    operand->Assign(candidates);
    BuildNode(node->Operand, *operand);
    operand->Complement();
    candidates.IntersectWith(*operand);
    return;
  }
  if (node->Kind == kNodeBinary && node->OpCode == kOpAnd) {
    if (BuildOverlappingRanges(node, candidates)) return;
    // Each side narrows the candidates the next one sees.
    const TExpToken* first = info->RightFirst ? node->RightOperand : node->Operand;
    const TExpToken* second = info->RightFirst ? node->Operand : node->RightOperand;
    BuildNode(first, candidates);
    if (candidates.CountSet() > 0) BuildNode(second, candidates);
    return;
  }
  if (node->Kind == kNodeBinary && node->OpCode == kOpOr) {
    TScratch left(candidates.RecordCount());
    TScratch right(candidates.RecordCount());
    left->Assign(candidates);
    right->Assign(candidates);
    BuildNode(node->Operand, *left);
    BuildNode(node->RightOperand, *right);
    left->UnionWith(*right);
    candidates.IntersectWith(*left);
    return;
  }
  Evaluate(node, candidates);
}

// "K >= a AND K < b" as one scan of the keys both sides admit: the key ordinals of each
// side's ranges are intersected (ordinals of one index are comparable whatever its
// collation), so neither side's wide range is walked.
bool TFilterOptimizer::BuildOverlappingRanges(const TExpToken* node, TRecordsBitmap& candidates) {
  const TNodeInfo* left = Info(node->Operand);
  const TNodeInfo* right = Info(node->RightOperand);
  const auto plain = [](const TNodeInfo* info) {
    return info != nullptr && info->Level == kFilterFullyOptimized && info->Plan && !info->Plan->TextSearch &&
           !info->Plan->Invert && !info->Plan->Recheck && !info->Plan->Ranges.empty();
  };
  if (!plain(left) || !plain(right) || left->Plan->Index != right->Plan->Index) return false;
  TIndexFile& indexFile = TCursorInternals::Table(FCursor).IndexFile();
  if (indexFile.Descriptor(left->Plan->Index).NoCounts) return false;
  TIndexWalker walker(indexFile, left->Plan->Index);
  const int64_t total = walker.Last() ? walker.Ordinal() + 1 : 0;
  const auto ordinals = [&](const TLeafPlan& plan) {
    std::vector<TInterval> intervals;
    for (const TKeyRange& range : plan.Ranges) intervals.push_back(RangeOrdinals(walker, range, total));
    return MergeIntervals(std::move(intervals));
  };
  const std::vector<TInterval> a = ordinals(*left->Plan);
  const std::vector<TInterval> b = ordinals(*right->Plan);
  TScratch inside(candidates.RecordCount());
  for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    const int64_t first = std::max(a[i].First, b[j].First);
    const int64_t last = std::min(a[i].Last, b[j].Last);
    if (first <= last && walker.SeekOrdinal(first)) {
      for (int64_t n = first; n <= last; ++n) {
        ++FKeysScanned;
        const int32_t recNo = walker.Value();
        IncludeNamed(*inside, recNo);
        if (n < last && !walker.Next()) break;
      }
    }
    if (a[i].Last < b[j].Last) {
      ++i;
    } else {
      ++j;
    }
  }
  candidates.IntersectWith(*inside);
  return true;
}

void TFilterOptimizer::ScanRanges(const TLeafPlan& plan, TRecordsBitmap& inside) {
  TIndexFile& indexFile = TCursorInternals::Table(FCursor).IndexFile();
  TIndexWalker walker(indexFile, plan.Index);
  const TIndexKeyComparer comparer = indexFile.Comparer(plan.Index);

  // Most keys inside the ranges: scan the keys outside them and take the rest (every
  // active record has exactly one key in every index).
  if (FOptions.UseComplement && FCursor.LocaleId() == 0 && !indexFile.Descriptor(plan.Index).NoCounts) {
    const int64_t total = walker.Last() ? walker.Ordinal() + 1 : 0;
    std::vector<TInterval> intervals;
    for (const TKeyRange& range : plan.Ranges) intervals.push_back(RangeOrdinals(walker, range, total));
    const std::vector<TInterval> merged = MergeIntervals(std::move(intervals));
    const int64_t insideKeys = IntervalKeys(merged);
    if (insideKeys * 2 > total) {
      inside.SetAll();
      int64_t from = 0;
      const auto scanGap = [&](int64_t first, int64_t last) {
        if (first > last || !walker.SeekOrdinal(first)) return;
        for (int64_t n = first; n <= last; ++n) {
          ++FKeysScanned;
          inside.Exclude(walker.Value());
          if (n < last && !walker.Next()) break;
        }
      };
      for (const TInterval& i : merged) {
        scanGap(from, i.First - 1);
        from = i.Last + 1;
      }
      scanGap(from, total - 1);
      return;
    }
  }

  for (const TKeyRange& range : plan.Ranges) {
    bool ok = walker.SeekFirstNotBelow(range.Low.Key.data(), range.Low.Length);
    if (!range.Low.Inclusive) {
      while (ok && comparer.ComparePrefix(walker.Key().data(), range.Low.Key.data(), range.Low.Length) == 0) {
        ok = walker.Next();
      }
    }
    for (; ok; ok = walker.Next()) {
      const int c = comparer.ComparePrefix(walker.Key().data(), range.High.Key.data(), range.High.Length);
      if (c > 0 || (c == 0 && !range.High.Inclusive)) break;
      ++FKeysScanned;
      const int32_t recNo = walker.Value();
      IncludeNamed(inside, recNo);
    }
  }
}

void TFilterOptimizer::BuildLeaf(const TExpToken* node, const TLeafPlan& plan, TRecordsBitmap& candidates) {
  TScratch inside(candidates.RecordCount());
  ScanRanges(plan, *inside);
  TScratch found(candidates.RecordCount());
  found->Assign(candidates);
  found->IntersectWith(*inside);
  if (plan.Recheck) {
    Evaluate(node, *found);
  } else if (plan.Invert) {
    found->ClearAll();
  }
  if (!plan.Invert) {
    candidates.IntersectWith(*found);
    return;
  }
  // Inverted: every candidate outside the ranges passes, and those inside that the
  // check let through (none without a check).
  inside->Complement();
  candidates.IntersectWith(*inside);
  candidates.UnionWith(*found);
}

void TFilterOptimizer::BuildTextSearch(const TLeafPlan& plan, TRecordsBitmap& candidates) {
  TIndexFile& indexFile = TCursorInternals::Table(FCursor).IndexFile();
  const TTextIndexParameters parameters = indexFile.ReadTextParameters(kSysTextIndex);
  const TWordRules rules = WordRulesFor(FCursor.LocaleId(), FCursor.SortId());
  // Split as the record-by-record search splits: stop words are gone, and a search whose
  // words were all stop words passes every record, as it does there.
  const std::vector<TTextWord> words = SplitWords(plan.SearchText, parameters, rules, true, false);
  const int32_t count = candidates.RecordCount();
  TIndexWalker walker(indexFile, kSysTextIndex);
  const TIndexKeyComparer comparer = indexFile.Comparer(kSysTextIndex);
  std::vector<uint8_t> probe(kSysTextKeySize, 0);
  TScratch found(count);
  for (const TTextWord& word : words) {
    std::string_view text = word.Word;
    const bool prefix = !text.empty() && text.back() == '*';
    while (!text.empty() && text.back() == '*') text.remove_suffix(1);
    if (text.size() > static_cast<size_t>(kMaxWordLength)) text = text.substr(0, kMaxWordLength);
    BuildSysTextKey(plan.TextField, reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0, probe.data());
    const int length = prefix ? 3 + static_cast<int>(text.size()) : 3 + kTextWordBytes;
    found->ClearAll();
    for (bool ok = walker.SeekFirstNotBelow(probe.data(), length);
         ok && comparer.ComparePrefix(walker.Key().data(), probe.data(), length) == 0; ok = walker.Next()) {
      ++FKeysScanned;
      const int32_t recNo = walker.Value();
      IncludeNamed(*found, recNo);
    }
    candidates.IntersectWith(*found);
    if (candidates.CountSet() == 0) break;
  }
}

void TFilterOptimizer::Evaluate(const TExpToken* node, TRecordsBitmap& candidates) {
  TDataFile& data = TCursorInternals::Table(FCursor).DataFile();
  const int32_t count = std::min(candidates.RecordCount(), data.RecordCount());
  int32_t runEnd = 0;
  for (int32_t recNo = candidates.NextSet(0); recNo != 0; recNo = candidates.NextSet(recNo)) {
    if (recNo > count) {
      candidates.Exclude(recNo);
      continue;
    }
    // Tell the cache how many consecutive slots follow, so that it reads them in one go.
    if (recNo > runEnd) {
      int32_t n = 1;
      while (n < 256 && recNo + n <= count && candidates.IsSet(recNo + n)) ++n;
      runEnd = recNo + n - 1;
    }
    TReadAhead readAhead;
    readAhead.Enabled = true;
    readAhead.RunLength = runEnd - recNo + 1;
    TRecordPin pin(data, data.GetRecord(recNo, readAhead));
    const bool pass = !pin->IsDeleted() && FTest.Test(node, pin->Bytes(), recNo);
    if (!pass) candidates.Exclude(recNo);
  }
}

void TFilterOptimizer::ExplainNode(const TExpToken* node, int depth, std::string& out) const {
  const TNodeInfo* info = Info(node);
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  const auto estimate = [&](const TNodeInfo& i) {
    std::string s;
    if (i.EstimatedKeys >= 0) s += ", about " + std::to_string(i.EstimatedKeys) + " records";
    if (i.EstimatedCost >= 0) s += ", cost " + std::to_string(i.EstimatedCost);
    return s;
  };
  if (info == nullptr || info->Level == kFilterNotOptimized) {
    out += indent + ExpressionText(node) + ": evaluated record by record\n";
    return;
  }
  if (info->Constant) {
    out += indent + ExpressionText(node) + ": constant\n";
    return;
  }
  if (info->Plan) {
    const TLeafPlan& p = *info->Plan;
    out += indent + ExpressionText(node) + ": index " + std::to_string(p.Index) + " \"" + p.IndexName + "\", " + p.Describe;
    if (p.Invert) out += ", inverted";
    if (p.Recheck) out += ", records checked";
    out += estimate(*info) + "\n";
    return;
  }
  if (node->Kind == kNodeUnary) {
    out += indent + "NOT (level " + std::to_string(info->Level) + estimate(*info) + ")\n";
    ExplainNode(node->Operand, depth + 1, out);
    return;
  }
  out += indent + OperatorText(node->OpCode) + " (level " + std::to_string(info->Level) + estimate(*info) + ")\n";
  const bool rightFirst = node->OpCode == kOpAnd && info->RightFirst;
  ExplainNode(rightFirst ? node->RightOperand : node->Operand, depth + 1, out);
  ExplainNode(rightFirst ? node->Operand : node->RightOperand, depth + 1, out);
}

std::string TFilterOptimizer::Explain() const {
  std::string out = "optimize level " + std::to_string(Level()) + "\n";
  if (FRoot == nullptr) return out + "callback: called for every record\n";
  ExplainNode(FRoot, 0, out);
  return out;
}

}  // namespace kura::filter_detail
