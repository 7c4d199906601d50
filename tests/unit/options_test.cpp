#include "cli/options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zuno {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

TEST(ParseOptions, OptionTakesTheNextWordUnlessItIsAnOption) {
  EXPECT_THAT(parseOptions({"--out-dir", "/a", "--force"}),
              ElementsAre(Pair("force", ""), Pair("out-dir", "/a")));
  EXPECT_THAT(parseOptions({"--out-dir", "--force"}),
              ElementsAre(Pair("force", ""), Pair("out-dir", "")));
  EXPECT_THAT(parseOptions({"--out-dir"}), ElementsAre(Pair("out-dir", "")));
}

TEST(ParseOptions, StrayWordsAreSkippedAndTheLastOccurrenceWins) {
  EXPECT_THAT(parseOptions({"junk", "--out-dir", "/a", "extra"}),
              ElementsAre(Pair("out-dir", "/a")));
  EXPECT_THAT(parseOptions({"--out-dir", "/a", "--out-dir", "/b"}),
              ElementsAre(Pair("out-dir", "/b")));
}

TEST(ParseOptions, ValuesAreKeptExactlyAsWritten) {
  EXPECT_THAT(parseOptions({"--locale", "-x", "--path", " spaced /a "}),
              ElementsAre(Pair("locale", "-x"), Pair("path", " spaced /a ")));
  // "--" alone names the empty key.
  EXPECT_THAT(parseOptions({"--", "value"}), ElementsAre(Pair("", "value")));
  EXPECT_THAT(parseOptions({"--"}), ElementsAre(Pair("", "")));
  EXPECT_TRUE(parseOptions({}).empty());
}

TEST(OptionValue, AbsentAndEmptyAreTheSame) {
  const OptionMap options = parseOptions({"--audio", "--locale", "en-US"});
  EXPECT_EQ(optionValue(options, "audio"), "");
  EXPECT_EQ(optionValue(options, "missing"), "");
  EXPECT_EQ(optionValue(options, "locale"), "en-US");
}

}  // namespace
}  // namespace zuno
