#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "linux/native_runtime.h"
#include "sim/sim_runtime.h"

// One set of cases for both runtimes, so the sim the program's tests run on keeps to what the
// shipped runtime does. The native runtime runs on real time: the cases check order and counts,
// never how long anything took, and every wait ends on an event that comes after the one checked.
namespace platform {
namespace {

using namespace std::chrono_literals;

struct SimBackend {
  static constexpr const char* kName = "Sim";
  sim::SimRuntime runtime;
  void raise(int signalNumber) { runtime.raiseSignal(signalNumber); }
};

struct NativeBackend {
  static constexpr const char* kName = "Native";
  linux_backend::NativeRuntime runtime;
  void raise(int signalNumber) { ::kill(::getpid(), signalNumber); }
};

struct BackendName {
  template <typename Backend>
  static std::string GetName(int) {
    return Backend::kName;
  }
};

// A step of a few milliseconds: short enough for real time, long enough to order deadlines by.
constexpr Duration kStep = 2ms;
// What the main loop returns when a case never quit it.
constexpr int kStuck = 99;

template <typename Backend>
class RuntimeContract : public ::testing::Test {
 protected:
  Runtime& runtime() { return backend.runtime; }
  Queue& mainQueue() { return backend.runtime.mainQueue(); }
  // Runs the main loop; a case that never quits it fails instead of hanging the suite.
  int runMainLoop() {
    mainQueue().asyncAfter(10s, [this] { runtime().quitMainLoop(kStuck); });
    return runtime().runMainLoop();
  }

  Backend backend;
};

using Backends = ::testing::Types<SimBackend, NativeBackend>;
TYPED_TEST_SUITE(RuntimeContract, Backends, BackendName);

TYPED_TEST(RuntimeContract, MainQueueTasksRunInSubmissionOrderAndDelayedOnesByDeadline) {
  std::vector<std::string> ran;
  // The later deadline is asked for first, so submission order alone would get it wrong.
  this->mainQueue().asyncAfter(10 * kStep, [&] {
    ran.push_back("later");
    this->runtime().quitMainLoop(0);
  });
  this->mainQueue().asyncAfter(kStep, [&] { ran.push_back("sooner"); });
  this->mainQueue().async([&] { ran.push_back("first"); });
  this->mainQueue().async([&] { ran.push_back("second"); });
  EXPECT_EQ(this->runMainLoop(), 0);
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "sooner", "later"}));
}

TYPED_TEST(RuntimeContract, QuitEndsTheLoopWithTheFirstStatusGivenFromAnyQueue) {
  for (const bool fromSerialQueue : {false, true}) {
    SCOPED_TRACE(fromSerialQueue ? "from a serial queue" : "from the main queue");
    TypeParam backend;
    Runtime& runtime = backend.runtime;
    auto serial = runtime.makeSerialQueue("contract.quit");
    bool restOfTaskRan = false;
    Queue& queue = fromSerialQueue ? *serial : runtime.mainQueue();
    queue.async([&] {
      runtime.quitMainLoop(3);
      runtime.quitMainLoop(5);
      restOfTaskRan = true;
    });
    runtime.mainQueue().asyncAfter(10s, [&] { runtime.quitMainLoop(kStuck); });
    EXPECT_EQ(runtime.runMainLoop(), 3);
    // The serial queue's task may still be finishing on its own thread; its queue's end waits.
    serial.reset();
    EXPECT_TRUE(restOfTaskRan);
  }
}

TYPED_TEST(RuntimeContract, ASerialQueueRunsItsTasksInOrder) {
  auto serial = this->runtime().makeSerialQueue("contract.serial");
  std::vector<int> ran;
  constexpr int kTasks = 50;
  for (int i = 0; i < kTasks; ++i) {
    serial->async([&, i] {
      ran.push_back(i);
      if (i == kTasks - 1) this->mainQueue().async([&] { this->runtime().quitMainLoop(0); });
    });
  }
  EXPECT_EQ(this->runMainLoop(), 0);
  ASSERT_EQ(ran.size(), std::size_t{kTasks});
  for (int i = 0; i < kTasks; ++i) EXPECT_EQ(ran[static_cast<std::size_t>(i)], i);
}

TYPED_TEST(RuntimeContract, TimersFireAsScheduledUntilCancelled) {
  struct Case {
    const char* name;
    bool repeating;
    // Fired this often, the handler cancels the timer; 0: never.
    int cancelAfter;
    bool cancelBeforeFirstFiring;
    int firings;
  };
  const Case cases[] = {
      {"repeating, cancelled from its handler", true, 3, false, 3},
      {"one-shot", false, 0, false, 1},
      {"cancelled before it is due", true, 0, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TypeParam backend;
    Runtime& runtime = backend.runtime;
    Queue& main = runtime.mainQueue();
    auto timer = runtime.makeTimer(main);
    int firings = 0;
    // The end comes well after the next firing the timer would have had, counted from its last
    // firing (or, if it never fires, from its first deadline).
    const auto endAfterTheNextFiring = [&] {
      main.asyncAfter(10 * kStep, [&] { runtime.quitMainLoop(0); });
    };
    timer->setHandler([&] {
      ++firings;
      if (firings == c.cancelAfter) timer->cancel();
      if (firings == c.cancelAfter || !c.repeating) endAfterTheNextFiring();
    });
    timer->schedule(kStep, c.repeating ? std::optional<Duration>(kStep) : std::nullopt, 0ns);
    timer->resume();
    if (c.cancelBeforeFirstFiring) {
      timer->cancel();
      endAfterTheNextFiring();
    }
    main.asyncAfter(10s, [&] { runtime.quitMainLoop(kStuck); });
    EXPECT_EQ(runtime.runMainLoop(), 0);
    EXPECT_EQ(firings, c.firings);
  }
}

TYPED_TEST(RuntimeContract, ASemaphoreSignalledByAnAsynchronousTaskReleasesTheMainThread) {
  auto semaphore = this->runtime().makeSemaphore(0);
  int handedOver = 0;
  int seenAfterWait = 0;
  this->mainQueue().async([&] {
    // The task holds the semaphore itself: its thread may still be inside signal() when the
    // wait returns and the case ends.
    this->runtime().runAsyncTask([&handedOver, semaphore] {
      handedOver = 42;
      semaphore->signal();
    });
    semaphore->wait();
    seenAfterWait = handedOver;
    this->runtime().quitMainLoop(0);
  });
  EXPECT_EQ(this->runMainLoop(), 0);
  EXPECT_EQ(seenAfterWait, 42);
}

TYPED_TEST(RuntimeContract, ASignalSourceGetsARaisedSignal) {
  // As the program does: ignored first, so that only the source sees the signal.
  this->runtime().ignoreSignal(SIGUSR1);
  auto source = this->runtime().makeSignalSource(SIGUSR1, this->mainQueue());
  int handled = 0;
  source->setHandler([&] {
    ++handled;
    this->runtime().quitMainLoop(0);
  });
  source->resume();
  this->mainQueue().async([&] { this->backend.raise(SIGUSR1); });
  EXPECT_EQ(this->runMainLoop(), 0);
  EXPECT_EQ(handled, 1);
  source->cancel();
}

}  // namespace
}  // namespace platform
