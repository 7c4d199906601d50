#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "linux/ffmpeg_audio_files.h"
#include "linux/pocketsphinx_model.h"
#include "linux/pocketsphinx_recognizer.h"

namespace platform::linux_backend {
namespace {

namespace fs = std::filesystem;

const std::string kRecordings = "/usr/share/pocketsphinx/test/data/librivox/";

// What the handler was called with, and on which thread.
struct Answer {
  std::optional<SpeechRecognitionResult> result;
  std::optional<Error> error;
  std::thread::id thread;
};

FfmpegAudioFiles& realFiles() {
  static FfmpegAudioFiles files;
  return files;
}

// Runs one recognition and waits for its first answer.
Answer recognize(const std::string& path, AudioFiles& files = realFiles()) {
  const auto model = findPocketsphinxModel("en-US");
  EXPECT_TRUE(model) << "no English model installed";
  if (!model) return {};
  PocketsphinxRecognizer recognizer(files, *model);
  EXPECT_TRUE(recognizer.supportsOnDeviceRecognition());
  auto answer = std::make_shared<Answer>();
  auto answered = std::make_shared<std::promise<void>>();
  auto done = answered->get_future();
  auto first = std::make_shared<std::once_flag>();
  recognizer.recognitionTask({path, true, false}, [=](const auto& r, const auto& e) {
    std::call_once(*first, [&] {
      answer->result = r;
      answer->error = e;
      answer->thread = std::this_thread::get_id();
      answered->set_value();
    });
  });
  EXPECT_EQ(done.wait_for(std::chrono::seconds(120)), std::future_status::ready);
  return *answer;
}

// The reference transcript of a recording, without sentence marks.
std::vector<std::string> referenceWords(const std::string& recording) {
  std::ifstream transcripts(kRecordings + "transcription");
  for (std::string line; std::getline(transcripts, line);) {
    if (line.find("(" + recording + ")") == std::string::npos) continue;
    std::istringstream words(line);
    std::vector<std::string> reference;
    for (std::string word; words >> word;) {
      if (word != "<s>" && word != "</s>" && word.front() != '(') reference.push_back(word);
    }
    return reference;
  }
  return {};
}

// Seconds of audio in the file, as the reader delivers them.
double durationOf(const std::string& path) {
  FfmpegAudioFiles files;
  auto reader = files.openForReading(path);
  if (!reader) return 0;
  auto buffer = PCMBuffer::make((*reader)->processingFormat(), 4096);
  std::int64_t frames = 0;
  while (!(*reader)->read(*buffer) && buffer->frameLength() > 0) frames += buffer->frameLength();
  return static_cast<double>(frames) / (*reader)->processingFormat().sampleRate;
}

class RealSpeech : public ::testing::TestWithParam<std::string> {};

TEST_P(RealSpeech, GivesTheSpokenWordsInTimeOrderWithinTheFile) {
  const std::string recording = GetParam();
  const std::string path = kRecordings + recording + ".wav";
  const Answer answer = recognize(path);
  ASSERT_FALSE(answer.error) << answer.error->debugDescription();
  ASSERT_TRUE(answer.result);
  EXPECT_TRUE(answer.result->isFinal);
  EXPECT_NE(answer.thread, std::this_thread::get_id());

  const auto& segments = answer.result->bestTranscription.segments;
  const double duration = durationOf(path);
  ASSERT_GT(duration, 1.0);
  double previousEnd = 0;
  std::vector<std::string> heard;
  for (const auto& segment : segments) {
    EXPECT_GE(segment.timestamp, previousEnd - 1e-9) << segment.substring;
    EXPECT_GT(segment.duration, 0) << segment.substring;
    EXPECT_LE(segment.timestamp + segment.duration, duration + 0.02) << segment.substring;
    // Only words: no silences, sentence marks, noises or alternative-pronunciation numbers.
    EXPECT_EQ(segment.substring.find_first_of("<>[]+()"), std::string::npos) << segment.substring;
    previousEnd = segment.timestamp + segment.duration;
    heard.push_back(segment.substring);
  }

  const auto reference = referenceWords(recording);
  ASSERT_FALSE(reference.empty());
  std::size_t found = 0;
  for (const auto& word : reference) {
    if (const auto at = std::find(heard.begin(), heard.end(), word); at != heard.end()) {
      heard.erase(at);
      ++found;
    }
  }
  EXPECT_GE(static_cast<double>(found) / static_cast<double>(reference.size()), 0.5)
      << found << " of " << reference.size() << " reference words heard";
}

INSTANTIATE_TEST_SUITE_P(Recordings, RealSpeech,
                         ::testing::Values("sense_and_sensibility_01_austen_64kb-0870",
                                           "sense_and_sensibility_01_austen_64kb-0890"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST(Silence, GivesAFinalResultWithoutWords) {
  const std::string path = ::testing::TempDir() + "zuno-silence.wav";
  ASSERT_EQ(
      std::system(("ffmpeg -v error -y -f lavfi -i anullsrc=r=44100:cl=stereo -t 2 '" + path + "'")
                      .c_str()),
      0);
  const Answer answer = recognize(path);
  ASSERT_FALSE(answer.error) << answer.error->debugDescription();
  ASSERT_TRUE(answer.result);
  EXPECT_TRUE(answer.result->isFinal);
  EXPECT_TRUE(answer.result->bestTranscription.segments.empty());
}

// Recordings one after another, with `pause` seconds of silence after each but the last.
std::string joinRecordings(const std::string& name, const std::vector<std::string>& recordings,
                           double pause) {
  const std::string path = ::testing::TempDir() + name;
  std::string command = "ffmpeg -v error -y";
  std::string filter;
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    command += " -i " + kRecordings + recordings[i] + ".wav";
    filter += "[" + std::to_string(i) +
              "]apad=pad_dur=" + std::to_string(i + 1 < recordings.size() ? pause : 0) + "[a" +
              std::to_string(i) + "];";
  }
  for (std::size_t i = 0; i < recordings.size(); ++i) filter += "[a" + std::to_string(i) + "]";
  filter += "concat=n=" + std::to_string(recordings.size()) + ":v=0:a=1";
  EXPECT_EQ(std::system((command + " -filter_complex '" + filter + "' '" + path + "'").c_str()), 0);
  return path;
}

// Each sentence is recognised apart from the other, and its words keep their place in the file.
TEST(SentencesApart, KeepTheirTimesInTheFile) {
  const double firstLength =
      durationOf(kRecordings + "sense_and_sensibility_01_austen_64kb-0870.wav");
  const std::string path = joinRecordings(
      "zuno-two-sentences.wav",
      {"sense_and_sensibility_01_austen_64kb-0870", "sense_and_sensibility_01_austen_64kb-0880"},
      2);
  const Answer answer = recognize(path);
  ASSERT_TRUE(answer.result);
  std::map<std::string, double> startOf;
  for (const auto& segment : answer.result->bestTranscription.segments) {
    // Nothing is heard in the pause.
    EXPECT_TRUE(segment.timestamp + segment.duration <= firstLength + 0.02 ||
                segment.timestamp >= firstLength + 2 - 0.02)
        << segment.substring << " at " << segment.timestamp;
    startOf.emplace(segment.substring, segment.timestamp);
  }
  EXPECT_LT(startOf["leisure"], firstLength);
  EXPECT_GT(startOf["young"], firstLength + 2);
  EXPECT_GT(startOf["man"], startOf["young"]);
}

// The file service, with reading failing from the given read on.
class FailingReads final : public AudioFiles {
 public:
  explicit FailingReads(int failingRead) : failingRead_(failingRead) {}
  Result<std::unique_ptr<AudioFileForWriting>> openForWriting(
      const std::string& path, const AudioSettings& settings) override {
    return realFiles().openForWriting(path, settings);
  }
  Result<std::unique_ptr<AudioFileForReading>> openForReading(const std::string& path) override {
    auto opened = realFiles().openForReading(path);
    if (!opened) return opened.error();
    return std::unique_ptr<AudioFileForReading>(
        std::make_unique<Reader>(std::move(opened.value()), failingRead_));
  }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override {
    return realFiles().makeConverter(from, to);
  }
  PCMBufferPtr makePCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity) override {
    return realFiles().makePCMBuffer(format, frameCapacity);
  }

 private:
  struct Reader final : AudioFileForReading {
    Reader(std::unique_ptr<AudioFileForReading> file, int failingRead)
        : file(std::move(file)), readsLeft(failingRead - 1) {}
    const AudioFormat& processingFormat() const override { return file->processingFormat(); }
    MaybeError read(PCMBuffer& buffer) override {
      if (readsLeft-- <= 0) return Error{"test", 5, "the disk went away"};
      return file->read(buffer);
    }
    std::unique_ptr<AudioFileForReading> file;
    int readsLeft;
  };
  int failingRead_;
};

TEST(ReadFailure, AfterSentencesWereHandedToTheDecodersEndsWithTheRecognizerError) {
  const std::string path = joinRecordings(
      "zuno-three-sentences.wav",
      {"sense_and_sensibility_01_austen_64kb-0870", "sense_and_sensibility_01_austen_64kb-0880",
       "sense_and_sensibility_01_austen_64kb-0890"},
      1);
  // Half a second a read: the first two sentences are out before the read fails.
  FailingReads files(30);
  const Answer answer = recognize(path, files);
  EXPECT_FALSE(answer.result);
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->domain, "zuno-recorder.speech");
  EXPECT_EQ(answer.error->description, "cannot read audio from " + path + ": the disk went away");
}

struct UnreadableCase {
  std::string name;
  std::string reason;  // the end of the description
};

void PrintTo(const UnreadableCase& unreadable, std::ostream* out) {
  *out << unreadable.name;
}

class UnreadableFile : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableFile, GivesAnErrorNamingThePathAndTheReason) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("zuno-unreadable-" + GetParam().name);
  fs::create_directories(dir / "directory");
  std::ofstream(dir / "text") << "not audio at all\n";
  const std::string path = (dir / GetParam().name).string();

  const Answer answer = recognize(path);
  EXPECT_FALSE(answer.result);
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->domain, "zuno-recorder.speech");
  EXPECT_EQ(answer.error->description,
            "cannot open " + path + " for reading: " + GetParam().reason);
  EXPECT_NE(answer.thread, std::this_thread::get_id());
}

INSTANTIATE_TEST_SUITE_P(NotAudio, UnreadableFile,
                         ::testing::Values(UnreadableCase{"directory", "Is a directory"},
                                           UnreadableCase{
                                               "text", "Invalid data found when processing input"}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::linux_backend
