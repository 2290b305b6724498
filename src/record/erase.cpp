// The erase of a rewritable disc: EraseDisc's refusals, the erase thread with
// the command each disc kind takes, the wait for the drive with its progress,
// the eject when asked, and the one OnEraseDone through the dispatcher.
#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "iso/iso.h"
#include "record/record.h"
#include "transport/transport.h"

// One erase: its thread and its end hand-off, as for a recording. Guarded by
// Lock except Stop.
struct TEraseRun {
  VEZEZadira* Component = nullptr;
  bool Quick = true;
  uint16_t Kind = DK_UNKNOWN;
  std::thread Thread;
  std::thread::id UiThread;
  std::atomic<bool> Stop{false};
  std::mutex Lock;
  std::condition_variable Changed;
  bool Running = true;  // the thread's body has not ended
  std::function<void()> EndCall;
  std::thread::id EndCaller;
  bool EndCallDone = false;

  ~TEraseRun() {
    if (Thread.joinable()) {
      if (Thread.get_id() == std::this_thread::get_id()) Thread.detach();
      else Thread.join();
    }
  }
};

namespace {

// One drive operation at a time in the process, as for recordings.
std::atomic<bool> gErasing{false};

constexpr uint8_t kAscNotReady = 0x04;
constexpr uint32_t kMaxDescriptors = 64;  // sectors 16.. searched for the terminator

// How a disc kind is erased. BLANK: CD-RW and DVD-RW in both recording modes;
// FORMAT UNIT with its format type: DVD+RW 26h, DVD-RAM 00h.
enum class TEraseMethod { None, Blank, Format };
struct TEraseWay {
  TEraseMethod Method = TEraseMethod::None;
  uint8_t FormatType = 0;
};

TEraseWay EraseWay(uint16_t kind) {
  switch (kind) {
    case DK_CDRW:
    case DK_DVDRW_RO:
    case DK_DVDRW_SR:
      return {TEraseMethod::Blank, 0};
    case DK_DVDPLUSRW:
      return {TEraseMethod::Format, 0x26};
    case DK_DVDRAM:
    case DK_BDRE:  // quick: the descriptors zeroed, as on DVD+RW; full: formatted anew
      return {TEraseMethod::Format, 0x00};
    default:
      return {};
  }
}

uint32_t GetHost32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void RunEndCall(TEraseRun& run) {
  std::unique_lock g(run.Lock);
  if (!run.EndCall) return;
  const std::function<void()> call = std::exchange(run.EndCall, nullptr);
  run.EndCaller = std::this_thread::get_id();
  g.unlock();
  call();
  g.lock();
  run.EndCaller = {};
  run.EndCallDone = true;
  run.Changed.notify_all();
}

// The conversation with the drive; every method returns "" or the failure text.
class TEraser {
public:
  TEraser(VEZEZadira& Device, const TEraseRun& Run) : dev_(Device), run_(Run) {}

  std::string Run() {
    const TEraseWay way = EraseWay(run_.Kind);
    dev_.WaitUntilReady(10000, 500);
    dev_.EraseProgress = 0;
    std::string error;
    if (way.Method == TEraseMethod::Format && run_.Quick && Formatted())
      error = ZeroDescriptors();
    else
      error = way.Method == TEraseMethod::Blank ? StartBlank() : StartFormat(way.FormatType);
    if (error.empty()) error = AwaitDrive();
    if (error.empty()) error = CheckEmpty(way.Method);
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
    return dev_.Blank(run_.Quick ? 1 : 0, true) ? "" : Failed(kEraseFailedText);
  }

  // FORMAT UNIT with FOV and Immed, one descriptor of the type for the whole
  // disc, as many blocks as its one track holds.
  std::string StartFormat(uint8_t Type) {
    uint32_t blocks = 0xFFFFFFFFu;
    if (dev_.ReadTrackInformation(1) && GetHost32(&dev_.TrackInfo[24]) != 0)
      blocks = GetHost32(&dev_.TrackInfo[24]);
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
      if (run_.Stop) return kAbortedText;
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
  std::string CheckEmpty(TEraseMethod Method) {
    dev_.TestUnitReady(5000);
    const bool empty = Method == TEraseMethod::Blank ? dev_.DiscStatus() == 0
                                                     : dev_.RecordedVolumeEnd() == 0;
    return empty ? "" : kNotBlankAfterEraseText;
  }

  VEZEZadira& dev_;
  const TEraseRun& run_;
};

void EraseThread(const std::shared_ptr<TEraseRun>& run) {
  VEZEZadira& dev = *run->Component;
  // As for a recording: the built-in layer holds the drive exclusively, so
  // that no other program writes to it while it erases.
  const bool builtIn = ASPILayerName() == kBuiltInLayerName;
  std::string error;
  const bool held = !builtIn || SPTIHoldExclusive(dev.HaId, dev.Target, dev.Lun, true);
  if (!held) {
    const int why = errno;
    error = why == EBUSY ? std::string(kDriveInUseText)
                         : std::string(kDriveNotOpenedText) + " [" + std::strerror(why) + "]";
  } else {
    error = TEraser(dev, *run).Run();
    if (!run->Stop) EjectIfAsked(dev);
  }
  if (builtIn) {
    if (held) SPTIHoldExclusive(dev.HaId, dev.Target, dev.Lun, false);
    ReinitASPILayer();
  }
  if (!error.empty()) dev.DebugMessage(error, MSG_ERROR);

  std::unique_lock g(run->Lock);
  dev.EraseError = error;
  const TEraseDoneEvent handler = dev.OnEraseDone;
  const TDispatcher dispatcher = dev.Dispatcher;
  dev.Erasing = false;
  gErasing = false;
  if (handler) {
    run->EndCall = [handler, sender = &dev, failed = !error.empty()] { handler(sender, failed); };
    run->Changed.notify_all();  // an owner waiting on the user-interface thread takes it
    g.unlock();
    if (dispatcher)
      dispatcher([run] { RunEndCall(*run); });
    else
      RunEndCall(*run);
    g.lock();
    run->Changed.wait(g, [&] { return run->EndCallDone; });
  }
  run->Running = false;
  run->Changed.notify_all();
}

}  // namespace

bool EraseRuns() { return gErasing; }

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
  if (RecordingRuns()) return refuse(kAlreadyRecordingText);
  if (gErasing.exchange(true)) return refuse(kAlreadyErasingText);
  WaitForErase();  // the last erase's thread has ended its body
  CurrentDiscKind = DiscKind();
  if (EraseWay(CurrentDiscKind).Method == TEraseMethod::None) {
    gErasing = false;
    return refuse(CurrentDiscKind == DK_UNKNOWN
                      ? std::string(kNoDiscToEraseText)
                      : std::string(DiscKindNames(CurrentDiscKind)) + kNotRewritableText);
  }
  EraseError.clear();
  EjectError.clear();
  Ejected = false;
  EraseProgress = 0;
  auto run = std::make_shared<TEraseRun>();
  run->Component = this;
  run->Quick = Quick;
  run->Kind = CurrentDiscKind;
  run->UiThread = std::this_thread::get_id();
  erase_ = run;
  Erasing = true;
  std::lock_guard g(run->Lock);  // the thread begins once it is recorded
  run->Thread = std::thread([run] {
    { std::lock_guard started(run->Lock); }
    EraseThread(run);
  });
  return true;
}

void VEZEZadira::StopErase() {
  if (erase_) erase_->Stop = true;
  WaitForErase();
}

void VEZEZadira::WaitForErase() {
  const std::shared_ptr<TEraseRun> run = erase_;
  if (!run) return;
  const auto self = std::this_thread::get_id();
  std::unique_lock g(run->Lock);
  // From inside OnEraseDone the erase cannot end while this waits.
  if (run->EndCaller == self || run->Thread.get_id() == self) return;
  while (run->Running) {
    if (run->UiThread == self && run->EndCall) {
      g.unlock();
      RunEndCall(*run);
      g.lock();
    } else {
      run->Changed.wait(g);
    }
  }
  g.unlock();
  if (run->Thread.joinable()) run->Thread.join();
  if (erase_ == run) erase_.reset();
}
