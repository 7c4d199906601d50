#include "linux/pocketsphinx_decoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <mutex>
#include <string>

#include "linux/pocketsphinx_errors.h"

namespace platform::linux_backend {
namespace {

// The library reports on standard error unless told otherwise, and standard error carries only
// the program's own lines. Its log target is one for the whole process.
void silenceLibraryLog() {
  static std::once_flag once;
  std::call_once(once, [] { err_set_logfp(nullptr); });
}

// Silences, sentence marks and noises ("<sil>", "</s>", "[NOISE]", "++UH++") are not words.
bool isWord(const std::string& token) {
  return !token.empty() && token.front() != '<' && token.front() != '[' && token.front() != '+';
}

// "read(2)" is the second pronunciation of "read": the word is the same.
std::string baseWord(std::string token) {
  if (token.size() > 2 && token.back() == ')') {
    if (const auto open = token.rfind('('); open != std::string::npos && open > 0) {
      token.erase(open);
    }
  }
  return token;
}

}  // namespace

Result<std::unique_ptr<PocketsphinxDecoder>> PocketsphinxDecoder::make(
    const PocketsphinxModel& model) {
  silenceLibraryLog();
  const char* const none = nullptr;
  // Silence is decoded like everything else, so a frame's number is its time in the file.
  cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(),
                                 "-dict", model.dictionary.c_str(), "-lm",
                                 model.languageModel.c_str(), "-remove_silence", "no", none);
  if (!config) {
    return Error{kSpeechErrorDomain, kSpeechModelUnusable,
                 "cannot use the speech model in " + model.acousticModel};
  }
  ps_decoder_t* decoder = ps_init(config);
  cmd_ln_free_r(config);
  if (!decoder) {
    return Error{kSpeechErrorDomain, kSpeechModelUnusable,
                 "cannot load the speech model in " + model.acousticModel};
  }
  cmd_ln_t* used = ps_get_config(decoder);
  const double sampleRate = cmd_ln_float32_r(used, "-samprate");
  const double frameRate = cmd_ln_int32_r(used, "-frate");
  if (sampleRate <= 0 || frameRate <= 0) {
    ps_free(decoder);
    return Error{kSpeechErrorDomain, kSpeechModelUnusable,
                 "cannot start decoding with the speech model in " + model.acousticModel};
  }
  return std::unique_ptr<PocketsphinxDecoder>(
      new PocketsphinxDecoder(decoder, sampleRate, frameRate));
}

PocketsphinxDecoder::PocketsphinxDecoder(ps_decoder_s* decoder, double sampleRate, double frameRate)
    : decoder_(decoder), sampleRate_(sampleRate), frameRate_(frameRate) {}

PocketsphinxDecoder::~PocketsphinxDecoder() {
  ps_free(decoder_);
}

Result<std::vector<SpeechTranscriptionSegment>> PocketsphinxDecoder::decode(
    std::span<const std::int16_t> utterance) {
  const Error failed{kSpeechErrorDomain, kSpeechDecodingFailed, "the speech decoder failed"};
  if (ps_start_utt(decoder_) < 0) return failed;
  if (!utterance.empty() &&
      ps_process_raw(decoder_, utterance.data(), utterance.size(), FALSE, TRUE) < 0) {
    ps_end_utt(decoder_);
    return failed;
  }
  if (ps_end_utt(decoder_) < 0) return failed;
  std::vector<SpeechTranscriptionSegment> segments;
  for (ps_seg_t* segment = ps_seg_iter(decoder_); segment; segment = ps_seg_next(segment)) {
    const char* token = ps_seg_word(segment);
    if (!token || !isWord(token)) continue;
    int startFrame = 0;
    int endFrame = 0;
    ps_seg_frames(segment, &startFrame, &endFrame);
    // The end frame is the word's last, so the word lasts one frame more than the difference.
    segments.push_back(
        {startFrame / frameRate_, (endFrame - startFrame + 1) / frameRate_, baseWord(token)});
  }
  return segments;
}

}  // namespace platform::linux_backend
