#pragma once

#include <chrono>
#include <cstdint>

namespace platform::linux_backend {

// Keeps a captured stream on the recording's clock. The audio server delivers whenever it
// likes: nothing while a device is suspended, idle, switched or the server is gone, and bursts
// after a stall. A track must still cover the recorded time, so each delivery is placed where
// the clock says it belongs: a stretch with nothing delivered becomes silence, and audio for
// time the track already covers is dropped rather than appended.
//
// The clock runs from `resume` to `pause` (the stream's own running time); positions are frames
// at the stream's rate. Not thread-safe: one delivery thread owns it.
class CaptureTimeline {
 public:
  using Clock = std::chrono::steady_clock;

  // Delivery jitter below this never changes the audio: a batch that leaves the track this far
  // behind the clock is preceded by silence, one that puts it this far ahead loses its oldest
  // frames. Well above a server's fragment period, well below what two tracks may drift apart.
  static constexpr std::chrono::milliseconds kTolerance{20};
  // With a connected server that delivers nothing, silence is written once the track falls this
  // far behind: long enough for a slow device period or a busy server to deliver late.
  static constexpr std::chrono::milliseconds kQuietGap{200};

  explicit CaptureTimeline(double sampleRate);

  void resume(Clock::time_point now);
  void pause(Clock::time_point now);
  bool running() const { return running_; }

  struct Placement {
    // Frames of silence to write before the batch.
    std::uint64_t silenceBefore = 0;
    // Frames to skip from the batch's start: audio for time already written.
    std::uint64_t dropFromStart = 0;
  };
  // Places a batch of `frames` frames whose last frame arrived at `arrival`, and advances the
  // track by what is written.
  Placement place(std::uint64_t frames, Clock::time_point arrival);

  // Frames of silence to write now because nothing arrived; `sourceLost` says no audio can
  // arrive for this time any more (the stream or the server is gone), so no grace is given.
  // Once the grace ran out the source is quiet, and its time is written as it passes, not in
  // lumps of the grace's length, until audio arrives again. Advances the track by what it
  // returns.
  std::uint64_t silenceDue(Clock::time_point now, bool sourceLost);
  // Nothing has arrived for longer than the grace.
  bool quiet() const { return quiet_; }

  // Frames the clock says the track should hold at `now`.
  std::uint64_t expectedFrames(Clock::time_point now) const;
  std::uint64_t writtenFrames() const { return written_; }

 private:
  std::uint64_t framesOf(std::chrono::nanoseconds duration) const;

  double sampleRate_;
  bool running_ = false;
  Clock::time_point runningSince_{};
  std::chrono::nanoseconds ranBefore_{0};
  std::uint64_t written_ = 0;
  bool quiet_ = false;
};

}  // namespace platform::linux_backend
