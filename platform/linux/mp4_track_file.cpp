#include "linux/mp4_track_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace platform::linux_backend {
namespace {

constexpr std::uint8_t kUncommitted[] = {'f', 'r', 'e', 'e'};
constexpr std::uint8_t kCommitted[] = {'m', 'o', 'o', 'f'};

}  // namespace

Mp4TrackFile::Mp4TrackFile(std::unique_ptr<TrackFileStorage> storage, mp4::AudioTrack track)
    : storage_(std::move(storage)), track_(std::move(track)) {
  const double framesPerSecond = static_cast<double>(track_.sampleRate) / track_.frameDuration;
  framesPerFragment_ = std::max<std::uint32_t>(
      1, static_cast<std::uint32_t>(std::ceil(framesPerSecond * kFragmentSeconds)));
  // Reserved now, so that growing them never copies megabytes on an audio thread.
  const auto planned = static_cast<std::size_t>(framesPerSecond * kPlannedSeconds);
  table_.frameSizes.reserve(planned);
  table_.chunks.reserve(planned / framesPerFragment_ + 1);
  pendingSizes_.reserve(framesPerFragment_);
  // An AAC frame holds at most 6144 bits per channel.
  pendingData_.reserve(std::size_t{framesPerFragment_} * 768 * track_.channels);
  // The fragment's boxes around its frames: a few dozen bytes plus four per frame.
  fragmentBytes_.reserve(pendingData_.capacity() + 4 * std::size_t{framesPerFragment_} + 128);
}

int Mp4TrackFile::start() {
  if (const int status = storage_->append(mp4::fragmentedFileStart(track_))) return status;
  // On the disk now, so that a disk already full fails here rather than at the first fragment.
  return storage_->sync();
}

int Mp4TrackFile::addFrame(std::span<const std::uint8_t> frame) {
  if (storage_->failure()) return storage_->failure();
  pendingData_.insert(pendingData_.end(), frame.begin(), frame.end());
  pendingSizes_.push_back(static_cast<std::uint32_t>(frame.size()));
  return pendingSizes_.size() >= framesPerFragment_ ? writeFragment() : 0;
}

int Mp4TrackFile::writeFragment() {
  const std::uint64_t firstSample = std::uint64_t{track_.frameDuration} * table_.frameSizes.size();
  std::vector<std::uint8_t>& bytes = fragmentBytes_;
  mp4::fragment(bytes, ++fragments_, firstSample, track_.frameDuration, pendingSizes_,
                pendingData_);
  const std::uint64_t at = storage_->size();
  std::copy(std::begin(kUncommitted), std::end(kUncommitted),
            bytes.begin() + mp4::kFragmentTypeOffset);
  int status = storage_->append(bytes);
  if (status == 0) status = storage_->writeAt(at + mp4::kFragmentTypeOffset, kCommitted);
  if (status != 0) {
    // What a reader would skip anyway; gone, so that a full disk keeps no half fragment.
    storage_->cutBackTo(at);
    return status;
  }
  table_.chunks.push_back(
      {at + bytes.size() - pendingData_.size(), static_cast<std::uint32_t>(pendingSizes_.size())});
  table_.frameSizes.insert(table_.frameSizes.end(), pendingSizes_.begin(), pendingSizes_.end());
  pendingData_.clear();
  pendingSizes_.clear();
  return 0;
}

int Mp4TrackFile::finish(std::uint64_t played) {
  int status = storage_->failure();
  if (status == 0 && !pendingSizes_.empty()) status = writeFragment();
  if (status != 0) {
    abandon();
    return status;
  }
  const std::uint64_t mediaEnd = storage_->size();
  table_.playedSamples = played;
  status = storage_->append(mp4::movie(track_, table_));
  // The new index must be on the disk before the header that hides the fragments points past
  // them; until then a reader still plays the fragments.
  if (status == 0) status = storage_->sync();
  if (status != 0) {
    storage_->cutBackTo(mediaEnd);
    abandon();
    return status;
  }
  const std::uint64_t headerAt = mp4::reservedHeaderOffset();
  status = storage_->writeAt(headerAt, mp4::mediaDataHeader(headerAt, mediaEnd));
  const int closed = storage_->close();
  return status != 0 ? status : closed;
}

int Mp4TrackFile::abandon() {
  const int failure = storage_->failure();
  const int closed = storage_->close();
  return failure != 0 ? failure : closed;
}

}  // namespace platform::linux_backend
