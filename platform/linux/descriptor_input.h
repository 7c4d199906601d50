#pragma once

#include <functional>
#include <memory>

#include "platform/runtime.h"

namespace platform::linux_backend {

// Standard input, read by a thread of its own with ordinary blocking reads.
//
// Not a non-blocking descriptor on the event loop: O_NONBLOCK belongs to the open file
// description, which the parent shares (its end of a pipe or socket pair, or the terminal of
// whoever runs the program by hand), so setting it would change the parent's descriptor under it
// and leave it changed after the end. A reader thread needs no flag, never mistakes "nothing
// yet" for the end, and treats every kind of input alike: pipes, sockets, terminals, regular
// files and /dev/null, which epoll cannot all watch.
class DescriptorInput final : public StandardInput {
 public:
  // What is read but not yet taken; the reader waits while this much is, so input that arrives
  // faster than it is used (a large file on standard input) never fills memory.
  static constexpr std::size_t kMostPending = 64 * 1024;

  explicit DescriptorInput(int fd = 0);

  StandardInputRead readAvailable() override;
  // Starts the reader on the first call. `ready` runs on the reader thread each time bytes or
  // the end arrive, and at once if they already have; a later call replaces it.
  void watch(std::function<void()> ready);

  struct State;

 private:
  // Shared with the reader thread, which is never joined: it may block in read() until the
  // process ends.
  std::shared_ptr<State> state_;
};

}  // namespace platform::linux_backend
