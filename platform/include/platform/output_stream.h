#pragma once

#include <string_view>

namespace platform {

// Standard output or standard error. `writeAll` hands the bytes to the descriptor as one
// request, continuing after partial writes and interruptions, so a line is never cut; it returns
// false when the stream refused them (for example, the reader has gone).
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  virtual bool writeAll(std::string_view bytes) = 0;
};

}  // namespace platform
