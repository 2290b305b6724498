// The MMC commands, one method each: every one fills a fresh request with its
// CDB, direction, data and time-out and reports whether the drive completed it.
#include <algorithm>

#include "drive/command.h"

using namespace drivecmd;

namespace {

// Runs a command with the built-in layer closing the drive handle afterwards,
// so that the operating system sees the medium change or unlock.
bool RunClosingHandle(TSCSIDevice& device, SRB_ExecSCSICmd& srb, uint32_t timeoutMs) {
  SPTICloseAfterCommand(true);
  const bool ok = Run(device, srb, timeoutMs);
  SPTICloseAfterCommand(false);
  return ok;
}

}  // namespace

bool TSCSIDevice::TestUnitReady(uint32_t TimeoutMs) {
  auto srb = MakeRequest(6);
  return Run(*this, srb, TimeoutMs);
}

bool TSCSIDevice::ProbeUnitReady() {
  auto srb = MakeRequest(6);
  return RunClosingHandle(*this, srb, 5000);
}

bool TSCSIDevice::RezeroUnit() {
  auto srb = MakeRequest(6);
  srb.CDBByte[0] = 0x01;
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::RequestSense(uint8_t* Buffer, uint8_t Length) {
  auto srb = MakeRequest(6, TDir::In, Buffer, Length);
  srb.CDBByte[0] = 0x03;
  srb.CDBByte[4] = Length;
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::FormatUnit(uint8_t Options, uint8_t* Buffer, uint32_t Length) {
  auto srb = MakeRequest(6, TDir::Out, Buffer, Length);
  srb.CDBByte[0] = 0x04;
  srb.CDBByte[1] = Options;
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::ReadFormatCapacities(uint8_t& DescriptorType, uint32_t& Blocks) {
  DescriptorType = 0;
  Blocks = 0;
  std::fill_n(ScratchBuffer.begin(), 252, uint8_t{0});
  auto srb = MakeRequest(10, TDir::In, ScratchBuffer.data(), 252);
  srb.CDBByte[0] = 0x23;
  PutBE16(&srb.CDBByte[7], 252);
  if (!Run(*this, srb, 10000)) return false;
  if (ScratchBuffer[3] < 8) return false;  // no current capacity descriptor
  Blocks = GetBE32(&ScratchBuffer[4]);
  DescriptorType = ScratchBuffer[8] & 0x03;
  return true;
}

bool TSCSIDevice::Blank(uint8_t Type, bool Immed) {
  auto srb = MakeRequest(12);
  srb.CDBByte[0] = 0xA1;
  srb.CDBByte[1] = static_cast<uint8_t>((Immed ? 0x10 : 0x00) | (Type & 0x07));
  // Without Immed the drive answers only when the whole disc is blank.
  return Run(*this, srb, Immed ? 10000 : 5400000);
}

bool TSCSIDevice::LoadEject(bool Eject) {
  auto srb = MakeRequest(6);
  srb.CDBByte[0] = 0x1B;
  srb.CDBByte[4] = Eject ? 2 : 3;
  return RunClosingHandle(*this, srb, 20000);
}

bool TSCSIDevice::AllowMediumRemoval(bool Allow) {
  auto srb = MakeRequest(6);
  srb.CDBByte[0] = 0x1E;
  srb.CDBByte[4] = Allow ? 0 : 1;
  return Allow ? RunClosingHandle(*this, srb, 10000) : Run(*this, srb, 10000);
}

bool TSCSIDevice::Read10(uint32_t LBA, uint16_t Count, uint8_t* Buffer, uint32_t Length) {
  auto srb = MakeRequest(10, TDir::In, Buffer, Length);
  srb.CDBByte[0] = 0x28;
  PutBE32(&srb.CDBByte[2], LBA);
  PutBE16(&srb.CDBByte[7], Count);
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::Write10(uint32_t LBA, uint16_t Count, uint8_t Flags, uint32_t Length,
                          uint8_t* Buffer) {
  auto srb = MakeRequest(10, TDir::Out, Buffer, Length);
  srb.SRB_Flags = Flags;
  srb.CDBByte[0] = 0x2A;
  PutBE32(&srb.CDBByte[2], LBA);
  PutBE16(&srb.CDBByte[7], Count);
  // A request still pending was posted and is running; one that was refused
  // before posting also reads as pending, but nothing was written then.
  if (ExecSCSICommand(srb, 120000) == SS_ILLEGAL_MODE) return false;
  const uint8_t status = RequestStatus(srb);
  return status == SS_COMP || status == SS_PENDING;
}

bool TSCSIDevice::SynchronizeCache(uint32_t TimeoutMs, bool Immed) {
  auto srb = MakeRequest(10);
  srb.CDBByte[0] = 0x35;
  srb.CDBByte[1] = Immed ? 0x02 : 0x00;
  return Run(*this, srb, TimeoutMs);
}

bool TSCSIDevice::ReadTOC(uint8_t Format, uint8_t* Buffer, uint32_t Length, uint8_t TrackSession,
                          bool MSF, uint8_t Control) {
  // The allocation length is one CDB byte here.
  if (Length > 255) {
    return Refuse(*this, "RANGE CHECK ERROR");
  }
  auto srb = MakeRequest(10, TDir::In, Buffer, Length);
  srb.CDBByte[0] = 0x43;
  srb.CDBByte[1] = MSF ? 0x02 : 0x00;
  srb.CDBByte[2] = Format;
  srb.CDBByte[6] = TrackSession;
  srb.CDBByte[8] = static_cast<uint8_t>(Length);
  srb.CDBByte[9] = Control;
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::ReadDiscInformation(uint8_t* Buffer, uint16_t Length) {
  auto srb = MakeRequest(10, TDir::In, Buffer, Length);
  srb.CDBByte[0] = 0x51;
  srb.CDBByte[8] = static_cast<uint8_t>(Length);
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::ReserveTrack(uint32_t Size) {
  auto srb = MakeRequest(12);
  srb.CDBByte[0] = 0x53;
  PutBE32(&srb.CDBByte[5], Size);
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::SendOPC() {
  auto srb = MakeRequest(10);
  srb.CDBByte[0] = 0x54;
  srb.CDBByte[1] = 0x01;  // DoOpc
  return Run(*this, srb, 150000);
}

bool TSCSIDevice::CloseTrackSessionRaw(bool Immed, uint8_t CloseFunction, uint8_t B3, uint8_t B4,
                                       uint8_t B5) {
  auto srb = MakeRequest(10);
  srb.CDBByte[0] = 0x5B;
  srb.CDBByte[1] = Immed ? 0x01 : 0x00;
  srb.CDBByte[2] = CloseFunction;
  srb.CDBByte[3] = B3;
  srb.CDBByte[4] = B4;
  srb.CDBByte[5] = B5;
  return Run(*this, srb, 180000);
}

bool TSCSIDevice::SetStreaming(uint8_t* Buffer, uint16_t Length) {
  auto srb = MakeRequest(12, TDir::Out, Buffer, Length);
  srb.CDBByte[0] = 0xB6;
  PutBE16(&srb.CDBByte[9], Length);  // type 0: performance descriptor
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::SetCDSpeed(uint16_t ReadSpeed, uint16_t WriteSpeed) {
  // 0 asks for the drive's maximum.
  auto srb = MakeRequest(12);
  srb.CDBByte[0] = 0xBB;
  PutBE16(&srb.CDBByte[2], ReadSpeed == 0 ? 0xFFFF : ReadSpeed);
  PutBE16(&srb.CDBByte[4], WriteSpeed == 0 ? 0xFFFF : WriteSpeed);
  return Run(*this, srb, 10000);
}

bool TSCSIDevice::SendDiscStructure(uint8_t Format, uint8_t* Buffer, uint16_t Length) {
  auto srb = MakeRequest(12, TDir::Out, Buffer, Length);
  srb.CDBByte[0] = 0xBF;
  srb.CDBByte[7] = Format;
  PutBE16(&srb.CDBByte[8], Length);
  return Run(*this, srb, 10000);
}
