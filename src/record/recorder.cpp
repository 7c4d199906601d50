#include "record/recorder.h"

#include "core/run_failure.h"
#include "events/event.h"

namespace zuno {
namespace {

std::string joinPath(const std::string& directory, const char* name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

constexpr unsigned kOwnerOnlyDirectory = 0700;

}  // namespace

int runRecord(platform::Platform& platform, RunScope& scope, const std::string& outDir) {
  auto recorder = scope.keep(Recorder::create(platform, outDir));
  // Whatever fails once the run is under way, what was recorded is saved first.
  scope.setCleanupAfterFailure([recorder] { recorder->closeAfterFailure(); });
  return recorder->run();
}

std::shared_ptr<Recorder> Recorder::create(platform::Platform& platform, std::string outDir) {
  return std::make_shared<Recorder>(platform, std::move(outDir));
}

Recorder::Recorder(platform::Platform& platform, std::string outDirectory)
    : platform_(platform),
      runtime_(platform.runtime),
      outDir(std::move(outDirectory)),
      micPath(joinPath(outDir, "mic.m4a")),
      sysPath(joinPath(outDir, "system.m4a")),
      engine(platform.audioEngines.makeEngine()),
      clock(platform.runtime.wallClockSeconds()) {}

bool Recorder::environmentFlag(const char* name) {
  return platform_.process.environment(name) == std::optional<std::string>("1");
}

platform::Task Recorder::weakTask(void (Recorder::*method)()) {
  return [weakSelf = weak_from_this(), method] {
    if (auto self = weakSelf.lock()) ((*self).*method)();
  };
}

int Recorder::run() {
  // The name goes into events, which are UTF-8: refused before anything is created, rather than
  // recording into a directory the parent can never be told about.
  if (!isValidUtf8(outDir)) {
    fail("io_failed", "cannot create out-dir: " + outDir + ": the name is not valid UTF-8");
  }
  if (auto error = platform_.fileSystem.createDirectories(outDir, kOwnerOnlyDirectory)) {
    fail("io_failed", "cannot create out-dir: " + error->description);
  }

  ensureMicPermission();

  try {
    startMic();
  } catch (const DescribedError& error) {
    fail("mic_failed", "mic setup failed: " + error.description());
  }

  bool systemTrack = true;
  try {
    startSystemTap();
  } catch (const SystemAudioTapError& error) {
    systemTrack = false;
    const bool denied = error.kind() == SystemAudioTapError::Kind::permissionDenied;
    emitEvent(runtime_, Event{{"event", "degraded"},
                              {"reason", denied ? "tap_permission_denied" : "tap_unavailable"}});
  } catch (const DescribedError&) {
    systemTrack = false;
    emitEvent(runtime_, Event{{"event", "degraded"}, {"reason", "tap_unavailable"}});
  }

  emitEvent(runtime_, Event{{"event", "started"},
                            {"micPath", micPath},
                            {"sysPath", systemTrack ? Event(sysPath) : Event(nullptr)}});

  engine->prepare();
  if (auto error = engine->start()) {
    fail("mic_failed", "engine start failed: " + error->description);
  }

  if (vpEnabled) {
    runtime_.mainQueue().asyncAfter(std::chrono::milliseconds(3500),
                                    weakTask(&Recorder::checkMicZeroGuard));
  }

  installTimers();
  installSignalHandlers();
  startStdinWatcher();
  return runtime_.runMainLoop();
}

std::optional<Recorder::ClosedTracks> Recorder::stopCaptureAndCloseTracks(
    std::int64_t* durationSec, UnreportedFailures* unreported) {
  {
    std::lock_guard guard(lock);
    if (stopped) return std::nullopt;
    stopped = true;
    if (durationSec != nullptr) *durationSec = currentDurationSec();
    if (unreported != nullptr) {
      *unreported = UnreportedFailures{mic.takeUnreportedFailure(), system.takeUnreportedFailure()};
    }
  }

  for (auto* timer : {&tickTimer, &levelTimer, &autoStopTimer}) {
    if (*timer) (*timer)->cancel();
  }

  engine->inputNode().removeTapOnBus(0);
  if (engine->isRunning()) engine->stop();
  switchVoiceProcessingOff();

  if (systemAudioSupported() && systemTap) systemTap->stop();

  // With both capture paths stopped nothing else writes: take the writers out under the lock,
  // but complete the files after it, since that can take a while.
  std::shared_ptr<TrackWriter> micWriter;
  std::shared_ptr<TrackWriter> sysWriter;
  {
    std::lock_guard guard(lock);
    micWriter = mic.takeWriter();
    sysWriter = system.takeWriter();
  }
  return ClosedTracks{closeTrack(micWriter), closeTrack(sysWriter)};
}

std::optional<TrackFailure> Recorder::closeTrack(const std::shared_ptr<TrackWriter>& writer) {
  if (!writer) return std::nullopt;
  try {
    writer->close();
  } catch (const DescribedError& error) {
    return TrackFailure{error.description(), error.debugDescription()};
  }
  return std::nullopt;
}

void Recorder::switchVoiceProcessingOff() {
  if (!vpRequested) return;
  // Standard error has no line for this, and the run ends either way; a canceller left behind
  // is removed by the next run that needs one.
  (void)engine->inputNode().setVoiceProcessingEnabled(false);
}

void Recorder::finish() {
  std::int64_t durationSec = 0;
  UnreportedFailures unreported;
  const auto closed = stopCaptureAndCloseTracks(&durationSec, &unreported);
  if (!closed) return;
  // A write that failed just before the stop, whose report had not run yet, ends the run as if
  // the report had come first; its diagnostic line is already written.
  if (unreported.system) {
    emitEvent(runtime_, Event{{"event", "degraded"}, {"reason", "tap_write_failed"}});
  }
  if (unreported.micDescription) {
    fail("io_failed", "mic write failed: " + *unreported.micDescription);
  }
  // A track that could not be completed is reported as a write failure of that track: the
  // system one degrades the recording, the microphone one fails it.
  if (closed->system) {
    writeDiagnostic(runtime_, "system write failed: " + closed->system->debugDescription);
    emitEvent(runtime_, Event{{"event", "degraded"}, {"reason", "tap_write_failed"}});
  }
  if (closed->mic) {
    writeDiagnostic(runtime_, "mic write failed: " + closed->mic->debugDescription);
    fail("io_failed", "mic write failed: " + closed->mic->description);
  }
  emitEvent(runtime_, Event{{"event", "stopped"}, {"durationSec", durationSec}});
  runtime_.quitMainLoop(0);
}

void Recorder::closeAfterFailure() {
  // The run is already failing for its own reason; a track that cannot be completed now has
  // nothing to add to it.
  stopCaptureAndCloseTracks(nullptr);
}

void Recorder::reportMicWriteFailureLater() {
  runtime_.mainQueue().async([weakSelf = weak_from_this()] {
    auto self = weakSelf.lock();
    if (!self) return;
    std::optional<std::string> description;
    {
      // A stop that came first has reported it already.
      std::lock_guard guard(self->lock);
      description = self->mic.takeUnreportedFailure();
    }
    if (description) fail("io_failed", "mic write failed: " + *description);
  });
}

void Recorder::reportSystemWriteFailureLater() {
  runtime_.mainQueue().async([weakSelf = weak_from_this()] {
    auto self = weakSelf.lock();
    if (!self) return;
    {
      std::lock_guard guard(self->lock);
      if (!self->system.takeUnreportedFailure()) return;
    }
    emitEvent(self->runtime_, Event{{"event", "degraded"}, {"reason", "tap_write_failed"}});
  });
}

}  // namespace zuno
