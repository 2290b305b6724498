// A prepared image-only tree written through the cache: the file equals the
// metadata and the files as the layout placed them, and an independent reader
// extracts every file byte for byte.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "iso/image_helpers.h"
#include "iso/iso.h"
#include "stream/stream.h"

namespace {

using namespace isotest;

class ImageFileTest : public ::testing::Test {
protected:
  void SetUp() override { comp_ = std::make_unique<VEZEZadira>(); }
  void TearDown() override { comp_.reset(); }

  // A folder whose files end on, just before and just after sector and block
  // boundaries, with an empty file and nested folders.
  void MakeFolder(const fs::path& root) {
    WriteFile(root / "empty.txt", "");
    WriteFile(root / "one.bin", Pattern(1, 1));
    WriteFile(root / "sector.bin", Pattern(2048, 2));
    WriteFile(root / "sector+1.bin", Pattern(2049, 3));
    WriteFile(root / "Mixed Case Name.dat", Pattern(2047, 4));
    WriteFile(root / "docs" / "block.bin", Pattern(65536, 5));
    WriteFile(root / "docs" / "big.bin", Pattern(300000, 6));
    WriteFile(root / "docs" / "deeper" / "note.txt", Pattern(70000, 7));
    WriteFile(root / "other" / "x.y", Pattern(4097, 8));
  }

  // Runs Command + the output folder and compares what it extracted with src.
  static void ExpectExtracts(const fs::path& src, const fs::path& out, const std::string& tool,
                             const std::string& command) {
    if (!HaveTool(tool)) {
      ADD_FAILURE() << tool << " is not installed";
      return;
    }
    fs::create_directories(out);
    const TRunResult r = isotest::RunCommand(command + Quote(out.string()));
    isotest::RunCommand("chmod -R u+rwX " + Quote(out.string()));
    ASSERT_EQ(r.Status, 0) << tool << ": " << r.Output;
    auto want = Snapshot(src);
    want.erase("empty.txt");  // compared on its own: readers differ on empty files
    auto have = Snapshot(out);
    if (have.count("empty.txt")) {
      EXPECT_EQ(have["empty.txt"], "") << tool;
      have.erase("empty.txt");
    }
    // Names first, then the contents (a failure prints names and sizes, not bytes).
    std::vector<std::string> haveNames, wantNames;
    for (const auto& [name, data] : have) haveNames.push_back(name);
    for (const auto& [name, data] : want) wantNames.push_back(name);
    ASSERT_EQ(haveNames, wantNames) << tool << " extracted other names";
    for (const auto& [name, data] : want) {
      EXPECT_EQ(have[name].size(), data.size()) << tool << ": " << name;
      EXPECT_TRUE(have[name] == data) << tool << ": " << name;
    }
  }

  std::unique_ptr<VEZEZadira> comp_;
};

TEST_F(ImageFileTest, ImageEqualsLayoutAndExtractsByteExact) {
  TTempDir tmp("streamimage");
  const fs::path src = tmp / "src";
  MakeFolder(src);
  // A second component in the same process has a tree of its own, prepared
  // between the first one's preparation and its image.
  const fs::path other = tmp / "other";
  WriteFile(other / "only-here.txt", Pattern(5000, 9));
  WriteFile(other / "docs" / "block.bin", Pattern(65536, 10));
  VEZEZadira second;
  ASSERT_TRUE(comp_->AddFolder("\\", src.string(), "*.*", faAnyFile, true, false, false));
  ASSERT_TRUE(second.AddFolder("\\", other.string(), "*.*", faAnyFile, true, false, false));
  ASSERT_TRUE(comp_->PrepareImage(true, nullptr));
  ASSERT_TRUE(second.PrepareImage(true, nullptr));
  ASSERT_TRUE(AssembleImage(*comp_, tmp / "expected.iso"));
  std::string expected = ReadFile(tmp / "expected.iso");
  ASSERT_EQ(static_cast<int64_t>(expected.size()), comp_->TrackLength * 2048);
  expected.resize(static_cast<size_t>(comp_->ImageSectors() * 2048), '\0');

  std::string error;
  const fs::path image = tmp / "image.iso";
  ASSERT_TRUE(WriteImageFile(*comp_, image.string(), error)) << error;
  const std::string got = ReadFile(image);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  // The plan is only read: written again, the same bytes.
  ASSERT_TRUE(WriteImageFile(*comp_, (tmp / "again.iso").string(), error)) << error;
  EXPECT_TRUE(ReadFile(tmp / "again.iso") == expected);

  // Two independent readers extract the image; every file must come back whole.
  const std::string img = Quote(image.string());
  ExpectExtracts(src, tmp / "xorriso", "xorriso",
                 "xorriso -abort_on FAILURE -osirrox on -joliet on -rockridge off -indev stdio:" +
                     img + " -extract / ");
  ExpectExtracts(src, tmp / "bsdtar", "bsdtar", "bsdtar -xf " + img + " -C ");
  const fs::path secondImage = tmp / "second.iso";
  ASSERT_TRUE(WriteImageFile(second, secondImage.string(), error)) << error;
  ExpectExtracts(other, tmp / "second-xorriso", "xorriso",
                 "xorriso -abort_on FAILURE -osirrox on -joliet on -rockridge off -indev stdio:" +
                     Quote(secondImage.string()) + " -extract / ");
}

// The image goes to a new file, over a longer file, into a FIFO (in order,
// without a seek) and, with a sparse source, into a file that stays sparse:
// every time the same bytes, and a digest that sha256sum agrees with. Parts
// of a file (byte ranges, across a hole too) are the bytes of their range,
// which bsdtar joins back into the file.
TEST_F(ImageFileTest, EveryOutputHoldsTheStreamAndItsDigest) {
  TTempDir tmp("streamimage");
  const fs::path src = tmp / "src";
  MakeFolder(src);
  const fs::path holes = tmp / "holes";
  MakeFolder(holes);
  {
    // 8 MiB with 3 bytes of data in the middle.
    std::ofstream f(holes / "sparse.bin", std::ios::binary);
    f.seekp(4 << 20);
    f << "abc";
    f.seekp((8 << 20) - 1);
    f.put('\0');
  }
  struct TCase {
    const char* Name;
    fs::path Folder;
    enum { kNew, kOverLonger, kFifo } Kind;
  };
  const std::vector<TCase> cases = {
      {"new file", src, TCase::kNew},
      {"over a longer file", src, TCase::kOverLonger},
      {"fifo", src, TCase::kFifo},
      {"sparse source", holes, TCase::kNew},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    comp_.reset();  // one tree per process: the old component goes first
    comp_ = std::make_unique<VEZEZadira>();
    ASSERT_TRUE(comp_->AddFolder("\\", c.Folder.string(), "*.*", faAnyFile, true, false, false));
    // The parts of a file, and for the sparse one parts that begin in data
    // and end in a hole, or hold nothing but hole.
    const std::string big = (c.Folder / "docs" / "big.bin").string();
    std::vector<std::tuple<std::string, int64_t, int64_t>> parts = {
        {big, 0, 100000}, {big, 100000, 150000}, {big, 250000, 50000}};
    if (c.Folder == holes)
      parts.insert(parts.end(), {{(holes / "sparse.bin").string(), (4 << 20) - 1000, (2 << 20) + 1000},
                                 {(holes / "sparse.bin").string(), 6 << 20, 2 << 20}});
    for (size_t i = 0; i < parts.size(); ++i) {
      const auto& [path, offset, size] = parts[i];
      ASSERT_TRUE(comp_->AddFilePart(comp_->RootDirectory(), Found("part" + std::to_string(i) + ".bin", size),
                                     path, offset));
    }
    ASSERT_TRUE(comp_->PrepareImage(true, nullptr));
    ASSERT_TRUE(AssembleImage(*comp_, tmp / "expected.iso"));
    std::string expected = ReadFile(tmp / "expected.iso");
    expected.resize(static_cast<size_t>(comp_->ImageSectors() * 2048), '\0');

    const fs::path image = tmp / "image.iso";
    fs::remove(image);
    if (c.Kind == TCase::kOverLonger) WriteFile(image, std::string(expected.size() + 5000, 'J'));
    std::string got, error;
    if (c.Kind == TCase::kFifo) {
      ASSERT_EQ(::mkfifo(image.c_str(), 0600), 0);
      std::thread reader([&] { got = ReadFile(image); });
      EXPECT_TRUE(WriteImageFile(*comp_, image.string(), error)) << error;
      reader.join();
      EXPECT_TRUE(fs::is_fifo(image));
    } else {
      ASSERT_TRUE(WriteImageFile(*comp_, image.string(), error)) << error;
      got = ReadFile(image);
    }
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    if (c.Folder == holes) {
      struct stat st {};
      ASSERT_EQ(::stat(image.c_str(), &st), 0);
      EXPECT_LT(st.st_blocks * 512, st.st_size - (4 << 20)) << "the holes were written";
    }
    WriteFile(tmp / "got.iso", got);
    const TRunResult sum = RunCommand("sha256sum " + Quote((tmp / "got.iso").string()));
    ASSERT_TRUE(comp_->LastStream.Checksums && comp_->LastStream.Checksums->Complete());
    EXPECT_EQ(sum.Output.substr(0, 64), Sha256Hex(comp_->LastStream.Checksums->Digest()));
    EXPECT_EQ(comp_->LastStream.Checksums->SectorCount(), comp_->ImageSectors());
    const fs::path out = tmp / "extracted";
    fs::remove_all(out);
    fs::create_directories(out);
    ASSERT_EQ(RunCommand("bsdtar -xf " + Quote((tmp / "got.iso").string()) + " -C " + Quote(out.string())).Status, 0);
    EXPECT_TRUE(ReadFile(out / "part0.bin") + ReadFile(out / "part1.bin") + ReadFile(out / "part2.bin") ==
                ReadFile(big));
    if (c.Folder == holes) {
      EXPECT_TRUE(ReadFile(out / "part3.bin") + ReadFile(out / "part4.bin") ==
                  ReadFile(holes / "sparse.bin").substr((4 << 20) - 1000));
    }
  }
}

TEST_F(ImageFileTest, FailureNamesTheFileAndLeavesNoImage) {
  TTempDir tmp("streamimage");
  const fs::path src = tmp / "src";
  MakeFolder(src);
  ASSERT_TRUE(comp_->AddFolder("\\", src.string(), "*.*", faAnyFile, true, false, false));
  ASSERT_TRUE(comp_->PrepareImage(true, nullptr));
  const fs::path gone = src / "docs" / "big.bin";
  fs::remove(gone);
  std::string error;
  const fs::path image = tmp / "image.iso";
  EXPECT_FALSE(WriteImageFile(*comp_, image.string(), error));
  EXPECT_NE(error.find(gone.string()), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(image));

  // A file that shrank after the layout is no image either; one that grew
  // is copied with its laid-out length, and the message says so.
  std::vector<std::string> notes;
  for (const bool grow : {false, true}) {
    comp_.reset();  // one tree per process: the old component goes first
    comp_ = std::make_unique<VEZEZadira>();
    comp_->OnDebugMessage = [&](TObject*, const std::string& m, uint8_t) { notes.push_back(m); };
    MakeFolder(src);
    ASSERT_TRUE(comp_->AddFolder("\\", src.string(), "*.*", faAnyFile, true, false, false));
    ASSERT_TRUE(comp_->PrepareImage(true, nullptr));
    const fs::path changed = src / "docs" / "deeper" / "note.txt";
    fs::resize_file(changed, grow ? 90000 : 65536);
    error.clear();
    EXPECT_EQ(WriteImageFile(*comp_, image.string(), error), grow) << error;
    if (grow) {
      EXPECT_EQ(static_cast<int64_t>(fs::file_size(image)), comp_->ImageSectors() * 2048);
      ASSERT_FALSE(notes.empty());
      EXPECT_EQ(notes.back(), "FILE \"" + changed.string() +
                                  "\" GREW AFTER PREPARATION: FIRST 70000 BYTES RECORDED");
    } else {
      EXPECT_EQ(error, "FILE SHRANK OR COULD NOT BE READ \"" + changed.string() +
                           "\" (65536 OF 70000 BYTES)");
      EXPECT_FALSE(fs::exists(image));
    }
    fs::remove(image);
  }

  // A source that became a FIFO, or whose reads fail as a bad disc's do, is
  // named with the reason; the FIFO's open must not wait for a writer.
  for (const bool fifo : {true, false}) {
    comp_.reset();
    comp_ = std::make_unique<VEZEZadira>();
    MakeFolder(src);
    ASSERT_TRUE(comp_->AddFolder("\\", src.string(), "*.*", faAnyFile, true, false, false));
    ASSERT_TRUE(comp_->PrepareImage(true, nullptr));
    const fs::path changed = src / "docs" / "deeper" / "note.txt";
    fs::remove(changed);
    if (fifo) ASSERT_EQ(::mkfifo(changed.c_str(), 0600), 0);
    else fs::create_symlink("/proc/self/mem", changed);
    error.clear();
    EXPECT_FALSE(WriteImageFile(*comp_, image.string(), error));
    EXPECT_EQ(error, fifo ? "CAN'T OPEN FILE \"" + changed.string() +
                                "\" OR FILE IS IN USES BY OTHER SOFTWARE"
                          : "CAN'T READ FILE \"" + changed.string() + "\": Input/output error");
    fs::remove(changed);
  }

  error.clear();
  const std::string bad = (tmp / "no" / "such" / "dir.iso").string();
  EXPECT_FALSE(WriteImageFile(*comp_, bad, error));
  EXPECT_NE(error.find(bad), std::string::npos) << error;
}

}  // namespace
