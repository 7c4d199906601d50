#include "linux/ffmpeg_audio_files.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <type_traits>

#include "linux/ffmpeg_converter.h"
#include "linux/ffmpeg_file_reader.h"
#include "linux/ffmpeg_file_writer.h"

namespace platform::linux_backend {
namespace {

template <typename T>
std::optional<T> setting(const AudioSettings& settings, const std::string& key) {
  auto found = settings.find(key);
  if (found == settings.end()) return std::nullopt;
  return std::visit(
      [](auto value) -> std::optional<T> {
        // A rate or count given as a double may be anything; converting an out-of-range double
        // to an integer is undefined, so such values count as absent.
        if constexpr (std::is_floating_point_v<decltype(value)> && std::is_integral_v<T>) {
          if (!(value >= 0 && value <= 1e9)) return std::nullopt;
        }
        return static_cast<T>(value);
      },
      found->second);
}

constexpr double kHighestRate = 768000;

Error unsupported(const std::string& path, const std::string& why) {
  return Error{"zuno-recorder.ffmpeg", AVERROR(EINVAL),
               "cannot open " + path + " for writing: " + why};
}

}  // namespace

FfmpegAudioFiles::FfmpegAudioFiles() {
  // The libraries' own log would land on standard error, which carries only the program's
  // diagnostic lines; failures reach the logic as errors instead.
  av_log_set_level(AV_LOG_QUIET);
}

Result<std::unique_ptr<AudioFileForWriting>> FfmpegAudioFiles::openForWriting(
    const std::string& path, const AudioSettings& settings) {
  const auto format = setting<std::uint32_t>(settings, AVFormatIDKey);
  const auto rate = setting<double>(settings, AVSampleRateKey);
  const auto channels = setting<std::int64_t>(settings, AVNumberOfChannelsKey);
  const auto bitRate = setting<std::int64_t>(settings, AVEncoderBitRateKey).value_or(64000);
  if (format != kAudioFormatMPEG4AAC) return unsupported(path, "only AAC can be written");
  // Written as a negation so that a NaN rate is refused too.
  if (!rate || !(*rate >= 1 && *rate <= kHighestRate)) {
    return unsupported(path, "no usable sample rate");
  }
  if (!channels || *channels < 1 || *channels > FfmpegFileWriter::kMaxChannels) {
    return unsupported(path, "no usable channel count");
  }
  return FfmpegFileWriter::open(path, *rate, static_cast<int>(*channels),
                                static_cast<long>(bitRate));
}

Result<std::unique_ptr<AudioFileForReading>> FfmpegAudioFiles::openForReading(
    const std::string& path) {
  return FfmpegFileReader::open(path);
}

std::unique_ptr<AudioConverter> FfmpegAudioFiles::makeConverter(const AudioFormat& from,
                                                                const AudioFormat& to) {
  return FfmpegConverter::make(from, to);
}

}  // namespace platform::linux_backend
