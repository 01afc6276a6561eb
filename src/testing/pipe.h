#pragma once

// A one-way channel between a test process and a child it forked: one byte a message.
// Tests of locks between processes use two of them to take turns.

#include <unistd.h>

#include <array>
#include <cstdint>

namespace testing_support {

class TPipe {
public:
  static constexpr uint8_t kBroken = 0xEE;  // what Receive gives when the other end is gone

  TPipe() { Ok = ::pipe(Fd.data()) == 0; }
  ~TPipe() {
    for (int fd : Fd) {
      if (fd >= 0) ::close(fd);
    }
  }
  TPipe(const TPipe&) = delete;
  TPipe& operator=(const TPipe&) = delete;

  bool Send(uint8_t value) const { return ::write(Fd[1], &value, 1) == 1; }
  uint8_t Receive() const {
    uint8_t value = kBroken;
    return ::read(Fd[0], &value, 1) == 1 ? value : kBroken;
  }

  bool Ok = false;

private:
  std::array<int, 2> Fd{-1, -1};
};

}  // namespace testing_support
