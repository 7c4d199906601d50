#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/watch_e2e_support.h"

namespace zuno::e2e {
namespace {

const std::string kZoomStarted =
    "{\"app\":\"zoom\",\"bundleId\":\"us.zoom.xos\",\"event\":\"call_started\",\"label\":\"Zoom "
    "の通話\"}";
const std::string kZoomEnded = "{\"app\":\"zoom\",\"event\":\"call_ended\"}";

bool onPipeWire() {
  const char* kind = std::getenv("ZUNO_TEST_AUDIO_SERVER");
  return kind != nullptr && std::string(kind) == "pipewire";
}

class WatchForReal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.running()) GTEST_SKIP() << "no private audio server could be started";
  }
  // A copy of a capture tool under the name `zoom`, as the Linux build's binary is called.
  std::string toolNamedZoom(const std::string& tool) {
    const std::string directory = server.directory() + "/" + tool;
    std::filesystem::create_directories(directory);
    const std::string copy = directory + "/zoom";
    std::filesystem::copy_file(std::filesystem::canonical("/usr/bin/" + tool), copy);
    return copy;
  }

  // The capture's stream is listed at some moment between the client's start and the moment
  // this test saw it listed, and gone between its stop and the moment the test saw it gone:
  // each window is checked against the bound that could make it fail.
  void expectCallOf(std::vector<std::string> client) {
    WatchProcess watch(server.directory() + "/watch.err");
    ChildProcess capture(std::move(client));
    const auto listed = waitUntilListed(capture.pid(), true);
    ASSERT_TRUE(listed) << "the server never listed the capture of " << capture.pid() << ":\n"
                        << shell("pactl list source-outputs 2>&1");
    const auto started = watch.waitFor("call_started");
    ASSERT_TRUE(started) << "no call_started";
    EXPECT_GE(secondsBetween(capture.startedAt(), *started), 1.0);
    EXPECT_LE(secondsBetween(*listed, *started), 2.5);

    const auto stoppedAt = Clock::now();
    const int pid = capture.pid();
    capture.stop();
    const auto gone = waitUntilListed(pid, false);
    ASSERT_TRUE(gone);
    const auto ended = watch.waitFor("call_ended");
    ASSERT_TRUE(ended) << "no call_ended";
    EXPECT_GE(secondsBetween(stoppedAt, *ended), 5.0);
    EXPECT_LE(secondsBetween(*gone, *ended), 7.0);

    EXPECT_EQ(watch.endWith(SIGTERM), 0);
    ASSERT_EQ(watch.lines().size(), 2u);
    EXPECT_EQ(watch.lines()[0].text, kZoomStarted);
    EXPECT_EQ(watch.lines()[1].text, kZoomEnded);
  }

  PrivateAudioServer server;
};

TEST_F(WatchForReal, AClientCallingItselfZoomMakesACall) {
  expectCallOf({"/usr/bin/parec", "--property=application.id=us.zoom.xos", "--device=mic"});
}

TEST_F(WatchForReal, AClientKnownOnlyByItsBinaryIsMatched) {
  expectCallOf({toolNamedZoom("pacat"), "--record", "--device=mic"});
}

// PipeWire's own capture streams are record streams to its pulse server as well.
TEST_F(WatchForReal, APipeWireCaptureStreamIsMatched) {
  if (!onPipeWire()) GTEST_SKIP() << "PipeWire only";
  expectCallOf({toolNamedZoom("pw-cat"), "--record", "--target=mic", "-"});
}

// Streams that capture no microphone, and an unlisted application, announce nothing. They
// start first; a Teams call started after them is announced no earlier than any of theirs
// would have been, so its line proves they had their chance.
TEST_F(WatchForReal, CorkedMonitorAndMeterStreamsAreNoCallAndUnlistedInputIsLoggedOnce) {
  WatchProcess watch(server.directory() + "/watch.err");
  const std::string client = ZUNO_CAPTURE_CLIENT;
  const std::string zoom = "application.id=us.zoom.xos";
  std::vector<std::unique_ptr<ChildProcess>> quiet;
  quiet.push_back(std::make_unique<ChildProcess>(
      std::vector<std::string>{client, "--corked", "--device=mic", zoom}));
  quiet.push_back(std::make_unique<ChildProcess>(
      std::vector<std::string>{client, "--peak-detect", "--device=mic", zoom}));
  quiet.push_back(std::make_unique<ChildProcess>(
      std::vector<std::string>{client, "--device=speakers.monitor", zoom}));
  ChildProcess unlisted({client, "--device=mic", "application.id=org.example.Dictaphone"});
  for (const auto& child : quiet) ASSERT_TRUE(waitUntilListed(child->pid(), true));
  ASSERT_TRUE(waitUntilListed(unlisted.pid(), true));

  ChildProcess teams({client, "--device=mic", "application.id=com.microsoft.teams"});
  ASSERT_TRUE(waitUntilListed(teams.pid(), true));
  ASSERT_TRUE(watch.waitFor("call_started"));
  // Its end comes five seconds of scans later, each of which could log the unlisted client.
  teams.stop();
  ASSERT_TRUE(watch.waitFor("call_ended"));

  EXPECT_EQ(watch.endWith(SIGTERM), 0);
  std::vector<std::string> lines;
  for (const auto& line : watch.lines()) lines.push_back(line.text);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "{\"app\":\"teams\",\"bundleId\":\"com.microsoft.teams\",\"event\":"
                       "\"call_started\",\"label\":\"Teams の通話\"}",
                       "{\"app\":\"teams\",\"event\":\"call_ended\"}"}));
  EXPECT_EQ(watch.standardError(), "input active (unlisted): bundle=org.example.Dictaphone\n");
}

}  // namespace
}  // namespace zuno::e2e
