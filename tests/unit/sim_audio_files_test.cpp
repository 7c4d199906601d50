#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/sim_audio_files.h"

namespace platform::sim {
namespace {

constexpr const char* kPath = "/out/track.m4a";

AudioSettings settings(double rate, std::int64_t channels) {
  return {{AVSampleRateKey, AudioSettingValue(rate)},
          {AVNumberOfChannelsKey, AudioSettingValue(channels)}};
}

PCMBufferPtr filled(const AudioFormat& format, std::uint32_t frames, float value) {
  auto buffer = PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  for (float* channel : buffer->floatChannelData()) {
    std::fill(channel, channel + frames * (format.interleaved ? format.channelCount : 1), value);
  }
  return buffer;
}

class SimWrittenFiles : public ::testing::Test {
 protected:
  std::unique_ptr<AudioFileForWriting> open(double rate = 48000, std::int64_t channels = 1) {
    auto opened = files.openForWriting(kPath, settings(rate, channels));
    if (!opened) throw std::runtime_error(opened.error().description);
    return std::move(opened.value());
  }
  SimWrittenFile record() { return *files.writtenFile(kPath); }

  SimAudioFiles files;
};

TEST_F(SimWrittenFiles, TheProcessingFormatIsPlanarFloatAtTheSettingsRateAndWidth) {
  auto file = open(44100, 2);
  EXPECT_EQ(file->processingFormat(), (AudioFormat{44100, 2, CommonFormat::pcmFloat32, false, 0}));
  EXPECT_EQ(record().samples.size(), 2u);
  EXPECT_EQ(record().settings, settings(44100, 2));

  for (const auto& incomplete :
       {AudioSettings{{AVSampleRateKey, AudioSettingValue(48000.0)}},
        AudioSettings{{AVNumberOfChannelsKey, AudioSettingValue(std::int64_t{1})}}, settings(0, 1),
        settings(48000, 0)}) {
    EXPECT_FALSE(files.openForWriting("/out/other.m4a", incomplete));
  }
  EXPECT_EQ(files.opensOf("/out/other.m4a"), 0);
  EXPECT_FALSE(files.writtenFile("/out/other.m4a"));
}

TEST_F(SimWrittenFiles, WritesAreAppendedPerChannelAndTheRecordCompletesOnlyWhenClosed) {
  auto file = open(48000, 2);
  const AudioFormat format = file->processingFormat();
  auto first = filled(format, 3, 0.25f);
  first->floatChannelData()[1][2] = -1.0f;
  EXPECT_FALSE(file->write(*first));
  EXPECT_FALSE(file->write(*filled(format, 2, 0.5f)));
  EXPECT_FALSE(record().completed);
  EXPECT_FALSE(file->close());
  EXPECT_TRUE(file->write(*filled(format, 1, 0.5f))) << "a closed file takes no more audio";

  const auto done = record();
  EXPECT_TRUE(done.completed);
  EXPECT_EQ(done.writeCalls, 3);
  EXPECT_EQ(done.writeFrameCounts, (std::vector<std::uint32_t>{3, 2}));
  EXPECT_EQ(done.samples[0], (std::vector<float>{0.25f, 0.25f, 0.25f, 0.5f, 0.5f}));
  EXPECT_EQ(done.samples[1], (std::vector<float>{0.25f, 0.25f, -1.0f, 0.5f, 0.5f}));
}

TEST_F(SimWrittenFiles, ASnapshotDoesNotChangeWithLaterWrites) {
  auto file = open();
  auto before = files.writtenFile(kPath);
  file->write(*filled(file->processingFormat(), 10, 0.1f));
  EXPECT_TRUE(before->samples[0].empty());
  EXPECT_FALSE(before->completed);
}

TEST_F(SimWrittenFiles, ReopeningReplacesTheRecordAndTheOldFileNoLongerReachesIt) {
  auto old = open();
  old->write(*filled(old->processingFormat(), 8, 0.3f));
  auto fresh = open(16000);
  EXPECT_EQ(files.opensOf(kPath), 2);
  old->write(*filled(old->processingFormat(), 8, 0.3f));
  old.reset();
  EXPECT_TRUE(record().samples[0].empty());
  EXPECT_FALSE(record().completed) << "closing the replaced file leaves the new one open";
  EXPECT_EQ(record().processingFormat.sampleRate, 16000);
}

TEST_F(SimWrittenFiles, BuffersOutsideTheProcessingFormatAreRejected) {
  auto file = open(48000, 1);
  for (const auto& other : {AudioFormat{44100, 1, CommonFormat::pcmFloat32, false, 0},
                            AudioFormat{48000, 2, CommonFormat::pcmFloat32, false, 0},
                            AudioFormat{48000, 1, CommonFormat::pcmFloat32, true, 0}}) {
    EXPECT_TRUE(file->write(*filled(other, 4, 0.5f)));
  }
  EXPECT_EQ(record().writeCalls, 3);
  EXPECT_TRUE(record().samples[0].empty());
  EXPECT_TRUE(record().writeFrameCounts.empty());
}

TEST_F(SimWrittenFiles, OpenFailuresApplyToTheirPathOrEveryPathUntilCleared) {
  files.failOpen(kPath, {"sim", 2, "cannot open it"});
  auto refused = files.openForWriting(kPath, settings(48000, 1));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().description, "cannot open it");
  EXPECT_TRUE(files.openForWriting("/out/else.m4a", settings(48000, 1)));
  files.clearOpenFailure(kPath);
  EXPECT_TRUE(files.openForWriting(kPath, settings(48000, 1)));

  files.failOpen("", {"sim", 28, "disk gone"});
  EXPECT_FALSE(files.openForWriting("/anything.m4a", settings(48000, 1)));
  EXPECT_EQ(files.opensOf(kPath), 1);
}

TEST_F(SimWrittenFiles, OneScriptedWriteCallFailsAndTheOnesAroundItSucceed) {
  files.failWriteCall(kPath, 2, {"sim.file", 5, "disk full"});
  auto file = open();
  const auto buffer = filled(file->processingFormat(), 4, 0.5f);
  EXPECT_FALSE(file->write(*buffer));
  auto failed = file->write(*buffer);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->debugDescription(), "Error Domain=sim.file Code=5 \"disk full\"");
  EXPECT_FALSE(file->write(*buffer));
  EXPECT_EQ(record().writeCalls, 3);
  EXPECT_EQ(record().samples[0].size(), 8u) << "the failed write added nothing";
}

TEST_F(SimWrittenFiles, FailuresFromACallOnAreCountedOverEveryOpenOfThePath) {
  files.failWritesFrom(kPath, 3, {"sim", 9, "io"});
  auto file = open();
  const auto buffer = filled(file->processingFormat(), 4, 0.5f);
  EXPECT_FALSE(file->write(*buffer));
  file = open();
  EXPECT_FALSE(file->write(*buffer));
  EXPECT_TRUE(file->write(*buffer));
  EXPECT_TRUE(file->write(*buffer));
  files.clearWriteFailures(kPath);
  EXPECT_FALSE(file->write(*buffer));
}

TEST_F(SimWrittenFiles, WritesFromAnotherThreadAreAllKept) {
  auto file = open();
  const auto buffer = filled(file->processingFormat(), 64, 0.5f);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) file->write(*buffer);
    done = true;
  });
  std::size_t seen = 0;
  while (!done) {
    const std::size_t now = files.writtenFile(kPath)->samples[0].size();
    EXPECT_GE(now, seen);
    seen = now;
  }
  writer.join();
  EXPECT_EQ(record().samples[0].size(), 2000u * 64);
}

TEST(SimReadableFiles, ReadsInPiecesUntilAnEmptyRead) {
  SimAudioFiles files;
  EXPECT_EQ(files.openForReading("/in/missing.wav").error().description,
            "cannot open /in/missing.wav: No such file or directory");

  const AudioFormat stereo{22050, 2, CommonFormat::pcmInt16, true, 0};
  files.addReadableFile("/in/a.wav", stereo, {{1, 2, 3, 4, 5}, {-1, -2, -3, -4, -5}});
  auto opened = files.openForReading("/in/a.wav");
  ASSERT_TRUE(opened);
  auto& file = *opened.value();
  EXPECT_EQ(file.processingFormat(), (AudioFormat{22050, 2, CommonFormat::pcmFloat32, false, 0}));

  auto buffer = PCMBuffer::make(file.processingFormat(), 3);
  std::vector<float> right;
  for (std::uint32_t expected : {3u, 2u, 0u}) {
    ASSERT_FALSE(file.read(*buffer));
    ASSERT_EQ(buffer->frameLength(), expected);
    right.insert(right.end(), buffer->floatChannelData()[1],
                 buffer->floatChannelData()[1] + buffer->frameLength());
  }
  EXPECT_EQ(right, (std::vector<float>{-1, -2, -3, -4, -5}));
  auto wrong = PCMBuffer::make(stereo, 3);
  EXPECT_TRUE(file.read(*wrong));
}

TEST(SimBufferAllocation, ScriptedFailuresHitTheCountedAllocationOrAllOfThem) {
  SimAudioFiles files;
  const AudioFormat mono{48000, 1, CommonFormat::pcmFloat32, false, 0};
  EXPECT_TRUE(files.makePCMBuffer(mono, 16));
  files.failBufferAllocation(2);
  EXPECT_TRUE(files.makePCMBuffer(mono, 16));
  EXPECT_FALSE(files.makePCMBuffer(mono, 16));
  EXPECT_TRUE(files.makePCMBuffer(mono, 16));
  files.failAllBufferAllocations(true);
  EXPECT_FALSE(files.makePCMBuffer(mono, 16));
  files.failAllBufferAllocations(false);
  auto made = files.makePCMBuffer(mono, 16);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->frameCapacity(), 16u);
  EXPECT_EQ(made->format(), mono);
  EXPECT_EQ(files.buffersAllocated(), 4);
}

}  // namespace
}  // namespace platform::sim
