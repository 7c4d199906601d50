#pragma once

#include <cstdint>
#include <optional>

namespace zuno {

// The recorded time: wall-clock seconds since the recorder was made, with the paused spans left
// out. Main thread only: pause, resume and every report of the duration run there, so it needs
// no lock (the audio threads learn of a pause from the recorder's run flags instead).
class PauseClock {
 public:
  explicit PauseClock(double start) : startedAt(start) {}

  void pause(double now);
  void resume(double now);
  // Whole seconds recorded by `now`; never negative, even when the wall clock went back.
  std::int64_t recordedSeconds(double now) const;

 private:
  const double startedAt;
  std::optional<double> pausedSince;
  double pausedTotal = 0;
};

}  // namespace zuno
