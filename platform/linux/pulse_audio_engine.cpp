#include "linux/pulse_audio_engine.h"

#include <chrono>
#include <system_error>

#include "linux/pulse_server_queries.h"

namespace platform::linux_backend {
namespace {

constexpr int kInputBus = 0;
// A server that answers at all confirms a disconnect in milliseconds; one that does not must
// not hold up the end of a run for long.
constexpr std::chrono::milliseconds kDisconnectConfirmTimeout{500};

AudioFormat tapFormatOf(const PulseDeviceFormat& device) {
  AudioFormat format;
  format.sampleRate = device.sampleSpec.rate;
  format.channelCount = device.sampleSpec.channels;
  format.commonFormat = CommonFormat::pcmFloat32;
  format.interleaved = false;
  return format;
}

bool usable(const AudioFormat& format) {
  return format.sampleRate > 0 && format.channelCount > 0 &&
         format.commonFormat == CommonFormat::pcmFloat32 && !format.interleaved;
}

}  // namespace

PulseAudioEngine::PulseAudioEngine(std::shared_ptr<PulseConnection> connection, Runtime& runtime)
    : connection_(connection),
      echoCanceller_(std::move(connection)),
      restore_(runtime, restoreSteps()) {}

PulseAudioEngine::~PulseAudioEngine() {
  stop();
  (void)setVoiceProcessingEnabled(false);
}

AudioFormat PulseAudioEngine::captureFormat() {
  auto device = cancellerSource_.empty() ? defaultSourceFormat(*connection_)
                                         : sourceFormat(*connection_, cancellerSource_);
  if (!device) return AudioFormat{};
  return tapFormatOf(*device);
}

MaybeError PulseAudioEngine::inputAvailability() {
  std::lock_guard guard(controlMutex_);
  auto device = cancellerSource_.empty() ? defaultSourceFormat(*connection_)
                                         : sourceFormat(*connection_, cancellerSource_);
  if (!device) return device.error();
  return std::nullopt;
}

AudioFormat PulseAudioEngine::outputFormatForBus(int bus) {
  if (bus != kInputBus) return AudioFormat{};
  std::lock_guard guard(controlMutex_);
  return captureFormat();
}

void PulseAudioEngine::installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                                       InputTapBlock block) {
  if (bus != kInputBus || !block) return;
  std::lock_guard guard(tapMutex_);
  tap_ = std::make_shared<InputTapBlock>(std::move(block));
  tapFrames_ = bufferSize == 0 ? 4096 : bufferSize;
  tapFormat_ = format;
  if (assembler_.format().channelCount != 0) assembler_.configure(assembler_.format(), tapFrames_);
}

void PulseAudioEngine::removeTapOnBus(int bus) {
  if (bus != kInputBus) return;
  std::lock_guard guard(tapMutex_);
  tap_.reset();
}

void PulseAudioEngine::deliver(const float* interleaved, std::uint32_t frames) {
  std::lock_guard guard(tapMutex_);
  if (!tap_) return;
  // Held by the call, so a block that removes its own tap keeps running to its end.
  const std::shared_ptr<InputTapBlock> tap = tap_;
  assembler_.append(interleaved, frames, [&tap](const PCMBufferPtr& buffer) { (*tap)(buffer); });
}

void PulseAudioEngine::prepare() {}

MaybeError PulseAudioEngine::start() {
  std::lock_guard guard(controlMutex_);
  if (stream_) return stream_->start();

  AudioFormat format;
  {
    std::lock_guard tapGuard(tapMutex_);
    format = tapFormat_;
  }
  // The tap's format wins, so buffers match what the program set its encoder up for even if
  // the device's own format changes; the server converts.
  if (!usable(format)) format = captureFormat();
  if (!usable(format)) {
    if (auto error = connection_->ensureConnected()) return error;
    return pulseError("the audio server has no usable input");
  }
  {
    std::lock_guard tapGuard(tapMutex_);
    assembler_.configure(format, tapFrames_);
  }

  PulseRecordStreamOptions options;
  options.streamName = "microphone";
  options.sampleRate = static_cast<std::uint32_t>(format.sampleRate);
  options.channels = format.channelCount;
  if (!cancellerSource_.empty()) {
    options.device = cancellerSource_;
  } else {
    // No device name, so the server keeps the stream on whatever the default source is.
    options.follow = PulseFollow::defaultSource;
  }
  stream_ = std::make_unique<PulseRecordStream>(
      connection_, options,
      [this](const float* interleaved, std::uint32_t frames) { deliver(interleaved, frames); });
  if (auto error = stream_->start()) {
    stream_.reset();
    return error;
  }
  if (!cancellerSource_.empty()) {
    PulseConnection::Lock lock(*connection_);
    PulseConnection::Listener listener;
    listener.reconnected = [this] { restore_.request(); };
    reconnectListener_ = connection_->addListener(std::move(listener));
  }
  return std::nullopt;
}

void PulseAudioEngine::endStream() {
  if (!stream_) return;
  if (reconnectListener_ != 0) {
    PulseConnection::Lock lock(*connection_);
    connection_->removeListener(reconnectListener_);
    reconnectListener_ = 0;
  }
  // The canceller's source is usually unloaded next.
  stream_->stop(cancellerSource_.empty() ? PulseDeadline{}
                                         : pulseDeadlineIn(kDisconnectConfirmTimeout));
  stream_.reset();
}

VoiceProcessingRestore::Steps PulseAudioEngine::restoreSteps() {
  VoiceProcessingRestore::Steps steps;
  steps.cancellerIsThere = [this] { return echoCanceller_.isThere(); };
  steps.lookForMicrophone = [this]() -> MaybeError {
    auto master = sourceFormat(*connection_, echoCanceller_.masterName(),
                               pulseDeadlineIn(kPulseRunningCallTimeout));
    if (master) return std::nullopt;
    return pulseError("voice processing is unavailable: " + master.error().description);
  };
  steps.load = [this] { return echoCanceller_.reload(); };
  steps.recordThrough = [this](const MaybeError& failure) { recordThroughCanceller(failure); };
  return steps;
}

void PulseAudioEngine::recordThroughCanceller(const MaybeError& failure) {
  std::lock_guard guard(controlMutex_);
  // Stopped meanwhile: nothing records the microphone any more.
  if (!stream_) return;
  if (failure) {
    // The same fallback, and the same line, as when voice processing cannot start at all.
    connection_->report("vp enable failed (plain input): " + failure->debugDescription());
    cancellerSource_.clear();
  }
  stream_->recordSource(cancellerSource_);
}

void PulseAudioEngine::pause() {
  std::lock_guard guard(controlMutex_);
  if (!stream_) return;
  stream_->pause();
}

void PulseAudioEngine::stop() {
  std::lock_guard guard(controlMutex_);
  endStream();
}

bool PulseAudioEngine::isRunning() {
  std::lock_guard guard(controlMutex_);
  return stream_ && stream_->isRunning();
}

MaybeError PulseAudioEngine::setVoiceProcessingEnabled(bool enabled) {
  if (enabled) {
    std::lock_guard guard(controlMutex_);
    if (auto error = echoCanceller_.enable()) return error;
    cancellerSource_ = echoCanceller_.sourceName();
    restore_.arm();
    return std::nullopt;
  }
  // No restore step runs from here on, so the canceller is this thread's alone. One waiting for
  // a server that stopped answering is not waited out: the server could not unload anything
  // either.
  const bool restoreEnded = restore_.abandon(kPulseRunningCallTimeout);
  std::lock_guard guard(controlMutex_);
  // A stream still connected to the canceller (a paused one, which nobody stops) would have its
  // source pulled from under it; it ends first.
  if (!cancellerSource_.empty()) endStream();
  cancellerSource_.clear();
  if (!restoreEnded) {
    return pulseError("voice processing was not removed: the audio server did not answer in time");
  }
  return echoCanceller_.disable();
}

// The server's echo canceller has no separate ducking or gain control to switch.
void PulseAudioEngine::setVoiceProcessingOtherAudioDuckingConfiguration(
    const VoiceProcessingOtherAudioDuckingConfiguration&) {}

void PulseAudioEngine::setVoiceProcessingAGCEnabled(bool) {}

}  // namespace platform::linux_backend
