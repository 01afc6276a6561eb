#pragma once

// Forked children for tests of behaviour between processes. A child runs a body and ends
// with _exit (no destructors of the parent's objects, no test-framework teardown in the
// child); its exit status is the body's result. What the body raises is turned into a
// status by the caller's mapping, so that the parent can tell the failures apart.

#include <sys/types.h>

#include <functional>

namespace testing_support {

// The status of a child whose body raised: `error` is the engine error code, or 0 when
// the body raised something that is not an engine error.
using TChildErrorStatus = std::function<int(int error)>;

// Forks; the child runs `body` and exits with its result, or with errorStatus(code) when
// the body raised (status 99 for anything else when errorStatus is empty, 100 + code % 100
// for an engine error). Returns the child's pid, or -1 when fork failed.
pid_t SpawnChild(const std::function<int()>& body, const TChildErrorStatus& errorStatus = {});

// Waits for the child and returns its exit status; -1 when it did not exit normally (it
// was killed, or waitpid failed). With `signal`, a child killed by a signal gives the
// signal's number there (0 when it exited).
int WaitChild(pid_t child, int* signal = nullptr);

}  // namespace testing_support
