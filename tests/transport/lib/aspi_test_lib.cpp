// A stand-in transport library: three host adapters, every command completes
// at once, and a count of the support-info calls for the tests to read.
#include <cstring>

#include "transport/transport.h"

namespace {
int gSupportCalls = 0;
int gSendCalls = 0;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) int AspiTestSupportCalls() { return gSupportCalls; }
__attribute__((visibility("default"))) int AspiTestSendCalls() { return gSendCalls; }

#ifndef ASPI_TEST_NO_SUPPORT
__attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo() {
  ++gSupportCalls;
  return (static_cast<uint32_t>(SS_COMP) << 8) | 3;
}
#endif

#ifndef ASPI_TEST_NO_SEND
__attribute__((visibility("default"))) uint32_t SendASPI32Command(void* srb) {
  ++gSendCalls;
  auto* header = static_cast<SRB_Header*>(srb);
  if (header->SRB_Cmd == SC_HA_INQUIRY) {
    auto* ha = static_cast<SRB_HAInquiry*>(srb);
    ha->HA_Count = 3;
    std::memset(ha->HA_Identifier, 0, sizeof ha->HA_Identifier);
    std::memcpy(ha->HA_Identifier, "TESTLIB", 7);
  }
  header->SRB_Status = SS_COMP;
  return SS_COMP;
}
#endif
}
