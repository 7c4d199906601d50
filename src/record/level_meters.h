#pragma once

#include "platform/pcm_buffer.h"

namespace zuno {

// The peaks behind the level reports. Guarded by the recorder's lock: raised by both audio
// threads, taken by the level timer on the main thread.
class LevelMeters {
 public:
  void raiseMicrophone(float peak);
  void raiseSystem(float peak);
  // The louder peak of both tracks since the last call, as reported (0 while paused); the
  // meters start over.
  double take(bool paused);

 private:
  float micLevelPeak = 0;
  float sysLevelPeak = 0;
};

// The largest absolute sample over every channel and frame; 0 for an empty or non-float buffer.
float bufferPeak(const platform::PCMBuffer& buffer);

// The combined level as reported: two decimals, halves away from zero, at most 1.
double levelValue(double level);

}  // namespace zuno
