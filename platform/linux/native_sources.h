#pragma once

#include <asio.hpp>
#include <atomic>
#include <memory>
#include <optional>

#include "linux/descriptor_input.h"
#include "linux/native_runtime.h"

namespace platform::linux_backend {

// The state a source's pending handlers share: once cancelled, nothing queued runs any more.
class SourceCore {
 public:
  void setHandler(Task handler);
  void cancel() { cancelled_ = true; }
  bool isCancelled() const { return cancelled_; }
  // Runs the handler unless cancelled; only ever called on the source's queue thread.
  void fire();

 private:
  Task handler_;
  std::mutex mutex_;
  std::atomic<bool> cancelled_{false};
};

// What every native source shares: the handler and the cancelled flag live in a core that the
// pending asynchronous waits hold on to.
template <typename Interface>
class CoreBackedSource : public Interface {
 public:
  void setHandler(Task handler) final { core_->setHandler(std::move(handler)); }

 protected:
  std::shared_ptr<SourceCore> core_ = std::make_shared<SourceCore>();
};

class AsioTimerSource final : public CoreBackedSource<TimerSource> {
 public:
  explicit AsioTimerSource(AsioQueue& queue);
  ~AsioTimerSource() override;
  void schedule(Duration firstDeadline, std::optional<Duration> interval, Duration leeway) override;
  void resume() override;
  void cancel() override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

class AsioSignalSource final : public CoreBackedSource<Source> {
 public:
  AsioSignalSource(AsioQueue& queue, int signalNumber);
  ~AsioSignalSource() override;
  void resume() override;
  void cancel() override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Fires on its queue whenever standard input has brought bytes or its end. Firings that come
// while one is still queued are merged: the handler takes everything there is.
class StandardInputSource final : public CoreBackedSource<Source> {
 public:
  StandardInputSource(AsioQueue& queue, DescriptorInput& input);
  void resume() override;
  void cancel() override { core_->cancel(); }

 private:
  AsioQueue& queue_;
  DescriptorInput& input_;
};

}  // namespace platform::linux_backend
