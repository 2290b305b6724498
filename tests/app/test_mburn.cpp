// mburn end to end: every command, every exit status, and what a burn and an
// image hold, read back by independent tools and compared with the sources.
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "app/workflow.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/reasons.h"
#include "mburn_run.h"
#include "record/record.h"
#include "transport/fake_platform.h"
#include "record/record_helpers.h"

namespace fs = std::filesystem;

namespace {

const std::string kSample = MBURN_SOURCE_DIR "/sample";

class Mburn : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/mburn-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  TRun Run(const std::vector<std::string>& args) { return RunMburn(args, dir_); }

  // Extracts an ISO image with bsdtar and checks that it holds exactly the
  // files of Source, byte for byte.
  void ExpectSameFiles(const std::string& image, const std::string& source) {
    const std::string into = Path("extracted-" + std::to_string(extractions_++));
    fs::create_directories(into);
    const TRun tar = RunProgram("bsdtar", {"-xf", image, "-C", into}, dir_);
    ASSERT_EQ(tar.Status, 0) << tar.Err;
    const auto expected = FilesUnder(source);
    ASSERT_EQ(FilesUnder(into), expected);
    for (const auto& file : expected)
      EXPECT_EQ(ReadWhole(into + "/" + file), ReadWhole(source + "/" + file)) << file;
  }

  std::string dir_;
  int extractions_ = 0;
};

// "isoinfo -f" (or -J -f) of an image: per directory, its names in record
// order, without the version.
std::map<std::string, std::vector<std::string>> ListedNames(const std::string& image, bool joliet,
                                                            const std::string& cwd) {
  std::map<std::string, std::vector<std::string>> out;
  for (std::string path : Lines(RunProgram("isoinfo", {joliet ? "-J" : "-R", "-f", "-i", image}, cwd).Out)) {
    if (path.ends_with(";1")) path.resize(path.size() - 2);
    const size_t slash = path.rfind('/');
    out[path.substr(0, slash + 1)].push_back(path.substr(slash + 1));
  }
  return out;
}

// The order of ISO 9660 directory records: by name, then by extension (from
// the last "."), each padded with spaces (for names without control
// characters, a shorter one first).
bool RecordOrder(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    const size_t dot = s.rfind('.');
    return dot == std::string::npos ? std::pair{s, std::string()} : std::pair{s.substr(0, dot), s.substr(dot + 1)};
  };
  return split(a) < split(b);
}

bool HasOpticalDrive() {
  struct stat st {};
  return stat("/dev/sr0", &st) == 0;
}

// ---------------------------------------------------------------- command line

TEST_F(Mburn, HelpAndCommandLineMistakes) {
  const TRun help = Run({"--help"});
  EXPECT_EQ(help.Status, 0);
  for (const char* word : {"drives", "disc", "burn", "image", "--virtual", "--mask", "--drive",
                           "--speed", "--test-write", "--finalize", "--no-joliet", "--volume-id",
                           "--import-session", "--debug", "-o FILE", "verify", "--verify",
                           "--session", "--sha256 HEX", "--image FILE", "write IMAGE",
                           "erase", "--full", "--eject", "read -o FILE", "--map FILE", "--retries N",
                           "copy --drive SRC --to DST", "plan FOLDER", "--span", "--from N",
                           "--media MEDIA"})
    EXPECT_NE(help.Out.find(word), std::string::npos) << word;

  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"blank"},
      {"write"},
      {"burn"},
      {"burn", "a", "b"},
      {"image", kSample},
      {"drives", "--bogus"},
      {"disc", "--drive"},
      {"burn", kSample, "--virtual", "a.iso:cdr"},
      {"burn", kSample, "--virtual", "a.iso:cd-r,speed=4"},
      {"burn", kSample, "--speed", "99999"},
      {"burn", kSample, "--virtual", "a.iso;b.iso"},
      {"burn", kSample, "--verify", "--test-write"},
      {"verify"},
      {"verify", "--sha256", "00", "--image", "x.iso"},
      {"verify", "--sha256", std::string(63, '0') + "g"},
      {"verify", "--image", "x.iso", "--session", "0"},
      {"read"},
      {"read", "-o", "x.iso", "--map", "x.iso"},
      {"read", "-o", "x.iso", "--retries", "101"},
      {"read", "-o", "x.iso", "--mask", "*"},
      {"copy", "--drive", "0"},
      {"plan"},
      {"plan", kSample, "--media", "floppy"},
      {"burn", kSample, "--from", "2"},
      {"burn", kSample, "--span", "--no-import"},
      {"image", kSample, "-o", "x.iso", "--span"},
  };
  for (const auto& args : wrong) {
    const TRun r = Run(args);
    EXPECT_EQ(r.Status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(r.Err.find("Usage: mburn"), std::string::npos);
  }
  // A malformed --virtual is named before anything is scanned.
  EXPECT_NE(Run({"drives", "--virtual", "a.iso:cdr"}).Err.find("unknown medium \"cdr\""),
            std::string::npos);

  // One command's help: its own options, not the others'.
  const struct { const char* Command; const char* Has; const char* HasNot; } helps[] = {
      {"burn", "--test-write", "-o, --output"},
      {"image", "-o, --output FILE", "--test-write"},
      {"disc", "--drive DRIVE", "--mask"},
      {"drives", "--virtual", "--drive"},
  };
  for (const auto& h : helps) {
    const TRun r = Run({h.Command, "--help"});
    EXPECT_EQ(r.Status, 0) << h.Command << r.Err;
    EXPECT_EQ(r.Out.rfind(std::string("Usage: mburn ") + h.Command, 0), 0u) << r.Out;
    EXPECT_NE(r.Out.find(h.Has), std::string::npos) << h.Command;
    EXPECT_EQ(r.Out.find(h.HasNot), std::string::npos) << h.Command;
  }
  const TRun version = Run({"--version"});
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out, "mburn (Micro Burner) 1.20\n");
}

// An option of another command is refused, naming both; a mistake shows the
// command's usage line and where its help is, never the whole help.
TEST_F(Mburn, CommandLineMistakesAreRefusedBriefly) {
  const struct { std::vector<std::string> Args; int Status; std::string Err; } rows[] = {
      {{"drives", "--finalize"}, 2, "mburn: option --finalize does not apply to 'drives'\n"},
      {{"image", kSample, "-o", "x.iso", "--speed", "5"}, 2, "apply to 'image'\nUsage: mburn image FOLDER -o FILE [options]\nsee mburn image --help\n"},
      {{"write", "x.iso", "--mask=*.txt"}, 2, "mburn: option --mask does not apply to 'write'\n"},
      {{"--full", "burn", kSample}, 2, "mburn: option --full does not apply to 'burn'\n"},
      {{"verify", "--image", "x.iso", "--eject"}, 2, "mburn: option --eject does not apply to 'verify'\n"},
      {{"burn", kSample, "--bogus"}, 2, "mburn: unknown option --bogus\nUsage: mburn burn FOLDER [options]\nsee mburn burn --help\n"},
      {{"burn"}, 2, "mburn: FOLDER is required\nUsage: mburn burn FOLDER [options]\nsee mburn burn --help\n"},
      {{"image", kSample}, 2, "mburn: --output is required\nUsage: mburn image FOLDER"},
      {{"disc", "--drive"}, 2, "mburn: --drive: 1 required DRIVE missing\nUsage: mburn disc [--drive DRIVE]\nsee mburn disc --help\n"},
      {{"--drive", "1", "disc"}, 2, "mburn: option --drive goes after the command: mburn disc --drive\n"},
      {{"burn", kSample, "--speed", "99999"}, 2, "mburn: --speed: is a number from 0 to 65535, not 99999\n"},
      {{"copy", "--drive", "0"}, 2, "mburn: --to is required\nUsage: mburn copy"},
      {{"blank"}, 2, "mburn: unknown command blank\n"},
      {{}, 2, "mburn: no command given\nUsage: mburn COMMAND [OPTIONS]\nsee mburn --help\n"},
      {{"image", kSample, "-o", "y.iso", "--virtual", "v.iso", "--debug", "--rock-ridge"}, 0, ""},
  };
  for (const auto& row : rows) {
    const TRun r = Run(row.Args);
    EXPECT_EQ(r.Status, row.Status) << r.Err;
    EXPECT_NE(r.Err.find(row.Err), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("Commands:"), std::string::npos) << r.Err;
  }
}

TEST(MburnDriveName, TheNumberTheNodeOrTheAddress) {
  const std::vector<std::string> list = {"0:0:0,?: VIRTUAL", "1:0:0,sr0: PLEXTOR",
                                         "1:1:0,sr12: PIONEER"};
  const struct { const char* Name; int Line; } cases[] = {
      {"0", 0},     {"2", 2},         {"3", -1},        {"sr0", 1},  {"/dev/sr0", 1},
      {"sr12", 2},  {"/dev/sr12", 2}, {"sr1", -1},      {"1:0:0", 1}, {"1:1:0", 2},
      {"0:0:0", 0}, {"1:0", -1},      {"/dev/sda", -1}, {"", -1},    {"?", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(FindDrive(list, c.Name), c.Line) << c.Name;
}

// ---------------------------------------------------------------- drives, disc

TEST_F(Mburn, DrivesListsEveryVirtualRecorder) {
  const TRun r = Run({"drives", "--virtual", Path("a.iso:cd-r"), "--virtual=" + Path("b.iso:dvd+r")});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const auto lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 2u) << r.Out;
  EXPECT_EQ(lines[0].rfind("0:0:0,?: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("0:1:0,?: ", 0), 0u) << lines[1];
  // The address, the 28 identification bytes, then the image that tells them apart.
  EXPECT_EQ(lines[0].substr(9 + 28), "  " + Path("a.iso"));
  EXPECT_EQ(lines[1].substr(9 + 28), "  " + Path("b.iso"));

  // A drive busy during the scan is left out, and named.
  const TRun busy = Run({"drives", "--virtual", Path("c.iso:cd-r,busy=5"), "--virtual", Path("d.iso")});
  ASSERT_EQ(busy.Status, 0) << busy.Err;
  EXPECT_EQ(Lines(busy.Out).size(), 1u) << busy.Out;
  EXPECT_NE(busy.Err.find("virtual drive 0 (" + Path("c.iso") + ") did not answer the scan"),
            std::string::npos)
      << busy.Err;
}

// Nodes the built-in layer may not use are named, with the group that owns them,
// after the system's own text.
TEST(MburnRecorderProblems, PermissionAndBusyNodesAreNamed) {
  TScratchDir scratch;
  TFakePlatform os;
  os.Add(3, 0, 0, 0).Opens = false;
  TFakeDrive& busy = os.Add(4, 0, 1, 0);
  busy.Opens = false;
  busy.OpenError = EBUSY;
  ResetASPILayer();
  SetSPTIPlatform(&os);
  VEZEZadira c;
  EXPECT_FALSE(InitRecorders(c, ""));
  EXPECT_EQ(ASPIErrorText(),
            "Error while initializing ASPI Layer - /dev/sr1: permission denied: only members of "
            "group cdrom may use it (sudo adduser $USER cdrom, then log in again)");
  EXPECT_EQ(RecorderProblems(),
            (std::vector<std::string>{
                "/dev/sr1: permission denied: only members of group cdrom may use it (sudo "
                "adduser $USER cdrom, then log in again)",
                "/dev/sr2: busy: another program holds it open exclusively"}));
  ResetASPILayer();
  SetSPTIPlatform(nullptr);
}

TEST_F(Mburn, NoTransportIsAFailureForEveryDriveCommand) {
  if (HasOpticalDrive()) GTEST_SKIP() << "this machine has an optical drive";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"drives"}, {"disc"}}) {
    const TRun r = Run(args);
    EXPECT_EQ(r.Status, 1) << args[0];
    EXPECT_EQ(r.Out, "Error while initializing ASPI Layer\n");
  }
  const TRun burn = Run({"burn", kSample});
  EXPECT_EQ(burn.Status, 2);
  EXPECT_EQ(burn.Out, "Error while initializing ASPI Layer\n");
}

TEST_F(Mburn, DiscDescribesBlankMediaAndRefusesAMissingDrive) {
  const std::string a = "--virtual=" + Path("a.iso:cd-r");
  const std::string b = "--virtual=" + Path("b.iso:dvd+r");
  TRun r = Run({"disc", a, b});
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 6u) << r.Out;
  EXPECT_EQ(lines[0].rfind("VOLUME SELECTED 0:0:0,", 0), 0u);
  EXPECT_EQ(lines[1], "Disc kind: CD-R");
  EXPECT_EQ(lines[2], "Disc status: empty");
  EXPECT_EQ(lines[3], "Recorded sessions: 0");
  EXPECT_EQ(lines[4], "Free sectors: 359847");
  EXPECT_EQ(lines[5], "Next writable address: 0");

  r = Run({"disc", a, b, "--drive", "1"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 6u) << r.Out;
  EXPECT_EQ(lines[0].rfind("VOLUME SELECTED 0:1:0,", 0), 0u);
  EXPECT_EQ(lines[1], "Disc kind: DVD+R");
  EXPECT_EQ(lines[4], "Free sectors: 2295104");

  // The drive by its address; an unknown one lists what there is.
  r = Run({"disc", a, b, "--drive", "0:1:0"});
  EXPECT_EQ(Lines(r.Out).at(1), "Disc kind: DVD+R") << r.Out;
  for (const char* unknown : {"2", "sr0", "x"}) {
    r = Run({"disc", a, "--drive", unknown});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find(std::string("no drive ") + unknown), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("\n  0  0:0:0,?: "), std::string::npos) << r.Err;
  }
}

// The window's one text for every disc nothing can be recorded on; mburn adds why.
TEST_F(Mburn, NothingCanBeRecordedSaysWhy) {
  const struct { const char* Media; const char* Reason; bool DiscFails; } cases[] = {
      {"none", "there is no disc in the drive", true},
      {"cd-rom", "the disc is a CD-ROM: it cannot be written", false},
      {"dvd-rom", "the disc is a DVD-ROM: it cannot be written", false},
      {"cd-r,not-ready=1", "the drive is not ready after ", true},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string disc = "--virtual=" + Path("d" + std::to_string(n++) + ".iso:" + c.Media);
    TRun r = Run({"burn", kSample, disc});
    EXPECT_EQ(r.Status, 2) << c.Media;
    EXPECT_NE(r.Out.find("KB ,  TILGJENGELIG 0KB\n"), std::string::npos) << r.Out;
    EXPECT_EQ(r.Err.rfind(std::string("mburn: ") + c.Reason, 0), 0u) << r.Err;
    EXPECT_EQ(Lines(r.Err).size(), 1u) << r.Err;
    r = Run({"disc", disc});
    EXPECT_EQ(r.Status, c.DiscFails ? 1 : 0) << c.Media << r.Err;
  }
}

TEST(MburnReasons, TheOperatingSystemsReasonForAFileThatCannotBeOpened) {
  const auto opened = [](const char* path, int why) {
    return TOutcome{"CAN'T OPEN FILE", TOutcomeCode::SourceNotOpened, path, why};
  };
  EXPECT_EQ(FileReason(opened("/a b.txt", ENOENT)), "/a b.txt: No such file or directory");
  // Without the system's number the file is tried again.
  EXPECT_EQ(FileReason(opened("/nonexistent/a b.txt", 0)),
            "/nonexistent/a b.txt: No such file or directory");
  EXPECT_EQ(FileReason(opened("/dev/null", 0)),
            "/dev/null: it opens now; it may have been in use or replaced meanwhile");
  EXPECT_EQ(FileReason({"WRITER ERROR [MEDIUM ERROR]", TOutcomeCode::DriveError}), "");
}

TEST(MburnProgress, PercentMegabytesSpeedAndTimeLeft) {
  const struct { int64_t Bytes, Total; double Seconds; bool Dvd; const char* Text; } cases[] = {
      {0, 100'000'000, 0, false, "  0%  0.0 of 100.0 MB"},
      {25'000'000, 100'000'000, 0.5, false, " 25%  25.0 of 100.0 MB"},
      // 2,457,600 B/s is 16x CD; 75 MB more at that pace is 30.5 s.
      {24'576'000, 100'000'000, 10, false, " 24%  24.6 of 100.0 MB  2.5 MB/s (16x CD)  0:31 left"},
      {13'900'000, 27'800'000, 5, true, " 50%  13.9 of 27.8 MB  2.8 MB/s (2.0x DVD)  0:05 left"},
      {100'000'000, 100'000'000, 600, false, "100%  100.0 of 100.0 MB  0.2 MB/s (1.1x CD)  0:00 left"},
      {1'385'000 * 130, 1'385'000 * 250, 130, true,
       " 52%  180.1 of 346.2 MB  1.4 MB/s (1.0x DVD)  2:00 left"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ProgressText(c.Bytes, c.Total, c.Seconds, c.Dvd), c.Text) << c.Text;
  EXPECT_EQ(SummaryText(60'300'000, 7.2, true),
            "wrote 60.3 MB in 7.2 s of writing, 8.4 MB/s (6.0x DVD) on average");
  EXPECT_EQ(SummaryText(614'400, 0.05, false), "wrote 0.6 MB in less than 0.1 s of writing");
  EXPECT_EQ(SummaryText(45'000'000, 2, false, true), "wrote 45.0 MB in 2.0 s of writing, 22.5 MB/s (5.0x BD) on average");
}

TEST(MburnReasons, VolumeIdsTheDescriptorsCannotCarry) {
  EXPECT_TRUE(VolumeIdNotes("SAMPLE_2004", true).empty());
  EXPECT_TRUE(VolumeIdNotes("sample_2004", true).empty());  // recorded in upper case
  const std::string long33(33, 'A');
  EXPECT_EQ(VolumeIdNotes(long33, false),
            (std::vector<std::string>{"--volume-id has 33 characters, the primary descriptor "
                                      "holds 32: recorded as \"" + std::string(32, 'A') + "\""}));
  const auto notes = VolumeIdNotes("My disc-1", true);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], "--volume-id has characters other than A-Z, 0-9 and _ (\" -\"), which ISO "
                      "9660 readers may refuse: recorded as \"MY DISC-1\" in the primary descriptor");
  EXPECT_EQ(VolumeIdNotes("ABCDEFGHIJKLMNOPQ", true).size(), 1u);  // 17: too long for Joliet
  EXPECT_TRUE(VolumeIdNotes("ABCDEFGHIJKLMNOPQ", false).empty());
}

// ---------------------------------------------------------------- burn

TEST_F(Mburn, BurnRecordsTheSampleFolderReadableByBsdtar) {
  const std::string disc = Path("disc.iso");
  const TRun r = Run({"burn", kSample, "--virtual", disc + ":cd-r", "--volume-id", "SAMPLE_2004"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const auto lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 5u) << r.Out;
  EXPECT_EQ(lines[0].rfind("VOLUME SELECTED 0:0:0,?: ", 0), 0u);
  EXPECT_EQ(lines[1], "Burning CD - Please wait");
  EXPECT_EQ(lines[2], "FINISHING - PLEASE WAIT");
  EXPECT_EQ(lines[3], "Burning Done - Sucsessfull");
  EXPECT_EQ(lines[4].size(), 8u + 64u);  // "sha256: " and the digest
  // Standard error is a file: progress comes as percentage lines, ending at 100,
  // then the size and speed of the write loop.
  auto progress = Lines(r.Err);
  ASSERT_GE(progress.size(), 2u) << r.Err;
  EXPECT_EQ(progress.back().rfind("mburn: wrote 0.6 MB in ", 0), 0u) << progress.back();
  progress.pop_back();
  EXPECT_EQ(progress.back(), "100%");
  for (const auto& line : progress) EXPECT_EQ(line.back(), '%') << line;

  ExpectSameFiles(disc, kSample);
  const TRun info = RunProgram("isoinfo", {"-d", "-i", disc}, dir_);
  EXPECT_NE(info.Out.find("Volume id: SAMPLE_2004"), std::string::npos) << info.Out;
  EXPECT_NE(info.Out.find("Joliet with UCS"), std::string::npos) << info.Out;

  // The disc is left open with one session on it.
  const TRun d = Run({"disc", "--virtual", disc});
  EXPECT_NE(d.Out.find("Disc status: appendable"), std::string::npos) << d.Out;
  EXPECT_NE(d.Out.find("Recorded sessions: 1"), std::string::npos) << d.Out;
}

TEST_F(Mburn, BurnWithMaskNoJolietAndDebugTrace) {
  const std::string disc = Path("disc.iso");
  const TRun r = Run({"burn", kSample, "--virtual", disc + ":cd-r", "--mask", "*.txt",
                      "--no-joliet", "--debug"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_NE(r.Err.find(">>> "), std::string::npos);  // the component's message trace
  const TRun info = RunProgram("isoinfo", {"-d", "-i", disc}, dir_);
  EXPECT_EQ(info.Out.find("Joliet with UCS"), std::string::npos) << info.Out;
  const TRun list = RunProgram("isoinfo", {"-f", "-i", disc}, dir_);
  EXPECT_EQ(list.Out.find(".CSV"), std::string::npos) << list.Out;
  EXPECT_EQ(list.Out.find(".BIN"), std::string::npos) << list.Out;
  EXPECT_NE(list.Out.find("README.TXT"), std::string::npos) << list.Out;
}

// Where no logind answers, the burn goes on without the sleep lock; only the
// trace says so, in one line.
TEST_F(Mburn, BurnWithoutASystemBusSucceedsAndOnlyTheTraceSaysSo) {
  const std::vector<std::string> noBus = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + Path("no_bus")};
  for (const bool debug : {true, false}) {
    std::vector<std::string> args = {"burn", kSample, "--virtual",
                                     Path(debug ? "d.iso" : "q.iso") + ":cd-r"};
    if (debug) args.push_back("--debug");
    const TRun r = RunMburn(args, dir_, noBus);
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    size_t lines = 0;
    for (size_t at = r.Err.find(kNoInhibitorText); at != std::string::npos;
         at = r.Err.find(kNoInhibitorText, at + 1))
      ++lines;
    EXPECT_EQ(lines, debug ? 1u : 0u) << r.Err;
  }
}

TEST_F(Mburn, SecondSessionCarriesTheFirstWithImportSession) {
  const std::string disc = Path("disc.iso");
  TRun r = Run({"burn", kSample + "/data", "--virtual", disc + ":cd-r"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  r = Run({"disc", "--virtual", disc});
  const std::string key = "Next writable address: ";
  const auto at = r.Out.find(key);
  ASSERT_NE(at, std::string::npos) << r.Out;
  const std::string start = r.Out.substr(at + key.size(), r.Out.find('\n', at) - at - key.size());
  r = Run({"burn", kSample + "/pictures", "--virtual", disc, "--import-session", "1"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  // The new session, read from where it starts, holds both folders' files.
  const std::string into = Path("session2");
  const TRun x = RunProgram("xorriso", {"-osirrox", "on", "-indev", disc, "-load", "sbsector",
                                        start, "-extract", "/", into},
                            dir_);
  ASSERT_EQ(x.Status, 0) << x.Err;
  EXPECT_EQ(FilesUnder(into), (std::vector<std::string>{"gauge.png", "numbers.csv", "random.bin"}));
  EXPECT_EQ(ReadWhole(into + "/random.bin"), ReadWhole(kSample + "/data/random.bin"));
  EXPECT_EQ(ReadWhole(into + "/gauge.png"), ReadWhole(kSample + "/pictures/gauge.png"));
}

// A folder burnt again after a change: by default the new session carries the
// earlier files (read where the first session put them) and the changed file
// is the new version; --no-import leaves the earlier files out; a session the
// disc does not have is refused and nothing is recorded.
TEST_F(Mburn, UpdatingADiscKeepsTheEarlierFilesAndTheNewVersionWins) {
  const std::vector<std::string> all = {"keep.txt", "new.txt", "notes.txt"}, fresh = {"new.txt", "notes.txt"};
  for (const auto& [option, files] : {std::pair{"--import-session=1", all}, std::pair{"--debug", all},
                                      std::pair{"--no-import", fresh}, std::pair{"--import-session=9", fresh}}) {
    SCOPED_TRACE(option);
    const std::string src = Path("src"), disc = Path("update.iso"), into = Path("session2");
    for (const auto& p : {src, disc, into}) fs::remove_all(p);
    fs::create_directories(src);
    std::ofstream(src + "/notes.txt") << "old";
    std::ofstream(src + "/keep.txt") << "keep";
    ASSERT_EQ(Run({"burn", src, "--virtual", disc + ":cd-r"}).Status, 0);
    std::smatch m;
    const std::string info = Run({"disc", "--virtual", disc}).Out;
    ASSERT_TRUE(std::regex_search(info, m, std::regex("Next writable address: ([0-9]+)"))) << info;
    const std::string start = m[1];
    std::ofstream(src + "/notes.txt", std::ios::trunc) << "NEW VERSION";
    fs::remove(src + "/keep.txt");
    std::ofstream(src + "/new.txt") << "fresh";
    const TRun r = Run({"burn", src, "--virtual", disc, option});
    if (std::string(option).ends_with("9")) {
      EXPECT_EQ(r.Status, 2);
      EXPECT_NE(r.Out.find("ERROR IMPORTING SESSION 9 (THE DISC HOLDS 1 SESSION)"), std::string::npos) << r.Out;
      EXPECT_NE(Run({"disc", "--virtual", disc}).Out.find("Recorded sessions: 1"), std::string::npos);
      continue;
    }
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    const std::vector<std::string> at = {"-indev", disc, "-load", "sbsector", start};
    auto xorriso = [&](std::vector<std::string> args) {
      args.insert(args.begin(), at.begin(), at.end());
      return RunProgram("xorriso", args, dir_);
    };
    ASSERT_EQ(xorriso({"-osirrox", "on", "-extract", "/", into}).Status, 0);
    EXPECT_EQ(FilesUnder(into), files);
    EXPECT_EQ(ReadWhole(into + "/notes.txt"), "NEW VERSION");
    if (files.size() < 3) continue;
    EXPECT_EQ(ReadWhole(into + "/keep.txt"), "keep");
    // ... read from the first session, whose files lie before the second's start.
    const std::string lba = xorriso({"-find", "/keep.txt", "-exec", "report_lba", "--"}).Out;
    ASSERT_TRUE(std::regex_search(lba, m, std::regex("File data lba: +0 , +([0-9]+) ,"))) << lba;
    EXPECT_LT(std::stoul(m[1].str()), std::stoul(start));
  }
}

// Linux names: names differing only in case, 200-byte UTF-8 names (CJK and
// emoji), names with ";", 50 names sharing one 8.3 stem and a dangling link.
// Every file arrives byte for byte through the Joliet tree, the later of two
// names that differ in case only under a name of its own; every ISO name is
// a unique 8.3 name of d-characters in its directory; both trees list their
// records in ISO 9660 order; the link and the renamed twins give the only messages.
TEST_F(Mburn, LinuxNamesAllArriveWithUniqueISONamesInOrder) {
  const std::string src = Path("src"), disc = Path("names.iso");
  std::map<std::string, std::string> files = {
      {"Makefile", "upper"}, {"makefile", "lower"}, {"ok.txt", "ok"}, {"Docs/a.txt", "a"},
      {"DOCS/b.txt", "b"}, {"x;1.txt", "semi 1"}, {"x;2.txt", "semi 2"}, {"a;b;c", "semis"}};
  std::string cjk, emoji;
  while (cjk.size() < 198) cjk += "\xE6\x97\xA5";         // 日, 66 times
  while (emoji.size() < 196) emoji += "\xF0\x9F\x98\x80";  // U+1F600, 49 times
  files[cjk + ".t"] = "cjk";
  files[emoji + ".t"] = "emoji";
  for (int i = 0; i < 50; ++i) files["holiday photo " + std::to_string(i) + ".jpeg"] = std::to_string(i);
  for (const auto& [name, content] : files) {
    fs::create_directories(fs::path(src + "/" + name).parent_path());
    std::ofstream(src + "/" + name) << content;
  }
  fs::create_symlink(Path("nowhere"), src + "/dangling.txt");
  const TRun r = Run({"burn", src, "--virtual", disc + ":cd-r", "--debug", "--no-rock-ridge"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  std::vector<std::string> messages;
  for (const std::string& line : Lines(r.Err))
    if (line.rfind(">>> ", 0) != 0 && line.rfind("mburn: wrote", 0) != 0 && line.back() != '%')
      messages.push_back(line);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "LINK LEADS NOWHERE (No such file or directory), SKIPPED: " + src + "/dangling.txt",
                          "SAME JOLIET NAME AS ANOTHER ENTRY, WRITTEN AS Docs~1: \\Docs",
                          "SAME JOLIET NAME AS ANOTHER ENTRY, WRITTEN AS makefile~1.: " + src + "/makefile"}));

  const std::string into = Path("out");
  ASSERT_EQ(RunProgram("xorriso", {"-osirrox", "on", "-indev", disc, "-extract", "/", into}, dir_).Status, 0);
  // DOCS and Makefile come first in the Joliet order; their twins get names of their own.
  const std::map<std::string, std::string> renamed = {{"Docs/a.txt", "Docs~1/a.txt"}, {"makefile", "makefile~1"}};
  std::vector<std::string> arrived;  // the dangling link is no regular file
  for (const auto& [name, content] : files) {
    arrived.push_back(renamed.count(name) != 0 ? renamed.at(name) : name);
    EXPECT_EQ(ReadWhole(into + "/" + arrived.back()), content) << name;
  }
  std::sort(arrived.begin(), arrived.end());
  EXPECT_EQ(FilesUnder(into), arrived);

  const std::regex file83("[A-Z0-9_]{1,8}\\.[A-Z0-9_]{0,3}"), dir83("[A-Z0-9_]{1,8}");
  const auto iso = ListedNames(disc, false, dir_);
  EXPECT_EQ(iso.size(), 3u);  // "/", "/DOCS/", "/DOCS_1/"
  for (const auto& [dir, names] : iso) {
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size()) << dir;
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), RecordOrder)) << dir;
    for (const std::string& n : names)
      EXPECT_TRUE(std::regex_match(n, file83) || std::regex_match(n, dir83)) << dir << n;
  }
  EXPECT_EQ(iso.at("/").size(), 2u + files.size() - 2);  // two folders, the files of the root
  EXPECT_EQ(iso.at("/")[3], "HOLIDA_1.JPE");  // after A_B_C_1., DOCS, DOCS_1
  // The Joliet tree in its own order; isoinfo shows only ASCII names as they are.
  for (const auto& [dir, names] : ListedNames(disc, true, dir_)) {
    std::vector<std::string> ascii;
    for (const std::string& n : names)
      if (std::all_of(n.begin(), n.end(), [](char c) { return (c & 0x80) == 0 && c != '_'; })) ascii.push_back(n);
    EXPECT_TRUE(std::is_sorted(ascii.begin(), ascii.end(), RecordOrder)) << dir;
  }
}

TEST_F(Mburn, FinalizedDiscHasNoRoomForAnotherSession) {
  const std::string disc = Path("disc.iso");
  TRun r = Run({"burn", kSample, "--virtual", disc + ":cd-r", "--finalize"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  r = Run({"disc", "--virtual", disc});
  EXPECT_NE(r.Out.find("Disc status: complete"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Free sectors: 0"), std::string::npos) << r.Out;

  r = Run({"burn", kSample, "--virtual", disc});
  EXPECT_EQ(r.Status, 2);
  const auto lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 2u) << r.Out;
  EXPECT_EQ(lines[1].rfind("NOT ENOUGH SPACE. NEEDS ", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("KB ,  TILGJENGELIG 0KB"), std::string::npos) << lines[1];
  EXPECT_EQ(r.Err, "mburn: the disc is closed: nothing more can be recorded on it\n");
}

// BD media through mburn: described, recorded twice (the second carrying the first: after it on
// BD-R, over it on BD-RE), read back by xorriso and bsdtar; a finalised BD-R takes no third.
TEST_F(Mburn, BdMediaRecordAppendAndReadBack) {
  for (const char* from : {"/data", "/pictures"}) fs::copy(kSample + from, Path("both"));
  for (const std::string medium : {"bd-r", "bd-re"}) {
    const std::string disc = Path(medium + ".img"), x = disc + "-x", b = disc + "-b", v = disc + "-v";
    EXPECT_TRUE(Run({"drives", "--virtual", disc + ":" + medium}).Out.ends_with(".img  reads and writes BD\n"));
    EXPECT_NE(Run({"disc", "--virtual", disc}).Out.find("Disc kind: " + UpperCase(medium) + "\nDisc status: empty\nRecorded "
              "sessions: 0\nFree sectors: 12219392\nNext writable address: 0\nDrive: reads and writes BD\n"), std::string::npos);
    ASSERT_EQ(Run({"burn", kSample + "/data", "--virtual", disc}).Status, 0);
    const std::string info = Run({"disc", "--virtual", disc}).Out;
    const char* second = medium == "bd-r" ? "--finalize" : "--import-session=1";
    ASSERT_EQ(Run({"burn", kSample + "/pictures", "--virtual", disc, second}).Status, 0);
    const auto start = static_cast<uint32_t>(std::stoul(info.substr(info.find("writable address: ") + 18)));
    // In order (a braced list is evaluated left to right), every step without a complaint.
    EXPECT_EQ((std::vector<std::string>{rectest::ExtractWithXorriso(disc, start, x), rectest::CompareTrees(Path("both"), x),
               rectest::SessionView(disc, medium == "bd-r" ? start : 0, v), rectest::ExtractWithBsdtar(v, b),
               rectest::CompareTrees(Path("both"), b, true)}), std::vector<std::string>(5));
  }
  EXPECT_NE(Run({"burn", kSample, "--virtual", Path("bd-r.img")}).Err.find("the disc is closed"), std::string::npos);
}

TEST_F(Mburn, TestWriteOnATerminalShowsABarAndLeavesTheDiscBlank) {
  const std::string disc = Path("disc.iso");
  // Under `script` standard error is a terminal: progress is a bar redrawn in place.
  TRun r = RunProgram("script", {"-q", "-e", "-c",
                                 std::string(MBURN_BINARY_DIR "/mburn") + " burn " + kSample +
                                     " --virtual " + disc + ":cd-r --test-write --speed 1385",
                                 "/dev/null"},
                      dir_);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_NE(r.Out.find("\r[##############################] 100%  0.6 of 0.6 MB"), std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find(" \r\nBurning Done - Sucsessfull\r\nmburn: wrote 0.6 MB in "),
            std::string::npos)
      << r.Out;
  r = Run({"disc", "--virtual", disc});
  EXPECT_NE(r.Out.find("Disc status: empty"), std::string::npos) << r.Out;
}

// A test write simulates (exit 0) or is refused before anything is sent (exit
// 2); either way the disc, blank or holding a session, is left as it was.
TEST_F(Mburn, TestWriteLeavesEveryDiscAsItWas) {
  // The media that refuse are refused at the layout, blank or not.
  const struct {
    const char* Media;
    bool Used, Simulates;
  } cases[] = {
      {"cd-r", false, true},    {"cd-r", true, true},       {"dvd-r", false, true},
      {"dvd-r", true, true},    {"dvd-rw-seq", false, true}, {"dvd-rw-seq", true, true},
      {"cd-rw", false, true},   {"dvd-rw", false, false},   {"dvd+r", false, false},
      {"dvd+rw", false, false}, {"dvd-ram", false, false},  {"bd-r", false, false},
      {"bd-re", false, false},
  };
  const auto state = [this](const std::string& disc) {
    return RunProgram("sha256sum", {disc, disc + ".state"}, dir_).Out +
           RunProgram(MBURN_BINARY_DIR "/vrecorder", {"info", disc}, dir_).Out;
  };
  for (const auto& c : cases) {
    const std::string disc = Path(std::string(c.Media) + (c.Used ? "-used.img" : ".img"));
    SCOPED_TRACE(disc);
    if (c.Used) ASSERT_EQ(Run({"burn", kSample, "--virtual", disc + ":" + c.Media}).Status, 0);
    else ASSERT_EQ(RunProgram(MBURN_BINARY_DIR "/vrecorder", {"new", disc, c.Media}, dir_).Status, 0);
    const std::string before = state(disc);
    const TRun r = Run({"burn", kSample, "--virtual", disc, "--test-write"});
    EXPECT_EQ(r.Status, c.Simulates ? 0 : 2) << r.Out << r.Err;
    if (!c.Simulates) {
      EXPECT_NE((r.Out + r.Err).find(" CANNOT BE SIMULATED: NOTHING RECORDED"), std::string::npos);
    }
    EXPECT_EQ(state(disc), before);
  }
}

TEST_F(Mburn, RecordingFailureExitsOneWithTheErrorText) {
  const std::string disc = Path("disc.iso");
  const TRun r = Run({"burn", kSample, "--virtual", disc + ":cd-r,write-error=40"});
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  const auto lines = Lines(r.Out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Burning done - With error");
  EXPECT_NE(r.Err.find("WRITER ERROR ["), std::string::npos) << r.Err;
}

TEST_F(Mburn, NothingRecordedExitsTwo) {
  const std::string disc = Path("disc.iso") + ":cd-r";
  // no folder
  TRun r = Run({"burn", "", "--virtual", disc});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("Choose a folder first"), std::string::npos) << r.Err;
  // nothing matches the mask
  r = Run({"burn", kSample + "/pictures", "--virtual", disc, "--mask", "*.none"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("nothing to record"), std::string::npos) << r.Err;
  // a folder that cannot be added whole
  fs::create_directories(Path("src"));
  std::ofstream(Path("src/ok.txt")) << "ok\n";
  const std::string longName = std::string(130, 'n') + ".txt";
  std::ofstream(Path("src/" + longName)) << "refused\n";
  r = Run({"burn", Path("src"), "--virtual", disc, "--no-rock-ridge"});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Out.find(longName), std::string::npos) << r.Out;
  // a drive that is not there
  r = Run({"burn", kSample, "--virtual", disc, "--drive", "1"});
  EXPECT_EQ(r.Status, 2);
  // After all of these the disc is still blank.
  r = Run({"disc", "--virtual", Path("disc.iso")});
  EXPECT_NE(r.Out.find("Disc status: empty"), std::string::npos) << r.Out;
}

// ---------------------------------------------------------------- erase, write, eject

// One virtual CD-RW through erase, write and --eject, and what they refuse:
// each step's exit status and line.
TEST_F(Mburn, EraseWriteAndEjectExitAsBurnDoes) {
  ASSERT_EQ(Run({"image", kSample, "-o", Path("sample.iso")}).Status, 0);
  const std::string rw = Path("rw.iso") + ":cd-rw";
  const struct { std::vector<std::string> Args; int Status; std::string Line; } steps[] = {
      {{"erase", "--virtual", Path("r.iso") + ":cd-r"}, 2, "CD-R IS NOT REWRITABLE: NOTHING ERASED"},
      {{"write", Path("missing.iso"), "--virtual", rw}, 2, "CANNOT READ THE IMAGE FILE"},
      {{"burn", kSample, "--virtual", rw}, 0, "Burning Done - Sucsessfull"},
      {{"write", Path("sample.iso"), "--virtual", rw}, 2, kImageNeedsBlankText},
      {{"erase", "--eject", "--virtual", rw}, 0, "Erasing Done - Successful"},
      {{"write", Path("sample.iso"), "--verify", "--eject", "--virtual", rw}, 0,
       "Verify Done - Every Sector Matches"},
      {{"erase", "--full", "--virtual", rw}, 0, "erased 100%"},
  };
  for (const auto& step : steps) {
    const TRun r = Run(step.Args);
    EXPECT_EQ(r.Status, step.Status) << step.Args[0] << "\n" << r.Out << r.Err;
    EXPECT_NE(r.Out.find(step.Line), std::string::npos) << r.Out << r.Err;
  }
}

// ---------------------------------------------------------------- verify

const std::vector<std::string> kEpoch = {"SOURCE_DATE_EPOCH=1700000000", "TZ=UTC"};

TEST_F(Mburn, VerifiedBurnProvesTheTrackByteForByte) {
  rectest::MakeVariedFolder(Path("varied"), 3);
  TRun r = RunMburn({"image", Path("varied"), "-o", "varied.iso"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::string digest = Sha256Sum("varied.iso", dir_);
  EXPECT_EQ(Lines(r.Out).back(), "sha256: " + digest);

  r = RunMburn({"burn", Path("varied"), "--verify", "--virtual", "disc.iso:cd-r"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const auto lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 7u) << r.Out;
  EXPECT_EQ(lines[3], "VERIFYING - PLEASE WAIT");
  EXPECT_EQ(lines[4], "Burning Done - Sucsessfull");
  EXPECT_EQ(lines[5], "Verify Done - Every Sector Matches");
  EXPECT_EQ(lines[6], "sha256: " + digest);
  // The disc's track, read as a plain file from where it starts (sector 0).
  const std::string sectors = std::to_string(fs::file_size(Path("varied.iso")) / 2048);
  r = RunProgram("sh", {"-c", "dd if=disc.iso bs=2048 count=" + sectors + " status=none | sha256sum"}, dir_);
  EXPECT_EQ(r.Out.substr(0, 64), digest);

  // The disc checked again later, against the digest and against the image.
  for (const std::vector<std::string>& against :
       {std::vector<std::string>{"--sha256", digest}, {"--image", "varied.iso"}}) {
    std::vector<std::string> args = {"verify", "--virtual", "disc.iso", "--session", "1"};
    args.insert(args.end(), against.begin(), against.end());
    r = Run(args);
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_EQ(Lines(r.Out).back(), "sha256: " + digest) << r.Out;
  }
  r = Run({"verify", "--virtual", "disc.iso", "--sha256", std::string(64, 'a')});
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  EXPECT_NE(r.Err.find("VERIFY: THE TRACK'S SHA-256 DIFFERS"), std::string::npos) << r.Err;
}

// Fixed trees with fixed times keep the bytes their images had when these
// digests were taken: a change of how images are built must not change them.
TEST_F(Mburn, ImagesKeepTheirBytes) {
  rectest::MakeVariedFolder(Path("varied"), 7, false);
  const fs::path hostile = Path("hostile");
  for (const char* name : {"semi;colon;1.txt", "  leading spaces", "trailing dot.", "UPPER.TXT",
                           "upper.txt", "\xC3\xBCn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9 \xE2\x9C\x93.txt",
                           ".hidden", "a%b&c=d+e.txt", "dir.with.dots/x.y.z", "1/2/3/4/5/6/7/8/9/deep"})
    rectest::WriteFile(hostile / name, rectest::Pattern(100, name[0]));
  rectest::WriteFile(hostile / std::string(100, 'L'), rectest::Pattern(5, 1));
  rectest::WriteFile(Path("big/small.txt"), rectest::Pattern(6, 2));
  { std::ofstream huge(Path("big/huge.bin")); }
  fs::resize_file(Path("big/huge.bin"), 4'939'212'390);  // 4.6 GiB, sparse
  const auto fixed = std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(1'600'000'000)));
  for (const char* root : {"varied", "hostile", "big"}) {
    for (const auto& e : fs::recursive_directory_iterator(Path(root))) fs::last_write_time(e.path(), fixed);
    fs::last_write_time(Path(root), fixed);
  }
  const struct {
    std::vector<std::string> Args;
    const char* Digest;
  } cases[] = {
      {{"image", Path("varied"), "-o", "a.iso"},
       "efdda0e52cd751c6f74f174b6ae5ff541cd864be574fbeacc9f4599f5022563b"},
      {{"image", Path("varied"), "-o", "a.iso", "--no-joliet"},
       "b899812255f1f577efe86b0d3ca4236cb01dc16d40207cd8a58c8b4383e35acc"},
      {{"image", Path("hostile"), "-o", "a.iso"},
       "b9f1119bb259307d3bac1aa15ee5c3a6b22a94916e92422d0f6333974450bd70"},
      {{"image", Path("varied"), "-o", "a.iso", "--volume-id", "Pinned volume"},
       "b7bb72a97977319adca58fd00731c9580eaad9c2e84148be340f1a74d9b72832"},
      {{"image", Path("big"), "-o", "a.iso"},
       "28b7ea75766ed8de14a6d3cf1b5d52096fa128e5f5f59e81a616a600f143f799"},
      // Two sessions on a CD-R: the disc as a whole.
      {{"burn", Path("varied"), "--virtual", "disc.img:cd-r"}, nullptr},
      {{"burn", Path("hostile"), "--virtual", "disc.img"},
       "a93b0a46281d7bccefad7d0e8a83138998841c1b69a497846df7edaa62894125"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.Args;
    args.push_back("--no-rock-ridge");  // pinned before Rock Ridge was the default
    const TRun r = RunMburn(args, dir_, kEpoch);
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    if (!c.Digest) continue;
    EXPECT_EQ(Sha256Sum(c.Args[0] == "image" ? "a.iso" : "disc.img", dir_), c.Digest) << c.Args[1];
  }
}

// An injected fault: the recording still succeeds, the verify after it names the
// sector, and so does a later verify against the image file.
TEST_F(Mburn, VerifyFailuresNameTheSectorAndExitOne) {
  struct TCase {
    const char* Fault;
    const char* Text;
  };
  const TCase cases[] = {
      {"corrupt-at=40", "VERIFY: SECTOR 40 DIFFERS FROM THE RECORDED DATA"},
      // The same through the page cache (the block above went past it).
      {"direct=0,corrupt-at=40", "VERIFY: SECTOR 40 DIFFERS FROM THE RECORDED DATA"},
      {"read-error=77", "VERIFY: SECTOR 77 CANNOT BE READ [MEDIUM ERROR (UNRECOVERED READ ERROR)]"},
  };
  TRun r = RunMburn({"image", kSample, "-o", "sample.iso"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Err;
  for (const TCase& c : cases) {
    const std::string disc = "disc-" + std::to_string(&c - cases) + ".iso";
    r = RunMburn({"burn", kSample, "--verify", "--virtual", disc + ":dvd+r," + c.Fault}, dir_,
                 kEpoch);
    EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
    const auto lines = Lines(r.Out);
    ASSERT_GE(lines.size(), 3u) << r.Out;
    EXPECT_EQ(lines[lines.size() - 3], "Burning Done - Sucsessfull") << c.Fault;
    EXPECT_EQ(lines[lines.size() - 2], "Verify done - With error") << c.Fault;
    EXPECT_EQ(lines.back(), "sha256: " + Sha256Sum("sample.iso", dir_)) << c.Fault;
    EXPECT_NE(r.Err.find(c.Text), std::string::npos) << r.Err;

    r = Run({"verify", "--virtual", disc + ":dvd+r," + c.Fault, "--image", "sample.iso"});
    EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
    EXPECT_NE(r.Err.find(c.Text), std::string::npos) << r.Err;
  }
}

// ---------------------------------------------------------------- no false success

// Every way to a disc that readers cannot use ends with a non-zero status and
// a text, and nothing is written that should not be.
TEST_F(Mburn, NoSuccessWithADiscReadersCannotUse) {
  const std::string s = kSample;
  fs::create_directories(Path("folder"));
  fs::create_symlink("/dev/full", Path("full"));
  fs::create_symlink("/dev/null", Path("null"));
  struct TStep {
    std::vector<std::string> Args;
    int Status;
    std::string Says;  // in standard output or error
  };
  const std::vector<TStep> steps = {
      {{"burn", s, "--virtual", "c.iso:cd-r,fail=5B"}, 1,
       "CLOSING THE SESSION FAILED [HARDWARE ERROR (INTERNAL TARGET FAILURE)]"},
      {{"burn", s + "/data", "--virtual", "c.iso"}, 2, "THE DISC HOLDS AN UNFINISHED SESSION"},
      {{"disc", "--virtual", "c.iso"}, 0, "THE DISC HOLDS AN UNFINISHED SESSION"},
      {{"burn", s, "--virtual", "t.iso:dvd+r", "--test-write"}, 2, "DVD+R CANNOT BE SIMULATED"},
      {{"burn", s, "--virtual", "f.iso:dvd+rw", "--finalize"}, 2, "DVD+RW CANNOT BE FINALIZED"},
      // Finalised, with a flush long enough to be told about.
      {{"burn", s, "--virtual", "e.iso:dvd-r,long-write-ms=9000", "--finalize"}, 0,
       "mburn: waiting for the drive to flush its cache: 8 s so far"},
      {{"disc", "--virtual", "e.iso"}, 0, "Disc status: complete"},
      // Somebody's image is a closed disc; a folder is no disc.
      {{"burn", s, "--virtual", "mine.iso:cd-r"}, 2, "NOT ENOUGH SPACE"},
      {{"disc", "--virtual", "folder"}, 1, "is a folder"},
      {{"image", s, "-o", "full"}, 1, "No space left on device"},
      {{"image", s, "-o", "null"}, 0, ""},
      // The drive is held (by this test): the second user is told.
      {{"burn", s, "--virtual", "held.iso:cd-r"}, 2, "the drive is in use"},
  };
  fs::copy_file(s + "/README.txt", Path("mine.iso"));
  const int held = open(Path("held.iso").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  for (const TStep& step : steps) {
    const TRun r = Run(step.Args);
    const std::string args = step.Args[0] + " " + step.Args.back();
    EXPECT_EQ(r.Status, step.Status) << args << "\n" << r.Out << r.Err;
    EXPECT_NE((r.Out + r.Err).find(step.Says), std::string::npos) << args << "\n" << r.Out << r.Err;
  }
  close(held);
  const TRun mine = RunProgram(MBURN_BINARY_DIR "/vrecorder", {"info", "mine.iso"}, dir_);
  EXPECT_NE(mine.Out.find("disc status: complete"), std::string::npos) << mine.Out;
  EXPECT_EQ(ReadWhole(Path("mine.iso")), ReadWhole(s + "/README.txt"));
  EXPECT_FALSE(fs::exists(Path("mine.iso.state")));
  EXPECT_FALSE(fs::exists(Path("held.iso.state")));
  EXPECT_TRUE(fs::is_symlink(Path("full")) && fs::is_symlink(Path("null")));
  const TRun info = RunProgram(MBURN_BINARY_DIR "/vrecorder", {"info", "c.iso"}, dir_);
  EXPECT_NE(info.Out.find("track 1: start 0, end 300, incomplete"), std::string::npos) << info.Out;
}

// Ctrl-C stops the recording at a block boundary; a file that grew after the
// layout is recorded cut, and the outcome says so.
TEST_F(Mburn, InterruptedAndShortenedRecordingsSaySo) {
  TRun r = RunMburnWhileRecording(
      {"burn", kSample, "--virtual", "i.iso:cd-r,write-speed=20,buffer-kb=64"}, "kill -INT $p", dir_);
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  EXPECT_EQ(Lines(r.Out).back(), "Burning done - With error");
  EXPECT_NE(r.Err.find("OPERATION ABORTED BY USER"), std::string::npos) << r.Err;

  fs::create_directories(Path("grows"));
  for (const char* name : {"grows/a.bin", "grows/b.bin"})
    std::ofstream(Path(name)) << std::string(8 << 20, 'g');
  r = RunMburnWhileRecording({"burn", Path("grows"), "--virtual", "g.iso:cd-r,write-speed=4000,buffer-kb=64"},
                             "echo more >> grows/a.bin; echo more >> grows/b.bin", dir_);
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  const auto lines = Lines(r.Out);  // the outcome, then the track's digest
  ASSERT_GE(lines.size(), 2u) << r.Out;
  EXPECT_EQ(lines[lines.size() - 2], "Burning Done - Sucsessfull - THE RECORDING HOLDS A SHORTENED FILE");
  EXPECT_EQ(lines.back().rfind("sha256: ", 0), 0u) << r.Out;
  EXPECT_NE(r.Err.find("GREW AFTER PREPARATION"), std::string::npos) << r.Err;
}

// ---------------------------------------------------------------- image

TEST_F(Mburn, ImageIsAnISOFileThatToolsRead) {
  const std::string image = Path("sample.iso");
  // One clock for every run: the images made below must be the same bytes.
  const TRun r = RunMburn({"image", kSample, "-o", image, "--volume-id", "IMAGE_ONLY"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  ExpectSameFiles(image, kSample);
  const TRun info = RunProgram("isoinfo", {"-d", "-i", image}, dir_);
  EXPECT_EQ(info.Status, 0);
  EXPECT_NE(info.Out.find("Volume id: IMAGE_ONLY"), std::string::npos) << info.Out;
  // The file holds the sectors mburn reports: the volume, padded to the
  // 300 sectors of the shortest track.
  const auto size = fs::file_size(image);
  EXPECT_NE(r.Out.find(": " + std::to_string(size / 2048) + " sectors"), std::string::npos)
      << r.Out;
  EXPECT_EQ(size, 300u * 2048);
  EXPECT_EQ(Lines(r.Out).back(), "sha256: " + Sha256Sum(image, dir_));
  EXPECT_NE(info.Out.find("Volume size is: "), std::string::npos) << info.Out;
  // The Joliet tree keeps the long names (bsdtar above has read the others).
  const TRun joliet = RunProgram("isoinfo", {"-J", "-f", "-i", image}, dir_);
  EXPECT_NE(joliet.Out.find("/notes/A long file name with spaces.txt"), std::string::npos)
      << joliet.Out;
  // To standard output the image comes alone; the texts go to the error output.
  for (const std::string output : {"-", "/dev/stdout"}) {
    const TRun piped = RunMburn({"image", kSample, "-o", output, "--volume-id", "IMAGE_ONLY"}, dir_, kEpoch);
    ASSERT_EQ(piped.Status, 0) << output << "\n" << piped.Err;
    EXPECT_TRUE(piped.Out == ReadWhole(image)) << output << ": " << piped.Out.size() << " bytes";
    EXPECT_EQ(Lines(piped.Err).back(), Lines(r.Out).back()) << output;
  }
}

TEST_F(Mburn, AVolumeIdTooLongIsReportedAsIsoinfoReadsIt) {
  const std::string image = Path("long.iso");
  const TRun r = Run({"image", kSample, "-o", image, "--no-joliet", "--volume-id",
                      "Photos of the summer 2004, part one"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string recorded = "PHOTOS OF THE SUMMER 2004, PART ";
  EXPECT_NE(r.Err.find("recorded as \"" + recorded + "\""), std::string::npos) << r.Err;
  const TRun info = RunProgram("isoinfo", {"-d", "-i", image}, dir_);
  EXPECT_NE(info.Out.find("Volume id: " + recorded.substr(0, recorded.size() - 1) + "\n"),
            std::string::npos)
      << info.Out;
}

// With SOURCE_DATE_EPOCH the dates the image would take from the clock take
// that time, so the same folder gives the same bytes; the files keep their own.
TEST_F(Mburn, ImagesAreReproducibleWithSourceDateEpoch) {
  rectest::MakeVariedFolder(Path("varied"), 9, false);
  ASSERT_EQ(RunProgram("touch", {"-d", "2001-02-03 04:05:06 UTC", "varied/sector.dat"}, dir_).Status,
            0);
  for (const char* name : {"one.iso", "two.iso"}) {
    const TRun r = RunMburn({"image", Path("varied"), "-o", name}, dir_, kEpoch);
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  }
  EXPECT_TRUE(ReadWhole(Path("one.iso")) == ReadWhole(Path("two.iso")));
  // The root's own records ("." and "..") carry the epoch, the file its own time.
  const TRun dates = RunProgram("/usr/bin/python3", {"-c", R"(
import pycdlib, sys
iso = pycdlib.PyCdlib(); iso.open(sys.argv[1])
for c in iso.list_children(iso_path='/'):
    d = c.date
    print(c.file_identifier().decode(), d.years_since_1900 + 1900, d.month, d.day_of_month,
          d.hour, d.minute, d.second, d.gmtoffset)
)", "one.iso"}, dir_);
  for (const char* line : {". 2023 11 14 22 13 20 0\n", ".. 2023 11 14 22 13 20 0\n",
                           "SECTOR.DAT;1 2001 2 3 4 5 6 0\n"})
    EXPECT_NE(dates.Out.find(line), std::string::npos) << line << dates.Out << dates.Err;

  const TRun bad = RunMburn({"image", Path("varied"), "-o", "bad.iso"}, dir_,
                            {"SOURCE_DATE_EPOCH=yesterday"});
  EXPECT_EQ(bad.Status, 2);
  EXPECT_NE(bad.Err.find("SOURCE_DATE_EPOCH"), std::string::npos) << bad.Err;
}

// With Rock Ridge off, the image of a fixed tree keeps the exact bytes it has
// always had: the digests were taken before the Rock Ridge and multi-extent
// writers were added.
TEST_F(Mburn, ImageBytesStayPinnedWithoutRockRidge) {
  const std::pair<const char*, const char*> cases[] = {  // tree, digest of its image
      {"varied", "7477bd84a3c9fa8534d423e11390efb8a0ddc8c493d13f9edfa6ba96f6048cba"},
      {"sample", "09d77fbf219fa052600fb39f4d6ca56959e4304ce44a1c97185eb1c19c8226ba"},
  };
  rectest::MakeVariedFolder(Path("varied"), 3);
  fs::copy(kSample, Path("sample"), fs::copy_options::recursive);
  // The files' own dates are part of the image: fixed too.
  const auto when = std::chrono::file_clock::from_sys(std::chrono::sys_seconds{std::chrono::seconds{981173106}});
  for (const auto& [tree, digest] : cases) {
    for (const auto& e : fs::recursive_directory_iterator(Path(tree))) fs::last_write_time(e.path(), when);
    fs::last_write_time(Path(tree), when);
    const TRun r = RunMburn({"image", Path(tree), "-o", std::string(tree) + ".iso", "--no-rock-ridge"}, dir_, kEpoch);
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_EQ(Sha256Sum(std::string(tree) + ".iso", dir_), digest) << tree;
  }
}

// ---------------------------------------------------------------- Rock Ridge

// What a reader must give back of a tree: per path its type and permission
// bits, a link's target, a file's modification time and bytes.
std::map<std::string, std::string> PosixView(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    if (lstat(e.path().c_str(), &st) != 0) continue;
    std::string line = std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) line += " -> " + fs::read_symlink(e.path()).string();
    if (S_ISREG(st.st_mode)) line += " " + std::to_string(st.st_mtime) + " " + ReadWhole(e.path());
    out[fs::relative(e.path(), root).string()] = line;
  }
  return out;
}

// Executables, read-only files, links to a file, a folder, nowhere and
// outside, names of 255 bytes, names that end in their only dot or have
// none, files whose fields are alike but for one, dates before 1980 and at
// odd seconds.
void MakeRockRidgeFolder(const std::string& dir, const std::string& longName) {
  fs::create_directories(dir + "/folder/" + longName);
  for (const auto& [name, mode] : {std::pair<std::string, int>{"run.sh", 0755}, {"read-only.txt", 0444},
                                    {longName, 0644}, {"folder/" + longName + "/inner.txt", 0644},
                                    {"old.txt", 0644}, {"old twin.txt", 0644}, {"old twin.sh", 0755},
                                    {"ends in a dot.", 0644}, {"no extension", 0644}, {"odd.txt", 0644}}) {
    std::ofstream(dir + "/" + name) << "#!/bin/sh\necho " << name << "\n";
    fs::permissions(dir + "/" + name, fs::perms(mode));
  }
  fs::create_symlink("run.sh", dir + "/to-file");
  fs::create_symlink("folder", dir + "/to-folder");
  fs::create_symlink("/no/such/place", dir + "/dangling");
  fs::create_symlink("../../outside/the/folder", dir + "/folder/outside");
  const auto at = [](int64_t s) { return std::chrono::file_clock::from_sys(std::chrono::sys_seconds{std::chrono::seconds{s}}); };
  for (const char* name : {"/old.txt", "/old twin.txt", "/old twin.sh"}) fs::last_write_time(dir + name, at(-152822400));  // 1965-02-28
  fs::last_write_time(dir + "/odd.txt", at(981173107));   // 2001-02-03 04:05:07
}

TEST_F(Mburn, RockRidgeTreesReadBackThroughEveryReader) {
  const std::string longName = std::string(251, 'r') + ".txt";
  MakeRockRidgeFolder(Path("first"), longName);
  TRun r = Run({"burn", Path("first"), "--virtual", "disc.img:dvd+r", "--keep-permissions"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::string second = Lines(Run({"disc", "--virtual", "disc.img"}).Out).back().substr(23);
  // A second session adds to the first one, whose fields it carries as they
  // were recorded; its own file's permissions are made readable for everyone.
  fs::create_directories(Path("second"));
  std::ofstream(Path("second/added.txt")) << "second session\n";
  fs::permissions(Path("second/added.txt"), fs::perms(0600));
  fs::create_symlink("added.txt", Path("second/to-added"));
  r = Run({"burn", Path("second"), "--virtual", "disc.img:dvd+r"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  fs::permissions(Path("second/added.txt"), fs::perms(0444));
  auto both = PosixView(Path("second"));
  both.merge(PosixView(Path("first")));

  const std::string xorriso = "xorriso -abort_on FAILURE -osirrox on -indev stdio:disc.img -extract / out";
  const std::pair<std::string, bool> readers[] = {  // extracts into "out"; the second session?
      {xorriso, false},
      {"xorriso -load sbsector " + second + xorriso.substr(7), true},
      {"bsdtar -xf disc.img -C out", false},
      {R"(/usr/bin/python3 -c '
import calendar, os, pycdlib
iso = pycdlib.PyCdlib(); iso.open("disc.img")
for top, dirs, files in iso.walk(rr_path="/"):
    for n in dirs + files:
        p = top.rstrip("/") + "/" + n; rr = iso.get_record(rr_path=p).rock_ridge
        if n in dirs: os.makedirs("out" + p, exist_ok=True)
        elif rr.is_symlink(): os.symlink(rr.symlink_path(), "out" + p); continue
        else: iso.get_file_from_iso("out" + p, rr_path=p)
        t = rr.dr_entries.tf_record.access_time  # (pycdlib names the modification so)
        s = calendar.timegm((t.years_since_1900 + 1900, t.month, t.day_of_month, t.hour, t.minute, t.second))
        os.chmod("out" + p, rr.get_file_mode() & 0o7777); os.utime("out" + p, (s, s))
')", false},
  };
  for (const auto& [command, secondSession] : readers) {
    fs::remove_all(Path("out"));
    fs::create_directories(Path("out"));
    const TRun x = RunProgram("sh", {"-c", command}, dir_);
    ASSERT_EQ(x.Status, 0) << command << x.Out << x.Err;
    EXPECT_EQ(PosixView(Path("out")), secondSession ? both : PosixView(Path("first"))) << command;
  }
  const TRun listing = RunProgram("isoinfo", {"-R", "-l", "-i", "disc.img"}, dir_);
  for (const std::string& line : std::vector<std::string>{
           "-rwxr-xr-x   1    0    0              22 ", "-r--r--r--   1    0    0  ", " " + longName + " \n",
           "to-folder -> folder\n", "dangling -> /no/such/place\n", "outside -> ../../outside/the/folder\n",
           " ends in a dot. \n", " no extension \n", " old twin.sh \n"})
    EXPECT_NE(listing.Out.find(line), std::string::npos) << line << listing.Out;
}

// Permissions as shared discs want them unless kept: owner and group 0, read
// for everyone, execute where anyone had it, no write, folders r-x. Without
// Rock Ridge, readers make up modes of their own.
TEST_F(Mburn, PermissionsAreMadeReadableForEveryoneUnlessKept) {
  const std::pair<const char*, int> sources[] = {{"run.sh", 0754}, {"secret.txt", 0600}, {"dir/group.sh", 0610}, {"dir", 0700}};
  for (const auto& [name, mode] : sources) {
    if (std::string(name) != "dir") rectest::WriteFile(Path("tree/") + name, rectest::Pattern(10, 1));
    ASSERT_EQ(::chown((Path("tree/") + name).c_str(), 1000, 1000), 0);
  }
  for (const auto& [name, mode] : sources) fs::permissions(Path("tree/") + name, fs::perms(mode));
  using TModes = std::array<unsigned, 4>;  // as xorriso, then bsdtar, extract them
  const struct {
    std::vector<std::string> Options;
    TModes Xorriso, Bsdtar;
    const char* Owner;  // as isoinfo lists it (in octal)
  } cases[] = {
      {{}, {0555, 0444, 0555, 0555}, {0555, 0444, 0555, 0555}, " 0    0 "},
      {{"--keep-permissions"}, {0754, 0600, 0610, 0700}, {0754, 0600, 0610, 0700}, " 1750 1750 "},
      // Without Rock Ridge each reader makes up modes of its own.
      {{"--no-rock-ridge"}, {0555, 0555, 0555, 0555}, {0400, 0400, 0400, 0700}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Options.empty() ? "default" : c.Options[0]);
    std::vector<std::string> args = {"image", Path("tree"), "-o", Path("t.iso")};
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    ASSERT_EQ(Run(args).Status, 0);
    for (const bool xorriso : {true, false}) {
      fs::remove_all(Path("out"));
      fs::create_directories(Path("out"));
      const std::string reader = xorriso ? "xorriso -osirrox on -indev t.iso -extract / out" : "bsdtar -xf t.iso -C out";
      ASSERT_EQ(RunProgram("sh", {"-c", reader}, dir_).Status, 0) << reader;
      for (size_t i = 0; i < 4; ++i) {
        struct stat st {};
        ASSERT_EQ(lstat((Path("out/") + sources[i].first).c_str(), &st), 0) << reader << sources[i].first;
        EXPECT_EQ(st.st_mode & 07777, (xorriso ? c.Xorriso : c.Bsdtar)[i]) << reader << " " << sources[i].first;
      }
      RunProgram("chmod", {"-R", "u+rwX", "out"}, dir_);
    }
    const TRun listing = RunProgram("isoinfo", {"-R", "-l", "-i", "t.iso"}, dir_);
    if (c.Owner != nullptr) {
      EXPECT_NE(listing.Out.find(c.Owner), std::string::npos) << listing.Out;
    }
  }
}

// A tree above the window's capacities (65,535 entries, 8,191 folders): mburn
// takes what the formats allow, and the readers get every name and byte.
TEST_F(Mburn, TreesAboveTheWindowsCapacitiesReadBackWhole) {
  for (int i = 0; i < 70000; ++i) {
    const int folder = i % 9000;
    const std::string dir = Path("tree/d" + std::to_string(folder / 100) + "/sub " + std::to_string(folder));
    if (i < 9000) fs::create_directories(dir);
    std::ofstream(dir + "/file " + std::to_string(i) + ".txt") << i << '\n';
  }
  const TRun r = Run({"image", Path("tree"), "-o", Path("tree.iso")});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(rectest::ExtractWithXorriso(Path("tree.iso"), 0, Path("by-xorriso")), "");
  EXPECT_EQ(rectest::CompareTrees(Path("tree"), Path("by-xorriso")), "");
  EXPECT_EQ(rectest::ExtractWithBsdtar(Path("tree.iso"), Path("by-bsdtar")), "");
  EXPECT_EQ(rectest::CompareTrees(Path("tree"), Path("by-bsdtar")), "");
}

TEST_F(Mburn, ImageFailures) {
  TRun r = Run({"image", Path("missing"), "-o", Path("x.iso")});
  EXPECT_EQ(r.Status, 2) << r.Out << r.Err;
  r = Run({"image", kSample, "-o", Path("no/such/dir/x.iso")});
  EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
  EXPECT_FALSE(r.Err.empty());
  r = Run({"image", kSample + "/data", "--mask", "*.none", "-o", Path("y.iso")});
  EXPECT_EQ(r.Status, 2);
  EXPECT_FALSE(fs::exists(Path("y.iso")));
}

// A bridge image: UDF readers see the UDF tree whole, the ISO readers still
// see theirs. The judges: udfinfo (counts and label), blkid (the type), 7-Zip
// (every file extracted and compared), pycdlib for symbolic links (7-Zip
// refuses UDF images that hold any), xorriso and bsdtar for the ISO side.
// ---------------------------------------------------------------- the manifest

// The names a SHA256SUMS lists, unescaped lines taken as they are.
std::vector<std::string> ListedFiles(const std::string& list) {
  std::vector<std::string> names;
  for (const std::string& line : Lines(list)) names.push_back(line.substr(line.starts_with('\\') ? 67 : 66));
  std::sort(names.begin(), names.end());
  return names;
}

// The sector a session starts at: the next writable address before it is recorded.
std::string NextWritable(const std::string& disc, const std::string& cwd) {
  std::smatch m;
  const std::string info = RunMburn({"disc", "--virtual", disc}, cwd).Out;
  return std::regex_search(info, m, std::regex("Next writable address: ([0-9]+)")) ? m[1].str() : "?";
}

// A disc recorded with --manifest proves itself: extracted by xorriso and by
// bsdtar, its SHA256SUMS passes `sha256sum -c --strict` and lists every file
// the reader extracted (not itself). Names with a newline or a carriage
// return are escaped as sha256sum escapes them. An image file made with it
// holds the same.
TEST_F(Mburn, ManifestProvesEveryFileToSha256sum) {
  rectest::MakeVariedFolder(Path("src"), 5);
  rectest::WriteFile(Path("src/line\nbreak.txt"), rectest::Pattern(70000, 1));
  rectest::WriteFile(Path("src/sub/carriage\rreturn.txt"), rectest::Pattern(10, 2));
  rectest::WriteFile(Path("src/\xE6\x97\xA5\xE6\x9C\xAC semi;colon.txt"), rectest::Pattern(3, 3));
  const struct {
    const char* Command;
    const char* Reader;
    std::vector<std::string> Options;
  } cases[] = {
      {"burn", "xorriso", {"--rock-ridge"}},
      {"burn", "bsdtar", {"--rock-ridge"}},
      {"burn", "xorriso", {}},  // the Joliet names
      {"image", "bsdtar", {"--rock-ridge", "--udf"}},
  };
  for (const auto& c : cases) {
    const std::string disc = Path("disc-" + std::to_string(&c - cases) + ".iso");
    const std::string into = disc + ".files";
    SCOPED_TRACE(disc);
    std::vector<std::string> args = {c.Command, Path("src"), "--manifest"};
    if (std::string(c.Command) == "burn")
      args.insert(args.end(), {"--virtual", disc + ":dvd+r"});
    else
      args.insert(args.end(), {"-o", disc});
    args.insert(args.end(), c.Options.begin(), c.Options.end());
    const TRun r = Run(args);
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    fs::create_directories(into);
    const TRun x = std::string(c.Reader) == "xorriso"
                       ? RunProgram("xorriso", {"-osirrox", "on", "-indev", disc, "-extract", "/", into}, dir_)
                       : RunProgram("bsdtar", {"-xf", disc, "-C", into}, dir_);
    ASSERT_EQ(x.Status, 0) << x.Err;
    const TRun check = RunProgram("sha256sum", {"-c", "--strict", "SHA256SUMS"}, into);
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    std::vector<std::string> files = FilesUnder(into);
    files.erase(std::find(files.begin(), files.end(), "SHA256SUMS"));
    EXPECT_EQ(files.size(), 20u);
    EXPECT_EQ(ListedFiles(ReadWhole(into + "/SHA256SUMS")).size(), files.size());
    if (!c.Options.empty()) {
      EXPECT_NE(check.Out.find("\\line\\nbreak.txt: OK\n"), std::string::npos) << check.Out;
    }
  }
}

// An update session's SHA256SUMS covers both sessions: the earlier files with
// the digests of the earlier session's list, a file replaced and the new ones
// as streamed. Without an earlier list, the earlier files are named in
// SHA256SUMS.missing, with a message.
TEST_F(Mburn, ManifestOfAnUpdateCoversBothSessions) {
  for (const bool earlierList : {true, false}) {
    SCOPED_TRACE(earlierList);
    const std::string disc = Path("update.iso"), into = Path("session2");
    for (const auto& p : {disc, into, Path("one"), Path("two")}) fs::remove_all(p);
    rectest::WriteFile(Path("one/kept.txt"), rectest::Pattern(5000, 1));
    rectest::WriteFile(Path("one/sub/deep.bin"), rectest::Pattern(70000, 2));
    rectest::WriteFile(Path("one/replaced.txt"), rectest::Pattern(10, 3));
    rectest::WriteFile(Path("two/replaced.txt"), rectest::Pattern(20, 4));
    rectest::WriteFile(Path("two/new.txt"), rectest::Pattern(3000, 5));
    std::vector<std::string> first = {"burn", Path("one"), "--rock-ridge", "--virtual", disc + ":cd-r"};
    if (earlierList) first.push_back("--manifest");
    ASSERT_EQ(Run(first).Status, 0);
    const std::string start = NextWritable(disc, dir_);
    const TRun r = Run({"burn", Path("two"), "--manifest", "--rock-ridge", "--debug", "--virtual", disc});
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    ASSERT_EQ(RunProgram("xorriso", {"-osirrox", "on", "-indev", disc, "-load", "sbsector", start, "-extract", "/",
                                     into}, dir_).Status, 0);
    const TRun check = RunProgram("sha256sum", {"-c", "--strict", "SHA256SUMS"}, into);
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    EXPECT_EQ(ReadWhole(into + "/replaced.txt"), ReadWhole(Path("two/replaced.txt")));
    const std::vector<std::string> listed = ListedFiles(ReadWhole(into + "/SHA256SUMS"));
    if (earlierList) {
      EXPECT_EQ(listed, (std::vector<std::string>{"kept.txt", "new.txt", "replaced.txt", "sub/deep.bin"}));
      EXPECT_FALSE(fs::exists(into + "/SHA256SUMS.missing"));
      continue;
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"SHA256SUMS.missing", "new.txt", "replaced.txt"}));
    EXPECT_EQ(ReadWhole(into + "/SHA256SUMS.missing"), "kept.txt\nsub/deep.bin\n");
    EXPECT_NE(r.Err.find("SHA-256 NOT KNOWN, LISTED IN SHA256SUMS.missing: sub/deep.bin"), std::string::npos) << r.Err;
  }
}

// A source file named SHA256SUMS at the root is never replaced: with
// --manifest the burn and the image are refused with a message and nothing
// is recorded; without it, it is an ordinary file.
TEST_F(Mburn, ASourceNamedSHA256SUMSRefusesTheManifest) {
  rectest::WriteFile(Path("src/SHA256SUMS"), rectest::Pattern(10, 1));
  const std::string text = "A FILE NAMED SHA256SUMS IS ALREADY IN THE ROOT, NO MANIFEST CAN BE ADDED: " + Path("src/SHA256SUMS");
  TRun r = Run({"burn", Path("src"), "--manifest", "--virtual", "disc.iso:cd-r"});
  EXPECT_EQ(r.Status, 2) << r.Out << r.Err;
  EXPECT_NE(r.Out.find(text), std::string::npos) << r.Out;
  EXPECT_NE(Run({"disc", "--virtual", "disc.iso"}).Out.find("Recorded sessions: 0"), std::string::npos);
  r = Run({"image", Path("src"), "--manifest", "-o", "src.iso"});
  EXPECT_EQ(r.Status, 2) << r.Out << r.Err;
  EXPECT_NE(r.Err.find(text), std::string::npos) << r.Err;
  EXPECT_FALSE(fs::exists(Path("src.iso")));
  ASSERT_EQ(Run({"burn", Path("src"), "--virtual", "disc.iso"}).Status, 0);
}

// `mburn check` reads every listed file back: a good disc passes with the
// count of good files; a sector stored wrong or one that cannot be read
// inside one file names that file, and only that one, and exits 1; a
// session without a list, and a blank disc, exit 2.
TEST_F(Mburn, CheckNamesTheDamagedFileOnly) {
  rectest::MakeVariedFolder(Path("src"), 9, false);
  TRun r = RunMburn({"burn", Path("src"), "--manifest", "--rock-ridge", "--virtual", "good.iso:dvd+r"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  r = Run({"check", "--virtual", "good.iso"});
  EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(Lines(r.Out).back(), "Check done - 16 of 16 files good") << r.Out;
  const std::string lba = RunProgram("xorriso", {"-indev", "good.iso", "-find", "/sub/inner.bin", "-exec",
                                                 "report_lba", "--"}, dir_).Out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(lba, m, std::regex("File data lba: +0 , +([0-9]+) ,"))) << lba;
  const std::string inside = std::to_string(std::stoul(m[1].str()) + 20);
  const struct {
    std::string Fault;
    bool Recorded;  // the fault is given to the recording, else to the check
    std::string Text;
  } cases[] = {
      {"corrupt-at=" + inside, true, "DIFFERS: sub/inner.bin"},
      {"read-error=" + inside, false,
       "CANNOT BE READ: sub/inner.bin (SECTOR " + inside + " CANNOT BE READ [MEDIUM ERROR (UNRECOVERED READ ERROR)])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Fault);
    std::string disc = "good.iso:dvd+r," + c.Fault;
    if (c.Recorded) {
      r = RunMburn({"burn", Path("src"), "--manifest", "--rock-ridge", "--virtual", "bad.iso:dvd+r," + c.Fault},
                   dir_, kEpoch);
      ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
      disc = "bad.iso";
    }
    r = Run({"check", "--virtual", disc});
    EXPECT_EQ(r.Status, 1) << r.Out << r.Err;
    std::vector<std::string> reported;
    for (const std::string& line : Lines(r.Out))
      if (line.find("sub/") != std::string::npos) reported.push_back(line);
    EXPECT_EQ(reported, std::vector<std::string>{c.Text}) << r.Out;
    EXPECT_EQ(Lines(r.Out).back(), "Check done - 15 of 16 files good") << r.Out;
  }
  ASSERT_EQ(Run({"burn", Path("src"), "--virtual", "plain.iso:dvd+r"}).Status, 0);
  for (const char* disc : {"plain.iso", "blank.iso:dvd+r"}) {
    r = Run({"check", "--virtual", disc});
    EXPECT_EQ(r.Status, 2) << disc << r.Out << r.Err;
  }
}

TEST_F(Mburn, UdfTreesReadByEveryJudge) {
  rectest::MakeVariedFolder(Path("varied"), 11, false);
  for (const char* name : {"Name.txt", "name.txt", "\xF0\x9F\x98\x80 smile.txt", "semi;colon.txt"})
    rectest::WriteFile(fs::path(Path("linux")) / name, rectest::Pattern(300, static_cast<uint8_t>(name[0])));
  std::string accents;
  for (int i = 0; i < 70; ++i) accents += "\xC3\xA9";  // 140 bytes of UTF-8
  rectest::WriteFile(fs::path(Path("linux")) / (accents + ".txt"), rectest::Pattern(10, 3));
  rectest::WriteFile(Path("big/small.txt"), rectest::Pattern(6, 2));
  {
    std::ofstream huge(Path("big/huge.bin"), std::ios::binary);
    huge << "start";
    huge.seekp(5'368'709'120 - 3);  // 5 GiB, sparse but for both ends
    huge << "end";
  }
  const std::string longName = std::string(251, 'r') + ".txt";
  MakeRockRidgeFolder(Path("rr"), longName);
  const struct {
    const char* Folder;
    std::vector<std::string> Extra;
    int Files, Dirs;  // as UDF counts them: links are files, the root is a directory
  } cases[] = {
      {"varied", {"--volume-id", "Udf Label"}, 16, 5},  // empty folders are not added
      {"linux", {}, 5, 1},
      {"big", {}, 2, 1},
      {"rr", {"--rock-ridge", "--debug"}, 14, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Folder);
    const std::string image = Path(std::string(c.Folder) + ".iso");
    std::vector<std::string> args = {"image", Path(c.Folder), "-o", image, "--udf"};
    args.insert(args.end(), c.Extra.begin(), c.Extra.end());
    const TRun r = RunMburn(args, dir_, kEpoch);
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    std::string out;
    ASSERT_EQ(rectest::Shell("blkid -p -o value -s TYPE " + rectest::Quote(image), &out), 0) << out;
    EXPECT_EQ(out, "udf\n");
    ASSERT_EQ(rectest::Shell("udfinfo " + rectest::Quote(image), &out), 0) << out;
    EXPECT_NE(out.find("\nnumfiles=" + std::to_string(c.Files) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nnumdirs=" + std::to_string(c.Dirs) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nintegrity=closed\n"), std::string::npos) << out;
    if (std::string(c.Folder) == "varied") {
      EXPECT_NE(out.find("\nlabel=Udf Label\n"), std::string::npos) << out;
    }
    // The ISO side reads as before.
    const fs::path iso = Path(std::string(c.Folder) + "-iso");
    EXPECT_EQ(rectest::Shell("xorriso -abort_on FAILURE -indev stdio:" + rectest::Quote(image) +
                                 " -find / -type f", &out), 0) << out;
    if (std::string(c.Folder) == "big") {
      EXPECT_EQ(rectest::Shell("bsdtar -tf " + rectest::Quote(image), &out), 0) << out;
    } else {
      EXPECT_EQ(rectest::ExtractWithBsdtar(image, iso), "");
    }
    if (std::string(c.Folder) == "rr") {
      // The links are links, the long name is shortened with a message.
      EXPECT_NE(r.Err.find("NAME TOO LONG FOR UDF, WRITTEN AS rrr"), std::string::npos) << r.Err;
      ASSERT_EQ(rectest::Shell("/usr/bin/python3 -c 'import pycdlib,sys\n"
                               "i=pycdlib.PyCdlib(); i.open(sys.argv[1])\n"
                               "for t,d,f in i.walk(udf_path=\"/\"):\n"
                               " for n in sorted(f): print(t.rstrip(\"/\")+\"/\"+n, i.get_record(udf_path=t.rstrip(\"/\")+\"/\"+n).is_symlink())' " +
                                   rectest::Quote(image), &out), 0) << out;
      for (const char* line : {"/to-file True", "/to-folder True", "/dangling True", "/folder/outside True",
                               "/run.sh False", "/old.txt False", "/ends in a dot. False", "/no extension False",
                               "/old twin.sh False"})
        EXPECT_NE(out.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << out;
      EXPECT_EQ(out.find(longName), std::string::npos) << out;
      continue;
    }
    const fs::path udf = Path(std::string(c.Folder) + "-udf");
    ASSERT_EQ(rectest::Shell("7zz x -tudf -y -o" + rectest::Quote(udf.string()) + " " + rectest::Quote(image), &out), 0) << out;
    if (std::string(c.Folder) == "big") {
      EXPECT_EQ(rectest::Shell("cmp " + rectest::Quote(Path("big/huge.bin")) + " " + rectest::Quote((udf / "huge.bin").string()), &out), 0) << out;
      fs::remove(udf / "huge.bin");
      fs::remove(Path("big/huge.bin"));
    }
    EXPECT_EQ(rectest::CompareTrees(Path(c.Folder), udf), "");
  }
  // Recorded, the disc holds the same bridge.
  TRun r = RunMburn({"burn", Path("linux"), "--udf", "--virtual", "disc.img:dvd+r"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  std::string out;
  ASSERT_EQ(rectest::Shell("7zz x -tudf -y -o" + rectest::Quote(Path("disc")) + " " + rectest::Quote(Path("disc.img")), &out), 0) << out;
  EXPECT_EQ(rectest::CompareTrees(Path("linux"), Path("disc")), "");
  // A disc whose first session's UDF tree does not check is read through
  // its ISO tree, with a message.
  fs::copy_file(Path("disc.img"), Path("bad.img"));
  fs::copy_file(Path("disc.img.state"), Path("bad.img.state"));
  {
    std::fstream bad(Path("bad.img"), std::ios::in | std::ios::out | std::ios::binary);
    bad.seekp(257 * 2048 + 100);  // inside the file set descriptor
    bad.put('\x5A');
  }
  r = RunMburn({"burn", Path("varied"), "--udf", "--debug", "--virtual", "bad.img"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_NE(r.Err.find("UDF TREE OF SESSION 1 NOT READ (FILE SET DESCRIPTOR), ITS ISO TREE IS IMPORTED"),
            std::string::npos) << r.Err;
  // A later session's tree holds the first session's files where they lie,
  // and the new ones; udfinfo reads it from the session's start. The
  // partition reaches back to the first session's data and ends right
  // before the closing anchor, the session's last sector. The first
  // session's tree is read from its UDF side: its full names reach the new
  // Rock Ridge records too, where its Joliet names were cut.
  r = RunMburn({"burn", Path("varied"), "--udf", "--rock-ridge", "--virtual", "disc.img"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const std::vector<uint8_t> disc = rectest::ReadFile(Path("disc.img"));
  const size_t sectors = disc.size() / 2048;
  size_t session = 0;  // the last primary volume descriptor, 16 sectors into its session
  for (size_t s = 16; s < sectors; ++s)
    if (disc[s * 2048] == 1 && std::memcmp(&disc[s * 2048 + 1], "CD001", 5) == 0) session = s - 16;
  ASSERT_GT(session, 0u);
  ASSERT_EQ(rectest::Shell("udfinfo --startblock=" + std::to_string(session) + " " + rectest::Quote(Path("disc.img")), &out), 0) << out;
  EXPECT_NE(out.find("\nnumfiles=21\n"), std::string::npos) << out;  // 5 + 16
  EXPECT_NE(out.find("\nnumdirs=5\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nintegrity=closed\n"), std::string::npos) << out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("start=([0-9]+), blocks=([0-9]+), type=PSPACE"))) << out;
  EXPECT_LT(std::stoul(m[1]), 300u) << out;
  EXPECT_EQ(std::stoul(m[1]) + std::stoul(m[2]), sectors - 1) << out;
  ASSERT_EQ(rectest::Shell("xorriso -abort_on FAILURE -indev stdio:" + rectest::Quote(Path("disc.img")) +
                               " -load sbsector " + std::to_string(session) + " -find / -type f", &out), 0) << out;
  for (const std::string& name : {"/" + accents + ".txt", std::string("/Name.txt"), std::string("/name.txt")})
    EXPECT_NE(out.find("'" + name + "'\n"), std::string::npos) << name << "\n" << out;
  // A third session reads the second's tree, which reaches back to the first.
  r = RunMburn({"disc", "--virtual", "disc.img"}, dir_, kEpoch);
  ASSERT_TRUE(std::regex_search(r.Out, m, std::regex("Next writable address: ([0-9]+)"))) << r.Out;
  const std::string third = m[1];
  r = RunMburn({"burn", Path("big"), "--udf", "--debug", "--virtual", "disc.img"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(r.Err.find("NOT READ"), std::string::npos) << r.Err;
  ASSERT_EQ(rectest::Shell("udfinfo --startblock=" + third + " " + rectest::Quote(Path("disc.img")), &out), 0) << out;
  EXPECT_NE(out.find("\nnumfiles=22\n"), std::string::npos) << out;
}

// Later UDF sessions keep every earlier file: after a first session another
// program made, and on a rewritable disc, which has no sessions.
TEST_F(Mburn, LaterUdfVolumesKeepEveryFile) {
  // The first session of a CD-R made with genisoimage's UDF: the second
  // session's UDF tree, read by udfinfo from its start, holds its files too,
  // and both trees reach their bytes where genisoimage's UDF put them.
  rectest::WriteFile(Path("gen/a.txt"), rectest::Pattern(6, 1));
  rectest::WriteFile(Path("gen/sub/b.bin"), rectest::Pattern(100000, 2));
  rectest::WriteFile(Path("new/n.txt"), rectest::Pattern(3, 3));
  std::string out;
  ASSERT_EQ(rectest::Shell("genisoimage -quiet -udf -J -R -o " + rectest::Quote(Path("gen.iso")) + " " +
                               rectest::Quote(Path("gen")), &out), 0) << out;
  ASSERT_EQ(RunMburn({"write", Path("gen.iso"), "--virtual", "cd.img:cd-r"}, dir_, kEpoch).Status, 0);
  TRun r = RunMburn({"burn", Path("new"), "--udf", "--debug", "--virtual", "cd.img"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_EQ(r.Err.find("NOT READ"), std::string::npos) << r.Err;
  const std::vector<uint8_t> cd = rectest::ReadFile(Path("cd.img"));
  uint32_t second = 0;  // the last primary volume descriptor, 16 sectors into its session
  for (uint32_t at = 16; at < cd.size() / 2048; ++at)
    if (cd[at * 2048] == 1 && std::memcmp(&cd[at * 2048 + 1], "CD001", 5) == 0) second = at - 16;
  ASSERT_GT(second, 0u);
  ASSERT_EQ(rectest::Shell("udfinfo --startblock=" + std::to_string(second) + " " + rectest::Quote(Path("cd.img")), &out), 0) << out;
  EXPECT_NE(out.find("\nnumfiles=3\n"), std::string::npos) << out;
  fs::copy(Path("gen"), Path("cd-both"), fs::copy_options::recursive);
  fs::copy(Path("new"), Path("cd-both"), fs::copy_options::recursive);
  EXPECT_EQ(rectest::ExtractWithXorriso(Path("cd.img"), second, Path("cd-x")), "");
  EXPECT_EQ(rectest::CompareTrees(Path("cd-both"), Path("cd-x")), "");

  // A rewritable disc has no sessions: a later volume's descriptors go to
  // sectors 16-31 and its anchor to sector 256, where 7-Zip and pycdlib look,
  // once the volume is whole. A recording that fails before leaves the
  // earlier volume as it was.
  rectest::MakeVariedFolder(Path("varied"), 11, false);
  for (const char* name : {"Name.txt", "name.txt", "\xF0\x9F\x98\x80 smile.txt"})
    rectest::WriteFile(fs::path(Path("linux")) / name, rectest::Pattern(300, static_cast<uint8_t>(name[0])));
  ASSERT_EQ(RunMburn({"burn", Path("linux"), "--udf", "--virtual", "rw.img:dvd+rw"}, dir_, kEpoch).Status, 0);
  const std::vector<uint8_t> first = rectest::ReadFile(Path("rw.img"));
  uint32_t firstEnd = 0;  // the volume space size of its primary descriptor
  std::memcpy(&firstEnd, &first[16 * 2048 + 80], 4);
  const std::vector<std::string> update = {"burn", Path("varied"), "--udf", "--import-session", "1", "--virtual"};
  auto burnRw = [&](const std::string& options) {
    std::vector<std::string> args = update;
    args.push_back("rw.img" + options);
    return RunMburn(args, dir_, kEpoch);
  };
  r = burnRw(",write-error=" + std::to_string(firstEnd + 40));
  EXPECT_NE(r.Status, 0) << r.Out << r.Err;
  std::vector<uint8_t> now = rectest::ReadFile(Path("rw.img"));
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + 257 * 2048, now.begin()));
  r = burnRw("");
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  fs::copy(Path("linux"), Path("both"), fs::copy_options::recursive);
  fs::copy(Path("varied"), Path("both"), fs::copy_options::recursive);
  ASSERT_EQ(rectest::Shell("7zz x -tudf -y -o" + rectest::Quote(Path("rw-7z")) + " " + rectest::Quote(Path("rw.img")), &out), 0) << out;
  EXPECT_EQ(rectest::CompareTrees(Path("both"), Path("rw-7z")), "");
  ASSERT_EQ(rectest::Shell("/usr/bin/python3 -c 'import os,pycdlib,sys\n"
                           "i=pycdlib.PyCdlib(); i.open(sys.argv[1])\n"
                           "for t,d,f in i.walk(udf_path=\"/\"):\n"
                           " for n in f:\n"
                           "  p=t.rstrip(\"/\")+\"/\"+n; os.makedirs(sys.argv[2]+t, exist_ok=True)\n"
                           "  i.get_file_from_iso(sys.argv[2]+p, udf_path=p)' " +
                               rectest::Quote(Path("rw.img")) + " " + rectest::Quote(Path("rw-py")), &out), 0) << out;
  EXPECT_EQ(rectest::CompareTrees(Path("both"), Path("rw-py")), "");

  // Sector 256 of a disc whose first volume has no UDF may hold a file the
  // new tree keeps: refused, naming it, with the disc untouched. An update
  // without UDF of a disc with UDF says that its UDF is left behind, and
  // takes the anchor away with the earlier tree.
  rectest::WriteFile(Path("one/one.bin"), rectest::Pattern(1 << 20, 9));
  ASSERT_EQ(RunMburn({"burn", Path("one"), "--virtual", "one.img:dvd+rw"}, dir_, kEpoch).Status, 0);
  const std::vector<uint8_t> before = rectest::ReadFile(Path("one.img"));
  r = RunMburn({"burn", Path("linux"), "--udf", "--import-session", "1", "--virtual", "one.img"}, dir_, kEpoch);
  EXPECT_NE(r.Status, 0);
  EXPECT_NE((r.Out + r.Err).find("SECTOR 256, WHERE READERS FIND UDF, HOLDS THE FILE /one.bin"), std::string::npos)
      << r.Out << r.Err;
  EXPECT_EQ(rectest::ReadFile(Path("one.img")), before);
  r = RunMburn({"burn", Path("one"), "--import-session", "1", "--debug", "--virtual", "rw.img"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  EXPECT_NE(r.Err.find("SESSION 1 CARRIES UDF, THE NEW SESSION DOES NOT"), std::string::npos) << r.Err;
  EXPECT_NE(rectest::Shell("udfinfo " + rectest::Quote(Path("rw.img")), &out), 0) << out;
  fs::copy(Path("one"), Path("both"), fs::copy_options::recursive);
  EXPECT_EQ(rectest::ExtractWithBsdtar(Path("rw.img"), Path("rw-iso")), "");
  // Joliet's names: "name.txt" beside "Name.txt" is renamed there.
  EXPECT_EQ(rectest::ListFiles(Path("rw-iso")).size(), rectest::ListFiles(Path("both")).size());
}

// ---------------------------------------------------------------- read

// The disc's sectors First.. of its image file (sector n at byte n x 2048).
std::string DiscSectors(const std::string& image, int64_t first, int64_t count) {
  std::ifstream in(image, std::ios::binary);
  in.seekg(first * 2048);
  std::string data(static_cast<size_t>(count * 2048), '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  return data;
}

// A burnt disc read back equals the image of the same folder byte for byte,
// through a file and through standard output, with the image's digest last.
TEST_F(Mburn, ReadGivesBackTheImageThatWasBurnt) {
  TRun r = RunMburn({"image", kSample, "-o", "ref.iso"}, dir_, kEpoch);
  ASSERT_EQ(r.Status, 0) << r.Err;
  const std::string digest = Lines(r.Out).back();
  for (const char* medium : {"cd-r", "dvd+r", "bd-r"}) {
    SCOPED_TRACE(medium);
    const std::string disc = "--virtual=" + Path(std::string(medium) + ".img:" + medium + ",capacity=20000");
    ASSERT_EQ(RunMburn({"burn", kSample, disc}, dir_, kEpoch).Status, 0);
    r = Run({"read", "-o", "out.iso", disc});
    ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_EQ(Lines(r.Out).at(1), "READING - PLEASE WAIT");
    EXPECT_EQ(Lines(r.Out).at(2), "Reading Done - Every Sector Read");
    EXPECT_EQ(Lines(r.Out).back(), digest);
    EXPECT_EQ(ReadWhole(Path("out.iso")), ReadWhole(Path("ref.iso")));
    r = RunProgram("sh", {"-c", std::string(MBURN_BINARY_DIR "/mburn read -o - ") + disc + " | cmp - ref.iso"}, dir_);
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
  }
  // The image is a closed disc for a virtual drive; that drive's disc is
  // never the image it is read into.
  EXPECT_NE(Run({"disc", "--virtual", Path("out.iso")}).Out.find("Disc status: complete\nRecorded sessions: 1\n"),
            std::string::npos);
  const std::string before = ReadWhole(Path("cd-r.img"));
  r = Run({"read", "-o", "cd-r.img", "--virtual", Path("cd-r.img")});
  EXPECT_EQ(r.Status, 2);
  EXPECT_NE(r.Err.find("cd-r.img is the disc of a virtual drive: nothing read"), std::string::npos) << r.Err;
  EXPECT_EQ(ReadWhole(Path("cd-r.img")), before);
}

// A disc read up to its second session: both sessions where they lie on the
// disc, the gap between them a hole; xorriso opens the second one there.
TEST_F(Mburn, ReadOfASecondSessionOpensWhereItLies) {
  const std::string disc = "--virtual=" + Path("d.img:cd-r,capacity=30000");
  ASSERT_EQ(Run({"burn", kSample + "/data", disc}).Status, 0);
  const std::string info = Run({"disc", disc}).Out;
  const std::string start = info.substr(info.find("writable address: ") + 18, 5);
  ASSERT_EQ(Run({"burn", kSample + "/pictures", disc}).Status, 0);
  const TRun r = Run({"read", "-o", "s2.iso", disc, "--session", "2"});
  ASSERT_EQ(r.Status, 0) << r.Out << r.Err;
  const int end = std::stoi(start) + 300;
  EXPECT_NE(r.Err.find("s2.iso: disc sectors 0-" + std::to_string(end - 1) + ", sessions 1 to 2 (600 sectors"),
            std::string::npos) << r.Err;
  EXPECT_EQ(ReadWhole(Path("s2.iso")), DiscSectors(Path("d.img"), 0, end));
  EXPECT_LT(fs::file_size(Path("s2.iso")), 2u * end * 2048);  // not more than the disc image's own size
  const TRun x = RunProgram("xorriso", {"-abort_on", "FAILURE", "-indev", "stdio:s2.iso",
                                        "-load", "sbsector", start, "-find", "/", "-type", "f"}, dir_);
  ASSERT_EQ(x.Status, 0) << x.Err;
  EXPECT_EQ(x.Out, "'/gauge.png'\n'/numbers.csv'\n'/random.bin'\n");
}

// Unreadable sectors: zeros in the image, exactly their range in the map
// (ddrescuelog's list), the file they belong to named, exit 1. Read again
// with the map on a sound drive, only they are asked for, and the image is
// whole. Weak sectors are read by the retry passes.
TEST_F(Mburn, ReadOfADamagedDiscMapsItsBadSectorsAndGoesOn) {
  ASSERT_EQ(RunMburn({"image", kSample, "-o", "ref.iso"}, dir_, kEpoch).Status, 0);
  ASSERT_EQ(RunMburn({"burn", kSample, "--virtual", Path("d.img:cd-r,capacity=20000")}, dir_, kEpoch).Status, 0);
  const std::string lba = RunProgram("xorriso", {"-indev", "stdio:ref.iso", "-find", "/data/random.bin", "-exec",
                                                 "report_lba", "--"}, dir_).Out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(lba, m, std::regex("File data lba: +0 , +([0-9]+) , +3 ,"))) << lba;
  const int first = std::stoi(m[1]);  // random.bin: 3 sectors
  const std::string bad = std::to_string(first + 1) + "-" + std::to_string(first + 2);
  const struct {
    std::string Keys, Retries;
    int Status;
    bool Whole;
  } cases[] = {
      {",read-error=" + bad, "1", 1, false},
      {",read-error=" + bad + ",read-retries=2", "3", 0, true},
      {",read-error=" + bad + ",read-retries=2", "0", 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Keys + " --retries " + c.Retries);
    fs::remove(Path("out.iso"));
    fs::remove(Path("map"));
    TRun r = Run({"read", "-o", "out.iso", "--map", "map", "--retries", c.Retries, "--virtual",
                  Path("d.img") + c.Keys});
    EXPECT_EQ(r.Status, c.Status) << r.Out << r.Err;
    const TRun listed = RunProgram("ddrescuelog", {"-b2048", "-l-", "map"}, dir_);
    ASSERT_EQ(listed.Status, 0) << listed.Err;
    if (c.Whole) {
      EXPECT_EQ(listed.Out, "");
      EXPECT_EQ(ReadWhole(Path("out.iso")), ReadWhole(Path("ref.iso")));
      continue;
    }
    EXPECT_EQ(listed.Out, std::to_string(first + 1) + "\n" + std::to_string(first + 2) + "\n");
    EXPECT_EQ(DiscSectors(Path("out.iso"), first + 1, 2), std::string(4096, '\0'));
    EXPECT_NE(r.Err.find("unread: sectors " + bad + "\n"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("damaged file (ISO 9660): /data/random.bin: 2 sectors missing\n"), std::string::npos)
        << r.Err;
    EXPECT_EQ(Lines(r.Out).back(), "Reading done - With error");

    fs::remove(Path("read.log"));
    r = Run({"read", "-o", "out.iso", "--map", "map", "--virtual", Path("d.img") + ",log=" + Path("read.log")});
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
    std::vector<std::pair<uint32_t, uint16_t>> reads;
    for (const auto& l : rectest::Only(rectest::ReadCommandLog(Path("read.log")), 0x28))
      reads.emplace_back(l.Lba(), l.Count());
    EXPECT_EQ(reads, (std::vector<std::pair<uint32_t, uint16_t>>{{first + 1, 2}}));
    EXPECT_EQ(ReadWhole(Path("out.iso")), ReadWhole(Path("ref.iso")));
    EXPECT_EQ(Lines(RunProgram("ddrescuelog", {"-b2048", "-l+", "map"}, dir_).Out).size(), 300u);
  }
}

// A copy between two drives reads, records and verifies: xorriso reads the
// copy's files back. A target that is not blank, or a source of two sessions,
// is refused before anything is read.
TEST_F(Mburn, CopyRecordsTheDiscOntoABlankOneInAnotherDrive) {
  ASSERT_EQ(Run({"burn", kSample, "--virtual", Path("src.img:cd-r,capacity=20000")}).Status, 0);
  const struct { std::string Target; int Status; const char* Says; } cases[] = {
      {"copy.img:dvd+r,capacity=20000", 0, "Verify Done - Every Sector Matches"},
      {"copy.img", 2, "the disc in drive 1 is not blank: nothing read"},
  };
  for (const auto& c : cases) {
    const TRun r = Run({"copy", "--drive", "0", "--to", "1", "--virtual", Path("src.img"), "--virtual", Path(c.Target)});
    EXPECT_EQ(r.Status, c.Status) << r.Out << r.Err;
    EXPECT_NE((r.Out + r.Err).find(c.Says), std::string::npos) << r.Out << r.Err;
  }
  ExpectSameFiles(Path("copy.img"), kSample);
  const TRun x = RunProgram("xorriso", {"-abort_on", "FAILURE", "-indev", "stdio:copy.img", "-find", "/data",
                                        "-type", "f"}, dir_);
  EXPECT_EQ(x.Out, "'/data/numbers.csv'\n'/data/random.bin'\n") << x.Err;
  ASSERT_EQ(Run({"burn", kSample + "/data", "--virtual", Path("src.img")}).Status, 0);
  const TRun two = Run({"copy", "--drive", "0", "--to", "0", "--virtual", Path("src.img")});
  EXPECT_EQ(two.Status, 2);
  EXPECT_NE(two.Err.find("the disc holds 2 sessions: copy records a disc of one session"), std::string::npos) << two.Err;
}

// ---------------------------------------------------------------- disc sets

// A folder of three 40 MiB discs and more: the plan's discs are the discs
// recorded, each one a disc of its own that bsdtar and sha256sum read, the
// 9 MiB files never cut, the 70 MiB one cut into parts that cat joins, and
// the discs together the folder byte for byte. A disc that fails names
// itself and --from goes on with the same plan, unless the folder changed.
TEST_F(Mburn, AFolderLargerThanADiscComesBackWholeFromItsSet) {
  const std::string folder = Path("archive");
  rectest::MakeVariedFolder(folder, 11);
  for (int i = 1; i <= 6; ++i)
    rectest::WriteFile(folder + "/nine/" + std::to_string(i) + ".bin", rectest::Pattern(9 << 20, 20 + i));
  rectest::WriteFile(folder + "/video/large.bin", rectest::Pattern(70 << 20, 30));
  ASSERT_EQ(rectest::Shell("touch -d '2020-05-06 07:08:10' " + rectest::Quote(folder + "/video")), 0);
  auto modified = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
  };
  const std::string discs = Path("set-%d.img") + ":cd-r,capacity=20480";
  auto span = [&](const std::vector<std::string>& more) {
    std::vector<std::string> args = {"burn", folder, "--span", "--manifest"};
    args.insert(args.end(), more.begin(), more.end());
    return RunMburn(args, dir_, {"XDG_STATE_HOME=" + Path("state")});
  };
  auto image = [&](int disc) { return Path("set-" + std::to_string(disc) + ".img"); };

  const TRun plan = Run({"plan", folder, "--manifest", "--virtual", discs});
  ASSERT_EQ(plan.Status, 0) << plan.Out << plan.Err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(plan.Out, m, std::regex("Discs: (\\d+)\n"))) << plan.Out;
  const int count = std::stoi(m[1]);
  EXPECT_GE(count, 4) << plan.Out;
  const std::string of = " of " + std::to_string(count);

  // Disc 3 is no blank disc, then it meets a write error: each time the run
  // names it and says how to go on.
  rectest::WriteFile(image(3), rectest::Pattern(4096, 1));
  const struct { std::vector<std::string> Args; int Status; } failures[] = {
      {{"--virtual", discs}, 1},
      {{"--from", "3", "--virtual", discs + ",new,write-error=100"}, 1},
  };
  for (const auto& f : failures) {
    const TRun r = span(f.Args);
    EXPECT_EQ(r.Status, f.Status) << r.Out << r.Err;
    EXPECT_NE(r.Err.find("disc 3" + of + " failed"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("--span --from 3"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out.find("Recording disc 4"), std::string::npos) << r.Out;
  }
  const TRun rest = span({"--from", "3", "--virtual", discs + ",new"});
  ASSERT_EQ(rest.Status, 0) << rest.Out << rest.Err;
  EXPECT_NE(rest.Out.find("Recorded disc " + std::to_string(count) + of + "\n"), std::string::npos) << rest.Out;
  EXPECT_FALSE(fs::exists(image(count + 1)));
  EXPECT_NE(Run({"disc", "--virtual", image(1)}).Out.find("Disc status: complete"), std::string::npos);

  const std::string whole = Path("whole");
  for (int disc = 1; disc <= count; ++disc) {
    SCOPED_TRACE(disc);
    const std::string into = Path("disc-" + std::to_string(disc));
    ASSERT_EQ(rectest::ExtractWithBsdtar(image(disc), into), "");
    const std::string set = ReadWhole(into + "/MBURN-SET.txt");
    EXPECT_NE(set.find("Disc " + std::to_string(disc) + of + ", recorded "), std::string::npos) << set;
    EXPECT_NE(set.find("  cat 'video/large.bin.part'"), std::string::npos) << set;
    // A folder that only a part brings to a disc keeps its date too.
    if (fs::exists(into + "/video")) {
      EXPECT_EQ(modified(into + "/video"), modified(folder + "/video"));
    }
    const TRun sums = RunProgram("sha256sum", {"-c", "--strict", "--quiet", "SHA256SUMS"}, into);
    EXPECT_EQ(sums.Status, 0) << sums.Out << sums.Err;
    for (const std::string& file : FilesUnder(into)) {
      EXPECT_FALSE(file.starts_with("nine/") && file.find(".part") != std::string::npos) << file;
      if (file != "MBURN-SET.txt" && file != "SHA256SUMS") {
        EXPECT_NE(set.find(file + "\n"), std::string::npos) << file;
        fs::create_directories(fs::path(whole + "/" + file).parent_path());
        fs::copy_file(into + "/" + file, whole + "/" + file);
      }
    }
  }
  ASSERT_EQ(rectest::Shell("cd " + rectest::Quote(whole + "/video") +
                           " && cat large.bin.part* > large.bin && rm large.bin.part*"), 0);
  EXPECT_EQ(rectest::CompareTrees(folder, whole), "");

  // A file changed since: the plan would not be that of the discs recorded.
  fs::last_write_time(folder + "/nine/1.bin", fs::file_time_type::clock::now() - std::chrono::hours(1));
  const TRun changed = span({"--from", "4", "--virtual", Path("again-%d.img") + ":cd-r,capacity=20480"});
  EXPECT_EQ(changed.Status, 2);
  EXPECT_NE(changed.Err.find(folder + " has changed since the set's first discs were recorded"),
            std::string::npos) << changed.Err;
}

}  // namespace
