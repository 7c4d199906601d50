#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "sim/sim_runtime.h"

namespace platform::sim {
namespace {

using namespace std::chrono_literals;

TEST(SimRuntimeSignals, DefaultActionEndsTheProcessWithTheSignalStatus) {
  SimRuntime runtime;
  EXPECT_EQ(runToExit([&] { runtime.raiseSignal(SIGTERM); }), 128 + SIGTERM);
  EXPECT_EQ(runtime.exitStatus(), 128 + SIGTERM);
  EXPECT_EQ(runtime.exitSignal(), SIGTERM);
}

TEST(SimRuntimeSignals, IgnoredSignalDoesNothing) {
  SimRuntime runtime;
  runtime.ignoreSignal(SIGINT);
  EXPECT_TRUE(runtime.isSignalIgnored(SIGINT));
  EXPECT_FALSE(runtime.isSignalIgnored(SIGTERM));
  EXPECT_EQ(runToExit([&] { runtime.raiseSignal(SIGINT); }), std::nullopt);
  EXPECT_EQ(runtime.exitStatus(), std::nullopt);
}

TEST(SimRuntimeSignals, SourceHandlerIsQueuedOnItsQueueAndRaisesCoalesce) {
  SimRuntime runtime;
  auto queue = runtime.makeSerialQueue("signals");
  auto source = runtime.makeSignalSource(SIGTERM, *queue);
  int handled = 0;
  source->setHandler([&] { ++handled; });
  source->resume();
  EXPECT_TRUE(runtime.hasSignalSource(SIGTERM));
  runtime.raiseSignal(SIGTERM);
  runtime.raiseSignal(SIGTERM);
  EXPECT_EQ(handled, 0);  // delivered through the queue, not on the raiser's stack
  runtime.runUntilIdle();
  EXPECT_EQ(handled, 1);
  runtime.raiseSignal(SIGTERM);
  runtime.runUntilIdle();
  EXPECT_EQ(handled, 2);
}

TEST(SimRuntimeSignals, SuspendedOrCancelledSourceLeavesTheDefaultAction) {
  SimRuntime runtime;
  auto source = runtime.makeSignalSource(SIGINT, runtime.mainQueue());
  source->setHandler([] { FAIL() << "handler of an unresumed source ran"; });
  EXPECT_EQ(runToExit([&] { runtime.raiseSignal(SIGINT); }), 128 + SIGINT);

  SimRuntime second;
  auto cancelled = second.makeSignalSource(SIGINT, second.mainQueue());
  cancelled->setHandler([] { FAIL() << "handler of a cancelled source ran"; });
  cancelled->resume();
  cancelled->cancel();
  EXPECT_FALSE(second.hasSignalSource(SIGINT));
  EXPECT_EQ(runToExit([&] { second.raiseSignal(SIGINT); }), 128 + SIGINT);
}

TEST(SimRuntimeSignals, CancelAfterRaiseDropsTheQueuedDelivery) {
  SimRuntime runtime;
  auto source = runtime.makeSignalSource(SIGTERM, runtime.mainQueue());
  source->setHandler([] { FAIL() << "ran after cancel"; });
  source->resume();
  runtime.raiseSignal(SIGTERM);
  source->cancel();
  runtime.runUntilIdle();
}

struct StdinReader {
  explicit StdinReader(SimRuntime& runtime) : runtime(runtime) {
    source = runtime.makeStandardInputSource(runtime.mainQueue());
    source->setHandler([this] {
      const StandardInputRead read = this->runtime.standardInput().readAvailable();
      reads.push_back(read.bytes + (read.ended ? "<end>" : ""));
    });
  }
  SimRuntime& runtime;
  std::shared_ptr<Source> source;
  std::vector<std::string> reads;
};

TEST(SimRuntimeStdin, ChunksFedBeforeTheHandlerRunsAreReadTogether) {
  SimRuntime runtime;
  StdinReader reader(runtime);
  reader.source->resume();
  runtime.runUntilIdle();
  EXPECT_TRUE(reader.reads.empty());  // nothing readable yet
  runtime.feedStdin("{\"command\":");
  runtime.feedStdin("\"stop\"}\n");
  runtime.runUntilIdle();
  runtime.feedStdin("x\n");
  runtime.runUntilIdle();
  EXPECT_EQ(reader.reads, (std::vector<std::string>{"{\"command\":\"stop\"}\n", "x\n"}));
}

TEST(SimRuntimeStdin, EndOfFileFiresOnceAndReadsEmpty) {
  SimRuntime runtime;
  StdinReader reader(runtime);
  reader.source->resume();
  runtime.feedStdin("tail");
  runtime.closeStdin();
  runtime.runUntilIdle();
  runtime.advanceBy(1s);
  EXPECT_EQ(reader.reads, (std::vector<std::string>{"tail<end>"}));
  runtime.closeStdin();
  runtime.runUntilIdle();
  EXPECT_EQ(reader.reads, (std::vector<std::string>{"tail<end>", "<end>"}));
}

TEST(SimRuntimeStdin, ResumeFiresForInputThatArrivedEarlier) {
  SimRuntime runtime;
  StdinReader reader(runtime);
  runtime.feedStdin("early");
  runtime.runUntilIdle();
  EXPECT_TRUE(reader.reads.empty());
  reader.source->resume();
  runtime.runUntilIdle();
  EXPECT_EQ(reader.reads, (std::vector<std::string>{"early"}));
}

TEST(SimRuntimeStdin, EmptyFileReadsEndOfFileAtResumeAndCancelledSourceStaysQuiet) {
  SimRuntime runtime;
  runtime.startWithClosedStdin();
  StdinReader reader(runtime);
  reader.source->resume();
  runtime.runUntilIdle();
  EXPECT_EQ(reader.reads, (std::vector<std::string>{"<end>"}));

  SimRuntime second;
  StdinReader cancelled(second);
  cancelled.source->resume();
  cancelled.source->cancel();
  second.feedStdin("ignored");
  second.runUntilIdle();
  EXPECT_TRUE(cancelled.reads.empty());
}

TEST(SimRuntimeStreams, WritesAreCapturedWholeAndSplitIntoLines) {
  SimRuntime runtime;
  EXPECT_TRUE(runtime.standardOutput().writeAll("{\"event\":\"ready\"}\n"));
  EXPECT_TRUE(runtime.standardOutput().writeAll("a\n\nb"));
  EXPECT_TRUE(runtime.standardError().writeAll("diagnostic\n"));
  EXPECT_EQ(runtime.stdoutWrites(),
            (std::vector<std::string>{"{\"event\":\"ready\"}\n", "a\n\nb"}));
  EXPECT_EQ(runtime.stdoutText(), "{\"event\":\"ready\"}\na\n\nb");
  EXPECT_EQ(runtime.stdoutLines(),
            (std::vector<std::string>{"{\"event\":\"ready\"}", "a", "", "b"}));
  EXPECT_EQ(runtime.stderrLines(), (std::vector<std::string>{"diagnostic"}));
}

TEST(SimRuntimeStreams, BrokenStdoutRefusesWrites) {
  SimRuntime runtime;
  runtime.setStdoutBroken(true);
  EXPECT_FALSE(runtime.standardOutput().writeAll("lost\n"));
  EXPECT_TRUE(runtime.standardError().writeAll("still here\n"));
  EXPECT_TRUE(runtime.stdoutWrites().empty());
  EXPECT_EQ(runtime.refusedStdoutWrites(), 1u);
  runtime.setStdoutBroken(false);
  EXPECT_TRUE(runtime.standardOutput().writeAll("back\n"));
  EXPECT_EQ(runtime.stdoutLines(), (std::vector<std::string>{"back"}));
}

TEST(SimRuntimeStreams, BrokenPipeSignalKillsUnlessIgnored) {
  SimRuntime runtime;
  runtime.setBrokenStreamsRaiseSigpipe(true);
  runtime.setStdoutBroken(true);
  EXPECT_EQ(runToExit([&] { runtime.standardOutput().writeAll("x\n"); }), 128 + SIGPIPE);

  SimRuntime careful;
  careful.setBrokenStreamsRaiseSigpipe(true);
  careful.ignoreSignal(SIGPIPE);
  careful.setStdoutBroken(true);
  bool written = true;
  EXPECT_EQ(runToExit([&] { written = careful.standardOutput().writeAll("x\n"); }), std::nullopt);
  EXPECT_FALSE(written);
}

}  // namespace
}  // namespace platform::sim
