// Disc kind, status, sessions, free space and waiting for the drive, against a
// played drive and a clock whose sleeps only count.
#include <gtest/gtest.h>

#include <numeric>

#include "played_drive.h"

using namespace drivetest;

namespace {

class DiscQueriesTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetSPTIPlatform(&noDrives);
    SetClock(&clock);
    transport.handler = std::ref(drive);
    Address(device, 0, 0, 0);
    transport.requests.clear();  // the scan at construction
  }
  void TearDown() override {
    SetClock(nullptr);
    SetSPTIPlatform(nullptr);
  }
  uint64_t Slept() const {
    return std::accumulate(clock.sleeps.begin(), clock.sleeps.end(), uint64_t{0});
  }

  TFakeTransport transport;
  TNoDrivesPlatform noDrives;
  TCountingClock clock;
  TPlayedDrive drive;
  TSCSIDevice device;
};

uint32_t Host32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint16_t Host16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

TEST(DiscKindNamesTest, NamesEveryKindAndUnknownBeyond) {
  const char* names[] = {"UNKNOWN", "CD-ROM",    "CD-R",      "CD-RW",  "DVD-ROM",
                         "DVD-R",   "DVD-RAM",   "DVD-RW_RO", "DVD-RW_SR", "DVD+RW",
                         "DVD+R",   "DDCD-ROM",  "DDCD-R",    "DDCD-RW", "BD-ROM", "BD-R", "BD-R", "BD-RE"};
  for (uint16_t k = 0; k < 18; ++k) EXPECT_STREQ(DiscKindNames(k), names[k]);
  EXPECT_STREQ(DiscKindNames(18), "UNKNOWN");
  EXPECT_STREQ(DiscKindNames(0xFFFF), "UNKNOWN");
}

// The MMC profile list with what MMC says of each medium: read-only (R),
// write-once (W) or rewritable (E); written in place (random writable,
// restricted overwrite or DVD+RW); a write feature with a Test Write bit.
TEST_F(DiscQueriesTest, EveryProfileGivesItsKindAndAMediumAsMMCDescribesIt) {
  const struct {
    uint16_t Profile, Kind;
    char Class;
    bool InPlace, TestWrite;
  } profiles[] = {
      {0x0008, DK_CDROM, 'R', false, false},     {0x0009, DK_CDR, 'W', false, true},
      {0x000A, DK_CDRW, 'E', false, true},       {0x0010, DK_DVDROM, 'R', false, false},
      {0x0011, DK_DVDR, 'W', false, true},       {0x0012, DK_DVDRAM, 'E', true, false},
      {0x0013, DK_DVDRW_RO, 'E', true, false},   {0x0014, DK_DVDRW_RO, 'E', false, true},
      {0x001A, DK_DVDPLUSRW, 'E', true, false},  {0x001B, DK_DVDPLUSR, 'W', false, false},
      {0x0020, DK_DDCDROM, 'R', false, false},   {0x0021, DK_DDCDR, 'W', false, true},
      {0x0022, DK_DDCDRW, 'E', false, true},     {0x0040, DK_BDROM, 'R', false, false},
      {0x0041, DK_BDR, 'W', false, false},       {0x0042, DK_BDR_RRM, 'W', true, false},
      {0x0043, DK_BDRE, 'E', true, false},
  };
  for (const auto& p : profiles) {
    SCOPED_TRACE(p.Profile);
    drive.profile = p.Profile;
    transport.requests.clear();
    EXPECT_EQ(device.DiscKind(), p.Kind);
    ASSERT_EQ(transport.requests.size(), 1u);  // nothing else asked
    EXPECT_EQ(transport.requests[0].Cdb(),
              (std::vector<uint8_t>{0x46, 0x02, 0, 0, 0, 0, 0, 0, 0x72, 0}));
    EXPECT_EQ(Host16(&device.ConfigBuffer[6]), p.Profile);

    const TMedium& m = Medium(p.Kind, device.CurrentProfile);
    // BD-R in random recording mode is recognised, never written.
    EXPECT_EQ(m.Writable, p.Class != 'R' && p.Kind != DK_BDR_RRM);
    // Double-density CDs are written as CDs are, and neither simulated nor erased.
    if (!m.Writable || p.Kind == DK_DDCDR || p.Kind == DK_DDCDRW) continue;
    EXPECT_EQ(m.Erase != TEraseWay::None, p.Class == 'E');
    EXPECT_EQ(m.Overwritable, p.InPlace);
    EXPECT_EQ(m.NextAfterVolume, p.InPlace && p.Kind != DK_DVDRW_RO);
    EXPECT_EQ(m.Simulates, p.TestWrite);
    // Media with sessions close them; media written in place have none, or
    // only the background format (DVD+RW) or the session of a DVD-RW.
    EXPECT_EQ(m.Close == TCloseWay::None, p.InPlace && p.Kind != DK_DVDPLUSRW && p.Kind != DK_DVDRW_RO);
    EXPECT_EQ(m.Page.Send, !IsBDKind(p.Kind) && p.Kind != DK_DVDRAM);
    EXPECT_EQ(m.Format != TFormatFirst::None, p.Kind == DK_DVDRW_RO || p.Kind == DK_BDRE);
  }
}

TEST_F(DiscQueriesTest, BdrInRandomRecordingModeIsRefused) {
  drive.profile = 0x0042;
  device.CurrentDiscKind = device.DiscKind();
  EXPECT_EQ(device.RecordingRefusal(), "BD-R IN RANDOM RECORDING MODE CANNOT BE WRITTEN: NOTHING RECORDED");
}

TEST_F(DiscQueriesTest, DiscKindFromTheAtipWhenThereIsNoProfile) {
  drive.configOk = false;
  const std::pair<uint8_t, uint16_t> atips[] = {{0xC0, DK_CDRW}, {0x80, DK_CDR}, {0x00, DK_CDROM}};
  for (const auto& [byte6, kind] : atips) {
    std::array<uint8_t, 26> atip{};
    atip[6] = byte6;
    drive.atip = atip;
    transport.requests.clear();
    EXPECT_EQ(device.DiscKind(), kind);
    EXPECT_EQ(transport.requests[1].Cdb(),
              (std::vector<uint8_t>{0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 0x1A, 0}));
  }
  // An unknown profile falls back the same way.
  drive.configOk = true;
  drive.profile = 0x0002;
  EXPECT_EQ(device.DiscKind(), DK_CDROM);
}

TEST_F(DiscQueriesTest, DiscKindFromTheErasableBitThenFromReadiness) {
  drive.configOk = false;
  drive.discInfo = DiscInformation(0, 0, true, 1, 1);
  EXPECT_EQ(device.DiscKind(), DK_CDRW);
  drive.discInfo = DiscInformation(0, 0, false, 1, 1);
  EXPECT_EQ(device.DiscKind(), DK_CDR);
  drive.discInfo.reset();
  EXPECT_EQ(device.DiscKind(), DK_CDROM);
  drive.noMedium = true;
  EXPECT_EQ(device.DiscKind(), DK_UNKNOWN);
}

TEST_F(DiscQueriesTest, DiscStatusAndRecordedSessions) {
  EXPECT_EQ(device.DiscStatus(), -1);
  EXPECT_EQ(device.RecordedSessions(), 0);

  drive.discInfo = DiscInformation(0, 0, false, 1, 1);  // blank
  EXPECT_EQ(device.DiscStatus(), 0);
  EXPECT_EQ(device.RecordedSessions(), 0);

  drive.discInfo = DiscInformation(1, 0, false, 2, 2);  // one closed session, open one empty
  EXPECT_EQ(device.DiscStatus(), 1);
  EXPECT_EQ(device.RecordedSessions(), 1);

  drive.discInfo = DiscInformation(1, 1, false, 2, 2);  // last session incomplete
  EXPECT_EQ(device.RecordedSessions(), 2);

  drive.discInfo = DiscInformation(1, 0, false, 0, 0);  // no session counted, the last empty
  EXPECT_EQ(device.RecordedSessions(), 0);

  drive.discInfo = DiscInformation(2, 3, false, 3, 3);  // finalised
  EXPECT_EQ(device.DiscStatus(), 2);
  EXPECT_EQ(device.RecordedSessions(), 3);
  EXPECT_EQ(Host16(&device.DiscInfo[0]), 32);
}

TEST_F(DiscQueriesTest, TrackInformationIsKeptInHostOrderAndClearedOnFailure) {
  auto track = TrackInformation(1, 0x01020304, 0x11223344, 0x00057DA9, 0x0009F000);
  PutBE32(&track[20], 16);
  PutBE32(&track[28], 0xA0B0C0D0);
  drive.tracks[1] = track;
  ASSERT_TRUE(device.ReadTrackInformation(1));
  EXPECT_EQ(Host16(&device.TrackInfo[0]), 36);
  EXPECT_EQ(device.TrackInfo[2], 1);
  EXPECT_EQ(Host32(&device.TrackInfo[8]), 0x01020304u);
  EXPECT_EQ(Host32(&device.TrackInfo[12]), 0x11223344u);
  EXPECT_EQ(Host32(&device.TrackInfo[16]), 0x00057DA9u);
  EXPECT_EQ(Host32(&device.TrackInfo[20]), 16u);
  EXPECT_EQ(Host32(&device.TrackInfo[24]), 0x0009F000u);
  EXPECT_EQ(Host32(&device.TrackInfo[28]), 0xA0B0C0D0u);
  EXPECT_FALSE(device.ReadTrackInformation(2));
  for (uint8_t b : device.TrackInfo) EXPECT_EQ(b, 0);
}

TEST_F(DiscQueriesTest, FreeSectorsOnBlankAppendableAndCompleteDiscs) {
  device.CurrentDiscKind = DK_CDR;
  drive.profile = 0x0009;
  drive.discInfo = DiscInformation(0, 0, false, 1, 1);
  drive.tracks[0xFF] = TrackInformation(1, 0, 0, 359847, 359849);
  EXPECT_EQ(device.FreeSectors(), 359849u);
  // Asked with finalisation, then the property is as before.
  EXPECT_FALSE(device.FinalizeDisc);
  ASSERT_FALSE(drive.modeSelects.empty());
  EXPECT_EQ(drive.modeSelects.back()[8 + 3], 0x04);

  drive.discInfo = DiscInformation(1, 0, false, 2, 2);
  drive.tracks[0xFF] = TrackInformation(2, 11400, 11400, 348000, 0);
  EXPECT_EQ(device.FreeSectors(), 348000u);

  drive.discInfo = DiscInformation(2, 3, false, 2, 2);
  EXPECT_EQ(device.FreeSectors(), 0u);
}

TEST_F(DiscQueriesTest, FreeSectorsOfOverwritableDiscIsTheTrackSize) {
  drive.profile = 0x001A;
  drive.discInfo = DiscInformation(1, 3, true, 1, 1);
  drive.tracks[0xFF] = TrackInformation(1, 0, 0, 0, 2295104);
  EXPECT_EQ(device.FreeSectors(), 2295104u);
}

TEST_F(DiscQueriesTest, FreeSectorsFallsBackToTheLastTrackThenToZero) {
  drive.profile = 0x0009;
  drive.discInfo = DiscInformation(1, 0, false, 2, 3);
  drive.tracks[3] = TrackInformation(3, 20000, 20000, 300000, 0);
  EXPECT_EQ(device.FreeSectors(), 300000u);
  drive.tracks.clear();
  EXPECT_EQ(device.FreeSectors(), 0u);
  drive.discInfo.reset();
  drive.noMedium = true;
  EXPECT_EQ(device.FreeSectors(), 0u);
}

TEST_F(DiscQueriesTest, FreeSectorsOfDvdRamAsksTrackOne) {
  drive.profile = 0x0012;
  drive.discInfo = DiscInformation(1, 3, true, 1, 1);
  drive.tracks[1] = TrackInformation(1, 0, 0, 2236704, 2236704);
  EXPECT_EQ(device.FreeSectors(), 2236704u);
  for (const TCapture& c : transport.requests)
    if (c.srb.CDBByte[0] == 0x52) {
      EXPECT_EQ(c.srb.CDBByte[5], 1);
    }
}

TEST_F(DiscQueriesTest, BufferCapacity) {
  uint32_t length = 0, free = 0;
  drive.discInfo.reset();
  transport.handler = [](const SRB_ExecSCSICmd& srb, uint8_t* data) {
    if (srb.CDBByte[0] != 0x5C) return TReply{};
    PutBE32(data + 4, 0x00200000);
    PutBE32(data + 8, 0xFFFFFFFF);
    return TReply{};
  };
  ASSERT_TRUE(device.ReadBufferCapacity(length, free));
  EXPECT_EQ(length, 0x00200000u);
  EXPECT_EQ(free, 0xFFFFFFFFu);
  EXPECT_EQ(device.DeviceBufferSize, 0x00200000u);
  EXPECT_EQ(device.DeviceFreeBufferSize, 0x00200000u);

  transport.handler = [](const SRB_ExecSCSICmd&, uint8_t* data) {
    PutBE32(data + 4, 4096);
    PutBE32(data + 8, 1024);
    return TReply{};
  };
  ASSERT_TRUE(device.ReadBufferCapacity(length, free));
  EXPECT_EQ(device.DeviceFreeBufferSize, 1024u);

  transport.handler = [](const SRB_ExecSCSICmd&, uint8_t*) { return TReply::Fail(5, 0x20); };
  EXPECT_FALSE(device.ReadBufferCapacity(length, free));
  EXPECT_EQ(device.DeviceBufferSize, 4096u);
  EXPECT_EQ(device.DeviceFreeBufferSize, 0u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(device.ScratchBuffer[i], 0);
}

TEST_F(DiscQueriesTest, TimestampStructure) {
  const TDateTime when = EncodeDateTime({2026, 3, 9, 7, 5, 42, 0});
  ASSERT_TRUE(device.SendTimestamp(when));
  const TCapture& c = transport.requests.back();
  EXPECT_EQ(c.Cdb(), (std::vector<uint8_t>{0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}));
  ASSERT_EQ(c.out.size(), 22u);
  EXPECT_EQ(c.out[0], 0x00);
  EXPECT_EQ(c.out[1], 0x14);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(c.out[i], 0);
  EXPECT_EQ(std::string(c.out.begin() + 8, c.out.end()), "20260309070542");
}

// ---------------------------------------------------------------- WaitUntilReady

TEST_F(DiscQueriesTest, ReadyDriveTakesOneStepAndTwoCommands) {
  drive.discInfo = DiscInformation(0, 0, false, 1, 1);
  EXPECT_TRUE(device.WaitUntilReady(10000, 5000));
  EXPECT_EQ(clock.sleeps, std::vector<uint32_t>{5000});
  EXPECT_EQ(transport.Opcodes(), (std::vector<uint8_t>{0x51, 0x00}));
}

TEST_F(DiscQueriesTest, DriveSlowToBecomeReadyIsWaitedFor) {
  drive.discInfo = DiscInformation(0, 0, false, 1, 1);
  drive.notReadyCommands = 5;  // five READ DISC INFORMATION answers say "becoming ready"
  EXPECT_TRUE(device.WaitUntilReady(10000, 1000));
  EXPECT_EQ(clock.sleeps.size(), 6u);
  EXPECT_EQ(Slept(), 6000u);
}

TEST_F(DiscQueriesTest, DriveNeverReadyRunsOutOfBudget) {
  drive.discInfo = DiscInformation(0, 0, false, 1, 1);
  drive.notReadyCommands = 1000000;
  EXPECT_FALSE(device.WaitUntilReady(10000, 1000));
  // Never longer than the budget plus one step.
  EXPECT_LE(Slept(), 11000u);
  EXPECT_GE(Slept(), 10000u);
}

TEST_F(DiscQueriesTest, SlowModelsFirstPollInLongerSteps) {
  drive.discInfo = DiscInformation(0, 0, false, 1, 1);
  device.SlowReadyModel = true;
  drive.notReadyCommands = 2;  // two TEST UNIT READY answers say "becoming ready"
  EXPECT_TRUE(device.WaitUntilReady(10000, 500));
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{1500, 1500, 1500, 500}));

  clock.sleeps.clear();
  device.SlowReadyModel = false;
  device.SlowReadyDevice = true;
  drive.notReadyCommands = 1000000;
  EXPECT_FALSE(device.WaitUntilReady(4000, 500));
  // The long poll may overrun the budget by its own step before the short poll ends.
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{1500, 1500, 1500, 500}));
}

TEST_F(DiscQueriesTest, DvdRamPollsTheSenseUntilItClears) {
  device.CurrentDiscKind = DK_DVDRAM;
  drive.discInfo = DiscInformation(1, 3, true, 1, 1);
  EXPECT_TRUE(device.WaitUntilReady(10000, 1000));
  // No disc information poll; TEST UNIT READY, a step, TEST UNIT READY, REQUEST SENSE.
  EXPECT_EQ(transport.Opcodes(), (std::vector<uint8_t>{0x00, 0x00, 0x03}));
  EXPECT_EQ(clock.sleeps, std::vector<uint32_t>{1000});
  EXPECT_EQ(transport.requests.back().Cdb()[4], 40);
}

TEST_F(DiscQueriesTest, SenseOtherThanNotReadyIsPolledWithoutSleepingUntilTheBudgetEnds) {
  device.CurrentDiscKind = DK_DVDRAM;
  std::array<uint8_t, 18> sense{};
  sense[0] = 0x70;
  sense[12] = 0x3A;
  drive.requestSense = sense;
  EXPECT_FALSE(device.WaitUntilReady(5000, 1000));
  EXPECT_EQ(clock.sleeps, std::vector<uint32_t>{1000});
}

TEST_F(DiscQueriesTest, CurrentErrorSenseCountsAsNotReady) {
  device.CurrentDiscKind = DK_DVDRAM;
  std::array<uint8_t, 18> sense{};
  sense[0] = 0xF0;
  drive.requestSense = sense;
  EXPECT_FALSE(device.WaitUntilReady(5000, 1000));
  EXPECT_GT(clock.sleeps.size(), 2u);
}

TEST_F(DiscQueriesTest, DriveThatCannotReportItsSenseIsNotReady) {
  device.CurrentDiscKind = DK_DVDRAM;
  transport.handler = [](const SRB_ExecSCSICmd& srb, uint8_t*) {
    return srb.CDBByte[0] == 0x03 ? TReply::Fail(4, 0x44) : TReply{};
  };
  EXPECT_FALSE(device.WaitUntilReady(5000, 1000));
}

TEST_F(DiscQueriesTest, ZeroStepStillEnds) {
  drive.discInfo = DiscInformation(0, 0, false, 1, 1);
  drive.notReadyCommands = 1000000;
  EXPECT_FALSE(device.WaitUntilReady(100, 0));
}

}  // namespace
