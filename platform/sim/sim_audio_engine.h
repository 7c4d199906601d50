#pragma once

#include <atomic>
#include <chrono>
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
#include "platform/runtime.h"

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

// How the delivery thread spaces the buffers it hands over.
enum class SimDeliveryPace {
  // Each buffer after its own duration of running time, as a capture device hands them over: a
  // burst of buffers the moment the engine starts would hit windows no device ever hits.
  realTime,
  // Back to back, as fast as the tap takes them, to crowd whatever runs alongside.
  asFastAsPossible,
};

struct SimTapInstall {
  int bus = 0;
  std::uint32_t bufferSize = 0;
  AudioFormat format;
};

// An engine whose capture a test drives: buffers reach the tap only through deliver() or the
// delivery thread, and only while a tap is installed and the engine runs.
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
  void setInputFormat(const AudioFormat& format);
  // Reported while voice processing is on; follows the input format until set.
  void setVoiceProcessingFormat(const AudioFormat& format);
  void failVoiceProcessingEnable(Error error);
  void failVoiceProcessingDisable(Error error);
  void clearVoiceProcessingFailures();
  // The next `times` starts fail (-1: every start until cleared).
  void failStart(Error error, int times = -1);
  void clearStartFailure();

  // --- inspect
  std::vector<std::string> calls() const;
  bool voiceProcessingEnabled() const;
  std::optional<VoiceProcessingOtherAudioDuckingConfiguration> duckingConfiguration() const;
  std::optional<bool> agcEnabled() const;
  bool tapInstalled() const;
  int tapInstallCount() const;
  std::vector<SimTapInstall> tapInstalls() const;
  // The format of the latest install; throws if there was none.
  AudioFormat lastTapFormat() const;

  // --- capture
  // Runs the tap block on the calling thread if a tap is installed and the engine runs.
  bool deliver(const PCMBufferPtr& buffer);
  // Delivers `count` buffers, made by `make(index)`, from a thread of its own at `pace`; waits
  // while no tap is installed or the engine does not run. A buffer whose time is cut short by a
  // pause or a stop is captured again from the start once the engine runs.
  void startDeliveryThread(std::function<PCMBufferPtr(std::size_t index)> make, std::size_t count,
                           SimDeliveryPace pace = SimDeliveryPace::realTime);
  // Gives up on buffers not delivered yet, without waiting for the one under way to fall due, and
  // joins the thread.
  void joinDeliveryThread();
  std::size_t buffersDelivered() const { return delivered_.load(); }

 private:
  friend class SimInputNode;
  using SharedTapBlock = std::shared_ptr<const InputTapBlock>;

  void log(std::string call);
  // The tap block if delivery is possible now; copied so it runs without the lock held.
  SharedTapBlock deliverableTap() const;
  void deliveryLoop(std::function<PCMBufferPtr(std::size_t)> make, std::size_t count,
                    SimDeliveryPace pace);
  // The tap to hand a buffer to once the engine has run for `captureTime` without a break; none
  // once the thread is to give up.
  SharedTapBlock waitForCapture(std::chrono::steady_clock::duration captureTime);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  SimInputNode node_{*this};
  std::vector<std::string> calls_;
  AudioFormat inputFormat_;
  std::optional<AudioFormat> voiceProcessingFormat_;
  bool voiceProcessing_ = false;
  std::optional<Error> voiceProcessingEnableFailure_;
  std::optional<Error> voiceProcessingDisableFailure_;
  std::optional<VoiceProcessingOtherAudioDuckingConfiguration> ducking_;
  std::optional<bool> agc_;
  SharedTapBlock tap_;
  std::vector<SimTapInstall> tapInstalls_;
  bool running_ = false;
  std::uint64_t starts_ = 0;
  std::optional<Error> startFailure_;
  int startFailuresLeft_ = 0;

  std::thread deliveryThread_;
  bool stopDelivery_ = false;
  std::atomic<std::size_t> delivered_{0};
};

class SimAudioEngines final : public AudioEngines {
 public:
  std::shared_ptr<AudioEngine> makeEngine() override;

  // The engine made last, or, before any, the one the next makeEngine() hands out, so a test
  // can script it before the program makes it.
  SimAudioEngine& engine();
  int enginesMade() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<SimAudioEngine>> made_;
  std::shared_ptr<SimAudioEngine> next_;
};

// Microphone permission with a scripted status and answer, given at once.
class SimMicrophonePermission final : public MicrophonePermission {
 public:
  CaptureAuthorizationStatus authorizationStatus() override;
  // Answers with the scripted answer; an undetermined status then becomes authorized or denied.
  void requestAccess(std::function<void(bool granted)> completion) override;

  void setStatus(CaptureAuthorizationStatus status);
  void setRequestAnswer(bool granted);
  int statusQueries() const;
  int requests() const;

 private:
  mutable std::mutex mutex_;
  CaptureAuthorizationStatus status_ = CaptureAuthorizationStatus::authorized;
  bool answer_ = true;
  int statusQueries_ = 0;
  int requests_ = 0;
};

}  // namespace platform::sim
