// mburn: the burner on the command line, for scripts, servers without a
// display and the tests. It drives the same component through the same
// workflow as the window and says the same things.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "app/workflow.h"
#include "cli/mainloop.h"
#include "cli/options.h"
#include "stream/stream.h"

namespace {

enum : int { kExitOk = 0, kExitFailed = 1, kExitNothing = 2 };

void SetUpComponent(VEZEZadira& c, const TCommandLine& line) {
  c.DoDebug = true;
  if (line.Debug)
    c.OnDebugMessage = [](TObject*, const std::string& message, uint8_t) {
      std::cerr << message << '\n';
    };
}

// Binds the transport and selects drive N; false (after saying why) when that fails.
bool OpenDrive(VEZEZadira& c, const TCommandLine& line, bool select) {
  const std::string library = line.Virtual.empty() ? std::string() : VirtualRecorderLibrary();
  if (!line.Virtual.empty()) SetVirtualRecorders(line.Virtual);
  if (!InitRecorders(c, library)) {
    std::cout << kTextASPIError << '\n';
    return false;
  }
  if (!select) return true;
  const int drive = FindDrive(c.DeviceList, line.Drive);
  if (drive < 0) {
    std::cerr << "mburn: no drive " << line.Drive << " (" << c.DeviceList.size()
              << " CD/DVD drive(s) found" << (c.DeviceList.empty() ? "" : ":") << ")\n";
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

int Drives(const TCommandLine& line) {
  VEZEZadira c;
  SetUpComponent(c, line);
  if (!OpenDrive(c, line, false)) return kExitFailed;
  for (const auto& l : c.DeviceList) std::cout << l << '\n';
  if (c.DeviceList.empty()) std::cerr << "mburn: no CD/DVD drive found\n";
  return kExitOk;
}

int Disc(const TCommandLine& line) {
  VEZEZadira c;
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
  return kExitOk;
}

// Progress as the window's gauge shows it: a bar on a terminal, else one line
// per new percentage.
class TProgress {
public:
  void SetMax(int32_t max) { max_ = max; }
  void Show(int32_t sectors) {
    const int64_t clamped = std::max<int64_t>(0, std::min<int64_t>(sectors, max_));
    const int percent = max_ > 0 ? static_cast<int>(clamped * 100 / max_) : 0;
    if (percent == last_ && (open_ || !tty_)) return;
    last_ = percent;
    if (tty_) {
      const int filled = percent * 40 / 100;
      std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                   std::string(40 - filled, '.').c_str(), percent);
      open_ = true;
    } else {
      std::fprintf(stderr, "%d%%\n", percent);
    }
    std::fflush(stderr);
  }
  // Ends the bar's line, so that a status line starts on a line of its own.
  void End() {
    if (tty_ && open_) std::fputc('\n', stderr);
    open_ = false;
  }

private:
  int32_t max_ = 100;
  int last_ = -1;
  bool open_ = false;  // the bar stands on the terminal's current line
  bool tty_ = isatty(STDERR_FILENO) != 0;
};

int Burn(const TCommandLine& line) {
  VEZEZadira c;
  SetUpComponent(c, line);
  if (!OpenDrive(c, line, true)) return kExitNothing;
  ApplyStartupSettings(c);
  c.FinalizeDisc = line.Finalize;
  c.TestWrite = line.TestWrite;
  c.JolietFileSystem = !line.NoJoliet;
  c.IdVolume = line.VolumeId;
  c.ImportSession = static_cast<uint16_t>(line.ImportSession);

  TMainLoop loop;
  c.Dispatcher = [&loop](const std::function<void()>& call) { loop.Dispatch(call); };
  TProgress progress;
  bool finished = false;
  TBurnWorkflow::THooks hooks;
  TBurnWorkflow* flow = nullptr;
  hooks.Status = [&](const std::string& text) {
    // The outcome comes after the last step of the progress.
    if (flow && flow->Recording() && (text == kTextDoneOk || text == kTextDoneError))
      progress.Show(flow->ProgressSectors());
    progress.End();
    std::cout << text << std::endl;
  };
  hooks.Message = [](const std::string& text) { std::cerr << text << std::endl; };
  hooks.Post = [&loop](std::function<void()> call) { loop.Post(std::move(call)); };
  hooks.SetGaugeMax = [&progress](int32_t max) { progress.SetMax(max); };
  hooks.Finished = [&](const std::string&) { finished = true; };
  TBurnWorkflow workflow(c, std::move(hooks));
  flow = &workflow;
  workflow.WriteSpeed = static_cast<uint16_t>(line.Speed);

  switch (workflow.BurnClick(line.Folder, line.Mask)) {
    case TBurnOutcome::NoFolder:
    case TBurnOutcome::FolderProblem:
    case TBurnOutcome::PrepareFailed:
    case TBurnOutcome::TooLarge:
      return kExitNothing;
    case TBurnOutcome::NothingToBurn:
      std::cerr << "mburn: nothing to record: no file in " << line.Folder << " matches "
                << line.Mask << '\n';
      return kExitNothing;
    case TBurnOutcome::StartFailed:
      break;
    case TBurnOutcome::Started:
      progress.Show(0);
      loop.Run([&] { return finished; }, [&] { progress.Show(workflow.ProgressSectors()); },
               1000);
      break;
  }
  if (!workflow.LastError.empty()) {
    std::cerr << workflow.LastError << '\n';
    return kExitFailed;
  }
  return kExitOk;
}

int Image(const TCommandLine& line) {
  VEZEZadira c;
  SetUpComponent(c, line);
  if (!line.Virtual.empty()) SetVirtualRecorders(line.Virtual);
  c.ReplaceFile = true;
  c.JolietFileSystem = !line.NoJoliet;
  c.IdVolume = line.VolumeId;
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
    std::cerr << "mburn: " << kTextPrepareFailed << '\n';
    return kExitNothing;
  }
  std::string error;
  if (!WriteImageFile(c, line.Output, error)) {
    std::cerr << error << '\n';
    return kExitFailed;
  }
  std::cout << line.Output << ": " << c.ImageSectors() << " sectors, " << c.FileCount()
            << " entries\n";
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  TCommandLine line;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line, error)) {
    std::cerr << "mburn: " << error << "\n\n" << kUsage;
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
  if (line.Command == "drives") return Drives(line);
  if (line.Command == "disc") return Disc(line);
  if (line.Command == "burn") return Burn(line);
  return Image(line);
}
