// Recording: the recording start (VEZEZadira::StartRecording, StopRecording),
// the recording thread TThWrite, and the disc recording sequence it holds with
// the recorder: preparation, the write loop, finishing, closing and the reset
// of the drive's settings.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "iso/iso.h"
#include "stream/stream.h"

class VEZEZadira;
class TCacheThread;

// ---------------------------------------------------------------- texts
// Outcomes handed to OnWriteDone besides the cache's own texts.
inline constexpr const char* kWriterBusyText = "WRITER BUSY/BUFFER FULL";
inline constexpr const char* kWriterErrorText = "WRITER ERROR";  // + " [" + LastError + "]"
inline constexpr const char* kCommandTimeoutText = "COMMAND TIMEOUT";
inline constexpr const char* kAbortedText = "OPERATION ABORTED BY USER";
// The two drive waits that have an upper bound here.
inline constexpr const char* kFormatTimeoutText =
    "DVD-RW FORMAT STILL RUNNING AFTER 30 MINUTES: RECORDING STOPPED";
inline constexpr const char* kBDFormatTimeoutText =
    "BD-RE FORMAT STILL RUNNING AFTER 30 MINUTES: RECORDING STOPPED";
inline constexpr const char* kFormatFailedText = "FORMATTING THE DISC FAILED";  // + " [...]"
inline constexpr const char* kFlushTimeoutText =
    "WRITER STILL FLUSHING ITS CACHE AFTER 10 MINUTES: TRACK NOT CLOSED";
// The drive's next writable address is not the one the image was laid out for.
inline constexpr const char* kAddressMovedText = "NEXT WRITABLE ADDRESS CHANGED SINCE PREPARATION";
inline constexpr const char* kStreamShortText = "INTERNAL ERROR 0005: STREAM ENDED EARLY";
// A StartRecording while a recording runs (an error message and the outcome).
inline constexpr const char* kAlreadyRecordingText = "A RECORDING IS ALREADY RUNNING";
// The drive did not finish the disc: + " [" + the drive's error text + "]".
inline constexpr const char* kFlushFailedText = "SYNCHRONIZE CACHE FAILED";
inline constexpr const char* kCloseTrackFailedText = "CLOSING THE TRACK FAILED";
inline constexpr const char* kCloseSessionFailedText = "CLOSING THE SESSION FAILED";
inline constexpr const char* kFinalizeFailedText = "FINALIZING THE DISC FAILED";
// The built-in layer could not have the drive to itself for the recording.
inline constexpr const char* kDriveInUseText = "THE DRIVE IS IN USE BY ANOTHER PROGRAM";
inline constexpr const char* kDriveNotOpenedText = "THE DRIVE CANNOT BE OPENED FOR RECORDING";
// A test write must never change the disc.
inline constexpr const char* kTestWriteRefusedText = "THE WRITER REFUSED THE TEST WRITE";

// The erase (erase.cpp). A kind that cannot be erased: DiscKindNames + this.
inline constexpr const char* kNotRewritableText = " IS NOT REWRITABLE: NOTHING ERASED";
inline constexpr const char* kNoDiscToEraseText = "NO DISC OR AN UNKNOWN DISC IN THE DRIVE: NOTHING ERASED";
inline constexpr const char* kAlreadyErasingText = "AN ERASE IS ALREADY RUNNING";
inline constexpr const char* kEraseFailedText = "ERASING THE DISC FAILED";  // + " [" + why + "]"
inline constexpr const char* kEraseTimeoutText =
    "THE DRIVE IS STILL ERASING AFTER 90 MINUTES: ERASE NOT FINISHED";
inline constexpr const char* kNotBlankAfterEraseText = "THE DISC DOES NOT READ AS BLANK AFTER THE ERASE";
inline constexpr const char* kEjectFailedText = "THE DISC COULD NOT BE EJECTED";  // + " [" + why + "]"
// A job that could not keep the machine awake: + why (the trace only).
inline constexpr const char* kNoInhibitorText = ">>> THE SYSTEM MAY SLEEP DURING THIS JOB: ";
// A recording of an image file: laid out for address 0.
inline constexpr const char* kImageNeedsBlankText =
    "AN IMAGE FILE IS RECORDED ONLY ONTO A BLANK DISC OR FROM THE START OF AN OVERWRITABLE ONE: "
    "THE DISC ALREADY HOLDS A SESSION";

// ---------------------------------------------------------------- timing
inline constexpr uint32_t kStartPollMs = 100;        // StartRecording's look at the cache
// How long the cache may go without a new block before it is first full.
inline constexpr uint64_t kPrimingStallMs = 60000;
inline constexpr const char* kSourcesStalledText =
    "THE SOURCE FILES GAVE NO DATA FOR 60 SECONDS: NOTHING RECORDED";
inline constexpr uint32_t kBusyRetryMs = 600;        // between tries of a busy WRITE (10)
inline constexpr int32_t kBusyTries = 10000;
inline constexpr int32_t kCapacityEvery = 5;         // READ BUFFER CAPACITY every 5th block
inline constexpr uint32_t kFormatPollMs = 5000;      // DVD-RW format progress
inline constexpr uint64_t kFormatWaitLimitMs = 30ull * 60 * 1000;
inline constexpr uint32_t kFlushPollMs = 1000;       // DVD-R/-RW flush progress
inline constexpr uint64_t kFlushWaitLimitMs = 10ull * 60 * 1000;
inline constexpr uint32_t kCloseRetryMs = 1000;      // CD close answered busy
inline constexpr int32_t kCloseTries = 1000;
inline constexpr uint32_t kErasePollMs = 1000;       // REQUEST SENSE while the drive erases
inline constexpr uint64_t kEraseWaitLimitMs = 90ull * 60 * 1000;  // a full DVD-RW blank: about an hour
inline constexpr int kEraseUnansweredPolls = 3;      // REQUEST SENSE without an answer: the end

// ---------------------------------------------------------------- waits
// What the running recording waits for, while it waits: What is a constant
// text ("THE DRIVE TO CLOSE THE SESSION"), SinceMs the process clock when the
// wait began. What is nullptr while nothing is awaited.
struct TRecordingWait {
  const char* What = nullptr;
  uint64_t SinceMs = 0;
};
TRecordingWait CurrentRecordingWait();

// ---------------------------------------------------------------- the sequence
// Everything the sequence works with besides the component: the cache it takes
// the stream from and the stop request of StopRecording.
struct TRecordingContext {
  VEZEZadira& Component;
  TCacheThread& Cache;
  const std::atomic<bool>& Stop;
};

// The conversation with the recorder, from loading the disc to the reset of the
// drive's settings (sequence.cpp). Any failure leaves its text in the cache's
// FMessage; an empty FMessage afterwards means the disc was written and closed.
void RunDiscSequence(const TRecordingContext& Context);

// ---------------------------------------------------------------- the thread
struct TDriveJob;

// The recording thread. It has no state of its own beyond the thread: what it
// uses lives in the component, in the cache and in the record of the one drive
// job that may run at a time (job.h). It runs at the highest priority the
// system allows and ends by itself; StopRecording and WaitForRecording wait for it.
class TThWrite {
public:
  explicit TThWrite(std::shared_ptr<TDriveJob> Job) : job_(std::move(Job)) {}
  void Execute();  // the body: BytesWritten := 0, the sequence, the ending

private:
  void Ending(const std::string& Error);
  std::shared_ptr<TDriveJob> job_;
};

// ---------------------------------------------------------------- verify
// Reading a track back and comparing it with what was recorded (verify.cpp).
inline constexpr uint32_t kVerifyRetryMs = 600;  // between tries of a read answered busy
inline constexpr int32_t kVerifyTries = 100;     // so at most a minute per request
inline constexpr const char* kVerifySkippedText = "VERIFY SKIPPED: A TEST WRITE RECORDS NOTHING";
inline constexpr const char* kVerifyNoChecksumsText =
    "VERIFY: NO CHECKSUMS OF THE RECORDED STREAM";
inline constexpr const char* kVerifyDigestText = "VERIFY: THE TRACK'S SHA-256 DIFFERS";

// What a track is compared with: the checksums of the stream that was recorded,
// an image file (byte for byte), or only a digest.
struct TVerifyReference {
  const TTrackChecksums* Checksums = nullptr;
  TStreamEx* Image = nullptr;  // read from its start, Sectors x 2048 bytes
  const TSha256* Digest = nullptr;
};

struct TVerifyResult {
  std::string Error;   // "" when the track matched
  bool Read = false;   // every sector was read: Digest is the track's
  TSha256 Digest{};    // SHA-256 of what was read
};

// Reads Sectors sectors from Start with READ (10), 32 sectors a request, and
// compares them with Reference. A request that fails is read again sector by
// sector to name the first sector that cannot be read. BytesVerified counts
// the bytes compared; Stop ends the verify as aborted.
TVerifyResult VerifyTrack(TSCSIDevice& Drive, uint32_t Start, int64_t Sectors,
                          const TVerifyReference& Reference, std::atomic<int64_t>& BytesVerified,
                          const std::atomic<bool>& Stop);

// The recording thread's verify of the track a recording made, against the
// plan and checksums its result carries: runs only for a recording that ended
// well when VerifyAfterWrite is set, and leaves its outcome in the
// component's VerifyRan and VerifyError.
void VerifyAfterRecording(VEZEZadira& Component, const TStreamResult& Recording,
                          const std::atomic<bool>& Stop);

// ---------------------------------------------------------------- reading a disc
// The read of a session into an image file (read.cpp) and the GNU ddrescue
// mapfile it keeps (rescuemap.cpp).
inline constexpr const char* kAlreadyReadingText = "A DISC IS ALREADY BEING READ";
inline constexpr const char* kNoSessionToReadText = "THE DISC HOLDS NO RECORDED SESSION: NOTHING READ";
inline constexpr const char* kDiscRemovedText = "THE DISC WAS REMOVED WHILE IT WAS READ";
inline constexpr const char* kReadNotReadyText = "THE DRIVE STAYED NOT READY FOR A MINUTE: READ STOPPED";
inline constexpr const char* kImageWriteFailedText = "THE IMAGE FILE CANNOT BE WRITTEN";  // + " [" + why + "]"
inline constexpr const char* kMapWriteFailedText = "THE MAPFILE CANNOT BE WRITTEN";      // + " [" + why + "]"
inline constexpr uint16_t kReadSectorsPerRequest = 32;  // 64 KiB, as the writes
inline constexpr uint32_t kReadBusyRetryMs = 600;       // a read answered busy or not ready
inline constexpr int32_t kReadBusyTries = 100;          // so at most a minute per request
inline constexpr uint32_t kRetryPassPauseMs = 250;      // before a retry pass: times its number,
inline constexpr uint32_t kRetryPassPauseMaxMs = 2000;  // at most this
inline constexpr uint64_t kMapEveryMs = 1000;           // the mapfile rewritten at most this often

// A GNU ddrescue mapfile of a disc, a status per sector: '+' finished, '-'
// bad sector, '?' not tried yet ('*' and '/' of ddrescue's own passes are
// taken as not tried). Positions are bytes of the disc (and of its image
// file, which holds sector n at byte n x 2048), in hexadecimal, as ddrescue
// writes them.
class TRescueMap {
public:
  static constexpr char kFinished = '+', kBad = '-', kNonTried = '?';
  void Reset(int64_t Sectors);  // every sector not tried
  // Reads a mapfile. False with the reason in Error; a missing file is no
  // error: then Exists is false and the map is empty.
  bool Load(const std::string& Path, bool& Exists, std::string& Error);
  // Writes the map beside Path and renames it over Path, so that a reader or
  // a power cut finds the old map or the new one. Comment is its first line.
  bool Save(const std::string& Path, const std::string& Comment, std::string& Error) const;
  // The text Save writes.
  std::string Text(const std::string& Comment) const;
  void Set(int64_t First, int64_t Count, char Status);
  char At(int64_t Sector) const { return state_[static_cast<size_t>(Sector)]; }
  int64_t Sectors() const { return static_cast<int64_t>(state_.size()); }
  int64_t Count(char Status) const { return Count(Status, 0, Sectors()); }
  int64_t Count(char Status, int64_t First, int64_t End) const;  // of sectors First.. End - 1
  // Runs of one status in order: (first sector, count, status).
  struct TRun {
    int64_t First, Count;
    char Status;
  };
  std::vector<TRun> Runs() const;
  // The current-position line: where the read is, and its state.
  int64_t Position = 0;
  char CurrentStatus = kNonTried;
  int Pass = 1;

private:
  std::vector<char> state_;
};

// ---------------------------------------------------------------- erase and eject
// An erase of any component has not ended: a recording or another erase is refused.
bool EraseRuns();
// When the component was asked to (EjectWhenDone): waits for the drive to be
// ready and ejects the disc. The reason in EjectError when the drive refused.
void EjectIfAsked(VEZEZadira& Component);

// Raises the calling thread to the highest scheduling priority the system
// allows within the normal class (nice down to its limit); a refusal is ignored.
void RaiseThreadPriority();
