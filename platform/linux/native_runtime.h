#pragma once

#include <asio.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "linux/descriptor_input.h"
#include "linux/queued_output.h"
#include "platform/runtime.h"

namespace platform::linux_backend {

// An Asio io_context with the thread that runs it: the main queue runs on the main thread
// inside runMainLoop, every serial queue on a thread of its own.
class AsioQueue final : public Queue, public std::enable_shared_from_this<AsioQueue> {
 public:
  AsioQueue();
  ~AsioQueue() override;
  void async(Task task) override;
  void asyncAfter(Duration delay, Task task) override;
  asio::io_context& context() { return context_; }
  void runOnThisThread();
  void runOnOwnThread();

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

class NativeRuntime final : public Runtime {
 public:
  NativeRuntime();
  ~NativeRuntime() override;

  Queue& mainQueue() override { return *main_; }
  std::shared_ptr<Queue> makeSerialQueue(std::string label) override;
  std::shared_ptr<TimerSource> makeTimer(Queue& queue) override;
  std::shared_ptr<Source> makeSignalSource(int signalNumber, Queue& queue) override;
  std::shared_ptr<Source> makeStandardInputSource(Queue& queue) override;
  std::shared_ptr<Semaphore> makeSemaphore(long initialValue) override;
  void runAsyncTask(Task task) override;
  void ignoreSignal(int signalNumber) override;
  StandardInput& standardInput() override { return input_; }
  OutputStream& standardOutput() override { return output_; }
  OutputStream& standardError() override { return error_; }
  double wallClockSeconds() override;
  Duration monotonicNow() override;
  void sleepFor(Duration duration) override;
  int runMainLoop() override;
  void quitMainLoop(int status) override;
  // Gives the lines still queued on standard output and error up to two seconds in all to reach
  // a slow reader, then ends the process whatever remains.
  [[noreturn]] void exitProcess(int status) override;

 private:
  std::shared_ptr<AsioQueue> main_;
  std::mutex quitMutex_;
  std::optional<int> quitStatus_;
  DescriptorInput input_;
  // Queued, so that a parent that stops reading never holds up the thread that writes an event
  // or a diagnostic line.
  QueuedOutput output_{1};
  QueuedOutput error_{2};
};

}  // namespace platform::linux_backend
