#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>

#include "linux/pulse_connection.h"
#include "platform/error.h"

namespace platform::linux_backend {

// What a source or sink records or plays, and, for a sink, the source that monitors it.
struct PulseDeviceFormat {
  std::string name;
  pa_sample_spec sampleSpec{};
  std::string monitorSourceName;
};

// Blocking questions to the server; each connects first if needed. Never call them on the
// mainloop thread.
Result<PulseDeviceFormat> defaultSourceFormat(PulseConnection& connection);
Result<PulseDeviceFormat> sourceFormat(PulseConnection& connection, const std::string& name);
Result<PulseDeviceFormat> defaultSinkFormat(PulseConnection& connection);

// A loaded module's index, or why the server refused it.
Result<std::uint32_t> loadModule(PulseConnection& connection, const std::string& name,
                                 const std::string& arguments);
MaybeError unloadModule(PulseConnection& connection, std::uint32_t index);

}  // namespace platform::linux_backend
