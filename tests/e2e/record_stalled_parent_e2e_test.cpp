#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "e2e/e2e_support.h"
#include "e2e/full_pipe_recorder.h"

namespace zuno::e2e {
namespace {

// How many capture streams the audio server has from process `pid`.
int captureStreamsOf(PrivateAudioServer& server, int pid) {
  const std::string listing = server.pactl("list source-outputs");
  const std::string tag = "application.process.id = \"" + std::to_string(pid) + "\"";
  int count = 0;
  for (auto at = listing.find(tag); at != std::string::npos; at = listing.find(tag, at + 1)) {
    ++count;
  }
  return count;
}

std::string lastLine(const std::string& output) {
  if (output.empty() || output.back() != '\n') return "(no whole last line) " + output;
  const auto start = output.rfind('\n', output.size() - 2);
  return output.substr(start == std::string::npos ? 0 : start + 1);
}

struct StallCase {
  const char* name;
  bool bySignal;     // SIGTERM rather than "stop" on standard input
  bool parentReads;  // the parent reads again once the recorder has completed its files
};

// The parent fills the recorder's standard output before it starts and reads nothing while it
// records: the recorder must still take "stop" or SIGTERM, complete both files and end, and a
// parent that reads again in time still gets "stopped" as the last line.
TEST(RecordBehindAStalledParent, StopsCompletesBothFilesAndEnds) {
  const StallCase cases[] = {
      {"stop, the parent reads again", false, true},
      {"SIGTERM, the parent reads again", true, true},
      {"stop, the parent never reads again", false, false},
  };
  PrivateAudioServer server;
  if (!server.running()) GTEST_SKIP() << "no private audio server could be started";
  const std::string outDir = server.directory() + "/recording";
  const std::string mic = outDir + "/mic.m4a";
  const std::string system = outDir + "/system.m4a";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(outDir);

    RecorderBehindFullPipe recorder(outDir);
    ASSERT_TRUE(recorder.running()) << "the full pipe could not be set up";
    // Recording: both capture streams on the server and the stop signals handled, all while
    // every line the recorder writes is still waiting for the pipe.
    ASSERT_TRUE(waitUntil(
        [&] { return captureStreamsOf(server, recorder.pid()) == 2 && recorder.catches(SIGTERM); },
        secondsFromNow(20)))
        << "the recorder did not get to record";

    if (c.bySignal) {
      recorder.signal(SIGTERM);
    } else {
      recorder.send("stop\n");
    }
    EXPECT_TRUE(waitUntil([&] { return trackFileCompleted(mic) && trackFileCompleted(system); },
                          secondsFromNow(10)))
        << "the files were not completed while the parent read nothing";

    if (c.parentReads) {
      EXPECT_TRUE(recorder.readToEnd(secondsFromNow(10)));
    }
    const auto status = recorder.waitForExit(secondsFromNow(10));
    ASSERT_TRUE(status.has_value()) << "still running with its standard output unread";
    EXPECT_EQ(*status, 0);

    if (c.parentReads) {
      EXPECT_TRUE(recorder.fillerIntact());
      const std::string output = recorder.output();
      EXPECT_EQ(output.rfind("{\"event\":\"started\"", 0), 0u) << output;
      EXPECT_NE(lastLine(output).find("\"event\":\"stopped\""), std::string::npos) << output;
    }
    for (const auto& path : {mic, system}) {
      const auto facts = inspectTrack(path);
      EXPECT_TRUE(facts.readable) << path;
      EXPECT_EQ(facts.codec, "aac") << path;
      EXPECT_EQ(facts.channels, 1) << path;
    }
  }
}

}  // namespace
}  // namespace zuno::e2e
