#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio_files.h"

struct SwrContext;

namespace platform::linux_backend {

// libswresample behind the pull model. Its context keeps resampler history and samples that did
// not fit the last output, so consecutive conversions join without clicks; only an input that
// reports end of stream flushes it. The flushed tail may take several calls when the output is
// small: those report haveData and endOfStream comes with the call that empties the resampler,
// after which the converter starts afresh.
class FfmpegConverter final : public AudioConverter {
 public:
  static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);
  ~FfmpegConverter() override;
  ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& input) override;

 private:
  FfmpegConverter(const AudioFormat& from, const AudioFormat& to, SwrContext* context);
  // Converts `frames` input frames (none: only what is pending; null planes: flush) into the
  // output after the `produced` frames already there; false with `error` set on failure.
  bool convertInto(PCMBuffer& output, std::uint32_t& produced, const std::uint8_t* const* planes,
                   int frames, std::optional<Error>& error);

  AudioFormat from_;
  AudioFormat to_;
  SwrContext* context_;
  // Plane pointer arrays sized once, so a conversion allocates nothing.
  std::vector<const std::uint8_t*> inputPlanes_;
  std::vector<std::uint8_t*> outputPlanes_;
  // An input of zero frames: still one (unused) pointer per input plane.
  std::vector<const std::uint8_t*> noInput_;
  // The input reported end of stream and the resampler's tail is not all out yet.
  bool draining_ = false;
};

}  // namespace platform::linux_backend
