// The outcomes of a recording as the application sees them: the events, the
// end-of-recording text, BytesWritten, what reached the recorder, and the
// recording start and stop around a running recording.
#include <unistd.h>

#include <atomic>
#include <future>
#include <latch>

#include "record/record_helpers.h"

namespace rectest {
namespace {

bool HasOp(const std::vector<TLogged>& log, uint8_t op) {
  return std::any_of(log.begin(), log.end(), [&](const TLogged& l) { return l.Op() == op; });
}

// A small folder that records quickly.
void SmallFolder(const fs::path& dir) {
  WriteFile(dir / "a.txt", Pattern(3000, 1));
  WriteFile(dir / "sub" / "b.bin", Pattern(200000, 2));
}

// A user-interface thread of its own: runs dispatched calls, one at a time,
// and makes the caller wait for each.
class TUiThread {
public:
  TUiThread() : thread_([this] { Loop(); }) {}
  ~TUiThread() {
    {
      std::lock_guard g(lock_);
      quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void Dispatch(const std::function<void()>& call) {
    std::unique_lock g(lock_);
    calls_.push_back(&call);
    const size_t ticket = ++posted_;
    changed_.notify_all();
    changed_.wait(g, [&] { return done_ >= ticket; });
  }
  std::thread::id Id() const { return thread_.get_id(); }
  int Calls() {
    std::lock_guard g(lock_);
    return static_cast<int>(done_);
  }

private:
  void Loop() {
    std::unique_lock g(lock_);
    for (;;) {
      changed_.wait(g, [&] { return quit_ || !calls_.empty(); });
      if (calls_.empty()) return;
      const auto* call = calls_.front();
      calls_.erase(calls_.begin());
      g.unlock();
      (*call)();
      g.lock();
      ++done_;
      changed_.notify_all();
    }
  }
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<const std::function<void()>*> calls_;
  size_t posted_ = 0, done_ = 0;
  bool quit_ = false;
  std::thread thread_;
};

TEST(Outcome, SuccessReportsOnceWithEmptyTextOnTheDispatcherThread) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  TUiThread ui;
  VEZEZadira& c = *s.Component;
  c.Dispatcher = [&](const std::function<void()>& call) { ui.Dispatch(call); };
  std::thread::id finalizingThread;
  TRecorderRun run(c);
  c.OnFinalizingTrack = [&](TObject* sender) {
    EXPECT_EQ(sender, &c);
    finalizingThread = std::this_thread::get_id();
  };
  const TOutcome out = run.Record();
  EXPECT_TRUE(out.Started);
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(out.Error, "");
  EXPECT_EQ(out.WriteDoneThread, ui.Id());
  EXPECT_EQ(ui.Calls(), 1);
  EXPECT_NE(finalizingThread, std::thread::id());
  EXPECT_NE(finalizingThread, std::this_thread::get_id());
  EXPECT_NE(finalizingThread, ui.Id());
  EXPECT_EQ(out.BytesWritten, c.ImageSectors() * 2048);
  EXPECT_EQ(s.Recorder->Disc().Status, "appendable");
}

TEST(Outcome, FileMissingBeforePrimingFailsTheStartAndSendsNothing) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  const fs::path gone = s.Tmp / "src" / "sub" / "b.bin";
  fs::remove(gone);
  TRecorderRun run(*s.Component);
  const TOutcome out = run.Record();
  EXPECT_FALSE(out.Started);
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(out.Error, "CAN'T OPEN FILE \"" + gone.string() +
                           "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  EXPECT_TRUE(s.Recorder->Log().empty());
  EXPECT_EQ(out.FinalizingCalls, 0);
}

// The big file comes first in the table (subfolders are walked before the
// files beside them) and fills the cache; the small one is opened only once
// the recording thread has taken blocks, after the start message.
TEST(Outcome, FileMissingMidStreamStopsWritingAndLeavesTheTrackOpen) {
  TSetup s;
  ASSERT_TRUE(s.Open("cd-r"));
  WriteFile(s.Tmp / "src" / "sub" / "big.bin", Pattern(7 * 1024 * 1024, 3));
  const fs::path late = s.Tmp / "src" / "late.txt";
  WriteFile(late, Pattern(100, 4));
  ASSERT_TRUE(s.Prepare(s.Tmp / "src"));
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  AtWriteLoop(c, [&] { fs::remove(late); });
  const TOutcome out = run.Record();
  EXPECT_TRUE(out.Started);
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(out.Error, "CAN'T OPEN FILE \"" + late.string() +
                           "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  EXPECT_EQ(out.FinalizingCalls, 1);
  EXPECT_LT(out.BytesWritten, c.ImageSectors() * 2048);
  const auto log = s.Recorder->Log();
  EXPECT_TRUE(HasOp(log, 0x2A));
  EXPECT_TRUE(HasOp(log, 0x35)) << "the drive's cache is still flushed";
  EXPECT_FALSE(HasOp(log, 0x5B)) << "no closing";
  EXPECT_FALSE(HasOp(log, 0x1E)) << "no reset";
  EXPECT_NE(s.Recorder->Disc().Status, "complete");
}

TEST(Outcome, WriteErrorIsReportedWithTheDriveTextAndTheDiscIsNotClosed) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r", "write-error=100"));
  TRecorderRun run(*s.Component);
  const TOutcome out = run.Record();
  EXPECT_TRUE(out.Started);
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(out.Error.rfind("WRITER ERROR [", 0), 0u) << out.Error;
  EXPECT_GT(out.Error.size(), std::string("WRITER ERROR []").size()) << out.Error;
  EXPECT_EQ(out.Error.back(), ']');
  EXPECT_EQ(out.FinalizingCalls, 1);
  const auto writes = Only(s.Recorder->Log(), 0x2A);
  ASSERT_FALSE(writes.empty());
  EXPECT_FALSE(writes.back().Ok());
  EXPECT_LE(writes.back().Lba(), 100u);
  EXPECT_GT(writes.back().Lba() + writes.back().Count(), 100u);
  const auto log = s.Recorder->Log();
  EXPECT_FALSE(HasOp(log, 0x5B));
  EXPECT_FALSE(HasOp(log, 0x1E));
}

TEST(Outcome, DriveBusyForFiveWritesIsWaitedOut) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  // The write loop's first five commands are the first write and four
  // repetitions of it.
  AtWriteLoop(c, [&] { VRecSetBusy(0, 5); });
  const TOutcome out = run.Record();
  EXPECT_EQ(out.Error, "");
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(out.BytesWritten, c.ImageSectors() * 2048);
  const auto writes = Only(s.Recorder->Log(), 0x2A);
  ASSERT_GE(writes.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(writes[i].Lba(), 0u);
    EXPECT_EQ(writes[i].Ok(), i == 5);
  }
  EXPECT_EQ(s.Clock.Clock.Sleeps(kBusyRetryMs), 5);
  EXPECT_EQ(s.Recorder->Disc().Status, "appendable");
}

TEST(Outcome, DriveBusyForEverGivesUpAfterTenThousandTries) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  AtWriteLoop(c, [&] { VRecSetBusy(0, 1000000); });
  const TOutcome out = run.Record();
  VRecSetBusy(0, 0);
  EXPECT_EQ(out.Error, "WRITER BUSY/BUFFER FULL");
  EXPECT_EQ(Only(s.Recorder->Log(), 0x2A).size(), static_cast<size_t>(kBusyTries));
  EXPECT_EQ(s.Clock.Clock.Sleeps(kBusyRetryMs), kBusyTries);
  EXPECT_FALSE(HasOp(s.Recorder->Log(), 0x5B));
}

TEST(Outcome, WriteThatNeverCompletesEndsTheRecordingInsteadOfRetrying) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r", "sync=1,hang=2A,hang-count=1"));
  s.Clock.Clock.InstantTimeouts = true;
  TRecorderRun run(*s.Component);
  const TOutcome out = run.Record();
  s.Clock.Clock.InstantTimeouts = false;
  EXPECT_EQ(out.Error, "WRITER ERROR [COMMAND TIMEOUT]");
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(Only(s.Recorder->Log(), 0x2A).size(), 1u);
  EXPECT_EQ(s.Clock.Clock.Sleeps(kBusyRetryMs), 0);
  EXPECT_FALSE(HasOp(s.Recorder->Log(), 0x5B));
}

TEST(Outcome, TestWriteLeavesTheDiscAsItWas) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  VEZEZadira& c = *s.Component;
  c.TestWrite = true;
  c.PerformOPC = true;
  TRecorderRun run(c);
  const TOutcome out = run.Record();
  EXPECT_EQ(out.Error, "");
  EXPECT_TRUE(run.MessageSeen(">>> TEST/DUMMY WRITE"));
  const auto log = s.Recorder->Log();
  EXPECT_TRUE(HasOp(log, 0x2A));
  EXPECT_FALSE(HasOp(log, 0x54)) << "no power calibration";
  EXPECT_FALSE(HasOp(log, 0x5B)) << "no closing";
  EXPECT_TRUE(HasOp(log, 0x1E)) << "the reset still runs";
  const TVRecDiscInfo disc = s.Recorder->Disc();
  EXPECT_EQ(disc.Status, "empty");
  EXPECT_TRUE(disc.Sessions.empty() || disc.Sessions[0].Tracks.empty() ||
              disc.Sessions[0].Tracks[0].State == "blank");
  const auto bytes = ReadFile(s.Image());
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }));
}

// The verify after a recording: the recording's own outcome stays "", the
// verify's is left in the component before OnWriteDone, and the track is read
// back in 32-sector requests from its start (one sector at a time only to find
// the sector that a failed request could not read).
TEST(Outcome, VerifyReadsTheTrackBackAndNamesTheFirstBadSector) {
  struct TCase {
    const char* Medium;
    const char* Fault;
    bool Verify, TestWrite;
    const char* Error;
    std::vector<std::pair<uint32_t, uint16_t>> LastReads;  // after the last write
  };
  const std::string unreadable = "VERIFY: SECTOR 33 CANNOT BE READ [MEDIUM ERROR (UNRECOVERED READ ERROR)]";
  const TCase cases[] = {
      {"cd-r", "", false, false, "", {}},
      {"cd-r", "", true, false, "", {{256, 32}, {288, 12}}},
      {"cd-r", "corrupt-at=250", true, false, "VERIFY: SECTOR 250 DIFFERS FROM THE RECORDED DATA",
       {{224, 32}}},
      {"dvd+r", "read-error=33", true, false, unreadable.c_str(), {{32, 32}, {32, 1}, {33, 1}}},
      {"cd-r", "", true, true, kVerifySkippedText, {}},
  };
  for (const TCase& t : cases) {
    SCOPED_TRACE(std::string(t.Medium) + " " + t.Fault + (t.TestWrite ? " test write" : ""));
    TSetup s;
    ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, t.Medium, t.Fault));
    VEZEZadira& c = *s.Component;
    ASSERT_EQ(c.ImageSectors(), 300);  // padded: the verify reads the padding too
    c.VerifyAfterWrite = t.Verify;
    c.TestWrite = t.TestWrite;
    int verifying = 0;
    c.OnVerifying = [&](TObject*) { ++verifying; };
    TRecorderRun run(c);
    const TOutcome out = run.Record();
    EXPECT_EQ(out.Error, "");
    EXPECT_EQ(c.VerifyRan, t.Verify);
    EXPECT_EQ(c.VerifyError, t.Error);
    EXPECT_EQ(verifying, t.Verify && !t.TestWrite ? 1 : 0);
    if (!*t.Error) { EXPECT_EQ(c.BytesVerified, t.Verify && !t.TestWrite ? 300 * 2048 : 0); }
    std::vector<std::pair<uint32_t, uint16_t>> reads;  // after the last write, the last few
    for (const TLogged& l : s.Recorder->Log()) {
      if (l.Op() == 0x2A) reads.clear();
      if (l.Op() == 0x28) reads.emplace_back(l.Lba(), l.Count());
    }
    if (reads.size() > t.LastReads.size() && !t.LastReads.empty())
      reads.erase(reads.begin(), reads.end() - static_cast<ptrdiff_t>(t.LastReads.size()));
    EXPECT_EQ(reads, t.LastReads);
  }
}

TEST(Outcome, FinalizeTrackOffSkipsClosingButNotTheReset) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  VEZEZadira& c = *s.Component;
  c.FinalizeTrack = false;
  TRecorderRun run(c);
  const TOutcome out = run.Record();
  EXPECT_EQ(out.Error, "");
  EXPECT_EQ(out.FinalizingCalls, 1);
  const auto log = s.Recorder->Log();
  EXPECT_FALSE(HasOp(log, 0x5B));
  EXPECT_EQ(Landmarks(log).substr(Landmarks(log).find("35")), "35 BB 01 1E 1B 01 01");
}

TEST(Outcome, AddressMovedSincePreparationWritesNothing) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  VEZEZadira& c = *s.Component;
  c.StartAddress += 16;  // as if the disc had changed since the layout
  TRecorderRun run(c);
  const TOutcome out = run.Record();
  EXPECT_EQ(out.Error.rfind(kAddressMovedText, 0), 0u) << out.Error;
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_FALSE(HasOp(s.Recorder->Log(), 0x2A));
  EXPECT_EQ(s.Recorder->Disc().Status, "empty");
}

// ---------------------------------------------------------------- bounded waits
TEST(Outcome, DvdRwFormatThatNeverEndsStopsAfterThirtyMinutes) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "dvd-rw", "format-ms=7200000"));
  TRecorderRun run(*s.Component);
  const TOutcome out = run.Record();
  EXPECT_EQ(out.Error, kFormatTimeoutText);
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(out.FinalizingCalls, 0);
  EXPECT_FALSE(HasOp(s.Recorder->Log(), 0x2A));
  EXPECT_EQ(s.Clock.Clock.Sleeps(kFormatPollMs), int(kFormatWaitLimitMs / kFormatPollMs));
}

TEST(Outcome, DvdRwFormatOfAMinuteIsWaitedFor) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "dvd-rw", "format-ms=60000"));
  TRecorderRun run(*s.Component);
  const TOutcome out = run.Record();
  EXPECT_EQ(out.Error, "");
  EXPECT_GE(s.Clock.Clock.Sleeps(kFormatPollMs), 12);
  const auto log = s.Recorder->Log();
  const auto format = Only(log, 0x04);
  ASSERT_EQ(format.size(), 1u);
  EXPECT_EQ(format[0].Cdb[1], 0x11);
  EXPECT_TRUE(format[0].Ok());
}

TEST(Outcome, DvdRFlushThatNeverEndsStopsAfterTenMinutes) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "dvd-r", "long-write-ms=7200000"));
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  AtFinalizing(c, [&] {
    s.Clock.Clock.ResetCounts();  // count the flush polls only
  });
  const TOutcome out = run.Record();
  EXPECT_EQ(out.Error, kFlushTimeoutText);
  EXPECT_EQ(out.FinalizingCalls, 1);
  EXPECT_FALSE(HasOp(s.Recorder->Log(), 0x5B));
  EXPECT_EQ(s.Clock.Clock.Sleeps(kFlushPollMs), int(kFlushWaitLimitMs / kFlushPollMs));
}

// ---------------------------------------------------------------- built-in layer
// An operating system with one CD/DVD node, sr0, whose pass-through requests
// go to the virtual recorder.
class TForwardingPlatform final : public TSPTIPlatform {
public:
  std::atomic<int> Scans{0}, Closes{0};
  bool IsCDDrive(int index) override {
    if (index == 2) ++Scans;
    return index == 2;
  }
  int Open(int) override { return 7; }
  // A recording holds the drive exclusively; Busy plays another program holding it.
  std::atomic<int> Exclusive{0};
  bool Busy = false;
  int OpenExclusive(int) override {
    ++Exclusive;
    return Busy ? (errno = EBUSY, -1) : 7;
  }
  bool Close(int) override {
    ++Closes;
    return true;
  }
  bool GetAddress(int, uint8_t& port, uint8_t& target, uint8_t& lun) override {
    port = target = lun = 0;
    return true;
  }
  bool PassThrough(int, TPassThrough& r) override {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Flags = r.Dir == TPassThrough::Direction::In    ? SRB_DIR_IN
                    : r.Dir == TPassThrough::Direction::Out ? SRB_DIR_OUT
                                                            : 0;
    srb.SRB_BufLen = r.Length;
    srb.SRB_BufPointer = r.Data;
    srb.SRB_SenseLen = 24;
    srb.SRB_CDBLen = r.CdbLength;
    std::memcpy(srb.CDBByte, r.Cdb, sizeof r.Cdb);
    VRecSendASPI32Command(&srb);  // the drive runs synchronously (sync=1)
    r.ScsiStatus = srb.SRB_TargStat;
    r.SenseLength = std::min<uint8_t>(r.SenseLength, 24);
    std::memcpy(r.Sense, srb.SenseArea, r.SenseLength);
    return true;
  }
};

TEST(Outcome, BuiltInLayerIsBoundAgainAtTheEnd) {
  TForwardingPlatform platform;
  SetSPTIPlatform(&platform);
  struct TRestore {
    ~TRestore() { SetSPTIPlatform(nullptr); }
  } restore;
  {
    TSetup s;
    ASSERT_TRUE(s.Open("cd-r", "sync=1"));
    VEZEZadira& c = *s.Component;
    ResetASPILayer();  // forget the in-process binding: the built-in layer it is
    ASSERT_TRUE(c.InitDevices(true, ""));
    ASSERT_EQ(ASPILayerName(), kBuiltInLayerName);
    ASSERT_FALSE(c.DeviceList.empty());
    c.SelectDevice(c.DeviceList[0]);
    SmallFolder(s.Tmp / "src");
    ASSERT_TRUE(s.Prepare(s.Tmp / "src"));
    const int scans = platform.Scans, closes = platform.Closes;
    TRecorderRun run(c);
    const TOutcome out = run.Record();
    EXPECT_EQ(out.Error, "");
    EXPECT_EQ(s.Recorder->Disc().Status, "appendable");
    EXPECT_EQ(platform.Exclusive, 1) << "the recording had the drive to itself";
    EXPECT_GT(platform.Closes, closes) << "the drive handles were closed";
    EXPECT_GT(platform.Scans, scans) << "and the layer bound again";
    EXPECT_EQ(ASPILayerName(), kBuiltInLayerName);
    EXPECT_TRUE(ASPIInitialized());

    // Held by another program: nothing is sent, and the recording says why.
    platform.Busy = true;
    s.Recorder->ClearLog();
    ASSERT_TRUE(c.PrepareImage(false, nullptr));
    s.Recorder->ClearLog();
    TRecorderRun second(c);
    EXPECT_EQ(second.Record().Error, kDriveInUseText);
    EXPECT_FALSE(HasOp(s.Recorder->Log(), 0x2A));
  }
}

// A recording that could not finish the disc, or that would change it in a
// test write, is no success; a finalisation leaves a complete disc.
TEST(Outcome, WhatDoesNotFinishTheDiscOrMustNotTouchItIsNoSuccess) {
  struct TCase {
    const char* Medium;
    const char* Extra;
    bool TestWrite, Finalize;
    const char* Error;
    const char* Status;  // of the disc afterwards
    bool Writes;         // any WRITE (10) sent
  };
  const std::string hardware = " [HARDWARE ERROR (INTERNAL TARGET FAILURE)]";
  const TCase cases[] = {
      {"cd-r", "hang=5B", 0, 0, "CLOSING THE SESSION FAILED [COMMAND TIMEOUT]", "appendable", 1},
      {"cd-r", "fail=35", 0, 0, "SYNCHRONIZE CACHE FAILED", "appendable", 1},
      {"dvd+r", "fail=5B", 0, 0, "CLOSING THE TRACK FAILED", "appendable", 1},
      {"dvd-r", "fail=5B", 0, 0, "CLOSING THE TRACK FAILED", "appendable", 1},
      {"cd-r", "fail=55", 1, 0, "THE WRITER REFUSED THE TEST WRITE", "empty", 0},
      {"dvd+rw", "", 1, 0, "DVD+RW CANNOT BE SIMULATED: NOTHING RECORDED", "empty", 0},
      {"dvd+r", "", 0, 1, "", "complete", 1},
      {"dvd-rw-seq", "", 0, 1, "", "complete", 1},
      {"bd-r", "", 0, 1, "", "complete", 1},
      {"bd-re", "", 0, 1, "BD-RE CANNOT BE FINALIZED: NOTHING RECORDED", "empty", 0},
      {"bd-re", "fail=04", 0, 0, "FORMATTING THE DISC FAILED", "empty", 0},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(std::string(k.Medium) + " " + k.Extra);
    TSetup s;
    ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, k.Medium, std::string("sync=1,") + k.Extra));
    VEZEZadira& c = *s.Component;
    c.TestWrite = k.TestWrite;
    c.FinalizeDisc = k.Finalize;
    s.Clock.Clock.InstantTimeouts = true;  // the hung close times out at once
    TRecorderRun run(c);
    const std::string error = run.Record().Error;
    s.Clock.Clock.InstantTimeouts = false;
    const bool faulted = std::string(k.Extra).find("fail=") != std::string::npos;
    EXPECT_EQ(error, k.Error + (faulted ? hardware : ""));
    EXPECT_EQ(s.Recorder->Disc().Status, k.Status);
    EXPECT_EQ(HasOp(s.Recorder->Log(), 0x2A), k.Writes);
    if (*k.Error && k.Writes) {
      EXPECT_FALSE(s.Recorder->Disc().Sessions.back().Closed);
    }
  }
}

// ---------------------------------------------------------------- start and stop
TEST(Outcome, SecondStartWhileRecordingIsRefusedAndDisturbsNothing) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  std::mutex m;
  std::condition_variable cv;
  bool refusedDone = false, finalizing = false;
  c.OnFinalizingTrack = [&](TObject*) {
    std::unique_lock g(m);
    finalizing = true;
    cv.notify_all();
    cv.wait(g, [&] { return refusedDone; });
  };
  std::thread second([&] {
    std::unique_lock g(m);
    cv.wait(g, [&] { return finalizing; });
    g.unlock();
    const bool started = c.StartRecording();
    g.lock();
    EXPECT_FALSE(started);
    refusedDone = true;
    cv.notify_all();
  });
  const TOutcome out = run.Record();
  second.join();
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(out.Refusals, 1);
  EXPECT_EQ(out.Error, "");
  EXPECT_EQ(out.BytesWritten, c.ImageSectors() * 2048);
  EXPECT_TRUE(run.MessageSeen(kAlreadyRecordingText));
  EXPECT_EQ(Only(s.Recorder->Log(), 0x5B).size(), 1u);
  EXPECT_EQ(s.Recorder->Disc().Status, "appendable");
}

// A recording and an erase asked for at the same moment, from two threads, by
// two components of one drive: exactly one of them has the drive, the other is
// refused with its outcome, and both end. On a loaded machine one thread may
// start only once the other's short job has ended; both then do their work,
// and the round is tried again until six rounds have met.
TEST(Outcome, RecordingAndEraseAtOnceOneStartsTheOtherIsRefused) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "dvd+rw"));
  VEZEZadira& rec = *s.Component;
  VEZEZadira era;
  ASSERT_TRUE(SelectFirstDrive(era));
  std::mutex m;
  std::vector<std::string> written;
  std::vector<bool> erased;  // WithError of each OnEraseDone
  rec.OnWriteDone = [&](TObject*, const std::string& e) {
    std::lock_guard g(m);
    written.push_back(e);
  };
  era.OnEraseDone = [&](TObject*, bool withError) {
    std::lock_guard g(m);
    erased.push_back(withError);
  };
  int met = 0;
  for (int round = 0; round < 60 && met < 6; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(rec.PrepareImage(false, nullptr));
    std::latch go(2);
    bool erasing = false;
    std::thread other([&] {
      go.arrive_and_wait();
      erasing = era.EraseDisc(true);
    });
    go.arrive_and_wait();
    const bool recording = rec.StartRecording();
    other.join();
    rec.WaitForRecording();
    era.WaitForErase();
    std::lock_guard g(m);
    if (recording && erasing) {
      EXPECT_EQ(written, std::vector<std::string>{""});
      EXPECT_EQ(erased, std::vector<bool>{false});
      EXPECT_EQ(era.EraseError, "");
    } else {
      ++met;
      EXPECT_TRUE(recording || erasing);
      EXPECT_EQ(written, std::vector<std::string>{recording ? "" : kAlreadyErasingText});
      EXPECT_EQ(erased, std::vector<bool>{!erasing});
      EXPECT_EQ(era.EraseError, erasing ? "" : kAlreadyRecordingText);
    }
    EXPECT_FALSE(rec.RecordingRuns() || EraseRuns() || era.Erasing);
    written.clear();
    erased.clear();
  }
  EXPECT_EQ(met, 6);
}

// Sources that give nothing (a network mount that hangs) do not hold the start
// for good: once they have given no block for a minute it ends with that
// outcome, and nothing is sent to the disc.
TEST(Outcome, StartEndsWhenTheSourcesGiveNoData) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  VEZEZadira& c = *s.Component;
  // Every source is the read end of a pipe nobody writes to.
  static int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  SetSourceOpener([](const std::string&) { return ::dup(ends[0]); });
  // Each look at the cache takes ten seconds.
  struct TStepClock : TClock {
    std::atomic<uint64_t> Now{0};
    uint64_t NowMs() override { return Now; }
    void Sleep(uint32_t) override {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      Now += 10000;
    }
    bool WaitEvent(int fd, uint32_t ms) override { return SystemClock().WaitEvent(fd, ms); }
  } clock;
  SetClock(&clock);
  std::vector<std::string> outcomes;
  c.OnWriteDone = [&](TObject*, const std::string& error) { outcomes.push_back(error); };
  const size_t commands = s.Recorder->Log().size();
  EXPECT_FALSE(c.StartRecording());
  SetClock(nullptr);
  ::close(ends[1]);  // the stalled read ends, and the cache with it
  SetSourceOpener(nullptr);
  EXPECT_EQ(outcomes, std::vector<std::string>{kSourcesStalledText});
  EXPECT_GE(clock.Now, kPrimingStallMs);
  EXPECT_EQ(s.Recorder->Log().size(), commands);
  c.StopRecording();
  ::close(ends[0]);
}

TEST(Outcome, StopRecordingAbortsWithoutClosing) {
  TSetup s;
  ASSERT_TRUE(s.Open("cd-r"));
  WriteFile(s.Tmp / "src" / "big.bin", Pattern(9 * 1024 * 1024, 7));
  ASSERT_TRUE(s.Prepare(s.Tmp / "src"));
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  // The write loop waits (bounded) until the stop is on its way: a fast
  // recorder could otherwise write the whole track before the stop runs.
  std::atomic<bool> stopping{false};
  std::thread stopper;
  AtWriteLoop(c, [&] {
    stopper = std::thread([&] {
      stopping = true;
      c.StopRecording();
    });
    for (int i = 0; i < 200 && !stopping; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  const TOutcome out = run.Record();
  stopper.join();
  EXPECT_EQ(out.WriteDoneCalls, 1);
  EXPECT_EQ(out.Error, kAbortedText);
  EXPECT_EQ(c.LastOutcome.Code, TOutcomeCode::Aborted);
  EXPECT_LT(out.BytesWritten, c.ImageSectors() * 2048);
  EXPECT_FALSE(HasOp(s.Recorder->Log(), 0x5B));
}

// The window is closed while the recording runs: the component's destructor
// stops the recording and waits for its threads; the end-of-recording call,
// which is on its way to this (the user-interface) thread, runs here.
TEST(Outcome, DestroyingTheComponentStopsTheRecordingAndWaits) {
  TSetup s;
  ASSERT_TRUE(s.Open("cd-r"));
  WriteFile(s.Tmp / "src" / "big.bin", Pattern(9 * 1024 * 1024, 8));
  ASSERT_TRUE(s.Prepare(s.Tmp / "src"));
  auto& c = *s.Component;
  std::mutex m;
  std::condition_variable cv;
  bool writing = false;
  int doneCalls = 0;
  std::string error;
  std::thread::id doneThread;
  c.OnWriteDone = [&](TObject*, const std::string& e) {
    ++doneCalls;
    error = e;
    doneThread = std::this_thread::get_id();
  };
  // A dispatcher whose calls would reach this thread only once it is free again.
  c.Dispatcher = [](const std::function<void()>&) {};
  c.OnDebugMessage = [&](TObject*, const std::string& msg, uint8_t) {
    if (msg.rfind(">>> STARTING WRITE PROCESS", 0) != 0) return;
    std::lock_guard g(m);
    writing = true;
    cv.notify_all();
  };
  ASSERT_TRUE(c.StartRecording());
  {
    std::unique_lock g(m);
    ASSERT_TRUE(cv.wait_for(g, std::chrono::minutes(2), [&] { return writing; }));
  }
  s.Component.reset();
  EXPECT_EQ(doneCalls, 1);
  EXPECT_EQ(error, kAbortedText);
  EXPECT_EQ(doneThread, std::this_thread::get_id());
  EXPECT_FALSE(HasOp(s.Recorder->Log(), 0x5B));
}

// The end-of-recording handler destroys the component (with and without a
// dispatcher): the thread must not touch it afterwards.
class DestroyInHandler : public ::testing::TestWithParam<bool> {};

TEST_P(DestroyInHandler, TheThreadLeavesTheComponentAlone) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "dvd+rw"));
  auto& c = *s.Component;
  std::unique_ptr<TUiThread> ui;
  if (GetParam()) {
    ui = std::make_unique<TUiThread>();
    c.Dispatcher = [&ui](const std::function<void()>& call) { ui->Dispatch(call); };
  }
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::string error;
  c.OnWriteDone = [&](TObject*, const std::string& e) {
    error = e;
    s.Component.reset();
    std::lock_guard g(m);
    done = true;
    cv.notify_all();
  };
  ASSERT_TRUE(c.StartRecording());
  std::unique_lock g(m);
  ASSERT_TRUE(cv.wait_for(g, std::chrono::minutes(2), [&] { return done; }));
  EXPECT_EQ(error, "");
  g.unlock();
  // A new component records again once the old thread has let go.
  VEZEZadira again;
  ASSERT_TRUE(SelectFirstDrive(again));
  WriteFile(s.Tmp / "more" / "c.txt", Pattern(999, 9));
  ASSERT_TRUE(again.AddFolder("\\", (s.Tmp / "more").string(), "*.*", faAnyFile, true, false,
                              false));
  ASSERT_TRUE(again.PrepareImage(false, nullptr));
  TRecorderRun run(again);
  TOutcome out;
  for (int i = 0; i < 1000; ++i) {  // the detached thread may still be finishing
    out = run.Record();
    if (out.Started) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(out.Started);
  EXPECT_EQ(out.Error, "");
}

INSTANTIATE_TEST_SUITE_P(Dispatch, DestroyInHandler, ::testing::Bool());

// ---------------------------------------------------------------- destruction
// The owner of the handlers (as the window's workflow) and then the component
// go, on the thread that started the recording, at one point of it; the
// ThreadSanitizer run checks the hand-offs. Each point ends with one outcome,
// no handler runs once its owner is gone, and no recording is left running.
enum class TPoint { Priming, Writing, Finalizing, EndCall, AfterEndCall };

struct TDestroyCase {
  const char* Name;
  TPoint Point;
  const char* Error;  // the outcome; nullptr: either
};

class DestroyAt : public ::testing::TestWithParam<TDestroyCase> {};

TEST_P(DestroyAt, EveryThreadEndsWithOneOutcomeAndNoHandlerOutlivesItsOwner) {
  const TDestroyCase& t = GetParam();
  TSetup s;
  ASSERT_TRUE(s.Open("cd-r"));
  WriteFile(s.Tmp / "src" / "big.bin", Pattern(9 * 1024 * 1024, 10));
  ASSERT_TRUE(s.Prepare(s.Tmp / "src"));
  VEZEZadira& c = *s.Component;
  TUiThread ui;
  c.Dispatcher = [&ui](const std::function<void()>& call) { ui.Dispatch(call); };
  auto owner = std::make_unique<TRecorderRun>(c);
  // The point is reached; the thread there waits until the destruction has begun.
  std::promise<void> reached, destroying;
  const std::shared_future<void> begun = destroying.get_future().share();
  auto hold = [&] {
    reached.set_value();
    begun.wait_for(std::chrono::minutes(2));
  };
  std::atomic<int> calls{0};
  std::string error;
  const TWriteDoneEvent done = c.OnWriteDone;
  c.OnWriteDone = [&, done](TObject* sender, const std::string& e) {
    if (t.Point == TPoint::EndCall) hold();
    done(sender, e);
    error = e;
    if (++calls == 1 && t.Point == TPoint::AfterEndCall) reached.set_value();
  };
  if (t.Point == TPoint::Writing) AtWriteLoop(c, hold);
  if (t.Point == TPoint::Finalizing) AtFinalizing(c, hold);
  std::thread stopper;
  if (t.Point == TPoint::Priming)
    stopper = std::thread([&] {
      for (int i = 0; i < 1000000 && !c.RecordingRuns(); ++i) std::this_thread::yield();
      c.StopRecording();
      reached.set_value();
    });
  c.StartRecording();
  EXPECT_EQ(reached.get_future().wait_for(std::chrono::minutes(2)), std::future_status::ready);
  destroying.set_value();
  owner.reset();
  s.Component.reset();
  if (stopper.joinable()) stopper.join();
  EXPECT_EQ(calls, 1);
  if (t.Error) {
    EXPECT_EQ(error, t.Error);
  }
  EXPECT_FALSE(VEZEZadira().RecordingRuns());
}

INSTANTIATE_TEST_SUITE_P(
    Points, DestroyAt,
    ::testing::Values(TDestroyCase{"Priming", TPoint::Priming, kAbortedText},
                      TDestroyCase{"Writing", TPoint::Writing, kAbortedText},
                      TDestroyCase{"Finalizing", TPoint::Finalizing, nullptr},
                      TDestroyCase{"EndCall", TPoint::EndCall, ""},
                      TDestroyCase{"AfterEndCall", TPoint::AfterEndCall, ""}),
    [](const ::testing::TestParamInfo<TDestroyCase>& info) { return info.param.Name; });

}  // namespace
}  // namespace rectest
