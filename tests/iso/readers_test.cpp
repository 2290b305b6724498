// Independent readers judge the images: trees of varied names, depths and file
// sizes are laid out in image-only mode, the image is assembled as the recorder
// would receive it, and isoinfo, xorriso and bsdtar must list it, show the
// Joliet names as the source names, and extract every file byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "iso/image_helpers.h"
#include "iso/iso.h"

using namespace isotest;

namespace {

// The name a file takes in the Joliet tree: the long name, with a "." when it
// has none.
std::string JolietFileName(const std::string& Name) {
  return Name.find('.') == std::string::npos ? Name + "." : Name;
}

class ReadersTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* tool : {"isoinfo", "xorriso", "bsdtar"})
      if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    c_.OnDebugMessage = [this](TObject*, const std::string& m, uint8_t kind) {
      messages_.push_back(m);
      if (kind == MSG_FILE) fileMessages_.push_back(m);
    };
  }

  // A file in the source folder; what the image must give back for it, under
  // JolietRel when its Joliet path is not its own.
  void File(const std::string& Rel, size_t Size, const std::string& JolietRel = "") {
    const std::string content = Pattern(Size, static_cast<uint32_t>(expected_.size() + 1));
    WriteFile(src_ / Rel, content);
    const fs::path rel = fs::path(JolietRel.empty() ? Rel : JolietRel);
    std::string name = rel.filename().string();
    const std::string parent = rel.parent_path().string();
    const std::string joliet = (parent.empty() ? "" : parent + "/") + JolietFileName(name);
    expected_[joliet] = content;
    for (fs::path p = rel.parent_path(); !p.empty(); p = p.parent_path()) expected_[p.string() + "/"] = "";
  }

  // Adds the source folder, prepares an image-only image and assembles it.
  void Build() {
    ASSERT_TRUE(c_.AddFolder("\\", src_.Path().string(), "*.*", faAnyFile, true, false, false));
    ASSERT_TRUE(c_.PrepareImage(true, nullptr));
    ASSERT_TRUE(AssembleImage(c_, image_));
    ASSERT_EQ(static_cast<int64_t>(fs::file_size(image_)), c_.TrackLength * 2048);
    // MBURN_KEEP_IMAGE=PATH keeps a copy of the image for a look with other tools.
    if (const char* keep = std::getenv("MBURN_KEEP_IMAGE"))
      fs::copy_file(image_, keep, fs::copy_options::overwrite_existing);
  }

  // Files and folders that a reader extracted, with the contents.
  // A reader that drops the trailing "." of a name (xorriso does) gives back
  // the source name exactly.
  // Without Joliet the names are those of the ISO tree: upper case.
  void ExpectExtracted(const fs::path& Dir, const char* Reader, bool DropsTrailingDot = false,
                       bool IsoNames = false) {
    const auto got = fs::exists(Dir) ? Snapshot(Dir) : std::map<std::string, std::string>{};
    std::map<std::string, std::string> want;
    for (const auto& [k, v] : expected_) {
      std::string name = IsoNames ? UpperCase(k) : k;
      if (DropsTrailingDot && name.size() > 1 && name.back() == '.') name.pop_back();
      want[name] = v;
    }
    std::set<std::string> missing, extra;
    for (const auto& [k, v] : want)
      if (!got.count(k)) missing.insert(k);
    for (const auto& [k, v] : got)
      if (!want.count(k)) extra.insert(k);
    EXPECT_TRUE(missing.empty()) << Reader << " missed " << ::testing::PrintToString(missing);
    EXPECT_TRUE(extra.empty()) << Reader << " gave extra " << ::testing::PrintToString(extra);
    for (const auto& [k, v] : want) {
      const auto it = got.find(k);
      if (it == got.end()) continue;
      EXPECT_TRUE(it->second == v) << Reader << ": content of " << k << " differs";
    }
  }

  // Every reader lists the image without complaint and extracts the tree;
  // with JolietTree, bsdtar and xorriso read the Joliet tree of a Rock Ridge image.
  void JudgeImage(bool JolietTree = false) {
    const std::string img = Quote(image_.string());
    const TRunResult d = RunCommand("isoinfo -d -i " + img);
    EXPECT_EQ(d.Status, 0) << d.Output;
    EXPECT_NE(d.Output.find("Volume size is: " + std::to_string(c_.EndSector)), std::string::npos)
        << d.Output;
    EXPECT_NE(d.Output.find("Joliet with UCS level 1"), std::string::npos) << d.Output;

    const TRunResult l = RunCommand("isoinfo -l -i " + img);
    EXPECT_EQ(l.Status, 0) << l.Output;
    // isoinfo converts Joliet names only to 8-bit character sets: the ASCII
    // names must come out as they are.
    const TRunResult jl = RunCommand("LC_ALL=C.UTF-8 isoinfo -J -l -i " + img);
    EXPECT_EQ(jl.Status, 0) << jl.Output;
    for (const auto& [k, v] : expected_) {
      if (k.back() == '/') continue;
      const std::string name = fs::path(k).filename().string();
      if (std::any_of(name.begin(), name.end(), [](char ch) { return (ch & 0x80) != 0; })) continue;
      EXPECT_NE(jl.Output.find(" " + name), std::string::npos) << "isoinfo -J lists no " << name;
    }

    const std::string bsdtar = JolietTree ? "LC_ALL=C.UTF-8 bsdtar --options 'iso9660:!rockridge' " : "bsdtar ";
    const std::string xorriso = JolietTree ? "xorriso -read_fs norock " : "xorriso ";
    const TRunResult x = RunCommand(xorriso + "-abort_on FAILURE -indev " + img + " -find / 2>&1");
    EXPECT_EQ(x.Status, 0) << x.Output;

    const TRunResult t = RunCommand(bsdtar + "-tf " + img);
    EXPECT_EQ(t.Status, 0) << t.Output;
    std::set<std::string> listed;
    for (size_t a = 0, b; a < t.Output.size(); a = b + 1) {
      b = t.Output.find('\n', a);
      if (b == std::string::npos) b = t.Output.size();
      std::string line = t.Output.substr(a, b - a);
      if (line.empty() || line == "." || line == "./") continue;
      if (line.rfind("./", 0) == 0) line = line.substr(2);
      listed.insert(line);
    }
    std::set<std::string> want;
    for (const auto& [k, v] : expected_) want.insert(k.back() == '/' ? k.substr(0, k.size() - 1) : k);
    EXPECT_EQ(listed, want) << "bsdtar -tf";

    TTempDir bsd("isolayout-bsdtar");
    const TRunResult bx = RunCommand(bsdtar + "-xf " + img + " -C " + Quote(bsd.Path().string()));
    EXPECT_EQ(bx.Status, 0) << bx.Output;
    ExpectExtracted(bsd.Path(), "bsdtar");

    TTempDir py("isolayout-pycdlib");
    const TRunResult px = PycdlibExtractJoliet(image_, py.Path() / "out");
    EXPECT_EQ(px.Status, 0) << px.Output;
    ExpectExtracted(py.Path() / "out", "pycdlib");

    TTempDir xo("isolayout-xorriso");
    const fs::path out = xo.Path() / "out";
    const TRunResult xx = RunCommand(xorriso + "-osirrox on -indev " + img + " -extract / " + Quote(out.string()));
    EXPECT_EQ(xx.Status, 0) << xx.Output;
    ExpectExtracted(out, "xorriso", true);
  }

  VEZEZadira c_;
  std::vector<std::string> messages_;
  std::vector<std::string> fileMessages_;  // kind 4
  TTempDir src_{"isolayout-src"};
  TTempDir work_{"isolayout-img"};
  fs::path image_ = work_.Path() / "image.iso";
  std::map<std::string, std::string> expected_;
};

TEST_F(ReadersTest, VariedNamesSizesAndDepths) {
  File("Mixed Case Folder/File With Spaces.TXT", 2047);
  File("Mixed Case Folder/lower case.txt", 1);
  File("\xC3\xBCn\xC3\xAF c\xC3\xB8" "d\xC3\xA9/na\xC3\xAFve caf\xC3\xA9.txt", 2048);  // ünï cødé/naïve café.txt
  File("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", 2049);                                // 日本語.txt
  File("d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/deep file.bin", 65536);
  File(".hidden file", 100);
  File(".hiddendir/inside.txt", 10);
  File("zero.bin", 0);
  File("big.bin", 1024 * 1024 + 1);
  File("README", 5);
  fs::create_directories(src_ / "empty folder/empty too");  // leaves nothing behind
 for (int i = 0; i < 90; ++i) File("crossing/file number " + std::to_string(i) + " with a long name.dat", 7);
  Build();
  // The "crossing" directory's records take more than one sector.
  const TDEntry* crossing = c_.FindDirectory("\\crossing");
  ASSERT_NE(crossing, nullptr);
  EXPECT_GT(crossing->ISODirSize, 2048);
  EXPECT_GT(crossing->JolietDirSize, 2048);
  JudgeImage();
}

TEST_F(ReadersTest, ManyDirectoriesBeyondSector150AndNoJolietPadding) {
  for (int i = 0; i < 150; ++i) File("dir " + std::to_string(i) + "/f" + std::to_string(i) + ".txt", size_t(i));
  Build();
  EXPECT_GT(c_.JolietDirArea + c_.JolietDirAreaSize / 2048, 150u);
  EXPECT_LE(c_.PadSectors, 0);
  JudgeImage();
}

// Names that the Joliet tree cannot tell apart: bytes that are not UTF-8 (all
// U+FFFD there) and names that differ in case or a trailing dot only (which
// the kernel and Windows ignore). The later twin gets a name of its own and a
// report; the Rock Ridge names stay the source names.
TEST_F(ReadersTest, JolietTwinsGetNamesOfTheirOwn) {
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    std::vector<std::pair<std::string, std::string>> Files;  // source path, Joliet path
    std::vector<std::string> Renamed;                        // the Joliet names reported
  } kinds[] = {
      {{{"caf\xE8.txt", "caf" + bad + ".txt"}, {"caf\xE9.txt", "caf" + bad + "~1.txt"},
        {"d\xE8/a", "d" + bad + "/a"}, {"d\xE9/b", "d" + bad + "~1/b"}},
       {"caf" + bad + "~1.txt", "d" + bad + "~1"}},
      {{{"Makefile", "Makefile"}, {"Makefile~1", "Makefile~1"}, {"makefile", "makefile~2"},
        {"Dir/e", "Dir/e"}, {"dir/f", "dir~1/f"}, {"Notes", "Notes"}, {"notes/n", "notes~1/n"},
        {"\xC3\x84rger.txt", "\xC3\x84rger.txt"}, {"\xC3\xA4rger.txt", "\xC3\xA4rger~1.txt"}},
       {"makefile~2", "dir~1", "notes~1", "\xC3\xA4rger~1.txt"}},
  };
  for (const auto& kind : kinds)
    for (const bool rockRidge : {false, true}) {
      SCOPED_TRACE(kind.Files[1].second + (rockRidge ? " with Rock Ridge" : ""));
      for (const auto& p : fs::directory_iterator(src_.Path())) fs::remove_all(p.path());
      expected_.clear();
      fileMessages_.clear();
      c_.ResetImageBuilder(kMaxFiles, kMaxDirs);
      c_.RockRidge = rockRidge;
      for (const auto& [source, joliet] : kind.Files) File(source, 100, joliet);
      Build();
      JudgeImage(true);
      EXPECT_EQ(fileMessages_.size(), kind.Renamed.size()) << ::testing::PrintToString(fileMessages_);
      for (const std::string& name : kind.Renamed)
        EXPECT_TRUE(std::any_of(fileMessages_.begin(), fileMessages_.end(),
                                [&name](const std::string& m) { return m.find(name) != std::string::npos; }))
            << name;
      if (!rockRidge) continue;
      TTempDir rr("isolayout-rr");
      EXPECT_EQ(RunCommand("bsdtar -xf " + Quote(image_.string()) + " -C " + Quote(rr.Path().string())).Status, 0);
      EXPECT_EQ(Snapshot(rr.Path()), Snapshot(src_.Path()));
    }
}

TEST_F(ReadersTest, WithoutJolietTheISOTreeIsRead) {
  c_.JolietFileSystem = false;
  File("Docs/notes.txt", 3000);
  File("Docs/Sub/data.bin", 4096);
  File("other.dat", 1);
  Build();
  const std::string img = Quote(image_.string());
  const TRunResult d = RunCommand("isoinfo -d -i " + img);
  EXPECT_EQ(d.Status, 0) << d.Output;
  EXPECT_NE(d.Output.find("NO Joliet present"), std::string::npos) << d.Output;
  const TRunResult l = RunCommand("isoinfo -l -i " + img);
  EXPECT_NE(l.Output.find("NOTES.TXT;1"), std::string::npos) << l.Output;
  TTempDir bsd("isolayout-bsdtar");
  const TRunResult bx = RunCommand("bsdtar -xf " + img + " -C " + Quote(bsd.Path().string()));
  EXPECT_EQ(bx.Status, 0) << bx.Output;
  ExpectExtracted(bsd.Path(), "bsdtar", false, true);
  TTempDir xo("isolayout-xorriso");
  const fs::path out = xo.Path() / "out";
  const TRunResult xx = RunCommand("xorriso -osirrox on -indev " + img + " -extract / " + Quote(out.string()));
  EXPECT_EQ(xx.Status, 0) << xx.Output;
  ExpectExtracted(out, "xorriso", true, true);
}

// Rock Ridge times in the 7-byte form and, outside 1900-2155, the long one;
// link targets long enough for a continuation area, and then for a chain of
// them (which only bsdtar reads: pycdlib takes one continuation, xorriso
// targets up to 1024 bytes); many entries whose fields spill into
// continuation areas across several sectors.
TEST_F(ReadersTest, RockRidgeTimesAndLongLinksComeBackAsRecorded) {
  auto target = [](size_t length, char from) {  // names of 20 bytes, every 7th of 230
    std::string t;
    for (size_t i = 0; length != 0 && t.size() < length; ++i)
      t += std::string(i == 0 ? "" : "/") + std::string(i % 7 == 6 ? 230 : 20, static_cast<char>(from + i % 10));
    return t;
  };
  const struct {
    const char* Name;
    int64_t Modify;     // seconds since 1970, UTC
    const char* Shown;  // as pycdlib gives it back: time, link length, mode
    std::string Link;
  } cases[] = {
      {"before-1900.txt", -2240524800, "1899-01-01 00:00:00 0 0o100644", ""},
      {"after-2155.txt", 6000000000, "2160-02-18 10:40:00 0 0o100644", ""},
      {"odd-second.txt", 981173107, "2001-02-03 04:05:07 0 0o100644", ""},
      {"before-1970.txt", -152822400, "1965-02-27 05:20:00 0 0o100644", ""},
      {"long.link", 981173106, "2001-02-03 04:05:06 1070 0o120644", target(1000, 'd')},  // xorriso: 1024 at most
  };
  c_.RockRidge = true;
  TDEntry* many = AddDir(c_, c_.RootDirectory(), "many");
  for (int i = 0; i < 300; ++i) {  // names that spill into more than a sector of continuation areas
    ASSERT_TRUE(AddFileEntry(c_, many, "f" + std::to_string(i) + ".txt", 0));
    c_.FindEntry(many, "f" + std::to_string(i) + ".txt")->RR =
        TRockRidge{true, 0100640, 0, 0, 0, 0, 0, std::string(200, static_cast<char>('a' + i % 26)) + std::to_string(i), ""};
  }
  for (const auto& c : cases) {
    ASSERT_TRUE(AddFileEntry(c_, c_.RootDirectory(), c.Name, 0));
    c_.FindEntry(c_.RootDirectory(), c.Name)->RR = TRockRidge{true, 0100644, 0, 0, c.Modify, c.Modify, c.Modify, c.Name, c.Link};
  }
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  ASSERT_TRUE(AssembleImage(c_, image_));
  const TRunResult py = RunCommand(R"(/usr/bin/python3 -c '
import pycdlib, sys
iso = pycdlib.PyCdlib(); iso.open(sys.argv[1])
for top, dirs, files in iso.walk(rr_path="/"):
  for f in files:
    rr = iso.get_record(rr_path=top.rstrip("/") + "/" + f).rock_ridge; t = rr.dr_entries.tf_record.access_time
    y, d = (t.year, t.dayofmonth) if hasattr(t, "year") else (t.years_since_1900 + 1900, t.day_of_month)
    print(f, "%04d-%02d-%02d %02d:%02d:%02d" % (y, t.month, d, t.hour, t.minute, t.second),
          len(rr.symlink_path()) if rr.is_symlink() else 0, oct(rr.get_file_mode()))
' )" + Quote(image_.string()));
  ASSERT_EQ(py.Status, 0) << py.Output;
  for (const auto& c : cases)
    EXPECT_NE(py.Output.find(std::string(c.Name) + " " + c.Shown + "\n"), std::string::npos) << c.Name << py.Output;
  EXPECT_NE(py.Output.find(std::string(200, 'z') + "285 1970-01-01 00:00:00 0 0o100640\n"), std::string::npos);
  EXPECT_EQ(RunCommand("bsdtar -tvf " + Quote(image_.string()) + " | grep -c '^-rw-r-----'").Output, "300\n");

  ASSERT_TRUE(AddFileEntry(c_, c_.RootDirectory(), "chained.link", 0));
  c_.FindEntry(c_.RootDirectory(), "chained.link")->RR = TRockRidge{true, 0120777, 0, 0, 0, 0, 0, "", target(4000, 'k')};
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  ASSERT_TRUE(AssembleImage(c_, image_));
  TTempDir out("isolayout-chained");
  EXPECT_EQ(RunCommand("bsdtar -xf " + Quote(image_.string()) + " -C " + Quote(out.Path().string())).Status, 0);
  for (const char* link : {"chained.link", "long.link"})
    EXPECT_EQ(fs::read_symlink(out.Path() / link).string(), c_.FindEntry(c_.RootDirectory(), link)->RR->Link) << link;
}

}  // namespace
