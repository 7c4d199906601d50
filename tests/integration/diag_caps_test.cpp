#include <gtest/gtest.h>

#include <functional>

#include "integration/diag_support.h"

namespace zuno::testing {
namespace {

using platform::CaptureAuthorizationStatus;

std::string capsLine(const std::string& mic, bool systemAudio, const std::string& systemPermission,
                     const std::string& transcribe) {
  return "{\"event\":\"caps\",\"micPermission\":\"" + mic +
         "\",\"systemAudio\":" + (systemAudio ? "true" : "false") +
         ",\"systemAudioPermission\":\"" + systemPermission + "\",\"transcribe\":\"" + transcribe +
         "\"}";
}

struct CapsCase {
  const char* name;
  std::function<void(SimPlatform&)> script;
  std::string line;
  std::vector<std::string> recognizerCalls{"makeRecognizer(ja-JP)"};
  // The Japanese recogniser: none, or whether it works on the device.
  std::optional<bool> japaneseOnDevice = true;
};

class Caps : public ::testing::TestWithParam<CapsCase> {};

// Every answer is one exact line and status 0, and nothing is ever asked of the user: no
// permission request, no speech authorisation, no tap, no Apple event.
TEST_P(Caps, ReportsOneLineAndAsksNothing) {
  SimPlatform sim;
  sim.process.setOperatingSystemVersion({15, 0, 0});
  if (auto onDevice = GetParam().japaneseOnDevice) {
    sim.speechRecognizers.addRecognizer("ja-JP", *onDevice);
  }
  sim.speechRecognizers.addRecognizer("en-US");
  GetParam().script(sim);

  EXPECT_EQ(runWords(sim, {"caps", "--anything", "value"}), 0);
  EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{GetParam().line});
  EXPECT_EQ(sim.speechRecognizers.calls(), GetParam().recognizerCalls);
  EXPECT_EQ(sim.microphonePermission.requests(), 0);
  EXPECT_TRUE(sim.audioHardware.calls().empty());
  EXPECT_TRUE(sim.appleEvents.calls().empty());
  EXPECT_EQ(sim.runtime.stderrText(), "");
}

void version(SimPlatform& sim, int major, int minor, int patch) {
  sim.process.setOperatingSystemVersion({major, minor, patch});
}
void microphone(SimPlatform& sim, int status) {
  sim.microphonePermission.setStatus(static_cast<CaptureAuthorizationStatus>(status));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Caps,
    ::testing::Values(CapsCase{"Taps14_3_9", [](SimPlatform& s) { version(s, 14, 3, 9); },
                               capsLine("granted", false, "undetermined", "sfspeech")},
                      CapsCase{"Taps14_4_0", [](SimPlatform& s) { version(s, 14, 4, 0); },
                               capsLine("granted", true, "undetermined", "sfspeech")},
                      CapsCase{"Taps15_0", [](SimPlatform&) {},
                               capsLine("granted", true, "undetermined", "sfspeech")},
                      // The permission is reported where taps are missing too.
                      CapsCase{"Taps13_6",
                               [](SimPlatform& s) {
                                 version(s, 13, 6, 0);
                                 scriptPreflight<1>(s);
                               },
                               capsLine("granted", false, "denied", "sfspeech")},
                      CapsCase{"AnalyzerFrom26WithoutARecognizer",
                               [](SimPlatform& s) { version(s, 26, 0, 0); },
                               capsLine("granted", true, "undetermined", "speechanalyzer"),
                               {}},
                      CapsCase{"AnalyzerAfter26",
                               [](SimPlatform& s) { version(s, 27, 1, 0); },
                               capsLine("granted", true, "undetermined", "speechanalyzer"),
                               {}},
                      CapsCase{"JustBefore26", [](SimPlatform& s) { version(s, 25, 9, 9); },
                               capsLine("granted", true, "undetermined", "sfspeech")},
                      CapsCase{"NoJapaneseRecognizer",
                               [](SimPlatform&) {},
                               capsLine("granted", true, "undetermined", "none"),
                               {"makeRecognizer(ja-JP)"},
                               std::nullopt},
                      CapsCase{"ServerOnlyRecognizer",
                               [](SimPlatform&) {},
                               capsLine("granted", true, "undetermined", "none"),
                               {"makeRecognizer(ja-JP)"},
                               false},
                      CapsCase{"MicNotDetermined", [](SimPlatform& s) { microphone(s, 0); },
                               capsLine("undetermined", true, "undetermined", "sfspeech")},
                      CapsCase{"MicRestricted", [](SimPlatform& s) { microphone(s, 1); },
                               capsLine("denied", true, "undetermined", "sfspeech")},
                      CapsCase{"MicDenied", [](SimPlatform& s) { microphone(s, 2); },
                               capsLine("denied", true, "undetermined", "sfspeech")},
                      CapsCase{"MicUnknownStatus", [](SimPlatform& s) { microphone(s, 9); },
                               capsLine("undetermined", true, "undetermined", "sfspeech")},
                      CapsCase{"SystemAudioGranted", scriptPreflight<0>,
                               capsLine("granted", true, "granted", "sfspeech")},
                      CapsCase{"SystemAudioOtherAnswer", scriptPreflight<7>,
                               capsLine("granted", true, "undetermined", "sfspeech")}),
    [](const ::testing::TestParamInfo<CapsCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zuno::testing
