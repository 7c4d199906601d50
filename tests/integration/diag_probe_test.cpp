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

std::string probeLine(const std::string& permission) {
  return "{\"event\":\"probe\",\"permission\":\"" + permission + "\"}";
}

struct ProbeCase {
  const char* name;
  std::vector<std::string> words;
  std::function<void(SimPlatform&)> script;
  std::string line;
  int status = 0;
};

class Probe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Probe, AnswersWithOneLine) {
  SimPlatform sim;
  GetParam().script(sim);
  EXPECT_EQ(runWords(sim, GetParam().words), GetParam().status);
  EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{GetParam().line});
  EXPECT_EQ(sim.runtime.stderrText(), "");
}

void micAnswers(SimPlatform& sim, CaptureAuthorizationStatus status, bool answer) {
  sim.microphonePermission.setStatus(status);
  sim.microphonePermission.setRequestAnswer(answer);
}
void automation(SimPlatform& sim, platform::OSStatus status) {
  sim.appleEvents.setPermissionStatus(status, status);
}
const std::string kProbeUsage = usageLine("probe requires <mic|system|automation>");
const std::string kAutomationUsage = usageLine("probe automation requires --bundle <BUNDLE_ID>");

INSTANTIATE_TEST_SUITE_P(
    Kinds, Probe,
    ::testing::Values(
        ProbeCase{
            "MicGrantedByTheUser",
            {"probe", "mic"},
            [](SimPlatform& s) { micAnswers(s, CaptureAuthorizationStatus::notDetermined, true); },
            probeLine("granted")},
        ProbeCase{
            "MicRefusedByTheUser",
            {"probe", "mic"},
            [](SimPlatform& s) { micAnswers(s, CaptureAuthorizationStatus::notDetermined, false); },
            probeLine("denied")},
        ProbeCase{
            "MicRestricted",
            {"probe", "mic"},
            [](SimPlatform& s) { micAnswers(s, CaptureAuthorizationStatus::restricted, false); },
            probeLine("denied")},
        ProbeCase{"SystemGranted", {"probe", "system"}, scriptPreflight<0>, probeLine("granted")},
        ProbeCase{"SystemDenied", {"probe", "system"}, scriptPreflight<1>, probeLine("denied")},
        ProbeCase{"SystemWithoutPrivacyService",
                  {"probe", "system"},
                  [](SimPlatform&) {},
                  probeLine("undetermined")},
        // A tap that cannot be made or started is no error: the preflight still answers.
        ProbeCase{"SystemTapRefused",
                  {"probe", "system"},
                  [](SimPlatform& s) {
                    scriptPreflight<1>(s);
                    s.audioHardware.scriptProcessTap(-50, 0);
                  },
                  probeLine("denied")},
        ProbeCase{"SystemTapWillNotStart",
                  {"probe", "system"},
                  [](SimPlatform& s) {
                    scriptPreflight<0>(s);
                    s.audioHardware.scriptDeviceStart(-66);
                  },
                  probeLine("granted")},
        ProbeCase{"AutomationGranted",
                  {"probe", "automation", "--bundle", "com.google.Chrome"},
                  [](SimPlatform& s) { automation(s, 0); },
                  probeLine("granted")},
        ProbeCase{"AutomationDenied",
                  {"probe", "automation", "--bundle", "com.google.Chrome"},
                  [](SimPlatform& s) { automation(s, platform::errAEEventNotPermitted); },
                  probeLine("denied")},
        ProbeCase{
            "AutomationOpenDecision",
            {"probe", "automation", "--bundle", "com.google.Chrome"},
            [](SimPlatform& s) { automation(s, platform::errAEEventWouldRequireUserConsent); },
            probeLine("undetermined")},
        ProbeCase{"AutomationNotRunning",
                  {"probe", "automation", "--bundle", "com.google.Chrome"},
                  [](SimPlatform& s) { automation(s, platform::procNotFound); },
                  probeLine("undetermined")},
        ProbeCase{"AutomationOtherStatus",
                  {"probe", "automation", "--bundle", "com.google.Chrome"},
                  [](SimPlatform& s) { automation(s, 1); },
                  probeLine("undetermined")},
        ProbeCase{"AutomationNoTarget",
                  {"probe", "automation", "--bundle", "com.google.Chrome"},
                  [](SimPlatform& s) { s.appleEvents.refuseTarget("com.google.Chrome"); },
                  probeLine("undetermined")},
        ProbeCase{"AutomationEmptyBundle",
                  {"probe", "automation", "--bundle", "--check-only"},
                  [](SimPlatform&) {},
                  kAutomationUsage,
                  1},
        ProbeCase{"AutomationNoBundle",
                  {"probe", "automation"},
                  [](SimPlatform&) {},
                  kAutomationUsage,
                  1},
        ProbeCase{"KindCapitalised", {"probe", "Mic"}, [](SimPlatform&) {}, kProbeUsage, 1},
        ProbeCase{"NoKind", {"probe"}, [](SimPlatform&) {}, kProbeUsage, 1},
        ProbeCase{"OptionBeforeKind",
                  {"probe", "--check-only", "mic"},
                  [](SimPlatform&) {},
                  kProbeUsage,
                  1}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

// What the preflight saw of the hardware when it was asked.
std::vector<std::string> hardwareAtPreflight;
platform::Duration timeAtPreflight{};
SimPlatform* probed = nullptr;

TEST(ProbeSystem, RunsATapForHalfASecondAndTearsItDownBeforeAnswering) {
  SimPlatform sim;
  probed = &sim;
  sim.loader.addLibrary(kPrivacyLibrary);
  sim.loader.addSymbol(kPrivacyLibrary, "TCCAccessPreflight",
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

// Before process taps existed there is nothing to try: no tap, not even the preflight.
TEST(ProbeSystem, BeforeTapsExistTriesNothing) {
  SimPlatform sim;
  sim.process.setOperatingSystemVersion({14, 3, 9});
  scriptPreflight<0>(sim);
  EXPECT_EQ(runWords(sim, {"probe", "system"}), 0);
  EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{probeLine("undetermined")});
  EXPECT_TRUE(sim.audioHardware.calls().empty());
  EXPECT_TRUE(sim.loader.calls().empty());
}

// Asking is the default; any value of check-only, the empty one included, only checks.
TEST(ProbeAutomation, AsksUnlessCheckOnlyIsGiven) {
  const struct {
    std::vector<std::string> words;
    const char* call;
  } cases[] = {
      {{"probe", "automation", "--bundle", "com.google.Chrome"},
       "determinePermission(com.google.Chrome, ****, ****, ask: true)"},
      {{"probe", "automation", "--bundle", "com.google.Chrome", "--check-only"},
       "determinePermission(com.google.Chrome, ****, ****, ask: false)"},
      {{"probe", "automation", "--check-only", "no", "--bundle", "com.google.Chrome"},
       "determinePermission(com.google.Chrome, ****, ****, ask: false)"},
  };
  for (const auto& c : cases) {
    SimPlatform sim;
    EXPECT_EQ(runWords(sim, c.words), 0);
    EXPECT_THAT(sim.appleEvents.calls(),
                ElementsAre("targetDescriptor(com.google.Chrome)", c.call));
  }
  SimPlatform unaddressable;
  unaddressable.appleEvents.refuseTarget("com.google.Chrome");
  EXPECT_EQ(runWords(unaddressable, cases[0].words), 0);
  EXPECT_THAT(unaddressable.appleEvents.calls(),
              ElementsAre("targetDescriptor(com.google.Chrome)"));
}

}  // namespace
}  // namespace zuno::testing
