#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/described_error.h"
#include "platform/audio_files.h"

namespace zuno {

// One mono AAC track file fed with PCM buffers of any format. Not thread-safe: callers serialise
// every write. The file is complete once `close` has run: the process ends with `_exit`, so no
// destructor would complete it, and the sim counts a file nobody closed as incomplete.
class TrackWriter {
 public:
  class WriterError final : public DescribedError {
   public:
    enum class Kind { conversionFailed, converterUnavailable, bufferAllocFailed };
    static WriterError conversionFailed(std::string text) {
      return WriterError(Kind::conversionFailed, std::move(text));
    }
    static WriterError converterUnavailable() {
      return WriterError(Kind::converterUnavailable, {});
    }
    static WriterError bufferAllocFailed() { return WriterError(Kind::bufferAllocFailed, {}); }

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    // The error has no text of its own, so users see the generic wording given to such errors.
    std::string description() const override;
    // Names the case and, for a failed conversion, the converter's words.
    std::string debugDescription() const override;

   private:
    WriterError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
  };

  // Throws PlatformFailure when the file cannot be opened for writing with `settings`.
  static std::shared_ptr<TrackWriter> create(platform::AudioFiles& files, const std::string& path,
                                             const platform::AudioSettings& settings);

  // Throws WriterError or PlatformFailure (the file's own write error).
  void write(const platform::PCMBuffer& buffer);

  // Writes what the converter still holds and completes the file. The process ends without
  // unwinding, so every stop path calls this rather than relying on the last reference going.
  // Only the first call does anything. Throws PlatformFailure when the file cannot be completed
  // (then the track is damaged), or the converter's WriterError after still completing it.
  void close();

  // Frames needed to hold `frames` source frames at `sourceRate` after conversion to
  // `processingRate`, with headroom for what the resampler still holds.
  static std::uint32_t outputCapacity(double processingRate, double sourceRate,
                                      std::uint32_t frames);

  const platform::AudioFormat& processingFormat() const { return file_->processingFormat(); }

  TrackWriter(platform::AudioFiles& files, std::unique_ptr<platform::AudioFileForWriting> file);

 private:
  // Converts `source` (none: the end of the stream, which drains the converter) and writes the
  // result.
  void convertAndWrite(const platform::PCMBuffer* source);

  platform::AudioFiles& files_;
  std::unique_ptr<platform::AudioFileForWriting> file_;
  std::unique_ptr<platform::AudioConverter> converter_;
  std::optional<platform::AudioFormat> converterSource_;
  bool closed_ = false;
};

// Encoder settings shared by both tracks: mono AAC at the source's rate, 40 kbit/s.
platform::AudioSettings aacSettings(double sampleRate);

// Why a track could not be written or completed, in both wordings the reports need: event
// messages take the description, standard-error lines the debug one.
struct TrackFailure {
  std::string description;
  std::string debugDescription;
};

}  // namespace zuno
