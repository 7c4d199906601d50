extern "C" {
#include <libavutil/error.h>
}

#include <fcntl.h>

#include <cmath>
#include <filesystem>

#include "linux/ffmpeg_test_support.h"

namespace platform::linux_backend::testing {
namespace {

class FfmpegFileWriterTest : public FfmpegFilesTest {
 protected:
  // Writes `frames` frames of a 440 Hz tone in 4096-frame buffers and closes the file.
  void writeTone(const std::string& path, double rate, std::uint64_t frames) {
    auto writer = files.openForWriting(path, aac(rate));
    ASSERT_TRUE(writer) << writer.error().description;
    for (std::uint64_t at = 0; at < frames; at += 4096) {
      const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(4096, frames - at));
      ASSERT_FALSE((*writer)->write(*toneBuffer((*writer)->processingFormat(), count, 440, at)));
    }
    const auto closed = (*writer)->close();
    ASSERT_FALSE(closed) << closed->description;
    // Only the first close does anything.
    EXPECT_FALSE((*writer)->close());
  }
};

TEST_F(FfmpegFileWriterTest, TrackIsMonoAacLcInMpeg4AtTheRequestedRateAndBitRate) {
  for (const double rate : {48000.0, 44100.0, 16000.0}) {
    SCOPED_TRACE(rate);
    const std::string path = file("mic.m4a");
    // Not a whole number of encoder frames, so the padded last frame is exercised.
    const auto frames = static_cast<std::uint64_t>(rate * 3.3) + 17;
    writeTone(path, rate, frames);

    auto facts = probe(path);
    EXPECT_EQ(facts["codec_name"], "aac");
    EXPECT_EQ(facts["profile"], "LC");
    EXPECT_EQ(facts["channels"], "1");
    EXPECT_EQ(std::stod(facts["sample_rate"]), rate);
    EXPECT_NE(facts["format_name"].find("mp4"), std::string::npos) << facts["format_name"];
    // The encoder spends somewhat more than asked on a pure tone; container overhead is not
    // in the stream's figure.
    EXPECT_NEAR(std::stod(facts["bit_rate"]), 40000, 8000);
    // Priming and padding are hidden from players by the edit list.
    EXPECT_NEAR(std::stod(facts["duration"]), static_cast<double>(frames) / rate, 1024 / rate);

    const auto decoded = decode(files, path);
    ASSERT_FALSE(decoded.error) << decoded.error->description;
    EXPECT_EQ(decoded.channels.at(0).size(), frames);
    EXPECT_NEAR(zeroCrossingFrequency(decoded.channels[0], rate), 440, 1);
  }
}

TEST_F(FfmpegFileWriterTest, ProcessingFormatIsPlanarFloatAtTheTrackRateAndChannels) {
  auto writer = files.openForWriting(file("system.m4a"), aac(44100, 2));
  ASSERT_TRUE(writer) << writer.error().description;
  EXPECT_EQ((*writer)->processingFormat(),
            *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 2, false));
  // A buffer in any other format is refused rather than misread.
  const auto interleaved = *AudioFormat::make(CommonFormat::pcmFloat32, 44100, 2, true);
  const auto error = (*writer)->write(*toneBuffer(interleaved, 512, 440));
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find(file("system.m4a")), std::string::npos) << error->description;
}

TEST_F(FfmpegFileWriterTest, AFileClosedWithoutAudioIsStillAnAacTrack) {
  { ASSERT_TRUE(files.openForWriting(file("mic.m4a"), aac(48000))); }
  auto facts = probe(file("mic.m4a"));
  EXPECT_EQ(facts["codec_name"], "aac");
  EXPECT_LT(std::stod(facts["duration"]), 1024 / 48000.0);
  const auto decoded = decode(files, file("mic.m4a"));
  ASSERT_FALSE(decoded.error) << decoded.error->description;
  EXPECT_EQ(rms(decoded.channels.at(0)), 0);
}

TEST_F(FfmpegFileWriterTest, ReopeningReplacesTheExistingFile) {
  const std::string path = file("mic.m4a");
  writeTone(path, 48000, 48000 * 3);
  writeTone(path, 16000, 16000);
  auto facts = probe(path);
  EXPECT_EQ(facts["sample_rate"], "16000");
  EXPECT_NEAR(std::stod(facts["duration"]), 1.0, 1024 / 16000.0);
}

TEST_F(FfmpegFileWriterTest, PlacesThatCannotBeWrittenFailWithThePathAndTheReason) {
  const std::string missing = file("nope/mic.m4a");
  auto opened = files.openForWriting(missing, aac(48000));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().description,
            "cannot open " + missing + " for writing: No such file or directory");
  EXPECT_EQ(opened.error().domain, "zuno-recorder.ffmpeg");
  EXPECT_EQ(opened.error().code, AVERROR(ENOENT));

  // A parent that is a file, which fails even for root.
  const std::string underFile = file("plain") + "/mic.m4a";
  ::close(::open(file("plain").c_str(), O_CREAT | O_WRONLY, 0644));
  opened = files.openForWriting(underFile, aac(48000));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().description,
            "cannot open " + underFile + " for writing: Not a directory");
  EXPECT_EQ(opened.error().code, AVERROR(ENOTDIR));
}

TEST_F(FfmpegFileWriterTest, UnsupportedSettingsFailWithoutCreatingTheFile) {
  struct Case {
    const char* what;
    AudioSettings settings;
    const char* reason;
  };
  auto lpcm = aac(48000);
  lpcm[AVFormatIDKey] = AudioSettingValue(kAudioFormatLinearPCM);
  auto noFormat = aac(48000);
  noFormat.erase(AVFormatIDKey);
  const Case cases[] = {
      {"linear PCM", lpcm, "only AAC can be written"},
      {"no format", noFormat, "only AAC can be written"},
      {"no channels", aac(48000, 0), "no usable channel count"},
      {"rate zero", aac(0), "no usable sample rate"},
      {"negative rate", aac(-44100), "no usable sample rate"},
      {"rate not a number", aac(std::nan("")), "no usable sample rate"},
  };
  const std::string path = file("mic.m4a");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto opened = files.openForWriting(path, c.settings);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().description,
              "cannot open " + path + " for writing: " + std::string(c.reason));
    EXPECT_EQ(opened.error().code, AVERROR(EINVAL));
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

}  // namespace
}  // namespace platform::linux_backend::testing
