#include "linux/native_runtime.h"

#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "linux/native_sources.h"

namespace platform::linux_backend {
namespace {

constexpr std::chrono::seconds kLastLinesGrace{2};

class NativeSemaphore final : public Semaphore {
 public:
  explicit NativeSemaphore(long value) : value_(value) {}
  void signal() override {
    {
      std::lock_guard guard(mutex_);
      ++value_;
    }
    changed_.notify_one();
  }
  void wait() override {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [this] { return value_ > 0; });
    --value_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long value_;
};

AsioQueue& asioQueue(Queue& queue) {
  return dynamic_cast<AsioQueue&>(queue);
}

}  // namespace

AsioQueue::AsioQueue() : work_(asio::make_work_guard(context_)) {}

AsioQueue::~AsioQueue() {
  work_.reset();
  context_.stop();
  if (thread_.joinable()) thread_.join();
}

void AsioQueue::async(Task task) {
  asio::post(context_, std::move(task));
}

void AsioQueue::asyncAfter(Duration delay, Task task) {
  auto timer = std::make_shared<asio::steady_timer>(context_, delay);
  timer->async_wait([timer, task = std::move(task)](const asio::error_code& error) {
    if (!error) task();
  });
}

void AsioQueue::runOnThisThread() {
  context_.run();
}

void AsioQueue::runOnOwnThread() {
  thread_ = std::thread([this] { context_.run(); });
}

NativeRuntime::NativeRuntime() : main_(std::make_shared<AsioQueue>()) {
  // With the parent gone a write to standard output must fail, not end the process: the run
  // then reaches its orderly end (end of file on standard input) and completes its files.
  std::signal(SIGPIPE, SIG_IGN);
}

NativeRuntime::~NativeRuntime() = default;

// Nothing on Linux looks a queue up by its label, so it is not kept.
std::shared_ptr<Queue> NativeRuntime::makeSerialQueue(std::string /*label*/) {
  auto queue = std::make_shared<AsioQueue>();
  queue->runOnOwnThread();
  return queue;
}

std::shared_ptr<TimerSource> NativeRuntime::makeTimer(Queue& queue) {
  return std::make_shared<AsioTimerSource>(asioQueue(queue));
}

std::shared_ptr<Source> NativeRuntime::makeSignalSource(int signalNumber, Queue& queue) {
  return std::make_shared<AsioSignalSource>(asioQueue(queue), signalNumber);
}

std::shared_ptr<Source> NativeRuntime::makeStandardInputSource(Queue& queue) {
  return std::make_shared<StandardInputSource>(asioQueue(queue), input_);
}

std::shared_ptr<Semaphore> NativeRuntime::makeSemaphore(long initialValue) {
  return std::make_shared<NativeSemaphore>(initialValue);
}

void NativeRuntime::runAsyncTask(Task task) {
  std::thread(std::move(task)).detach();
}

void NativeRuntime::ignoreSignal(int signalNumber) {
  std::signal(signalNumber, SIG_IGN);
}

double NativeRuntime::wallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Duration NativeRuntime::monotonicNow() {
  return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

void NativeRuntime::sleepFor(Duration duration) {
  std::this_thread::sleep_for(duration);
}

int NativeRuntime::runMainLoop() {
  main_->runOnThisThread();
  std::lock_guard guard(quitMutex_);
  return quitStatus_.value_or(0);
}

void NativeRuntime::quitMainLoop(int status) {
  {
    std::lock_guard guard(quitMutex_);
    if (quitStatus_) return;
    quitStatus_ = status;
  }
  main_->context().stop();
}

void NativeRuntime::exitProcess(int status) {
  // "stopped" or the error event is usually still queued: a reader that is merely slow gets it,
  // while one that has stopped reading cannot keep the process alive beyond the grace time.
  const auto deadline = std::chrono::steady_clock::now() + kLastLinesGrace;
  output_.drainUntil(deadline);
  error_.drainUntil(deadline);
  // No static destructors: audio threads may still be running.
  ::_exit(status);
}

}  // namespace platform::linux_backend
