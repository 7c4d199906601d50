#include <gtest/gtest.h>

#include <limits>

#include "events/event.h"

namespace zuno {
namespace {

TEST(EventLine, KeysAreSortedAndTheLineIsCompact) {
  EXPECT_EQ(formatEventLine(Event{{"event", "error"}, {"message", "m"}, {"code", "usage"}}),
            "{\"code\":\"usage\",\"event\":\"error\",\"message\":\"m\"}\n");
  const Event nested{{"event", "result"},
                     {"segments", Event::array({Event{{"text", "a"}, {"end", 1.5}, {"b", true}}})}};
  EXPECT_EQ(formatEventLine(nested),
            "{\"event\":\"result\",\"segments\":[{\"b\":true,\"end\":1.5,\"text\":\"a\"}]}\n");
}

TEST(EventLine, SlashesAreEscapedAndReadBackUnchanged) {
  const auto line = formatEventLine(Event{{"event", "started"}, {"micPath", "/tmp/a b/mic.m4a"}});
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "{\"event\":\"started\",\"micPath\":\"\\/tmp\\/a b\\/mic.m4a\"}\n");
  EXPECT_EQ(nlohmann::json::parse(*line)["micPath"], "/tmp/a b/mic.m4a");
}

TEST(EventLine, TextIsRawUtf8WithStandardEscapes) {
  const auto line = formatEventLine(Event{{"event", "x"}, {"text", "会議 \"q\" \\ \n\t\x01"}});
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "{\"event\":\"x\",\"text\":\"会議 \\\"q\\\" \\\\ \\n\\t\\u0001\"}\n");
  EXPECT_EQ(line->find('\n'), line->size() - 1) << "one event, one line";
}

TEST(EventLine, UnrepresentableEventsAreDropped) {
  EXPECT_FALSE(formatEventLine(Event{{"event", "x"}, {"text", "bad \xff\xfe"}}));
  EXPECT_FALSE(formatEventLine(Event{{"event", "level"}, {"v", std::nan("")}}));
  EXPECT_FALSE(formatEventLine(Event{
      {"event", "x"},
      {"segments", Event::array({Event{{"start", std::numeric_limits<double>::infinity()}}})}}));
}

TEST(EventLine, NumbersReadBackToTheSameValue) {
  const auto line = formatEventLine(Event{{"event", "level"}, {"v", 0.13}, {"n", 59}});
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "{\"event\":\"level\",\"n\":59,\"v\":0.13}\n");
}

}  // namespace
}  // namespace zuno
