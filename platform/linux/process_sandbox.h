#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::linux_backend {

// What the system says about a host process's sandbox. Both are the system's own records, not
// the process's word: a Flatpak's id is in the `.flatpak-info` at the root the sandbox gave it;
// a snap's confinement is in its AppArmor label, or its cgroup where AppArmor is off.
struct ProcessSandbox {
  std::string flatpakAppId;  // "com.slack.Slack"; empty outside a Flatpak
  std::string snapCommand;   // "chromium", or "<snap>.<app>"; empty outside a snap
};
ProcessSandbox sandboxOf(std::int32_t hostPid);

// The process's command name (`/proc/<pid>/comm`); empty when there is no such process.
std::string commandNameOf(std::int32_t hostPid);

// The readers of the records above, apart from the files so that each form can be checked.
// The `name` of the `[Application]` group of a `.flatpak-info`.
std::string flatpakAppIdIn(std::string_view flatpakInfo);
// "snap.chromium.chromium (enforce)" gives "chromium"; "snap.foo.bar" gives "foo.bar". Hooks
// ("snap.foo.hook.configure") and labels of anything else give nothing.
std::string snapCommandOfAppArmorLabel(std::string_view label);
// The snap's scope among the process's cgroups, "snap.<snap>.<app>-<uuid>.scope" (older snapd:
// ".<uuid>.scope"), as its command.
std::string snapCommandOfCgroups(std::string_view cgroups);

}  // namespace platform::linux_backend
