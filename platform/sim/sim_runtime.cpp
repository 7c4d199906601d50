#include "sim/sim_runtime.h"

#include <algorithm>
#include <csignal>
#include <stdexcept>

namespace platform::sim {

namespace {

const std::string& labelOf(Queue& queue) {
  // Sources made for another backend's queue would silently never fire here.
  auto* simQueue = dynamic_cast<SimQueue*>(&queue);
  if (!simQueue) throw std::invalid_argument("not a sim queue");
  return simQueue->label();
}

template <typename Weak>
void dropExpired(std::vector<Weak>& list) {
  std::erase_if(list, [](const Weak& weak) { return weak.expired(); });
}

}  // namespace

std::optional<int> runToExit(const std::function<void()>& body) {
  try {
    body();
  } catch (const SimProcessExit& exit) {
    return exit.status;
  }
  return std::nullopt;
}

SimRuntime::SimRuntime() = default;

SimRuntime::~SimRuntime() {
  scheduler_->shutdown();
}

std::shared_ptr<Queue> SimRuntime::makeSerialQueue(std::string label) {
  std::lock_guard lock(mutex_);
  serialQueueLabels_.push_back(label);
  return std::make_shared<SimQueue>(scheduler_, std::move(label));
}

std::shared_ptr<TimerSource> SimRuntime::makeTimer(Queue& queue) {
  auto timer = std::make_shared<SimTimer>(scheduler_, labelOf(queue));
  std::lock_guard lock(mutex_);
  dropExpired(timers_);
  timers_.push_back(timer->state());
  return timer;
}

std::shared_ptr<Source> SimRuntime::makeSignalSource(int signalNumber, Queue& queue) {
  labelOf(queue);
  auto source = std::make_shared<SimEventSource>(scheduler_, nullptr, nullptr);
  std::lock_guard lock(mutex_);
  std::erase_if(signalSources_, [](const auto& entry) { return entry.second.expired(); });
  signalSources_.emplace_back(signalNumber, source->state());
  return source;
}

std::shared_ptr<Source> SimRuntime::makeStandardInputSource(Queue& queue) {
  labelOf(queue);
  auto readable = [this] { return stdin_.isReadable(); };
  auto source = std::make_shared<SimEventSource>(scheduler_, readable, readable);
  std::lock_guard lock(mutex_);
  dropExpired(stdinSources_);
  stdinSources_.push_back(source->state());
  return source;
}

std::shared_ptr<Semaphore> SimRuntime::makeSemaphore(long initialValue) {
  return std::make_shared<SimSemaphore>(scheduler_, initialValue);
}

void SimRuntime::runAsyncTask(Task task) {
  bool onRealThreads;
  {
    std::lock_guard lock(mutex_);
    onRealThreads = asyncTasksOnRealThreads_;
  }
  if (onRealThreads) {
    scheduler_->runOnRealThread(std::move(task));
  } else {
    scheduler_->postAfter(Duration{0}, std::move(task));
  }
}

void SimRuntime::ignoreSignal(int signalNumber) {
  std::lock_guard lock(mutex_);
  ignoredSignals_.insert(signalNumber);
}

void SimRuntime::runMainLoop() {
  std::optional<Duration> limit;
  {
    std::lock_guard lock(mutex_);
    if (mainLoopReturnsImmediately_) return;
    limit = mainLoopLimit_;
  }
  scheduler_->runUntil(limit);
}

void SimRuntime::exitProcess(int status) {
  scheduler_->exitProcess(status, 0);
}

void SimRuntime::setMainLoopLimit(std::optional<Duration> absolute) {
  std::lock_guard lock(mutex_);
  mainLoopLimit_ = absolute;
}

void SimRuntime::setMainLoopReturnsImmediately(bool returnsImmediately) {
  std::lock_guard lock(mutex_);
  mainLoopReturnsImmediately_ = returnsImmediately;
}

void SimRuntime::setDeadlockTimeout(std::chrono::milliseconds timeout) {
  scheduler_->setDeadlockTimeout(timeout);
}

void SimRuntime::setBrokenStreamsRaiseSigpipe(bool raise) {
  std::function<void()> hook;
  if (raise) hook = [this] { raiseSignal(SIGPIPE); };
  stdout_.setOnRefusedWrite(hook);
  stderr_.setOnRefusedWrite(hook);
}

void SimRuntime::feedStdin(std::string chunk) {
  stdin_.feed(std::move(chunk));
  triggerStdinSources();
}

void SimRuntime::closeStdin() {
  stdin_.close();
  triggerStdinSources();
}

void SimRuntime::startWithClosedStdin() {
  stdin_.close();
}

void SimRuntime::triggerStdinSources() {
  std::vector<std::shared_ptr<SimEventSource::State>> sources;
  {
    std::lock_guard lock(mutex_);
    for (const auto& weak : stdinSources_) {
      if (auto source = weak.lock()) sources.push_back(std::move(source));
    }
  }
  for (const auto& source : sources) SimEventSource::trigger(source);
}

void SimRuntime::raiseSignal(int signalNumber) {
  std::vector<std::shared_ptr<SimEventSource::State>> listening;
  bool ignored;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [number, weak] : signalSources_) {
      auto source = weak.lock();
      if (number == signalNumber && source && SimEventSource::isListening(*source)) {
        listening.push_back(std::move(source));
      }
    }
    ignored = ignoredSignals_.contains(signalNumber);
  }
  for (const auto& source : listening) SimEventSource::trigger(source);
  if (!listening.empty() || ignored) return;
  scheduler_->exitProcess(128 + signalNumber, signalNumber);
}

bool SimRuntime::isSignalIgnored(int signalNumber) const {
  std::lock_guard lock(mutex_);
  return ignoredSignals_.contains(signalNumber);
}

bool SimRuntime::hasSignalSource(int signalNumber) const {
  std::lock_guard lock(mutex_);
  return std::any_of(signalSources_.begin(), signalSources_.end(), [&](const auto& entry) {
    auto source = entry.second.lock();
    return entry.first == signalNumber && source && SimEventSource::isListening(*source);
  });
}

void SimRuntime::setAsyncTasksOnRealThreads(bool onRealThreads) {
  std::lock_guard lock(mutex_);
  asyncTasksOnRealThreads_ = onRealThreads;
}

std::vector<std::string> SimRuntime::serialQueueLabels() const {
  std::lock_guard lock(mutex_);
  return serialQueueLabels_;
}

std::vector<SimTimerInfo> SimRuntime::timers() const {
  std::lock_guard lock(mutex_);
  std::vector<SimTimerInfo> result;
  for (const auto& weak : timers_) {
    if (auto state = weak.lock()) result.push_back(SimTimer::describe(*state));
  }
  return result;
}

}  // namespace platform::sim
