#include "record/command_lines.h"

#include <gtest/gtest.h>

#include <vector>

namespace zuno {
namespace {

std::vector<std::string> drain(CommandLines& lines) {
  std::vector<std::string> out;
  while (auto line = lines.nextLine()) out.push_back(*line);
  return out;
}

TEST(CommandLines, LinesSplitAcrossReadsAreJoined) {
  CommandLines lines;
  lines.append("pa");
  EXPECT_TRUE(drain(lines).empty());
  lines.append("use\nresume\nst");
  EXPECT_EQ(drain(lines), (std::vector<std::string>{"pause", "resume"}));
  lines.append("op\n");
  EXPECT_EQ(drain(lines), (std::vector<std::string>{"stop"}));
}

TEST(CommandLines, AnOverlongLineIsDiscardedAndLaterLinesStillCount) {
  CommandLines lines;
  lines.append(std::string(CommandLines::kMaxPendingBytes + 1, 'x'));
  EXPECT_TRUE(drain(lines).empty());
  lines.append(std::string(1000, 'y'));  // still the same overlong line
  lines.append("pause\nstop\n");
  EXPECT_EQ(drain(lines), (std::vector<std::string>{"stop"}));
}

TEST(CommandWord, TrimsWhiteSpaceAndLineBreaksOfEveryKind) {
  EXPECT_EQ(commandWord("  pause\t\r"), "pause");
  EXPECT_EQ(commandWord("\u3000stop\u00a0\u2028"), "stop");
  EXPECT_EQ(commandWord(""), "");
  EXPECT_EQ(commandWord(" \t "), "");
  EXPECT_EQ(commandWord("Pause"), "Pause") << "case is kept, so the comparison can reject it";
  EXPECT_EQ(commandWord("a b"), "a b");
}

TEST(CommandWord, InvalidUtf8IsNoCommand) {
  EXPECT_FALSE(commandWord("pause\xff"));
  EXPECT_FALSE(commandWord("\xc0\x80stop"));  // overlong encoding
  EXPECT_FALSE(commandWord("\xe3\x81"));      // cut short
  EXPECT_TRUE(commandWord("会議"));
}

}  // namespace
}  // namespace zuno
