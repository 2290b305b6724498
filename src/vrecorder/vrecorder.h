// The virtual recorder: an MMC recorder emulated in software behind the two
// ASPI entry points, so that the burner does its whole job (and every recording
// path is tested) on a machine without an optical drive.
//
// Configuration (the environment variable MBURN_VIRTUAL for the run-time library,
// VRecConfigure in process): drives separated by ';', each
//     IMAGE[:MEDIA][,key=value...]
// Drive k is host adapter 0, target k, lun 0. IMAGE is the disc image (sector n at
// byte n * 2048, sparse); its state lives beside it in IMAGE.state. A missing image
// is created as a blank disc of MEDIA (default cd-r); an existing one keeps the
// medium and state it has. An existing image without a state file is a closed disc
// holding it (MEDIA when a sequential one is named, else a CD-ROM or DVD-ROM), never
// written, unless `new` asks for a blank disc of MEDIA. A folder or a device is
// refused. The image is locked while a drive has it: a second one is "in use".
//
// MEDIA: none, cd-rom, cd-r, cd-rw, dvd-rom, dvd-r, dvd-rw (restricted overwrite),
//        dvd-rw-seq (sequential), dvd+r, dvd+rw, dvd-ram, bd-rom, bd-r (sequential
//        recording, 12,219,392 sectors), bd-r-dl (dual layer, 24,438,784 sectors),
//        bd-re (unformatted until FORMAT UNIT type 00h; then written anywhere).
//
// Keys (numbers decimal unless noted; flags take 1/0):
//  identification
//   vendor=TEXT        INQUIRY vendor (8 chars, default "MBURN")
//   product=TEXT       INQUIRY product (16 chars, default "VIRTUAL DVD-RW")
//   revision=TEXT      INQUIRY revision (4 chars, default "1.00")
//   type=5|4           INQUIRY peripheral device type (default 5, CD/DVD)
//   dvd-writer=1|0     the drive writes DVD media (features 002Ah/002Fh, page 2Ah
//                      DVD write bits); 0 makes a CD writer that only reads DVDs
//   bd-writer=1|0      the drive reads and writes BD media (profiles 0040h-0043h,
//                      features 0040h/0041h; default 1 when MEDIA is a BD, else 0)
//   page30=0|1         answer MODE SENSE of page 30h (default 0: page absent)
//  completion and timing
//   sync=0|1           complete requests on the caller's thread (default 0:
//                      on the recorder's own thread, signalling the eventfd)
//   load-ms=N          after a load, NOT READY 04h/01h for N ms (default 0)
//   long-write-ms=N    after an immediate SYNCHRONIZE CACHE or CLOSE TRACK/SESSION,
//                      NOT READY 04h/08h for N ms (default 0)
//   format-ms=N        after FORMAT UNIT with IMMED, NOT READY 04h/04h for N ms
//   erase-ms=N         after BLANK or an erasing FORMAT UNIT with IMMED, NOT READY for N ms
//                      (default 300), the progress in REQUEST SENSE
//   buffer-kb=N        drive buffer in KiB (default 2048)
//   direct=1|0         WRITE (10) and READ (10) of page-aligned data go to the
//                      image with O_DIRECT, past the page cache (default 1; where
//                      the file system refuses, and with 0, through the page cache)
//   write-speed=KBPS   rate at which the buffer drains to the disc, kB/s
//                      (default 0: no limit, the buffer never fills)
//  faults
//   busy=N             the next N commands end with target status BUSY (08h)
//   not-ready=0|1      medium commands fail NOT READY 04h/00h
//   write-error=LBA    a WRITE (10) covering LBA fails MEDIUM ERROR 0Ch/00h
//   read-error=RANGES  a READ (10) covering a sector of RANGES fails MEDIUM ERROR
//                      11h/00h; RANGES is LBA or FIRST-LAST, several joined by
//                      '+' (100-119+500)
//   read-retries=N     each read-error sector fails its first N reads, then reads
//                      (default 0: it never does)
//   corrupt-at=LBA     a WRITE (10) covering LBA succeeds, but sector LBA is stored
//                      with every byte inverted (a disc that silently keeps wrong data)
//   hang=OP            commands with operation code OP (hex) never complete:
//                      they are not executed, and stay pending until
//                      SC_ABORT_SRB completes them as aborted
//   hang-count=N       only the next N such commands hang (default 0: all)
//   fail=OP            commands with operation code OP (hex) fail 4/44h/00h
//  disc
//   new[=1]            an existing image becomes a blank disc of MEDIA (emptied)
//   no-bufe=0|1        no buffer-underrun protection: page 2Ah byte 4 bit 7
//                      clear and BUFE in page 05h without effect
//   slow-drain=KBPS    the buffer drains at KBPS whatever write-speed says
//   capacity=N         a new disc holds N sectors (at most its medium's
//                      capacity); the state file keeps it
//  tracing
//   log=PATH           append one line per command: CDB in hex, SRB status,
//                      target status, sense key, ASC, ASCQ
//
// Use a value of -1 (or an empty value) to clear write-error, read-error, corrupt-at,
// hang and fail.
//
// The run-time library takes MBURN_VIRTUAL on its first call and again in
// GetASPI32SupportInfo when the variable has changed; the library stays loaded,
// so a transport that re-binds it finds the drives as it left them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------- ASPI side
// Replaces the configured drives (flushing and stopping the old ones). An empty
// string configures no drive. False with a readable reason on a bad string or an
// image that cannot be opened; the previous drives are gone either way.
bool VRecConfigure(const std::string& config, std::string* error);
// Reads a drive list as VRecConfigure would, without making any drive or disc:
// false with the reason when it cannot be understood.
bool VRecCheckConfig(const std::string& config, std::string* error);
// Flushes every disc state, completes pending requests as aborted, stops the thread.
void VRecShutdown();
uint32_t VRecGetASPI32SupportInfo();
uint32_t VRecSendASPI32Command(void* srb);

int VRecDriveCount();

// ---------------------------------------------------------------- options, faults
// Sets one key of the list above on drive `drive` at run time (vendor, media and
// timing keys included). False with a reason for an unknown key or bad value.
bool VRecSetOption(int drive, const std::string& key, const std::string& value,
                   std::string* error);
// Convenience forms of the fault keys.
void VRecSetBusy(int drive, int commands);
void VRecSetNotReady(int drive, bool notReady);
void VRecSetWriteError(int drive, int64_t lba);  // -1 clears
void VRecSetReadError(int drive, int64_t lba);   // -1 clears
void VRecSetHang(int drive, int opcode, int count = 0);  // opcode -1 clears

// ---------------------------------------------------------------- disc state
struct TVRecTrack {
  int Number = 0;
  int Session = 0;
  uint32_t Start = 0;
  uint32_t End = 0;       // one past the last recorded (or reserved) sector
  std::string State;      // "closed", "incomplete", "reserved", "blank"
};

struct TVRecSession {
  int Number = 0;
  bool Closed = false;
  uint32_t Start = 0;
  uint32_t End = 0;
  std::vector<TVRecTrack> Tracks;
};

struct TVRecDiscInfo {
  std::string Medium;          // one of the MEDIA names
  std::string Status;          // "empty", "appendable", "complete", "other", "no medium"
  bool Loaded = true;          // false while ejected
  std::string Erase;           // how the medium is erased: "BLANK", "FORMAT UNIT", "" not at all
  std::vector<TVRecSession> Sessions;  // recorded sessions, the open one last
  bool HasNextWritable = false;
  uint32_t NextWritable = 0;
  uint32_t FreeSectors = 0;
  uint32_t Capacity = 0;
  std::string Formatted;       // BD-RE: "yes" or "no"; empty for other media
};

struct TVRecDriveStats {
  uint32_t UnderrunEvents = 0;   // underruns absorbed by BUFE
  uint32_t LossOfStreaming = 0;  // underruns that failed a write
  uint32_t BufferFill = 0;       // bytes in the drive buffer now
  uint32_t Commands = 0;         // commands executed
};

bool VRecGetDiscInfo(int drive, TVRecDiscInfo* info);
TVRecDriveStats VRecGetDriveStats(int drive);

// ---------------------------------------------------------------- tool helpers
// Work on an image without a configured drive (the `vrecorder` tool).
bool VRecCreateDisc(const std::string& image, const std::string& medium, std::string* error);
bool VRecReadDiscInfo(const std::string& image, TVRecDiscInfo* info, std::string* error);
std::string VRecFormatDiscInfo(const TVRecDiscInfo& info);
// Records an ISO image as the next session at the next writable address, through
// the emulated commands; closes the session leaving the disc appendable unless
// closeDisc. *startSector receives the address it was written at.
bool VRecWriteImage(const std::string& image, const std::string& isoPath, bool closeDisc,
                    uint32_t* startSector, std::string* error);
// The key list above, for `vrecorder --help`.
const char* VRecKeysHelp();
