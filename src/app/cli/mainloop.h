// mburn's user-interface thread: while a recording runs, the main thread
// carries out the calls that the recording thread hands to it, and ticks the
// progress display once a second.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class TMainLoop {
public:
  TMainLoop() : owner_(std::this_thread::get_id()) {}

  // Runs the call on the main thread and waits for it (the component's
  // dispatcher). On the main thread itself the call runs at once.
  void Dispatch(const std::function<void()>& call);
  // Hands the call to the main thread without waiting.
  void Post(std::function<void()> call);
  // Carries out handed calls until Done() holds, calling Tick every TickMs.
  void Run(const std::function<bool()>& Done, const std::function<void()>& Tick,
           unsigned TickMs);

private:
  std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> calls_;
};
