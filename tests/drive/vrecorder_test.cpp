// Drive control against the virtual recorder, on every medium it emulates.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "fake_transport.h"
#include "vrecorder/vrecorder.h"

using namespace drivetest;
namespace fs = std::filesystem;

namespace {

struct TMedium {
  const char* name;
  uint16_t kind;
};

constexpr TMedium kMedia[] = {
    {"cd-rom", DK_CDROM},       {"cd-r", DK_CDR},         {"cd-rw", DK_CDRW},
    {"dvd-rom", DK_DVDROM},     {"dvd-r", DK_DVDR},       {"dvd-rw", DK_DVDRW_RO},
    {"dvd-rw-seq", DK_DVDRW_RO}, {"dvd+r", DK_DVDPLUSR},  {"dvd+rw", DK_DVDPLUSRW},
    {"dvd-ram", DK_DVDRAM},     {"bd-rom", DK_BDROM},     {"bd-r", DK_BDR},
    {"bd-r-dl", DK_BDR},        {"bd-re", DK_BDRE},
};

bool Writable(const std::string& medium) {
  return !medium.starts_with("cd-rom") && !medium.starts_with("dvd-rom") && !medium.starts_with("bd-rom");
}

class VirtualRecorderTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/mburn-drive-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    SetSPTIPlatform(&noDrives);
  }
  void TearDown() override {
    device.reset();
    ResetASPILayer();
    VRecShutdown();
    SetClock(nullptr);
    SetSPTIPlatform(nullptr);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // One drive with a disc of `medium`, bound in-process, scanned and selected.
  void Start(const std::string& medium, const std::string& options = "",
             const std::string& image = "disc.img") {
    std::string error;
    const std::string config =
        (dir / image).string() + ":" + medium + ",sync=1" + (options.empty() ? "" : "," + options);
    ASSERT_TRUE(VRecConfigure(config, &error)) << error;
    BindASPIEntries(&VRecGetASPI32SupportInfo, &VRecSendASPI32Command);
    device = std::make_unique<TSCSIDevice>();
    ASSERT_EQ(device->DeviceList.size(), 1u);
    device->SelectDevice(device->DeviceList[0]);
    ASSERT_EQ(device->DeviceType, 0x05);
  }
  void Stop() {
    device.reset();
    ResetASPILayer();
    VRecShutdown();
  }

  // A data file of `sectors` sectors, recorded as the next session.
  void Record(const std::string& image, uint32_t sectors, bool closeDisc) {
    const fs::path iso = dir / "session.iso";
    {
      std::ofstream out(iso, std::ios::binary);
      std::string sector(2048, 'x');
      for (uint32_t i = 0; i < sectors; ++i) out << sector;
    }
    std::string error;
    uint32_t start = 0;
    ASSERT_TRUE(VRecWriteImage((dir / image).string(), iso.string(), closeDisc, &start, &error))
        << error;
  }

  // Page 05h as the recorder holds it now.
  std::array<uint8_t, 52> RecorderWritePage() {
    std::array<uint8_t, 512> answer{};
    EXPECT_TRUE(device->ModeSense10(0x05, answer.data(), false, 512, 511));
    std::array<uint8_t, 52> page{};
    std::copy_n(answer.begin() + 8, page.size(), page.begin());
    return page;
  }

  fs::path dir;
  TNoDrivesPlatform noDrives;
  std::unique_ptr<TSCSIDevice> device;
};

// Every medium: the drive list line, selection, and the disc queries before and
// after one recorded session; prints the summary of each as it goes.
TEST_F(VirtualRecorderTest, EveryMediumListsSelectsAndAnswersTheDiscQueries) {
  std::cout << "\nmedium        | drive list line                        | kind      | sessions | free\n";
  auto check = [&](const std::string& label, uint16_t kind, bool blank) {
    EXPECT_EQ(device->DeviceList[0], "0:0:0,?: MBURN   VIRTUAL DVD-RW  1.00");
    EXPECT_EQ(device->DeviceIdent, "MBURN    VIRTUAL DVD-RW   1.00");
    device->CurrentDiscKind = device->DiscKind();
    EXPECT_EQ(device->CurrentDiscKind, kind);
    const int sessions = device->RecordedSessions();
    const uint32_t free = device->FreeSectors();
    TVRecDiscInfo info;
    ASSERT_TRUE(VRecGetDiscInfo(0, &info));
    if (!Writable(label)) {
      EXPECT_EQ(free, 0u);
    } else if (blank) {
      EXPECT_EQ(free, info.FreeSectors);
      EXPECT_GT(free, 0u);
      if (kind != DK_DVDRAM) {
        EXPECT_EQ(sessions, 0);
      }
    } else {
      EXPECT_EQ(sessions, 1);
    }
    EXPECT_TRUE(device->WaitUntilReady(10000, 10));
    char row[256];
    std::snprintf(row, sizeof row, "%-13s | %s | %-9s | %8d | %u\n", label.c_str(),
                  device->DeviceList[0].c_str(), DiscKindNames(device->CurrentDiscKind), sessions,
                  free);
    std::cout << row;
  };
  for (const TMedium& m : kMedia) {
    SCOPED_TRACE(m.name);
    const std::string image = std::string(m.name) + ".img";
    Start(m.name, "", image);
    check(m.name, m.kind, true);
    Stop();
    if (!Writable(m.name)) continue;
    Record(image, 1000, false);
    Start(m.name, "", image);
    check(std::string(m.name) + " +1", m.kind, false);
    Stop();
  }
}

TEST_F(VirtualRecorderTest, NoMediumIsUnknownWithNothingFree) {
  Start("none");
  EXPECT_EQ(device->DiscKind(), DK_UNKNOWN);
  EXPECT_EQ(device->DiscStatus(), -1);
  EXPECT_EQ(device->RecordedSessions(), 0);
  EXPECT_EQ(device->FreeSectors(), 0u);
}

TEST_F(VirtualRecorderTest, AppendableAndCompleteDiscs) {
  for (const char* medium : {"cd-r", "dvd-r", "dvd+r", "bd-r"}) {
    SCOPED_TRACE(medium);
    const std::string image = std::string(medium) + ".img";
    Start(medium, "", image);
    device->CurrentDiscKind = device->DiscKind();
    const uint32_t blank = device->FreeSectors();
    EXPECT_EQ(device->DiscStatus(), 0);
    Stop();

    Record(image, 300, false);
    Start(medium, "", image);
    device->CurrentDiscKind = device->DiscKind();
    EXPECT_EQ(device->DiscStatus(), 1);
    EXPECT_EQ(device->RecordedSessions(), 1);
    const uint32_t appendable = device->FreeSectors();
    EXPECT_GT(appendable, 0u);
    EXPECT_LE(appendable, blank - 300);
    TVRecDiscInfo info;
    ASSERT_TRUE(VRecGetDiscInfo(0, &info));
    EXPECT_EQ(appendable, info.FreeSectors);
    Stop();

    Record(image, 100, false);
    Start(medium, "", image);
    EXPECT_EQ(device->RecordedSessions(), 2);
    Stop();

    Record(image, 100, true);
    Start(medium, "", image);
    device->CurrentDiscKind = device->DiscKind();
    EXPECT_EQ(device->DiscStatus(), 2);
    EXPECT_EQ(device->RecordedSessions(), 3);
    EXPECT_EQ(device->FreeSectors(), 0u);
    Stop();
  }
}

TEST_F(VirtualRecorderTest, CapabilitiesAndSpeeds) {
  Start("dvd-r");
  const uint32_t caps = device->DeviceCapabilities;
  EXPECT_EQ(caps & (DC_READ_CDR | DC_READ_CDRW | DC_READ_METHOD2 | DC_READ_DVDROM),
            DC_READ_CDR | DC_READ_CDRW | DC_READ_METHOD2 | DC_READ_DVDROM);
  EXPECT_NE(caps & DC_WRITE_CDR, 0u);
  EXPECT_NE(caps & DC_WRITE_TEST, 0u);
  EXPECT_NE(caps & DC_WRITE_DVDR, 0u);
  EXPECT_NE(caps & DC_UNDERRUNPROTECTION, 0u);
  EXPECT_NE(caps & DC_READ_DVDPLUSRW, 0u);
  EXPECT_EQ(device->DeviceMaxReadSpeed, 22160);
  EXPECT_EQ(device->DeviceMaxWriteSpeed, 22160);
  EXPECT_EQ(device->GetMaxReadSpeed(), 22160);
  EXPECT_TRUE(device->SetCDSpeed(0, 5540));
  EXPECT_EQ(device->GetCurrentWriteSpeed(), 5540);
  Stop();

  // A writer of CD only, without underrun protection.
  Start("cd-r", "dvd-writer=0,no-bufe=1", "cd-writer.img");
  EXPECT_EQ(device->DeviceCapabilities & (DC_WRITE_DVDR | DC_WRITE_DVDPLUSR | DC_WRITE_DVDRAM), 0u);
  EXPECT_EQ(device->DeviceCapabilities & DC_UNDERRUNPROTECTION, 0u);
  EXPECT_EQ(device->DeviceMaxWriteSpeed, 7056);
  Stop();

  // Page 30h alone is enough for underrun protection.
  Start("cd-r", "no-bufe=1,page30=1", "page30.img");
  EXPECT_NE(device->DeviceCapabilities & DC_UNDERRUNPROTECTION, 0u);
  Stop();

  // A DVD writer asked about a medium it cannot write reports no write speed:
  // the substitute stands in.
  Start("dvd-r", "dvd-writer=0", "reader.img");
  EXPECT_EQ(device->GetCurrentWriteSpeed(), 1385);
  EXPECT_EQ(device->DeviceMaxWriteSpeed, 1385);
}

TEST_F(VirtualRecorderTest, WriteParametersPageAsTheRecorderHoldsIt) {
  struct TExpected {
    const char* medium;
    uint8_t byte2, byte3, linkSize, byte6;
    uint32_t packet;
  };
  // UnderrunProtection on, no test write, not finalising.
  const TExpected cases[] = {
      {"cd-r", 0x41, 0xC4, 0, 0, 0},     {"cd-rw", 0x41, 0xC4, 0, 0, 0},
      {"dvd-r", 0x60, 0xE5, 0, 0x10, 16}, {"dvd-rw", 0x60, 0xC5, 0x10, 0, 0},
      {"dvd-rw-seq", 0x60, 0xC5, 0x10, 0, 0}, {"dvd+rw", 0x62, 0x04, 0x10, 0, 0},
      {"dvd+r", 0x62, 0xC4, 0, 0, 16},
  };
  for (const TExpected& c : cases) {
    SCOPED_TRACE(c.medium);
    Start(c.medium, "", std::string(c.medium) + ".img");
    const uint16_t kind = device->DiscKind();
    ASSERT_TRUE(device->SetWriteParameters({false, true, false, kind})) << device->LastError;
    const auto page = RecorderWritePage();
    EXPECT_EQ(page[2], c.byte2);
    EXPECT_EQ(page[3], c.byte3);
    EXPECT_EQ(page[4], 0x08);
    EXPECT_EQ(page[5], c.linkSize);
    EXPECT_EQ(page[6], c.byte6);
    EXPECT_EQ(static_cast<uint32_t>(page[10] << 24 | page[11] << 16 | page[12] << 8 | page[13]),
              c.packet);
    EXPECT_EQ(page[14] << 8 | page[15], 150);
    Stop();
  }
  Start("dvd-ram");
  EXPECT_TRUE(device->SetWriteParameters({false, true, false, DK_DVDRAM}));
}

TEST_F(VirtualRecorderTest, TestWriteOnCdClearsTheMultiSessionBits) {
  Start("cd-rw");
  ASSERT_TRUE(device->SetWriteParameters({true, false, false, DK_CDRW}));
  const auto page = RecorderWritePage();
  EXPECT_EQ(page[2], 0x11);
  EXPECT_EQ(page[3], 0x04);
}

TEST_F(VirtualRecorderTest, QuirkModelsSetTheirFlags) {
  Start("cd-r", "no-bufe=1");
  struct TQuirk {
    const char* key;
    const char* value;
    bool force, params, slowModel, slowDevice, closeImmediate;
  };
  const TQuirk quirks[] = {
      {"product", "CD-W512EB", true, false, false, false, true},
      {"product", "CRX175E", false, true, false, false, true},
      {"product", "CD-RW  CRX800E", false, true, false, false, true},
      {"product", "UJDA740", false, false, true, false, true},
      {"product", "DVD-RW  DVR-103 ", false, false, false, true, true},
      {"product", "DVD-RW  DVR-104 ", false, false, false, true, true},
      {"product", "CDRW321040X", false, false, false, false, false},
      {"product", "VIRTUAL DVD-RW", false, false, false, false, true},
  };
  for (const TQuirk& q : quirks) {
    SCOPED_TRACE(q.value);
    std::string error;
    ASSERT_TRUE(VRecSetOption(0, q.key, q.value, &error)) << error;
    device->SelectDevice(device->DeviceList[0]);
    ASSERT_EQ(device->DeviceType, 0x05);
    EXPECT_EQ(device->ForceUnderrunProtection, q.force);
    EXPECT_EQ(device->WriteParamsQuirk, q.params);
    EXPECT_EQ(device->SlowReadyModel, q.slowModel);
    EXPECT_EQ(device->SlowReadyDevice, q.slowDevice);
    EXPECT_EQ(device->CloseTrackImmediate, q.closeImmediate);
  }

  std::string error;
  ASSERT_TRUE(VRecSetOption(0, "vendor", "TDK", &error)) << error;
  device->SelectDevice(device->DeviceList[0]);
  EXPECT_TRUE(device->SlowReadyModel);

  // The forced model gets BUFE although its page does not report protection.
  ASSERT_TRUE(VRecSetOption(0, "vendor", "MBURN", &error)) << error;
  ASSERT_TRUE(VRecSetOption(0, "product", "CD-W512EB", &error)) << error;
  device->SelectDevice(device->DeviceList[0]);
  ASSERT_TRUE(device->SetWriteParameters({false, true, false, DK_CDR}));
  EXPECT_EQ(RecorderWritePage()[2] & 0x40, 0x40);
  // The next model does not inherit it.
  ASSERT_TRUE(VRecSetOption(0, "product", "CRX175E", &error)) << error;
  device->SelectDevice(device->DeviceList[0]);
  ASSERT_TRUE(device->SetWriteParameters({false, true, false, DK_CDR}));
  EXPECT_EQ(RecorderWritePage()[2], 0x21);
}

TEST_F(VirtualRecorderTest, WaitUntilReadyAfterASlowLoad) {
  TCountingClock clock;
  clock.realEvents = true;
  SetClock(&clock);
  Start("cd-r", "load-ms=7000");
  auto reload = [&] {
    ASSERT_TRUE(device->LoadEject(true));
    ASSERT_TRUE(device->LoadEject(false));
    EXPECT_FALSE(device->TestUnitReady(5000));  // the medium change is reported first
  };
  reload();
  clock.sleeps.clear();
  EXPECT_TRUE(device->WaitUntilReady(10000, 1000));
  EXPECT_EQ(clock.sleeps, std::vector<uint32_t>(7, 1000));

  reload();
  EXPECT_FALSE(device->WaitUntilReady(5000, 1000));
}

TEST_F(VirtualRecorderTest, SlowModelWaitsInLongStepsFirst) {
  TCountingClock clock;
  clock.realEvents = true;
  SetClock(&clock);
  Start("cd-r", "load-ms=4000,product=UJDA740");
  ASSERT_TRUE(device->SlowReadyModel);
  ASSERT_TRUE(device->LoadEject(true));
  ASSERT_TRUE(device->LoadEject(false));
  EXPECT_FALSE(device->TestUnitReady(5000));  // the medium change is reported first
  clock.sleeps.clear();
  EXPECT_TRUE(device->WaitUntilReady(10000, 1000));
  EXPECT_EQ(clock.sleeps, (std::vector<uint32_t>{1500, 1500, 1500, 1000}));
}

// The library back-end as the program uses it: loaded with dlopen, completing
// requests on its own thread and signalling the completion event.
TEST_F(VirtualRecorderTest, InitDevicesLoadsTheRecorderLibrary) {
  ::setenv("MBURN_VIRTUAL", ((dir / "library.img").string() + ":cd-rw").c_str(), 1);
  ResetASPILayer();
  TSCSIDevice library;
  ASSERT_TRUE(library.InitDevices(false, MBURN_BINARY_DIR "/libmburn-vrecorder.so"));
  EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
  ASSERT_EQ(library.DeviceList.size(), 1u);
  EXPECT_EQ(library.DeviceList[0], "0:0:0,?: MBURN   VIRTUAL DVD-RW  1.00");
  library.SelectDevice(library.DeviceList[0]);
  EXPECT_EQ(library.DeviceType, 0x05);
  EXPECT_EQ(library.DiscKind(), DK_CDRW);
  EXPECT_EQ(library.FreeSectors(), 359847u);
  ResetASPILayer();
  ::unsetenv("MBURN_VIRTUAL");
}

}  // namespace
