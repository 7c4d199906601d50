#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::linux_backend {

// What the server tells about one audio client, as far as the process objects need it.
struct PulseClientFacts {
  std::string applicationId;  // application.id
  std::string portalAppId;    // pipewire.access.portal.app_id
  std::string binary;         // application.process.binary
  std::optional<std::int32_t> pid;
  // A volume control or level monitor: everything it records is a meter, not a call.
  bool isMixer = false;
};
PulseClientFacts clientFactsOf(const pa_client_info& client);

// The bundle identifier an audio client goes by: its own application id; else the id of its
// sandbox; else the identifier of the well-known build its binary is; else a stable identifier
// made from the binary's name, so that an unlisted application is logged under a name a person
// recognises. Empty when none of these is known. The binary decides rather than the client's
// name: every application built on the same browser engine gives the same name.
std::string bundleIdentifierOf(const PulseClientFacts& client, std::string_view flatpakAppId);
// The application named in a sandboxed process's `.flatpak-info`; empty when it has none or it
// cannot be read.
std::string flatpakAppIdOf(std::int32_t pid);

// One record stream, reduced to what decides whether its client captures input.
struct PulseRecordStreamFacts {
  std::uint32_t client = PA_INVALID_INDEX;
  std::uint32_t source = PA_INVALID_INDEX;
  bool corked = false;
  // A peak-detect stream: however the server marks it, it only measures a level.
  bool levelMeter = false;
  // Set up to record a playback device (its monitor), which is no microphone.
  bool capturesSink = false;
};
PulseRecordStreamFacts recordStreamFactsOf(const pa_source_output_info& output);

}  // namespace platform::linux_backend
