#include "record/level_meters.h"

#include <algorithm>
#include <cmath>

namespace zuno {

void LevelMeters::raiseMicrophone(float peak) {
  micLevelPeak = std::max(micLevelPeak, peak);
}

void LevelMeters::raiseSystem(float peak) {
  sysLevelPeak = std::max(sysLevelPeak, peak);
}

double LevelMeters::take(bool paused) {
  const double level = paused ? 0.0 : static_cast<double>(std::max(micLevelPeak, sysLevelPeak));
  micLevelPeak = 0;
  sysLevelPeak = 0;
  return levelValue(level);
}

float bufferPeak(const platform::PCMBuffer& buffer) {
  const auto channels = buffer.floatChannelData();
  if (buffer.frameLength() == 0 || channels.empty()) return 0;
  float highest = 0;
  const auto scan = [&highest](const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) highest = std::max(highest, std::fabs(samples[i]));
  };
  if (buffer.format().interleaved) {
    scan(channels[0], std::size_t{buffer.frameLength()} * buffer.format().channelCount);
  } else {
    for (const float* channel : channels) scan(channel, buffer.frameLength());
  }
  return highest;
}

double levelValue(double level) {
  if (!(level >= 0)) return 0;
  return std::round(std::min(level, 1.0) * 100) / 100;
}

}  // namespace zuno
