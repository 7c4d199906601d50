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

PulseAudioEngine::PulseAudioEngine(std::shared_ptr<PulseConnection> connection)
    : connection_(connection), echoCanceller_(std::move(connection)) {}

PulseAudioEngine::~PulseAudioEngine() {
  stop();
  {
    std::lock_guard guard(controlMutex_);
    echoCanceller_.disable();
  }
  {
    std::lock_guard guard(restoreMutex_);
    restorerQuits_ = true;
  }
  restoreRequested_.notify_one();
  if (restorer_.joinable()) restorer_.join();
}

AudioFormat PulseAudioEngine::captureFormat() {
  auto device = echoCanceller_.enabled() ? sourceFormat(*connection_, echoCanceller_.sourceName())
                                         : defaultSourceFormat(*connection_);
  if (!device) return AudioFormat{};
  return tapFormatOf(*device);
}

MaybeError PulseAudioEngine::inputAvailability() {
  std::lock_guard guard(controlMutex_);
  auto device = echoCanceller_.enabled() ? sourceFormat(*connection_, echoCanceller_.sourceName())
                                         : defaultSourceFormat(*connection_);
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
  if (echoCanceller_.enabled()) {
    options.device = echoCanceller_.sourceName();
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
  if (echoCanceller_.enabled()) {
    PulseConnection::Lock lock(*connection_);
    PulseConnection::Listener listener;
    listener.reconnected = [this] { requestVoiceProcessingRestore(); };
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
  stream_->stop(echoCanceller_.enabled() ? pulseDeadlineIn(kDisconnectConfirmTimeout)
                                         : PulseDeadline{});
  stream_.reset();
}

void PulseAudioEngine::requestVoiceProcessingRestore() {
  std::lock_guard guard(restoreMutex_);
  restorePending_ = true;
  if (!restorer_.joinable()) {
    try {
      restorer_ = std::thread([this] { runRestorer(); });
    } catch (const std::system_error&) {
      // No thread to be had: the microphone stays on the plain default source it fell back to.
      return;
    }
  }
  restoreRequested_.notify_one();
}

void PulseAudioEngine::runRestorer() {
  for (;;) {
    {
      std::unique_lock guard(restoreMutex_);
      restoreRequested_.wait(guard, [this] { return restorePending_ || restorerQuits_; });
      if (restorerQuits_) return;
      restorePending_ = false;
    }
    restoreVoiceProcessing();
  }
}

void PulseAudioEngine::restoreVoiceProcessing() {
  std::string master;
  {
    std::lock_guard guard(controlMutex_);
    if (!stream_ || !echoCanceller_.enabled()) return;
    master = echoCanceller_.masterName();
  }
  // A restarted server makes its devices after it answers. Waited for outside the lock, so
  // "stop" never waits for a microphone that may not come back; the plain default source is
  // recorded meanwhile.
  (void)awaitSource(*connection_, master, pulseDeadlineIn(kPulseQueryTimeout));
  std::lock_guard guard(controlMutex_);
  // Stopped or switched off meanwhile: nothing records the canceller any more.
  if (!stream_ || !echoCanceller_.enabled()) return;
  if (auto error = echoCanceller_.restore()) {
    // The same fallback, and the same line, as when voice processing cannot start at all.
    connection_->report("vp enable failed (plain input): " + error->debugDescription());
    stream_->recordSource("");
    return;
  }
  stream_->recordSource(echoCanceller_.sourceName());
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
  std::lock_guard guard(controlMutex_);
  if (enabled) return echoCanceller_.enable();
  // A stream still connected to the canceller (a paused one, which nobody stops) would have
  // its source pulled from under it; it ends first.
  if (echoCanceller_.enabled()) endStream();
  return echoCanceller_.disable();
}

// The server's echo canceller has no separate ducking or gain control to switch.
void PulseAudioEngine::setVoiceProcessingOtherAudioDuckingConfiguration(
    const VoiceProcessingOtherAudioDuckingConfiguration&) {}

void PulseAudioEngine::setVoiceProcessingAGCEnabled(bool) {}

}  // namespace platform::linux_backend
