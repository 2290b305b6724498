// The erase of a rewritable disc: EraseDisc's refusals, the erase thread with
// the command each disc kind takes, the wait for the drive with its progress,
// the eject when asked, and the one OnEraseDone through the dispatcher. The
// erase is a drive job (job.h), refused while any other job has the drive.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>

#include "iso/iso.h"
#include "record/job.h"
#include "record/record.h"
#include "transport/transport.h"

namespace {

constexpr uint8_t kAscNotReady = 0x04;
constexpr uint32_t kMaxDescriptors = 64;  // sectors 16.. searched for the terminator

// The conversation with the drive; every method returns "" or the failure text.
class TEraser {
public:
  TEraser(VEZEZadira& Device, bool Quick, uint16_t Kind, const std::atomic<bool>& Stop)
      : dev_(Device), quick_(Quick), kind_(Kind), stop_(Stop) {}

  std::string Run() {
    // Quick on formatted DVD+RW, DVD-RAM and BD-RE zeroes the descriptors;
    // a full erase formats them anew.
    const TMedium& medium = Medium(kind_);
    dev_.WaitUntilReady(10000, 500);
    dev_.EraseProgress = 0;
    std::string error;
    if (medium.Erase == TEraseWay::Format && quick_ && Formatted())
      error = ZeroDescriptors();
    else
      error = medium.Erase == TEraseWay::Blank ? StartBlank() : StartFormat(medium.EraseFormatType);
    if (error.empty()) error = AwaitDrive();
    if (error.empty()) error = CheckEmpty(medium.Erase);
    if (error.empty()) dev_.EraseProgress = 100;
    return error;
  }

private:
  std::string Reason() const {
    return dev_.TimedOut || dev_.LastError.empty() ? std::string(kCommandTimeoutText)
                                                   : dev_.LastError;
  }
  std::string Failed(const char* Text) const { return std::string(Text) + " [" + Reason() + "]"; }

  std::string StartBlank() {
    return dev_.Blank(quick_ ? 1 : 0, true) ? "" : Failed(kEraseFailedText);
  }

  // FORMAT UNIT with FOV and Immed, one descriptor of the type for the whole
  // disc, as many blocks as its one track holds.
  std::string StartFormat(uint8_t Type) {
    uint32_t blocks = 0xFFFFFFFFu;
    if (dev_.ReadTrackInformation(1) && dev_.Track.Size != 0) blocks = dev_.Track.Size;
    std::array<uint8_t, 12> list = {0x00, 0x82, 0x00, 0x08};
    for (int i = 0; i < 4; ++i) list[4 + i] = static_cast<uint8_t>(blocks >> (24 - 8 * i));
    list[8] = static_cast<uint8_t>(Type << 2);
    std::copy(list.begin(), list.end(), dev_.ScratchBuffer.begin());
    return dev_.FormatUnit(0x11, dev_.ScratchBuffer.data(), list.size()) ? ""
                                                                          : Failed(kEraseFailedText);
  }

  // A formatted overwritable disc reads back; one never formatted does not.
  bool Formatted() {
    std::array<uint8_t, 2048> sector{};
    return dev_.Read10(16, 1, sector.data(), static_cast<uint32_t>(sector.size()));
  }

  // Quick on a formatted disc: zeros from sector 16 up to the first sector
  // after the descriptor set's terminator, so that readers find no volume and
  // the next recording begins at 0.
  std::string ZeroDescriptors() {
    std::array<uint8_t, 2048> sector{};
    uint32_t end = 16;
    for (uint32_t n = 16; n < 16 + kMaxDescriptors; ++n) {
      if (!dev_.Read10(n, 1, sector.data(), static_cast<uint32_t>(sector.size()))) break;
      if (std::memcmp(&sector[1], "CD001", 5) != 0) break;
      end = n + 1;
      if (sector[0] == 0xFF) break;
    }
    std::array<uint8_t, 32 * 2048> zeros{};
    for (uint32_t n = 16; n < end;) {
      const auto count = static_cast<uint16_t>(std::min<uint32_t>(32, end - n));
      if (!dev_.Write10(n, count, SRB_EVENT_NOTIFY | SRB_DIR_OUT, count * 2048u, zeros.data()))
        return Failed(kEraseFailedText);
      n += count;
      dev_.EraseProgress = static_cast<int32_t>(100 * (n - 16) / (end - 16));
    }
    if (end > 16 && !dev_.SynchronizeCache(120000, false)) return Failed(kEraseFailedText);
    return "";
  }

  // While the drive answers NOT READY it is erasing; REQUEST SENSE carries the
  // progress in its sense-key-specific bytes (SKSV, 1/65536 steps).
  std::string AwaitDrive() {
    const uint64_t start = Clock().NowMs();
    uint64_t slept = 0;
    int unanswered = 0;  // REQUEST SENSE timed out this many times in a row
    for (;;) {
      if (stop_) return kAbortedText;
      std::array<uint8_t, 18> sense{};
      const bool answered = dev_.RequestSense(sense.data(), static_cast<uint8_t>(sense.size()));
      // A drive that no longer answers is not waited for an hour and a half.
      unanswered = answered || !dev_.TimedOut ? 0 : unanswered + 1;
      if (unanswered >= kEraseUnansweredPolls) return Failed(kEraseFailedText);
      if (answered) {
        const uint8_t key = sense[2] & 0x0F, asc = sense[12];
        if (key == 0) return "";
        if (key == 2 && asc == kAscNotReady) {
          if (sense[15] & 0x80)
            dev_.EraseProgress = static_cast<int32_t>((sense[16] << 8 | sense[17]) * 100 / 65536);
        } else if (key != 6) {  // a unit attention on the way is no outcome
          return std::string(kEraseFailedText) + " [" + SenseCodeText(asc, sense[13]) + "]";
        }
      }
      // Both the clock and the sum of the sleeps count: either alone bounds the wait.
      if (std::max(slept, Clock().NowMs() - start) >= kEraseWaitLimitMs) return kEraseTimeoutText;
      Clock().Sleep(kErasePollMs);
      slept += kErasePollMs;
    }
  }

  // Nothing is reported done that did not happen: the disc must now read as
  // blank (BLANK) or hold no volume (formats).
  std::string CheckEmpty(TEraseWay Method) {
    dev_.TestUnitReady(5000);
    const bool empty = Method == TEraseWay::Blank ? dev_.DiscStatus() == 0
                                                     : dev_.RecordedVolumeEnd() == 0;
    return empty ? "" : kNotBlankAfterEraseText;
  }

  VEZEZadira& dev_;
  const bool quick_;
  const uint16_t kind_;
  const std::atomic<bool>& stop_;
};

void EraseThread(const std::shared_ptr<TDriveJob>& job, bool quick, uint16_t kind) {
  VEZEZadira& dev = *JobComponent(*job);
  std::string error;
  {
    // As for a recording: the built-in layer holds the drive exclusively, so
    // that no other program writes to it while it erases.
    const TExclusiveDriveHold hold(dev.HaId, dev.Target, dev.Lun);
    if (!hold.ok()) {
      error = DriveHoldFailureText(hold.error());
    } else {
      error = TEraser(dev, quick, kind, job->Stop).Run();
      if (!job->Stop) EjectIfAsked(dev);
    }
  }
  if (!error.empty()) dev.DebugMessage(error, MSG_ERROR);

  // Nothing goes to the drive after OnEraseDone: the erase gives it up as the
  // call is handed over.
  EndDriveJob(
      job,
      [&error, &job](VEZEZadira& sender) -> std::function<void()> {
        sender.EraseError = error;
        sender.LastOutcome = error.empty() ? TOutcome()
                             : TOutcome(error, job->Stop ? TOutcomeCode::Aborted : TOutcomeCode::Failed);
        sender.Erasing = false;
        const TEraseDoneEvent handler = sender.OnEraseDone;
        if (!handler) return {};
        return [handler, sender = &sender, failed = !error.empty()] { handler(sender, failed); };
      },
      nullptr);
}

}  // namespace

bool EraseRuns() { return DriveJobBusy(TJobKind::Erase); }

void EjectIfAsked(VEZEZadira& Component) {
  Component.EjectError.clear();
  Component.Ejected = false;
  if (!Component.EjectWhenDone) return;
  Component.WaitUntilReady(30000, 1000);
  Component.AllowMediumRemoval(true);
  Component.Ejected = Component.LoadEject(true);
  if (Component.Ejected) return;
  Component.EjectError = std::string(kEjectFailedText) + " [" +
                         (Component.LastError.empty() ? kCommandTimeoutText : Component.LastError) +
                         "]";
  Component.DebugMessage(Component.EjectError, MSG_ERROR);
}

bool VEZEZadira::EraseDisc(bool Quick) {
  auto refuse = [this](const std::string& Text) {
    EraseError = Text;
    DebugMessage(Text, MSG_ERROR);
    const TEraseDoneEvent handler = OnEraseDone;
    if (handler) handler(this, true);  // last: the handler may destroy the component
    return false;
  };
  auto job = std::make_shared<TDriveJob>(TJobKind::Erase, this);
  if (const std::optional<TJobKind> busy = ClaimDriveJob(job)) return refuse(JobRefusalText(*busy));
  // The last erase's thread has ended its body.
  AwaitDriveJob(this, TJobKind::Erase, false, job.get());
  CurrentDiscKind = DiscKind();
  if (Medium(CurrentDiscKind).Erase == TEraseWay::None) {
    EndUnstartedJob(*job);
    return refuse(CurrentDiscKind == DK_UNKNOWN
                      ? std::string(kNoDiscToEraseText)
                      : std::string(DiscKindNames(CurrentDiscKind)) + kNotRewritableText);
  }
  EraseError.clear();
  EjectError.clear();
  Ejected = false;
  EraseProgress = 0;
  Erasing = true;
  StartJobThread(job, [job, Quick, kind = static_cast<uint16_t>(CurrentDiscKind)] {
    EraseThread(job, Quick, kind);
  }, false);
  return true;
}

void VEZEZadira::StopErase() { AwaitDriveJob(this, TJobKind::Erase, true); }

void VEZEZadira::WaitForErase() { AwaitDriveJob(this, TJobKind::Erase, false); }
