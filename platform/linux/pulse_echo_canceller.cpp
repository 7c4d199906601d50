#include "linux/pulse_echo_canceller.h"

#include <unistd.h>

#include "linux/pulse_server_queries.h"

namespace platform::linux_backend {

PulseEchoCanceller::PulseEchoCanceller(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)),
      sourceName_("zuno_ec_source_" + std::to_string(::getpid())),
      sinkName_("zuno_ec_sink_" + std::to_string(::getpid())) {}

PulseEchoCanceller::~PulseEchoCanceller() {
  disable();
}

MaybeError PulseEchoCanceller::enable() {
  if (module_) return std::nullopt;
  auto master = defaultSourceFormat(*connection_);
  if (!master) {
    return pulseError("voice processing is unavailable: " + master.error().description);
  }
  const std::string arguments =
      "source_name=" + sourceName_ + " sink_name=" + sinkName_ + " source_master=" + master->name;
  auto module = loadModule(*connection_, "module-echo-cancel", arguments);
  if (!module) {
    return pulseError(
        "voice processing is unavailable: the audio server cannot load its echo "
        "canceller (" +
        module.error().description + ")");
  }
  module_ = *module;
  return std::nullopt;
}

MaybeError PulseEchoCanceller::disable() {
  if (!module_) return std::nullopt;
  const std::uint32_t index = *module_;
  module_.reset();
  return unloadModule(*connection_, index);
}

}  // namespace platform::linux_backend
