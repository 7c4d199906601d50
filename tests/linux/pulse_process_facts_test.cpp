#include "linux/pulse_process_facts.h"

#include "watch/call_app_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::linux_backend {
namespace {

using Properties = std::vector<std::pair<std::string, std::string>>;

struct Proplist {
  explicit Proplist(const Properties& properties) : list(pa_proplist_new()) {
    for (const auto& [key, value] : properties) pa_proplist_sets(list, key.c_str(), value.c_str());
  }
  ~Proplist() { pa_proplist_free(list); }
  pa_proplist* list;
};

struct BuildCase {
  const char* name;
  Properties properties;
  ProcessSandbox sandbox;  // what the host's records say about the client's process
  std::string identity;
  const char* app;  // the call watcher's app key; nullptr: unlisted
};

class Identity : public ::testing::TestWithParam<BuildCase> {};

// Every Linux build of the applications we follow, as the servers and the host present it, is
// known by one identity, which the call watcher's table gives its app. What the system vouches
// for (the sandbox) goes before what the client says (its application id, then its binary).
TEST_P(Identity, NamesTheBuildAndItsApp) {
  Proplist properties(GetParam().properties);
  pa_client_info info{};
  info.proplist = properties.list;
  const std::string identity = identityOf(clientFactsOf(info), GetParam().sandbox);
  EXPECT_EQ(identity, GetParam().identity);
  const auto match = zuno::matchCallApp(identity);
  if (GetParam().app == nullptr) {
    EXPECT_FALSE(match) << "matched as " << match->app;
  } else {
    ASSERT_TRUE(match) << identity << " is unlisted";
    EXPECT_EQ(match->app, GetParam().app);
  }
}

Properties binary(const char* name) {
  return {{"application.process.binary", name}, {"application.name", "Chromium input"}};
}
Properties portal(const char* appId, const char* name) {
  return {{"pipewire.access.portal.app_id", appId}, {"application.process.binary", name}};
}
ProcessSandbox flatpak(const char* appId) {
  return {appId, ""};
}
ProcessSandbox snap(const char* command) {
  return {"", command};
}

INSTANTIATE_TEST_SUITE_P(
    Builds, Identity,
    ::testing::Values(
        BuildCase{"ZoomNative", binary("zoom"), {}, "zoom", "zoom"},
        BuildCase{"ZoomFlatpak", portal("us.zoom.Zoom", "zoom"), {}, "us.zoom.Zoom", "zoom"},
        BuildCase{"ZoomSnap", binary("zoom"), snap("zoom-client"), "snap.zoom-client", "zoom"},
        BuildCase{"SlackNative", binary("slack"), {}, "slack", "slack"},
        BuildCase{"SlackFlatpak", binary("slack"), flatpak("com.slack.Slack"), "com.slack.Slack",
                  "slack"},
        BuildCase{"SlackSnap", binary("slack"), snap("slack"), "snap.slack", "slack"},
        BuildCase{"TeamsForLinuxNative", binary("teams-for-linux"), {}, "teams-for-linux", "teams"},
        BuildCase{"TeamsForLinuxFlatpak",
                  portal("com.github.IsmaelMartinez.teams_for_linux", "teams-for-linux"),
                  {},
                  "com.github.IsmaelMartinez.teams_for_linux",
                  "teams"},
        BuildCase{"TeamsForLinuxSnap", binary("teams-for-linux"), snap("teams-for-linux"),
                  "snap.teams-for-linux", "teams"},
        BuildCase{"TeamsNative", binary("teams"), {}, "teams", "teams"},
        BuildCase{"ChromeNative", binary("chrome"), {}, "chrome", "browser"},
        BuildCase{"ChromeFlatpak", binary("chrome"), flatpak("com.google.Chrome"),
                  "com.google.Chrome", "browser"},
        BuildCase{"ChromiumDebian", binary("chromium"), {}, "chromium", "browser"},
        BuildCase{"ChromiumFlatpak",
                  portal("org.chromium.Chromium", "chromium"),
                  {},
                  "org.chromium.Chromium",
                  "browser"},
        // The snap runs a binary called chrome: the confinement tells it from Chrome.
        BuildCase{"ChromiumSnap", binary("chrome"), snap("chromium"), "snap.chromium", "browser"},
        BuildCase{"ChromiumSnapByItsConnectionsLabel",
                  {{"pipewire.sec.label", "snap.chromium.chromium (enforce)"},
                   {"application.process.binary", "chrome"}},
                  {},
                  "snap.chromium",
                  "browser"},
        BuildCase{"EdgeNative", binary("msedge"), {}, "msedge", "browser"},
        BuildCase{"EdgeFlatpak",
                  portal("com.microsoft.Edge", "msedge"),
                  {},
                  "com.microsoft.Edge",
                  "browser"},
        BuildCase{"BraveNative", binary("brave"), {}, "brave", "browser"},
        BuildCase{"BraveFlatpak", binary("brave"), flatpak("com.brave.Browser"),
                  "com.brave.Browser", "browser"},
        BuildCase{"BraveSnap", binary("brave"), snap("brave"), "snap.brave", "browser"},
        BuildCase{"VivaldiNative", binary("vivaldi-bin"), {}, "vivaldi-bin", "browser"},
        BuildCase{"VivaldiFlatpak", binary("vivaldi-bin"), flatpak("com.vivaldi.Vivaldi"),
                  "com.vivaldi.Vivaldi", "browser"},
        BuildCase{"VivaldiSnapsOtherCommand", binary("vivaldi-bin"), snap("vivaldi.vivaldi-stable"),
                  "snap.vivaldi.vivaldi-stable", "browser"},
        BuildCase{"FirefoxNative", binary("firefox"), {}, "firefox", "browser"},
        BuildCase{"FirefoxEsr", binary("firefox-esr"), {}, "firefox-esr", "browser"},
        BuildCase{"FirefoxFlatpak", binary("firefox-bin"), flatpak("org.mozilla.firefox"),
                  "org.mozilla.firefox", "browser"},
        BuildCase{"FirefoxSnap", binary("firefox"), snap("firefox"), "snap.firefox", "browser"},
        // Order: the sandbox before the client's word, its application id before its binary.
        BuildCase{"SandboxBeforeTheClientsClaim",
                  {{"application.id", "us.zoom.xos"},
                   {"pipewire.access.portal.app_id", "com.slack.Slack"}},
                  flatpak("org.example.Other"),
                  "com.slack.Slack",
                  "slack"},
        BuildCase{"HostsRecordBeforeTheClientsClaim",
                  {{"application.id", "us.zoom.xos"}},
                  flatpak("com.slack.Slack"),
                  "com.slack.Slack",
                  "slack"},
        BuildCase{"ApplicationIdBeforeBinary",
                  {{"application.id", "us.zoom.xos"}, {"application.process.binary", "pacat"}},
                  {},
                  "us.zoom.xos",
                  "zoom"},
        BuildCase{"UnlistedBinaryByItsName", binary("audacity"), {}, "audacity", nullptr},
        BuildCase{"ABinaryNameIsNoPrefix", binary("zoomer"), {}, "zoomer", nullptr},
        BuildCase{"NorIsItCaseBlind", binary("Firefox"), {}, "Firefox", nullptr},
        BuildCase{"NameAloneIsNothing", {{"application.name", "Chromium input"}}, {}, "", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

struct PidCase {
  const char* name;
  Properties properties;
  const char* peersCommand;  // what the host calls the connection's peer; "" unreadable
  std::optional<std::int32_t> hostPid;
};

class HostPid : public ::testing::TestWithParam<PidCase> {};

const char* peersCommand = "";
std::string commandOfPeer(std::int32_t) {
  return peersCommand;
}

// The connection's peer where the server gives one that is not the server itself; the
// client's own word only where nothing better is known.
TEST_P(HostPid, IsTheOneTheServerVouchesFor) {
  Proplist properties(GetParam().properties);
  pa_client_info info{};
  info.proplist = properties.list;
  peersCommand = GetParam().peersCommand;
  EXPECT_EQ(hostPidOf(clientFactsOf(info), &commandOfPeer), GetParam().hostPid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostPid,
    ::testing::Values(PidCase{"ClassicPulseAudioHasOnlyTheClientsWord",
                              {{"application.process.id", "4242"}},
                              "",
                              4242},
                      PidCase{"APipeWireClientThatLies",
                              {{"application.process.id", "4242"}, {"pipewire.sec.pid", "500"}},
                              "",
                              500},
                      PidCase{"ABridgedClientsPeerIsThePulseServer",
                              {{"application.process.id", "2"},
                               {"pipewire.sec.pid", "600"},
                               {"client.api", "pipewire-pulse"}},
                              "pipewire-pulse",
                              2},
                      PidCase{"ABridgedClientsPeerIsTheClient",
                              {{"application.process.id", "2"},
                               {"pipewire.sec.pid", "700"},
                               {"client.api", "pipewire-pulse"}},
                              "firefox-esr",
                              700},
                      PidCase{"ABridgedClientsUnreadablePeerProvesNothing",
                              {{"application.process.id", "2"},
                               {"pipewire.sec.pid", "700"},
                               {"client.api", "pipewire-pulse"}},
                              "",
                              2},
                      PidCase{"NotANumber", {{"application.process.id", "12ab"}}, "", std::nullopt},
                      PidCase{"Nothing", {}, "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct SandboxRecordCase {
  const char* name;
  std::string (*reader)(std::string_view);
  const char* record;
  const char* expected;
};

class SandboxRecord : public ::testing::TestWithParam<SandboxRecordCase> {};

TEST_P(SandboxRecord, GivesTheSandboxOrNothing) {
  EXPECT_EQ(GetParam().reader(GetParam().record), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SandboxRecord,
    ::testing::Values(
        SandboxRecordCase{"FlatpakInfo", &flatpakAppIdIn,
                          "[Application]\nname=com.slack.Slack\nruntime=runtime/org.freedesktop."
                          "Platform/x86_64/23.08\n",
                          "com.slack.Slack"},
        SandboxRecordCase{"FlatpakInfoOtherGroupsFirst", &flatpakAppIdIn,
                          "[Runtime]\nname=org.freedesktop.Platform\n[Application]\nname=us.zoom."
                          "Zoom\n",
                          "us.zoom.Zoom"},
        SandboxRecordCase{"NoFlatpakInfo", &flatpakAppIdIn, "", ""},
        SandboxRecordCase{"AppArmorSnap", &snapCommandOfAppArmorLabel,
                          "snap.chromium.chromium (enforce)\n", "chromium"},
        SandboxRecordCase{"AppArmorSnapsOtherApp", &snapCommandOfAppArmorLabel,
                          "snap.vivaldi.vivaldi-stable (enforce)", "vivaldi.vivaldi-stable"},
        SandboxRecordCase{"AppArmorSnapHook", &snapCommandOfAppArmorLabel,
                          "snap.firefox.hook.configure (enforce)", ""},
        SandboxRecordCase{"AppArmorUnconfined", &snapCommandOfAppArmorLabel, "unconfined\n", ""},
        SandboxRecordCase{"AppArmorOtherProfile", &snapCommandOfAppArmorLabel,
                          "/usr/bin/man (enforce)", ""},
        SandboxRecordCase{"CgroupSnapScope", &snapCommandOfCgroups,
                          "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                          "snap.slack.slack-0b6e4c1a-2d3f-4e5a-8b9c-0d1e2f3a4b5c.scope\n",
                          "slack"},
        SandboxRecordCase{"CgroupOlderSnapScope", &snapCommandOfCgroups,
                          "1:name=systemd:/user.slice/snap.zoom-client.zoom-client."
                          "0b6e4c1a-2d3f-4e5a-8b9c-0d1e2f3a4b5c.scope\n0::/\n",
                          "zoom-client"},
        SandboxRecordCase{"CgroupDesktopApp", &snapCommandOfCgroups,
                          "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                          "app-gnome-firefox-4242.scope\n",
                          ""},
        SandboxRecordCase{"CgroupSnapWithoutScope", &snapCommandOfCgroups, "0::/snap.slack.slack\n",
                          ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct StreamCase {
  const char* name;
  Properties properties;
  const char* resampleMethod;
  bool levelMeter;
  bool capturesSink;
};

class RecordStream : public ::testing::TestWithParam<StreamCase> {};

// Meters and captures of a playback device are recognised however each server marks them.
TEST_P(RecordStream, IsRecognisedAsMeterOrSinkCapture) {
  Proplist properties(GetParam().properties);
  pa_source_output_info info{};
  info.proplist = properties.list;
  info.resample_method = GetParam().resampleMethod;
  const auto facts = recordStreamFactsOf(info);
  EXPECT_EQ(facts.levelMeter, GetParam().levelMeter);
  EXPECT_EQ(facts.capturesSink, GetParam().capturesSink);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordStream,
    ::testing::Values(
        StreamCase{"Microphone", {{"media.name", "capture"}}, "copy", false, false},
        StreamCase{"PulseAudioPeaks", {}, "peaks", true, false},
        StreamCase{"PipeWireMonitor", {{"stream.monitor", "true"}}, "PipeWire", true, false},
        StreamCase{"MixerMeterByName", {{"media.name", "Peak detect"}}, "copy", true, false},
        StreamCase{
            "PipeWireSinkCapture", {{"stream.capture.sink", "true"}}, "PipeWire", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform::linux_backend
