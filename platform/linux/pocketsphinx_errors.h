#pragma once

namespace platform::linux_backend {

// How the on-device recogniser reports that it could not transcribe a file.
inline constexpr const char* kSpeechErrorDomain = "zuno-recorder.speech";
inline constexpr long kSpeechAudioUnreadable = 1;
inline constexpr long kSpeechModelUnusable = 2;
inline constexpr long kSpeechDecodingFailed = 3;

}  // namespace platform::linux_backend
