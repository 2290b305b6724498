#include "common/common.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

constexpr double kMsPerDay = 86400000.0;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

// 1899-12-30 is day 0 of TDateTime.
const int64_t kEpochShift = DaysFromCivil(1899, 12, 30);

class TSystemClock final : public TClock {
public:
  uint64_t NowMs() override {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  bool WaitEvent(int fd, uint32_t ms) override {
    const uint64_t deadline = NowMs() + ms;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      const uint64_t now = NowMs();
      const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
      const int r = ::poll(&p, 1, left);
      if (r > 0) return true;
      if (r == 0 || now >= deadline) return false;
      // EINTR: wait for the rest of the time
    }
  }
};

std::atomic<TClock*> gClock{nullptr};

}  // namespace

TDateTime EncodeDateTime(const TDateParts& p) {
  const int64_t days = DaysFromCivil(p.Year, static_cast<unsigned>(p.Month),
                                     static_cast<unsigned>(p.Day)) - kEpochShift;
  const double frac =
      ((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second) * 1000.0 + p.Millisecond;
  // Like the class library: for days before the epoch the time still counts forward.
  return days >= 0 ? days + frac / kMsPerDay : days - frac / kMsPerDay;
}

TDateParts DecodeDateTime(TDateTime t) {
  TDateParts p;
  double whole = std::trunc(t);
  double frac = std::fabs(t - whole);
  int64_t ms = std::llround(frac * kMsPerDay);
  if (ms >= static_cast<int64_t>(kMsPerDay)) {  // rounding up to the next day
    ms -= static_cast<int64_t>(kMsPerDay);
    whole += t >= 0 ? 1 : -1;
  }
  CivilFromDays(static_cast<int64_t>(whole) + kEpochShift, p.Year, p.Month, p.Day);
  p.Millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  p.Second = static_cast<int>(ms % 60);
  ms /= 60;
  p.Minute = static_cast<int>(ms % 60);
  p.Hour = static_cast<int>(ms / 60);
  return p;
}

bool IsValidDateParts(const TDateParts& p) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (p.Year < 1 || p.Year > 9999 || p.Month < 1 || p.Month > 12 || p.Day < 1) return false;
  const bool leap = (p.Year % 4 == 0 && p.Year % 100 != 0) || p.Year % 400 == 0;
  const int dim = kDays[p.Month - 1] + (p.Month == 2 && leap ? 1 : 0);
  return p.Day <= dim && p.Hour >= 0 && p.Hour < 24 && p.Minute >= 0 && p.Minute < 60 &&
         p.Second >= 0 && p.Second < 60 && p.Millisecond >= 0 && p.Millisecond < 1000;
}

TDateTime FromUnixTimeLocal(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  TDateParts p;
  p.Year = tm.tm_year + 1900;
  p.Month = tm.tm_mon + 1;
  p.Day = tm.tm_mday;
  p.Hour = tm.tm_hour;
  p.Minute = tm.tm_min;
  p.Second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  return EncodeDateTime(p);
}

bool SourceDateEpoch(std::time_t& Seconds, bool* Invalid) {
  if (Invalid) *Invalid = false;
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (text == nullptr || *text == '\0') return false;
  long long value = 0;
  const char* end = text + std::strlen(text);
  const auto [at, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || at != end || value < 0) {
    if (Invalid) *Invalid = true;
    return false;
  }
  Seconds = static_cast<std::time_t>(value);
  return true;
}

TDateTime ImageClockNow() {
  std::time_t epoch = 0;
  return SourceDateEpoch(epoch) ? FromUnixTimeLocal(epoch) : NowLocal();
}

TDateTime NowLocal() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  TDateParts p = DecodeDateTime(FromUnixTimeLocal(secs));
  p.Millisecond = static_cast<int>(ms);
  return EncodeDateTime(p);
}

int16_t LocalTimeZoneOffset() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return static_cast<int16_t>(tm.tm_gmtoff / 900);
}

TClock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

TClock& Clock() {
  TClock* c = gClock.load(std::memory_order_acquire);
  return c ? *c : SystemClock();
}

void SetClock(TClock* clock) { gClock.store(clock, std::memory_order_release); }
