#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace zuno::e2e {

// The distribution's browsers, as users start them.
enum class BrowserKind { kChromium, kFirefoxEsr };

struct BrowserOptions {
  // More command-line arguments, before the address.
  std::vector<std::string> arguments;
  // More Firefox preferences: a name and its value as JavaScript ("true", "1000", "\"text\"").
  std::vector<std::pair<std::string, std::string>> firefoxPreferences;
};

// One headless browser showing one page, in a home directory of its own made for it (so
// nothing of the user's profile or session is touched, and what the browser writes there can
// be read back), talking to the audio server the environment names. Microphone requests are
// granted without a prompt, and the capture is real: the browser records from the server's
// default source.
//
// Chromium keeps its profile where Debian's build keeps it by default
// (HOME/.config/chromium). Firefox gets a profile registered as the default one in
// HOME/.mozilla/firefox/profiles.ini and saves its session every second.
//
// The browser leads a session of its own, so every process it starts is known, and dies with
// the test binary if that is killed. Helpers that leave its session (crash reporters) are known
// by the home directory in their environment or command line.
class HeadlessBrowser {
 public:
  // The command users start it by; a test fails, rather than skips, when it is missing.
  static std::string binaryOf(BrowserKind kind);
  static std::string nameOf(BrowserKind kind);

  HeadlessBrowser(BrowserKind kind, const std::string& url, const BrowserOptions& options = {});
  // Stops it if it still runs, and removes its home.
  ~HeadlessBrowser();
  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

  // Whether its binary was started; when not, error() says why.
  bool started() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  BrowserKind kind() const { return kind_; }
  // Its main process, which leads the session every other one is in.
  pid_t pid() const { return pid_; }
  pid_t session() const { return pid_; }
  const std::string& home() const { return home_; }
  // Chromium's user data directory or Firefox's profile directory.
  const std::string& profile() const { return profile_; }
  // What it wrote on its standard output and error.
  std::string log() const;

  // Every live process of it.
  std::vector<pid_t> processes() const;
  // Ends it as a session ending does: SIGTERM to each process, SIGKILL to what is left after
  // `graceSeconds`, then waits (5 s more at most) until none is left, and as long again for
  // whoever adopted its helpers to reap them. True when SIGTERM alone ended every process; the
  // main process's status is exitStatus() afterwards.
  bool stop(double graceSeconds = 10);
  // The exit status, or 128 + the signal that ended it; -1 while it runs.
  int exitStatus() const { return status_; }

 private:
  void writeFirefoxProfile(const BrowserOptions& options);
  std::vector<std::string> commandLine(const std::string& url, const BrowserOptions& options);
  bool reaped();

  BrowserKind kind_;
  std::string root_;
  std::string home_;
  std::string profile_;
  std::string error_;
  pid_t pid_ = -1;
  int status_ = -1;
  bool stopped_ = false;
};

}  // namespace zuno::e2e
