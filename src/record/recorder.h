#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "record/track_writer.h"
#include "tap/system_audio_tap.h"

namespace zuno {

// The `record` subcommand: two track files fed from two audio threads, steered from the main
// thread by timers, standard input and signals. One instance per process; it ends the process
// itself, through `finish()` (status 0) or a failure (status 1).
class Recorder : public std::enable_shared_from_this<Recorder> {
 public:
  static std::shared_ptr<Recorder> create(platform::Platform& platform, std::string outDir);
  explicit Recorder(platform::Platform& platform, std::string outDir);

  // Sets everything up, writes "started", starts the engine and runs the main loop.
  void run();
  // The one stop path; idempotent, exits the process once it has begun.
  void finish();

  // Microphone.
  void ensureMicPermission();
  void startMic();
  void installMicTap();
  void checkMicZeroGuard();
  void handleMicBuffer(const platform::PCMBufferPtr& buffer);

  // System audio.
  void startSystemTap();
  void handleSystemBuffer(const platform::PCMBufferPtr& buffer);

  // Meters and timers.
  void installTimers();
  std::int64_t currentDurationSec();
  void reportLevel();

  // Pause and resume.
  void pauseRecording();
  void resumeRecording();

  // Control channel.
  void installSignalHandlers();
  void startStdinWatcher();

  static platform::AudioSettings aacSettings(double sampleRate) {
    return zuno::aacSettings(sampleRate);
  }

  const std::string outDir;
  const std::string micPath;
  const std::string sysPath;
  const std::shared_ptr<platform::AudioEngine> engine;
  std::shared_ptr<TrackWriter> micWriter;
  std::shared_ptr<SystemAudioTap> systemTap;
  std::shared_ptr<TrackWriter> sysWriter;
  bool micWriteFailed = false;
  bool sysWriteFailed = false;
  std::mutex lock;
  const double startedAt;
  bool stopped = false;
  bool paused = false;
  std::optional<double> pausedSince;
  double pausedTotal = 0;
  std::shared_ptr<platform::TimerSource> tickTimer;
  std::shared_ptr<platform::TimerSource> levelTimer;
  std::shared_ptr<platform::TimerSource> autoStopTimer;
  float micLevelPeak = 0;
  float sysLevelPeak = 0;
  const std::int64_t maxDurationSec = 14400;
  bool vpEnabled = false;
  float micPeak = 0;
  std::int64_t micFramesSeen = 0;
  std::shared_ptr<platform::Source> stdinSource;
  std::vector<std::shared_ptr<platform::Source>> signalSources;

 private:
  // Why a track could not be completed, in both wordings the reports need.
  struct TrackFailure {
    std::string description;
    std::string debugDescription;
  };
  struct ClosedTracks {
    std::optional<TrackFailure> mic;
    std::optional<TrackFailure> system;
  };
  // The reports an audio thread left for the main queue that it has not made yet; taken under
  // `lock` by whichever comes first, the queued report or the stop, so a stop that overtakes
  // the report still makes it.
  struct UnreportedFailures {
    std::optional<std::string> micMessage;
    bool system = false;
  };

  bool environmentFlag(const char* name);
  // Whether the system is recent enough (14.2) to have a system-audio track at all.
  bool systemAudioSupported();
  // Stops both capture paths, gives back what was set up in the user's audio server and
  // completes both files; none when an earlier call already did. `unreported` takes the write
  // failures whose reports have not run yet, which are then the caller's to make.
  std::optional<ClosedTracks> stopCaptureAndCloseTracks(std::int64_t* durationSec,
                                                        UnreportedFailures* unreported = nullptr);
  // Completes one track; the failure, if any, is for the caller to report.
  static std::optional<TrackFailure> closeTrack(const std::shared_ptr<TrackWriter>& writer);
  // Voice processing lives in the user's audio server, not in this process: it is switched off
  // on every way out once it was asked for, since nothing is released for us when the process
  // ends.
  void switchVoiceProcessingOff();
  // A failure that ends the run after the tracks are open: what was recorded is saved first.
  [[noreturn]] void failKeepingTracks(std::string_view code, std::string_view message);
  // Queue the reports of a failed write from the audio threads: the microphone's ends the run,
  // the system track's degrades it.
  void reportMicWriteFailureLater();
  void reportSystemWriteFailureLater();
  // A main-queue task that calls `method` if the recorder still exists.
  platform::Task weakTask(void (Recorder::*method)());

  platform::Platform& platform_;
  platform::Runtime& runtime_;
  // Guarded by `lock`: written by the audio threads when a write fails, taken on the main thread.
  UnreportedFailures unreported_;
  // Main thread only: voice processing was asked for, whether or not it came on.
  bool vpRequested_ = false;
};

// The first channel of a multi-channel non-interleaved float buffer as a new mono buffer; none
// for anything else.
platform::PCMBufferPtr firstChannelMono(platform::AudioFiles& files,
                                        const platform::PCMBuffer& buffer);

// The largest absolute sample over every channel and frame; 0 for an empty or non-float buffer.
float bufferPeak(const platform::PCMBuffer& buffer);

// The combined level as reported: two decimals, halves away from zero, at most 1.
double levelValue(double level);

}  // namespace zuno
