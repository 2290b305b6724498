// Command execution: every drive command goes through ExecSCSICommand, which
// posts it through the bound transport, waits for completion, decodes a failure
// into LastError and writes the error trace line. Also the message channel, the
// command names of the trace and the byte-order helpers.
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "drive/command.h"
#include "drive/drive.h"

using drivecmd::RequestStatus;
using drivecmd::SetRequestStatus;

namespace {

constexpr uint32_t kMinimumWaitMs = 10000;
constexpr uint8_t kSenseLength = 24;
constexpr uint32_t kTracedDataBytes = 257;
constexpr size_t kNameWidth = 22;

struct TCommandName {
  uint8_t Code;
  std::string_view Name;
};

constexpr TCommandName kCommandNames[] = {
    {0x00, "TEST UNIT READY"},        {0x01, "REWIND UNIT"},
    {0x03, "REQUEST SENSE"},          {0x04, "FORMAT UNIT"},
    {0x12, "INQUIRY"},                {0x1B, "START STOP UNIT"},
    {0x1E, "PREVENT/ALLOW REMOVAL"},  {0x23, "READ FORMAT CAPACITIES"},
    {0x25, "READ CAPACITY"},          {0x28, "READ (10)"},
    {0x2A, "WRITE (10)"},             {0x2B, "SEEK (10)"},
    {0x2E, "WRITE AND VERIFY (10)"},  {0x2F, "VERIFY (10)"},
    {0x35, "SYNCHRONIZE CACHE"},      {0x42, "READ SUB-CHANNEL"},
    {0x43, "READ TOC/PMA/ATIP"},      {0x45, "PLAY AUDIO (10)"},
    {0x46, "GET CONFIGURATION"},      {0x47, "PLAY AUDIO MSF"},
    {0x4A, "GET EVENT/STATUS NOTIF"}, {0x4B, "PAUSE/RESUME"},
    {0x4E, "STOP PLAY/SCAN"},         {0x51, "READ DISC INFORMATION"},
    {0x52, "READ TRACK INFORMATION"}, {0x53, "RESERVE TRACK"},
    {0x54, "SEND OPC INFORMATION"},   {0x55, "MODE SELECT (10)"},
    {0x58, "REPAIR TRACK"},           {0x5A, "MODE SENSE (10)"},
    {0x5B, "CLOSE TRACK/SESSION"},    {0x5C, "READ BUFFER CAPACITY"},
    {0x5D, "SEND CUE SHEET"},         {0xA1, "BLANK"},
    {0xA2, "SEND EVENT"},             {0xA3, "SEND KEY"},
    {0xA4, "REPORT KEY"},             {0xA5, "PLAY AUDIO (12)"},
    {0xA6, "LOAD/UNLOAD CD/DVD"},     {0xA7, "SET READ AHEAD"},
    {0xA8, "READ (12)"},              {0xAA, "WRITE (12)"},
    {0xAC, "GET PERFORMANCE"},        {0xAD, "READ DVD STRUCTURE"},
    {0xB6, "SET STREAMING"},          {0xB9, "READ CD MSF"},
    {0xBA, "SCAN"},                   {0xBB, "SET CD SPEED"},
    {0xBD, "MECHANISM STATUS"},       {0xBE, "READ CD"},
    {0xBF, "SEND DVD STRUCTURE"},
};

// Commands whose failure is expected while probing and polling: no trace line.
constexpr uint8_t kUntracedCommands[] = {0x00, 0x01, 0x12, 0x1B, 0x1E, 0x23, 0x35, 0x43,
                                         0x46, 0x51, 0x52, 0x55, 0x5A, 0x5C, 0xB6, 0xBB};

std::string Hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, v);
  return buf;
}

std::array<std::string, 256> BuildCommandNames() {
  std::array<std::string, 256> names;
  for (int code = 0; code < 256; ++code) names[code] = Hex(code, 2);
  for (const TCommandName& c : kCommandNames) {
    std::string name(c.Name);
    name.resize(std::max(kNameWidth, name.size()), ' ');
    names[c.Code] = name;
  }
  return names;
}

// One completion event per request; closed on every way out.
class TEventFd {
public:
  explicit TEventFd(int fd) : fd_(fd) {}
  TEventFd(const TEventFd&) = delete;
  TEventFd& operator=(const TEventFd&) = delete;
  ~TEventFd() { Close(); }
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  void Close() {
    if (fd_ < 0) return;
    // Take the signal, if one came, before the descriptor goes: whatever the
    // signalling thread did before it is then complete for this one.
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
    ::close(fd_);
    fd_ = -1;
  }

private:
  int fd_ = -1;
};

// A completion event for one request. Descriptor 0 (what eventfd gives when
// standard input is closed) reads as "no event" in the request, so the event
// never takes a standard descriptor: those it is given are held until a
// higher one comes, then given back.
int MakeCompletionEvent() {
  int held[STDERR_FILENO + 1];
  int count = 0;
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  while (fd >= 0 && fd <= STDERR_FILENO) {
    held[count++] = fd;
    fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  while (count > 0) ::close(held[--count]);
  return fd;
}

// Most requests of a recording finish within tens of microseconds once the
// drive has them. Looking at the status that long first saves the two thread
// wake-ups of a blocking wait per request; it yields the processor meanwhile,
// and is skipped after a request that took longer, so that a slow drive costs
// no processor time.
constexpr auto kCompletionSpin = std::chrono::microseconds(200);

void SpinForCompletion(SRB_ExecSCSICmd& srb) {
  const auto until = std::chrono::steady_clock::now() + kCompletionSpin;
  while (RequestStatus(srb) == SS_PENDING && std::chrono::steady_clock::now() < until) sched_yield();
}

// Waits, on the real clock and briefly, for the signal of a request whose
// status is already final.
void AwaitLateSignal(int fd) {
  constexpr int kLateSignalMs = 1000;
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, kLateSignalMs) < 0 && errno == EINTR) {
  }
}

// Requests given up after a time-out. A library may still write a late status
// into one (or, when it could not abort it, its answer and sense), so they are
// kept until the process ends; each one stands for a time-out of ten seconds
// or more, so there are never many.
std::mutex gRetiredLock;
std::vector<std::unique_ptr<TPostedRequest>> gRetired;

void Retire(std::unique_ptr<TPostedRequest> request) {
  std::lock_guard lock(gRetiredLock);
  gRetired.push_back(std::move(request));
}

// How long a library that would not abort a request gets to finish it anyway.
constexpr auto kLetGoWait = std::chrono::seconds(2);

bool IsTraced(const SRB_ExecSCSICmd& srb, uint8_t status) {
  if (status == SS_PENDING || status == SS_COMP) return false;
  if (std::find(std::begin(kUntracedCommands), std::end(kUntracedCommands), srb.CDBByte[0]) !=
      std::end(kUntracedCommands))
    return false;
  // A long write in progress is the drive still busy, not an error.
  return !(srb.SenseArea[12] == 0x04 && srb.SenseArea[13] == 0x08);
}

std::string TraceLine(const SRB_ExecSCSICmd& srb, uint8_t status, const std::string& error) {
  std::string line = "<<< ";
  line += CommandName(srb.CDBByte[0]) + " ";
  line += "(" + Hex(srb.CDBByte[0], 2) + ") {" + Hex(srb.SRB_Flags, 2) + "|" +
          Hex(srb.SRB_CDBLen, 2) + "} - ";
  line += std::to_string(srb.SRB_HaId) + ":" + Hex(srb.SRB_Target, 1) + ":" +
          std::to_string(srb.SRB_Lun);
  line += " <" + Hex(status, 2) + ">" + " [" + Hex(srb.SRB_BufLen, 5) + "]" + " ";
  for (int i = 1; i < 16; ++i) line += Hex(srb.CDBByte[i], 2) + " ";
  line += " |";
  if (srb.SRB_BufPointer) {
    const uint32_t length = srb.SRB_BufLen;  // a packed field: no reference to it
    const uint32_t n = std::min(kTracedDataBytes, length);
    for (uint32_t i = 0; i < n; ++i) line += Hex(srb.SRB_BufPointer[i], 2) + " ";
  }
  line += "= " + Hex(srb.SRB_HaStat, 2) + " " + Hex(srb.SRB_TargStat, 2) + " " +
          Hex(srb.SenseArea[0], 2) + " " + Hex(srb.SenseArea[2], 2) + " ";
  line += "ASC:" + Hex(srb.SenseArea[12], 2) + ",ASQ:" + Hex(srb.SenseArea[13], 2) + " ";
  line += error;
  return line;
}

}  // namespace

TSCSIDevice::~TSCSIDevice() = default;

const std::string& CommandName(uint8_t opcode) {
  static const std::array<std::string, 256> names = BuildCommandNames();
  return names[opcode];
}

uint16_t SwapWord(uint16_t v) { return static_cast<uint16_t>((v << 8) | (v >> 8)); }

uint32_t SwapDWord(uint32_t v) {
  return (v << 24) | ((v << 8) & 0x00FF0000u) | ((v >> 8) & 0x0000FF00u) | (v >> 24);
}

void ReverseBytes(const void* src, void* dst, int n) {
  const auto* s = static_cast<const uint8_t*>(src);
  auto* d = static_cast<uint8_t*>(dst);
  for (int i = 0; i < n; ++i) d[n - 1 - i] = s[i];
}

TDebugWindow::~TDebugWindow() {
  for (TDebugWindowRef* reference : references_) reference->window_ = nullptr;
}

TDebugWindowRef& TDebugWindowRef::operator=(TDebugWindow* window) {
  if (window_) std::erase(window_->references_, this);
  window_ = window;
  if (window_) window_->references_.push_back(this);
  return *this;
}

void TSCSIDevice::DebugMessage(const std::string& Message, uint8_t mType) {
  if (DebugWindow) DebugWindow->AddLine(Message);
  if (OnDebugMessage) OnDebugMessage(this, Message, mType);
}

uint32_t TSCSIDevice::ExecSCSICommand(SRB_ExecSCSICmd& srb, uint32_t TimeoutMs) {
  LastError.clear();
  TargetBusy = false;
  TimedOut = false;
  LastSense.fill(0);
  if (!ASPIInitialized() || HaId == 0xFE) return SS_ILLEGAL_MODE;
  if (!stuck_.Reason.empty() && stuck_.HaId == HaId && stuck_.Target == Target &&
      stuck_.Lun == Lun) {
    // The library still holds a request to this drive that it would not abort.
    SetRequestStatus(srb, SS_ERR, HASTAT_OK);
    LastError = stuck_.Reason;
    return 1;
  }

  const bool notify = (srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0;
  TEventFd event(notify ? MakeCompletionEvent() : -1);
  if (notify && event.Get() < 0) {
    // Without an event the completion could not be awaited: fail, unsent.
    SetRequestStatus(srb, SS_ERR, HASTAT_OK);
    LastError = "NO COMPLETION EVENT";
    return 1;
  }
  srb.SRB_PostProc = event.Get() >= 0 ? event.Get() : 0;
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = HaId;
  srb.SRB_Target = Target;
  srb.SRB_Lun = Lun;
  srb.SRB_SenseLen = kSenseLength;
  const uint32_t waitLimit = std::max(TimeoutMs, kMinimumWaitMs);
  srb.CDBByte[1] = static_cast<uint8_t>(((Lun & 7) << 5) | (srb.CDBByte[1] & 0x1F));

  // A layer that answers within the call is handed the caller's own record.
  if (!ASPICompletesInCall() && !posted_) posted_ = std::make_unique<TPostedRequest>();
  SRB_ExecSCSICmd& req = ASPICompletesInCall() ? srb : posted_->Load(srb);

  const auto sentAt = std::chrono::steady_clock::now();
  const uint32_t sent = ASPISendCommand(&req);
  const bool promised = event.Get() >= 0 && sent == SS_PENDING;
  if (promised && quickCompletions_) SpinForCompletion(req);
  if (event.Get() >= 0 && RequestStatus(req) == SS_PENDING) Clock().WaitEvent(event.Get(), waitLimit);
  // A library that answered "pending" signals the event after it has written
  // the status. Closing the event before that signal would let it land on
  // whatever the descriptor number is given to next: the next request's event,
  // taken for a completion, or even an open file.
  if (promised && RequestStatus(req) != SS_PENDING) AwaitLateSignal(event.Get());
  if (promised) quickCompletions_ = std::chrono::steady_clock::now() - sentAt < kCompletionSpin;
  if (&req != &srb && RequestStatus(req) != SS_PENDING) posted_->Unload(srb);

  const uint8_t status = RequestStatus(srb);
  if (status != SS_PENDING && status != SS_COMP) {
    std::string text = StatusText(status, srb.SRB_HaStat, srb.SRB_TargStat);
    if (status == SS_ERR && srb.SRB_HaStat == HASTAT_OK && srb.SRB_TargStat == STATUS_BUSY)
      TargetBusy = true;
    if (text == "CHECK CONDITION") text = SenseKeyText(srb.SenseArea);
    LastError = text;
    const std::string code = SenseCodeText(srb.SenseArea[12], srb.SenseArea[13]);
    std::copy(std::begin(srb.SenseArea), std::end(srb.SenseArea), LastSense.begin());
    if (srb.SenseArea[7] != 0) LastError += " (" + code + ")";
  }
  if (IsTraced(srb, status)) DebugMessage(TraceLine(srb, status, LastError), MSG_ERROR);

  if (status == SS_PENDING) {
    // Timed out: ask the transport to drop the request before its event goes away.
    SRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = HaId;
    abort.SRB_ToAbort = &req;
    const bool aborted = ASPISendCommand(&abort) == SS_COMP;
    if (!aborted) {
      const auto until = std::chrono::steady_clock::now() + kLetGoWait;
      while (RequestStatus(req) == SS_PENDING && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      // Finished after all: its signal follows the status, as above.
      if (RequestStatus(req) != SS_PENDING && event.Get() >= 0) AwaitLateSignal(event.Get());
    }
    if (&req != &srb) {
      // Even an aborted request may get a late status: its record is not used again.
      if (!aborted && RequestStatus(req) == SS_PENDING) {
        // Still the library's: the event stays open for its signal, and the
        // drive takes no further command from this device.
        posted_->Event = event.Release();
        stuck_ = {kStuckDriveText, HaId, Target, Lun};
        DebugMessage(std::string("<<< ") + kStuckDriveText, MSG_ERROR);
      }
      Retire(std::move(posted_));
    }
    event.Close();
    SetRequestStatus(srb, SS_ERR, HASTAT_TIMEOUT);
    TimedOut = true;
  }
  return 1;
}
