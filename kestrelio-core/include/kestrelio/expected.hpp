#pragma once

#include <utility>
#include <variant>

#include "kestrelio/io_error.hpp"

namespace kestrelio {

// A value or the IoError that prevented it.
template <class T>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(IoError error) : v_(std::in_place_index<1>, error) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const IoError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, IoError> v_;
};

}  // namespace kestrelio
