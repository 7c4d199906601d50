#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/four_cc.h"

namespace platform {

// The 40-byte stream description the hardware layer reports formats in.
struct AudioStreamBasicDescription {
  double mSampleRate = 0;
  std::uint32_t mFormatID = 0;
  std::uint32_t mFormatFlags = 0;
  std::uint32_t mBytesPerPacket = 0;
  std::uint32_t mFramesPerPacket = 0;
  std::uint32_t mBytesPerFrame = 0;
  std::uint32_t mChannelsPerFrame = 0;
  std::uint32_t mBitsPerChannel = 0;
  std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

inline constexpr FourCharCode kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr FourCharCode kAudioFormatMPEG4AAC = fourCC("aac ");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

enum class CommonFormat {
  otherFormat = 0,
  pcmFloat32 = 1,
  pcmFloat64 = 2,
  pcmInt16 = 3,
  pcmInt32 = 4
};

// Sample rate, channel count, sample type, interleaving and channel layout; equality compares
// all five.
struct AudioFormat {
  double sampleRate = 0;
  std::uint32_t channelCount = 0;
  CommonFormat commonFormat = CommonFormat::pcmFloat32;
  bool interleaved = false;
  // 0 when the format carries no explicit layout.
  std::uint32_t channelLayoutTag = 0;

  bool operator==(const AudioFormat&) const = default;

  // None for zero channels or a negative or non-finite rate.
  static std::optional<AudioFormat> make(CommonFormat commonFormat, double sampleRate,
                                         std::uint32_t channels, bool interleaved);
  // None for descriptions that are not linear PCM of a common sample type.
  static std::optional<AudioFormat> fromStreamDescription(const AudioStreamBasicDescription& asbd);

  AudioStreamBasicDescription streamDescription() const;
  std::uint32_t bytesPerSample() const;
  // Bytes of one frame in one buffer: all channels when interleaved, one otherwise.
  std::uint32_t bytesPerFrame() const;
  std::uint32_t bufferCount() const { return interleaved ? 1 : channelCount; }
};

struct AudioBuffer {
  std::uint32_t mNumberChannels = 0;
  std::uint32_t mDataByteSize = 0;
  void* mData = nullptr;
};

// A view of an audio buffer list: `buffers.size()` is mNumberBuffers.
struct AudioBufferList {
  std::span<AudioBuffer> buffers;
};

struct ConstAudioBufferList {
  std::span<const AudioBuffer> buffers;
};

}  // namespace platform
