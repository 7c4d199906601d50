#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace zuno {

// The failure that ends a run: the error event's code and message. Thrown on the main thread only
// (other threads hand their failures to the main queue) and caught in one place, `runMain`, which
// runs the subcommand's cleanup, writes the event and ends the process with status 1.
class RunFailure : public std::exception {
 public:
  RunFailure(std::string_view code, std::string_view message) : code_(code), message_(message) {}
  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string code_;
  std::string message_;
};

// Ends the run with an error event of `code` and `message`.
[[noreturn]] inline void fail(std::string_view code, std::string_view message) {
  throw RunFailure(code, message);
}

}  // namespace zuno
