#include "testing/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <exception>

#include "kura/base/engine_error.h"

namespace testing_support {

pid_t SpawnChild(const std::function<int()>& body, const TChildErrorStatus& errorStatus) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  int status = 0;
  try {
    status = body();
  } catch (const kura::EKuraEngineError& error) {
    status = errorStatus ? errorStatus(error.ErrorCode) : 100 + error.ErrorCode % 100;
  } catch (const std::exception&) {
    status = errorStatus ? errorStatus(0) : 99;
  }
  ::_exit(status);
}

int WaitChild(pid_t child, int* signal) {
  if (signal) *signal = 0;
  int status = 0;
  if (child <= 0 || ::waitpid(child, &status, 0) != child) return -1;
  if (WIFSIGNALED(status) && signal) *signal = WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_support
