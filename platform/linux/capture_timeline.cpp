#include "linux/capture_timeline.h"

#include <algorithm>
#include <cmath>

namespace platform::linux_backend {

CaptureTimeline::CaptureTimeline(double sampleRate) : sampleRate_(sampleRate) {}

void CaptureTimeline::resume(Clock::time_point now) {
  if (running_) return;
  running_ = true;
  runningSince_ = now;
}

void CaptureTimeline::pause(Clock::time_point now) {
  if (!running_) return;
  ranBefore_ += std::max(Clock::duration::zero(), now - runningSince_);
  running_ = false;
}

std::uint64_t CaptureTimeline::framesOf(std::chrono::nanoseconds duration) const {
  if (duration.count() <= 0) return 0;
  return static_cast<std::uint64_t>(
      std::llround(std::chrono::duration<double>(duration).count() * sampleRate_));
}

std::uint64_t CaptureTimeline::expectedFrames(Clock::time_point now) const {
  std::chrono::nanoseconds ran = ranBefore_;
  if (running_) ran += std::max(Clock::duration::zero(), now - runningSince_);
  return framesOf(ran);
}

CaptureTimeline::Placement CaptureTimeline::place(std::uint64_t frames, Clock::time_point arrival) {
  Placement placement;
  const std::uint64_t expected = expectedFrames(arrival);
  const std::uint64_t tolerance = framesOf(kTolerance);
  const std::uint64_t end = written_ + frames;
  if (expected > end + tolerance) {
    // The batch is what was captured just now; the stretch before it was never delivered.
    placement.silenceBefore = expected - end;
  } else if (end > expected + tolerance) {
    // Part of the batch is for time the track already holds (silence written while the server
    // was stalled, or a device running fast): its oldest frames go.
    placement.dropFromStart = std::min(frames, end - expected);
  }
  written_ += placement.silenceBefore + (frames - placement.dropFromStart);
  quiet_ = false;
  return placement;
}

std::uint64_t CaptureTimeline::silenceDue(Clock::time_point now, bool sourceLost) {
  const std::uint64_t expected = expectedFrames(now);
  if (expected <= written_) return 0;
  const std::uint64_t behind = expected - written_;
  if (!sourceLost && !quiet_ && behind < framesOf(kQuietGap)) return 0;
  quiet_ = !sourceLost;
  written_ = expected;
  return behind;
}

}  // namespace platform::linux_backend
