// The run-time library: the two ASPI entry points over the virtual recorder,
// configured from MBURN_VIRTUAL on first use.
//
// The loader keeps this library resident after the first dlclose (it carries
// unique symbols of the C++ library), so a transport that unloads and loads it
// again, as a re-initialisation does, finds the same drives in the same state,
// as it would a real recorder. The support-info entry, which every binding calls
// once, takes MBURN_VIRTUAL again when it has changed since.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "vrecorder/vrecorder.h"

namespace {

std::mutex gMutex;
bool gConfigured = false;
std::string gConfig;

void Configure(bool again) {
  std::lock_guard lock(gMutex);
  const char* value = std::getenv("MBURN_VIRTUAL");
  const std::string config = value ? value : "";
  if (gConfigured && (!again || config == gConfig)) return;
  gConfigured = true;
  gConfig = config;
  std::string error;
  if (!VRecConfigure(config, &error))
    std::fprintf(stderr, "mburn-vrecorder: MBURN_VIRTUAL: %s\n", error.c_str());
}

}  // namespace

extern "C" __attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void) {
  Configure(true);
  return VRecGetASPI32SupportInfo();
}

extern "C" __attribute__((visibility("default"))) uint32_t SendASPI32Command(void* srb) {
  Configure(false);
  return VRecSendASPI32Command(srb);
}
