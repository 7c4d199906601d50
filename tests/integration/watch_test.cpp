#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli/dispatch.h"
#include "sim/sim_platform.h"
#include "watch/call_watcher.h"

namespace zuno {
namespace {

using platform::AudioObjectID;
using platform::AudioObjectPropertyAddress;
using platform::sim::SimAudioHardware;
using platform::sim::SimPlatform;

constexpr AudioObjectID kZoom = 10;
constexpr AudioObjectID kChrome = 11;
constexpr AudioObjectID kWebKit = 12;
constexpr AudioObjectPropertyAddress kProcessList{platform::kAudioHardwarePropertyProcessObjectList,
                                                  platform::kAudioObjectPropertyScopeGlobal, 0};
constexpr AudioObjectPropertyAddress kRunningInput{platform::kAudioProcessPropertyIsRunningInput,
                                                   platform::kAudioObjectPropertyScopeGlobal, 0};

const std::string kZoomStarted =
    "{\"app\":\"zoom\",\"bundleId\":\"us.zoom.xos\",\"event\":\"call_started\",\"label\":\"Zoom "
    "の通話\"}";
const std::string kZoomEnded = "{\"app\":\"zoom\",\"event\":\"call_ended\"}";

platform::Duration seconds(double value) {
  return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(value));
}

// A whole `watch` run on virtual time. The test scripts the process objects; every line is
// stamped with the tenth of a second in which it appeared.
struct WatchRun {
  WatchRun() { sim.process.setArguments({"zuno-recorder", "watch"}); }

  SimAudioHardware& hardware() { return sim.audioHardware; }
  void at(double time, std::function<void()> action) {
    sim.runtime.at(seconds(time), std::move(action));
  }
  // A change the platform makes without telling any listener: only a scan can see it.
  void silentlySetInput(AudioObjectID process, bool running) {
    const std::uint32_t value = running ? 1 : 0;
    std::vector<std::byte> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    hardware().setProperty(process, kRunningInput, std::move(bytes));
  }

  // Runs `watch` until the parent's SIGTERM at `duration`, unless it ends before; its status.
  int runFor(double duration) {
    // A line written in [t, t + 0.1) is stamped t.
    for (int tenth = 0; tenth < duration * 10; ++tenth) {
      at(tenth / 10.0 + 0.05, [this, tenth] {
        while (times.size() < sim.runtime.stdoutLines().size()) times.push_back(tenth / 10.0);
      });
    }
    at(duration, [this] { sim.runtime.raiseSignal(SIGTERM); });
    return runMain(sim.platform());
  }
  std::vector<std::pair<std::string, double>> timedLines() {
    std::vector<std::pair<std::string, double>> lines;
    const auto text = sim.runtime.stdoutLines();
    for (std::size_t i = 0; i < text.size(); ++i) {
      lines.emplace_back(text[i], i < times.size() ? times[i] : -1);
    }
    return lines;
  }
  int callCount(const std::string& call) {
    const auto calls = hardware().calls();
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }

  SimPlatform sim;
  std::vector<double> times;
};

class WatchOnSim : public ::testing::Test, public WatchRun {};

struct Timeline {
  const char* name;
  std::vector<std::pair<double, std::function<void(WatchRun&)>>> steps;
  std::vector<std::pair<std::string, double>> lines;  // each with the poll tick that writes it
};

class WatchTimeline : public WatchOnSim, public ::testing::WithParamInterface<Timeline> {};

auto input(bool running) {
  return [running](WatchRun& test) { test.hardware().setProcessRunningInput(kZoom, running); };
}
// The wall clock steps as a time sync, a manual change or a resume steps it.
auto wallClockStep(double by) {
  return [by](WatchRun& test) {
    test.sim.runtime.setWallClock(test.sim.runtime.wallClockSeconds() + by);
  };
}

// Input must last 1.0 s to announce a call and be gone 5.0 s to end it; every change restarts
// the count, and the poll alone drives it where nothing notifies.
TEST_P(WatchTimeline, AnnouncesOnlyInputThatLasts) {
  hardware().addProcessObject(kZoom, "us.zoom.xos", 900, false);
  for (const auto& [time, step] : GetParam().steps) at(time, [this, step] { step(*this); });
  EXPECT_EQ(runFor(17), 0);
  EXPECT_EQ(timedLines(), GetParam().lines);
  EXPECT_EQ(sim.runtime.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WatchTimeline,
    ::testing::Values(
        Timeline{"ShorterThanASecond", {{2.0, input(true)}, {2.8, input(false)}}, {}},
        Timeline{"FlickerRestartsTheCount",
                 {{2.0, input(true)}, {2.6, input(false)}, {3.2, input(true)}},
                 {{kZoomStarted, 5.0}}},
        Timeline{"AGapOfThreeSecondsKeepsTheCall",
                 {{1.5, input(true)}, {4.5, input(false)}, {7.5, input(true)}, {9.5, input(false)}},
                 {{kZoomStarted, 3.0}, {kZoomEnded, 15.0}}},
        Timeline{"AnUnreadableProcessListEndsTheCall",
                 {{1.5, input(true)},
                  {4.5,
                   [](WatchRun& test) {
                     test.hardware().failProperty(platform::kAudioObjectSystemObject, kProcessList,
                                                  SimAudioHardware::kBadObject);
                   }}},
                 {{kZoomStarted, 3.0}, {kZoomEnded, 10.0}}},
        Timeline{"ThePollAloneSeesChanges",
                 {{1.5, [](WatchRun& test) { test.silentlySetInput(kZoom, true); }},
                  {4.5, [](WatchRun& test) { test.silentlySetInput(kZoom, false); }}},
                 {{kZoomStarted, 3.0}, {kZoomEnded, 10.0}}},
        // Thresholds run on a clock that only moves forward: a wall-clock step neither makes a
        // call of a burst, nor ends one in a short gap, nor holds one off.
        Timeline{"AWallClockStepMakesNoCallOfABurst",
                 {{2.2, input(true)}, {2.5, wallClockStep(3600)}, {3.1, input(false)}},
                 {}},
        Timeline{"AWallClockStepEndsNoCallInAGap",
                 {{1.5, input(true)},
                  {4.5, input(false)},
                  {4.8, wallClockStep(3600)},
                  {7.5, input(true)},
                  {9.5, input(false)}},
                 {{kZoomStarted, 3.0}, {kZoomEnded, 15.0}}},
        Timeline{"AWallClockSetBackStillEndsTheCall",
                 {{1.5, input(true)}, {4.5, input(false)}, {6.0, wallClockStep(-3600)}},
                 {{kZoomStarted, 3.0}, {kZoomEnded, 10.0}}},
        // The first scan's read loses the process; the call running from the start is seen
        // by the first poll.
        Timeline{"AListThatShrankBeforeItsRead",
                 {{0.0,
                   [](WatchRun& test) {
                     test.hardware().shrinkProcessListAtNextRead(0);
                     test.hardware().setProcessRunningInput(kZoom, true);
                   }}},
                 {{kZoomStarted, 2.0}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Browsers are one app: the latest capturing browser in the list names the call; a WebKit
// helper counts as a browser, a case variant of a listed identifier is logged once as unlisted.
TEST_F(WatchOnSim, BrowsersAreOneCallAndUnlistedInputIsLoggedOnce) {
  hardware().addProcessObject(kChrome, "com.google.Chrome.helper", 901, false);
  hardware().addProcessObject(kWebKit, "com.apple.WebKit.GPU", 902, false);
  hardware().addProcessObject(13, "com.Google.Chrome", 903, false);
  at(1.5, [this] {
    hardware().setProcessRunningInput(kChrome, true);
    hardware().setProcessRunningInput(kWebKit, true);
    silentlySetInput(13, true);
  });
  runFor(8);
  EXPECT_EQ(timedLines(), (std::vector<std::pair<std::string, double>>{
                              {"{\"app\":\"browser\",\"bundleId\":\"com.apple.WebKit.GPU\","
                               "\"event\":\"call_started\",\"label\":\"ブラウザでの通話\"}",
                               3.0}}));
  EXPECT_EQ(sim.runtime.stderrLines(),
            std::vector<std::string>{"input active (unlisted): bundle=com.Google.Chrome"});
  EXPECT_EQ(callCount("addPropertyListener piri 13"), 0);
}

// Only matched processes other than the program and its parent get an input listener: one,
// however many scans match them, removed once when they vanish.
TEST_F(WatchOnSim, ListenersFollowTheProcessesThatMatter) {
  hardware().addProcessObject(20, "us.zoom.xos", 4242, true);  // the program itself
  hardware().addProcessObject(21, "us.zoom.xos", 4241, true);  // its parent
  hardware().addProcessObject(kZoom, "us.zoom.xos", 900, false);
  at(5.5, [this] { hardware().removeProcessObject(kZoom); });
  runFor(9);
  EXPECT_TRUE(sim.runtime.stdoutLines().empty());
  EXPECT_EQ(callCount("addPropertyListener piri 10"), 1);
  EXPECT_EQ(callCount("removePropertyListener piri 10"), 1);
  EXPECT_EQ(hardware().listenerCount(kZoom, kRunningInput), 0);
  EXPECT_EQ(callCount("addPropertyListener piri 20") + callCount("addPropertyListener piri 21"), 0);
  EXPECT_EQ(hardware().listenerCount(platform::kAudioObjectSystemObject, kProcessList), 1);
}

TEST_F(WatchOnSim, StartsAreWrittenBeforeEndsOfTheSameEvaluation) {
  hardware().addProcessObject(kZoom, "us.zoom.xos", 900, false);
  hardware().addProcessObject(kChrome, "com.google.Chrome", 901, false);
  at(1.5, [this] { hardware().setProcessRunningInput(kZoom, true); });
  at(4.5, [this] { hardware().setProcessRunningInput(kZoom, false); });
  at(8.5, [this] { hardware().setProcessRunningInput(kChrome, true); });
  runFor(11);
  EXPECT_EQ(timedLines(), (std::vector<std::pair<std::string, double>>{
                              {kZoomStarted, 3.0},
                              {"{\"app\":\"browser\",\"bundleId\":\"com.google.Chrome\","
                               "\"event\":\"call_started\",\"label\":\"ブラウザでの通話\"}",
                               10.0},
                              {kZoomEnded, 10.0}}));
}

TEST_F(WatchOnSim, TerminationAndInterruptEndAtOnceWithStatusZero) {
  for (int signalNumber : {SIGTERM, SIGINT}) {
    WatchRun run;
    run.hardware().addProcessObject(kZoom, "us.zoom.xos", 900, false);
    run.at(1.5, [&run] { run.hardware().setProcessRunningInput(kZoom, true); });
    run.at(4.5, [&run, signalNumber] {
      run.hardware().setProcessRunningInput(kZoom, false);
      run.sim.runtime.raiseSignal(signalNumber);
    });
    EXPECT_EQ(run.runFor(12), 0);
    EXPECT_EQ(run.sim.runtime.now(), seconds(4.5)) << "the run went on after the signal";
    EXPECT_EQ(run.sim.runtime.stdoutLines(), std::vector<std::string>{kZoomStarted});
  }
}

// A parent that closed its end of the pipe ends the run at the first event it cannot get.
TEST_F(WatchOnSim, AReaderThatHasGoneEndsTheRun) {
  hardware().addProcessObject(kZoom, "us.zoom.xos", 900, false);
  at(1.5, [this] {
    hardware().setProcessRunningInput(kZoom, true);
    sim.runtime.setStdoutBroken(true);
  });
  bool scannedAfterwards = false;
  at(3.5, [&] { scannedAfterwards = true; });
  EXPECT_EQ(runFor(12), 0);
  EXPECT_EQ(sim.runtime.refusedStdoutWrites(), 1u);
  EXPECT_FALSE(scannedAfterwards);
}

// Notifications that come while a scan is waiting (a parent that does not read holds the scan
// that writes) ask for that one scan: every scan reads everything, so nothing is missed, and
// nothing piles up. A change during a scan still gets a scan after it.
TEST_F(WatchOnSim, NotificationsWhileAScanWaitsAskForThatOneScan) {
  hardware().addProcessObject(kZoom, "us.zoom.xos", 900, false);
  const auto scans = [this] { return callCount("getPropertyDataSize prs# 1"); };
  int before = 0;
  int afterBurst = 0;
  at(2.5, [&] {
    before = scans();
    for (int change = 0; change < 1000; ++change) {
      hardware().setProcessRunningInput(kZoom, change % 2 == 0);
    }
  });
  at(2.6, [&] { afterBurst = scans(); });
  runFor(3);
  EXPECT_EQ(afterBurst - before, 1);
}

TEST_F(WatchOnSim, ANotificationAfterTheWatcherIsGoneDoesNothing) {
  hardware().addProcessObject(kZoom, "us.zoom.xos", 900, false);
  auto watcher = CallWatcher::create(sim.platform());
  watcher->scan();
  watcher->installProcessListListener();
  watcher.reset();
  const auto callsBefore = hardware().calls().size();
  hardware().setProcessRunningInput(kZoom, true);
  hardware().addProcessObject(kChrome, "com.google.Chrome", 901, true);
  sim.runtime.runUntilIdle();
  EXPECT_EQ(hardware().calls().size(), callsBefore);
}

}  // namespace
}  // namespace zuno
