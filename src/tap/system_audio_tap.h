#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/platform.h"
#include "tap/system_audio_tap_error.h"

namespace zuno {

// Captures the stereo mix of every other process: a process tap feeding a private aggregate
// device whose IO block turns each cycle into one PCM buffer in the tap's own format. The program
// tears it down with `stop` on its ways out, since the process ends with `_exit` and no
// destructor runs at the end.
class SystemAudioTap : public std::enable_shared_from_this<SystemAudioTap> {
 public:
  using Handler = std::function<void(const platform::PCMBufferPtr&)>;

  // Throws SystemAudioTapError; a failed construction leaves no platform object behind.
  static std::shared_ptr<SystemAudioTap> create(platform::Platform& platform);
  // A last resort, not how the program ends a tap: `stop` for an owner that drops the tap without
  // stopping it. That is tests, and a failure that unwinds before the program holds on to the
  // tap (a system track file that cannot be opened, a probe whose start fails).
  ~SystemAudioTap();
  SystemAudioTap(const SystemAudioTap&) = delete;
  SystemAudioTap& operator=(const SystemAudioTap&) = delete;

  const platform::AudioFormat& streamFormat() const { return *streamFormat_; }
  const platform::AudioStreamBasicDescription& asbd() const { return asbd_; }

  // Registers the IO block and starts the device; throws ioProcFailed. The handler runs on the
  // device's IO thread, once per cycle that carries at least one whole frame.
  void start(Handler handler);
  // Safe in any state, any number of times; once it returns no cycle reaches the handler.
  void stop();

  // One IO cycle's input turned into a buffer for the handler.
  void deliver(const platform::ConstAudioBufferList& inputData, const Handler& handler);

  explicit SystemAudioTap(platform::Platform& platform);

 private:
  void construct();

  platform::AudioHardware& hardware_;
  platform::AudioFiles& audioFiles_;
  platform::ProcessInfo& process_;

  platform::AudioObjectID tapID_ = 0;
  platform::AudioObjectID aggregateID_ = 0;
  std::optional<platform::AudioDeviceIOProcID> ioProcID_;
  // Written by start and stop on the client's thread, read by the IO block without a lock: the
  // block is registered only after start stores it, and stop unregisters it before clearing.
  Handler handler_;
  std::optional<platform::AudioFormat> streamFormat_;
  platform::AudioStreamBasicDescription asbd_{};
};

}  // namespace zuno
