#include "linux/descriptor_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform::linux_backend {
namespace {

using namespace std::chrono_literals;

// Collects what the input hands over each time it says it is ready.
class Watcher {
 public:
  explicit Watcher(DescriptorInput& input) : input_(input) {
    input.watch([this] {
      const StandardInputRead read = input_.readAvailable();
      std::lock_guard guard(mutex_);
      bytes_ += read.bytes;
      ended_ = ended_ || read.ended;
      changed_.notify_all();
    });
  }
  // Waits until `bytes` arrived in all (and, if asked, the end); false after two seconds.
  bool waitFor(const std::string& bytes, bool ended) {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, 2s, [&] { return bytes_ == bytes && ended_ == ended; });
  }

 private:
  DescriptorInput& input_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string bytes_;
  bool ended_ = false;
};

// Only a read of nothing, or a descriptor that fails, ends the input. A description that
// someone sharing it made non-blocking gives EAGAIN between writes, which is no end.
TEST(DescriptorInputTest, EndsOnlyWhenTheInputEnds) {
  for (const bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "made non-blocking by a sharer" : "blocking");
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    if (nonBlocking) ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    const int flags = ::fcntl(ends[0], F_GETFL);
    DescriptorInput input(ends[0]);
    Watcher watcher(input);
    // After the first command the reader finds the pipe empty; the second must still come.
    ASSERT_EQ(::write(ends[1], "pause\n", 6), 6);
    EXPECT_TRUE(watcher.waitFor("pause\n", false));
    ASSERT_EQ(::write(ends[1], "resume\n", 7), 7);
    EXPECT_TRUE(watcher.waitFor("pause\nresume\n", false));
    ASSERT_EQ(::write(ends[1], "stop", 4), 4);
    ::close(ends[1]);
    EXPECT_TRUE(watcher.waitFor("pause\nresume\nstop", true));
    EXPECT_EQ(::fcntl(ends[0], F_GETFL), flags) << "the description's flags are the parent's";
    ::close(ends[0]);
  }
}

TEST(DescriptorInputTest, ADescriptorThatFailsIsTheEndOfInput) {
  // Closed before the recorder ever reads it: every read fails with EBADF.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::close(ends[0]);
  ::close(ends[1]);
  DescriptorInput input(ends[0]);
  Watcher watcher(input);
  EXPECT_TRUE(watcher.waitFor("", true));
}

}  // namespace
}  // namespace platform::linux_backend
