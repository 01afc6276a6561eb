// Fuzz target: an index file made of arbitrary bytes is opened, its header checked, and
// every index walked forward, backward and by ordinal, checked as a tree, and changed
// by a few inserts and deletes. Whatever the bytes, the engine may only raise its own
// errors; a crash, a hang, a sanitizer report or any other exception is a finding.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kura/base/engine_error.h"
#include "kura/base/file_handler.h"
#include "kura/storage/index_file.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/index_walker.h"

namespace {

// The bytes go to an in-memory file, so the target touches no disk.
const std::string kName = "fuzz/input.IDX";

volatile uint64_t gSink = 0;

// The table the index file belongs to: every kind of key field and a memo for the text
// index (the seeds use fields 1 to 4).
std::vector<kura::TFieldDefinition> TableFields() {
  std::vector<kura::TFieldDefinition> fields(4);
  const kura::TFieldType types[] = {kura::TFieldType::Integer, kura::TFieldType::String, kura::TFieldType::Float,
                                    kura::TFieldType::Blob};
  const uint8_t sizes[] = {4, 21, 8, 8};
  int offset = 9;
  for (size_t i = 0; i < fields.size(); ++i) {
    fields[i].FieldNo = static_cast<uint16_t>(i + 1);
    fields[i].Name = "F" + std::to_string(i + 1);
    fields[i].FieldType = types[i];
    fields[i].Size = i == 1 ? 20 : 0;
    fields[i].DataSize = sizes[i];
    fields[i].SubType = i == 3 ? kura::TFieldSubType::Memo : kura::TFieldSubType::None;
    fields[i].Offset = static_cast<uint16_t>(offset);
    offset += sizes[i] + 1;
  }
  return fields;
}

void Guarded(const auto& action) {
  try {
    action();
  } catch (const kura::EKuraEngineError&) {
    // The expected outcome for damaged bytes.
  }
}

void WalkIndex(kura::TIndexFile& file, int index) {
  uint64_t sink = 0;
  // Sibling links may form a loop that the per-step checks cannot see; the walk stops
  // after more steps than the file could hold entries.
  const int64_t limit = int64_t{file.Header().NextPageNo} * 4096 + 16;
  Guarded([&] {
    kura::TIndexWalker walker(file, index);
    int64_t steps = 0;
    for (bool ok = walker.First(); ok && steps < limit; ok = walker.Next(), ++steps) sink += walker.Key()[0];
    steps = 0;
    for (bool ok = walker.Last(); ok && steps < limit; ok = walker.Prev(), ++steps) sink += walker.Value();
    for (const int64_t n : {int64_t{0}, int64_t{1}, int64_t{7}, int64_t{100}})
      if (walker.SeekOrdinal(n)) sink += walker.Key()[0];
    const std::vector<uint8_t> probe(static_cast<size_t>(file.Descriptor(index).KeySize), 0x80);
    if (walker.SeekFirstNotBelow(probe.data())) sink += walker.Value();
    if (walker.SeekLastNotAbove(probe.data())) sink += walker.Value();
  });
  Guarded([&] {
    const kura::TIndexCheckResult result = kura::CheckIndexTree(file, index);
    sink += static_cast<uint64_t>(result.KeyCount) + result.Problem.size();
  });
  Guarded([&] {
    kura::TIndexTree tree(file, index);
    // A key of at least one byte; the tree refuses the index when its KeySize is bad.
    std::vector<uint8_t> key(std::max<size_t>(file.Descriptor(index).KeySize, 1), 0);
    for (int i = 0; i < 40; ++i) {
      key[0] = static_cast<uint8_t>(i * 37);
      key[key.size() - 1] = static_cast<uint8_t>(i);
      tree.Insert(key.data(), i + 1);
    }
    for (int i = 0; i < 40; i += 2) {
      key[0] = static_cast<uint8_t>(i * 37);
      key[key.size() - 1] = static_cast<uint8_t>(i);
      tree.Delete(key.data());
    }
    sink += static_cast<uint64_t>(tree.KeyCount());
  });
  gSink = gSink + sink;
}

void ReadEverything(kura::TIndexFile& file) {
  file.SetTableInfo(TableFields(), 0, 0, false);
  file.OpenIndexFile();
  Guarded([&] { file.CheckHeader(); });
  for (int index = 0; index < kura::kIndexCount; ++index) {
    if (!file.IndexInUse(index)) continue;
    WalkIndex(file, index);
  }
  Guarded([&] { gSink = gSink + file.ReadTextParameters(kura::kSysTextIndex).StopWords.size(); });
  Guarded([&] { file.FlushPages(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::RunOnMemoryFile(kName, data, size, [] {
    kura::TIndexFile file(kName, true);
    try {
      ReadEverything(file);
    } catch (const kura::EKuraEngineError&) {
    }
    file.CloseIndexFile();
  });
  return 0;
}
