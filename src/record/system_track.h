#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "record/level_meters.h"
#include "record/track_writer.h"

namespace zuno {

// The system-audio track file. Guarded by the recorder's lock: the tap's IO thread writes; the
// main thread opens it before the tap starts and takes the writer out to close it.
class SystemTrack {
 public:
  void open(std::shared_ptr<TrackWriter> writer) { sysWriter = std::move(writer); }
  // Meters and writes one buffer unless the track takes no more. A failed write ends the track
  // (the caller completes the file with what it has, takeWriter); its report is then owed.
  std::optional<TrackFailure> write(const platform::PCMBuffer& buffer, LevelMeters& meters);
  std::shared_ptr<TrackWriter> takeWriter() { return std::move(sysWriter); }
  // Whether a failed write's report is owed, once.
  bool takeUnreportedFailure() { return std::exchange(unreported_, false); }

 private:
  std::shared_ptr<TrackWriter> sysWriter;
  bool sysWriteFailed = false;
  bool unreported_ = false;
};

}  // namespace zuno
