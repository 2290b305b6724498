// The run-time library: the two ASPI entry points over the virtual recorder,
// configured from MBURN_VIRTUAL on first use.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "vrecorder/vrecorder.h"

namespace {

std::once_flag gConfigured;

void Configure() {
  std::call_once(gConfigured, [] {
    const char* config = std::getenv("MBURN_VIRTUAL");
    std::string error;
    if (!VRecConfigure(config ? config : "", &error))
      std::fprintf(stderr, "mburn-vrecorder: MBURN_VIRTUAL: %s\n", error.c_str());
  });
}

// Writes every disc state back when the library is unloaded or the process ends.
struct TUnload {
  ~TUnload() { VRecShutdown(); }
} gUnload;

}  // namespace

extern "C" __attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void) {
  Configure();
  return VRecGetASPI32SupportInfo();
}

extern "C" __attribute__((visibility("default"))) uint32_t SendASPI32Command(void* srb) {
  Configure();
  return VRecSendASPI32Command(srb);
}
