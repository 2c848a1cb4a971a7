// The one C++ exception of the project: it marks states that correct input cannot reach.
// Every entry point from Python catches it (and std::bad_alloc) and raises a Python exception.
#pragma once

#include <stdexcept>
#include <string>

namespace quorvex {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace quorvex
