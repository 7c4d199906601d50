#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

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
  // Under controlMutex_: ends the stream, and with it the connection's listener.
  void endStream();
  // Mainloop thread: the connection is back, possibly to a new server without the canceller.
  void requestVoiceProcessingRestore();
  // Restorer thread.
  void runRestorer();
  void restoreVoiceProcessing();
  // Delivery thread: hands the stream's samples to the tap.
  void deliver(const float* interleaved, std::uint32_t frames);

  std::shared_ptr<PulseConnection> connection_;
  PulseEchoCanceller echoCanceller_;

  // Serialises start, pause, stop and voice processing from the program's threads.
  std::mutex controlMutex_;
  std::unique_ptr<PulseRecordStream> stream_;
  // While a stream records the canceller's source; added and removed under the mainloop lock.
  std::uint64_t reconnectListener_ = 0;

  // Loads the canceller again after a reconnect and points the stream at it. A thread of its
  // own, made on the first reconnect with voice processing on, because loading waits for the
  // server, which the mainloop thread that reports the reconnect must never do.
  std::mutex restoreMutex_;
  std::condition_variable restoreRequested_;
  bool restorePending_ = false;
  bool restorerQuits_ = false;
  std::thread restorer_;

  // Held while the block runs, so removing the tap waits for a call in progress. Recursive
  // because the block may remove its own tap.
  std::recursive_mutex tapMutex_;
  std::shared_ptr<InputTapBlock> tap_;
  std::uint32_t tapFrames_ = 4096;
  AudioFormat tapFormat_{};
  PulseTapBufferAssembler assembler_;
};

}  // namespace platform::linux_backend
