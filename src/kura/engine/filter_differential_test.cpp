// Whatever the optimiser does, a filter passes exactly the records that evaluating its
// expression record by record passes. Generated expressions run over a table with
// indexes (ascending, descending, a field marked descending, a text field) and over a
// copy of its rows without any index; the two record sets must be equal.

#include <random>
#include <sstream>

#include "kura/engine/cursor_internals.h"
#include "kura/engine/filter_test_support.h"
#include "testing/direct_table_edits.h"

namespace kura::filter_test {
namespace {

constexpr int kRowCount = 3000;
constexpr int kExpressionCount = 320;

class TGenerator {
public:
  explicit TGenerator(uint32_t seed) : FRandom(seed) {}

  int Pick(int n) { return static_cast<int>(FRandom() % static_cast<uint32_t>(n)); }
  bool Chance(int percent) { return Pick(100) < percent; }

  TRow Row(int id) {
    TRow row;
    row.Id = id;
    if (!Chance(10)) row.Mnb = Pick(31);
    if (!Chance(10)) row.Cmt = Word();
    if (!Chance(10)) row.Name = Word();
    if (!Chance(10)) row.Dsc = static_cast<int16_t>(Pick(11) - 5);
    if (!Chance(10)) row.Flt = Pick(21) * 0.5 - 5;
    return row;
  }

  std::string Expression(int depth) {
    if (depth > 0 && Chance(55)) {
      switch (Pick(3)) {
        case 0: return "(" + Expression(depth - 1) + ") AND (" + Expression(depth - 1) + ")";
        case 1: return "(" + Expression(depth - 1) + ") OR (" + Expression(depth - 1) + ")";
        default: return "NOT (" + Expression(depth - 1) + ")";
      }
    }
    return Atom();
  }

private:
  std::string Word() {
    static const char* const kLetters[] = {"a", "b", "c", "A", "ab", "ba"};
    std::string word = kLetters[Pick(6)];
    const int extra = Pick(3);
    for (int i = 0; i < extra; ++i) word += kLetters[Pick(4)];
    return word;
  }

  std::string TextConstant() { return Chance(5) ? "''" : "'" + Word() + "'"; }

  std::string Constant(int field) {
    switch (field) {
      case kMnb: return std::to_string(Pick(35) - 2);
      case kDsc: return std::to_string(Pick(13) - 6);
      case kFlt: {
        std::ostringstream out;
        out << (Pick(25) * 0.5 - 6);
        return out.str();
      }
      default: return TextConstant();
    }
  }

  static const char* Name(int field) {
    switch (field) {
      case kMnb: return "MNB";
      case kCmt: return "CMT";
      case kName: return "NAME";
      case kDsc: return "DSC";
      default: return "FLT";
    }
  }

  std::string Atom() {
    static const int kFields[] = {kMnb, kCmt, kName, kDsc, kFlt};
    static const char* const kOps[] = {"=", "<>", "<", ">", "<=", ">="};
    const int field = kFields[Pick(5)];
    const std::string name = Name(field);
    const bool text = field == kCmt || field == kName;
    const int kind = Pick(text ? 8 : 6);
    switch (kind) {
      case 0:
      case 1: {
        const std::string op = kOps[Pick(6)];
        return Chance(25) ? Constant(field) + " " + op + " " + name : name + " " + op + " " + Constant(field);
      }
      case 2: return name + (Chance(50) ? " IS NULL" : " IS NOT NULL");
      case 3: {
        std::string list = Constant(field);
        const int more = Pick(4);
        for (int i = 0; i < more; ++i) list += ", " + (Chance(10) ? std::string("NULL") : Constant(field));
        return name + (Chance(30) ? " NOT IN (" : " IN (") + list + ")";
      }
      case 4: return name + (Chance(30) ? " NOT BETWEEN " : " BETWEEN ") + Constant(field) + " AND " + Constant(field);
      case 5: return name + " = " + Constant(field);
      case 6: {
        static const char* const kPatterns[] = {"a%", "ab%", "a_", "%b", "a%b", "A%", "b_%", "ba%a"};
        return name + (Chance(30) ? " NOT LIKE '" : " LIKE '") + kPatterns[Pick(8)] + "'";
      }
      default: return name + (Chance(50) ? " = '" : " <> '") + Word() + "*'";
    }
  }

  std::mt19937 FRandom;
};

class FilterDifferentialTest : public TFilterFixture {};

TEST_F(FilterDifferentialTest, IndexesNeverChangeWhatPasses) {
  TIndexes all;
  all.Mnb = true;
  all.Cmt = true;
  all.DscDown = true;
  all.FltDesc = true;
  all.MnbCmt = true;
  auto indexed = CreateAndOpen("indexed", all);
  TIndexes none;
  none.Primary = false;
  auto plain = CreateAndOpen("plain", none);

  TGenerator generator(20240611);
  for (int id = 1; id <= kRowCount; ++id) {
    const TRow row = generator.Row(id);
    Append(*indexed, row);
    Append(*plain, row);
  }
  // Some deleted records, the same in both.
  for (int32_t recNo = 7; recNo <= kRowCount; recNo += 97) {
    testing_support::DeleteDirect(TCursorInternals::Table(*indexed), recNo);
    testing_support::DeleteDirect(TCursorInternals::Table(*plain), recNo);
  }

  int optimized = 0;
  for (int i = 0; i < kExpressionCount; ++i) {
    const std::string text = generator.Expression(2);
    SCOPED_TRACE(text);
    TFilterOptions options;
    switch (i % 4) {
      case 1: options.EstimateKeys = false; break;
      case 2: options.UseComplement = false; break;
      case 3: options.CaseInsensitive = true; break;
      default: break;
    }
    std::unique_ptr<TFilter> fast = TFilter::FromText(*indexed, text, options);
    std::unique_ptr<TFilter> slow = TFilter::FromText(*plain, text, options);
    if (fast->OptimizeLevel() != kFilterNotOptimized) ++optimized;
    const TResult got = Run(*indexed, *fast);
    const TResult want = Run(*plain, *slow);
    ASSERT_EQ(got.RecNos, want.RecNos) << fast->Explain();
  }
  // The generator must exercise the indexes, not only the evaluator.
  EXPECT_GT(optimized, kExpressionCount / 3);
}

}  // namespace
}  // namespace kura::filter_test
