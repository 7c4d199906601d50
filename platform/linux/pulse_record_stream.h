#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "linux/pulse_connection.h"
#include "linux/pulse_delivery_thread.h"
#include "platform/error.h"

namespace platform::linux_backend {

// Which device a stream records, and keeps recording when the user picks another default.
enum class PulseFollow {
  // The named device, and only it.
  nothing,
  // The default source (or the named device while it exists).
  defaultSource,
  // The monitor of the default sink: what the applications play.
  defaultSinkMonitor,
};

struct PulseRecordStreamOptions {
  std::string streamName;
  // Empty: the default source (for `defaultSinkMonitor`, the default sink's monitor).
  std::string device;
  PulseFollow follow = PulseFollow::nothing;
  // Float32 samples at this rate and channel count; the server converts whatever the device
  // delivers, so the consumer sees one format for the stream's whole life.
  std::uint32_t sampleRate = 48000;
  std::uint32_t channels = 1;
  PulseDeliveryThread::Pacing pacing = PulseDeliveryThread::Pacing::asDelivered;
};

// One record stream on the shared connection, delivering interleaved float samples on a
// delivery thread of its own, on the recording's clock. Start, pause and stop come from the
// program's threads, never the mainloop thread, and never wait for the server for long.
//
// Once started it keeps recording until stopped, whatever the server does: a stream the server
// drops (its device removed, the server restarted) is made again on the mainloop thread, and
// the time without one reaches the consumer as silence.
class PulseRecordStream {
 public:
  PulseRecordStream(std::shared_ptr<PulseConnection> connection, PulseRecordStreamOptions options,
                    PulseDeliveryThread::Handler handler);
  ~PulseRecordStream();
  PulseRecordStream(const PulseRecordStream&) = delete;
  PulseRecordStream& operator=(const PulseRecordStream&) = delete;

  // Connects the first time and checks the server records the intended device; resumes after
  // a pause.
  MaybeError start();
  // Keeps the stream but stops recording; returns once no handler call runs.
  void pause();
  // Disconnects; returns once no handler call runs or can start. Waits until the server has
  // confirmed the disconnect, or `confirmedBy` passed: whoever removes the device next must not
  // pull it from under a stream the server still runs.
  void stop(PulseDeadline confirmedBy = {});
  // Records the source `device` from now on (the default source when empty), moving the stream
  // there if it is connected; for a device that came or went while recording.
  void recordSource(const std::string& device);
  // Started and not paused, whether or not the server is there right now.
  bool isRunning();
  // The server's name of the device being recorded now; empty when not connected.
  std::string deviceName();

 private:
  enum class Wanted { stopped, running, paused };

  // Everything below runs under the mainloop lock.
  void beginConnectLocked();
  void connectToLocked(const std::string& device);
  void failConnectLocked(std::string reason);
  void onStateLocked();
  void releaseStreamLocked();
  void teardownLocked();
  void retryLaterLocked();
  void reconnectLocked();
  PulseConnection::Outcome corkLocked(bool cork);
  void followDefaultLocked();
  void moveToLocked(const char* sourceName);
  void trackLocked(pa_operation* operation);
  static void onState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, std::size_t bytes, void* self);

  std::shared_ptr<PulseConnection> connection_;
  PulseRecordStreamOptions options_;
  PulseDeliveryThread::Handler handler_;
  std::unique_ptr<PulseDeliveryThread> delivery_;
  pa_stream* stream_ = nullptr;
  Wanted wanted_ = Wanted::stopped;
  // The device the current stream was asked for; empty for the server's choice.
  std::string intendedDevice_;
  // recordSource() named a device while the current stream was still being made: that attempt
  // was asked for before the device existed perhaps, so its failure says nothing about it.
  bool deviceNamedDuringAttempt_ = false;
  // The stream has been ready once: from then on a lost stream is made again, never reported.
  bool established_ = false;
  bool ready_ = false;
  // Why the first connection failed, for start() to report.
  std::optional<std::string> connectFailure_;
  std::uint64_t listener_ = 0;
  pa_time_event* retryTimer_ = nullptr;
  // Questions in flight; cancelled on teardown so no callback outlives the stream.
  std::vector<pa_operation*> pending_;
};

}  // namespace platform::linux_backend
