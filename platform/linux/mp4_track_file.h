#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "linux/mp4_boxes.h"
#include "linux/track_file_storage.h"

namespace platform::linux_backend {

// An MPEG-4 file with one audio track that a player opens at every moment while it is being
// written, and that is an ordinary file with one movie box once finished.
//
// While recording the file is fragmented: a movie box without samples, then a movie fragment
// about every half second. A fragment is appended with its box type set to `free` and only then
// renamed `moof` by a four-byte write, so a file cut short anywhere (a killed process, a copy
// taken meanwhile, a full disk) ends in whole fragments and, at most, some bytes a reader skips.
//
// Finishing does not rewrite the audio. It appends a movie box whose sample tables point at the
// frames where they already lie, and then turns 16 bytes reserved before the first movie box into
// the header of one media-data box that spans the old movie box and every fragment: to a reader
// they are now just bytes between the frames. Each step leaves a playable file.
class Mp4TrackFile {
 public:
  // Half a second of frames per fragment, so a killed recorder loses at most that much encoded
  // audio.
  static constexpr double kFragmentSeconds = 0.5;
  // Frames kept room for without reallocating while recording: four hours.
  static constexpr double kPlannedSeconds = 4 * 3600;

  Mp4TrackFile(std::unique_ptr<TrackFileStorage> storage, mp4::AudioTrack track);

  // The operations return 0 or a negative errno value; after a failure the file stays as it was
  // at the last whole fragment, and every later call fails with the same value.
  // Writes the start of the file.
  int start();
  // Adds one encoded frame; a fragment goes to the disk once it is full.
  int addFrame(std::span<const std::uint8_t> frame);
  // Writes what is pending, the index and the media-data header, syncs and closes. `played` is
  // the number of real samples, which the edit list keeps from the frames' samples.
  int finish(std::uint64_t played);
  // Closes without finishing: the file keeps its fragments up to the last whole one.
  int abandon();

 private:
  int writeFragment();

  std::unique_ptr<TrackFileStorage> storage_;
  mp4::AudioTrack track_;
  std::uint32_t framesPerFragment_;
  std::vector<std::uint8_t> pendingData_;
  std::vector<std::uint32_t> pendingSizes_;
  // Where each fragment is built, kept so that its room is allocated once.
  std::vector<std::uint8_t> fragmentBytes_;
  std::uint32_t fragments_ = 0;
  mp4::SampleTable table_;
};

}  // namespace platform::linux_backend
