#include "linux/pulse_tap_buffer_assembler.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace platform::linux_backend {
namespace {

AudioFormat stereo48k() {
  return *AudioFormat::make(CommonFormat::pcmFloat32, 48000, 2, false);
}

// Interleaved frames whose left sample is the frame number and right sample its negative.
std::vector<float> numberedFrames(std::uint32_t start, std::uint32_t count) {
  std::vector<float> samples;
  for (std::uint32_t frame = start; frame < start + count; ++frame) {
    samples.push_back(static_cast<float>(frame));
    samples.push_back(-static_cast<float>(frame));
  }
  return samples;
}

struct FragmentCase {
  const char* name;
  std::uint32_t framesPerBuffer;
  std::vector<std::uint32_t> fragments;
  // The buffer lengths the tap sees after all fragments; each fragment is emitted whole before
  // append returns.
  std::vector<std::uint32_t> emittedLengths;
};

TEST(TapBufferAssemblerTest, HandsOverEveryFragmentAtOnceInBuffersNoLongerThanTheTapSize) {
  const std::vector<FragmentCase> cases = {
      {"short fragments are not held for more", 100, {30, 30, 30}, {30, 30, 30}},
      {"a fragment of exactly the tap size", 50, {50}, {50}},
      {"a long fragment is split, its tail handed over too", 64, {200, 56}, {64, 64, 64, 8, 56}},
      {"zero means the usual tap size", 0, {4097}, {4096, 1}},
  };
  for (const FragmentCase& test : cases) {
    SCOPED_TRACE(test.name);
    PulseTapBufferAssembler assembler;
    assembler.configure(stereo48k(), test.framesPerBuffer);
    std::vector<PCMBufferPtr> emitted;
    std::uint32_t appended = 0;
    for (std::uint32_t frames : test.fragments) {
      const auto samples = numberedFrames(appended, frames);
      assembler.append(samples.data(), frames,
                       [&emitted](const PCMBufferPtr& buffer) { emitted.push_back(buffer); });
      appended += frames;
      std::uint32_t handedOver = 0;
      for (const auto& buffer : emitted) handedOver += buffer->frameLength();
      ASSERT_EQ(handedOver, appended) << "audio held back after a fragment";
    }

    std::vector<std::uint32_t> lengths;
    std::set<const PCMBuffer*> distinct;
    std::uint32_t next = 0;
    for (const auto& buffer : emitted) {
      lengths.push_back(buffer->frameLength());
      // The block may keep what it was given, so no buffer is reused.
      distinct.insert(buffer.get());
      EXPECT_EQ(buffer->format(), stereo48k());
      const auto channels = buffer->floatChannelData();
      ASSERT_EQ(channels.size(), 2u);
      for (std::uint32_t frame = 0; frame < buffer->frameLength(); ++frame, ++next) {
        ASSERT_EQ(channels[0][frame], static_cast<float>(next)) << "frame " << next;
        ASSERT_EQ(channels[1][frame], -static_cast<float>(next)) << "frame " << next;
      }
    }
    EXPECT_EQ(lengths, test.emittedLengths);
    EXPECT_EQ(distinct.size(), emitted.size());
  }
}

}  // namespace
}  // namespace platform::linux_backend
