#include "record/command_lines.h"

#include <cstdint>

namespace zuno {
namespace {

// Decodes one code point at `at`, advancing it; none for a malformed sequence.
std::optional<char32_t> decodeUtf8(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (at + length > text.size()) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return std::nullopt;
  }
  at += length;
  return value;
}

bool isWhiteSpaceOrLineBreak(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

void CommandLines::append(std::string_view bytes) {
  pending_.append(bytes);
}

std::optional<std::string> CommandLines::nextLine() {
  while (true) {
    const std::size_t feed = pending_.find('\n');
    if (feed == std::string::npos) {
      if (pending_.size() > kMaxPendingBytes) {
        pending_.clear();
        discardingLongLine_ = true;
      }
      return std::nullopt;
    }
    std::string line = pending_.substr(0, feed);
    pending_.erase(0, feed + 1);
    if (discardingLongLine_) {
      discardingLongLine_ = false;
      continue;
    }
    return line;
  }
}

std::optional<std::string> commandWord(std::string_view line) {
  std::size_t first = std::string_view::npos;
  std::size_t end = 0;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t start = at;
    const auto c = decodeUtf8(line, at);
    if (!c) return std::nullopt;
    if (!isWhiteSpaceOrLineBreak(*c)) {
      if (first == std::string_view::npos) first = start;
      end = at;
    }
  }
  if (first == std::string_view::npos) return std::string();
  return std::string(line.substr(first, end - first));
}

}  // namespace zuno
