#include "record/pause_clock.h"

#include <cmath>

namespace zuno {

void PauseClock::pause(double now) {
  if (!pausedSince) pausedSince = now;
}

void PauseClock::resume(double now) {
  if (!pausedSince) return;
  pausedTotal += now - *pausedSince;
  pausedSince.reset();
}

std::int64_t PauseClock::recordedSeconds(double now) const {
  const double currentPause = pausedSince ? now - *pausedSince : 0.0;
  const double duration = std::trunc((now - startedAt - pausedTotal) - currentPause);
  return duration > 0 ? static_cast<std::int64_t>(duration) : 0;
}

}  // namespace zuno
