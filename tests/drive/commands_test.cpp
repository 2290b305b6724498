// The CDB, direction, length and time-out of every command, as the transport
// receives them.
#include <gtest/gtest.h>

#include <sstream>

#include "fake_transport.h"

using namespace drivetest;

namespace {

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  std::istringstream in(hex);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

struct TCommandCase {
  const char* name;
  std::function<void(TSCSIDevice&, uint8_t*)> call;
  const char* cdb;
  uint8_t flags;
  uint32_t length;
  uint32_t waitMs;  // the wait limit the request gets
};

class CommandsTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetClock(&clock);
    SetSPTIPlatform(&noDrives);
    Address(device, 0, 0, 0);
    transport.requests.clear();  // the scan at construction
  }
  void TearDown() override {
    SetClock(nullptr);
    SetSPTIPlatform(nullptr);
  }
  TFakeTransport transport;
  TCountingClock clock;
  TNoDrivesPlatform noDrives;
  TSCSIDevice device;
  std::array<uint8_t, 65536> buffer{};
};

TEST_F(CommandsTest, EveryCommandSendsItsCdbDirectionLengthAndTimeout) {
  const TCommandCase cases[] = {
      {"TestUnitReady 5000", [](TSCSIDevice& d, uint8_t*) { d.TestUnitReady(5000); },
       "00 00 00 00 00 00", 0x40, 0, 10000},
      {"TestUnitReady 30000", [](TSCSIDevice& d, uint8_t*) { d.TestUnitReady(30000); },
       "00 00 00 00 00 00", 0x40, 0, 30000},
      {"ProbeUnitReady", [](TSCSIDevice& d, uint8_t*) { d.ProbeUnitReady(); },
       "00 00 00 00 00 00", 0x40, 0, 10000},
      {"RezeroUnit", [](TSCSIDevice& d, uint8_t*) { d.RezeroUnit(); }, "01 00 00 00 00 00", 0x40,
       0, 10000},
      {"RequestSense", [](TSCSIDevice& d, uint8_t* b) { d.RequestSense(b, 40); },
       "03 00 00 00 28 00", 0x48, 40, 10000},
      {"FormatUnit", [](TSCSIDevice& d, uint8_t* b) { d.FormatUnit(0x11, b, 12); },
       "04 11 00 00 00 00", 0x50, 12, 10000},
      {"Inquiry", [](TSCSIDevice& d, uint8_t*) { d.Inquiry(); }, "12 00 00 00 80 00", 0x48, 128,
       10000},
      {"LoadEject load", [](TSCSIDevice& d, uint8_t*) { d.LoadEject(false); },
       "1B 00 00 00 03 00", 0x40, 0, 20000},
      {"LoadEject eject", [](TSCSIDevice& d, uint8_t*) { d.LoadEject(true); },
       "1B 00 00 00 02 00", 0x40, 0, 20000},
      {"AllowMediumRemoval allow", [](TSCSIDevice& d, uint8_t*) { d.AllowMediumRemoval(true); },
       "1E 00 00 00 00 00", 0x40, 0, 10000},
      {"AllowMediumRemoval prevent",
       [](TSCSIDevice& d, uint8_t*) { d.AllowMediumRemoval(false); }, "1E 00 00 00 01 00", 0x40,
       0, 10000},
      {"Read10 16", [](TSCSIDevice& d, uint8_t* b) { d.Read10(16, 1, b, 2048); },
       "28 00 00 00 00 10 00 00 01 00", 0x48, 2048, 10000},
      {"Read10 wide", [](TSCSIDevice& d, uint8_t* b) { d.Read10(0x12345678, 0x0102, b, 4096); },
       "28 00 12 34 56 78 00 01 02 00", 0x48, 4096, 10000},
      {"Write10", [](TSCSIDevice& d, uint8_t* b) { d.Write10(0x01020304, 32, 0x50, 65536, b); },
       "2A 00 01 02 03 04 00 00 20 00", 0x50, 65536, 120000},
      {"SynchronizeCache immed", [](TSCSIDevice& d, uint8_t*) { d.SynchronizeCache(60000, true); },
       "35 02 00 00 00 00 00 00 00 00", 0x40, 0, 60000},
      {"SynchronizeCache", [](TSCSIDevice& d, uint8_t*) { d.SynchronizeCache(1000, false); },
       "35 00 00 00 00 00 00 00 00 00", 0x40, 0, 10000},
      {"ReadTOC ATIP", [](TSCSIDevice& d, uint8_t* b) { d.ReadTOC(4, b, 26, 0, true, 0); },
       "43 02 04 00 00 00 00 00 1A 00", 0x48, 26, 10000},
      {"ReadTOC fields", [](TSCSIDevice& d, uint8_t* b) { d.ReadTOC(1, b, 255, 7, false, 0x80); },
       "43 00 01 00 00 00 07 00 FF 80", 0x48, 255, 10000},
      {"GetConfiguration", [](TSCSIDevice& d, uint8_t* b) { d.GetConfiguration(2, 0x2A, 114, b); },
       "46 02 00 2A 00 00 00 00 72 00", 0x48, 114, 30000},
      {"GetConfiguration low bytes",
       [](TSCSIDevice& d, uint8_t* b) { d.GetConfiguration(1, 0x0107, 0x0120, b); },
       "46 01 00 07 00 00 00 00 20 00", 0x48, 0x120, 30000},
      {"ReadDiscInformation", [](TSCSIDevice& d, uint8_t* b) { d.ReadDiscInformation(b, 56); },
       "51 00 00 00 00 00 00 00 38 00", 0x48, 56, 10000},
      {"ReadTrackInformation FF", [](TSCSIDevice& d, uint8_t*) { d.ReadTrackInformation(0xFF); },
       "52 01 00 00 00 FF 00 00 26 00", 0x48, 38, 60000},
      {"ReserveTrack", [](TSCSIDevice& d, uint8_t*) { d.ReserveTrack(0x00012345); },
       "53 00 00 00 00 00 01 23 45 00 00 00", 0x40, 0, 10000},
      {"SendOPC", [](TSCSIDevice& d, uint8_t*) { d.SendOPC(); }, "54 01 00 00 00 00 00 00 00 00",
       0x40, 0, 150000},
      {"ModeSelect10", [](TSCSIDevice& d, uint8_t* b) { d.ModeSelect10(b, 60); },
       "55 10 00 00 00 00 00 00 3C 00", 0x50, 60, 10000},
      {"ModeSense10 defaults",
       [](TSCSIDevice& d, uint8_t* b) { d.ModeSense10(0x2A, b, true, 255, 255); },
       "5A 00 AA 00 00 00 00 00 FF 00", 0x48, 255, 20000},
      {"ModeSense10 current",
       [](TSCSIDevice& d, uint8_t* b) { d.ModeSense10(0x05, b, false, 512, 511); },
       "5A 00 05 00 00 00 00 02 00 00", 0x48, 512, 20000},
      {"CloseTrackSession session",
       [](TSCSIDevice& d, uint8_t*) { d.CloseTrackSession(false, true, false); },
       "5B 01 02 00 00 00 00 00 00 00", 0x40, 0, 180000},
      {"CloseTrackSession track",
       [](TSCSIDevice& d, uint8_t*) { d.CloseTrackSession(true, false, false); },
       "5B 00 01 00 00 FF 00 00 00 00", 0x40, 0, 180000},
      {"CloseTrackSession finalize",
       [](TSCSIDevice& d, uint8_t*) { d.CloseTrackSession(true, true, true); },
       "5B 01 05 00 00 FF 00 00 00 00", 0x40, 0, 180000},
      {"CloseTrackSessionRaw",
       [](TSCSIDevice& d, uint8_t*) { d.CloseTrackSessionRaw(true, 0x02, 0x03, 0x04, 0x05); },
       "5B 01 02 03 04 05 00 00 00 00", 0x40, 0, 180000},
      {"ReadBufferCapacity",
       [](TSCSIDevice& d, uint8_t*) {
         uint32_t a = 0, b = 0;
         d.ReadBufferCapacity(a, b);
       },
       "5C 00 00 00 00 00 00 00 20 00", 0x48, 32, 10000},
      {"SetStreaming", [](TSCSIDevice& d, uint8_t* b) { d.SetStreaming(b, 28); },
       "B6 00 00 00 00 00 00 00 00 00 1C 00", 0x50, 28, 10000},
      {"SetCDSpeed maximum", [](TSCSIDevice& d, uint8_t*) { d.SetCDSpeed(0, 0); },
       "BB 00 FF FF FF FF 00 00 00 00 00 00", 0x40, 0, 10000},
      {"SetCDSpeed 1385", [](TSCSIDevice& d, uint8_t*) { d.SetCDSpeed(0, 1385); },
       "BB 00 FF FF 05 69 00 00 00 00 00 00", 0x40, 0, 10000},
      {"SetCDSpeed both", [](TSCSIDevice& d, uint8_t*) { d.SetCDSpeed(7056, 5540); },
       "BB 00 1B 90 15 A4 00 00 00 00 00 00", 0x40, 0, 10000},
      {"SendDiscStructure", [](TSCSIDevice& d, uint8_t* b) { d.SendDiscStructure(0x0F, b, 22); },
       "BF 00 00 00 00 00 00 0F 00 16 00 00", 0x50, 22, 10000},
  };

  // The drive never answers, so each request waits its full limit on the clock.
  transport.handler = [](const SRB_ExecSCSICmd&, uint8_t*) { return TReply::Pending(); };
  for (const TCommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    transport.requests.clear();
    clock.waits.clear();
    c.call(device, buffer.data());
    ASSERT_EQ(transport.requests.size(), 1u);
    const SRB_ExecSCSICmd& srb = transport.requests[0].srb;
    EXPECT_EQ(transport.requests[0].Cdb(), Bytes(c.cdb));
    EXPECT_EQ(srb.SRB_Flags, c.flags);
    EXPECT_EQ(srb.SRB_BufLen, c.length);
    if (c.length != 0) {
      EXPECT_NE(srb.SRB_BufPointer, nullptr);
    }
    for (int i = srb.SRB_CDBLen; i < 16; ++i) EXPECT_EQ(srb.CDBByte[i], 0) << "byte " << i;
    ASSERT_EQ(clock.waits.size(), 1u);
    EXPECT_EQ(clock.waits[0], c.waitMs);
  }
}

TEST_F(CommandsTest, LunGoesIntoCdbByteOne) {
  Address(device, 1, 3, 2);
  device.ReadTrackInformation(0xFF);
  ASSERT_EQ(transport.requests.size(), 1u);
  EXPECT_EQ(transport.requests[0].Cdb(), Bytes("52 41 00 00 00 FF 00 00 26 00"));
  EXPECT_EQ(transport.requests[0].srb.SRB_HaId, 1);
  EXPECT_EQ(transport.requests[0].srb.SRB_Target, 3);
}

TEST_F(CommandsTest, ResultIsTrueExactlyWhenTheDriveCompleted) {
  EXPECT_TRUE(device.TestUnitReady(5000));
  transport.handler = [](const SRB_ExecSCSICmd&, uint8_t*) { return TReply::Fail(2, 0x3A); };
  EXPECT_FALSE(device.TestUnitReady(5000));
  EXPECT_EQ(device.LastError, "NOT READY (MEDIUM NOT PRESENT)");
  EXPECT_FALSE(device.SetCDSpeed(0, 0));
  EXPECT_FALSE(device.SendOPC());
}

TEST_F(CommandsTest, NoSelectedDeviceFailsWithoutSending) {
  Address(device, 0xFE, 0xFE, 0xFE);
  std::array<uint8_t, 2048> data{};
  EXPECT_FALSE(device.TestUnitReady(5000));
  EXPECT_FALSE(device.Read10(0, 1, data.data(), 2048));
  // A refused WRITE (10) reads as pending: that must not count as written.
  EXPECT_FALSE(device.Write10(0, 1, 0x50, 2048, data.data()));
  EXPECT_TRUE(transport.requests.empty());
}

TEST_F(CommandsTest, WriteThatNeverCompletesIsNotSuccess) {
  std::array<uint8_t, 2048> data{};
  transport.handler = [](const SRB_ExecSCSICmd&, uint8_t*) { return TReply::Pending(); };
  EXPECT_FALSE(device.Write10(0, 1, 0x50, 2048, data.data()));
  EXPECT_FALSE(device.Write10(0, 1, SRB_DIR_OUT, 2048, data.data()));
}

TEST_F(CommandsTest, ReadTocLongerThanOneByteIsRefusedBeforeSending) {
  std::array<uint8_t, 512> data{};
  EXPECT_FALSE(device.ReadTOC(0, data.data(), 256, 0, false, 0));
  EXPECT_TRUE(transport.requests.empty());
  EXPECT_FALSE(device.LastError.empty());
  EXPECT_TRUE(device.ReadTOC(0, data.data(), 255, 0, false, 0));
}

}  // namespace
