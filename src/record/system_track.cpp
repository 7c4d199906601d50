#include "record/system_track.h"

namespace zuno {

std::optional<TrackFailure> SystemTrack::write(const platform::PCMBuffer& buffer,
                                               LevelMeters& meters) {
  if (sysWriteFailed || !sysWriter) return std::nullopt;
  meters.raiseSystem(bufferPeak(buffer));
  try {
    sysWriter->write(buffer);
  } catch (const DescribedError& error) {
    sysWriteFailed = true;
    unreported_ = true;
    return TrackFailure{error.description(), error.debugDescription()};
  }
  return std::nullopt;
}

}  // namespace zuno
