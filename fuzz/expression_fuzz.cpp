// Fuzz target: arbitrary text goes through the expression parser. Whatever the text,
// the engine may only raise its own errors; a crash, a hang, a sanitizer report or any
// other exception is a finding.
//
// Input layout: the first byte chooses what happens, the rest is the text.
//   bits 0-4  the parse flags (aggregates, *, extended predicates, ?, sub-selects)
//   bit 7     instead of parsing, read the rest as a serialized tree
// Every tree that comes out is checked through the later stages in RunStages: a byte
// stream round trip and a deep copy now; binding and evaluation belong there too.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "kura/base/engine_error.h"
#include "kura/expr/exp_token.h"
#include "kura/expr/expression_parser.h"

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

// Everything done with a tree that parsed. Later stages (binding against a fixed set
// of columns, preparation and evaluation) go here, after the round trip.
void RunStages(const kura::TExpToken* tree) { CheckRoundTrip(tree); }

void RunParse(uint32_t flags, std::string_view text) {
  TFuzzOwner owner;
  kura::TExpressionParser parser(&owner);
  kura::TExpTree tree = parser.ParseText(text, flags);
  RunStages(tree.get());
}

void RunDeserialize(const uint8_t* data, size_t size) {
  kura::TExpTree tree = kura::DeserializeTree(data, size);
  RunStages(tree.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  try {
    if ((mode & 0x80) != 0) {
      RunDeserialize(data + 1, size - 1);
    } else {
      RunParse(mode & 0x1F, std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    }
  } catch (const kura::EKuraEngineError&) {
    // The expected outcome for a malformed text or stream.
  }
  return 0;
}
