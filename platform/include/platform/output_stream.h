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
  // A line that may be given up when the reader falls behind (a level report, superseded by
  // the next one a moment later). Streams that never hold lines back just write it.
  virtual bool writeDroppable(std::string_view bytes) { return writeAll(bytes); }
  // Like `writeAll`, but returns only once the bytes reached the descriptor: false when they
  // could not (the reader has gone). Streams that write at once just write.
  virtual bool writeAllAndWait(std::string_view bytes) { return writeAll(bytes); }
};

}  // namespace platform
