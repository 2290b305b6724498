// The SCSI transport: the ASPI request records, the two back-ends behind the
// ASPI entry points (a run-time library loaded with dlopen, and the built-in
// pass-through layer over SG_IO), and the seam through which the built-in layer
// reaches the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------- codes
constexpr uint8_t SC_HA_INQUIRY = 0x00;
constexpr uint8_t SC_GET_DEV_TYPE = 0x01;
constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr uint8_t SC_ABORT_SRB = 0x03;
constexpr uint8_t SC_GET_DISK_INFO = 0x06;

constexpr uint8_t SRB_DIR_IN = 0x08;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;

constexpr uint8_t SS_PENDING = 0x00;
constexpr uint8_t SS_COMP = 0x01;
constexpr uint8_t SS_ABORTED = 0x02;
constexpr uint8_t SS_ABORT_FAIL = 0x03;
constexpr uint8_t SS_ERR = 0x04;
constexpr uint8_t SS_INVALID_CMD = 0x80;
constexpr uint8_t SS_INVALID_HA = 0x81;
constexpr uint8_t SS_NO_DEVICE = 0x82;
constexpr uint8_t SS_INVALID_SRB = 0xE0;
constexpr uint8_t SS_BUFFER_ALIGN = 0xE1;
constexpr uint8_t SS_ILLEGAL_MODE = 0xE2;
constexpr uint8_t SS_ASPI_IS_BUSY = 0xE5;
constexpr uint8_t SS_BUFFER_TO_BIG = 0xE6;
constexpr uint8_t SS_NO_ADAPTERS = 0xE8;

constexpr uint8_t HASTAT_OK = 0x00;
constexpr uint8_t HASTAT_TIMEOUT = 0x09;

constexpr uint8_t STATUS_GOOD = 0x00;
constexpr uint8_t STATUS_CHKCOND = 0x02;
constexpr uint8_t STATUS_BUSY = 0x08;

// ---------------------------------------------------------------- records
// Shared with the loaded library, so packed and pinned byte for byte. Pointer
// fields are 8 bytes wide on this platform; the completion event is an eventfd.
#pragma pack(push, 1)
struct SRB_Header {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
};

struct SRB_HAInquiry {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t HA_Count;
  uint8_t HA_SCSI_ID;
  char HA_ManagerId[16];
  char HA_Identifier[16];
  uint8_t HA_Unique[16];
  uint16_t HA_Rsvd1;
};

struct SRB_GDEVBlock {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint8_t SRB_DeviceType;
  uint8_t SRB_Rsvd1;
};

struct SRB_GetDiskInfo {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint8_t SRB_DriveFlags;
  uint8_t SRB_Int13HDriveInfo;  // BIOS drive number: drive index, 0 = A
  uint8_t SRB_Heads;
  uint8_t SRB_Sectors;
  uint8_t SRB_Rsvd1[10];
};

struct SRB_Abort {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  void* SRB_ToAbort;
};

struct SRB_ExecSCSICmd {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;
  uint8_t* SRB_BufPointer;
  uint8_t SRB_SenseLen;
  uint8_t SRB_CDBLen;
  uint8_t SRB_HaStat;
  uint8_t SRB_TargStat;
  int64_t SRB_PostProc;  // eventfd when SRB_EVENT_NOTIFY is set, else 0
  uint8_t SRB_Rsvd2[20];
  uint8_t CDBByte[16];
  uint8_t SenseArea[33];
};
#pragma pack(pop)

static_assert(sizeof(SRB_Header) == 8);
static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(offsetof(SRB_HAInquiry, HA_Count) == 8);
static_assert(offsetof(SRB_HAInquiry, HA_ManagerId) == 10);
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26);
static_assert(offsetof(SRB_HAInquiry, HA_Unique) == 42);
static_assert(offsetof(SRB_HAInquiry, HA_Rsvd1) == 58);
static_assert(sizeof(SRB_GDEVBlock) == 12);
static_assert(offsetof(SRB_GDEVBlock, SRB_DeviceType) == 10);
static_assert(sizeof(SRB_GetDiskInfo) == 24);
static_assert(offsetof(SRB_GetDiskInfo, SRB_Int13HDriveInfo) == 11);
static_assert(sizeof(SRB_Abort) == 16);
static_assert(offsetof(SRB_Abort, SRB_ToAbort) == 8);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Lun) == 9);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 24);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == 25);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaStat) == 26);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 27);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 28);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd2) == 36);
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 56);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 72);
static_assert(sizeof(SRB_ExecSCSICmd) == 105);

// ---------------------------------------------------------------- entry points
using TGetASPI32SupportInfo = uint32_t (*)();
using TSendASPI32Command = uint32_t (*)(void* srb);

// Names the rest of the system compares against.
inline constexpr const char* kLibraryLayerName = "WNASPI32.DLL";
inline constexpr const char* kBuiltInLayerName = "EBASPI32";
inline constexpr const char* kLibraryFileName = "libwnaspi32.so";

bool InitASPILayer(bool PreferBuiltIn, const std::string& LibraryPath);
bool ReinitASPILayer();
bool UnloadASPILibrary();
bool ASPIInitialized();
std::string ASPILayerName();
// True when the bound layer can hold a drive exclusively (the built-in layer:
// SPTIHoldExclusive); a library shares its drives with everyone.
bool ASPICanHoldExclusive();
// True when the bound layer answers every request before its call returns (the
// built-in layer: SG_IO is synchronous). A library may complete one later, on
// its own thread.
bool ASPICompletesInCall();

// The bound entry points; SS_NO_ADAPTERS << 8 / SS_ERR when nothing is bound.
uint32_t ASPIGetSupportInfo();
uint32_t ASPISendCommand(void* srb);

// Binds entry points that live in this process as the library back-end
// ("WNASPI32.DLL", no module handle). The in-process virtual recorder and the
// tests use it; InitASPILayer/ReinitASPILayer replace it like any binding.
void BindASPIEntries(TGetASPI32SupportInfo support, TSendASPI32Command send);
// Unbinds whatever is bound and forgets the remembered preference (tests).
void ResetASPILayer();

// ---------------------------------------------------------------- built-in layer
int SPTIScanDrives();
bool SPTIShutdown();
uint32_t SPTIGetASPI32SupportInfo();
uint32_t SPTISendASPI32Command(void* srb);
// 'A' + drive index of the first entry with that address; 7Fh when none.
char SPTIDriveLetter(uint8_t HaId, uint8_t Target, uint8_t Lun);
void SPTICloseAfterCommand(bool close);
// The built-in layer holds the drive at the address exclusively while a
// recording or an erase runs (Hold), and lets it go afterwards. False when the
// drive could not be had: errno EBUSY means another program uses it.
bool SPTIHoldExclusive(uint8_t HaId, uint8_t Target, uint8_t Lun, bool Hold);

// A recording's or an erase's hold of its drive: exclusive while it lives when
// the bound layer can hold one (ASPICanHoldExclusive), else nothing. On its
// end the drive is let go and the layer bound again, so that the shared
// handles are opened anew.
class TExclusiveDriveHold {
public:
  TExclusiveDriveHold(uint8_t HaId, uint8_t Target, uint8_t Lun);
  ~TExclusiveDriveHold();
  TExclusiveDriveHold(const TExclusiveDriveHold&) = delete;
  TExclusiveDriveHold& operator=(const TExclusiveDriveHold&) = delete;
  // False when the drive could not be had; error() is then the errno of the
  // failed open (EBUSY: another program uses it).
  bool ok() const { return !applies_ || held_; }
  int error() const { return error_; }

private:
  uint8_t haId_, target_, lun_;
  bool applies_;
  bool held_ = false;
  int error_ = 0;
};
uint8_t SPTIAdapterCount();

// The nodes the last scan found but could not use, so that the user can be told
// why: Error is the errno of the failed open (EACCES, EBUSY, ...), or 0 for a
// node that opened but did not answer the scan INQUIRY. Group is the group that
// owns the node (empty when unknown).
struct TSPTINodeProblem {
  std::string Node;  // "/dev/sr0"
  int Error = 0;
  std::string Group;
};
std::vector<TSPTINodeProblem> SPTINodeProblems();

// A drive "letter" is 'A' + index with index 2..26 standing for /dev/sr0../dev/sr24.
// The text shown where the letter and ":" would stand: "sr0:", or "?:".
std::string DriveLetterText(char letter);

// ---------------------------------------------------------------- OS seam
// Every operating-system call of the built-in layer (and of the drive-letter
// search over the library back-end) goes through this interface.
struct TPassThrough {
  uint8_t Cdb[16] = {};
  uint8_t CdbLength = 0;
  enum class Direction { None, In, Out } Dir = Direction::None;
  uint8_t* Data = nullptr;
  uint32_t Length = 0;
  uint32_t TimeoutSec = 120;
  uint8_t Sense[32] = {};
  uint8_t SenseLength = 0;   // in: requested; out: bytes returned
  uint8_t ScsiStatus = 0;    // out
  uint8_t HostStatus = 0;    // out: HASTAT_* when the call failed below the target, else 0
};

class TSPTIPlatform {
public:
  virtual ~TSPTIPlatform() = default;
  // Drive index 2..26 is /dev/sr(index-2): exists and is a SCSI CD-ROM block device.
  virtual bool IsCDDrive(int index) = 0;
  // Read/write, else read-only; -1 on failure with errno set to the reason.
  virtual int Open(int index) = 0;
  // Read/write and exclusive (O_EXCL: no other exclusive user, not mounted),
  // for a recording or an erase; -1 with errno set on failure (EBUSY: in use).
  virtual int OpenExclusive(int index) { return Open(index); }
  virtual bool Close(int handle) = 0;
  virtual bool PassThrough(int handle, TPassThrough& request) = 0;
  virtual bool GetAddress(int handle, uint8_t& port, uint8_t& target, uint8_t& lun) = 0;
  // The name of the group that owns the node (its number when it has no name).
  virtual std::string NodeGroup(int) { return {}; }
};

TSPTIPlatform& SPTIPlatform();
void SetSPTIPlatform(TSPTIPlatform* platform);  // nullptr restores the real one
