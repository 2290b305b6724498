#include "cli/mainloop.h"

#include <chrono>

void TMainLoop::Post(std::function<void()> call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
  changed_.notify_all();
}

void TMainLoop::Run(const std::function<bool()>& Done, const std::function<void()>& Tick,
                    unsigned TickMs) {
  using Clock = std::chrono::steady_clock;
  auto nextTick = Clock::now() + std::chrono::milliseconds(TickMs);
  while (!Done()) {
    std::function<void()> call;
    {
      std::unique_lock lock(mutex_);
      changed_.wait_until(lock, nextTick, [&] { return !calls_.empty(); });
      if (!calls_.empty()) {
        call = std::move(calls_.front());
        calls_.pop_front();
      }
    }
    if (call) call();
    if (Done()) break;
    if (Clock::now() >= nextTick) {
      Tick();
      nextTick += std::chrono::milliseconds(TickMs);
    }
  }
}
