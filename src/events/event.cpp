#include "events/event.h"

#include <cmath>

namespace zuno {
namespace {

bool allNumbersFinite(const Event& value) {
  if (value.is_number_float()) return std::isfinite(value.get<double>());
  if (value.is_structured()) {
    for (const auto& child : value) {
      if (!allNumbersFinite(child)) return false;
    }
  }
  return true;
}

// In compact JSON a '/' can only stand inside a string, so escaping every one is safe.
std::string escapeSlashes(const std::string& json) {
  std::string out;
  out.reserve(json.size() + 8);
  for (char c : json) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::optional<std::string> formatEventLine(const Event& event, InvalidText invalidText) {
  if (!allNumbersFinite(event)) return std::nullopt;
  std::string json;
  try {
    json =
        event.dump(-1, ' ', false,
                   invalidText == InvalidText::replace ? nlohmann::json::error_handler_t::replace
                                                       : nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  std::string line = escapeSlashes(json);
  line += '\n';
  return line;
}

bool isValidUtf8(std::string_view text) {
  return formatEventLine(Event(std::string(text))).has_value();
}

void emitEvent(platform::Runtime& runtime, const Event& event) {
  if (auto line = formatEventLine(event)) runtime.standardOutput().writeAll(*line);
}

void emitSupersedableEvent(platform::Runtime& runtime, const Event& event) {
  if (auto line = formatEventLine(event)) runtime.standardOutput().writeDroppable(*line);
}

void emitErrorEvent(platform::Runtime& runtime, std::string_view code, std::string_view message) {
  const Event error{{"event", "error"}, {"code", code}, {"message", message}};
  if (auto line = formatEventLine(error, InvalidText::replace)) {
    runtime.standardOutput().writeAll(*line);
  }
}

void writeDiagnostic(platform::Runtime& runtime, std::string_view text) {
  std::string line(text);
  line += '\n';
  runtime.standardError().writeAll(line);
}

}  // namespace zuno
