#include <gtest/gtest.h>

#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/run_binary.h"

namespace zuno {
namespace {

struct UsageCase {
  std::string name;  // the test's name in ctest: letters, digits and underscores only
  std::vector<std::string> args;
  std::string message;
};

// ctest builds each test's name from what gtest prints for its parameter as well: the name keeps
// those stable and readable, where the default would dump the object's bytes, pointers included.
void PrintTo(const UsageCase& usage, std::ostream* out) {
  *out << usage.name;
}

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
        UsageCase{"NoSubcommand",
                  {},
                  "subcommand required: caps | watch | record | transcribe | probe | browser-tab"},
        UsageCase{"SubcommandInTheWrongCase", {"Caps"}, "unknown subcommand: Caps"},
        UsageCase{"HelpFlag", {"--help"}, "unknown subcommand: --help"},
        UsageCase{"UnknownWordWithUnicodeSlashAndQuote",
                  {"caps \u4f1a/\"x\""},
                  "unknown subcommand: caps \u4f1a\\/\\\"x\\\""},
        UsageCase{"WordThatIsNotUtf8", {"rec\xfford"}, "unknown subcommand: rec\xef\xbf\xbdord"},
        UsageCase{"RecordWithoutOptions", {"record"}, "record requires --out-dir <DIR>"},
        UsageCase{
            "OutDirWithoutItsValue", {"record", "--out-dir"}, "record requires --out-dir <DIR>"},
        UsageCase{"OutDirFollowedByAnOption",
                  {"record", "--out-dir", "--force"},
                  "record requires --out-dir <DIR>"},
        UsageCase{"OutDirWithoutItsDashes",
                  {"record", "out-dir", "/tmp/x"},
                  "record requires --out-dir <DIR>"}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

// The name goes into every event; one that is not UTF-8 is refused before anything is created.
TEST(RealBinary, AnOutDirThatIsNotUtf8IsRefusedBeforeItIsCreated) {
  const std::string outDir = ::testing::TempDir() + "zuno-caf\xe9";
  const auto run = testing::runBinary(ZUNO_RECORDER_BINARY, {"record", "--out-dir", outDir});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("cannot create out-dir: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("zuno-caf\xef\xbf\xbd: the name is not valid UTF-8\"}\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(::access(outDir.c_str(), F_OK), 0) << "created anyway";
}

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
