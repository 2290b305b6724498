// The disc recording sequence: the conversation that the recording thread
// holds with the recorder. Preparation (load, speeds, write parameters, the
// medium-specific preparation of DVD-RW and DVD-R, power calibration), the
// write loop, the flush, the closing of track and session by disc kind, and
// the reset of the drive's settings.
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "iso/iso.h"
#include "record/record.h"
#include "stream/stream.h"

namespace {

constexpr uint8_t kWriteFlags = SRB_EVENT_NOTIFY | SRB_DIR_OUT;  // 50h
constexpr uint8_t kAscNoSense = 0x00;
constexpr uint8_t kAscNotReady = 0x04;

// FORMAT UNIT parameter list for DVD-RW: FOV and IMMED, one descriptor of
// format type 13h (quick grow of the last session), type parameter 16.
constexpr std::array<uint8_t, 12> kFormatList = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00,
                                                 0x00, 0x00, 0x4C, 0x00, 0x00, 0x10};

// FORMAT UNIT parameter list for an unformatted BD-RE: FOV and IMMED, one
// descriptor of format type 00h, subtype 0; bytes 4-7 take the number of blocks
// that READ FORMAT CAPACITIES reports.
constexpr std::array<uint8_t, 12> kBDFormatList = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00,
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kUnformattedMedia = 1;  // READ FORMAT CAPACITIES descriptor type

// SET STREAMING performance descriptor for DVD-R: no flags, LBA 0 to 2,298,495,
// reads of 43,965 kB per 1,000 ms and writes of 1,418 kB per 1,000 ms.
constexpr std::array<uint8_t, 28> kStreamingDescriptor = {
    0x00, 0x00, 0x00, 0x00,  // flags, reserved
    0x00, 0x00, 0x00, 0x00,  // start LBA
    0x00, 0x23, 0x12, 0x7F,  // end LBA
    0x00, 0x00, 0xAB, 0xBD,  // read size, kB
    0x00, 0x00, 0x03, 0xE8,  // read time, ms
    0x00, 0x00, 0x05, 0x8A,  // write size, kB
    0x00, 0x00, 0x03, 0xE8,  // write time, ms
};

// What the recording waits for (CurrentRecordingWait). The start is stored
// before the text, so a reader that sees the text sees its start.
std::atomic<const char*> gWaitWhat{nullptr};
std::atomic<uint64_t> gWaitSince{0};

constexpr const char* kWaitReady = "the drive to become ready";
constexpr const char* kWaitFormat = "the drive to format the DVD-RW";
constexpr const char* kWaitFormatBD = "the drive to format the BD-RE";
constexpr const char* kWaitWrite = "the drive to take the data";
constexpr const char* kWaitFlush = "the drive to flush its cache";
constexpr const char* kWaitClose = "the drive to close the track and session";

// Marks one wait for as long as it lives; nested notes keep the outer one's start.
class TWaitNote {
public:
  explicit TWaitNote(const char* What) : previous_(gWaitWhat.load()) {
    if (previous_ == What) return;
    gWaitSince = Clock().NowMs();
    gWaitWhat = What;
  }
  ~TWaitNote() {
    if (previous_ != gWaitWhat.load()) gWaitWhat = previous_;
  }
  TWaitNote(const TWaitNote&) = delete;
  TWaitNote& operator=(const TWaitNote&) = delete;

private:
  const char* previous_;
};

class TDiscSequence {
public:
  explicit TDiscSequence(const TRecordingContext& c)
      : dev_(c.Component), cache_(c.Cache), stop_(c.Stop) {}

  void Run() {
    if (!Prepare()) return;
    WriteLoop();
    WriteVolumeStart();
    if (!Finish()) return;
    if (!Close()) return;
    ResetDrive();
  }

private:
  // ---- helpers
  bool Failed() const { return !cache_.FMessage().empty(); }

  // Ends the recording with Text: the cache stops and keeps the text, which
  // the ending reports.
  void Fail(const std::string& Text) {
    cache_.SetMessage(Text);
    cache_.Abort();
  }
  // The same with the drive's answer to the command that failed.
  void FailWithSense(const std::string& Text) {
    const auto& s = dev_.LastSense;
    TOutcome outcome(Text, TOutcomeCode::DriveError);
    outcome.SenseKey = static_cast<uint8_t>(s[2] & 0x0F);
    outcome.Asc = s[12];
    outcome.Ascq = s[13];
    cache_.SetOutcome(outcome);
    cache_.Abort();
  }

  // True when a stop was asked for; the recording then ends as aborted.
  bool Stopped() {
    if (!stop_) return false;
    cache_.SetOutcome({kAbortedText, TOutcomeCode::Aborted});
    cache_.Abort();
    return true;
  }

  // A plain wait of this thread; false when the recording is to stop.
  bool Pause(uint32_t ms) {
    Clock().Sleep(ms);
    return !Stopped();
  }

  uint8_t Asc() const { return dev_.LastSense[12]; }
  // Why the command just sent failed: its sense text, or that it never answered.
  std::string Reason() const {
    return dev_.TimedOut || dev_.LastError.empty() ? std::string(kCommandTimeoutText)
                                                   : dev_.LastError;
  }
  // Ends the recording with Text + " [" + why the last command failed + "]".
  bool FailCommand(const char* Text) {
    FailWithSense(std::string(Text) + " [" + Reason() + "]");
    return false;
  }
  uint16_t Kind() const { return dev_.CurrentDiscKind; }

  bool SendWriteParameters(bool finalize) {
    return dev_.SetWriteParameters({dev_.TestWrite, dev_.UnderrunProtection, finalize, Kind()});
  }

  // Looks at Done() every StepMs (SleepFirst: the first look after one step)
  // until it holds or LimitMs have passed; false when the limit ran out.
  template <typename TDone>
  bool PollUntil(uint32_t StepMs, uint64_t LimitMs, bool SleepFirst, TDone Done) {
    const uint64_t start = Clock().NowMs();
    uint64_t slept = 0;
    for (bool look = !SleepFirst;; look = true) {
      if (look && Done()) return true;
      // Both the clock and the sum of the sleeps count: either alone bounds the wait.
      if (std::max(slept, Clock().NowMs() - start) >= LimitMs) return false;
      if (!Pause(StepMs)) return true;  // stopping: the caller sees the message
      slept += StepMs;
    }
  }

  // ---- preparation
  bool Prepare() {
    uint32_t bufferLength = 0, freeLength = 0;
    capacityWorks_ = dev_.ReadBufferCapacity(bufferLength, freeLength);
    dev_.CurrentDiscKind = dev_.DiscKind();
    // DVD-RW in sequential recording shares its kind with restricted
    // overwrite; the current profile that the kind came from tells them apart.
    medium_ = &Medium(Kind(), dev_.CurrentProfile);
    dev_.LoadEject(false);
    if (Kind() != DK_DVDPLUSRW) dev_.RezeroUnit();
    dev_.SetCDSpeed(dev_.ReadSpeed, dev_.WriteSpeed());
    {
      TWaitNote note(kWaitReady);
      dev_.WaitUntilReady(10000, 1000);
    }

    speed_ = dev_.GetCurrentWriteSpeed();
    // The first page of a recording always asks for a finalised disc; the
    // user's wish is sent again before the session is closed.
    const bool pageSent = SendWriteParameters(true);
    // A drive that did not take the test write bit would record for real.
    if (!pageSent && dev_.TestWrite) return FailCommand(kTestWriteRefusedText);

    // A test write leaves the disc as it was: no format, no reservation, no timestamp.
    if (medium_->Format == TFormatFirst::Quick && !dev_.TestWrite) {
      std::copy(kFormatList.begin(), kFormatList.end(), dev_.ScratchBuffer.begin());
      if (dev_.FormatUnit(0x11, dev_.ScratchBuffer.data(), kFormatList.size())) {
        // The format runs in the background: the drive answers NOT READY until done.
        TWaitNote note(kWaitFormat);
        const bool done = PollUntil(kFormatPollMs, kFormatWaitLimitMs, true, [&] {
          dev_.RefreshDiscInformation();
          return Asc() != kAscNotReady;
        });
        if (Stopped()) return false;
        if (!done) return Fail(kFormatTimeoutText), false;
      }
    }

    if (medium_->Format == TFormatFirst::WhenUnformatted && !dev_.TestWrite && !FormatBDRE())
      return false;

    // The image was laid out for the address the drive gave then; written
    // anywhere else its directory records would point at the wrong sectors.
    const uint32_t laidOut = dev_.StartAddress;
    dev_.GetNextWritableAddress();
    if (dev_.StartAddress > 0xFF000000u) dev_.StartAddress = 0;
    if (dev_.StartAddress != laidOut) {
      char text[128];
      std::snprintf(text, sizeof text, "%s (%" PRIu32 ", IMAGE LAID OUT FOR %" PRIu32 ")",
                    kAddressMovedText, dev_.StartAddress, laidOut);
      return Fail(text), false;
    }
    // What the layout refused is refused here too, before anything is written.
    if (const std::string refusal = dev_.RecordingRefusal(); !refusal.empty())
      return Fail(refusal), false;
    track_ = dev_.RecordedSessions() + 1;

    if (medium_->Reserves) {
      std::copy(kStreamingDescriptor.begin(), kStreamingDescriptor.end(),
                dev_.ScratchBuffer.begin());
      dev_.SetStreaming(dev_.ScratchBuffer.data(), kStreamingDescriptor.size());
      if (!dev_.TestWrite) {
        dev_.SendTimestamp(NowLocal());
        dev_.ScratchBuffer.fill(0);
        dev_.ReserveTrack(static_cast<uint32_t>(dev_.ImageSectors()));
        dev_.WaitUntilReady(10000, 1000);
      }
    }

    if (Kind() != DK_DVDRAM && !dev_.TestWrite && dev_.PerformOPC) dev_.SendOPC();
    if (Stopped()) return false;

    char text[160];
    std::snprintf(text, sizeof text, ">>> STARTING WRITE PROCESS ON %s AT %u KB/s",
                  DiscKindNames(Kind()), static_cast<unsigned>(speed_));
    dev_.DebugMessage(text, MSG_INFO);
    if (dev_.TestWrite) dev_.DebugMessage(">>> TEST/DUMMY WRITE", MSG_INFO);
    return true;
  }

  // A BD-RE takes no data before it is formatted once; the format runs in the
  // background and the drive answers NOT READY until it is done.
  bool FormatBDRE() {
    uint8_t type = 0;
    uint32_t blocks = 0;
    // A drive that cannot say is left to its writes, which then tell why.
    if (!dev_.ReadFormatCapacities(type, blocks) || type != kUnformattedMedia) return true;
    std::copy(kBDFormatList.begin(), kBDFormatList.end(), dev_.ScratchBuffer.begin());
    for (int i = 0; i < 4; ++i) dev_.ScratchBuffer[4 + i] = static_cast<uint8_t>(blocks >> (24 - 8 * i));
    if (!dev_.FormatUnit(0x11, dev_.ScratchBuffer.data(), kBDFormatList.size()))
      return FailCommand(kFormatFailedText);
    TWaitNote note(kWaitFormatBD);
    const bool done = PollUntil(kFormatPollMs, kFormatWaitLimitMs, true, [&] {
      dev_.RefreshDiscInformation();
      return Asc() != kAscNotReady;
    });
    if (Stopped()) return false;
    if (!done) return Fail(kBDFormatTimeoutText), false;
    return true;
  }

  // ---- write loop
  void WriteLoop() {
    int32_t offset = 0;
    int32_t countdown = kCapacityEvery;
    int32_t n = NextBlock();

    for (;;) {
      if (n == 0) {
        // The stream has ended; short of the image it is no success.
        if (!Failed() && dev_.BytesWritten != dev_.ImageSectors() * 2048)
          Fail(kStreamShortText);
        return;
      }
      if (n > 0) {
        dev_.BytesWritten += n;
        if (countdown == 0 && capacityWorks_) {
          uint32_t bufferLength = 0, freeLength = 0;
          if (dev_.ReadBufferCapacity(bufferLength, freeLength)) countdown = kCapacityEvery;
        }
        --countdown;
        if (!WriteBlock(static_cast<uint32_t>(offset), n)) return;
        offset += n / 2048;
      }
      for (;;) {
        if (Stopped()) return;
        n = NextBlock();
        if (Failed()) return;
        if (n != -1) break;
        cache_.WaitForBlock(10);  // instead of 1 ms polls
      }
    }
  }

  // Overwritable media have no sessions: readers look at sector 16 of the
  // disc for the volume descriptors, and at sector 256 for a UDF anchor. Once
  // the new volume is on the disc, wherever it starts, sectors 0-31 get its
  // system area and volume descriptors, and sector 256 what the layout gave
  // it. Until then the earlier volume stays whole: a recording that fails or
  // is stopped leaves it readable. Not on a sequential DVD-RW: there it would
  // take the next writable address, and every write after it would fail.
  void WriteVolumeStart() {
    if (!medium_->Overwritable || Failed() || Stopped() || dev_.StartAddress == 0) return;
    const TImagePlan& plan = *cache_.Plan();
    TWaitNote note(kWaitWrite);
    if (!dev_.SynchronizeCache(1800000, false)) {
      FailCommand(kFlushFailedText);
      return;
    }
    if (!dev_.Write10(0, 32, kWriteFlags, kCacheBlockBytes, const_cast<uint8_t*>(plan.DescriptorCopy.data())) ||
        (plan.WriteDiscAnchor &&
         !dev_.Write10(256, 1, kWriteFlags, 2048, const_cast<uint8_t*>(plan.DiscAnchor.data()))))
      FailCommand(kWriterErrorText);
  }

  // Gives the block just written back to the cache and takes the next one.
  int32_t NextBlock() {
    cache_.ReturnBlock(std::move(block_));
    int32_t n = 0;
    block_ = cache_.TakeBlock(n);
    return n;
  }

  // One WRITE (10) of the block at StartAddress + offset, retried while the
  // drive is busy. False with the message set.
  bool WriteBlock(uint32_t offset, int32_t n) {
    const auto sectors = static_cast<uint16_t>(n / 2048);
    TWaitNote note(kWaitWrite);
    for (int32_t tries = 0;;) {
      if (dev_.Write10(dev_.StartAddress + offset, sectors, kWriteFlags,
                       static_cast<uint32_t>(n), block_->Data.data()))
        return true;
      // A write that never came back is no busy drive: waiting 120 s per try
      // for 10,000 tries would hang the recording for days.
      if (dev_.TimedOut) return Fail(std::string(kWriterErrorText) + " [" + kCommandTimeoutText + "]"), false;
      if (dev_.TargetBusy || Asc() == kAscNotReady || Asc() == kAscNoSense) {
        if (!Pause(kBusyRetryMs)) return false;
        if (++tries >= kBusyTries) return Fail(kWriterBusyText), false;
        continue;
      }
      return FailWithSense(std::string(kWriterErrorText) + " [" + dev_.LastError + "]"), false;
    }
  }

  // ---- finishing: flush the drive's cache; false when the recording failed.
  bool Finish() {
    if (Kind() != DK_DVDRAM) {
      uint32_t bufferLength = 0, freeLength = 0;
      dev_.ReadBufferCapacity(bufferLength, freeLength);
    }
    if (dev_.OnFinalizingTrack) dev_.OnFinalizingTrack(&dev_);
    TWaitNote note(kWaitFlush);
    // A flush that fails for good leaves data in the drive that never reaches
    // the disc: no close, and the recording is no success.
    if (medium_->FlushImmed) {
      if (!dev_.SynchronizeCache(1800000, true)) {
        FailCommand(kFlushFailedText);
      } else {
        // The drive answers READ DISC INFORMATION again once the flush is done;
        // meanwhile the free buffer shown counts down.
        dev_.DeviceFreeBufferSize = dev_.DeviceBufferSize;
        const bool done = PollUntil(kFlushPollMs, kFlushWaitLimitMs, false, [&] {
          if (dev_.RefreshDiscInformation()) return true;
          dev_.DeviceFreeBufferSize -= dev_.DeviceBufferSize / 960;
          return false;
        });
        if (!done && !Failed()) Fail(kFlushTimeoutText);
      }
    } else if (!dev_.SynchronizeCache(120000, false) && !dev_.SynchronizeCache(120000, true)) {
      FailCommand(kFlushFailedText);
    }
    dev_.DeviceBufferSize = 0;
    dev_.DeviceFreeBufferSize = 0;
    return !Failed() && !Stopped();
  }

  // ---- closing by disc kind; false when a close failed (the message is set).
  // A disc whose session was not closed is no success: readers do not see it.
  bool Close() {
    if (dev_.TestWrite || medium_->Close == TCloseWay::None || !dev_.FinalizeTrack) return true;
    TWaitNote note(kWaitClose);
    // Now with the user's FinalizeDisc: for CDs it decides whether the disc
    // stays open for a further session.
    if (medium_->Close != TCloseWay::Reserved) SendWriteParameters(dev_.FinalizeDisc);
    // DVD-R and sequential DVD-RW close the disc with the session when the
    // page's multi-session field says no further session follows.
    if (dev_.FinalizeDisc && medium_->FinalViaPage && !dev_.SendFinalSessionPage())
      return FailCommand(kFinalizeFailedText);
    const auto t = static_cast<uint8_t>(track_);
    const uint8_t number = medium_->CloseNumber;
    switch (medium_->Close) {
      case TCloseWay::Track:
        if (!dev_.CloseTrackSessionRaw(false, 1, 0, 0, t)) return FailCommand(kCloseTrackFailedText);
        // The finalising function closes the session and the disc.
        if (dev_.FinalizeDisc)
          return dev_.CloseTrackSessionRaw(false, medium_->FinalizeFunction, 0, 0, number) ||
                 FailCommand(kFinalizeFailedText);
        return dev_.CloseTrackSessionRaw(false, 2, 0, 0, number) ||
               FailCommand(kCloseSessionFailedText);
      case TCloseWay::Reserved:
        if (!dev_.CloseTrackSessionRaw(false, 1, 0, 0, t)) return FailCommand(kCloseTrackFailedText);
        // The track after the reservation is empty; the session close below
        // closes it in any case, so its own close may be refused.
        dev_.CloseTrackSessionRaw(false, 1, 0, 0, static_cast<uint8_t>(track_ + 1));
        return dev_.CloseTrackSessionRaw(false, 2, 0, 0, static_cast<uint8_t>(track_ + 2)) ||
               FailCommand(kCloseSessionFailedText);
      case TCloseWay::Session:
        return dev_.CloseTrackSessionRaw(true, 2, 0, 0, 0) || FailCommand(kCloseSessionFailedText);
      case TCloseWay::Background:
        return dev_.CloseTrackSessionRaw(false, 3, 0, 0, 0xFF) ||
               FailCommand(kCloseSessionFailedText);
      case TCloseWay::CD:
      case TCloseWay::None:
        break;
    }
    return CloseCDSession();
  }

  bool CloseCDSession() {
    for (int32_t tries = 0;;) {
      if (dev_.CloseTrackSession(false, dev_.CloseTrackImmediate, false)) return true;
      if (!dev_.TimedOut && (dev_.TargetBusy || Asc() == kAscNotReady)) {
        ++tries;
        if (!Pause(kCloseRetryMs)) return false;
        if (tries < kCloseTries) continue;
        return FailCommand(kCloseSessionFailedText);  // busy for all the tries
      }
      // Any other failure: once more, then the session stays open for good.
      return dev_.CloseTrackSession(false, dev_.CloseTrackImmediate, false) ||
             FailCommand(kCloseSessionFailedText);
    }
  }

  // ---- final wait and drive reset
  void ResetDrive() {
    if (Stopped()) return;
    {
      TWaitNote note(kWaitReady);
      dev_.WaitUntilReady(240000, 5000);
    }
    if (Kind() != DK_DVDRAM) {
      uint32_t bufferLength = 0, freeLength = 0;
      dev_.ReadBufferCapacity(bufferLength, freeLength);
    }
    if (!IsBDKind(Kind())) dev_.SetWriteParameters({.Finalize = dev_.FinalizeDisc, .DiscKind = DK_CDROM});
    dev_.SetCDSpeed(dev_.GetMaxReadSpeed(), 2);
    dev_.RezeroUnit();
    dev_.AllowMediumRemoval(true);
    dev_.LoadEject(false);
    dev_.RezeroUnit();
    dev_.TestUnitReady(5000);
    const uint16_t k = Kind();
    if (k != DK_DVDR && k != DK_DVDRAM && k != DK_DVDRW_RO && k != DK_DVDPLUSRW)
      dev_.RezeroUnit();
  }

  VEZEZadira& dev_;
  TCacheThread& cache_;
  const std::atomic<bool>& stop_;
  bool capacityWorks_ = false;
  const TMedium* medium_ = &Medium(DK_UNKNOWN);  // the disc in the drive, from Prepare
  int32_t track_ = 1;
  uint16_t speed_ = 0;
  // The cache's block being written: WRITE (10) sends it from where the cache
  // filled it, and it goes back to the cache for the next one.
  std::unique_ptr<TCacheBlock> block_;
};

}  // namespace

TRecordingWait CurrentRecordingWait() {
  TRecordingWait wait;
  wait.What = gWaitWhat.load();
  wait.SinceMs = gWaitSince.load();
  return wait;
}

void RunDiscSequence(const TRecordingContext& Context) {
  auto sequence = std::make_unique<TDiscSequence>(Context);
  sequence->Run();
}
