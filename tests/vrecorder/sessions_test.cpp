// The MMC rules of the emulated media: sessions and tracks, write addresses,
// capacity, test write, the DVD close functions, persistence of the disc.
#include <fstream>

#include "vrec_test_util.h"

using namespace vrtest;

namespace {

class Sessions : public TVRecFixture {};

TEST_F(Sessions, CdRFromBlankThroughTwoSessionsToComplete) {
  Configure(Path("cd.img") + ":cd-r,sync=1");
  // blank
  auto di = DiscInfo(0);
  EXPECT_EQ(di[2] & 0x03, 0);         // empty
  EXPECT_EQ((di[2] >> 2) & 0x03, 0);  // last session empty
  EXPECT_EQ(di[2] & 0x10, 0);         // not erasable
  EXPECT_EQ(di[4], 1);
  EXPECT_EQ(di[6], 1);
  auto ti = TrackInfo(0, 0xFF);
  EXPECT_EQ(ti[2], 1);
  EXPECT_EQ(ti[6] & 0x40, 0x40);  // blank
  EXPECT_EQ(ti[7] & 0x01, 0x01);  // next writable address valid
  EXPECT_EQ(Be32(ti, 12), 0u);
  EXPECT_EQ(Be32(ti, 16), 359847u);

  // written: only at the next writable address
  ASSERT_TRUE(WriteParams(0, 0x41, 0xC4).Good());
  EXPECT_TRUE(Write10(0, 0, 32).Good());
  EXPECT_TRUE(Write10(0, 5, 1).Is(5, 0x21, 0x02));
  EXPECT_TRUE(Write10(0, 40, 1).Is(5, 0x21, 0x02));
  for (uint32_t lba = 32; lba < 300; lba += 32) EXPECT_TRUE(Write10(0, lba, uint16_t(std::min(32u, 300 - lba))).Good());
  di = DiscInfo(0);
  EXPECT_EQ(di[2] & 0x03, 1);
  EXPECT_EQ((di[2] >> 2) & 0x03, 1);  // incomplete
  ti = TrackInfo(0, 0xFF);
  EXPECT_EQ(Be32(ti, 12), 300u);
  EXPECT_EQ(ti[6] & 0x40, 0);

  // closed session with the multi-session field set: appendable
  ASSERT_TRUE(Send(0, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Good());
  ASSERT_TRUE(Close(0, 2).Good());
  di = DiscInfo(0);
  EXPECT_EQ(di[2] & 0x03, 1);
  EXPECT_EQ((di[2] >> 2) & 0x03, 0);  // the new session is empty
  EXPECT_EQ(di[4], 2);
  EXPECT_EQ(di[6], 2);
  ti = TrackInfo(0, 1);
  EXPECT_EQ(ti[7] & 0x01, 0);  // closed track: no next writable address
  EXPECT_EQ(Be32(ti, 24), 300u);
  ti = TrackInfo(0, 2);
  EXPECT_EQ(ti[3], 2);
  EXPECT_EQ(Be32(ti, 8), 300u + 11400);
  EXPECT_EQ(Be32(ti, 12), 300u + 11400);
  EXPECT_TRUE(Write10(0, 300, 1).Is(5, 0x21, 0x02));  // the gap takes nothing
  std::vector<uint8_t> byLba(38, 0);
  ASSERT_TRUE(Send(0, {0x52, 0x00, 0, 0x01, 0, 0, 0, 0, 38, 0}, &byLba).Good());  // LBA 65536
  EXPECT_EQ(byLba[2], 2);  // the invisible track reaches to the end of the disc
  ASSERT_TRUE(Send(0, {0x52, 0x00, 0, 0, 0, 100, 0, 0, 38, 0}, &byLba).Good());
  EXPECT_EQ(byLba[2], 1);

  // second session at the right address, then a third after a shorter gap
  ASSERT_TRUE(Write10(0, 11700, 10).Good());
  ASSERT_TRUE(Close(0, 2).Good());
  EXPECT_EQ(Be32(TrackInfo(0, 0xFF), 12), 11710u + 6900);
  // the last session's first track and start, asked in byte 2 or, as the
  // Linux sr driver asks, in bits 7-6 of byte 9
  for (const uint8_t b2 : {0x01, 0x00}) {
    std::vector<uint8_t> toc(12, 0);
    ASSERT_TRUE(Send(0, {0x43, 0, b2, 0, 0, 0, 0, 0, 12, uint8_t(b2 ? 0 : 0x40)}, &toc).Good());
    EXPECT_EQ(toc[1], 10);
    EXPECT_EQ(toc[3], 2);
    EXPECT_EQ(toc[6], 2);
    EXPECT_EQ(Be32(toc, 8), 11700u);
  }

  // closing without the multi-session field: complete
  ASSERT_TRUE(Write10(0, 18610, 4).Good());
  ASSERT_TRUE(WriteParams(0, 0x41, 0x04).Good());
  ASSERT_TRUE(Close(0, 2).Good());
  di = DiscInfo(0);
  EXPECT_EQ(di[2] & 0x03, 2);
  EXPECT_EQ((di[2] >> 2) & 0x03, 3);
  EXPECT_EQ(di[4], 3);
  TReply r;
  TrackInfo(0, 0xFF, &r);
  EXPECT_TRUE(r.Is(5, 0x24, 0x00));
  EXPECT_TRUE(Write10(0, 18614, 1).Is(5, 0x21, 0x02));
  EXPECT_TRUE(Close(0, 2).Is(5, 0x2C, 0x00));

  // what was written reads back; the gaps do not
  std::vector<uint8_t> data;
  EXPECT_TRUE(Read10(0, 11709, 1, &data).Good());
  EXPECT_EQ(data[0], 0xA5);
  EXPECT_TRUE(Read10(0, 5000, 1, &data).Is(5, 0x21, 0x00));
}

TEST_F(Sessions, ClosingAnEmptySessionIsASequenceError) {
  Configure(Path("cd.img") + ":cd-rw,sync=1");
  EXPECT_TRUE(Close(0, 2).Is(5, 0x2C, 0x00));
  EXPECT_EQ(DiscInfo(0)[2] & 0x13, 0x10);  // still empty, erasable
}

TEST_F(Sessions, CdWritesNeedATrackAtOnceDataPage) {
  Configure(Path("cd.img") + ":cd-r,sync=1");
  ASSERT_TRUE(WriteParams(0, 0x42, 0xC4).Good());  // session-at-once without a cue sheet
  EXPECT_TRUE(Write10(0, 0, 1).Is(5, 0x2C, 0x00));
  ASSERT_TRUE(WriteParams(0, 0x03, 0x04, 0x01).Good());  // raw
  EXPECT_TRUE(Write10(0, 0, 1).Is(5, 0x64, 0x00));
  EXPECT_TRUE(WriteParams(0, 0x41, 0xC4, 0x07).Is(5, 0x26, 0x00));  // no such block type
  ASSERT_TRUE(WriteParams(0, 0x41, 0xC4).Good());
  EXPECT_TRUE(Write10(0, 0, 1).Good());
}

TEST_F(Sessions, CapacityIsEnforced) {
  Configure(Path("cd.img") + ":cd-r,sync=1;" + Path("dvd.img") + ":dvd+rw,sync=1");
  // a reservation of the whole disc leaves no room for the lead-out
  EXPECT_TRUE(Send(0, {0x53, 0, 0, 0, 0, 0, 0x05, 0x7D, 0xA7, 0, 0, 0}).Is(5, 0x24, 0x00));
  // overwritable: anywhere below the capacity
  EXPECT_TRUE(Write10(1, 2295103, 1).Good());
  EXPECT_TRUE(Write10(1, 2295103, 2).Is(5, 0x21, 0x00));
  EXPECT_TRUE(Write10(1, 2295104, 1).Is(5, 0x21, 0x00));
  std::vector<uint8_t> data;
  EXPECT_TRUE(Read10(1, 2295104, 1, &data).Is(5, 0x21, 0x00));
}

TEST_F(Sessions, CdPastTheCapacity) {
  Configure(Path("cd.img") + ":cd-r,sync=1");
  EXPECT_TRUE(Write10(0, 359846, 2).Is(5, 0x21, 0x00));
  EXPECT_TRUE(Write10(0, 359847, 1).Is(5, 0x21, 0x00));
}

TEST_F(Sessions, TestWriteStoresNothing) {
  Configure(Path("cd.img") + ":cd-r,sync=1");
  ASSERT_TRUE(WriteParams(0, 0x51, 0xC4).Good());  // test write
  EXPECT_TRUE(Write10(0, 0, 32).Good());
  EXPECT_TRUE(Write10(0, 32, 32).Good());  // the simulation moves on
  EXPECT_TRUE(Write10(0, 0, 1).Is(5, 0x21, 0x02));
  EXPECT_TRUE(Close(0, 2).Good());
  auto di = DiscInfo(0);
  EXPECT_EQ(di[2] & 0x0F, 0);  // still blank
  EXPECT_EQ(Be32(TrackInfo(0, 0xFF), 12), 0u);
  std::vector<uint8_t> data;
  EXPECT_TRUE(Read10(0, 0, 1, &data).Is(5, 0x21, 0x00));
  EXPECT_EQ(std::filesystem::file_size(Path("cd.img")), 0u);
  // a real write afterwards starts at the real address
  ASSERT_TRUE(WriteParams(0, 0x41, 0xC4).Good());
  EXPECT_TRUE(Write10(0, 0, 1).Good());
}

TEST_F(Sessions, PlusMediaIgnoreTheTestWriteBit) {
  Configure(Path("dvd.img") + ":dvd+r,sync=1");
  ASSERT_TRUE(WriteParams(0, 0x72, 0xC4).Good());  // LS_V, test write, session-at-once
  EXPECT_TRUE(Write10(0, 0, 16).Good());
  EXPECT_EQ(Be32(TrackInfo(0, 0xFF), 12), 16u);  // really written
}

TEST_F(Sessions, DvdRAsTheRecordingSequenceDrivesIt) {
  Configure(Path("dvd.img") + ":dvd-r,sync=1");
  ASSERT_TRUE(WriteParams(0, 0x60, 0xE5).Good());
  // streaming descriptor, timestamp, reservation of 100 sectors
  std::vector<uint8_t> perf(28, 0);
  perf[11] = 0x7F, perf[10] = 0x12, perf[9] = 0x23;
  perf[15] = 0xBD, perf[14] = 0xAB, perf[19] = 0xE8, perf[18] = 0x03;
  perf[23] = 0x8A, perf[22] = 0x05, perf[27] = 0xE8, perf[26] = 0x03;
  EXPECT_TRUE(Send(0, {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, &perf, SRB_DIR_OUT).Good());
  std::vector<uint8_t> stamp(22, 0);
  stamp[1] = 0x14;
  std::memcpy(&stamp[8], "20261208180000", 14);
  EXPECT_TRUE(Send(0, {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}, &stamp, SRB_DIR_OUT).Good());
  std::memcpy(&stamp[8], "20261308180000", 14);
  EXPECT_TRUE(Send(0, {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}, &stamp, SRB_DIR_OUT).Is(5, 0x26, 0x00));
  ASSERT_TRUE(Send(0, {0x53, 0, 0, 0, 0, 0, 0, 0, 100, 0, 0, 0}).Good());
  auto ti = TrackInfo(0, 1);
  EXPECT_EQ(ti[6] & 0x80, 0x80);      // reserved
  EXPECT_EQ(Be32(ti, 24), 112u);      // whole ECC blocks
  EXPECT_EQ(Be32(TrackInfo(0, 2), 8), 112u);  // the invisible track follows
  EXPECT_EQ(DiscInfo(0)[6], 2);
  EXPECT_TRUE(Send(0, {0x54, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}).Good());  // OPC
  for (uint32_t lba = 0; lba < 100; lba += 32) ASSERT_TRUE(Write10(0, lba, uint16_t(std::min(32u, 100 - lba))).Good());
  EXPECT_TRUE(Write10(0, 100, 13).Is(5, 0x21, 0x02));  // past the reservation
  // close track 1, track 2 (the empty invisible track), session with byte 5 = 3
  EXPECT_TRUE(Close(0, 1, 1).Good());
  EXPECT_TRUE(Close(0, 1, 2).Good());
  EXPECT_TRUE(Close(0, 2, 3).Good());
  auto di = DiscInfo(0);
  EXPECT_EQ(di[2] & 0x0F, 0x01);  // appendable, new session empty
  EXPECT_EQ(di[4], 2);
  // one data track per session: track 2 is session 2's, right after session 1
  ti = TrackInfo(0, 2);
  EXPECT_EQ(ti[3], 2);
  EXPECT_EQ(Be32(ti, 12), 112u);
  EXPECT_EQ(Be32(TrackInfo(0, 1), 24), 112u);  // padded to its reservation
}

TEST_F(Sessions, DvdPlusRClosesTrackAndSessionAndStaysAppendable) {
  Configure(Path("dvd.img") + ":dvd+r,sync=1");
  ASSERT_TRUE(Write10(0, 0, 20).Good());
  EXPECT_TRUE(Close(0, 1, 1).Good());
  EXPECT_TRUE(Close(0, 2, 0xFF).Good());
  auto di = DiscInfo(0);
  EXPECT_EQ(di[2] & 0x03, 1);
  EXPECT_EQ(Be32(TrackInfo(0, 0xFF), 12), 20u);  // no gap on DVD
  ASSERT_TRUE(Write10(0, 20, 1).Good());
  EXPECT_TRUE(Close(0, 5).Good());  // finalise
  EXPECT_EQ(DiscInfo(0)[2] & 0x03, 2);
}

TEST_F(Sessions, OverwritableMediaHaveOneCompleteSession) {
  Configure(Path("p.img") + ":dvd+rw,sync=1;" + Path("m.img") + ":dvd-rw,sync=1,format-ms=3000;" +
            Path("s.img") + ":dvd-rw-seq,sync=1;" + Path("r.img") + ":dvd-ram,sync=1");
  EXPECT_EQ(DiscInfo(0)[2] & 0x03, 0);  // never written
  ASSERT_TRUE(Write10(0, 1000, 32).Good());
  ASSERT_TRUE(Write10(0, 0, 32, 0x11).Good());  // anywhere, again
  ASSERT_TRUE(Write10(0, 0, 1, 0x22).Good());
  auto di = DiscInfo(0);
  EXPECT_EQ(di[2] & 0x1F, 0x1E);  // erasable, complete session, complete disc
  EXPECT_EQ(di[4], 1);
  auto ti = TrackInfo(0, 0xFF);
  EXPECT_EQ(Be32(ti, 16), 0u);        // free blocks 0
  EXPECT_EQ(Be32(ti, 24), 2295104u);  // track size: the whole disc
  EXPECT_TRUE(Close(0, 3, 0xFF).Good());
  TVRecDiscInfo info;
  ASSERT_TRUE(VRecGetDiscInfo(0, &info));
  EXPECT_EQ(info.Status, "complete");
  ASSERT_EQ(info.Sessions.size(), 1u);
  EXPECT_TRUE(info.Sessions[0].Closed);
  EXPECT_EQ(info.NextWritable, 1032u);
  std::vector<uint8_t> data;
  ASSERT_TRUE(Read10(0, 0, 2, &data).Good());
  EXPECT_EQ(data[0], 0x22);
  EXPECT_EQ(data[2048], 0x11);
  ASSERT_TRUE(Read10(0, 500, 1, &data).Good());  // never written: zeros
  EXPECT_EQ(data[0], 0);

  // DVD-RW restricted overwrite: quick grow, with IMMED a while not ready
  TFakeClock clock;
  SetClock(&clock);
  std::vector<uint8_t> format = {0, 0x82, 0, 8, 0, 0, 0, 0, 0x4C, 0, 0, 0x10};
  EXPECT_TRUE(Send(1, {0x04, 0x11, 0, 0, 0, 0}, &format, SRB_DIR_OUT).Good());
  TReply r;
  DiscInfo(1, &r);
  EXPECT_TRUE(r.Is(2, 0x04, 0x04));
  clock.Advance(3000);
  DiscInfo(1, &r);
  EXPECT_TRUE(r.Good());
  EXPECT_TRUE(Close(1, 2, 0, true).Good());
  ASSERT_TRUE(Write10(1, 0, 32).Good());
  ASSERT_TRUE(Write10(1, 64, 32).Good());
  EXPECT_EQ(Be32(TrackInfo(1, 1), 12), 96u);  // the next address follows the data
  // sequential DVD-RW takes no quick grow, and only sequential writes
  EXPECT_TRUE(Send(2, {0x04, 0x11, 0, 0, 0, 0}, &format, SRB_DIR_OUT).Is(5, 0x26, 0x00));
  ASSERT_TRUE(WriteParams(2, 0x60, 0xC5).Good());
  EXPECT_TRUE(Write10(2, 0, 32).Good());
  EXPECT_TRUE(Write10(2, 0, 32).Is(5, 0x21, 0x02));
  // DVD-RAM: status "other", written anywhere
  EXPECT_EQ(DiscInfo(3)[2] & 0x03, 3);
  EXPECT_TRUE(Write10(3, 77, 1).Good());
}

TEST_F(Sessions, RomMediaRefuseWriting) {
  Configure(Path("c.img") + ":cd-rom,sync=1");
  EXPECT_TRUE(Write10(0, 0, 1).Is(5, 0x30, 0x05));
  EXPECT_EQ(DiscInfo(0)[2] & 0x03, 2);
}

TEST_F(Sessions, TheDiscOutlivesTheDrive) {
  const std::string image = Path("cd.img");
  Configure(image + ":cd-r");
  ASSERT_TRUE(Write10(0, 0, 32).Good());
  // a process that dies here leaves an open track: the state file says so
  VRecShutdown();
  TVRecDiscInfo info;
  std::string error;
  ASSERT_TRUE(VRecReadDiscInfo(image, &info, &error)) << error;
  EXPECT_EQ(info.Status, "appendable");
  ASSERT_EQ(info.Sessions.size(), 1u);
  EXPECT_EQ(info.Sessions[0].Tracks[0].State, "incomplete");
  EXPECT_EQ(info.NextWritable, 32u);
  // the medium named again does not replace the disc
  Configure(image + ":dvd-ram,sync=1");
  EXPECT_EQ(Be32(TrackInfo(0, 0xFF), 12), 32u);
  EXPECT_TRUE(Write10(0, 32, 1).Good());
  EXPECT_FALSE(std::filesystem::exists(image + ".state.tmp"));
}

// Somebody's image without a state file is a closed disc holding it: read as
// it is, never written, no state file left beside it; `new` blanks it.
TEST_F(Sessions, AnImageWithoutItsStateFileIsAClosedDisc) {
  const std::string image = Path("user.iso");
  for (const auto& [suffix, medium] : std::vector<std::pair<std::string, std::string>>{
           {"", "cd-rom"}, {":cd-r", "cd-r"}, {":dvd+rw", "dvd-rom"}, {":cd-r,new", "cd-r"}}) {
    SCOPED_TRACE(suffix);
    std::ofstream(image, std::ios::trunc) << std::string(40 * 2048, 'u');
    Configure(image + suffix + ",sync=1");
    TVRecDiscInfo info;
    ASSERT_TRUE(VRecGetDiscInfo(0, &info));
    const bool blank = suffix.ends_with("new");
    EXPECT_EQ(info.Medium + " " + info.Status, medium + (blank ? " empty" : " complete"));
    std::vector<uint8_t> sector;
    EXPECT_EQ(Read10(0, 39, 1, &sector).Good(), !blank);
    EXPECT_EQ(Write10(0, 0, 1).Good(), blank);
    VRecShutdown();
    EXPECT_EQ(std::filesystem::exists(image + ".state"), blank);
    EXPECT_EQ(std::filesystem::file_size(image), blank ? 2048u : 40u * 2048);
  }
}

TEST_F(Sessions, ABrokenStateFileIsReported) {
  const std::string image = Path("cd.img");
  std::ofstream(image) << "";
  std::ofstream(image + ".state") << "mburn-vrecorder-state 1\nmedium cd-r\ntrack 1 1 0 999999999 0 0 0\n";
  std::string error;
  EXPECT_FALSE(VRecConfigure(image, &error));
  EXPECT_NE(error.find("outside the disc"), std::string::npos) << error;
  EXPECT_EQ(VRecDriveCount(), 0);
}

TEST_F(Sessions, ConfigurationErrorsAreReadable) {
  std::string error;
  EXPECT_FALSE(VRecConfigure(Path("a.img") + ":floppy", &error));
  EXPECT_NE(error.find("floppy"), std::string::npos);
  EXPECT_FALSE(VRecConfigure(Path("a.img") + ",colour=blue", &error));
  EXPECT_NE(error.find("colour"), std::string::npos);
  EXPECT_FALSE(VRecConfigure(Path("a.img") + ",busy=many", &error));
  EXPECT_NE(error.find("busy"), std::string::npos);
  // Neither a folder nor a device is a disc image.
  EXPECT_FALSE(VRecConfigure(Dir + ":cd-r", &error));
  EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
  EXPECT_FALSE(VRecConfigure("/dev/null:cd-r", &error));
  EXPECT_NE(error.find("is a device"), std::string::npos) << error;
  // One holder at a time: the second drive on the same image is told it is in use.
  EXPECT_FALSE(VRecConfigure(Path("a.img") + ";" + Path("a.img"), &error));
  EXPECT_NE(error.find("the drive is in use"), std::string::npos) << error;
  EXPECT_TRUE(VRecConfigure(" ; ", &error));
  EXPECT_EQ(VRecDriveCount(), 0);
  EXPECT_EQ(VRecGetASPI32SupportInfo(), uint32_t(SS_NO_ADAPTERS) << 8);
}

}  // namespace

// BLANK and FORMAT UNIT refused, with a drive's sense, on media they do not
// apply to (what they do on the others the erase tests read back); the eject.
TEST_F(Sessions, EraseCommandsRefuseOtherMediaAndEjectEmptiesTheDrive) {
  const struct { const char* Medium; bool Blank; uint8_t Type, Asc; } cases[] = {
      {"cd-r", true, 0, 0x30},  {"dvd-r", true, 1, 0x30},   {"dvd+r", true, 0, 0x30},
      {"dvd+rw", true, 0, 0x30}, {"cd-r", false, 0, 0x30}, {"cd-rw", true, 2, 0x24}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Medium) + " " + std::to_string(n));
    VRecShutdown();
    Configure(Path(std::to_string(++n) + ".img") + ":" + c.Medium + ",sync=1");
    std::vector<uint8_t> list = {0, 0x82, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    const TReply r = c.Blank ? Send(0, {0xA1, uint8_t(0x10 | c.Type), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
                             : Send(0, {0x04, 0x11, 0, 0, 0, 0}, &list, SRB_DIR_OUT);
    // 30h/05h CANNOT WRITE MEDIUM - INCOMPATIBLE FORMAT, 30h/06h CANNOT FORMAT, 24h/00h
    EXPECT_TRUE(r.Is(5, c.Asc, c.Asc == 0x24 ? 0 : c.Blank ? 5 : 6)) << r;
  }
  ASSERT_TRUE(Send(0, {0x1B, 0, 0, 0, 0x02, 0}).Good());
  EXPECT_TRUE(Send(0, {0x00, 0, 0, 0, 0, 0}).Is(2, 0x3A, 0x02));  // tray open
  TVRecDiscInfo info;
  ASSERT_TRUE(VRecGetDiscInfo(0, &info));
  EXPECT_NE(VRecFormatDiscInfo(info).find("rewritable: yes, erased by BLANK\n"), std::string::npos);
}
