#pragma once

#include <map>
#include <string>
#include <vector>

namespace zuno {

// Option name without its leading "--" mapped to the word after it, or "" when none followed.
using OptionMap = std::map<std::string, std::string>;

// A word beginning with "--" names an option and takes the next word as its value unless that
// word is itself an option; other words are skipped; the last occurrence of a key wins.
OptionMap parseOptions(const std::vector<std::string>& words);

// The value of `key`, or "" when absent: an empty value counts as absent everywhere.
std::string optionValue(const OptionMap& options, const std::string& key);

}  // namespace zuno
