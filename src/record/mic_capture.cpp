#include <atomic>
#include <cmath>
#include <cstring>

#include "core/run_failure.h"
#include "events/event.h"
#include "record/recorder.h"

namespace zuno {
namespace {

constexpr int kBus = 0;
constexpr std::uint32_t kTapBufferFrames = 4096;

class InvalidInputFormat final : public DescribedError {
 public:
  std::string description() const override { return "invalid input format"; }
  std::string debugDescription() const override {
    return platform::Error{"zuno-recorder", 1, description()}.debugDescription();
  }
};

bool usableFormat(const platform::AudioFormat& format) {
  return format.sampleRate > 0 && format.channelCount != 0;
}

}  // namespace

platform::PCMBufferPtr firstChannelMono(platform::AudioFiles& files,
                                        const platform::PCMBuffer& buffer) {
  const platform::AudioFormat& source = buffer.format();
  if (source.channelCount < 2 || source.interleaved || buffer.floatChannelData().empty()) {
    return nullptr;
  }
  auto mono =
      platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, source.sampleRate, 1, false);
  if (!mono) return nullptr;
  auto copy = files.makePCMBuffer(*mono, buffer.frameLength());
  if (!copy) return nullptr;
  copy->setFrameLength(buffer.frameLength());
  std::memcpy(copy->floatChannelData()[0], buffer.floatChannelData()[0],
              std::size_t{buffer.frameLength()} * sizeof(float));
  return copy;
}

void Recorder::ensureMicPermission() {
  if (environmentFlag("ZUNO_RECORDER_NO_PREFLIGHT")) return;
  using platform::CaptureAuthorizationStatus;
  switch (platform_.microphonePermission.authorizationStatus()) {
    case CaptureAuthorizationStatus::authorized:
      return;
    case CaptureAuthorizationStatus::notDetermined: {
      auto answered = runtime_.makeSemaphore(0);
      auto granted = std::make_shared<std::atomic<bool>>(false);
      platform_.microphonePermission.requestAccess([answered, granted](bool answer) {
        granted->store(answer);
        answered->signal();
      });
      answered->wait();
      if (granted->load()) return;
      fail("mic_failed", "microphone permission denied");
    }
    default:
      fail("mic_failed", "microphone permission denied or restricted");
  }
}

void Recorder::startMic() {
  platform::InputNode& input = engine->inputNode();
  if (auto missing = engine->inputAvailability()) throw PlatformFailure(*missing);

  if (environmentFlag("ZUNO_RECORDER_ENABLE_VP")) {
    // From the request on: a canceller may yet appear in the user's audio server after the
    // request was given up on, and only switching it off removes it.
    vpRequested = true;
    if (auto error = input.setVoiceProcessingEnabled(true)) {
      writeDiagnostic(runtime_, "vp enable failed (plain input): " + error->debugDescription());
    } else {
      vpEnabled = true;
      input.setVoiceProcessingOtherAudioDuckingConfiguration(
          {false, platform::VoiceProcessingOtherAudioDuckingLevel::min});
      input.setVoiceProcessingAGCEnabled(false);
    }
  }

  const platform::AudioFormat format = input.outputFormatForBus(kBus);
  if (!usableFormat(format)) throw InvalidInputFormat();
  mic.open(TrackWriter::create(platform_.audioFiles, micPath, aacSettings(format.sampleRate)));
  installMicTap();
}

void Recorder::installMicTap() {
  platform::InputNode& input = engine->inputNode();
  input.installTapOnBus(kBus, kTapBufferFrames, input.outputFormatForBus(kBus),
                        [weakSelf = weak_from_this()](const platform::PCMBufferPtr& buffer) {
                          if (auto self = weakSelf.lock()) self->handleMicBuffer(buffer);
                        });
}

void Recorder::handleMicBuffer(const platform::PCMBufferPtr& received) {
  platform::PCMBufferPtr mono = firstChannelMono(platform_.audioFiles, *received);
  const platform::PCMBuffer& buffer = mono ? *mono : *received;

  std::unique_lock guard(lock);
  if (stopped || paused) return;
  const auto failure = mic.write(buffer, meters);
  if (!failure) return;
  guard.unlock();
  writeDiagnostic(runtime_, "mic write failed: " + failure->debugDescription);
  reportMicWriteFailureLater();
}

void Recorder::checkMicZeroGuard() {
  bool wasStopped = false;
  {
    std::lock_guard guard(lock);
    if (!(vpEnabled && mic.heardOnlyZeros())) return;
    wasStopped = stopped;
  }
  if (wasStopped) return;

  writeDiagnostic(runtime_, "vp produced all-zero input; restarting mic without vp");
  platform::InputNode& input = engine->inputNode();
  input.removeTapOnBus(kBus);
  engine->stop();
  if (auto error = input.setVoiceProcessingEnabled(false)) {
    fail("mic_failed", "vp fallback failed: " + error->description);
  }
  vpEnabled = false;
  if (!usableFormat(input.outputFormatForBus(kBus))) {
    fail("mic_failed", "invalid input format after vp fallback");
  }
  installMicTap();
  engine->prepare();
  if (auto error = engine->start()) {
    fail("mic_failed", "vp fallback failed: " + error->description);
  }
}

}  // namespace zuno
