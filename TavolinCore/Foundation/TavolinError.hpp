#pragma once

#include <exception>
#include <string>

namespace tavolin {

// Base of every error enumeration of the system. `description()` is the text shown to the
// local user; reason codes toward controllers are chosen by the caller, not here.
class TavolinError : public std::exception {
 public:
  explicit TavolinError(std::string description) : description_(std::move(description)) {}

  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

}  // namespace tavolin
