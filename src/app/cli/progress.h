// mburn's progress: the window's gauge on a terminal, with what a user reads
// off a recorder's display (MB written, speed, time left), and one line at the
// end with the average speed of the write loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// "42%  12.3 of 29.1 MB  3.5 MB/s (23x CD)  0:05 left"; the speed and the time
// left only once Seconds of writing have passed.
std::string ProgressText(int64_t Bytes, int64_t Total, double Seconds, bool Dvd);
// "wrote 29.1 MB in 8.3 s of writing, 3.5 MB/s on average (23x CD)"
std::string SummaryText(int64_t Bytes, double Seconds, bool Dvd);
// The same with the speed in single BD speeds (4,495 kB/s): "(5.0x BD)".
std::string ProgressText(int64_t Bytes, int64_t Total, double Seconds, bool Dvd, bool Bd);
std::string SummaryText(int64_t Bytes, double Seconds, bool Dvd, bool Bd);
// "read 29.1 MB in 8.3 s of reading, ..." for a read of a disc.
std::string SummaryText(int64_t Bytes, double Seconds, bool Dvd, bool Bd, bool Reading);

class TProgress {
public:
  TProgress();
  // The image size in sectors, and whether the speed factor is the DVD one
  // (1385 kB/s) or the CD one (150 KiB/s).
  void SetMax(int32_t Sectors) { max_ = Sectors; }
  void SetDvd(bool Dvd) { dvd_ = Dvd; }
  void SetBd(bool Bd) { bd_ = Bd; }  // the BD one (4,495 kB/s), before the DVD one
  void SetReading(bool Reading) { reading_ = Reading; }  // the summary tells of a read
  // A bar on a terminal, redrawn in place; else one line per new percentage.
  void Show(int32_t Sectors);
  // The write loop has ended (the recorder is finishing the track).
  void WriteLoopEnded();
  // Ends the bar's line, so that a status line starts on a line of its own.
  void End();
  // SummaryText of the last recording; empty when nothing was written.
  std::string Summary() const;

private:
  using TClock = std::chrono::steady_clock;
  double WritingSeconds() const;

  int32_t max_ = 100;
  int32_t sectors_ = 0;
  bool dvd_ = false, bd_ = false, reading_ = false;
  int last_ = -1;
  bool open_ = false;  // the bar stands on the terminal's current line
  bool tty_;
  bool started_ = false, ended_ = false;
  TClock::time_point start_{}, end_{};
};
