#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "linux/pulse_connection.h"
#include "platform/error.h"

namespace platform::linux_backend {

// Voice processing on the server: an echo-cancelling source built on the default source while
// enabled. The module lives in the server, not in this process, so it outlives a run that ends
// without disabling it; the program ends with _exit, so nothing but an explicit disable()
// removes it, and a run that was killed leaves it behind for the next enable() to remove.
class PulseEchoCanceller {
 public:
  explicit PulseEchoCanceller(std::shared_ptr<PulseConnection> connection);
  ~PulseEchoCanceller();
  PulseEchoCanceller(const PulseEchoCanceller&) = delete;
  PulseEchoCanceller& operator=(const PulseEchoCanceller&) = delete;

  // Removes the cancellers of runs that are gone, then loads this process's own.
  MaybeError enable();
  // Returns once the server confirmed this process's canceller is gone, or after about a
  // second when the server does not answer.
  MaybeError disable();
  // After the connection came back the server may be a new one, which lost the canceller with
  // the old one: whether this process's canceller is still there.
  bool isThere();
  // Loads the canceller again, on the microphone it was built on (which must be back). On
  // failure voice processing is off, and disable() still removes what a load that timed out may
  // yet leave.
  MaybeError reload();
  bool enabled() const { return enabled_; }
  // The source to record while enabled.
  const std::string& sourceName() const { return sourceName_; }
  // The microphone the canceller is built on.
  const std::string& masterName() const { return masterName_; }

 private:
  void removeLeftovers(PulseDeadline deadline);
  // Loads this process's canceller on `master` and waits for its source.
  MaybeError load(const std::string& master, PulseDeadline deadline);

  std::shared_ptr<PulseConnection> connection_;
  bool enabled_ = false;
  // From a load request until a disable() found nothing of ours left: a load that timed out
  // may still complete on the server.
  bool mayHaveModule_ = false;
  // Named after the process, so two recorders never fight over one name and the next run can
  // tell whose canceller it finds.
  std::string sourceName_;
  std::string sinkName_;
  std::string masterName_;
};

}  // namespace platform::linux_backend
