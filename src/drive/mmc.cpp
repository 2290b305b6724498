// The MMC commands, one method each.
#include "drive/drive.h"

bool TSCSIDevice::TestUnitReady(uint32_t) { return false; }
bool TSCSIDevice::ProbeUnitReady() { return false; }
bool TSCSIDevice::RezeroUnit() { return false; }
bool TSCSIDevice::RequestSense(uint8_t*, uint8_t) { return false; }
bool TSCSIDevice::FormatUnit(uint8_t, uint8_t*, uint32_t) { return false; }
bool TSCSIDevice::LoadEject(bool) { return false; }
bool TSCSIDevice::AllowMediumRemoval(bool) { return false; }
bool TSCSIDevice::Read10(uint32_t, uint16_t, uint8_t*, uint32_t) { return false; }
bool TSCSIDevice::Write10(uint32_t, uint16_t, uint8_t, uint32_t, uint8_t*) { return false; }
bool TSCSIDevice::SynchronizeCache(uint32_t, bool) { return false; }
bool TSCSIDevice::ReadTOC(uint8_t, uint8_t*, uint32_t, uint8_t, bool, uint8_t) { return false; }
bool TSCSIDevice::ReadDiscInformation(uint8_t*, uint16_t) { return false; }
bool TSCSIDevice::ReserveTrack(uint32_t) { return false; }
bool TSCSIDevice::SendOPC() { return false; }
bool TSCSIDevice::CloseTrackSessionRaw(bool, uint8_t, uint8_t, uint8_t, uint8_t) { return false; }
bool TSCSIDevice::SetStreaming(uint8_t*, uint16_t) { return false; }
bool TSCSIDevice::SetCDSpeed(uint16_t, uint16_t) { return false; }
bool TSCSIDevice::SendDiscStructure(uint8_t, uint8_t*, uint16_t) { return false; }
