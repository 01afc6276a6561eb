#pragma once

// The read lock an operation takes for its own duration: a holder that takes the table's
// read lock unless the table needs none (LockFree) or already holds it, and gives back
// exactly what it took when its scope ends. On the failure path an error of that release
// is dropped in favour of the one in flight (scope_guard.h); on the normal path it
// reaches the caller.

#include "kura/base/scope_guard.h"
#include "kura/engine/data_table.h"

namespace kura {

class TTableReadLock {
public:
  // Raises what TDataTable::ReadLock raises (nothing is held then).
  explicit TTableReadLock(TDataTable& table)
      : FTable(table),
        FTaken(!table.LockFree() && !table.HasReadLock()),
        FChanged(FTaken && table.ReadLock()),
        FRelease(TRelease{&table}) {
    if (!FTaken) FRelease.Dismiss();
  }
  TTableReadLock(const TTableReadLock&) = delete;
  TTableReadLock& operator=(const TTableReadLock&) = delete;

  // The lock was taken here (and is released by this holder).
  bool Taken() const { return FTaken; }
  // Taking it found another writer's change (what ReadLock returned); false when not taken.
  bool Changed() const { return FChanged; }

  // Releases now what was taken here; raises what TDataTable::ReadUnlock raises.
  void Release() {
    if (!FTaken) return;
    FTaken = false;
    FRelease.Dismiss();
    FTable.ReadUnlock();
  }

private:
  struct TRelease {
    TDataTable* Table;
    void operator()() const { Table->ReadUnlock(); }
  };
  // Declared in this order: the lock is taken before the release is armed.
  TDataTable& FTable;
  bool FTaken;
  bool FChanged;
  TScopeExit<TRelease> FRelease;
};

}  // namespace kura
