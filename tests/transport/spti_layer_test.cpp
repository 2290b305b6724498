// The built-in layer over a made-up operating system: the scan and its address
// rules, the emulated requests, and the drive handles.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>

#include "transport/fake_platform.h"

namespace {

constexpr int D = 3, E = 4, F = 5;

class SPTILayer : public ::testing::Test {
protected:
  void SetUp() override {
    ResetASPILayer();
    SetSPTIPlatform(&os);
  }
  void TearDown() override {
    ResetASPILayer();
    SPTICloseAfterCommand(false);
    SetSPTIPlatform(nullptr);
  }

  static SRB_ExecSCSICmd Exec(uint8_t ha, uint8_t target, uint8_t lun, uint8_t opcode) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = ha;
    srb.SRB_Target = target;
    srb.SRB_Lun = lun;
    srb.SRB_SenseLen = 24;
    srb.SRB_CDBLen = 6;
    srb.CDBByte[0] = opcode;
    return srb;
  }

  TScratchDir scratch;
  TFakePlatform os;
};

TEST_F(SPTILayer, TwoDrivesBindTheBuiltInLayerWhenNoLibraryIsFound) {
  os.Add(D, 1, 0, 0);
  os.Add(E, 1, 1, 0);
  ASSERT_TRUE(InitASPILayer(false, ""));
  EXPECT_TRUE(ASPIInitialized());
  EXPECT_EQ(ASPILayerName(), "EBASPI32");
  EXPECT_EQ(SPTIAdapterCount(), 2);
  EXPECT_EQ(ASPIGetSupportInfo(), (uint32_t{SS_COMP} << 8) | 2);
  EXPECT_EQ(SPTIDriveLetter(1, 0, 0), 'D');
  EXPECT_EQ(SPTIDriveLetter(1, 1, 0), 'E');
  EXPECT_EQ(SPTIDriveLetter(1, 2, 0), 0x7F);
  EXPECT_EQ(SPTIDriveLetter(0, 0, 0), 0x7F);
  // The scan leaves no drive open.
  EXPECT_TRUE(os.OpenHandles.empty());
}

TEST_F(SPTILayer, ScanInquiryAsksForNinetySixBytes) {
  os.Add(D, 0, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  ASSERT_EQ(os.Requests.size(), 1u);
  const TPassThrough& r = os.Requests[0];
  const uint8_t cdb[6] = {0x12, 0, 0, 0, 0x60, 0};
  EXPECT_EQ(std::memcmp(r.Cdb, cdb, 6), 0);
  EXPECT_EQ(r.CdbLength, 6);
  EXPECT_EQ(r.Dir, TPassThrough::Direction::In);
  EXPECT_EQ(r.Length, 96u);
  EXPECT_EQ(r.TimeoutSec, 120u);
}

TEST_F(SPTILayer, DrivesWithoutAddressGoOnOneExtraAdapterInLetterOrder) {
  os.Add(D, 1, 0, 0);
  os.Add(E, 0, 0, 0).HasAddress = false;
  os.Add(F, 0, 0, 0).HasAddress = false;
  ASSERT_EQ(SPTIScanDrives(), 3);
  EXPECT_EQ(SPTIAdapterCount(), 3);
  EXPECT_EQ(SPTIDriveLetter(1, 0, 0), 'D');
  EXPECT_EQ(SPTIDriveLetter(2, 0, 0), 'E');
  EXPECT_EQ(SPTIDriveLetter(2, 1, 0), 'F');
  EXPECT_EQ(SPTIDriveLetter(2, 0, 0xFA), 0x7F);  // the scan's marker does not survive
}

TEST_F(SPTILayer, DrivesThatCannotBeOpenedOrDoNotAnswerAreLeftOut) {
  os.Add(D, 0, 0, 0).Opens = false;
  os.Add(E, 0, 1, 0).AnswersInquiry = false;
  os.Add(F, 0, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  // The drive left out on D must not take the address of the one on F.
  EXPECT_EQ(SPTIDriveLetter(0, 0, 0), 'F');
  EXPECT_EQ(SPTIDriveLetter(0, 1, 0), 0x7F);
  EXPECT_TRUE(os.OpenHandles.empty());  // the one that did not answer was closed
}

TEST_F(SPTILayer, NodesThatCannotBeUsedAreNamedWithTheReasonAndTheirGroup) {
  os.Add(D, 0, 0, 0).Opens = false;  // EACCES
  TFakeDrive& busy = os.Add(E, 0, 1, 0);
  busy.Opens = false;
  busy.OpenError = EBUSY;
  busy.Group = "disk";
  os.Add(F, 0, 2, 0).AnswersInquiry = false;
  // Nothing usable: the layer stays unbound, and still says why.
  EXPECT_FALSE(InitASPILayer(false, ""));
  const std::vector<TSPTINodeProblem> problems = SPTINodeProblems();
  ASSERT_EQ(problems.size(), 3u);
  const struct { const char* Node; int Error; const char* Group; } expected[] = {
      {"/dev/sr1", EACCES, "cdrom"}, {"/dev/sr2", EBUSY, "disk"}, {"/dev/sr3", 0, "cdrom"}};
  for (size_t i = 0; i < problems.size(); ++i) {
    EXPECT_EQ(problems[i].Node, expected[i].Node);
    EXPECT_EQ(problems[i].Error, expected[i].Error) << expected[i].Node;
    EXPECT_EQ(problems[i].Group, expected[i].Group) << expected[i].Node;
  }
  // A later scan that finds every node usable forgets them.
  os.Drives[D].Opens = os.Drives[E].Opens = true;
  os.Drives[F].AnswersInquiry = true;
  SPTIShutdown();
  EXPECT_TRUE(InitASPILayer(false, ""));
  EXPECT_TRUE(SPTINodeProblems().empty());
}

TEST_F(SPTILayer, NoDriveLeavesEverythingUnbound) {
  EXPECT_FALSE(InitASPILayer(false, ""));
  EXPECT_FALSE(ASPIInitialized());
  EXPECT_EQ(ASPILayerName(), "");
  EXPECT_EQ(ASPIGetSupportInfo(), uint32_t{SS_NO_ADAPTERS} << 8);
  SRB_ExecSCSICmd srb = Exec(0, 0, 0, 0x00);
  EXPECT_EQ(ASPISendCommand(&srb), SS_ERR);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
}

TEST_F(SPTILayer, ASecondScanReturnsZeroAndKeepsTheTable) {
  os.Add(D, 1, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  os.Drives.erase(D);
  os.Add(E, 2, 0, 0);
  EXPECT_EQ(SPTIScanDrives(), 0);
  EXPECT_EQ(SPTIDriveLetter(1, 0, 0), 'D');
  EXPECT_EQ(SPTIAdapterCount(), 2);
  EXPECT_TRUE(SPTIShutdown());
  EXPECT_FALSE(SPTIShutdown());
  EXPECT_EQ(SPTIAdapterCount(), 0);
  EXPECT_EQ(SPTIGetASPI32SupportInfo(), uint32_t{SS_NO_ADAPTERS} << 8);
  EXPECT_EQ(SPTIScanDrives(), 1);
  EXPECT_EQ(SPTIDriveLetter(2, 0, 0), 'E');
}

TEST_F(SPTILayer, HostAdapterInquiryDescribesTheEmulatedAdapter) {
  os.Add(D, 1, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  ha.SRB_HaId = 1;
  EXPECT_EQ(SPTISendASPI32Command(&ha), SS_COMP);
  EXPECT_EQ(ha.SRB_Status, SS_COMP);
  EXPECT_EQ(ha.HA_Count, 2);
  EXPECT_EQ(ha.HA_SCSI_ID, 7);
  EXPECT_EQ(std::string(ha.HA_Identifier, 16), std::string("SPTI 1") + std::string(10, '\0'));
  const uint8_t unique[16] = {0x07, 0, 0, 8, 0, 0, 0xFF, 0};
  EXPECT_EQ(std::memcmp(ha.HA_Unique, unique, 16), 0);
  EXPECT_EQ(std::string(ha.HA_ManagerId, 16).size(), 16u);

  SRB_HAInquiry bad{};
  bad.SRB_Cmd = SC_HA_INQUIRY;
  bad.SRB_HaId = 2;
  EXPECT_EQ(SPTISendASPI32Command(&bad), SS_INVALID_HA);
  EXPECT_EQ(bad.SRB_Status, SS_INVALID_HA);
  EXPECT_EQ(bad.HA_Count, 2);
}

TEST_F(SPTILayer, UnknownAddressIsNoDeviceForDeviceTypeAndExecute) {
  os.Add(D, 1, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  SRB_GDEVBlock known{};
  known.SRB_Cmd = SC_GET_DEV_TYPE;
  known.SRB_HaId = 1;
  EXPECT_EQ(SPTISendASPI32Command(&known), SS_COMP);
  EXPECT_EQ(known.SRB_DeviceType, 5);

  SRB_GDEVBlock unknown{};
  unknown.SRB_Cmd = SC_GET_DEV_TYPE;
  unknown.SRB_HaId = 1;
  unknown.SRB_Target = 3;
  EXPECT_EQ(SPTISendASPI32Command(&unknown), SS_NO_DEVICE);
  EXPECT_EQ(unknown.SRB_Status, SS_NO_DEVICE);
  EXPECT_EQ(unknown.SRB_DeviceType, 0x1F);

  SRB_ExecSCSICmd srb = Exec(0, 0, 0, 0x00);
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_NO_DEVICE);
  EXPECT_EQ(srb.SRB_Status, SS_NO_DEVICE);
  EXPECT_EQ(os.Requests.size(), 1u);  // only the scan's INQUIRY reached the drive
}

TEST_F(SPTILayer, OtherRequestsFail) {
  os.Add(D, 0, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  EXPECT_EQ(SPTISendASPI32Command(nullptr), SS_ERR);
  SRB_GetDiskInfo disk{};
  disk.SRB_Cmd = SC_GET_DISK_INFO;
  EXPECT_EQ(SPTISendASPI32Command(&disk), SS_ERR);
  EXPECT_EQ(disk.SRB_Status, 0);
  SRB_Abort abort{};
  abort.SRB_Cmd = SC_ABORT_SRB;
  EXPECT_EQ(SPTISendASPI32Command(&abort), SS_ERR);
  EXPECT_EQ(abort.SRB_Status, SS_ERR);
}

TEST_F(SPTILayer, InquiryIsAnsweredFromTheScanEvenWhenTheDriveIsBusy) {
  TFakeDrive& d = os.Add(D, 1, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  d.CallSucceeds = false;
  d.ScsiStatus = STATUS_BUSY;
  const size_t before = os.Requests.size();

  uint8_t data[128];
  std::memset(data, 0xAA, sizeof data);
  SRB_ExecSCSICmd srb = Exec(1, 0, 0, 0x12);
  srb.SRB_Flags = SRB_DIR_IN;
  srb.SRB_BufPointer = data;
  srb.SRB_BufLen = sizeof data;
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_COMP);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(std::memcmp(data, d.Inquiry.data(), 36), 0);
  EXPECT_EQ(data[36], 0xAA);  // 36 bytes, not the 40 kept
  EXPECT_EQ(os.Requests.size(), before);

  // A short buffer gets no more than its length.
  std::memset(data, 0x55, sizeof data);
  srb = Exec(1, 0, 0, 0x12);
  srb.SRB_BufPointer = data;
  srb.SRB_BufLen = 8;
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_COMP);
  EXPECT_EQ(std::memcmp(data, d.Inquiry.data(), 8), 0);
  EXPECT_EQ(data[8], 0x55);

  // Any other command does reach the busy drive.
  srb = Exec(1, 0, 0, 0x00);
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_ERR);
  EXPECT_EQ(srb.SRB_TargStat, STATUS_BUSY);
}

TEST_F(SPTILayer, ExecuteFillsThePassThroughFromTheRequest) {
  os.Add(D, 0, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  uint8_t data[2048] = {};
  SRB_ExecSCSICmd srb = Exec(0, 0, 0, 0x28);
  srb.SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN;
  srb.SRB_CDBLen = 10;
  srb.CDBByte[5] = 0x10;
  srb.CDBByte[8] = 1;
  srb.CDBByte[11] = 0x77;  // beyond the CDB length: not sent
  srb.SRB_BufPointer = data;
  srb.SRB_BufLen = sizeof data;
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_COMP);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  ASSERT_EQ(os.Requests.size(), 2u);
  const TPassThrough& r = os.Requests[1];
  EXPECT_EQ(r.CdbLength, 10);
  EXPECT_EQ(r.Cdb[0], 0x28);
  EXPECT_EQ(r.Cdb[5], 0x10);
  EXPECT_EQ(r.Cdb[8], 1);
  EXPECT_EQ(r.Cdb[11], 0);
  EXPECT_EQ(r.Dir, TPassThrough::Direction::In);
  EXPECT_EQ(r.Data, data);
  EXPECT_EQ(r.Length, sizeof data);
  EXPECT_EQ(r.TimeoutSec, 120u);
  EXPECT_EQ(r.SenseLength, 24);

  srb = Exec(0, 0, 0, 0x2A);
  srb.SRB_Flags = SRB_DIR_OUT;
  SPTISendASPI32Command(&srb);
  EXPECT_EQ(os.Requests.back().Dir, TPassThrough::Direction::Out);
  srb = Exec(0, 0, 0, 0x00);
  SPTISendASPI32Command(&srb);
  EXPECT_EQ(os.Requests.back().Dir, TPassThrough::Direction::None);
}

TEST_F(SPTILayer, CheckConditionReturnsSenseAndTargetStatus) {
  TFakeDrive& d = os.Add(D, 0, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  d.ScsiStatus = STATUS_CHKCOND;
  d.Sense.assign(18, 0);
  d.Sense[0] = 0x70;
  d.Sense[2] = 0x02;
  d.Sense[7] = 10;
  d.Sense[12] = 0x3A;
  SRB_ExecSCSICmd srb = Exec(0, 0, 0, 0x00);
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_ERR);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_TargStat, STATUS_CHKCOND);
  EXPECT_EQ(srb.SRB_HaStat, 0);
  EXPECT_EQ(std::memcmp(srb.SenseArea, d.Sense.data(), 18), 0);
  EXPECT_EQ(srb.SenseArea[18], 0);
}

TEST_F(SPTILayer, DriveHandlesOpenLazilyAndCloseAfterCommandWhenAsked) {
  os.Add(D, 0, 0, 0);
  os.Add(E, 0, 1, 0);
  ASSERT_EQ(SPTIScanDrives(), 2);
  const int scanOpens = os.Opens;
  SRB_ExecSCSICmd srb = Exec(0, 0, 0, 0x00);
  SPTISendASPI32Command(&srb);
  SPTISendASPI32Command(&srb);
  EXPECT_EQ(os.Opens, scanOpens + 1);
  EXPECT_EQ(os.OpenHandles.size(), 1u);

  SPTICloseAfterCommand(true);
  SPTISendASPI32Command(&srb);
  EXPECT_TRUE(os.OpenHandles.empty());
  SPTISendASPI32Command(&srb);  // reopened for this one, closed again
  EXPECT_EQ(os.Opens, scanOpens + 2);
  EXPECT_TRUE(os.OpenHandles.empty());
  // A close that reports an error has still let the descriptor go: forgotten too.
  os.CloseFails = true;
  SPTISendASPI32Command(&srb);
  SPTISendASPI32Command(&srb);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_EQ(os.Opens, scanOpens + 4);
  os.CloseFails = false;
  SPTICloseAfterCommand(false);

  srb = Exec(0, 1, 0, 0x00);
  SPTISendASPI32Command(&srb);
  srb = Exec(0, 0, 0, 0x00);
  SPTISendASPI32Command(&srb);
  EXPECT_EQ(os.OpenHandles.size(), 2u);
  EXPECT_TRUE(SPTIShutdown());
  EXPECT_TRUE(os.OpenHandles.empty());
}

// A command may take up to its two-minute time-out: the table stays free for
// the other threads meanwhile, and a shutdown waits for the command's handle.
TEST_F(SPTILayer, TheTableStaysFreeWhileACommandRuns) {
  TFakeDrive& d = os.Add(D, 0, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  std::future<char> letter;
  std::future<bool> shutdown;
  d.During = [&] {
    letter = std::async(std::launch::async, [] { return SPTIDriveLetter(0, 0, 0); });
    // A safety net against a hang, not a timing assertion.
    EXPECT_EQ(letter.wait_for(std::chrono::minutes(1)), std::future_status::ready);
    shutdown = std::async(std::launch::async, [] { return SPTIShutdown(); });
  };
  SRB_ExecSCSICmd srb = Exec(0, 0, 0, 0x00);
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_COMP);
  EXPECT_EQ(letter.get(), 'D');
  EXPECT_TRUE(shutdown.get());
  EXPECT_TRUE(os.OpenHandles.empty());
}

TEST_F(SPTILayer, FailedCallsCarryAHostAdapterStatus) {
  TFakeDrive& d = os.Add(D, 0, 0, 0);
  ASSERT_EQ(SPTIScanDrives(), 1);
  d.Opens = false;
  SRB_ExecSCSICmd srb = Exec(0, 0, 0, 0x00);
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_ERR);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, 0x11);  // SELECTION TIMEOUT
  d.Opens = true;  // the next command tries again
  srb = Exec(0, 0, 0, 0x00);
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_COMP);

  d.CallSucceeds = false;
  d.HostStatus = HASTAT_TIMEOUT;
  srb = Exec(0, 0, 0, 0x00);
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_TIMEOUT);
  d.HostStatus = 0;  // a failure without a known cause leaves the caller's value
  srb = Exec(0, 0, 0, 0x00);
  EXPECT_EQ(SPTISendASPI32Command(&srb), SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, 0);
}

TEST(DriveLetterText, NamesTheNodeOrAQuestionMark) {
  EXPECT_EQ(DriveLetterText('A' + 2), "sr0:");
  EXPECT_EQ(DriveLetterText('E'), "sr2:");
  EXPECT_EQ(DriveLetterText(static_cast<char>('A' + 26)), "sr24:");
  EXPECT_EQ(DriveLetterText('B'), "?:");
  EXPECT_EQ(DriveLetterText(static_cast<char>(0x7F)), "?:");
  EXPECT_EQ(DriveLetterText('\0'), "?:");
}

}  // namespace

namespace {

// The real operating-system side, on what is certainly no CD/DVD drive.
TEST(LinuxPlatform, RefusesWhatIsNotADrive) {
  SetSPTIPlatform(nullptr);
  TSPTIPlatform& os = SPTIPlatform();
  EXPECT_FALSE(os.IsCDDrive(1));
  EXPECT_FALSE(os.IsCDDrive(27));
  EXPECT_EQ(os.Open(0), -1);
  EXPECT_EQ(os.Open(27), -1);
  EXPECT_FALSE(os.Close(-1));

  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  uint8_t data[8] = {};
  TPassThrough request;
  request.Cdb[0] = 0x00;
  request.CdbLength = 6;
  request.Dir = TPassThrough::Direction::In;
  request.Data = data;
  request.Length = sizeof data;
  request.SenseLength = 24;
  EXPECT_FALSE(os.PassThrough(fd, request));
  EXPECT_EQ(request.SenseLength, 0);
  uint8_t port = 9, target = 9, lun = 9;
  EXPECT_FALSE(os.GetAddress(fd, port, target, lun));
  EXPECT_TRUE(os.Close(fd));
}

}  // namespace
