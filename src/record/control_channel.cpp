#include <csignal>

#include "record/command_lines.h"
#include "record/recorder.h"

namespace zuno {

void Recorder::installSignalHandlers() {
  for (int signalNumber : {SIGTERM, SIGINT}) {
    // Ignored first, so the default action no longer ends the process: the source alone reacts.
    runtime_.ignoreSignal(signalNumber);
    auto source = runtime_.makeSignalSource(signalNumber, runtime_.mainQueue());
    source->setHandler(weakTask(&Recorder::finish));
    source->resume();
    signalSources.push_back(std::move(source));
  }
}

void Recorder::startStdinWatcher() {
  auto source = runtime_.makeStandardInputSource(runtime_.mainQueue());
  auto lines = std::make_shared<CommandLines>();
  source->setHandler([weakSelf = weak_from_this(), &input = runtime_.standardInput(), lines] {
    auto self = weakSelf.lock();
    if (!self) return;
    const platform::StandardInputRead read = input.readAvailable();
    lines->append(read.bytes);
    while (auto line = lines->nextLine()) {
      const auto word = commandWord(*line);
      if (!word) continue;
      if (*word == "stop") {
        self->finish();
        return;
      }
      if (*word == "pause") self->pauseRecording();
      if (*word == "resume") self->resumeRecording();
    }
    // The lines that came before the end are carried out first; a last line without its line
    // feed never is.
    if (read.ended) self->finish();
  });
  source->resume();
  stdinSource = std::move(source);
}

}  // namespace zuno
