#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace zuno::testing {

struct BinaryRun {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when killed by a signal
  int termSignal = 0;
};

inline std::string readAll(int fd) {
  std::string text;
  char chunk[4096];
  while (true) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

// Runs the program with `args` and `stdinText` on standard input (closed afterwards), waiting for
// it to end. Output is drained through files so a chatty child never blocks on a full pipe.
inline BinaryRun runBinary(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& stdinText = {},
                           const std::vector<std::string>& extraEnvironment = {}) {
  char outTemplate[] = "/tmp/zuno-out-XXXXXX";
  char errTemplate[] = "/tmp/zuno-err-XXXXXX";
  const int outFd = ::mkstemp(outTemplate);
  const int errFd = ::mkstemp(errTemplate);
  int input[2];
  if (::pipe(input) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(input[0], 0);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    ::close(input[1]);
    for (const auto& assignment : extraEnvironment) ::putenv(const_cast<char*>(assignment.c_str()));
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(input[0]);
  if (!stdinText.empty()) {
    [[maybe_unused]] auto written = ::write(input[1], stdinText.data(), stdinText.size());
  }
  ::close(input[1]);
  int wstatus = 0;
  ::waitpid(child, &wstatus, 0);
  BinaryRun run;
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) run.termSignal = WTERMSIG(wstatus);
  ::lseek(outFd, 0, SEEK_SET);
  ::lseek(errFd, 0, SEEK_SET);
  run.out = readAll(outFd);
  run.err = readAll(errFd);
  ::close(outFd);
  ::close(errFd);
  ::unlink(outTemplate);
  ::unlink(errTemplate);
  return run;
}

}  // namespace zuno::testing
