#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_engine.h"

namespace platform::sim {

class SimAudioEngine;

// The microphone node; everything it is told is kept by its engine.
class SimInputNode final : public InputNode {
 public:
  explicit SimInputNode(SimAudioEngine& engine) : engine_(engine) {}

  AudioFormat outputFormatForBus(int bus) override;
  void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                       InputTapBlock block) override;
  void removeTapOnBus(int bus) override;
  MaybeError setVoiceProcessingEnabled(bool enabled) override;
  void setVoiceProcessingOtherAudioDuckingConfiguration(
      const VoiceProcessingOtherAudioDuckingConfiguration& configuration) override;
  void setVoiceProcessingAGCEnabled(bool enabled) override;

 private:
  SimAudioEngine& engine_;
};

// An engine whose capture a test drives: buffers reach the tap only through deliver() or the
// delivery thread, and only while a tap is installed and the engine runs. The lock guards what
// capture reads (the tap, whether the engine runs, the end of delivery); everything else only the
// program's main thread and the test touch.
class SimAudioEngine final : public AudioEngine {
 public:
  SimAudioEngine();
  ~SimAudioEngine() override;
  SimAudioEngine(const SimAudioEngine&) = delete;
  SimAudioEngine& operator=(const SimAudioEngine&) = delete;

  InputNode& inputNode() override;
  void prepare() override;
  MaybeError start() override;
  void pause() override;
  void stop() override;
  bool isRunning() override;

  // --- script
  // Any format, also one with rate 0. Default: 48000 Hz mono float32 non-interleaved.
  void setInputFormat(const AudioFormat& format) { inputFormat_ = format; }
  // Reported while voice processing is on; follows the input format until set.
  void setVoiceProcessingFormat(const AudioFormat& format) { voiceProcessingFormat_ = format; }
  void failVoiceProcessingEnable(Error error) { voiceProcessingFailure_ = std::move(error); }
  // The next `times` starts fail (-1: every one).
  void failStart(Error error, int times = -1) {
    startFailure_ = std::move(error);
    startFailuresLeft_ = times;
  }

  // --- inspect
  std::vector<std::string> calls() const { return calls_; }
  bool voiceProcessingEnabled() const { return voiceProcessing_; }
  int tapInstallCount() const { return tapInstalls_; }
  // The format of the latest install; throws if there was none.
  AudioFormat lastTapFormat() const;

  // --- capture
  // Runs the tap block on the calling thread if a tap is installed and the engine runs.
  bool deliver(const PCMBufferPtr& buffer);
  // Hands the tap make(0), make(1), ... from a thread of its own, each after its own duration of
  // real time, as a capture device does: a burst of buffers the moment the engine starts would
  // hit windows no device ever hits. A buffer that falls due while no tap is installed or the
  // engine does not run waits for both.
  void startDeliveryThread(std::function<PCMBufferPtr(std::size_t index)> make);
  // Ends delivery without waiting for the next buffer to fall due, and joins the thread.
  void joinDeliveryThread();

 private:
  friend class SimInputNode;
  using SharedTapBlock = std::shared_ptr<const InputTapBlock>;

  // Sets whether the engine runs and tells the delivery thread.
  void setRunning(bool running);
  void deliveryLoop(const std::function<PCMBufferPtr(std::size_t)>& make);

  std::mutex mutex_;
  std::condition_variable changed_;
  SimInputNode node_{*this};
  std::vector<std::string> calls_;
  AudioFormat inputFormat_;
  std::optional<AudioFormat> voiceProcessingFormat_;
  bool voiceProcessing_ = false;
  std::optional<Error> voiceProcessingFailure_;
  // Copied out to run without the lock held.
  SharedTapBlock tap_;
  int tapInstalls_ = 0;
  std::optional<AudioFormat> lastTapFormat_;
  bool running_ = false;
  std::optional<Error> startFailure_;
  int startFailuresLeft_ = 0;

  std::thread deliveryThread_;
  bool stopDelivery_ = false;
};

class SimAudioEngines final : public AudioEngines {
 public:
  std::shared_ptr<AudioEngine> makeEngine() override;

  // The engine made last, or, before any, the one the next makeEngine() hands out, so a test
  // can script it before the program makes it.
  SimAudioEngine& engine();

 private:
  // Every engine made stays, so a reference from engine() outlives the program's use of it.
  std::vector<std::shared_ptr<SimAudioEngine>> made_;
  std::shared_ptr<SimAudioEngine> next_;
};

// Microphone permission with a scripted status and answer, given at once on the caller's thread.
class SimMicrophonePermission final : public MicrophonePermission {
 public:
  CaptureAuthorizationStatus authorizationStatus() override;
  // Answers with the scripted answer; an undetermined status then becomes authorized or denied.
  void requestAccess(std::function<void(bool granted)> completion) override;

  void setStatus(CaptureAuthorizationStatus status) { status_ = status; }
  void setRequestAnswer(bool granted) { answer_ = granted; }
  int statusQueries() const { return statusQueries_; }
  int requests() const { return requests_; }

 private:
  CaptureAuthorizationStatus status_ = CaptureAuthorizationStatus::authorized;
  bool answer_ = true;
  int statusQueries_ = 0;
  int requests_ = 0;
};

}  // namespace platform::sim
