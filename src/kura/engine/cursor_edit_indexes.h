#pragma once

// What a cursor's updates need of every regular index, made once and reused: key
// builders, trees, walkers for the unique checks and the key buffers, so that an append
// or change allocates nothing for its keys. Rebuilt when any index definition changes.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "kura/storage/index_file.h"
#include "kura/storage/index_key.h"
#include "kura/storage/index_tree.h"
#include "kura/storage/index_walker.h"

namespace kura {

struct TCursorEditIndexes {
  static constexpr int kCount = kMaxSecondaryIndexes + 1;
  // The descriptors the members were made for; an index not in use has KeySize 0.
  std::array<TIndexDescriptor, kCount> Descriptors{};
  std::array<bool, kCount> InUse{};
  // One past the highest index in use: loops over the indexes stop here (most tables use
  // two or three of the 31).
  int Limit = 0;
  std::array<std::unique_ptr<TIndexKeyBuilder>, kCount> Builders;
  std::array<std::unique_ptr<TIndexTree>, kCount> Trees;
  std::array<std::unique_ptr<TIndexWalker>, kCount> Walkers;
  std::unique_ptr<TIndexTree> Records;
  std::unique_ptr<TIndexWalker> RecordsWalker;
  // Keys of the new image and of the stored one; empty for an index not in use (and so
  // for every index from Limit on).
  std::vector<std::vector<uint8_t>> Keys = std::vector<std::vector<uint8_t>>(kCount);
  std::vector<std::vector<uint8_t>> OldKeys = std::vector<std::vector<uint8_t>>(kCount);
};

}  // namespace kura
