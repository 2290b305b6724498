// Finding the drives: the adapters and their devices, the drive list, the
// selection of one drive and what it tells about itself.
#include "drive/drive.h"

TSCSIDevice::TSCSIDevice() = default;
TSCSIDevice::~TSCSIDevice() = default;

bool TSCSIDevice::InitDevices(bool, const std::string&) { return false; }
void TSCSIDevice::HostAdapterInquiry(uint8_t) {}
void TSCSIDevice::ScanDevices() {}
char TSCSIDevice::DriveLetter() { return 0x7F; }
void TSCSIDevice::SelectDevice(const std::string&) {}
void TSCSIDevice::IdentifyDevice() {}
bool TSCSIDevice::Inquiry() { return false; }
