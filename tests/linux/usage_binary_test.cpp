#include <gtest/gtest.h>

#include "support/run_binary.h"

namespace zuno {
namespace {

struct UsageCase {
  std::vector<std::string> args;
  std::string message;
};

class UsageOfTheRealBinary : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageOfTheRealBinary, WritesExactlyOneErrorLineAndExitsWithOne) {
  const auto run = testing::runBinary(ZUNO_RECORDER_BINARY, GetParam().args);
  EXPECT_EQ(run.out, "{\"code\":\"usage\",\"event\":\"error\",\"message\":\"" + GetParam().message +
                         "\"}\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    EveryUsageMessage, UsageOfTheRealBinary,
    ::testing::Values(
        UsageCase{{},
                  "subcommand required: caps | watch | record | transcribe | probe | browser-tab"},
        UsageCase{{"Caps"}, "unknown subcommand: Caps"},
        UsageCase{{"--help"}, "unknown subcommand: --help"},
        UsageCase{{"caps \u4f1a/\"x\""}, "unknown subcommand: caps \u4f1a\\/\\\"x\\\""},
        UsageCase{{"record"}, "record requires --out-dir <DIR>"},
        UsageCase{{"record", "--out-dir"}, "record requires --out-dir <DIR>"},
        UsageCase{{"record", "--out-dir", "--force"}, "record requires --out-dir <DIR>"},
        UsageCase{{"record", "out-dir", "/tmp/x"}, "record requires --out-dir <DIR>"}));

TEST(RealBinary, AnOutDirThatIsAFileIsAnIoFailure) {
  const auto run = testing::runBinary(ZUNO_RECORDER_BINARY, {"record", "--out-dir", "/dev/null"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(
      run.out.rfind(
          "{\"code\":\"io_failed\",\"event\":\"error\",\"message\":\"cannot create out-dir: ", 0),
      0u)
      << run.out;
}

}  // namespace
}  // namespace zuno
