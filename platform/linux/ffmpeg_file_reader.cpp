#include "linux/ffmpeg_file_reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <string_view>
#include <vector>

#include "linux/ffmpeg_support.h"

namespace platform::linux_backend {

struct FfmpegFileReader::Decoder {
  AVFormatContext* container = nullptr;
  AVCodecContext* codec = nullptr;
  SwrContext* resampler = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int streamIndex = -1;
  bool finished = false;
  // Frames still to deliver when the container knows the exact length (MPEG-4 edit lists trim
  // the encoder's final padding, which the decoder still outputs); negative when it does not.
  std::int64_t remaining = -1;
  // Conversion scratch, grown to the largest frame seen and reused.
  std::vector<std::vector<float>> scratch;
  std::vector<std::uint8_t*> scratchPlanes;
  std::vector<void*> readPlanes;

  ~Decoder() {
    av_frame_free(&frame);
    av_packet_free(&packet);
    if (fifo) av_audio_fifo_free(fifo);
    swr_free(&resampler);
    avcodec_free_context(&codec);
    avformat_close_input(&container);
  }

  // Converts one decoded frame into the queue of float planar samples.
  int queueFrame() {
    const int capacity = swr_get_out_samples(resampler, frame->nb_samples);
    if (capacity < 0) return capacity;
    scratch.resize(static_cast<std::size_t>(codec->ch_layout.nb_channels));
    scratchPlanes.clear();
    for (auto& plane : scratch) {
      if (plane.size() < static_cast<std::size_t>(capacity)) plane.resize(capacity);
      scratchPlanes.push_back(reinterpret_cast<std::uint8_t*>(plane.data()));
    }
    int got =
        swr_convert(resampler, scratchPlanes.data(), capacity,
                    const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
    if (got < 0) return got;
    if (remaining >= 0) {
      got = static_cast<int>(std::min<std::int64_t>(got, remaining));
      remaining -= got;
    }
    return av_audio_fifo_write(fifo, reinterpret_cast<void**>(scratchPlanes.data()), got);
  }

  // Decodes until at least `wanted` frames are queued or the file ends.
  int fill(int wanted) {
    while (!finished && av_audio_fifo_size(fifo) < wanted) {
      int status = avcodec_receive_frame(codec, frame);
      if (status == 0) {
        if ((status = queueFrame()) < 0) return status;
        continue;
      }
      if (status == AVERROR_EOF) {
        finished = true;
        break;
      }
      if (status != AVERROR(EAGAIN)) return status;
      status = av_read_frame(container, packet);
      if (status == AVERROR_EOF) {
        avcodec_send_packet(codec, nullptr);
        continue;
      }
      if (status < 0) return status;
      if (packet->stream_index == streamIndex) status = avcodec_send_packet(codec, packet);
      av_packet_unref(packet);
      if (status < 0 && status != AVERROR(EAGAIN)) return status;
    }
    return 0;
  }
};

Result<std::unique_ptr<AudioFileForReading>> FfmpegFileReader::open(const std::string& path) {
  auto decoder = std::make_unique<Decoder>();
  const auto failed = [&path](int code) {
    return Error{"zuno-recorder.ffmpeg", code,
                 "cannot open " + path + " for reading: " + ffmpegErrorText(code)};
  };
  int status = avformat_open_input(&decoder->container, path.c_str(), nullptr, nullptr);
  if (status < 0) return failed(status);
  if ((status = avformat_find_stream_info(decoder->container, nullptr)) < 0) return failed(status);
  const AVCodec* codec = nullptr;
  status = av_find_best_stream(decoder->container, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (status < 0) return failed(status);
  decoder->streamIndex = status;
  AVStream* stream = decoder->container->streams[status];
  decoder->codec = avcodec_alloc_context3(codec);
  if (!decoder->codec) return failed(AVERROR(ENOMEM));
  if ((status = avcodec_parameters_to_context(decoder->codec, stream->codecpar)) < 0 ||
      (status = avcodec_open2(decoder->codec, codec, nullptr)) < 0) {
    return failed(status);
  }
  const int rate = decoder->codec->sample_rate;
  status =
      swr_alloc_set_opts2(&decoder->resampler, &decoder->codec->ch_layout, AV_SAMPLE_FMT_FLTP, rate,
                          &decoder->codec->ch_layout, decoder->codec->sample_fmt, rate, 0, nullptr);
  if (status < 0 || (status = swr_init(decoder->resampler)) < 0) return failed(status);
  const int channels = decoder->codec->ch_layout.nb_channels;
  decoder->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, 8192);
  decoder->packet = av_packet_alloc();
  decoder->frame = av_frame_alloc();
  if (!decoder->fifo || !decoder->packet || !decoder->frame) return failed(AVERROR(ENOMEM));

  // Only the MPEG-4 demuxer's length is exact (from the edit list); elsewhere it may be an
  // estimate from the bit rate, and trimming to it could drop real audio.
  if (stream->duration > 0 &&
      std::string_view(decoder->container->iformat->name).find("mp4") != std::string_view::npos) {
    decoder->remaining = av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate});
  }
  auto format = AudioFormat::make(CommonFormat::pcmFloat32, rate,
                                  static_cast<std::uint32_t>(channels), false);
  if (!format) return failed(AVERROR_INVALIDDATA);
  return std::unique_ptr<AudioFileForReading>(new FfmpegFileReader(*format, std::move(decoder)));
}

FfmpegFileReader::FfmpegFileReader(AudioFormat format, std::unique_ptr<Decoder> decoder)
    : processingFormat_(format), decoder_(std::move(decoder)) {}

FfmpegFileReader::~FfmpegFileReader() = default;

MaybeError FfmpegFileReader::read(PCMBuffer& buffer) {
  if (!(buffer.format() == processingFormat_)) {
    return Error{"zuno-recorder.ffmpeg", AVERROR(EINVAL), "buffer is not in the file's format"};
  }
  const int wanted = static_cast<int>(buffer.frameCapacity());
  if (const int status = decoder_->fill(wanted); status < 0) {
    return ffmpegError("cannot decode audio", status);
  }
  const auto channels = buffer.floatChannelData();
  decoder_->readPlanes.assign(channels.begin(), channels.end());
  const int got = av_audio_fifo_read(decoder_->fifo, decoder_->readPlanes.data(), wanted);
  buffer.setFrameLength(static_cast<std::uint32_t>(std::max(got, 0)));
  return std::nullopt;
}

}  // namespace platform::linux_backend
