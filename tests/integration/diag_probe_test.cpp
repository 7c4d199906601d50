#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "integration/diag_support.h"

namespace zuno::testing {
namespace {

using namespace std::chrono_literals;
using platform::CaptureAuthorizationStatus;
using ::testing::ElementsAre;
using Script = std::function<void(SimPlatform&)>;

Script mic(CaptureAuthorizationStatus status, bool answer) {
  return [=](SimPlatform& s) {
    s.microphonePermission.setStatus(status);
    s.microphonePermission.setRequestAnswer(answer);
  };
}
Script preflight(
    std::int32_t answer, Script more = [](SimPlatform&) {}) {
  return [=](SimPlatform& s) {
    scriptPreflight(s, answer);
    more(s);
  };
}
// Asking and only checking answer alike here; which one was used is checked below.
Script automation(platform::OSStatus status) {
  return [=](SimPlatform& s) { s.appleEvents.setPermissionStatus(status, status); };
}

std::string permission(const std::string& word) {
  return R"({"event":"probe","permission":")" + word + "\"}";
}
const std::string kUsage = usageLine("probe requires <mic|system|automation>");
const std::string kBundleUsage = usageLine("probe automation requires --bundle <BUNDLE_ID>");

// Every kind answers with one line, status 0; only usage errors end with status 1.
TEST(Probe, AnswersWithOneLine) {
  const std::vector<std::string> chrome{"probe", "automation", "--bundle", "com.google.Chrome"};
  const struct {
    std::vector<std::string> words;
    Script script;
    std::string line;
  } cases[] = {
      {{"probe", "mic"},
       mic(CaptureAuthorizationStatus::notDetermined, true),
       permission("granted")},
      {{"probe", "mic"},
       mic(CaptureAuthorizationStatus::notDetermined, false),
       permission("denied")},
      {{"probe", "mic"}, mic(CaptureAuthorizationStatus::restricted, false), permission("denied")},
      {{"probe", "system"}, preflight(0), permission("granted")},
      {{"probe", "system"}, preflight(1), permission("denied")},
      {{"probe", "system"}, preflight(2), permission("undetermined")},
      {{"probe", "system"}, [](SimPlatform&) {}, permission("undetermined")},
      // A tap that cannot be made or started is no error: the preflight still answers.
      {{"probe", "system"},
       preflight(1, [](SimPlatform& s) { s.audioHardware.scriptProcessTap(-50, 0); }),
       permission("denied")},
      {{"probe", "system"},
       preflight(0, [](SimPlatform& s) { s.audioHardware.scriptDeviceStart(-66); }),
       permission("granted")},
      {chrome, automation(0), permission("granted")},
      {chrome, automation(platform::errAEEventNotPermitted), permission("denied")},
      {chrome, automation(platform::errAEEventWouldRequireUserConsent), permission("undetermined")},
      {chrome, automation(platform::procNotFound), permission("undetermined")},
      {chrome, automation(1), permission("undetermined")},
      {chrome, [](SimPlatform& s) { s.appleEvents.refuseTarget("com.google.Chrome"); },
       permission("undetermined")},
      {{"probe", "automation", "--bundle", "--check-only"}, {}, kBundleUsage},
      {{"probe", "automation"}, {}, kBundleUsage},
      {{"probe", "Mic"}, {}, kUsage},
      {{"probe"}, {}, kUsage},
      {{"probe", "--check-only", "mic"}, {}, kUsage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words) + " " + c.line);
    SimPlatform sim;
    if (c.script) c.script(sim);
    const bool usage = c.line.find("usage") != std::string::npos;
    EXPECT_EQ(runWords(sim, c.words), usage ? 1 : 0);
    EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{c.line});
    EXPECT_EQ(sim.runtime.stderrText(), "");
  }
}

SimPlatform* probed = nullptr;
std::vector<std::string> hardwareAtPreflight;
platform::Duration timeAtPreflight{};

// The tap runs half a second and is gone before the answer, which the exit would not do.
TEST(ProbeSystem, RunsATapForHalfASecondAndTearsItDownBeforeAnswering) {
  SimPlatform sim;
  probed = &sim;
  const std::string library = "/System/Library/PrivateFrameworks/TCC.framework/Versions/A/TCC";
  sim.loader.addLibrary(library);
  sim.loader.addSymbol(library, "TCCAccessPreflight",
                       reinterpret_cast<void*>(+[](const void*, const void*) -> std::int32_t {
                         hardwareAtPreflight = probed->audioHardware.calls();
                         timeAtPreflight = probed->runtime.now();
                         return 0;
                       }));
  EXPECT_EQ(runWords(sim, {"probe", "system"}), 0);
  EXPECT_THAT(hardwareAtPreflight,
              ElementsAre("createProcessTap", "getPropertyData tfmt 100", "createAggregateDevice",
                          "createIOProcIDWithBlock 200", "deviceStart 200 300",
                          "deviceStop 200 300", "destroyIOProcID 200 300",
                          "destroyAggregateDevice 200", "destroyProcessTap 100"));
  EXPECT_EQ(timeAtPreflight, platform::Duration(500ms));
  probed = nullptr;
}

// Before process taps existed nothing is tried: no tap, not even the preflight.
TEST(ProbeSystem, BeforeTapsExistTriesNothing) {
  SimPlatform sim;
  sim.process.setOperatingSystemVersion({14, 3, 9});
  scriptPreflight(sim, 0);
  EXPECT_EQ(runWords(sim, {"probe", "system"}), 0);
  EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{permission("undetermined")});
  EXPECT_TRUE(sim.audioHardware.calls().empty());
  EXPECT_TRUE(sim.loader.calls().empty());
}

// Asking is the default; check-only with any value, the empty one included, only checks.
TEST(ProbeAutomation, AsksUnlessCheckOnlyIsGiven) {
  const struct {
    std::vector<std::string> extraWords;
    const char* ask;
  } cases[] = {{{}, "true"}, {{"--check-only"}, "false"}, {{"--check-only", "no"}, "false"}};
  for (const auto& c : cases) {
    SimPlatform sim;
    std::vector<std::string> words{"probe", "automation", "--bundle", "com.google.Chrome"};
    words.insert(words.end(), c.extraWords.begin(), c.extraWords.end());
    EXPECT_EQ(runWords(sim, words), 0);
    EXPECT_THAT(
        sim.appleEvents.calls(),
        ElementsAre(
            "targetDescriptor(com.google.Chrome)",
            std::string("determinePermission(com.google.Chrome, ****, ****, ask: ") + c.ask + ")"));
  }
}

}  // namespace
}  // namespace zuno::testing
