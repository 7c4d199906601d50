#include "linux/mp4_boxes.h"

#include <algorithm>
#include <limits>

namespace platform::linux_backend::mp4 {
namespace {

constexpr std::uint32_t kTrackId = 1;
constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();

// Big-endian bytes with nested boxes whose sizes are filled in when they end.
class BoxWriter {
 public:
  BoxWriter() = default;
  // Writes into `buffer` from its start, keeping the room it already has.
  explicit BoxWriter(std::vector<std::uint8_t>&& buffer) : bytes_(std::move(buffer)) {
    bytes_.clear();
  }

  void u8(std::uint32_t value) { bytes_.push_back(static_cast<std::uint8_t>(value)); }
  void u16(std::uint32_t value) { put(value, 2); }
  void u24(std::uint32_t value) { put(value, 3); }
  void u32(std::uint32_t value) { put(value, 4); }
  void u64(std::uint64_t value) { put(value, 8); }
  // Byte by byte: a range insert from the literal made GCC 12 at -O3 see a write past the
  // vector's end that cannot happen (a false stringop-overflow).
  void type(const char (&name)[5]) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(name[i]));
  }
  void zeros(std::size_t count) { bytes_.insert(bytes_.end(), count, 0); }
  void raw(std::span<const std::uint8_t> data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }

  std::size_t begin(const char (&name)[5]) {
    const std::size_t start = bytes_.size();
    u32(0);
    type(name);
    return start;
  }
  std::size_t beginFull(const char (&name)[5], std::uint8_t version, std::uint32_t flags) {
    const std::size_t start = begin(name);
    u8(version);
    u24(flags);
    return start;
  }
  void end(std::size_t start) { patch32(start, static_cast<std::uint32_t>(bytes_.size() - start)); }
  void patch32(std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
  }

  std::size_t size() const { return bytes_.size(); }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }

 private:
  void put(std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i)
      bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  std::vector<std::uint8_t> bytes_;
};

// The identity matrix of movie and track headers.
void matrix(BoxWriter& out) {
  for (const std::uint32_t value : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) {
    out.u32(value);
  }
}

// Version 1 carries 64-bit times; version 0 is what most files have and is kept when it fits.
void durationField(BoxWriter& out, bool wide, std::uint64_t value) {
  if (wide) {
    out.u64(value);
  } else {
    out.u32(static_cast<std::uint32_t>(value));
  }
}

// Creation and modification time stay 0 (unknown): the file's own times say when it was made.
void movieHeader(BoxWriter& out, const AudioTrack& track, std::uint64_t duration) {
  const bool wide = duration > kMax32;
  const auto box = out.beginFull("mvhd", wide ? 1 : 0, 0);
  durationField(out, wide, 0);
  durationField(out, wide, 0);
  out.u32(track.sampleRate);
  durationField(out, wide, duration);
  out.u32(0x10000);  // rate 1.0
  out.u16(0x100);    // volume 1.0
  out.zeros(10);
  matrix(out);
  out.zeros(24);
  out.u32(kTrackId + 1);
  out.end(box);
}

void trackHeader(BoxWriter& out, std::uint64_t duration) {
  const bool wide = duration > kMax32;
  const auto box = out.beginFull("tkhd", wide ? 1 : 0, 0x3);  // enabled, in the movie
  durationField(out, wide, 0);
  durationField(out, wide, 0);
  out.u32(kTrackId);
  out.u32(0);
  durationField(out, wide, duration);
  out.zeros(8);
  out.u16(0);      // layer
  out.u16(0);      // alternate group
  out.u16(0x100);  // volume 1.0
  out.u16(0);
  matrix(out);
  out.u32(0);  // width
  out.u32(0);  // height
  out.end(box);
}

// One edit: skip the encoder's priming and play `played` samples (0 in a fragmented file: as
// long as the fragments go).
void editList(BoxWriter& out, const AudioTrack& track, std::uint64_t played) {
  const auto edits = out.begin("edts");
  const bool wide = played > kMax32;
  const auto list = out.beginFull("elst", wide ? 1 : 0, 0);
  out.u32(1);
  durationField(out, wide, played);
  durationField(out, wide, track.priming);
  out.u32(0x10000);  // rate 1.0
  out.end(list);
  out.end(edits);
}

void mediaHeader(BoxWriter& out, const AudioTrack& track, std::uint64_t duration) {
  const bool wide = duration > kMax32;
  const auto box = out.beginFull("mdhd", wide ? 1 : 0, 0);
  durationField(out, wide, 0);
  durationField(out, wide, 0);
  out.u32(track.sampleRate);
  durationField(out, wide, duration);
  out.u16(0x55c4);  // language "und"
  out.u16(0);
  out.end(box);
}

void handler(BoxWriter& out) {
  const auto box = out.beginFull("hdlr", 0, 0);
  out.u32(0);
  out.type("soun");
  out.zeros(12);
  static constexpr char kName[] = "SoundHandler";
  out.raw({reinterpret_cast<const std::uint8_t*>(kName), sizeof kName});
  out.end(box);
}

// A descriptor of the elementary stream description; every one here is shorter than 128 bytes,
// so its size takes one byte.
void descriptor(BoxWriter& out, std::uint8_t tag, std::span<const std::uint8_t> body) {
  out.u8(tag);
  out.u8(static_cast<std::uint8_t>(body.size()));
  out.raw(body);
}

void streamDescription(BoxWriter& out, const AudioTrack& track) {
  BoxWriter config;
  config.u8(0x40);  // MPEG-4 audio
  config.u8(0x15);  // audio stream
  // The largest AAC frame: 6144 bits per channel.
  config.u24(768u * track.channels);
  config.u32(track.bitRate);
  config.u32(track.bitRate);
  descriptor(config, 0x05, track.decoderConfig);
  const auto configBytes = config.take();

  BoxWriter stream;
  stream.u16(kTrackId);
  stream.u8(0);
  descriptor(stream, 0x04, configBytes);
  static constexpr std::uint8_t kSyncLayer[] = {0x02};
  descriptor(stream, 0x06, kSyncLayer);
  const auto streamBytes = stream.take();

  const auto box = out.beginFull("esds", 0, 0);
  descriptor(out, 0x03, streamBytes);
  out.end(box);
}

void sampleDescription(BoxWriter& out, const AudioTrack& track) {
  const auto box = out.beginFull("stsd", 0, 0);
  out.u32(1);
  const auto entry = out.begin("mp4a");
  out.zeros(6);
  out.u16(1);  // data reference index
  out.zeros(8);
  out.u16(track.channels);
  out.u16(16);  // sample size
  out.u32(0);
  // 16.16 fixed point; rates that do not fit are given by the decoder configuration alone.
  out.u32(track.sampleRate <= 0xffff ? track.sampleRate << 16 : 0);
  streamDescription(out, track);
  out.end(entry);
  out.end(box);
}

// Sample tables: every frame lasts `frameDuration`; chunks of equal frame counts share one
// entry of the sample-to-chunk table.
void sampleTables(BoxWriter& out, const AudioTrack& track, const SampleTable* table) {
  const auto stbl = out.begin("stbl");
  sampleDescription(out, track);

  const std::size_t frames = table ? table->frameSizes.size() : 0;
  auto box = out.beginFull("stts", 0, 0);
  out.u32(frames ? 1 : 0);
  if (frames) {
    out.u32(static_cast<std::uint32_t>(frames));
    out.u32(track.frameDuration);
  }
  out.end(box);

  box = out.beginFull("stsc", 0, 0);
  const std::size_t countAt = out.size();
  out.u32(0);
  std::uint32_t runs = 0;
  if (table) {
    for (std::size_t i = 0; i < table->chunks.size(); ++i) {
      if (i > 0 && table->chunks[i].frames == table->chunks[i - 1].frames) continue;
      out.u32(static_cast<std::uint32_t>(i + 1));
      out.u32(table->chunks[i].frames);
      out.u32(1);
      ++runs;
    }
  }
  out.patch32(countAt, runs);
  out.end(box);

  box = out.beginFull("stsz", 0, 0);
  out.u32(0);
  out.u32(static_cast<std::uint32_t>(frames));
  if (table) {
    for (const std::uint32_t size : table->frameSizes) out.u32(size);
  }
  out.end(box);

  const bool wide = table && !table->chunks.empty() && table->chunks.back().offset > kMax32;
  box = out.beginFull(wide ? "co64" : "stco", 0, 0);
  out.u32(table ? static_cast<std::uint32_t>(table->chunks.size()) : 0);
  if (table) {
    for (const auto& chunk : table->chunks) durationField(out, wide, chunk.offset);
  }
  out.end(box);
  out.end(stbl);
}

// The movie box; without a table it is the one of a fragmented file.
std::vector<std::uint8_t> movieBox(const AudioTrack& track, const SampleTable* table) {
  const std::uint64_t played = table ? table->playedSamples : 0;
  const std::uint64_t media =
      table ? std::uint64_t{track.frameDuration} * table->frameSizes.size() : 0;
  BoxWriter out;
  const auto moov = out.begin("moov");
  movieHeader(out, track, played);
  const auto trak = out.begin("trak");
  trackHeader(out, played);
  editList(out, track, played);
  const auto mdia = out.begin("mdia");
  mediaHeader(out, track, media);
  handler(out);
  const auto minf = out.begin("minf");
  auto box = out.beginFull("smhd", 0, 0);
  out.u32(0);
  out.end(box);
  const auto dinf = out.begin("dinf");
  box = out.beginFull("dref", 0, 0);
  out.u32(1);
  out.end(out.beginFull("url ", 0, 1));  // the data is in this file
  out.end(box);
  out.end(dinf);
  sampleTables(out, track, table);
  out.end(minf);
  out.end(mdia);
  out.end(trak);
  if (!table) {
    const auto mvex = out.begin("mvex");
    box = out.beginFull("trex", 0, 0);
    out.u32(kTrackId);
    out.u32(1);  // sample description
    out.u32(track.frameDuration);
    out.u32(0);
    out.u32(0);
    out.end(box);
    out.end(mvex);
  }
  out.end(moov);
  return out.take();
}

constexpr std::size_t kFileTypeSize = 28;

}  // namespace

std::vector<std::uint8_t> fragmentedFileStart(const AudioTrack& track) {
  BoxWriter out;
  const auto ftyp = out.begin("ftyp");
  out.type("M4A ");
  out.u32(0x200);
  out.type("M4A ");
  out.type("isom");
  out.type("iso6");
  out.end(ftyp);
  for (int i = 0; i < 2; ++i) out.end(out.begin("free"));
  auto bytes = out.take();
  const auto movie = movieBox(track, nullptr);
  bytes.insert(bytes.end(), movie.begin(), movie.end());
  return bytes;
}

std::size_t reservedHeaderOffset() {
  return kFileTypeSize;
}

void fragment(std::vector<std::uint8_t>& into, std::uint32_t sequence,
              std::uint64_t firstSampleTime, std::uint32_t frameDuration,
              std::span<const std::uint32_t> frameSizes, std::span<const std::uint8_t> data) {
  BoxWriter out(std::move(into));
  const auto moof = out.begin("moof");
  auto box = out.beginFull("mfhd", 0, 0);
  out.u32(sequence);
  out.end(box);
  const auto traf = out.begin("traf");
  // Offsets count from the fragment's start; every frame lasts the default duration.
  box = out.beginFull("tfhd", 0, 0x020008);
  out.u32(kTrackId);
  out.u32(frameDuration);
  out.end(box);
  box = out.beginFull("tfdt", 1, 0);
  out.u64(firstSampleTime);
  out.end(box);
  // Data offset and one size per frame.
  box = out.beginFull("trun", 0, 0x000201);
  out.u32(static_cast<std::uint32_t>(frameSizes.size()));
  const std::size_t dataOffsetAt = out.size();
  out.u32(0);
  for (const std::uint32_t size : frameSizes) out.u32(size);
  out.end(box);
  out.end(traf);
  out.end(moof);
  out.patch32(dataOffsetAt, static_cast<std::uint32_t>(out.size() + 8));
  const auto mdat = out.begin("mdat");
  out.raw(data);
  out.end(mdat);
  into = out.take();
}

std::vector<std::uint8_t> movie(const AudioTrack& track, const SampleTable& table) {
  return movieBox(track, &table);
}

std::vector<std::uint8_t> mediaDataHeader(std::uint64_t headerOffset, std::uint64_t end) {
  BoxWriter out;
  const std::uint64_t size = end - headerOffset;
  if (size - 8 <= kMax32) {
    out.end(out.begin("free"));
    out.u32(static_cast<std::uint32_t>(size - 8));
    out.type("mdat");
  } else {
    out.u32(1);
    out.type("mdat");
    out.u64(size);
  }
  return out.take();
}

}  // namespace platform::linux_backend::mp4
