#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "linux/pulse_connection.h"
#include "platform/error.h"

namespace platform::linux_backend {

// Voice processing on the server: an echo-cancelling source built on the default source while
// enabled, removed again when disabled or destroyed.
class PulseEchoCanceller {
 public:
  explicit PulseEchoCanceller(std::shared_ptr<PulseConnection> connection);
  ~PulseEchoCanceller();
  PulseEchoCanceller(const PulseEchoCanceller&) = delete;
  PulseEchoCanceller& operator=(const PulseEchoCanceller&) = delete;

  MaybeError enable();
  MaybeError disable();
  bool enabled() const { return module_.has_value(); }
  // The source to record while enabled.
  const std::string& sourceName() const { return sourceName_; }

 private:
  std::shared_ptr<PulseConnection> connection_;
  std::optional<std::uint32_t> module_;
  // Unique per process, so two recorders never fight over one name.
  std::string sourceName_;
  std::string sinkName_;
};

}  // namespace platform::linux_backend
