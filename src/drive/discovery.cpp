// Finding the drives: the host adapters and the devices behind them, the drive
// list, the selection of one drive, what it says about itself and its quirks.
#include <cstring>
#include <string_view>

#include "drive/command.h"

using namespace drivecmd;

namespace {

constexpr uint8_t kTypeWriteOnce = 0x04;
constexpr uint8_t kTypeCDDVD = 0x05;
constexpr uint8_t kNoAddress = 0xFE;
constexpr const char* kInvalidDevice = "INVALID DEVICE ID / NOT A CD OR DVD DRIVE";

bool IsOpticalType(uint8_t type) { return type == kTypeCDDVD || type == kTypeWriteOnce; }

// A fixed-width text field up to its first NUL.
std::string FieldText(const char* field, size_t width) {
  return std::string(field, strnlen(field, width));
}

// Removes blanks and control characters (codes up to 20h) from both ends.
std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return std::string(s.substr(b, e - b));
}

std::string InquiryText(const std::array<uint8_t, 131>& data, size_t offset, size_t width) {
  return std::string(reinterpret_cast<const char*>(data.data()) + offset, width);
}

}  // namespace

TSCSIDevice::TSCSIDevice() {
  // Another instance may have bound the transport already.
  if (ASPIInitialized()) {
    HostAdapterInquiry(0);
    ScanDevices();
  }
}

bool TSCSIDevice::InitDevices(bool PreferBuiltIn, const std::string& LibraryPath) {
  bool bound = false;
  try {
    bound = InitASPILayer(PreferBuiltIn, LibraryPath);
  } catch (...) {
    bound = false;
  }
  if (bound) {
    HostAdapterInquiry(0);
    ScanDevices();
  }
  return bound;
}

void TSCSIDevice::HostAdapterInquiry(uint8_t ha) {
  std::memset(&HAInquiryRecord, 0, sizeof HAInquiryRecord);
  HAInquiryRecord.SRB_Cmd = SC_HA_INQUIRY;
  HAInquiryRecord.SRB_HaId = ha;
  ASPISendCommand(&HAInquiryRecord);
  if (HAInquiryRecord.SRB_Status != SS_COMP) {
    AdapterCount = -1;
    return;
  }
  // Some layers report no count at all; scan the usual seven then.
  const uint8_t count = HAInquiryRecord.HA_Count;
  AdapterCount = static_cast<int8_t>(count == 0 ? 7 : count);
}

void TSCSIDevice::ScanDevices() {
  DeviceList.clear();
  const uint8_t savedHa = HaId, savedTarget = Target, savedLun = Lun;
  if (DoDebug) DebugMessage(">>> " + ASPILayerName(), MSG_INFO);

  const int adapters = AdapterCount;
  for (int adapter = 0; adapter < adapters; ++adapter) {
    HostAdapterInquiry(static_cast<uint8_t>(adapter));
    if (DoDebug) {
      DebugMessage(">>> " + FieldText(HAInquiryRecord.HA_ManagerId, 16) + " (" +
                       Trim(FieldText(HAInquiryRecord.HA_Identifier, 16)) + ")",
                   MSG_INFO);
    }
    for (uint8_t target = 0; target < 8; ++target) {
      for (uint8_t lun = 0; lun < 8; ++lun) {
        HaId = static_cast<uint8_t>(adapter);
        Target = target;
        Lun = lun;
        InquiryData.fill(0);
        if (!Inquiry() || !IsOpticalType(InquiryData[0])) continue;
        std::string line = std::to_string(adapter) + ":" + std::to_string(target) + ":" +
                           std::to_string(lun) + "," + DriveLetterText(DriveLetter()) + " " +
                           InquiryText(InquiryData, 8, 28);
        if (InquiryData[0] == kTypeWriteOnce) line += " (not supported)";
        DeviceList.push_back(std::move(line));
      }
    }
  }

  HaId = savedHa;
  Target = savedTarget;
  Lun = savedLun;
  LastError.clear();
}

char TSCSIDevice::DriveLetter() {
  if (ASPILayerName() == kBuiltInLayerName) return SPTIDriveLetter(HaId, Target, Lun);

  // The library gives no letters: find the node whose address has this port and
  // target (the lun is not compared).
  TSPTIPlatform& platform = SPTIPlatform();
  for (int index = 2; index <= 26; ++index) {
    const int handle = platform.Open(index);
    if (handle < 0) continue;
    uint8_t port = 0, target = 0, lun = 0;
    const bool known = platform.GetAddress(handle, port, target, lun);
    platform.Close(handle);
    if (known && port == HaId && target == Target) return static_cast<char>('A' + index);
  }

  SRB_GetDiskInfo info;
  std::memset(&info, 0, sizeof info);
  info.SRB_Cmd = SC_GET_DISK_INFO;
  info.SRB_HaId = HaId;
  info.SRB_Target = Target;
  info.SRB_Lun = Lun;
  ASPISendCommand(&info);
  if (info.SRB_Status == SS_COMP && info.SRB_Int13HDriveInfo != 0x80)
    return static_cast<char>('A' + info.SRB_Int13HDriveInfo);
  return '\0';
}

void TSCSIDevice::SelectDevice(const std::string& line) {
  auto deselect = [this](bool report) {
    if (report) DebugMessage(kInvalidDevice, MSG_ERROR);
    DeviceDescription.clear();
    DeviceIdent.clear();
    DeviceType = 0x7F;
    HaId = Target = Lun = kNoAddress;
  };

  // The address is read from positions 1, 3 and 5 of "h:t:l,...": one digit each.
  if (line.size() < 5) {
    deselect(!line.empty());
    return;
  }
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!digit(line[0]) || !digit(line[2]) || !digit(line[4])) {
    deselect(true);
    return;
  }
  HaId = static_cast<uint8_t>(line[0] - '0');
  Target = static_cast<uint8_t>(line[2] - '0');
  Lun = static_cast<uint8_t>(line[4] - '0');

  DeviceDescription = line;
  const bool forcedBefore = ForceUnderrunProtection;
  DeviceType = 0x7F;  // stays so when the INQUIRY fails
  IdentifyDevice();
  if (!IsOpticalType(DeviceType)) {
    deselect(true);
    return;
  }

  const std::string rawProduct = InquiryText(InquiryData, 16, 16);
  const std::string product = Trim(rawProduct);
  std::string vendor = Trim(InquiryText(InquiryData, 8, 8));
  if (vendor.size() < 3) vendor = "     ";
  const bool dvrModel = rawProduct == "DVD-RW  DVR-103 " || rawProduct == "DVD-RW  DVR-104 ";

  ForceUnderrunProtection = product == "CD-W512EB";
  WriteParamsQuirk = product == "CRX175E" || product == "CD-RW  CRX800E";
  SlowReadyModel = product.starts_with("UJDA") || vendor.starts_with("TDK");
  SlowReadyDevice = dvrModel;
  CloseTrackImmediate = product != "CDRW321040X" || dvrModel;

  // The capabilities were read before this drive's quirks were known; read them
  // again when the forced underrun protection differs from what they assumed.
  if (ForceUnderrunProtection != forcedBefore) ReadCapabilities();

  if (OnDeviceChange) OnDeviceChange(this);
  ProbeWriteModes();
}

void TSCSIDevice::IdentifyDevice() {
  ReadCapabilities();
  if (!Inquiry()) {
    DeviceIdent = LastError;
    return;
  }
  DeviceType = InquiryData[0];
  for (size_t i = 8; i <= 55; ++i)
    if (InquiryData[i] < 0x20) InquiryData[i] = ' ';
  DeviceIdent = InquiryText(InquiryData, 8, 8) + " " + InquiryText(InquiryData, 16, 16) + " " +
                InquiryText(InquiryData, 32, 4);
}

bool TSCSIDevice::Inquiry() {
  auto srb = MakeRequest(6, TDir::In, InquiryData.data(), 128);
  srb.CDBByte[0] = 0x12;
  srb.CDBByte[4] = 0x80;
  return Run(*this, srb, 10000);
}
