#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/error.h"

namespace zuno {

// Every failure the program's logic throws: the user-facing text goes into event messages, the
// debug text into diagnostic lines on standard error.
class DescribedError : public std::exception {
 public:
  virtual std::string description() const = 0;
  virtual std::string debugDescription() const = 0;
  const char* what() const noexcept override { return "zuno error"; }
};

// A platform failure passed through unchanged.
class PlatformFailure final : public DescribedError {
 public:
  explicit PlatformFailure(platform::Error error) : error_(std::move(error)) {}
  std::string description() const override { return error_.description; }
  std::string debugDescription() const override { return error_.debugDescription(); }
  const platform::Error& error() const { return error_; }

 private:
  platform::Error error_;
};

}  // namespace zuno
