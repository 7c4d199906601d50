#pragma once

#include "platform/platform.h"
#include "sim/sim_apple_events.h"
#include "sim/sim_audio_engine.h"
#include "sim/sim_audio_files.h"
#include "sim/sim_audio_hardware.h"
#include "sim/sim_process.h"
#include "sim/sim_runtime.h"
#include "sim/sim_speech_analyzer.h"
#include "sim/sim_speech_recognizer.h"

namespace platform::sim {

// Every service in memory, scriptable, on virtual time. Tests reach the parts by name to script
// them and hand `platform()` to the code under test.
class SimPlatform {
 public:
  SimPlatform() = default;
  SimPlatform(const SimPlatform&) = delete;
  SimPlatform& operator=(const SimPlatform&) = delete;

  SimRuntime runtime;
  SimProcessInfo process;
  SimFileSystem fileSystem;
  SimDynamicLoader loader;
  SimAudioFiles audioFiles;
  SimAudioEngines audioEngines;
  SimAudioHardware audioHardware;
  SimMicrophonePermission microphonePermission;
  SimSpeechAnalysis speechAnalysis{runtime};
  SimSpeechRecognizers speechRecognizers{runtime};
  SimAppleEvents appleEvents;

  Platform& platform() { return platform_; }

 private:
  Platform platform_{runtime,        process,           fileSystem,    loader,
                     audioFiles,     audioEngines,      audioHardware, microphonePermission,
                     speechAnalysis, speechRecognizers, appleEvents};
};

}  // namespace platform::sim
