#include "linux/native_sources.h"

#include <sys/stat.h>
#include <unistd.h>

namespace platform::linux_backend {

void SourceCore::setHandler(Task handler) {
  std::lock_guard guard(mutex_);
  handler_ = std::move(handler);
}

void SourceCore::fire() {
  if (cancelled_) return;
  Task handler;
  {
    std::lock_guard guard(mutex_);
    handler = handler_;
  }
  if (handler) handler();
}

// Timers --------------------------------------------------------------------------------------

struct AsioTimerSource::State {
  explicit State(AsioQueue& queue) : timer(queue.context()) {}
  asio::steady_timer timer;
  std::optional<std::chrono::steady_clock::time_point> next;
  std::optional<Duration> interval;
  bool resumed = false;
};

namespace {

void armTimer(const std::shared_ptr<AsioTimerSource::State>& state,
              const std::shared_ptr<SourceCore>& core);

}  // namespace

AsioTimerSource::AsioTimerSource(AsioQueue& queue) : state_(std::make_shared<State>(queue)) {}

AsioTimerSource::~AsioTimerSource() {
  cancel();
}

void AsioTimerSource::schedule(Duration firstDeadline, std::optional<Duration> interval, Duration) {
  state_->next = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(firstDeadline);
  state_->interval = interval;
  if (state_->resumed) armTimer(state_, core_);
}

void AsioTimerSource::resume() {
  if (state_->resumed) return;
  state_->resumed = true;
  if (state_->next) armTimer(state_, core_);
}

void AsioTimerSource::cancel() {
  core_->cancel();
  // Handlers already queued see the flag; the pending wait is dropped on the queue's thread,
  // where the timer object is used.
  asio::post(state_->timer.get_executor(), [state = state_] { state->timer.cancel(); });
}

namespace {

void armTimer(const std::shared_ptr<AsioTimerSource::State>& state,
              const std::shared_ptr<SourceCore>& core) {
  state->timer.expires_at(*state->next);
  state->timer.async_wait([state, core](const asio::error_code& error) {
    if (error || core->isCancelled()) return;
    core->fire();
    if (!state->interval || core->isCancelled()) return;
    // Keep the cadence; a handler that ran late coalesces the firings it missed.
    const auto now = std::chrono::steady_clock::now();
    const auto step =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(*state->interval);
    do {
      *state->next += step;
    } while (*state->next <= now && step.count() > 0);
    armTimer(state, core);
  });
}

}  // namespace

// Signals -------------------------------------------------------------------------------------

struct AsioSignalSource::State {
  State(AsioQueue& queue, int signalNumber)
      : signals(queue.context()), signalNumber(signalNumber) {}
  asio::signal_set signals;
  int signalNumber;
};

namespace {

void waitForSignal(const std::shared_ptr<AsioSignalSource::State>& state,
                   const std::shared_ptr<SourceCore>& core) {
  state->signals.async_wait([state, core](const asio::error_code& error, int) {
    if (error || core->isCancelled()) return;
    core->fire();
    waitForSignal(state, core);
  });
}

}  // namespace

AsioSignalSource::AsioSignalSource(AsioQueue& queue, int signalNumber)
    : state_(std::make_shared<State>(queue, signalNumber)) {}

AsioSignalSource::~AsioSignalSource() {
  cancel();
}

void AsioSignalSource::resume() {
  state_->signals.add(state_->signalNumber);
  waitForSignal(state_, core_);
}

void AsioSignalSource::cancel() {
  core_->cancel();
  asio::post(state_->signals.get_executor(), [state = state_] { state->signals.cancel(); });
}

// Standard input ------------------------------------------------------------------------------

struct StandardInputSource::State {
  explicit State(AsioQueue& queue) : queue(queue), descriptor(queue.context()) {}
  AsioQueue& queue;
  asio::posix::stream_descriptor descriptor;
  bool alwaysReady = false;
};

namespace {

// epoll refuses regular files and /dev/null; a closed descriptor cannot be watched at all.
bool watchable(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) return false;
  if (S_ISCHR(info.st_mode) && !::isatty(fd)) return false;
  return true;
}

void waitForInput(const std::shared_ptr<StandardInputSource::State>& state,
                  const std::shared_ptr<SourceCore>& core) {
  if (core->isCancelled()) return;
  if (state->alwaysReady) {
    asio::post(state->queue.context(), [state, core] {
      if (core->isCancelled()) return;
      core->fire();
      waitForInput(state, core);
    });
    return;
  }
  state->descriptor.async_wait(
      asio::posix::descriptor_base::wait_read, [state, core](const asio::error_code& error) {
        if (error == asio::error::operation_aborted || core->isCancelled()) return;
        if (error) state->alwaysReady = true;  // the reactor cannot watch it after all
        if (!error) core->fire();
        waitForInput(state, core);
      });
}

}  // namespace

StandardInputSource::StandardInputSource(AsioQueue& queue)
    : state_(std::make_shared<State>(queue)) {}

StandardInputSource::~StandardInputSource() {
  cancel();
}

void StandardInputSource::resume() {
  // Watch a duplicate so that tearing the watcher down never closes standard input itself.
  const int duplicate = watchable(0) ? ::dup(0) : -1;
  if (duplicate < 0) {
    state_->alwaysReady = true;
  } else {
    asio::error_code error;
    state_->descriptor.assign(duplicate, error);
    if (error) {
      ::close(duplicate);
      state_->alwaysReady = true;
    }
  }
  waitForInput(state_, core_);
}

void StandardInputSource::cancel() {
  core_->cancel();
  asio::post(state_->queue.context(), [state = state_] {
    asio::error_code ignored;
    state->descriptor.cancel(ignored);
  });
}

}  // namespace platform::linux_backend
