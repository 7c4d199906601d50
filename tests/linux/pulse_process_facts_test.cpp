#include "linux/pulse_process_facts.h"

#include <gtest/gtest.h>

#include <string>
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

struct ClientCase {
  const char* name;
  Properties properties;
  std::string flatpak;
  std::string bundleId;
};

class BundleIdentifier : public ::testing::TestWithParam<ClientCase> {};

// The client's own id first, then its sandbox's, then the well-known binary, then the binary's
// name; the client's name never decides.
TEST_P(BundleIdentifier, FollowsTheClientsMostSpecificName) {
  Proplist properties(GetParam().properties);
  pa_client_info info{};
  info.proplist = properties.list;
  EXPECT_EQ(bundleIdentifierOf(clientFactsOf(info), GetParam().flatpak), GetParam().bundleId);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BundleIdentifier,
    ::testing::Values(ClientCase{"ApplicationIdFirst",
                                 {{"application.id", "us.zoom.xos"},
                                  {"pipewire.access.portal.app_id", "org.example.Sandboxed"},
                                  {"application.process.binary", "firefox"}},
                                 "org.example.Flatpak",
                                 "us.zoom.xos"},
                      ClientCase{"PortalBeforeFlatpakAndBinary",
                                 {{"pipewire.access.portal.app_id", "com.slack.Slack"},
                                  {"application.process.binary", "slack"}},
                                 "org.example.Flatpak",
                                 "com.slack.Slack"},
                      ClientCase{"FlatpakBeforeBinary",
                                 {{"application.process.binary", "chrome"}},
                                 "com.google.Chrome.Flatpak",
                                 "com.google.Chrome.Flatpak"},
                      ClientCase{"KnownBinary",
                                 {{"application.process.binary", "teams-for-linux"},
                                  {"application.name", "Chromium input"}},
                                 "",
                                 "com.microsoft.teams"},
                      ClientCase{"ChromiumIsNotChrome",
                                 {{"application.process.binary", "chromium"}},
                                 "",
                                 "org.chromium.Chromium"},
                      ClientCase{"UnknownBinaryByName",
                                 {{"application.process.binary", "audacity"},
                                  {"application.name", "Chromium input"}},
                                 "",
                                 "audacity"},
                      ClientCase{
                          "NameAloneIsNothing", {{"application.name", "Chromium input"}}, "", ""}),
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
