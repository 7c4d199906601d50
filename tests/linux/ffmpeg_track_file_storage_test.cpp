extern "C" {
#include <libavutil/error.h>
}

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "linux/ffmpeg_test_support.h"

namespace platform::linux_backend::testing {
namespace {

constexpr double kRate = 48000;

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::int64_t sizeOf(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Where a track file is stored, and what happens to it there.
class FfmpegTrackFileStorageTest : public FfmpegFilesTest {
 protected:
  // `frames` frames of the test tone, continuing from what was written before.
  MaybeError writeTone(AudioFileForWriting& writer, std::uint32_t frames) {
    auto error = writer.write(*toneBuffer(writer.processingFormat(), frames, 440, written_));
    if (!error) written_ += frames;
    return error;
  }

  // The file holds exactly the tone written, as a player would play it.
  void expectWholeTone(const std::string& path) {
    const auto decoded = decode(files, path);
    ASSERT_FALSE(decoded.error) << decoded.error->description;
    ASSERT_EQ(decoded.channels.at(0).size(), written_);
    EXPECT_NEAR(zeroCrossingFrequency(decoded.channels[0], kRate), 440, 1);
  }

  void resetTone() { written_ = 0; }

  std::uint64_t written_ = 0;
};

// A file system of its own, small enough to fill: tmpfs mounted for the test.
class FfmpegFullDiskTest : public FfmpegTrackFileStorageTest {
 protected:
  void SetUp() override {
    FfmpegTrackFileStorageTest::SetUp();
    disk = directory / "disk";
    std::filesystem::create_directories(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
      GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    mounted = true;
  }
  void TearDown() override {
    if (mounted) ::umount2(disk.c_str(), MNT_DETACH);
    FfmpegTrackFileStorageTest::TearDown();
  }

  // Takes every block still free with a file of its own.
  void fillTheRest() {
    const int fd = ::open((disk / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    const std::vector<char> block(4096, 'x');
    ssize_t written;
    while ((written = ::write(fd, block.data(), block.size())) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
    ASSERT_EQ(freeBytes(), 0u);
  }

  std::uint64_t freeBytes() const {
    struct statvfs status {};
    return ::statvfs(disk.c_str(), &status) == 0 ? std::uint64_t{status.f_bavail} * status.f_frsize
                                                 : 0;
  }

  std::filesystem::path disk;
  bool mounted = false;
};

TEST_F(FfmpegFullDiskTest, AFullDiskFailsTheWriteOrCloseThatMetItAndEveryWriteAfter) {
  enum class Filled { beforeAWrite, beforeTheClose, byTheAudio };
  struct Case {
    const char* what;
    Filled filled;
  };
  const Case cases[] = {
      {"disk filled before a write", Filled::beforeAWrite},
      {"disk filled before the close", Filled::beforeTheClose},
      {"disk filled by the recording itself", Filled::byTheAudio},
  };
  const std::string path = (disk / "mic.m4a").string();
  const std::string full = ": No space left on device";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(disk / "filler");
    std::filesystem::remove(path);
    resetTone();
    auto writer = files.openForWriting(path, aac(kRate));
    ASSERT_TRUE(writer) << writer.error().description;

    MaybeError failed;
    if (c.filled == Filled::byTheAudio) {
      // At most ten minutes; the disk holds about ten seconds.
      for (int i = 0; i < 600 * 12 && !failed; ++i) failed = writeTone(**writer, 4000);
      ASSERT_TRUE(failed) << "a full disk went unreported";
      EXPECT_EQ(freeBytes(), 0u);
    } else {
      // The storage tmpfs gives a file is whole pages: the last page of the track must be
      // nearly used up, or what the close writes could still fit in it. Audio goes to the disk
      // every half second, so the file's size shows where it stands.
      while (4096 - sizeOf(path) % 4096 > 192) {
        ASSERT_FALSE(writeTone(**writer, 1024));
        ASSERT_LT(sizeOf(path), 40000) << "the track's size does not grow with its writes";
      }
      fillTheRest();
      if (c.filled == Filled::beforeAWrite) {
        // One second is some fifty packets, far more than the room left.
        failed = writeTone(**writer, 48000);
        ASSERT_TRUE(failed) << "a write past the end of the disk succeeded";
      }
    }
    if (failed) {
      EXPECT_EQ(failed->description, "cannot write " + path + full);
      EXPECT_EQ(failed->code, AVERROR(ENOSPC));
      // The file has a gap now: nothing later may look like it worked.
      const auto again = writeTone(**writer, 4096);
      ASSERT_TRUE(again);
      EXPECT_EQ(again->description, "cannot write " + path + full);
    }
    const auto closed = (*writer)->close();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->description, "cannot complete " + path + full);
    EXPECT_EQ(closed->code, AVERROR(ENOSPC));
    // Still a file that plays, with all but the last half second or so written.
    EXPECT_EQ(run("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1"), "");
    const auto decoded = decode(files, path);
    ASSERT_FALSE(decoded.error) << decoded.error->description;
    EXPECT_GT(decoded.channels.at(0).size() + 0.6 * kRate, written_);
    EXPECT_LE(decoded.channels.at(0).size(), written_ + 1024);
  }
}

TEST_F(FfmpegTrackFileStorageTest, ATrackAnotherRecorderIsWritingIsLeftAlone) {
  const std::string path = file("mic.m4a");
  auto first = files.openForWriting(path, aac(kRate));
  ASSERT_TRUE(first) << first.error().description;
  ASSERT_FALSE(writeTone(**first, 48000));

  auto second = files.openForWriting(path, aac(kRate));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().description,
            "cannot open " + path + " for writing: it is being recorded by another process");
  EXPECT_EQ(second.error().code, AVERROR(EBUSY));

  // The first recording goes on as if nothing happened: a truncation under it would have cut
  // away the container's head.
  ASSERT_FALSE(writeTone(**first, 48000));
  ASSERT_FALSE((*first)->close());
  expectWholeTone(path);
  // Closing the file is what lets the name be used again.
  EXPECT_TRUE(files.openForWriting(path, aac(kRate)));
}

TEST_F(FfmpegTrackFileStorageTest, ALockLeftByAKilledRecorderDoesNotBlockTheNextOne) {
  const std::string path = file("mic.m4a");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A recorder that is killed mid-recording: it never closes anything.
    ::close(ready[0]);
    auto writer = files.openForWriting(path, aac(kRate));
    const char state = writer && !writeTone(**writer, 48000) ? '1' : '0';
    if (::write(ready[1], &state, 1) != 1) ::_exit(1);
    while (true) ::pause();
  }
  ::close(ready[1]);
  char state = 0;
  ASSERT_EQ(::read(ready[0], &state, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(state, '1') << "the child could not record";

  // Held while the child lives, so the lock really crosses processes.
  auto blocked = files.openForWriting(path, aac(kRate));
  EXPECT_FALSE(blocked);

  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  auto next = files.openForWriting(path, aac(kRate));
  ASSERT_TRUE(next) << next.error().description;
  ASSERT_FALSE(writeTone(**next, 48000));
  ASSERT_FALSE((*next)->close());
  expectWholeTone(path);
}

// Another name for the track (a symbolic link, or a hard link to a file) is given a file of its
// own: what else the name led to keeps its content.
TEST_F(FfmpegTrackFileStorageTest, AnotherNameInPlaceOfTheTrackIsReplacedNotWrittenThrough) {
  enum class Link { symbolic, hard };
  enum class Target { file, none, directory };
  struct Case {
    const char* what;
    Link link;
    Target target;
  };
  const Case cases[] = {
      {"symbolic link to a file", Link::symbolic, Target::file},
      {"dangling symbolic link", Link::symbolic, Target::none},
      {"symbolic link to a directory", Link::symbolic, Target::directory},
      {"hard link to a file", Link::hard, Target::file},
  };
  const std::string path = file("mic.m4a");
  const std::string target = file("precious");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(target);
    std::filesystem::remove(path);
    resetTone();
    if (c.target == Target::file) std::ofstream(target) << "keep me";
    if (c.target == Target::directory) std::filesystem::create_directory(target);
    if (c.link == Link::symbolic) std::filesystem::create_symlink(target, path);
    if (c.link == Link::hard) std::filesystem::create_hard_link(target, path);

    auto writer = files.openForWriting(path, aac(kRate));
    ASSERT_TRUE(writer) << writer.error().description;
    ASSERT_FALSE(writeTone(**writer, 24000));
    ASSERT_FALSE((*writer)->close());

    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)));
    EXPECT_EQ(std::filesystem::hard_link_count(path), 1u);
    expectWholeTone(path);
    if (c.target == Target::file) {
      EXPECT_EQ(contents(target), "keep me");
    } else if (c.target == Target::directory) {
      EXPECT_TRUE(std::filesystem::is_empty(target));
    } else {
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(target)));
    }
  }
}

}  // namespace
}  // namespace platform::linux_backend::testing
