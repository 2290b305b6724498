// The emulated drive: the ASPI requests, identification, mode pages and
// features per medium, loading and ejecting, timing, the buffer, every fault
// key, asynchronous completion and the command log.
#include <dlfcn.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "vrec_test_util.h"

using namespace vrtest;

namespace {

class Drive : public TVRecFixture {};

TEST_F(Drive, AnswersTheHostAdapterRequests) {
  Configure(Path("a.img") + ";" + Path("b.img") + ":dvd-r,type=4");
  EXPECT_EQ(VRecGetASPI32SupportInfo(), uint32_t(SS_COMP) << 8 | 1);
  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(VRecSendASPI32Command(&ha), SS_COMP);
  EXPECT_EQ(ha.HA_Count, 1);
  EXPECT_STREQ(ha.HA_Identifier, "VIRTUAL 0");
  ha.SRB_HaId = 1;
  EXPECT_EQ(VRecSendASPI32Command(&ha), SS_INVALID_HA);

  SRB_GDEVBlock dev{};
  dev.SRB_Cmd = SC_GET_DEV_TYPE;
  dev.SRB_Target = 1;
  EXPECT_EQ(VRecSendASPI32Command(&dev), SS_COMP);
  EXPECT_EQ(dev.SRB_DeviceType, 4);
  dev.SRB_Target = 2;
  EXPECT_EQ(VRecSendASPI32Command(&dev), SS_NO_DEVICE);

  SRB_GetDiskInfo disk{};
  disk.SRB_Cmd = SC_GET_DISK_INFO;
  EXPECT_EQ(VRecSendASPI32Command(&disk), SS_COMP);
  EXPECT_EQ(disk.SRB_Int13HDriveInfo, 0x80);

  EXPECT_EQ(Send(5, {0x00, 0, 0, 0, 0, 0}).Status, SS_NO_DEVICE);
  EXPECT_EQ(VRecSendASPI32Command(nullptr), SS_ERR);
}

TEST_F(Drive, InquiryCarriesTheConfiguredIdentification) {
  Configure(Path("a.img") + ",vendor=TDK,product=CDRW321040X,revision=2.0A,sync=1");
  std::vector<uint8_t> b(128, 0xEE);
  ASSERT_TRUE(Send(0, {0x12, 0, 0, 0, 128, 0}, &b).Good());
  EXPECT_EQ(b[0], 5);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 36), "TDK     CDRW321040X     2.0A");
  EXPECT_EQ(b[100], 0xEE);  // 96 bytes, no more
}

TEST_F(Drive, UnknownOperationCodesAreIllegal) {
  Configure(Path("a.img") + ",sync=1");
  EXPECT_TRUE(Send(0, {0xA3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Is(5, 0x20, 0x00));  // SEND KEY
  EXPECT_TRUE(Send(0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Is(5, 0x20, 0x00));
}

struct TProfileCase {
  const char* Medium;
  uint16_t Profile;
  bool PlusRwCurrent, DashCurrent;
};

TEST_F(Drive, CurrentProfileAndFeaturesFollowTheMedium) {
  const TProfileCase cases[] = {
      {"none", 0x0000, false, false},     {"cd-rom", 0x0008, false, false},
      {"cd-r", 0x0009, false, false},     {"cd-rw", 0x000A, false, false},
      {"dvd-rom", 0x0010, false, false},  {"dvd-r", 0x0011, false, true},
      {"dvd-ram", 0x0012, false, false},  {"dvd-rw", 0x0013, false, true},
      {"dvd-rw-seq", 0x0014, false, true}, {"dvd+rw", 0x001A, true, false},
      {"dvd+r", 0x001B, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Medium);
    VRecShutdown();
    std::filesystem::remove(Path("x.img"));
    std::filesystem::remove(Path("x.img.state"));
    Configure(Path("x.img") + ":" + c.Medium + ",sync=1");
    std::vector<uint8_t> b(114, 0);
    ASSERT_TRUE(Send(0, {0x46, 2, 0, 0x2A, 0, 0, 0, 0, 114, 0}, &b).Good());
    EXPECT_EQ(Be16(b, 6), c.Profile);
    EXPECT_EQ(Be16(b, 8), 0x002A);
    EXPECT_EQ(b[10] & 0x01, c.PlusRwCurrent ? 1 : 0);
    EXPECT_EQ(b[12], 0x01);  // it can write
    ASSERT_TRUE(Send(0, {0x46, 2, 0, 0x2F, 0, 0, 0, 0, 114, 0}, &b).Good());
    EXPECT_EQ(Be16(b, 8), 0x002F);
    EXPECT_EQ(b[10] & 0x01, c.DashCurrent ? 1 : 0);
    EXPECT_EQ(b[12], 0x01);
  }
}

TEST_F(Drive, ACdWriterHasNoDvdWriteFeatures) {
  Configure(Path("x.img") + ":dvd-r,sync=1,dvd-writer=0");
  std::vector<uint8_t> b(114, 0);
  ASSERT_TRUE(Send(0, {0x46, 2, 0, 0x2F, 0, 0, 0, 0, 114, 0}, &b).Good());
  EXPECT_EQ(Be32(b, 0), 4u);  // the header alone
  EXPECT_TRUE(Write10(0, 0, 1).Is(5, 0x30, 0x05));
}

// A BD drive: its profile and features; a BD-RE takes data once formatted, a BD-R is
// never formatted nor finalised with function 5; a drive without BD features writes no BD.
TEST_F(Drive, BdMediaAnswerAsABdWriterDoes) {
  Configure(Path("r.img") + ":bd-r,sync=1;" + Path("re.img") + ":bd-re,sync=1;" + Path("n.img") +
            ":bd-r,sync=1,bd-writer=0");
  std::vector<uint8_t> fmt = {0, 0, 0, 8, 0, 0xBA, 0x74, 0x01, 0, 0, 0, 0}, caps(12, 0), config(114, 0);
  const auto format = [&](uint8_t t) { return Send(t, {0x04, 0x11, 0, 0, 0, 0}, &fmt, SRB_DIR_OUT); };
  ASSERT_TRUE(Send(0, {0x46, 2, 0, 0x41, 0, 0, 0, 0, 114, 0}, &config).Good());
  EXPECT_EQ(Be32(config, 6), 0x00410041u);  // profile BD-R, feature BD Write
  EXPECT_TRUE(Write10(2, 0, 1).Is(5, 0x30, 0x05));
  EXPECT_TRUE(format(0).Is(5, 0x30, 0x06));
  EXPECT_TRUE(Write10(1, 0, 1).Is(5, 0x30, 0x10));
  EXPECT_TRUE(format(1).Is(5, 0x26, 0x00));  // one block more than the disc has
  fmt[7] = 0;
  ASSERT_TRUE(format(1).Good() && Send(1, {0x23, 0, 0, 0, 0, 0, 0, 0, 12, 0}, &caps).Good());
  EXPECT_TRUE(Be32(caps, 4) == 12219392u && (caps[8] & 0x03) == 2);  // formatted, the whole disc
  EXPECT_TRUE(Write10(1, 100, 1).Good());
  EXPECT_TRUE(Close(0, 5).Is(5, 0x24, 0x00));
}

TEST_F(Drive, ModeSenseGivesTheHeaderThenThePage) {
  Configure(Path("cd.img") + ":cd-rw,sync=1;" + Path("dvd.img") + ":dvd+rw,sync=1,no-bufe=1,buffer-kb=4096");
  std::vector<uint8_t> b(255, 0);
  ASSERT_TRUE(Send(0, {0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 255, 0}, &b).Good());  // defaults
  EXPECT_EQ(Be16(b, 6), 0);  // no block descriptor
  EXPECT_EQ(b[8], 0x2A);
  EXPECT_EQ(b[10] & 0x3F, 0x3F);  // reads CD and DVD kinds
  EXPECT_EQ(b[11], 0x37);         // writes CD-R, CD-RW, test, DVD-R, DVD-RAM
  EXPECT_EQ(b[12] & 0x80, 0x80);  // underrun protection
  EXPECT_EQ(Be16(b, 8 + 18), 5645);  // 32x on CD-RW
  EXPECT_EQ(Be16(b, 8 + 12), 2048);
  ASSERT_TRUE(Send(0, {0xBB, 0, 0xFF, 0xFF, 0x05, 0x69, 0, 0, 0, 0, 0, 0}).Good());
  ASSERT_TRUE(Send(0, {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, &b).Good());
  EXPECT_EQ(Be16(b, 8 + 20), 1385);  // current write speed as set
  EXPECT_EQ(Be16(b, 8 + 14), 7056);  // FFFFh: the maximum

  ASSERT_TRUE(Send(1, {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, &b).Good());
  EXPECT_EQ(b[12] & 0x80, 0);
  EXPECT_EQ(Be16(b, 8 + 18), 11080);
  EXPECT_EQ(Be16(b, 8 + 12), 4096);

  ASSERT_TRUE(Send(0, {0x5A, 0, 0x05, 0, 0, 0, 0, 0x02, 0, 0}, &b).Good());
  EXPECT_EQ(b[8], 0x05);
  EXPECT_EQ(b[9], 0x32);
  EXPECT_EQ(Be16(b, 0), 8u + 52 - 2);
  EXPECT_TRUE(Send(0, {0x5A, 0, 0x30, 0, 0, 0, 0, 0, 128, 0}, &b).Is(5, 0x24, 0x00));
  // a page of another length or code is refused
  std::vector<uint8_t> p(60, 0);
  p[8] = 0x05, p[9] = 0x30;
  EXPECT_TRUE(Send(0, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, &p, SRB_DIR_OUT).Is(5, 0x26, 0x00));
  p[9] = 0x40;  // longer than the list
  EXPECT_TRUE(Send(0, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, &p, SRB_DIR_OUT).Is(5, 0x1A, 0x00));
  p[8] = 0x2A, p[9] = 0x32;
  EXPECT_TRUE(Send(0, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, &p, SRB_DIR_OUT).Is(5, 0x26, 0x00));
}

TEST_F(Drive, PageThirtyOnlyWhenAskedFor) {
  Configure(Path("cd.img") + ",sync=1,page30=1");
  std::vector<uint8_t> b(128, 0);
  ASSERT_TRUE(Send(0, {0x5A, 0, 0x30, 0, 0, 0, 0, 0, 128, 0}, &b).Good());
  EXPECT_EQ(b[8], 0x30);
}

TEST_F(Drive, AtipOnRecordableCdsOnly) {
  Configure(Path("r.img") + ":cd-r,sync=1;" + Path("w.img") + ":cd-rw,sync=1;" + Path("d.img") +
            ":dvd-r,sync=1;" + Path("p.img") + ":cd-rom,sync=1");
  std::vector<uint8_t> b(26, 0);
  ASSERT_TRUE(Send(0, {0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 26, 0}, &b).Good());
  EXPECT_EQ(b[6], 0x80);
  ASSERT_TRUE(Send(1, {0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 26, 0}, &b).Good());
  EXPECT_EQ(b[6], 0xC0);
  EXPECT_EQ(b[12], 79);  // last lead-out start 79:59:72 for 80 minutes
  EXPECT_EQ(b[13], 59);
  EXPECT_EQ(b[14], 72);
  EXPECT_TRUE(Send(2, {0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 26, 0}, &b).Is(5, 0x24, 0x00));
  EXPECT_TRUE(Send(3, {0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 26, 0}, &b).Is(5, 0x24, 0x00));
}

TEST_F(Drive, EjectLoadAndTheTimeToBecomeReady) {
  TFakeClock clock;
  SetClock(&clock);
  Configure(Path("cd.img") + ":cd-r,sync=1,load-ms=4000");
  const std::initializer_list<uint8_t> tur = {0x00, 0, 0, 0, 0, 0};
  EXPECT_TRUE(Send(0, tur).Good());
  EXPECT_TRUE(Send(0, {0x1E, 0, 0, 0, 1, 0}).Good());  // prevent
  EXPECT_TRUE(Send(0, {0x1B, 0, 0, 0, 2, 0}).Is(5, 0x53, 0x02));
  EXPECT_TRUE(Send(0, {0x1E, 0, 0, 0, 0, 0}).Good());
  EXPECT_TRUE(Send(0, {0x1B, 0, 0, 0, 2, 0}).Good());  // eject
  EXPECT_TRUE(Send(0, tur).Is(2, 0x3A, 0x02));
  TReply r;
  DiscInfo(0, &r);
  EXPECT_TRUE(r.Is(2, 0x3A, 0x02));
  std::vector<uint8_t> b(114, 0);
  ASSERT_TRUE(Send(0, {0x46, 2, 0, 0, 0, 0, 0, 0, 114, 0}, &b).Good());
  EXPECT_EQ(Be16(b, 6), 0);  // no profile with the tray open
  EXPECT_TRUE(Send(0, {0x1B, 0, 0, 0, 3, 0}).Good());  // load
  EXPECT_TRUE(Send(0, tur).Is(6, 0x28, 0x00));
  EXPECT_TRUE(Send(0, tur).Is(2, 0x04, 0x01));
  std::vector<uint8_t> sense(18, 0);
  ASSERT_TRUE(Send(0, {0x03, 0, 0, 0, 18, 0}, &sense).Good());
  EXPECT_EQ(sense[0], 0x70);
  EXPECT_EQ(sense[12], 0x04);
  EXPECT_EQ(sense[13], 0x01);
  clock.Advance(4000);
  EXPECT_TRUE(Send(0, tur).Good());
  ASSERT_TRUE(Send(0, {0x03, 0, 0, 0, 18, 0}, &sense).Good());
  EXPECT_EQ(sense[12], 0x00);
  EXPECT_TRUE(Send(0, {0x1B, 0, 0, 0, 3, 0}).Good());  // loaded already: nothing changes
  EXPECT_TRUE(Send(0, tur).Good());
}

TEST_F(Drive, ImmediateFlushAndCloseReportALongWrite) {
  TFakeClock clock;
  SetClock(&clock);
  Configure(Path("cd.img") + ":cd-r,sync=1,long-write-ms=20000");
  ASSERT_TRUE(Write10(0, 0, 8).Good());
  ASSERT_TRUE(Send(0, {0x35, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}).Good());
  TReply r;
  DiscInfo(0, &r);
  EXPECT_TRUE(r.Is(2, 0x04, 0x08));
  EXPECT_TRUE(Write10(0, 8, 1).Is(2, 0x04, 0x08));
  std::vector<uint8_t> b(128, 0);
  EXPECT_TRUE(Send(0, {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 128, 0}, &b).Good());  // no medium access
  clock.Advance(20000);
  ASSERT_TRUE(Close(0, 2, 0, true).Good());
  DiscInfo(0, &r);
  EXPECT_TRUE(r.Is(2, 0x04, 0x08));
  clock.Advance(20000);
  DiscInfo(0, &r);
  EXPECT_TRUE(r.Good());
}

TEST_F(Drive, AnImmediateCloseDoesNotWaitForTheBuffer) {
  TFakeClock clock;
  SetClock(&clock);
  Configure(Path("cd.img") + ":cd-r,sync=1,write-speed=100");
  ASSERT_TRUE(Write10(0, 0, 32).Good());  // 65,536 bytes: 656 ms at 100 kB/s
  const uint64_t before = clock.NowMs();
  ASSERT_TRUE(Close(0, 2, 0, true).Good());
  EXPECT_EQ(clock.NowMs(), before);
  TReply r;
  DiscInfo(0, &r);
  EXPECT_TRUE(r.Is(2, 0x04, 0x08));
  clock.Advance(656);
  DiscInfo(0, &r);
  EXPECT_TRUE(r.Good());
}

TEST_F(Drive, BusyFaultAnswersBusyForTheNextCommands) {
  Configure(Path("cd.img") + ",sync=1,busy=2");
  const std::initializer_list<uint8_t> tur = {0x00, 0, 0, 0, 0, 0};
  for (int i = 0; i < 2; ++i) {
    TReply r = Send(0, tur);
    EXPECT_EQ(r.Status, SS_ERR);
    EXPECT_EQ(r.Target, STATUS_BUSY);
    EXPECT_EQ(r.Asc, 0);
  }
  EXPECT_TRUE(Send(0, tur).Good());
  VRecSetBusy(0, 1);
  EXPECT_EQ(Write10(0, 0, 1).Target, STATUS_BUSY);
  EXPECT_TRUE(Write10(0, 0, 1).Good());
}

TEST_F(Drive, NotReadyFault) {
  Configure(Path("cd.img") + ",sync=1,not-ready=1");
  EXPECT_TRUE(Send(0, {0x00, 0, 0, 0, 0, 0}).Is(2, 0x04, 0x00));
  EXPECT_TRUE(Write10(0, 0, 1).Is(2, 0x04, 0x00));
  std::vector<uint8_t> b(128, 0);
  EXPECT_TRUE(Send(0, {0x12, 0, 0, 0, 128, 0}, &b).Good());
  VRecSetNotReady(0, false);
  EXPECT_TRUE(Send(0, {0x00, 0, 0, 0, 0, 0}).Good());
}

TEST_F(Drive, WriteAndReadErrorsAtAnAddress) {
  Configure(Path("cd.img") + ",sync=1,write-error=40,read-error=3,corrupt-at=65");
  EXPECT_TRUE(Write10(0, 0, 32).Good());
  EXPECT_TRUE(Write10(0, 32, 32).Is(3, 0x0C, 0x00));
  EXPECT_EQ(Be32(TrackInfo(0, 0xFF), 12), 32u);  // nothing of it recorded
  VRecSetWriteError(0, -1);
  EXPECT_TRUE(Write10(0, 32, 32).Good());
  std::vector<uint8_t> data;
  EXPECT_TRUE(Read10(0, 0, 3, &data).Good());
  EXPECT_TRUE(Read10(0, 2, 2, &data).Is(3, 0x11, 0x00));
  VRecSetReadError(0, -1);
  EXPECT_TRUE(Read10(0, 2, 2, &data).Good());
  // corrupt-at: the write succeeds, but that one sector keeps every byte inverted.
  EXPECT_TRUE(Write10(0, 64, 32).Good());
  ASSERT_TRUE(Read10(0, 64, 3, &data).Good());
  EXPECT_EQ(std::count(data.begin(), data.end(), 0xA5), 2 * 2048);
  EXPECT_EQ(std::count(data.begin() + 2048, data.begin() + 4096, 0x5A), 2048);
}

// read-error takes ranges; read-retries makes their sectors weak: each fails
// that many covering reads, then reads.
TEST_F(Drive, ReadErrorRangesAndWeakSectors) {
  const struct { const char* Keys; std::vector<std::pair<uint32_t, bool>> Reads; } cases[] = {
      {"read-error=10-12+20", {{8, true}, {9, false}, {13, true}, {12, false}, {19, false}, {21, true}}},
      {"read-error=10-11,read-retries=2", {{9, false}, {10, false}, {9, true}, {11, false}, {10, true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Keys);
    VRecShutdown();
    std::filesystem::remove(Path("cd.img"));
    std::filesystem::remove(Path("cd.img.state"));
    Configure(Path("cd.img") + ",sync=1," + c.Keys);
    ASSERT_TRUE(Write10(0, 0, 32).Good());
    std::vector<uint8_t> data;
    for (const auto& [lba, good] : c.Reads)  // two sectors from lba
      EXPECT_EQ(Read10(0, lba, 2, &data).Is(3, 0x11, 0x00), !good) << lba;
  }
  std::string error;
  EXPECT_FALSE(VRecCheckConfig(Path("cd.img") + ",read-error=5-4", &error));
  EXPECT_FALSE(VRecCheckConfig(Path("cd.img") + ",capacity=0", &error));
}

// capacity= makes a new disc smaller; the state file keeps it through a new
// process and an erase. More than the medium holds is refused.
TEST_F(Drive, CapacityMakesASmallerDiscThatStaysSmall) {
  Configure(Path("rw.img") + ":cd-rw,sync=1,capacity=5000");
  TVRecDiscInfo info;
  ASSERT_TRUE(VRecGetDiscInfo(0, &info));
  EXPECT_EQ(info.Capacity, 5000u);
  ASSERT_TRUE(Write10(0, 0, 32).Good());
  EXPECT_TRUE(Write10(0, 4990, 32).Is(5, 0x21, 0x00));
  VRecShutdown();
  Configure(Path("rw.img") + ",sync=1");
  ASSERT_TRUE(VRecGetDiscInfo(0, &info));
  EXPECT_EQ(info.Capacity, 5000u);
  EXPECT_TRUE(Send(0, {0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Good());  // BLANK
  ASSERT_TRUE(VRecGetDiscInfo(0, &info));
  EXPECT_EQ(info.Capacity, 5000u);
  std::stringstream state;
  state << std::ifstream(Path("rw.img.state")).rdbuf();
  EXPECT_NE(state.str().find("\ncapacity 5000\n"), std::string::npos) << state.str();
  std::string error;
  EXPECT_FALSE(VRecConfigure(Path("big.img") + ":cd-r,capacity=400000", &error));
  EXPECT_NE(error.find("more than a cd-r holds (359847 sectors)"), std::string::npos) << error;
}

// A request goes to the recorder's worker and answers "pending"; a write that
// finds the recorder idle is done before the call returns. Both signal the event.
TEST_F(Drive, CompletionSignalsTheEvent) {
  Configure(Path("cd.img"));
  SRB_ExecSCSICmd srb{};
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_Flags = SRB_EVENT_NOTIFY;
  srb.SRB_CDBLen = 6;
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  srb.SRB_PostProc = fd;
  EXPECT_EQ(VRecSendASPI32Command(&srb), SS_PENDING);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  uint64_t value = 0;
  ASSERT_EQ(::read(fd, &value, sizeof value), ssize_t(sizeof value));
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE), SS_COMP);
  std::vector<uint8_t> data(2048, 0x33);
  srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_OUT;
  srb.SRB_CDBLen = 10, srb.SRB_BufLen = 2048, srb.SRB_BufPointer = data.data();
  srb.CDBByte[0] = 0x2A, srb.CDBByte[8] = 1;
  EXPECT_EQ(VRecSendASPI32Command(&srb), SS_COMP);
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  ASSERT_EQ(::read(fd, &value, sizeof value), ssize_t(sizeof value));
  ::close(fd);
}

TEST_F(Drive, ANeverCompletingRequestEndsOnlyByAbort) {
  Configure(Path("cd.img") + ",hang=2A,hang-count=1");
  SRB_ExecSCSICmd srb{};
  std::vector<uint8_t> data(2048, 0);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_OUT;
  srb.SRB_CDBLen = 10;
  srb.SRB_BufLen = 2048;
  srb.SRB_BufPointer = data.data();
  srb.CDBByte[0] = 0x2A;
  srb.CDBByte[8] = 1;
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  srb.SRB_PostProc = fd;
  EXPECT_EQ(VRecSendASPI32Command(&srb), SS_PENDING);
  // later requests pass it by; it stays pending
  EXPECT_TRUE(Send(0, {0x00, 0, 0, 0, 0, 0}).Good());
  EXPECT_EQ(__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE), SS_PENDING);
  ::close(fd);  // the caller gives up as ExecSCSICommand does, then aborts
  SRB_Abort abort{};
  abort.SRB_Cmd = SC_ABORT_SRB;
  abort.SRB_ToAbort = &srb;
  EXPECT_EQ(VRecSendASPI32Command(&abort), SS_COMP);
  EXPECT_EQ(srb.SRB_Status, SS_ABORTED);
  EXPECT_EQ(VRecSendASPI32Command(&abort), SS_ABORT_FAIL);  // nothing left to abort
  // hang-count=1: the next write goes through, at address 0, as nothing was written
  EXPECT_TRUE(Write10(0, 0, 1).Good());
}

TEST_F(Drive, LossOfStreamingWithoutUnderrunProtection) {
  TFakeClock clock;
  SetClock(&clock);
  Configure(Path("a.img") + ":cd-r,sync=1,write-speed=1000;" + Path("b.img") + ":cd-r,sync=1,slow-drain=1000,no-bufe=1");
  // BUFE on: the drive notes the underrun and goes on
  ASSERT_TRUE(Write10(0, 0, 32).Good());
  clock.Advance(10000);  // 10 MB could have drained: the buffer ran dry
  EXPECT_TRUE(Write10(0, 32, 32).Good());
  EXPECT_EQ(VRecGetDriveStats(0).UnderrunEvents, 1u);
  // BUFE off: the write fails and the track is spoiled
  ASSERT_TRUE(WriteParams(1, 0x41, 0xC4).Good());
  ASSERT_TRUE(Write10(1, 0, 32).Good());
  clock.Advance(10000);
  EXPECT_TRUE(Write10(1, 32, 32).Is(3, 0x0C, 0x09));
  EXPECT_TRUE(Write10(1, 32, 32).Is(3, 0x0C, 0x09));
  EXPECT_EQ(TrackInfo(1, 0xFF)[5] & 0x20, 0x20);  // damaged
  EXPECT_EQ(VRecGetDriveStats(1).LossOfStreaming, 1u);
}

TEST_F(Drive, TheBufferFillsAtTheDrainSpeed) {
  TFakeClock clock;
  SetClock(&clock);
  Configure(Path("a.img") + ":cd-r,sync=1,write-speed=1000,buffer-kb=256");
  std::vector<uint8_t> b(12, 0);
  ASSERT_TRUE(Send(0, {0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, &b).Good());
  EXPECT_EQ(Be32(b, 4), 262144u);
  EXPECT_EQ(Be32(b, 8), 262144u);
  ASSERT_TRUE(Write10(0, 0, 32).Good());
  ASSERT_TRUE(Send(0, {0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, &b).Good());
  EXPECT_EQ(Be32(b, 8), 262144u - 65536);
  const uint64_t before = clock.NowMs();
  for (uint32_t lba = 32; lba < 32 * 8; lba += 32) ASSERT_TRUE(Write10(0, lba, 32).Good());
  // 512 KiB through a 256 KiB buffer at 1000 bytes/ms: the writes had to wait
  EXPECT_GE(clock.NowMs() - before, (524288u - 262144u) / 1000);
  EXPECT_EQ(VRecGetDriveStats(0).UnderrunEvents, 0u);
}

TEST_F(Drive, CommandLogHasOneLinePerCommand) {
  const std::string log = Path("commands.log");
  Configure(Path("a.img") + ",sync=1,log=" + log);
  Send(0, {0x00, 0, 0, 0, 0, 0});
  Write10(0, 7, 1);
  VRecShutdown();
  std::ifstream in(log);
  std::string first, second, extra;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_FALSE(std::getline(in, extra));
  EXPECT_EQ(first, "00 00 00 00 00 00 status=01 target=00 key=0 asc=00 ascq=00");
  EXPECT_EQ(second, "2A 00 00 00 00 07 00 00 01 00 status=04 target=02 key=5 asc=21 ascq=02");
}

TEST_F(Drive, TheRunTimeLibraryReadsItsConfigurationFromTheEnvironment) {
  const std::string lib = std::string(MBURN_BINARY_DIR) + "/libmburn-vrecorder.so";
  ::setenv("MBURN_VIRTUAL", (Path("lib.img") + ":dvd+r").c_str(), 1);
  void* handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  auto support = reinterpret_cast<TGetASPI32SupportInfo>(::dlsym(handle, "GetASPI32SupportInfo"));
  auto send = reinterpret_cast<TSendASPI32Command>(::dlsym(handle, "SendASPI32Command"));
  ASSERT_TRUE(support && send);
  EXPECT_EQ(support(), uint32_t(SS_COMP) << 8 | 1);
  SRB_ExecSCSICmd srb{};
  std::vector<uint8_t> b(114, 0);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN;
  srb.SRB_CDBLen = 10;
  srb.SRB_BufLen = 114;
  srb.SRB_BufPointer = b.data();
  const uint8_t cdb[] = {0x46, 2, 0, 0, 0, 0, 0, 0, 114, 0};
  std::memcpy(srb.CDBByte, cdb, sizeof cdb);
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  srb.SRB_PostProc = fd;
  if (send(&srb) == SS_PENDING) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
  }
  ::close(fd);
  EXPECT_EQ(__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE), SS_COMP);
  EXPECT_EQ(Be16(b, 6), 0x001B);
  EXPECT_TRUE(std::filesystem::exists(Path("lib.img.state")));
  // loaded again with another drive list: the support-info entry takes it
  ::dlclose(handle);
  ::setenv("MBURN_VIRTUAL", (Path("one.img") + ";" + Path("two.img")).c_str(), 1);
  handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  support = reinterpret_cast<TGetASPI32SupportInfo>(::dlsym(handle, "GetASPI32SupportInfo"));
  EXPECT_EQ(support(), uint32_t(SS_COMP) << 8 | 1);
  EXPECT_TRUE(std::filesystem::exists(Path("two.img.state")));
  ::setenv("MBURN_VIRTUAL", "", 1);
  EXPECT_EQ(support(), uint32_t(SS_NO_ADAPTERS) << 8);  // drives gone, states written back
  ::dlclose(handle);
  ::unsetenv("MBURN_VIRTUAL");
}

}  // namespace
