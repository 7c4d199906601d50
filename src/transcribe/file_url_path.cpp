#include "transcribe/file_url_path.h"

#include <vector>

namespace zuno {

std::string fileURLPath(const std::string& path, const std::string& currentDirectory) {
  const bool absolute = !path.empty() && path.front() == '/';
  if (!absolute && currentDirectory.empty()) return path;
  const std::string joined = absolute ? path : currentDirectory + "/" + path;

  // Segments are resolved lexically, never through the file system, as a URL's are.
  std::vector<std::string> segments;
  std::size_t at = 0;
  while (at <= joined.size()) {
    std::size_t end = joined.find('/', at);
    if (end == std::string::npos) end = joined.size();
    const std::string segment = joined.substr(at, end - at);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    at = end + 1;
  }
  if (segments.empty()) return "/";
  std::string resolved;
  for (const std::string& segment : segments) resolved += "/" + segment;
  return resolved;
}

}  // namespace zuno
