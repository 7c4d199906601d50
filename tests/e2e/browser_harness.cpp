#include "e2e/browser_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace zuno::e2e {
namespace {

// Set in every browser's environment, so its processes are found even outside its session.
constexpr const char* kMarker = "ZUNO_E2E_BROWSER";

std::string contentsOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Session and state of process `pid`, from /proc/PID/stat (the name may hold spaces and
// parentheses, so the last ')' ends it); false when it is gone.
bool statOf(pid_t pid, pid_t& session, char& state) {
  const std::string stat = contentsOf("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return false;
  std::istringstream fields(stat.substr(nameEnd + 1));
  pid_t parent = 0, group = 0;
  return static_cast<bool>(fields >> state >> parent >> group >> session);
}

// The browsers find their configuration, caches and session bus through these: none may lead
// to the user's.
bool inheritedByBrowser(const std::string& entry) {
  static const char* const kDropped[] = {"HOME=",
                                         "DISPLAY=",
                                         "WAYLAND_DISPLAY=",
                                         "DBUS_SESSION_BUS_ADDRESS=",
                                         "XDG_CONFIG_HOME=",
                                         "XDG_CACHE_HOME=",
                                         "XDG_DATA_HOME=",
                                         "XDG_STATE_HOME=",
                                         "MOZ_",
                                         "CHROME_",
                                         "ZUNO_E2E_BROWSER="};
  for (const char* prefix : kDropped) {
    if (entry.starts_with(prefix)) return false;
  }
  return true;
}

// Whether the environment a process was started with holds `entry` ("NAME=value").
bool environmentHolds(const std::string& directory, const std::string& entry) {
  std::istringstream entries(contentsOf(directory + "/environ"));
  for (std::string line; std::getline(entries, line, '\0');) {
    if (line == entry) return true;
  }
  return false;
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

}  // namespace

std::string HeadlessBrowser::binaryOf(BrowserKind kind) {
  return kind == BrowserKind::kChromium ? "/usr/bin/chromium" : "/usr/bin/firefox-esr";
}

std::string HeadlessBrowser::nameOf(BrowserKind kind) {
  return kind == BrowserKind::kChromium ? "chromium" : "firefox-esr";
}

HeadlessBrowser::HeadlessBrowser(BrowserKind kind, const std::string& url,
                                 const BrowserOptions& options)
    : kind_(kind) {
  char pattern[] = "/tmp/zuno-browser.XXXXXX";
  if (const char* made = ::mkdtemp(pattern)) root_ = made;
  if (root_.empty()) {
    error_ = "no temporary directory";
    return;
  }
  home_ = root_ + "/home";
  if (kind == BrowserKind::kChromium) {
    profile_ = home_ + "/.config/chromium";
    std::filesystem::create_directories(profile_);
  } else {
    writeFirefoxProfile(options);
  }

  // Everything the child needs is made before fork: the test binary has threads, so the child
  // may only make async-signal-safe calls until it execs.
  std::vector<std::string> argv = commandLine(url, options);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (inheritedByBrowser(*entry)) environment.emplace_back(*entry);
  }
  environment.push_back("HOME=" + home_);
  environment.push_back(std::string(kMarker) + "=" + root_);
  std::vector<char*> argvPointers, environmentPointers;
  for (auto& word : argv) argvPointers.push_back(word.data());
  argvPointers.push_back(nullptr);
  for (auto& entry : environment) environmentPointers.push_back(entry.data());
  environmentPointers.push_back(nullptr);
  const std::string logPath = root_ + "/browser.log";
  const int logFile = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int execFailed[2];
  if (logFile < 0 || nothing < 0 || ::pipe2(execFailed, O_CLOEXEC) != 0) {
    error_ = "cannot open the browser's log or a pipe";
    return;
  }
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    // If the test binary dies, so does the browser (and its children, which watch it).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(nothing, 0);
    ::dup2(logFile, 1);
    ::dup2(logFile, 2);
    ::execve(argvPointers[0], argvPointers.data(), environmentPointers.data());
    const int number = errno;
    [[maybe_unused]] const auto written = ::write(execFailed[1], &number, sizeof number);
    ::_exit(127);
  }
  ::close(logFile);
  ::close(nothing);
  ::close(execFailed[1]);
  int number = 0;
  const ssize_t got = child < 0 ? 0 : ::read(execFailed[0], &number, sizeof number);
  ::close(execFailed[0]);
  if (child < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
  } else if (got == sizeof number) {
    error_ = argv[0] + ": " + std::strerror(number);
    ::waitpid(child, nullptr, 0);
  } else {
    pid_ = child;
  }
}

HeadlessBrowser::~HeadlessBrowser() {
  stop();
  if (root_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void HeadlessBrowser::writeFirefoxProfile(const BrowserOptions& options) {
  const std::string profiles = home_ + "/.mozilla/firefox";
  profile_ = profiles + "/zuno.default";
  std::filesystem::create_directories(profile_);
  // Registered as the default profile, as Firefox's first start on a desktop leaves it.
  writeFile(profiles + "/profiles.ini",
            "[General]\nStartWithLastProfile=1\nVersion=2\n\n"
            "[Profile0]\nName=default\nIsRelative=1\nPath=zuno.default\nDefault=1\n");
  std::vector<std::pair<std::string, std::string>> preferences = {
      // getUserMedia is granted without a prompt, and from the real default source.
      {"media.navigator.permission.disabled", "true"},
      {"media.navigator.streams.fake", "false"},
      // The session (tabs, addresses, titles) on disk every second instead of every fifteen.
      {"browser.sessionstore.interval", "1000"},
      // Media may play without a click, since nobody clicks.
      {"media.autoplay.default", "0"},
      // No first-run, welcome or what's-new pages in front of the test's page.
      {"browser.shell.checkDefaultBrowser", "false"},
      {"browser.startup.homepage_override.mstone", "\"ignore\""},
      {"startup.homepage_welcome_url", "\"\""},
      {"startup.homepage_welcome_url.additional", "\"\""},
      {"browser.aboutwelcome.enabled", "false"},
      {"browser.tabs.warnOnClose", "false"},
      {"datareporting.policy.firstRunURL", "\"\""},
      // Nothing on the network but the test's server: no telemetry, updates or lists.
      {"datareporting.policy.dataSubmissionEnabled", "false"},
      {"datareporting.healthreport.uploadEnabled", "false"},
      {"toolkit.telemetry.enabled", "false"},
      {"toolkit.telemetry.unified", "false"},
      {"toolkit.telemetry.reportingpolicy.firstRun", "false"},
      {"app.update.disabledForTesting", "true"},
      {"app.update.auto", "false"},
      {"extensions.update.enabled", "false"},
      {"extensions.getAddons.cache.enabled", "false"},
      {"browser.safebrowsing.malware.enabled", "false"},
      {"browser.safebrowsing.phishing.enabled", "false"},
      {"browser.safebrowsing.downloads.enabled", "false"},
      {"browser.safebrowsing.blockedURIs.enabled", "false"},
      {"network.captive-portal-service.enabled", "false"},
      {"network.connectivity-service.enabled", "false"},
      {"browser.newtabpage.activity-stream.feeds.system.topstories", "false"},
      {"browser.region.network.url", "\"\""},
      {"browser.search.geoip.url", "\"\""},
  };
  preferences.insert(preferences.end(), options.firefoxPreferences.begin(),
                     options.firefoxPreferences.end());
  std::string userJs;
  for (const auto& [name, value] : preferences) {
    userJs += "user_pref(\"" + name + "\", " + value + ");\n";
  }
  writeFile(profile_ + "/user.js", userJs);
}

std::vector<std::string> HeadlessBrowser::commandLine(const std::string& url,
                                                      const BrowserOptions& options) {
  std::vector<std::string> argv{binaryOf(kind_)};
  if (kind_ == BrowserKind::kChromium) {
    argv.insert(argv.end(), {
                                "--headless=new",
                                // Its sandbox cannot work as root, which the tests run as.
                                "--no-sandbox",
                                // Grants the microphone prompt; the device stays the real one.
                                "--use-fake-ui-for-media-stream",
                                "--user-data-dir=" + profile_,
                                "--no-first-run",
                                "--no-default-browser-check",
                                "--password-store=basic",
                                "--disable-component-update",
                            });
  } else {
    argv.insert(argv.end(), {"--headless", "--no-remote", "--profile", profile_});
  }
  argv.insert(argv.end(), options.arguments.begin(), options.arguments.end());
  argv.push_back(url);
  return argv;
}

std::string HeadlessBrowser::log() const {
  return root_.empty() ? "" : contentsOf(root_ + "/browser.log");
}

std::vector<pid_t> HeadlessBrowser::processes() const {
  std::vector<pid_t> found;
  if (pid_ <= 0) return found;
  const std::string marker = std::string(kMarker) + "=" + root_;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long number = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || number <= 0) continue;
    const auto pid = static_cast<pid_t>(number);
    pid_t session = 0;
    char state = '?';
    // A zombie has ended; whoever adopted it reaps it.
    if (!statOf(pid, session, state) || state == 'Z') continue;
    const std::string directory = "/proc/" + std::to_string(pid);
    if (session == pid_) {
      found.push_back(pid);
      continue;
    }
    if (environmentHolds(directory, marker) ||
        contentsOf(directory + "/cmdline").find(root_ + "/") != std::string::npos) {
      found.push_back(pid);
    }
  }
  ::closedir(proc);
  return found;
}

bool HeadlessBrowser::reaped() {
  if (status_ != -1) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool HeadlessBrowser::stop(double graceSeconds) {
  if (pid_ <= 0 || stopped_) return true;
  stopped_ = true;
  using std::chrono::steady_clock;
  // Every process of it seen alive: the ones that left its session are reaped by whoever
  // adopted them, and are waited for below.
  std::set<pid_t> seen;
  const auto signalAll = [&](int number) {
    ::kill(-pid_, number);
    for (pid_t process : processes()) {
      seen.insert(process);
      ::kill(process, number);
    }
  };
  const auto endedBy = [&](steady_clock::time_point deadline) {
    while (steady_clock::now() < deadline) {
      const std::vector<pid_t> left = processes();
      seen.insert(left.begin(), left.end());
      if (reaped() && left.empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };
  signalAll(SIGTERM);
  const bool ended =
      endedBy(steady_clock::now() + std::chrono::duration_cast<steady_clock::duration>(
                                        std::chrono::duration<double>(graceSeconds)));
  if (!ended) {
    signalAll(SIGKILL);
    endedBy(steady_clock::now() + std::chrono::seconds(5));
    if (!reaped()) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  // Nothing of it is left in the process table, not even a zombie, when this returns; a
  // machine whose init never reaps gets five seconds.
  const auto deadline = steady_clock::now() + std::chrono::seconds(5);
  const auto zombie = [](pid_t pid) {
    pid_t session = 0;
    char state = '?';
    return statOf(pid, session, state) && state == 'Z';
  };
  while (steady_clock::now() < deadline && std::any_of(seen.begin(), seen.end(), zombie)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ended;
}

}  // namespace zuno::e2e
