#include "linux/native_sources.h"

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

StandardInputSource::StandardInputSource(AsioQueue& queue, DescriptorInput& input)
    : queue_(queue), input_(input) {}

void StandardInputSource::resume() {
  auto queued = std::make_shared<std::atomic<bool>>(false);
  input_.watch([core = core_, queued, &context = queue_.context()] {
    if (core->isCancelled() || queued->exchange(true)) return;
    asio::post(context, [core, queued] {
      // Cleared before the handler reads, so bytes that arrive while it runs fire it again.
      queued->store(false);
      core->fire();
    });
  });
}

}  // namespace platform::linux_backend
