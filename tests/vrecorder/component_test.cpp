// The drive-control component over the emulator: its execution routine waits
// for the completion event, and its time-out path aborts a request that never
// completes, after which the drive goes on answering.
#include "drive/drive.h"
#include "vrec_test_util.h"

using namespace vrtest;

namespace {

// Every wait for a completion event times out at once, as after ten seconds.
class TTimeOutClock final : public TClock {
public:
  uint64_t NowMs() override { return Now; }
  void Sleep(uint32_t ms) override { Now += ms; }
  bool WaitEvent(int fd, uint32_t ms) override {
    if (TimeOut) {
      Now += ms;
      return false;
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, int(ms)) == 1;
  }
  uint64_t Now = 5000;
  bool TimeOut = false;
};

class Component : public TVRecFixture {
protected:
  void TearDown() override {
    device.reset();
    ResetASPILayer();
    TVRecFixture::TearDown();
  }
  std::unique_ptr<TSCSIDevice> device;
};

TEST_F(Component, ExecutionWaitsForTheRecordersThreadAndTimesOutOnAHang) {
  TTimeOutClock clock;
  SetClock(&clock);
  Configure(Path("cd.img") + ":cd-r,log=" + Path("log"));
  BindASPIEntries(&VRecGetASPI32SupportInfo, &VRecSendASPI32Command);
  device = std::make_unique<TSCSIDevice>();
  ASSERT_EQ(device->DeviceList.size(), 1u);
  device->SelectDevice(device->DeviceList[0]);
  ASSERT_EQ(device->DeviceType, 0x05);
  EXPECT_EQ(device->DiscKind(), 2);  // CD-R, through completions on the recorder's thread
  EXPECT_EQ(device->FreeSectors(), 359847u);

  VRecSetHang(0, 0x00, 1);
  clock.TimeOut = true;
  EXPECT_FALSE(device->TestUnitReady(5000));
  EXPECT_EQ(device->LastError, "");  // a time-out carries no text
  clock.TimeOut = false;
  // the abort took the hung request away: the drive answers again
  EXPECT_TRUE(device->TestUnitReady(5000));
  EXPECT_TRUE(device->RezeroUnit());
}

}  // namespace
