#include "linux/queued_output.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace platform::linux_backend {

namespace {

struct QueuedLine {
  std::string bytes;
  bool droppable = false;
  std::uint64_t sequence = 0;
};

constexpr std::chrono::seconds kGraceAtDestruction{2};

// One logical write: continued after partial writes and interruptions. A descriptor the parent
// made non-blocking is waited on rather than spun on. False when the reader is gone (or the
// descriptor cannot be written at all).
bool writeWhole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd writable{fd, POLLOUT, 0};
      ::poll(&writable, 1, -1);
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

struct QueuedOutput::State {
  State(int fd, std::size_t budget) : fd(fd), budget(budget) {}

  const int fd;
  const std::size_t budget;
  std::mutex mutex;
  std::condition_variable lineQueued;  // the writer waits here
  std::condition_variable progressed;  // a line written, the reader gone, the writer done
  std::deque<QueuedLine> lines;
  std::size_t queuedBytes = 0;
  bool writing = false;  // a line taken off the queue is on its way
  bool readerGone = false;
  // Lines are numbered as they are queued; the writer records the last one it delivered.
  std::uint64_t lastQueued = 0;
  std::uint64_t lastDelivered = 0;
  bool closing = false;
  bool writerDone = false;

  // Sheds droppable lines, oldest first, until `incoming` more bytes fit the budget or none is
  // left to shed. Called with the mutex held.
  void makeRoomFor(std::size_t incoming) {
    auto next = lines.begin();
    while (queuedBytes + incoming > budget) {
      next = std::find_if(next, lines.end(), [](const QueuedLine& line) { return line.droppable; });
      if (next == lines.end()) return;
      queuedBytes -= next->bytes.size();
      next = lines.erase(next);
    }
  }

  // The queued line's number (0 when nothing was queued), or none when the reader is gone.
  std::optional<std::uint64_t> enqueue(std::string_view bytes, bool droppable) {
    std::uint64_t sequence = 0;
    {
      std::lock_guard guard(mutex);
      if (readerGone) return std::nullopt;
      if (bytes.empty()) return 0;
      makeRoomFor(bytes.size());
      // A level report that does not fit is superseded a moment later anyway.
      if (droppable && queuedBytes + bytes.size() > budget) return 0;
      sequence = ++lastQueued;
      lines.push_back(QueuedLine{std::string(bytes), droppable, sequence});
      queuedBytes += bytes.size();
    }
    lineQueued.notify_one();
    return sequence;
  }

  void runWriter() {
    std::unique_lock guard(mutex);
    while (true) {
      lineQueued.wait(guard, [this] { return !lines.empty() || closing; });
      if (lines.empty()) break;
      QueuedLine line = std::move(lines.front());
      lines.pop_front();
      queuedBytes -= line.bytes.size();
      writing = true;
      guard.unlock();
      const bool delivered = writeWhole(fd, line.bytes);
      guard.lock();
      writing = false;
      if (delivered) lastDelivered = line.sequence;
      if (!delivered) {
        // Nobody will read again: what is queued and what comes later is dropped quietly.
        readerGone = true;
        lines.clear();
        queuedBytes = 0;
      }
      progressed.notify_all();
      if (readerGone) break;
    }
    writerDone = true;
    progressed.notify_all();
  }
};

QueuedOutput::QueuedOutput(int fd, std::size_t droppableBudget)
    : state_(std::make_shared<State>(fd, droppableBudget)) {
  // The writer blocks every signal: SIGTERM and SIGINT reach the threads that handle them, its
  // writes are not cut short, and a broken pipe's SIGPIPE stays pending on this thread instead
  // of ending the process, leaving write to report EPIPE.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  writer_ = std::thread([state = state_] { state->runWriter(); });
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

QueuedOutput::~QueuedOutput() {
  {
    std::lock_guard guard(state_->mutex);
    state_->closing = true;
  }
  state_->lineQueued.notify_one();
  bool finished = false;
  {
    std::unique_lock guard(state_->mutex);
    finished = state_->progressed.wait_for(guard, kGraceAtDestruction,
                                           [this] { return state_->writerDone; });
  }
  // A writer still blocked on a reader that does not read holds the state itself; it ends with
  // the process.
  if (finished) {
    writer_.join();
  } else {
    writer_.detach();
  }
}

bool QueuedOutput::writeAll(std::string_view bytes) {
  return state_->enqueue(bytes, false).has_value();
}

bool QueuedOutput::writeDroppable(std::string_view bytes) {
  return state_->enqueue(bytes, true).has_value();
}

bool QueuedOutput::writeAllAndWait(std::string_view bytes) {
  const auto sequence = state_->enqueue(bytes, false);
  if (!sequence) return false;
  std::unique_lock guard(state_->mutex);
  state_->progressed.wait(guard,
                          [&] { return state_->readerGone || state_->lastDelivered >= *sequence; });
  return state_->lastDelivered >= *sequence;
}

bool QueuedOutput::drainUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock guard(state_->mutex);
  return state_->progressed.wait_until(guard, deadline, [this] {
    return state_->readerGone || (state_->lines.empty() && !state_->writing);
  });
}

}  // namespace platform::linux_backend
