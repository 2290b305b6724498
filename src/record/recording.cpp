// The recording start and the recording thread: StartRecording fills the
// read-ahead cache once and starts TThWrite; the thread runs the disc sequence
// and ends by reporting the outcome on the user-interface thread.
//
// One recording runs at a time in the process; one record under one lock
// describes it. Its end is one hand-off through that record: the thread copies
// under the lock what it will call, leaves the call there for the user-
// interface thread and waits until it has run; an owner that stops or awaits
// the recording on that thread runs the call itself. The owner waits for the
// recording thread before it goes. Only a component destroyed from inside its
// own end-of-recording handler, or from the recording thread, lets go of the
// recording instead; the thread then touches nothing of it.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "iso/iso.h"
#include "record/record.h"
#include "stream/stream.h"
#include "transport/transport.h"

// The one recording of the process. Guarded by gLock except Stop.
struct TRecording {
  VEZEZadira* Component = nullptr;  // nullptr once the component has let go of it
  std::shared_ptr<TCacheThread> Cache;
  std::thread Thread;
  std::thread::id UiThread;         // the caller of StartRecording
  std::atomic<bool> Stop{false};
  bool Running = false;             // priming, or the thread's body not ended
  // The end-of-recording hand-off: the call the thread leaves and waits for,
  // taken and run by whoever comes first.
  std::function<void()> EndCall;
  std::thread::id EndCaller;        // the thread running it
  bool EndCallDone = false;

  ~TRecording() {
    if (Thread.joinable()) {
      if (Thread.get_id() == std::this_thread::get_id()) Thread.detach();
      else Thread.join();
    }
  }
};

namespace {

// Never destroyed: a recording thread that was let go may still be leaving
// them while the process exits.
std::mutex& gLock = *new std::mutex;
std::condition_variable& gChanged = *new std::condition_variable;
std::shared_ptr<TRecording>& gCurrent = *new std::shared_ptr<TRecording>;

// Runs the end call unless it has been taken; the lock is not held while it
// runs (the handler may use the component, or stop or destroy it).
void RunEndCall(TRecording& rec) {
  std::unique_lock g(gLock);
  if (!rec.EndCall) return;
  const std::function<void()> call = std::exchange(rec.EndCall, nullptr);
  rec.EndCaller = std::this_thread::get_id();
  g.unlock();
  call();
  g.lock();
  rec.EndCaller = {};
  rec.EndCallDone = true;
  gChanged.notify_all();
}

// Waits until the component's recording has ended, asking it to stop first
// when told to, and releases its thread and cache.
void EndRecording(const VEZEZadira* component, bool stop) {
  std::unique_lock g(gLock);
  const std::shared_ptr<TRecording> rec = gCurrent;
  if (!rec || rec->Component != component) return;
  if (stop && rec->Running) {
    rec->Stop = true;
    if (rec->Cache) {
      rec->Cache->SetMessage(kAbortedText);
      rec->Cache->Abort();
    }
  }
  const auto self = std::this_thread::get_id();
  if (rec->Running && (rec->Thread.get_id() == self || rec->EndCaller == self)) {
    // From the recording thread, or from inside the end-of-recording handler:
    // the recording cannot end while this waits. It goes on without the
    // component and touches nothing of it.
    rec->Component = nullptr;
    return;
  }
  // The end call may be waiting for this very thread: then it runs here.
  const bool onUiThread = rec->UiThread == self;
  while (rec->Running) {
    if (onUiThread && rec->EndCall) {
      g.unlock();
      RunEndCall(*rec);
      g.lock();
    } else {
      gChanged.wait(g);
    }
  }
  std::thread thread = std::move(rec->Thread);
  std::shared_ptr<TCacheThread> cache = std::move(rec->Cache);
  rec->Component = nullptr;
  if (gCurrent == rec) gCurrent.reset();
  g.unlock();
  if (thread.joinable()) thread.join();
  cache.reset();  // stops and waits for the cache thread
}

}  // namespace

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
  std::thread oldThread;
  std::shared_ptr<TCacheThread> oldCache;
  auto rec = std::make_shared<TRecording>();
  const bool erasing = EraseRuns();
  Ejected = false;
  {
    std::lock_guard g(gLock);
    if (erasing || (gCurrent && gCurrent->Running)) {
      rec.reset();  // the running recording keeps its cache and thread
    } else {
      if (gCurrent) {
        oldThread = std::move(gCurrent->Thread);
        oldCache = std::move(gCurrent->Cache);
      }
      rec->Component = this;
      rec->UiThread = std::this_thread::get_id();
      rec->Running = true;
      gCurrent = rec;
    }
  }
  if (!rec) {
    // The recording or erase thread still uses the drive: refused, with an outcome.
    const char* text = erasing ? kAlreadyErasingText : kAlreadyRecordingText;
    DebugMessage(text, MSG_ERROR);
    const TWriteDoneEvent handler = OnWriteDone;
    if (handler) handler(this, text);
    return false;
  }
  // The previous recording's thread has ended its body; its cache goes before
  // the new one is made.
  if (oldThread.joinable()) oldThread.join();
  oldCache.reset();

  auto cache = std::make_shared<TCacheThread>(CacheSize(), WritePostGap, TrackLength * 2048,
                                              *this, TrackDigest);
  {
    std::lock_guard g(gLock);
    rec->Cache = cache;
  }
  // Bounded: sources that give nothing (a network mount that hangs) end the
  // start with a readable outcome instead of holding the caller for good.
  int32_t queued = 0;
  uint64_t progressAt = Clock().NowMs();
  for (;;) {
    if (cache->FPrimed) {
      // The thread waits for the lock before its body begins, so it starts
      // only once it is recorded; after a stop it is not started at all.
      std::lock_guard g(gLock);
      if (rec->Stop) break;
      rec->Thread = std::thread([rec] { TThWrite(rec).Execute(); });
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
  {
    std::lock_guard g(gLock);
    rec->Running = false;
    gChanged.notify_all();
  }
  // Last: the handler may destroy the component.
  if (handler) handler(this, message);
  return false;
}

// ---------------------------------------------------------------- the end
void VEZEZadira::StopRecording() { EndRecording(this, true); }

void VEZEZadira::WaitForRecording() { EndRecording(this, false); }

bool VEZEZadira::RecordingRuns() const {
  std::lock_guard g(gLock);
  return gCurrent && gCurrent->Running;
}

// ---------------------------------------------------------------- the thread
void TThWrite::Execute() {
  VEZEZadira* component;
  std::shared_ptr<TCacheThread> cache;
  {
    std::lock_guard g(gLock);  // started once the recording start has recorded it
    component = recording_->Component;
    cache = recording_->Cache;
  }
  RaiseThreadPriority();
  component->BytesWritten = 0;
  // One recording per drive: the built-in layer holds it exclusively meanwhile.
  const bool builtIn = ASPILayerName() == kBuiltInLayerName;
  if (builtIn && !SPTIHoldExclusive(component->HaId, component->Target, component->Lun, true)) {
    const int why = errno;
    cache->SetMessage(why == EBUSY ? std::string(kDriveInUseText)
                                   : std::string(kDriveNotOpenedText) + " [" + std::strerror(why) + "]");
    cache->Abort();
  } else {
    RunDiscSequence({*component, *cache, recording_->Stop});
  }

  if (builtIn) {
    SPTIHoldExclusive(component->HaId, component->Target, component->Lun, false);
    ReinitASPILayer();
  }
  const std::string error = cache->FMessage();
  bool detached;
  {
    std::lock_guard g(gLock);
    detached = recording_->Component == nullptr;
  }
  // A component that let the thread go may be gone: touch nothing of it.
  if (!detached) {
    component->TrackChecksums = cache->Checksums();
    component->LastOutcome = cache->Outcome();
  }
  cache.reset();  // the recording start (or the next one) releases it
  if (!detached) VerifyAfterRecording(*component, error, recording_->Stop);
  // Once the track is read back, when asked; never a drive another program holds.
  if (!detached && !recording_->Stop && error != kDriveInUseText) EjectIfAsked(*component);
  Ending(error);
}

void TThWrite::Ending(const std::string& Error) {
  TRecording& rec = *recording_;
  std::unique_lock g(gLock);
  if (rec.Component && rec.Component->OnWriteDone) {
    // What the call needs is copied now: the owner may change the component's
    // handlers once the call has run.
    VEZEZadira* sender = rec.Component;
    rec.EndCall = [handler = sender->OnWriteDone, sender, Error] { handler(sender, Error); };
    const TDispatcher dispatcher = sender->Dispatcher;
    gChanged.notify_all();  // an owner waiting on the user-interface thread takes it
    g.unlock();
    if (dispatcher)
      dispatcher([recording = recording_] { RunEndCall(*recording); });
    else
      RunEndCall(rec);
    g.lock();
    gChanged.wait(g, [&] { return rec.EndCallDone; });
  }
  // The handler may have let go of the component.
  if (VEZEZadira* component = rec.Component) {
    g.unlock();
    component->ProbeUnitReady();
    g.lock();
  }
  rec.Running = false;
  gChanged.notify_all();
}
