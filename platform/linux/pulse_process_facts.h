#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "linux/process_sandbox.h"

namespace platform::linux_backend {

// What the server tells about one audio client, as far as the process objects need it.
struct PulseClientFacts {
  std::string applicationId;  // application.id: the client's own word
  std::string portalAppId;    // pipewire.access.portal.app_id: the sandbox PipeWire found
  std::string securityLabel;  // pipewire.sec.label: the connection's security label
  std::string binary;         // application.process.binary: the client's own word
  std::optional<std::int32_t> claimedPid;   // application.process.id: the client's own word
  std::optional<std::int32_t> securityPid;  // pipewire.sec.pid: the connection's peer
  // Made by PipeWire's pulse server for a client of its socket. The daemon's security
  // properties may then describe that server's own connection rather than the client.
  bool bridged = false;
  // A volume control or level monitor: everything it records is a meter, not a call.
  bool isMixer = false;
};
PulseClientFacts clientFactsOf(const pa_client_info& client);

// The client's process as the host knows it: the connection's peer where the server gives one
// that is not the server itself, else the client's own word. Inside a sandbox's pid namespace
// that word is not a host pid, and any client may give any number. `commandName` names a host
// process (its `comm`).
std::optional<std::int32_t> hostPidOf(const PulseClientFacts& client,
                                      std::string (*commandName)(std::int32_t));

// The identity an audio client goes by, as the call watcher's table knows builds: what the
// system vouches for first (the Flatpak id PipeWire found, the sandbox of its host process, the
// snap its connection's label names), then what the client says (its application id, its
// binary's file name). Empty when nothing names it. The client's name never decides: every
// application built on the same browser engine gives the same one.
std::string identityOf(const PulseClientFacts& client, const ProcessSandbox& sandbox);

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
