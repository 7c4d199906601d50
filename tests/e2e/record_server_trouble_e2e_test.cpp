#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iterator>

#include "e2e/e2e_support.h"

namespace zuno::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The decoded samples from `from` to `to` seconds into a track.
std::vector<float> window(const TrackFacts& track, double from, double to) {
  const auto begin = static_cast<std::size_t>(std::max(0.0, from) * 48000);
  const auto end = std::min(track.samples.size(), static_cast<std::size_t>(to * 48000));
  if (begin >= end) return {};
  return {track.samples.begin() + static_cast<std::ptrdiff_t>(begin),
          track.samples.begin() + static_cast<std::ptrdiff_t>(end)};
}

bool holdsTone(const std::vector<float>& samples, int hz, int otherHz) {
  return rms(samples) > 0.05 && toneEnergy(samples, hz) > 20 * toneEnergy(samples, otherHz);
}

class RecordThroughServerTrouble : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.running()) GTEST_SKIP() << "no private audio server could be started";
    outDir = server.directory() + "/recording";
    stderrPath = server.directory() + "/recorder.stderr";
  }
  void playBothTones(double seconds) {
    server.play("micsrc", 440, seconds);
    server.play("speakers", 1000, seconds);
  }
  // Waits until the recorder's standard error holds `needle`.
  bool waitForDiagnostic(const std::string& needle, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (readFile(stderrPath).find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // Waits until each track, read while it is still being written, holds its tone in every half
  // second of the last 1.5 s it has, and those 1.5 s lie wholly after `from` seconds into the
  // track: what both sources recorded after that moment is flowing. In every half second, since
  // a tone that only just began at the end would leave the stretch a check then looks at silent.
  // After `from`, since a live file ends up to a fragment and the encoder's queue short of the
  // present, so its last 1.5 s can still reach back before a moment only just past.
  bool waitUntilBothTracksHoldTheirTones(double from, std::chrono::seconds limit) {
    const auto holdsToneAtItsEnd = [from](const TrackFacts& track, int hz, int otherHz) {
      const double length = static_cast<double>(track.samples.size()) / 48000;
      if (length - 1.5 < from) return false;
      for (int piece = 0; piece < 3; ++piece) {
        const double begin = length - 1.5 + 0.5 * piece;
        if (!holdsTone(window(track, begin, begin + 0.5), hz, otherHz)) return false;
      }
      return true;
    };
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (holdsToneAtItsEnd(inspectTrack(outDir + "/mic.m4a"), 440, 1000) &&
          holdsToneAtItsEnd(inspectTrack(outDir + "/system.m4a"), 1000, 440)) {
        return true;
      }
      std::this_thread::sleep_for(200ms);
    }
    return false;
  }

  PrivateAudioServer server;
  std::string outDir;
  std::string stderrPath;
};

TEST_F(RecordThroughServerTrouble, ARestartedServerIsRecordedAgainOnTheSameTimeline) {
  playBothTones(30);
  RecorderProcess recorder(outDir, stderrPath);
  ASSERT_TRUE(recorder.waitFor("\"event\":\"started\"")) << recorder.output();
  const auto started = Clock::now();
  // An idle server may take a couple of seconds to deliver a new stream's first audio.
  ASSERT_TRUE(waitUntilBothTracksHoldTheirTones(0, 15s)) << recorder.output();
  server.kill();
  const double killedAt = secondsBetween(started, Clock::now());
  ASSERT_TRUE(waitForDiagnostic("audio server connection lost", 5s)) << readFile(stderrPath);
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(server.restart());
  ASSERT_TRUE(waitForDiagnostic("audio server connection is back", 10s)) << readFile(stderrPath);
  const double backAt = secondsBetween(started, Clock::now());
  playBothTones(30);
  // However long a busy server takes to deliver again, the last second before the stop must
  // come from the new server. The tone of the old one can still be within the live files' last
  // 1.5 s this soon after the kill, so only what the tracks hold after the connection came back
  // counts: from the kill until then they hold silence.
  ASSERT_TRUE(waitUntilBothTracksHoldTheirTones(backAt, 20s)) << readFile(stderrPath);
  recorder.send("stop\n");
  const double recorded = secondsBetween(started, Clock::now());
  EXPECT_EQ(recorder.wait(), 0) << recorder.output();

  const std::string diagnostics = readFile(stderrPath);
  EXPECT_EQ(occurrences(diagnostics, "audio server connection lost"), 1u) << diagnostics;
  EXPECT_EQ(occurrences(diagnostics, "audio server connection is back"), 1u) << diagnostics;
  const auto mic = inspectTrack(outDir + "/mic.m4a");
  const auto system = inspectTrack(outDir + "/system.m4a");
  ASSERT_TRUE(mic.readable && system.readable) << recorder.output();
  for (const auto& [name, track, tone, other] :
       {std::tuple{"mic", &mic, 440, 1000}, std::tuple{"system", &system, 1000, 440}}) {
    SCOPED_TRACE(name);
    EXPECT_NEAR(track->duration, recorded, 0.1) << "the track does not cover the run";
    EXPECT_TRUE(holdsTone(window(*track, killedAt - 1.5, killedAt - 0.3), tone, other)) << "before";
    EXPECT_LT(rms(window(*track, killedAt + 0.3, killedAt + 1.0)), 0.01) << "while gone";
    EXPECT_TRUE(holdsTone(window(*track, recorded - 1.5, recorded - 0.3), tone, other))
        << "after the server came back";
  }
}

// Every way of ending a run ends it within two seconds, with both files complete and as long as
// the time recorded, whatever the server does: answers nothing (even to a pause it never
// confirmed), or is gone for good.
TEST_F(RecordThroughServerTrouble, AServerThatFreezesOrNeverReturnsNeverHoldsUpTheEndOfARun) {
  struct Case {
    const char* server;
    const char* how;
  };
  // The server that never returns goes last: nothing after it needs one.
  for (const auto [trouble, how] :
       {Case{"frozen", "stop"}, Case{"frozen", "SIGTERM"}, Case{"frozen", "SIGINT"},
        Case{"frozen", "eof"}, Case{"gone", "stop"}}) {
    SCOPED_TRACE(std::string(trouble) + ", " + how);
    std::filesystem::remove_all(outDir);
    RecorderProcess recorder(outDir, stderrPath);
    ASSERT_TRUE(recorder.waitFor("\"event\":\"started\""));
    const std::string way = how;
    if (std::string(trouble) == "frozen") {
      std::this_thread::sleep_for(1s);
      server.freeze();
      recorder.send("pause\n");
      EXPECT_TRUE(recorder.waitFor("\"event\":\"paused\"", 2));
    } else {
      server.kill();
      ASSERT_TRUE(waitForDiagnostic("audio server connection lost", 5s));
      // Recorded while the server is gone: silence that must still be in both tracks.
      std::this_thread::sleep_for(2s);
    }
    const auto asked = Clock::now();
    if (way == "stop") recorder.send("stop\n");
    if (way == "SIGTERM") recorder.signal(SIGTERM);
    if (way == "SIGINT") recorder.signal(SIGINT);
    if (way == "eof") recorder.closeStdin();
    EXPECT_TRUE(recorder.waitFor("\"event\":\"stopped\"", 2)) << recorder.output();
    EXPECT_EQ(recorder.wait(), 0);
    EXPECT_LT(secondsBetween(asked, Clock::now()), 2.5);
    server.thaw();
    EXPECT_EQ(recorder.output().find("\"event\":\"degraded\""), std::string::npos)
        << recorder.output();
    int stoppedAt = -1;
    const std::string& output = recorder.output();
    const auto stopped = output.rfind("{\"durationSec\":", output.find("\"event\":\"stopped\""));
    if (stopped != std::string::npos) {
      std::sscanf(output.c_str() + stopped, "{\"durationSec\":%d,\"event\":\"stopped\"",
                  &stoppedAt);
    }
    ASSERT_GE(stoppedAt, 0) << output;
    for (const char* name : {"mic.m4a", "system.m4a"}) {
      SCOPED_TRACE(name);
      const std::string path = outDir + "/" + name;
      EXPECT_TRUE(trackFileCompleted(path));
      // "durationSec" counts whole seconds from the program's start, set-up included.
      const double length = inspectTrack(path).duration;
      EXPECT_GE(length, stoppedAt - 1.0);
      EXPECT_LT(length, stoppedAt + 1.1);
    }
  }
}

// A pause costs the paused span and nothing else, in both tracks alike.
TEST_F(RecordThroughServerTrouble, ManyPausesLeaveBothTracksTheSameLength) {
  playBothTones(30);
  RecorderProcess recorder(outDir);
  ASSERT_TRUE(recorder.waitFor("\"event\":\"started\""));
  std::this_thread::sleep_for(500ms);
  for (int cycle = 0; cycle < 40; ++cycle) {
    recorder.send("pause\n");
    std::this_thread::sleep_for(50ms);
    recorder.send("resume\n");
    std::this_thread::sleep_for(200ms);
  }
  recorder.send("stop\n");
  EXPECT_EQ(recorder.wait(), 0);
  EXPECT_EQ(occurrences(recorder.output(), "\"event\":\"resumed\""), 40u);
  const auto mic = inspectTrack(outDir + "/mic.m4a");
  const auto system = inspectTrack(outDir + "/system.m4a");
  ASSERT_TRUE(mic.readable && system.readable);
  // Unloaded, 40 cycles leave them 4-39 ms apart; a busy machine adds to that. Losing a
  // fragment per pause, as the microphone once did, would be 1.8 s.
  EXPECT_NEAR(mic.duration, system.duration, 0.1);
  // 40 cycles of 200 ms recorded plus the half second before them.
  EXPECT_NEAR(mic.duration, 8.5, 0.5);
  EXPECT_TRUE(holdsTone(window(mic, 0.1, mic.duration - 0.1), 440, 1000));
  EXPECT_TRUE(holdsTone(window(system, 0.1, system.duration - 0.1), 1000, 440));
}

}  // namespace
}  // namespace zuno::e2e
