#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/runtime.h"
#include "sim/sim_scheduler.h"

namespace platform::sim {

// Every sim queue, serial or main, feeds the one scheduler: serial order falls out of the
// scheduler's (deadline, submission) order.
class SimQueue : public Queue {
 public:
  SimQueue(std::shared_ptr<SimScheduler> scheduler, std::string label)
      : scheduler_(std::move(scheduler)), label_(std::move(label)) {}

  void async(Task task) override { scheduler_->postAfter(Duration{0}, std::move(task)); }
  void asyncAfter(Duration delay, Task task) override {
    scheduler_->postAfter(delay, std::move(task));
  }
  // Which queue a timer was made for, as tests inspect it.
  const std::string& label() const { return label_; }

  const std::shared_ptr<SimScheduler>& scheduler() const { return scheduler_; }

 private:
  std::shared_ptr<SimScheduler> scheduler_;
  std::string label_;
};

// What a test can see of a timer the code under test made.
struct SimTimerInfo {
  std::string queueLabel;
  std::optional<Duration> firstDeadline;  // absolute virtual time; unset until scheduled
  std::optional<Duration> interval;
  Duration leeway{0};
  bool resumed = false;
  bool cancelled = false;
  std::uint64_t firings = 0;
};

// A dispatch-style timer. Firings stay on the grid first + n * interval; a firing made late (by
// sleepFor or a long task) coalesces the missed ones, as the real timers do. Dropping the last
// reference cancels it.
class SimTimer : public TimerSource {
 public:
  struct State;

  SimTimer(std::shared_ptr<SimScheduler> scheduler, std::string queueLabel);
  ~SimTimer() override;

  void setHandler(Task handler) override;
  void resume() override;
  void cancel() override;
  void schedule(Duration firstDeadline, std::optional<Duration> interval, Duration leeway) override;

  std::shared_ptr<const State> state() const { return state_; }
  static SimTimerInfo describe(const State& state);

 private:
  std::shared_ptr<State> state_;
};

// A source fired by events from outside (a raised signal, a stdin chunk). Triggers that arrive
// while a firing is already queued coalesce into it, as pending signals and readable
// descriptors do. Dropping the last reference cancels it.
class SimEventSource : public Source {
 public:
  struct State;
  using Predicate = std::function<bool()>;

  // `readyToFire` is checked when a firing is about to run (skip it when false);
  // `fireOnResume` decides whether resuming fires at once.
  SimEventSource(std::shared_ptr<SimScheduler> scheduler, Predicate readyToFire,
                 Predicate fireOnResume);
  ~SimEventSource() override;

  void setHandler(Task handler) override;
  void resume() override;
  void cancel() override;

  const std::shared_ptr<State>& state() const { return state_; }
  // Queues a firing if the source is resumed, live and not already due to fire.
  static void trigger(const std::shared_ptr<State>& state);
  static bool isListening(const State& state);

 private:
  std::shared_ptr<State> state_;
};

class SimSemaphore : public Semaphore {
 public:
  SimSemaphore(std::shared_ptr<SimScheduler> scheduler, long initialValue)
      : scheduler_(std::move(scheduler)) {
    counter_.value = initialValue;
  }

  void signal() override { scheduler_->signal(counter_); }
  void wait() override { scheduler_->wait(counter_, std::nullopt); }

 private:
  std::shared_ptr<SimScheduler> scheduler_;
  SimScheduler::Counter counter_;
};

}  // namespace platform::sim
