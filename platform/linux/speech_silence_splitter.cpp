#include "linux/speech_silence_splitter.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace platform::linux_backend {
namespace {

// Frames averaged into one noise measurement: single quiet frames inside speech (the closure
// before a "p" or "t") must not pass for the noise.
constexpr std::size_t kFramesPerBlock = 5;

// Power relative to full scale, with any constant offset taken out first: some recordings sit
// a little off zero, and that offset is no sound.
double framePower(std::span<const std::int16_t> frame) {
  double sum = 0;
  for (const std::int16_t sample : frame) sum += sample;
  const double mean = sum / static_cast<double>(frame.size());
  double power = 0;
  for (const std::int16_t sample : frame) power += (sample - mean) * (sample - mean);
  return power / static_cast<double>(frame.size()) / (32768.0 * 32768.0);
}

double decibels(double power) {
  return 10 * std::log10(std::max(power, 1e-12));
}

std::size_t count(double seconds, double unitSeconds) {
  return static_cast<std::size_t>(std::lround(seconds / unitSeconds));
}

}  // namespace

SpeechSilenceSplitter::SpeechSilenceSplitter(double sampleRate, Emit emit,
                                             SilenceSplitSettings settings)
    : emit_(std::move(emit)),
      frameLength_(std::max<std::size_t>(1, count(settings.frameSeconds, 1 / sampleRate))),
      pauseFrames_(std::max<std::size_t>(1, count(settings.pauseSeconds, settings.frameSeconds))),
      shortPauseFrames_(
          std::max<std::size_t>(1, count(settings.shortPauseSeconds, settings.frameSeconds))),
      marginFrames_(count(settings.marginSeconds, settings.frameSeconds)),
      longStretchSamples_(count(settings.longStretchSeconds, 1 / sampleRate)),
      maxStretchSamples_(std::max(frameLength_, count(settings.maxStretchSeconds, 1 / sampleRate))),
      aboveNoiseDecibels_(settings.aboveNoiseDecibels),
      silentDecibels_(settings.silentDecibels),
      loudestQuietDecibels_(settings.loudestQuietDecibels),
      blockEnergies_(std::max<std::size_t>(
          1, count(settings.noiseWindowSeconds, settings.frameSeconds * kFramesPerBlock))) {}

void SpeechSilenceSplitter::push(std::span<const std::int16_t> samples) {
  stretch_.insert(stretch_.end(), samples.begin(), samples.end());
  while (stretch_.size() - classified_ >= frameLength_) classifyFrame();
}

void SpeechSilenceSplitter::finish() {
  if (hasSpeech_) {
    std::size_t end = stretch_.size();
    if (quietFrames_ > marginFrames_) {
      end = classified_ - (quietFrames_ - marginFrames_) * frameLength_;
    }
    cut(end);
  }
  stretchStart_ += stretch_.size();
  stretch_.clear();
  classified_ = 0;
}

bool SpeechSilenceSplitter::isQuiet(std::span<const std::int16_t> frame) {
  const double power = framePower(frame);
  blockEnergy_ += power;
  if (++framesInBlock_ == kFramesPerBlock) {
    blockEnergies_[nextBlock_] = decibels(blockEnergy_ / kFramesPerBlock);
    nextBlock_ = (nextBlock_ + 1) % blockEnergies_.size();
    blocksSeen_ = std::min(blocksSeen_ + 1, blockEnergies_.size());
    noiseDecibels_ = *std::min_element(
        blockEnergies_.begin(), blockEnergies_.begin() + static_cast<std::ptrdiff_t>(blocksSeen_));
    blockEnergy_ = 0;
    framesInBlock_ = 0;
  }
  // Until the noise is known nothing counts as speech; the frames are kept in the margin of
  // whatever speech follows.
  if (blocksSeen_ == 0) return true;
  const double threshold =
      std::clamp(noiseDecibels_ + aboveNoiseDecibels_, silentDecibels_, loudestQuietDecibels_);
  return decibels(power) < threshold;
}

void SpeechSilenceSplitter::classifyFrame() {
  const bool quiet = isQuiet(std::span(stretch_).subspan(classified_, frameLength_));
  const std::size_t frameStart = classified_;
  classified_ += frameLength_;
  const std::size_t margin = marginFrames_ * frameLength_;
  if (!quiet) {
    if (!hasSpeech_) {
      hasSpeech_ = true;
      if (frameStart > margin) takeFront(frameStart - margin);
    }
    quietFrames_ = 0;
  } else if (hasSpeech_) {
    ++quietFrames_;
    const std::size_t needed =
        classified_ >= longStretchSamples_ ? shortPauseFrames_ : pauseFrames_;
    if (quietFrames_ >= needed) {
      // Half of a short pause goes to each side; a long one keeps only the margins.
      const std::size_t pauseStart = classified_ - quietFrames_ * frameLength_;
      cut(pauseStart + std::min(marginFrames_, quietFrames_ / 2) * frameLength_);
      return;
    }
  } else if (classified_ > 2 * margin) {
    // Quiet before any speech: only the last margin of it can still be needed.
    takeFront(classified_ - margin);
  }
  if (hasSpeech_ && classified_ >= maxStretchSamples_) cut(classified_);
}

void SpeechSilenceSplitter::cut(std::size_t at) {
  const std::uint64_t firstSample = stretchStart_;
  SpeechStretch done{firstSample, takeFront(at)};
  hasSpeech_ = false;
  quietFrames_ = 0;
  if (!done.samples.empty()) emit_(std::move(done));
}

std::vector<std::int16_t> SpeechSilenceSplitter::takeFront(std::size_t length) {
  std::vector<std::int16_t> rest(stretch_.begin() + static_cast<std::ptrdiff_t>(length),
                                 stretch_.end());
  stretch_.resize(length);
  std::swap(stretch_, rest);
  stretchStart_ += length;
  classified_ -= length;
  return rest;
}

}  // namespace platform::linux_backend
