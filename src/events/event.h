#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime.h"

namespace zuno {

// One event: a JSON object whose keys are kept in ascending byte order (std::map underneath),
// always holding "event".
using Event = nlohmann::json;

// What to do with text that is not valid UTF-8.
enum class InvalidText {
  drop,     // the event is not written at all
  replace,  // each invalid sequence becomes U+FFFD
};

// The wire form of an event: compact JSON, sorted keys, raw UTF-8, every '/' escaped, one line
// feed. None when the event cannot be represented (a non-finite number, or invalid UTF-8 when
// such text drops the event).
std::optional<std::string> formatEventLine(const Event& event,
                                           InvalidText invalidText = InvalidText::drop);

bool isValidUtf8(std::string_view text);

// Writes the event's line in one write request; an unrepresentable or unwritable event is
// dropped without a word, since the parent is the only one who could be told.
void emitEvent(platform::Runtime& runtime, const Event& event);
// The same for a report that the next one supersedes ("level"): when the parent reads slowly it
// is the first to be given up, so it never holds back a line that matters.
void emitSupersedableEvent(platform::Runtime& runtime, const Event& event);

// The error event of a failed run. Paths and arguments are bytes on Linux, so invalid UTF-8 in
// the message is replaced rather than losing the one line that says why the run ended.
void emitErrorEvent(platform::Runtime& runtime, std::string_view code, std::string_view message);

// A free-text line on standard error; the line feed is added here.
void writeDiagnostic(platform::Runtime& runtime, std::string_view text);

}  // namespace zuno
