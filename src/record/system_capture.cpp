#include "events/event.h"
#include "record/recorder.h"
#include "tap/system_audio_permission.h"

namespace zuno {

bool Recorder::systemAudioSupported() {
  const auto version = platform_.process.operatingSystemVersion();
  return version.major > 14 || (version.major == 14 && version.minor >= 2);
}

void Recorder::startSystemTap() {
  if (!systemAudioSupported()) throw SystemAudioTapError::unsupportedOS();
  if (systemAudioCapturePreflight(platform_.loader) == SystemAudioPermission::denied) {
    throw SystemAudioTapError::permissionDenied();
  }
  auto tap = SystemAudioTap::create(platform_);
  system.open(TrackWriter::create(platform_.audioFiles, sysPath,
                                  aacSettings(tap->streamFormat().sampleRate)));
  systemTap = tap;
  tap->start([weakSelf = weak_from_this()](const platform::PCMBufferPtr& buffer) {
    if (auto self = weakSelf.lock()) self->handleSystemBuffer(buffer);
  });
}

void Recorder::handleSystemBuffer(const platform::PCMBufferPtr& buffer) {
  std::unique_lock guard(lock);
  if (stopped || paused) return;
  const auto failure = system.write(*buffer, meters);
  if (!failure) return;
  const std::shared_ptr<TrackWriter> failed = system.takeWriter();
  guard.unlock();
  writeDiagnostic(runtime_, "system write failed: " + failure->debugDescription);
  reportSystemWriteFailureLater();
  // Completed here with what was written before the failure; whatever this close says, the
  // track is already reported as failed.
  try {
    failed->close();
  } catch (const DescribedError&) {
  }
}

}  // namespace zuno
