#include "linux/pulse_process_facts.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
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

// Volume controls and level monitors whose record streams only drive their meters.
constexpr std::array<std::string_view, 9> kMixerBinaries{
    "pavucontrol",          "pavucontrol-qt",      "pulsemixer",  "pasystray", "plasmashell",
    "gnome-control-center", "mate-volume-control", "pwvucontrol", "helvum"};
constexpr std::array<std::string_view, 3> kMixerApplicationIds{
    "org.PulseAudio.pavucontrol", "org.pulseaudio.pavucontrol", "com.saivert.pwvucontrol"};

std::optional<std::int32_t> pidIn(const std::string& text) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value <= 0) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

PulseClientFacts clientFactsOf(const pa_client_info& client) {
  PulseClientFacts facts;
  facts.applicationId = property(client.proplist, PA_PROP_APPLICATION_ID);
  facts.portalAppId = property(client.proplist, "pipewire.access.portal.app_id");
  facts.securityLabel = property(client.proplist, "pipewire.sec.label");
  facts.binary = property(client.proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
  facts.claimedPid = pidIn(property(client.proplist, PA_PROP_APPLICATION_PROCESS_ID));
  facts.securityPid = pidIn(property(client.proplist, "pipewire.sec.pid"));
  facts.bridged = property(client.proplist, "client.api") == "pipewire-pulse";
  facts.isMixer = std::find(kMixerBinaries.begin(), kMixerBinaries.end(), facts.binary) !=
                      kMixerBinaries.end() ||
                  std::find(kMixerApplicationIds.begin(), kMixerApplicationIds.end(),
                            facts.applicationId) != kMixerApplicationIds.end();
  return facts;
}

std::optional<std::int32_t> hostPidOf(const PulseClientFacts& client,
                                      std::string (*commandName)(std::int32_t)) {
  if (client.securityPid) {
    if (!client.bridged) return client.securityPid;
    // PipeWire's pulse server connects to the daemon on each client's behalf; where the peer
    // it gives is that server (pipewire-pulse, or pipewire running its module), it says
    // nothing about the client. An unreadable name proves nothing either way.
    const std::string name = commandName(*client.securityPid);
    if (!name.empty() && !name.starts_with("pipewire")) return client.securityPid;
  }
  return client.claimedPid;
}

std::string identityOf(const PulseClientFacts& client, const ProcessSandbox& sandbox) {
  if (!client.portalAppId.empty()) return client.portalAppId;
  if (!sandbox.flatpakAppId.empty()) return sandbox.flatpakAppId;
  std::string snap = snapCommandOfAppArmorLabel(client.securityLabel);
  if (snap.empty()) snap = sandbox.snapCommand;
  if (!snap.empty()) return "snap." + snap;
  if (!client.applicationId.empty()) return client.applicationId;
  return client.binary;
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
