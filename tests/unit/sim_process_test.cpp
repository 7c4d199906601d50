#include "sim/sim_process.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace platform::sim {
namespace {

TEST(SimProcessInfo, UuidsArePredictableDistinctAndCanonical) {
  SimProcessInfo process;
  EXPECT_EQ(process.makeUUIDString(), "00000000-0000-4000-8000-000000000001");
  std::set<std::string> seen;
  const std::regex canonical("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  for (int i = 0; i < 20; ++i) {
    auto uuid = process.makeUUIDString();
    EXPECT_TRUE(std::regex_match(uuid, canonical)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 20u);
  EXPECT_EQ(*seen.rbegin(), "00000000-0000-4000-8000-000000000015");
}

TEST(SimFileSystem, CreatesMissingComponentsWithTheirModeAndKeepsExistingOnes) {
  SimFileSystem fs;
  fs.addFile("/home/u/notes.txt");
  EXPECT_FALSE(fs.createDirectories("/home/u/rec/2024//day/", 0700));
  EXPECT_EQ(fs.createdDirectories(),
            (std::vector<std::string>{"/home/u/rec", "/home/u/rec/2024", "/home/u/rec/2024/day"}));
  EXPECT_EQ(fs.directoryMode("/home/u"), 0755u);
  EXPECT_EQ(fs.directoryMode("/home/u/rec/2024/day"), 0700u);
  EXPECT_FALSE(fs.createDirectories("/home/u/rec", 0777));
  EXPECT_EQ(fs.directoryMode("/home/u/rec"), 0700u);
  EXPECT_EQ(fs.createdDirectories().size(), 3u);
  EXPECT_TRUE(fs.fileExists("/home/u/rec/2024/day"));
  EXPECT_TRUE(fs.fileExists("/"));
  EXPECT_FALSE(fs.fileExists("/home/other"));
}

TEST(SimFileSystem, AFileInThePathFailsWithoutCreatingAnything) {
  SimFileSystem fs;
  fs.addFile("/data/blocker");
  EXPECT_TRUE(fs.fileExists("/data/blocker"));
  EXPECT_EQ(fs.directoryMode("/data/blocker"), std::nullopt);
  auto error = fs.createDirectories("/data/blocker/out", 0700);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "zuno-recorder.fs");
  EXPECT_EQ(error->code, 20);
  EXPECT_EQ(error->description, "cannot create directory at /data/blocker/out: Not a directory");
  EXPECT_FALSE(fs.fileExists("/data/blocker/out"));
  EXPECT_TRUE(fs.createdDirectories().empty());
}

int fakeFunction() {
  return 42;
}

TEST(SimDynamicLoader, OpensKnownLibrariesAndLogsEveryCall) {
  SimDynamicLoader loader;
  void* address = reinterpret_cast<void*>(&fakeFunction);
  loader.addSymbol("/lib/tcc.so", "TCCAccessPreflight", address);
  EXPECT_EQ(loader.open("/lib/missing.so", 1), nullptr);
  void* handle = loader.open("/lib/tcc.so", 2);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(loader.symbol(handle, "TCCAccessPreflight"), address);
  EXPECT_EQ(loader.symbol(handle, "Absent"), nullptr);
  loader.close(handle);
  EXPECT_EQ(loader.calls(),
            (std::vector<std::string>{"open /lib/missing.so 1", "open /lib/tcc.so 2",
                                      "symbol TCCAccessPreflight", "symbol Absent", "close"}));
}

TEST(SimDynamicLoader, StringObjectsLiveUntilReleased) {
  SimDynamicLoader loader;
  const void* first = loader.makeStringObject("kAudio");
  const void* second = loader.makeStringObject("kMic");
  EXPECT_NE(first, second);
  EXPECT_EQ(loader.liveStringObjects(), 2u);
  loader.releaseStringObject(first);
  EXPECT_EQ(loader.liveStringObjects(), 1u);
  EXPECT_EQ(loader.calls(),
            (std::vector<std::string>{"makeString kAudio", "makeString kMic", "releaseString"}));
}

}  // namespace
}  // namespace platform::sim
