// Questions about the disc in the drive, built on the MMC commands.
#include "drive/drive.h"

bool TSCSIDevice::ReadTrackInformation(uint8_t) { return false; }
bool TSCSIDevice::CloseTrackSession(bool, bool, bool) { return false; }
bool TSCSIDevice::ReadBufferCapacity(uint32_t&, uint32_t&) { return false; }
bool TSCSIDevice::WaitUntilReady(int32_t, int32_t) { return false; }
bool TSCSIDevice::RefreshDiscInformation() { return false; }
int TSCSIDevice::DiscStatus() { return -1; }
int TSCSIDevice::RecordedSessions() { return -1; }
uint16_t TSCSIDevice::DiscKind() { return DK_UNKNOWN; }
uint32_t TSCSIDevice::FreeSectors() { return 0; }
bool TSCSIDevice::SendTimestamp(TDateTime) { return false; }

const char* DiscKindNames(uint16_t) { return "UNKNOWN"; }
