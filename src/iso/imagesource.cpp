// An existing image file as the source of a recording: checked against the
// disc it is to go onto, and made the plan, so that the read-ahead cache
// streams the file's bytes in place of the file tree; and the writing of a
// component's plan as an image file.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "iso/iso.h"
#include "record/record.h"
#include "stream/stream.h"

std::string VEZEZadira::PrepareImageFile(const std::string& Path) {
  SourceImage.clear();
  SourceImageBytes = 0;
  struct stat st {};
  if (::stat(Path.c_str(), &st) != 0)
    return "CANNOT READ THE IMAGE FILE \"" + Path + "\" [" + std::strerror(errno) + "]";
  if (!S_ISREG(st.st_mode) || st.st_size <= 0)
    return "THE IMAGE FILE \"" + Path + "\" IS NOT A FILE WITH DATA";
  if (Sectors(st.st_size) > kLastAddressableSector) return ImageTooLargeText(Sectors(st.st_size));
  std::string error;
  auto file = TFileStreamEx::Open(Path, fmOpenRead, error);
  if (!file) return error;

  // The image's own system area and volume descriptors are what overwritable
  // media get in sectors 0-31, as the descriptors of a laid-out tree would.
  auto plan = std::make_shared<TImagePlan>();
  int32_t got = 0;
  while (got < 32 * kSectorSize && got < st.st_size) {
    const int32_t n = file->Read(plan->DescriptorCopy.data() + got, 32 * kSectorSize - got);
    if (n <= 0) return "CANNOT READ THE IMAGE FILE \"" + Path + "\"";
    got += n;
  }
  plan->DescriptorCopySize = got;

  // The image was made for address 0: a blank disc, or overwritable media
  // written from their start. A session on a disc would be lost behind it.
  CurrentDiscKind = DiscKind();
  if (const std::string refusal = RecordingRefusal(); !refusal.empty()) return refusal;
  if (!IsOverwritable(CurrentDiscKind, CurrentProfile) && DiscStatus() > 0)
    return kImageNeedsBlankText;

  StartAddress = 0;
  TrackLength = (st.st_size + kSectorSize - 1) / kSectorSize;
  EndSector = TrackLength;
  SourceImage = Path;
  SourceImageBytes = st.st_size;
  // The image file is the stream by itself.
  plan->TrackLength = TrackLength;
  plan->PadToMinimum = WritePostGap;
  plan->Sources.Add({Path, st.st_size, 0});
  plan->Areas.push_back({"image file", 0, TrackLength});
  Plan = std::move(plan);
  return "";
}

TNotify VEZEZadira::StreamNotify() {
  return [this](const std::string& Text) { DebugMessage(Text, MSG_FILE); };
}

bool WriteImageFile(VEZEZadira& Component, const std::string& Path, TOutcome& Outcome,
                    bool Digest) {
  TStreamResult result;
  const bool ok = WriteImageFile(Component.Plan, Component.CacheSize(), Path, result,
                                 Component.StreamNotify(), Digest);
  Outcome = result.Outcome;
  Component.LastStream = std::move(result);
  return ok;
}

bool WriteImageFile(VEZEZadira& Component, const std::string& Path, std::string& Error,
                    bool Digest) {
  TOutcome outcome;
  const bool ok = WriteImageFile(Component, Path, outcome, Digest);
  Error = outcome.Text;
  return ok;
}
