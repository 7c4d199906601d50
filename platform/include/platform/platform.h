#pragma once

#include "platform/apple_events.h"
#include "platform/audio_engine.h"
#include "platform/audio_files.h"
#include "platform/audio_hardware.h"
#include "platform/process.h"
#include "platform/runtime.h"
#include "platform/speech_analyzer.h"
#include "platform/speech_recognizer.h"

namespace platform {

// Every service the program reaches the operating system through. The core receives it
// explicitly; only the composition root knows which backend stands behind it.
struct Platform {
  Runtime& runtime;
  ProcessInfo& process;
  FileSystem& fileSystem;
  DynamicLoader& loader;
  AudioFiles& audioFiles;
  AudioEngines& audioEngines;
  AudioHardware& audioHardware;
  MicrophonePermission& microphonePermission;
  SpeechAnalysis& speechAnalysis;
  SpeechRecognizers& speechRecognizers;
  AppleEvents& appleEvents;
};

}  // namespace platform
