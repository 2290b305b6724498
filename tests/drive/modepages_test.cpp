// Capabilities page, features and the write parameters page against a played drive.
#include <gtest/gtest.h>

#include "played_drive.h"

using namespace drivetest;

namespace {

class ModePagesTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetSPTIPlatform(&noDrives);
    transport.handler = std::ref(drive);
    Address(device, 0, 0, 0);
    transport.requests.clear();  // the scan at construction
  }
  void TearDown() override { SetSPTIPlatform(nullptr); }

  // The parameter list of the last MODE SELECT; the page starts at byte 8.
  const std::vector<uint8_t>& Sent() const { return drive.modeSelects.back(); }

  TFakeTransport transport;
  TNoDrivesPlatform noDrives;
  TPlayedDrive drive;
  TSCSIDevice device;
};

uint16_t Host16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

TEST_F(ModePagesTest, CapabilitiesPageIsFoundWhereverTheDrivePutsIt) {
  for (int offset : {16, 8, 7}) {
    SCOPED_TRACE(offset);
    drive.pageOffset = offset;
    PutBE16(&drive.capsCurrent[8], 7056);
    PutBE16(&drive.capsCurrent[12], 2048);
    PutBE16(&drive.capsCurrent[14], 5540);
    PutBE16(&drive.capsCurrent[18], 5540);
    PutBE16(&drive.capsCurrent[20], 2770);
    ASSERT_TRUE(device.ReadCapabilities());
    EXPECT_EQ(device.CapabilitiesPage[0], 0x2A);
    EXPECT_EQ(Host16(&device.CapabilitiesPage[8]), 7056);
    EXPECT_EQ(Host16(&device.CapabilitiesPage[12]), 2048);
    EXPECT_EQ(Host16(&device.CapabilitiesPage[14]), 5540);
    EXPECT_EQ(Host16(&device.CapabilitiesPage[18]), 5540);
    EXPECT_EQ(Host16(&device.CapabilitiesPage[20]), 2770);
    EXPECT_EQ(device.DeviceMaxReadSpeed, 7056);
    EXPECT_EQ(device.DeviceMaxWriteSpeed, 5540);
    EXPECT_EQ(device.GetMaxReadSpeed(), 7056);
    EXPECT_EQ(device.GetCurrentWriteSpeed(), 2770);
  }
}

TEST_F(ModePagesTest, EveryPageBitGivesItsCapability) {
  struct TBit {
    int byte, bit;
    uint32_t capabilities;
  };
  const TBit bits[] = {
      {2, 0, DC_READ_CDR},
      {2, 1, DC_READ_CDRW},
      {2, 2, DC_READ_METHOD2},
      {2, 3, DC_READ_DVDROM},
      {2, 4, DC_READ_DVDR | DC_READ_DVDRW},
      {2, 5, DC_READ_DVDRAM},
      {3, 0, DC_WRITE_CDR},
      {3, 1, DC_WRITE_CDRW},
      {3, 2, DC_WRITE_TEST},
      {3, 4, DC_WRITE_DVDR | DC_WRITE_DVDRW},
      {3, 5, DC_WRITE_DVDRAM},
      {4, 7, DC_UNDERRUNPROTECTION},
  };
  for (const TBit& b : bits) {
    SCOPED_TRACE(testing::Message() << "byte " << b.byte << " bit " << b.bit);
    drive.capsDefault.fill(0);
    drive.capsDefault[0] = 0x2A;
    drive.capsDefault[b.byte] = static_cast<uint8_t>(1 << b.bit);
    ASSERT_TRUE(device.ReadCapabilities());
    EXPECT_EQ(device.DeviceCapabilities, b.capabilities);
  }
}

TEST_F(ModePagesTest, FeaturesAddDvdCapabilities) {
  drive.features[0x2A] = 0x00;
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceCapabilities, DC_READ_DVDPLUSR | DC_READ_DVDPLUSRW);
  drive.features[0x2A] = 0x01;
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceCapabilities,
            DC_READ_DVDPLUSR | DC_READ_DVDPLUSRW | DC_WRITE_DVDPLUSR | DC_WRITE_DVDPLUSRW);
  drive.features.clear();
  drive.features[0x2F] = 0x01;
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceCapabilities,
            DC_READ_DVDR | DC_READ_DVDRW | DC_WRITE_DVDR | DC_WRITE_DVDRW);
  // The buffer keeps the reply in host order.
  EXPECT_EQ(Host16(&device.ConfigBuffer[8]), 0x2F);
  drive.features = {{0x40, 0x00}, {0x41, 0x00}};  // BD: the features are there, whatever byte 4 says
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceCapabilities, DC_READ_BD | DC_WRITE_BD);
}

TEST_F(ModePagesTest, UnderrunProtectionFromPage30OrTheModelQuirk) {
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceCapabilities & DC_UNDERRUNPROTECTION, 0u);
  drive.page30 = true;
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_NE(device.DeviceCapabilities & DC_UNDERRUNPROTECTION, 0u);
  drive.page30 = false;
  device.ForceUnderrunProtection = true;
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_NE(device.DeviceCapabilities & DC_UNDERRUNPROTECTION, 0u);
}

TEST_F(ModePagesTest, DefaultValuesFailingLeaveNoCapabilitiesButCurrentSpeeds) {
  drive.capsDefault[2] = 0xFF;
  drive.capsDefaultOk = false;
  PutBE16(&drive.capsCurrent[8], 4234);
  PutBE16(&drive.capsCurrent[18], 2822);
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceCapabilities, 0u);
  EXPECT_EQ(device.DeviceMaxReadSpeed, 4234);
  EXPECT_EQ(device.DeviceMaxWriteSpeed, 2822);
}

TEST_F(ModePagesTest, CurrentValuesFailingFailTheRead) {
  drive.capsDefault[2] = 0x01;
  drive.capsCurrentOk = false;
  EXPECT_FALSE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceCapabilities, DC_READ_CDR);
  EXPECT_EQ(device.GetMaxReadSpeed(), 0);
  EXPECT_EQ(device.GetCurrentWriteSpeed(), 0);
}

TEST_F(ModePagesTest, DvdRamWriterWithoutSpeedsGetsOneThenTheCurrentReading) {
  drive.capsDefault[3] = 0x20;
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceMaxReadSpeed, 1);
  PutBE16(&drive.capsCurrent[8], 2770);
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceMaxReadSpeed, 2770);
}

TEST_F(ModePagesTest, ZeroWriteSpeedReadsBackAs1385InHostOrder) {
  PutBE16(&drive.capsDefault[18], 1000);
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(Host16(&device.CapabilitiesPage[18]), 1385);
  EXPECT_EQ(Host16(&device.CapabilitiesPage[20]), 1385);
  EXPECT_EQ(device.GetCurrentWriteSpeed(), 1385);
  EXPECT_EQ(device.DeviceMaxWriteSpeed, 1385);
  // The larger reading wins.
  PutBE16(&drive.capsDefault[18], 4155);
  ASSERT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceMaxWriteSpeed, 4155);
}

TEST_F(ModePagesTest, ModeSenseCopiesOnlyOnSuccessAfterClearing) {
  std::array<uint8_t, 64> buffer;
  buffer.fill(0xEE);
  EXPECT_TRUE(device.ModeSense10(0x2A, buffer.data(), false, 32, 39));
  EXPECT_EQ(buffer[8], 0x2A);
  EXPECT_EQ(buffer[39], 0x00);  // cleared, beyond the answer
  EXPECT_EQ(buffer[40], 0xEE);
  buffer.fill(0xEE);
  EXPECT_FALSE(device.ModeSense10(0x11, buffer.data(), false, 32, 9));
  EXPECT_EQ(buffer[9], 0x00);
  EXPECT_EQ(buffer[10], 0xEE);
  std::array<uint8_t, 1024> big{};
  EXPECT_FALSE(device.ModeSense10(0x2A, big.data(), false, 1000, 1000));  // beyond ModeBuffer
}

TEST_F(ModePagesTest, ProbeWriteModesOffersRawThenSessionThenTrackAtOnce) {
  drive.writePage[2] = 0x5F;
  drive.writePage[3] = 0xFF;
  drive.writePage[4] = 0x0A;
  drive.writePage[8] = 0x20;
  drive.writePage[9] = 0x33;
  EXPECT_TRUE(device.ProbeWriteModes());
  ASSERT_EQ(drive.modeSelects.size(), 3u);
  const uint8_t writeTypes[] = {0x03, 0x02, 0x01};
  const uint8_t blockTypes[] = {0x01, 0x00, 0x00};
  for (int i = 0; i < 3; ++i) {
    const auto& list = drive.modeSelects[i];
    ASSERT_EQ(list.size(), 60u);
    for (int b = 0; b < 8; ++b) EXPECT_EQ(list[b], 0);
    EXPECT_EQ(list[8], 0x05);
    EXPECT_EQ(list[9], 0x32);
    EXPECT_EQ(list[10], writeTypes[i]);
    EXPECT_EQ(list[11], 0x00);
    EXPECT_EQ(list[12], blockTypes[i]);
    EXPECT_EQ(list[16], 0x00);
    EXPECT_EQ(list[17], 0x00);
    EXPECT_EQ(BE16(&list[22]), 150);
  }
  // Each probe is sent as MODE SELECT with PF.
  EXPECT_EQ(transport.requests.back().Cdb()[1], 0x10);
}

struct TWriteCase {
  const char* name;
  uint16_t kind;
  bool testWrite, underrun, finalize, quirk;
  uint32_t capabilities;
  uint8_t byte2, byte3, byte4, linkSize, byte6;
  uint32_t packetSize;
};

TEST_F(ModePagesTest, WriteParametersPageForEveryDiscKind) {
  const uint32_t all = DC_UNDERRUNPROTECTION | DC_WRITE_TEST;
  const TWriteCase cases[] = {
      {"CD-R open", DK_CDR, false, true, false, false, all, 0x41, 0xC4, 0x08, 0, 0, 0},
      {"CD-R finalising", DK_CDR, false, true, true, false, all, 0x41, 0x04, 0x08, 0, 0, 0},
      {"CD-RW test write", DK_CDRW, true, false, false, false, all, 0x11, 0x04, 0x08, 0, 0, 0},
      {"CD-R drive lacks both", DK_CDR, true, true, false, false, 0, 0x01, 0x04, 0x08, 0, 0, 0},
      {"CD-ROM general path", DK_CDROM, false, false, false, false, all, 0x01, 0xC4, 0x08, 0, 0, 0},
      {"unknown general path", DK_UNKNOWN, false, true, false, false, all, 0x41, 0xC4, 0x08, 0, 0,
       0},
      {"CD-R quirk", DK_CDR, false, true, false, true, all, 0x61, 0xC4, 0x08, 0, 0, 0},
      {"DVD-R", DK_DVDR, false, true, true, false, all, 0x60, 0xE5, 0x08, 0, 0x10, 16},
      {"DVD-R test write", DK_DVDR, true, false, false, false, all, 0x30, 0xE5, 0x08, 0, 0x10, 16},
      {"DVD-RW", DK_DVDRW_RO, true, false, false, false, all, 0x70, 0xC5, 0x08, 0x10, 0, 0},
      {"DVD-RW quirk", DK_DVDRW_RO, false, false, false, true, 0, 0x60, 0xC5, 0x08, 0x10, 0, 0},
      {"DVD-RW sequential", DK_DVDRW_SR, true, true, true, false, 0, 0x60, 0xC5, 0x08, 0x10, 0, 0},
      {"DVD+RW", DK_DVDPLUSRW, false, true, false, false, all, 0x62, 0x04, 0x08, 0x10, 0, 0},
      {"DVD+RW finalising", DK_DVDPLUSRW, false, false, true, false, all, 0x22, 0x04, 0x08, 0x10, 0,
       0},
      {"DVD+R", DK_DVDPLUSR, false, true, true, false, all, 0x62, 0xC4, 0x08, 0, 0, 16},
      {"DDCD-R general path", DK_DDCDR, false, true, false, false, all, 0x41, 0xC4, 0x08, 0, 0, 0},
  };
  // Whatever the drive reported is replaced where the page says so.
  drive.writePage[2] = 0xFF;
  drive.writePage[3] = 0xFF;
  drive.writePage[4] = 0xFF;
  for (int i = 5; i < 14; ++i) drive.writePage[i] = 0xFF;
  for (const TWriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    device.DeviceCapabilities = c.capabilities;
    device.WriteParamsQuirk = c.quirk;
    ASSERT_TRUE(device.SetWriteParameters({c.testWrite, c.underrun, c.finalize, c.kind}));
    const auto& list = Sent();
    ASSERT_EQ(list.size(), 60u);
    const uint8_t* page = list.data() + 8;
    EXPECT_EQ(page[0], 0x05);
    EXPECT_EQ(page[1], 0x32);
    EXPECT_EQ(page[2], c.byte2);
    EXPECT_EQ(page[3], c.byte3);
    EXPECT_EQ(page[4], c.byte4);
    EXPECT_EQ(page[5], c.linkSize);
    EXPECT_EQ(page[6], c.byte6);
    EXPECT_EQ(page[7], 0);
    EXPECT_EQ(page[8], 0);
    EXPECT_EQ(page[9], 0);
    EXPECT_EQ(static_cast<uint32_t>(BE16(&page[10]) << 16 | BE16(&page[12])), c.packetSize);
    EXPECT_EQ(BE16(&page[14]), 150);
    // The page as prepared is kept.
    EXPECT_TRUE(std::equal(page, page + 52, device.WriteParamsPage.begin()));
  }
}

TEST_F(ModePagesTest, DvdRamNeedsNoWriteParameters) {
  EXPECT_TRUE(device.SetWriteParameters({false, true, false, DK_DVDRAM}));
  EXPECT_TRUE(transport.requests.empty());
}

TEST_F(ModePagesTest, PageBehindABlockDescriptorIsSentWithoutItsTail) {
  for (int i = 45; i < 54; ++i) drive.writePage[i] = 0xA5;
  drive.pageOffset = 8;
  ASSERT_TRUE(device.SetWriteParameters({false, false, false, DK_CDR}));
  EXPECT_EQ(Sent()[8 + 45], 0xA5);
  EXPECT_EQ(Sent()[8 + 51], 0xA5);
  drive.pageOffset = 16;
  ASSERT_TRUE(device.SetWriteParameters({false, false, false, DK_CDR}));
  EXPECT_EQ(Sent()[8 + 2], 0x01);  // the page itself was found
  for (int i = 45; i < 52; ++i) EXPECT_EQ(Sent()[8 + i], 0) << i;
}

TEST_F(ModePagesTest, WriteParametersFailWhenTheDriveRefuses) {
  drive.writePageOk = false;
  EXPECT_FALSE(device.SetWriteParameters({false, true, false, DK_CDR}));
  EXPECT_TRUE(drive.modeSelects.empty());
  drive.writePageOk = true;
  drive.modeSelectOk = false;
  EXPECT_FALSE(device.SetWriteParameters({false, true, false, DK_CDR}));
  EXPECT_EQ(device.LastError, "ILLEGAL REQUEST (INVALID FIELD IN PARAMETER LIST)");
}

}  // namespace
