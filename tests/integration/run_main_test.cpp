#include "cli/dispatch.h"

#include <gtest/gtest.h>

#include "sim/sim_platform.h"

namespace zuno {
namespace {

using platform::sim::SimPlatform;

std::string usageLine(const std::string& message) {
  return "{\"code\":\"usage\",\"event\":\"error\",\"message\":\"" + message + "\"}";
}

struct CommandLine {
  const char* name;
  std::vector<std::string> words;
  std::vector<std::string> lines;
};

class RunMain : public ::testing::TestWithParam<CommandLine> {};

// One error line and status 1 for every word the program cannot act on; bytes that are not
// UTF-8 come back replaced, never as a silent exit.
TEST_P(RunMain, AnswersAWordItCannotActOnWithOneErrorLine) {
  SimPlatform sim;
  std::vector<std::string> arguments{"zuno-recorder"};
  arguments.insert(arguments.end(), GetParam().words.begin(), GetParam().words.end());
  sim.process.setArguments(arguments);

  EXPECT_EQ(runMain(sim.platform()), 1);
  EXPECT_EQ(sim.runtime.stdoutLines(), GetParam().lines);
  EXPECT_EQ(sim.runtime.stderrText(), "");
  EXPECT_TRUE(sim.fileSystem.createdDirectories().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Words, RunMain,
    ::testing::Values(
        CommandLine{"None",
                    {},
                    {usageLine("subcommand required: caps | watch | record | transcribe | probe | "
                               "browser-tab")}},
        CommandLine{"CapitalisedWord", {"Record"}, {usageLine("unknown subcommand: Record")}},
        CommandLine{"InvalidUtf8Word",
                    {"rec\xff"
                     "ord"},
                    {usageLine("unknown subcommand: rec\xef\xbf\xbd"
                               "ord")}},
        CommandLine{"RecordWithoutOutDir",
                    {"record", "--out-dir", "--force"},
                    {usageLine("record requires --out-dir <DIR>")}},
        CommandLine{"TranscribeWithoutAudio",
                    {"transcribe", "--locale", "en-US"},
                    {usageLine("transcribe requires --audio <PATH>")}},
        CommandLine{"TranscribeWithEmptyAudio",
                    {"transcribe", "--audio", "--locale", "en-US"},
                    {usageLine("transcribe requires --audio <PATH>")}},
        // "/" always exists; no recogniser is scripted, so the line names the locale used.
        CommandLine{"TranscribeLocaleDefault",
                    {"transcribe", "--audio", "/", "--locale"},
                    {"{\"code\":\"transcribe_failed\",\"event\":\"error\",\"message\":\"no "
                     "recognizer for locale ja-JP\"}"}},
        CommandLine{"TranscribeRelativePathStaysRelative",
                    {"transcribe", "--audio", "talk.wav"},
                    {"{\"code\":\"io_failed\",\"event\":\"error\",\"message\":\"audio file "
                     "not found: talk.wav\"}"}},
        CommandLine{"OutDirNotUtf8",
                    {"record", "--out-dir", "/rec/caf\xe9"},
                    {"{\"code\":\"io_failed\",\"event\":\"error\",\"message\":\"cannot create "
                     "out-dir: \\/rec\\/caf\xef\xbf\xbd: the name is not valid UTF-8\"}"}}),
    [](const ::testing::TestParamInfo<CommandLine>& info) { return std::string(info.param.name); });

TEST(RunMainRecord, TheLastOutDirWinsAndStrayWordsAreSkipped) {
  SimPlatform sim;
  sim.process.setArguments(
      {"zuno-recorder", "record", "junk", "--out-dir", "/a", "--out-dir", "/b", "extra"});
  sim.runtime.startWithClosedStdin();
  EXPECT_EQ(runMain(sim.platform()), 0);
  const auto lines = sim.runtime.stdoutLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(
      lines.front(),
      "{\"event\":\"started\",\"micPath\":\"\\/b\\/mic.m4a\",\"sysPath\":\"\\/b\\/system.m4a\"}");
  EXPECT_EQ(lines.back(), "{\"durationSec\":0,\"event\":\"stopped\"}");
  EXPECT_TRUE(sim.audioFiles.writtenFile("/b/mic.m4a")->completed);
}

}  // namespace
}  // namespace zuno
