#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/audio_files.h"
#include "platform/error.h"

namespace platform::linux_backend {

using SampleConsumer = std::function<bool(std::span<const std::int16_t> samples)>;

// Reads an opened file to its end a piece at a time, converted to mono 16-bit samples at
// `sampleRate`, and hands each piece to `consume` as soon as it is ready; the file is never
// held whole. Stops early, without an error, when `consume` answers false. A failure to read
// or convert is the recogniser's error naming `path` and the reason.
MaybeError streamSamples(AudioFiles& files, AudioFileForReading& reader, const std::string& path,
                         double sampleRate, const SampleConsumer& consume);

}  // namespace platform::linux_backend
