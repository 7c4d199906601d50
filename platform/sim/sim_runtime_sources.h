#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/runtime.h"
#include "sim/sim_scheduler.h"

namespace platform::sim {

// Every sim queue, serial or main, feeds the one scheduler: serial order falls out of the
// scheduler's (deadline, submission) order.
class SimQueue final : public Queue {
 public:
  explicit SimQueue(std::shared_ptr<SimScheduler> scheduler) : scheduler_(std::move(scheduler)) {}
  void async(Task task) override { scheduler_->postAfter(Duration{0}, std::move(task)); }
  void asyncAfter(Duration delay, Task task) override {
    scheduler_->postAfter(delay, std::move(task));
  }

 private:
  std::shared_ptr<SimScheduler> scheduler_;
};

// A dispatch-style timer. Firings stay on the grid first + n * interval; a firing that comes
// late (after a sleep or a long task) coalesces the ones it missed, as real timers do.
class SimTimer final : public TimerSource {
 public:
  struct State;
  explicit SimTimer(std::shared_ptr<SimScheduler> scheduler);
  ~SimTimer() override;
  void setHandler(Task handler) override;
  void resume() override;
  void cancel() override;
  void schedule(Duration firstDeadline, std::optional<Duration> interval, Duration leeway) override;

 private:
  std::shared_ptr<State> state_;
};

// A source fired from outside (a raised signal, standard input that became readable). Triggers
// that come while a firing is queued merge into it, as pending signals and readable descriptors
// do.
class SimEventSource final : public Source {
 public:
  struct State;
  explicit SimEventSource(std::shared_ptr<SimScheduler> scheduler);
  ~SimEventSource() override;
  void setHandler(Task handler) override;
  // `fireNow` says whether resuming fires at once (input that is already readable).
  void resumeFiringIf(const std::function<bool()>& fireNow);
  void resume() override { resumeFiringIf(nullptr); }
  void cancel() override;
  // Queues a firing if the source listens and none is queued; false when it does not listen.
  bool trigger();

 private:
  std::shared_ptr<State> state_;
};

// A wait runs the scheduler's tasks, in virtual time, until the count is there: whatever would
// signal runs on the same thread.
class SimSemaphore final : public Semaphore {
 public:
  SimSemaphore(std::shared_ptr<SimScheduler> scheduler, long value)
      : scheduler_(std::move(scheduler)), value_(value) {}
  void signal() override;
  void wait() override;

 private:
  std::shared_ptr<SimScheduler> scheduler_;
  std::mutex mutex_;
  long value_;
};

}  // namespace platform::sim
