#include "linux/pulse_process_facts.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <fstream>
#include <utility>

namespace platform::linux_backend {
namespace {

std::string property(const pa_proplist* properties, const char* key) {
  if (properties == nullptr) return {};
  const char* value = pa_proplist_gets(properties, key);
  return value == nullptr ? std::string() : std::string(value);
}

bool isTrue(std::string_view value) {
  return value == "true" || value == "1" || value == "yes";
}

std::string lowered(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == ' ' || c == '-' || c == '_') continue;
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// The Linux builds of conferencing applications and browsers, by the binary's file name.
constexpr std::array<std::pair<std::string_view, std::string_view>, 14> kKnownBinaries{{
    {"zoom", "us.zoom.xos"},
    {"slack", "com.tinyspeck.slackmacgap"},
    {"teams", "com.microsoft.teams"},
    {"teams-insiders", "com.microsoft.teams"},
    {"teams-for-linux", "com.microsoft.teams"},
    {"chrome", "com.google.Chrome"},
    {"google-chrome", "com.google.Chrome"},
    {"msedge", "com.microsoft.edgemac"},
    {"brave", "com.brave.Browser"},
    {"vivaldi-bin", "com.vivaldi.Vivaldi"},
    {"firefox", "org.mozilla.firefox"},
    {"firefox-bin", "org.mozilla.firefox"},
    {"firefox-esr", "org.mozilla.firefox"},
    {"chromium", "org.chromium.Chromium"},
}};

// Volume controls and level monitors whose record streams only drive their meters.
constexpr std::array<std::string_view, 9> kMixerBinaries{
    "pavucontrol",          "pavucontrol-qt",      "pulsemixer",  "pasystray", "plasmashell",
    "gnome-control-center", "mate-volume-control", "pwvucontrol", "helvum"};
constexpr std::array<std::string_view, 3> kMixerApplicationIds{
    "org.PulseAudio.pavucontrol", "org.pulseaudio.pavucontrol", "com.saivert.pwvucontrol"};

}  // namespace

PulseClientFacts clientFactsOf(const pa_client_info& client) {
  PulseClientFacts facts;
  facts.applicationId = property(client.proplist, PA_PROP_APPLICATION_ID);
  facts.portalAppId = property(client.proplist, "pipewire.access.portal.app_id");
  facts.binary = property(client.proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
  const std::string pid = property(client.proplist, PA_PROP_APPLICATION_PROCESS_ID);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(pid.data(), pid.data() + pid.size(), value);
  if (error == std::errc() && end == pid.data() + pid.size() && !pid.empty()) facts.pid = value;
  facts.isMixer = std::find(kMixerBinaries.begin(), kMixerBinaries.end(), facts.binary) !=
                      kMixerBinaries.end() ||
                  std::find(kMixerApplicationIds.begin(), kMixerApplicationIds.end(),
                            facts.applicationId) != kMixerApplicationIds.end();
  return facts;
}

std::string bundleIdentifierOf(const PulseClientFacts& client, std::string_view flatpakAppId) {
  if (!client.applicationId.empty()) return client.applicationId;
  if (!client.portalAppId.empty()) return client.portalAppId;
  if (!flatpakAppId.empty()) return std::string(flatpakAppId);
  if (client.binary.empty()) return {};
  for (const auto& [binary, bundleId] : kKnownBinaries) {
    if (client.binary == binary) return std::string(bundleId);
  }
  return client.binary;
}

std::string flatpakAppIdOf(std::int32_t pid) {
  if (pid <= 0) return {};
  std::ifstream info("/proc/" + std::to_string(pid) + "/root/.flatpak-info");
  bool inApplication = false;
  for (std::string line; std::getline(info, line);) {
    if (line.starts_with('[')) {
      inApplication = line == "[Application]";
      continue;
    }
    if (inApplication && line.starts_with("name=")) return line.substr(5);
  }
  return {};
}

PulseRecordStreamFacts recordStreamFactsOf(const pa_source_output_info& output) {
  PulseRecordStreamFacts facts;
  facts.client = output.client;
  facts.source = output.source;
  facts.corked = output.corked != 0;
  const std::string resampleMethod = output.resample_method ? output.resample_method : "";
  const std::string name = lowered(property(output.proplist, PA_PROP_MEDIA_NAME));
  // PulseAudio measures peaks with a resampler of that name; PipeWire's server marks the stream
  // as a monitor instead. Mixers name their meter streams "Peak detect" or "PeakDetect".
  facts.levelMeter = resampleMethod == "peaks" ||
                     isTrue(property(output.proplist, "stream.monitor")) ||
                     isTrue(property(output.proplist, "resample.peaks")) || name == "peakdetect";
  facts.capturesSink = isTrue(property(output.proplist, "stream.capture.sink"));
  return facts;
}

}  // namespace platform::linux_backend
