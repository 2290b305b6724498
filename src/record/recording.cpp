// The recording start and the recording thread: StartRecording fills the
// read-ahead cache once and starts TThWrite; the thread runs the disc sequence
// and ends by reporting the outcome on the user-interface thread.
//
// One recording runs at a time in the process. Its shared record lives as long
// as anybody holds it (the recording start, the thread, a stopping caller), so
// a thread that must outlive its component (the component was destroyed from
// inside the end-of-recording handler) never touches freed memory.
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

#include "iso/iso.h"
#include "record/record.h"
#include "stream/stream.h"
#include "transport/transport.h"

struct TEndCall;

// The one recording of the process. Guarded by gLock except the atomics.
struct TRecording {
  VEZEZadira* Component = nullptr;          // nullptr once detached from it
  std::shared_ptr<TCacheThread> Cache;
  std::thread Thread;
  std::thread::id StartThread;              // the caller of StartRecording: the UI thread
  std::atomic<bool> Stop{false};
  bool Running = false;                     // priming, or the thread's body not ended
  bool Detached = false;                    // the component may be gone: touch nothing of it

  // The end-of-recording call, while it is on its way to the user-interface thread.
  bool InDispatch = false;
  std::shared_ptr<TEndCall> Pending;
  // A StopRecording on the user-interface thread waiting for the thread.
  bool UiWaiter = false;

  ~TRecording() {
    if (Thread.joinable()) {
      if (Thread.get_id() == std::this_thread::get_id()) Thread.detach();
      else Thread.join();
    }
  }
};

// OnWriteDone with its arguments, run once by whoever claims it first.
struct TEndCall {
  TWriteDoneEvent Handler;
  TObject* Sender = nullptr;
  std::string Error;
  bool Claimed = false;
  std::thread::id Claimer;  // the thread that runs (or ran) the handler
  bool Done = false;
};

namespace {

// Never destroyed: a recording thread that was let go may still be leaving
// them while the process exits.
std::mutex& gLock = *new std::mutex;
std::condition_variable& gChanged = *new std::condition_variable;
std::shared_ptr<TRecording>& gCurrent = *new std::shared_ptr<TRecording>;

// Runs the end call unless somebody else did; the lock is not held while the
// handler runs (it may use the component, or stop or destroy it).
void RunEndCall(const std::shared_ptr<TEndCall>& call) {
  {
    std::lock_guard g(gLock);
    if (call->Claimed) return;
    call->Claimed = true;
    call->Claimer = std::this_thread::get_id();
  }
  call->Handler(call->Sender, call->Error);
  std::lock_guard g(gLock);
  call->Done = true;
  gChanged.notify_all();
}

// Takes a finished recording's thread and cache out of the process-wide record;
// the caller releases them outside the lock.
void TakeRemains(TRecording& rec, std::thread& thread, std::shared_ptr<TCacheThread>& cache) {
  if (rec.Thread.joinable() && rec.Thread.get_id() != std::this_thread::get_id())
    thread = std::move(rec.Thread);
  cache = std::move(rec.Cache);
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
  std::shared_ptr<TRecording> rec;
  {
    std::lock_guard g(gLock);
    if (gCurrent && gCurrent->Running) {
      // The running recording keeps its cache and thread; this call changes nothing.
      rec = nullptr;
    } else {
      if (gCurrent) TakeRemains(*gCurrent, oldThread, oldCache);
      rec = std::make_shared<TRecording>();
      rec->Component = this;
      rec->StartThread = std::this_thread::get_id();
      rec->Running = true;
      gCurrent = rec;
    }
  }
  if (!rec) {
    DebugMessage(kAlreadyRecordingText, MSG_ERROR);
    return false;
  }
  // The previous recording's thread has ended its body; its cache goes before
  // the new one is made.
  if (oldThread.joinable()) oldThread.join();
  oldCache.reset();

  auto cache = std::make_shared<TCacheThread>(CacheSize(), WritePostGap, TrackLength * 2048,
                                              *this);
  {
    std::lock_guard g(gLock);
    rec->Cache = cache;
  }

  for (;;) {
    if (cache->FPrimed) break;
    const std::string message = cache->FMessage();
    if (!message.empty()) {
      TWriteDoneEvent handler = OnWriteDone;
      {
        std::lock_guard g(gLock);
        rec->Running = false;
        gChanged.notify_all();
      }
      // Last: the handler may destroy the component.
      if (handler) handler(this, message);
      return false;
    }
    Clock().Sleep(kStartPollMs);
  }

  // The thread waits for the lock before its body begins, so it starts only
  // once it is recorded as the current recording thread.
  std::lock_guard g(gLock);
  rec->Thread = std::thread([rec] { TThWrite(rec).Execute(); });
  return true;
}

// ---------------------------------------------------------------- StopRecording
void VEZEZadira::StopRecording() {
  std::unique_lock g(gLock);
  std::shared_ptr<TRecording> rec = gCurrent;
  if (!rec || rec->Component != this) return;

  if (rec->Running) {
    rec->Stop = true;
    if (rec->Cache) {
      rec->Cache->SetMessage(kAbortedText);
      rec->Cache->Abort();
    }
    const auto self = std::this_thread::get_id();
    const bool onRecordingThread = rec->Thread.get_id() == self;
    const bool onStartThread = rec->StartThread == self;
    const bool inHandler = rec->Pending && rec->Pending->Claimed && !rec->Pending->Done &&
                           rec->Pending->Claimer == self;
    // Cases in which the recording cannot end while this call waits: the call
    // comes from the end-of-recording handler (on whichever thread it runs),
    // from the recording thread itself, from the user-interface thread while
    // the recording thread waits for it there, or from inside the recording start.
    if (onRecordingThread || inHandler || (onStartThread && rec->InDispatch) ||
        (onStartThread && !rec->Thread.joinable())) {
      std::shared_ptr<TEndCall> pending = rec->Pending;
      if (pending && !pending->Claimed && onStartThread) {
        // The handler has not run yet: run it here, on the user-interface
        // thread, while the component still exists.
        g.unlock();
        RunEndCall(pending);
        g.lock();
      }
      // The thread goes on alone and touches nothing of the component.
      rec->Detached = true;
      rec->Component = nullptr;
      if (rec->Thread.joinable()) rec->Thread.detach();
      if (gCurrent == rec) gCurrent.reset();
      return;
    }
    // Wait; an end-of-recording call for the user-interface thread is run here
    // when this is that thread, since it cannot take the call while it waits.
    if (onStartThread) rec->UiWaiter = true;
    while (rec->Running) {
      if (rec->Pending && !rec->Pending->Claimed && onStartThread && !rec->InDispatch) {
        auto pending = rec->Pending;
        g.unlock();
        RunEndCall(pending);
        g.lock();
        continue;
      }
      gChanged.wait(g);
    }
    rec->UiWaiter = false;
  }

  std::thread thread;
  std::shared_ptr<TCacheThread> cache;
  TakeRemains(*rec, thread, cache);
  rec->Component = nullptr;
  rec->Detached = true;
  if (gCurrent == rec) gCurrent.reset();
  g.unlock();
  if (thread.joinable()) thread.join();
  cache.reset();  // stops and waits for the cache thread
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
  cache.reset();  // the recording start (or the next one) releases it
  Ending(error);
}

void TThWrite::Ending(const std::string& Error) {
  TRecording& rec = *recording_;
  std::unique_lock g(gLock);
  if (!rec.Detached && rec.Component->OnWriteDone) {
    auto call = std::make_shared<TEndCall>();
    call->Handler = rec.Component->OnWriteDone;
    call->Sender = rec.Component;
    call->Error = Error;
    rec.Pending = call;
    if (rec.UiWaiter) {
      // The user-interface thread waits in StopRecording and runs the call there.
      gChanged.notify_all();
      gChanged.wait(g, [&] { return call->Done; });
    } else {
      TDispatcher dispatcher = rec.Component->Dispatcher;
      rec.InDispatch = true;
      g.unlock();
      if (dispatcher) dispatcher([call] { RunEndCall(call); });
      else RunEndCall(call);
      g.lock();
      rec.InDispatch = false;
    }
    rec.Pending.reset();
  }
  if (!rec.Detached) {
    VEZEZadira* component = rec.Component;
    g.unlock();
    component->ProbeUnitReady();
    g.lock();
  }
  rec.Running = false;
  gChanged.notify_all();
}
