#include "transcribe/file_url_path.h"

#include <gtest/gtest.h>

#include <string>

namespace zuno {
namespace {

TEST(FileURLPath, IsAbsoluteWithItsDotSegmentsResolved) {
  struct Case {
    std::string path;
    std::string currentDirectory;
    std::string expected;
  };
  for (const Case& c : {
           Case{"meeting.m4a", "/home/ann", "/home/ann/meeting.m4a"},
           Case{"./rec/../meeting.m4a", "/home/ann", "/home/ann/meeting.m4a"},
           Case{"../../../meeting.m4a", "/home/ann", "/meeting.m4a"},
           Case{"rec/", "/home/ann/", "/home/ann/rec"},
           Case{"/tmp//a/./b.m4a", "/home/ann", "/tmp/a/b.m4a"},
           Case{"..", "/", "/"},
           // Without a working directory nothing can be resolved against it.
           Case{"meeting.m4a", "", "meeting.m4a"},
       }) {
    EXPECT_EQ(fileURLPath(c.path, c.currentDirectory), c.expected)
        << c.path << " in " << c.currentDirectory;
  }
}

}  // namespace
}  // namespace zuno
