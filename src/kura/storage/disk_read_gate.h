#pragma once

// What a table's data and index files ask before a cache miss reads from the disk. The
// files themselves know nothing of locks; the engine's readers install a gate for the
// duration of a read so that a read from the disk happens only when the contents of the
// disk and of the caches belong to one committed state (see data_cursor.cpp).

namespace kura {

class TDiskReadGate {
public:
  virtual ~TDiskReadGate() = default;
  // Called before a read from the disk fills a cache, after the miss was found and before
  // the cache is touched. It may raise; the file and its cache are then as they were.
  virtual void BeforeDiskRead() = 0;
};

}  // namespace kura
