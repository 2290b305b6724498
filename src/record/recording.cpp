// The recording start and the recording thread: StartRecording fills the
// read-ahead cache once and starts TThWrite; the thread runs the disc sequence
// and ends by reporting the outcome on the user-interface thread. The recording
// is a drive job (job.h): one at a time in the process, its end handed over as
// every job's is. After its end call the thread asks the drive once more
// whether it is ready, so the recording keeps the drive until then.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <thread>
#include <utility>

#include "iso/iso.h"
#include "record/job.h"
#include "record/record.h"
#include "stream/stream.h"
#include "transport/transport.h"

void RaiseThreadPriority() {
  // The highest priority of the normal scheduling class: nice as low as the
  // limits allow. Real-time classes are left alone: a spinning recorder
  // thread there could starve the machine and the cache thread that feeds it.
  const auto tid = static_cast<id_t>(::gettid());
  rlimit rl{};
  int floor = 0;
  if (::getrlimit(RLIMIT_NICE, &rl) == 0)
    floor = rl.rlim_cur == RLIM_INFINITY ? -20 : 20 - static_cast<int>(rl.rlim_cur);
  if (::setpriority(PRIO_PROCESS, tid, -20) == 0) return;  // privileged
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, tid);
  if (errno == 0 && floor < now) (void)::setpriority(PRIO_PROCESS, tid, floor);
}

// ---------------------------------------------------------------- StartRecording
bool VEZEZadira::StartRecording() {
  auto rec = std::make_shared<TDriveJob>(TJobKind::Recording, this);
  Ejected = false;
  // Running from here on, while the cache is primed; a recording or an erase
  // whose thread still uses the drive refuses it, with an outcome. The
  // previous job's thread and cache are gone once it is claimed.
  if (const std::optional<TJobKind> busy = ClaimDriveJob(rec)) {
    const char* text = JobRefusalText(*busy);
    DebugMessage(text, MSG_ERROR);
    const TWriteDoneEvent handler = OnWriteDone;
    if (handler) handler(this, text);
    return false;
  }

  auto cache = std::make_shared<TCacheThread>(CacheSize(), Plan, StreamNotify(), TrackDigest);
  SetJobCache(*rec, cache);
  // Bounded: sources that give nothing (a network mount that hangs) end the
  // start with a readable outcome instead of holding the caller for good.
  int32_t queued = 0;
  uint64_t progressAt = Clock().NowMs();
  for (;;) {
    if (cache->FPrimed) {
      // The thread starts only once it is recorded; after a stop not at all.
      if (!StartJobThread(rec, [rec] { TThWrite(rec).Execute(); }, true)) break;
      return true;
    }
    if (!cache->FMessage().empty()) break;
    if (const int32_t now = cache->QueuedBlocks(); now != queued) {
      queued = now;
      progressAt = Clock().NowMs();
    } else if (Clock().NowMs() - progressAt >= kPrimingStallMs) {
      cache->SetMessage(kSourcesStalledText);
      cache->Abort();
      break;
    }
    Clock().Sleep(kStartPollMs);
  }
  LastOutcome = cache->Outcome();
  if (LastOutcome.Ok()) LastOutcome = {kAbortedText, TOutcomeCode::Aborted};  // stopped before the cache was made
  const std::string message = LastOutcome.Text;
  const TWriteDoneEvent handler = OnWriteDone;
  EndUnstartedJob(*rec);
  // Last: the handler may destroy the component.
  if (handler) handler(this, message);
  return false;
}

// ---------------------------------------------------------------- the end
void VEZEZadira::StopRecording() { AwaitDriveJob(this, TJobKind::Recording, true); }

void VEZEZadira::WaitForRecording() { AwaitDriveJob(this, TJobKind::Recording, false); }

bool VEZEZadira::RecordingRuns() const { return DriveJobBusy(TJobKind::Recording); }

// ---------------------------------------------------------------- the thread
void TThWrite::Execute() {
  VEZEZadira* component = JobComponent(*job_);
  std::shared_ptr<TCacheThread> cache = JobCache(*job_);
  RaiseThreadPriority();
  component->BytesWritten = 0;
  {
    // One recording per drive: the built-in layer holds it exclusively meanwhile.
    const TExclusiveDriveHold hold(component->HaId, component->Target, component->Lun);
    if (!hold.ok()) {
      cache->SetMessage(DriveHoldFailureText(hold.error()));
      cache->Abort();
    } else {
      RunDiscSequence({*component, *cache, job_->Stop});
    }
  }
  const std::string error = cache->FMessage();
  const bool detached = JobComponent(*job_) == nullptr;
  // A component that let the thread go may be gone: touch nothing of it.
  TStreamResult result{cache->Outcome(), cache->Plan(), cache->Checksums()};
  if (!detached) {
    component->LastStream = result;
    component->LastOutcome = result.Outcome;
  }
  cache.reset();  // the recording start (or the next one) releases it
  if (!detached) VerifyAfterRecording(*component, result, job_->Stop);
  // Once the track is read back, when asked; never a drive another program holds.
  if (!detached && !job_->Stop && error != kDriveInUseText) EjectIfAsked(*component);
  Ending(error);
}

void TThWrite::Ending(const std::string& Error) {
  EndDriveJob(
      job_,
      [&Error](VEZEZadira& sender) -> std::function<void()> {
        if (!sender.OnWriteDone) return {};
        return [handler = sender.OnWriteDone, sender = &sender, Error] { handler(sender, Error); };
      },
      [](VEZEZadira& component) { component.ProbeUnitReady(); });
}
