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

// The wire form of an event: compact JSON, sorted keys, raw UTF-8, every '/' escaped, one line
// feed. None when the event cannot be represented (invalid UTF-8, a non-finite number).
std::optional<std::string> formatEventLine(const Event& event);

// Writes the event's line in one write request; an unrepresentable or unwritable event is
// dropped without a word, since the parent is the only one who could be told.
void emitEvent(platform::Runtime& runtime, const Event& event);

// The error event, then exit status 1, also when the line was dropped.
[[noreturn]] void fail(platform::Runtime& runtime, std::string_view code, std::string_view message);

// A free-text line on standard error; the line feed is added here.
void writeDiagnostic(platform::Runtime& runtime, std::string_view text);

}  // namespace zuno
