#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <set>

#include "e2e/e2e_support.h"

namespace zuno::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Box {
  std::string type;
  std::size_t body;  // where its contents begin
  std::size_t end;
};

// The boxes between `at` and `end` of an MPEG-4 file's bytes, in file order.
std::vector<Box> boxesIn(const std::string& bytes, std::size_t at, std::size_t end) {
  const auto number = [&bytes](std::size_t from, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) value = value << 8 | static_cast<std::uint8_t>(bytes[from + i]);
    return value;
  };
  std::vector<Box> boxes;
  while (at + 8 <= end) {
    std::uint64_t size = number(at, 4);
    std::size_t header = 8;
    if (size == 1 && at + 16 <= end) {
      size = number(at + 8, 8);
      header = 16;
    }
    if (size < header || size > end - at) break;
    boxes.push_back({bytes.substr(at + 4, 4), at + header, at + size});
    at += size;
  }
  return boxes;
}

// The box types at the top level of a file, or inside its first top-level box of type `parent`.
std::vector<std::string> boxTypes(const std::string& path, const std::string& parent = "") {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto boxes = boxesIn(bytes, 0, bytes.size());
  if (!parent.empty()) {
    const auto found = std::find_if(boxes.begin(), boxes.end(),
                                    [&parent](const Box& box) { return box.type == parent; });
    boxes = found == boxes.end() ? std::vector<Box>{} : boxesIn(bytes, found->body, found->end);
  }
  std::vector<std::string> types;
  for (const auto& box : boxes) types.push_back(box.type);
  return types;
}

// What ffmpeg says while decoding the whole file, with errors only: empty for a clean file.
std::string decodeErrors(const std::string& path) {
  return shell("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1");
}

// A file's audio as ffprobe finds it when it decodes every frame.
struct Decoded {
  std::string codec;
  double seconds = 0;
  std::string errors;
};

Decoded decodeFrames(const std::string& path) {
  const std::string text = shell(
      "ffprobe -v error -count_frames -select_streams a:0 -show_entries "
      "stream=codec_name,sample_rate,nb_read_frames -of default=nw=1 '" +
      path + "' 2>&1");
  Decoded decoded;
  double rate = 0, frames = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("codec_name=", 0) == 0) {
      decoded.codec = line.substr(11);
    } else if (line.rfind("sample_rate=", 0) == 0) {
      rate = std::atof(line.c_str() + 12);
    } else if (line.rfind("nb_read_frames=", 0) == 0) {
      frames = std::atof(line.c_str() + 15);
    } else {
      decoded.errors += line + "\n";
    }
  }
  // AAC frames are 1024 samples long.
  if (rate > 0) decoded.seconds = frames * 1024 / rate;
  return decoded;
}

double seconds(Clock::duration span) {
  return std::chrono::duration<double>(span).count();
}

class TrackFilesOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.running()) GTEST_SKIP() << "no private audio server could be started";
    outDir = server.directory() + "/recording";
  }
  std::set<std::string> filesIn(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  PrivateAudioServer server;
  std::string outDir;
};

TEST_F(TrackFilesOnDisk, AKilledRecorderLeavesBothTracksPlayableUpToItsLastSecond) {
  server.play("micsrc", 440, 300);
  server.play("speakers", 1000, 300);
  const std::string copies = server.directory() + "/copies";
  std::filesystem::create_directories(copies);
  const auto seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> moment(0.1, 2.5);

  for (int trial = 0; trial < 20; ++trial) {
    const double killAfter = moment(random);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", killed " + std::to_string(killAfter) +
                 " s after started");
    // Every run goes into the same directory and replaces what the one before left.
    RecorderProcess recorder(outDir);
    ASSERT_TRUE(recorder.waitFor("\"event\":\"started\"")) << recorder.output();
    const auto started = Clock::now();
    // Copies taken while the tracks are written, as a power cut would find them.
    std::this_thread::sleep_until(started + std::chrono::duration<double>(killAfter / 2));
    for (const char* name : {"mic.m4a", "system.m4a"}) {
      std::filesystem::copy_file(outDir + "/" + name, copies + "/" + name,
                                 std::filesystem::copy_options::overwrite_existing);
    }
    std::this_thread::sleep_until(started + std::chrono::duration<double>(killAfter));
    recorder.signal(SIGKILL);
    const double alive = seconds(Clock::now() - started);
    ASSERT_EQ(recorder.wait(), 128 + SIGKILL);

    EXPECT_EQ(filesIn(outDir), (std::set<std::string>{"mic.m4a", "system.m4a"}));
    for (const char* name : {"mic.m4a", "system.m4a"}) {
      SCOPED_TRACE(name);
      const auto killed = decodeFrames(outDir + "/" + name);
      EXPECT_EQ(killed.codec, "aac");
      EXPECT_EQ(killed.errors, "");
      // Within a second of what was captured, and nothing from before this run.
      EXPECT_GE(killed.seconds, alive - 1.0);
      EXPECT_LE(killed.seconds, alive + 0.2);
      const auto copy = decodeFrames(copies + "/" + name);
      EXPECT_EQ(copy.codec, "aac");
      EXPECT_EQ(copy.errors, "");
    }
  }
}

TEST_F(TrackFilesOnDisk, AnOrderlyStopLeavesOrdinaryFilesAndNothingElse) {
  server.play("micsrc", 440, 8);
  RecorderProcess recorder(outDir);
  ASSERT_TRUE(recorder.waitFor("\"event\":\"started\"")) << recorder.output();
  const auto started = Clock::now();
  std::this_thread::sleep_for(2500ms);
  recorder.send("stop\n");
  const double recorded = seconds(Clock::now() - started);
  ASSERT_TRUE(recorder.waitFor("\"event\":\"stopped\"")) << recorder.output();
  EXPECT_EQ(recorder.wait(), 0);

  EXPECT_EQ(filesIn(outDir), (std::set<std::string>{"mic.m4a", "system.m4a"}));
  for (const char* name : {"mic.m4a", "system.m4a"}) {
    SCOPED_TRACE(name);
    const std::string path = outDir + "/" + name;
    // One movie box with the sample tables and nothing of a fragmented file: no fragments, no
    // movie-extends box.
    EXPECT_EQ(boxTypes(path), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
    EXPECT_EQ(boxTypes(path, "moov"), (std::vector<std::string>{"mvhd", "trak"}));
    EXPECT_EQ(decodeErrors(path), "");
    const auto facts = inspectTrack(path);
    EXPECT_EQ(facts.codec, "aac");
    EXPECT_EQ(facts.channels, 1);
    EXPECT_NEAR(facts.duration, recorded, 0.1);
  }
}

TEST_F(TrackFilesOnDisk, ADiskThatFillsUpLeavesBothTracksPlayable) {
  std::filesystem::create_directories(outDir);
  // Some six seconds of the two tracks.
  if (::mount("tmpfs", outDir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{outDir};
  server.play("micsrc", 440, 60);
  server.play("speakers", 1000, 60);

  RecorderProcess recorder(outDir);
  ASSERT_TRUE(recorder.waitFor("\"event\":\"started\"")) << recorder.output();
  ASSERT_TRUE(recorder.waitFor("\"code\":\"io_failed\"", 30)) << recorder.output();
  EXPECT_EQ(recorder.wait(), 1);
  EXPECT_NE(recorder.output().find("No space left on device"), std::string::npos)
      << recorder.output();
  for (const char* name : {"mic.m4a", "system.m4a"}) {
    SCOPED_TRACE(name);
    const std::string path = outDir + "/" + name;
    const auto facts = inspectTrack(path);
    EXPECT_EQ(facts.codec, "aac");
    EXPECT_EQ(decodeErrors(path), "");
    EXPECT_GT(facts.samples.size(), 48000u * 2);
  }
}

}  // namespace
}  // namespace zuno::e2e
