#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "e2e/e2e_support.h"

namespace zuno::e2e {
namespace {

struct Answer {
  std::string stdoutText;
  std::string stderrText;
  int status = -1;
};

// The real binary with `arguments` (already quoted for the shell), to its end.
Answer run(const std::string& directory, const std::string& arguments) {
  const std::string errors = directory + "/stderr.txt";
  Answer answer;
  answer.stdoutText =
      shell("'" ZUNO_RECORDER_BINARY "' " + arguments + " 2>'" + errors + "'; echo \"status=$?\"");
  const std::size_t at = answer.stdoutText.rfind("status=");
  if (at != std::string::npos) {
    answer.status = std::atoi(answer.stdoutText.c_str() + at + 7);
    answer.stdoutText.erase(at);
  }
  answer.stderrText = shell("cat '" + errors + "'");
  return answer;
}

std::string line(const std::string& json) {
  return json + "\n";
}

// Whether `path` comes to hold `needle` within `seconds`.
bool fileShows(const std::string& path, const std::string& needle, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (shell("cat '" + path + "'").find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class Diagnostics : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.running());
    // Only the models this test installs count.
    models = server.directory() + "/share";
    std::filesystem::create_directories(models);
    ::setenv("XDG_DATA_HOME", models.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", models.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_DATA_DIRS");
  }

  PrivateAudioServer server;
  std::string models;
};

// Linux has no privacy gate and no Apple events: every subcommand answers, with status 0 and
// nothing on standard error.
TEST_F(Diagnostics, EverySubcommandAnswersWithStatusZero) {
  const struct {
    const char* arguments;
    const char* line;
  } cases[] = {
      {"caps", R"({"event":"caps","micPermission":"granted","systemAudio":true,)"
               R"("systemAudioPermission":"undetermined","transcribe":"none"})"},
      {"probe mic", R"({"event":"probe","permission":"granted"})"},
      {"probe system", R"({"event":"probe","permission":"undetermined"})"},
      {"probe automation --bundle com.google.Chrome",
       R"({"event":"probe","permission":"undetermined"})"},
      {"browser-tab --bundle com.google.Chrome",
       R"({"error":"unavailable","event":"browser_tab"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Answer answer = run(server.directory(), c.arguments);
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.stdoutText, line(c.line));
    EXPECT_EQ(answer.stderrText, "");
  }
}

// A Japanese model installed where the recogniser looks makes the legacy engine available.
TEST_F(Diagnostics, CapsFindsAnInstalledJapaneseModel) {
  const std::string english = "/usr/share/pocketsphinx/model/en-us/";
  const std::filesystem::path japanese = models + "/zuno-recorder/models/ja-JP";
  std::filesystem::create_directories(japanese);
  std::filesystem::create_directory_symlink(english + "en-us", japanese / "acoustic-model");
  std::filesystem::create_symlink(english + "cmudict-en-us.dict", japanese / "dictionary.dict");
  std::filesystem::create_symlink(english + "en-us.lm.bin", japanese / "language-model.lm.bin");
  const Answer answer = run(server.directory(), "caps");
  EXPECT_EQ(answer.status, 0);
  EXPECT_NE(answer.stdoutText.find(R"("transcribe":"sfspeech")"), std::string::npos)
      << answer.stdoutText;
}

// The system probe really records from the server while it waits: the server sees a record
// stream come and go, and nothing of it is left once the answer is out.
TEST_F(Diagnostics, ProbeSystemRecordsFromTheServerAndLeavesNothing) {
  const std::string events = server.directory() + "/events.txt";
  const std::string subscriber = server.directory() + "/subscriber.pid";
  shell("(stdbuf -oL pactl subscribe > '" + events + "' 2>&1 & echo $! > '" + subscriber + "')");
  // The subscription is live once it reports a change of the test's own making; until then each
  // change may come before it.
  bool live = false;
  for (int percent = 90; !live && percent > 40; --percent) {
    server.pactl("set-sink-volume speakers " + std::to_string(percent) + "%");
    live = fileShows(events, "on sink", 0.2);
  }
  ASSERT_TRUE(live);
  const std::string before = server.pactl("list short source-outputs");

  const Answer answer = run(server.directory(), "probe system");
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.stdoutText, line(R"({"event":"probe","permission":"undetermined"})"));
  EXPECT_TRUE(fileShows(events, "Event 'new' on source-output"));
  EXPECT_TRUE(fileShows(events, "Event 'remove' on source-output"));
  EXPECT_EQ(server.pactl("list short source-outputs"), before);
  shell("kill $(cat '" + subscriber + "')");
}

// Without a server the tap cannot be made; that is no error, the preflight still answers.
TEST(DiagnosticsWithoutServer, ProbeSystemAnswersFromThePreflight) {
  char pattern[] = "/tmp/zuno-noserver.XXXXXX";
  const std::string directory = ::mkdtemp(pattern);
  ::setenv("PULSE_SERVER", ("unix:" + directory + "/nothing-here").c_str(), 1);
  const Answer answer = run(directory, "probe system");
  ::unsetenv("PULSE_SERVER");
  std::filesystem::remove_all(directory);
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.stdoutText, line(R"({"event":"probe","permission":"undetermined"})"));
}

}  // namespace
}  // namespace zuno::e2e
