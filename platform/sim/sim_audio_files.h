#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_files.h"
#include "sim/sim_converter.h"

namespace platform::sim {

// What the program wrote to one opened file. `completed` turns true only when the program closes
// the file successfully: the shipped process ends without running destructors, so a file that
// was merely dropped here counts as one the real program would have left unfinished.
struct SimWrittenFile {
  std::string path;
  AudioSettings settings;
  AudioFormat processingFormat;
  std::vector<std::vector<float>> samples;      // one vector per channel
  int writeCalls = 0;                           // every call, failed ones included
  std::vector<std::uint32_t> writeFrameCounts;  // frame length of each accepted write
  bool completed = false;
  int closeCalls = 0;
};

// Files, converters and buffers in memory, with scripted failures. Safe to use from several
// threads: capture threads write while a test inspects.
class SimAudioFiles : public AudioFiles {
 public:
  SimAudioFiles();
  SimAudioFiles(const SimAudioFiles&) = delete;
  SimAudioFiles& operator=(const SimAudioFiles&) = delete;

  Result<std::unique_ptr<AudioFileForWriting>> openForWriting(
      const std::string& path, const AudioSettings& settings) override;
  Result<std::unique_ptr<AudioFileForReading>> openForReading(const std::string& path) override;
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;
  PCMBufferPtr makePCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity) override;

  // --- written files
  // A copy of the latest record for `path` as it is now; none if it was never opened.
  std::shared_ptr<const SimWrittenFile> writtenFile(const std::string& path) const;
  // Successful opens for writing of `path`.
  int opensOf(const std::string& path) const;
  // Opening `path` for writing fails with `error`.
  void failOpen(const std::string& path, Error error);
  // Write calls are counted per path over every open of it, starting at 1.
  void failWriteCall(const std::string& path, int n, Error error);
  void failWritesFrom(const std::string& path, int n, Error error);
  // Closing `path` fails with `error`; the file stays incomplete.
  void failClose(const std::string& path, Error error);

  // --- files to read: float samples per channel at the format's rate and channel count
  void addReadableFile(const std::string& path, const AudioFormat& format,
                       std::vector<std::vector<float>> samples);

  // --- converters
  void failConverterCreation(bool fail);
  // The next convert() of any converter reports an error, carrying `error` if one is given.
  void failNextConversion(std::optional<Error> error);
  int convertersCreated() const;

  // --- buffers
  void failAllBufferAllocations(bool fail);
  int buffersAllocated() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<SimConversionScript> conversionScript_;
};

}  // namespace platform::sim
