#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"

struct AVIOContext;

namespace platform::linux_backend {

// The file descriptor under one track file, handed to the muxer as its I/O. The writer opens it
// itself rather than leaving that to FFmpeg, for three reasons: a full disk or any other failed
// write(2) must be seen when it happens, not lost in a buffer until the end; a track another
// recorder is still writing must not be truncated under it (an advisory lock held while the file
// is open, released by the kernel when a recorder dies); and a symbolic link in place of the
// track is replaced, never written through.
class TrackFileIo {
 public:
  // Creates or replaces the file at `path`: locked, empty, not yet written.
  static Result<std::unique_ptr<TrackFileIo>> open(const std::string& path);
  // Releases the descriptor (and with it the lock) of a file nobody closed, ignoring failures.
  ~TrackFileIo();
  TrackFileIo(const TrackFileIo&) = delete;
  TrackFileIo& operator=(const TrackFileIo&) = delete;

  // Seekable, as the movie index at the end needs to go back and fix the media size.
  AVIOContext* context() const { return context_; }
  // The first failure of the storage underneath as an AVERROR code, 0 while there is none. Once
  // a write failed nothing more is written: the file has a gap and the muxer's offsets no longer
  // match what is on disk.
  int failure() const { return failure_; }
  // Hands what is buffered to the kernel; the first failure so far, or 0.
  int flush();
  // Flushes, syncs and closes the descriptor, which drops the lock; the first failure, or 0.
  int close();

 private:
  struct Callbacks;
  explicit TrackFileIo(int fd);
  int fail(int code);
  int writeAll(const std::uint8_t* data, int size);
  std::int64_t seekTo(std::int64_t offset, int whence);

  int fd_;
  AVIOContext* context_ = nullptr;
  int failure_ = 0;
};

}  // namespace platform::linux_backend
