// The one error type of refused outside input (files, options, requests); the message names the
// file, option or field and says what was expected.
#pragma once

#include <stdexcept>

namespace kelvra::hostkit {

class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kelvra::hostkit
