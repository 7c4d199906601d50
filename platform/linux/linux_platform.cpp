#include "linux/linux_platform.h"

#include "linux/ffmpeg_audio_files.h"
#include "linux/lazy_services.h"
#include "linux/linux_apple_events.h"
#include "linux/linux_microphone_permission.h"
#include "linux/linux_process.h"
#include "linux/linux_speech_analysis.h"
#include "linux/linux_speech_recognizers.h"
#include "linux/native_runtime.h"
#include "linux/pulse_audio_engines.h"
#include "linux/pulse_audio_hardware.h"
#include "linux/pulse_connection.h"

namespace platform::linux_backend {

struct LinuxPlatform::Services {
  Services(int argc, char** argv) : process(argc, argv) {}

  NativeRuntime runtime;
  LinuxProcessInfo process;
  LinuxFileSystem fileSystem;
  LinuxDynamicLoader loader;
  // Made on first use: most runs need few of them (see lazy_services.h).
  LazyAudioFiles audioFiles{[] { return std::make_unique<FfmpegAudioFiles>(); }};
  // One audio-server connection per process, made on first use, shared by engine and hardware.
  std::shared_ptr<PulseConnection> pulse = PulseConnection::create([this](std::string_view line) {
    std::string text(line);
    text += '\n';
    runtime.standardError().writeAll(text);
  });
  LazyAudioEngines audioEngines{
      [this] { return std::make_unique<PulseAudioEngines>(pulse, runtime); }};
  PulseAudioHardware audioHardware{pulse};
  LinuxMicrophonePermission microphonePermission;
  LazySpeechAnalysis speechAnalysis{[] { return std::make_unique<LinuxSpeechAnalysis>(); }};
  LazySpeechRecognizers speechRecognizers{
      [this] { return std::make_unique<LinuxSpeechRecognizers>(audioFiles); }};
  LinuxAppleEvents appleEvents;
};

LinuxPlatform::LinuxPlatform(int argc, char** argv)
    : services_(std::make_unique<Services>(argc, argv)),
      platform_(std::make_unique<Platform>(
          Platform{services_->runtime, services_->process, services_->fileSystem, services_->loader,
                   services_->audioFiles, services_->audioEngines, services_->audioHardware,
                   services_->microphonePermission, services_->speechAnalysis,
                   services_->speechRecognizers, services_->appleEvents})) {}

LinuxPlatform::~LinuxPlatform() = default;

}  // namespace platform::linux_backend
