#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace platform::linux_backend {

// A run of audio with speech in it, and where it starts in the file.
struct SpeechStretch {
  std::uint64_t firstSample = 0;
  std::vector<std::int16_t> samples;
};

struct SilenceSplitSettings {
  double frameSeconds = 0.01;
  // A pause at least this long ends a stretch: words never span it, so the stretches on either
  // side can be recognised apart.
  double pauseSeconds = 0.4;
  // Quiet kept before and after speech, so a soft first or last sound is not cut off.
  double marginSeconds = 0.2;
  // A stretch this long ends at a shorter pause, and one this long ends wherever it is, so what
  // is held at once stays small whatever the recording is.
  double longStretchSeconds = 20;
  double shortPauseSeconds = 0.15;
  double maxStretchSeconds = 30;
  // A frame is quiet when it is less than this much above the quietest 50 ms of the last few
  // seconds (the noise), or below an absolute level nobody speaks at. A recording whose noise is
  // too loud to tell speech from it has no quiet, and is only cut where stretches grow too long:
  // leaving a pause in costs time, leaving words out would cost them.
  double aboveNoiseDecibels = 12;
  double noiseWindowSeconds = 10;
  double silentDecibels = -60;
  double loudestQuietDecibels = -35;
};

// Cuts a stream of mono samples into stretches of speech at the pauses between them, leaving
// out what lies deeper inside a pause than the margins. Stretches come out in order as soon as
// they are complete; only the one being gathered is held.
class SpeechSilenceSplitter {
 public:
  using Emit = std::function<void(SpeechStretch&&)>;
  SpeechSilenceSplitter(double sampleRate, Emit emit, SilenceSplitSettings settings = {});
  void push(std::span<const std::int16_t> samples);
  // The last stretch, if it has speech.
  void finish();

 private:
  bool isQuiet(std::span<const std::int16_t> frame);
  void classifyFrame();
  // Ends the stretch at `at` and hands it on.
  void cut(std::size_t at);
  std::vector<std::int16_t> takeFront(std::size_t length);

  Emit emit_;
  std::size_t frameLength_;
  std::size_t pauseFrames_;
  std::size_t shortPauseFrames_;
  std::size_t marginFrames_;
  std::size_t longStretchSamples_;
  std::size_t maxStretchSamples_;
  double aboveNoiseDecibels_;
  double silentDecibels_;
  double loudestQuietDecibels_;

  // The stretch being gathered: classified whole frames, then the start of the next frame.
  std::vector<std::int16_t> stretch_;
  std::uint64_t stretchStart_ = 0;
  std::size_t classified_ = 0;
  bool hasSpeech_ = false;
  std::size_t quietFrames_ = 0;  // at the end of what is classified

  // Mean energy of each 50 ms block in the noise window, oldest overwritten first.
  std::vector<double> blockEnergies_;
  std::size_t nextBlock_ = 0;
  std::size_t blocksSeen_ = 0;
  double blockEnergy_ = 0;
  std::size_t framesInBlock_ = 0;
  double noiseDecibels_ = 0;
};

}  // namespace platform::linux_backend
