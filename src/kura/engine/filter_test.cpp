// Expression and callback filters through TFilter: which records pass, how many records
// a build reads, the optimisation levels, the errors and Explain.

#include <algorithm>
#include <functional>
#include <set>

#include "kura/engine/cursor_internals.h"
#include "kura/engine/filter_test_support.h"
#include "kura/expr/expression_parser.h"
#include "testing/engine_error_expect.h"

namespace kura::filter_test {
namespace {

using testing_support::EngineErrorOf;

class FilterTest : public TFilterFixture {
protected:
  // 200 rows: MNB = id mod 20 (NULL every 17th), CMT "c<id mod 7>" (NULL every 11th,
  // "x" every 25th), NAME "n<id mod 3>", DSC id mod 9 - 4, FLT id / 4 - 10.
  static std::vector<TRow> Rows() {
    std::vector<TRow> rows;
    for (int i = 1; i <= 200; ++i) {
      TRow row;
      row.Id = i;
      if (i % 17 != 0) row.Mnb = i % 20;
      if (i % 25 == 0) {
        row.Cmt = "x";
      } else if (i % 11 != 0) {
        row.Cmt = "c" + std::to_string(i % 7);
      }
      row.Name = "n" + std::to_string(i % 3);
      row.Dsc = static_cast<int16_t>(i % 9 - 4);
      row.Flt = i / 4.0 - 10;
      rows.push_back(row);
    }
    return rows;
  }

  std::unique_ptr<TDataCursor> Table(const TIndexes& indexes, const std::string& name = "tejun") {
    auto cursor = CreateAndOpen(name, indexes);
    for (const TRow& row : Rows()) Append(*cursor, row);
    return cursor;
  }

  // Record numbers of the rows that satisfy pred (rows are appended in order: row i is
  // record i).
  static std::vector<int32_t> Expected(const std::function<bool(const TRow&)>& pred) {
    std::vector<int32_t> recNos;
    for (const TRow& row : Rows())
      if (pred(row)) recNos.push_back(row.Id);
    return recNos;
  }

  static std::unique_ptr<TFilter> Filter(TDataCursor& cursor, const std::string& text,
                                         const TFilterOptions& options = {}) {
    return TFilter::FromText(cursor, text, options);
  }
};

TEST_F(FilterTest, AnEqualityOnAnIndexedFieldReadsNoRecords) {
  auto cursor = Table({.Mnb = true});
  auto filter = Filter(*cursor, "MNB = 5");
  EXPECT_EQ(filter->OptimizeLevel(), kFilterFullyOptimized);
  const TResult result = Run(*cursor, *filter);
  EXPECT_EQ(result.RecNos, Expected([](const TRow& r) { return r.Mnb == 5; }));
  EXPECT_EQ(result.RecordReads, 0);
  EXPECT_EQ(filter->Bitmap().CountSet(), static_cast<int32_t>(result.RecNos.size()));
}

// Two comparisons of one indexed field joined by AND are one range: the same records as
// BETWEEN, none read, for every mix of bounds, on an ascending and a descending index.
TEST_F(FilterTest, TwoBoundsOnOneIndexAreOneRange) {
  for (const bool descending : {false, true}) {
    auto cursor = Table(descending ? TIndexes{.DscDown = true} : TIndexes{.Mnb = true});
    const std::string field = descending ? "DSC" : "MNB";
    const auto value = [&](const TRow& r) -> std::optional<int32_t> {
      if (descending) return r.Dsc ? std::optional<int32_t>(*r.Dsc) : std::nullopt;
      return r.Mnb;
    };
    struct TCase {
      const char* Low;
      const char* High;
      int32_t A;
      int32_t B;
    };
    const TCase cases[] = {{">=", "<", -2, 3}, {">", "<=", -2, 3}, {">=", "<=", 3, 3}, {">", "<", 4, 2},
                           {"<", ">", 3, -1}};
    for (const TCase& c : cases) {
      const std::string text = field + " " + c.Low + " " + std::to_string(c.A) + " AND " + field + " " + c.High + " " +
                               std::to_string(c.B);
      SCOPED_TRACE(text);
      auto filter = Filter(*cursor, text);
      EXPECT_EQ(filter->OptimizeLevel(), kFilterFullyOptimized);
      const TResult result = Run(*cursor, *filter);
      const auto test = [&](const std::string& op, int32_t v, int32_t bound) {
        return op == ">=" ? v >= bound : op == ">" ? v > bound : op == "<=" ? v <= bound : v < bound;
      };
      EXPECT_EQ(result.RecNos, Expected([&](const TRow& r) {
                  const auto v = value(r);
                  return v && test(c.Low, *v, c.A) && test(c.High, *v, c.B);
                }));
      EXPECT_EQ(result.RecordReads, 0);
    }
  }
}

TEST_F(FilterTest, WithoutAnIndexEveryRecordIsReadOnce) {
  auto cursor = Table({});
  auto filter = Filter(*cursor, "MNB = 5");
  EXPECT_EQ(filter->OptimizeLevel(), kFilterNotOptimized);
  const TResult result = Run(*cursor, *filter);
  EXPECT_EQ(result.RecNos, Expected([](const TRow& r) { return r.Mnb == 5; }));
  EXPECT_EQ(result.RecordReads, 200);
}

TEST_F(FilterTest, AnAndWithOneIndexedSideEvaluatesTheOtherOnlyOnItsRecords) {
  auto cursor = Table({.Mnb = true});
  auto filter = Filter(*cursor, "MNB > 0 AND CMT = 'x'");
  EXPECT_EQ(filter->OptimizeLevel(), kFilterPartlyOptimized);
  const TResult result = Run(*cursor, *filter);
  EXPECT_EQ(result.RecNos, Expected([](const TRow& r) { return r.Mnb && *r.Mnb > 0 && r.Cmt == "x"; }));
  const auto positive = Expected([](const TRow& r) { return r.Mnb && *r.Mnb > 0; });
  EXPECT_EQ(result.RecordReads, static_cast<int64_t>(positive.size()));

  // The indexed side goes first whichever side it is written on.
  auto swapped = Filter(*cursor, "CMT = 'x' AND MNB > 0");
  EXPECT_EQ(swapped->OptimizeLevel(), kFilterPartlyOptimized);
  const TResult again = Run(*cursor, *swapped);
  EXPECT_EQ(again.RecNos, result.RecNos);
  EXPECT_EQ(again.RecordReads, result.RecordReads);
}

TEST_F(FilterTest, AnOrWithAnUnindexedSideReadsEveryRecord) {
  auto cursor = Table({.Mnb = true});
  auto filter = Filter(*cursor, "MNB = 1 OR CMT = 'x'");
  EXPECT_EQ(filter->OptimizeLevel(), kFilterNotOptimized);
  const TResult result = Run(*cursor, *filter);
  EXPECT_EQ(result.RecNos, Expected([](const TRow& r) { return r.Mnb == 1 || r.Cmt == "x"; }));
  EXPECT_EQ(result.RecordReads, 200);

  auto both = Filter(*cursor, "MNB = 1 OR MNB = 2");
  EXPECT_EQ(both->OptimizeLevel(), kFilterFullyOptimized);
  const TResult indexed = Run(*cursor, *both);
  EXPECT_EQ(indexed.RecNos, Expected([](const TRow& r) { return r.Mnb == 1 || r.Mnb == 2; }));
  EXPECT_EQ(indexed.RecordReads, 0);
}

TEST_F(FilterTest, AConstantBeforeTheColumnIsTurnedAround) {
  auto cursor = Table({.Mnb = true});
  auto filter = Filter(*cursor, "5 < MNB");
  const TExpToken* root = filter->Expression();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->OpCode, kOpGreater);
  ASSERT_NE(root->Operand, nullptr);
  EXPECT_EQ(root->Operand->Kind, kNodeColumn);
  EXPECT_EQ(filter->OptimizeLevel(), kFilterFullyOptimized);
  const TResult result = Run(*cursor, *filter);
  EXPECT_EQ(result.RecNos, Expected([](const TRow& r) { return r.Mnb && *r.Mnb > 5; }));
  EXPECT_EQ(result.RecordReads, 0);

  // <= and >= exchange too; = keeps its sense.
  EXPECT_EQ(RunText(*cursor, "12 >= MNB").RecNos, RunText(*cursor, "MNB <= 12").RecNos);
  EXPECT_EQ(RunText(*cursor, "3 = MNB").RecNos, RunText(*cursor, "MNB = 3").RecNos);
  // A text prefix written first is a prefix comparison as well.
  EXPECT_EQ(RunText(*cursor, "'c1*' = CMT").RecNos,
            Expected([](const TRow& r) { return r.Cmt && r.Cmt->rfind("c1", 0) == 0; }));
}

TEST_F(FilterTest, AConstantFalseFilterPassesNothingWithoutReading) {
  auto cursor = Table({});
  for (const char* text : {"1 = 0", "FALSE", "MNB = 3 AND 1 = 2"}) {
    SCOPED_TRACE(text);
    auto filter = Filter(*cursor, text);
    const TResult result = Run(*cursor, *filter);
    EXPECT_TRUE(result.RecNos.empty());
    EXPECT_EQ(result.RecordReads, 0);
  }
  auto always = Filter(*cursor, "1 = 1");
  EXPECT_EQ(always->OptimizeLevel(), kFilterFullyOptimized);
  EXPECT_EQ(Run(*cursor, *always).RecNos.size(), 200U);
}

TEST_F(FilterTest, ErrorsCarryTheirDetail) {
  auto cursor = Table({});
  struct TCase {
    const char* Text;
    const char* Detail;  // the expected ExtraMessage, or its start when it ends in "..."
  };
  const TCase cases[] = {
      {"", "filter expression is empty"},
      {"   ", "filter expression is empty"},
      {"MNB + 1", "filter expression must be a boolean expression"},
      {"CMT", "filter expression must be a boolean expression"},
      {"MNB = ?", "Parameters are not allowed in filter expression"},
      {"XYZ = 1", "Invalid column name 'XYZ'..."},
      {"MNB = 1 AND", "..."},
      {"MNB = 'abc' + 1", "Type mismatch..."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const auto e = EngineErrorOf([&] { Filter(*cursor, c.Text); });
    if (!e) {
      ADD_FAILURE() << "no error";
      continue;
    }
    EXPECT_EQ(e->ErrorCode, KURA_INVALIDFILTER);
    const std::string detail = c.Detail;
    if (detail.size() >= 3 && detail.substr(detail.size() - 3) == "...") {
      EXPECT_EQ(e->ErrorExtraMessage.rfind(detail.substr(0, detail.size() - 3), 0), 0U) << e->ErrorExtraMessage;
      EXPECT_NE(e->ErrorExtraMessage.find("filter expression"), std::string::npos) << e->ErrorExtraMessage;
    } else {
      EXPECT_EQ(e->ErrorExtraMessage, detail);
    }
    EXPECT_NE(std::string(e->what()).find("tejun"), std::string::npos) << e->what();
  }
  // Without a tree or a callback there is nothing to filter with.
  const std::function<void()> incomplete[] = {[&] { TFilter::FromTree(*cursor, nullptr, {}); },
                                               [&] { TFilter::FromCallback(*cursor, {}, false); }};
  for (const auto& make : incomplete) {
    const auto e = EngineErrorOf(make);
    ASSERT_TRUE(e) << "no error";
    EXPECT_EQ(e->ErrorCode, KURA_INVALIDFILTER);
    EXPECT_EQ(e->ErrorExtraMessage, "filter expression is invalid");
  }
}

TEST_F(FilterTest, ExplainNamesTheIndexOfEachPart) {
  auto cursor = Table({.Mnb = true});
  auto filter = Filter(*cursor, "CMT = 'x' AND MNB > 18");
  EXPECT_EQ(filter->Explain(),
            "optimize level 1\n"
            "AND (level 1, about 9 records)\n"
            "  MNB > 18: index 1 \"ByMnb\", range above, about 9 records, cost 81\n"
            "  CMT = 'x': evaluated record by record\n");
  auto none = Filter(*cursor, "NAME = 'n1'");
  EXPECT_EQ(none->Explain(), "optimize level 0\nNAME = 'n1': evaluated record by record\n");
  auto callback = TFilter::FromCallback(*cursor, [](TDataCursor&, const uint8_t*, int32_t) { return true; }, true);
  EXPECT_EQ(callback->Explain(), "optimize level 0\ncallback: called for every record\n");
}

TEST_F(FilterTest, ACallbackFilterSeesEveryCandidateOnce) {
  auto cursor = Table({.Mnb = true});
  std::set<int32_t> seen;
  auto filter = TFilter::FromCallback(
      *cursor,
      [&](TDataCursor& c, const uint8_t* record, int32_t recNo) {
        EXPECT_EQ(&c, cursor.get());
        EXPECT_TRUE(seen.insert(recNo).second);
        return ReadI32(record + TCursorInternals::Table(c).DataFile().FieldByPosition(kId)->Offset + 1) % 2 == 0;
      },
      true);
  EXPECT_EQ(filter->OptimizeLevel(), kFilterNotOptimized);
  EXPECT_TRUE(filter->AfterOthers());
  const TResult result = Run(*cursor, *filter);
  EXPECT_EQ(result.RecNos, Expected([](const TRow& r) { return r.Id % 2 == 0; }));
  EXPECT_EQ(seen.size(), 200U);
  EXPECT_EQ(result.RecordReads, 200);
}

TEST_F(FilterTest, OnlyCandidatesAreConsidered) {
  auto cursor = Table({});
  auto filter = Filter(*cursor, "NAME = 'n1'");
  TRecordsBitmap candidates;
  candidates.SetRecordCount(200);
  for (int32_t r = 1; r <= 30; ++r) candidates.Include(r);
  const int64_t before = TCursorInternals::Table(*cursor).DataFile().Statistics().RecordsRequested;
  filter->BuildBitmap(candidates);
  EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().Statistics().RecordsRequested - before, 30);
  EXPECT_EQ(candidates.CountSet(), 10);
  EXPECT_TRUE(candidates.IsSet(1));
  EXPECT_FALSE(candidates.IsSet(2));
  EXPECT_EQ(filter->Bitmap().CountSet(), 10);
}

TEST_F(FilterTest, ANarrowCandidateSetIsReadRatherThanScanningAWideRange) {
  auto cursor = Table({.Mnb = true});
  // (Scanning the few keys outside the range would be cheap: no complement here.)
  TFilterOptions full;
  full.UseComplement = false;
  auto filter = Filter(*cursor, "MNB >= 0", full);
  TRecordsBitmap candidates;
  candidates.SetRecordCount(200);
  candidates.Include(7);
  candidates.Include(17);
  const int64_t before = TCursorInternals::Table(*cursor).DataFile().Statistics().RecordsRequested;
  filter->BuildBitmap(candidates);
  EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().Statistics().RecordsRequested - before, 2);
  EXPECT_TRUE(candidates.IsSet(7));
  EXPECT_FALSE(candidates.IsSet(17));  // MNB is NULL there

  // Without key estimation the cost is unknown and the index is used.
  TFilterOptions options;
  options.EstimateKeys = false;
  auto blind = Filter(*cursor, "MNB >= 0", options);
  candidates.ClearAll();
  candidates.Include(7);
  const int64_t again = TCursorInternals::Table(*cursor).DataFile().Statistics().RecordsRequested;
  blind->BuildBitmap(candidates);
  EXPECT_EQ(TCursorInternals::Table(*cursor).DataFile().Statistics().RecordsRequested - again, 0);
  EXPECT_TRUE(candidates.IsSet(7));
}

TEST_F(FilterTest, DeletedRecordsNeverPass) {
  auto cursor = Table({.Mnb = true});
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  ASSERT_TRUE(cursor->SetToRecNo(5));  // primary order: ID 5 is record 5
  ASSERT_EQ(cursor->GetCurrentRecord(record.data()), 0);
  cursor->DeleteRecord(record.data(), false);
  for (const char* text : {"MNB = 5", "NAME = 'n2'", "NOT MNB = 5"}) {
    SCOPED_TRACE(text);
    const TResult result = RunText(*cursor, text);
    EXPECT_EQ(std::count(result.RecNos.begin(), result.RecNos.end(), 5), 0);
  }
}

TEST_F(FilterTest, PassesTestsOneRecordImage) {
  auto cursor = Table({.Mnb = true});
  auto filter = Filter(*cursor, "MNB = 3 AND CMT <> 'x'");
  std::vector<uint8_t> record(static_cast<size_t>(cursor->RecordSize()));
  cursor->InitRecord(record.data());
  uint8_t value[4];
  WriteI32(value, 3);
  cursor->SetField(kMnb, record.data(), value);
  EXPECT_TRUE(filter->Passes(record.data(), 1));
  cursor->SetField(kCmt, record.data(), reinterpret_cast<const uint8_t*>("x"));
  EXPECT_FALSE(filter->Passes(record.data(), 1));
}

TEST_F(FilterTest, ReplacingTheExpressionRecomputesTheLevel) {
  auto cursor = Table({.Mnb = true});
  TExpressionParser parser;
  auto filter = Filter(*cursor, "NAME = 'n1'");
  EXPECT_EQ(filter->OptimizeLevel(), kFilterNotOptimized);
  // A tree bound by its own caller, as the SQL engine hands one over.
  auto other = Filter(*cursor, "MNB = 4");
  TExpTree tree(CopyTree(other->Expression()));
  filter->ReplaceExpression(tree.release());
  EXPECT_EQ(filter->OptimizeLevel(), kFilterFullyOptimized);
  EXPECT_EQ(Run(*cursor, *filter).RecNos, Expected([](const TRow& r) { return r.Mnb == 4; }));

  TFilterOptions options;
  options.OwnsExpression = false;
  TExpTree kept(CopyTree(other->Expression()));
  {
    auto borrowed = TFilter::FromTree(*cursor, kept.get(), options);
    EXPECT_EQ(borrowed->Expression(), kept.get());
    EXPECT_EQ(Run(*cursor, *borrowed).RecordReads, 0);
  }
  EXPECT_EQ(kept->OpCode, kOpEqual);  // still ours after the filter went
}

TEST_F(FilterTest, NullsFollowTheEvaluatorsRules) {
  auto cursor = Table({.Mnb = true, .Cmt = true});
  const auto isNullMnb = Expected([](const TRow& r) { return !r.Mnb; });
  EXPECT_EQ(RunText(*cursor, "MNB IS NULL").RecNos, isNullMnb);
  EXPECT_EQ(RunText(*cursor, "MNB IS NULL").RecordReads, 0);
  EXPECT_EQ(RunText(*cursor, "MNB = NULL").RecNos, isNullMnb);
  EXPECT_EQ(RunText(*cursor, "MNB IS NOT NULL").RecNos.size(), 200U - isNullMnb.size());
  // <> keeps the NULLs; a NULL number orders nowhere.
  EXPECT_EQ(RunText(*cursor, "MNB <> 3").RecNos, Expected([](const TRow& r) { return r.Mnb != 3; }));
  EXPECT_EQ(RunText(*cursor, "MNB < 3").RecNos, Expected([](const TRow& r) { return r.Mnb && *r.Mnb < 3; }));
  // A NULL text orders as the empty text: below every other text.
  EXPECT_EQ(RunText(*cursor, "CMT < 'c3'").RecNos, Expected([](const TRow& r) { return !r.Cmt || *r.Cmt < "c3"; }));
  EXPECT_EQ(RunText(*cursor, "CMT < 'c3'").RecordReads, 0);
  EXPECT_EQ(RunText(*cursor, "CMT >= 'c3'").RecNos, Expected([](const TRow& r) { return r.Cmt && *r.Cmt >= "c3"; }));
}

TEST_F(FilterTest, PredicatesUseTheIndex) {
  auto cursor = Table({.Mnb = true, .Cmt = true});
  struct TCase {
    const char* Text;
    std::function<bool(const TRow&)> Pred;
    bool ReadsNothing;
  };
  const auto starts = [](const TRow& r, const char* p) { return r.Cmt && r.Cmt->rfind(p, 0) == 0; };
  const TCase cases[] = {
      {"MNB IN (1, 3, 3, 19)", [](const TRow& r) { return r.Mnb == 1 || r.Mnb == 3 || r.Mnb == 19; }, true},
      {"MNB NOT IN (1, 3)", [](const TRow& r) { return !(r.Mnb == 1 || r.Mnb == 3); }, true},
      {"MNB IN (2, NULL)", [](const TRow& r) { return !r.Mnb || r.Mnb == 2; }, true},
      {"MNB BETWEEN 4 AND 6", [](const TRow& r) { return r.Mnb && *r.Mnb >= 4 && *r.Mnb <= 6; }, true},
      {"MNB BETWEEN 6 AND 4", [](const TRow&) { return false; }, true},
      {"MNB NOT BETWEEN 4 AND 6", [](const TRow& r) { return !(r.Mnb && *r.Mnb >= 4 && *r.Mnb <= 6); }, true},
      {"CMT LIKE 'c%'", [&](const TRow& r) { return starts(r, "c"); }, true},
      {"CMT NOT LIKE 'c%'", [&](const TRow& r) { return !starts(r, "c"); }, true},
      {"CMT LIKE 'c_'", [&](const TRow& r) { return starts(r, "c") && r.Cmt->size() == 2; }, false},
      {"CMT NOT LIKE 'c%3'", [&](const TRow& r) { return !(starts(r, "c") && r.Cmt->back() == '3'); }, false},
      {"CMT = 'c2*'", [&](const TRow& r) { return starts(r, "c2"); }, true},
      {"NOT (MNB > 3 OR MNB < 2)", [](const TRow& r) { return !(r.Mnb && (*r.Mnb > 3 || *r.Mnb < 2)); }, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    auto filter = Filter(*cursor, c.Text);
    EXPECT_EQ(filter->OptimizeLevel(), kFilterFullyOptimized);
    const TResult result = Run(*cursor, *filter);
    EXPECT_EQ(result.RecNos, Expected(c.Pred));
    if (c.ReadsNothing) {
      EXPECT_EQ(result.RecordReads, 0);
    }
  }
}

TEST_F(FilterTest, CaseInsensitiveFiltersNeedACaseInsensitiveIndex) {
  auto cursor = Table({.Cmt = true, .CmtNoCase = true});
  TFilterOptions options;
  options.CaseInsensitive = true;
  auto filter = Filter(*cursor, "CMT = 'X'", options);
  EXPECT_EQ(filter->OptimizeLevel(), kFilterFullyOptimized);
  EXPECT_NE(filter->Explain().find("ByCmtNoCase"), std::string::npos) << filter->Explain();
  const TResult result = Run(*cursor, *filter);
  EXPECT_EQ(result.RecNos, Expected([](const TRow& r) { return r.Cmt == "x"; }));
  EXPECT_EQ(result.RecordReads, 0);
  // A case-sensitive one takes the exact index.
  auto exact = Filter(*cursor, "CMT = 'X'");
  EXPECT_NE(exact->Explain().find("ByCmt\""), std::string::npos) << exact->Explain();
  EXPECT_TRUE(Run(*cursor, *exact).RecNos.empty());
}

TEST_F(FilterTest, TextSearchesLookUpTheTextIndex) {
  const char* const names[] = {"red fox", "the fox", "blue", "fox trot", "Foxes", "the a", nullptr, "redbox"};
  const auto fill = [&](TDataCursor& cursor) {
    for (int i = 0; i < 80; ++i) {
      TRow row;
      row.Id = i + 1;
      if (names[i % 8] != nullptr) row.Name = names[i % 8];
      Append(cursor, row);
    }
  };
  TTableDefinition definition = FilterTableDefinition({});
  definition.TextIndexFields = {kName};
  ASSERT_EQ(Directory->CreateTableFiles("words", false, definition), 0);
  auto indexed = Open("words", true);
  fill(*indexed);
  auto plain = CreateAndOpen("plainwords", {});
  fill(*plain);
  struct TCase {
    const char* Text;
    int Passing;  // per 8 rows
  };
  const TCase cases[] = {
      {"TEXTSEARCH('fox' IN NAME)", 3},         {"TEXTSEARCH('FOX red' IN NAME)", 1},
      {"TEXTSEARCH('fox*' IN NAME)", 4},        {"TEXTSEARCH('re*' IN NAME)", 2},
      {"TEXTSEARCH('the' IN NAME)", 8},         {"NOT TEXTSEARCH('fox' IN NAME)", 5},
      {"TEXTSEARCH('fox' IN NAME) AND DSC IS NULL", 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    auto fast = Filter(*indexed, c.Text);
    EXPECT_EQ(fast->OptimizeLevel(), std::string(c.Text).find("DSC") != std::string::npos ? kFilterPartlyOptimized
                                                                                            : kFilterFullyOptimized);
    EXPECT_NE(fast->Explain().find("Sys Text"), std::string::npos) << fast->Explain();
    auto slow = Filter(*plain, c.Text);
    EXPECT_EQ(slow->OptimizeLevel(), kFilterNotOptimized);
    const TResult got = Run(*indexed, *fast);
    const TResult want = Run(*plain, *slow);
    EXPECT_EQ(got.RecNos, want.RecNos);
    if (c.Passing > 0) {
      EXPECT_EQ(got.RecNos.size(), static_cast<size_t>(c.Passing * 10));
    }
    if (fast->OptimizeLevel() == kFilterFullyOptimized) {
      EXPECT_EQ(got.RecordReads, 0);
    }
  }
}

}  // namespace
}  // namespace kura::filter_test
