// One emulated recorder: opening or creating its disc, the drive buffer that
// drains at the write speed, and the state that outlives a command.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "vrecorder/vrec_internal.h"

namespace vrec {

namespace {
// Real time for the state-file throttle; also safe while the process exits.
uint64_t RealMs() {
  using namespace std::chrono;
  return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

TVDrive::~TVDrive() {
  if (SavePending) SaveDisc();
  if (ImageFd >= 0) ::close(ImageFd);
  if (DirectFd >= 0) ::close(DirectFd);
  if (Log) std::fclose(Log);
}

bool TVDrive::Open(std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  const std::string& image = Options.Image;
  struct stat st {};
  const bool exists = ::stat(image.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return fail("disc image " + image + " is a folder, not a file");
  if (exists && !S_ISREG(st.st_mode))
    return fail("disc image " + image + " is a device or special file, not a regular file");
  const bool haveState = ::access(StatePath(image).c_str(), F_OK) == 0;
  const bool blank = !exists || Options.New;
  const TMedium medium = Options.Medium.value_or(TMedium::CdR);
  // A smaller disc is made so when it is made; it keeps its size afterwards.
  if (Options.Capacity > TDisc::MediumCapacity(medium))
    return fail("capacity=" + std::to_string(Options.Capacity) + " is more than a " +
                MediumInfo(medium).Name + " holds (" + std::to_string(TDisc::MediumCapacity(medium)) +
                " sectors)");
  if (blank) {
    Disc = TDisc::Blank(medium, Options.Capacity);
  } else if (haveState) {
    if (!LoadState(image, &Disc, error)) return false;
  } else {
    // An image that is not a virtual disc of ours (a copy of some ISO image):
    // a closed disc holding it, to be read and imported, never written. On a
    // named writable sequential medium it is that medium, finalised; on a
    // named overwritable one a DVD-ROM; unnamed, a pressed CD or DVD of its size.
    const uint32_t sectors = uint32_t((st.st_size + kSectorSize - 1) / kSectorSize);
    TMedium as = sectors <= kCdCapacity    ? TMedium::CdRom
                 : sectors <= kDvdCapacity ? TMedium::DvdRom
                                           : TMedium::BdRom;
    if (Options.Medium && medium != TMedium::None)
      as = !MediumInfo(medium).Overwritable ? medium
           : IsBd(medium)                   ? TMedium::BdRom
                                            : TMedium::DvdRom;
    Disc = TDisc::Pressed(as, std::min(sectors, TDisc::Pressed(as, 0).Capacity()));
    ReadOnlyImage = true;
  }
  ImageFd = ReadOnlyImage ? ::open(image.c_str(), O_RDONLY | O_CLOEXEC)
                          : ::open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (ImageFd < 0) return fail("cannot open disc image " + image + ": " + std::strerror(errno));
  // One process at a time has the drive: the lock lasts as long as the image
  // is open here, and guards the state file beside it, which only its holder writes.
  if (::flock(ImageFd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    const std::string reason = std::strerror(errno);
    ::close(ImageFd);
    ImageFd = -1;
    return fail(busy ? "the drive is in use: disc image " + image + " is held by another process"
                     : "cannot lock disc image " + image + ": " + reason);
  }
  // Asked for explicitly: whatever the file held is gone.
  if (exists && Options.New && ::ftruncate(ImageFd, 0) != 0)
    return fail("cannot blank disc image " + image + ": " + std::strerror(errno));
  if (blank && !SaveState(image, Disc, error)) return false;
  // The same file again for transfers past the page cache; where its file
  // system refuses them, everything goes through the cache.
  if (Options.Direct) {
    const std::string self = "/proc/self/fd/" + std::to_string(ImageFd);
    DirectFd = ::open(self.c_str(), (ReadOnlyImage ? O_RDONLY : O_RDWR) | O_DIRECT | O_CLOEXEC);
  }
  if (!Options.LogPath.empty()) {
    Log = std::fopen(Options.LogPath.c_str(), "a");
    if (!Log) return fail("cannot open command log " + Options.LogPath + ": " + std::strerror(errno));
  }
  DefaultWriteParams();
  BufferStamp = Clock().NowMs();
  return true;
}

std::string TVDrive::Flush() {
  std::lock_guard lock(Lock);
  std::string error;
  if (!ReadOnlyImage && !SaveState(Options.Image, Disc, &error)) SavePending = true;
  else SavePending = false;
  if (!ReadOnlyImage && ImageFd >= 0 && ::fdatasync(ImageFd) != 0 && error.empty())
    error = "cannot write " + Options.Image + ": " + std::strerror(errno);
  if (Log) std::fflush(Log);
  return error;
}

bool TVDrive::SaveDisc() {
  SavePending = false;
  if (ReadOnlyImage) return true;  // nothing of it changes, nothing is written
  LastSaveRealMs = RealMs();
  return SaveState(Options.Image, Disc, nullptr);
}

bool TVDrive::SaveDiscAfterWrite(bool startedTrack) {
  if (startedTrack || RealMs() - LastSaveRealMs >= 1000) return SaveDisc();
  SavePending = true;
  return true;
}

void TVDrive::DefaultWriteParams() {
  WriteParams.fill(0);
  WriteParams[0] = 0x05;
  WriteParams[1] = 0x32;
  WriteParams[2] = uint8_t((Options.NoBufe ? 0x00 : 0x40) | 0x01);  // track-at-once
  WriteParams[3] = 0x04;                                              // data track
  WriteParams[4] = 0x08;                                              // mode 1
  Put16(&WriteParams[14], 150);                                       // audio pause
}

bool TVDrive::Bufe() const { return !Options.NoBufe && (WriteParams[2] & 0x40) != 0; }

bool TVDrive::TestWrite() const {
  if ((WriteParams[2] & 0x10) == 0) return false;
  const TMedium m = Disc.Medium;
  return Disc.Info().Cd || m == TMedium::DvdR || m == TMedium::DvdRwSeq;
}

TDisc& TVDrive::Target() {
  if (!TestWrite()) {
    Simulation.reset();
    return Disc;
  }
  if (!Simulation) Simulation = Disc;
  return *Simulation;
}

uint32_t TVDrive::DrainRate() const {
  if (Options.SlowDrain) return Options.SlowDrain;
  return Options.WriteSpeed;
}

void TVDrive::Drain(uint64_t now) {
  const uint32_t rate = DrainRate();
  const uint64_t elapsed = now > BufferStamp ? now - BufferStamp : 0;
  BufferStamp = now;
  if (rate == 0) {
    BufferFill = 0;
    return;
  }
  const uint64_t drained = elapsed * rate;  // kB/s * ms = bytes
  BufferFill = drained >= BufferFill ? 0 : BufferFill - drained;
}

}  // namespace vrec
