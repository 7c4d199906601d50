#include "linux/ffmpeg_converter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <cmath>

#include "linux/ffmpeg_support.h"

namespace platform::linux_backend {
namespace {

// The resampler's own channel limit.
constexpr std::uint32_t kMaxChannels = 64;

// A resampler from `from` to `to`, none when the pair cannot be converted.
SwrContext* newContext(const AudioFormat& from, const AudioFormat& to) {
  const AVSampleFormat inFormat = sampleFormatOf(from);
  const AVSampleFormat outFormat = sampleFormatOf(to);
  if (inFormat == AV_SAMPLE_FMT_NONE || outFormat == AV_SAMPLE_FMT_NONE || from.sampleRate < 1 ||
      to.sampleRate < 1 || from.channelCount > kMaxChannels || to.channelCount > kMaxChannels) {
    return nullptr;
  }
  AVChannelLayout inLayout;
  AVChannelLayout outLayout;
  av_channel_layout_default(&inLayout, static_cast<int>(from.channelCount));
  av_channel_layout_default(&outLayout, static_cast<int>(to.channelCount));
  SwrContext* context = nullptr;
  int status =
      swr_alloc_set_opts2(&context, &outLayout, outFormat, static_cast<int>(to.sampleRate),
                          &inLayout, inFormat, static_cast<int>(from.sampleRate), 0, nullptr);
  if (status >= 0 && to.channelCount == 1 && from.channelCount > 1) {
    // Mono is the average of all channels: sound in one channel only stays audible, and the
    // same sound in every channel keeps its level. The library's own matrix for float adds
    // the channels at -3 dB each, which lifts centred stereo above full scale.
    const std::vector<double> average(from.channelCount, 1.0 / from.channelCount);
    status = swr_set_matrix(context, average.data(), 1);
  }
  if (status >= 0) status = swr_init(context);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  if (status < 0) swr_free(&context);
  return context;
}

}  // namespace

std::unique_ptr<AudioConverter> FfmpegConverter::make(const AudioFormat& from,
                                                      const AudioFormat& to) {
  SwrContext* context = newContext(from, to);
  if (!context) return nullptr;
  return std::unique_ptr<AudioConverter>(new FfmpegConverter(from, to, context));
}

FfmpegConverter::FfmpegConverter(const AudioFormat& from, const AudioFormat& to,
                                 SwrContext* context)
    : from_(from),
      to_(to),
      context_(context),
      inputPlanes_(from.bufferCount()),
      outputPlanes_(to.bufferCount()),
      noInput_(from.bufferCount()) {}

FfmpegConverter::~FfmpegConverter() {
  swr_free(&context_);
}

bool FfmpegConverter::convertInto(PCMBuffer& output, std::uint32_t& produced,
                                  const std::uint8_t* const* planes, int frames,
                                  std::optional<Error>& error) {
  const auto buffers = output.mutableAudioBufferList().buffers;
  const std::size_t offset = std::size_t{produced} * to_.bytesPerFrame();
  for (std::size_t i = 0; i < outputPlanes_.size(); ++i) {
    outputPlanes_[i] = static_cast<std::uint8_t*>(buffers[i].mData) + offset;
  }
  const int got = swr_convert(context_, outputPlanes_.data(),
                              static_cast<int>(output.frameCapacity() - produced),
                              const_cast<const std::uint8_t**>(planes), frames);
  if (got < 0) {
    error = ffmpegError("sample conversion failed", got);
    return false;
  }
  produced += static_cast<std::uint32_t>(got);
  return true;
}

ConverterOutputStatus FfmpegConverter::convert(PCMBuffer& output, std::optional<Error>& error,
                                               const ConverterInputBlock& input) {
  if (!(output.format() == to_)) {
    error = Error{"zuno-recorder.ffmpeg", AVERROR(EINVAL),
                  "sample conversion failed: output buffer in the wrong format"};
    return ConverterOutputStatus::error;
  }
  const std::uint32_t capacity = output.frameCapacity();
  std::uint32_t produced = 0;

  // What the last call could not fit goes out first.
  if (!convertInto(output, produced, noInput_.data(), 0, error)) {
    return ConverterOutputStatus::error;
  }

  while (!draining_ && produced < capacity) {
    // The input block counts source frames: ask for what fills the rest of the output.
    const auto wanted = static_cast<std::uint32_t>(
        std::ceil((capacity - produced) * from_.sampleRate / to_.sampleRate));
    ConverterInputStatus status = ConverterInputStatus::noDataNow;
    const auto buffer = input(wanted, status);
    if (status == ConverterInputStatus::endOfStream) {
      draining_ = true;
      break;
    }
    if (status != ConverterInputStatus::haveData || !buffer) break;
    if (!(buffer->format() == from_)) {
      error = Error{"zuno-recorder.ffmpeg", AVERROR(EINVAL),
                    "sample conversion failed: input buffer in the wrong format"};
      return ConverterOutputStatus::error;
    }
    const auto planes = buffer->audioBufferList().buffers;
    for (std::size_t i = 0; i < inputPlanes_.size(); ++i) {
      inputPlanes_[i] = static_cast<const std::uint8_t*>(planes[i].mData);
    }
    if (!convertInto(output, produced, inputPlanes_.data(), static_cast<int>(buffer->frameLength()),
                     error)) {
      return ConverterOutputStatus::error;
    }
  }
  // The resampler's look-ahead and whatever it still holds come out over as many calls as the
  // output needs; the input is not asked again meanwhile. An output it does not fill is the
  // sign that nothing is left.
  bool drained = false;
  if (draining_ && produced < capacity) {
    if (!convertInto(output, produced, nullptr, 0, error)) return ConverterOutputStatus::error;
    drained = produced < capacity;
  }
  output.setFrameLength(produced);
  if (drained) {
    // Whatever comes next is a new stream, not a continuation of the one that ended.
    if (SwrContext* fresh = newContext(from_, to_)) {
      swr_free(&context_);
      context_ = fresh;
    }
    draining_ = false;
    return ConverterOutputStatus::endOfStream;
  }
  return produced > 0 ? ConverterOutputStatus::haveData : ConverterOutputStatus::inputRanDry;
}

}  // namespace platform::linux_backend
