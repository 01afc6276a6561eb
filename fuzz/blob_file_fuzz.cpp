// Fuzz target: a BLOB file made of arbitrary bytes is opened and every chain it can find
// is read, each block number taken as a possible start with the id that block carries.
// When the header passes its check, values are also rewritten, grown, shrunk and freed
// over the damaged chains and written back. Whatever the bytes, the engine may only
// raise its own errors; a crash, a hang, a sanitizer report or any other exception is a
// finding.
//
// Input: one byte of settings, then the file. Bit 0 of the settings byte marks the table
// encrypted; bits 1-2 choose the block size (512, 64, 1024, 128).

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kura/base/engine_error.h"
#include "kura/base/file_handler.h"
#include "kura/storage/blob_buffer.h"
#include "kura/storage/blob_file.h"

namespace {

// The bytes go to an in-memory file, so the target touches no disk.
const std::string kName = "fuzz/input.BLB";
// Enough starts to reach every block of a small file without making a run slow.
constexpr int32_t kMaxStarts = 256;

uint64_t Sink = 0;

// The id that block n carries, or false when the block cannot be had.
bool BlockId(kura::TBlobFile& file, int32_t n, int32_t& id) {
  try {
    kura::TBlockPin block(file, file.GetBlock(n));
    id = block->BlobId;
    return true;
  } catch (const kura::EKuraEngineError&) {
    return false;
  }
}

void ReadChains(kura::TBlobFile& file) {
  const int32_t last = std::min(file.BlockCount(), kMaxStarts);
  for (int32_t n = 1; n <= last; ++n) {
    int32_t id = 0;
    if (!BlockId(file, n, id)) continue;
    kura::TBlobBuffer buffer;
    buffer.FirstBlock = n;
    buffer.BlobId = id;
    try {
      file.ReadBlob(buffer);
      Sink += buffer.Length();
      if (!buffer.Data.empty()) Sink += buffer.Data.back();
    } catch (const kura::EKuraEngineError&) {
    }
  }
}

void RewriteChains(kura::TBlobFile& file, uint8_t settings) {
  const int32_t last = std::min(file.BlockCount(), 16);
  int32_t nextId = 1000;
  // A free chain from the file may hand out blocks that still belong to a value; only
  // without one (every block freed later was checked as part of its chain) must a
  // value read back exactly as written.
  const bool freeChainTrusted = file.Header().FirstFreeBlock == 0;
  const size_t sizes[] = {0, 1, 700, 3000};
  for (int32_t n = 1; n <= last; ++n) {
    int32_t id = 0;
    if (!BlockId(file, n, id)) continue;
    kura::TBlobBuffer buffer;
    buffer.FirstBlock = n;
    buffer.BlobId = id;
    const std::vector<uint8_t> value(sizes[static_cast<size_t>(n + settings) % 4], static_cast<uint8_t>(n));
    buffer.Assign(value.data(), value.size());
    try {
      if (n % 5 == 4) {
        file.FreeBlobChain(n, id, (settings & 8) != 0);
      } else {
        file.WriteBlob(buffer, nextId++);
        kura::TBlobBuffer check;
        check.FirstBlock = buffer.FirstBlock;
        check.BlobId = buffer.BlobId;
        file.ReadBlob(check);
        // What was just written reads back as written.
        if (freeChainTrusted && check.Data != value) std::abort();
      }
    } catch (const kura::EKuraEngineError&) {
    }
  }
  kura::TBlobBuffer fresh;
  const std::vector<uint8_t> value(1500, 0x5A);
  fresh.Assign(value.data(), value.size());
  try {
    file.WriteBlob(fresh, nextId++);
  } catch (const kura::EKuraEngineError&) {
  }
  file.FlushBlocks();
  file.WriteHeader();
  file.DiscardCache();
  ReadChains(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t settings = data[0];
  const bool encrypted = (settings & 1) != 0;
  const int32_t blockSizes[] = {512, 64, 1024, 128};
  const int32_t blockSize = blockSizes[(settings >> 1) & 3];
  fuzz_support::RunOnMemoryFile(kName, data + 1, size - 1, [&] {
    kura::TBlobFile file(kName, true);
    try {
      file.OpenBlobFile(blockSize, encrypted);
      bool sound = true;
      try {
        file.CheckHeader();
      } catch (const kura::EKuraEngineError&) {
        sound = false;
      }
      ReadChains(file);
      // Writing is only for files whose header passed, as a table checks it at open: a
      // header that claims blocks the file lacks would otherwise have the writer fill
      // the gap up to the claimed size.
      if (sound) RewriteChains(file, settings);
    } catch (const kura::EKuraEngineError&) {
    }
    file.CloseBlobFile();
  });
  return 0;
}
