#include "sim/sim_converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::sim {
namespace {

bool convertible(const AudioFormat& format) {
  return format.channelCount != 0 && format.bytesPerSample() != 0 &&
         std::isfinite(format.sampleRate) && format.sampleRate > 0;
}

// Where sample (frame, channel) lives in a buffer list of `format`.
template <typename Byte>
Byte* sampleAddress(const AudioFormat& format, const AudioBuffer* buffers, std::uint32_t frame,
                    std::uint32_t channel) {
  const std::uint32_t size = format.bytesPerSample();
  if (format.interleaved) {
    return static_cast<Byte*>(buffers[0].mData) +
           (std::size_t{frame} * format.channelCount + channel) * size;
  }
  return static_cast<Byte*>(buffers[channel].mData) + std::size_t{frame} * size;
}

float readSample(const AudioFormat& format, const std::byte* at) {
  switch (format.commonFormat) {
    case CommonFormat::pcmFloat32: {
      float value;
      std::memcpy(&value, at, sizeof value);
      return value;
    }
    case CommonFormat::pcmFloat64: {
      double value;
      std::memcpy(&value, at, sizeof value);
      return static_cast<float>(value);
    }
    case CommonFormat::pcmInt16: {
      std::int16_t value;
      std::memcpy(&value, at, sizeof value);
      return static_cast<float>(value) / 32768.0f;
    }
    case CommonFormat::pcmInt32: {
      std::int32_t value;
      std::memcpy(&value, at, sizeof value);
      return static_cast<float>(static_cast<double>(value) / 2147483648.0);
    }
    case CommonFormat::otherFormat:
      break;
  }
  return 0;
}

void writeSample(const AudioFormat& format, std::byte* at, float value) {
  switch (format.commonFormat) {
    case CommonFormat::pcmFloat32:
      std::memcpy(at, &value, sizeof value);
      return;
    case CommonFormat::pcmFloat64: {
      const double wide = value;
      std::memcpy(at, &wide, sizeof wide);
      return;
    }
    case CommonFormat::pcmInt16: {
      const auto scaled =
          static_cast<std::int16_t>(std::lround(std::clamp(value * 32768.0f, -32768.0f, 32767.0f)));
      std::memcpy(at, &scaled, sizeof scaled);
      return;
    }
    case CommonFormat::pcmInt32: {
      const auto scaled = static_cast<std::int32_t>(std::llround(
          std::clamp(static_cast<double>(value) * 2147483648.0, -2147483648.0, 2147483647.0)));
      std::memcpy(at, &scaled, sizeof scaled);
      return;
    }
    case CommonFormat::otherFormat:
      return;
  }
}

Error conversionError(const std::string& text) {
  return Error{"SimAudioConverter", -50, text};
}

}  // namespace

bool SimConversionScript::takeFailure(std::optional<Error>& error) {
  std::lock_guard guard(mutex);
  if (!failNext) return false;
  failNext = false;
  error = std::move(nextError);
  nextError.reset();
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

void SimConverter::reset() {
  for (auto& channel : pending_) channel.clear();
  produced_ = 0;
  dropped_ = 0;
  ended_ = false;
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
      for (std::uint32_t c = 0; c < inChannels; ++c) {
        sum +=
            readSample(from_, sampleAddress<const std::byte>(from_, list.buffers.data(), frame, c));
      }
      pending_[0].push_back(sum / static_cast<float>(inChannels));
      continue;
    }
    for (std::uint32_t c = 0; c < outChannels; ++c) {
      const std::uint32_t source = c < inChannels ? c : c % inChannels;
      pending_[c].push_back(readSample(
          from_, sampleAddress<const std::byte>(from_, list.buffers.data(), frame, source)));
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
      const float value = static_cast<float>(left + (right - left) * fraction);
      writeSample(to_, sampleAddress<std::byte>(to_, list.buffers.data(), offset + made, c), value);
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
      // Everything flushed: the next conversion starts a new stream.
      reset();
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
