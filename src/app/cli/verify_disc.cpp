#include "cli/verify_disc.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <iostream>
#include <memory>
#include <thread>

#include "app/workflow.h"
#include "cli/mainloop.h"
#include "record/record.h"
#include "stream/stream.h"

namespace {

enum : int { kMatches = 0, kDiffers = 1, kNothingChecked = 2 };
constexpr int64_t kShortestTrack = 300;  // sectors: short tracks are padded

// Where session `session` starts: one track per session, so track n is session n.
bool SessionStart(VEZEZadira& c, int session, uint32_t& start) {
  if (!c.ReadTrackInformation(static_cast<uint8_t>(session))) return false;
  start = c.Track.Start;
  return true;
}

// The track's length as its primary volume descriptor gives it (the volume
// ends where the track's data ends), padded as every short track is.
bool VolumeSectors(VEZEZadira& c, uint32_t start, int64_t& sectors) {
  std::array<uint8_t, 2048> pvd{};
  if (!c.Read10(start + 16, 1, pvd.data(), pvd.size())) return false;
  if (pvd[0] != 1 || std::memcmp(&pvd[1], "CD001", 5) != 0) return false;
  const uint32_t end = uint32_t{pvd[80]} | uint32_t{pvd[81]} << 8 | uint32_t{pvd[82]} << 16 |
                       uint32_t{pvd[83]} << 24;  // the little-endian half
  if (end <= start) return false;
  sectors = std::max<int64_t>(int64_t{end} - start, kShortestTrack);
  return true;
}

}  // namespace

void PrintTrackDigest(const VEZEZadira& Component) {
  const auto& sums = Component.LastStream.Checksums;
  if (sums && sums->Complete()) std::cout << "sha256: " << Sha256Hex(sums->Digest()) << std::endl;
}

int ChosenSession(VEZEZadira& c, int Asked) {
  if (!c.TestUnitReady(10000)) c.WaitUntilReady(10000, 500);
  c.CurrentDiscKind = c.DiscKind();
  const int sessions = c.RecordedSessions();
  if (sessions <= 0) {
    std::cerr << "mburn: the disc holds no recorded session\n";
    return 0;
  }
  const int session = Asked > 0 ? Asked : sessions;
  if (session > sessions) {
    std::cerr << "mburn: no session " << session << " (the disc holds " << sessions << ")\n";
    return 0;
  }
  return session;
}

int VerifyDisc(VEZEZadira& c, const TCommandLine& Line, const TProgressView& Progress) {
  const int session = ChosenSession(c, Line.Session);
  if (session == 0) return kNothingChecked;
  uint32_t start = 0;
  if (!SessionStart(c, session, start)) {
    std::cerr << "mburn: where session " << session << " starts cannot be read: " << c.LastError
              << '\n';
    return kNothingChecked;
  }

  TVerifyReference reference;
  std::unique_ptr<TFileStreamEx> image;
  int64_t sectors = 0;
  if (!Line.Image.empty()) {
    std::string error;
    image = TFileStreamEx::Open(Line.Image, fmOpenRead | fmShareDenyNone, error);
    if (!image) {
      std::cerr << error << '\n';
      return kNothingChecked;
    }
    const int64_t bytes = image->Seek(0, soFromEnd);
    image->Seek(0, soFromBeginning);
    if (bytes <= 0 || bytes % kSectorSize != 0) {
      std::cerr << "mburn: " << Line.Image << " is not an image of whole 2048-byte sectors\n";
      return kNothingChecked;
    }
    sectors = bytes / kSectorSize;
    reference.Image = image.get();
  } else {
    if (!VolumeSectors(c, start, sectors)) {
      std::cerr << "mburn: session " << session << " holds no ISO 9660 volume at sector "
                << start << '\n';
      return kNothingChecked;
    }
    reference.Digest = &Line.Digest;
  }

  std::cout << kTextVerifying << std::endl;
  Progress.SetMax(static_cast<int32_t>(sectors));
  Progress.Show(0);
  TMainLoop loop;
  std::atomic<int64_t> done{0};
  const std::atomic<bool> stop{false};
  TVerifyResult result;
  bool finished = false;
  std::thread worker([&] {
    result = VerifyTrack(c, start, sectors, reference, done, stop);
    loop.Post([&] { finished = true; });
  });
  loop.Run([&] { return finished; },
           [&] { Progress.Show(static_cast<int32_t>(done.load() / kSectorSize)); }, 1000);
  worker.join();
  if (result.Error.empty()) Progress.Show(static_cast<int32_t>(sectors));
  Progress.End();

  std::cout << (result.Error.empty() ? kTextVerifyOk : kTextVerifyError) << std::endl;
  if (!result.Error.empty()) std::cerr << result.Error << std::endl;
  if (result.Read) std::cout << "sha256: " << Sha256Hex(result.Digest) << std::endl;
  return result.Error.empty() ? kMatches : kDiffers;
}
