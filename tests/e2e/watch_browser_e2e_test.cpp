#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "e2e/browser_harness.h"
#include "e2e/e2e_support.h"
#include "e2e/page_server.h"
#include "e2e/record_stream_log.h"
#include "e2e/watch_e2e_support.h"

namespace zuno::e2e {
namespace {

struct BrowserCase {
  const char* name;
  BrowserKind kind;
  // What watch reports the distribution's build as.
  const char* bundleId;
};

// Failures name the case, not its bytes.
void PrintTo(const BrowserCase& browserCase, std::ostream* out) {
  *out << browserCase.name;
}

const BrowserCase kBrowsers[] = {
    {"chromium", BrowserKind::kChromium, "chromium"},
    {"firefox_esr", BrowserKind::kFirefoxEsr, "firefox-esr"},
};

std::string startedLine(const std::string& bundleId) {
  return "{\"app\":\"browser\",\"bundleId\":\"" + bundleId +
         "\",\"event\":\"call_started\",\"label\":\"ブラウザでの通話\"}";
}
const std::string kEnded = "{\"app\":\"browser\",\"event\":\"call_ended\"}";

using Streams = std::vector<RecordStreamLog::Stream>;

bool allRemoved(const Streams& streams) {
  return !streams.empty() && std::all_of(streams.begin(), streams.end(),
                                         [](const auto& stream) { return stream.removedAt; });
}

class WatchInRealBrowsers : public ::testing::TestWithParam<BrowserCase> {
 protected:
  void SetUp() override {
    if (!server.running()) GTEST_SKIP() << "no private audio server could be started";
  }
  PrivateAudioServer server;
};

// A page captures the default microphone until the test says stop. The capture's start and
// stop are the server's: the creation of the browser's first record stream and the removal of
// its last, so however long the browser takes to start, or to close its stream once the page
// stopped its tracks, the windows hold from what watch itself could see.
TEST_P(WatchInRealBrowsers, ACaptureInAPageIsABrowserCall) {
  const BrowserCase& browserCase = GetParam();
  const std::string binary = HeadlessBrowser::binaryOf(browserCase.kind);
  ASSERT_EQ(::access(binary.c_str(), X_OK), 0) << binary << " is not installed";
  PageServer pages(ZUNO_SOURCE_DIR "/tests/e2e/pages");
  ASSERT_TRUE(pages.running());
  RecordStreamLog streams;
  ASSERT_TRUE(streams.ready()) << "cannot follow the audio server's streams";
  WatchProcess watch(server.directory() + "/watch.err");
  HeadlessBrowser browser(browserCase.kind, pages.url("capture.html"));
  ASSERT_TRUE(browser.started()) << browser.error();
  const int session = browser.session();
  const auto diagnostics = [&] {
    return "page said: capturing=" + pages.report("capturing").value_or("-") +
           " stopped=" + pages.report("stopped").value_or("-") +
           " error=" + pages.report("error").value_or("-") + "\nrequests:\n" + pages.requestLog() +
           streams.describe() + "watch's standard error:\n" + watch.standardError() +
           "browser's log:\n" + browser.log();
  };

  ASSERT_TRUE(streams.waitUntil(
      session, [](const Streams& s) { return !s.empty(); }, 30))
      << "the browser never recorded from the server\n"
      << diagnostics();
  const auto captureStarted = streams.streamsOfSession(session).front().createdAt;
  const auto started = watch.waitFor("call_started", 30);
  ASSERT_TRUE(started) << diagnostics();
  // Still capturing: no stream of the browser went before the page was told to stop.
  EXPECT_FALSE(allRemoved(streams.streamsOfSession(session))) << diagnostics();

  pages.release("stop");
  ASSERT_TRUE(pages.waitForReport("stopped", 10)) << diagnostics();
  ASSERT_TRUE(streams.waitUntil(session, allRemoved, 10))
      << "the browser kept recording after the page stopped its tracks\n"
      << diagnostics();
  const Streams all = streams.streamsOfSession(session);
  const auto captureStopped =
      *std::max_element(all.begin(), all.end(), [](const auto& a, const auto& b) {
         return *a.removedAt < *b.removedAt;
       })->removedAt;
  const auto ended = watch.waitFor("call_ended", 15);
  ASSERT_TRUE(ended) << diagnostics();

  const double startDelay = secondsBetween(captureStarted, *started);
  const double endDelay = secondsBetween(captureStopped, *ended);
  std::cout << "[ measured ] " << browserCase.name << ": " << all.size()
            << " record stream(s); call_started " << startDelay
            << " s after the capture started, call_ended " << endDelay << " s after it stopped\n";
  // How the browser presents itself to the server, which is all watch can go by.
  for (const auto& client : streams.clientsOfSession(session)) {
    std::cout << "[ client   ] #" << client.index << "\n" << client.properties << "\n";
  }
  for (const auto& stream : all) {
    std::cout << "[ stream   ] #" << stream.index << "\n" << stream.properties << "\n";
  }
  EXPECT_GE(startDelay, 1.0);
  EXPECT_LE(startDelay, 2.5);
  EXPECT_GE(endDelay, 5.0);
  EXPECT_LE(endDelay, 7.0);

  EXPECT_EQ(watch.endWith(SIGTERM), 0);
  std::vector<std::string> lines;
  for (const auto& line : watch.lines()) lines.push_back(line.text);
  EXPECT_EQ(lines, (std::vector<std::string>{startedLine(browserCase.bundleId), kEnded}))
      << diagnostics();
  EXPECT_TRUE(browser.stop()) << "the browser had to be killed\n" << browser.log();
  EXPECT_TRUE(browser.processes().empty());
}

INSTANTIATE_TEST_SUITE_P(Browsers, WatchInRealBrowsers, ::testing::ValuesIn(kBrowsers),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zuno::e2e
