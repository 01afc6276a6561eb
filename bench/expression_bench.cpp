// Expression evaluation throughput: a prepared filter condition evaluated over one
// million records held in memory, the way a filter tests the records an index cannot
// answer. Every case reports items/s, which is records per second.
//
// A record is the engine's field layout for two fields: MNB Integer and CMT String(20),
// each a null-flag byte followed by its value. The column callback copies the value out
// of the record, as a cursor's callback does out of its record buffer.
//
//   filter_prepared      MNB > 100 AND CMT LIKE 'ab%' (the LIKE runs as a prefix test)
//   filter_general_like  MNB > 100 AND CMT LIKE 'a%b_' (the general LIKE matcher)
//   filter_unprepared    the first condition evaluated on the bound tree, unprepared
//   value_expression     MNB * 2 + 1 as a value node per record

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "kura/base/byte_order.h"
#include "kura/expr/expression_binder.h"
#include "kura/expr/expression_evaluator.h"
#include "kura/expr/expression_parser.h"

namespace {

using namespace kura;

constexpr int32_t kRecordCount = 1000000;
constexpr size_t kMnbOffset = 0;   // null flag, int32
constexpr size_t kCmtOffset = 5;   // null flag, 21 characters with the terminator
constexpr size_t kCmtSize = 21;
constexpr size_t kRecordSize = kCmtOffset + 1 + kCmtSize;

// The records, built once: MNB runs 0..999 over and over, CMT is one of a few texts
// (a quarter start with "ab"), every 16th CMT is NULL.
const std::vector<uint8_t>& Records() {
  static const std::vector<uint8_t> records = [] {
    std::vector<uint8_t> bytes(static_cast<size_t>(kRecordCount) * kRecordSize, 0);
    const char* const texts[] = {"abacus", "banana", "cabbage", "about"};
    for (int32_t i = 0; i < kRecordCount; ++i) {
      uint8_t* record = bytes.data() + static_cast<size_t>(i) * kRecordSize;
      record[kMnbOffset] = 1;
      WriteI32(record + kMnbOffset + 1, i % 1000);
      if (i % 16 != 0) {
        record[kCmtOffset] = 1;
        const char* text = texts[(i / 3) % 4];
        std::memcpy(record + kCmtOffset + 1, text, std::strlen(text));
      }
    }
    return bytes;
  }();
  return records;
}

bool Resolve(void*, TExpToken& node) {
  if (node.ColumnName == "MNB") {
    node.FieldNo = 0;
    node.DataType = TFieldType::Integer;
    node.DataLength = 4;
  } else if (node.ColumnName == "CMT") {
    node.FieldNo = 1;
    node.DataType = TFieldType::String;
    node.DataLength = static_cast<int32_t>(kCmtSize);
  } else {
    return false;
  }
  node.IsBound = 1;
  return true;
}

void GetColumnValue(void*, const uint8_t* record, TExpToken& node) {
  const uint8_t* field = record + (node.FieldNo == 0 ? kMnbOffset : kCmtOffset);
  if (field[0] == 0) {
    node.IsNull = 1;
    return;
  }
  if (node.FieldNo == 0) {
    node.SetData(field + 1, 4);
  } else {
    const auto* text = reinterpret_cast<const char*>(field + 1);
    node.SetData(text, static_cast<int32_t>(strnlen(text, kCmtSize - 1) + 1));
  }
}

TEvaluationContext Context() {
  TEvaluationContext context;
  context.GetColumnValue = GetColumnValue;
  return context;
}

TExpTree Bind(std::string_view text) {
  TExpressionParser parser;
  parser.SetErrorContext(KURA_INVALIDFILTER, "bench", std::string(kFilterContext));
  TExpTree tree = parser.ParseText(text, kFilterParseFlags);
  BindExpression(KURA_INVALIDFILTER, std::string(kFilterContext), tree.get(), tree.get(), true, true, Resolve,
                 nullptr);
  return tree;
}

void RunFilter(benchmark::State& state, const TExpToken& condition, int64_t expected) {
  const TEvaluationContext context = Context();
  const std::vector<uint8_t>& records = Records();
  for (auto _ : state) {
    int64_t passed = 0;
    for (int32_t i = 0; i < kRecordCount; ++i)
      passed += EvaluateCondition(condition, records.data() + static_cast<size_t>(i) * kRecordSize, context) ? 1 : 0;
    if (expected >= 0 && passed != expected) throw std::runtime_error("expression_bench: wrong number of records");
    benchmark::DoNotOptimize(passed);
  }
  state.SetItemsProcessed(state.iterations() * kRecordCount);
}

// Records that pass MNB > 100 AND CMT LIKE 'ab%', counted directly.
int64_t ExpectedPrefixMatches() {
  const std::vector<uint8_t>& records = Records();
  int64_t count = 0;
  for (int32_t i = 0; i < kRecordCount; ++i) {
    const uint8_t* record = records.data() + static_cast<size_t>(i) * kRecordSize;
    const bool cmt = record[kCmtOffset] != 0 && std::memcmp(record + kCmtOffset + 1, "ab", 2) == 0;
    count += ReadI32(record + kMnbOffset + 1) > 100 && cmt ? 1 : 0;
  }
  return count;
}

void BM_FilterPrepared(benchmark::State& state) {
  const TExpTree prepared = PrepareExpression(*Bind("MNB > 100 AND CMT LIKE 'ab%'"), Context(), false, false);
  RunFilter(state, *prepared, ExpectedPrefixMatches());
}

void BM_FilterGeneralLike(benchmark::State& state) {
  const TExpTree prepared = PrepareExpression(*Bind("MNB > 100 AND CMT LIKE 'a%b_'"), Context(), false, false);
  RunFilter(state, *prepared, -1);
}

void BM_FilterUnprepared(benchmark::State& state) {
  const TExpTree bound = Bind("MNB > 100 AND CMT LIKE 'ab%'");
  RunFilter(state, *bound, ExpectedPrefixMatches());
}

void BM_ValueExpression(benchmark::State& state) {
  const TExpTree prepared = PrepareExpression(*Bind("MNB * 2 + 1"), Context(), false, false);
  const TEvaluationContext context = Context();
  const std::vector<uint8_t>& records = Records();
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t i = 0; i < kRecordCount; ++i) {
      const TExpTree value = EvaluateExpression(*prepared, records.data() + static_cast<size_t>(i) * kRecordSize, context);
      sum += ReadI32(value->Data.data());
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRecordCount);
}

BENCHMARK(BM_FilterPrepared)->Name("filter_prepared")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterGeneralLike)->Name("filter_general_like")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterUnprepared)->Name("filter_unprepared")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ValueExpression)->Name("value_expression")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
