#include "linux/ffmpeg_converter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <vector>

#include "linux/ffmpeg_support.h"

namespace platform::linux_backend {
namespace {

std::vector<std::uint8_t*> planesOf(AudioBufferList list, std::size_t offsetBytes) {
  std::vector<std::uint8_t*> planes;
  for (auto& buffer : list.buffers)
    planes.push_back(static_cast<std::uint8_t*>(buffer.mData) + offsetBytes);
  return planes;
}

}  // namespace

std::unique_ptr<AudioConverter> FfmpegConverter::make(const AudioFormat& from,
                                                      const AudioFormat& to) {
  const AVSampleFormat inFormat = sampleFormatOf(from);
  const AVSampleFormat outFormat = sampleFormatOf(to);
  if (inFormat == AV_SAMPLE_FMT_NONE || outFormat == AV_SAMPLE_FMT_NONE || from.sampleRate < 1 ||
      to.sampleRate < 1) {
    return nullptr;
  }
  AVChannelLayout inLayout;
  AVChannelLayout outLayout;
  av_channel_layout_default(&inLayout, static_cast<int>(from.channelCount));
  av_channel_layout_default(&outLayout, static_cast<int>(to.channelCount));
  SwrContext* context = nullptr;
  // Mixing down (stereo to mono, say) uses the library's default matrix, which keeps every
  // channel audible: sound in one channel only is not lost.
  int status =
      swr_alloc_set_opts2(&context, &outLayout, outFormat, static_cast<int>(to.sampleRate),
                          &inLayout, inFormat, static_cast<int>(from.sampleRate), 0, nullptr);
  if (status >= 0) status = swr_init(context);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  if (status < 0) {
    swr_free(&context);
    return nullptr;
  }
  return std::unique_ptr<AudioConverter>(new FfmpegConverter(from, to, context));
}

FfmpegConverter::~FfmpegConverter() {
  swr_free(&context_);
}

ConverterOutputStatus FfmpegConverter::convert(PCMBuffer& output, std::optional<Error>& error,
                                               const ConverterInputBlock& input) {
  const std::uint32_t capacity = output.frameCapacity();
  const std::size_t outFrameBytes = to_.bytesPerFrame();
  std::uint32_t produced = 0;
  const auto emit = [&](const std::uint8_t* const* in, int inFrames) -> bool {
    auto planes = planesOf(output.mutableAudioBufferList(), std::size_t{produced} * outFrameBytes);
    const int got = swr_convert(context_, planes.data(), static_cast<int>(capacity - produced),
                                const_cast<const std::uint8_t**>(in), inFrames);
    if (got < 0) {
      error = ffmpegError("sample conversion failed", got);
      return false;
    }
    produced += static_cast<std::uint32_t>(got);
    return true;
  };

  // What the last call could not fit goes out first.
  static const std::uint8_t* const kNoInput[8] = {};
  if (!emit(kNoInput, 0)) return ConverterOutputStatus::error;

  bool ended = false;
  while (produced < capacity) {
    ConverterInputStatus status = ConverterInputStatus::noDataNow;
    auto buffer = input(capacity - produced, status);
    if (status == ConverterInputStatus::endOfStream) {
      if (!emit(nullptr, 0)) return ConverterOutputStatus::error;
      ended = true;
      break;
    }
    if (status != ConverterInputStatus::haveData || !buffer) break;
    std::vector<const std::uint8_t*> planes;
    for (const auto& plane : buffer->audioBufferList().buffers) {
      planes.push_back(static_cast<const std::uint8_t*>(plane.mData));
    }
    if (!emit(planes.data(), static_cast<int>(buffer->frameLength()))) {
      return ConverterOutputStatus::error;
    }
  }
  output.setFrameLength(produced);
  if (ended) return ConverterOutputStatus::endOfStream;
  return produced > 0 ? ConverterOutputStatus::haveData : ConverterOutputStatus::inputRanDry;
}

}  // namespace platform::linux_backend
