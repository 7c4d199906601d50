#include "sim/sim_converter.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace platform::sim {
namespace {

// Float samples only: both capture paths deliver float and the files take float, so the program
// never hands a converter anything else.
bool convertible(const AudioFormat& format) {
  return format.channelCount != 0 && format.commonFormat == CommonFormat::pcmFloat32 &&
         std::isfinite(format.sampleRate) && format.sampleRate > 0;
}

// Where sample (frame, channel) lives in a buffer list of `format`.
float* sampleAt(const AudioFormat& format, std::span<const AudioBuffer> buffers,
                std::uint32_t frame, std::uint32_t channel) {
  if (format.interleaved) {
    return static_cast<float*>(buffers[0].mData) + std::size_t{frame} * format.channelCount +
           channel;
  }
  return static_cast<float*>(buffers[channel].mData) + frame;
}

Error conversionError(const std::string& text) {
  return Error{"SimAudioConverter", -50, text};
}

}  // namespace

bool SimConversionScript::takeFailure(std::optional<Error>& error) {
  std::lock_guard guard(mutex);
  if (!std::exchange(failNext, false)) return false;
  error = std::exchange(nextError, std::nullopt);
  return true;
}

std::unique_ptr<SimConverter> SimConverter::make(const AudioFormat& from, const AudioFormat& to,
                                                 std::shared_ptr<SimConversionScript> script) {
  if (!convertible(from) || !convertible(to)) return nullptr;
  return std::make_unique<SimConverter>(from, to, std::move(script));
}

SimConverter::SimConverter(const AudioFormat& from, const AudioFormat& to,
                           std::shared_ptr<SimConversionScript> script)
    : from_(from),
      to_(to),
      script_(std::move(script)),
      step_(from.sampleRate / to.sampleRate),
      pending_(to.channelCount) {}

double SimConverter::position() const {
  // Multiplying before dividing keeps whole positions whole for whole-numbered rates.
  return static_cast<double>(produced_) * from_.sampleRate / to_.sampleRate -
         static_cast<double>(dropped_);
}

MaybeError SimConverter::take(const PCMBuffer& buffer) {
  if (buffer.format() != from_) {
    return conversionError("input buffer is not in the converter's input format");
  }
  const ConstAudioBufferList list = buffer.audioBufferList();
  if (list.buffers.size() < from_.bufferCount()) return conversionError("input buffer list short");
  const std::uint32_t frames = buffer.frameLength();
  const std::uint32_t inChannels = from_.channelCount;
  const std::uint32_t outChannels = to_.channelCount;
  for (std::uint32_t frame = 0; frame < frames; ++frame) {
    if (outChannels == 1 && inChannels > 1) {
      // Mono from several channels is their average, so a full-scale signal stays in range.
      float sum = 0;
      for (std::uint32_t c = 0; c < inChannels; ++c)
        sum += *sampleAt(from_, list.buffers, frame, c);
      pending_[0].push_back(sum / static_cast<float>(inChannels));
      continue;
    }
    for (std::uint32_t c = 0; c < outChannels; ++c) {
      const std::uint32_t source = c < inChannels ? c : c % inChannels;
      pending_[c].push_back(*sampleAt(from_, list.buffers, frame, source));
    }
  }
  return std::nullopt;
}

std::uint32_t SimConverter::produce(PCMBuffer& output, std::uint32_t offset, std::uint32_t wanted) {
  const std::size_t available = pendingFrames();
  AudioBufferList list = output.mutableAudioBufferList();
  std::uint32_t made = 0;
  while (made < wanted) {
    const double at = position();
    const auto index = static_cast<std::size_t>(at);
    const double fraction = at - static_cast<double>(index);
    const bool haveNext = index + 1 < available;
    // A frame that falls exactly on an input frame needs nothing after it; one in between waits
    // for its right neighbour unless the input has ended (then the last frame is held).
    if (index >= available || (!haveNext && fraction != 0 && !ended_)) break;
    for (std::uint32_t c = 0; c < to_.channelCount; ++c) {
      const float left = pending_[c][index];
      const float right = haveNext ? pending_[c][index + 1] : left;
      *sampleAt(to_, list.buffers, offset + made, c) =
          static_cast<float>(left + (right - left) * fraction);
    }
    ++made;
    ++produced_;
  }
  return made;
}

void SimConverter::dropConsumed() {
  // Keep the frame the next output interpolates from; everything before it is done with.
  const auto consumed = std::min(static_cast<std::size_t>(position()), pendingFrames());
  if (consumed == 0) return;
  for (auto& channel : pending_) {
    channel.erase(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(consumed));
  }
  dropped_ += consumed;
}

std::uint32_t SimConverter::inputFramesWanted(std::uint32_t outputFrames) const {
  const double last = position() + static_cast<double>(outputFrames) * step_;
  const double needed = std::ceil(last) + 1.0 - static_cast<double>(pendingFrames());
  return needed < 1.0 ? 1u : static_cast<std::uint32_t>(std::min(needed, 4294967295.0));
}

ConverterOutputStatus SimConverter::convert(PCMBuffer& output, std::optional<Error>& error,
                                            const ConverterInputBlock& input) {
  if (script_ && script_->takeFailure(error)) return ConverterOutputStatus::error;
  if (output.format() != to_) {
    error = conversionError("output buffer is not in the converter's output format");
    return ConverterOutputStatus::error;
  }
  const std::uint32_t capacity = output.frameCapacity();
  std::uint32_t made = 0;
  ConverterOutputStatus status = ConverterOutputStatus::haveData;
  while (true) {
    made += produce(output, made, capacity - made);
    dropConsumed();
    if (made == capacity) break;
    if (ended_) {
      // Everything flushed; the program makes a new converter for whatever comes after.
      status = ConverterOutputStatus::endOfStream;
      break;
    }
    ConverterInputStatus inputStatus = ConverterInputStatus::noDataNow;
    const std::shared_ptr<const PCMBuffer> given =
        input ? input(inputFramesWanted(capacity - made), inputStatus) : nullptr;
    if (inputStatus == ConverterInputStatus::endOfStream) {
      ended_ = true;
      continue;
    }
    if (inputStatus != ConverterInputStatus::haveData || !given || given->frameLength() == 0) {
      status = made > 0 ? ConverterOutputStatus::haveData : ConverterOutputStatus::inputRanDry;
      break;
    }
    if (auto failure = take(*given)) {
      output.setFrameLength(made);
      error = std::move(failure);
      return ConverterOutputStatus::error;
    }
  }
  output.setFrameLength(made);
  return status;
}

}  // namespace platform::sim
