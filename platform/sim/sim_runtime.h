#pragma once

#include <functional>
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

// Runs `body` and returns the status it ended the process with, or nullopt if it returned.
std::optional<int> runToExit(const std::function<void()>& body);

// The runtime on virtual time: one deterministic scheduler behind every queue, timer and
// source, scripted standard streams and signals, and exit as an exception.
class SimRuntime : public Runtime {
 public:
  SimRuntime();
  ~SimRuntime() override;
  SimRuntime(const SimRuntime&) = delete;
  SimRuntime& operator=(const SimRuntime&) = delete;

  // Runtime
  Queue& mainQueue() override { return *mainQueue_; }
  std::shared_ptr<Queue> makeSerialQueue(std::string label) override;
  std::shared_ptr<TimerSource> makeTimer(Queue& queue) override;
  std::shared_ptr<Source> makeSignalSource(int signalNumber, Queue& queue) override;
  std::shared_ptr<Source> makeStandardInputSource(Queue& queue) override;
  std::shared_ptr<Semaphore> makeSemaphore(long initialValue) override;
  void runAsyncTask(Task task) override;
  void ignoreSignal(int signalNumber) override;
  StandardInput& standardInput() override { return stdin_; }
  OutputStream& standardOutput() override { return stdout_; }
  OutputStream& standardError() override { return stderr_; }
  double wallClockSeconds() override { return scheduler_->wallClockSeconds(); }
  Duration monotonicNow() override { return scheduler_->now(); }
  void sleepFor(Duration duration) override { scheduler_->sleepFor(duration); }
  void runMainLoop() override;
  [[noreturn]] void exitProcess(int status) override;

  // Driving virtual time
  Duration now() const { return scheduler_->now(); }
  void advanceBy(Duration duration) { scheduler_->advanceTo(now() + duration); }
  void advanceTo(Duration absolute) { scheduler_->advanceTo(absolute); }
  void runUntilIdle() { scheduler_->runUntilIdle(); }
  void at(Duration absolute, Task task) { scheduler_->postAt(absolute, std::move(task)); }
  void after(Duration delay, Task task) { scheduler_->postAfter(delay, std::move(task)); }
  std::size_t pendingTaskCount() const { return scheduler_->pendingTaskCount(); }
  void setMainLoopLimit(std::optional<Duration> absolute);
  void setMainLoopReturnsImmediately(bool returnsImmediately);
  void setWallClock(double seconds) { scheduler_->setWallClock(seconds); }
  // Real time a wait may block with nothing scheduled before it throws SimDeadlock.
  void setDeadlockTimeout(std::chrono::milliseconds timeout);

  // Exit
  std::optional<int> exitStatus() const { return scheduler_->exitStatus(); }
  std::optional<int> exitSignal() const { return scheduler_->exitSignal(); }

  // Standard streams
  std::vector<std::string> stdoutWrites() const { return stdout_.writes(); }
  std::string stdoutText() const { return stdout_.text(); }
  std::vector<std::string> stdoutLines() const { return stdout_.lines(); }
  std::vector<std::string> stderrWrites() const { return stderr_.writes(); }
  std::string stderrText() const { return stderr_.text(); }
  std::vector<std::string> stderrLines() const { return stderr_.lines(); }
  void setStdoutBroken(bool broken) { stdout_.setBroken(broken); }
  void setStderrBroken(bool broken) { stderr_.setBroken(broken); }
  std::size_t refusedStdoutWrites() const { return stdout_.refusedWrites(); }
  // A write to a pipe whose reader has gone raises SIGPIPE; off by default.
  void setBrokenStreamsRaiseSigpipe(bool raise);

  // Standard input
  void feedStdin(std::string chunk);
  void closeStdin();
  void startWithClosedStdin();

  // Signals
  void raiseSignal(int signalNumber);
  bool isSignalIgnored(int signalNumber) const;
  bool hasSignalSource(int signalNumber) const;

  // Asynchronous tasks
  void setAsyncTasksOnRealThreads(bool onRealThreads);

  // Inspection
  std::vector<std::string> serialQueueLabels() const;
  std::vector<SimTimerInfo> timers() const;

 private:
  void triggerStdinSources();

  std::shared_ptr<SimScheduler> scheduler_ = std::make_shared<SimScheduler>();
  std::shared_ptr<SimQueue> mainQueue_ = std::make_shared<SimQueue>(scheduler_, "main");
  SimOutputStream stdout_;
  SimOutputStream stderr_;
  SimStandardInput stdin_;

  mutable std::mutex mutex_;
  std::vector<std::string> serialQueueLabels_;
  std::vector<std::weak_ptr<const SimTimer::State>> timers_;
  std::vector<std::pair<int, std::weak_ptr<SimEventSource::State>>> signalSources_;
  std::vector<std::weak_ptr<SimEventSource::State>> stdinSources_;
  std::set<int> ignoredSignals_;
  std::optional<Duration> mainLoopLimit_;
  bool mainLoopReturnsImmediately_ = false;
  bool asyncTasksOnRealThreads_ = false;
};

}  // namespace platform::sim
