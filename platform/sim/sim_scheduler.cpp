#include "sim/sim_scheduler.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace platform::sim {
namespace {

// The std heap functions build a max-heap: "later" as the order puts the earliest in front.
template <typename Entry>
bool runsLater(const Entry& a, const Entry& b) {
  if (a.deadline != b.deadline) return a.deadline > b.deadline;
  return a.sequence > b.sequence;
}

}  // namespace

void SimScheduler::postAt(Duration deadline, Task task) {
  std::lock_guard lock(mutex_);
  // Gone with the runtime: the task dies with the caller's copy.
  if (!accepting_) return;
  entries_.push_back(Entry{deadline, nextSequence_++, std::move(task)});
  std::push_heap(entries_.begin(), entries_.end(), runsLater<Entry>);
}

void SimScheduler::postAfter(Duration delay, Task task) {
  postAt(now() + delay, std::move(task));
}

Duration SimScheduler::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void SimScheduler::sleepFor(Duration duration) {
  std::lock_guard lock(mutex_);
  now_ += duration;
}

double SimScheduler::wallClockSeconds() const {
  std::lock_guard lock(mutex_);
  return wallClockBase_ + std::chrono::duration<double>(now_ - wallClockSetAt_).count();
}

void SimScheduler::setWallClock(double seconds) {
  std::lock_guard lock(mutex_);
  wallClockBase_ = seconds;
  wallClockSetAt_ = now_;
}

std::optional<Task> SimScheduler::popLocked(std::optional<Duration> limit) {
  if (exitStatus_ || entries_.empty()) return std::nullopt;
  if (limit && entries_.front().deadline > *limit) return std::nullopt;
  std::pop_heap(entries_.begin(), entries_.end(), runsLater<Entry>);
  Entry entry = std::move(entries_.back());
  entries_.pop_back();
  now_ = std::max(now_, entry.deadline);
  return std::move(entry.task);
}

void SimScheduler::advanceTo(Duration deadline) {
  for (;;) {
    std::optional<Task> task;
    {
      std::lock_guard lock(mutex_);
      task = popLocked(deadline);
      if (!task) {
        now_ = std::max(now_, deadline);
        return;
      }
    }
    (*task)();
  }
}

bool SimScheduler::runNext() {
  std::optional<Task> task;
  {
    std::lock_guard lock(mutex_);
    task = popLocked(std::nullopt);
  }
  if (!task) return false;
  (*task)();
  return true;
}

int SimScheduler::runUntilQuit() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (quitStatus_) return *quitStatus_;
      if (exitStatus_) return *exitStatus_;
    }
    // A real main loop would wait here for ever: a test that scripts no end is a broken test.
    if (!runNext()) throw std::logic_error("the main loop has nothing left that could end it");
  }
}

void SimScheduler::quit(int status) {
  std::lock_guard lock(mutex_);
  if (!quitStatus_) quitStatus_ = status;
}

void SimScheduler::end(int status) {
  std::lock_guard lock(mutex_);
  if (!exitStatus_) exitStatus_ = status;
}

bool SimScheduler::ended() const {
  std::lock_guard lock(mutex_);
  return exitStatus_.has_value();
}

std::optional<int> SimScheduler::exitStatus() const {
  std::lock_guard lock(mutex_);
  return exitStatus_;
}

void SimScheduler::shutdown() {
  std::vector<Entry> dropped;
  {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    dropped.swap(entries_);
  }
}

}  // namespace platform::sim
