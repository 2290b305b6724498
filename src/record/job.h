// The drive job: a recording, an erase or a read (a verify of its own later) with its
// thread, one at a time in the process (job.cpp).
//
// Every job of the process is described by one record under one lock. A start
// claims the drive under that lock: while a job has it, the start is refused
// and told which kind of job has it; nothing is checked first and acted on
// later.
//
// The end of a job is one hand-off through its record: the job thread copies
// under the lock what it will call, leaves the call there for the user-
// interface thread and waits until it has run; an owner that stops or awaits
// the job on that thread runs the call itself. The owner waits for the job's
// thread before it goes. Only a component destroyed from inside its own end
// handler, or from the job thread, lets go of the job instead; the thread then
// touches nothing of it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "record/record.h"

enum class TJobKind { Recording, Erase, Verify, Read };

// One job. Guarded by the job lock except Stop and what is set before the job
// is claimed.
struct TDriveJob {
  TDriveJob(TJobKind Kind, VEZEZadira* Component) : Kind(Kind), Component(Component) {}
  ~TDriveJob();

  const TJobKind Kind;
  VEZEZadira* Component;                // nullptr once the component has let go of it
  std::shared_ptr<TCacheThread> Cache;  // a recording's read-ahead cache
  std::thread Thread;
  std::thread::id UiThread;             // the thread that claimed the job
  std::atomic<bool> Stop{false};
  // Claimed: starting (a recording primes its cache first), or the thread's
  // body has not ended.
  bool Running = false;
  // The job has the drive: a start is refused. A job that still turns to the
  // drive after its end call keeps it until it ends; one that does not gives
  // it up as its end call is handed over.
  bool Busy = false;
  // The end hand-off: the call the thread leaves and waits for, taken and run
  // by whoever comes first.
  std::function<void()> EndCall;
  std::thread::id EndCaller;            // the thread running it
  bool EndCallDone = false;
};

// Makes Job the current job, Running and Busy, claimed by the calling thread.
// While another job is Busy nothing changes: the kind of that job is returned.
// Jobs whose threads have ended are released first (thread joined, cache freed).
std::optional<TJobKind> ClaimDriveJob(const std::shared_ptr<TDriveJob>& Job);
// The outcome of a start refused because a job of that kind has the drive.
const char* JobRefusalText(TJobKind Busy);
// A claimed job that ends without a thread (its start failed, or the disc
// cannot take it): it no longer runs.
void EndUnstartedJob(TDriveJob& Job);
// Starts the job's thread; Body begins once the thread is recorded in the job,
// under a TSleepInhibitor that is let go as Body returns.
// With UnlessStopped, a job asked to stop is not started (false).
bool StartJobThread(const std::shared_ptr<TDriveJob>& Job, std::function<void()> Body,
                    bool UnlessStopped);

// Read and written under the job lock.
VEZEZadira* JobComponent(const TDriveJob& Job);
std::shared_ptr<TCacheThread> JobCache(const TDriveJob& Job);
void SetJobCache(TDriveJob& Job, std::shared_ptr<TCacheThread> Cache);

// The job thread's end. Settle runs under the job lock while the component has
// not let go: it leaves the outcome in the component and returns the end call
// (empty: none), which is handed over through the component's dispatcher. Then
// After, when given and the component is still there, turns to the drive once
// more; meanwhile the job keeps it.
void EndDriveJob(const std::shared_ptr<TDriveJob>& Job,
                 const std::function<std::function<void()>(VEZEZadira&)>& Settle,
                 const std::function<void(VEZEZadira&)>& After);

// Waits until the component's latest job of that kind other than Newer has
// ended, thread and all, asking it to stop first when told to. From the job
// thread or from inside the end handler it lets go of the job instead.
void AwaitDriveJob(const VEZEZadira* Component, TJobKind Kind, bool Stop,
                   const TDriveJob* Newer = nullptr);
// A job of that kind has the drive.
bool DriveJobBusy(TJobKind Kind);

// While it lives, logind holds off sleep, shutdown and idle (as far as its
// policy lets this user) for a drive job: every job thread has one. Without a
// system bus or logind the job goes on unprotected; Failure says why.
class TSleepInhibitor {
public:
  TSleepInhibitor();
  TSleepInhibitor(const TSleepInhibitor&) = delete;
  TSleepInhibitor& operator=(const TSleepInhibitor&) = delete;
  ~TSleepInhibitor();
  bool Held() const { return fd_ >= 0; }
  const std::string& Failure() const { return failure_; }

private:
  int fd_ = -1;  // logind lifts the lock when its last copy is closed
  std::string failure_;
};

// The outcome of a failed exclusive hold of the drive (its errno).
std::string DriveHoldFailureText(int Why);
