#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "linux/pocketsphinx_model.h"
#include "platform/error.h"
#include "platform/speech_recognizer.h"

struct ps_decoder_s;

namespace platform::linux_backend {

// A loaded model that recognises one utterance at a time: mono 16-bit samples at the model's
// rate go in, the recognised words with their times come out. Not shared between threads.
class PocketsphinxDecoder {
 public:
  static Result<std::unique_ptr<PocketsphinxDecoder>> make(const PocketsphinxModel& model);
  ~PocketsphinxDecoder();
  PocketsphinxDecoder(const PocketsphinxDecoder&) = delete;
  PocketsphinxDecoder& operator=(const PocketsphinxDecoder&) = delete;

  // The rate the acoustic model was trained at, which the samples must have.
  double sampleRate() const { return sampleRate_; }
  // The words in time order, seconds from the utterance's first sample; silences and noises
  // left out.
  Result<std::vector<SpeechTranscriptionSegment>> decode(std::span<const std::int16_t> utterance);

 private:
  PocketsphinxDecoder(ps_decoder_s* decoder, double sampleRate, double frameRate);
  ps_decoder_s* decoder_;
  double sampleRate_;
  double frameRate_;
};

}  // namespace platform::linux_backend
