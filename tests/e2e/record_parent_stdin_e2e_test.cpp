// Standard input comes from the parent as whatever it has: a pipe, a socket pair (what Node and
// Electron give a child), a terminal, a file or /dev/null. Its descriptor is shared with the
// parent, so the recorder must leave it as it found it, and must hear the end of input only
// when the input really ends.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>

#include <functional>

#include "e2e/e2e_support.h"

namespace zuno::e2e {
namespace {

// The recorder's standard input and the parent's side of it.
struct ParentInput {
  int child = -1;   // becomes the recorder's descriptor 0
  int writer = -1;  // where the parent writes commands; -1 for input that only ends
  bool terminal = false;
};

int statusFlags(int fd) {
  return ::fcntl(fd, F_GETFL);
}

ParentInput pipeInput() {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  return {ends[0], ends[1]};
}

ParentInput socketPairInput() {
  int ends[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  return {ends[1], ends[0]};
}

// A terminal in its usual cooked mode, only without echo, which nobody would read here.
ParentInput terminalInput() {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(master, 0);
  EXPECT_EQ(::grantpt(master), 0);
  EXPECT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(terminal, 0);
  termios settings{};
  ::tcgetattr(terminal, &settings);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(terminal, TCSANOW, &settings);
  return {terminal, master, true};
}

ParentInput fileInput(const std::string& path, const std::string& contents) {
  std::ofstream(path) << contents;
  return {::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
}

// Starts the recorder on `input`; on a terminal it runs as a shell runs a job, with the
// terminal as its controlling one, so Ctrl-C reaches it as SIGINT.
RecorderProcess startOn(const ParentInput& input, const std::string& outDir) {
  int events[2];
  EXPECT_EQ(::pipe2(events, O_CLOEXEC), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (input.terminal) {
      ::setsid();
      ::ioctl(input.child, TIOCSCTTY, 0);
    }
    ::dup2(input.child, 0);
    ::dup2(events[1], 1);
    ::execl(ZUNO_RECORDER_BINARY, ZUNO_RECORDER_BINARY, "record", "--out-dir", outDir.c_str(),
            nullptr);
    ::_exit(127);
  }
  ::close(events[1]);
  return RecorderProcess(pid, events[0]);
}

void writeAll(int fd, const std::string& text) {
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

class RecordOnTheParentsInput : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.running()) GTEST_SKIP() << "no private audio server could be started";
  }
  PrivateAudioServer server;
};

// The flags of the parent's description are the same before, during and after the run.
TEST_F(RecordOnTheParentsInput, LeavesItUnchangedAndEndsOnlyWhenItEnds) {
  constexpr int kPairs = 1000;
  struct Case {
    const char* name;
    std::function<ParentInput()> make;
    // How the parent ends the run, for input it can write to: a line, or a key on the terminal.
    const char* stop;
  };
  const std::string dir = server.directory();
  for (const auto& [name, make, stop] : std::vector<Case>{
           {"pipe", pipeInput, "stop\n"},
           {"socket pair", socketPairInput, "stop\n"},
           {"terminal", terminalInput, "\x03"},
           {"commands in a file", [&] { return fileInput(dir + "/in", "pause\nresume\n"); }, ""},
           {"empty file", [&] { return fileInput(dir + "/empty", ""); }, ""},
           {"/dev/null", [] { return ParentInput{::open("/dev/null", O_RDONLY | O_CLOEXEC)}; }, ""},
       }) {
    SCOPED_TRACE(name);
    const ParentInput input = make();
    ASSERT_GE(input.child, 0);
    const int before = statusFlags(input.child);
    RecorderProcess recorder = startOn(input, dir + "/out");

    if (input.writer >= 0) {
      ASSERT_TRUE(recorder.waitFor("\"event\":\"started\"")) << recorder.output();
      // Every command in a write of its own: a wake-up that finds nothing new must not read as
      // the end of input.
      for (int pair = 0; pair < kPairs; ++pair) {
        writeAll(input.writer, "pause\n");
        writeAll(input.writer, "resume\n");
      }
      EXPECT_TRUE(recorder.waitForCount("\"event\":\"resumed\"", kPairs, 60));
      EXPECT_EQ(occurrences(recorder.output(), "\"event\":\"paused\""), std::size_t{kPairs});
      EXPECT_EQ(occurrences(recorder.output(), "\"event\":\"resumed\""), std::size_t{kPairs});
      EXPECT_TRUE(recorder.running()) << "ended without being asked: " << recorder.output();
      EXPECT_EQ(statusFlags(input.child), before) << "changed while recording";
      writeAll(input.writer, stop);
    }
    EXPECT_TRUE(recorder.waitFor("\"event\":\"stopped\"")) << recorder.output();
    EXPECT_EQ(recorder.wait(), 0) << recorder.output();
    EXPECT_EQ(statusFlags(input.child), before) << "changed after the run";
    EXPECT_EQ(statusFlags(input.child) & O_NONBLOCK, 0);
    if (std::string(name) == "commands in a file") {
      EXPECT_EQ(occurrences(recorder.output(), "\"event\":\"resumed\""), 1u) << recorder.output();
    }
    ::close(input.child);
    if (input.writer >= 0) ::close(input.writer);
  }
}

}  // namespace
}  // namespace zuno::e2e
