// The echo canceller's return after a server restart, on virtual time: the server's side is
// scripted, so a restore that looks for the microphone for seconds runs in no time.
#include "linux/voice_processing_restore.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/sim_runtime.h"

namespace platform::linux_backend {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

struct Case {
  const char* name;
  bool cancellerSurvived = false;
  // When the microphone the canceller was built on is back; never when absent.
  std::optional<milliseconds> microphoneBackAt;
  bool loadFails = false;
  // When the program switches voice processing off (the stop path), or asks again.
  std::optional<milliseconds> switchedOffAt;
  std::optional<milliseconds> requestedAgainAt;
  // What reached the server and the stream, each with its virtual time.
  std::vector<std::string> log;
};

class Restore : public ::testing::TestWithParam<Case> {};

TEST_P(Restore, TakesShortStepsOnVirtualTime) {
  const Case& c = GetParam();
  sim::SimRuntime runtime;
  std::vector<std::string> log;
  const auto note = [&](const std::string& what) {
    log.push_back(std::to_string(std::chrono::duration_cast<milliseconds>(runtime.now()).count()) +
                  "ms " + what);
  };
  VoiceProcessingRestore::Steps steps;
  steps.cancellerIsThere = [&] { return c.cancellerSurvived; };
  steps.lookForMicrophone = [&]() -> MaybeError {
    if (c.microphoneBackAt && runtime.now() >= *c.microphoneBackAt) return std::nullopt;
    return Error{"test", 1, "no microphone"};
  };
  steps.load = [&]() -> MaybeError {
    note("load");
    if (c.loadFails) return Error{"test", 2, "no module"};
    return std::nullopt;
  };
  steps.recordThrough = [&](const MaybeError& failure) {
    note(failure ? "plain: " + failure->description : "canceller");
  };
  VoiceProcessingRestore restore(runtime, steps);
  restore.arm();
  restore.request();
  if (c.switchedOffAt) {
    runtime.at(*c.switchedOffAt, [&] {
      const auto before = runtime.now();
      EXPECT_TRUE(restore.abandon(1s));
      EXPECT_EQ(runtime.now(), before) << "switching off waited for the restore";
      note("off");
    });
  }
  if (c.requestedAgainAt) runtime.at(*c.requestedAgainAt, [&] { restore.request(); });
  runtime.advanceBy(10s);
  EXPECT_EQ(log, c.log);
}

INSTANTIATE_TEST_SUITE_P(
    VoiceProcessing, Restore,
    ::testing::Values(
        Case{"TheMicrophoneIsLookedForUntilItIsBack",
             false,
             1250ms,
             false,
             {},
             {},
             {"1300ms load", "1300ms canceller"}},
        Case{"ACancellerThatSurvivedIsRecordedAtOnce", true, 0ms, false, {}, {}, {"0ms canceller"}},
        Case{"AMicrophoneThatNeverComesBackIsGivenUpOn",
             false,
             {},
             false,
             {},
             {},
             {"3000ms plain: no microphone"}},
        Case{"ALoadThatFailsFallsBackToThePlainMicrophone",
             false,
             0ms,
             true,
             {},
             {},
             {"0ms load", "0ms plain: no module"}},
        Case{"AStopDuringARestoreNeitherWaitsNorLoadsAfterIt",
             false,
             2s,
             false,
             1s,
             {},
             {"1000ms off"}},
        Case{"AnotherReconnectStartsTheLookingOver",
             false,
             {},
             false,
             {},
             2s,
             {"5000ms plain: no microphone"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform::linux_backend
