#include "sim/sim_audio_engine.h"

#include <chrono>
#include <stdexcept>

namespace platform::sim {

// --- SimInputNode

AudioFormat SimInputNode::outputFormatForBus(int) {
  if (engine_.voiceProcessing_ && engine_.voiceProcessingFormat_) {
    return *engine_.voiceProcessingFormat_;
  }
  return engine_.inputFormat_;
}

void SimInputNode::installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                                   InputTapBlock block) {
  engine_.calls_.push_back("installTap(" + std::to_string(bus) + "," + std::to_string(bufferSize) +
                           ")");
  ++engine_.tapInstalls_;
  engine_.lastTapFormat_ = format;
  {
    std::lock_guard guard(engine_.mutex_);
    engine_.tap_ = std::make_shared<const InputTapBlock>(std::move(block));
  }
  engine_.changed_.notify_all();
}

void SimInputNode::removeTapOnBus(int bus) {
  engine_.calls_.push_back("removeTap(" + std::to_string(bus) + ")");
  std::lock_guard guard(engine_.mutex_);
  engine_.tap_.reset();
}

MaybeError SimInputNode::setVoiceProcessingEnabled(bool enabled) {
  engine_.calls_.push_back(std::string("setVoiceProcessingEnabled(") + (enabled ? "1" : "0") + ")");
  // Switching off always works: the failure a test scripts is the one at start.
  if (enabled && engine_.voiceProcessingFailure_) return engine_.voiceProcessingFailure_;
  engine_.voiceProcessing_ = enabled;
  return std::nullopt;
}

// Ducking and gain control change nothing a test can hear or check.
void SimInputNode::setVoiceProcessingOtherAudioDuckingConfiguration(
    const VoiceProcessingOtherAudioDuckingConfiguration&) {}

void SimInputNode::setVoiceProcessingAGCEnabled(bool) {}

// --- SimAudioEngine

SimAudioEngine::SimAudioEngine() : inputFormat_{48000, 1, CommonFormat::pcmFloat32, false, 0} {}

SimAudioEngine::~SimAudioEngine() {
  joinDeliveryThread();
}

InputNode& SimAudioEngine::inputNode() {
  calls_.push_back("inputNode");
  return node_;
}

void SimAudioEngine::prepare() {
  calls_.push_back("prepare");
}

MaybeError SimAudioEngine::start() {
  calls_.push_back("start");
  if (startFailure_ && startFailuresLeft_ != 0) {
    if (startFailuresLeft_ > 0) --startFailuresLeft_;
    return startFailure_;
  }
  setRunning(true);
  return std::nullopt;
}

void SimAudioEngine::pause() {
  calls_.push_back("pause");
  setRunning(false);
}

void SimAudioEngine::stop() {
  calls_.push_back("stop");
  setRunning(false);
}

void SimAudioEngine::setRunning(bool running) {
  {
    std::lock_guard guard(mutex_);
    running_ = running;
  }
  changed_.notify_all();
}

bool SimAudioEngine::isRunning() {
  std::lock_guard guard(mutex_);
  return running_;
}

AudioFormat SimAudioEngine::lastTapFormat() const {
  if (!lastTapFormat_) throw std::logic_error("no tap was installed");
  return *lastTapFormat_;
}

bool SimAudioEngine::deliver(const PCMBufferPtr& buffer) {
  SharedTapBlock tap;
  {
    std::lock_guard guard(mutex_);
    if (running_) tap = tap_;
  }
  if (tap) (*tap)(buffer);
  return tap != nullptr;
}

void SimAudioEngine::startDeliveryThread(std::function<PCMBufferPtr(std::size_t index)> make) {
  joinDeliveryThread();
  stopDelivery_ = false;
  deliveryThread_ = std::thread([this, make = std::move(make)] { deliveryLoop(make); });
}

void SimAudioEngine::deliveryLoop(const std::function<PCMBufferPtr(std::size_t)>& make) {
  for (std::size_t index = 0;; ++index) {
    const PCMBufferPtr buffer = make(index);
    const double rate = buffer->format().sampleRate;
    const std::chrono::duration<double> captured(rate > 0 ? buffer->frameLength() / rate : 0);
    SharedTapBlock tap;
    {
      std::unique_lock guard(mutex_);
      if (changed_.wait_for(guard, captured, [this] { return stopDelivery_; })) return;
      changed_.wait(guard, [this] { return stopDelivery_ || (running_ && tap_); });
      if (stopDelivery_) return;
      tap = tap_;
    }
    (*tap)(buffer);
  }
}

void SimAudioEngine::joinDeliveryThread() {
  if (!deliveryThread_.joinable()) return;
  {
    std::lock_guard guard(mutex_);
    stopDelivery_ = true;
  }
  changed_.notify_all();
  deliveryThread_.join();
}

// --- SimAudioEngines

std::shared_ptr<AudioEngine> SimAudioEngines::makeEngine() {
  made_.push_back(next_ ? std::exchange(next_, nullptr) : std::make_shared<SimAudioEngine>());
  return made_.back();
}

SimAudioEngine& SimAudioEngines::engine() {
  if (!made_.empty()) return *made_.back();
  if (!next_) next_ = std::make_shared<SimAudioEngine>();
  return *next_;
}

// --- SimMicrophonePermission

CaptureAuthorizationStatus SimMicrophonePermission::authorizationStatus() {
  ++statusQueries_;
  return status_;
}

void SimMicrophonePermission::requestAccess(std::function<void(bool granted)> completion) {
  ++requests_;
  if (status_ == CaptureAuthorizationStatus::notDetermined) {
    status_ = answer_ ? CaptureAuthorizationStatus::authorized : CaptureAuthorizationStatus::denied;
  }
  completion(answer_);
}

}  // namespace platform::sim
