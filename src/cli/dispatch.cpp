#include "cli/dispatch.h"

#include <array>
#include <string_view>

#include "cli/options.h"
#include "events/event.h"
#include "record/recorder.h"

namespace zuno {
namespace {

struct Invocation {
  platform::Platform& platform;
  const std::vector<std::string>& rest;
  const OptionMap& options;
};

[[noreturn]] void usage(platform::Platform& platform, std::string_view message) {
  fail(platform.runtime, "usage", message);
}

void runRecordCommand(const Invocation& call) {
  const std::string outDir = optionValue(call.options, "out-dir");
  if (outDir.empty()) usage(call.platform, "record requires --out-dir <DIR>");
  auto recorder = Recorder::create(call.platform, outDir);
  recorder->run();
}

struct Subcommand {
  std::string_view name;
  void (*run)(const Invocation&);
};

// Compared in this order; a subcommand without an entry yet is unknown to the program.
constexpr std::array kSubcommands{
    Subcommand{"record", &runRecordCommand},
};

}  // namespace

int runMain(platform::Platform& platform) {
  std::vector<std::string> arguments = platform.process.arguments();
  if (!arguments.empty()) arguments.erase(arguments.begin());
  if (arguments.empty()) {
    usage(platform,
          "subcommand required: caps | watch | record | transcribe | probe | browser-tab");
  }
  const std::string& word = arguments.front();
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  const OptionMap options = parseOptions(rest);

  for (const Subcommand& subcommand : kSubcommands) {
    if (subcommand.name == word) {
      subcommand.run(Invocation{platform, rest, options});
      return 0;
    }
  }
  usage(platform, "unknown subcommand: " + word);
}

}  // namespace zuno
