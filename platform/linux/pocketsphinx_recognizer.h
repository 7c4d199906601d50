#pragma once

#include "linux/pocketsphinx_model.h"
#include "platform/audio_files.h"
#include "platform/speech_recognizer.h"

namespace platform::linux_backend {

// Transcribes files on the machine itself with one installed model. Each task reads on a thread
// of its own, streaming the file a piece at a time and cutting it at its pauses into stretches
// that decoders on further threads recognise side by side, and answers once: the final result,
// or the error that stopped it.
class PocketsphinxRecognizer final : public SpeechRecognizer {
 public:
  // `files` must outlive every task started.
  PocketsphinxRecognizer(AudioFiles& files, PocketsphinxModel model);
  bool supportsOnDeviceRecognition() override { return true; }
  void recognitionTask(const SpeechURLRecognitionRequest& request,
                       SpeechRecognitionResultHandler handler) override;

 private:
  AudioFiles& files_;
  PocketsphinxModel model_;
};

}  // namespace platform::linux_backend
