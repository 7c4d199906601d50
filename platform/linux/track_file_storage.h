#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/error.h"

namespace platform::linux_backend {

// The file descriptor under one track file. Every write is a write(2) of its own, checked when
// it happens, so a full disk or any other failure of the storage is seen at once and not lost in
// a buffer. A track another recorder is still writing must not be truncated under it: an
// advisory lock is held while the file is open, released by the kernel when a recorder dies. A
// symbolic link in place of the track, or a file that has other names (hard links), is replaced,
// never written through.
class TrackFileStorage {
 public:
  // Creates or replaces the file at `path`: locked, empty, not yet written.
  static Result<std::unique_ptr<TrackFileStorage>> open(const std::string& path);
  // Releases the descriptor (and with it the lock) of a file nobody closed, ignoring failures.
  ~TrackFileStorage();
  TrackFileStorage(const TrackFileStorage&) = delete;
  TrackFileStorage& operator=(const TrackFileStorage&) = delete;

  // The operations below return 0 or the first failure of the storage so far, as a negative
  // errno value; once one failed nothing more is written, as the file's layout is no longer what
  // the writer thinks it is.
  int failure() const { return failure_; }
  // Bytes written so far, which is where the next append goes.
  std::uint64_t size() const { return size_; }
  int append(std::span<const std::uint8_t> data);
  // Overwrites bytes already written.
  int writeAt(std::uint64_t offset, std::span<const std::uint8_t> data);
  // Cuts the file back to `size` bytes, so that a failed append leaves no half-written tail. The
  // recorded failure stays.
  void cutBackTo(std::uint64_t size);
  // Waits until what was written is on the disk.
  int sync();
  // Syncs and closes the descriptor, which drops the lock.
  int close();

 private:
  explicit TrackFileStorage(int fd);
  int fail(int errnoValue);
  int writeAllAt(std::uint64_t offset, std::span<const std::uint8_t> data);

  int fd_;
  std::uint64_t size_ = 0;
  int failure_ = 0;
};

}  // namespace platform::linux_backend
