#include "cli/dispatch.h"

#include <array>
#include <optional>
#include <string_view>

#include "cli/options.h"
#include "events/event.h"
#include "record/recorder.h"
#include "transcribe/transcribe.h"
#include "watch/call_watcher.h"

namespace zuno {
namespace {

struct Invocation {
  platform::Platform& platform;
  const std::vector<std::string>& rest;
  const OptionMap& options;
};

using UsageCheck = std::optional<std::string_view> (*)(const Invocation&);
using Entry = void (*)(const Invocation&);

// One row per subcommand: its word, the usage message when the words it needs are missing, and
// its entry. A subcommand this build does not have yet has no entry and is answered as unknown;
// its row still keeps its place in the list the usage message gives.
struct Subcommand {
  std::string_view name;
  UsageCheck missingWords;
  Entry run;
};

constexpr std::array kSubcommands{
    Subcommand{"caps", nullptr, nullptr},
    Subcommand{"watch", nullptr, [](const Invocation& call) { runWatch(call.platform); }},
    Subcommand{"record",
               [](const Invocation& call) -> std::optional<std::string_view> {
                 if (optionValue(call.options, "out-dir").empty()) {
                   return "record requires --out-dir <DIR>";
                 }
                 return std::nullopt;
               },
               [](const Invocation& call) {
                 auto recorder =
                     Recorder::create(call.platform, optionValue(call.options, "out-dir"));
                 recorder->run();
               }},
    Subcommand{"transcribe",
               [](const Invocation& call) -> std::optional<std::string_view> {
                 if (optionValue(call.options, "audio").empty()) {
                   return "transcribe requires --audio <PATH>";
                 }
                 return std::nullopt;
               },
               [](const Invocation& call) {
                 std::string locale = optionValue(call.options, "locale");
                 if (locale.empty()) locale = "ja-JP";
                 runTranscribe(call.platform, optionValue(call.options, "audio"), locale);
               }},
    Subcommand{"probe", nullptr, nullptr},
    Subcommand{"browser-tab", nullptr, nullptr},
};

std::string subcommandRequiredMessage() {
  std::string message = "subcommand required: ";
  for (const Subcommand& subcommand : kSubcommands) {
    if (&subcommand != &kSubcommands.front()) message += " | ";
    message += subcommand.name;
  }
  return message;
}

[[noreturn]] void usage(platform::Platform& platform, std::string_view message) {
  fail(platform.runtime, "usage", message);
}

}  // namespace

int runMain(platform::Platform& platform) {
  std::vector<std::string> arguments = platform.process.arguments();
  if (!arguments.empty()) arguments.erase(arguments.begin());
  if (arguments.empty()) usage(platform, subcommandRequiredMessage());
  const std::string& word = arguments.front();
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  const OptionMap options = parseOptions(rest);

  for (const Subcommand& subcommand : kSubcommands) {
    if (subcommand.name != word || subcommand.run == nullptr) continue;
    const Invocation call{platform, rest, options};
    if (subcommand.missingWords) {
      if (auto message = subcommand.missingWords(call)) usage(platform, *message);
    }
    subcommand.run(call);
    return 0;
  }
  usage(platform, "unknown subcommand: " + word);
}

}  // namespace zuno
