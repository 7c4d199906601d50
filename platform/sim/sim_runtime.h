#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/runtime.h"
#include "sim/sim_runtime_sources.h"
#include "sim/sim_runtime_streams.h"
#include "sim/sim_scheduler.h"

namespace platform::sim {

// The runtime on virtual time: one scheduler behind every queue, timer and source, driven by the
// test's thread; scripted standard streams and signals. The process's end is a recorded status:
// the main loop returns, nothing more runs and the streams take nothing more.
class SimRuntime final : public Runtime {
 public:
  SimRuntime() = default;
  ~SimRuntime() override;
  SimRuntime(const SimRuntime&) = delete;
  SimRuntime& operator=(const SimRuntime&) = delete;

  Queue& mainQueue() override { return mainQueue_; }
  std::shared_ptr<Queue> makeSerialQueue(std::string label) override;
  std::shared_ptr<TimerSource> makeTimer(Queue& queue) override;
  std::shared_ptr<Source> makeSignalSource(int signalNumber, Queue& queue) override;
  std::shared_ptr<Source> makeStandardInputSource(Queue& queue) override;
  std::shared_ptr<Semaphore> makeSemaphore(long initialValue) override;
  // A task of its own on virtual time.
  void runAsyncTask(Task task) override { scheduler_->postAfter(Duration{0}, std::move(task)); }
  void ignoreSignal(int signalNumber) override;
  StandardInput& standardInput() override { return stdin_; }
  OutputStream& standardOutput() override { return stdout_; }
  OutputStream& standardError() override { return stderr_; }
  double wallClockSeconds() override { return scheduler_->wallClockSeconds(); }
  Duration monotonicNow() override { return scheduler_->now(); }
  void sleepFor(Duration duration) override { scheduler_->sleepFor(duration); }
  int runMainLoop() override { return scheduler_->runUntilQuit(); }
  void quitMainLoop(int status) override { scheduler_->quit(status); }
  void exitProcess(int status) override { scheduler_->end(status); }

  // Virtual time.
  Duration now() const { return scheduler_->now(); }
  void at(Duration absolute, Task task) { scheduler_->postAt(absolute, std::move(task)); }
  void after(Duration delay, Task task) { scheduler_->postAfter(delay, std::move(task)); }
  void advanceBy(Duration duration) { scheduler_->advanceTo(now() + duration); }
  void runUntilIdle() { scheduler_->advanceTo(now()); }
  void setWallClock(double seconds) { scheduler_->setWallClock(seconds); }

  std::optional<int> exitStatus() const { return scheduler_->exitStatus(); }

  // Standard streams.
  std::vector<std::string> stdoutLines() const { return stdout_.lines(); }
  std::string stderrText() const { return stderr_.text(); }
  std::vector<std::string> stderrLines() const { return stderr_.lines(); }
  void setStdoutBroken(bool broken) { stdout_.setBroken(broken); }
  std::size_t refusedStdoutWrites() const { return stdout_.refusedWrites(); }
  void feedStdin(std::string chunk);
  void closeStdin();
  // Standard input that is empty from the start (a file, /dev/null).
  void startWithClosedStdin() { stdin_.close(); }

  // A signal reaches the program's sources for it; with none, and not ignored, its default
  // action ends the process.
  void raiseSignal(int signalNumber);
  bool isSignalIgnored(int signalNumber) const;

 private:
  std::shared_ptr<SimEventSource> makeSource(Queue& queue);
  std::vector<std::shared_ptr<SimEventSource>> liveSources(
      const std::vector<std::pair<int, std::weak_ptr<SimEventSource>>>& sources, int key) const;

  std::shared_ptr<SimScheduler> scheduler_ = std::make_shared<SimScheduler>();
  SimQueue mainQueue_{scheduler_};
  SimOutputStream stdout_{[this] { return scheduler_->ended(); }};
  SimOutputStream stderr_{[this] { return scheduler_->ended(); }};
  SimStandardInput stdin_;

  mutable std::mutex mutex_;
  // Keyed by signal number; standard input's sources under 0.
  std::vector<std::pair<int, std::weak_ptr<SimEventSource>>> sources_;
  std::set<int> ignoredSignals_;
};

}  // namespace platform::sim
