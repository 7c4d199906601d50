#include <cmath>

#include "events/event.h"
#include "record/recorder.h"
#include "tap/system_audio_permission.h"

namespace zuno {

float bufferPeak(const platform::PCMBuffer& buffer) {
  const auto channels = buffer.floatChannelData();
  if (buffer.frameLength() == 0 || channels.empty()) return 0;
  float highest = 0;
  const auto scan = [&highest](const float* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) highest = std::max(highest, std::fabs(samples[i]));
  };
  if (buffer.format().interleaved) {
    scan(channels[0], std::size_t{buffer.frameLength()} * buffer.format().channelCount);
  } else {
    for (const float* channel : channels) scan(channel, buffer.frameLength());
  }
  return highest;
}

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
  sysWriter = TrackWriter::create(platform_.audioFiles, sysPath,
                                  aacSettings(tap->streamFormat().sampleRate));
  systemTap = tap;
  tap->start([weakSelf = weak_from_this()](const platform::PCMBufferPtr& buffer) {
    if (auto self = weakSelf.lock()) self->handleSystemBuffer(buffer);
  });
}

void Recorder::handleSystemBuffer(const platform::PCMBufferPtr& buffer) {
  std::shared_ptr<TrackWriter> writer;
  std::unique_lock guard(lock);
  if (stopped || paused || sysWriteFailed || !sysWriter) return;
  writer = sysWriter;
  sysLevelPeak = std::max(sysLevelPeak, bufferPeak(*buffer));
  try {
    writer->write(*buffer);
  } catch (const DescribedError& error) {
    sysWriteFailed = true;
    sysWriter = nullptr;
    unreported_.system = true;
    guard.unlock();
    writeDiagnostic(runtime_, "system write failed: " + error.debugDescription());
    reportSystemWriteFailureLater();
    // Completed here with what was written before the failure; whatever this close says, the
    // track is already reported as failed.
    try {
      writer->close();
    } catch (const DescribedError&) {
    }
  }
}

}  // namespace zuno
