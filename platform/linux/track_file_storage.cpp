#include "linux/track_file_storage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "linux/ffmpeg_support.h"

namespace platform::linux_backend {
namespace {

// Creation flags. O_NOFOLLOW makes a symbolic link in the last component an error (ELOOP)
// instead of a way to write somewhere else; O_NONBLOCK keeps a FIFO of that name from hanging
// the recorder (it has no effect on a regular file).
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// Removing a name and creating the file are two steps another process could get between;
// after this many rounds the name is given up on.
constexpr int kAttempts = 4;

Error openFailed(const std::string& path, int code, const std::string& why) {
  return Error{"zuno-recorder.ffmpeg", code, "cannot open " + path + " for writing: " + why};
}

Error openFailed(const std::string& path, int errnoValue) {
  return openFailed(path, AVERROR(errnoValue), ffmpegErrorText(AVERROR(errnoValue)));
}

// The descriptor of the track file, or -errno. A symbolic link found under the name is
// removed and a new file created in its place, so whatever it pointed at stays as it was.
int openWithoutFollowingLinks(const std::string& path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int fd = ::open(path.c_str(), kOpenFlags, 0644);
    if (fd >= 0) return fd;
    if (errno != ELOOP) return -errno;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -errno;
    fd = ::open(path.c_str(), kOpenFlags | O_EXCL, 0644);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -errno;
  }
  return -ELOOP;
}

// File systems without locks (some network and FUSE mounts) still get recorded to; only the
// protection against a second recorder is lost there.
bool lockUnsupported(int errnoValue) {
  return errnoValue == ENOLCK || errnoValue == EOPNOTSUPP || errnoValue == ENOTSUP ||
         errnoValue == EINVAL;
}

}  // namespace

Result<std::unique_ptr<TrackFileStorage>> TrackFileStorage::open(const std::string& path) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int fd = openWithoutFollowingLinks(path);
    if (fd < 0) return openFailed(path, -fd);
    // Owns the descriptor from here, so every failure below closes it.
    std::unique_ptr<TrackFileStorage> storage(new TrackFileStorage(fd));

    struct stat status {};
    if (::fstat(fd, &status) != 0) return openFailed(path, errno);
    if (!S_ISREG(status.st_mode)) return openFailed(path, AVERROR(EINVAL), "not a regular file");
    // Only the FIFO case needed it; writes to the file wait for the disk as usual.
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      return openFailed(path, errno);
    }
    // Taken before the file is emptied: a second recorder must leave the first one's track
    // alone. The kernel drops the lock with the last descriptor, so a recorder that was killed
    // does not keep the name from being used again.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        return openFailed(path, AVERROR(EBUSY), "it is being recorded by another process");
      }
      if (!lockUnsupported(errno)) return openFailed(path, errno);
    }
    // A file with other names (a hard link someone made, a backup sharing the data) would lose
    // its content under every one of them: the name is given a file of its own instead. What
    // is found there next goes through the same checks.
    if (status.st_nlink > 1) {
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) return openFailed(path, errno);
      continue;
    }
    if (::ftruncate(fd, 0) != 0) return openFailed(path, errno);
    return storage;
  }
  return openFailed(path, EBUSY);
}

TrackFileStorage::TrackFileStorage(int fd) : fd_(fd) {}

TrackFileStorage::~TrackFileStorage() {
  if (fd_ >= 0) ::close(fd_);
}

int TrackFileStorage::fail(int errnoValue) {
  if (failure_ == 0) failure_ = -errnoValue;
  return failure_;
}

int TrackFileStorage::writeAllAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (failure_) return failure_;
  if (fd_ < 0) return fail(EBADF);
  const std::uint8_t* at = data.data();
  for (std::size_t left = data.size(); left > 0;) {
    const ssize_t written = ::pwrite(fd_, at, left, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    // A regular file takes at least one byte or says why not; no progress at all would loop.
    if (written <= 0) return fail(written < 0 ? errno : EIO);
    at += written;
    offset += static_cast<std::uint64_t>(written);
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

int TrackFileStorage::append(std::span<const std::uint8_t> data) {
  const int status = writeAllAt(size_, data);
  if (status == 0) size_ += data.size();
  return status;
}

int TrackFileStorage::writeAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (offset + data.size() > size_) return fail(EINVAL);
  return writeAllAt(offset, data);
}

void TrackFileStorage::cutBackTo(std::uint64_t size) {
  if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(size)) == 0) size_ = size;
}

int TrackFileStorage::sync() {
  if (failure_) return failure_;
  // Some file systems only report a failed write-back here; EINVAL means one that cannot sync.
  if (::fdatasync(fd_) != 0 && errno != EINVAL) return fail(errno);
  return 0;
}

int TrackFileStorage::close() {
  if (fd_ < 0) return failure_;
  int status = failure_ ? failure_ : sync();
  // Linux releases the descriptor even when close is interrupted; anything else is a failure
  // of the data written (a network file system reports its write-back here).
  if (::close(fd_) != 0 && status == 0 && errno != EINTR) status = fail(errno);
  fd_ = -1;
  return status;
}

}  // namespace platform::linux_backend
