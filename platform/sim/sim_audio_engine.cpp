#include "sim/sim_audio_engine.h"

#include <stdexcept>

namespace platform::sim {

// --- SimInputNode

AudioFormat SimInputNode::outputFormatForBus(int) {
  std::lock_guard guard(engine_.mutex_);
  if (engine_.voiceProcessing_ && engine_.voiceProcessingFormat_) {
    return *engine_.voiceProcessingFormat_;
  }
  return engine_.inputFormat_;
}

void SimInputNode::installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                                   InputTapBlock block) {
  {
    std::lock_guard guard(engine_.mutex_);
    engine_.calls_.push_back("installTap(" + std::to_string(bus) + "," +
                             std::to_string(bufferSize) + ")");
    engine_.tap_ = std::make_shared<const InputTapBlock>(std::move(block));
    engine_.tapInstalls_.push_back({bus, bufferSize, format});
  }
  engine_.changed_.notify_all();
}

void SimInputNode::removeTapOnBus(int bus) {
  {
    std::lock_guard guard(engine_.mutex_);
    engine_.calls_.push_back("removeTap(" + std::to_string(bus) + ")");
    engine_.tap_.reset();
  }
  engine_.changed_.notify_all();
}

MaybeError SimInputNode::setVoiceProcessingEnabled(bool enabled) {
  std::lock_guard guard(engine_.mutex_);
  engine_.calls_.push_back(std::string("setVoiceProcessingEnabled(") + (enabled ? "1" : "0") + ")");
  const auto& failure =
      enabled ? engine_.voiceProcessingEnableFailure_ : engine_.voiceProcessingDisableFailure_;
  if (failure) return failure;
  engine_.voiceProcessing_ = enabled;
  return std::nullopt;
}

void SimInputNode::setVoiceProcessingOtherAudioDuckingConfiguration(
    const VoiceProcessingOtherAudioDuckingConfiguration& configuration) {
  std::lock_guard guard(engine_.mutex_);
  engine_.calls_.push_back("setDucking(" + std::to_string(configuration.enableAdvancedDucking) +
                           "," + std::to_string(static_cast<long>(configuration.duckingLevel)) +
                           ")");
  engine_.ducking_ = configuration;
}

void SimInputNode::setVoiceProcessingAGCEnabled(bool enabled) {
  std::lock_guard guard(engine_.mutex_);
  engine_.calls_.push_back(std::string("setAGC(") + (enabled ? "1" : "0") + ")");
  engine_.agc_ = enabled;
}

// --- SimAudioEngine

SimAudioEngine::SimAudioEngine() : inputFormat_{48000, 1, CommonFormat::pcmFloat32, false, 0} {}

SimAudioEngine::~SimAudioEngine() {
  joinDeliveryThread();
}

void SimAudioEngine::log(std::string call) {
  std::lock_guard guard(mutex_);
  calls_.push_back(std::move(call));
}

InputNode& SimAudioEngine::inputNode() {
  log("inputNode");
  return node_;
}

void SimAudioEngine::prepare() {
  log("prepare");
}

MaybeError SimAudioEngine::start() {
  {
    std::lock_guard guard(mutex_);
    calls_.push_back("start");
    if (startFailure_ && startFailuresLeft_ != 0) {
      if (startFailuresLeft_ > 0) --startFailuresLeft_;
      return startFailure_;
    }
    running_ = true;
    ++starts_;
  }
  changed_.notify_all();
  return std::nullopt;
}

void SimAudioEngine::pause() {
  {
    std::lock_guard guard(mutex_);
    calls_.push_back("pause");
    running_ = false;
  }
  changed_.notify_all();
}

void SimAudioEngine::stop() {
  {
    std::lock_guard guard(mutex_);
    calls_.push_back("stop");
    running_ = false;
  }
  changed_.notify_all();
}

bool SimAudioEngine::isRunning() {
  std::lock_guard guard(mutex_);
  return running_;
}

void SimAudioEngine::setInputFormat(const AudioFormat& format) {
  std::lock_guard guard(mutex_);
  inputFormat_ = format;
}

void SimAudioEngine::setVoiceProcessingFormat(const AudioFormat& format) {
  std::lock_guard guard(mutex_);
  voiceProcessingFormat_ = format;
}

void SimAudioEngine::failVoiceProcessingEnable(Error error) {
  std::lock_guard guard(mutex_);
  voiceProcessingEnableFailure_ = std::move(error);
}

void SimAudioEngine::failVoiceProcessingDisable(Error error) {
  std::lock_guard guard(mutex_);
  voiceProcessingDisableFailure_ = std::move(error);
}

void SimAudioEngine::clearVoiceProcessingFailures() {
  std::lock_guard guard(mutex_);
  voiceProcessingEnableFailure_.reset();
  voiceProcessingDisableFailure_.reset();
}

void SimAudioEngine::failStart(Error error, int times) {
  std::lock_guard guard(mutex_);
  startFailure_ = std::move(error);
  startFailuresLeft_ = times;
}

void SimAudioEngine::clearStartFailure() {
  std::lock_guard guard(mutex_);
  startFailure_.reset();
  startFailuresLeft_ = 0;
}

std::vector<std::string> SimAudioEngine::calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

bool SimAudioEngine::voiceProcessingEnabled() const {
  std::lock_guard guard(mutex_);
  return voiceProcessing_;
}

std::optional<VoiceProcessingOtherAudioDuckingConfiguration> SimAudioEngine::duckingConfiguration()
    const {
  std::lock_guard guard(mutex_);
  return ducking_;
}

std::optional<bool> SimAudioEngine::agcEnabled() const {
  std::lock_guard guard(mutex_);
  return agc_;
}

bool SimAudioEngine::tapInstalled() const {
  std::lock_guard guard(mutex_);
  return tap_ != nullptr;
}

int SimAudioEngine::tapInstallCount() const {
  std::lock_guard guard(mutex_);
  return static_cast<int>(tapInstalls_.size());
}

std::vector<SimTapInstall> SimAudioEngine::tapInstalls() const {
  std::lock_guard guard(mutex_);
  return tapInstalls_;
}

AudioFormat SimAudioEngine::lastTapFormat() const {
  std::lock_guard guard(mutex_);
  if (tapInstalls_.empty()) throw std::logic_error("no tap was installed");
  return tapInstalls_.back().format;
}

SimAudioEngine::SharedTapBlock SimAudioEngine::deliverableTap() const {
  std::lock_guard guard(mutex_);
  return running_ ? tap_ : nullptr;
}

bool SimAudioEngine::deliver(const PCMBufferPtr& buffer) {
  const SharedTapBlock tap = deliverableTap();
  if (!tap) return false;
  (*tap)(buffer);
  ++delivered_;
  return true;
}

void SimAudioEngine::startDeliveryThread(std::function<PCMBufferPtr(std::size_t index)> make,
                                         std::size_t count, SimDeliveryPace pace) {
  joinDeliveryThread();
  {
    std::lock_guard guard(mutex_);
    stopDelivery_ = false;
  }
  deliveryThread_ =
      std::thread([this, make = std::move(make), count, pace] { deliveryLoop(make, count, pace); });
}

namespace {

std::chrono::steady_clock::duration durationOf(const PCMBuffer& buffer) {
  const double rate = buffer.format().sampleRate;
  if (!(rate > 0)) return std::chrono::steady_clock::duration::zero();
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(buffer.frameLength() / rate));
}

}  // namespace

void SimAudioEngine::deliveryLoop(std::function<PCMBufferPtr(std::size_t)> make, std::size_t count,
                                  SimDeliveryPace pace) {
  for (std::size_t index = 0; index < count; ++index) {
    PCMBufferPtr buffer = make(index);
    const auto captureTime = pace == SimDeliveryPace::realTime && buffer
                                 ? durationOf(*buffer)
                                 : std::chrono::steady_clock::duration::zero();
    const SharedTapBlock tap = waitForCapture(captureTime);
    if (!tap) return;
    (*tap)(buffer);
    ++delivered_;
  }
}

SimAudioEngine::SharedTapBlock SimAudioEngine::waitForCapture(
    std::chrono::steady_clock::duration captureTime) {
  std::unique_lock guard(mutex_);
  for (;;) {
    changed_.wait(guard, [this] { return stopDelivery_ || (running_ && tap_); });
    if (stopDelivery_) return nullptr;
    const auto due = std::chrono::steady_clock::now() + captureTime;
    const std::uint64_t run = starts_;
    // A pause and a start between two wake-ups still cut the capture short.
    const bool interrupted = changed_.wait_until(
        guard, due, [this, run] { return stopDelivery_ || !running_ || !tap_ || starts_ != run; });
    if (!interrupted) return tap_;
    if (stopDelivery_) return nullptr;
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
  std::lock_guard guard(mutex_);
  if (!next_) next_ = std::make_shared<SimAudioEngine>();
  made_.push_back(std::exchange(next_, nullptr));
  return made_.back();
}

SimAudioEngine& SimAudioEngines::engine() {
  std::lock_guard guard(mutex_);
  if (!made_.empty()) return *made_.back();
  if (!next_) next_ = std::make_shared<SimAudioEngine>();
  return *next_;
}

int SimAudioEngines::enginesMade() const {
  std::lock_guard guard(mutex_);
  return static_cast<int>(made_.size());
}

// --- SimMicrophonePermission

CaptureAuthorizationStatus SimMicrophonePermission::authorizationStatus() {
  std::lock_guard guard(mutex_);
  ++statusQueries_;
  return status_;
}

void SimMicrophonePermission::requestAccess(std::function<void(bool granted)> completion) {
  bool answer = false;
  {
    std::lock_guard guard(mutex_);
    ++requests_;
    answer = answer_;
    if (status_ == CaptureAuthorizationStatus::notDetermined) {
      status_ =
          answer ? CaptureAuthorizationStatus::authorized : CaptureAuthorizationStatus::denied;
    }
  }
  completion(answer);
}

void SimMicrophonePermission::setStatus(CaptureAuthorizationStatus status) {
  std::lock_guard guard(mutex_);
  status_ = status;
}

void SimMicrophonePermission::setRequestAnswer(bool granted) {
  std::lock_guard guard(mutex_);
  answer_ = granted;
}

int SimMicrophonePermission::statusQueries() const {
  std::lock_guard guard(mutex_);
  return statusQueries_;
}

int SimMicrophonePermission::requests() const {
  std::lock_guard guard(mutex_);
  return requests_;
}

}  // namespace platform::sim
