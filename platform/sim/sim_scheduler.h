#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/runtime.h"

namespace platform::sim {

// One virtual clock and one ordered list of tasks behind every sim queue, timer and source. The
// test's thread drives it; real threads (the audio threads of the concurrency tests) may post.
// The process's end is a recorded status: once there, nothing more runs.
class SimScheduler {
 public:
  // Tasks with equal deadlines run in the order they were posted; a deadline in the past runs
  // next, without moving the clock backwards.
  void postAt(Duration deadline, Task task);
  void postAfter(Duration delay, Task task);

  Duration now() const;
  // Moves the clock on without running anything, as a thread that sleeps.
  void sleepFor(Duration duration);
  double wallClockSeconds() const;
  void setWallClock(double seconds);

  // Runs what falls due up to `deadline`, then sets the clock there.
  void advanceTo(Duration deadline);
  // Runs the earliest task, whenever it is due; false when there is none or the process ended.
  bool runNext();
  // The main loop: runs tasks until it is quit or the process ends; returns the quit status.
  int runUntilQuit();
  void quit(int status);

  // The first end counts: an exit, or a signal's default action.
  void end(int status);
  bool ended() const;
  std::optional<int> exitStatus() const;

  // Drops every pending task, breaking the cycles of tasks that hold what holds the scheduler.
  void shutdown();

 private:
  struct Entry {
    Duration deadline;
    std::uint64_t sequence;
    Task task;
  };
  std::optional<Task> popLocked(std::optional<Duration> limit);

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;  // a min-heap on (deadline, sequence)
  std::uint64_t nextSequence_ = 0;
  Duration now_{0};
  double wallClockBase_ = 1'700'000'000.0;
  Duration wallClockSetAt_{0};
  std::optional<int> quitStatus_;
  std::optional<int> exitStatus_;
  bool accepting_ = true;
};

}  // namespace platform::sim
