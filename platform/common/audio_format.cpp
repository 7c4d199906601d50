#include "platform/audio_format.h"

#include <cmath>

namespace platform {

std::optional<AudioFormat> AudioFormat::make(CommonFormat commonFormat, double sampleRate,
                                             std::uint32_t channels, bool interleaved) {
  if (channels == 0 || !std::isfinite(sampleRate) || sampleRate < 0 ||
      commonFormat == CommonFormat::otherFormat) {
    return std::nullopt;
  }
  return AudioFormat{sampleRate, channels, commonFormat, interleaved, 0};
}

std::uint32_t AudioFormat::bytesPerSample() const {
  switch (commonFormat) {
    case CommonFormat::pcmFloat32:
    case CommonFormat::pcmInt32:
      return 4;
    case CommonFormat::pcmFloat64:
      return 8;
    case CommonFormat::pcmInt16:
      return 2;
    case CommonFormat::otherFormat:
      break;
  }
  return 0;
}

std::uint32_t AudioFormat::bytesPerFrame() const {
  return interleaved ? bytesPerSample() * channelCount : bytesPerSample();
}

AudioStreamBasicDescription AudioFormat::streamDescription() const {
  AudioStreamBasicDescription asbd;
  asbd.mSampleRate = sampleRate;
  asbd.mFormatID = kAudioFormatLinearPCM;
  asbd.mFormatFlags = kAudioFormatFlagIsPacked;
  if (commonFormat == CommonFormat::pcmFloat32 || commonFormat == CommonFormat::pcmFloat64) {
    asbd.mFormatFlags |= kAudioFormatFlagIsFloat;
  } else {
    asbd.mFormatFlags |= kAudioFormatFlagIsSignedInteger;
  }
  if (!interleaved) asbd.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
  asbd.mBytesPerFrame = bytesPerFrame();
  asbd.mBytesPerPacket = asbd.mBytesPerFrame;
  asbd.mFramesPerPacket = 1;
  asbd.mChannelsPerFrame = channelCount;
  asbd.mBitsPerChannel = bytesPerSample() * 8;
  return asbd;
}

std::optional<AudioFormat> AudioFormat::fromStreamDescription(
    const AudioStreamBasicDescription& asbd) {
  if (asbd.mFormatID != kAudioFormatLinearPCM || asbd.mChannelsPerFrame == 0 ||
      (asbd.mFormatFlags & kAudioFormatFlagIsBigEndian) != 0 || asbd.mFramesPerPacket > 1) {
    return std::nullopt;
  }
  const bool isFloat = (asbd.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
  CommonFormat common = CommonFormat::otherFormat;
  if (isFloat && asbd.mBitsPerChannel == 32) common = CommonFormat::pcmFloat32;
  if (isFloat && asbd.mBitsPerChannel == 64) common = CommonFormat::pcmFloat64;
  if (!isFloat && asbd.mBitsPerChannel == 16) common = CommonFormat::pcmInt16;
  if (!isFloat && asbd.mBitsPerChannel == 32) common = CommonFormat::pcmInt32;
  const bool interleaved = (asbd.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
  auto format = make(common, asbd.mSampleRate, asbd.mChannelsPerFrame, interleaved);
  if (format && asbd.mBytesPerFrame != 0 && asbd.mBytesPerFrame != format->bytesPerFrame()) {
    return std::nullopt;
  }
  return format;
}

}  // namespace platform
