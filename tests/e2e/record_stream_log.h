#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zuno::e2e {

// The audio server's record streams and clients as they come and go, each event stamped with
// the moment it reached this process: when a capture really started and stopped, as the server
// saw it, whatever the capturing program believes. It follows the server the environment names
// (PULSE_SERVER), from a thread of its own, from the moment it is ready.
class RecordStreamLog {
 public:
  using Clock = std::chrono::steady_clock;

  struct Client {
    std::uint32_t index = PA_INVALID_INDEX;
    std::optional<int> pid;  // application.process.id
    // The session of that process when the client was first seen (a process's session outlives
    // nothing of it, so it is read while the process is there).
    std::optional<int> session;
    std::string properties;  // every property, "key = \"value\"" a line
  };
  struct Stream {
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint32_t client = PA_INVALID_INDEX;  // unknown when it went before the server told
    Clock::time_point createdAt;
    // The first moment it was seen uncorked: some clients create their stream corked.
    std::optional<Clock::time_point> runningAt;
    std::optional<Clock::time_point> removedAt;
    std::string properties;
  };

  RecordStreamLog();
  ~RecordStreamLog();
  RecordStreamLog(const RecordStreamLog&) = delete;
  RecordStreamLog& operator=(const RecordStreamLog&) = delete;

  // Whether it is connected and told of every event from now on.
  bool ready() const;

  // The record streams, in the order they were created, whose client's process was in
  // `session` when the client came.
  std::vector<Stream> streamsOfSession(int session) const;
  // The clients whose process was in `session`.
  std::vector<Client> clientsOfSession(int session) const;
  // Waits up to `seconds` until `done` holds for the streams of `session`; whether it did.
  bool waitUntil(int session, const std::function<bool(const std::vector<Stream>&)>& done,
                 double seconds);
  // Everything seen, for a failed test's message.
  std::string describe() const;

 private:
  static void onContextState(pa_context* context, void* self);
  static void onSubscribed(pa_context* context, int success, void* self);
  static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                      void* self);
  static void onClientInfo(pa_context* context, const pa_client_info* info, int eol, void* self);
  static void onStreamInfo(pa_context* context, const pa_source_output_info* info, int eol,
                           void* self);
  std::vector<Stream> streamsOfSessionLocked(int session) const;

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;
  bool failed_ = false;
  std::map<std::uint32_t, Client> clients_;
  std::map<std::uint32_t, Stream> streams_;
  // When the latest event about each stream came; an info answer that follows it describes the
  // stream as of that moment.
  std::map<std::uint32_t, Clock::time_point> lastEventAt_;
};

}  // namespace zuno::e2e
