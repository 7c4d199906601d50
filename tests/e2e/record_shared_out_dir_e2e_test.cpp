#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

namespace zuno::e2e {
namespace {

std::string escapedSlashes(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

// Two recorders pointed at one directory: the second must not truncate or interleave with the
// tracks the first is writing; it is refused at setup and the first recording stays whole.
TEST(RecordIntoABusyOutDir, TheSecondRecorderIsRefusedAndTheFirstKeepsItsTracks) {
  PrivateAudioServer server;
  if (!server.running()) GTEST_SKIP() << "no private audio server could be started";
  const std::string outDir = server.directory() + "/shared";
  server.play("micsrc", 440, 6);

  RecorderProcess first(outDir);
  ASSERT_TRUE(first.waitFor("\"event\":\"started\"")) << first.output();
  RecorderProcess second(outDir);
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(second.output(),
            "{\"code\":\"mic_failed\",\"event\":\"error\",\"message\":\"mic setup failed: cannot "
            "open " +
                escapedSlashes(outDir) +
                "\\/mic.m4a for writing: it is being recorded by another process\"}\n");

  ASSERT_TRUE(first.waitFor("\"event\":\"tick\"", 8)) << first.output();
  first.send("stop\n");
  EXPECT_EQ(first.wait(), 0);
  const auto mic = inspectTrack(outDir + "/mic.m4a");
  ASSERT_TRUE(mic.readable);
  EXPECT_GT(mic.duration, 4.5);
  EXPECT_TRUE(inspectTrack(outDir + "/system.m4a").readable);

  // With the first recorder gone its lock is gone too: the next run replaces the tracks.
  RecorderProcess third(outDir);
  ASSERT_TRUE(third.waitFor("\"event\":\"started\"")) << third.output();
  third.send("stop\n");
  EXPECT_EQ(third.wait(), 0);
}

}  // namespace
}  // namespace zuno::e2e
