// Questions about the disc in the drive, built on the MMC commands: its kind,
// its status, its sessions, its free space, and waiting until the drive is ready.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "drive/command.h"

using namespace drivecmd;

namespace {

constexpr uint8_t kAscNotReady = 0x04;

constexpr std::array<const char*, 18> kDiscKindNames = {
    "UNKNOWN",   "CD-ROM",    "CD-R",   "CD-RW", "DVD-ROM",  "DVD-R",  "DVD-RAM",
    "DVD-RW_RO", "DVD-RW_SR", "DVD+RW", "DVD+R", "DDCD-ROM", "DDCD-R", "DDCD-RW",
    "BD-ROM",    "BD-R",      "BD-R",   "BD-RE",
};

struct TProfileKind {
  uint16_t profile;
  uint16_t kind;
};

// MMC current profile to disc kind; DVD-RW in either recording mode is one kind.
constexpr std::array<TProfileKind, 17> kProfileKinds = {{
    {0x0008, DK_CDROM},    {0x0009, DK_CDR},      {0x000A, DK_CDRW},     {0x0010, DK_DVDROM},
    {0x0011, DK_DVDR},     {0x0012, DK_DVDRAM},   {0x0013, DK_DVDRW_RO}, {0x0014, DK_DVDRW_RO},
    {0x001A, DK_DVDPLUSRW}, {0x001B, DK_DVDPLUSR}, {0x0020, DK_DDCDROM},  {0x0021, DK_DDCDR},
    {0x0022, DK_DDCDRW},   {0x0040, DK_BDROM},    {0x0041, DK_BDR},      {0x0042, DK_BDR_RRM},
    {0x0043, DK_BDRE},
}};

uint16_t KindOfProfile(uint16_t profile) {
  for (const auto& entry : kProfileKinds)
    if (entry.profile == profile) return entry.kind;
  return DK_UNKNOWN;
}

}  // namespace

const char* DiscKindNames(uint16_t kind) {
  return kind < kDiscKindNames.size() ? kDiscKindNames[kind] : kDiscKindNames[DK_UNKNOWN];
}

bool TSCSIDevice::ReadTrackInformation(uint8_t TrackNumber) {
  TrackInfo.fill(0);
  Track = {};
  auto srb = MakeRequest(10, TDir::In, TrackInfo.data(), static_cast<uint32_t>(TrackInfo.size()));
  srb.CDBByte[0] = 0x52;
  srb.CDBByte[1] = 0x01;  // the address is a track number
  srb.CDBByte[5] = TrackNumber;
  srb.CDBByte[8] = static_cast<uint8_t>(TrackInfo.size());
  if (!Run(*this, srb, 60000)) return false;
  const uint8_t* t = TrackInfo.data();
  Track = {.Track = t[2], .Session = t[3], .Damaged = (t[5] & 0x20) != 0,
           .Start = GetBE32(&t[8]), .NextWritable = GetBE32(&t[12]), .FreeBlocks = GetBE32(&t[16]),
           .PacketSize = GetBE32(&t[20]), .Size = GetBE32(&t[24]), .LastRecorded = GetBE32(&t[28])};
  // The buffer keeps its fields in host order, for those who read it raw.
  ToHost16(&TrackInfo[0]);
  for (int field : {8, 12, 16, 20, 24, 28}) ToHost32(&TrackInfo[field]);
  return true;
}

bool TSCSIDevice::CloseTrackSession(bool CloseTrack, bool Immed, bool FinalizeDisc) {
  const uint8_t function = FinalizeDisc ? 5 : CloseTrack ? 1 : 2;
  return CloseTrackSessionRaw(Immed, function, 0, 0, CloseTrack ? 0xFF : 0x00);
}

bool TSCSIDevice::ReadBufferCapacity(uint32_t& BufferLength, uint32_t& FreeLength) {
  std::fill_n(ScratchBuffer.begin(), 32, uint8_t{0});
  auto srb = MakeRequest(10, TDir::In, ScratchBuffer.data(), 32);
  srb.CDBByte[0] = 0x5C;
  srb.CDBByte[8] = 32;
  if (!Run(*this, srb, 10000)) {
    DeviceFreeBufferSize = 0;
    return false;
  }
  BufferLength = GetBE32(&ScratchBuffer[4]);
  FreeLength = GetBE32(&ScratchBuffer[8]);
  DeviceBufferSize = BufferLength;
  DeviceFreeBufferSize = FreeLength == 0xFFFFFFFF ? BufferLength : FreeLength;
  return true;
}

bool TSCSIDevice::SendTimestamp(TDateTime DateTime) {
  const TDateParts p = DecodeDateTime(DateTime);
  char digits[32];
  const int n = std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d", p.Year, p.Month,
                              p.Day, p.Hour, p.Minute, p.Second);
  if (n != 14 || !IsValidDateParts(p)) return Refuse(*this, "INVALID TIMESTAMP");
  std::fill_n(ScratchBuffer.begin(), 22, uint8_t{0});
  PutBE16(&ScratchBuffer[0], 0x0014);
  std::memcpy(&ScratchBuffer[8], digits, 14);
  return SendDiscStructure(0x0F, ScratchBuffer.data(), 22);
}

bool TSCSIDevice::RefreshDiscInformation() {
  DiscInfo.fill(0);
  Disc = {};
  if (!ReadDiscInformation(DiscInfo.data(), static_cast<uint16_t>(DiscInfo.size()))) return false;
  const uint8_t* d = DiscInfo.data();
  Disc = {.Status = static_cast<uint8_t>(d[2] & 0x03),
          .LastSessionState = static_cast<uint8_t>(d[2] >> 2 & 0x03),
          .Erasable = (d[2] & 0x10) != 0, .Sessions = d[4], .LastTrackInLastSession = d[6]};
  ToHost16(&DiscInfo[0]);
  return true;
}

int TSCSIDevice::DiscStatus() {
  if (!RefreshDiscInformation()) return -1;
  return Disc.Status;
}

int TSCSIDevice::RecordedSessions() {
  if (!RefreshDiscInformation()) return 0;
  if (Disc.Status == 0) return 0;  // empty disc
  const int sessions = Disc.Sessions;
  // An empty last session is the open one waiting for data; a drive that
  // counts no session at all still has none that holds data.
  return Disc.LastSessionState == 0 ? std::max(sessions - 1, 0) : sessions;
}

uint16_t TSCSIDevice::DiscKind() {
  ConfigBuffer.fill(0);
  CurrentProfile = 0;
  uint16_t kind = DK_UNKNOWN;
  if (GetConfiguration(2, 0, static_cast<uint16_t>(ConfigBuffer.size()), ConfigBuffer.data())) {
    ToHost16(&ConfigBuffer[6]);
    CurrentProfile = GetHost16(&ConfigBuffer[6]);
    kind = KindOfProfile(CurrentProfile);
    if (kind != DK_UNKNOWN) return kind;
  }

  // Drives without profiles: the ATIP tells a recordable CD from a pressed one.
  ATIPInfo.fill(0);
  if (ReadTOC(4, ATIPInfo.data(), static_cast<uint32_t>(ATIPInfo.size()), 0, true, 0)) {
    const uint8_t discType = ATIPInfo[6];
    if ((discType & 0x80) == 0)
      kind = DK_CDROM;
    else
      kind = (discType & 0x40) ? DK_CDRW : DK_CDR;
  }

  if (RefreshDiscInformation() && kind == DK_UNKNOWN) kind = Disc.Erasable ? DK_CDRW : DK_CDR;

  if (kind == DK_UNKNOWN && TestUnitReady(5000)) kind = DK_CDROM;
  return kind;
}

uint32_t TSCSIDevice::FreeSectors() {
  const uint16_t kind = DiscKind();
  const bool overwritable = IsOverwritable(kind, CurrentProfile);

  // With finalisation asked for, the drive reports the space of a disc that
  // takes no further session.
  SetWriteParameters({.UnderrunProtection = UnderrunProtection, .Finalize = true, .DiscKind = CurrentDiscKind});

  // Written overwritable media call themselves complete, yet take a further
  // volume after the one they hold.
  if (!overwritable && DiscStatus() == 2) return 0;  // complete
  RefreshDiscInformation();

  bool read = ReadTrackInformation(kind == DK_DVDRAM ? 1 : 0xFF);
  if (!read) read = ReadTrackInformation(Disc.LastTrackInLastSession);
  if (!read) return 0;
  const uint32_t space = std::max(Track.FreeBlocks, Track.Size);
  if (!overwritable) return space;
  // The room after the recorded volume, where the layout puts the next one
  // (the next writable address on restricted-overwrite DVD-RW, as it does).
  const uint32_t used = Medium(kind, CurrentProfile).NextAfterVolume ? RecordedVolumeEnd()
                                                                      : Track.NextWritable;
  return space > used ? space - used : 0;
}

uint32_t TSCSIDevice::RecordedVolumeEnd() {
  std::array<uint8_t, 2048> sector{};
  for (uint32_t n = 32; n >= 16; --n) {
    sector.fill(0);
    if (!Read10(n, 1, sector.data(), static_cast<uint32_t>(sector.size()))) continue;
    if (std::memcmp(&sector[1], "CD001", 5) == 0 && (sector[0] == 1 || sector[0] == 2))
      return uint32_t{sector[80]} | uint32_t{sector[81]} << 8 | uint32_t{sector[82]} << 16 |
             uint32_t{sector[83]} << 24;
  }
  return 0;
}

std::string TSCSIDevice::RecordingRefusal() {
  const uint16_t kind = CurrentDiscKind;
  const TMedium& medium = Medium(kind, CurrentProfile);
  const bool overwritable = medium.Overwritable;
  const std::string name = DiscKindNames(kind);
  if (kind == DK_BDR_RRM) return std::string(kRandomBDRText) + ": NOTHING RECORDED";
  // Where the drive ignores the TEST bit, a simulation would record for real.
  if (TestWrite && !medium.Simulates) return name + " CANNOT BE SIMULATED: NOTHING RECORDED";
  if (FinalizeDisc && !TestWrite && overwritable)
    return name + " CANNOT BE FINALIZED: NOTHING RECORDED";
  if (overwritable || !RefreshDiscInformation()) return "";
  // A recording that failed leaves its track and session open; a new session
  // after it would hang off a tree that no reader can follow.
  const int status = Disc.Status;
  const int lastSession = Disc.LastSessionState;
  bool damaged = lastSession == 2;
  if (status == 1 && ReadTrackInformation(Disc.LastTrackInLastSession))
    damaged = damaged || Track.Damaged;
  if (status == 1 && (lastSession == 1 || damaged))
    return std::string(damaged ? kDamagedSessionText : kUnfinishedSessionText) + ": NOTHING RECORDED";
  return "";
}

bool TSCSIDevice::WaitUntilReady(int32_t BudgetMs, int32_t StepMs) {
  // A step that consumed nothing would let the loops below run forever.
  const int32_t step = StepMs > 0 ? StepMs : 1;
  const uint32_t sleepMs = static_cast<uint32_t>(step);
  int64_t budget = BudgetMs;
  auto busy = [this] { return LastSense[12] == kAscNotReady; };

  PollSense.fill(0);

  if (SlowReadyDevice || SlowReadyModel) {
    do {
      Clock().Sleep(1500);
      budget -= 1500;
      if (budget < 0) break;
      TestUnitReady(5000);
    } while (busy());
  }

  if (CurrentDiscKind == DK_DVDRAM) {
    PollSense[12] = kAscNotReady;
  } else {
    do {
      Clock().Sleep(sleepMs);
      RefreshDiscInformation();
      budget -= step;
      if (budget < 0) return false;
    } while (busy());
  }

  if (TestUnitReady(5000) && PollSense[12] == 0) return true;

  do {
    Clock().Sleep(sleepMs);
    budget -= step;
    if (budget < 0) return false;
    TestUnitReady(5000);
  } while (busy());

  do {
    PollSense.fill(0);
    // A drive that cannot even report its sense is not known to be ready.
    if (!RequestSense(PollSense.data(), static_cast<uint8_t>(PollSense.size())))
      PollSense[12] = kAscNotReady;
    budget -= step;
    if (budget < 0) return false;
    if (PollSense[0] == 0xF0) PollSense[12] = kAscNotReady;
    if (PollSense[12] == kAscNotReady) Clock().Sleep(sleepMs);
  } while (PollSense[12] != 0);
  return true;
}
