// A capture client as conferencing applications and volume meters make them, for the call
// watcher's end-to-end tests: one record stream, optionally started corked or as a peak meter,
// with the client properties given on the command line. It prints "capturing" once the stream
// runs and records until it is terminated.
//
//   zuno_capture_client [--corked] [--peak-detect] [--device=SOURCE] [KEY=VALUE]...
#include <pulse/pulseaudio.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
  bool corked = false;
  bool peakDetect = false;
  std::string device;
  std::vector<std::pair<std::string, std::string>> properties;
};

struct Client {
  Options options;
  pa_mainloop_api* api = nullptr;
  pa_stream* stream = nullptr;
};

void onStreamState(pa_stream* stream, void*) {
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    std::printf("capturing\n");
    std::fflush(stdout);
  }
  if (state == PA_STREAM_FAILED) std::_Exit(3);
}

void onRead(pa_stream* stream, std::size_t, void*) {
  const void* data = nullptr;
  std::size_t bytes = 0;
  while (pa_stream_readable_size(stream) > 0) {
    if (pa_stream_peek(stream, &data, &bytes) < 0) return;
    if (bytes == 0) return;
    pa_stream_drop(stream);
  }
}

void onContextState(pa_context* context, void* userdata) {
  auto* client = static_cast<Client*>(userdata);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) std::_Exit(2);
  if (state != PA_CONTEXT_READY) return;
  // Meters ask for a few peaks a second, as volume controls do.
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, client->options.peakDetect ? 25u : 48000u, 1};
  client->stream = pa_stream_new(context, "capture", &spec, nullptr);
  pa_stream_set_state_callback(client->stream, onStreamState, nullptr);
  pa_stream_set_read_callback(client->stream, onRead, nullptr);
  int flags = PA_STREAM_ADJUST_LATENCY;
  if (client->options.corked) flags |= PA_STREAM_START_CORKED;
  if (client->options.peakDetect) flags |= PA_STREAM_PEAK_DETECT;
  const pa_buffer_attr attributes{static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                                  static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                                  4800 * 4};
  pa_stream_connect_record(
      client->stream, client->options.device.empty() ? nullptr : client->options.device.c_str(),
      &attributes, static_cast<pa_stream_flags_t>(flags));
}

}  // namespace

int main(int argc, char** argv) {
  Client client;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--corked") {
      client.options.corked = true;
    } else if (word == "--peak-detect") {
      client.options.peakDetect = true;
    } else if (word.starts_with("--device=")) {
      client.options.device = word.substr(9);
    } else if (const auto equals = word.find('='); equals != std::string::npos) {
      client.options.properties.emplace_back(word.substr(0, equals), word.substr(equals + 1));
    }
  }
  pa_mainloop* mainloop = pa_mainloop_new();
  client.api = pa_mainloop_get_api(mainloop);
  pa_proplist* properties = pa_proplist_new();
  for (const auto& [key, value] : client.options.properties) {
    pa_proplist_sets(properties, key.c_str(), value.c_str());
  }
  pa_context* context = pa_context_new_with_proplist(client.api, "capture client", properties);
  pa_proplist_free(properties);
  pa_context_set_state_callback(context, onContextState, &client);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return 2;
  int result = 0;
  pa_mainloop_run(mainloop, &result);
  return result;
}
