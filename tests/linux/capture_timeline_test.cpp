#include "linux/capture_timeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::linux_backend {
namespace {

using namespace std::chrono_literals;
using Clock = CaptureTimeline::Clock;

// At 1000 frames a second a frame is a millisecond: the tolerance is 20 frames and the quiet
// gap 200.
constexpr double kRate = 1000;

// One step of a stream's life at a time in milliseconds after the clock started, and what the
// timeline must answer: silence before and frames dropped for a batch, silence for a tick.
struct Step {
  enum Kind { batch, quietTick, lostTick, pause, resume } kind;
  int atMs;
  std::uint64_t frames = 0;
  std::uint64_t silence = 0;
  std::uint64_t dropped = 0;
};

struct Case {
  std::string name;
  std::vector<Step> steps;
  std::uint64_t written;
};

class CaptureTimelineTest : public testing::TestWithParam<Case> {};

TEST_P(CaptureTimelineTest, PlacesAudioWhereTheClockSaysItBelongs) {
  const Clock::time_point origin{};
  CaptureTimeline timeline(kRate);
  timeline.resume(origin);
  for (const Step& step : GetParam().steps) {
    const auto at = origin + std::chrono::milliseconds(step.atMs);
    SCOPED_TRACE("step at " + std::to_string(step.atMs) + " ms");
    switch (step.kind) {
      case Step::batch: {
        const auto placement = timeline.place(step.frames, at);
        EXPECT_EQ(placement.silenceBefore, step.silence);
        EXPECT_EQ(placement.dropFromStart, step.dropped);
        break;
      }
      case Step::quietTick:
      case Step::lostTick:
        EXPECT_EQ(timeline.silenceDue(at, step.kind == Step::lostTick), step.silence);
        break;
      case Step::pause:
        timeline.pause(at);
        break;
      case Step::resume:
        timeline.resume(at);
        break;
    }
  }
  EXPECT_EQ(timeline.writtenFrames(), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Deliveries, CaptureTimelineTest,
    testing::Values(Case{"OnTimeFragmentsPassUnchanged",
                         {{Step::batch, 20, 20}, {Step::batch, 40, 20}, {Step::batch, 60, 20}},
                         60},
                    Case{"JitterWithinTheToleranceChangesNothing",
                         {{Step::batch, 35, 20}, {Step::batch, 50, 20}, {Step::batch, 95, 40}},
                         80},
                    Case{"ASlowConnectionStartsWithSilence", {{Step::batch, 120, 20, 100}}, 120},
                    Case{"ADeviceThatComesBackIsPlacedAfterTheGap",
                         {{Step::batch, 20, 20}, {Step::batch, 520, 20, 480}},
                         520},
                    Case{"AQuietServerGetsGraceALostOneNone",
                         {{Step::quietTick, 150, 0, 0},
                          {Step::quietTick, 250, 0, 250},
                          {Step::lostTick, 260, 0, 10},
                          {Step::lostTick, 260, 0, 0}},
                         260},
                    Case{"OnceQuietTimeIsFilledAsItPassesUntilAudioReturns",
                         {{Step::quietTick, 210, 0, 210},
                          {Step::quietTick, 230, 0, 20},
                          {Step::batch, 250, 20},
                          {Step::quietTick, 300, 0, 0}},
                         250},
                    Case{"LateAudioForTimeAlreadyWrittenIsDropped",
                         {{Step::lostTick, 500, 0, 500}, {Step::batch, 520, 300, 0, 280}},
                         520},
                    Case{"ABatchEntirelyInThePastIsDroppedWhole",
                         {{Step::lostTick, 500, 0, 500}, {Step::batch, 500, 100, 0, 100}},
                         500},
                    Case{"PausedTimeIsNotRecordedTime",
                         {{Step::batch, 100, 100},
                          {Step::pause, 100},
                          {Step::lostTick, 900, 0, 0},
                          {Step::resume, 1000},
                          {Step::batch, 1150, 20, 130}},
                         250}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace platform::linux_backend
