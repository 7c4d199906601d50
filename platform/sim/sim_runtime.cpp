#include "sim/sim_runtime.h"

#include <stdexcept>

namespace platform::sim {
namespace {

constexpr int kStandardInput = 0;

void checkSimQueue(Queue& queue) {
  // Sources made for another backend's queue would silently never fire here.
  if (!dynamic_cast<SimQueue*>(&queue)) throw std::invalid_argument("not a sim queue");
}

}  // namespace

SimRuntime::~SimRuntime() {
  scheduler_->shutdown();
}

std::shared_ptr<Queue> SimRuntime::makeSerialQueue(std::string) {
  return std::make_shared<SimQueue>(scheduler_);
}

std::shared_ptr<TimerSource> SimRuntime::makeTimer(Queue& queue) {
  checkSimQueue(queue);
  return std::make_shared<SimTimer>(scheduler_);
}

std::shared_ptr<SimEventSource> SimRuntime::makeSource(Queue& queue) {
  checkSimQueue(queue);
  return std::make_shared<SimEventSource>(scheduler_);
}

std::shared_ptr<Source> SimRuntime::makeSignalSource(int signalNumber, Queue& queue) {
  auto source = makeSource(queue);
  std::lock_guard lock(mutex_);
  sources_.emplace_back(signalNumber, source);
  return source;
}

namespace {

// Fires at once on resume when input is already readable.
class StandardInputSource final : public Source {
 public:
  StandardInputSource(std::shared_ptr<SimEventSource> source, const SimStandardInput& input)
      : source_(std::move(source)), input_(input) {}
  void setHandler(Task handler) override { source_->setHandler(std::move(handler)); }
  void resume() override {
    source_->resumeFiringIf([this] { return input_.isReadable(); });
  }
  void cancel() override { source_->cancel(); }

 private:
  std::shared_ptr<SimEventSource> source_;
  const SimStandardInput& input_;
};

}  // namespace

std::shared_ptr<Source> SimRuntime::makeStandardInputSource(Queue& queue) {
  auto source = makeSource(queue);
  {
    std::lock_guard lock(mutex_);
    sources_.emplace_back(kStandardInput, source);
  }
  return std::make_shared<StandardInputSource>(std::move(source), stdin_);
}

std::shared_ptr<Semaphore> SimRuntime::makeSemaphore(long initialValue) {
  return std::make_shared<SimSemaphore>(scheduler_, initialValue);
}

void SimRuntime::ignoreSignal(int signalNumber) {
  std::lock_guard lock(mutex_);
  ignoredSignals_.insert(signalNumber);
}

std::vector<std::shared_ptr<SimEventSource>> SimRuntime::liveSources(
    const std::vector<std::pair<int, std::weak_ptr<SimEventSource>>>& sources, int key) const {
  std::vector<std::shared_ptr<SimEventSource>> live;
  for (const auto& [number, weak] : sources) {
    if (auto source = weak.lock(); source && number == key) live.push_back(std::move(source));
  }
  return live;
}

void SimRuntime::feedStdin(std::string chunk) {
  stdin_.feed(std::move(chunk));
  std::lock_guard lock(mutex_);
  for (const auto& source : liveSources(sources_, kStandardInput)) source->trigger();
}

void SimRuntime::closeStdin() {
  stdin_.close();
  std::lock_guard lock(mutex_);
  for (const auto& source : liveSources(sources_, kStandardInput)) source->trigger();
}

void SimRuntime::raiseSignal(int signalNumber) {
  bool delivered = false;
  bool ignored = false;
  {
    std::lock_guard lock(mutex_);
    for (const auto& source : liveSources(sources_, signalNumber)) {
      delivered = source->trigger() || delivered;
    }
    ignored = ignoredSignals_.contains(signalNumber);
  }
  if (!delivered && !ignored) scheduler_->end(128 + signalNumber);
}

bool SimRuntime::isSignalIgnored(int signalNumber) const {
  std::lock_guard lock(mutex_);
  return ignoredSignals_.contains(signalNumber);
}

}  // namespace platform::sim
