// What the window and mburn share: the texts the user sees, the start-up of the
// recorders, the settings file, the virtual recorder option, and the burn
// workflow itself (add the folder, lay out, check the space, record, follow it
// to its end). Both front ends drive the component through this one place, so
// they make the same calls and say the same things.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "iso/iso.h"

// ---------------------------------------------------------------- texts
inline constexpr const char* kApplicationTitle = "Bramblewood Micro Burner";
inline constexpr const char* kWindowCaption = "Bramblewood Micro CD-Burner 2004";
inline constexpr const char* kWebPage = "https://microburner.bramblewood.example/";
inline constexpr const char* kSettingsFileName = "./ZEVodidoz.ini";
inline constexpr const char* kSettingsSection = "CDBurner";
inline constexpr const char* kSettingsKey = "Files";
inline constexpr const char* kSettingsValue = "*.*";

inline constexpr const char* kTextChooseFolder = "Choose a folder first";
inline constexpr const char* kTextASPIError = "Error while initializing ASPI Layer";
inline constexpr const char* kTextVolumeSelected = "VOLUME SELECTED ";
inline constexpr const char* kTextBurning = "Burning CD - Please wait";
inline constexpr const char* kTextFinishing = "FINISHING - PLEASE WAIT";
inline constexpr const char* kTextDoneOk = "Burning Done - Sucsessfull";
inline constexpr const char* kTextDoneError = "Burning done - With error";
inline constexpr const char* kTextPrepareFailed = "THE IMAGE COULD NOT BE PREPARED";
// The verify after a recording (VerifyAfterWrite) and of a disc recorded earlier.
inline constexpr const char* kTextVerifying = "VERIFYING - PLEASE WAIT";
inline constexpr const char* kTextVerifyOk = "Verify Done - Every Sector Matches";
inline constexpr const char* kTextVerifyError = "Verify done - With error";
// The erase of a rewritable disc.
inline constexpr const char* kTextErasing = "ERASING - PLEASE WAIT";
inline constexpr const char* kTextEraseOk = "Erasing Done - Successful";
inline constexpr const char* kTextEraseError = "Erasing done - With error";
// Reading a session of a disc into an image file.
inline constexpr const char* kTextReading = "READING - PLEASE WAIT";
inline constexpr const char* kTextReadOk = "Reading Done - Every Sector Read";
inline constexpr const char* kTextReadError = "Reading done - With error";
// Added to the outcome when the recording reported a file problem (a file that
// grew after the layout is recorded cut to its laid-out length).
inline constexpr const char* kTextShortenedFile = "THE RECORDING HOLDS A SHORTENED FILE";

// "NOT ENOUGH SPACE. NEEDS <image x 2>KB ,  TILGJENGELIG <free x 2>KB", in
// 64-bit arithmetic so that discs of 4 GiB and more show their real figures.
std::string NotEnoughSpaceText(int64_t ImageSectors, uint32_t FreeSectors);

// ---------------------------------------------------------------- settings file
// Writes key Files = *.* into section [CDBurner] of the INI file, keeping
// whatever else the file holds. False with "Unable to write to <path>" in Error.
bool WriteSettingsFile(const std::string& Path, std::string& Error);

// ---------------------------------------------------------------- recorders
// --virtual IMAGE[:MEDIA] options: MBURN_VIRTUAL is set to them joined by ';'.
void SetVirtualRecorders(const std::vector<std::string>& Discs);
// The virtual recorder library: beside the running executable (a build folder),
// else in the installed library folder relative to it; else the bare name, for
// the loader's search.
std::string VirtualRecorderLibrary();
// The program's version ("1.20").
const char* MicroBurnerVersion();
// InitDevices(False, LibraryPath): the library path is the virtual recorder's
// when --virtual was given, else empty (the usual search, then the built-in layer).
bool InitRecorders(VEZEZadira& Component, const std::string& LibraryPath);
// Why the built-in layer's last scan could not use some CD/DVD nodes, one plain
// line each: a node the user may not open names its group, a busy one says so.
std::vector<std::string> RecorderProblems();
// The status when no transport is bound: the system's text, then the first reason.
std::string ASPIErrorText();
// The window's start-up settings of the component: no import, replace files,
// Joliet on, the disc left open.
void ApplyStartupSettings(VEZEZadira& Component);
// SelectDevice with the line; the status text it leads to.
std::string SelectRecorder(VEZEZadira& Component, const std::string& Line);

// Where the next session would begin on the disc in the selected drive, as the
// layout finds it; false when the drive cannot say.
bool NextWritableAddress(VEZEZadira& Component, uint32_t& Address);
// "empty", "appendable", "complete", "other", or "unreadable" for -1.
const char* DiscStatusName(int Status);

// ---------------------------------------------------------------- the burn
enum class TBurnOutcome {
  NoFolder,        // "Choose a folder first"
  FolderProblem,   // AddFolder refused something: nothing recorded
  NothingToBurn,   // the tree is empty: nothing happens
  PrepareFailed,   // the layout failed: nothing recorded
  TooLarge,        // the not-enough-space message
  Started,         // the recording thread runs; the end comes through Finished
  StartFailed,     // the cache failed before priming; the end has been reported
  Busy,            // a recording has not ended yet: refused, its text the status
};

class TBurnWorkflow {
public:
  struct THooks {
    std::function<void(const std::string&)> Status;         // the status bar
    std::function<void(const std::string&)> Message;        // the modal message box
    std::function<void()> ProcessEvents;                    // let the front end repaint
    std::function<void(std::function<void()>)> Post;        // to the UI thread, no waiting
    std::function<void(int32_t)> SetGaugeMax;
    // The end of a recording, once its thread has ended: Error empty on success.
    std::function<void(const std::string& Error)> Finished;
  };

  // Takes the component's OnWriteDone and OnFinalizingTrack; stops a recording
  // that still runs before it lets go of them.
  TBurnWorkflow(VEZEZadira& Component, THooks Hooks);
  ~TBurnWorkflow();
  TBurnWorkflow(const TBurnWorkflow&) = delete;
  TBurnWorkflow& operator=(const TBurnWorkflow&) = delete;

  // BURN CD: checks the folder, adds it, then StartBurning.
  TBurnOutcome BurnClick(const std::string& Folder, const std::string& Mask);
  // AddFolder with the window's arguments; false when it refused something
  // (the first problem it reported is then the status).
  bool AddSource(const std::string& Folder, const std::string& Mask);
  // Lays out, checks the space and starts the recording.
  TBurnOutcome StartBurning();
  // Records the image file as it is, from address 0 (a blank disc or
  // overwritable media): its checks, the space check and the start.
  TBurnOutcome WriteImageClick(const std::string& ImageFile);
  // Sectors handed to the recorder: BytesWritten / 2048, low 32 bits; while
  // the track is verified, the sectors read back.
  int32_t ProgressSectors() const;
  bool Recording() const { return recording_; }
  // File problems (kind 4 messages) the running or last recording reported.
  int FileProblems() const { return fileProblems_; }

  // The write speed StartBurning sends (0 = the drive's maximum).
  uint16_t WriteSpeed = 0;
  std::string LastError;       // the error text of the last recording
  bool VerifyRan = false;      // the last recording was verified ...
  std::string VerifyError;     // ... with this outcome ("" = it matched)
  std::string FirstProblem;    // the first problem AddFolder reported

private:
  TBurnOutcome StartPrepared();  // after the layout: the space check and the start
  void WriteDone(const std::string& Error);
  // True, with the status said, while a recording has not ended: its thread
  // still uses the drive and reads the tree.
  bool Refused();
  // Runs the call, keeping the first problem the component reports meanwhile.
  bool Reporting(const std::function<bool()>& Call);

  VEZEZadira& component_;
  THooks hooks_;
  std::atomic<bool> recording_{false};
  std::atomic<int> fileProblems_{0};
  TOnDebugMsg outerMessage_;  // the message handler in place before the recording
};
