#include "cli/options.h"

namespace zuno {
namespace {

bool isOptionWord(const std::string& word) {
  return word.starts_with("--");
}

}  // namespace

OptionMap parseOptions(const std::vector<std::string>& words) {
  OptionMap options;
  std::size_t i = 0;
  while (i < words.size()) {
    const std::string& word = words[i];
    if (!isOptionWord(word)) {
      ++i;
      continue;
    }
    std::string key = word.substr(2);
    if (i + 1 == words.size() || isOptionWord(words[i + 1])) {
      options[key] = "";
      ++i;
    } else {
      options[key] = words[i + 1];
      i += 2;
    }
  }
  return options;
}

std::string optionValue(const OptionMap& options, const std::string& key) {
  auto found = options.find(key);
  return found == options.end() ? std::string() : found->second;
}

}  // namespace zuno
