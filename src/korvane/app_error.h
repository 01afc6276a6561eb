#pragma once

#include <stdexcept>
#include <string>

namespace korvane {

// A failure of the trainer itself (a picture or sound file that cannot be used). Like
// every error nobody handles, it reaches the application's default error box and the
// program goes on.
class EKorvaneError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

}  // namespace korvane
