// Drive control: TSCSIDevice runs every command through ExecSCSICommand with
// sense decoding and the message trace, finds and selects the drives, reads the
// capabilities and sends the write parameters, and carries the MMC commands and
// the disc queries built on them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/common.h"
#include "transport/transport.h"

// ---------------------------------------------------------------- messages
enum : uint8_t {
  MSG_ERROR = 0,
  MSG_INFO = 1,
  MSG_LIMIT = 3,
  MSG_FILE = 4,
};

class TDebugWindowRef;
struct TPostedRequest;

// Receives every reported message as a new line (the window's memo). When it
// goes, every reference to it is cleared, so no device writes to a memo that
// is gone.
class TDebugWindow {
public:
  TDebugWindow() = default;
  TDebugWindow(const TDebugWindow&) = delete;
  TDebugWindow& operator=(const TDebugWindow&) = delete;
  virtual ~TDebugWindow();
  virtual void AddLine(const std::string& line) = 0;

private:
  friend class TDebugWindowRef;
  std::vector<TDebugWindowRef*> references_;
};

// A reference to a memo that becomes empty when the memo is destroyed.
class TDebugWindowRef {
public:
  TDebugWindowRef() = default;
  TDebugWindowRef(const TDebugWindowRef&) = delete;
  TDebugWindowRef& operator=(const TDebugWindowRef&) = delete;
  ~TDebugWindowRef() { *this = nullptr; }
  TDebugWindowRef& operator=(TDebugWindow* window);
  TDebugWindow* operator->() const { return window_; }
  TDebugWindow* get() const { return window_; }
  explicit operator bool() const { return window_ != nullptr; }

private:
  friend class TDebugWindow;
  TDebugWindow* window_ = nullptr;
};

using TOnDebugMsg = std::function<void(TObject* Sender, const std::string& Message, uint8_t mType)>;
using TDeviceChangedEvent = std::function<void(TObject* Sender)>;

// ---------------------------------------------------------------- tables and helpers
uint16_t SwapWord(uint16_t v);
uint32_t SwapDWord(uint32_t v);
void ReverseBytes(const void* src, void* dst, int n);

const std::string& CommandName(uint8_t opcode);  // CommandNames[opcode], 22 wide when named
std::string StatusText(uint8_t status, uint8_t haStatus, uint8_t targetStatus);
std::string SenseKeyText(const uint8_t* sense);  // from a sense area
std::string SenseCodeText(uint8_t asc, uint8_t ascq);

// Disc kinds (CurrentDiscKind numbering).
enum : uint16_t {
  DK_UNKNOWN = 0, DK_CDROM = 1, DK_CDR = 2, DK_CDRW = 3, DK_DVDROM = 4, DK_DVDR = 5,
  DK_DVDRAM = 6, DK_DVDRW_RO = 7, DK_DVDRW_SR = 8, DK_DVDPLUSRW = 9, DK_DVDPLUSR = 10,
  DK_DDCDROM = 11, DK_DDCDR = 12, DK_DDCDRW = 13,
  // Blu-ray: BD-R in random recording mode is recognised but never written.
  DK_BDROM = 14, DK_BDR = 15, DK_BDR_RRM = 16, DK_BDRE = 17,
};
inline constexpr bool IsBDKind(uint16_t kind) { return kind >= DK_BDROM && kind <= DK_BDRE; }
const char* DiscKindNames(uint16_t kind);  // "UNKNOWN" for anything out of range

// ---------------------------------------------------------------- the media
// What each medium takes, in one table (media.cpp): every decision made by
// disc kind reads it. DVD-RW shares kind 7 between restricted overwrite
// (profile 0013h) and sequential recording (0014h); the profile tells them apart.
enum class TFormatFirst : uint8_t {
  None,
  Quick,            // FORMAT UNIT (quick) before every recording: DVD-RW
  WhenUnformatted,  // FORMAT UNIT when READ FORMAT CAPACITIES says unformatted: BD-RE
};
enum class TCloseWay : uint8_t {
  None,       // nothing to close: DVD-RAM, BD-RE
  CD,         // CLOSE SESSION, retried while the drive is busy
  Track,      // the track (function 1), then the session (2) or the disc (FinalizeFunction)
  Reserved,   // DVD-R: the reserved track, the empty one after it, then the session
  Session,    // sequential DVD-RW: the session (2, Immed)
  Background  // DVD+RW: stop the background format (3)
};
enum class TEraseWay : uint8_t { None, Blank, Format };

struct TWritePage {
  bool Send = true;          // DVD-RAM and BD take no write parameters page
  uint8_t WriteType = 0x01;  // byte 2 without the BUFE and TEST bits
  uint8_t Byte3 = 0x04;      // multi-session field, FP, track mode
  bool OpenUnlessFinal = false;  // byte 3 gets multi-session 11b unless a test or final session
  uint8_t LinkSize = 0;      // byte 5
  uint8_t Byte6 = 0;
  uint32_t PacketSize = 0;   // bytes 10-13
};

struct TMedium {
  uint16_t Kind = DK_UNKNOWN;
  uint16_t Profile = 0;       // 0: any profile of the kind (or none)
  bool Writable = false;
  TWritePage Page{};
  bool Simulates = false;     // the drive honours the TEST bit: nothing is written
  bool Overwritable = false;  // no sessions: the volume descriptors are rewritten at 0
  bool NextAfterVolume = false;  // the next volume goes after the recorded one
  TFormatFirst Format = TFormatFirst::None;
  TCloseWay Close = TCloseWay::None;
  uint8_t FinalizeFunction = 0;  // CLOSE function that also closes the disc (Track)
  uint8_t CloseNumber = 0;       // the session's number field of those closes (Track)
  bool FinalViaPage = false;  // the last session closes the disc with multi-session 00b
  bool Reserves = false;      // timestamp, track reservation and streaming (DVD-R)
  bool FlushImmed = false;    // SYNCHRONIZE CACHE with Immed, polled until done
  TEraseWay Erase = TEraseWay::None;
  uint8_t EraseFormatType = 0;
};

// The row for a disc kind and the profile it came from.
const TMedium& Medium(uint16_t kind, uint16_t profile = 0);
// Media without sessions, written anywhere: DVD+RW, DVD-RAM, BD-RE, restricted-overwrite DVD-RW.
inline bool IsOverwritable(uint16_t kind, uint16_t profile) { return Medium(kind, profile).Overwritable; }

// A timed-out request that the library would not abort: the drive takes no
// further command from this program, which could not tell which answer was whose.
inline constexpr const char* kStuckDriveText =
    "DRIVE NOT USABLE: A TIMED-OUT COMMAND COULD NOT BE ABORTED";

// A disc whose last session an earlier recording left open or damaged.
inline constexpr const char* kUnfinishedSessionText = "THE DISC HOLDS AN UNFINISHED SESSION";
inline constexpr const char* kDamagedSessionText = "THE DISC HOLDS A DAMAGED SESSION";
inline constexpr const char* kRandomBDRText = "BD-R IN RANDOM RECORDING MODE CANNOT BE WRITTEN";

// DeviceCapabilities bits.
enum : uint32_t {
  DC_READ_CDR = 0x00000001, DC_READ_CDRW = 0x00000002, DC_READ_METHOD2 = 0x00000004,
  DC_READ_DVDROM = 0x00000008, DC_READ_DVDR = 0x00000010, DC_READ_DVDRW = 0x00000020,
  DC_READ_DVDRAM = 0x00000040, DC_READ_DVDPLUSR = 0x00000080, DC_READ_DVDPLUSRW = 0x00000100,
  DC_WRITE_CDR = 0x00000200, DC_WRITE_CDRW = 0x00000400, DC_WRITE_TEST = 0x00000800,
  DC_WRITE_DVDR = 0x00001000, DC_WRITE_DVDRW = 0x00002000, DC_WRITE_DVDRAM = 0x00004000,
  DC_WRITE_DVDPLUSR = 0x00008000, DC_WRITE_DVDPLUSRW = 0x00010000,
  DC_UNDERRUNPROTECTION = 0x00040000,
  DC_READ_BD = 0x00080000, DC_WRITE_BD = 0x00100000,  // features 0040h and 0041h
};

// What a recording asks of the write parameters page, as one value.
struct TWriteParams {
  bool TestWrite = false;
  bool UnderrunProtection = false;
  bool Finalize = false;  // no further session after this one
  uint16_t DiscKind = DK_UNKNOWN;
};

// READ DISC INFORMATION and READ TRACK INFORMATION, decoded once here: the
// rest of the program reads these values, never the answers' byte offsets.
struct TDiscInfo {
  uint8_t Status = 0;            // 0 empty, 1 appendable, 2 complete, 3 other
  uint8_t LastSessionState = 0;  // 0 empty, 1 incomplete, 2 damaged, 3 complete
  bool Erasable = false;
  uint8_t Sessions = 0;               // number of sessions (low byte)
  uint8_t LastTrackInLastSession = 0;  // low byte
};
struct TTrackInfo {
  uint8_t Track = 0, Session = 0;  // low bytes
  bool Damaged = false;
  uint32_t Start = 0, NextWritable = 0, FreeBlocks = 0, PacketSize = 0, Size = 0, LastRecorded = 0;
};

// Write types offered by ProbeWriteModes.
enum class TWriteType { TrackAtOnce, SessionAtOnce, Raw };

// ---------------------------------------------------------------- TSCSIDevice
// The process-wide buffers of drive control (DiscInfo, ConfigBuffer, PollSense,
// ScratchBuffer, ModeBuffer, CurrentDiscKind, the two model flags) are members of
// the device object: the system drives one recorder at a time.
class TSCSIDevice : public TObject {
public:
  TSCSIDevice();
  ~TSCSIDevice() override;
  TSCSIDevice(const TSCSIDevice&) = delete;
  TSCSIDevice& operator=(const TSCSIDevice&) = delete;

  // ---- command execution and messages
  uint32_t ExecSCSICommand(SRB_ExecSCSICmd& srb, uint32_t TimeoutMs);
  void DebugMessage(const std::string& Message, uint8_t mType);

  std::string LastError;
  std::array<uint8_t, 33> LastSense{};
  bool TargetBusy = false;
  // The last command got no answer within its time-out (and was aborted); its
  // sense is empty, which must not be taken for a drive that is merely busy.
  bool TimedOut = false;
  TDebugWindowRef DebugWindow;
  TOnDebugMsg OnDebugMessage;
  bool DoDebug = false;

  // ---- discovery and selection
  bool InitDevices(bool PreferBuiltIn, const std::string& LibraryPath);
  void HostAdapterInquiry(uint8_t ha);
  void ScanDevices();
  char DriveLetter();
  void SelectDevice(const std::string& line);
  void IdentifyDevice();
  bool Inquiry();

  uint8_t HaId = 0xFE, Target = 0xFE, Lun = 0xFE;
  int8_t AdapterCount = 0;
  SRB_HAInquiry HAInquiryRecord{};
  std::vector<std::string> DeviceList;
  std::string DeviceDescription;
  std::string DeviceIdent;
  uint8_t DeviceType = 0x7F;
  std::array<uint8_t, 131> InquiryData{};
  bool SlowReadyDevice = false;
  bool ForceUnderrunProtection = false;
  bool WriteParamsQuirk = false;
  bool SlowReadyModel = false;
  bool CloseTrackImmediate = true;
  std::atomic<bool> Erasing{false};  // an erase thread runs (set by it, polled by the window)
  TDeviceChangedEvent OnDeviceChange;

  // ---- capabilities and write parameters
  bool ModeSense10(uint8_t PageCode, uint8_t* Buffer, bool DefaultValues, uint16_t Length,
                   uint16_t ClearLength);
  bool ModeSelect10(const uint8_t* ParameterList, uint16_t Length);
  bool GetConfiguration(uint8_t RT, uint16_t StartingFeature, uint16_t Length, uint8_t* Buffer);
  bool ReadCapabilities();
  bool HasPage30();
  bool ProbeWriteModes();
  bool ProbeWriteType(TWriteType type);
  bool SetWriteParameters(const TWriteParams& Params);
  // Sends the page of the last SetWriteParameters again with the multi-session
  // field at 00b: the next session close also closes the disc (DVD-R, DVD-RW).
  bool SendFinalSessionPage();
  uint16_t GetMaxReadSpeed();
  uint16_t GetCurrentWriteSpeed();

  std::array<uint8_t, 256> CapabilitiesPage{};
  uint32_t DeviceCapabilities = 0;
  uint16_t DeviceMaxWriteSpeed = 0;
  uint16_t DeviceMaxReadSpeed = 0;
  std::array<uint8_t, 54> WriteParamsPage{};
  bool UnderrunProtection = true;
  bool TestWrite = false;
  bool FinalizeDisc = false;

  // ---- MMC commands (true on success)
  bool TestUnitReady(uint32_t TimeoutMs);
  bool ProbeUnitReady();
  bool RezeroUnit();
  bool RequestSense(uint8_t* Buffer, uint8_t Length);
  bool FormatUnit(uint8_t Options, uint8_t* Buffer, uint32_t Length);
  // READ FORMAT CAPACITIES: the current capacity descriptor's type (1 unformatted,
  // 2 formatted, 3 no medium) and its number of blocks, into ScratchBuffer.
  bool ReadFormatCapacities(uint8_t& DescriptorType, uint32_t& Blocks);
  // BLANK (A1h): Type 0 the whole disc, 1 minimal (the table of contents).
  bool Blank(uint8_t Type, bool Immed);
  bool LoadEject(bool Eject);
  bool AllowMediumRemoval(bool Allow);
  bool Read10(uint32_t LBA, uint16_t Count, uint8_t* Buffer, uint32_t Length);
  bool Write10(uint32_t LBA, uint16_t Count, uint8_t Flags, uint32_t Length, uint8_t* Buffer);
  bool SynchronizeCache(uint32_t TimeoutMs, bool Immed);
  bool ReadTOC(uint8_t Format, uint8_t* Buffer, uint32_t Length, uint8_t TrackSession, bool MSF,
               uint8_t Control);  // Length above 255: refused before anything is sent
  bool ReadDiscInformation(uint8_t* Buffer, uint16_t Length);
  bool ReadTrackInformation(uint8_t Track);
  bool ReserveTrack(uint32_t Size);
  bool SendOPC();
  bool CloseTrackSession(bool CloseTrack, bool Immed, bool FinalizeDisc);
  bool CloseTrackSessionRaw(bool Immed, uint8_t CloseFunction, uint8_t B3, uint8_t B4, uint8_t B5);
  bool ReadBufferCapacity(uint32_t& BufferLength, uint32_t& FreeLength);
  bool SetStreaming(uint8_t* Buffer, uint16_t Length);
  bool SetCDSpeed(uint16_t ReadSpeed, uint16_t WriteSpeed);
  bool SendDiscStructure(uint8_t Format, uint8_t* Buffer, uint16_t Length);

  // ---- disc queries
  bool WaitUntilReady(int32_t BudgetMs, int32_t StepMs);
  bool RefreshDiscInformation();
  int DiscStatus();
  int RecordedSessions();
  uint16_t DiscKind();
  uint32_t FreeSectors();
  bool SendTimestamp(TDateTime DateTime);
  // Overwritable media have no sessions: where the volume recorded on them
  // ends, from the first volume descriptor found from sector 32 down to 16
  // (its volume space size); 0 when there is none.
  uint32_t RecordedVolumeEnd();
  // Why a recording onto the disc in the drive must not start: a test write
  // the medium cannot simulate, a finalisation it cannot take, or a last
  // session left unfinished or damaged by an earlier recording. "" when it may
  // start. Reads CurrentDiscKind, CurrentProfile, TestWrite and FinalizeDisc.
  std::string RecordingRefusal();

  std::array<uint8_t, 56> DiscInfo{};
  std::array<uint8_t, 38> TrackInfo{};
  // The last answers decoded (empty after a query that failed).
  TDiscInfo Disc{};
  TTrackInfo Track{};
  std::array<uint8_t, 26> ATIPInfo{};
  std::array<uint8_t, 114> ConfigBuffer{};
  std::array<uint8_t, 40> PollSense{};
  std::array<uint8_t, 498> ScratchBuffer{};
  std::array<uint8_t, 512> ModeBuffer{};
  // Written by the recording or erase thread while the user interface polls it.
  std::atomic<uint16_t> CurrentDiscKind{DK_UNKNOWN};
  uint16_t CurrentProfile = 0;  // the MMC profile DiscKind last saw (0: none)
  uint32_t DeviceBufferSize = 0;
  uint32_t DeviceFreeBufferSize = 0;

private:
  // The last request the transport left pending completed within the
  // completion spin: look at the next one's status before blocking on its event.
  bool quickCompletions_ = true;
  // The record a library is handed for the next request (see exec.cpp).
  std::unique_ptr<TPostedRequest> posted_;
  // A drive whose library would not give up a timed-out request.
  struct {
    std::string Reason;
    uint8_t HaId = 0xFE, Target = 0xFE, Lun = 0xFE;
  } stuck_;
};
