#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "sim/sim_platform.h"
#include "support/sim_run.h"

namespace zuno {
namespace {

using namespace std::chrono_literals;
using platform::Error;
using platform::SpeechRecognitionResult;
using platform::SpeechRecognizerAuthorizationStatus;
using platform::sim::SimPlatform;
using zuno::testing::runWords;

constexpr const char* kAudio = "/audio/meeting.m4a";

std::string result(const std::string& segments) {
  return "{\"engine\":\"sfspeech\",\"event\":\"result\",\"segments\":[" + segments + "]}";
}
std::string error(const std::string& code, const std::string& message) {
  return "{\"code\":\"" + code + "\",\"event\":\"error\",\"message\":\"" + message + "\"}";
}
const std::string kNotAuthorized =
    error("speech_permission_denied", "speech recognition not authorized");
const std::string kUndetermined =
    error("speech_permission_denied", "speech recognition authorization undetermined");

SpeechRecognitionResult recognized(std::vector<platform::SpeechTranscriptionSegment> segments,
                                   bool isFinal = true) {
  return {{std::move(segments)}, isFinal};
}

// The last release without the analyzer, with an en-US recogniser.
void prepare(SimPlatform& sim) {
  sim.process.setOperatingSystemVersion({25, 9, 0});
  sim.fileSystem.addFile(kAudio);
  sim.speechRecognizers.addRecognizer("en-US");
}

int transcribe(SimPlatform& sim, const std::string& locale = "en-US") {
  return runWords(sim, {"transcribe", "--audio", kAudio, "--locale", locale});
}

struct LegacyCase {
  const char* name;
  std::function<void(SimPlatform&)> script;
  std::vector<std::string> lines;
  int status;
};

class TranscribeWithRecognizer : public ::testing::TestWithParam<LegacyCase> {};

TEST_P(TranscribeWithRecognizer, EndsWithExactlyTheseLines) {
  SimPlatform sim;
  prepare(sim);
  GetParam().script(sim);
  EXPECT_EQ(transcribe(sim), GetParam().status);
  EXPECT_EQ(sim.runtime.stdoutLines(), GetParam().lines);
}

void answer(SimPlatform& sim, std::optional<SpeechRecognitionResult> result,
            std::optional<Error> error = std::nullopt) {
  sim.speechRecognizers.addRecognitionCallback(1s, std::move(result), std::move(error));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, TranscribeWithRecognizer,
    ::testing::Values(
        // Each end is its start plus its length, unrounded; the recogniser's order is kept, and
        // calls before the final result write nothing.
        LegacyCase{"FinalResult",
                   [](SimPlatform& sim) {
                     answer(sim, std::nullopt);
                     answer(sim, recognized({{0.0, 0.5, "partial"}}, false));
                     answer(sim, recognized({{1.25, 0.5, "good"}, {0.1, 0.2, "morning"}}));
                   },
                   {result("{\"end\":1.75,\"start\":1.25,\"text\":\"good\"},"
                           "{\"end\":0.30000000000000004,\"start\":0.1,\"text\":\"morning\"}")},
                   0},
        LegacyCase{"FinalResultWithoutSegments",
                   [](SimPlatform& sim) { answer(sim, recognized({})); },
                   {result("")},
                   0},
        LegacyCase{"NoSpeechError",
                   [](SimPlatform& sim) {
                     answer(sim, std::nullopt, Error{"kAFAssistantErrorDomain", 1110, "No speech"});
                   },
                   {result("")},
                   0},
        // The error wins over a result that comes with it.
        LegacyCase{
            "SameCodeOtherDomain",
            [](SimPlatform& sim) {
              answer(sim, recognized({{0.5, 0.5, "x"}}), Error{"kLSRErrorDomain", 1110, "Retry"});
            },
            {error("transcribe_failed", "sfspeech: Retry")},
            1},
        LegacyCase{"OtherCodeSameDomain",
                   [](SimPlatform& sim) {
                     answer(sim, std::nullopt,
                            Error{"kAFAssistantErrorDomain", 1101, "Siri is not available"});
                   },
                   {error("transcribe_failed", "sfspeech: Siri is not available")},
                   1},
        LegacyCase{"Denied",
                   [](SimPlatform& sim) {
                     sim.speechRecognizers.setAuthorizationAnswer(
                         SpeechRecognizerAuthorizationStatus::denied);
                   },
                   {kNotAuthorized},
                   1},
        LegacyCase{"Restricted",
                   [](SimPlatform& sim) {
                     sim.speechRecognizers.setAuthorizationAnswer(
                         SpeechRecognizerAuthorizationStatus::restricted);
                   },
                   {kNotAuthorized},
                   1},
        LegacyCase{"NotDetermined",
                   [](SimPlatform& sim) {
                     sim.speechRecognizers.setAuthorizationAnswer(
                         SpeechRecognizerAuthorizationStatus::notDetermined);
                   },
                   {kUndetermined},
                   1},
        LegacyCase{"UnknownStatus",
                   [](SimPlatform& sim) {
                     sim.speechRecognizers.setAuthorizationAnswer(
                         static_cast<SpeechRecognizerAuthorizationStatus>(7));
                   },
                   {kUndetermined},
                   1}),
    [](const ::testing::TestParamInfo<LegacyCase>& info) { return std::string(info.param.name); });

TEST(TranscribeWithRecognizerCalls, TheWholeFileOnDeviceFinalResultOnlyOnceAuthorised) {
  SimPlatform sim;
  prepare(sim);
  answer(sim, recognized({}));
  EXPECT_EQ(transcribe(sim), 0);
  EXPECT_EQ(sim.speechRecognizers.calls(),
            (std::vector<std::string>{
                "makeRecognizer(en-US)", "requestAuthorization",
                "recognitionTask(/audio/meeting.m4a, onDevice: true, partialResults: false)"}));
}

TEST(TranscribeWithRecognizerCalls, NoRecognizerForTheLocaleEndsBeforePermissionIsAsked) {
  SimPlatform sim;
  prepare(sim);
  EXPECT_EQ(transcribe(sim, "xx-XX"), 1);
  EXPECT_EQ(sim.runtime.stdoutLines(),
            std::vector<std::string>{error("transcribe_failed", "no recognizer for locale xx-XX")});
  EXPECT_EQ(sim.speechRecognizers.calls(), std::vector<std::string>{"makeRecognizer(xx-XX)"});
}

// Existence is checked before either engine is touched, on either kind of system.
TEST(TranscribeEntry, AMissingFileEndsBeforeAnyEngineStarts) {
  for (const platform::OperatingSystemVersion version :
       {platform::OperatingSystemVersion{15, 0, 0}, platform::OperatingSystemVersion{26, 0, 0}}) {
    SimPlatform sim;
    sim.process.setOperatingSystemVersion(version);
    sim.speechRecognizers.addRecognizer("en-US");
    EXPECT_EQ(transcribe(sim), 1);
    EXPECT_EQ(sim.runtime.stdoutLines(),
              std::vector<std::string>{
                  error("io_failed", "audio file not found: \\/audio\\/meeting.m4a")});
    EXPECT_TRUE(sim.speechRecognizers.calls().empty());
    EXPECT_TRUE(sim.speechAnalysis.calls().empty());
  }
}

}  // namespace
}  // namespace zuno
