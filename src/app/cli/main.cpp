// mburn: the burner on the command line, for scripts, servers without a
// display and the tests. It drives the same component through the same
// workflow as the window and says the same things.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/workflow.h"
#include "cli/copy_disc.h"
#include "cli/check_disc.h"
#include "cli/mainloop.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/read_disc.h"
#include "cli/reasons.h"
#include "cli/span.h"
#include "cli/verify_disc.h"
#include "record/record.h"
#include "stream/stream.h"

namespace {

enum : int { kExitOk = 0, kExitFailed = 1, kExitNothing = 2 };

// Recording: file problems (kind 4, such as a file cut to its laid-out length)
// are told without --debug; outside a recording they lead to the status line.
void SetUpComponent(VEZEZadira& c, const TCommandLine& line,
                    std::function<bool()> recording = nullptr) {
  c.DoDebug = true;
  const bool debug = line.Debug;
  if (debug || recording)
    c.OnDebugMessage = [debug, recording](TObject*, const std::string& message, uint8_t kind) {
      if (debug || (kind == MSG_FILE && recording())) std::cerr << message << '\n';
    };
}

const auto gStart = std::chrono::steady_clock::now();

// Whole seconds since mburn started: how long it has waited for the drive at most.
int SecondsRunning() {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::steady_clock::now() - gStart)
                              .count());
}

void Note(const std::string& text) {
  if (!text.empty()) std::cerr << "mburn: " << text << '\n';
}

// The image of the virtual drive that a drive list line stands for ("0:k:0,"),
// or empty.
std::string VirtualImageOf(const TCommandLine& line, const std::string& listLine) {
  for (size_t k = 0; k < line.Virtual.size(); ++k)
    if (listLine.rfind("0:" + std::to_string(k) + ":0,", 0) == 0)
      return VirtualImage(line.Virtual[k]);
  return {};
}

// What the scan could not use: nodes the built-in layer may not open or that
// are busy, and virtual drives that did not answer.
void ReportScan(const VEZEZadira& c, const TCommandLine& line) {
  for (const std::string& problem : RecorderProblems()) Note(problem);
  for (size_t k = 0; k < line.Virtual.size(); ++k) {
    const std::string address = "0:" + std::to_string(k) + ":0,";
    const bool listed = std::any_of(c.DeviceList.begin(), c.DeviceList.end(),
                                    [&](const std::string& l) { return l.rfind(address, 0) == 0; });
    if (!listed)
      Note("virtual drive " + std::to_string(k) + " (" + VirtualImage(line.Virtual[k]) +
           ") did not answer the scan: busy or not answering");
  }
}

// SIGINT and SIGTERM ask the recording to stop; the first one puts the
// default action back, so a second one ends the program at once.
volatile std::sig_atomic_t gStopAsked = 0;

void OnStopSignal(int) { gStopAsked = 1; }

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Says what the recording waits for once it has waited a few seconds, and
// again every few seconds, so that a long wait is not taken for a hang.
class TWaitReport {
public:
  // Returns the line to print now, or "".
  std::string Look() {
    const TRecordingWait wait = CurrentRecordingWait();
    if (!wait.What) {
      what_ = nullptr;
      return "";
    }
    const uint64_t now = Clock().NowMs();
    const uint64_t waited = now > wait.SinceMs ? now - wait.SinceMs : 0;
    if (wait.What != what_ || wait.SinceMs != since_) {
      what_ = wait.What;
      since_ = wait.SinceMs;
      next_ = kFirstMs;
    }
    if (waited < next_) return "";
    next_ = waited + kEveryMs;
    return "mburn: waiting for " + std::string(wait.What) + ": " + std::to_string(waited / 1000) +
           " s so far";
  }

private:
  // Past the 5 s that the final wait for the drive always takes.
  static constexpr uint64_t kFirstMs = 8000, kEveryMs = 5000;
  const char* what_ = nullptr;
  uint64_t since_ = 0;
  uint64_t next_ = kFirstMs;
};

// Binds the transport and selects the drive; false (after saying why) when that fails.
bool OpenDrive(VEZEZadira& c, const TCommandLine& line, bool select) {
  const std::string library = line.Virtual.empty() ? std::string() : VirtualRecorderLibrary();
  if (!line.Virtual.empty()) SetVirtualRecorders(line.Virtual);
  if (!InitRecorders(c, library)) {
    std::cout << kTextASPIError << '\n';
    if (line.Virtual.empty())
      ReportScan(c, line);
    else
      Note("the virtual recorder library " + library + " could not be loaded");
    return false;
  }
  ReportScan(c, line);
  if (!select) return true;
  const int drive = FindDrive(c.DeviceList, line.Drive);
  if (drive < 0) {
    std::cerr << "mburn: no drive " << line.Drive << " (" << c.DeviceList.size()
              << " CD/DVD drive(s) found)" << (c.DeviceList.empty() ? "" : ":") << '\n';
    for (size_t i = 0; i < c.DeviceList.size(); ++i)
      std::cerr << "  " << i << "  " << c.DeviceList[i] << '\n';
    return false;
  }
  std::cout << SelectRecorder(c, c.DeviceList[static_cast<size_t>(drive)]) << '\n';
  if (c.DeviceDescription.empty()) {
    std::cerr << "mburn: drive " << line.Drive << " cannot be used: " << c.LastError << '\n';
    return false;
  }
  return true;
}

// What the drive does with BD media, from its feature list; "" for a drive
// without BD features (the capabilities page has no BD bits).
std::string BDCapabilities(uint32_t capabilities) {
  if (capabilities & DC_WRITE_BD) return "reads and writes BD";
  if (capabilities & DC_READ_BD) return "reads BD";
  return "";
}

int Drives(const TCommandLine& line) {
  VEZEZadira c(kLargestEntries, kLargestDirs);
  SetUpComponent(c, line);
  if (!OpenDrive(c, line, false)) return kExitFailed;
  for (const auto& l : c.DeviceList) {
    const std::string image = VirtualImageOf(line, l);
    c.SelectDevice(l);
    const std::string bd = BDCapabilities(c.DeviceDescription.empty() ? 0 : c.DeviceCapabilities);
    std::cout << l << (image.empty() ? "" : "  " + image) << (bd.empty() ? "" : "  " + bd) << '\n';
  }
  if (c.DeviceList.empty()) std::cerr << "mburn: no CD/DVD drive found\n";
  return kExitOk;
}

int Disc(const TCommandLine& line) {
  VEZEZadira c(kLargestEntries, kLargestDirs);
  SetUpComponent(c, line);
  if (!OpenDrive(c, line, true)) return kExitFailed;
  if (!c.TestUnitReady(10000)) c.WaitUntilReady(10000, 500);
  c.CurrentDiscKind = c.DiscKind();
  const int status = c.DiscStatus();
  const int sessions = c.RecordedSessions();
  const uint32_t freeSectors = c.FreeSectors();
  uint32_t next = 0;
  const bool nextKnown = NextWritableAddress(c, next);
  std::cout << "Disc kind: " << DiscKindNames(c.CurrentDiscKind) << '\n'
            << "Disc status: " << DiscStatusName(status) << '\n'
            << "Recorded sessions: " << sessions << '\n'
            << "Free sectors: " << freeSectors << '\n'
            << "Next writable address: " << (nextKnown ? std::to_string(next) : "unknown") << '\n';
  if (const std::string bd = BDCapabilities(c.DeviceCapabilities); !bd.empty())
    std::cout << "Drive: " << bd << '\n';
  if (c.CurrentDiscKind == DK_UNKNOWN || status < 0) {
    Note(SpaceReason(c, 0, 0, SecondsRunning()));
    return kExitFailed;
  }
  // A disc that an earlier recording left unfinished says so.
  c.TestWrite = c.FinalizeDisc = false;
  const std::string refusal = c.RecordingRefusal();
  if (!refusal.empty()) std::cout << refusal.substr(0, refusal.find(':')) << '\n';
  return kExitOk;
}

bool IsDvdKind(uint16_t kind) { return kind >= DK_DVDROM && kind <= DK_DVDPLUSR; }

// burn FOLDER and write IMAGE: the same recording, from a file tree or from an image file.
// A disc of a set has its tree made by Fill, on a blank disc.
int Burn(const TCommandLine& line, const std::function<bool(VEZEZadira&)>& fill = nullptr) {
  const bool imageFile = line.Command == "write";
  if (!imageFile)
    for (const std::string& note : VolumeIdNotes(line.VolumeId, !line.NoJoliet)) Note(note);
  VEZEZadira c(kLargestEntries, kLargestDirs);
  TBurnWorkflow* flow = nullptr;
  SetUpComponent(c, line, [&flow] { return flow && flow->Recording(); });
  if (!OpenDrive(c, line, true)) return kExitNothing;
  ApplyStartupSettings(c);
  c.FinalizeDisc = line.Finalize;
  c.TestWrite = line.TestWrite;
  ApplyImageOptions(c, ImageOptionsOf(line));
  c.VerifyAfterWrite = line.Verify;
  c.EjectWhenDone = line.Eject;
  // A reader shows the last session only: unless told otherwise, a new session
  // on a disc left open carries the files of the last one (255).
  if (line.NoImport || imageFile || fill)
    c.ImportSession = 0;
  else if (line.ImportSession >= 0)
    c.ImportSession = static_cast<uint16_t>(line.ImportSession);
  else {
    // Asked of a drive that is ready: one still spinning up would say nothing.
    if (!c.TestUnitReady(10000)) c.WaitUntilReady(10000, 500);
    c.ImportSession = c.DiscStatus() == 1 ? 255 : 0;
  }

  TMainLoop loop;
  c.Dispatcher = [&loop](const std::function<void()>& call) { loop.Post(call); };
  TProgress progress;
  TProgress verifyProgress;  // the read-back after the recording, a pass of its own
  bool finished = false;
  bool outcomeShown = false;  // the recording thread may still be ending: no more progress
  TBurnWorkflow::THooks hooks;
  hooks.Status = [&](const std::string& text) {
    // The outcome comes after the last step of the progress.
    if (flow && flow->Recording() && (text.rfind(kTextDoneOk, 0) == 0 || text == kTextDoneError)) {
      progress.Show(flow->ProgressSectors());
      outcomeShown = true;
    }
    if (flow && text == kTextFinishing) {
      progress.Show(flow->ProgressSectors());
      progress.WriteLoopEnded();
    }
    progress.End();
    verifyProgress.End();
    std::cout << text << std::endl;
    if (text == kTextVerifying) {
      verifyProgress.SetMax(static_cast<int32_t>(c.ImageSectors()));
      verifyProgress.SetDvd(IsDvdKind(c.CurrentDiscKind));
      verifyProgress.SetBd(IsBDKind(c.CurrentDiscKind));
    }
  };
  hooks.Message = [](const std::string& text) { std::cerr << text << std::endl; };
  hooks.Post = [&loop](std::function<void()> call) { loop.Post(std::move(call)); };
  hooks.SetGaugeMax = [&progress](int32_t max) { progress.SetMax(max); };
  hooks.Finished = [&](const std::string&) { finished = true; };
  TBurnWorkflow workflow(c, std::move(hooks));
  flow = &workflow;
  workflow.WriteSpeed = static_cast<uint16_t>(line.Speed);
  CatchStopSignals();

  TBurnOutcome outcome = TBurnOutcome::FolderProblem;
  if (imageFile)
    outcome = workflow.WriteImageClick(line.Image);
  else if (!fill)
    outcome = workflow.BurnClick(line.Folder, line.Mask);
  else if (fill(c))
    outcome = workflow.StartBurning();
  switch (outcome) {
    case TBurnOutcome::NoFolder:
      return kExitNothing;
    case TBurnOutcome::FolderProblem:
    case TBurnOutcome::PrepareFailed:
      return kExitNothing;
    case TBurnOutcome::TooLarge:
      Note(SpaceReason(c, c.ImageSectors(), c.FreeSectors(), SecondsRunning()));
      return kExitNothing;
    case TBurnOutcome::Busy:
      return kExitNothing;
    case TBurnOutcome::NothingToBurn:
      std::cerr << "mburn: nothing to record: no file in " << line.Folder << " matches "
                << line.Mask << '\n';
      return kExitNothing;
    case TBurnOutcome::StartFailed:
      break;
    case TBurnOutcome::Started: {
      progress.SetDvd(IsDvdKind(c.CurrentDiscKind));
      progress.SetBd(IsBDKind(c.CurrentDiscKind));
      progress.Show(0);
      TWaitReport waits;
      bool stopping = false;
      // A quick tick, so that the write loop's time is measured closely.
      loop.Run([&] { return finished; },
               [&] {
                 if (gStopAsked && !stopping) {
                   // Stops at the next block boundary; the end comes as for
                   // any failure, with the aborted text.
                   stopping = true;
                   progress.End();
                   std::cerr << "mburn: stopping the recording (once more leaves at once)"
                             << std::endl;
                   c.StopRecording();
                   return;
                 }
                 if (outcomeShown) return;
                 (c.Verifying ? verifyProgress : progress).Show(workflow.ProgressSectors());
                 if (const std::string line = waits.Look(); !line.empty()) {
                   progress.End();
                   std::cerr << line << std::endl;
                 }
               },
               250);
      break;
    }
  }
  if (!workflow.LastError.empty()) {
    std::cerr << workflow.LastError << '\n';
    Note(FileReason(c.LastOutcome));
    return kExitFailed;
  }
  Note(progress.Summary());
  Note(c.EjectError);
  const bool differs = workflow.VerifyRan && !workflow.VerifyError.empty();
  if (differs) std::cerr << workflow.VerifyError << std::endl;
  PrintTrackDigest(c);
  return differs ? kExitFailed : kExitOk;
}

// Is the image going to standard output? Then the texts go to the error output.
bool ImageToStdout(const std::string& output) {
  struct stat out {}, path {};
  return output == "-" || (::fstat(STDOUT_FILENO, &out) == 0 && ::stat(output.c_str(), &path) == 0 &&
                           out.st_dev == path.st_dev && out.st_ino == path.st_ino);
}

// Sends what would go to standard output to the error output while it lives.
class TTextToStderr {
public:
  explicit TTextToStderr(bool active) : saved_(active ? std::cout.rdbuf(std::cerr.rdbuf()) : nullptr) {}
  ~TTextToStderr() {
    if (saved_) std::cout.rdbuf(saved_);
  }
  TTextToStderr(const TTextToStderr&) = delete;
  TTextToStderr& operator=(const TTextToStderr&) = delete;

private:
  std::streambuf* saved_;
};

// erase [--full]: the erase thread runs; the main loop shows its progress.
int Erase(const TCommandLine& line) {
  VEZEZadira c(kLargestEntries, kLargestDirs);
  SetUpComponent(c, line);
  if (!OpenDrive(c, line, true)) return kExitNothing;
  c.EjectWhenDone = line.Eject;
  if (!c.TestUnitReady(10000)) c.WaitUntilReady(10000, 500);
  TMainLoop loop;
  c.Dispatcher = [&loop](const std::function<void()>& call) { loop.Post(call); };
  bool done = false, failed = false;
  c.OnEraseDone = [&](TObject*, bool WithError) {
    done = true;
    failed = WithError;
  };
  CatchStopSignals();
  if (!c.EraseDisc(!line.Full)) {
    std::cout << c.EraseError << '\n';  // refused: nothing was sent that changes the disc
    return kExitNothing;
  }
  std::cout << kTextErasing << std::endl;
  int shown = -1;
  bool stopping = false;
  loop.Run([&] { return done; },
           [&] {
             if (gStopAsked && !stopping) {
               stopping = true;
               std::cerr << "mburn: no longer waiting for the erase: the drive finishes it "
                            "by itself"
                         << std::endl;
               c.StopErase();
               return;
             }
             const int percent = c.EraseProgress / 10 * 10;
             if (percent > shown) {
               shown = percent;
               std::cout << "erased " << percent << "%" << std::endl;
             }
           },
           250);
  c.WaitForErase();
  if (failed) {
    std::cout << kTextEraseError << '\n';
    std::cerr << c.EraseError << '\n';
    return kExitFailed;
  }
  if (shown < 100) std::cout << "erased 100%\n";
  std::cout << kTextEraseOk << '\n';
  Note(c.EjectError);
  return kExitOk;
}

int Image(const TCommandLine& line) {
  const TTextToStderr texts(ImageToStdout(line.Output));
  for (const std::string& note : VolumeIdNotes(line.VolumeId, !line.NoJoliet)) Note(note);
  VEZEZadira c(kLargestEntries, kLargestDirs);
  SetUpComponent(c, line);
  if (!line.Virtual.empty()) SetVirtualRecorders(line.Virtual);
  c.ReplaceFile = true;
  ApplyImageOptions(c, ImageOptionsOf(line));
  TBurnWorkflow::THooks hooks;
  hooks.Status = [](const std::string& text) { std::cout << text << std::endl; };
  hooks.Message = [](const std::string& text) { std::cerr << text << std::endl; };
  hooks.Post = [](std::function<void()> call) { call(); };
  TBurnWorkflow workflow(c, std::move(hooks));
  if (line.Folder.empty()) {
    std::cout << kTextChooseFolder << '\n';
    return kExitNothing;
  }
  if (!workflow.AddSource(line.Folder, line.Mask)) return kExitNothing;
  if (c.DirectoryCount() == 0 && c.FileCount() == 0) {
    std::cerr << "mburn: nothing to write: no file in " << line.Folder << " matches "
              << line.Mask << '\n';
    return kExitNothing;
  }
  if (!c.PrepareImage(true, nullptr)) {
    const bool refused = c.LastOutcome.Code == TOutcomeCode::Refused;
    std::cerr << "mburn: " << (refused ? c.LastOutcome.Text : kTextPrepareFailed) << '\n';
    return kExitNothing;
  }
  TOutcome error;
  if (!WriteImageFile(c, line.Output, error)) {
    std::cerr << error.Text << '\n';
    Note(FileReason(error));
    return kExitFailed;
  }
  std::cout << line.Output << ": " << c.ImageSectors() << " sectors, " << c.FileCount()
            << " entries\n";
  PrintTrackDigest(c);
  return kExitOk;
}

int Verify(const TCommandLine& line) {
  VEZEZadira c(kLargestEntries, kLargestDirs);
  SetUpComponent(c, line);
  if (!OpenDrive(c, line, true)) return kExitNothing;
  TProgress progress;
  return VerifyDisc(c, line,
                    {[&](int32_t max) {
                       progress.SetMax(max);
                       progress.SetDvd(IsDvdKind(c.CurrentDiscKind));
                       progress.SetBd(IsBDKind(c.CurrentDiscKind));
                     },
                     [&](int32_t sectors) { progress.Show(sectors); }, [&] { progress.End(); }});
}

// read -o FILE: a session of the disc into an image file (or standard output,
// which then carries nothing else).
int Read(const TCommandLine& line) {
  const TTextToStderr texts(ImageToStdout(line.Output));
  if (line.Output == "-") ::signal(SIGPIPE, SIG_IGN);  // a reader that goes is a write error
  // The image of a virtual drive is its disc: it must not become the copy.
  struct stat out {};
  for (const std::string& disc : line.Virtual) {
    struct stat image {};
    if (::stat(line.Output.c_str(), &out) == 0 && ::stat(VirtualImage(disc).c_str(), &image) == 0 &&
        out.st_dev == image.st_dev && out.st_ino == image.st_ino) {
      Note(line.Output + " is the disc of a virtual drive: nothing read");
      return kExitNothing;
    }
  }
  VEZEZadira c(kLargestEntries, kLargestDirs);
  SetUpComponent(c, line);
  if (!OpenDrive(c, line, true)) return kExitNothing;
  CatchStopSignals();
  TReadRequest request;
  request.Session = line.Session;
  request.Output = line.Output;
  request.MapFile = line.Map;
  request.Retries = line.Retries;
  return ReadSession(c, request, [] { return gStopAsked != 0; });
}

// copy --drive SRC --to DST: read, record with write --verify.
int Copy(const TCommandLine& line) {
  CatchStopSignals();
  TCopySteps steps;
  steps.Open = [](VEZEZadira& c, const TCommandLine& l) {
    SetUpComponent(c, l);
    return OpenDrive(c, l, true);
  };
  steps.Write = [](const TCommandLine& l) { return Burn(l); };
  steps.StopAsked = [] { return gStopAsked != 0; };
  return CopyDisc(line, steps);
}

int Check(const TCommandLine& line) {
  VEZEZadira c(kLargestEntries, kLargestDirs);
  SetUpComponent(c, line);
  if (!OpenDrive(c, line, true)) return kExitNothing;
  TProgress progress;
  return CheckDisc(c, line,
                   {[&](int32_t max) {
                      progress.SetMax(max);
                      progress.SetDvd(IsDvdKind(c.CurrentDiscKind));
                      progress.SetBd(IsBDKind(c.CurrentDiscKind));
                    },
                    [&](int32_t sectors) { progress.Show(sectors); }, [&] { progress.End(); }});
}

}  // namespace

int main(int argc, char** argv) {
  TCommandLine line;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line, error)) {
    std::cerr << "mburn: " << error << '\n' << UsageLine(line.Command);
    return kExitNothing;
  }
  if (line.Help) {
    std::cout << CommandHelp(line.Command);
    return kExitOk;
  }
  if (line.Version) {
    std::cout << VersionText() << '\n';
    return kExitOk;
  }
  // The image's dates come from it: a value that means no time is refused
  // rather than quietly replaced by the clock.
  std::time_t epoch = 0;
  bool invalidEpoch = false;
  if ((line.Command == "burn" || line.Command == "image" || line.Command == "plan") &&
      !SourceDateEpoch(epoch, &invalidEpoch) && invalidEpoch) {
    std::cerr << "mburn: SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, not \""
              << std::getenv("SOURCE_DATE_EPOCH") << "\"\n";
    return kExitNothing;
  }
  if (line.Command == "drives") return Drives(line);
  if (line.Command == "disc") return Disc(line);
  if (line.Command == "erase") return Erase(line);
  if (line.Command == "verify") return Verify(line);
  if (line.Command == "read") return Read(line);
  if (line.Command == "copy") return Copy(line);
  if (line.Command == "check") return Check(line);
  if (line.Command == "plan" || line.Span) {
    TSpanSteps steps;
    steps.Open = [](VEZEZadira& c, const TCommandLine& l) {
      SetUpComponent(c, l);
      return OpenDrive(c, l, true);
    };
    steps.Burn = [](const TCommandLine& l, const std::function<bool(VEZEZadira&)>& fill) {
      return Burn(l, fill);
    };
    steps.StopAsked = [] { return gStopAsked != 0; };
    if (line.Command == "plan") return RunPlan(line, steps);
    CatchStopSignals();
    return RunSpan(line, steps);
  }
  if (line.Command == "burn" || line.Command == "write") return Burn(line);
  return Image(line);
}
