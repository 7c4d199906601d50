#include "cli/dispatch.h"
#include "linux/linux_platform.h"

int main(int argc, char** argv) {
  platform::linux_backend::LinuxPlatform backend(argc, argv);
  return zuno::runMain(backend.platform());
}
