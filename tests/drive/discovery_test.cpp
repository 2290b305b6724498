// Finding, listing and selecting drives; identification and model quirks.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "played_drive.h"

using namespace drivetest;

namespace {

using TAddress = std::tuple<uint8_t, uint8_t, uint8_t>;

// Drives by address answering INQUIRY with a type and identification; every
// other address fails it, as an empty target does.
struct TBus {
  std::map<TAddress, std::array<uint8_t, 128>> devices;
  int inquiries = 0;

  void Add(TAddress at, uint8_t type, const std::string& vendor, const std::string& product,
           const std::string& revision = "1.00") {
    FillInquiry(devices[at].data(), type, vendor, product, revision);
  }

  TReply operator()(const SRB_ExecSCSICmd& srb, uint8_t* data) {
    auto it = devices.find({srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun});
    if (it == devices.end()) return TReply::Fail(5, 0x25);
    if (srb.CDBByte[0] == 0x12) {
      ++inquiries;
      std::memcpy(data, it->second.data(), std::min<size_t>(srb.SRB_BufLen, 128));
    }
    return {};
  }
};

class DiscoveryTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetSPTIPlatform(&noDrives);
    transport.handler = std::ref(bus);
  }
  void TearDown() override { SetSPTIPlatform(nullptr); }

  TNoDrivesPlatform noDrives;
  TFakeTransport transport;
  TBus bus;
};

TEST_F(DiscoveryTest, ScanListsCdDvdAndWriteOnceDevicesAndRestoresTheAddress) {
  bus.Add({0, 0, 0}, 0x05, "MBURN", "VIRTUAL DVD-RW", "1.00");
  bus.Add({0, 2, 1}, 0x04, "WORM", "OPTICAL", "0.1");
  bus.Add({0, 3, 0}, 0x00, "DISK", "HARD DISK");
  TSCSIDevice device;
  ASSERT_EQ(device.DeviceList.size(), 2u);
  EXPECT_EQ(device.DeviceList[0], "0:0:0,?: MBURN   VIRTUAL DVD-RW  1.00");
  EXPECT_EQ(device.DeviceList[1], "0:2:1,?: WORM    OPTICAL         0.1  (not supported)");
  EXPECT_EQ(bus.inquiries, 3);
  EXPECT_EQ(transport.requests.size(), 64u);  // 8 targets x 8 luns, one adapter
  EXPECT_EQ(device.HaId, 0xFE);
  EXPECT_EQ(device.Target, 0xFE);
  EXPECT_EQ(device.Lun, 0xFE);
  EXPECT_TRUE(device.LastError.empty());
}

TEST_F(DiscoveryTest, EveryAdapterIsScanned) {
  transport.adapterCount = 3;
  bus.Add({2, 7, 7}, 0x05, "LAST", "CORNER");
  TSCSIDevice device;
  EXPECT_EQ(device.AdapterCount, 3);
  EXPECT_EQ(transport.requests.size(), 3u * 64u);
  ASSERT_EQ(device.DeviceList.size(), 1u);
  EXPECT_EQ(device.DeviceList[0].substr(0, 9), "2:7:7,?: ");
}

TEST_F(DiscoveryTest, AdapterCountRules) {
  TSCSIDevice device;
  transport.adapterCount = 0;
  device.HostAdapterInquiry(0);
  EXPECT_EQ(device.AdapterCount, 7);
  transport.inquiryStatus = SS_INVALID_HA;
  device.HostAdapterInquiry(0);
  EXPECT_EQ(device.AdapterCount, -1);
  transport.requests.clear();
  device.ScanDevices();
  EXPECT_TRUE(device.DeviceList.empty());
  EXPECT_TRUE(transport.requests.empty());
}

TEST_F(DiscoveryTest, DebugLinesOnlyWhenAsked) {
  bus.Add({0, 0, 0}, 0x05, "MBURN", "VIRTUAL DVD-RW");
  TSCSIDevice device;
  std::vector<std::pair<std::string, uint8_t>> messages;
  device.OnDebugMessage = [&](TObject*, const std::string& m, uint8_t kind) {
    messages.emplace_back(m, kind);
  };
  device.ScanDevices();
  EXPECT_TRUE(messages.empty());
  device.DoDebug = true;
  device.ScanDevices();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].first, ">>> WNASPI32.DLL");
  EXPECT_EQ(messages[1].first, ">>> TEST MANAGER (FAKE ADAPTER)");
  EXPECT_EQ(messages[0].second, MSG_INFO);
}

TEST_F(DiscoveryTest, DriveLetterOverTheLibraryBackEnd) {
  bus.Add({0, 1, 0}, 0x05, "MBURN", "VIRTUAL DVD-RW");
  transport.diskInfoDrive = 0x80;  // no BIOS drive
  {
    TSCSIDevice device;
    EXPECT_EQ(device.DeviceList.at(0).substr(0, 9), "0:1:0,?: ");
  }
  transport.diskInfoDrive = 3;  // 'D', the node sr1
  {
    TSCSIDevice device;
    EXPECT_EQ(device.DeviceList.at(0).substr(0, 11), "0:1:0,sr1: ");
  }

  // A node whose address has the port and target wins (the lun is not compared).
  struct TNodes : TNoDrivesPlatform {
    std::vector<int> opened, closed;
    int Open(int index) override {
      opened.push_back(index);
      return index == 6 || index == 4 ? 100 + index : -1;
    }
    bool Close(int handle) override {
      closed.push_back(handle);
      return true;
    }
    bool GetAddress(int handle, uint8_t& port, uint8_t& target, uint8_t& lun) override {
      port = 0;
      target = handle == 106 ? 1 : 5;
      lun = 3;
      return true;
    }
  } nodes;
  SetSPTIPlatform(&nodes);
  TSCSIDevice device;
  EXPECT_EQ(device.DeviceList.at(0).substr(0, 11), "0:1:0,sr4: ");
  EXPECT_EQ(nodes.closed, (std::vector<int>{104, 106}));
  EXPECT_EQ(nodes.opened.front(), 2);
}

TEST_F(DiscoveryTest, SelectingALineIdentifiesTheDrive) {
  bus.Add({1, 0, 0}, 0x05, "MBURN", "VIRTUAL DVD-RW", "1.00");
  transport.adapterCount = 2;
  TSCSIDevice device;
  ASSERT_EQ(device.DeviceList.size(), 1u);
  int changes = 0;
  device.OnDeviceChange = [&](TObject* sender) {
    EXPECT_EQ(sender, &device);
    ++changes;
  };
  const std::string line = device.DeviceList[0];
  EXPECT_EQ(line.substr(0, 6), "1:0:0,");
  device.SelectDevice(line);
  EXPECT_EQ(device.HaId, 1);
  EXPECT_EQ(device.Target, 0);
  EXPECT_EQ(device.Lun, 0);
  EXPECT_EQ(device.DeviceDescription, line);
  EXPECT_EQ(device.DeviceType, 0x05);
  EXPECT_EQ(device.DeviceIdent, "MBURN    VIRTUAL DVD-RW   1.00");
  EXPECT_EQ(device.DeviceIdent.size(), 30u);
  EXPECT_EQ(changes, 1);
  // Selection ends with the three write types offered.
  std::vector<uint8_t> selects;
  for (const TCapture& c : transport.requests)
    if (c.srb.CDBByte[0] == 0x55) selects.push_back(c.out.at(10));
  EXPECT_EQ(selects, (std::vector<uint8_t>{0x03, 0x02, 0x01}));
}

TEST_F(DiscoveryTest, InvalidSelectionsDeselectWithOneMessage) {
  bus.Add({0, 0, 0}, 0x05, "MBURN", "VIRTUAL DVD-RW");
  bus.Add({0, 1, 0}, 0x00, "DISK", "HARD DISK");
  bus.Add({0, 2, 0}, 0x04, "WORM", "OPTICAL");
  TSCSIDevice device;
  std::vector<std::string> messages;
  device.OnDebugMessage = [&](TObject*, const std::string& m, uint8_t kind) {
    EXPECT_EQ(kind, MSG_ERROR);
    messages.push_back(m);
  };
  const char* kText = "INVALID DEVICE ID / NOT A CD OR DVD DRIVE";
  const char* invalid[] = {"10:0:0,?: TWO DIGITS", "0:1:0,?: DISK", "0:5:0,?: NOTHING", "0:0",
                           "a:0:0,?:"};
  for (const char* line : invalid) {
    SCOPED_TRACE(line);
    device.SelectDevice("0:0:0,?: MBURN");
    ASSERT_EQ(device.DeviceType, 0x05);
    messages.clear();
    device.SelectDevice(line);
    EXPECT_EQ(messages, std::vector<std::string>{kText});
    EXPECT_EQ(device.HaId, 0xFE);
    EXPECT_EQ(device.Target, 0xFE);
    EXPECT_EQ(device.Lun, 0xFE);
    EXPECT_EQ(device.DeviceType, 0x7F);
    EXPECT_TRUE(device.DeviceDescription.empty());
    EXPECT_TRUE(device.DeviceIdent.empty());
  }
  device.SelectDevice("0:0:0,?: MBURN");
  messages.clear();
  device.SelectDevice("");
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(device.HaId, 0xFE);

  device.SelectDevice("0:2:0,?: WORM (not supported)");
  EXPECT_EQ(device.DeviceType, 0x04);
  EXPECT_EQ(device.Target, 2);
}

TEST_F(DiscoveryTest, IdentificationReplacesControlBytes) {
  bus.Add({0, 0, 0}, 0x05, "MBURN", "VIRTUAL DVD-RW");
  bus.devices[{0, 0, 0}][10] = 0x00;
  bus.devices[{0, 0, 0}][33] = 0x09;
  TSCSIDevice device;
  device.SelectDevice(device.DeviceList.at(0));
  EXPECT_EQ(device.DeviceIdent, "MB RN    VIRTUAL DVD-RW   1 00");
}

struct TQuirkCase {
  const char* vendor;
  std::string product;  // the 16 bytes as the drive stores them
  bool force, params, slowModel, slowDevice, closeImmediate;
};

TEST_F(DiscoveryTest, ModelQuirksFollowTheExactMatchingRules) {
  const TQuirkCase cases[] = {
      {"MBURN", "VIRTUAL DVD-RW  ", false, false, false, false, true},
      {"MBURN", "CD-W512EB       ", true, false, false, false, true},
      {"MBURN", "  CD-W512EB\x01    ", true, false, false, false, true},
      {"MBURN", "CD-W512EBX      ", false, false, false, false, true},
      {"MBURN", "CRX175E         ", false, true, false, false, true},
      {"MBURN", "CD-RW  CRX800E  ", false, true, false, false, true},
      {"MBURN", "CD-RW CRX800E   ", false, false, false, false, true},
      {"MBURN", "UJDA740 DVD/CDRW", false, false, true, false, true},
      {"TDK", "CDRW121032      ", false, false, true, false, true},
      {"TDKX", "ANYTHING        ", false, false, true, false, true},
      {"TD", "ANYTHING        ", false, false, false, false, true},
      {"MBURN", "DVD-RW  DVR-103 ", false, false, false, true, true},
      {"MBURN", "DVD-RW  DVR-104 ", false, false, false, true, true},
      {"MBURN", "DVD-RW  DVR-104X", false, false, false, false, true},
      {"MBURN", " DVD-RW  DVR-104", false, false, false, false, true},
      {"MBURN", "CDRW321040X     ", false, false, false, false, false},
  };
  TSCSIDevice device;
  for (const TQuirkCase& c : cases) {
    SCOPED_TRACE(c.vendor + std::string(" / ") + c.product);
    ASSERT_EQ(c.product.size(), 16u);
    bus.Add({0, 0, 0}, 0x05, c.vendor, "");
    std::memcpy(bus.devices[{0, 0, 0}].data() + 16, c.product.data(), 16);
    device.SelectDevice("0:0:0,?: ");
    ASSERT_EQ(device.DeviceType, 0x05);
    EXPECT_EQ(device.ForceUnderrunProtection, c.force);
    EXPECT_EQ(device.WriteParamsQuirk, c.params);
    EXPECT_EQ(device.SlowReadyModel, c.slowModel);
    EXPECT_EQ(device.SlowReadyDevice, c.slowDevice);
    EXPECT_EQ(device.CloseTrackImmediate, c.closeImmediate);
    // The forced protection holds from this selection on, and only for this drive.
    EXPECT_EQ((device.DeviceCapabilities & DC_UNDERRUNPROTECTION) != 0, c.force);
  }
}

// ---------------------------------------------------------------- built-in layer

// Drive nodes for the built-in layer: node index -> address and INQUIRY data.
class TNodePlatform : public TSPTIPlatform {
public:
  struct TNode {
    uint8_t port, target, lun;
    std::array<uint8_t, 128> inquiry;
  };
  std::map<int, TNode> nodes;
  int closes = 0;

  bool IsCDDrive(int index) override { return nodes.count(index) != 0; }
  int Open(int index) override { return nodes.count(index) ? index : -1; }
  bool Close(int) override {
    ++closes;
    return true;
  }
  bool PassThrough(int handle, TPassThrough& r) override {
    if (r.Cdb[0] == 0x12)
      std::memcpy(r.Data, nodes.at(handle).inquiry.data(), std::min<uint32_t>(r.Length, 128));
    r.ScsiStatus = 0;
    return true;
  }
  bool GetAddress(int handle, uint8_t& port, uint8_t& target, uint8_t& lun) override {
    const TNode& n = nodes.at(handle);
    port = n.port;
    target = n.target;
    lun = n.lun;
    return true;
  }
};

TEST(BuiltInLayerDiscoveryTest, ScanAndSelectThroughThePassThroughSeam) {
  ResetASPILayer();
  TNodePlatform platform;
  TNodePlatform::TNode node{1, 0, 0, {}};
  FillInquiry(node.inquiry.data(), 0x05, "MBURN", "BUILT-IN DRIVE", "2.00");
  platform.nodes[3] = node;  // sr1
  SetSPTIPlatform(&platform);

  TSCSIDevice device;
  ASSERT_TRUE(device.InitDevices(true, ""));
  EXPECT_EQ(ASPILayerName(), "EBASPI32");
  EXPECT_EQ(device.AdapterCount, 2);
  ASSERT_EQ(device.DeviceList.size(), 1u);
  const std::string line = device.DeviceList[0];
  EXPECT_EQ(line, "1:0:0,sr1: MBURN   BUILT-IN DRIVE  2.00");

  device.SelectDevice(line);
  EXPECT_EQ(device.HaId, 1);
  EXPECT_EQ(device.Target, 0);
  EXPECT_EQ(device.Lun, 0);
  EXPECT_EQ(device.DeviceType, 0x05);
  EXPECT_EQ(device.DeviceIdent, "MBURN    BUILT-IN DRIVE   2.00");
  EXPECT_EQ(device.DriveLetter(), 'A' + 3);

  // Loading the medium closes the drive handle after the command; polling does not.
  const int before = platform.closes;
  EXPECT_TRUE(device.TestUnitReady(5000));
  EXPECT_EQ(platform.closes, before);
  EXPECT_TRUE(device.LoadEject(false));
  EXPECT_EQ(platform.closes, before + 1);
  EXPECT_TRUE(device.TestUnitReady(5000));
  EXPECT_EQ(platform.closes, before + 1);

  ResetASPILayer();
  SetSPTIPlatform(nullptr);
}

TEST(BuiltInLayerDiscoveryTest, NothingToBindLeavesTheListEmpty) {
  ResetASPILayer();
  TNodePlatform platform;  // no nodes
  SetSPTIPlatform(&platform);
  TSCSIDevice device;
  EXPECT_FALSE(device.InitDevices(true, "/nonexistent/libwnaspi32.so"));
  EXPECT_TRUE(device.DeviceList.empty());
  ResetASPILayer();
  SetSPTIPlatform(nullptr);
}

}  // namespace
