#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "linux/pulse_connection.h"
#include "linux/pulse_echo_canceller.h"
#include "linux/pulse_record_stream.h"
#include "linux/pulse_tap_buffer_assembler.h"
#include "linux/voice_processing_restore.h"
#include "platform/audio_engine.h"
#include "platform/runtime.h"

namespace platform::linux_backend {

// An engine whose input node records the default source (or the echo canceller's source) and
// hands the tap block non-interleaved buffers of at most the tap's size, each fragment as soon
// as it arrives.
class PulseAudioEngine final : public AudioEngine, private InputNode {
 public:
  // `runtime` gives the queue the echo canceller is brought back on after a reconnect.
  PulseAudioEngine(std::shared_ptr<PulseConnection> connection, Runtime& runtime);
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

  // Under controlMutex_.
  AudioFormat captureFormat();
  // Under controlMutex_: ends the stream, and with it the connection's listener.
  void endStream();
  // Restore steps, on the restore's queue.
  VoiceProcessingRestore::Steps restoreSteps();
  void recordThroughCanceller(const MaybeError& failure);
  // Delivery thread: hands the stream's samples to the tap.
  void deliver(const float* interleaved, std::uint32_t frames);

  std::shared_ptr<PulseConnection> connection_;
  // Used by one thread at a time: the main thread while voice processing is switched on, a
  // restore step, or the main thread switching it off once the restore was abandoned.
  PulseEchoCanceller echoCanceller_;

  // Serialises start, pause, stop and voice processing from the program's threads. Never held
  // while a restore waits for the server.
  std::mutex controlMutex_;
  std::unique_ptr<PulseRecordStream> stream_;
  // While a stream records the canceller's source; added and removed under the mainloop lock.
  std::uint64_t reconnectListener_ = 0;
  // Under controlMutex_: the canceller's source while voice processing is on, else empty.
  std::string cancellerSource_;

  // Held while the block runs, so removing the tap waits for a call in progress. Recursive
  // because the block may remove its own tap.
  std::recursive_mutex tapMutex_;
  std::shared_ptr<InputTapBlock> tap_;
  std::uint32_t tapFrames_ = 4096;
  AudioFormat tapFormat_{};
  PulseTapBufferAssembler assembler_;

  // Last, so it ends first: its steps use everything above.
  VoiceProcessingRestore restore_;
};

}  // namespace platform::linux_backend
