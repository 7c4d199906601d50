#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "linux/pulse_connection.h"
#include "platform/error.h"

namespace platform::linux_backend {

// What a source or sink records or plays; for a sink, the source that monitors it, and for a
// source that is a monitor, the sink it monitors.
struct PulseDeviceFormat {
  std::string name;
  pa_sample_spec sampleSpec{};
  std::string monitorSourceName;
  bool isMonitor = false;
  std::string monitoredSinkName;
};

// A module loaded into the server, with the arguments it was loaded with.
struct PulseModule {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string arguments;
};

// Blocking questions to the server; each connects first if needed and gives up at `deadline`.
// Never call them on the mainloop thread.
//
// The default source as the microphone: a default source that monitors an output is an error.
// A server without a real input names such a monitor its default (a desktop's keeps a null
// output around for this), and recording it would put what the speakers play in the
// microphone's place.
Result<PulseDeviceFormat> defaultSourceFormat(
    PulseConnection& connection, PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout));
Result<PulseDeviceFormat> sourceFormat(
    PulseConnection& connection, const std::string& name,
    PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout));
// Like sourceFormat, but a source that does not exist yet is asked for again until `deadline`:
// a server may confirm a module before the source it creates is there.
Result<PulseDeviceFormat> awaitSource(PulseConnection& connection, const std::string& name,
                                      PulseDeadline deadline);
Result<PulseDeviceFormat> defaultSinkFormat(
    PulseConnection& connection, PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout));

Result<std::vector<PulseModule>> listModules(
    PulseConnection& connection, PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout));
// A loaded module's index, or why the server refused it. A load that timed out may still
// complete on the server later.
Result<std::uint32_t> loadModule(PulseConnection& connection, const std::string& name,
                                 const std::string& arguments,
                                 PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout));
// Returns once the server confirmed the module is gone, refused, or `deadline` passed.
MaybeError unloadModule(PulseConnection& connection, std::uint32_t index,
                        PulseDeadline deadline = pulseDeadlineIn(kPulseQueryTimeout));

}  // namespace platform::linux_backend
