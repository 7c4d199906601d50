#pragma once

#include <memory>
#include <mutex>

#include "linux/pulse_connection.h"
#include "linux/pulse_echo_canceller.h"
#include "linux/pulse_record_stream.h"
#include "linux/pulse_tap_buffer_assembler.h"
#include "platform/audio_engine.h"

namespace platform::linux_backend {

// An engine whose input node records the default source (or the echo canceller's source) and
// hands the tap block non-interleaved buffers of at most the tap's size, each fragment as soon
// as it arrives.
class PulseAudioEngine final : public AudioEngine, private InputNode {
 public:
  explicit PulseAudioEngine(std::shared_ptr<PulseConnection> connection);
  ~PulseAudioEngine() override;

  InputNode& inputNode() override { return *this; }
  void prepare() override;
  MaybeError start() override;
  void pause() override;
  void stop() override;
  bool isRunning() override;
  MaybeError inputAvailability() override;

 private:
  AudioFormat outputFormatForBus(int bus) override;
  void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                       InputTapBlock block) override;
  void removeTapOnBus(int bus) override;
  MaybeError setVoiceProcessingEnabled(bool enabled) override;
  void setVoiceProcessingOtherAudioDuckingConfiguration(
      const VoiceProcessingOtherAudioDuckingConfiguration& configuration) override;
  void setVoiceProcessingAGCEnabled(bool enabled) override;

  AudioFormat captureFormat();
  // Delivery thread: hands the stream's samples to the tap.
  void deliver(const float* interleaved, std::uint32_t frames);

  std::shared_ptr<PulseConnection> connection_;
  PulseEchoCanceller echoCanceller_;

  // Serialises start, pause, stop and voice processing from the program's threads.
  std::mutex controlMutex_;
  std::unique_ptr<PulseRecordStream> stream_;

  // Held while the block runs, so removing the tap waits for a call in progress. Recursive
  // because the block may remove its own tap.
  std::recursive_mutex tapMutex_;
  std::shared_ptr<InputTapBlock> tap_;
  std::uint32_t tapFrames_ = 4096;
  AudioFormat tapFormat_{};
  PulseTapBufferAssembler assembler_;
};

}  // namespace platform::linux_backend
