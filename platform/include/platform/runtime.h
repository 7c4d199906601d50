#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/output_stream.h"

namespace platform {

using Task = std::function<void()>;
using Duration = std::chrono::nanoseconds;

// A queue that runs tasks one at a time in submission order. The main queue runs on the main
// thread inside `Runtime::runMainLoop`; serial queues each have a thread of their own.
class Queue {
 public:
  virtual ~Queue() = default;
  virtual void async(Task task) = 0;
  virtual void asyncAfter(Duration delay, Task task) = 0;
};

// Dispatch-style event source: configure, set the handler, resume. After `cancel` returns the
// handler never runs again (when cancelled on the source's own queue; from another thread, no
// handler starts after cancel returns).
class Source {
 public:
  virtual ~Source() = default;
  virtual void setHandler(Task handler) = 0;
  virtual void resume() = 0;
  virtual void cancel() = 0;
};

class TimerSource : public Source {
 public:
  // First firing `firstDeadline` from now on the monotonic clock, then every `interval` if one
  // is given, otherwise once.
  virtual void schedule(Duration firstDeadline, std::optional<Duration> interval,
                        Duration leeway) = 0;
};

class Semaphore {
 public:
  virtual ~Semaphore() = default;
  virtual void signal() = 0;
  virtual void wait() = 0;
};

// What one look at standard input found: the bytes that could be read without waiting (none
// after a wake-up that found nothing new), and whether the input has ended. Only the end of
// input ends it, never a read that merely found nothing: the parent closed its end, the file
// ran out, or the descriptor failed (a hang-up, an I/O error), which means the parent is gone.
struct StandardInputRead {
  std::string bytes;
  bool ended = false;
};

// Standard input as the recorder reads it: a read source fires whenever input may be
// readable, and `readAvailable` then returns what is there now without blocking.
class StandardInput {
 public:
  virtual ~StandardInput() = default;
  virtual StandardInputRead readAvailable() = 0;
};

// The program's concurrency model and its ties to the process: queues, timers, signals,
// standard streams, time and exit.
class Runtime {
 public:
  virtual ~Runtime() = default;

  virtual Queue& mainQueue() = 0;
  virtual std::shared_ptr<Queue> makeSerialQueue(std::string label) = 0;
  virtual std::shared_ptr<TimerSource> makeTimer(Queue& queue) = 0;
  virtual std::shared_ptr<Source> makeSignalSource(int signalNumber, Queue& queue) = 0;
  virtual std::shared_ptr<Source> makeStandardInputSource(Queue& queue) = 0;
  virtual std::shared_ptr<Semaphore> makeSemaphore(long initialValue) = 0;
  // Runs the task on a thread of the runtime's choosing, not the caller's.
  virtual void runAsyncTask(Task task) = 0;

  // `signal(signalNumber, SIG_IGN)`.
  virtual void ignoreSignal(int signalNumber) = 0;

  virtual StandardInput& standardInput() = 0;
  virtual OutputStream& standardOutput() = 0;
  virtual OutputStream& standardError() = 0;

  // Seconds since the Unix epoch; may jump, even backwards.
  virtual double wallClockSeconds() = 0;
  virtual Duration monotonicNow() = 0;
  virtual void sleepFor(Duration duration) = 0;

  // Runs main-queue work, timers and sources on the calling (main) thread until `quitMainLoop`,
  // and returns the status given to it.
  virtual int runMainLoop() = 0;
  // Makes `runMainLoop` return `status` once the task running now is done; from any thread.
  // The first call counts.
  virtual void quitMainLoop(int status) = 0;
  // Ends the process with `status`. The shipped runtime never returns: it gives the lines still
  // queued for the parent a moment, then ends without running any destructor. A test runtime
  // records the status and returns. The program calls it in one place, at the end of its run.
  virtual void exitProcess(int status) = 0;
};

}  // namespace platform
