#pragma once

extern "C" {
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
}

#include <string>

#include "platform/audio_format.h"
#include "platform/error.h"

namespace platform::linux_backend {

inline std::string ffmpegErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

inline Error ffmpegError(const std::string& what, int code) {
  return Error{"zuno-recorder.ffmpeg", code, what + ": " + ffmpegErrorText(code)};
}

// The sample format FFmpeg calls the same layout; AV_SAMPLE_FMT_NONE for none.
inline AVSampleFormat sampleFormatOf(const AudioFormat& format) {
  AVSampleFormat packed = AV_SAMPLE_FMT_NONE;
  switch (format.commonFormat) {
    case CommonFormat::pcmFloat32:
      packed = AV_SAMPLE_FMT_FLT;
      break;
    case CommonFormat::pcmFloat64:
      packed = AV_SAMPLE_FMT_DBL;
      break;
    case CommonFormat::pcmInt16:
      packed = AV_SAMPLE_FMT_S16;
      break;
    case CommonFormat::pcmInt32:
      packed = AV_SAMPLE_FMT_S32;
      break;
    case CommonFormat::otherFormat:
      return AV_SAMPLE_FMT_NONE;
  }
  return format.interleaved || format.channelCount == 1 ? packed : av_get_planar_sample_fmt(packed);
}

}  // namespace platform::linux_backend
