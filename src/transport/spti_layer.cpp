// The built-in layer "EBASPI32": emulates the two ASPI entry points over the
// operating system's SCSI pass-through, one table entry per drive node.
#include "transport/transport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

constexpr int kFirstIndex = 2;   // /dev/sr0
constexpr int kLastIndex = 26;   // /dev/sr24
constexpr int kDriveCount = kLastIndex - kFirstIndex + 1;
constexpr uint8_t kNoCDTarget = 120;    // a node that is not a CD/DVD drive
constexpr uint8_t kAddressless = 0xFA;  // lun marker while the scan runs
constexpr uint8_t kNoLetter = 0x7F;
constexpr char kManagerId[17] = "MICRO BURNER    ";  // 16 characters
constexpr size_t kInquiryBytes = 36;
constexpr uint8_t kSelectionTimeout = 0x11;  // host adapter status

struct TSPTIDrive {
  uint8_t HaId = 0;
  uint8_t Target = 0;
  uint8_t Lun = 0;
  uint8_t DriveIndex = 0;
  bool Present = false;
  bool Exclusive = false;  // held for a recording or an erase: not closed between commands
  int Handle = -1;
  int Calls = 0;  // pass-through calls running on Handle: it stays open until they return
  std::array<uint8_t, 40> InquiryData{};
};

// Process-wide; constant-initialised so that it outlives the transport's own
// finalisation, which still shuts the layer down. The lock guards the table
// only: a pass-through call runs without it.
struct TSPTIState {
  std::mutex Lock;
  bool Initialized = false;
  uint8_t AdapterCount = 0;
  uint8_t AddresslessCount = 0;
  std::array<TSPTIDrive, kDriveCount> Drives{};
  std::array<uint8_t, 1025> ScanBuffer{};
};

constinit TSPTIState gSPTI;
// Kept apart from the table: a scan that found nothing usable still says why.
std::vector<TSPTINodeProblem> gProblems;
std::atomic<bool> gCloseAfterCommand{false};

// Signalled when a drive's last running call returns. Never destroyed, like the table.
std::condition_variable& CallsEnded() {
  static std::condition_variable& ended = *new std::condition_variable;
  return ended;
}

bool CallsRunning() {
  return std::any_of(gSPTI.Drives.begin(), gSPTI.Drives.end(),
                     [](const TSPTIDrive& d) { return d.Calls > 0; });
}

void ClearLocked() {
  gSPTI.Initialized = false;
  gSPTI.AdapterCount = 0;
  gSPTI.AddresslessCount = 0;
  gSPTI.Drives.fill(TSPTIDrive{});
  gSPTI.ScanBuffer.fill(0);
}

uint8_t CountAdapters() {
  int highest = 0;
  for (const TSPTIDrive& d : gSPTI.Drives)
    if (d.Present) highest = std::max<int>(highest, d.HaId);
  return static_cast<uint8_t>(std::min(highest + 1, 255));
}

// Sends the scan INQUIRY and reads the address; a drive that cannot be opened
// or does not answer stays out of the table.
void ProbeDrive(TSPTIPlatform& os, TSPTIDrive& d, int index) {
  auto problem = [&](int error) {
    gProblems.push_back({"/dev/sr" + std::to_string(index - kFirstIndex), error,
                         os.NodeGroup(index)});
  };
  errno = 0;
  const int handle = os.Open(index);
  if (handle == -1) {
    problem(errno != 0 ? errno : EIO);
    return;
  }
  gSPTI.ScanBuffer.fill(0);
  TPassThrough request;
  const uint8_t inquiry[6] = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
  std::memcpy(request.Cdb, inquiry, sizeof inquiry);
  request.CdbLength = 6;
  request.Dir = TPassThrough::Direction::In;
  request.Data = gSPTI.ScanBuffer.data();
  request.Length = 0x60;
  request.TimeoutSec = 120;
  request.SenseLength = 24;
  if (!os.PassThrough(handle, request)) {
    problem(0);
    os.Close(handle);
    return;
  }
  std::memcpy(d.InquiryData.data(), gSPTI.ScanBuffer.data(), d.InquiryData.size());
  uint8_t port = 0, target = 0, lun = 0;
  if (os.GetAddress(handle, port, target, lun)) {
    d.HaId = port;
    d.Target = target;
    d.Lun = lun;
  } else {
    d.HaId = 0;
    d.Target = gSPTI.AddresslessCount++;
    d.Lun = kAddressless;
  }
  d.Present = true;
  d.DriveIndex = static_cast<uint8_t>(index);
  d.Handle = -1;
  os.Close(handle);
}

TSPTIDrive* FindDrive(uint8_t ha, uint8_t target, uint8_t lun) {
  for (TSPTIDrive& d : gSPTI.Drives)
    if (d.Present && d.HaId == ha && d.Target == target && d.Lun == lun) return &d;
  return nullptr;
}

uint32_t HostAdapterInquiry(SRB_HAInquiry& srb) {
  srb.HA_Count = gSPTI.AdapterCount;
  if (srb.SRB_HaId >= gSPTI.AdapterCount) {
    srb.SRB_Status = SS_INVALID_HA;
    return SS_INVALID_HA;
  }
  srb.HA_SCSI_ID = 7;
  std::memcpy(srb.HA_ManagerId, kManagerId, sizeof srb.HA_ManagerId);
  // "SPTI n" with n in decimal, zero-filled.
  std::memset(srb.HA_Identifier, 0, sizeof srb.HA_Identifier);
  const std::string id = "SPTI " + std::to_string(srb.SRB_HaId);
  std::memcpy(srb.HA_Identifier, id.data(), id.size());
  std::memset(srb.HA_Unique, 0, sizeof srb.HA_Unique);
  srb.HA_Unique[0] = 0x07;  // alignment mask 0007h
  srb.HA_Unique[3] = 8;     // maximum targets
  srb.HA_Unique[6] = 0xFF;  // maximum transfer length 00FF0000h
  srb.SRB_Status = SS_COMP;
  return SS_COMP;
}

uint32_t GetDeviceType(SRB_GDEVBlock& srb) {
  srb.SRB_Status = SS_NO_DEVICE;
  if (FindDrive(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun)) {
    srb.SRB_Status = SS_COMP;
    srb.SRB_DeviceType = 5;
  } else {
    srb.SRB_DeviceType = 0x1F;
  }
  return srb.SRB_Status;
}

uint32_t Execute(SRB_ExecSCSICmd& srb) {
  TSPTIPlatform& os = SPTIPlatform();
  std::unique_lock lock(gSPTI.Lock);
  TSPTIDrive* d = FindDrive(srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
  if (!d) {
    srb.SRB_Status = SS_NO_DEVICE;
    return SS_NO_DEVICE;
  }
  // INQUIRY is answered from the scan, so it works while the drive is busy.
  if (srb.CDBByte[0] == 0x12) {
    if (srb.SRB_HaId >= gSPTI.AdapterCount) {
      srb.SRB_Status = SS_INVALID_HA;
      return SS_INVALID_HA;
    }
    if (srb.SRB_BufPointer)
      std::memcpy(srb.SRB_BufPointer, d->InquiryData.data(),
                  std::min<size_t>(kInquiryBytes, srb.SRB_BufLen));
    srb.SRB_Status = SS_COMP;
    return SS_COMP;
  }
  if (d->Handle == -1)
    d->Handle = d->Exclusive ? os.OpenExclusive(d->DriveIndex) : os.Open(d->DriveIndex);
  const int handle = d->Handle;
  ++d->Calls;
  // The call may take up to its time-out: others may use the table meanwhile.
  lock.unlock();

  TPassThrough request;
  request.CdbLength = std::min<uint8_t>(srb.SRB_CDBLen, sizeof request.Cdb);
  std::memcpy(request.Cdb, srb.CDBByte, request.CdbLength);
  if (srb.SRB_Flags & SRB_DIR_IN)
    request.Dir = TPassThrough::Direction::In;
  else if (srb.SRB_Flags & SRB_DIR_OUT)
    request.Dir = TPassThrough::Direction::Out;
  else
    request.Dir = TPassThrough::Direction::None;
  request.Data = srb.SRB_BufPointer;
  request.Length = srb.SRB_BufLen;
  request.TimeoutSec = 120;
  request.SenseLength = std::min<uint8_t>(srb.SRB_SenseLen, sizeof request.Sense);

  // A drive that cannot be opened does not answer selection.
  if (handle == -1) request.HostStatus = kSelectionTimeout;
  const bool sent = handle != -1 && os.PassThrough(handle, request);
  if (sent && request.ScsiStatus == STATUS_GOOD) {
    srb.SRB_Status = SS_COMP;
  } else {
    srb.SRB_Status = SS_ERR;
    const size_t senseBytes = std::min<size_t>(request.SenseLength, sizeof request.Sense);
    std::memcpy(srb.SenseArea, request.Sense, senseBytes);
    srb.SRB_TargStat = request.ScsiStatus;
    // A call that failed below the target says why, so the failure has a text.
    if (!sent && request.HostStatus != 0) srb.SRB_HaStat = request.HostStatus;
  }
  lock.lock();
  if (--d->Calls == 0) CallsEnded().notify_all();
  // Linux lets the descriptor go even when close() reports an error.
  if (gCloseAfterCommand && !d->Exclusive && d->Calls == 0 && d->Handle != -1) {
    os.Close(d->Handle);
    d->Handle = -1;
  }
  return srb.SRB_Status;
}

}  // namespace

int SPTIScanDrives() {
  std::lock_guard lock(gSPTI.Lock);
  if (gSPTI.Initialized) return 0;
  ClearLocked();
  gProblems.clear();
  TSPTIPlatform& os = SPTIPlatform();
  int found = 0;
  for (int index = kFirstIndex; index <= kLastIndex; ++index) {
    TSPTIDrive& d = gSPTI.Drives[index - kFirstIndex];
    if (os.IsCDDrive(index)) {
      ProbeDrive(os, d, index);
      if (d.Present) ++found;
    } else {
      d.Target = kNoCDTarget;
    }
  }
  gSPTI.AdapterCount = CountAdapters();
  // Drives without a readable address go on one extra adapter after the real ones.
  if (gSPTI.AddresslessCount > 0) {
    for (TSPTIDrive& d : gSPTI.Drives) {
      if (d.Present && d.Lun == kAddressless) {
        d.Lun = 0;
        d.HaId = gSPTI.AdapterCount;
      }
    }
    gSPTI.AdapterCount = CountAdapters();
  }
  gSPTI.Initialized = true;
  return found;
}

bool SPTIShutdown() {
  std::unique_lock lock(gSPTI.Lock);
  if (!gSPTI.Initialized) return false;
  // A handle is closed only once the calls on it have returned (each within its time-out).
  CallsEnded().wait(lock, [] { return !CallsRunning(); });
  TSPTIPlatform& os = SPTIPlatform();
  for (TSPTIDrive& d : gSPTI.Drives)
    if (d.Present && d.Handle != -1) os.Close(d.Handle);
  ClearLocked();
  return true;
}

std::vector<TSPTINodeProblem> SPTINodeProblems() {
  std::lock_guard lock(gSPTI.Lock);
  return gProblems;
}

uint8_t SPTIAdapterCount() {
  std::lock_guard lock(gSPTI.Lock);
  return gSPTI.AdapterCount;
}

uint32_t SPTIGetASPI32SupportInfo() {
  const uint8_t count = SPTIAdapterCount();
  if (count == 0) return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
  return (static_cast<uint32_t>(SS_COMP) << 8) | count;
}

uint32_t SPTISendASPI32Command(void* srb) {
  if (!srb) return SS_ERR;
  auto* header = static_cast<SRB_Header*>(srb);
  switch (header->SRB_Cmd) {
    case SC_HA_INQUIRY: {
      std::lock_guard lock(gSPTI.Lock);
      return HostAdapterInquiry(*static_cast<SRB_HAInquiry*>(srb));
    }
    case SC_GET_DEV_TYPE: {
      std::lock_guard lock(gSPTI.Lock);
      return GetDeviceType(*static_cast<SRB_GDEVBlock*>(srb));
    }
    case SC_EXEC_SCSI_CMD:
      return Execute(*static_cast<SRB_ExecSCSICmd*>(srb));
    case SC_GET_DISK_INFO:
      return SS_ERR;
    default:
      header->SRB_Status = SS_ERR;
      return SS_ERR;
  }
}

char SPTIDriveLetter(uint8_t HaId, uint8_t Target, uint8_t Lun) {
  std::lock_guard lock(gSPTI.Lock);
  // Only drives found by the scan: a cleared entry would otherwise match 0:0:0.
  const TSPTIDrive* d = FindDrive(HaId, Target, Lun);
  return d ? static_cast<char>('A' + d->DriveIndex) : static_cast<char>(kNoLetter);
}

void SPTICloseAfterCommand(bool close) { gCloseAfterCommand = close; }

bool SPTIHoldExclusive(uint8_t HaId, uint8_t Target, uint8_t Lun, bool Hold) {
  std::unique_lock lock(gSPTI.Lock);
  TSPTIDrive* d = FindDrive(HaId, Target, Lun);
  if (!d) return !Hold;
  TSPTIPlatform& os = SPTIPlatform();
  // A handle in use by a running call is closed once that call has returned.
  CallsEnded().wait(lock, [d] { return d->Calls == 0; });
  // The shared handle goes first: the exclusive open is a handle of its own.
  if (d->Handle != -1) os.Close(d->Handle);
  d->Handle = -1;
  d->Exclusive = false;
  if (!Hold) return true;
  d->Handle = os.OpenExclusive(d->DriveIndex);
  d->Exclusive = d->Handle != -1;
  return d->Exclusive;
}

std::string DriveLetterText(char letter) {
  const int index = static_cast<unsigned char>(letter) - 'A';
  if (index < kFirstIndex || index > kLastIndex) return "?:";
  return "sr" + std::to_string(index - kFirstIndex) + ":";
}
