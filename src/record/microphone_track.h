#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "record/level_meters.h"
#include "record/track_writer.h"

namespace zuno {

// The microphone's track file, and what the capture callback has learnt of its audio. Guarded
// by the recorder's lock: the engine's tap thread writes; the main thread opens it before any
// capture, asks it for the zero guard and takes the writer out to close it.
class MicrophoneTrack {
 public:
  void open(std::shared_ptr<TrackWriter> writer) { micWriter = std::move(writer); }
  // Meters (channel 0) and writes one buffer unless the track takes no more. A failed write ends
  // the track; its report is then owed (takeUnreportedFailure).
  std::optional<TrackFailure> write(const platform::PCMBuffer& buffer, LevelMeters& meters);
  // Something was heard and every sample so far was exactly zero.
  bool heardOnlyZeros() const { return micFramesSeen >= 1 && micPeak == 0.0f; }
  std::shared_ptr<TrackWriter> takeWriter() { return std::move(micWriter); }
  // The description of a failed write whose report has not been made yet, once.
  std::optional<std::string> takeUnreportedFailure() { return std::exchange(unreported_, {}); }

 private:
  std::shared_ptr<TrackWriter> micWriter;
  bool micWriteFailed = false;
  // Over the whole run, never reset: the zero guard's evidence.
  float micPeak = 0;
  std::int64_t micFramesSeen = 0;
  std::optional<std::string> unreported_;
};

}  // namespace zuno
