#include "record/microphone_track.h"

#include <algorithm>
#include <cmath>

namespace zuno {

std::optional<TrackFailure> MicrophoneTrack::write(const platform::PCMBuffer& buffer,
                                                   LevelMeters& meters) {
  if (micWriteFailed || !micWriter) return std::nullopt;
  const auto channels = buffer.floatChannelData();
  if (!channels.empty()) {
    const float* samples = channels[0];
    float bufferHighest = 0;
    for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
      bufferHighest = std::max(bufferHighest, std::fabs(samples[i]));
    }
    micPeak = std::max(micPeak, bufferHighest);
    meters.raiseMicrophone(bufferHighest);
    micFramesSeen += buffer.frameLength();
  }
  try {
    micWriter->write(buffer);
  } catch (const DescribedError& error) {
    micWriteFailed = true;
    unreported_ = error.description();
    return TrackFailure{error.description(), error.debugDescription()};
  }
  return std::nullopt;
}

}  // namespace zuno
