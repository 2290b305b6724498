#include "cli/copy_disc.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "cli/read_disc.h"
#include "common/common.h"

namespace {

enum : int { kExitOk = 0, kExitFailed = 1, kExitNothing = 2 };
constexpr uint32_t kBlankPollMs = 2000;
constexpr uint64_t kBlankWaitMs = 10 * 60 * 1000;   // without a terminal to ask on
constexpr uint64_t kInsertedWaitMs = 60 * 1000;     // after Enter: the drive takes the disc in

void Note(const std::string& text) { std::cerr << "mburn: " << text << std::endl; }

// The temporary image, gone with the copy.
class TTempImage {
public:
  TTempImage() {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/mburn-copy-XXXXXX";
    const int fd = ::mkstemp(path_.data());
    if (fd < 0) {
      path_.clear();
      return;
    }
    ::close(fd);
  }
  ~TTempImage() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TTempImage(const TTempImage&) = delete;
  TTempImage& operator=(const TTempImage&) = delete;
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};

}  // namespace

bool AwaitBlankDisc(VEZEZadira& c, const std::string& prompt, const std::function<bool()>& stopAsked) {
  c.WaitUntilReady(30000, 1000);
  c.AllowMediumRemoval(true);
  if (!c.LoadEject(true)) Note("the disc could not be ejected: " + c.LastError);
  const bool terminal = ::isatty(STDIN_FILENO) != 0;
  if (terminal) {
    std::cerr << "mburn: " << prompt << " and press Enter" << std::endl;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    c.LoadEject(false);  // a tray closes; a slot has taken the disc already
  } else {
    Note("waiting up to " + std::to_string(kBlankWaitMs / 60000) + " minutes for a blank disc in the drive");
  }
  const uint64_t start = Clock().NowMs();
  const uint64_t limit = terminal ? kInsertedWaitMs : kBlankWaitMs;
  bool told = false;
  while (!stopAsked()) {
    if (c.TestUnitReady(5000)) {
      if (c.DiscStatus() == 0) return true;
      if (!told) Note("the disc in the drive is not blank");
      told = true;
      if (terminal) return false;
    }
    if (Clock().NowMs() - start >= limit) break;
    Clock().Sleep(kBlankPollMs);
  }
  Note("no blank disc in the drive: nothing recorded");
  return false;
}

int CopyDisc(const TCommandLine& line, const TCopySteps& steps) {
  TTempImage image;
  if (image.Path().empty()) {
    Note("no temporary image can be made in $TMPDIR (or /tmp)");
    return kExitNothing;
  }
  bool sameDrive = false;
  {
    VEZEZadira c(kLargestEntries, kLargestDirs);
    if (!steps.Open(c, line)) return kExitNothing;
    TCommandLine to = line;
    to.Drive = line.To;
    const int source = FindDrive(c.DeviceList, line.Drive), target = FindDrive(c.DeviceList, line.To);
    if (target < 0) {
      Note("no drive " + line.To + " to record the copy");
      return kExitNothing;
    }
    sameDrive = source == target;
    if (!sameDrive) {
      // Before the read: a copy that cannot be recorded is not worth it.
      c.SelectDevice(c.DeviceList[static_cast<size_t>(target)]);
      if (!c.TestUnitReady(10000)) c.WaitUntilReady(10000, 500);
      const uint16_t kind = c.DiscKind();
      if (c.DiscStatus() != 0 && !IsOverwritable(kind, c.CurrentProfile)) {
        Note("the disc in drive " + line.To + " is not blank: nothing read, nothing recorded");
        return kExitNothing;
      }
      c.SelectDevice(c.DeviceList[static_cast<size_t>(source)]);
    }
    if (!c.TestUnitReady(10000)) c.WaitUntilReady(10000, 500);
    if (const int sessions = c.RecordedSessions(); sessions > 1) {
      Note("the disc holds " + std::to_string(sessions) +
           " sessions: copy records a disc of one session; a copy of the last session's files is "
           "mburn burn from the mounted disc");
      return kExitNothing;
    }
    TReadRequest request;
    request.Session = 1;
    request.Output = image.Path();
    request.Retries = line.Retries;
    const int read = ReadSession(c, request, steps.StopAsked);
    if (read == kExitNothing) return kExitNothing;
    if (read != kExitOk) {
      Note("nothing recorded: the copy would lack what could not be read (mburn read --map "
           "rescues a disc over several reads)");
      return kExitFailed;
    }
    if (sameDrive && !AwaitBlankDisc(c, "insert a blank disc", steps.StopAsked)) return kExitFailed;
  }
  TCommandLine write = line;
  write.Command = "write";
  write.Image = image.Path();
  write.Drive = line.To;
  write.Verify = true;
  return steps.Write(write) == kExitOk ? kExitOk : kExitFailed;
}
