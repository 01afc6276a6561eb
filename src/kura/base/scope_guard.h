#pragma once

// Scope guards: the one way the engine undoes a half-done step when it is left early.
//
//   TScopeExit  runs its action whenever the scope ends (return or exception), unless
//               Dismiss() was called first.
//   TScopeFail  runs its action only when the scope is left by an exception, which is
//               what "catch (...) { undo; throw; }" used to say by hand.
//   Attempt     runs one of several steps that must all be tried (releasing every lock of
//               a commit, say) and keeps the first failure for the caller to raise once
//               all are done; AttemptQuietly drops what its step raises.
//
// Both are made with the helpers below, so that no template argument is written out:
//
//   auto unlock = OnScopeFail([&] { FDataFile->UnlockTableWrite(); });
//
// Contract of the action:
// - On the failure path (an exception is in flight) the first error is the one the
//   caller must see. An exception the action throws then is dropped in favour of the
//   one already travelling; everything else the action did before it threw stays done.
//   Actions should therefore be release steps that cannot usefully fail (unlocking,
//   unpinning, forgetting a buffer).
// - On the normal path (TScopeExit only) an exception from the action propagates to the
//   caller like any other error.

#include <exception>
#include <utility>

namespace kura {

// The guard behind both: `kOnlyOnFailure` says whether a normal exit skips the action.
template <class TAction, bool kOnlyOnFailure>
class TScopeGuard {
public:
  explicit TScopeGuard(TAction action) : FAction(std::move(action)), FUncaught(std::uncaught_exceptions()) {}
  TScopeGuard(const TScopeGuard&) = delete;
  TScopeGuard& operator=(const TScopeGuard&) = delete;

  ~TScopeGuard() noexcept(false) {
    if (!FActive) return;
    if (std::uncaught_exceptions() <= FUncaught) {
      if constexpr (!kOnlyOnFailure) FAction();
      return;
    }
    try {
      FAction();
    } catch (...) {
      // The error already in flight is the one to report (see the contract above).
    }
  }

  // The action will not run.
  void Dismiss() noexcept { FActive = false; }

private:
  TAction FAction;
  int FUncaught;
  bool FActive = true;
};

template <class TAction>
using TScopeExit = TScopeGuard<TAction, false>;
template <class TAction>
using TScopeFail = TScopeGuard<TAction, true>;

template <class TAction>
[[nodiscard]] TScopeExit<TAction> OnScopeExit(TAction action) {
  return TScopeExit<TAction>(std::move(action));
}

template <class TAction>
[[nodiscard]] TScopeFail<TAction> OnScopeFail(TAction action) {
  return TScopeFail<TAction>(std::move(action));
}

// Runs `step`; what it raises is kept in `failure` unless an earlier step's failure is
// already there.
template <class TStep>
void Attempt(std::exception_ptr& failure, TStep&& step) {
  try {
    step();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
}

// Runs one undo step of many after a failure: what it raises is dropped, so that the
// next step is tried and the first failure stays the one reported.
template <class TStep>
void AttemptQuietly(TStep&& step) {
  std::exception_ptr ignored;
  Attempt(ignored, std::forward<TStep>(step));
}

}  // namespace kura
