#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace platform::linux_backend::mp4 {

// What the boxes of one MPEG-4 audio track say about its stream.
struct AudioTrack {
  std::uint32_t sampleRate = 0;
  std::uint16_t channels = 0;
  // The encoder's AudioSpecificConfig.
  std::vector<std::uint8_t> decoderConfig;
  std::uint32_t bitRate = 0;
  // Samples per encoded frame.
  std::uint32_t frameDuration = 1024;
  // Samples the encoder puts before the first real one; the edit list hides them.
  std::uint32_t priming = 0;
};

// Where the encoded frames of a finished track lie: each chunk is a run of frames stored back
// to back from `offset` on.
struct SampleTable {
  struct Chunk {
    std::uint64_t offset;
    std::uint32_t frames;
  };
  std::vector<std::uint32_t> frameSizes;
  std::vector<Chunk> chunks;
  // Real samples, without priming and the padding of the last frame.
  std::uint64_t playedSamples = 0;
};

// The start of a track file: the file type, 16 bytes of `free` that later become the header of
// the one media-data box, and the movie box of a fragmented track (no samples of its own; they
// come in the fragments that follow).
std::vector<std::uint8_t> fragmentedFileStart(const AudioTrack& track);
// Where in `fragmentedFileStart` the 16 reserved bytes begin.
std::size_t reservedHeaderOffset();

// One movie fragment (`moof` and its `mdat`) holding frames of `frameSizes` bytes each, whose
// bytes are `data`. It replaces what `into` held but keeps its room, so a writer that hands
// back the same buffer for every fragment allocates nothing on its audio thread.
void fragment(std::vector<std::uint8_t>& into, std::uint32_t sequence,
              std::uint64_t firstSampleTime, std::uint32_t frameDuration,
              std::span<const std::uint32_t> frameSizes, std::span<const std::uint8_t> data);
// Offset of a fragment's box type within what `fragment` writes.
constexpr std::size_t kFragmentTypeOffset = 4;

// The movie box of an ordinary, unfragmented track with every frame in `table`.
std::vector<std::uint8_t> movie(const AudioTrack& track, const SampleTable& table);

// The 16 reserved bytes turned into the header of a media-data box that runs from where they
// begin to `end`: a `free` box followed by a 32-bit `mdat` header when the size fits, else one
// 64-bit `mdat` header.
std::vector<std::uint8_t> mediaDataHeader(std::uint64_t headerOffset, std::uint64_t end);

}  // namespace platform::linux_backend::mp4
