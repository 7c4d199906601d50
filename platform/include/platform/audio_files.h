#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/error.h"
#include "platform/pcm_buffer.h"

namespace platform {

// Encoder settings: the keys are the platform's setting names.
using AudioSettingValue = std::variant<std::uint32_t, std::int64_t, double>;
using AudioSettings = std::map<std::string, AudioSettingValue>;
inline const std::string AVFormatIDKey = "AVFormatIDKey";
inline const std::string AVSampleRateKey = "AVSampleRateKey";
inline const std::string AVNumberOfChannelsKey = "AVNumberOfChannelsKey";
inline const std::string AVEncoderBitRateKey = "AVEncoderBitRateKey";

// An audio file open for writing. `close` completes the container so that it is playable and
// says whether that worked; the process may end without unwinding, so completing a file is
// never left to the destructor, which only does it as a last resort for a file not closed.
class AudioFileForWriting {
 public:
  virtual ~AudioFileForWriting() = default;
  // 32-bit float, non-interleaved, at the file's rate and channel count.
  virtual const AudioFormat& processingFormat() const = 0;
  // Appends `frameLength` frames of a buffer in the processing format. A failure of the
  // storage underneath is reported by the write during which it happened.
  virtual MaybeError write(const PCMBuffer& buffer) = 0;
  // Writes what is still queued and completes the file. Only the first call does anything;
  // writes after it fail.
  virtual MaybeError close() = 0;
};

class AudioFileForReading {
 public:
  virtual ~AudioFileForReading() = default;
  // 32-bit float, non-interleaved, at the file's own rate and channel count.
  virtual const AudioFormat& processingFormat() const = 0;
  // Fills up to the buffer's capacity; a frame length of 0 afterwards means end of file.
  virtual MaybeError read(PCMBuffer& buffer) = 0;
};

enum class ConverterInputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

// Called by a converter whenever it wants input: sets the status and returns the buffer it
// hands over (none with noDataNow or endOfStream).
using ConverterInputBlock = std::function<std::shared_ptr<const PCMBuffer>(
    std::uint32_t packetCount, ConverterInputStatus& status)>;

// Pull-model sample converter; keeps its state (resampler history, samples not yet emitted)
// from one conversion to the next until the input reports end of stream.
class AudioConverter {
 public:
  virtual ~AudioConverter() = default;
  // Fills `output` (setting its frame length) from what the input block hands over. With status
  // error, `error` may or may not be set.
  virtual ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>& error,
                                        const ConverterInputBlock& input) = 0;
};

// Files, converters and buffers of the audio layer.
class AudioFiles {
 public:
  virtual ~AudioFiles() = default;
  // Creates or replaces the file at `path`; the container follows the extension.
  virtual Result<std::unique_ptr<AudioFileForWriting>> openForWriting(
      const std::string& path, const AudioSettings& settings) = 0;
  virtual Result<std::unique_ptr<AudioFileForReading>> openForReading(const std::string& path) = 0;
  // None when no conversion between the two formats is possible.
  virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                        const AudioFormat& to) = 0;
  // None when the buffer cannot be allocated.
  virtual PCMBufferPtr makePCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity) = 0;
};

}  // namespace platform
