#include "cli/dispatch.h"

#include <array>
#include <optional>
#include <string_view>

#include "cli/options.h"
#include "diag/browser_tab.h"
#include "diag/caps.h"
#include "diag/probe.h"
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
// its entry. The rows' order is the order the usage message lists them in.
struct Subcommand {
  std::string_view name;
  UsageCheck missingWords;
  Entry run;
};

constexpr std::array kSubcommands{
    Subcommand{"caps", nullptr, [](const Invocation& call) { runCaps(call.platform); }},
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
    // The kind is passed on unchecked: the probe answers a kind it does not know itself.
    Subcommand{
        "probe",
        [](const Invocation& call) -> std::optional<std::string_view> {
          if (call.rest.empty() || call.rest.front().starts_with("--")) {
            return "probe requires <mic|system|automation>";
          }
          return std::nullopt;
        },
        [](const Invocation& call) { runProbe(call.platform, call.rest.front(), call.options); }},
    Subcommand{"browser-tab",
               [](const Invocation& call) -> std::optional<std::string_view> {
                 if (optionValue(call.options, "bundle").empty()) {
                   return "browser-tab requires --bundle <BUNDLE_ID>";
                 }
                 return std::nullopt;
               },
               [](const Invocation& call) {
                 runBrowserTab(call.platform, optionValue(call.options, "bundle"));
               }},
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
    if (subcommand.name != word) continue;
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
