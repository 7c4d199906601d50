#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "support/run_binary.h"

namespace zuno {
namespace {

namespace fs = std::filesystem;

const std::string kSpeech =
    "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav";

// The program writes "/" as "\/" in its JSON.
std::string escaped(const std::string& path) {
  std::string text;
  for (const char c : path) {
    if (c == '/') text += '\\';
    text += c;
  }
  return text;
}

// A place for the test's files, and data directories in which no speech model is installed,
// so that only the distribution's English model can be found.
struct Scratch {
  // One per test, as ctest may run them side by side.
  fs::path dir =
      fs::path(::testing::TempDir()) /
      ("zuno-transcribe-" + std::to_string(std::hash<std::string>{}(
                                ::testing::UnitTest::GetInstance()->current_test_info()->name())));
  std::vector<std::string> environment{"XDG_DATA_HOME=" + (dir / "no-models").string(),
                                       "XDG_DATA_DIRS=" + (dir / "no-models").string()};
  Scratch() {
    fs::create_directories(dir / "no-models");
    fs::create_directories(dir / "a directory");
    std::ofstream(dir / "notes.txt") << "not audio\n";
    // A track whose header is whole but whose audio stops halfway, as a copy cut short leaves it.
    const fs::path whole = dir / "whole.m4a";
    if (std::system(("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=3 -c:a aac "
                     "-movflags +faststart '" +
                     whole.string() + "'")
                        .c_str()) == 0) {
      fs::copy_file(whole, dir / "cut short.m4a", fs::copy_options::overwrite_existing);
      fs::resize_file(dir / "cut short.m4a", fs::file_size(whole) / 2);
    }
  }
};

testing::BinaryRun transcribe(const Scratch& scratch, const std::string& path,
                              const std::string& locale) {
  return testing::runBinary(ZUNO_RECORDER_BINARY,
                            {"transcribe", "--audio", path, "--locale", locale}, {},
                            scratch.environment);
}

// Same recording, the way it arrives: the distribution's wav and the program's own kind of track
// (AAC in .m4a, stereo at 48 kHz).
TEST(TranscribeRealBinary, SpeechGivesOneResultLineWithTheWords) {
  Scratch scratch;
  const std::string track = (scratch.dir / "speech.m4a").string();
  ASSERT_EQ(std::system(
                ("ffmpeg -v error -y -i '" + kSpeech + "' -ac 2 -ar 48000 -c:a aac '" + track + "'")
                    .c_str()),
            0);
  for (const std::string& path : {kSpeech, track}) {
    SCOPED_TRACE(path);
    const auto run = transcribe(scratch, path, "en-US");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("{\"engine\":\"sfspeech\",\"event\":\"result\",\"segments\":[{", 0), 0u)
        << run.out;
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    for (const char* word : {"john", "leisure", "consider", "power"}) {
      EXPECT_NE(run.out.find("\"text\":\"" + std::string(word) + "\""), std::string::npos)
          << word << " missing from " << run.out;
    }
    // Words in the order spoken, each inside the recording (16-bit mono at 16 kHz, after a
    // 44-byte header).
    const double duration = static_cast<double>(fs::file_size(kSpeech) - 44) / (2 * 16000);
    const std::regex timed(R"re("end":([0-9.e+-]+),"start":([0-9.e+-]+))re");
    double previousStart = 0;
    int words = 0;
    for (std::sregex_iterator at(run.out.begin(), run.out.end(), timed), end; at != end; ++at) {
      const double wordEnd = std::stod((*at)[1]);
      const double wordStart = std::stod((*at)[2]);
      EXPECT_LE(previousStart, wordStart) << run.out;
      EXPECT_LT(wordStart, wordEnd) << run.out;
      EXPECT_LE(wordEnd, duration + 0.05) << run.out;
      previousStart = wordStart;
      ++words;
    }
    EXPECT_GT(words, 4);
  }
}

struct ExactCase {
  std::string name;
  std::string path;  // relative to the scratch directory
  std::string locale;
  std::string line;  // "{path}" stands for the path as given, escaped
  int status;
};

void PrintTo(const ExactCase& exact, std::ostream* out) {
  *out << exact.name;
}

class TranscribeRealBinaryExactly : public ::testing::TestWithParam<ExactCase> {};

TEST_P(TranscribeRealBinaryExactly, WritesExactlyThisLine) {
  Scratch scratch;
  ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i anullsrc=r=44100:cl=stereo -t 2 '" +
                         (scratch.dir / "silence.wav").string() + "'")
                            .c_str()),
            0);
  const std::string path = (scratch.dir / GetParam().path).string();
  std::string line = GetParam().line;
  if (const auto at = line.find("{path}"); at != std::string::npos) {
    line.replace(at, 6, escaped(path));
  }

  const auto run = transcribe(scratch, path, GetParam().locale);
  EXPECT_EQ(run.out, line + "\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    EveryDeterministicAnswer, TranscribeRealBinaryExactly,
    ::testing::Values(
        ExactCase{"Silence", "silence.wav", "en-US",
                  R"({"engine":"sfspeech","event":"result","segments":[]})", 0},
        ExactCase{
            "MissingFile", "missing.wav", "en-US",
            R"({"code":"io_failed","event":"error","message":"audio file not found: {path}"})", 1},
        ExactCase{
            "Directory", "a directory", "en-US",
            R"({"code":"transcribe_failed","event":"error","message":"sfspeech: cannot open {path} for reading: Is a directory"})",
            1},
        ExactCase{
            "TextFile", "notes.txt", "en-US",
            R"({"code":"transcribe_failed","event":"error","message":"sfspeech: cannot open {path} for reading: Invalid data found when processing input"})",
            1},
        ExactCase{
            "CutShortTrack", "cut short.m4a", "en-US",
            R"({"code":"transcribe_failed","event":"error","message":"sfspeech: cannot read audio from {path}: cannot decode audio: Invalid data found when processing input"})",
            1},
        ExactCase{
            "JapaneseWithoutAModel", "silence.wav", "ja-JP",
            R"({"code":"transcribe_failed","event":"error","message":"no recognizer for locale ja-JP"})",
            1}),
    [](const ::testing::TestParamInfo<ExactCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zuno
