// Mode pages and features: the capabilities of the drive and the write
// parameters sent before a recording.
#include "drive/drive.h"

bool TSCSIDevice::ModeSense10(uint8_t, uint8_t*, bool, uint16_t, uint16_t) { return false; }
bool TSCSIDevice::ModeSelect10(const uint8_t*, uint16_t) { return false; }
bool TSCSIDevice::GetConfiguration(uint8_t, uint16_t, uint16_t, uint8_t*) { return false; }
bool TSCSIDevice::ReadCapabilities() { return false; }
bool TSCSIDevice::HasPage30() { return false; }
bool TSCSIDevice::ProbeWriteModes() { return false; }
bool TSCSIDevice::ProbeWriteType(TWriteType) { return false; }
bool TSCSIDevice::SetWriteParameters(bool, bool, uint16_t) { return false; }
uint16_t TSCSIDevice::GetMaxReadSpeed() { return 0; }
uint16_t TSCSIDevice::GetCurrentWriteSpeed() { return 0; }
