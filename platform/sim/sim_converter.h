#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/audio_files.h"

namespace platform::sim {

// What a test scripts about conversions; shared by the files service and every converter it made
// so that a script reaches converters that already exist.
struct SimConversionScript {
  std::mutex mutex;
  bool failNext = false;
  std::optional<Error> nextError;

  // The scripted failure of the next conversion, consumed by the call.
  bool takeFailure(std::optional<Error>& error);
};

// A small but real converter of float samples: channel mixing, then linear resampling whose
// phase and last input frame survive from one convert() to the next, so a stream cut into
// arbitrary pieces converts to the same samples as in one piece.
class SimConverter final : public AudioConverter {
 public:
  // None unless both sides are float PCM with a rate and channels.
  static std::unique_ptr<SimConverter> make(const AudioFormat& from, const AudioFormat& to,
                                            std::shared_ptr<SimConversionScript> script);

  SimConverter(const AudioFormat& from, const AudioFormat& to,
               std::shared_ptr<SimConversionScript> script);

  ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& input) override;

 private:
  // Mixed input frames held for later output (including the one interpolation looks back to).
  std::size_t pendingFrames() const { return pending_.empty() ? 0 : pending_[0].size(); }
  // Output frames that can be made from what is pending; all of them once the input has ended.
  std::uint32_t produce(PCMBuffer& output, std::uint32_t offset, std::uint32_t wanted);
  std::uint32_t inputFramesWanted(std::uint32_t outputFrames) const;
  MaybeError take(const PCMBuffer& buffer);
  void dropConsumed();

  AudioFormat from_;
  AudioFormat to_;
  std::shared_ptr<SimConversionScript> script_;
  double step_;  // input frames per output frame
  // Per output channel, already mixed; position() indexes into it.
  std::vector<std::vector<float>> pending_;
  // Where the next output frame falls, kept as counts since the stream began rather than as a
  // running sum, so rounding does not drift with how the stream was cut into pieces.
  std::uint64_t produced_ = 0;
  std::uint64_t dropped_ = 0;
  double position() const;
  bool ended_ = false;
};

}  // namespace platform::sim
