// Shared ground of every subsystem: the object base, local date and time as
// TDateTime, and the process clock that tests replace to make waits instant.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>

// How a job ended, as a value: the text the user sees ("" when it ended
// well), and what the text was made from, so that nothing parses it back.
enum class TOutcomeCode : uint8_t {
  Ok, Failed, Aborted,
  Refused,                                         // nothing was sent that changes the disc
  SourceNotOpened, SourceUnreadable, SourceShort,  // Path names the file
  DriveError,                                      // the sense fields hold the drive's answer
};
struct TOutcome {
  TOutcome() = default;
  TOutcome(std::string text, TOutcomeCode code = TOutcomeCode::Failed, std::string path = {},
           int systemError = 0)
      : Text(std::move(text)), Code(code), Path(std::move(path)), SystemError(systemError) {}
  std::string Text;
  TOutcomeCode Code = TOutcomeCode::Failed;  // of a failure (Ok while Text is "")
  std::string Path;
  int SystemError = 0;  // the system's error number for the file, when known
  uint8_t SenseKey = 0, Asc = 0, Ascq = 0;
  bool Ok() const { return Text.empty(); }
};

// Base of every object that is passed as the Sender of an event.
class TObject {
public:
  virtual ~TObject() = default;
};

// ---------------------------------------------------------------- TDateTime
// Days since 1899-12-30, the time of day as the fraction, in local time.
using TDateTime = double;

struct TDateParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

TDateTime EncodeDateTime(const TDateParts& p);  // no range checks
TDateParts DecodeDateTime(TDateTime t);
bool IsValidDateParts(const TDateParts& p);     // calendar date, 0-23:0-59:0-59
TDateTime NowLocal();                            // the current local time
TDateTime FromUnixTimeLocal(std::time_t t);      // a file time as local time
// SOURCE_DATE_EPOCH (the reproducible-builds convention: seconds since 1970).
// False when it is unset, and when it is not a whole number of seconds
// (then *Invalid is set).
bool SourceDateEpoch(std::time_t& Seconds, bool* Invalid = nullptr);
// What the image builder takes from the clock: SOURCE_DATE_EPOCH as local
// time when it is set, so that the same folder gives the same image; else now.
TDateTime ImageClockNow();
// Current offset of local time from UTC in 15-minute units (tm_gmtoff / 900).
int16_t LocalTimeZoneOffset();

// ---------------------------------------------------------------- clock
// Every sleep and every bounded wait of the burner goes through the process
// clock, so that tests can run the long waits of a recording in no time.
class TClock {
public:
  virtual ~TClock() = default;
  virtual uint64_t NowMs() = 0;                   // monotonic milliseconds
  virtual void Sleep(uint32_t ms) = 0;            // plain wait of the calling thread
  // Waits until the eventfd `fd` is signalled or `ms` have passed; true when signalled.
  virtual bool WaitEvent(int fd, uint32_t ms) = 0;
};

TClock& Clock();                 // the clock in use
void SetClock(TClock* clock);    // nullptr restores the system clock
TClock& SystemClock();
