#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "linux/pulse_connection.h"
#include "linux/pulse_delivery_thread.h"
#include "platform/error.h"

namespace platform::linux_backend {

// Which device a stream keeps recording when the user picks another default.
enum class PulseFollow { nothing, defaultSource, defaultSinkMonitor };

struct PulseRecordStreamOptions {
  std::string streamName;
  // Empty: the default source.
  std::string device;
  PulseFollow follow = PulseFollow::nothing;
  // Float32 samples at this rate and channel count; the server converts whatever the device
  // delivers, so the consumer sees one format for the stream's whole life.
  std::uint32_t sampleRate = 48000;
  std::uint32_t channels = 1;
};

// One record stream on the shared connection, delivering interleaved float samples on a
// delivery thread of its own. Start, pause and stop come from the program's threads, never the
// mainloop thread.
class PulseRecordStream {
 public:
  PulseRecordStream(std::shared_ptr<PulseConnection> connection, PulseRecordStreamOptions options,
                    PulseDeliveryThread::Handler handler);
  ~PulseRecordStream();
  PulseRecordStream(const PulseRecordStream&) = delete;
  PulseRecordStream& operator=(const PulseRecordStream&) = delete;

  // Connects the first time, resumes after a pause.
  MaybeError start();
  // Keeps the stream but stops recording; returns once no handler call runs.
  void pause();
  // Disconnects; returns once no handler call runs or can start.
  void stop();
  bool isRunning();
  // The server's name of the device being recorded now; empty when not connected.
  std::string deviceName();

 private:
  MaybeError connectLocked();
  void disconnectLocked();
  bool corkLocked(bool cork);
  void followDefaultLocked();
  void moveToLocked(const char* sourceName);
  void forgetFinishedOperationsLocked();
  static void onState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, std::size_t bytes, void* self);

  std::shared_ptr<PulseConnection> connection_;
  PulseRecordStreamOptions options_;
  PulseDeliveryThread::Handler handler_;
  std::unique_ptr<PulseDeliveryThread> delivery_;
  pa_stream* stream_ = nullptr;
  bool paused_ = false;
  std::uint64_t serverListener_ = 0;
  // Follow-up questions in flight; cancelled on disconnect so no callback outlives the stream.
  std::vector<pa_operation*> pending_;
};

}  // namespace platform::linux_backend
