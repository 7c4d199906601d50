#include "linux/ffmpeg_track_file_io.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "linux/ffmpeg_support.h"

namespace platform::linux_backend {
namespace {

// Large enough that a write(2) carries many packets, small enough that a flush after every
// write of audio costs nothing noticeable.
constexpr int kBufferSize = 32 * 1024;

// Creation flags. O_NOFOLLOW makes a symbolic link in the last component an error (ELOOP)
// instead of a way to write somewhere else; O_NONBLOCK keeps a FIFO of that name from hanging
// the recorder (it has no effect on a regular file).
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// Removing a link and creating the file are two steps another process could get between;
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

// FFmpeg's callback types differ between releases only in the constness of the data.
struct TrackFileIo::Callbacks {
#if LIBAVFORMAT_VERSION_MAJOR < 61
  using Data = std::uint8_t*;
#else
  using Data = const std::uint8_t*;
#endif
  static int write(void* opaque, Data data, int size) {
    return static_cast<TrackFileIo*>(opaque)->writeAll(data, size);
  }
  static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    return static_cast<TrackFileIo*>(opaque)->seekTo(offset, whence);
  }
};

Result<std::unique_ptr<TrackFileIo>> TrackFileIo::open(const std::string& path) {
  const int fd = openWithoutFollowingLinks(path);
  if (fd < 0) return openFailed(path, -fd);
  // Owns the descriptor from here, so every failure below closes it.
  std::unique_ptr<TrackFileIo> io(new TrackFileIo(fd));

  struct stat status {};
  if (::fstat(fd, &status) != 0) return openFailed(path, errno);
  if (!S_ISREG(status.st_mode)) return openFailed(path, AVERROR(EINVAL), "not a regular file");
  // Only the FIFO case needed it; writes to the file wait for the disk as usual.
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return openFailed(path, errno);
  // Taken before the file is emptied: a second recorder must leave the first one's track alone.
  // The kernel drops the lock with the last descriptor, so a recorder that was killed does not
  // keep the name from being used again.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return openFailed(path, AVERROR(EBUSY), "it is being recorded by another process");
    }
    if (!lockUnsupported(errno)) return openFailed(path, errno);
  }
  if (::ftruncate(fd, 0) != 0) return openFailed(path, errno);

  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  if (buffer) {
    io->context_ = avio_alloc_context(buffer, kBufferSize, 1, io.get(), nullptr, &Callbacks::write,
                                      &Callbacks::seek);
  }
  if (!io->context_) {
    av_free(buffer);
    return openFailed(path, ENOMEM);
  }
  return io;
}

TrackFileIo::TrackFileIo(int fd) : fd_(fd) {}

TrackFileIo::~TrackFileIo() {
  if (context_) {
    av_freep(&context_->buffer);
    avio_context_free(&context_);
  }
  if (fd_ >= 0) ::close(fd_);
}

int TrackFileIo::fail(int code) {
  if (failure_ == 0) failure_ = code;
  return failure_;
}

int TrackFileIo::writeAll(const std::uint8_t* data, int size) {
  if (failure_) return failure_;
  for (int left = size; left > 0;) {
    const ssize_t written = ::write(fd_, data, static_cast<std::size_t>(left));
    if (written < 0 && errno == EINTR) continue;
    // A regular file takes at least one byte or says why not; no progress at all would loop.
    if (written <= 0) return fail(AVERROR(written < 0 ? errno : EIO));
    data += written;
    left -= static_cast<int>(written);
  }
  return size;
}

std::int64_t TrackFileIo::seekTo(std::int64_t offset, int whence) {
  if (failure_) return failure_;
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) {
    struct stat status {};
    if (::fstat(fd_, &status) != 0) return fail(AVERROR(errno));
    return status.st_size;
  }
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (at < 0) return fail(AVERROR(errno));
  return at;
}

int TrackFileIo::flush() {
  avio_flush(context_);
  if (failure_) return failure_;
  return context_->error < 0 ? fail(context_->error) : 0;
}

int TrackFileIo::close() {
  if (fd_ < 0) return failure_;
  int status = flush();
  // A stopped recording counts as complete, so it is on the disk before that is said; some
  // file systems also only report a failed write-back here.
  if (status == 0 && ::fsync(fd_) != 0 && errno != EINVAL) status = fail(AVERROR(errno));
  // Linux releases the descriptor even when close is interrupted; anything else is a failure
  // of the data written (a network file system reports its write-back here).
  if (::close(fd_) != 0 && status == 0 && errno != EINTR) status = fail(AVERROR(errno));
  fd_ = -1;
  return status;
}

}  // namespace platform::linux_backend
