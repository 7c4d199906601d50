#include <gtest/gtest.h>

#include "integration/diag_support.h"

namespace zuno::testing {
namespace {

using platform::CaptureAuthorizationStatus;

// One exact line (keys in order, "systemAudio" a JSON boolean) and status 0 for every answer,
// and nothing is ever asked: no permission request, no speech authorisation, no tap, no Apple
// event; from 26 on not even a recogniser is made.
TEST(Caps, ReportsOneLineAndAsksNothing) {
  const struct {
    platform::OperatingSystemVersion version;
    int micStatus;                 // the microphone's authorisation status
    std::optional<int> preflight;  // none: no privacy service
    std::optional<bool> japanese;  // the ja-JP recogniser: none, or whether it works on device
    const char* mic;               // the line's words from here on
    bool systemAudio;
    const char* systemAudioPermission;
    const char* transcribe;
  } cases[] = {
      {{14, 3, 9}, 3, {}, true, "granted", false, "undetermined", "sfspeech"},
      {{14, 4, 0}, 3, {}, true, "granted", true, "undetermined", "sfspeech"},
      {{15, 0, 0}, 3, 0, true, "granted", true, "granted", "sfspeech"},
      {{13, 6, 0}, 3, 1, true, "granted", false, "denied", "sfspeech"},
      {{15, 0, 0}, 3, 7, true, "granted", true, "undetermined", "sfspeech"},
      {{26, 0, 0}, 3, {}, true, "granted", true, "undetermined", "speechanalyzer"},
      {{25, 9, 9}, 3, {}, {}, "granted", true, "undetermined", "none"},
      {{15, 0, 0}, 3, {}, false, "granted", true, "undetermined", "none"},
      {{15, 0, 0}, 0, {}, true, "undetermined", true, "undetermined", "sfspeech"},
      {{15, 0, 0}, 1, {}, true, "denied", true, "undetermined", "sfspeech"},
      {{15, 0, 0}, 2, {}, true, "denied", true, "undetermined", "sfspeech"},
      {{15, 0, 0}, 9, {}, true, "undetermined", true, "undetermined", "sfspeech"},
  };
  for (const auto& c : cases) {
    const std::string line = std::string(R"({"event":"caps","micPermission":")") + c.mic +
                             R"(","systemAudio":)" + (c.systemAudio ? "true" : "false") +
                             R"(,"systemAudioPermission":")" + c.systemAudioPermission +
                             R"(","transcribe":")" + c.transcribe + "\"}";
    SCOPED_TRACE(line);
    SimPlatform sim;
    sim.process.setOperatingSystemVersion(c.version);
    sim.microphonePermission.setStatus(static_cast<CaptureAuthorizationStatus>(c.micStatus));
    if (c.preflight) scriptPreflight(sim, *c.preflight);
    if (c.japanese) sim.speechRecognizers.addRecognizer("ja-JP", *c.japanese);
    sim.speechRecognizers.addRecognizer("en-US");

    EXPECT_EQ(runWords(sim, {"caps", "--anything", "value"}), 0);
    EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{line});
    const bool analyzer = c.version.major >= 26;
    EXPECT_EQ(
        sim.speechRecognizers.calls(),
        analyzer ? std::vector<std::string>{} : std::vector<std::string>{"makeRecognizer(ja-JP)"});
    EXPECT_EQ(sim.microphonePermission.requests(), 0);
    EXPECT_TRUE(sim.audioHardware.calls().empty());
    EXPECT_TRUE(sim.appleEvents.calls().empty());
  }
}

}  // namespace
}  // namespace zuno::testing
