// Fuzz target: arbitrary text goes through the expression parser. Whatever the text,
// the engine may only raise its own errors; a crash, a hang, a sanitizer report or any
// other exception is a finding.
//
// Input layout: the first byte chooses what happens, the rest is the text.
//   bits 0-4  the parse flags (aggregates, *, extended predicates, ?, sub-selects)
//   bit 5     bind the tree as a condition (a filter) rather than as a value
//   bit 7     instead of parsing, read the rest as a serialized tree
// Every tree that comes out goes through the later stages in RunStages: a byte stream
// round trip and a deep copy, then binding against a fixed set of columns, preparation
// and evaluation over a record with values and over one whose fields are all NULL.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "kura/base/byte_order.h"
#include "kura/base/engine_error.h"
#include "kura/expr/exp_token.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/expr/expression_parser.h"
#include "kura/storage/text_index_words.h"
#include "testing/column_table.h"

namespace {

// A sub-select that owns the tree of its condition.
struct TFuzzSubQuery : kura::TExpSubQuery {
  kura::TExpTree Where;
};

// Reads a sub-select the way the SQL layer hooks in: SELECT, then tokens up to WHERE
// or the closing parenthesis; a WHERE condition is parsed with the same parser, so
// that sub-selects can nest.
class TFuzzOwner : public kura::TExpressionParserOwner {
public:
  void AddParameter(kura::TExpToken* /*node*/) override { ++Parameters; }
  std::shared_ptr<kura::TExpSubQuery> ParseSubSelect(kura::TExpressionParser& parser, uint32_t flags) override {
    auto query = std::make_shared<TFuzzSubQuery>();
    int depth = 0;
    parser.NextToken();
    while (!parser.IsTokenKind(kura::kTokenEnd) && !(depth == 0 && parser.IsTokenKind(')'))) {
      if (depth == 0 && parser.IsKeyword("WHERE")) {
        parser.NextToken();
        query->Where = parser.ParseExpression(flags);
        break;
      }
      if (parser.IsTokenKind('(')) ++depth;
      if (parser.IsTokenKind(')')) --depth;
      parser.NextToken();
    }
    return query;
  }
  int Parameters = 0;
};

// The stream form must reproduce the tree exactly, and a copy must be a whole tree.
void CheckRoundTrip(const kura::TExpToken* tree) {
  std::vector<uint8_t> bytes;
  kura::SerializeTree(tree, bytes);
  size_t consumed = 0;
  kura::TExpTree back = kura::DeserializeTree(bytes.data(), bytes.size(), &consumed);
  std::vector<uint8_t> again;
  kura::SerializeTree(back.get(), again);
  if (consumed != bytes.size() || again != bytes) std::abort();
  kura::TExpTree copy(kura::CopyTree(tree));
  std::vector<uint8_t> copied;
  kura::SerializeTree(copy.get(), copied);
  if (copied != bytes) std::abort();
}

// The columns a fuzzed expression can name, and the value each has in the full record.
const testing_support::TColumnTable kColumns({
    {"MNB", {kura::TFieldType::Integer, kura::TFieldSubType::None, 4, 0}},
    {"SNB", {kura::TFieldType::SmallInt, kura::TFieldSubType::None, 2, 0}},
    {"LNB", {kura::TFieldType::LargeInt, kura::TFieldSubType::None, 8, 0}},
    {"FLT", {kura::TFieldType::Float, kura::TFieldSubType::None, 8, 0}},
    {"AMT", {kura::TFieldType::Bcd, kura::TFieldSubType::None, 34, 2}},
    {"CMT", {kura::TFieldType::String, kura::TFieldSubType::None, 21, 0}},
    {"MEMO", {kura::TFieldType::Blob, kura::TFieldSubType::Memo, 8, 0}},
    {"DT", {kura::TFieldType::Date, kura::TFieldSubType::None, 4, 0}},
    {"TM", {kura::TFieldType::Time, kura::TFieldSubType::None, 4, 0}},
    {"TS", {kura::TFieldType::Timestamp, kura::TFieldSubType::None, 8, 0}},
    {"FLAG", {kura::TFieldType::Boolean, kura::TFieldSubType::None, 2, 0}},
});

// recordBuffer is a flag: non-null gives every column a value, null leaves all NULL.
void GetColumnValue(void*, const uint8_t* recordBuffer, kura::TExpToken& node) {
  if (!recordBuffer || node.FieldNo < 0 || static_cast<size_t>(node.FieldNo) >= kColumns.size()) {
    node.IsNull = 1;
    return;
  }
  uint8_t bytes[40] = {};
  const kura::TExpType& type = kColumns[static_cast<size_t>(node.FieldNo)].Type;
  int32_t length = type.DataLength;
  switch (type.DataType) {
    case kura::TFieldType::Integer: kura::WriteI32(bytes, 123); break;
    case kura::TFieldType::SmallInt: kura::WriteI16(bytes, -7); break;
    case kura::TFieldType::LargeInt: kura::WriteI64(bytes, INT64_MAX); break;
    case kura::TFieldType::Float: kura::WriteF64(bytes, 2.5); break;
    case kura::TFieldType::Date: kura::WriteI32(bytes, 731000); break;
    case kura::TFieldType::Time: kura::WriteI32(bytes, 3600000); break;
    case kura::TFieldType::Timestamp: kura::WriteF64(bytes, 63000000000000.0); break;
    case kura::TFieldType::Boolean: kura::WriteU16(bytes, 1); break;
    case kura::TFieldType::Bcd: bytes[0] = 6; bytes[1] = 2; bytes[2] = 0x12; bytes[3] = 0x34; break;
    case kura::TFieldType::String:
    case kura::TFieldType::Blob: {
      static const char kText[] = "Abc def*ghi";
      node.SetData(reinterpret_cast<const uint8_t*>(kText), static_cast<int32_t>(sizeof kText));
      return;
    }
    default: break;
  }
  node.SetData(bytes, length);
}

bool SubSelectContains(void*, const uint8_t*, const kura::TExpToken&, const kura::TExpToken&) { return false; }

const kura::TTextIndexParameters* TextIndexParameters(void*, const kura::TExpToken& column) {
  static const kura::TTextIndexParameters parameters = kura::DefaultTextIndexParameters();
  return column.IsBound != 0 ? &parameters : nullptr;
}

bool LastAutoIncValue(void*, const kura::TExpToken&, int32_t& value) {
  value = 1;
  return true;
}

// Binding mutates the tree, so it works on a copy.
void BindAndEvaluate(const kura::TExpToken* tree, bool condition) {
  kura::TExpTree bound(kura::CopyTree(tree));
  kura::TBindContext bind;
  bind.ErrorCode = kura::KURA_INVALIDFILTER;
  bind.ContextText = "filter expression";
  bind.TableName = "T";
  kColumns.ServeTo(bind);
  kura::BindExpression(bind, bound.get(), bound.get(), true, condition);
  kura::TEvaluationContext context;
  context.GetColumnValue = GetColumnValue;
  context.SubSelectContains = SubSelectContains;
  context.TextIndexParameters = TextIndexParameters;
  context.LastAutoIncValue = LastAutoIncValue;
  static const uint8_t kFull = 1;
  for (const bool insensitive : {false, true}) {
    const kura::TExpTree prepared = kura::PrepareExpression(*bound, context, insensitive, insensitive);
    for (const uint8_t* record : {&kFull, static_cast<const uint8_t*>(nullptr)}) {
      const kura::TExpTree value = kura::EvaluateExpression(*prepared, record, context);
      if (condition) kura::EvaluateCondition(*prepared, record, context);
    }
  }
}

// Everything done with a tree that parsed.
void RunStages(const kura::TExpToken* tree, bool condition) {
  CheckRoundTrip(tree);
  BindAndEvaluate(tree, condition);
}

void RunParse(uint32_t flags, bool condition, std::string_view text) {
  TFuzzOwner owner;
  kura::TExpressionParser parser(&owner);
  kura::TExpTree tree = parser.ParseText(text, flags);
  RunStages(tree.get(), condition);
}

void RunDeserialize(const uint8_t* data, size_t size, bool condition) {
  kura::TExpTree tree = kura::DeserializeTree(data, size);
  RunStages(tree.get(), condition);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  try {
    const bool condition = (mode & 0x20) != 0;
    if ((mode & 0x80) != 0) {
      RunDeserialize(data + 1, size - 1, condition);
    } else {
      RunParse(mode & 0x1F, condition, std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    }
  } catch (const kura::EKuraEngineError&) {
    // The expected outcome for a malformed text or stream.
  }
  return 0;
}
