// The drive jobs of the process under their one lock, and the end hand-off
// they share (see job.h).
#include "record/job.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "iso/iso.h"
#include "stream/stream.h"

namespace {

// Never destroyed: a job thread that was let go may still be leaving them
// while the process exits.
std::mutex& gLock = *new std::mutex;
std::condition_variable& gChanged = *new std::condition_variable;
// The jobs not yet released, oldest first; the last one claimed is the
// current job. At most one of them is Busy. An earlier one still runs only
// while it hands over its end after it gave up the drive.
std::vector<std::shared_ptr<TDriveJob>>& gJobs = *new std::vector<std::shared_ptr<TDriveJob>>;

// Runs the end call unless it has been taken; the lock is not held while it
// runs (the handler may use the component, or stop or destroy it).
void RunEndCall(TDriveJob& job) {
  std::unique_lock g(gLock);
  if (!job.EndCall) return;
  const std::function<void()> call = std::exchange(job.EndCall, nullptr);
  job.EndCaller = std::this_thread::get_id();
  g.unlock();
  call();
  g.lock();
  job.EndCaller = {};
  job.EndCallDone = true;
  gChanged.notify_all();
}

void Forget(const std::shared_ptr<TDriveJob>& job) {
  gJobs.erase(std::remove(gJobs.begin(), gJobs.end(), job), gJobs.end());
}

void Join(std::thread& thread) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) thread.detach();
  else thread.join();
}

}  // namespace

TDriveJob::~TDriveJob() { Join(Thread); }

std::optional<TJobKind> ClaimDriveJob(const std::shared_ptr<TDriveJob>& Job) {
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<TCacheThread>> caches;
  {
    std::lock_guard g(gLock);
    for (const auto& job : gJobs)
      if (job->Busy) return job->Kind;  // it keeps its cache and thread
    // Jobs that ended their bodies go; their threads and caches before the
    // new job makes its own.
    std::erase_if(gJobs, [&](const std::shared_ptr<TDriveJob>& job) {
      if (job->Running) return false;
      threads.push_back(std::move(job->Thread));
      caches.push_back(std::move(job->Cache));
      job->Component = nullptr;
      return true;
    });
    Job->UiThread = std::this_thread::get_id();
    Job->Running = true;
    Job->Busy = true;
    gJobs.push_back(Job);
  }
  for (std::thread& thread : threads) Join(thread);
  caches.clear();  // stops and waits for their cache threads
  return std::nullopt;
}

const char* JobRefusalText(TJobKind Busy) {
  return Busy == TJobKind::Erase ? kAlreadyErasingText
         : Busy == TJobKind::Read ? kAlreadyReadingText
                                  : kAlreadyRecordingText;
}

void EndUnstartedJob(TDriveJob& Job) {
  std::lock_guard g(gLock);
  Job.Running = false;
  Job.Busy = false;
  gChanged.notify_all();
}

bool StartJobThread(const std::shared_ptr<TDriveJob>& Job, std::function<void()> Body,
                    bool UnlessStopped) {
  std::lock_guard g(gLock);
  if (UnlessStopped && Job->Stop) return false;
  Job->Thread = std::thread([Weak = std::weak_ptr<TDriveJob>(Job), Body = std::move(Body)] {
    { std::lock_guard started(gLock); }
    const TSleepInhibitor inhibitor;
    if (!inhibitor.Held()) {
      // Said in the trace only: the job itself does not depend on the lock.
      const std::shared_ptr<TDriveJob> job = Weak.lock();
      if (VEZEZadira* component = job ? JobComponent(*job) : nullptr)
        component->DebugMessage(std::string(kNoInhibitorText) + inhibitor.Failure(), MSG_INFO);
    }
    Body();
  });
  return true;
}

VEZEZadira* JobComponent(const TDriveJob& Job) {
  std::lock_guard g(gLock);
  return Job.Component;
}

std::shared_ptr<TCacheThread> JobCache(const TDriveJob& Job) {
  std::lock_guard g(gLock);
  return Job.Cache;
}

void SetJobCache(TDriveJob& Job, std::shared_ptr<TCacheThread> Cache) {
  std::lock_guard g(gLock);
  Job.Cache = std::move(Cache);
}

void EndDriveJob(const std::shared_ptr<TDriveJob>& Job,
                 const std::function<std::function<void()>(VEZEZadira&)>& Settle,
                 const std::function<void(VEZEZadira&)>& After) {
  TDriveJob& job = *Job;
  std::unique_lock g(gLock);
  std::function<void()> call;
  TDispatcher dispatcher;
  if (job.Component) {
    // What the call needs is copied now: the owner may change the component's
    // handlers once the call has run.
    call = Settle(*job.Component);
    if (call) dispatcher = job.Component->Dispatcher;
  }
  if (!After) {
    job.Busy = false;  // nothing more goes to the drive
  }
  if (call) {
    job.EndCall = std::move(call);
    gChanged.notify_all();  // an owner waiting on the user-interface thread takes it
    g.unlock();
    if (dispatcher)
      dispatcher([Job] { RunEndCall(*Job); });
    else
      RunEndCall(job);
    g.lock();
    gChanged.wait(g, [&] { return job.EndCallDone; });
  }
  // The handler may have let go of the component.
  if (VEZEZadira* component = job.Component; component && After) {
    g.unlock();
    After(*component);
    g.lock();
  }
  job.Running = false;
  job.Busy = false;
  gChanged.notify_all();
}

void AwaitDriveJob(const VEZEZadira* Component, TJobKind Kind, bool Stop, const TDriveJob* Newer) {
  std::unique_lock g(gLock);
  const auto found = std::find_if(gJobs.rbegin(), gJobs.rend(), [&](const auto& job) {
    return job->Component == Component && job->Kind == Kind && job.get() != Newer;
  });
  if (found == gJobs.rend()) return;
  const std::shared_ptr<TDriveJob> job = *found;
  if (Stop && job->Running) {
    job->Stop = true;
    if (job->Cache) {
      job->Cache->SetOutcome({kAbortedText, TOutcomeCode::Aborted});
      job->Cache->Abort();
    }
  }
  const auto self = std::this_thread::get_id();
  if (job->Running && (job->Thread.get_id() == self || job->EndCaller == self)) {
    // From the job thread, or from inside the end handler: the job cannot end
    // while this waits. It goes on without the component and touches nothing
    // of it.
    job->Component = nullptr;
    return;
  }
  // The end call may be waiting for this very thread: then it runs here.
  const bool onUiThread = job->UiThread == self;
  while (job->Running) {
    if (onUiThread && job->EndCall) {
      g.unlock();
      RunEndCall(*job);
      g.lock();
    } else {
      gChanged.wait(g);
    }
  }
  std::thread thread = std::move(job->Thread);
  std::shared_ptr<TCacheThread> cache = std::move(job->Cache);
  job->Component = nullptr;
  Forget(job);
  g.unlock();
  Join(thread);
  cache.reset();  // stops and waits for the cache thread
}

bool DriveJobBusy(TJobKind Kind) {
  std::lock_guard g(gLock);
  return std::any_of(gJobs.begin(), gJobs.end(),
                     [&](const auto& job) { return job->Busy && job->Kind == Kind; });
}

std::string DriveHoldFailureText(int Why) {
  return Why == EBUSY ? std::string(kDriveInUseText)
                      : std::string(kDriveNotOpenedText) + " [" + std::strerror(Why) + "]";
}
