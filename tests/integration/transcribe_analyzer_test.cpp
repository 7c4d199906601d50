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
using platform::AttributedTextRun;
using platform::Error;
using platform::MediaTime;
using platform::MediaTimeRange;
using platform::SpeechTranscriptionResult;
using platform::sim::SimPlatform;
using zuno::testing::runWords;

constexpr const char* kAudio = "/audio/meeting.m4a";
const std::string kProgress = "{\"event\":\"progress\",\"stage\":\"model_download\"}";
const Error kPlatformError{"sim.speech", 5, "the service went away"};

std::string result(const std::string& segments) {
  return "{\"engine\":\"speechanalyzer\",\"event\":\"result\",\"segments\":[" + segments + "]}";
}
std::string error(const std::string& code, const std::string& message) {
  return "{\"code\":\"" + code + "\",\"event\":\"error\",\"message\":\"" + message + "\"}";
}
const std::string kFailed = error("transcribe_failed", "speechanalyzer: the service went away");

// Hundredths of a second, so the expected lines can spell the times exactly.
AttributedTextRun timed(std::string text, std::int64_t fromCs, std::int64_t toCs) {
  return {std::move(text), MediaTimeRange{MediaTime{fromCs, 100}, MediaTime{toCs, 100}}};
}
AttributedTextRun untimed(std::string text) {
  return {std::move(text), std::nullopt};
}
SpeechTranscriptionResult heard(std::vector<AttributedTextRun> runs) {
  return {{std::move(runs)}};
}

// Two seconds of 16 kHz mono, on a system that has the analyzer.
void prepare(SimPlatform& sim, std::size_t frames = 32000) {
  sim.process.setOperatingSystemVersion({26, 0, 0});
  sim.fileSystem.addFile(kAudio);
  auto format = platform::AudioFormat::make(platform::CommonFormat::pcmFloat32, 16000, 1, false);
  sim.audioFiles.addReadableFile(kAudio, *format, {std::vector<float>(frames, 0.1f)});
}

int transcribe(SimPlatform& sim, const std::string& audio = kAudio) {
  return runWords(sim, {"transcribe", "--audio", audio});
}

struct AnalyzerCase {
  const char* name;
  std::function<void(SimPlatform&)> script;
  std::vector<std::string> lines;
  int status;
  const char* audio = kAudio;
};

class TranscribeWithAnalyzer : public ::testing::TestWithParam<AnalyzerCase> {};

TEST_P(TranscribeWithAnalyzer, EndsWithExactlyTheseLines) {
  SimPlatform sim;
  prepare(sim);
  GetParam().script(sim);
  EXPECT_EQ(transcribe(sim, GetParam().audio), GetParam().status);
  EXPECT_EQ(sim.runtime.stdoutLines(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, TranscribeWithAnalyzer,
    ::testing::Values(
        AnalyzerCase{"ModelInstalled",
                     [](SimPlatform& sim) {
                       sim.speechAnalysis.addResult(500ms, heard({timed("hello", 50, 123)}));
                     },
                     {result("{\"end\":1.23,\"start\":0.5,\"text\":\"hello\"}")},
                     0},
        AnalyzerCase{"ModelDownloadedFirst",
                     [](SimPlatform& sim) {
                       sim.speechAnalysis.requireModelDownload();
                       sim.speechAnalysis.addResult(500ms, heard({timed("hello", 50, 123)}));
                     },
                     {kProgress, result("{\"end\":1.23,\"start\":0.5,\"text\":\"hello\"}")},
                     0},
        AnalyzerCase{"ModelDownloadFails",
                     [](SimPlatform& sim) {
                       sim.speechAnalysis.requireModelDownload();
                       sim.speechAnalysis.failDownload(kPlatformError);
                     },
                     {kProgress, kFailed},
                     1},
        AnalyzerCase{"NoSpeech", [](SimPlatform&) {}, {result("")}, 0},
        // Runs out of time order, an untimed run in between, a second result without any time
        // and an empty third: every result is a segment, in arrival order, text untrimmed.
        AnalyzerCase{"SegmentsInArrivalOrder",
                     [](SimPlatform& sim) {
                       sim.speechAnalysis.addResult(
                           400ms, heard({timed("ございます", 123, 180), untimed("、"),
                                         timed(" おはよう", 50, 90), timed("。", 170, 275)}));
                       sim.speechAnalysis.addResult(600ms, heard({untimed(" では ")}));
                       sim.speechAnalysis.addResult(700ms, heard({}));
                     },
                     {result("{\"end\":2.75,\"start\":0.5,\"text\":\"ございます、 おはよう。\"},"
                             "{\"text\":\" では \"},{\"text\":\"\"}")},
                     0},
        AnalyzerCase{
            "InstallationRequestFails",
            [](SimPlatform& sim) { sim.speechAnalysis.failInstallationRequest(kPlatformError); },
            {kFailed},
            1},
        AnalyzerCase{"AnalysisFails",
                     [](SimPlatform& sim) { sim.speechAnalysis.failAnalysis(kPlatformError); },
                     {kFailed},
                     1},
        AnalyzerCase{"FinalisingThroughTheLastSampleFails",
                     [](SimPlatform& sim) { sim.speechAnalysis.failFinalize(kPlatformError); },
                     {kFailed},
                     1},
        AnalyzerCase{"FinalisingThroughEndOfInputFails",
                     [](SimPlatform& sim) {
                       // An empty file has no last sample.
                       prepare(sim, 0);
                       sim.speechAnalysis.failFinalizeThroughEndOfInput(kPlatformError);
                     },
                     {kFailed},
                     1},
        AnalyzerCase{"ResultsFail",
                     [](SimPlatform& sim) {
                       sim.speechAnalysis.addResult(100ms, heard({timed("hello", 50, 123)}));
                       sim.speechAnalysis.failResults(200ms, kPlatformError);
                     },
                     {kFailed},
                     1},
        // The results fail early, the analysis later: the flow only looks at the results once
        // the analysis is done, so it is the analysis failure that is reported.
        AnalyzerCase{"ResultsFailureWaitsForTheAnalysis",
                     [](SimPlatform& sim) {
                       sim.speechAnalysis.failResults(200ms, {"sim.speech", 9, "results broke"});
                       sim.speechAnalysis.setAnalysisTime(5s);
                       sim.speechAnalysis.failAnalysis(kPlatformError);
                     },
                     {kFailed},
                     1},
        // It exists, but holds nothing that opens as audio; the platform's own reason is not
        // the parent's business.
        AnalyzerCase{"NotAudio",
                     [](SimPlatform& sim) { sim.fileSystem.addFile("/audio/notes.txt"); },
                     {error("io_failed", "cannot open audio for reading: \\/audio\\/notes.txt")},
                     1,
                     "/audio/notes.txt"},
        // Named by the file's URL, which is absolute whatever the parent passed.
        AnalyzerCase{"NotAudioByRelativePath",
                     [](SimPlatform& sim) {
                       sim.fileSystem.addFile("/audio/notes.txt");
                       sim.fileSystem.setCurrentDirectory("/audio/today");
                     },
                     {error("io_failed", "cannot open audio for reading: \\/audio\\/notes.txt")},
                     1,
                     "../notes.txt"}),
    [](const ::testing::TestParamInfo<AnalyzerCase>& info) {
      return std::string(info.param.name);
    });

// The module is asked for final results with their audio time ranges, for the locale as given,
// and the analysis is finalised through the last sample it reported.
TEST(TranscribeWithAnalyzerCalls, FinalTimedResultsForTheLocaleFinalisedThroughTheLastSample) {
  SimPlatform sim;
  prepare(sim);
  EXPECT_EQ(transcribe(sim), 0);
  const platform::SpeechTranscriberSettings expected{
      "ja-JP", {}, {}, {platform::SpeechResultAttributeOption::audioTimeRange}};
  EXPECT_EQ(sim.speechAnalysis.transcriberSettings(),
            std::vector<platform::SpeechTranscriberSettings>{expected});
  EXPECT_EQ(sim.speechAnalysis.calls(),
            (std::vector<std::string>{"makeTranscriber", "assetInstallationRequest(modules: 1)",
                                      "makeAnalyzer(modules: 1)", "analyzeSequence",
                                      "finalizeAndFinish(through: 32000/16000)"}));
}

// Results that fail early are judged only after the analysis has been finalised: the failure
// is not reported while the file is still being analysed.
TEST(TranscribeWithAnalyzerCalls, AResultsFailureIsReportedOnlyAfterFinalisation) {
  SimPlatform sim;
  prepare(sim);
  sim.speechAnalysis.setAnalysisTime(1s);
  sim.speechAnalysis.failResults(100ms, kPlatformError);
  EXPECT_EQ(transcribe(sim), 1);
  EXPECT_EQ(sim.runtime.stdoutLines(), std::vector<std::string>{kFailed});
  ASSERT_FALSE(sim.speechAnalysis.calls().empty());
  EXPECT_EQ(sim.speechAnalysis.calls().back(), "finalizeAndFinish(through: 32000/16000)");
}

}  // namespace
}  // namespace zuno
