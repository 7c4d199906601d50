#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zuno {

// Splits what arrives on standard input into command lines. Input without a line feed waits for
// more, but only up to `kMaxPendingBytes`: the parent sends one-word commands, so anything
// longer was never a command and is discarded up to its line feed rather than kept forever.
class CommandLines {
 public:
  static constexpr std::size_t kMaxPendingBytes = 64 * 1024;

  void append(std::string_view bytes);
  // The next complete line without its line feed, or none until more input arrives.
  std::optional<std::string> nextLine();

 private:
  std::string pending_;
  bool discardingLongLine_ = false;
};

// The command word of a line: valid UTF-8 trimmed of white space and line breaks at both ends;
// none for a line that is not valid UTF-8.
std::optional<std::string> commandWord(std::string_view line);

}  // namespace zuno
