// Mode pages and features: what the drive can do (page 2Ah, features 002Ah and
// 002Fh) and how the next recording is to be written (page 05h).
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "drive/command.h"

using namespace drivecmd;

namespace {

constexpr uint8_t kPageWriteParams = 0x05;
constexpr uint8_t kPageCapabilities = 0x2A;
constexpr uint8_t kPage30 = 0x30;

constexpr uint16_t kFeatureDVDPlusRW = 0x002A;
constexpr uint16_t kFeatureDVDRWrite = 0x002F;
constexpr uint16_t kFeatureBDRead = 0x0040;
constexpr uint16_t kFeatureBDWrite = 0x0041;

// Written in place of a zero write speed: 1385 kB/s, single speed of a DVD.
constexpr uint16_t kDefaultWriteSpeed = 1385;

constexpr size_t kSendPageLength = 52;    // page code, length 32h, 50 parameter bytes
constexpr uint8_t kSendPageLengthByte = 0x32;

// Drives differ in where the page starts in a MODE SENSE answer: it is found by
// its own page code at one of the usual offsets.
int LocatePage(const uint8_t* answer, uint8_t pageCode, std::initializer_list<int> offsets,
               int fallback) {
  for (int offset : offsets)
    if (answer[offset] == pageCode) return offset;
  return fallback;
}

}  // namespace

bool TSCSIDevice::ModeSense10(uint8_t PageCode, uint8_t* Buffer, bool DefaultValues,
                              uint16_t Length, uint16_t ClearLength) {
  std::memset(Buffer, 0, static_cast<size_t>(ClearLength) + 1);
  if (Length > ModeBuffer.size()) {
    return Refuse(*this, "RANGE CHECK ERROR");
  }
  std::fill_n(ModeBuffer.begin(), Length, uint8_t{0});
  auto srb = MakeRequest(10, TDir::In, ModeBuffer.data(), Length);
  srb.CDBByte[0] = 0x5A;
  srb.CDBByte[2] = static_cast<uint8_t>(PageCode | (DefaultValues ? 0x80 : 0x00));
  PutBE16(&srb.CDBByte[7], Length);
  if (!Run(*this, srb, 20000)) return false;
  std::memcpy(Buffer, ModeBuffer.data(), Length);
  return true;
}

bool TSCSIDevice::ModeSelect10(const uint8_t* ParameterList, uint16_t Length) {
  if (Length > ModeBuffer.size()) {
    return Refuse(*this, "RANGE CHECK ERROR");
  }
  std::memcpy(ModeBuffer.data(), ParameterList, Length);
  auto srb = MakeRequest(10, TDir::Out, ModeBuffer.data(), Length);
  srb.CDBByte[0] = 0x55;
  srb.CDBByte[1] = 0x10;  // PF
  srb.CDBByte[8] = static_cast<uint8_t>(Length);
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::GetConfiguration(uint8_t RT, uint16_t StartingFeature, uint16_t Length,
                                   uint8_t* Buffer) {
  auto srb = MakeRequest(10, TDir::In, Buffer, Length);
  srb.CDBByte[0] = 0x46;
  srb.CDBByte[1] = RT;
  srb.CDBByte[3] = static_cast<uint8_t>(StartingFeature);
  srb.CDBByte[8] = static_cast<uint8_t>(Length);
  return Run(*this, srb, 30000);
}

bool TSCSIDevice::ReadCapabilities() {
  DeviceCapabilities = 0;
  DeviceMaxWriteSpeed = 0;
  DeviceMaxReadSpeed = 0;
  CapabilitiesPage.fill(0);

  std::array<uint8_t, 256> answer{};
  auto storePage = [&](int offset) {
    CapabilitiesPage.fill(0);
    std::copy(answer.begin() + offset, answer.end(), CapabilitiesPage.begin());
  };

  // Default values first: they say what the drive can do at all.
  int offset = 15;
  if (ModeSense10(kPageCapabilities, answer.data(), true, 255, 255)) {
    offset = LocatePage(answer.data(), kPageCapabilities, {16, 8, 7}, 8);
    storePage(offset);
    const uint8_t* page = CapabilitiesPage.data();
    auto bit = [](uint8_t byte, int n) { return (byte >> n & 1) != 0; };
    if (bit(page[2], 0)) DeviceCapabilities |= DC_READ_CDR;
    if (bit(page[2], 1)) DeviceCapabilities |= DC_READ_CDRW;
    if (bit(page[2], 2)) DeviceCapabilities |= DC_READ_METHOD2;
    if (bit(page[2], 3)) DeviceCapabilities |= DC_READ_DVDROM;
    if (bit(page[2], 4)) DeviceCapabilities |= DC_READ_DVDR | DC_READ_DVDRW;
    if (bit(page[2], 5)) DeviceCapabilities |= DC_READ_DVDRAM;
    if (bit(page[3], 0)) DeviceCapabilities |= DC_WRITE_CDR;
    if (bit(page[3], 1)) DeviceCapabilities |= DC_WRITE_CDRW;
    if (bit(page[3], 2)) DeviceCapabilities |= DC_WRITE_TEST;
    if (bit(page[3], 4)) DeviceCapabilities |= DC_WRITE_DVDR | DC_WRITE_DVDRW;
    if (bit(page[3], 5)) DeviceCapabilities |= DC_WRITE_DVDRAM;
    if (bit(page[4], 7)) DeviceCapabilities |= DC_UNDERRUNPROTECTION;
    if (HasPage30() || ForceUnderrunProtection) DeviceCapabilities |= DC_UNDERRUNPROTECTION;

    // A drive that writes DVD-RAM may report no speeds; it gets at least 1.
    const bool dvdRam = bit(page[3], 5);
    const uint16_t maxWrite = GetBE16(&page[18]);
    const uint16_t maxRead = GetBE16(&page[8]);
    DeviceMaxWriteSpeed = maxWrite != 0 ? maxWrite : (dvdRam ? 1 : 0);
    DeviceMaxReadSpeed = maxRead != 0 ? maxRead : (dvdRam ? 1 : 0);

    // The features the capabilities page predates.
    auto feature = [&](uint16_t code, uint32_t reading, uint32_t writing) {
      ConfigBuffer.fill(0);
      if (!GetConfiguration(2, code, static_cast<uint16_t>(ConfigBuffer.size()),
                            ConfigBuffer.data()))
        return;
      ToHost16(&ConfigBuffer[6]);
      ToHost16(&ConfigBuffer[8]);
      if (GetHost16(&ConfigBuffer[8]) != code) return;
      DeviceCapabilities |= reading;
      if (ConfigBuffer[12] == 0x01) DeviceCapabilities |= writing;
    };
    // The capabilities page has no BD bits: a drive that has the feature reads
    // or writes BD, whatever medium it holds now.
    feature(kFeatureBDRead, DC_READ_BD, 0);
    feature(kFeatureBDWrite, DC_WRITE_BD, 0);
    feature(kFeatureDVDPlusRW, DC_READ_DVDPLUSR | DC_READ_DVDPLUSRW,
            DC_WRITE_DVDPLUSR | DC_WRITE_DVDPLUSRW);
    feature(kFeatureDVDRWrite, DC_READ_DVDR | DC_READ_DVDRW, DC_WRITE_DVDR | DC_WRITE_DVDRW);
  }

  // Then the current values, which replace the page.
  if (!ModeSense10(kPageCapabilities, answer.data(), false, 128, 255)) return false;
  offset = LocatePage(answer.data(), kPageCapabilities, {16, 8, 7}, offset);
  storePage(offset);

  uint8_t* page = CapabilitiesPage.data();
  for (int field : {18, 20})
    if (GetBE16(&page[field]) == 0) PutBE16(&page[field], kDefaultWriteSpeed);
  for (int field : {20, 18, 14, 8, 12}) ToHost16(&page[field]);

  DeviceMaxWriteSpeed = std::max(DeviceMaxWriteSpeed, GetHost16(&page[18]));
  DeviceMaxReadSpeed = std::max(DeviceMaxReadSpeed, GetHost16(&page[8]));
  return true;
}

bool TSCSIDevice::HasPage30() {
  std::array<uint8_t, 256> answer{};
  if (!ModeSense10(kPage30, answer.data(), false, 128, 255)) return false;
  return answer[16] == kPage30 || answer[8] == kPage30 || answer[7] == kPage30;
}

namespace {

// The parameter list of MODE SELECT for page 05h: an empty 8-byte header and the
// first 52 bytes of the page.
std::array<uint8_t, 8 + kSendPageLength> WriteParamsList(const std::array<uint8_t, 54>& page,
                                                         int foundAt) {
  std::array<uint8_t, 8 + kSendPageLength> list{};
  std::copy_n(page.begin(), kSendPageLength, list.begin() + 8);
  list[9] = kSendPageLengthByte;
  // Behind a block descriptor the tail of the page was not read with it.
  if (foundAt == 16) std::fill(list.begin() + 8 + 45, list.end(), uint8_t{0});
  return list;
}

}  // namespace

bool TSCSIDevice::ProbeWriteModes() {
  ProbeWriteType(TWriteType::Raw);
  ProbeWriteType(TWriteType::SessionAtOnce);
  ProbeWriteType(TWriteType::TrackAtOnce);
  return true;
}

bool TSCSIDevice::ProbeWriteType(TWriteType type) {
  std::array<uint8_t, 512> answer{};
  if (!ModeSense10(kPageWriteParams, answer.data(), false, 512, 511)) return false;
  const int offset = LocatePage(answer.data(), kPageWriteParams, {16, 8}, 8);
  std::copy_n(answer.begin() + offset, WriteParamsPage.size(), WriteParamsPage.begin());

  uint8_t* page = WriteParamsPage.data();
  page[4] &= 0xF0;  // data block type 0
  switch (type) {
    case TWriteType::TrackAtOnce: page[2] = 0x01; break;
    case TWriteType::SessionAtOnce: page[2] = 0x02; break;
    case TWriteType::Raw:
      page[4] |= 0x01;
      page[2] = 0x03;
      break;
  }
  page[3] = 0;
  page[8] = 0;
  page[9] = 0;
  PutBE16(&page[14], 150);

  const auto list = WriteParamsList(WriteParamsPage, offset);
  return ModeSelect10(list.data(), static_cast<uint16_t>(list.size()));
}

bool TSCSIDevice::SetWriteParameters(const TWriteParams& Params) {
  const TWritePage& recipe = Medium(Params.DiscKind).Page;
  if (!recipe.Send) return true;

  std::array<uint8_t, 512> answer{};
  if (!ModeSense10(kPageWriteParams, answer.data(), false, 512, 511)) return false;
  const int offset = LocatePage(answer.data(), kPageWriteParams, {16, 8, 7}, 8);
  std::copy_n(answer.begin() + offset, WriteParamsPage.size(), WriteParamsPage.begin());

  // Single bits on top of the medium's write type: BUFE where the drive has
  // underrun protection, TEST only where it can simulate.
  const bool bufe = (DeviceCapabilities & DC_UNDERRUNPROTECTION) && Params.UnderrunProtection;
  const bool test = (DeviceCapabilities & DC_WRITE_TEST) && Params.TestWrite;
  uint8_t* page = WriteParamsPage.data();
  page[1] = kSendPageLengthByte;
  page[2] = recipe.WriteType;
  if (WriteParamsQuirk) page[2] |= 0x20;
  if (bufe) page[2] |= 0x40;
  if (test) page[2] |= 0x10;
  page[3] = recipe.Byte3;
  if (recipe.OpenUnlessFinal && !Params.TestWrite && !Params.Finalize) page[3] |= 0xC0;
  page[4] = 0x08;  // mode 1, 2048-byte blocks
  std::fill(page + 5, page + 14, uint8_t{0});  // link size to packet size
  page[5] = recipe.LinkSize;
  page[6] = recipe.Byte6;
  PutBE32(&page[10], recipe.PacketSize);
  PutBE16(&page[14], 150);

  const auto list = WriteParamsList(WriteParamsPage, offset);
  return ModeSelect10(list.data(), static_cast<uint16_t>(list.size()));
}

bool TSCSIDevice::SendFinalSessionPage() {
  WriteParamsPage[3] &= 0x3F;
  const auto list = WriteParamsList(WriteParamsPage, 8);
  return ModeSelect10(list.data(), static_cast<uint16_t>(list.size()));
}

uint16_t TSCSIDevice::GetMaxReadSpeed() {
  return ReadCapabilities() ? GetHost16(&CapabilitiesPage[8]) : 0;
}

uint16_t TSCSIDevice::GetCurrentWriteSpeed() {
  return ReadCapabilities() ? GetHost16(&CapabilitiesPage[20]) : 0;
}
