#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/watch_e2e_support.h"

namespace zuno::e2e {
namespace {

std::string startedLine(const std::string& app, const std::string& bundleId,
                        const std::string& label) {
  return "{\"app\":\"" + app + "\",\"bundleId\":\"" + bundleId +
         "\",\"event\":\"call_started\",\"label\":\"" + label + "\"}";
}
std::string endedLine(const std::string& app) {
  return "{\"app\":\"" + app + "\",\"event\":\"call_ended\"}";
}
const std::string kZoomLabel = "Zoom の通話";

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
  // each window is checked against the bound that could make it fail. The stream is found by
  // a property of its client: by default the client's process id, which a client in a
  // sandbox's pid namespace does not give.
  void expectCallOf(std::vector<std::string> client, const std::string& app,
                    const std::string& bundleId, const std::string& label,
                    std::string listedBy = "") {
    WatchProcess watch(server.directory() + "/watch.err");
    ChildProcess capture(std::move(client));
    if (listedBy.empty())
      listedBy = propertyLine("application.process.id", std::to_string(capture.pid()));
    const auto listed = waitUntilListed(listedBy, true);
    ASSERT_TRUE(listed) << "the server never listed the capture of " << capture.pid() << ":\n"
                        << shell("pactl list source-outputs 2>&1");
    const auto started = watch.waitFor("call_started");
    ASSERT_TRUE(started) << "no call_started; standard error: " << watch.standardError()
                         << shell("pactl list clients 2>&1");
    EXPECT_GE(secondsBetween(capture.startedAt(), *started), 1.0);
    EXPECT_LE(secondsBetween(*listed, *started), 2.5);

    const auto stoppedAt = Clock::now();
    capture.stop();
    const auto gone = waitUntilListed(listedBy, false);
    ASSERT_TRUE(gone);
    const auto ended = watch.waitFor("call_ended");
    ASSERT_TRUE(ended) << "no call_ended";
    EXPECT_GE(secondsBetween(stoppedAt, *ended), 5.0);
    EXPECT_LE(secondsBetween(*gone, *ended), 7.0);

    EXPECT_EQ(watch.endWith(SIGTERM), 0);
    ASSERT_EQ(watch.lines().size(), 2u);
    EXPECT_EQ(watch.lines()[0].text, startedLine(app, bundleId, label));
    EXPECT_EQ(watch.lines()[1].text, endedLine(app));
  }

  PrivateAudioServer server;
};

TEST_F(WatchForReal, AClientCallingItselfZoomMakesACall) {
  expectCallOf({"/usr/bin/parec", "--property=application.id=us.zoom.xos", "--device=mic"}, "zoom",
               "us.zoom.xos", kZoomLabel);
}

TEST_F(WatchForReal, AClientKnownOnlyByItsBinaryIsMatched) {
  expectCallOf({toolNamedZoom("pacat"), "--record", "--device=mic"}, "zoom", "zoom", kZoomLabel);
}

// PipeWire's own capture streams are record streams to its pulse server as well.
TEST_F(WatchForReal, APipeWireCaptureStreamIsMatched) {
  if (!onPipeWire()) GTEST_SKIP() << "PipeWire only";
  expectCallOf({toolNamedZoom("pw-cat"), "--record", "--target=mic", "-"}, "zoom", "zoom",
               kZoomLabel);
}

// A client in a sandbox is known by the sandbox's id, whatever it says about itself (here it
// is pacat, which is unlisted). On PipeWire the sandbox has a pid namespace of its own, as a
// Flatpak's has, and the pulse server finds the sandbox from the connection. Classic PulseAudio
// vouches for no pid: there the sandbox is found through the client's own pid, which must then
// be the host's.
struct SandboxedApp {
  const char* name;
  const char* flatpakId;
  const char* app;
  const char* label;
};

class WatchASandboxedClient : public WatchForReal,
                              public ::testing::WithParamInterface<SandboxedApp> {};

TEST_P(WatchASandboxedClient, IsKnownByItsSandboxsId) {
  const std::string directory = server.directory();
  const std::string info = directory + "/" + GetParam().name + ".flatpak-info";
  shell(
      "printf '[Application]\\nname=%s\\nruntime=runtime/org.freedesktop.Platform/x86_64/"
      "23.08\\n' '" +
      std::string(GetParam().flatpakId) + "' > '" + info + "'");
  const std::string clientName = std::string("sandboxed-") + GetParam().name;
  std::vector<std::string> sandbox{"/usr/bin/bwrap"};
  if (onPipeWire()) sandbox.push_back("--unshare-pid");
  for (const char* word : {"--die-with-parent",
                           "--ro-bind",
                           "/usr",
                           "/usr",
                           "--symlink",
                           "usr/lib",
                           "/lib",
                           "--symlink",
                           "usr/lib64",
                           "/lib64",
                           "--symlink",
                           "usr/bin",
                           "/bin",
                           "--ro-bind",
                           "/etc",
                           "/etc",
                           "--proc",
                           "/proc",
                           "--dev",
                           "/dev"}) {
    sandbox.emplace_back(word);
  }
  // The server's socket lives in its directory.
  sandbox.insert(sandbox.end(),
                 {"--bind", directory, directory, "--ro-bind", info, "/.flatpak-info", "--",
                  "/usr/bin/parec", "--device=mic", "--client-name=" + clientName});
  expectCallOf(sandbox, GetParam().app, GetParam().flatpakId, GetParam().label,
               propertyLine("application.name", clientName));
}

INSTANTIATE_TEST_SUITE_P(
    Flatpaks, WatchASandboxedClient,
    ::testing::Values(SandboxedApp{"Slack", "com.slack.Slack", "slack", "Slack のハドル"},
                      SandboxedApp{"TeamsForLinux", "com.github.IsmaelMartinez.teams_for_linux",
                                   "teams", "Teams の通話"},
                      SandboxedApp{"Edge", "com.microsoft.Edge", "browser", "ブラウザでの通話"}),
    [](const auto& info) { return std::string(info.param.name); });

// A client is judged by the process the server vouches for, not the one it names: this one
// claims to be the watcher's parent (this test), whose own audio is never a call.
TEST_F(WatchForReal, AClientClaimingToBeTheParentIsJudgedByItsRealProcess) {
  if (!onPipeWire()) {
    GTEST_SKIP() << "classic PulseAudio vouches for no pid: the client's word is all there is";
  }
  const std::string config = server.directory() + "/lying-client";
  std::filesystem::create_directories(config);
  const std::string lie = std::to_string(::getpid());
  // The client library's own configuration sets its properties; both names it has gone by.
  for (const char* name : {"client-rt.conf", "client.conf"}) {
    const std::string stock = std::string("/usr/share/pipewire/") + name;
    if (!std::filesystem::exists(stock)) continue;
    shell("sed 's/^context.properties = {/context.properties = {\\n    application.process.id = " +
          lie + "/' '" + stock + "' > '" + config + "/" + name + "'");
  }
  expectCallOf({"/usr/bin/env", "PIPEWIRE_CONFIG_DIR=" + config, toolNamedZoom("pw-cat"),
                "--record", "--target=mic", "-"},
               "zoom", "zoom", kZoomLabel, propertyLine("application.process.id", lie));
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
