// A disc recorded through the emulator opens in independent ISO 9660 readers
// exactly as the image it was recorded from; the vrecorder tool records and
// describes discs.
#include <sys/wait.h>

#include <array>
#include <fstream>
#include <sstream>

#include "vrec_test_util.h"

using namespace vrtest;

namespace {

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> buf{};
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
  const int rc = ::pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class IsoRoundTrip : public TVRecFixture {
protected:
  void SetUp() override {
    TVRecFixture::SetUp();
    std::filesystem::create_directories(Path("src/Sub Dir"));
    std::ofstream(Path("src/readme.txt")) << "hello from the virtual recorder\n";
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 251);
    std::ofstream(Path("src/Sub Dir/data.bin"), std::ios::binary) << big;
    std::ofstream(Path("src/Sub Dir/a long mixed-case name.txt")) << "joliet\n";
  }

  // Records the ISO image through WRITE (10) at the disc's next writable address
  // on target 0 and closes the session.
  uint32_t Record(const std::string& iso) {
    const std::string bytes = ReadFile(iso);
    EXPECT_EQ(bytes.size() % 2048, 0u);
    EXPECT_TRUE(WriteParams(0, 0x41, 0xC4).Good());
    const uint32_t start = Be32(TrackInfo(0, 0xFF), 12);
    const uint32_t sectors = uint32_t(bytes.size() / 2048);
    for (uint32_t done = 0; done < sectors; done += 32) {
      const uint32_t count = std::min(32u, sectors - done);
      std::vector<uint8_t> data(bytes.begin() + done * 2048, bytes.begin() + (done + count) * 2048);
      const uint32_t lba = start + done;
      EXPECT_TRUE(Send(0, {0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0, 0,
                           uint8_t(count), 0},
                       &data, SRB_DIR_OUT)
                      .Good());
    }
    EXPECT_TRUE(Send(0, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Good());
    EXPECT_TRUE(Close(0, 2).Good());
    return start;
  }

  void ExpectSameTree(const std::string& iso, const std::string& image) {
    int status = -1;
    const std::string isoList = Shell("isoinfo -R -l -i '" + iso + "'", &status);
    ASSERT_EQ(status, 0);
    EXPECT_NE(isoList.find("readme.txt"), std::string::npos);
    EXPECT_EQ(Shell("isoinfo -R -l -i '" + image + "'"), isoList);
    EXPECT_EQ(Shell("isoinfo -J -l -i '" + image + "'"), Shell("isoinfo -J -l -i '" + iso + "'"));
    const std::string find = " -find / -exec lsdl";
    const std::string isoFind = Shell("xorriso -indev '" + iso + "'" + find);
    EXPECT_NE(isoFind.find("data.bin"), std::string::npos);
    EXPECT_EQ(Shell("xorriso -indev '" + image + "'" + find), isoFind);
    Shell("xorriso -osirrox on -indev '" + image + "' -extract / '" + Path("out") + "'", &status);
    ASSERT_EQ(status, 0);
    for (const char* name : {"readme.txt", "Sub Dir/data.bin", "Sub Dir/a long mixed-case name.txt"})
      EXPECT_EQ(ReadFile(Path("out/") + name), ReadFile(Path("src/") + name)) << name;
  }
};

TEST_F(IsoRoundTrip, GenisoimageImageRecordedOnCdR) {
  int status = -1;
  Shell("genisoimage -quiet -J -R -o '" + Path("g.iso") + "' '" + Path("src") + "'", &status);
  ASSERT_EQ(status, 0);
  Configure(Path("cd.img") + ":cd-r");
  EXPECT_EQ(Record(Path("g.iso")), 0u);
  VRecShutdown();
  ExpectSameTree(Path("g.iso"), Path("cd.img"));
}

TEST_F(IsoRoundTrip, XorrisoImageRecordedOnDvdPlusR) {
  int status = -1;
  Shell("xorriso -as mkisofs -J -R -o '" + Path("x.iso") + "' '" + Path("src") + "'", &status);
  ASSERT_EQ(status, 0);
  Configure(Path("dvd.img") + ":dvd+r,sync=1");
  EXPECT_EQ(Record(Path("x.iso")), 0u);
  VRecShutdown();
  ExpectSameTree(Path("x.iso"), Path("dvd.img"));
}

TEST_F(IsoRoundTrip, ToolWritesSessionsAndDescribesTheDisc) {
  const std::string tool = std::string(MBURN_BINARY_DIR) + "/vrecorder";
  int status = -1;
  Shell("genisoimage -quiet -J -R -o '" + Path("g.iso") + "' '" + Path("src") + "'", &status);
  ASSERT_EQ(status, 0);
  const std::string sectors = std::to_string(std::filesystem::file_size(Path("g.iso")) / 2048);
  const std::string image = Path("cd.img");
  EXPECT_NE(Shell(tool + " new '" + image + "' cd-rw", &status).find("blank cd-rw"), std::string::npos);
  EXPECT_EQ(status, 0);
  Shell(tool + " new '" + image + "' cd-r", &status);
  EXPECT_EQ(status, 1);  // never over an existing disc
  EXPECT_EQ(Shell(tool + " write '" + image + "' '" + Path("g.iso") + "'", &status), "start sector: 0\n");
  EXPECT_EQ(status, 0);
  const std::string second = std::to_string(std::stoul(sectors) + 11400);
  EXPECT_EQ(Shell(tool + " write '" + image + "' '" + Path("g.iso") + "' --close-disc", &status),
            "start sector: " + second + "\n");
  const std::string info = Shell(tool + " info '" + image + "'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(info.find("medium: cd-rw"), std::string::npos) << info;
  EXPECT_NE(info.find("disc status: complete"), std::string::npos) << info;
  EXPECT_NE(info.find("session 1 (closed): start 0, end " + sectors), std::string::npos) << info;
  EXPECT_NE(info.find("session 2 (closed): start " + second), std::string::npos) << info;
  EXPECT_NE(info.find("next writable address: none"), std::string::npos) << info;
  Shell(tool + " write '" + image + "' '" + Path("g.iso") + "'", &status);
  EXPECT_EQ(status, 1);  // a complete disc takes nothing more
  // the first session still reads as the original
  Shell("xorriso -osirrox on -indev '" + image + "' -extract / '" + Path("out") + "'", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ReadFile(Path("out/readme.txt")), ReadFile(Path("src/readme.txt")));
  EXPECT_NE(Shell(tool + " --help").find("write-error=LBA"), std::string::npos);
}

TEST_F(IsoRoundTrip, ToolDescribesEveryMedium) {
  const std::string tool = std::string(MBURN_BINARY_DIR) + "/vrecorder";
  for (const char* medium : {"none", "cd-rom", "cd-r", "cd-rw", "dvd-rom", "dvd-r", "dvd-rw", "dvd-rw-seq",
                             "dvd+r", "dvd+rw", "dvd-ram"}) {
    SCOPED_TRACE(medium);
    const std::string image = Path(std::string(medium) + ".img");
    int status = -1;
    Shell(tool + " new '" + image + "' " + medium, &status);
    EXPECT_EQ(status, 0);
    const std::string info = Shell(tool + " info '" + image + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(info.find(std::string("medium: ") + medium + "\n"), std::string::npos) << info;
  }
}

}  // namespace
