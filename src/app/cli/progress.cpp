#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr double kMB = 1000.0 * 1000.0;
constexpr double kCDSpeed = 150.0 * 1024.0;  // 1x CD, bytes per second
constexpr double kDVDSpeed = 1385.0 * 1000.0;
constexpr double kBDSpeed = 4495.0 * 1000.0;

std::string Printed(const char* format, auto... values) {
  char text[160];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string SpeedText(int64_t Bytes, double Seconds, bool Dvd, bool Bd) {
  const double perSecond = Bytes / Seconds;
  const double factor = perSecond / (Bd ? kBDSpeed : Dvd ? kDVDSpeed : kCDSpeed);
  return Printed(factor < 10 ? "%.1f MB/s (%.1fx %s)" : "%.1f MB/s (%.0fx %s)",
                 perSecond / kMB, factor, Bd ? "BD" : Dvd ? "DVD" : "CD");
}

}  // namespace

std::string ProgressText(int64_t Bytes, int64_t Total, double Seconds, bool Dvd) {
  return ProgressText(Bytes, Total, Seconds, Dvd, false);
}

std::string SummaryText(int64_t Bytes, double Seconds, bool Dvd) {
  return SummaryText(Bytes, Seconds, Dvd, false);
}

std::string ProgressText(int64_t Bytes, int64_t Total, double Seconds, bool Dvd, bool Bd) {
  Bytes = std::clamp<int64_t>(Bytes, 0, std::max<int64_t>(Total, 0));
  const int percent = Total > 0 ? static_cast<int>(Bytes * 100 / Total) : 0;
  std::string text = Printed("%3d%%  %.1f of %.1f MB", percent, Bytes / kMB, Total / kMB);
  // Less than a second of writing says nothing about its speed.
  if (Seconds >= 1.0 && Bytes > 0) {
    const auto left = static_cast<int64_t>((Total - Bytes) * Seconds / Bytes + 0.5);
    text += "  " + SpeedText(Bytes, Seconds, Dvd, Bd) +
            Printed("  %lld:%02lld left", static_cast<long long>(left / 60),
                    static_cast<long long>(left % 60));
  }
  return text;
}

std::string SummaryText(int64_t Bytes, double Seconds, bool Dvd, bool Bd) {
  return SummaryText(Bytes, Seconds, Dvd, Bd, false);
}

std::string SummaryText(int64_t Bytes, double Seconds, bool Dvd, bool Bd, bool Reading) {
  const char* did = Reading ? "read" : "wrote";
  const char* doing = Reading ? "reading" : "writing";
  if (Seconds < 0.1) return Printed("%s %.1f MB in less than 0.1 s of %s", did, Bytes / kMB, doing);
  return Printed("%s %.1f MB in %.1f s of %s, ", did, Bytes / kMB, Seconds, doing) +
         SpeedText(Bytes, Seconds, Dvd, Bd) + " on average";
}

TProgress::TProgress() : tty_(isatty(STDERR_FILENO) != 0) {}

double TProgress::WritingSeconds() const {
  if (!started_) return 0;
  return std::chrono::duration<double>((ended_ ? end_ : TClock::now()) - start_).count();
}

void TProgress::Show(int32_t Sectors) {
  if (Sectors > 0 && !started_) {
    started_ = true;
    start_ = TClock::now();
  }
  sectors_ = std::max(sectors_, Sectors);
  const int64_t clamped = std::clamp<int64_t>(Sectors, 0, max_);
  const int percent = max_ > 0 ? static_cast<int>(clamped * 100 / max_) : 0;
  if (tty_) {
    const int filled = percent * 30 / 100;
    const std::string text =
        ProgressText(clamped * 2048, int64_t{max_} * 2048, WritingSeconds(), dvd_, bd_);
    // Padded, so that a shorter line covers a longer one before it.
    std::fprintf(stderr, "\r[%s%s] %-60s", std::string(filled, '#').c_str(),
                 std::string(30 - filled, '.').c_str(), text.c_str());
    open_ = true;
  } else if (percent != last_) {
    std::fprintf(stderr, "%d%%\n", percent);
  }
  last_ = percent;
  std::fflush(stderr);
}

void TProgress::WriteLoopEnded() {
  if (started_ && !ended_) {
    ended_ = true;
    end_ = TClock::now();
  }
}

void TProgress::End() {
  if (tty_ && open_) std::fputc('\n', stderr);
  open_ = false;
}

std::string TProgress::Summary() const {
  if (!started_) return {};
  return SummaryText(int64_t{sectors_} * 2048, WritingSeconds(), dvd_, bd_, reading_);
}
