// ExecSCSICommand against an in-process transport that completes requests at
// once, from another thread, or never; the sense texts and the trace line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "drive/drive.h"

namespace {

// The drive behind the transport: what the next executed request gets.
struct TExecDrive {
  // LateSignal: the status is final before the call returns "pending", and the
  // event is signalled from another thread some time later.
  enum class TMode { Sync, Async, Never, LateSignal } Mode = TMode::Sync;
  int LateSignalResult = 0;  // what the late write to the event returned
  uint8_t Status = SS_COMP;
  uint8_t HaStat = 0;
  uint8_t TargStat = 0;
  std::vector<uint8_t> Sense;
  std::vector<uint8_t> Data;  // written into the data buffer
  std::vector<SRB_ExecSCSICmd> Seen;
  std::vector<SRB_Abort> Aborts;
  bool AbortLater = false;  // the abort is reported on another thread, after the call
  bool AbortFails = false;  // the abort is refused: the request stays the library's
  SRB_ExecSCSICmd* Held = nullptr;  // the record the library was last handed
  std::thread Worker;

  // Set by the clock when the caller starts to wait, so that the worker
  // completes a request that is really being waited for.
  std::mutex Lock;
  std::condition_variable Changed;
  bool Waiting = false;

  void Complete(SRB_ExecSCSICmd& srb) {
    if (srb.SRB_BufPointer && !Data.empty())
      std::memcpy(srb.SRB_BufPointer, Data.data(), std::min<size_t>(Data.size(), srb.SRB_BufLen));
    if (!Sense.empty())
      std::memcpy(srb.SenseArea, Sense.data(), std::min(Sense.size(), sizeof srb.SenseArea));
    srb.SRB_HaStat = HaStat;
    srb.SRB_TargStat = TargStat;
    std::atomic_ref<uint8_t>(srb.SRB_Status).store(Status, std::memory_order_release);
    if (srb.SRB_PostProc) {
      const uint64_t one = 1;
      EXPECT_EQ(::write(static_cast<int>(srb.SRB_PostProc), &one, sizeof one), 8);
    }
  }
};

TExecDrive* gDrive = nullptr;

uint32_t Support() { return (uint32_t{SS_COMP} << 8) | 2; }

uint32_t Send(void* p) {
  TExecDrive& d = *gDrive;
  auto* header = static_cast<SRB_Header*>(p);
  if (header->SRB_Cmd == SC_ABORT_SRB) {
    d.Aborts.push_back(*static_cast<SRB_Abort*>(p));
    if (d.AbortLater) {
      auto* aborted = static_cast<SRB_ExecSCSICmd*>(d.Aborts.back().SRB_ToAbort);
      d.Worker = std::thread([aborted] {
        std::atomic_ref<uint8_t>(aborted->SRB_Status).store(SS_ABORTED, std::memory_order_release);
      });
    }
    return d.AbortFails ? SS_ABORT_FAIL : SS_COMP;
  }
  auto& srb = *static_cast<SRB_ExecSCSICmd*>(p);
  d.Seen.push_back(srb);
  d.Held = &srb;
  switch (d.Mode) {
    case TExecDrive::TMode::Sync:
      d.Complete(srb);
      return srb.SRB_Status;
    case TExecDrive::TMode::Async:
      d.Worker = std::thread([&d, &srb] {
        {
          std::unique_lock lock(d.Lock);
          d.Changed.wait_for(lock, std::chrono::seconds(30), [&] { return d.Waiting; });
        }
        d.Complete(srb);
      });
      return SS_PENDING;
    case TExecDrive::TMode::Never:
      return SS_PENDING;
    case TExecDrive::TMode::LateSignal: {
      const int fd = static_cast<int>(srb.SRB_PostProc);
      srb.SRB_PostProc = 0;  // Complete stores the status without signalling
      d.Complete(srb);
      srb.SRB_PostProc = fd;
      d.Worker = std::thread([&d, fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const uint64_t one = 1;
        d.LateSignalResult = static_cast<int>(::write(fd, &one, sizeof one));
      });
      return SS_PENDING;
    }
  }
  return SS_ERR;
}

// Records every wait; either waits for real or reports a time-out at once.
class TTestClock : public TClock {
public:
  bool TimeOut = false;
  std::vector<uint32_t> Waits;
  std::vector<int> WaitFds;
  TExecDrive* Drive = nullptr;

  uint64_t NowMs() override { return SystemClock().NowMs(); }
  void Sleep(uint32_t) override {}
  bool WaitEvent(int fd, uint32_t ms) override {
    Waits.push_back(ms);
    WaitFds.push_back(fd);
    if (TimeOut) return false;
    {
      std::lock_guard lock(Drive->Lock);
      Drive->Waiting = true;
    }
    Drive->Changed.notify_all();
    return SystemClock().WaitEvent(fd, ms);
  }
};

class TLines : public TDebugWindow {
public:
  std::vector<std::string> Lines;
  void AddLine(const std::string& line) override { Lines.push_back(line); }
};

class ExecCommand : public ::testing::Test {
protected:
  void SetUp() override {
    gDrive = &drive;
    clock.Drive = &drive;
    SetClock(&clock);
    BindASPIEntries(Support, Send);
    device.DebugWindow = &lines;
    Select(1, 0, 0);
  }
  void TearDown() override {
    if (drive.Worker.joinable()) drive.Worker.join();
    ResetASPILayer();
    SetClock(nullptr);
    gDrive = nullptr;
  }

  void Select(uint8_t ha, uint8_t target, uint8_t lun) {
    device.HaId = ha;
    device.Target = target;
    device.Lun = lun;
  }

  static SRB_ExecSCSICmd Request(std::initializer_list<uint8_t> cdb, uint8_t flags = SRB_EVENT_NOTIFY,
                                 uint8_t* data = nullptr, uint32_t length = 0) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Flags = flags;
    srb.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
    srb.SRB_BufPointer = data;
    srb.SRB_BufLen = length;
    return srb;
  }

  // A failure with fixed-format sense: key, ASC, ASCQ and the additional length.
  void FailWith(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t additional = 10,
                uint8_t response = 0x70) {
    drive.Status = SS_ERR;
    drive.TargStat = STATUS_CHKCOND;
    drive.Sense.assign(18, 0);
    drive.Sense[0] = response;
    drive.Sense[2] = key;
    drive.Sense[7] = additional;
    drive.Sense[12] = asc;
    drive.Sense[13] = ascq;
  }

  std::string Run(std::initializer_list<uint8_t> cdb) {
    SRB_ExecSCSICmd srb = Request(cdb);
    device.ExecSCSICommand(srb, 10000);
    return device.LastError;
  }

  TSCSIDevice device;  // made before anything is bound: it scans nothing
  TExecDrive drive;
  TTestClock clock;
  TLines lines;
};

TEST_F(ExecCommand, NothingIsSentWithoutASelectedDeviceOrTransport) {
  Select(0xFE, 0xFE, 0xFE);
  SRB_ExecSCSICmd srb = Request({0x00, 0x12, 0, 0, 0, 0});
  const SRB_ExecSCSICmd before = srb;
  device.LastError = "OLD";
  device.TargetBusy = true;
  device.LastSense.fill(0x33);
  EXPECT_EQ(device.ExecSCSICommand(srb, 10000), SS_ILLEGAL_MODE);
  EXPECT_EQ(std::memcmp(&srb, &before, sizeof srb), 0);
  EXPECT_EQ(device.LastError, "");
  EXPECT_FALSE(device.TargetBusy);
  EXPECT_EQ(device.LastSense, (std::array<uint8_t, 33>{}));

  Select(1, 0, 0);
  ResetASPILayer();
  EXPECT_EQ(device.ExecSCSICommand(srb, 10000), SS_ILLEGAL_MODE);
  EXPECT_EQ(std::memcmp(&srb, &before, sizeof srb), 0);
  EXPECT_TRUE(drive.Seen.empty());
  EXPECT_TRUE(lines.Lines.empty());
}

TEST_F(ExecCommand, RequestCarriesTheSelectedAddressAndLunBits) {
  Select(1, 2, 3);
  SRB_ExecSCSICmd srb = Request({0x28, 0xFF, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_EVENT_NOTIFY | SRB_DIR_IN);
  EXPECT_EQ(device.ExecSCSICommand(srb, 10000), 1u);
  ASSERT_EQ(drive.Seen.size(), 1u);
  const SRB_ExecSCSICmd& sent = drive.Seen[0];
  EXPECT_EQ(sent.SRB_Cmd, SC_EXEC_SCSI_CMD);
  EXPECT_EQ(sent.SRB_HaId, 1);
  EXPECT_EQ(sent.SRB_Target, 2);
  EXPECT_EQ(sent.SRB_Lun, 3);
  EXPECT_EQ(sent.SRB_SenseLen, 24);
  EXPECT_EQ(sent.CDBByte[1], 0x7F);  // lun 3 in bits 5-7, the low five bits kept
  const int64_t postProc = sent.SRB_PostProc;  // packed: compared by value
  EXPECT_NE(postProc, 0);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(device.LastError, "");
  EXPECT_TRUE(clock.Waits.empty());  // completed at once: no wait

  srb = Request({0x00, 0, 0, 0, 0, 0}, 0);
  device.ExecSCSICommand(srb, 10000);
  const int64_t noEvent = drive.Seen.back().SRB_PostProc;
  EXPECT_EQ(noEvent, 0);
}

// With standard input closed a new descriptor would be 0, which reads as "no event".
TEST_F(ExecCommand, CompletionEventIsAboveTheStandardStreamsAndClosedAfterTheCommand) {
  const int input = ::dup(STDIN_FILENO);
  ::close(STDIN_FILENO);
  drive.Mode = TExecDrive::TMode::Async;
  SRB_ExecSCSICmd srb = Request({0x00, 0, 0, 0, 0, 0});
  device.ExecSCSICommand(srb, 10000);
  drive.Worker.join();
  const int fd = static_cast<int>(drive.Seen[0].SRB_PostProc);
  const int closed = ::fcntl(fd, F_GETFD);
  ::dup2(input, STDIN_FILENO);
  ::close(input);
  EXPECT_GT(fd, STDERR_FILENO);
  EXPECT_EQ(closed, -1);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_FALSE(device.TimedOut);
}

TEST_F(ExecCommand, CompletionFromAnotherThreadIsAwaited) {
  drive.Mode = TExecDrive::TMode::Async;
  FailWith(2, 0x3A, 0x00);
  uint8_t data[8] = {};
  SRB_ExecSCSICmd srb = Request({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_EVENT_NOTIFY | SRB_DIR_IN,
                                data, sizeof data);
  EXPECT_EQ(device.ExecSCSICommand(srb, 20000), 1u);
  drive.Worker.join();
  ASSERT_EQ(clock.Waits.size(), 1u);
  EXPECT_EQ(clock.Waits[0], 20000u);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(device.LastError, "NOT READY (MEDIUM NOT PRESENT)");
  EXPECT_TRUE(drive.Aborts.empty());
}

// The event must still be open when a library that answered "pending" signals
// it, even though the status was final at once; closed early, the signal would
// land on whatever took the descriptor number next.
TEST_F(ExecCommand, EventOutlivesTheLateSignalOfAPendingRequest) {
  drive.Mode = TExecDrive::TMode::LateSignal;
  SRB_ExecSCSICmd srb = Request({0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(device.ExecSCSICommand(srb, 10000), 1u);
  drive.Worker.join();
  EXPECT_EQ(drive.LateSignalResult, 8);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(device.LastError, "");
  EXPECT_FALSE(device.TimedOut);
  EXPECT_EQ(::fcntl(static_cast<int>(drive.Seen[0].SRB_PostProc), F_GETFD), -1);

  // The next request, completed from another thread, is not disturbed.
  drive.Mode = TExecDrive::TMode::Async;
  srb = Request({0x00, 0, 0, 0, 0, 0});
  device.ExecSCSICommand(srb, 10000);
  drive.Worker.join();
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_FALSE(device.TimedOut);
}

TEST_F(ExecCommand, TimeOutPostsAnAbortAndReportsHostAdapterTimeout) {
  drive.Mode = TExecDrive::TMode::Never;
  clock.TimeOut = true;
  SRB_ExecSCSICmd srb = Request({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_EVENT_NOTIFY | SRB_DIR_OUT);
  EXPECT_EQ(device.ExecSCSICommand(srb, 5000), 1u);
  ASSERT_EQ(clock.Waits.size(), 1u);
  EXPECT_EQ(clock.Waits[0], 10000u);  // never less than ten seconds
  EXPECT_EQ(clock.WaitFds[0], static_cast<int>(drive.Seen[0].SRB_PostProc));
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_TIMEOUT);
  EXPECT_EQ(device.LastError, "");
  EXPECT_TRUE(lines.Lines.empty());
  ASSERT_EQ(drive.Aborts.size(), 1u);
  EXPECT_EQ(drive.Aborts[0].SRB_Cmd, SC_ABORT_SRB);
  EXPECT_EQ(drive.Aborts[0].SRB_HaId, 1);
  const void* toAbort = drive.Aborts[0].SRB_ToAbort;
  EXPECT_EQ(toAbort, drive.Held);
  EXPECT_EQ(::fcntl(clock.WaitFds[0], F_GETFD), -1);

  srb = Request({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_EVENT_NOTIFY | SRB_DIR_OUT);
  device.ExecSCSICommand(srb, 240000);
  EXPECT_EQ(clock.Waits.back(), 240000u);

  // The library reports the abort from its own thread while the caller gives up.
  drive.AbortLater = true;
  srb = Request({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_EVENT_NOTIFY | SRB_DIR_OUT);
  device.ExecSCSICommand(srb, 10000);
  drive.Worker.join();
  EXPECT_TRUE(device.TimedOut);
  EXPECT_NE(srb.SRB_Status, SS_COMP);
}

// A library that will not abort a timed-out request may still answer it later:
// that answer must land in memory of the device's, never in the caller's record
// or buffer, which are gone by then; and the drive takes no further command.
TEST_F(ExecCommand, RequestTheLibraryWillNotAbortNeverWritesIntoTheCaller) {
  drive.Mode = TExecDrive::TMode::Never;
  drive.AbortFails = true;
  clock.TimeOut = true;
  drive.Data = {1, 2, 3, 4};
  auto data = std::make_unique<uint8_t[]>(4);
  SRB_ExecSCSICmd srb = Request({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_EVENT_NOTIFY | SRB_DIR_IN,
                                data.get(), 4);
  device.ExecSCSICommand(srb, 10000);
  EXPECT_TRUE(device.TimedOut);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_TIMEOUT);
  ASSERT_NE(drive.Held, nullptr);
  EXPECT_NE(drive.Held, &srb);
  drive.Complete(*drive.Held);  // the late answer, after the caller gave up
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  ASSERT_FALSE(lines.Lines.empty());
  EXPECT_EQ(lines.Lines.back(), std::string("<<< ") + kStuckDriveText);

  // Refused unsent, with the reason; another drive is not affected.
  clock.TimeOut = false;
  drive.Mode = TExecDrive::TMode::Sync;
  EXPECT_EQ(Run({0x00, 0, 0, 0, 0, 0}), kStuckDriveText);
  EXPECT_EQ(drive.Seen.size(), 1u);
  Select(1, 1, 0);
  EXPECT_EQ(Run({0x00, 0, 0, 0, 0, 0}), "");
  EXPECT_EQ(drive.Seen.size(), 2u);
}

TEST_F(ExecCommand, TargetBusyIsReportedWithoutSenseDecoding) {
  drive.Status = SS_ERR;
  drive.TargStat = STATUS_BUSY;
  drive.Sense = {0x70, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x3A, 0};
  EXPECT_EQ(Run({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}), "TARGET BUSY");
  EXPECT_TRUE(device.TargetBusy);
  EXPECT_EQ(device.LastSense[12], 0x3A);

  drive.Status = SS_COMP;
  drive.TargStat = 0;
  EXPECT_EQ(Run({0x00, 0, 0, 0, 0, 0}), "");
  EXPECT_FALSE(device.TargetBusy);
  EXPECT_EQ(device.LastSense, (std::array<uint8_t, 33>{}));
}

struct TSenseCase {
  uint8_t response, key, asc, ascq, additional;
  const char* text;
};

TEST_F(ExecCommand, SenseIsDecodedIntoLastError) {
  const TSenseCase cases[] = {
      {0x70, 0x05, 0x24, 0x00, 10, "ILLEGAL REQUEST (INVALID FIELD IN CDB)"},
      {0x70, 0x05, 0x24, 0x00, 0, "ILLEGAL REQUEST"},
      {0x71, 0x02, 0x3A, 0x00, 10, "NOT READY (MEDIUM NOT PRESENT)"},
      {0x70, 0x03, 0x64, 0x05, 10, "MEDIUM ERROR (100,5)"},
      {0x00, 0x02, 0x3A, 0x00, 10, " (MEDIUM NOT PRESENT)"},
      {0x00, 0x02, 0x3A, 0x00, 0, ""},
      {0x72, 0x02, 0x3A, 0x00, 0, "UNKNOWN"},
      {0x70, 0x80, 0x00, 0x00, 0, "FILEMARK"},
      {0x70, 0x40, 0x00, 0x00, 0, "END OF MEDIA"},
      {0x70, 0x20, 0x00, 0x00, 0, "ILLEGAL LENGTH"},
      {0x70, 0x00, 0x00, 0x00, 0, "NO ADDITIONAL SENSE INFORMATION"},
      {0x70, 0x06, 0x28, 0x00, 10, "UNIT ATTENTION (NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED)"},
      {0x70, 0x09, 0x00, 0x00, 0, "CHECK CONDITION"},
      {0x70, 0x0A, 0x00, 0x00, 0, "COPYABORTED"},
      {0x70, 0x0C, 0x00, 0x00, 0, "CHECK CONDITION"},
      {0x70, 0x0F, 0x00, 0x00, 0, "RESERVED"},
  };
  for (const TSenseCase& c : cases) {
    SCOPED_TRACE(c.text);
    FailWith(c.key, c.asc, c.ascq, c.additional, c.response);
    EXPECT_EQ(Run({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}), c.text);
    EXPECT_EQ(std::memcmp(device.LastSense.data(), drive.Sense.data(), drive.Sense.size()), 0);
  }
}

// The error status is split by host adapter status first, then target status.
TEST(StatusText, ErrorStatusDependsOnHostAdapterThenTargetStatus) {
  EXPECT_EQ(StatusText(0x04, 0x00, 0x00), "CHECK CONDITION");
  EXPECT_EQ(StatusText(0x04, 0x00, 0x28), "TARGET QUEUE FULL");
  EXPECT_EQ(StatusText(0x04, 0x00, 0x30), "UNKNOWN");
  EXPECT_EQ(StatusText(0x04, 0x09, 0x02), "COMMAND TIMEOUT");
  EXPECT_EQ(StatusText(0x04, 0x14, 0x00), "UNKNOWN");
  EXPECT_EQ(StatusText(0x01, 0x09, 0x08), "");
  EXPECT_EQ(StatusText(0xE8, 0, 0), "UNKNOWN");
}

TEST_F(ExecCommand, TraceLineIsLeftOutForProbingCommandsAndLongWrites) {
  const uint8_t untraced[] = {0x00, 0x01, 0x12, 0x1B, 0x1E, 0x23, 0x35, 0x43,
                              0x46, 0x51, 0x52, 0x55, 0x5A, 0x5C, 0xB6, 0xBB};
  const uint8_t traced[] = {0x04, 0x0D, 0x25, 0x28, 0x2A, 0x53, 0x5B, 0xA1, 0xBF};
  FailWith(0x05, 0x24, 0x00);
  for (uint8_t op : untraced) Run({op, 0, 0, 0, 0, 0});
  EXPECT_TRUE(lines.Lines.empty());
  for (uint8_t op : traced) Run({op, 0, 0, 0, 0, 0});
  EXPECT_EQ(lines.Lines.size(), std::size(traced));

  lines.Lines.clear();
  FailWith(0x02, 0x04, 0x08);  // long write in progress
  EXPECT_EQ(Run({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}),
            "NOT READY (LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS)");
  FailWith(0x02, 0x04, 0x07);
  Run({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0});
  EXPECT_EQ(lines.Lines.size(), 1u);

  lines.Lines.clear();
  drive.Status = SS_COMP;
  Run({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0});
  EXPECT_TRUE(lines.Lines.empty());
}

TEST_F(ExecCommand, TraceLineOfAFailedWrite) {
  FailWith(0x03, 0x0C, 0x09);
  uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  SRB_ExecSCSICmd srb = Request({0x2A, 0, 0, 0, 0x10, 0, 0, 0, 2, 0}, SRB_EVENT_NOTIFY | SRB_DIR_OUT,
                                data, sizeof data);
  std::vector<uint8_t> kinds;
  device.OnDebugMessage = [&](TObject* sender, const std::string&, uint8_t kind) {
    EXPECT_EQ(sender, &device);
    kinds.push_back(kind);
  };
  device.ExecSCSICommand(srb, 10000);
  ASSERT_EQ(lines.Lines.size(), 1u);
  EXPECT_EQ(lines.Lines[0],
            "<<< WRITE (10)             (2A) {50|0A} - 1:0:0 <04> [00004] "
            "00 00 00 10 00 00 00 02 00 00 00 00 00 00 00  |DE AD BE EF "
            "= 00 02 70 03 ASC:0C,ASQ:09 MEDIUM ERROR (WRITE ERROR - LOSS OF STREAMING)");
  EXPECT_EQ(kinds, std::vector<uint8_t>{MSG_ERROR});
}

TEST_F(ExecCommand, TraceLineOfAnUnnamedCommandWithoutData) {
  Select(0, 11, 1);
  drive.Status = SS_NO_DEVICE;
  SRB_ExecSCSICmd srb = Request({0x0D, 0x01, 0, 0, 0, 0});
  device.ExecSCSICommand(srb, 10000);
  ASSERT_EQ(lines.Lines.size(), 1u);
  EXPECT_EQ(lines.Lines[0],
            "<<< 0D (0D) {40|06} - 0:B:1 <82> [00000] "
            "21 00 00 00 00 00 00 00 00 00 00 00 00 00 00  |"
            "= 00 00 00 00 ASC:00,ASQ:00 NO DEVICE");
}

TEST_F(ExecCommand, TraceLineShowsAtMost257DataBytes) {
  FailWith(0x04, 0x00, 0x00, 0);
  std::vector<uint8_t> data(0x12345, 0xAB);
  drive.Data = data;
  SRB_ExecSCSICmd srb = Request({0xBE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SRB_EVENT_NOTIFY | SRB_DIR_IN,
                                data.data(), static_cast<uint32_t>(data.size()));
  device.ExecSCSICommand(srb, 10000);
  ASSERT_EQ(lines.Lines.size(), 1u);
  std::string bytes;
  for (int i = 0; i < 257; ++i) bytes += "AB ";
  EXPECT_EQ(lines.Lines[0],
            "<<< READ CD                (BE) {48|0C} - 1:0:0 <04> [12345] "
            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  |" +
                bytes + "= 00 02 70 04 ASC:00,ASQ:00 HARDWARE ERROR");
}

TEST(DebugMessage, GoesToTheWindowThenTheEvent) {
  TSCSIDevice device;
  std::vector<std::string> order;
  struct TWindow : TDebugWindow {
    std::vector<std::string>* Order = nullptr;
    void AddLine(const std::string& line) override { Order->push_back("window " + line); }
  } window;
  window.Order = &order;
  device.DebugMessage("first", MSG_INFO);  // no sink: nothing happens
  device.DebugWindow = &window;
  device.OnDebugMessage = [&](TObject* sender, const std::string& message, uint8_t kind) {
    EXPECT_EQ(sender, &device);
    order.push_back("event " + message + " " + std::to_string(kind));
  };
  device.DebugMessage(">>> hello", MSG_LIMIT);
  EXPECT_EQ(order, (std::vector<std::string>{"window >>> hello", "event >>> hello 3"}));

  {  // a memo that goes first is forgotten, and forgets a device that went before it
    TWindow gone;
    device.DebugWindow = &gone;
    TSCSIDevice other;
    other.DebugWindow = &gone;
  }
  EXPECT_FALSE(device.DebugWindow);
  device.DebugMessage("after", MSG_ERROR);
  EXPECT_EQ(order.back(), "event after 0");
}

TEST(ByteOrder, SwapsAndReverses) {
  EXPECT_EQ(SwapWord(0x1234), 0x3412);
  EXPECT_EQ(SwapDWord(0x12345678u), 0x78563412u);
  EXPECT_EQ(SwapDWord(0xFF000001u), 0x010000FFu);
  const uint8_t src[5] = {1, 2, 3, 4, 5};
  uint8_t dst[5] = {9, 9, 9, 9, 9};
  ReverseBytes(src, dst, 0);
  ReverseBytes(src, dst, -3);
  EXPECT_EQ(dst[0], 9);
  ReverseBytes(src, dst, 5);
  EXPECT_EQ(std::vector<uint8_t>(dst, dst + 5), (std::vector<uint8_t>{5, 4, 3, 2, 1}));
}

TEST(CommandNames, AreTwentyTwoWideOrTheHexCode) {
  EXPECT_EQ(CommandName(0x00), "TEST UNIT READY       ");
  EXPECT_EQ(CommandName(0x4A), "GET EVENT/STATUS NOTIF");
  EXPECT_EQ(CommandName(0xBF), "SEND DVD STRUCTURE    ");
  EXPECT_EQ(CommandName(0x0D), "0D");
  EXPECT_EQ(CommandName(0xFF), "FF");
  int named = 0;
  for (int op = 0; op < 256; ++op) {
    const std::string& name = CommandName(static_cast<uint8_t>(op));
    if (name.size() == 22) ++named;
    else EXPECT_EQ(name.size(), 2u) << op;
  }
  EXPECT_EQ(named, 51);
}

// The (ASC, ASCQ) pairs the drives' texts cover, as ranges of ASCQ per ASC.
struct TCoverage {
  uint8_t asc, from, to;
};

constexpr TCoverage kCovered[] = {
    {0x00, 0x00, 0x00}, {0x00, 0x06, 0x06}, {0x00, 0x11, 0x17}, {0x02, 0x00, 0x00},
    {0x04, 0x00, 0x04}, {0x04, 0x07, 0x09}, {0x05, 0x00, 0x00}, {0x06, 0x00, 0x00},
    {0x07, 0x00, 0x00}, {0x08, 0x00, 0x04}, {0x09, 0x00, 0x04}, {0x0A, 0x00, 0x00},
    {0x0B, 0x00, 0x02}, {0x0C, 0x00, 0x00}, {0x0C, 0x07, 0x0A}, {0x0D, 0x00, 0x05},
    {0x11, 0x00, 0x02}, {0x11, 0x05, 0x06}, {0x11, 0x0D, 0x11}, {0x14, 0x00, 0x01},
    {0x15, 0x00, 0x02}, {0x17, 0x00, 0x05}, {0x17, 0x07, 0x09}, {0x18, 0x00, 0x06},
    {0x18, 0x08, 0x08}, {0x1A, 0x00, 0x00}, {0x1B, 0x00, 0x00}, {0x1D, 0x00, 0x00},
    {0x20, 0x00, 0x00}, {0x21, 0x00, 0x02}, {0x24, 0x00, 0x01}, {0x25, 0x00, 0x00},
    {0x26, 0x00, 0x0D}, {0x27, 0x00, 0x06}, {0x28, 0x00, 0x01}, {0x29, 0x00, 0x06},
    {0x2A, 0x00, 0x05}, {0x2B, 0x00, 0x00}, {0x2C, 0x00, 0x00}, {0x2C, 0x03, 0x04},
    {0x2C, 0x06, 0x06}, {0x2E, 0x00, 0x00}, {0x2F, 0x00, 0x00}, {0x30, 0x00, 0x09},
    {0x30, 0x10, 0x10}, {0x31, 0x00, 0x02}, {0x34, 0x00, 0x00}, {0x35, 0x00, 0x04},
    {0x37, 0x00, 0x00}, {0x39, 0x00, 0x00}, {0x3A, 0x00, 0x04}, {0x3B, 0x0D, 0x0F},
    {0x3B, 0x11, 0x16}, {0x3D, 0x00, 0x00}, {0x3E, 0x00, 0x04}, {0x3F, 0x00, 0x11},
    {0x43, 0x00, 0x00}, {0x44, 0x00, 0x00}, {0x45, 0x00, 0x00}, {0x46, 0x00, 0x00},
    {0x47, 0x00, 0x04}, {0x48, 0x00, 0x00}, {0x49, 0x00, 0x00}, {0x4A, 0x00, 0x00},
    {0x4B, 0x00, 0x00}, {0x4C, 0x00, 0x00}, {0x4E, 0x00, 0x00}, {0x51, 0x00, 0x01},
    {0x53, 0x00, 0x00}, {0x53, 0x02, 0x02}, {0x55, 0x02, 0x04}, {0x57, 0x00, 0x00},
    {0x5A, 0x00, 0x03}, {0x5B, 0x00, 0x03}, {0x5D, 0x00, 0x03}, {0x5D, 0xFF, 0xFF},
    {0x5E, 0x00, 0x04}, {0x63, 0x00, 0x01}, {0x64, 0x00, 0x01}, {0x65, 0x00, 0x00},
    {0x6F, 0x00, 0x05}, {0x72, 0x00, 0x05}, {0x73, 0x00, 0x06},
};

bool IsNumeric(const std::string& text, uint8_t asc, uint8_t ascq) {
  return text == std::to_string(asc) + "," + std::to_string(ascq);
}

// The reference texts: "asc<TAB>ascq<TAB>description" in hexadecimal, under a heading.
std::map<std::pair<unsigned, unsigned>, std::string> ReadSenseTexts() {
  std::ifstream in(MBURN_SOURCE_DIR "/tests/drive/data/asc-ascq.tsv");
  std::map<std::pair<unsigned, unsigned>, std::string> texts;
  unsigned asc, ascq;
  int at = 0;
  for (std::string line; std::getline(in, line);)
    if (std::sscanf(line.c_str(), "%x\t%x\t%n", &asc, &ascq, &at) == 2)
      texts[{asc, ascq}] = line.substr(static_cast<size_t>(at));
  return texts;
}

// Every pair of the reference file has its text word for word, the file holds
// exactly the covered pairs, and every other pair is shown as two numbers.
TEST(SenseCodeText, CoversEveryListedPairAndNumbersTheRest) {
  const auto texts = ReadSenseTexts();
  ASSERT_EQ(texts.size(), 256u);
  for (int asc = 0; asc < 256; ++asc) {
    for (int ascq = 0; ascq < 256; ++ascq) {
      bool listed = false;
      for (const TCoverage& c : kCovered)
        listed |= c.asc == asc && ascq >= c.from && ascq <= c.to;
      const auto reference = texts.find({unsigned(asc), unsigned(ascq)});
      EXPECT_EQ(listed, reference != texts.end()) << asc << "," << ascq;
      const std::string text = SenseCodeText(static_cast<uint8_t>(asc), static_cast<uint8_t>(ascq));
      if (reference != texts.end())
        EXPECT_EQ(text, reference->second) << asc << "," << ascq;
      else
        EXPECT_TRUE(IsNumeric(text, asc, ascq)) << asc << "," << ascq << " " << text;
    }
  }
  EXPECT_EQ(SenseCodeText(0x04, 0x08), "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS");
  EXPECT_EQ(SenseCodeText(0x21, 0x00), "LOGICAL BLOCK ADDRESS OUT OF RANGE");
  EXPECT_EQ(SenseCodeText(0x0C, 0x09), "WRITE ERROR - LOSS OF STREAMING");
  EXPECT_EQ(SenseCodeText(0x73, 0x03), "POWER CALIBRATION AREA ERROR");
  EXPECT_EQ(SenseCodeText(0x64, 0x05), "100,5");
}

}  // namespace
