#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/runtime.h"

namespace platform::sim {

// Thrown by `exitProcess` and by a signal's default action. Deliberately not a std::exception,
// so a `catch (const std::exception&)` in the code under test cannot swallow the end of the
// process.
struct SimProcessExit {
  int status;
  int signal = 0;
};

// A wait that can never be satisfied: nothing is scheduled and no real thread signalled within
// the real-time grace period. Failing loudly beats hanging the test binary.
class SimDeadlock : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// One virtual clock and one ordered list of tasks that every sim queue, timer and source shares.
// Tasks run one at a time on whichever thread drives the scheduler; the lock is never held while
// a task runs, so tasks may post, cancel and wait freely.
class SimScheduler {
 public:
  // A semaphore's count; guarded by the scheduler's lock so one condition variable covers
  // "a signal arrived" and "a task was posted".
  struct Counter {
    long value = 0;
  };

  SimScheduler();
  SimScheduler(const SimScheduler&) = delete;
  SimScheduler& operator=(const SimScheduler&) = delete;
  ~SimScheduler();

  // Tasks with equal deadlines run in the order they were posted. A deadline in the past runs
  // next, late, without moving the clock backwards.
  void postAt(Duration deadline, Task task);
  void postAfter(Duration delay, Task task);

  Duration now() const;
  void sleepFor(Duration duration);
  double wallClockSeconds() const;
  void setWallClock(double seconds);

  void advanceTo(Duration deadline);
  void runUntilIdle();
  // Returns when no task remains (and no real thread can post one) or the next task lies past
  // `limit`, in which case the clock stops at `limit`.
  void runUntil(std::optional<Duration> limit);
  std::size_t pendingTaskCount() const;

  void signal(Counter& counter);
  // False when `timeout` of virtual time passed first.
  bool wait(Counter& counter, std::optional<Duration> timeout);

  [[noreturn]] void exitProcess(int status, int signal);
  std::optional<int> exitStatus() const;
  std::optional<int> exitSignal() const;

  void runOnRealThread(Task task);
  void setDeadlockTimeout(std::chrono::milliseconds timeout);

  // Joins real threads and drops every pending task, breaking the reference cycles that tasks
  // holding timers (which hold the scheduler) would otherwise leave behind.
  void shutdown();

 private:
  struct Entry {
    Duration deadline;
    std::uint64_t sequence;
    Task task;
  };
  using Lock = std::unique_lock<std::mutex>;

  class DrivingScope;

  bool isDrivingThreadLocked() const;
  void throwPendingLocked(Lock& lock);
  std::optional<Task> popDueLocked(Duration limit);
  bool runNextDue(Duration limit);
  bool waitWhileDriving(Counter& counter, std::optional<Duration> timeout);
  bool waitFromOtherThread(Counter& counter, std::optional<Duration> timeout);
  void setNowLocked(Duration now);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;  // a min-heap on (deadline, sequence)
  std::uint64_t nextSequence_ = 0;
  std::uint64_t generation_ = 0;  // bumped on every change a blocked waiter might care about
  Duration now_{0};
  double wallClockBase_ = 1'700'000'000.0;
  Duration wallClockSetAt_{0};

  std::thread::id owner_;
  std::thread::id driver_;
  std::chrono::milliseconds deadlockTimeout_{10'000};

  std::optional<int> exitStatus_;
  std::optional<int> exitSignal_;
  bool exited_ = false;
  std::optional<SimProcessExit> pendingExit_;  // from another thread, to rethrow on the driver
  std::exception_ptr pendingFailure_;
  bool shuttingDown_ = false;
  bool accepting_ = true;

  int realThreadsRunning_ = 0;
  std::mutex threadsMutex_;
  std::vector<std::thread> threads_;
};

}  // namespace platform::sim
