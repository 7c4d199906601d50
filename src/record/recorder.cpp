#include "record/recorder.h"

#include "events/event.h"

namespace zuno {
namespace {

std::string joinPath(const std::string& directory, const char* name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

constexpr unsigned kOwnerOnlyDirectory = 0700;

}  // namespace

std::shared_ptr<Recorder> Recorder::create(platform::Platform& platform, std::string outDir) {
  return std::make_shared<Recorder>(platform, std::move(outDir));
}

Recorder::Recorder(platform::Platform& platform, std::string outDirectory)
    : outDir(std::move(outDirectory)),
      micPath(joinPath(outDir, "mic.m4a")),
      sysPath(joinPath(outDir, "system.m4a")),
      engine(platform.audioEngines.makeEngine()),
      startedAt(platform.runtime.wallClockSeconds()),
      platform_(platform),
      runtime_(platform.runtime) {}

bool Recorder::environmentFlag(const char* name) {
  return platform_.process.environment(name) == std::optional<std::string>("1");
}

platform::Task Recorder::weakTask(void (Recorder::*method)()) {
  return [weakSelf = weak_from_this(), method] {
    if (auto self = weakSelf.lock()) ((*self).*method)();
  };
}

void Recorder::run() {
  if (auto error = platform_.fileSystem.createDirectories(outDir, kOwnerOnlyDirectory)) {
    fail(runtime_, "io_failed", "cannot create out-dir: " + error->description);
  }

  ensureMicPermission();

  try {
    startMic();
  } catch (const DescribedError& error) {
    fail(runtime_, "mic_failed", "mic setup failed: " + error.description());
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
    failKeepingTracks("mic_failed", "engine start failed: " + error->description);
  }

  if (vpEnabled) {
    runtime_.mainQueue().asyncAfter(std::chrono::milliseconds(3500),
                                    weakTask(&Recorder::checkMicZeroGuard));
  }

  installTimers();
  installSignalHandlers();
  startStdinWatcher();
  runtime_.runMainLoop();
}

bool Recorder::stopCaptureAndCloseTracks(std::int64_t* durationSec) {
  {
    std::lock_guard guard(lock);
    if (stopped) return false;
    stopped = true;
    if (durationSec != nullptr) *durationSec = currentDurationSec();
  }

  for (auto* timer : {&tickTimer, &levelTimer, &autoStopTimer}) {
    if (*timer) (*timer)->cancel();
  }

  engine->inputNode().removeTapOnBus(0);
  if (engine->isRunning()) engine->stop();

  if (systemAudioSupported() && systemTap) systemTap->stop();

  // With both capture paths stopped these are the last references: dropping them completes the
  // files. Take them out under the lock but let them go after it, since completing a file can
  // take a while.
  std::shared_ptr<TrackWriter> mic;
  std::shared_ptr<TrackWriter> sys;
  {
    std::lock_guard guard(lock);
    mic = std::move(micWriter);
    sys = std::move(sysWriter);
  }
  return true;
}

void Recorder::finish() {
  std::int64_t durationSec = 0;
  if (!stopCaptureAndCloseTracks(&durationSec)) return;
  emitEvent(runtime_, Event{{"event", "stopped"}, {"durationSec", durationSec}});
  runtime_.exitProcess(0);
}

void Recorder::failKeepingTracks(std::string_view code, std::string_view message) {
  stopCaptureAndCloseTracks(nullptr);
  fail(runtime_, code, message);
}

void Recorder::failLaterKeepingTracks(std::string code, std::string message) {
  runtime_.mainQueue().async(
      [weakSelf = weak_from_this(), code = std::move(code), message = std::move(message)] {
        if (auto self = weakSelf.lock()) self->failKeepingTracks(code, message);
      });
}

}  // namespace zuno
