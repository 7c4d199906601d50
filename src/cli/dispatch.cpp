#include "cli/dispatch.h"

#include <array>
#include <optional>
#include <string_view>

#include "cli/options.h"
#include "core/run_failure.h"
#include "core/run_scope.h"
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
  RunScope& scope;
  const std::vector<std::string>& rest;
  const OptionMap& options;
};

using UsageCheck = std::optional<std::string_view> (*)(const Invocation&);
// Returns the exit status of a run that did not fail.
using Entry = int (*)(const Invocation&);

// One row per subcommand: its word, the usage message when the words it needs are missing, and
// its entry. The rows' order is the order the usage message lists them in.
struct Subcommand {
  std::string_view name;
  UsageCheck missingWords;
  Entry run;
};

constexpr std::array kSubcommands{
    Subcommand{"caps", nullptr, [](const Invocation& call) { return runCaps(call.platform); }},
    Subcommand{"watch", nullptr,
               [](const Invocation& call) { return runWatch(call.platform, call.scope); }},
    Subcommand{"record",
               [](const Invocation& call) -> std::optional<std::string_view> {
                 if (optionValue(call.options, "out-dir").empty()) {
                   return "record requires --out-dir <DIR>";
                 }
                 return std::nullopt;
               },
               [](const Invocation& call) {
                 return runRecord(call.platform, call.scope, optionValue(call.options, "out-dir"));
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
                 return runTranscribe(call.platform, call.scope, optionValue(call.options, "audio"),
                                      locale);
               }},
    // The kind is passed on unchecked: the probe answers a kind it does not know itself.
    Subcommand{"probe",
               [](const Invocation& call) -> std::optional<std::string_view> {
                 if (call.rest.empty() || call.rest.front().starts_with("--")) {
                   return "probe requires <mic|system|automation>";
                 }
                 return std::nullopt;
               },
               [](const Invocation& call) {
                 return runProbe(call.platform, call.rest.front(), call.options);
               }},
    Subcommand{"browser-tab",
               [](const Invocation& call) -> std::optional<std::string_view> {
                 if (optionValue(call.options, "bundle").empty()) {
                   return "browser-tab requires --bundle <BUNDLE_ID>";
                 }
                 return std::nullopt;
               },
               [](const Invocation& call) {
                 return runBrowserTab(call.platform, optionValue(call.options, "bundle"));
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

// The subcommand the words name, run to its end; a usage error when they name none.
int dispatch(platform::Platform& platform, RunScope& scope) {
  std::vector<std::string> arguments = platform.process.arguments();
  if (!arguments.empty()) arguments.erase(arguments.begin());
  if (arguments.empty()) fail("usage", subcommandRequiredMessage());
  const std::string& word = arguments.front();
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  const OptionMap options = parseOptions(rest);

  for (const Subcommand& subcommand : kSubcommands) {
    if (subcommand.name != word) continue;
    const Invocation call{platform, scope, rest, options};
    if (subcommand.missingWords) {
      if (auto message = subcommand.missingWords(call)) fail("usage", *message);
    }
    return subcommand.run(call);
  }
  fail("usage", "unknown subcommand: " + word);
}

}  // namespace

int runMain(platform::Platform& platform) {
  // Outlives everything below, up to the end of the process.
  RunScope scope;
  int status = 0;
  try {
    status = dispatch(platform, scope);
  } catch (const RunFailure& failure) {
    scope.cleanUpAfterFailure();
    emitErrorEvent(platform.runtime, failure.code(), failure.message());
    status = 1;
  }
  // The one way out of every run.
  platform.runtime.exitProcess(status);
  return status;
}

}  // namespace zuno
