#include "linux/pulse_echo_canceller.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "linux/pulse_server_queries.h"
#include "linux/pulse_test_server.h"

namespace platform::linux_backend {
namespace {

using namespace std::chrono_literals;

// A process id that belonged to a process which has ended: a child that exits at once, reaped.
pid_t idOfAnEndedProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

class PulseEchoCancellerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_PULSEAUDIO();
    server = std::make_unique<PulseTestServer>();
    connection = PulseConnection::create();
    // Where the server has no echo canceller there is nothing to clean up.
    auto probe = loadModule(*connection, "module-echo-cancel",
                            "source_name=probe_ec sink_name=probe_ec_sink source_master=mic");
    if (!probe) GTEST_SKIP() << probe.error().description;
    ASSERT_FALSE(unloadModule(*connection, *probe).has_value());
  }

  void TearDown() override {
    // A frozen server would not stop.
    if (serverFrozen) signalServer(SIGCONT);
  }

  // Loads a canceller named as the recorder names its own, for the process `owner`.
  void loadCancellerNamedFor(const std::string& owner) {
    const auto loaded = loadModule(*connection, "module-echo-cancel",
                                   "source_name=zuno_ec_source_" + owner +
                                       " sink_name=zuno_ec_sink_" + owner + " source_master=mic");
    ASSERT_TRUE(static_cast<bool>(loaded)) << loaded.error().description;
  }

  // The source names of every echo canceller on the server, from pactl's own listing.
  std::vector<std::string> cancellerSources() {
    std::vector<std::string> sources;
    std::istringstream lines(server->pactl("list short modules"));
    for (std::string line; std::getline(lines, line);) {
      if (line.find("module-echo-cancel") == std::string::npos) continue;
      const auto at = line.find("source_name=");
      const auto end = line.find_first_of(" \t", at);
      sources.push_back(line.substr(at + 12, end == std::string::npos ? end : end - at - 12));
    }
    // Servers list modules in different orders.
    std::sort(sources.begin(), sources.end());
    return sources;
  }

  // Sends `signal` to every process of the server; false when none was found.
  bool signalServer(int signal) {
    std::ifstream pids(server->directory() + "/server.pids");
    bool sent = false;
    for (pid_t pid = 0; pids >> pid;) {
      // Never 0 or -1: those would reach this test's own process group or everything.
      if (pid > 1 && ::kill(pid, signal) == 0) sent = true;
    }
    return sent;
  }

  std::unique_ptr<PulseTestServer> server;
  std::shared_ptr<PulseConnection> connection;
  bool serverFrozen = false;
};

TEST_F(PulseEchoCancellerTest, EnablingRemovesOnlyTheCancellersOfEndedRunsAndDisablingItsOwn) {
  const std::string ended = std::to_string(idOfAnEndedProcess());
  // The parent of this test outlives it: a recorder still running.
  const std::string running = std::to_string(::getppid());
  const std::string self = std::to_string(::getpid());
  loadCancellerNamedFor(ended);
  loadCancellerNamedFor(running);
  ASSERT_TRUE(static_cast<bool>(loadModule(*connection, "module-echo-cancel",
                                           "source_name=someone_elses_ec "
                                           "sink_name=someone_elses_sink source_master=mic")));

  PulseEchoCanceller canceller(connection);
  ASSERT_FALSE(canceller.enable().has_value());
  EXPECT_EQ(canceller.sourceName(), "zuno_ec_source_" + self);
  std::vector<std::string> expected{"someone_elses_ec", "zuno_ec_source_" + running,
                                    "zuno_ec_source_" + self};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(cancellerSources(), expected);

  ASSERT_FALSE(canceller.disable().has_value());
  EXPECT_FALSE(canceller.enabled());
  EXPECT_EQ(cancellerSources(),
            (std::vector<std::string>{"someone_elses_ec", "zuno_ec_source_" + running}));
}

TEST_F(PulseEchoCancellerTest, DisablingGivesUpWithinASecondOnAServerThatStoppedAnswering) {
  PulseEchoCanceller canceller(connection);
  ASSERT_FALSE(canceller.enable().has_value());
  serverFrozen = true;
  ASSERT_TRUE(signalServer(SIGSTOP));

  const auto before = std::chrono::steady_clock::now();
  const MaybeError error = canceller.disable();
  const auto took = std::chrono::steady_clock::now() - before;
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->description.find("no answer in time"), std::string::npos) << error->description;
  EXPECT_LT(took, 1500ms);

  // Once the server answers again, disabling again finishes the job.
  ASSERT_TRUE(signalServer(SIGCONT));
  serverFrozen = false;
  EXPECT_FALSE(canceller.disable().has_value());
  EXPECT_TRUE(cancellerSources().empty());
}

}  // namespace
}  // namespace platform::linux_backend
