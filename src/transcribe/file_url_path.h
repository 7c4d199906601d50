#pragma once

#include <string>

namespace zuno {

// The path of the file URL made from `path`: a relative path is taken from `currentDirectory`,
// "." and ".." segments are resolved as a URL resolves them, and a trailing slash is dropped.
// An empty `currentDirectory` (it cannot be told) leaves a relative path as it is.
std::string fileURLPath(const std::string& path, const std::string& currentDirectory);

}  // namespace zuno
