#include "linux/queued_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform::linux_backend {
namespace {

using namespace std::chrono_literals;

// A one-page pipe, filled to the last byte before the stream gets it: its very first write
// finds no room, as with a parent that has stopped reading.
class FullPipe {
 public:
  FullPipe() {
    int ends[2];
    if (::pipe(ends) != 0) return;
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
    if (::fcntl(writeEnd_, F_SETPIPE_SZ, 4096) != 4096) return;
    const int flags = ::fcntl(writeEnd_, F_GETFL);
    ::fcntl(writeEnd_, F_SETFL, flags | O_NONBLOCK);
    while (::write(writeEnd_, "\n", 1) == 1) ++filler_;
    ::fcntl(writeEnd_, F_SETFL, flags);
  }
  ~FullPipe() {
    closeReadEnd();
    closeWriteEnd();
  }
  bool ready() const { return filler_ == 4096; }
  int writeEnd() const { return writeEnd_; }
  void closeReadEnd() {
    if (readEnd_ >= 0) ::close(readEnd_);
    readEnd_ = -1;
  }
  void closeWriteEnd() {
    if (writeEnd_ >= 0) ::close(writeEnd_);
    writeEnd_ = -1;
  }
  // Reads until end of file; the lines after the filler.
  std::vector<std::string> readLinesToEnd() {
    std::string text;
    char chunk[1024];
    ssize_t got = 0;
    while ((got = ::read(readEnd_, chunk, sizeof chunk)) > 0) {
      text.append(chunk, static_cast<std::size_t>(got));
    }
    std::vector<std::string> lines;
    for (std::size_t at = filler_; at < text.size();) {
      const auto end = text.find('\n', at);
      lines.push_back(text.substr(at, end == std::string::npos ? end : end - at + 1));
      at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
  }

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
  std::size_t filler_ = 0;
};

std::string numberedLine(const char* kind, int index, std::size_t length) {
  std::string line = std::string(kind) + " " + std::to_string(index) + " ";
  line.append(length > line.size() + 1 ? length - line.size() - 1 : 0, kind[0]);
  return line + "\n";
}

// True when `part` appears in `whole` in the same order, each line at most once.
bool inOrderWithin(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  auto next = whole.begin();
  for (const auto& line : part) {
    next = std::find(next, whole.end(), line);
    if (next == whole.end()) return false;
    ++next;
  }
  return true;
}

struct StallCase {
  const char* name;
  int ordinaryLines;
  std::size_t longOrdinaryLine;  // bytes of one extra ordinary line, 0 for none
  bool newestLevelSurvives;      // the ordinary lines leave room for it
};

TEST(QueuedOutput, AStalledReaderHoldsUpNoWriterAndLosesOnlyDroppableLines) {
  constexpr std::size_t kBudget = 4096;
  constexpr int kDroppableLines = 600;
  const StallCase cases[] = {
      {"ordinary lines within the budget", 20, 0, true},
      {"ordinary lines beyond the budget, one larger than the pipe", 200, 9000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FullPipe pipe;
    ASSERT_TRUE(pipe.ready());
    auto output = std::make_unique<QueuedOutput>(pipe.writeEnd(), kBudget);

    std::vector<std::string> ordinary;
    for (int i = 0; i < c.ordinaryLines; ++i) ordinary.push_back(numberedLine("tick", i, 100));
    if (c.longOrdinaryLine > 0) {
      ordinary.insert(ordinary.begin() + 1, numberedLine("long", 0, c.longOrdinaryLine));
    }
    std::vector<std::string> droppable;
    for (int i = 0; i < kDroppableLines; ++i) droppable.push_back(numberedLine("level", i, 40));

    // Two threads at once, as the main queue and a serial queue would write.
    auto writeEach = [&output](const std::vector<std::string>& lines, bool asDroppable) {
      bool allQueued = true;
      for (const auto& line : lines) {
        allQueued &= asDroppable ? output->writeDroppable(line) : output->writeAll(line);
      }
      return allQueued;
    };
    auto ordinaryWrites = std::async(std::launch::async, writeEach, std::cref(ordinary), false);
    auto droppableWrites = std::async(std::launch::async, writeEach, std::cref(droppable), true);
    const auto safetyNet = std::chrono::steady_clock::now() + 10s;
    const bool returnedWhileStalled =
        ordinaryWrites.wait_until(safetyNet) == std::future_status::ready &&
        droppableWrites.wait_until(safetyNet) == std::future_status::ready;
    EXPECT_TRUE(returnedWhileStalled) << "a write waited for the reader";

    std::vector<std::string> received;
    std::thread reader([&] { received = pipe.readLinesToEnd(); });
    EXPECT_TRUE(ordinaryWrites.get());
    EXPECT_TRUE(droppableWrites.get());
    EXPECT_TRUE(output->drainUntil(std::chrono::steady_clock::now() + 10s));
    output.reset();
    pipe.closeWriteEnd();
    reader.join();

    std::vector<std::string> receivedOrdinary;
    std::vector<std::string> receivedDroppable;
    const std::set<std::string> ordinarySet(ordinary.begin(), ordinary.end());
    for (const auto& line : received) {
      (ordinarySet.count(line) ? receivedOrdinary : receivedDroppable).push_back(line);
    }
    EXPECT_EQ(receivedOrdinary, ordinary);
    EXPECT_TRUE(inOrderWithin(receivedDroppable, droppable))
        << "a line arrived cut, merged with another, twice or out of order";
    EXPECT_LT(receivedDroppable.size(), droppable.size()) << "nothing was shed";
    if (c.newestLevelSurvives) {
      ASSERT_FALSE(receivedDroppable.empty());
      EXPECT_EQ(receivedDroppable.back(), droppable.back());
    }
  }
}

TEST(QueuedOutput, AReaderGoneWhileStalledEndsTheQueueQuietly) {
  FullPipe pipe;
  ASSERT_TRUE(pipe.ready());
  QueuedOutput output(pipe.writeEnd());
  EXPECT_TRUE(output.writeAll("queued while the reader lives\n"));
  EXPECT_TRUE(output.writeAll("queued behind it\n"));
  // No SIGPIPE handling in this process: the stream must not let a broken pipe end it.
  pipe.closeReadEnd();
  EXPECT_TRUE(output.drainUntil(std::chrono::steady_clock::now() + 10s));
  EXPECT_FALSE(output.writeAll("after the reader left\n"));
  EXPECT_FALSE(output.writeDroppable("after the reader left\n"));
}

}  // namespace
}  // namespace platform::linux_backend
