#include "sim/sim_scheduler.h"

#include <algorithm>
#include <utility>

namespace platform::sim {

namespace {

// std heap functions build a max-heap; "later" as the ordering puts the earliest entry in front.
template <typename Entry>
bool runsLater(const Entry& a, const Entry& b) {
  if (a.deadline != b.deadline) return a.deadline > b.deadline;
  return a.sequence > b.sequence;
}

}  // namespace

// Marks the calling thread as the one running scheduler tasks, so a semaphore wait made from
// inside a task keeps the simulation going instead of blocking it.
class SimScheduler::DrivingScope {
 public:
  explicit DrivingScope(SimScheduler& scheduler) : scheduler_(scheduler) {
    std::lock_guard lock(scheduler_.mutex_);
    if (scheduler_.driver_ == std::thread::id()) {
      scheduler_.driver_ = std::this_thread::get_id();
      outermost_ = true;
    }
  }
  ~DrivingScope() {
    if (!outermost_) return;
    std::lock_guard lock(scheduler_.mutex_);
    scheduler_.driver_ = std::thread::id();
  }
  DrivingScope(const DrivingScope&) = delete;
  DrivingScope& operator=(const DrivingScope&) = delete;

 private:
  SimScheduler& scheduler_;
  bool outermost_ = false;
};

SimScheduler::SimScheduler() : owner_(std::this_thread::get_id()) {}

SimScheduler::~SimScheduler() {
  shutdown();
}

void SimScheduler::postAt(Duration deadline, Task task) {
  {
    std::lock_guard lock(mutex_);
    if (!accepting_) return;  // the task dies after the lock is released, with the parameter
    entries_.push_back(Entry{deadline, nextSequence_++, std::move(task)});
    std::push_heap(entries_.begin(), entries_.end(), runsLater<Entry>);
    ++generation_;
  }
  changed_.notify_all();
}

void SimScheduler::postAfter(Duration delay, Task task) {
  Duration deadline;
  {
    std::lock_guard lock(mutex_);
    deadline = now_ + delay;
  }
  postAt(deadline, std::move(task));
}

Duration SimScheduler::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void SimScheduler::setNowLocked(Duration now) {
  if (now <= now_) return;
  now_ = now;
  ++generation_;
}

void SimScheduler::sleepFor(Duration duration) {
  {
    std::lock_guard lock(mutex_);
    setNowLocked(now_ + duration);
  }
  changed_.notify_all();
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

bool SimScheduler::isDrivingThreadLocked() const {
  auto self = std::this_thread::get_id();
  if (driver_ != std::thread::id()) return self == driver_;
  return self == owner_;
}

void SimScheduler::throwPendingLocked(Lock& lock) {
  if (pendingFailure_) {
    auto failure = std::exchange(pendingFailure_, nullptr);
    lock.unlock();
    std::rethrow_exception(failure);
  }
  if (pendingExit_) {
    auto exit = *std::exchange(pendingExit_, std::nullopt);
    lock.unlock();
    throw exit;
  }
}

std::optional<Task> SimScheduler::popDueLocked(Duration limit) {
  if (entries_.empty() || entries_.front().deadline > limit) return std::nullopt;
  std::pop_heap(entries_.begin(), entries_.end(), runsLater<Entry>);
  Entry entry = std::move(entries_.back());
  entries_.pop_back();
  setNowLocked(entry.deadline);
  return std::move(entry.task);
}

bool SimScheduler::runNextDue(Duration limit) {
  std::optional<Task> task;
  {
    Lock lock(mutex_);
    throwPendingLocked(lock);
    task = popDueLocked(limit);
  }
  if (!task) return false;
  changed_.notify_all();
  (*task)();
  return true;
}

void SimScheduler::advanceTo(Duration deadline) {
  DrivingScope scope(*this);
  while (runNextDue(deadline)) {
  }
  {
    std::lock_guard lock(mutex_);
    setNowLocked(deadline);
  }
  changed_.notify_all();
}

void SimScheduler::runUntilIdle() {
  DrivingScope scope(*this);
  while (runNextDue(now())) {
  }
}

void SimScheduler::runUntil(std::optional<Duration> limit) {
  DrivingScope scope(*this);
  const Duration last = limit.value_or(Duration::max());
  for (;;) {
    if (runNextDue(last)) continue;
    Lock lock(mutex_);
    throwPendingLocked(lock);
    if (!entries_.empty()) {
      if (entries_.front().deadline <= last) continue;  // posted by a real thread meanwhile
      setNowLocked(last);
      return;
    }
    if (realThreadsRunning_ == 0) return;
    auto seen = generation_;
    if (!changed_.wait_for(lock, deadlockTimeout_, [&] { return generation_ != seen; })) {
      throw SimDeadlock("main loop: real threads still running but nothing happened");
    }
  }
}

std::size_t SimScheduler::pendingTaskCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void SimScheduler::signal(Counter& counter) {
  {
    std::lock_guard lock(mutex_);
    ++counter.value;
    ++generation_;
  }
  changed_.notify_all();
}

bool SimScheduler::wait(Counter& counter, std::optional<Duration> timeout) {
  bool driving;
  {
    std::lock_guard lock(mutex_);
    driving = isDrivingThreadLocked();
  }
  return driving ? waitWhileDriving(counter, timeout) : waitFromOtherThread(counter, timeout);
}

bool SimScheduler::waitWhileDriving(Counter& counter, std::optional<Duration> timeout) {
  DrivingScope scope(*this);
  Lock lock(mutex_);
  const bool bounded = timeout.has_value();
  const Duration deadline = bounded ? now_ + *timeout : Duration::max();
  for (;;) {
    throwPendingLocked(lock);
    if (counter.value > 0) {
      --counter.value;
      return true;
    }
    if (auto task = popDueLocked(deadline)) {
      lock.unlock();
      changed_.notify_all();
      (*task)();
      lock.lock();
      continue;
    }
    // Nothing virtual can happen before the deadline; only a real thread could still signal.
    if (bounded && realThreadsRunning_ == 0) {
      setNowLocked(deadline);
      return false;
    }
    auto seen = generation_;
    if (!changed_.wait_for(lock, deadlockTimeout_, [&] { return generation_ != seen; })) {
      throw SimDeadlock("semaphore wait: nothing scheduled and no signal arrived");
    }
  }
}

bool SimScheduler::waitFromOtherThread(Counter& counter, std::optional<Duration> timeout) {
  Lock lock(mutex_);
  const bool bounded = timeout.has_value();
  const Duration deadline = bounded ? now_ + *timeout : Duration::max();
  auto finished = [&] {
    return counter.value > 0 || exited_ || shuttingDown_ || (bounded && now_ >= deadline);
  };
  if (!changed_.wait_for(lock, deadlockTimeout_, finished)) {
    throw SimDeadlock("semaphore wait on a real thread: no signal arrived");
  }
  if (counter.value > 0) {
    --counter.value;
    return true;
  }
  if (exited_ || shuttingDown_) {
    // The process is gone; the thread must unwind so it can be joined.
    throw SimProcessExit{exitStatus_.value_or(0), exitSignal_.value_or(0)};
  }
  return false;
}

void SimScheduler::exitProcess(int status, int signal) {
  {
    std::lock_guard lock(mutex_);
    if (!exitStatus_) {
      exitStatus_ = status;
      exitSignal_ = signal;
    }
    exited_ = true;
    if (!isDrivingThreadLocked() && !pendingExit_) pendingExit_ = SimProcessExit{status, signal};
    ++generation_;
  }
  changed_.notify_all();
  throw SimProcessExit{status, signal};
}

std::optional<int> SimScheduler::exitStatus() const {
  std::lock_guard lock(mutex_);
  return exitStatus_;
}

std::optional<int> SimScheduler::exitSignal() const {
  std::lock_guard lock(mutex_);
  return exitSignal_;
}

void SimScheduler::runOnRealThread(Task task) {
  {
    std::lock_guard lock(mutex_);
    ++realThreadsRunning_;
  }
  std::lock_guard threadsLock(threadsMutex_);
  threads_.emplace_back([this, task = std::move(task)] {
    try {
      task();
    } catch (const SimProcessExit&) {
      // Already recorded by exitProcess, and queued for the driving thread.
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!pendingFailure_) pendingFailure_ = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      --realThreadsRunning_;
      ++generation_;
    }
    changed_.notify_all();
  });
}

void SimScheduler::setDeadlockTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard lock(mutex_);
  deadlockTimeout_ = timeout;
}

void SimScheduler::shutdown() {
  {
    std::lock_guard lock(mutex_);
    shuttingDown_ = true;
    ++generation_;
  }
  changed_.notify_all();
  // A joined thread may have started another one; keep going until none is left.
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard threadsLock(threadsMutex_);
      threads.swap(threads_);
    }
    if (threads.empty()) break;
    for (auto& thread : threads) thread.join();
  }
  std::vector<Entry> dropped;
  {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    dropped.swap(entries_);
  }
  // `dropped` is destroyed here, outside the lock: tasks may own objects that call back in.
}

}  // namespace platform::sim
