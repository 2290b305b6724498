// mburn's user-interface thread: while a recording runs, the main thread
// carries out the calls that the recording thread hands to it, and ticks the
// progress display once a second.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class TMainLoop {
public:
  // Hands the call to the main thread without waiting (the component's
  // dispatcher: the recording thread waits for the call in the component).
  void Post(std::function<void()> call);
  // Carries out handed calls until Done() holds, calling Tick every TickMs.
  void Run(const std::function<bool()>& Done, const std::function<void()>& Tick,
           unsigned TickMs);

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> calls_;
};
