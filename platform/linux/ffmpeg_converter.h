#pragma once

#include <memory>

#include "platform/audio_files.h"

struct SwrContext;

namespace platform::linux_backend {

// libswresample behind the pull model. Its context keeps resampler history and samples that did
// not fit the last output, so consecutive conversions join without clicks; only an input that
// reports end of stream flushes it.
class FfmpegConverter final : public AudioConverter {
 public:
  static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);
  ~FfmpegConverter() override;
  const AudioFormat& inputFormat() const override { return from_; }
  const AudioFormat& outputFormat() const override { return to_; }
  ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& input) override;

 private:
  FfmpegConverter(const AudioFormat& from, const AudioFormat& to, SwrContext* context)
      : from_(from), to_(to), context_(context) {}
  AudioFormat from_;
  AudioFormat to_;
  SwrContext* context_;
};

}  // namespace platform::linux_backend
