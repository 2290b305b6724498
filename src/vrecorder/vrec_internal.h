// Private pieces of the virtual recorder shared by its source files: the media
// table, the disc model with its sessions and tracks, the drive's options and
// state, and the command executor.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vrecorder/vrecorder.h"

namespace vrec {

constexpr uint32_t kSectorSize = 2048;
constexpr uint32_t kCdCapacity = 359847;     // 80 minutes
constexpr uint32_t kDvdCapacity = 2295104;   // single layer
constexpr uint32_t kBdCapacity = 12219392;   // 25 GB, single layer
constexpr uint32_t kBdDlCapacity = 24438784; // 50 GB, dual layer
constexpr uint32_t kFirstSessionGap = 11400; // lead-out 6750 + lead-in 4500 + pre-gap 150
constexpr uint32_t kLaterSessionGap = 6900;  // lead-out 2250 + lead-in 4500 + pre-gap 150

enum class TMedium : uint8_t {
  None, CdRom, CdR, CdRw, DvdRom, DvdR, DvdRw, DvdRwSeq, DvdPlusR, DvdPlusRw, DvdRam,
  BdRom, BdR, BdRDl, BdRe
};
inline constexpr bool IsBd(TMedium m) { return m >= TMedium::BdRom; }

struct TMediumInfo {
  TMedium Medium;
  const char* Name;
  uint16_t Profile;
  bool Cd;
  bool Writable;
  bool Erasable;
  bool Overwritable;  // writes at any address below the capacity
};

inline constexpr std::array<TMediumInfo, 15> kMedia{{
    {TMedium::None, "none", 0x0000, false, false, false, false},
    {TMedium::CdRom, "cd-rom", 0x0008, true, false, false, false},
    {TMedium::CdR, "cd-r", 0x0009, true, true, false, false},
    {TMedium::CdRw, "cd-rw", 0x000A, true, true, true, false},
    {TMedium::DvdRom, "dvd-rom", 0x0010, false, false, false, false},
    {TMedium::DvdR, "dvd-r", 0x0011, false, true, false, false},
    {TMedium::DvdRw, "dvd-rw", 0x0013, false, true, true, true},
    {TMedium::DvdRwSeq, "dvd-rw-seq", 0x0014, false, true, true, false},
    {TMedium::DvdPlusR, "dvd+r", 0x001B, false, true, false, false},
    {TMedium::DvdPlusRw, "dvd+rw", 0x001A, false, true, true, true},
    {TMedium::DvdRam, "dvd-ram", 0x0012, false, true, true, true},
    {TMedium::BdRom, "bd-rom", 0x0040, false, false, false, false},
    {TMedium::BdR, "bd-r", 0x0041, false, true, false, false},      // sequential recording
    {TMedium::BdRDl, "bd-r-dl", 0x0041, false, true, false, false},
    {TMedium::BdRe, "bd-re", 0x0043, false, true, true, true},
}};

const TMediumInfo& MediumInfo(TMedium m);
std::optional<TMedium> MediumByName(const std::string& name);

// Sense key, ASC, ASCQ of a failed command; key 0 and ASC 0 is success.
struct TSense {
  uint8_t Key = 0, Asc = 0, Ascq = 0;
  bool Ok() const { return Key == 0 && Asc == 0 && Ascq == 0; }
};
constexpr TSense kOk{};
constexpr TSense kInvalidOpcode{5, 0x20, 0x00};
constexpr TSense kInvalidField{5, 0x24, 0x00};
constexpr TSense kInvalidParam{5, 0x26, 0x00};
constexpr TSense kLbaOutOfRange{5, 0x21, 0x00};
constexpr TSense kInvalidWriteAddress{5, 0x21, 0x02};
constexpr TSense kSequenceError{5, 0x2C, 0x00};
constexpr TSense kIncompatibleWrite{5, 0x30, 0x05};
constexpr TSense kCannotFormat{5, 0x30, 0x06};
constexpr TSense kNotFormatted{5, 0x30, 0x10};
constexpr TSense kWriteProtected{7, 0x27, 0x00};

// ---------------------------------------------------------------- disc model
struct TTrack {
  uint32_t Number = 1;
  uint32_t Session = 1;
  uint32_t Start = 0;
  uint32_t Written = 0;   // sectors recorded from Start on
  uint32_t Reserved = 0;  // reserved size, 0 when not reserved
  bool Closed = false;
  bool Damaged = false;   // lost streaming without underrun protection
  uint32_t End() const { return Start + (Reserved ? Reserved : Written); }
  uint32_t Nwa() const { return Start + Written; }
};

// The recorded state of one disc. Sequential media keep every track; the last
// one of a disc that is not complete is the open session's invisible track.
// Overwritable media have one session with one track covering the capacity.
class TDisc {
public:
  TMedium Medium = TMedium::CdR;
  bool Complete = false;        // no further session can be written
  uint32_t ClosedSessions = 0;  // sessions closed so far
  std::vector<TTrack> Tracks;
  uint32_t HighWater = 0;       // overwritable media: one past the highest sector written
  std::string Timestamp;        // last SEND DISC STRUCTURE timestamp
  bool Formatted = true;        // BD-RE: formatted once before it takes data
  // A disc made smaller than its medium (capacity=), kept in the state file;
  // 0: the medium's own capacity.
  uint32_t SmallerCapacity = 0;

  static TDisc Blank(TMedium m, uint32_t smallerCapacity = 0);
  // A pressed disc whose only session holds `sectors` sectors.
  static TDisc Pressed(TMedium m, uint32_t sectors);

  const TMediumInfo& Info() const { return MediumInfo(Medium); }
  uint32_t Capacity() const;
  static uint32_t MediumCapacity(TMedium m);
  bool Sequential() const { return Info().Writable && !Info().Overwritable; }

  // Disc information fields.
  uint8_t DiscStatus() const;        // 0 empty, 1 appendable, 2 complete, 3 other
  uint8_t LastSessionState() const;  // 0 empty, 1 incomplete, 3 complete
  uint32_t SessionCount() const;
  uint32_t FirstTrackInLastSession() const;
  uint32_t LastTrackInLastSession() const;

  TTrack* Invisible();               // nullptr when complete or not sequential
  const TTrack* Track(uint32_t number) const;
  const TTrack* TrackAt(uint32_t lba) const;
  bool Readable(uint32_t lba) const;  // recorded, so READ (10) returns data

  // Checks a WRITE (10) of count sectors at lba; on success the track it extends.
  TSense CheckWrite(uint32_t lba, uint32_t count, TTrack** track);
  void CommitWrite(TTrack* track, uint32_t lba, uint32_t count);

  TSense Reserve(uint32_t size);
  TSense CloseTrack(uint32_t number);
  // Closes the open session; appendable decides whether another may follow.
  TSense CloseSession(bool appendable);
  // The next writable address of the open session, when there is one.
  std::optional<uint32_t> NextWritable() const;

  // Bytes 0..27 of the MMC track information block (the rest zero).
  std::array<uint8_t, 40> TrackInformation(const TTrack& t) const;
  TVRecDiscInfo Describe() const;

private:
  TTrack* OpenReserved();
  uint32_t OpenSessionStart() const;
};

// ---------------------------------------------------------------- state file
std::string StatePath(const std::string& image);
bool LoadState(const std::string& image, TDisc* disc, std::string* error);
bool SaveState(const std::string& image, const TDisc& disc, std::string* error);

// ---------------------------------------------------------------- options
struct TDriveOptions {
  std::string Image;
  std::optional<TMedium> Medium;  // from the configuration, if named
  std::string Vendor = "MBURN";
  std::string Product = "VIRTUAL DVD-RW";
  std::string Revision = "1.00";
  uint8_t DeviceType = 5;
  bool DvdWriter = true;
  std::optional<bool> BdWriter;  // unset: a BD writer when the medium is a BD
  bool Page30 = false;
  bool Sync = false;
  bool Direct = true;  // page-aligned transfers bypass the page cache
  uint32_t LoadMs = 0;
  uint32_t LongWriteMs = 0;
  uint32_t FormatMs = 0;
  uint32_t EraseMs = 300;   // BLANK, and the format of a DVD+RW (26h) or DVD-RAM (00h)
  uint32_t BufferKb = 2048;
  uint32_t WriteSpeed = 0;  // kB/s, 0 no limit
  // faults
  uint32_t Busy = 0;
  bool NotReady = false;
  int64_t WriteError = -1;
  // read-error: the sectors READ (10) fails on, as ranges (first, last).
  std::vector<std::pair<uint32_t, uint32_t>> ReadErrors;
  uint32_t ReadRetries = 0;      // a read-error sector reads once it has failed this often
  uint32_t Capacity = 0;         // a new disc's capacity in sectors, 0 the medium's
  int64_t CorruptAt = -1;
  int Hang = -1;
  uint32_t HangCount = 0;
  int Fail = -1;                 // operation code that fails 4/44h/00h
  bool New = false;              // an existing image becomes a blank disc of Medium
  bool NoBufe = false;
  uint32_t SlowDrain = 0;
  std::string LogPath;
};

bool ParseDriveList(const std::string& config, std::vector<TDriveOptions>* drives,
                    std::string* error);
bool ApplyOption(TDriveOptions& o, const std::string& key, const std::string& value,
                 std::string* error);

// ---------------------------------------------------------------- drive
// One emulated recorder. Every member is guarded by Lock.
class TVDrive {
public:
  explicit TVDrive(TDriveOptions options) : Options(std::move(options)) {}
  ~TVDrive();
  bool Open(std::string* error);   // loads or creates the disc
  std::string Flush();             // state file, image data; why they were not written, or "".

  std::mutex Lock;
  TDriveOptions Options;
  TDisc Disc;
  int ImageFd = -1;
  int DirectFd = -1;               // the image again, O_DIRECT; -1 where refused or unwanted
  bool Loaded = true;              // tray closed with the disc in it
  bool Prevent = false;
  bool UnitAttention = false;
  uint64_t NotReadyUntil = 0;      // Clock() ms
  TSense NotReadySense{};
  uint64_t ProgressFrom = 0;       // start of the erase or format reported in REQUEST SENSE
  std::array<uint8_t, 52> WriteParams{};  // page 05h from its code byte on
  uint16_t ReadSpeed = 0xFFFF, WriteSpeed = 0xFFFF;  // as set, kB/s
  // buffer
  uint64_t BufferFill = 0;         // bytes
  uint64_t BufferStamp = 0;        // Clock() ms of the last drain step
  bool Streaming = false;          // a track is being written
  // A test write runs on a copy of the disc that is thrown away afterwards.
  std::optional<TDisc> Simulation;
  TVRecDriveStats Stats;
  std::FILE* Log = nullptr;
  // read-retries: how often each read-error sector has failed so far.
  std::map<uint32_t, uint32_t> ReadFailures;

  void DefaultWriteParams();
  bool BdWriter() const { return Options.BdWriter.value_or(IsBd(Disc.Medium)); }
  bool Bufe() const;               // underrun protection in effect
  // The page asks for a test write and the medium knows simulation (CD, DVD-R,
  // DVD-RW sequential); plus media ignore the write parameters page.
  bool TestWrite() const;
  TDisc& Target();                 // the simulation during a test write, else the disc
  uint32_t DrainRate() const;      // kB/s, 0 no limit
  void Drain(uint64_t now);        // empties the buffer by the time passed
  bool SaveDisc();                 // state file; false when it cannot be written
  // An image that was there without its state file: a closed disc, read as it
  // is; neither the image nor a state file beside it is ever written.
  bool ReadOnlyImage = false;
  // After a WRITE (10): the state file follows the data at once when the write
  // started a track, else at most once a second of real time, so a long
  // recording does not replace the file 16 times per MiB. A process killed in
  // between leaves an open track whose recorded length lags the data a little,
  // which a following write simply records over.
  bool SaveDiscAfterWrite(bool startedTrack);
  uint64_t LastSaveRealMs = 0;     // steady clock, not the process clock
  bool SavePending = false;
};

// One command: CDB, data, and the outcome the executor fills in.
struct TCommand {
  std::span<const uint8_t> Cdb;
  std::span<uint8_t> Data;  // the request's buffer (in or out)
  bool DataIn = false, DataOut = false;
  uint8_t TargetStatus = 0;  // 00h good, 02h check condition, 08h busy
  TSense Sense{};
};

// Runs one command against the drive (takes the drive's lock).
void Execute(TVDrive& drive, TCommand& cmd);
// Command handlers by group (called with the lock held).
TSense ExecDiscCommand(TVDrive& d, TCommand& c, bool* handled);

// Big-endian helpers.
inline void Put16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline uint32_t Get16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
// Copies a reply into the request's buffer, never more than it holds.
void Reply(TCommand& c, std::span<const uint8_t> reply);

}  // namespace vrec
