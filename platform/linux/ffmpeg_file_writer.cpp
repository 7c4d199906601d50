#include "linux/ffmpeg_file_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <array>

#include "linux/ffmpeg_support.h"
#include "linux/mp4_track_file.h"

namespace platform::linux_backend {

struct FfmpegFileWriter::Encoder {
  std::unique_ptr<Mp4TrackFile> file;
  AVCodecContext* codec = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  std::int64_t nextPts = 0;

  ~Encoder() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    if (fifo) av_audio_fifo_free(fifo);
    avcodec_free_context(&codec);
  }

  // Sends one frame (or, with none, the end of the stream) and stores every packet it yields.
  int encode(AVFrame* input) {
    int status = avcodec_send_frame(codec, input);
    if (status < 0) return status;
    while ((status = avcodec_receive_packet(codec, packet)) >= 0) {
      status = file->addFrame({packet->data, static_cast<std::size_t>(packet->size)});
      av_packet_unref(packet);
      if (status < 0) return status;
    }
    return status == AVERROR(EAGAIN) || status == AVERROR_EOF ? 0 : status;
  }

  int encodeFromFifo(int frames) {
    int status = av_frame_make_writable(frame);
    if (status < 0) return status;
    frame->nb_samples = av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), frames);
    frame->pts = nextPts;
    nextPts += frame->nb_samples;
    return encode(frame);
  }
};

Result<std::unique_ptr<AudioFileForWriting>> FfmpegFileWriter::open(const std::string& path,
                                                                    double sampleRate, int channels,
                                                                    long bitRate) {
  auto encoder = std::make_unique<Encoder>();
  const auto failed = [&path](const char* step, int code) {
    return ffmpegError("cannot open " + path + " for writing (" + step + ")", code);
  };
  if (channels < 1 || channels > kMaxChannels) return failed("channel count", AVERROR(EINVAL));
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!aac) return failed("no AAC encoder", AVERROR_ENCODER_NOT_FOUND);
  encoder->codec = avcodec_alloc_context3(aac);
  if (!encoder->codec) return failed("allocation", AVERROR(ENOMEM));

  const int rate = static_cast<int>(sampleRate);
  encoder->codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder->codec->sample_rate = rate;
  av_channel_layout_default(&encoder->codec->ch_layout, channels);
  encoder->codec->bit_rate = bitRate;
  encoder->codec->profile = FF_PROFILE_AAC_LOW;
  encoder->codec->time_base = AVRational{1, rate};
  // The decoder configuration goes into the file's sample description, not into every frame.
  encoder->codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int status = avcodec_open2(encoder->codec, aac, nullptr);
  if (status < 0) return failed("encoder", status);

  mp4::AudioTrack track;
  track.sampleRate = static_cast<std::uint32_t>(rate);
  track.channels = static_cast<std::uint16_t>(channels);
  track.decoderConfig.assign(encoder->codec->extradata,
                             encoder->codec->extradata + encoder->codec->extradata_size);
  track.bitRate = static_cast<std::uint32_t>(bitRate);
  track.frameDuration = static_cast<std::uint32_t>(encoder->codec->frame_size);
  track.priming = static_cast<std::uint32_t>(encoder->codec->initial_padding);

  auto storage = TrackFileStorage::open(path);
  if (!storage) return storage.error();
  encoder->file = std::make_unique<Mp4TrackFile>(std::move(storage.value()), std::move(track));
  if ((status = encoder->file->start()) < 0) return failed("header", status);

  encoder->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, 8192);
  encoder->frame = av_frame_alloc();
  encoder->packet = av_packet_alloc();
  if (!encoder->fifo || !encoder->frame || !encoder->packet) {
    return failed("allocation", AVERROR(ENOMEM));
  }
  encoder->frame->format = AV_SAMPLE_FMT_FLTP;
  encoder->frame->sample_rate = rate;
  av_channel_layout_copy(&encoder->frame->ch_layout, &encoder->codec->ch_layout);
  encoder->frame->nb_samples = encoder->codec->frame_size;
  if ((status = av_frame_get_buffer(encoder->frame, 0)) < 0) return failed("frame", status);

  const AudioFormat processing = *AudioFormat::make(CommonFormat::pcmFloat32, sampleRate,
                                                    static_cast<std::uint32_t>(channels), false);
  return std::unique_ptr<AudioFileForWriting>(
      new FfmpegFileWriter(path, processing, std::move(encoder)));
}

FfmpegFileWriter::FfmpegFileWriter(std::string path, AudioFormat processingFormat,
                                   std::unique_ptr<Encoder> encoder)
    : path_(std::move(path)), processingFormat_(processingFormat), encoder_(std::move(encoder)) {}

FfmpegFileWriter::~FfmpegFileWriter() {
  // The last resort for a file nobody closed: still better playable than not.
  close();
}

MaybeError FfmpegFileWriter::close() {
  // Completing the file is the whole point of closing: encode what is still queued (the last
  // frame may be short), drain the encoder and write the index.
  if (!encoder_) return std::nullopt;
  const std::unique_ptr<Encoder> encoder = std::move(encoder_);
  if (failure_ < 0) {
    // The file has a gap, so there is nothing to complete; it stays playable up to the gap.
    encoder->file->abandon();
    return ffmpegError("cannot complete " + path_, failure_);
  }
  // A container without packets would have no track at all; a single silent sample keeps a
  // recording that got no audio a valid, empty-sounding AAC file.
  if (encoder->nextPts == 0 && av_audio_fifo_size(encoder->fifo) == 0) {
    float silence = 0;
    std::array<void*, kMaxChannels> planes{};
    planes.fill(&silence);
    av_audio_fifo_write(encoder->fifo, planes.data(), 1);
  }
  int status = 0;
  const int remaining = av_audio_fifo_size(encoder->fifo);
  if (remaining > 0) status = encoder->encodeFromFifo(remaining);
  if (status >= 0) status = encoder->encode(nullptr);
  // Closed whatever happened above, so that the lock never outlives the call.
  if (status >= 0) {
    status = encoder->file->finish(static_cast<std::uint64_t>(encoder->nextPts));
  } else {
    encoder->file->abandon();
  }
  if (status < 0) return ffmpegError("cannot complete " + path_, status);
  return std::nullopt;
}

MaybeError FfmpegFileWriter::write(const PCMBuffer& buffer) {
  if (!encoder_) return Error{"zuno-recorder.ffmpeg", AVERROR(EINVAL), path_ + " is closed"};
  // The file has a gap from the failed write on; nothing written after it could be played.
  if (failure_ < 0) return ffmpegError("cannot write " + path_, failure_);
  if (!(buffer.format() == processingFormat_)) {
    return Error{"zuno-recorder.ffmpeg", AVERROR(EINVAL),
                 "buffer is not in the processing format of " + path_};
  }
  if (buffer.frameLength() == 0) return std::nullopt;
  // The queue takes plane pointers without const; it only reads them.
  std::array<void*, kMaxChannels> planes{};
  const auto channels = buffer.floatChannelData();
  std::copy(channels.begin(), channels.end(), planes.begin());
  if (av_audio_fifo_write(encoder_->fifo, planes.data(), static_cast<int>(buffer.frameLength())) <
      0) {
    return Error{"zuno-recorder.ffmpeg", AVERROR(ENOMEM), "cannot queue audio for " + path_};
  }
  const int frameSize = encoder_->codec->frame_size;
  int status = 0;
  while (status >= 0 && av_audio_fifo_size(encoder_->fifo) >= frameSize) {
    status = encoder_->encodeFromFifo(frameSize);
  }
  if (status < 0) {
    failure_ = status;
    return ffmpegError("cannot write " + path_, status);
  }
  return std::nullopt;
}

}  // namespace platform::linux_backend
