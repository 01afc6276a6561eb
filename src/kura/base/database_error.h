#pragma once

#include <stdexcept>
#include <string>

namespace kura {

// The base of every database error: the engine's, the dataset layer's. It carries the
// message text the user sees.
class EDatabaseError : public std::runtime_error {
public:
  explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kura
