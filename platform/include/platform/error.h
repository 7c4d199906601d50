#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace platform {

// A platform failure as the protocol needs it: event messages carry `description`, diagnostic
// lines on standard error carry `debugDescription`.
struct Error {
  std::string domain;
  long code = 0;
  std::string description;

  std::string debugDescription() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + description + "\"";
  }
};

// The value of a platform call that can fail: either a T or the Error that prevented it.
template <typename T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Result(Error error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// Status-style result of a call that yields nothing on success.
using MaybeError = std::optional<Error>;

}  // namespace platform
