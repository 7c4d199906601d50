#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/run_scope.h"
#include "platform/platform.h"
#include "record/level_meters.h"
#include "record/microphone_track.h"
#include "record/pause_clock.h"
#include "record/system_track.h"
#include "tap/system_audio_tap.h"

namespace zuno {

// The `record` subcommand: two track files fed from two audio threads, steered from the main
// thread by timers, standard input and signals. One instance per process. Its run ends in
// `finish()` (status 0), or in a failure thrown on the main thread, after which the run's
// cleanup, `closeAfterFailure()`, saves what was recorded.
//
// It orchestrates parts that own their state: the two tracks and the level meters, which the
// audio threads share with the main thread under `lock`, and the pause clock, which only the
// main thread uses.
//
// Lock order: an audio callback may come with a lock of the platform's held (the engine's tap,
// the tap's IO), and then takes `lock`. Nothing is taken while `lock` is held, the engine and
// the tap are never called under it, and nothing under it writes an event or a diagnostic line.
class Recorder : public std::enable_shared_from_this<Recorder> {
 public:
  static std::shared_ptr<Recorder> create(platform::Platform& platform, std::string outDir);
  explicit Recorder(platform::Platform& platform, std::string outDir);

  // Sets everything up, writes "started", starts the engine and runs the main loop until
  // `finish()` ends it; returns the exit status.
  int run();
  // Stops capture, gives back what was set up in the user's audio server and completes both
  // files, unless a stop already did.
  void closeAfterFailure();

 private:
  // The one stop path; idempotent. Ends the main loop once the files are complete.
  void finish();

  // Microphone (mic_capture.cpp).
  void ensureMicPermission();
  void startMic();
  void installMicTap();
  void checkMicZeroGuard();
  void handleMicBuffer(const platform::PCMBufferPtr& buffer);

  // System audio (system_capture.cpp).
  bool systemAudioSupported();
  void startSystemTap();
  void handleSystemBuffer(const platform::PCMBufferPtr& buffer);

  // Timers (recorder_timers.cpp).
  void installTimers();
  std::int64_t currentDurationSec();
  void reportLevel();

  // Pause and resume (pause_resume.cpp).
  void pauseRecording();
  void resumeRecording();

  // Control channel (control_channel.cpp).
  void installSignalHandlers();
  void startStdinWatcher();

  // The reports of a failed write that an audio thread leaves to the main queue; whichever
  // comes first, the report or a stop, makes it.
  struct UnreportedFailures {
    std::optional<std::string> micDescription;
    bool system = false;
  };
  struct ClosedTracks {
    std::optional<TrackFailure> mic;
    std::optional<TrackFailure> system;
  };

  bool environmentFlag(const char* name);
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
  // Queue the reports of a failed write from the audio threads: the microphone's ends the run,
  // the system track's degrades it.
  void reportMicWriteFailureLater();
  void reportSystemWriteFailureLater();
  // A main-queue task that calls `method` if the recorder still exists.
  platform::Task weakTask(void (Recorder::*method)());

  platform::Platform& platform_;
  platform::Runtime& runtime_;

  // Constant from construction.
  const std::string outDir;
  const std::string micPath;
  const std::string sysPath;
  const std::shared_ptr<platform::AudioEngine> engine;
  static constexpr std::int64_t maxDurationSec = 14400;

  // Guarded by `lock`.
  std::mutex lock;
  // `finish()` has begun; never reset. From then on the audio callbacks drop their buffers.
  bool stopped = false;
  bool paused = false;
  MicrophoneTrack mic;
  SystemTrack system;
  LevelMeters meters;

  // Main thread only, so read there without the lock.
  PauseClock clock;
  std::shared_ptr<SystemAudioTap> systemTap;
  // Voice processing was asked for, whether or not it came on; and whether it is on.
  bool vpRequested = false;
  bool vpEnabled = false;
  std::shared_ptr<platform::TimerSource> tickTimer;
  std::shared_ptr<platform::TimerSource> levelTimer;
  std::shared_ptr<platform::TimerSource> autoStopTimer;
  std::shared_ptr<platform::Source> stdinSource;
  std::vector<std::shared_ptr<platform::Source>> signalSources;
};

// The `record` entry: records into `outDir` until a stop; returns the exit status.
int runRecord(platform::Platform& platform, RunScope& scope, const std::string& outDir);

// The first channel of a multi-channel non-interleaved float buffer as a new mono buffer; none
// for anything else.
platform::PCMBufferPtr firstChannelMono(platform::AudioFiles& files,
                                        const platform::PCMBuffer& buffer);

}  // namespace zuno
