#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>
#include <thread>

#include "platform/output_stream.h"

namespace platform::linux_backend {

// Standard output or error for a parent that may stop reading for a while: a write only queues
// the line, and a writer thread of this stream hands the lines to the descriptor as the reader
// drains the pipe, so the main thread keeps answering "stop" and signals whatever the parent
// does. Each line goes out whole in one logical write, continued after partial writes; lines
// keep their order, and only droppable ones are ever given up while the reader is alive.
//
// A thread doing ordinary blocking writes rather than a non-blocking descriptor on the event
// loop: O_NONBLOCK belongs to the open file description, which the parent shares (made
// non-blocking, the parent's own terminal or pipe would change under it), and the last lines
// must still drain when the process ends from a thread other than the main one, or when the
// event loop no longer runs.
class QueuedOutput final : public OutputStream {
 public:
  // Levels arrive five times a second; 16 KiB keeps about two minutes of them for a reader that
  // comes back, and older ones are of no use to it.
  static constexpr std::size_t kDefaultDroppableBudget = 16 * 1024;

  // `droppableBudget`: queued bytes beyond which droppable lines are shed, oldest first.
  // Ordinary lines are never shed, whatever the queue holds.
  explicit QueuedOutput(int fd, std::size_t droppableBudget = kDefaultDroppableBudget);
  // Gives the queue up to two seconds to drain, then leaves the writer to the process's end.
  ~QueuedOutput() override;

  QueuedOutput(const QueuedOutput&) = delete;
  QueuedOutput& operator=(const QueuedOutput&) = delete;

  // True when queued; false once the reader is known to be gone (the line is dropped).
  bool writeAll(std::string_view bytes) override;
  bool writeDroppable(std::string_view bytes) override;
  // Waits behind the lines queued before it, for as long as the reader takes.
  bool writeAllAndWait(std::string_view bytes) override;

  // Waits until every queued line is written or the reader is gone (true), or `deadline`
  // passes (false).
  bool drainUntil(std::chrono::steady_clock::time_point deadline);

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::thread writer_;
};

}  // namespace platform::linux_backend
